"""scripts/loadcheck --bundle (and --mingw): the folder it makes holds the
program and exactly what it needs from outside the Windows folder, of its
machine, and starts on its own; where it cannot be made, nothing is made.
Run by loader_verdict.py.
"""
import json
import os
import shutil
import subprocess

import pefile

import loader_cases
from harness import P, ok, work
from loader_cases import loadcheck


# --bundle: the program (an attribute of the paths), the 32-bit runtime DLLs
# put beside it, the options, and DLLs that the bundle must hold among
# others (each bundle holds what its files import of one another, and
# nothing else).
BUNDLES = [
    ("the threaded program, its runtime from --mingw", "threaded", [], ["--mingw"], {"libstdc++-6.dll"}),
    ("its 64-bit twin, its runtime from --mingw", "threaded64", [], ["--mingw"], {"libstdc++-6.dll"}),
    ("its 64-bit twin, a 32-bit libstdc++-6.dll beside it", "threaded64", ["libstdc++-6.dll"], ["--mingw"],
     {"libstdc++-6.dll"}),
    ("test.exe, the stand-in on --path", "exe", [], ["--path", "<build>"], {"xiapi32.dll"}),
    ("test.exe, xiapi32.dll needing zlib1.dll on --path, for Windows 7", "exe", [],
     ["--path", "<dlls>/zlib", "--windows", "7"], {"xiapi32.dll", "zlib1.dll"}),
]


PRIVATE = "a Visual C++ 2008 xiapi32.dll, the runtime a private assembly in a folder of its own"


def imports_within(folder, name, seen):
    """The files of folder that name imports, and theirs in turn, read with
    pefile: what a bundle made of exactly what is needed holds."""
    pe = pefile.PE(os.path.join(folder, name))
    files = {f.lower(): f for f in os.listdir(folder)}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = files.get(entry.dll.decode().lower())
        if dll and dll not in seen:
            seen.add(dll)
            imports_within(folder, dll, seen)
    return seen


def bundles():
    """--bundle makes a folder of the program and what it needs from outside
    the Windows folder, once each, of the program's machine, that starts on
    its own; where it cannot be made, or the program does not start,
    nothing is made."""
    for n, (name, program, beside, options, among) in enumerate(BUNDLES):
        source = getattr(P, program)
        folder = work(f"bundle{n}")
        exe = shutil.copy(source, folder)
        machine = pefile.PE(source, fast_load=True).FILE_HEADER.Machine
        for f in beside:  # the 32-bit toolchain's, as its compiler finds it
            shutil.copy(subprocess.run(["i686-w64-mingw32-gcc", f"-print-file-name={f}"], capture_output=True,
                                       text=True).stdout.strip(), folder)
        dest = os.path.join(folder, "bundle")
        options = [o.replace("<build>", P.build).replace("<dlls>", P.dlls) for o in options]
        status, out, err = loadcheck_json(exe, "--bundle", dest, *options)
        bundle = out.get("bundle") or {}
        ok(status == 0 and bundle.get("verdict") == "starts",
           f"{name}: status {status}, the bundle's verdict {bundle.get('verdict')}, {bundle.get('detail')}; {err!r}")
        if not os.path.isdir(dest):
            continue
        held = sorted(os.listdir(dest))
        needed = imports_within(dest, os.path.basename(exe), set())
        ok(held == sorted(needed | {os.path.basename(exe)}) and among <= needed,
           f"{name}: the bundle holds {held}, its program needs {sorted(needed)} of them, expected {sorted(among)} "
           "among them")
        ok(sorted(f["file"] for f in bundle.get("files", [])) == held, f"{name}: --json lists {bundle.get('files')}")
        wine = (P.wine_dlls64 if program.endswith("64") else P.wine_dlls) + os.sep
        sources = [f["from"] for f in bundle.get("files", [])]
        ok(all(os.path.isfile(f) and not f.startswith(wine) for f in sources),
           f"{name}: the bundle holds files of no folder given: {sources}")
        machines = {f: pefile.PE(os.path.join(dest, f), fast_load=True).FILE_HEADER.Machine for f in held}
        ok(set(machines.values()) == {machine}, f"{name}: machines {machines}, expected the program's {machine:#x}")
    # A private assembly ships whole, in its own folder: its manifest too.
    case = next(c for c in loader_cases.cases(work("cases"), P) if c.name == PRIVATE)
    exe = case.place(P.exe, os.path.join(work("bundle-private"), "program"))
    dest = os.path.join(os.path.dirname(exe), "bundle")
    # Wine's msvcr90.dll imports Wine's own: against Wine's folder.
    status, out, err = loadcheck(exe, "--bundle", dest, "--system", "wine")
    held = sorted(os.path.relpath(os.path.join(d, f), dest) for d, _, files in os.walk(dest) for f in files)
    shipped = ["Microsoft.VC90.CRT/Microsoft.VC90.CRT.manifest", "Microsoft.VC90.CRT/msvcr90.dll", "test.exe",
               "xiapi32.dll"]
    ok(status == 0 and held == shipped, f"{PRIVATE}: status {status}, the bundle holds {held}, expected {shipped}")
    # Nothing made where the bundle cannot be, or the program does not start.
    folder = work("bundle-bad")
    exe = shutil.copy(P.threaded, folder)
    full = loader_cases.written(os.path.join(folder, "full", "readme.txt"), "already here\n")
    for name, args, status, says in (
            ("a folder that is not empty", ["--mingw", "--bundle", os.path.dirname(full)], 2, "not an empty folder"),
            ("a folder that cannot be written", ["--mingw", "--bundle", "/proc/bundle"], 2, "cannot write"),
            ("a program that does not start", ["--bundle", os.path.join(folder, "absent")], 1, "")):
        before = sorted(os.listdir(folder))
        got, out, err = loadcheck(exe, *args)
        ok(got == status and (not says or (len(err.splitlines()) == 1 and says in err)),
           f"--bundle, {name}: status {got}, stderr {err!r}, expected {status}" + (f" and {says!r}" if says else ""))
        ok(sorted(os.listdir(folder)) == before and os.listdir(os.path.dirname(full)) == ["readme.txt"],
           f"--bundle, {name}: it left {sorted(set(os.listdir(folder)) - set(before))}")
    r = subprocess.run([os.path.join(P.source, "scripts", "loadcheck"), exe, "--mingw"], capture_output=True,
                       text=True, env=dict(os.environ, PATH="/nonexistent"))
    ok(r.returncode == 2 and "install g++-mingw-w64-i686" in r.stderr,
       f"--mingw without a MinGW-w64 toolchain: status {r.returncode}, stderr {r.stderr!r}")


def loadcheck_json(*args):
    status, out, err = loadcheck(*args, "--json")
    try:
        return status, json.loads(out), err
    except ValueError:
        return status, {}, f"no JSON object: {out[:300]!r} {err}"
