"""A machine that serves many callers, for a whole test run: started once
(scripts/vm --start DIR), each command sent to it (--in DIR) runs in it,
under the warm wineserver that an earlier one left, until it is stopped
(--stop DIR) or the process that started it ends (a killed ctest, say).

DIR is its run folder. A daemon of its own (double-forked, so that the
caller that starts it may end) holds qemu and whatever the caller left it
to hold (scripts/with-wine's lock on the machine's Wine prefix); its own
files there, beside vm/protocol's, are these:"""
import os
import shutil
import signal
import sys
import time

from machine import POWER_OFF_GRACE, Failed, boot, in_run, new_session, prepare, tail
from request import cancel, relay, submit

PID, OWNER, LOG = "daemon.pid", "owner", "session.log"
FAILED = "failed"        # why the machine could not start
DEAD = "dead"            # why it ended while it served
STOP = "stop-request"    # a caller asks it to stop
WATCH = 0.5              # seconds between the daemon's looks at its owner and its callers


def read(folder, name):
    try:
        with open(os.path.join(folder, name)) as f:
            return f.read().strip()
    except OSError:
        return ""


def alive(pid):
    """Whether the process of that id (a text) runs: neither gone nor a
    zombie that nobody has reaped yet."""
    try:
        with open(f"/proc/{int(pid)}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except (ValueError, OSError, IndexError):
        return False


def serving(folder):
    """Whether a machine serves requests at folder."""
    return os.path.exists(in_run(folder, "FILE_UP")) and alive(read(folder, PID)) and not read(folder, DEAD)


def start(folder, shares, owner):
    """Starts a machine at folder for owner (a process id), unless one
    serves there already; returns once it serves. Failed where it cannot."""
    if serving(folder):
        return 0
    if os.path.isdir(folder) and os.listdir(folder):
        # A machine's that is gone is made afresh; anything else is left alone.
        if not os.path.exists(os.path.join(folder, OWNER)):
            raise Failed(f"{folder} is not empty and no machine's run folder: give another")
        shutil.rmtree(folder)
    os.makedirs(folder, exist_ok=True)
    prepare(folder, shares)
    with open(os.path.join(folder, OWNER), "w") as f:
        f.write(str(owner))
    started = time.monotonic()
    child = os.fork()
    if child == 0:
        try:
            new_session()
            if os.fork() == 0:
                daemon(folder, shares, owner)
        finally:
            os._exit(0)
    os.waitpid(child, 0)
    while not serving(folder):
        if read(folder, FAILED):
            raise Failed(read(folder, FAILED))
        pid = read(folder, PID)
        if (pid and not alive(pid)) or (not pid and time.monotonic() - started > 10):
            raise Failed(f"the machine's daemon ended before the machine served: {tail(os.path.join(folder, LOG))}")
        time.sleep(0.1)
    print(f"scripts/vm: a machine serves requests at {folder} (booted in {time.monotonic() - started:.0f} s)",
          file=sys.stderr, flush=True)
    return 0


def daemon(folder, shares, owner):
    """The daemon's whole life: boots the machine, watches it, its owner
    and its callers, stops it. Never returns."""
    try:
        with open(os.path.join(folder, PID), "w") as f:
            f.write(str(os.getpid()))
        log = os.open(os.path.join(folder, LOG), os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644)
        os.dup2(os.open(os.devnull, os.O_RDONLY), 0)
        os.dup2(log, 1)
        os.dup2(log, 2)
        for s in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT):
            signal.signal(s, lambda *_: open(os.path.join(folder, STOP), "w").close())
        serve(folder, shares, owner)
    except BaseException as e:
        with open(os.path.join(folder, FAILED), "w") as f:
            f.write(f"{e}\n{getattr(e, 'log_end', '')}" if isinstance(e, Failed) else
                    f"the machine's daemon failed: {type(e).__name__}: {e}")
    finally:
        os._exit(0)


def serve(folder, shares, owner):
    machine = boot(folder, shares)
    while True:
        ended = machine.ended()
        if ended:
            with open(os.path.join(folder, DEAD), "w") as f:
                f.write(f"{ended}\n--- the end of the machine's console.log ---\n{ended.log_end}")
            break
        if os.path.exists(os.path.join(folder, STOP)) or not alive(owner):
            machine.stop(f"the machine at {folder}, its owner {owner} " + ("gone" if not alive(owner) else "done"))
            break
        cancel_orphans(folder)
        time.sleep(WATCH)
    os.remove(in_run(folder, "FILE_UP"))


def cancel_orphans(folder):
    """Ends the commands whose callers are gone (killed by a test runner's
    time limit, say), so that nothing runs on for nobody."""
    requests = in_run(folder, "DIR_REQUESTS")
    for name in os.listdir(requests):
        request = os.path.join(requests, name)
        if (not name.startswith(".") and not os.path.exists(in_run(request, "FILE_STATUS"))
                and not os.path.exists(in_run(request, "FILE_CANCEL")) and not alive(read(request, "client"))):
            cancel(request)


def run_in(folder, command, timeout=None):
    """Runs command in the machine at folder; its exit status."""
    if not serving(folder):
        raise Failed(f"no machine serves requests at {folder}: start one with scripts/vm --start {folder}")
    request = submit(folder, command, os.environ)

    def check():
        if read(folder, DEAD) or not alive(read(folder, PID)):
            raise Failed(f"the machine at {folder} ended while it ran {command[0]}: "
                         f"{read(folder, DEAD) or 'its daemon is gone'}")
    try:
        return relay(request, check, timeout and time.monotonic() + timeout)
    except (KeyboardInterrupt, Failed):
        # The command ends with its caller: asked to, it has a few seconds.
        cancel(request)
        deadline = time.monotonic() + 10
        while not os.path.exists(in_run(request, "FILE_STATUS")) and serving(folder) and time.monotonic() < deadline:
            time.sleep(0.1)
        raise
    finally:
        shutil.rmtree(request, ignore_errors=True)


def stop(folder, owned):
    """Stops the machine at folder, and waits until it has; with owned, only
    where our caller (our parent) started it."""
    pid = read(folder, PID)
    if not alive(pid):
        return 0
    if owned and read(folder, OWNER) != str(os.getppid()):
        print(f"scripts/vm: the machine at {folder} is left running: another run started it", file=sys.stderr)
        return 0
    open(os.path.join(folder, STOP), "w").close()
    deadline = time.monotonic() + POWER_OFF_GRACE + 30
    while alive(pid) and time.monotonic() < deadline:
        time.sleep(0.1)
    if alive(pid):
        raise Failed(f"the machine at {folder} did not stop (its daemon {pid} is still there)")
    return 0
