"""The rules around the Wine prefix: only one emulated machine at a time uses
the machine's prefix (each has a wineserver of its own, which must not share
a registry), and a prefix that cannot be made shows Wine's own messages.

    wine_prefix.py --with-wine WITH_WINE --wine-prefix WINE_PREFIX --work DIR
"""
import argparse
import fcntl
import os
import selectors
import shutil
import subprocess
import time

from ok import ok, done

BOOT_LIMIT = 180  # seconds for a machine to boot and start its command, even on a busy host


def read_until(proc, stream, wanted, limit):
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


def one_machine_at_a_time():
    # A cache folder of the test's own, so that the lock is the test's too.
    cache = os.path.join(A.work, "cache")
    env = dict(os.environ, RUN_IN_VM="always", XDG_CACHE_HOME=cache)
    os.makedirs(os.path.join(cache, "hello_xiapi32"))
    # The machine's prefix, as the commands in the machine get it.
    out = subprocess.run([A.with_wine, "env"], env=dict(env, VM_GUEST="1"), capture_output=True, text=True)
    prefix = next((line[11:] for line in out.stdout.splitlines() if line.startswith("WINEPREFIX=")), None)
    if not ok(prefix and prefix.startswith(cache), f"with-wine gave the machine the prefix {prefix}, not one in {cache}"):
        return

    with open(prefix + ".lock", "w") as lock:
        # Another run holds the prefix: this one waits, and says so.
        fcntl.flock(lock, fcntl.LOCK_EX)
        proc = subprocess.Popen([A.with_wine, "sh", "-c", "echo started; sleep 3"], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            said, waits = read_until(proc, proc.stderr, b"waiting for another run", 30)
            ok(waits, f"a second machine on the prefix: no word that it waits, stderr {said[-400:]!r}")
            time.sleep(2)
            ok(proc.poll() is None, f"a second machine on the prefix: it ended ({proc.returncode}) instead of waiting")
            fcntl.flock(lock, fcntl.LOCK_UN)

            # Once it has the prefix, it keeps it for the whole boot.
            out, started = read_until(proc, proc.stdout, b"started", BOOT_LIMIT)
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


def failure_shows_the_log():
    # A prefix that cannot be made: the path is a file.
    prefix = os.path.join(A.work, "not-a-folder")
    with open(prefix, "w") as f:
        f.write("a file\n")
    r = subprocess.run([A.wine_prefix], env=dict(os.environ, WINEPREFIX=prefix), stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=300)
    with open(prefix + ".log") as f:
        log = f.read()
    ok(r.returncode == 1, f"a prefix that cannot be made: exit status {r.returncode}, expected 1")
    ok(log.strip() and log in r.stderr, f"a prefix that cannot be made: Wine's log {log!r} is not shown in {r.stderr!r}")
    ok("scripts/wine-prefix: wineboot could not make" in r.stderr,
       f"a prefix that cannot be made: standard error {r.stderr!r} does not say what failed")


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    for opt in ("with-wine", "wine-prefix", "work"):
        p.add_argument("--" + opt, required=True)
    A = p.parse_args()
    shutil.rmtree(A.work, ignore_errors=True)
    os.makedirs(A.work)
    try:
        failure_shows_the_log()
        one_machine_at_a_time()
    finally:
        shutil.rmtree(A.work, ignore_errors=True)
    done("Wine prefix rules")
