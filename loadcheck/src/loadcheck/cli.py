"""The command line: loadcheck EXE [options]. The model it follows, and what
it prints, are described in the project's docs/loader.md."""
import argparse
import os
import sys

from . import __version__, bundle, mingw, report
from .folders import SearchOrder, System, wine_system
from .image import read_image
from .knowndlls import known_dlls
from .loader import Loader
from .machine import of_program
from .status import BadInput, Refused
from .sxs import SideBySide
from .windows import catalogue
from .windows.system import Windows

DESCRIPTION = ("The Windows loader's verdict on an x86 or x64 program's load-time imports, worked out from the "
               "files the way that loader binds them: by default Windows 11's, from the export tables and API set "
               "schemas of each Windows release built in, with the releases that start the program. Exit status 0 "
               "starts, 1 refused, 2 bad input, 3 undecided (the built-in data cannot tell).")
EXAMPLES = """examples:
  will it start?        loadcheck build/prog.exe --windows 7
  what must I ship?     loadcheck build/prog.exe --path build/lib --mingw --bundle dist
  in an install step    loadcheck /opt/prog/bin/prog.exe --mingw=x86_64-w64-mingw32-g++ --deploy"""
RELEASES = ", ".join(f"{r.key} ({r.name})" for r in catalogue.RELEASES)
CMAKE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cmake")
# The runtime DLLs of the MinGW-w64 toolchains, which --mingw finds.
MINGW_RUNTIME = {n.lower() for n in mingw.RUNTIME}


def parse_args(argv):
    p = argparse.ArgumentParser(prog="loadcheck", description=DESCRIPTION, epilog=EXAMPLES,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("exe", nargs="?", help="the program (a DLL gets the verdict of a process that loads it)")
    p.add_argument("--version", action="version", version=f"loadcheck {__version__}")
    p.add_argument("--cmake-dir", action="store_true",
                   help="print the folder of loadcheck's CMake package (find_package(Loadcheck)) and exit")
    p.add_argument("--windows", metavar="RELEASE",
                   help=f"the built-in Windows release whose verdict is given: {RELEASES} (default: "
                        f"{catalogue.NEWEST.key}); names such as win7, 10-2004 or 24h2 are taken too")
    p.add_argument("--system",
                   help="in place of the built-in Windows: a Windows folder holding System32 (with config/SYSTEM, "
                        "the registry that names the known DLLs), SysWOW64 on a 64-bit Windows, and WinSxS, as a "
                        "copy of a real Windows' lies on disk, or a Wine prefix's drive_c/windows; a bare system "
                        "folder; or 'wine', Wine's DLL folder of the program's machine")
    p.add_argument("--path", action="append", default=[],
                   help="folders searched last, as PATH is, ':'-separated (repeatable)")
    p.add_argument("--known-dlls", help="a file of known DLLs, one name a line, in place of the list in the Windows "
                                        "folder's registry (System32/config/SYSTEM) or, without one, the built-in list")
    p.add_argument("--mingw", nargs="?", const="", metavar="COMPILER",
                   help="search the MinGW-w64 runtime DLLs after --path: those of COMPILER (what it says with "
                        "-print-search-dirs and -print-file-name; llvm-mingw's bin folder), or else of the GCC "
                        "installed for the program's machine, one thread variant at a time")
    p.add_argument("--bundle", metavar="DIR",
                   help="where the program starts, make DIR (absent, or empty) of the program and the DLLs it needs "
                        "that the Windows asked for lacks, then give the verdict for DIR's program alone")
    p.add_argument("--deploy", action="store_true",
                   help="where the program starts, copy the DLLs it needs from --path and --mingw into its own "
                        "folder (never replacing a file that differs), then give the verdict for it alone")
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


def prepare(a, machine, release, extra=()):
    """The loader for these arguments, for a process of the machine given,
    the extra folders searched after --path; BadInput when one cannot be
    used."""
    if release:
        system = Windows(release, machine)
    else:
        system = System(wine_system(machine) if a.system == "wine" else a.system, machine)
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
    does not start with one variant's runtime DLLs, the next is tried, and
    the notes say whose served."""
    machine = of_program(a.exe)
    tried = []
    for variant, extra in mingw.orders(machine, a.mingw) if a.mingw is not None else [(None, [])]:
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
    loader.delay_load()
    if variant and any(m.how.startswith("MinGW-w64") for m in loader.mapped):
        loader.notes.append(f"MinGW-w64 runtime DLLs of {variant.compiler} ({variant.name})" + (
            f", as the program's imports do not bind to those of {tried[0][0].compiler}" if variant != tried[0][0]
            else ""))
    runtime = sorted({r.dll for r in loader.refusals if r.dll and r.dll.lower() in MINGW_RUNTIME})
    if runtime and a.mingw is None:
        loader.notes.append(f"{', '.join(runtime)}: the MinGW-w64 runtime; --mingw finds the toolchain's")
    if refusal and refusal.dll and refusal.dll.lower().startswith("api-ms-win-crt-") and release and \
            release.nt < (10, 0):
        loader.notes.append(f"Windows {release.name} has the Universal CRT only with its update (KB2999226); "
                            "without it, ship the CRT's api-ms-win-crt-*.dll and ucrtbase.dll beside the program")
    return loader, refusal


def checked(a):
    """The program named, as a file; what it is, where it cannot be checked."""
    if a.exe is None:
        raise BadInput("no program named: loadcheck PROGRAM [options] (--help)")
    # Meson's install scripts name what they installed below this prefix.
    meson = os.environ.get("MESON_INSTALL_DESTDIR_PREFIX")
    if meson and not os.path.isabs(a.exe):
        a.exe = os.path.join(meson, a.exe)
    if os.path.isdir(a.exe):
        raise BadInput(f"{a.exe} is a folder, not a program")
    if not os.path.isfile(a.exe):
        raise BadInput(f"no such file: {a.exe}")
    if read_image(a.exe).dll and (a.bundle or a.deploy):
        raise BadInput(f"{a.exe} is a DLL, not a program: nothing is shipped around it (its verdict is that of a "
                       "process loading it)")
    if a.bundle and a.deploy:
        raise BadInput("--bundle and --deploy ship to two places: give one")


def ship(a, release, loader):
    """Shipped: the bundle made, or the files deployed beside the program,
    with the verdict of its program alone; what was made is removed again
    where that program does not start."""
    exe = os.path.abspath(a.exe)
    files = bundle.files(loader, exe)
    if a.bundle:
        folder = bundle.make(a.bundle, files)
        kind, shipped = "bundled in", files
        program = os.path.join(folder, files[0].relative)
    else:
        folder, program = os.path.dirname(exe), exe
        copied = bundle.deploy(files, folder)
        kind, shipped = "deployed into", [f for f in files if os.path.join(folder, f.relative) in copied]
    alone, alone_refusal = verdict(argparse.Namespace(**dict(vars(a), exe=program, path=[], mingw=None)), release)
    if alone_refusal:
        bundle.remove(folder) if a.bundle else bundle.undo(copied)
    return report.Shipped(kind, folder, shipped, alone, alone_refusal)


def main(argv=None):
    a = parse_args(argv)
    if a.cmake_dir:
        print(CMAKE_DIR)
        return 0
    shipped = releases = None
    try:
        checked(a)
        release = release_of(a)
        if release:
            releases = [(r, *verdict(a, r)) for r in catalogue.RELEASES]
            _, loader, refusal = next(t for t in releases if t[0] is release)
        else:
            loader, refusal = verdict(a, None)
        if read_image(a.exe).dll:
            loader.notes.append(f"{os.path.basename(a.exe)} is a DLL, not a program: the verdict is that of a "
                                "process that loads it")
        if (a.bundle or a.deploy) and not refusal:
            shipped = ship(a, release, loader)
    except BadInput as e:
        if a.json:
            print(report.error_json(str(e)))
        print(f"loadcheck: {e}", file=sys.stderr)
        return 2
    print(report.as_json(loader, refusal, shipped, releases) if a.json else
          report.as_text(a.exe, loader, refusal, shipped, releases))
    if refusal or (shipped and shipped.refusal):
        return 1
    return 3 if report.unknown(loader) or (shipped and report.unknown(shipped.loader)) else 0
