"""The emulated machine that runs Wine where the host cannot, started through
its launcher on any host.

    vm_launcher.py program --vm LAUNCHER --wine WINE --exe TEST_EXE
    vm_launcher.py launcher --vm LAUNCHER
"""
import argparse
import glob
import os
import shutil
import signal
import subprocess
import tempfile
import time
import uuid

from ok import ok, done

GREETING = b"Hello world!\r\n"
BOOT_LIMIT = 300  # seconds for any one run; a boot with TCG takes a few


def program(launcher, wine, exe):
    r = subprocess.run([launcher, "--", wine, exe], stdin=subprocess.DEVNULL, capture_output=True,
                       timeout=BOOT_LIMIT)
    ok(r.returncode == 0, f"test.exe in the machine: exit status {r.returncode}, stderr {r.stderr[-600:]!r}")
    ok(r.stdout == GREETING, f"test.exe in the machine: standard output {r.stdout!r}, expected {GREETING!r}")
    ok(r.stderr == b"", f"test.exe in the machine: standard error {r.stderr[-600:]!r}, expected nothing")


def processes_with(marker):
    """The processes whose environment holds marker: the launcher and its qemu."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if marker in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def gone(marker, within=10):
    deadline = time.monotonic() + within
    while processes_with(marker) and time.monotonic() < deadline:
        time.sleep(0.2)
    return processes_with(marker)


def start(launcher, args):
    marker = f"VM_LAUNCHER_TEST={uuid.uuid4()}"
    env = dict(os.environ, VM_LAUNCHER_TEST=marker.split("=", 1)[1])
    proc = subprocess.Popen([launcher, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, start_new_session=True)
    return proc, marker.encode()


def launcher(launcher):
    # Streams kept apart, output passed on while the command runs, and the
    # command's own exit status returned.
    proc, marker = start(launcher, ["--", "sh", "-c", "echo early; sleep 4; echo late >&2; exit 7"])
    first = proc.stdout.readline()
    seen = time.monotonic()
    out, err = proc.communicate(timeout=BOOT_LIMIT)
    lag = time.monotonic() - seen
    ok(proc.returncode == 7, f"failing command: exit status {proc.returncode}, expected 7; stderr {err[-600:]!r}")
    ok(first + out == b"early\n", f"failing command: standard output {first + out!r}, expected b'early\\n'")
    ok(err == b"late\n", f"failing command: standard error {err[-600:]!r}, expected b'late\\n'")
    ok(lag >= 3, f"failing command: its first line arrived only {lag:.1f} s before the end, not while it ran")

    # A time limit powers the machine off.
    proc, marker = start(launcher, ["--timeout", "5", "--", "sleep", "600"])
    _, err = proc.communicate(timeout=BOOT_LIMIT)
    ok(proc.returncode == 124, f"time limit: exit status {proc.returncode}, expected 124; stderr {err[-400:]!r}")
    ok(b"did not finish" in err, f"time limit: standard error {err[-400:]!r} does not say so")
    left = gone(marker)
    ok(not left, f"time limit: processes {left} outlived the launcher")

    # Ctrl-C reaches the launcher and qemu alike, as a terminal sends it to
    # the whole foreground group; a test runner's time limit may kill the
    # launcher alone, with SIGKILL.
    for name, sig, group, status in (("Ctrl-C", signal.SIGINT, True, 128 + signal.SIGINT),
                                     ("SIGKILL", signal.SIGKILL, False, -signal.SIGKILL)):
        proc, marker = start(launcher, ["--", "sleep", "600"])
        time.sleep(3)
        os.killpg(proc.pid, sig) if group else proc.kill()
        proc.communicate(timeout=60)
        ok(proc.returncode == status, f"{name}: exit status {proc.returncode}, expected {status}")
        left = gone(marker)
        ok(not left, f"{name}: processes {left} outlived the launcher")
        # A launcher killed outright cannot remove its run folder.
        for env in glob.glob(os.path.join(tempfile.gettempdir(), "vm-run-*", "env")):
            with open(env, "rb") as f:
                if marker in f.read():
                    shutil.rmtree(os.path.dirname(env))


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("case", choices=["program", "launcher"])
    p.add_argument("--vm", required=True)
    p.add_argument("--wine")
    p.add_argument("--exe")
    a = p.parse_args()
    program(a.vm, a.wine, a.exe) if a.case == "program" else launcher(a.vm)
    done(f"machine: {a.case}")
