"""The command line: scripts/loadcheck EXE [options]. The model it follows,
and what it prints, are described in docs/loader.md."""
import argparse
import os
import sys

from . import report
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
    p.add_argument("--json", action="store_true", help="one JSON object on standard output instead of the text")
    return p.parse_args(argv)


def prepare(a):
    """The loader for these arguments; BadInput when one cannot be used."""
    if not os.path.isfile(a.exe):
        raise BadInput(f"no such file: {a.exe}")
    machine = of_program(a.exe)
    system = System(a.system or wine_system(machine), machine)
    paths = [p for option in a.path for p in option.split(":") if p]
    for folder in paths:
        if not os.path.isdir(folder):
            raise BadInput(f"no such --path folder: {folder}")
    known = known_dlls(a.known_dlls, system.hive)
    app = os.path.dirname(os.path.abspath(a.exe))
    return Loader(machine, system, SearchOrder(app, system, paths, known), SideBySide(system.winsxs, machine.arch))


def main(argv=None):
    a = parse_args(argv)
    try:
        loader = prepare(a)
        try:
            loader.start(a.exe)
            refusal = None
        except Refused as e:
            refusal = e
    except BadInput as e:
        print(f"loadcheck: {e}", file=sys.stderr)
        return 2
    print(report.as_json(loader, refusal) if a.json else report.as_text(a.exe, loader, refusal))
    return 1 if refusal else 0
