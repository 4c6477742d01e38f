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


def failure_shows_the_log(env):
    # A prefix that Wine refuses to make (its architecture is none Wine
    # knows), made where Wine runs, as every prefix is: a host that refuses
    # 32-bit programs must fail for that reason, not for its own. (Where
    # Wine runs in the machine, env names a machine that serves.)
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


def lock_held(lock):
    try:
        fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    fcntl.flock(lock, fcntl.LOCK_UN)
    return False


def one_machine_at_a_time(cache, host_env):
    """Only one machine at a time uses the machine's prefix, in two boots:
    a run's machine (scripts/with-wine --start-machine) waits while another
    holds the prefix, saying so, then holds it until it is stopped; a
    machine booted for one command meanwhile waits, saying so, then holds
    it for its whole boot. Stopped, nothing of either is left."""
    env = dict(host_env, RUN_IN_VM="always")
    # The machine's prefix, as the commands in the machine get it.
    out = subprocess.run([with_wine(), "env"], env=dict(env, VM_GUEST="1"), capture_output=True, text=True)
    prefix = next((line[11:] for line in out.stdout.splitlines() if line.startswith("WINEPREFIX=")), None)
    if not ok(prefix and prefix.startswith(cache), f"with-wine gave the machine the prefix {prefix}, not one in {cache}"):
        return
    session = os.path.join(work("run"), "machine")

    def machine(what, **popen):
        return subprocess.Popen([with_wine(), f"--{what}-machine"], env=dict(env, VM_SESSION=session),
                                stdin=subprocess.DEVNULL, **popen)
    run, one = None, None
    with open(prefix + ".lock", "w") as lock:
        try:
            # Another run holds the prefix (here, this test): the run's machine waits, and says so.
            fcntl.flock(lock, fcntl.LOCK_EX)
            run = machine("start", stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            said, waits = read_until(run.stderr, b"waiting for another run", 30)
            ok(waits, f"a run's machine on a held prefix: no word that it waits, stderr {said[-400:]!r}")
            time.sleep(2)
            ok(run.poll() is None, f"a run's machine on a held prefix: it ended ({run.returncode}) instead of waiting")
            fcntl.flock(lock, fcntl.LOCK_UN)
            ok(machine_up(session, run) and run.wait(RUN_LIMIT) == 0,
               f"the run's machine did not start once the prefix was free (status {run.poll()})")
            served = subprocess.run([with_wine(), "echo", "served"], env=dict(env, VM_SESSION=session),
                                    capture_output=True, stdin=subprocess.DEVNULL, timeout=RUN_LIMIT)
            ok(served.returncode == 0 and served.stdout == b"served\n", f"a command of the run: {served}")
            failure_shows_the_log(dict(host_env, VM_SESSION=session))

            # While it serves, a machine for one command waits, and says so.
            waiting = work("waiting")
            one = subprocess.Popen([with_wine(), "sh", "-c", "echo started; sleep 3"], env=dict(env, TMPDIR=waiting),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            said, waits = read_until(one.stderr, b"waiting for another run", 30)
            ok(waits, f"a machine for one command beside a run's: no word that it waits, stderr {said[-400:]!r}")
            time.sleep(2)
            ok(one.poll() is None, f"a machine for one command: it ended ({one.returncode}) instead of waiting")

            # The run's machine stopped, it gets the prefix and keeps it for the whole boot.
            ok(machine("stop").wait() == 0, "the run's machine did not stop")
            up = machine_up(os.path.join(waiting, "vm-run-*"), one)
            out, started = read_until(one.stdout, b"started", RUN_LIMIT) if up else (b"", False)
            ok(started, f"the waiting machine never started its command: stdout {out!r}")
            ok(lock_held(lock), f"while a machine ran on {prefix}, its lock was free")
            status = one.wait(60)
            ok(status == 0, f"the machine's command: exit status {status}, expected 0")
        finally:
            machine("stop").wait()
            for proc in (run, one):
                if proc and proc.poll() is None:
                    proc.kill()
                    proc.wait()
    ok(subprocess.run([os.path.join(P.source, "scripts", "vm"), "--serving", session]).returncode != 0,
       f"a machine still serves at {session}")
    with open(prefix + ".lock") as lock:
        ok(not lock_held(lock), f"both machines ended, the lock of {prefix} is still held")


def wine_prefix_rules():
    # A cache folder of the test's own, so that the machine's prefix and its
    # lock are the test's too, and the suite's Wine tests are not waited for.
    cache = work("cache")
    env = {k: v for k, v in os.environ.items() if k not in ("VM_SESSION", "CTEST_VM_SESSION")}
    env["XDG_CACHE_HOME"] = cache
    one_machine_at_a_time(cache, env)


if __name__ == "__main__":
    main(wine_prefix_rules)
