"""The launcher of the emulated machine (scripts/vm), on any host: what it
passes on from a running command, and what is left once it is stopped; for
one boot of one command, and for a machine that serves a run's commands.

    vm_launcher.py

Every case acts only once its command has printed its first line, so that
what is stopped is a running command, not a machine still booting; a boot
is waited for as long as the machine takes to say it is up, however busy
the host. At most two machines run at a time.
"""
import os
import signal
import subprocess
import threading
import time
import uuid
from dataclasses import dataclass, field

from harness import RUN_LIMIT, P, machine_up, main, ok, work
from machine import new_session
from vm_runs import Run, launcher, left_running, marked

TIME_LIMIT = 20    # the --timeout given: the command's, counted once the machine is up
SLEEPER = ["sh", "-c", "echo started; exec sleep 600"]
STREAMS = ["sh", "-c", "echo early; sleep 4; echo late >&2; exit 7"]


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


def streams_and_status(run):
    # Streams kept apart, output passed on while the command runs, and the
    # command's own exit status returned.
    _, seen = run.first_line()
    status, out, err = run.finish()
    lag = run.out.closed_at - seen if seen and run.out.closed_at else 0
    ok(status == 7, f"{run.name}: exit status {status}, expected 7; stderr {err[-600:]!r}")
    ok(out == b"early\n", f"{run.name}: standard output {out!r}, expected b'early\\n'")
    ok(err == b"late\n", f"{run.name}: standard error {err[-600:]!r}, expected b'late\\n'")
    ok(lag >= 3, f"{run.name}: its first line arrived only {lag:.1f} s before the end, not while it ran")


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


class Session:
    """A machine started for a run (scripts/vm --start), as a test runner
    starts it: by its owner, here a shell that starts it and then waits."""

    def __init__(self, name):
        self.folder = os.path.join(work(name), "machine")
        self.marker = f"VM_LAUNCHER_TEST={uuid.uuid4()}"
        env = dict(os.environ, VM_LAUNCHER_TEST=self.marker.split("=", 1)[1])
        self.owner = subprocess.Popen(["sh", "-c", '"$0" --start "$1" && exec sleep 600', launcher(), self.folder],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                      env=env, preexec_fn=new_session)

    def up(self):
        return ok(machine_up(self.folder, self.owner), f"{self.folder}: the machine never served: "
                  f"{self.owner.stderr.read().decode(errors='replace')[-800:] if self.owner.poll() is not None else ''}")

    def command(self, *command):
        return subprocess.run([launcher(), "--in", self.folder, "--", *command], capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=RUN_LIMIT)


SLEEPER_IN_MACHINE = ["sh", "-c", "echo started; exec sleep 601"]


def serves_a_run():
    """One machine serves every command of a run, in one boot; a command
    whose caller is killed ends in the machine too; a machine that dies
    under a command fails it with the machine's own words."""
    s = Session("session")
    try:
        if not s.up():
            return
        boots = {s.command("cat", "/proc/sys/kernel/random/boot_id").stdout for _ in range(2)}
        ok(len(boots) == 1 and b"-" in next(iter(boots)), f"two commands of one run: boot ids {boots}, expected one")
        streams_and_status(Run("session-streams", ["--in", s.folder, "--", *STREAMS], s.folder))

        client = Run("session-caller-killed", ["--in", s.folder, "--", *SLEEPER_IN_MACHINE], s.folder)
        first, _ = client.first_line()
        ok(first == b"started\n", f"caller killed: the command printed {first!r}, expected b'started\\n'")
        client.proc.kill()
        deadline = time.monotonic() + 20
        while (left := s.command("pgrep", "-f", "sleep 60[1]")).returncode == 0 and time.monotonic() < deadline:
            time.sleep(0.5)
        ok(left.returncode == 1, f"caller killed: its command still runs in the machine: {left.stdout!r}")

        client = Run("session-machine-dies", ["--in", s.folder, "--", *SLEEPER_IN_MACHINE], s.folder)
        client.first_line()
        for pid, name in marked(s.marker).items():
            if name.startswith("qemu"):
                os.kill(pid, signal.SIGKILL)
        status, _, err = client.finish()
        ok(status == 125 and b"ended while it ran sh" in err,
           f"machine killed: the caller's status {status}, stderr {err[-600:]!r}, expected 125 and why")
        ok(not left_running(s.marker, 10).keys() - {s.owner.pid},
           f"machine killed: {marked(s.marker)} still there besides the owner {s.owner.pid}")
    finally:
        os.killpg(s.owner.pid, signal.SIGKILL)


def ends_with_its_owner():
    """A machine whose owner is killed (a test runner killed outright)
    powers off: no qemu is left."""
    s = Session("session-owner")
    try:
        if s.up():
            s.owner.kill()
            left = left_running(s.marker, 60)
            ok(not left, f"owner killed: {left} still there")
    finally:
        os.killpg(s.owner.pid, signal.SIGKILL)


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


def vm_launcher():
    fails_clearly()
    # Two machines at a time: the time limit's case, watched by a thread of
    # its own, and the others one after another beside it.
    longest, *others = STOPS
    runs = [Run("time-limit", longest.options + ["--", *SLEEPER])]
    watch = threading.Thread(target=stopped, args=(runs[0], longest))
    watch.start()
    try:
        runs.append(Run("streams", ["--", *STREAMS]))
        streams_and_status(runs[-1])
        for stop in others:
            runs.append(Run(stop.name, stop.options + ["--", *SLEEPER]))
            stopped(runs[-1], stop)
        serves_a_run()
        ends_with_its_owner()
        watch.join()
    finally:
        for run in runs:
            if run.proc.poll() is None:
                os.killpg(run.proc.pid, signal.SIGKILL)


if __name__ == "__main__":
    main(vm_launcher)
