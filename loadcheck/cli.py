"""The command line: scripts/loadcheck EXE [options]. The model it follows,
and what it prints, are described in docs/loader.md."""
import argparse
import os
import sys

from . import bundle, mingw, report
from .folders import SearchOrder, System, wine_system
from .knowndlls import known_dlls
from .loader import Loader
from .machine import of_program
from .status import BadInput, Refused
from .sxs import SideBySide
from .windows import catalogue
from .windows.system import Windows

DESCRIPTION = ("The Windows loader's verdict on an x86 or x64 program's load-time imports, worked out from the "
               "files the way that loader binds them (see docs/loader.md): by default Windows 11's, from the "
               "export tables and API set schemas of each Windows release built in, with the releases that start "
               "the program. Exit status 0 starts, 1 refused, 2 bad input, 3 undecided (the built-in data cannot "
               "tell).")
RELEASES = ", ".join(f"{r.key} ({r.name})" for r in catalogue.RELEASES)


def parse_args(argv):
    p = argparse.ArgumentParser(prog="loadcheck", description=DESCRIPTION)
    p.add_argument("exe")
    p.add_argument("--windows", metavar="RELEASE",
                   help=f"the built-in Windows release whose verdict is given: {RELEASES} (default: "
                        f"{catalogue.NEWEST.key}); names such as win7, 10-2004 or 24h2 are taken too")
    p.add_argument("--system",
                   help="in place of the built-in Windows: a Windows folder holding System32 (with config/SYSTEM, "
                        "the registry that names the known DLLs), SysWOW64 on a 64-bit Windows, and WinSxS, as a "
                        "copy of a real Windows' lies on disk (scripts/windows-image takes one out of an "
                        "installation image), or a Wine prefix's drive_c/windows; a bare system folder; or 'wine', "
                        "Wine's DLL folder of the program's machine (scripts/wine-paths finds it)")
    p.add_argument("--path", action="append", default=[],
                   help="folders searched last, as PATH is, ':'-separated (repeatable)")
    p.add_argument("--known-dlls", help="a file of known DLLs, one name a line, in place of the list in the Windows "
                                        "folder's registry (System32/config/SYSTEM) or, without one, the built-in list")
    p.add_argument("--mingw", action="store_true",
                   help="search the runtime DLLs of the MinGW-w64 toolchains installed for the program's machine "
                        "(GCC's and mingw-w64's, where the toolchain says they are) after --path")
    p.add_argument("--bundle", metavar="DIR",
                   help="where the program starts, make DIR (absent, or empty) of the program and the DLLs it needs "
                        "that the Windows asked for lacks, then give the verdict for DIR's program alone")
    p.add_argument("--json", action="store_true", help="one JSON object on standard output instead of the text")
    return p.parse_args(argv)


def release_of(a):
    """The built-in release asked for, or None where --system names another system."""
    if a.system:
        if a.windows:
            raise BadInput("--windows and --system name two systems: give one")
        return None
    if not a.windows:
        return catalogue.NEWEST
    found = catalogue.find(a.windows)
    if not found:
        raise BadInput(f"--windows {a.windows}: no such release built in; the releases are {RELEASES}")
    return found


def system_for(a, machine, release):
    if release:
        return Windows(release, machine)
    return System(wine_system(machine) if a.system == "wine" else a.system, machine)


def prepare(a, machine, release, extra=()):
    """The loader for these arguments, for a process of the machine given,
    the extra folders searched after --path; BadInput when one cannot be
    used."""
    system = system_for(a, machine, release)
    paths = [p for option in a.path for p in option.split(":") if p]
    for folder in paths:
        if not os.path.isdir(folder):
            raise BadInput(f"no such --path folder: {folder}")
    known = known_dlls(a.known_dlls, system.hive)
    app = os.path.dirname(os.path.abspath(a.exe))
    return Loader(machine, system, SearchOrder(app, system, paths, known, extra),
                  SideBySide(system.store(machine.arch), machine.arch))


def verdict(a, release):
    """(the loader, its refusal or None). With --mingw, where the program
    does not start with one thread variant's runtime DLLs first, another's
    are tried, and the notes say whose served."""
    if not os.path.isfile(a.exe):
        raise BadInput(f"no such file: {a.exe}")
    machine = of_program(a.exe)
    tried = []
    for variant, extra in mingw.orders(machine) if a.mingw else [(None, [])]:
        loader = prepare(a, machine, release, extra)
        try:
            loader.start(a.exe)
            refusal = None
        except Refused as e:
            refusal = e
        tried.append((variant, loader, refusal))
        if refusal is None:
            break
    variant, loader, refusal = next((t for t in tried if t[2] is None), tried[0])
    if variant and any(m.how.startswith("MinGW-w64") for m in loader.mapped):
        loader.notes.append(f"MinGW-w64 runtime DLLs of {variant.compiler} ({variant.name})" + (
            f", as the program's imports do not bind to those of {tried[0][0].compiler}" if variant != tried[0][0]
            else ""))
    if refusal and refusal.dll and refusal.dll.lower().startswith("api-ms-win-crt-") and release and \
            release.nt < (10, 0):
        loader.notes.append(f"Windows {release.name} has the Universal CRT only with its update (KB2999226); "
                            "without it, ship the CRT's api-ms-win-crt-*.dll and ucrtbase.dll beside the program")
    return loader, refusal


def every_release(a):
    """[(release, loader, refusal)] for each built-in release, oldest first."""
    return [(r, *verdict(a, r)) for r in catalogue.RELEASES]


def main(argv=None):
    a = parse_args(argv)
    bundled = releases = None
    try:
        release = release_of(a)
        if release:
            releases = every_release(a)
            _, loader, refusal = next(t for t in releases if t[0] is release)
        else:
            loader, refusal = verdict(a, None)
        if a.bundle and not refusal:
            files = bundle.files(loader, os.path.abspath(a.exe))
            folder = bundle.make(a.bundle, files)
            alone = argparse.Namespace(**dict(vars(a), exe=os.path.join(folder, files[0].relative), path=[],
                                              mingw=False))
            bundled = (folder, files, *verdict(alone, release))
    except BadInput as e:
        print(f"loadcheck: {e}", file=sys.stderr)
        return 2
    print(report.as_json(loader, refusal, bundled, releases) if a.json else
          report.as_text(a.exe, loader, refusal, bundled, releases))
    if refusal or (bundled and bundled[3]):
        return 1
    return 3 if report.unknown(loader) or (bundled and report.unknown(bundled[2])) else 0
