"""The launcher of the emulated machine (scripts/vm), on any host: what it
passes on from a running command, and what is left once it is stopped.

    vm_launcher.py

Every case acts only once its command has printed its first line, so that
what is stopped is a running command, not a machine still booting. At most
two machines run at a time.
"""
import glob
import os
import signal
import subprocess
import threading
import time
import uuid
from dataclasses import dataclass, field

from harness import BOOT_LIMIT, P, main, ok, work

TIME_LIMIT = 120   # the --timeout given: well beyond a boot, even on a busy host, so that it fires while the command runs
SLEEPER = ["sh", "-c", "echo started; exec sleep 600"]


@dataclass
class Stop:
    """How a running command is stopped, and what must come of it: the
    launcher's status, what it says, and whether its run folder may stay (a
    launcher killed outright cannot remove it; the test's folder goes with
    the rest). Ctrl-C reaches the launcher and qemu alike, as a terminal
    sends it to the whole foreground group; a test runner's time limit may
    kill the launcher alone, with SIGKILL."""
    name: str
    options: list
    act: object
    status: int
    says: list = field(default_factory=list)
    folder_stays: bool = False


STOPS = [
    Stop("time limit", ["--timeout", str(TIME_LIMIT)], None, 124,
         [b"did not finish within", b"qemu was killed", b"the end of the machine's console.log"]),
    Stop("Ctrl-C", [], lambda run: os.killpg(run.proc.pid, signal.SIGINT), 128 + signal.SIGINT),
    Stop("SIGKILL", [], lambda run: run.proc.kill(), -signal.SIGKILL, folder_stays=True),
]


class Run:
    """One launcher, in a session of its own (so that a group signal reaches
    it and its qemu, as Ctrl-C at a terminal does), with a temporary folder
    of its own, where its run folder is made. Its output is read as it
    arrives, each piece with the time it came, whenever the test looks."""

    def __init__(self, name, args):
        self.name = name
        self.tmp = work(name)
        self.marker = f"VM_LAUNCHER_TEST={uuid.uuid4()}"
        env = dict(os.environ, TMPDIR=self.tmp, VM_LAUNCHER_TEST=self.marker.split("=", 1)[1])
        self.started = time.monotonic()
        self.proc = subprocess.Popen([launcher(), *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env, start_new_session=True)
        self.out, self.err = Stream(self.proc.stdout), Stream(self.proc.stderr)

    def first_line(self):
        """The command's first line and when it came, or (None, None) when
        none came within BOOT_LIMIT of the start; then the end of the
        machine's console log is shown, which tells where it stopped."""
        line, seen = self.out.first_line(self.started + BOOT_LIMIT)
        if line is None:
            for console in glob.glob(os.path.join(self.tmp, "vm-run-*", "console.log")):
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
        """The processes whose environment holds this run's marker (the
        launcher and its qemu) still there after a while."""
        deadline = time.monotonic() + within
        while True:
            found = []
            for pid in filter(str.isdigit, os.listdir("/proc")):
                try:
                    with open(f"/proc/{pid}/environ", "rb") as f:
                        if self.marker.encode() in f.read():
                            found.append(int(pid))
                except OSError:
                    pass
            if not found or time.monotonic() > deadline:
                return found
            time.sleep(0.2)


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


def streams_and_status(run):
    # Streams kept apart, output passed on while the command runs, and the
    # command's own exit status returned.
    _, seen = run.first_line()
    status, out, err = run.finish()
    lag = run.out.closed_at - seen if seen and run.out.closed_at else 0
    ok(status == 7, f"failing command: exit status {status}, expected 7; stderr {err[-600:]!r}")
    ok(out == b"early\n", f"failing command: standard output {out!r}, expected b'early\\n'")
    ok(err == b"late\n", f"failing command: standard error {err[-600:]!r}, expected b'late\\n'")
    ok(lag >= 3, f"failing command: its first line arrived only {lag:.1f} s before the end, not while it ran")


def stopped(run, stop):
    first, _ = run.first_line()
    ok(first == b"started\n", f"{stop.name}: the command printed {first!r}, expected b'started\\n'")
    folders = run.run_folders()
    ok(len(folders) == 1, f"{stop.name}: while the command ran, the run folders were {folders}, expected one")
    if stop.act:
        stop.act(run)
    status, _, err = run.finish(TIME_LIMIT + 60)
    ok(status == stop.status, f"{stop.name}: exit status {status}, expected {stop.status}; stderr {err[-1500:]!r}")
    for words in stop.says:
        ok(words in err, f"{stop.name}: standard error {err[-400:]!r} does not say {words!r}")
    left = run.left_running()
    ok(not left, f"{stop.name}: processes {left} outlived the launcher")
    if not stop.folder_stays:
        ok(not run.run_folders(), f"{stop.name}: the run folders {run.run_folders()} were left behind")


def fails_clearly():
    # Where the launcher itself cannot go on, status 125 and one line that
    # says why, never a traceback that reads as the command's own failure.
    for name, env, args in (
            ("no folder for the run", {"TMPDIR": os.path.join(P.work, "no-such-folder")}, ["--", "true"]),
            ("a shared folder that does not exist", {}, ["--share", os.path.join(P.work, "absent"), "--", "true"])):
        r = subprocess.run([launcher(), *args], env=dict(os.environ, **env), stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=120)
        ok(r.returncode == 125, f"{name}: exit status {r.returncode}, expected 125")
        ok(len(r.stderr.splitlines()) == 1 and r.stderr.startswith("scripts/vm: ") and "Traceback" not in r.stderr,
           f"{name}: expected one line that says why, got {r.stderr!r}")


def launcher():
    return os.path.join(P.source, "scripts", "vm")


def vm_launcher():
    fails_clearly()
    # Two machines at a time, so that a busy host still boots each in time:
    # the time limit's case runs longest, and the others follow one another
    # beside it.
    longest, *others = STOPS
    runs = [Run("time-limit", longest.options + ["--", *SLEEPER])]
    try:
        runs.append(Run("streams", ["--", "sh", "-c", "echo early; sleep 4; echo late >&2; exit 7"]))
        streams_and_status(runs[-1])
        for stop in others:
            runs.append(Run(stop.name, stop.options + ["--", *SLEEPER]))
            stopped(runs[-1], stop)
        stopped(runs[0], longest)
    finally:
        for run in runs:
            if run.proc.poll() is None:
                os.killpg(run.proc.pid, signal.SIGKILL)


if __name__ == "__main__":
    main(vm_launcher)
