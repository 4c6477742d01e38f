"""Runs one command line inside the emulated x86-64 machine, for hosts whose
kernel refuses 32-bit x86 programs (and so cannot start Wine). scripts/vm is
the command; docs/machine.md says what the machine is and how a run ends.

    scripts/vm [--timeout SECONDS] [--share DIR]... [--] COMMAND [ARG...]

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

from machine import FAILED, MACHINE, PROJECT, PROTOCOL, QEMU, Failed, NeverStarted, boot, tail


def say(message, log_name="", log_end=""):
    print(f"scripts/vm: {message}", file=sys.stderr, flush=True)
    if log_end:
        print(f"--- the end of the machine's {log_name} ---\n{log_end}\n---", file=sys.stderr, flush=True)


def write(run, key, text=None, items=None):
    """One of the run folder's files that vm/protocol names: a text, or a
    list of NUL-terminated strings."""
    with open(os.path.join(run, PROTOCOL[key]), "wb") as f:
        f.write(os.fsencode(text) if items is None else b"".join(os.fsencode(i) + b"\0" for i in items))


def prepare(run, command, shares):
    write(run, "FILE_ARGV", items=command)
    write(run, "FILE_ENV", items=[f"{k}={v}" for k, v in os.environ.items()] + ["RUN_IN_VM=never"])
    write(run, "FILE_SHARES", "".join(f"{folder}\n" for folder in shares))
    write(run, "FILE_CWD", os.getcwd())
    write(run, "FILE_HOME", os.environ.get("HOME", "/"))
    write(run, "FILE_UID", str(os.getuid()))
    write(run, "FILE_GID", str(os.getgid()))


def boot_once_more_if_never_started(run, command, shares, timeout):
    # Seen once, on a busy host: a machine that powered off before its
    # kernel wrote a line. The command never ran, so it is booted once more,
    # and the first boot noted in build/vm/boot-failures.log.
    try:
        return boot(run, command, shares, timeout)
    except NeverStarted:
        with open(os.path.join(MACHINE, "boot-failures.log"), "a") as f:
            f.write(f"{time.strftime('%Y-%m-%d %H:%M:%S')}: {' '.join(command)}: no console output; "
                    f"qemu said: {tail(os.path.join(run, 'qemu.log')).strip()!r}\n")
        for name in ("console.log", "qemu.log"):
            os.remove(os.path.join(run, name))
    try:
        return boot(run, command, shares, timeout)
    except NeverStarted:
        raise Failed("the machine powered off twice before its kernel wrote a line: it does not boot. "
                     f"Remake it with `rm -rf {MACHINE} && {PROJECT}/vm/host/make-image`")


def main():
    p = argparse.ArgumentParser(prog="scripts/vm", description="Run a command inside the emulated x86-64 machine.")
    p.add_argument("--timeout", type=float, help="stop the machine after this many seconds (status 124)")
    p.add_argument("--share", action="append", default=[], help="a folder to share read-write at its own path")
    p.add_argument("command", nargs=argparse.REMAINDER)
    a = p.parse_args()
    command = a.command[1:] if a.command[:1] == ["--"] else a.command
    if not command:
        p.error("no command given")
    shares = [PROJECT] + [os.path.abspath(s) for s in a.share]
    for folder in shares:
        if not os.path.isdir(folder) or "\n" in folder:
            raise Failed(f"cannot share {folder!r}: not a folder, or its name holds a line break")

    if not shutil.which(QEMU):
        raise Failed(f"{QEMU} is missing: install qemu-system-x86 (RUN_IN_VM=always scripts/setup does)")
    # Made by scripts/setup already, as a rule; then this only checks it.
    made = subprocess.run([os.path.join(PROJECT, "vm", "host", "make-image")], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if made.returncode != 0:
        raise Failed(f"the machine could not be made: {' '.join(made.stdout.split())}")

    # In TMPDIR where it is set, and not silently elsewhere when it cannot be.
    folder = os.environ.get("TMPDIR") or tempfile.gettempdir()
    try:
        run = tempfile.mkdtemp(prefix="vm-run-", dir=folder)
    except OSError as e:
        raise Failed(f"cannot make a run folder in {folder}: {e.strerror}")
    try:
        prepare(run, command, shares)
        return boot_once_more_if_never_started(run, command, shares, a.timeout)
    finally:
        shutil.rmtree(run, ignore_errors=True)


def interrupted(signum, _frame):
    raise KeyboardInterrupt(signum)


def launch():
    # Ctrl-C, SIGTERM and SIGHUP all end the run the same way: qemu is
    # killed, the run folder removed, and the status tells which signal.
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
