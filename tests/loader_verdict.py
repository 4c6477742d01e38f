"""What scripts/loadcheck says the Windows loader makes of test.exe in each
of the loader's cases (loader_cases.py), as text and as JSON, the folders
that --bundle makes (loader_bundle.py), and what it says of input it
cannot use.

    loader_verdict.py
"""
import json
import os
import shutil
import subprocess

import pefile

import altered
import loader_cases
import windows_folder
from harness import P, main, ok, work
from loader_bundle import bundles, layouts
from loader_releases import releases
from loader_cases import ABSENT, NO_ENTRY, NO_ORDINAL, NOT_FOUND, loadcheck

# Forwarders of xiStopAcquisition however odd, and the verdict each gets.
ODD_FORWARDERS = [
    (b"xitarget", NO_ENTRY + "xiStopAcquisition in xiapi32.dll (its forwarder 'xitarget' names no function)"),
    (b"", NO_ENTRY + "xiStopAcquisition in xiapi32.dll (its forwarder '' names no function)"),
    (b"xitarget.#", NO_ENTRY + "# in xitarget.dll"),
    (b"xitarget.#zz", NO_ORDINAL + "0 in xitarget.dll"),
    (b"xitarget.#-1", NO_ORDINAL + "4294967295 in xitarget.dll"),
    (b"xitarget.\xe9t\xe9", NO_ENTRY + "\xe9t\xe9 in xitarget.dll"),
    (b".#2", NOT_FOUND + ".dll"),
]


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
    with open(os.path.join(P.source, "docs", "loader.md")) as f:
        doc = f.read()
    for n, case in enumerate(loader_cases.cases(work("cases"), P)):
        name = case.name
        ok(f"\n| {name} |" in doc, f"docs/loader.md has no row for the case {name!r}")
        exe = case.place(P.exe64 if case.x64 else P.exe, os.path.join(P.work, f"case{n}"))
        verdict, lines = case.expected(os.path.dirname(exe))
        status, out, err = loader_cases.verdict_of(exe, *case.options())
        got = out.splitlines()
        ok(status == case.status, f"{name}: exit status {status}, expected {case.status}; stderr {err!r}")
        ok(got and got[-1] == verdict, f"{name}: last line {got[-1:]}, expected {verdict!r}\n{out}")
        for line in lines:
            ok(line in got, f"{name}: no line {line!r} in\n{out}")
        for text in case.never:
            ok(text not in out, f"{name}: {text!r} was looked at:\n{out}")
        if case.missing is not None:
            missing = [g.strip()[:-len(": missing")] for g in got if g.endswith(": missing")]
            ok(missing == case.missing, f"{name}: missing {missing}, expected {case.missing}\n{out}")
        if case.json:
            status, out, err = loader_cases.verdict_of(exe, "--json", *case.options())
            try:
                check_json(name, json.loads(out), case.json)
            except ValueError:
                ok(False, f"{name}: --json gave no JSON object: {out[:400]!r} {err!r}")
            ok(status == case.status, f"{name}: --json: exit status {status}, expected {case.status}")


def odd_forwarders():
    """Any forwarder string gets a verdict, never a traceback: the one of
    forward-hex/xiapi32.dll rewritten in place."""
    for n, (forwarder, verdict) in enumerate(ODD_FORWARDERS):
        folder = work(f"forwarder{n}")
        pe = pefile.PE(os.path.join(P.dlls, "forward-hex", "xiapi32.dll"))
        export = pe.DIRECTORY_ENTRY_EXPORT.symbols[0]
        pe.set_bytes_at_offset(export.forwarder_offset, forwarder.ljust(len(export.forwarder), b"\0"))
        pe.write(os.path.join(folder, "xiapi32.dll"))
        shutil.copy(os.path.join(P.dlls, "forward", "xitarget.dll"), folder)
        status, out, err = loadcheck(shutil.copy(P.exe, folder))
        ok(status == 1 and out.splitlines()[-1:] == [verdict],
           f"forwarder {forwarder!r}: status {status}, last line {out.splitlines()[-1:]}, expected {verdict!r}; "
           f"stderr {err[-600:]!r}")


def damaged_headers():
    """Headers that are legal but rare get a verdict: a program and a DLL
    that list fewer data directories than there are (no relocations then,
    and no resources)."""
    folder = work("headers")
    for name, program, dll in (("a program listing 5 data directories", altered.directories(P.exe, f"{folder}/5.exe", 5), P.standin),
                               ("a DLL listing 2", P.exe, altered.directories(P.standin, f"{folder}/2.dll", 2))):
        case = os.path.join(folder, name.replace(" ", "-"))
        os.makedirs(case)
        shutil.copy(dll, os.path.join(case, "xiapi32.dll"))
        status, out, err = loadcheck(shutil.copy(program, os.path.join(case, "test.exe")))
        ok(status == 0 and out.splitlines()[-1:] == ["starts"],
           f"{name}: status {status}, last line {out.splitlines()[-1:]}, expected starts; stderr {err[-600:]!r}")


def bad_inputs():
    folder = work("bad")
    text = os.path.join(folder, "notes.txt")
    with open(text, "w") as f:
        f.write("not a program\n")
    truncated, truncated64 = os.path.join(folder, "truncated.exe"), os.path.join(folder, "truncated64.exe")
    for program, cut in ((P.exe, truncated), (P.exe64, truncated64)):
        with open(program, "rb") as f, open(cut, "wb") as g:
            g.write(f.read()[:4096])
    machine = pefile.MACHINE_TYPE
    arm64 = altered.with_header(P.exe64, f"{folder}/arm64.exe",
                                     lambda h: setattr(h, "Machine", machine["IMAGE_FILE_MACHINE_ARM64"]))
    ia64 = altered.with_header(P.exe64, f"{folder}/ia64.exe",
                                    lambda h: setattr(h, "Machine", machine["IMAGE_FILE_MACHINE_IA64"]))
    x64_over_pe32 = altered.another_machine(P.exe, f"{folder}/x64-over-pe32.exe")
    no_system32 = os.path.join(folder, "no-system32")
    os.makedirs(os.path.join(no_system32, "SysWOW64"))
    # The schema counting far more entries than its section holds, or of the
    # versions of Windows 7 and of Windows 8.
    schema = [altered.with_schema(f"{folder}/schema{n}", P.wine_dlls, lambda pe, section, at=at, value=value:
                                       pe.set_dword_at_offset(section.PointerToRawData + at, value))
              for n, (at, value) in enumerate(((12, 0x7FFFFFFF), (0, 2), (0, 4)))]
    loader_cases.written(f"{folder}/hive/System32/config/SYSTEM", "not a registry hive\n")
    shutil.copy(os.path.join(P.wine_dlls, "kernel32.dll"), f"{folder}/hive/System32")
    no_kernel32 = os.path.join(folder, "no-kernel32")
    os.makedirs(no_kernel32)
    shutil.copy(os.path.join(P.wine_dlls, "ntdll.dll"), no_kernel32)
    for name, args, says in (
            ("no such file", [os.path.join(folder, "absent.exe")], "no such file"), ("a text file", [text], "not a PE"),
            ("a truncated program", [truncated], "truncated"), ("a truncated x64 program", [truncated64], "truncated"),
            ("an ARM64 program", [arm64], "is a program for ARM64 (0xaa64): loadcheck gives the verdict for x86 and x64"),
            ("an IA-64 program", [ia64], "is a program for IA-64 (Itanium) (0x0200)"),
            ("a .NET program without native code", [altered.il_only(P.exe, f"{folder}/il-only.exe")], "a .NET image without"),
            ("an x64 file header over a PE32 optional header", [x64_over_pe32], "an x64 file header with a PE32 optional"),
            ("an x64 program, a Windows folder without System32", [P.exe64, "--system", no_system32],
             "a Windows folder without System32, which holds an x64 program's DLLs"),
            ("no such system folder", [P.exe, "--system", text], "no such system folder"),
            ("a system folder without KERNEL32.dll", [P.exe, "--system", no_kernel32],
             f"no KERNEL32.dll in {no_kernel32}: not a Windows system folder"),
            ("a folder as the program", [folder], "is a folder, not a program"),
            ("a DLL as the program, to bundle", [P.standin, "--bundle", f"{folder}/b"], "is a DLL, not a program"),
            ("--bundle with --deploy", [P.exe, "--bundle", f"{folder}/b", "--deploy"], "give one"),
            ("--mingw with a compiler for x86, an x64 program", [P.exe64, "--mingw=i686-w64-mingw32-gcc"],
             "builds for i686-w64-mingw32, and the program is x64"),
            ("an unknown Windows release", [P.exe, "--windows", "98"], "no such release built in; the releases are xp"),
            ("--windows with --system", [P.exe, "--windows", "7", "--system", "wine"], "two systems"),
            ("no such --path folder", [P.exe, "--path", f"{folder}:{folder}/absent"], "absent"),
            ("a malformed API set schema", [P.exe, "--system", schema[0]], "not a readable API set schema"),
            ("Windows 7's API set schema", [P.exe, "--system", schema[1]], "version 2 (Windows 7); loadcheck reads"),
            ("Windows 8's API set schema", [P.exe, "--system", schema[2]], "version 4 (Windows 8 and 8.1)"),
            ("a --known-dlls file that cannot be read", [P.exe, "--known-dlls", folder], "cannot read"),
            ("a SYSTEM hive that cannot be read", [P.exe, "--system", f"{folder}/hive"],
             f"registry hive {folder}/hive/System32/config/SYSTEM")):
        status, out, err = loadcheck(*args)
        ok(status == 2, f"{name}: exit status {status}, expected 2")
        ok(out == "" and len(err.splitlines()) == 1 and err.startswith("loadcheck: ") and says in err,
           f"{name}: expected one line on standard error that says {says!r}, got stdout {out!r}, stderr {err!r}")
        status, out, err = loader_cases.verdict_of(*args, "--json")
        try:
            said = json.loads(out)
        except ValueError:
            said = {}
        ok(status == 2 and said.get("verdict") == "bad input" and says in (said.get("detail") or ""),
           f"{name}, --json: status {status}, expected one JSON object saying {says!r}, got {out!r}")


def hive_reads_back():
    """The suite's own writer of registry hives gives a file that Debian's
    hivexget reads back, value by value."""
    path = os.path.join(work("hive"), "SYSTEM")
    session = r"ControlSet001\Control\Session Manager"
    with open(path, "wb") as f:
        f.write(windows_folder.hive({"Select": {"Current": 1}, session: {"ExcludeFromKnownDlls": ["msvcrt", "ole32"]},
                                     session + r"\KnownDLLs": {"kernel32": "kernel32.dll", "_wow64": "wow64.dll"}}))
    for key, value, expected in (("Select", "Current", "1"), (session + r"\KnownDLLs", "kernel32", "kernel32.dll"),
                                 (session + r"\KnownDLLs", "_wow64", "wow64.dll"),
                                 (session, "ExcludeFromKnownDlls", "msvcrt\nole32")):
        r = subprocess.run([P.hivexget, path, key, value], capture_output=True, text=True)
        ok(r.returncode == 0 and r.stdout.strip() == expected,
           f"hivexget {key} {value}: status {r.returncode}, {r.stdout!r} {r.stderr!r}, expected {expected!r}")


def loader_verdict():
    hive_reads_back()
    verdicts()
    odd_forwarders()
    damaged_headers()
    bundles()
    layouts()
    releases()
    bad_inputs()


if __name__ == "__main__":
    main(loader_verdict)
