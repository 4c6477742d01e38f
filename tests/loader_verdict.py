"""What scripts/loadcheck says the Windows loader makes of test.exe in each
of the loader's cases (loader_cases.py): beside each kind of xiapi32.dll,
with system DLLs planted beside it, through API sets, PATH and Windows
folders; its verdict as JSON; and what it says of input it cannot use.

    loader_verdict.py --loadcheck LOADCHECK --exe TEST_EXE --standin DLL --dlls DIR --system DIR --work DIR

DIR/<case>/ holds the DLLs that a case puts beside the program (dlls/).
"""
import argparse
import json
import os
import shutil
import subprocess

import pefile

import loader_cases
from ok import ok, done

SYNCH = loader_cases.SYNCH


def loadcheck(*args):
    r = subprocess.run([A.loadcheck, *args], capture_output=True, text=True, timeout=120)
    return r.returncode, r.stdout, r.stderr


def verdicts(work):
    for n, case in enumerate(loader_cases.cases(work, A.dlls, A.standin, A.system)):
        name = case.name
        exe = case.place(A.exe, os.path.join(work, f"case{n}"))
        status, out, err = loadcheck(exe, *case.options())
        got = out.splitlines()
        ok(status == case.status, f"{name}: exit status {status}, expected {case.status}; stderr {err!r}")
        ok(got and got[-1] == case.last, f"{name}: last line {got[-1:]}, expected {case.last!r}\n{out}")
        for line in case.lines:
            ok(line in got, f"{name}: no line {line!r} in\n{out}")
        if name == "xiapi32.dll delay-loading a DLL that is nowhere":
            ok("nowhere" not in out, f"{name}: the delay-loaded DLL was looked at:\n{out}")
        if name == "KERNEL32.dll from before SRW locks":
            # Missing is that one function, not whatever sorts first.
            missing = [g.strip() for g in got if g.endswith(": missing")]
            ok(missing == ["AcquireSRWLockExclusive: missing"], f"{name}: missing {missing}, expected that alone")
        if name in ("xiapi32.dll importing from an API set", "xiapi32.dll absent"):
            as_json(name, exe, status, case.last)


def as_json(name, exe, status, last):
    """The same verdict as one JSON object."""
    got_status, out, err = loadcheck(exe, "--json")
    try:
        verdict = json.loads(out)
    except ValueError:
        ok(False, f"{name}: --json gave no JSON object: {out[:400]!r} {err!r}")
        return
    ok(got_status == status, f"{name}: --json: exit status {got_status}, expected {status}")
    modules = {m["name"].lower(): m for m in verdict.get("modules", [])}
    if last == "starts":
        ok((verdict.get("verdict"), verdict.get("status"), verdict.get("code")) == ("starts", "STATUS_SUCCESS", "0x00000000"),
           f"{name}: --json: {verdict.get('verdict')} {verdict.get('status')} {verdict.get('code')}")
        ok(modules.get("kernelbase.dll", {}).get("api_set") == SYNCH,
           f"{name}: --json: kernelbase.dll not reached through {SYNCH}: {modules.get('kernelbase.dll')}")
        functions = modules.get("xiapi32.dll", {}).get("functions")
        ok(functions == [{"name": "xiStopAcquisition", "result": "bound", "bound_to": "xiapi32.dll!xiStopAcquisition"}],
           f"{name}: --json: xiapi32.dll's functions {functions}")
        ok(modules.get("xiapi32.dll", {}).get("how") == "application folder" and
           modules.get("kernel32.dll", {}).get("how") == "known DLL", f"{name}: --json: how the DLLs were found: "
           f"{[(m['name'], m['how']) for m in verdict.get('modules', [])]}")
    else:
        got = tuple(verdict.get(k) for k in ("verdict", "status", "code", "dll", "function"))
        wanted = ("refused", "STATUS_DLL_NOT_FOUND", "0xC0000135", "xiapi32.dll", None)
        ok(got == wanted, f"{name}: --json: {got}, expected {wanted}")


def malformed_schema(work):
    """A system folder whose API set schema counts far more entries than its
    section holds."""
    system = loader_cases.folder_of_links(os.path.join(work, "bad-schema"), A.system, {"apisetschema.dll"})
    pe = pefile.PE(os.path.join(A.system, "apisetschema.dll"))
    section = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".apiset")
    pe.set_dword_at_offset(section.PointerToRawData + 12, 0x7FFFFFFF)
    pe.write(os.path.join(system, "apisetschema.dll"))
    return system


def bad_inputs(work):
    text = os.path.join(work, "notes.txt")
    with open(text, "w") as f:
        f.write("not a program\n")
    truncated = os.path.join(work, "truncated.exe")
    with open(A.exe, "rb") as f, open(truncated, "wb") as g:
        g.write(f.read()[:4096])
    for name, args in (("no such file", [os.path.join(work, "absent.exe")]), ("a text file", [text]),
                       ("a truncated program", [truncated]), ("no such system folder", [A.exe, "--system", text]),
                       ("no such --path folder", [A.exe, "--path", f"{work}:{work}/absent"]),
                       ("a malformed API set schema", [A.exe, "--system", malformed_schema(work)]),
                       ("a --known-dlls file that cannot be read", [A.exe, "--known-dlls", work])):
        status, out, err = loadcheck(*args)
        ok(status == 2, f"{name}: exit status {status}, expected 2")
        ok(out == "" and len(err.splitlines()) == 1 and err.startswith("loadcheck: ") and "Traceback" not in err,
           f"{name}: expected one line on standard error that says what is wrong, got stdout {out!r}, stderr {err!r}")


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    for opt in ("loadcheck", "exe", "standin", "dlls", "system", "work"):
        p.add_argument("--" + opt, required=True)
    A = p.parse_args()
    shutil.rmtree(A.work, ignore_errors=True)
    os.makedirs(A.work)
    try:
        verdicts(A.work)
        bad_inputs(A.work)
    finally:
        shutil.rmtree(A.work, ignore_errors=True)
    done("loader verdict")
