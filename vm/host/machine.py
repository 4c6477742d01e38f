"""One boot of the emulated machine: qemu's command line, and the watch over
it until the machine powers off. What the guest side expects of the boot
(the 9p tags, the serial ports, the status file) is in vm/protocol."""
import ctypes
import os
import signal
import subprocess
import sys
import threading
import time

HOST = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(os.path.dirname(HOST))
MACHINE = os.path.join(PROJECT, "build", "vm")
FORCED_LOG = os.path.join(MACHINE, "forced-power-off.log")
QEMU = "qemu-system-x86_64"
FAILED = 125
TIMED_OUT = 124
POWER_OFF_GRACE = 30  # seconds the machine has to power off once the command has ended
PR_SET_PDEATHSIG = 1


def read_protocol():
    with open(os.path.join(PROJECT, "vm", "protocol")) as f:
        return dict(line.strip().split("=", 1) for line in f if line.strip() and not line.startswith("#"))


PROTOCOL = read_protocol()


class NeverStarted(Exception):
    """The machine ended before its kernel wrote a line: the command never ran."""


class Failed(Exception):
    """The machine could not run the command; the message says why."""

    def __init__(self, message, log=None, status=FAILED):
        super().__init__(message)
        # Read now: the run folder that holds the log is gone by the time
        # the message is shown.
        self.log_end, self.log_name, self.status = tail(log) if log else "", os.path.basename(log or ""), status


def tail(path, size=3000):
    try:
        with open(path, "rb") as f:
            f.seek(max(0, os.path.getsize(path) - size))
            return f.read().decode(errors="replace")
    except OSError:
        return ""


def relay(source, target):
    """Copies a pipe to one of our own descriptors as the bytes arrive. If
    ours cannot be written (closed, say), the rest is read and dropped, so
    that the machine never waits on a full pipe."""
    while chunk := os.read(source, 65536):
        view = memoryview(chunk)
        try:
            while view:
                view = view[os.write(target, view):]
        except OSError:
            pass
    os.close(source)


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


def qemu_command(run, shares, out_fd, err_fd):
    p = PROTOCOL
    options = "security_model=none,multidevs=remap"
    folders = [(p["TAG_ROOT"], "/", ",readonly=on"), (p["TAG_RUN"], run, "")]
    folders += [(f"{p['TAG_SHARE']}{n}", path, "") for n, path in enumerate(shares)]
    # The serial ports in the order of their numbers: the console to a log
    # in the run folder; the command's two streams to our pipes, which qemu
    # inherits and opens again through /proc.
    ports = {p["PORT_CONSOLE"]: ["-serial", f"file:{run}/console.log"],
             p["PORT_STDOUT"]: ["-chardev", f"file,id=out,path=/proc/self/fd/{out_fd}", "-serial", "chardev:out"],
             p["PORT_STDERR"]: ["-chardev", f"file,id=err,path=/proc/self/fd/{err_fd}", "-serial", "chardev:err"]}
    return [
        QEMU, "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
        "-machine", "pc", *accelerator(), "-smp", str(min(os.cpu_count() or 1, 4)), "-m", "3072",
        "-kernel", kernel(), "-initrd", os.path.join(MACHINE, "initrd.img"),
        "-append", f"console={p['PORT_CONSOLE']} panic=-1 loglevel=4",
    ] + [arg for port in sorted(ports, key=lambda name: int(name.lstrip("ttyS"))) for arg in ports[port]] + [
        arg for tag, path, extra in folders for arg in (
            "-fsdev", f"local,id={tag},path={path},{options}{extra}",
            "-device", f"virtio-9p-pci,fsdev={tag},mount_tag={tag}")]


def die_with_parent():
    # qemu goes when we go, even if we are killed with SIGKILL (a test
    # runner's time limit): the kernel sends it SIGKILL then.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def note_forced_power_off(run, command, waited):
    """One entry in build/vm/forced-power-off.log, with what tells why the
    machine did not power off: the end of its console log, where the guest
    says whether its sync finished and the kernel whether it restarted."""
    entry = (f"{time.strftime('%Y-%m-%d %H:%M:%S')}: {' '.join(command)}\n"
             f"  the command's status was reported {waited:.0f} s before; qemu was killed\n"
             + "".join(f"  | {line}\n" for line in tail(os.path.join(run, "console.log"), 2000).splitlines()))
    with open(FORCED_LOG, "a") as f:
        f.write(entry)


def watch(qemu, run, command, timeout):
    """Waits for qemu to end; True when it was killed because the machine
    did not power off after the command ended."""
    status_file = os.path.join(run, PROTOCOL["FILE_STATUS"])
    started, ended = time.monotonic(), None
    while qemu.poll() is None:
        try:
            qemu.wait(0.2)
            break
        except subprocess.TimeoutExpired:
            pass
        now = time.monotonic()
        # The guest writes the status once the command's output is relayed:
        # from then on the command has finished, whatever the time limit,
        # and the machine only has to power off.
        if ended is None and os.path.exists(status_file):
            ended = now
        if ended is None and timeout and now - started > timeout:
            raise Failed(f"the command did not finish within {timeout:g} s: qemu was killed, so the machine "
                         "stopped without powering off", os.path.join(run, "console.log"), TIMED_OUT)
        if ended is not None and now - ended > POWER_OFF_GRACE:
            qemu.kill()
            qemu.wait()
            try:
                note_forced_power_off(run, command, now - ended)
            except OSError as e:
                print(f"scripts/vm: the machine did not power off and was stopped; cannot note it in {FORCED_LOG}: "
                      f"{e}", file=sys.stderr, flush=True)
            return True
    return False


def boot(run, command, shares, timeout):
    """Boots the machine once for the command; its exit status."""
    console, qemu_log = os.path.join(run, "console.log"), os.path.join(run, "qemu.log")
    (out_r, out_w), (err_r, err_w) = os.pipe(), os.pipe()
    with open(qemu_log, "wb") as log:
        qemu = subprocess.Popen(qemu_command(run, shares, out_w, err_w), stdin=subprocess.DEVNULL, stdout=log,
                                stderr=log, pass_fds=(out_w, err_w), preexec_fn=die_with_parent)
    try:
        os.close(out_w)
        os.close(err_w)
        relays = [threading.Thread(target=relay, args=(r, fd), daemon=True) for r, fd in ((out_r, 1), (err_r, 2))]
        for t in relays:
            t.start()
        forced = watch(qemu, run, command, timeout)
        for t in relays:
            t.join()
    finally:
        if qemu.poll() is None:
            qemu.kill()
            qemu.wait()

    if qemu.returncode != 0 and not forced:
        raise Failed(f"{QEMU} failed (status {qemu.returncode}): {tail(qemu_log).strip()}", console)
    try:
        with open(os.path.join(run, PROTOCOL["FILE_STATUS"])) as f:
            said = f.read().strip()
    except FileNotFoundError:
        if qemu.returncode == 0 and not tail(console):
            raise NeverStarted()
        raise Failed("the machine stopped before the command ended: it did not boot, or its kernel failed. "
                     f"Remake it with `rm -rf {MACHINE} && {PROJECT}/vm/host/make-image` (needs busybox-static, "
                     "kmod, cpio and the package archive)", console)
    if not said.isdigit():
        raise Failed(f"the machine reported no exit status (its status file holds {said[:40]!r})", console)
    return int(said)
