"""test.exe run through Wine, as a user or a script would run it. Wine's
settings and prefix come from the environment (scripts/with-wine).

    program.py greeting|write-failure|loader|which-wine|in-the-machine
"""
import os
import pathlib
import shutil
import subprocess

from harness import GREETING, MACHINE_LIMIT, P, RUN_LIMIT, Result, expect_greeting, main, ok, run, work, wow64

# Arguments of every kind: the program reads none, and its start-up code
# must not expand wildcards.
ARGUMENTS = [[], ["two words", "  padded  "], ['"double"', "'single'", 'a\\"b\\'], ["*", "?", "*.*", "[a-z]*"], [""],
             ["x" * 16000], ["-h", "--help", "/?"]]


def wine(*args, **kwargs):
    return run([P.wine, P.exe, *args], **kwargs)


def greeting():
    for args in ARGUMENTS:
        expect_greeting(f"arguments {[a[:20] for a in args]}", wine(*args))
    expect_greeting("standard input closed", wine(stdin=None, close_fds=[0]))
    # A pipe whose writer never closes it: reading would block forever.
    with subprocess.Popen(["sleep", str(RUN_LIMIT * 2)], stdout=subprocess.PIPE) as writer:
        expect_greeting("standard input an open pipe", wine(stdin=writer.stdout))
        writer.kill()

    folder = work("concurrent")
    files = [open(os.path.join(folder, f"out{i}"), "w+b") for i in range(4)]
    procs = [subprocess.Popen([P.wine, P.exe], stdin=subprocess.DEVNULL, stdout=f) for f in files]
    for i, (p, f) in enumerate(zip(procs, files)):
        status = p.wait(RUN_LIMIT)
        f.seek(0)
        got = f.read()
        f.close()
        ok(status == 0 and got == GREETING, f"concurrent run {i}: status {status}, output {got!r}")


def write_failure():
    with open("/dev/full", "wb") as full:
        rows = [("standard output on /dev/full", {"stdout": full}),
                ("standard output closed", {"stdout": subprocess.DEVNULL, "close_fds": [1]})]
        for what, how in rows:
            r = wine(**how)
            ok(r.status == 1, f"{what}: exit status {r.status}, expected 1")
            ok(r.err == b"", f"{what}: standard error {r.err!r}, expected nothing")


def loader():
    # Only test.exe in the folder (and as the working directory, which the
    # loader also searches): xiapi32.dll is nowhere to be found.
    alone = work("alone")
    exe = shutil.copy(P.exe, alone)
    r = run([P.wine, exe], cwd=alone, env=dict(os.environ, WINEDEBUG="err+module"))
    ok(r.status not in (0, "hung"), f"xiapi32.dll absent: exit status {r.status}, expected a load failure")
    ok(r.out == b"", f"xiapi32.dll absent: standard output {r.out!r}, expected nothing")
    ok(b"xiapi32.dll" in r.err, f"xiapi32.dll absent: the loader's report {r.err!r} does not name it")

    # Windows refuses to start a process with an unresolved import; Wine
    # binds it to a stub and warns instead. What both share, and what we
    # check: the loader looks the function up by name at process start.
    shutil.copy(os.path.join(P.dlls, "lacking", "xiapi32.dll"), alone)
    r = run([P.wine, exe], cwd=alone, env=dict(os.environ, WINEDEBUG="warn+module"), stderr=subprocess.STDOUT)
    log = r.out
    warning = b"No implementation for xiapi32.dll.xiStopAcquisition"
    ok(warning in log, f"xiapi32.dll without the function: no {warning!r} in {log[-400:]!r}")
    ok(warning in log and log.find(warning) < log.find(GREETING),
       f"xiapi32.dll without the function: the warning does not come before the greeting in {log[-400:]!r}")
    ok(r.status == 0, f"xiapi32.dll without the function: Wine ran it to status {r.status}")


def which_wine():
    # Which Wine runs the 32-bit program: the one the installed Wine gives
    # (wow64 in harness.py), the one scripts/with-wine --why names, and the one the
    # run shows must be the same: in WoW64 mode Wine loads its wow64 DLLs
    # into a 32-bit process, the 32-bit loader does not.
    is_wow64 = wow64()
    mode = "Wine's WoW64 mode" if is_wow64 else "Wine's 32-bit loader"
    why = run([P.with_wine, "--why"]).out.decode()
    ok(f"32-bit programs run under {mode}" in why, f"the packages make it {mode}, with-wine --why says {why!r}")
    r = run([P.wine, P.exe], env=dict(os.environ, WINEDEBUG="+loaddll"))
    # The loader's trace holds the program's own DLLs, so that it is this process's.
    ok(r.status == 0 and b"xiapi32.dll" in r.err and (b"wow64.dll" in r.err) == is_wow64,
       f"under {mode}: status {r.status}, wow64.dll {'not ' if is_wow64 else ''}expected among {r.err[-1500:]!r}")


def in_the_machine():
    # Through the emulated machine even where this host runs Wine itself:
    # the test.exe of every preset built beside this one, in one command,
    # so that such a host boots the machine once for them all.
    presets = run([os.path.join(P.source, "scripts", "presets")]).out.decode().split()
    programs = [exe for exe in (os.path.join(os.path.dirname(P.build), p, "test.exe") for p in presets)
                if os.path.exists(exe)]
    ok(P.exe in programs, f"this preset's {P.exe} is not among the presets' programs {programs}")
    folder = work("in-the-machine")
    each = 'n=0; for exe; do n=$((n + 1)); "$0" "$exe" > "$OUT/$n.out" 2> "$OUT/$n.err"; echo $? > "$OUT/$n.status"; done'
    r = run([P.with_wine, "sh", "-c", each, P.wine, *programs], limit=MACHINE_LIMIT,
            env=dict(os.environ, RUN_IN_VM="always", OUT=folder))
    ok(r.status == 0, f"the machine's command: exit status {r.status}, stderr {r.err[-800:]!r}")
    for n, exe in enumerate(programs, 1):
        files = {stream: pathlib.Path(folder, f"{n}.{stream}") for stream in ("out", "err", "status")}
        seen = {stream: f.read_bytes() if f.exists() else None for stream, f in files.items()}
        status = int(seen["status"]) if seen["status"] else None
        expect_greeting(f"{exe} in the emulated machine", Result(status=status, out=seen["out"], err=seen["err"]))


if __name__ == "__main__":
    main(greeting, write_failure, loader, which_wine, in_the_machine)
