"""What every test of the suite shares: checks in the manner of Wine's
conformance tests (each an ok(condition, "message with the values seen")),
the paths that CMake wrote for this build tree (P), the program's greeting,
and running a command for its bytes, standard error and status.

A test script is a set of groups of checks: harness.main(group, ...) runs
the one named on the command line (or the only one) and reports, with exit status 1 when
any check failed or none ran. CTest gives the scripts TEST_PATHS, the JSON
file of paths (tests/CMakeLists.txt writes it), and PYTHONPATH, so that
they import the loadcheck package.

Run as a command, it says whether standard input is exactly the greeting
(scripts/try-debian checks scripts/run's output so).
"""
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import types

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "vm", "host"))
from machine import PROTOCOL  # noqa: E402

GREETING = b"Hello world!\r\n"  # the program's one line, as Windows ends it
RUN_LIMIT = 60    # seconds for one run of the program, or a short command once the machine is up
# Seconds for a whole run through the emulated machine, boot included: only
# a guard against a hang, under CTest's 600 s; a test that waits for a boot
# waits for the machine's own word that it is up (machine_up).
MACHINE_LIMIT = 540
P = types.SimpleNamespace()

_failed = 0
_count = 0


def ok(condition, message):
    global _failed, _count
    _count += 1
    if not condition:
        _failed += 1
        print(f"FAIL: {message}", flush=True)
    return bool(condition)


class Result(types.SimpleNamespace):
    """status (an int, or "hung" past the limit), out and err (bytes)"""


def run(command, stdin=subprocess.DEVNULL, stdout=None, stderr=None, close_fds=(), limit=RUN_LIMIT, **popen):
    """Runs command to its end, or kills it past limit seconds. Standard
    output goes to a file unless given, so that it is what a redirect gives
    (a pipe would also stay open while Wine's background processes live)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.Popen(command, stdin=stdin, stdout=out if stdout is None else stdout,
                                stderr=err if stderr is None else stderr,
                                preexec_fn=lambda: [os.close(fd) for fd in close_fds], **popen)
        try:
            status = proc.wait(limit)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            status = "hung"
        out.seek(0)
        err.seek(0)
        return Result(status=status, out=out.read(), err=err.read())


def machine_up(run_folders, proc):
    """Waits until a machine whose run folder matches the pattern
    run_folders serves its commands (it writes vm/protocol's FILE_UP there),
    however long its boot takes on a busy host; False where proc (what
    started it) ends first."""
    def up():
        return glob.glob(os.path.join(run_folders, PROTOCOL["FILE_UP"]))
    while not up() and proc.poll() is None:
        time.sleep(0.2)
    return bool(up())


def wow64():
    """Whether 32-bit programs run under Wine's WoW64 mode: where
    scripts/wine-paths finds no 32-bit loader (as scripts/with-wine decides)."""
    return run([os.path.join(P.source, "scripts", "wine-paths"), "loader"]).status != 0


def expect_greeting(what, r):
    ok(r.status == 0, f"{what}: exit status {r.status}, expected 0")
    ok(r.out == GREETING, f"{what}: standard output {r.out!r}, expected {GREETING!r}")
    ok(r.err == b"", f"{what}: standard error {r.err!r}, expected nothing")


def work(name):
    """A fresh folder of this test's own in the build tree, removed when the
    test ends."""
    folder = os.path.join(P.work, name)
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    return folder


def main(*groups):
    by_name = {g.__name__.replace("_", "-"): g for g in groups}
    name = sys.argv[1] if len(sys.argv) > 1 else next(iter(by_name))
    if name not in by_name or "TEST_PATHS" not in os.environ:
        sys.exit(f"usage: TEST_PATHS=paths.json {sys.argv[0]} {'|'.join(by_name)} (ctest gives TEST_PATHS)")
    with open(os.environ["TEST_PATHS"]) as f:
        P.__dict__.update(json.load(f))
    P.work = os.path.join(P.tests, "work", f"{os.path.basename(sys.argv[0])[:-3]}-{name}")
    shutil.rmtree(P.work, ignore_errors=True)
    try:
        by_name[name]()
    finally:
        shutil.rmtree(P.work, ignore_errors=True)
    print(f"{os.path.basename(sys.argv[0])} {name}: {_count} checks, {_failed} failing", flush=True)
    sys.exit(1 if _failed or not _count else 0)


if __name__ == "__main__":
    sys.exit(0 if sys.stdin.buffer.read() == GREETING else 1)
