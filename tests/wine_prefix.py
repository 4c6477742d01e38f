"""The rules around the Wine prefix: only one emulated machine at a time uses
the machine's prefix (each has a wineserver of its own, which must not share
a registry), whether it boots for one command or serves a whole run, and a
prefix that cannot be made shows Wine's own messages.

    wine_prefix.py
"""
import fcntl
import os
import selectors
import subprocess
import time

from harness import MACHINE_LIMIT, RUN_LIMIT, P, machine_up, main, ok, work


def with_wine():
    return os.path.join(P.source, "scripts", "with-wine")


def read_until(stream, wanted, limit):
    """What stream gave until a line holding wanted came, or the limit or
    its end; (text, True when wanted came)."""
    sel = selectors.DefaultSelector()
    sel.register(stream, selectors.EVENT_READ)
    deadline = time.monotonic() + limit
    seen = b""
    while wanted not in seen:
        if not sel.select(timeout=max(0, deadline - time.monotonic())):
            return seen, False
        chunk = os.read(stream.fileno(), 4096)
        if not chunk:
            return seen, False
        seen += chunk
    return seen, True


def one_machine_at_a_time(cache, env):
    env = dict(env, RUN_IN_VM="always")
    # The machine's prefix, as the commands in the machine get it.
    out = subprocess.run([with_wine(), "env"], env=dict(env, VM_GUEST="1"), capture_output=True, text=True)
    prefix = next((line[11:] for line in out.stdout.splitlines() if line.startswith("WINEPREFIX=")), None)
    if not ok(prefix and prefix.startswith(cache), f"with-wine gave the machine the prefix {prefix}, not one in {cache}"):
        return

    with open(prefix + ".lock", "w") as lock:
        # Another run holds the prefix: this one waits, and says so.
        fcntl.flock(lock, fcntl.LOCK_EX)
        waiting = work("waiting")
        proc = subprocess.Popen([with_wine(), "sh", "-c", "echo started; sleep 3"], env=dict(env, TMPDIR=waiting),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            said, waits = read_until(proc.stderr, b"waiting for another run", 30)
            ok(waits, f"a second machine on the prefix: no word that it waits, stderr {said[-400:]!r}")
            time.sleep(2)
            ok(proc.poll() is None, f"a second machine on the prefix: it ended ({proc.returncode}) instead of waiting")
            fcntl.flock(lock, fcntl.LOCK_UN)

            # Once it has the prefix, it keeps it for the whole boot.
            up = machine_up(os.path.join(waiting, "vm-run-*"), proc)
            out, started = read_until(proc.stdout, b"started", RUN_LIMIT) if up else (b"", False)
            ok(started, f"the waiting machine never started its command: stdout {out!r}")
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                held = False
                fcntl.flock(lock, fcntl.LOCK_UN)
            except BlockingIOError:
                held = True
            ok(held, f"while a machine ran on {prefix}, its lock was free")
            status = proc.wait(60)
            ok(status == 0, f"the machine's command: exit status {status}, expected 0")
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def failure_shows_the_log(env):
    # A prefix that Wine refuses to make (its architecture is none Wine
    # knows), made where Wine runs, as every prefix is: a host that refuses
    # 32-bit programs must fail for that reason, not for its own.
    prefix = os.path.join(work("refused"), "prefix")
    r = subprocess.run([with_wine(), "env", f"WINEPREFIX={prefix}", "WINEARCH=win16",
                        os.path.join(P.source, "scripts", "wine-prefix")], env=env,
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=MACHINE_LIMIT)
    with open(prefix + ".log") as f:
        log = f.read()
    ok(r.returncode == 1, f"a prefix that cannot be made: exit status {r.returncode}, expected 1; stderr {r.stderr!r}")
    ok("WINEARCH" in log, f"a prefix that cannot be made: Wine's log {log!r} does not give Wine's reason")
    ok(log.strip() and log in r.stderr, f"a prefix that cannot be made: Wine's log {log!r} is not shown in {r.stderr!r}")
    ok("scripts/wine-prefix: wineboot could not make" in r.stderr,
       f"a prefix that cannot be made: standard error {r.stderr!r} does not say what failed")


def two_runs_at_once(cache, env):
    # Two runs of the suite at once (two presets, two clones): each run's
    # machine serves it alone, and the second waits, saying so, until the
    # first is stopped; stopped, nothing of either is left.
    env = dict(env, RUN_IN_VM="always")
    first, second = (os.path.join(work(f"run-{n}"), "machine") for n in (1, 2))

    def machine(session, what, **popen):
        return subprocess.Popen([with_wine(), f"--{what}-machine"], env=dict(env, VM_SESSION=session),
                                stdin=subprocess.DEVNULL, **popen)
    ok(machine(first, "start").wait() == 0 and os.path.isdir(first), f"the first run's machine did not start at {first}")
    waits = machine(second, "start", stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        said, waited = read_until(waits.stderr, b"waiting for another run", 30)
        ok(waited and waits.poll() is None, f"a second run's machine: no word that it waits, stderr {said[-400:]!r}")
        ok(machine(first, "stop").wait() == 0, "the first run's machine did not stop")
        ok(machine_up(second, waits) and waits.wait(RUN_LIMIT) == 0,
           f"the second run's machine did not start once the first had stopped (status {waits.poll()})")
        ran = subprocess.run([with_wine(), "echo", "served"], env=dict(env, VM_SESSION=second), capture_output=True,
                             stdin=subprocess.DEVNULL, timeout=RUN_LIMIT)
        ok(ran.returncode == 0 and ran.stdout == b"served\n", f"a command of the second run: {ran}")
    finally:
        machine(second, "stop").wait()
        if waits.poll() is None:
            waits.kill()
    for session in (first, second):
        ok(subprocess.run([os.path.join(P.source, "scripts", "vm"), "--serving", session]).returncode != 0,
           f"a machine still serves at {session}")


def wine_prefix_rules():
    # A cache folder of the test's own, so that the machine's prefix and its
    # lock are the test's too, and the suite's Wine tests are not waited for.
    cache = work("cache")
    env = {k: v for k, v in os.environ.items() if k not in ("VM_SESSION", "CTEST_VM_SESSION")}
    env["XDG_CACHE_HOME"] = cache
    failure_shows_the_log(env)
    one_machine_at_a_time(cache, env)
    two_runs_at_once(cache, env)


if __name__ == "__main__":
    main(wine_prefix_rules)
