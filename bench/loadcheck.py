#!/usr/bin/python3
"""How long scripts/loadcheck takes for one verdict against the built-in
Windows releases (the default: Windows 11's verdict, with the line of every
release's), and against a Windows folder as big as a real Windows 10's: a side-by-side store of some 30,000
compressed manifests and a SYSTEM hive (the suite's Windows 10 folder,
tests/windows_folder.py, with that many more components), for test.exe and
for its 64-bit twin. Each verdict is a process of its own, as a user runs
it. Reports; does not judge.

    bench/loadcheck.py BUILD_DIR [MANIFESTS] [RUNS]
"""
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

source = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
sys.path.insert(0, os.path.join(source, "tests"))
sys.path.insert(0, os.path.join(source, "loadcheck", "src"))
import windows_folder  # noqa: E402
from loadcheck.folders import wine_system  # noqa: E402
from loadcheck.machine import X64, X86  # noqa: E402


def timed(args, runs, what):
    """The median, least and most seconds of runs of scripts/loadcheck."""
    times = []
    for _ in range(runs):
        started = time.monotonic()
        r = subprocess.run([os.path.join(source, "scripts", "loadcheck"), *args], capture_output=True, text=True)
        times.append(time.monotonic() - started)
        if r.returncode != 0:
            sys.exit(f"bench/loadcheck.py: {what}: loadcheck said {r.stdout[-300:]!r} {r.stderr[-300:]!r}")
    return f"median {statistics.median(times):.3f} s over {runs} runs (min {min(times):.3f} s, max {max(times):.3f} s)"


def built_in(build, work, runs):
    """test.exe and its twin, each with its stand-in, against the built-in
    releases: Windows 11's verdict and the line of all seven."""
    for case, program in (("test.exe", build), ("the 64-bit twin", os.path.join(build, "x64"))):
        folder = os.path.join(work, "built-in-" + case.replace(" ", "-"))
        os.makedirs(folder)
        shutil.copy(os.path.join(program, "xiapi32.dll"), folder)
        exe = shutil.copy(os.path.join(program, "test.exe"), folder)
        print(f"{case}, the built-in Windows: {timed([exe], runs, case)}; target at most 0.3 s")


def main(build, manifests=30000, runs=5):
    work = os.path.join(build, "bench", "loadcheck")
    shutil.rmtree(work, ignore_errors=True)
    built_in(build, work, runs)
    dlls = os.path.join(build, "tests", "dlls")
    extra = manifests - len(windows_folder.COMPONENTS)
    started = time.monotonic()
    windows = windows_folder.make(os.path.join(work, "Windows"), wine_system(X86), wine_system(X64), extra=extra,
                                  files={"xilong.dll": os.path.join(dlls, "longname", "xilong.dll")})
    made = time.monotonic() - started
    print(f"a Windows 10 folder with {manifests} compressed manifests, made in {made:.1f} s")
    # The stand-in alone (no manifest: the store is only listed), and a DLL
    # that asks for the common controls 6 (publisher policy, then the store);
    # each for test.exe and for its 64-bit twin (build/<preset>/x64).
    twin = os.path.join(build, "x64")
    for case, program, dll in (
            ("the stand-in", build, os.path.join(build, "xiapi32.dll")),
            ("a DLL asking for the common controls 6", build, os.path.join(dlls, "comctl6", "xiapi32.dll")),
            ("the 64-bit twin's stand-in", twin, os.path.join(twin, "xiapi32.dll")),
            ("a 64-bit DLL asking for the common controls 6", twin,
             os.path.join(twin, "tests", "dlls", "comctl6", "xiapi32.dll"))):
        folder = os.path.join(work, case.replace(" ", "-"))
        os.makedirs(folder)
        shutil.copy(dll, folder)
        exe = shutil.copy(os.path.join(program, "test.exe"), folder)
        print(f"{case}: {timed([exe, '--system', windows], runs, case)}; target at most 1 s")
    bundle(build, work, windows, runs)
    shutil.rmtree(work)


def bundle(build, work, windows, runs):
    """--mingw --bundle for bench/runtimes.exe, which needs many of GCC's
    runtime DLLs, against the same Windows folder: a verdict, the folder
    made, and the folder's own verdict."""
    program = os.path.join(build, "bench", "runtimes.exe")
    if not os.path.isfile(program):
        print(f"--bundle: {program} is not built (the GCC preset builds it, with -DBUILD_BENCHMARK=ON)")
        return
    folder = os.path.join(work, "bundle")
    os.makedirs(folder)
    exe = shutil.copy(program, folder)
    times = []
    for n in range(runs):
        started = time.monotonic()
        r = subprocess.run([os.path.join(source, "scripts", "loadcheck"), exe, "--system", windows, "--mingw", "--json",
                            "--bundle", os.path.join(folder, str(n))], capture_output=True, text=True)
        times.append(time.monotonic() - started)
        if r.returncode != 0:
            sys.exit(f"bench/loadcheck.py: --bundle said {r.stdout[-300:]!r} {r.stderr[-300:]!r}")
    said = json.loads(r.stdout)
    print(f"--mingw --bundle of {os.path.basename(exe)} ({len(said['modules'])} DLLs mapped, "
          f"{len(said['bundle']['files']) - 1} bundled): median {statistics.median(times):.3f} s over {runs} runs "
          f"(min {min(times):.3f} s, max {max(times):.3f} s); target at most 2 s")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    main(sys.argv[1], *(int(a) for a in sys.argv[2:]))
