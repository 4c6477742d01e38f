"""Wine as a second witness of scripts/loadcheck's verdicts: in each of the
loader's cases that Wine can show (loader_cases.py), test.exe runs under
Wine in the same folder, and Wine's outcome must be the verdict's: the
greeting and status 0 where it says "starts", no start and nothing on
standard output where it says "refused". Where the case says that Wine
differs from Windows, Wine must still differ so, so that a Wine that has
changed is noticed.

    loader_witness.py
"""
import contextlib
import io
import os

import loader_cases
from harness import GREETING, P, main, ok, run, work
from loadcheck import cli

LIMIT = 120


def under_wine(exe, path):
    """'starts', 'does not start', or what else Wine did."""
    env = dict(os.environ)
    if path:
        # Wine's PATH for the program, in its own spelling of the folders.
        env["WINEPATH"] = ";".join("Z:" + p.replace("/", "\\") for option in path for p in option.split(":"))
    r = run([P.wine, exe], cwd=os.path.dirname(exe), env=env, limit=LIMIT)
    if r.status == "hung":
        return f"no end within {LIMIT} s"
    if r.status == 0 and r.out == GREETING:
        return "starts"
    if r.status != 0 and r.out == b"":
        return "does not start"
    return f"status {r.status}, standard output {r.out[:80]!r}"


def as_windows(verdict):
    return "starts" if verdict == "starts" else "does not start"


def loader_wine_agrees():
    # Wine's major version, for the cases where one Wine differs and another not.
    major = run([P.wine, "--version"], limit=LIMIT).out.decode().removeprefix("wine-").split(".")[0]
    for n, case in enumerate(loader_cases.cases(work("cases"), P.dlls, P.standin, P.wine_dlls, P.exe)):
        if not case.wine_can_show():
            continue
        exe = case.place(P.exe, os.path.join(P.work, f"case{n}"))
        # loadcheck in this process, so that the system's DLLs are read once
        # for all the cases, not once a case (in the emulated machine a read
        # of them all takes seconds).
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()) as err:
            status = cli.main([exe, "--system", P.wine_dlls, *case.options()])
        windows = {0: "starts", 1: "does not start"}.get(status, err.getvalue().strip())
        ok(windows == as_windows(case.verdict), f"{case.name}: loadcheck says Windows {windows!r}, the case "
           f"{case.verdict!r}")
        wine = under_wine(exe, case.path)
        differs = case.wine_differs(major)
        expected = differs or as_windows(case.verdict)
        ok(wine == expected, f"{case.name}: Wine {major} {wine!r}, expected {expected!r}"
           + (f" (Wine differs from Windows here: {case.why})" if differs else ""))
        print(f"{case.name}: Windows {windows}, Wine {wine}" + (" (as known: Wine differs)" if differs else ""))


if __name__ == "__main__":
    main(loader_wine_agrees)
