"""A command run through the machine's launcher (scripts/vm) as a user's
shell or a test runner runs it, watched from outside: its output as it
arrives, and the processes it leaves. Used by vm_launcher.py.
"""
import glob
import os
import subprocess
import threading
import time
import uuid

from harness import RUN_LIMIT, P, machine_up, ok, work
from machine import new_session


def launcher():
    return os.path.join(P.source, "scripts", "vm")


class Run:
    """One launcher, in a session of its own (so that a group signal reaches
    it and its qemu, as Ctrl-C at a terminal does), with a temporary folder
    of its own, where its run folder is made. Its output is read as it
    arrives, each piece with the time it came, whenever the test looks."""

    def __init__(self, name, args, run_folders=None):
        self.name = name
        self.tmp = work(name)
        # Its machine's run folder: one of its own, or that of the machine it sends the command to.
        self.machine_folders = run_folders or os.path.join(self.tmp, "vm-run-*")
        self.marker = f"VM_LAUNCHER_TEST={uuid.uuid4()}"
        env = dict(os.environ, TMPDIR=self.tmp, VM_LAUNCHER_TEST=self.marker.split("=", 1)[1])
        self.started = time.monotonic()
        self.proc = subprocess.Popen([launcher(), *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, preexec_fn=new_session)
        self.out, self.err = Stream(self.proc.stdout), Stream(self.proc.stderr)

    def first_line(self):
        """The command's first line and when it came, or (None, None) when
        the machine never came up, or no line came within RUN_LIMIT of its
        coming up; then the end of the machine's console log is shown, which
        tells where it stopped."""
        line, seen = None, None
        if machine_up(self.machine_folders, self.proc):
            line, seen = self.out.first_line(time.monotonic() + RUN_LIMIT)
        if line is None:
            for console in glob.glob(os.path.join(self.machine_folders, "console.log")):
                with open(console, "rb") as f:
                    print(f"--- {self.name}: the end of {console} ---\n"
                          f"{f.read()[-3000:].decode(errors='replace')}\n---", flush=True)
        return line, seen

    def finish(self, limit=60):
        """(status, all stdout, stderr); the launcher is killed if it does
        not end within the limit, which is then a failure."""
        try:
            self.proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            ok(False, f"{self.name}: the launcher did not end within {limit} s")
        return self.proc.returncode, self.out.all(), self.err.all()

    def run_folders(self):
        return glob.glob(os.path.join(self.tmp, "vm-run-*"))

    def left_running(self, within=10):
        """The processes of this run (the launcher and its qemu) still there
        after a while."""
        return left_running(self.marker, within)


def marked(marker):
    """{pid: command name} of the processes whose environment holds marker."""
    found = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if marker.encode() in f.read():
                    with open(f"/proc/{pid}/comm") as g:
                        found[int(pid)] = g.read().strip()
        except OSError:
            pass
    return found


def left_running(marker, within):
    """The processes marked so still there after a while, or none."""
    deadline = time.monotonic() + within
    while (found := marked(marker)) and time.monotonic() < deadline:
        time.sleep(0.2)
    return found


class Stream:
    """A pipe read by a thread of its own as the bytes arrive."""

    def __init__(self, pipe):
        self.data, self.first_newline, self.closed_at = b"", None, None
        self.changed = threading.Condition()
        threading.Thread(target=self._read, args=(pipe,), daemon=True).start()

    def _read(self, pipe):
        while chunk := os.read(pipe.fileno(), 65536):
            with self.changed:
                self.data += chunk
                if self.first_newline is None and b"\n" in chunk:
                    self.first_newline = time.monotonic()
                self.changed.notify_all()
        with self.changed:
            self.closed_at = time.monotonic()
            self.changed.notify_all()

    def first_line(self, deadline):
        with self.changed:
            self.changed.wait_for(lambda: self.first_newline is not None or self.closed_at is not None,
                                  timeout=max(0, deadline - time.monotonic()))
            if self.first_newline is None:
                return None, None
            return self.data[:self.data.index(b"\n") + 1], self.first_newline

    def all(self, limit=10):
        with self.changed:
            self.changed.wait_for(lambda: self.closed_at is not None, timeout=limit)
            return self.data
