"""Wine as a second witness of scripts/loadcheck's verdicts: in each of the
loader's cases that Wine can show (loader_cases.py), test.exe runs under
Wine in the same folder, and Wine's outcome must agree with the verdict that
loadcheck gives with Wine's DLL folder as the system folder: the greeting
and status 0 where it says "starts", no start and nothing on standard output
where it says "refused".

Where Wine is known to differ from Windows, wine_differs.json, beside this
file, says what Wine does and why; there Wine must still differ, so that a
Wine that has changed is noticed.

    loader_witness.py --loadcheck LOADCHECK --wine WINE --exe TEST_EXE --standin DLL --dlls DIR --system DIR --work DIR
"""
import argparse
import contextlib
import io
import json
import os
import shutil
import subprocess
import sys
import tempfile

import loader_cases
from ok import ok, done

GREETING = b"Hello world!\r\n"
DIFFERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wine_differs.json")
TIMEOUT = 120


def under_wine(exe, path):
    """'starts', 'does not start', or what else Wine did."""
    env = dict(os.environ)
    if path:
        # Wine's PATH for the program, in its own spelling of the folders.
        env["WINEPATH"] = ";".join("Z:" + p.replace("/", "\\") for option in path for p in option.split(":"))
    # Standard output to a file: a pipe would stay open while Wine's own
    # background processes live on.
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen([A.wine, exe], cwd=os.path.dirname(exe), env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.DEVNULL)
        try:
            status = proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            return f"no end within {TIMEOUT} s"
        out.seek(0)
        stdout = out.read()
    if status == 0 and stdout == GREETING:
        return "starts"
    if status != 0 and stdout == b"":
        return "does not start"
    return f"status {status}, standard output {stdout[:80]!r}"


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    for opt in ("loadcheck", "wine", "exe", "standin", "dlls", "system", "work"):
        p.add_argument("--" + opt, required=True)
    A = p.parse_args()
    with open(DIFFERS) as f:
        differs = json.load(f)
    # loadcheck in this process, so that the system's DLLs are read once for
    # all the cases, not once a case (in the emulated machine a read of them
    # all takes seconds).
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(A.loadcheck))))
    from loadcheck import cli
    shutil.rmtree(A.work, ignore_errors=True)
    os.makedirs(A.work)
    try:
        shown = []
        for n, case in enumerate(loader_cases.cases(A.work, A.dlls, A.standin, A.system)):
            if not case.wine_can_show():
                continue
            shown.append(case.name)
            exe = case.place(A.exe, os.path.join(A.work, f"case{n}"))
            with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()) as err:
                status = cli.main([exe, "--system", A.system, *case.options()])
            windows = "starts" if status == 0 else "does not start" if status == 1 else err.getvalue().strip()
            wine = under_wine(exe, case.path)
            if case.name in differs:
                known = differs[case.name]
                ok(windows == known["windows"] and wine == known["wine"],
                   f"{case.name}: Windows (loadcheck) {windows!r}, Wine {wine!r}; {os.path.basename(DIFFERS)} says "
                   f"Windows {known['windows']!r}, Wine {known['wine']!r}")
            else:
                ok(wine == windows, f"{case.name}: Wine {wine!r}, but loadcheck says Windows {windows!r}")
            print(f"{case.name}: Windows {windows}, Wine {wine}")
        stale = sorted(set(differs) - set(shown))
        ok(not stale, f"{os.path.basename(DIFFERS)} names cases that Wine does not show: {stale}")
    finally:
        shutil.rmtree(A.work, ignore_errors=True)
    done("loader witness")
