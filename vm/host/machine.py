"""One boot of the emulated machine: qemu's command line, the wait until the
machine serves requests, and its power-off. What the guest side expects of
the boot (the 9p tags, the run folder's files, the console) is in
vm/protocol."""
import ctypes
import os
import signal
import subprocess
import sys
import time

HOST = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(os.path.dirname(HOST))
MACHINE = os.path.join(PROJECT, "build", "vm")
FORCED_LOG = os.path.join(MACHINE, "forced-power-off.log")
QEMU = "qemu-system-x86_64"
FAILED = 125
TIMED_OUT = 124
POWER_OFF_GRACE = 30  # seconds the machine has to power off once asked to stop
PR_SET_PDEATHSIG = 1


def read_protocol():
    with open(os.path.join(PROJECT, "vm", "protocol")) as f:
        return dict(line.strip().split("=", 1) for line in f if line.strip() and not line.startswith("#"))


PROTOCOL = read_protocol()


def in_run(run, key, *more):
    """The path of one of the run folder's files that vm/protocol names."""
    return os.path.join(run, PROTOCOL[key], *more)


class NeverStarted(Exception):
    """The machine ended before its kernel wrote a line: nothing ran."""


class Failed(Exception):
    """The machine could not run the command; the message says why."""

    def __init__(self, message, log=None, status=FAILED):
        super().__init__(message)
        # Read now: the run folder that holds the log may be gone by the
        # time the message is shown.
        self.log_end, self.log_name, self.status = tail(log) if log else "", os.path.basename(log or ""), status


def tail(path, size=3000):
    try:
        with open(path, "rb") as f:
            f.seek(max(0, os.path.getsize(path) - size))
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def accelerator():
    # QEMU's own translator, TCG, unless VM_ACCEL=kvm asks for KVM: a /dev/kvm
    # that opens is no promise that a guest runs (on some virtual machines it
    # never gets past its first instruction). With TCG, QEMU 7.2 (Debian 12)
    # mishandles the 32-bit iret that Wine returns through when SMAP is on,
    # and the guest kernel then kills every Wine process: so the CPU has no
    # SMAP. QEMU 10.0 (Debian 13) runs Wine with SMAP on as well; the guest
    # loses nothing without it.
    if os.environ.get("VM_ACCEL") == "kvm":
        return ["-accel", "kvm", "-cpu", "host"]
    return ["-accel", "tcg", "-cpu", "max,smap=off"]


def kernel():
    # make-image leaves the kernel decompressed where it boots that way
    # (PVH): it saves the guest seconds of decompressing it under TCG.
    vmlinux = os.path.join(MACHINE, "vmlinux")
    return vmlinux if os.path.exists(vmlinux) else os.path.join(MACHINE, "vmlinuz")


def processors():
    # Half the host's cores, at most 4: under TCG a processor of the machine
    # that the host preempts while it holds a lock of the guest's kernel
    # leaves the others spinning on it, so a machine with as many processors
    # as a busy host has cores wastes much of its time (measured on 2 cores:
    # the suite took 268 s with one processor, 312 to 363 s with two).
    return str(max(1, min((os.cpu_count() or 1) // 2, 4)))


def qemu_command(run, shares):
    p = PROTOCOL
    options = "security_model=none,multidevs=remap"
    folders = [(p["TAG_ROOT"], "/", ",readonly=on"), (p["TAG_RUN"], run, "")]
    folders += [(f"{p['TAG_SHARE']}{n}", path, "") for n, path in enumerate(shares)]
    return [
        QEMU, "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
        "-machine", "pc", *accelerator(), "-smp", processors(), "-m", "3072",
        "-kernel", kernel(), "-initrd", os.path.join(MACHINE, "initrd.img"),
        "-append", f"console={p['PORT_CONSOLE']} panic=-1 loglevel=4",
        "-serial", f"file:{run}/console.log",
    ] + [arg for tag, path, extra in folders for arg in (
        "-fsdev", f"local,id={tag},path={path},{options}{extra}",
        "-device", f"virtio-9p-pci,fsdev={tag},mount_tag={tag}")]


def new_session():
    """setsid(), keeping the caller's priority. Where the kernel groups each
    session's processes for the scheduler (autogroup), nice counts only
    within a group, and a new session starts a group at nice 0: so the new
    group gets the caller's group's nice, and a machine started at a low
    priority (scripts/test's tests on the host) does not take the time of
    one started at a normal one (the machine that serves its Wine tests)."""
    try:
        with open("/proc/self/autogroup") as f:
            nice = f.read().split()[-1]
    except (OSError, IndexError):
        nice = "0"
    os.setsid()
    if nice != "0":
        try:
            with open("/proc/self/autogroup", "w") as f:
                f.write(nice)
        except OSError:
            pass


def die_with_parent():
    # qemu goes when we go, even if we are killed with SIGKILL (a test
    # runner's time limit): the kernel sends it SIGKILL then.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def write(run, key, text=None, items=None):
    """One of the run folder's files that vm/protocol names: a text, or a
    list of NUL-terminated strings."""
    with open(os.path.join(run, PROTOCOL[key]), "wb") as f:
        f.write(os.fsencode(text) if items is None else b"".join(os.fsencode(i) + b"\0" for i in items))


def prepare(run, shares):
    """The files the guest reads at boot: the shared folders and whose the
    commands run as."""
    write(run, "FILE_SHARES", "".join(f"{folder}\n" for folder in shares))
    write(run, "FILE_HOME", os.environ.get("HOME", "/"))
    write(run, "FILE_UID", str(os.getuid()))
    write(run, "FILE_GID", str(os.getgid()))
    os.makedirs(in_run(run, "DIR_REQUESTS"), exist_ok=True)


class Machine:
    """A booted machine serving the requests of its run folder."""

    def __init__(self, run, shares):
        self.run, self.shares = run, shares
        self.console, self.qemu_log = os.path.join(run, "console.log"), os.path.join(run, "qemu.log")
        with open(self.qemu_log, "wb") as log:
            self.qemu = subprocess.Popen(qemu_command(run, shares), stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=log, preexec_fn=die_with_parent)

    def ended(self):
        """The Failed that says why the machine ended, where it has."""
        if self.qemu.poll() is None:
            return None
        if self.qemu.returncode != 0:
            return Failed(f"{QEMU} failed (status {self.qemu.returncode}): {tail(self.qemu_log).strip()}", self.console)
        return Failed("the machine stopped before its command ended: it did not boot, or its kernel failed. "
                      f"Remake it with `rm -rf {MACHINE} && {PROJECT}/vm/host/make-image` (needs busybox-static, "
                      "kmod, cpio and the package archive)", self.console)

    def wait_up(self):
        """Returns once the guest serves requests; Failed (or NeverStarted)
        where the machine ends first."""
        while not os.path.exists(in_run(self.run, "FILE_UP")):
            if self.qemu.poll() is not None:
                if self.qemu.returncode == 0 and not tail(self.console):
                    raise NeverStarted()
                raise self.ended()
            time.sleep(0.05)

    def kill(self):
        if self.qemu.poll() is None:
            self.qemu.kill()
            self.qemu.wait()

    def stop(self, what):
        """Asks the machine to end what runs and power off; qemu is killed
        where it has not within the grace, and that is noted, with the end
        of the console log, which tells how far the guest got."""
        write(self.run, "FILE_STOP", "")
        try:
            self.qemu.wait(POWER_OFF_GRACE)
            return
        except subprocess.TimeoutExpired:
            self.kill()
        entry = (f"{time.strftime('%Y-%m-%d %H:%M:%S')}: {what}\n"
                 f"  asked to stop {POWER_OFF_GRACE} s before, the machine did not power off; qemu was killed\n"
                 + "".join(f"  | {line}\n" for line in tail(self.console, 2000).splitlines()))
        try:
            with open(FORCED_LOG, "a") as f:
                f.write(entry)
        except OSError as e:
            print(f"scripts/vm: the machine did not power off and was stopped; cannot note it in {FORCED_LOG}: {e}",
                  flush=True, file=sys.stderr)


def boot(run, shares):
    """A Machine that serves requests. Seen once, on a busy host: a machine
    that powered off before its kernel wrote a line. Nothing ran, so it is
    booted once more, and the first boot noted in build/vm/boot-failures.log."""
    for attempt in (1, 2):
        machine = Machine(run, shares)
        try:
            machine.wait_up()
            return machine
        except NeverStarted:
            if attempt == 2:
                raise Failed("the machine powered off twice before its kernel wrote a line: it does not boot. "
                             f"Remake it with `rm -rf {MACHINE} && {PROJECT}/vm/host/make-image`")
            with open(os.path.join(MACHINE, "boot-failures.log"), "a") as f:
                f.write(f"{time.strftime('%Y-%m-%d %H:%M:%S')}: no console output; "
                        f"qemu said: {tail(machine.qemu_log).strip()!r}\n")
            for name in ("console.log", "qemu.log"):
                os.remove(os.path.join(run, name))
        except BaseException:
            machine.kill()
            raise
