"""Wine as a second witness of scripts/loadcheck's verdicts: in each of the
loader's cases that Wine can show (loader_cases.py), test.exe runs under
Wine in the same folder, and Wine's outcome must be the case's verdict
(which loader_verdict.py proves loadcheck gives): the greeting and status 0
where it says "starts", no start and nothing on standard output where it
says "refused". Where the case says that Wine differs from Windows, Wine
must still differ so, so that a Wine that has changed is noticed. Then the
bundles that loadcheck makes of this preset's programs run alone under
Wine. The 32-bit programs run under Wine where scripts/with-wine runs it;
the 64-bit twin's under Wine's 64-bit loader, on the host (scripts/with-wine
--x64), which runs 64-bit programs on any x86-64 kernel.

    loader_witness.py loader-wine-agrees|loader-wine64-agrees|bundles-run|bundles64-run

The cases do not depend on the preset (the images' import tables are the
same, pe_image.py), so scripts/test runs them once; the bundles hold each
preset's own runtime DLLs.
"""
import concurrent.futures
import os
import shutil
import tempfile

import loader_bundle
import loader_cases
from harness import GREETING, P, main, ok, run, work, wow64

LIMIT = 120


def under_wine(wine, exe, path):
    """'starts', 'does not start', or what else Wine did."""
    env = dict(os.environ)
    if path:
        # Wine's PATH for the program, in its own spelling of the folders.
        env["WINEPATH"] = ";".join("Z:" + p.replace("/", "\\") for option in path for p in option.split(":"))
    r = run([wine, exe], cwd=os.path.dirname(exe), env=env, limit=LIMIT)
    if r.status == "hung":
        return f"no end within {LIMIT} s"
    if r.status == 0 and r.out == GREETING:
        return "starts"
    if r.status != 0 and r.out == b"":
        return "does not start"
    return f"status {r.status}, standard output {r.out[:80]!r}"


def as_windows(verdict):
    return "starts" if verdict == "starts" else "does not start"


def witness(x64):
    """The cases of test.exe, or of its 64-bit twin, under the Wine of its
    machine: two at a time (each Wine start takes a second or more in the
    emulated machine, and waits on the wineserver part of that time)."""
    wine, program = (P.wine64, P.exe64) if x64 else (P.wine, P.exe)
    # Wine's major version, for the cases where one Wine differs and another not.
    major = run([wine, "--version"], limit=LIMIT).out.decode().removeprefix("wine-").split(".")[0]
    # Wine's WoW64 mode runs 32-bit programs where no 32-bit loader is installed.
    is_wow64 = not x64 and wow64()
    cases = [(case, case.place(program, os.path.join(P.work, f"case{n}")))
             for n, case in enumerate(loader_cases.cases(work("cases"), P))
             if case.wine_can_show() and case.x64 == x64]
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        under = list(pool.map(lambda c: under_wine(wine, c[1], c[0].path), cases))
    for (case, exe), seen in zip(cases, under):
        differs = case.wine_differs(major, is_wow64)
        expected = differs or as_windows(case.verdict)
        ok(seen == expected, f"{case.name}: Wine {major}{' (WoW64)' if is_wow64 else ''} {seen!r}, expected {expected!r}"
           + (f" (Wine differs from Windows here: {case.why})" if differs else ""))
        print(f"{case.name}: Windows {as_windows(case.verdict)}, Wine {seen}"
              + (" (as known: Wine differs)" if differs else ""))


# What each program of the layouts prints, run.
PRINTS = {"exe": GREETING, "threaded64": b"Hello from a thread!\r\n"}


def layouts_run(wine, x64):
    """The bundles of the layouts (loader_bundle.LAYOUTS) of the machine's
    programs, made against the built-in Windows, run alone under the Wine
    of that machine, from a temporary folder as above."""
    for name, program, files, options, _ in loader_bundle.LAYOUTS:
        if program.endswith("64") != x64:
            continue
        with tempfile.TemporaryDirectory(prefix="layout-") as prefix:
            exe, args, dest = loader_bundle.laid_out(prefix, program, files, options)
            status, _, err = loader_cases.verdict_of(exe, *args, "--bundle", dest)
            if not ok(os.path.isdir(dest), f"{name}: no bundle made: loadcheck {status} {err!r}"):
                continue
            r = run([wine, os.path.join(dest, os.path.basename(exe))], cwd=dest, limit=LIMIT)
            ok(status == 0 and r.status == 0 and r.out == PRINTS[program],
               f"{name}: the bundle: loadcheck {status} {err!r}; under Wine, alone: status {r.status}, {r.out!r}")


def bundle_runs_alone(wine, program, system):
    """The threaded program does not start alone under Wine (its runtime
    DLLs are nowhere), and its bundle (--mingw) does, printing its line. In
    a temporary folder, not the build tree: in the emulated machine that is
    a shared folder, from which 32-bit Wine cannot map libstdc++-6.dll
    (docs/machine.md)."""
    with tempfile.TemporaryDirectory(prefix="bundle-") as folder:
        exe = shutil.copy(program, folder)
        r = run([wine, exe], cwd=folder, limit=LIMIT)
        ok(r.status != 0 and r.out == b"", f"{exe} alone: status {r.status}, {r.out!r}, expected no start")
        status, _, err = loader_cases.verdict_of(exe, "--system", system, "--mingw", "--bundle", f"{folder}/bundle")
        r = run([wine, os.path.join(folder, "bundle", os.path.basename(exe))], cwd=f"{folder}/bundle", limit=LIMIT)
        ok(status == 0 and r.status == 0 and r.out == b"Hello from a thread!\r\n",
           f"the bundle of {exe}: loadcheck {status} {err!r}; under Wine, alone: status {r.status}, {r.out!r}")


def loader_wine_agrees():
    witness(x64=False)


def loader_wine64_agrees():
    witness(x64=True)


def bundles_run():
    bundle_runs_alone(P.wine, P.threaded, P.wine_dlls)
    layouts_run(P.wine, x64=False)


def bundles64_run():
    bundle_runs_alone(P.wine64, P.threaded64, P.wine_dlls64)
    layouts_run(P.wine64, x64=True)


if __name__ == "__main__":
    main(loader_wine_agrees, loader_wine64_agrees, bundles_run, bundles64_run)
