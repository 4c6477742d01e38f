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

DESCRIPTION = ("The Windows loader's verdict on an x86 or x64 program's load-time imports, worked out from the "
               "files the way that loader binds them (see docs/loader.md). Exit status 0 starts, 1 refused, 2 bad "
               "input.")


def parse_args(argv):
    p = argparse.ArgumentParser(prog="loadcheck", description=DESCRIPTION)
    p.add_argument("exe")
    p.add_argument("--system",
                   help="the system folder, or a Windows folder holding System32 (with config/SYSTEM, the registry "
                        "that names the known DLLs), SysWOW64 on a 64-bit Windows, and WinSxS: a copy of a real "
                        "Windows' for Windows' verdict (scripts/windows-image takes one out of an installation image), "
                        "or a Wine prefix's drive_c/windows (default: Wine's DLL folder of the program's machine, "
                        "which scripts/wine-paths finds: no registry, no WinSxS)")
    p.add_argument("--path", action="append", default=[],
                   help="folders searched last, as PATH is, ':'-separated (repeatable)")
    p.add_argument("--known-dlls", help="a file of known DLLs, one name a line, in place of the list in the Windows "
                                        "folder's registry (System32/config/SYSTEM) or, without one, the built-in list")
    p.add_argument("--mingw", action="store_true",
                   help="search the runtime DLLs of the MinGW-w64 toolchains installed for the program's machine "
                        "(GCC's and mingw-w64's, where the toolchain says they are) after --path")
    p.add_argument("--bundle", metavar="DIR",
                   help="where the program starts, make DIR (absent, or empty) of the program and the DLLs it needs "
                        "from outside the Windows folder, then give the verdict for DIR's program alone")
    p.add_argument("--json", action="store_true", help="one JSON object on standard output instead of the text")
    return p.parse_args(argv)


def prepare(a, machine, extra=()):
    """The loader for these arguments, for a process of the machine given,
    the extra folders searched after --path; BadInput when one cannot be
    used."""
    system = System(a.system or wine_system(machine), machine)
    paths = [p for option in a.path for p in option.split(":") if p]
    for folder in paths:
        if not os.path.isdir(folder):
            raise BadInput(f"no such --path folder: {folder}")
    known = known_dlls(a.known_dlls, system.hive)
    app = os.path.dirname(os.path.abspath(a.exe))
    return Loader(machine, system, SearchOrder(app, system, paths, known, extra),
                  SideBySide(system.winsxs, machine.arch))


def verdict(a):
    """(the loader, its refusal or None). With --mingw, where the program
    does not start with one thread variant's runtime DLLs first, another's
    are tried, and the notes say whose served."""
    if not os.path.isfile(a.exe):
        raise BadInput(f"no such file: {a.exe}")
    machine = of_program(a.exe)
    tried = []
    for variant, extra in mingw.orders(machine) if a.mingw else [(None, [])]:
        loader = prepare(a, machine, extra)
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
    return loader, refusal


def main(argv=None):
    a = parse_args(argv)
    bundled = None
    try:
        loader, refusal = verdict(a)
        if a.bundle and not refusal:
            files = bundle.files(loader, os.path.abspath(a.exe))
            missing = [] if a.system else bundle.not_in_windows(loader)
            if missing:
                loader.notes.append(f"not bundled: {', '.join(missing)}, which Wine's DLL folder has and a clean "
                                    "Windows has not; give --system a Windows folder (scripts/windows-image) for "
                                    "what that Windows needs")
            folder = bundle.make(a.bundle, files)
            alone = argparse.Namespace(**dict(vars(a), exe=os.path.join(folder, files[0].relative), path=[],
                                              mingw=False))
            bundled = (folder, files, *verdict(alone))
    except BadInput as e:
        print(f"loadcheck: {e}", file=sys.stderr)
        return 2
    print(report.as_json(loader, refusal, bundled) if a.json else report.as_text(a.exe, loader, refusal, bundled))
    return 1 if refusal or (bundled and bundled[3]) else 0
