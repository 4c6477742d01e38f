"""test.exe run through Wine, as a user or a script would run it.

    run_program.py greeting|write-failure|loader --wine WINE --exe TEST_EXE
                   [--lacking-dll DLL]

Wine's settings (WINEPREFIX, WINEDEBUG=-all) come from the environment.
"""
import argparse
import os
import shutil
import subprocess
import tempfile

from ok import ok, done

GREETING = b"Hello world!\r\n"
TIMEOUT = 60  # seconds; far beyond a normal run, which takes well under one


def run(args, stdin=subprocess.DEVNULL, stdout=None, close_fds=(), cwd=None, env=None, exe=None):
    """Run test.exe under Wine; returns (status, stdout bytes, stderr bytes).
    stdout goes to a file unless given, so that it is what a redirect gives."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        target = out if stdout is None else stdout
        proc = subprocess.Popen(WINE + [exe or EXE] + args, stdin=stdin, stdout=target, stderr=err,
                                cwd=cwd, env=env, preexec_fn=lambda: [os.close(fd) for fd in close_fds])
        try:
            status = proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            status = "hung"
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def expect_greeting(what, result):
    status, out, err = result
    ok(status == 0, f"{what}: exit status {status}, expected 0")
    ok(out == GREETING, f"{what}: standard output {out!r}, expected {GREETING!r}")
    ok(err == b"", f"{what}: standard error {err!r}, expected nothing")


def greeting():
    expect_greeting("no arguments", run([]))
    for args in (["two words", "  padded  "], ['"double"', "'single'", 'a\\"b\\'],
                 ["*", "?", "*.*", "[a-z]*"], [""], ["x" * 16000], ["-h", "--help", "/?"]):
        expect_greeting(f"arguments {[a[:20] for a in args]}", run(args))

    expect_greeting("standard input closed", run([], stdin=None, close_fds=[0]))
    # A pipe whose writer never closes it: reading would block forever.
    with subprocess.Popen(["sleep", str(TIMEOUT * 2)], stdout=subprocess.PIPE) as writer:
        expect_greeting("standard input an open pipe", run([], stdin=writer.stdout))
        writer.kill()

    with tempfile.TemporaryDirectory() as folder:
        files = [open(os.path.join(folder, f"out{i}"), "w+b") for i in range(4)]
        procs = [subprocess.Popen(WINE + [EXE], stdin=subprocess.DEVNULL, stdout=f) for f in files]
        for i, (p, f) in enumerate(zip(procs, files)):
            status = p.wait(TIMEOUT)
            f.seek(0)
            got = f.read()
            f.close()
            ok(status == 0 and got == GREETING, f"concurrent run {i}: status {status}, output {got!r}")


def write_failure():
    with open("/dev/full", "wb") as full:
        status, _, err = run([], stdout=full)
    ok(status == 1, f"standard output on /dev/full: exit status {status}, expected 1")
    ok(err == b"", f"standard output on /dev/full: standard error {err!r}, expected nothing")

    status, _, err = run([], stdout=subprocess.DEVNULL, close_fds=[1])
    ok(status == 1, f"standard output closed: exit status {status}, expected 1")
    ok(err == b"", f"standard output closed: standard error {err!r}, expected nothing")


def loader(lacking_dll):
    env = dict(os.environ)
    with tempfile.TemporaryDirectory() as alone:
        # Only test.exe in the folder (and as the working directory, which the
        # loader also searches): xiapi32.dll is nowhere to be found.
        exe = shutil.copy(EXE, alone)
        env["WINEDEBUG"] = "err+module"
        status, out, err = run([], cwd=alone, env=env, exe=exe)
        ok(status not in (0, "hung"), f"xiapi32.dll absent: exit status {status}, expected a load failure")
        ok(out == b"", f"xiapi32.dll absent: standard output {out!r}, expected nothing")
        ok(b"xiapi32.dll" in err, f"xiapi32.dll absent: the loader's report {err!r} does not name it")

        # Windows refuses to start a process with an unresolved import; Wine
        # binds it to a stub and warns instead. What both share, and what we
        # check: the loader looks the function up by name at process start.
        shutil.copy(lacking_dll, os.path.join(alone, "xiapi32.dll"))
        env["WINEDEBUG"] = "warn+module"
        with tempfile.TemporaryFile() as both:
            proc = subprocess.run(WINE + [exe], cwd=alone, env=env, stdin=subprocess.DEVNULL,
                                  stdout=both, stderr=both, timeout=TIMEOUT)
            both.seek(0)
            log = both.read()
        warning = b"No implementation for xiapi32.dll.xiStopAcquisition"
        ok(warning in log, f"xiapi32.dll without the function: no {warning!r} in {log[-400:]!r}")
        ok(warning in log and log.find(warning) < log.find(b"Hello world!"),
           f"xiapi32.dll without the function: the warning does not come before the greeting in {log[-400:]!r}")
        ok(proc.returncode == 0, f"xiapi32.dll without the function: Wine ran it to status {proc.returncode}")


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("group", choices=["greeting", "write-failure", "loader"])
    p.add_argument("--wine", required=True, nargs="+")
    p.add_argument("--exe", required=True)
    p.add_argument("--lacking-dll")
    a = p.parse_args()
    WINE, EXE = a.wine, a.exe
    if a.group == "greeting":
        greeting()
    elif a.group == "write-failure":
        write_failure()
    else:
        loader(a.lacking_dll)
    done(a.group)
