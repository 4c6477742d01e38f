"""What scripts/loadcheck says the Windows loader makes of test.exe, beside
each kind of xiapi32.dll and on a system from before SRW locks, and what it
says of input that is not a program.

    loader_verdict.py --loadcheck LOADCHECK --exe TEST_EXE --standin DLL --lacking DLL
                      --ordinal-only DLL --old-kernel32 DLL
"""
import argparse
import os
import shutil
import subprocess
import tempfile

import pefile

from ok import ok, done

FOUND = "refused: STATUS_DLL_NOT_FOUND (0xC0000135): "
NO_ENTRY = "refused: STATUS_ENTRYPOINT_NOT_FOUND (0xC0000139): "
BAD_FORMAT = "refused: STATUS_INVALID_IMAGE_FORMAT (0xC000007B): "


def loadcheck(*args):
    r = subprocess.run([A.loadcheck, *args], capture_output=True, text=True, timeout=120)
    return r.returncode, r.stdout, r.stderr


def another_machine(dll, path):
    # The stand-in with the header of an x86-64 image.
    pe = pefile.PE(dll)
    pe.FILE_HEADER.Machine = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
    pe.write(path)
    return path


def verdicts(work):
    old_system = os.path.join(work, "old-system")
    os.makedirs(old_system)
    shutil.copy(A.old_kernel32, os.path.join(old_system, "KERNEL32.dll"))
    foreign = another_machine(A.standin, os.path.join(work, "x86-64.dll"))
    # name, what lies beside test.exe (as xiapi32.dll), system folder, status, last line
    cases = [
        ("the stand-in beside it", A.standin, None, 0, "starts"),
        ("xiapi32.dll absent", None, None, 1, FOUND + "xiapi32.dll"),
        ("xiapi32.dll without the function", A.lacking, None, 1, NO_ENTRY + "xiStopAcquisition in xiapi32.dll"),
        ("xiapi32.dll exporting it by ordinal alone", A.ordinal_only, None, 1,
         NO_ENTRY + "xiStopAcquisition in xiapi32.dll"),
        ("xiapi32.dll of another machine", foreign, None, 1, BAD_FORMAT + "xiapi32.dll"),
        ("KERNEL32.dll from before SRW locks", A.standin, old_system, 1,
         NO_ENTRY + "AcquireSRWLockExclusive in KERNEL32.dll"),
    ]
    for n, (name, dll, system, status, last) in enumerate(cases):
        folder = os.path.join(work, f"case{n}")
        os.makedirs(folder)
        exe = shutil.copy(A.exe, folder)
        if dll:
            # Upper case on purpose: the loader compares names without case.
            shutil.copy(dll, os.path.join(folder, "XIAPI32.DLL"))
        got_status, out, err = loadcheck(exe, *(["--system", system] if system else []))
        lines = out.splitlines()
        ok(got_status == status, f"{name}: exit status {got_status}, expected {status}; stderr {err!r}")
        ok(lines and lines[-1] == last, f"{name}: last line {lines[-1:]}, expected {last!r}\n{out}")
        yield name, lines


def tables(work):
    for name, lines in verdicts(work):
        if name == "the stand-in beside it":
            for line in ("    AcquireSRWLockExclusive: forwarded to NTDLL.RtlAcquireSRWLockExclusive",
                         "    xiStopAcquisition: bound"):
                ok(line in lines, f"{name}: no line {line.strip()!r} in\n" + "\n".join(lines))
        if name == "KERNEL32.dll from before SRW locks":
            # Missing is that one function, not whatever sorts first.
            missing = [line.strip() for line in lines if line.endswith(": missing")]
            ok(missing == ["AcquireSRWLockExclusive: missing"], f"{name}: missing {missing}, expected that alone")


def bad_inputs(work):
    text = os.path.join(work, "notes.txt")
    with open(text, "w") as f:
        f.write("not a program\n")
    truncated = os.path.join(work, "truncated.exe")
    with open(A.exe, "rb") as f, open(truncated, "wb") as g:
        g.write(f.read()[:4096])
    for name, args in (("no such file", [os.path.join(work, "absent.exe")]), ("a text file", [text]),
                       ("a truncated program", [truncated]), ("no such system folder", [A.exe, "--system", text])):
        status, out, err = loadcheck(*args)
        ok(status == 2, f"{name}: exit status {status}, expected 2")
        ok(out == "" and len(err.splitlines()) == 1 and err.startswith("loadcheck: ") and "Traceback" not in err,
           f"{name}: expected one line on standard error that says what is wrong, got stdout {out!r}, stderr {err!r}")


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    for opt in ("loadcheck", "exe", "standin", "lacking", "ordinal-only", "old-kernel32"):
        p.add_argument("--" + opt, required=True)
    A = p.parse_args()
    with tempfile.TemporaryDirectory() as work:
        tables(work)
        bad_inputs(work)
    done("loader verdict")
