"""Runs command lines inside the emulated x86-64 machine, for hosts whose
kernel refuses 32-bit x86 programs (and so cannot start Wine). scripts/vm is
the command; docs/machine.md says what the machine is and how a run ends.

    scripts/vm [--timeout SECONDS] [--share DIR]... [--] COMMAND [ARG...]   one boot for one command
    scripts/vm --start DIR [--share DIR]...     a machine that serves many, its run folder DIR
    scripts/vm --in DIR [--timeout SECONDS] [--] COMMAND [ARG...]           run it in that machine
    scripts/vm --serving DIR                    status 0 where a machine serves at DIR
    scripts/vm --stop DIR [--owned]             stop it (with --owned, only if our caller started it)

Exit status: the command's; 124 when the time limit fired; 125, with one
line that says why, when the machine could not run the command.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import session
from machine import FAILED, PROJECT, QEMU, TIMED_OUT, Failed, boot, prepare, tail
from request import relay, submit


def say(message, log_name="", log_end=""):
    print(f"scripts/vm: {message}", file=sys.stderr, flush=True)
    if log_end:
        print(f"--- the end of the machine's {log_name} ---\n{log_end}\n---", file=sys.stderr, flush=True)


def ready(shares):
    """Checks what every boot needs: qemu, the machine's image (made by
    scripts/setup already, as a rule; then this only checks it), the shared
    folders."""
    for folder in shares:
        if not os.path.isdir(folder) or "\n" in folder:
            raise Failed(f"cannot share {folder!r}: not a folder, or its name holds a line break")
    if not shutil.which(QEMU):
        raise Failed(f"{QEMU} is missing: install qemu-system-x86 (RUN_IN_VM=always scripts/setup does)")
    made = subprocess.run([os.path.join(PROJECT, "vm", "host", "make-image")], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if made.returncode != 0:
        raise Failed(f"the machine could not be made: {' '.join(made.stdout.split())}")


def one_boot(command, shares, timeout):
    """Boots the machine for one command; its exit status."""
    # In TMPDIR where it is set, and not silently elsewhere when it cannot be.
    folder = os.environ.get("TMPDIR") or tempfile.gettempdir()
    try:
        run = tempfile.mkdtemp(prefix="vm-run-", dir=folder)
    except OSError as e:
        raise Failed(f"cannot make a run folder in {folder}: {e.strerror}")
    machine = None
    try:
        prepare(run, shares)
        machine = boot(run, shares)
        # The command's time limit counts once the machine serves: however
        # long a busy host takes to boot it, the command gets its time.
        deadline = timeout and time.monotonic() + timeout
        request = submit(run, command, os.environ)

        def check():
            ended = machine.ended()
            if ended:
                raise ended
        try:
            status = relay(request, check, deadline)
        except Failed as e:
            if e.status == TIMED_OUT:  # stopped, not powered off
                machine.kill()
                e.args = (f"the command did not finish within {timeout:g} s: qemu was killed, so the machine "
                          "stopped without powering off",)
                e.log_end, e.log_name = tail(machine.console), "console.log"
            raise
        machine.stop(" ".join(command))
        return status
    finally:
        if machine:
            machine.kill()
        shutil.rmtree(run, ignore_errors=True)


def main():
    p = argparse.ArgumentParser(prog="scripts/vm", description="Run commands inside the emulated x86-64 machine.")
    p.add_argument("--timeout", type=float,
                   help="stop the command after this many seconds of running (status 124); the boot does not count")
    p.add_argument("--share", action="append", default=[], help="a folder to share read-write at its own path")
    modes = p.add_mutually_exclusive_group()
    for mode, dest, what in (("--start", "start", "start a machine that serves many commands, its run folder DIR"),
                             ("--in", "inside", "run the command in the machine at DIR"),
                             ("--serving", "serving", "status 0 where a machine serves at DIR"),
                             ("--stop", "stop", "stop the machine at DIR")):
        modes.add_argument(mode, dest=dest, metavar="DIR", help=what)
    p.add_argument("--owned", action="store_true", help="with --stop: only where our caller started it")
    p.add_argument("command", nargs=argparse.REMAINDER)
    a = p.parse_args()
    command = a.command[1:] if a.command[:1] == ["--"] else a.command
    shares = [PROJECT] + [os.path.abspath(s) for s in a.share]
    if a.serving:
        return 0 if session.serving(os.path.abspath(a.serving)) else 1
    if a.stop:
        return session.stop(os.path.abspath(a.stop), a.owned)
    if a.start:
        ready(shares)
        return session.start(os.path.abspath(a.start), shares, os.getppid())
    if not command:
        p.error("no command given")
    if a.inside:
        return session.run_in(os.path.abspath(a.inside), command, a.timeout)
    ready(shares)
    return one_boot(command, shares, a.timeout)


def interrupted(signum, _frame):
    raise KeyboardInterrupt(signum)


def launch():
    # Ctrl-C, SIGTERM and SIGHUP all end a run the same way: its command
    # ends (qemu is killed, or the served machine asked to end it), the run
    # folder is removed, and the status tells which signal.
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, interrupted)
    try:
        status = main()
    except KeyboardInterrupt as e:
        status = 128 + (e.args[0] if e.args else signal.SIGINT)
    except Failed as e:
        say(str(e), e.log_name, e.log_end)
        status = e.status
    except Exception as e:  # a fault of this launcher: still one line, and 125
        say(f"the launcher failed: {type(e).__name__}: {e}")
        status = FAILED
    sys.exit(status)

