"""One request to a machine that serves them (vm/protocol): the command
line, its environment and folder written into the run folder, its standard
output and error relayed to ours as they grow, its exit status read back.
The same for one boot of the machine and for a machine that serves many
callers (session.py)."""
import os
import time
import uuid

from machine import PROTOCOL, TIMED_OUT, Failed, in_run, write

POLL = 0.05  # seconds between looks at the request's files


def submit(run, command, env):
    """The folder of a new request to run command (in our folder, with env):
    written aside and renamed, so that the guest sees it whole."""
    name = f"{os.getpid()}-{uuid.uuid4().hex[:12]}"
    aside = in_run(run, "DIR_REQUESTS", "." + name)
    os.makedirs(aside)
    write(aside, "FILE_ARGV", items=command)
    write(aside, "FILE_ENV", items=[f"{k}={v}" for k, v in env.items()] + ["RUN_IN_VM=never"])
    write(aside, "FILE_CWD", os.getcwd())
    with open(os.path.join(aside, "client"), "w") as f:
        f.write(str(os.getpid()))
    request = in_run(run, "DIR_REQUESTS", name)
    os.rename(aside, request)
    return request


def cancel(request):
    """Asks the guest to end the request's command."""
    try:
        write(request, "FILE_CANCEL", "")
    except OSError:
        pass


class Relay:
    """Copies one of the request's files to one of our descriptors as it
    grows. If ours cannot be written (closed, say), the rest is read and
    dropped."""

    def __init__(self, path, fd):
        self.path, self.fd, self.file = path, fd, None

    def pump(self):
        if self.file is None:
            try:
                self.file = open(self.path, "rb")
            except FileNotFoundError:
                return
        while chunk := self.file.read(65536):
            view = memoryview(chunk)
            try:
                while view:
                    view = view[os.write(self.fd, view):]
            except OSError:
                pass

    def close(self):
        if self.file:
            self.file.close()


def relay(request, check, deadline=None):
    """The request's exit status, once its output is relayed. check() raises
    Failed where the machine has ended; past deadline (monotonic), Failed
    with status TIMED_OUT."""
    relays = [Relay(os.path.join(request, PROTOCOL[key]), fd) for key, fd in (("FILE_OUT", 1), ("FILE_ERR", 2))]
    status_file = os.path.join(request, PROTOCOL["FILE_STATUS"])
    try:
        while True:
            done = os.path.exists(status_file)
            for r in relays:
                r.pump()
            if done:
                break
            check()
            if deadline and time.monotonic() > deadline:
                raise Failed("the command did not finish within the time limit", status=TIMED_OUT)
            time.sleep(POLL)
    finally:
        for r in relays:
            r.close()
    with open(status_file) as f:
        said = f.read().strip()
    if not said.isdigit():
        raise Failed(f"the machine reported no exit status (its status file holds {said[:40]!r})")
    return int(said)
