"""What scripts/loadcheck says the Windows loader makes of test.exe in each
of the loader's cases (loader_cases.py), as text and as JSON, and what it
says of input it cannot use.

    loader_verdict.py
"""
import json
import os
import subprocess

import pefile

import loader_cases
from harness import P, main, ok, work
from loader_cases import ABSENT


def loadcheck(*args):
    r = subprocess.run([os.path.join(P.source, "scripts", "loadcheck"), *args], capture_output=True, text=True,
                       timeout=120)
    return r.returncode, r.stdout, r.stderr


def check_json(name, got, wanted):
    """The fields of wanted in got: top-level ones, and in "modules" those of
    each module by its lower-case name."""
    for key, value in wanted.items():
        if key != "modules":
            ok(got.get(key) == value, f"{name}: --json: {key} is {got.get(key)!r}, expected {value!r}")
    modules = {m["name"].lower(): m for m in got.get("modules", [])}
    for module, fields in wanted.get("modules", {}).items():
        m = modules.get(module, {})
        for key, value in fields.items():
            seen = m.get(key, ABSENT)
            ok(seen == value, f"{name}: --json: {module}'s {key} is {seen!r}, expected {value!r}; "
               f"modules {sorted(modules)}")


def verdicts():
    for n, case in enumerate(loader_cases.cases(work("cases"), P.dlls, P.standin, P.wine_dlls)):
        name = case.name
        exe = case.place(P.exe, os.path.join(P.work, f"case{n}"))
        status, out, err = loadcheck(exe, *case.options())
        got = out.splitlines()
        ok(status == case.status, f"{name}: exit status {status}, expected {case.status}; stderr {err!r}")
        ok(got and got[-1] == case.verdict, f"{name}: last line {got[-1:]}, expected {case.verdict!r}\n{out}")
        for line in case.lines:
            ok(line in got, f"{name}: no line {line!r} in\n{out}")
        for text in case.never:
            ok(text not in out, f"{name}: {text!r} was looked at:\n{out}")
        if case.missing is not None:
            missing = [g.strip()[:-len(": missing")] for g in got if g.endswith(": missing")]
            ok(missing == case.missing, f"{name}: missing {missing}, expected {case.missing}\n{out}")
        if case.json:
            status, out, err = loadcheck(exe, "--json", *case.options())
            try:
                check_json(name, json.loads(out), case.json)
            except ValueError:
                ok(False, f"{name}: --json gave no JSON object: {out[:400]!r} {err!r}")
            ok(status == case.status, f"{name}: --json: exit status {status}, expected {case.status}")


def malformed_schema(folder):
    """A system folder whose API set schema counts far more entries than its
    section holds."""
    system = loader_cases.folder_of_links(folder, P.wine_dlls, {"apisetschema.dll"})
    pe = pefile.PE(os.path.join(P.wine_dlls, "apisetschema.dll"))
    section = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".apiset")
    pe.set_dword_at_offset(section.PointerToRawData + 12, 0x7FFFFFFF)
    pe.write(os.path.join(system, "apisetschema.dll"))
    return system


def bad_inputs():
    folder = work("bad")
    text = os.path.join(folder, "notes.txt")
    with open(text, "w") as f:
        f.write("not a program\n")
    truncated = os.path.join(folder, "truncated.exe")
    with open(P.exe, "rb") as f, open(truncated, "wb") as g:
        g.write(f.read()[:4096])
    for name, args in (("no such file", [os.path.join(folder, "absent.exe")]), ("a text file", [text]),
                       ("a truncated program", [truncated]), ("no such system folder", [P.exe, "--system", text]),
                       ("no such --path folder", [P.exe, "--path", f"{folder}:{folder}/absent"]),
                       ("a malformed API set schema", [P.exe, "--system", malformed_schema(folder + "/schema")]),
                       ("a --known-dlls file that cannot be read", [P.exe, "--known-dlls", folder])):
        status, out, err = loadcheck(*args)
        ok(status == 2, f"{name}: exit status {status}, expected 2")
        ok(out == "" and len(err.splitlines()) == 1 and err.startswith("loadcheck: ") and "Traceback" not in err,
           f"{name}: expected one line on standard error that says what is wrong, got stdout {out!r}, stderr {err!r}")


def loader_verdict():
    verdicts()
    bad_inputs()


if __name__ == "__main__":
    main(loader_verdict)
