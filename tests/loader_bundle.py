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
import windows_folder
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

# Programs laid out as people lay them out before --bundle (the program, an
# attribute of the paths; files put in its folder as (source, where); the
# options), and what the bundle must hold: flat, beside the program, where
# the loader looks, whatever folder the files came from; never the system's.
# <dlls64>, <folder> (the program's) and <prefix> (a Wine prefix's windows
# folder around it) are filled in.
LAYOUTS = [
    ("the usual CMake layout: its DLLs in lib/ below the program, on --path", "exe",
     [("<dlls>/zlib/xiapi32.dll", "lib/xiapi32.dll"), ("<dlls>/zlib/zlib1.dll", "lib/zlib1.dll")],
     ["--path", "<folder>/lib"], {"test.exe", "xiapi32.dll", "zlib1.dll"}),
    ("a program in a Wine prefix's drive_c, --system its windows", "threaded64", [],
     ["--system", "<prefix>", "--mingw"], {"threaded.exe", "libstdc++-6.dll", "libgcc_s_seh-1.dll",
                                          "libwinpthread-1.dll"}),
    ("a DLL that xiapi32.dll delay-loads, on --path", "exe",
     [("<dlls>/delayload/xiapi32.dll", "xiapi32.dll"), ("<dlls>/zlib/zlib1.dll", "lib/nowhere.dll")],
     ["--path", "<folder>/lib"], {"test.exe", "xiapi32.dll", "nowhere.dll"}),
    ("GCC's posix variant named: its runtime, not the default's", "threaded64", [],
     ["--mingw=x86_64-w64-mingw32-g++-posix"], {"threaded.exe", "libstdc++-6.dll", "libgcc_s_seh-1.dll",
                                               "libwinpthread-1.dll"}),
]

# Verdicts that list all that is missing: the program, files put beside it,
# the options, lines the text must hold.
MISSING = [
    # It imports two of them itself (libgcc_s_seh-1.dll only through libstdc++-6.dll).
    ("its runtime DLLs missing, without --mingw", "threaded64", [], [],
     ["missing (the loader stops at the first):", "  STATUS_DLL_NOT_FOUND (0xC0000135): libstdc++-6.dll",
      "  STATUS_DLL_NOT_FOUND (0xC0000135): libwinpthread-1.dll",
      "libstdc++-6.dll, libwinpthread-1.dll: the MinGW-w64 runtime; --mingw finds the toolchain's"]),
    ("a libstdc++-6.dll without the C++ functions, each shown demangled", "threaded64",
     [("<dlls64>/zlib/zlib1.dll", "libstdc++-6.dll")], ["--mingw"],
     ["  STATUS_ENTRYPOINT_NOT_FOUND (0xC0000139): _ZSt4cout in libstdc++-6.dll [std::cout]"]),
    ("a DLL as the program: the verdict of a process loading it", "standin", [], [],
     ["xiapi32.dll is a DLL, not a program: the verdict is that of a process that loads it", "starts"]),
]


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


def placed(program, files, folder):
    """The program and files put in folder, the names filled in."""
    os.makedirs(folder, exist_ok=True)
    exe = shutil.copy(getattr(P, program), folder)
    for source, where in files:
        target = os.path.join(folder, where)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy(source.replace("<dlls64>", P.dlls64).replace("<dlls>", P.dlls), target)
    return exe


def laid_out(prefix, program, files, options):
    """A layout made in prefix, a Wine prefix's windows folder (links to
    Wine's 64-bit DLLs) and drive_c/program: (the program, the options
    with the names filled in, the bundle's folder)."""
    windows_folder.folder_of_links(os.path.join(prefix, "windows", "system32"), P.wine_dlls64)
    folder = os.path.join(prefix, "drive_c", "program")
    exe = placed(program, files, folder)
    options = [o.replace("<folder>", folder).replace("<prefix>", os.path.join(prefix, "windows")) for o in options]
    return exe, options, os.path.join(prefix, "dist")


def layouts():
    for n, (name, program, files, options, wanted) in enumerate(LAYOUTS):
        exe, options, dest = laid_out(work(f"layout{n}"), program, files, options)
        status, out, err = loadcheck_json(exe, "--bundle", dest, *options)
        held = set(os.listdir(dest)) if os.path.isdir(dest) else set()
        ok(status == 0 and held == wanted, f"{name}: status {status}, the bundle holds {sorted(held)}, expected "
           f"{sorted(wanted)}; {(out.get('bundle') or {}).get('detail')} {err[-300:]!r}")
        variant = options[0].partition("=")[2]
        if variant:
            sources = [f["from"] for f in (out.get("bundle") or {}).get("files", []) if "libstdc++" in f["from"]]
            ok(sources and all("-posix" in f for f in sources), f"{name}: libstdc++-6.dll from {sources}")
    # --deploy, twice: the runtime beside the program, then nothing more.
    folder = work("deploy")
    exe = placed("threaded64", [], folder)
    runtime = {"threaded.exe", "libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"}
    for name, copied in (("--deploy", runtime - {"threaded.exe"}), ("--deploy again", set())):
        status, out, err = loadcheck_json(exe, "--mingw", "--deploy")
        files = {f["file"] for f in (out.get("bundle") or {}).get("files", [])}
        ok(status == 0 and set(os.listdir(folder)) == runtime and files == copied and
           (out.get("bundle") or {}).get("verdict") == "starts",
           f"{name}: status {status}, the folder holds {sorted(os.listdir(folder))}, copied {sorted(files)}, "
           f"expected {sorted(copied)}; {err[-300:]!r}")
    for n, (name, program, files, options, lines) in enumerate(MISSING):
        exe = placed(program, files, work(f"missing{n}"))
        status, out, err = loadcheck(exe, *options)
        got = out.splitlines()
        ok(all(line in got for line in lines), f"{name}: status {status}, expected the lines {lines} in\n{out}")


def loadcheck_json(*args):
    status, out, err = loadcheck(*args, "--json")
    try:
        return status, json.loads(out), err
    except ValueError:
        return status, {}, f"no JSON object: {out[:300]!r} {err}"
