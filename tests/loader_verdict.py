"""What scripts/loadcheck says the Windows loader makes of test.exe in each
of the loader's cases (loader_cases.py), as text and as JSON, and what it
says of input it cannot use.

    loader_verdict.py
"""
import json
import os
import shutil
import struct
import subprocess

import pefile

import loader_cases
import windows_folder
from harness import P, main, ok, work
from loader_cases import ABSENT, NO_ENTRY, NO_ORDINAL, NOT_FOUND

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


def loadcheck(*args):
    """scripts/loadcheck's status, standard output and standard error."""
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


def il_only(image, path):
    """A copy of the image that says it is .NET code without native code: a
    CLR header (IMAGE_COR20_HEADER, its flags COMIMAGE_FLAGS_ILONLY) in the
    slack at the end of a section, and the data directory naming it."""
    pe = pefile.PE(image)
    section = next(s for s in pe.sections if s.SizeOfRawData - s.Misc_VirtualSize >= 80)
    start = (section.Misc_VirtualSize + 7) // 8 * 8
    pe.set_bytes_at_offset(section.PointerToRawData + start, struct.pack("<IHHIII", 72, 2, 5, 0, 0, 1).ljust(72, b"\0"))
    section.Misc_VirtualSize = start + 72
    clr = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR"]]
    clr.VirtualAddress, clr.Size = section.VirtualAddress + start, 72
    pe.write(path)
    return path


def directories(image, path, count):
    """A copy of the image whose optional header lists count data
    directories (NumberOfRvaAndSizes), fewer than the 16 it has."""
    pe = pefile.PE(image, fast_load=True)
    pe.OPTIONAL_HEADER.NumberOfRvaAndSizes = count
    pe.write(path)
    return path


def damaged_headers():
    """Headers that are legal but rare get a verdict: a program and a DLL
    that list fewer data directories than there are (no relocations then,
    and no resources)."""
    folder = work("headers")
    for name, program, dll in (("a program listing 5 data directories", directories(P.exe, f"{folder}/5.exe", 5), P.standin),
                               ("a DLL listing 2", P.exe, directories(P.standin, f"{folder}/2.dll", 2))):
        case = os.path.join(folder, name.replace(" ", "-"))
        os.makedirs(case)
        shutil.copy(dll, os.path.join(case, "xiapi32.dll"))
        status, out, err = loadcheck(shutil.copy(program, os.path.join(case, "test.exe")))
        ok(status == 0 and out.splitlines()[-1:] == ["starts"],
           f"{name}: status {status}, last line {out.splitlines()[-1:]}, expected starts; stderr {err[-600:]!r}")


# --bundle: the program (an attribute of the paths), the 32-bit runtime DLLs
# put beside it, the options, and DLLs that the bundle must hold among
# others (each bundle holds what its files import of one another, and
# nothing else).
BUNDLES = [
    ("the threaded program, its runtime from --mingw", "threaded", [], ["--mingw"], {"libstdc++-6.dll"}),
    ("its 64-bit twin, its runtime from --mingw", "threaded64", [], ["--mingw"], {"libstdc++-6.dll"}),
    ("its 64-bit twin, a 32-bit libstdc++-6.dll beside it", "threaded64", ["libstdc++-6.dll"], ["--mingw"],
     {"libstdc++-6.dll"}),
    ("test.exe, the stand-in on --path", "exe", [], ["--path", "<build>"], {"xiapi32.dll"}),
]


PRIVATE = "a Visual C++ 2008 xiapi32.dll, the runtime a private assembly in a folder of its own"


def imports_within(folder, name, seen):
    """The files of folder that name imports, and theirs in turn, read with
    pefile: what a bundle made of exactly what is needed holds."""
    pe = pefile.PE(os.path.join(folder, name))
    files = {f.lower(): f for f in os.listdir(folder)}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        dll = files.get(entry.dll.decode().lower())
        if dll and dll not in seen:
            seen.add(dll)
            imports_within(folder, dll, seen)
    return seen


def bundles():
    """--bundle makes a folder of the program and what it needs from outside
    the Windows folder, once each, of the program's machine, that starts on
    its own; where it cannot be made, or the program does not start,
    nothing is made."""
    for n, (name, program, beside, options, among) in enumerate(BUNDLES):
        source = getattr(P, program)
        folder = work(f"bundle{n}")
        exe = shutil.copy(source, folder)
        machine = pefile.PE(source, fast_load=True).FILE_HEADER.Machine
        for f in beside:  # the 32-bit toolchain's, as its compiler finds it
            shutil.copy(subprocess.run(["i686-w64-mingw32-gcc", f"-print-file-name={f}"], capture_output=True,
                                       text=True).stdout.strip(), folder)
        dest = os.path.join(folder, "bundle")
        options = [o.replace("<build>", P.build) for o in options]
        status, out, err = loadcheck_json(exe, "--bundle", dest, *options)
        bundle = out.get("bundle") or {}
        ok(status == 0 and bundle.get("verdict") == "starts",
           f"{name}: status {status}, the bundle's verdict {bundle.get('verdict')}, {bundle.get('detail')}; {err!r}")
        if not os.path.isdir(dest):
            continue
        held = sorted(os.listdir(dest))
        needed = imports_within(dest, os.path.basename(exe), set())
        ok(held == sorted(needed | {os.path.basename(exe)}) and among <= needed,
           f"{name}: the bundle holds {held}, its program needs {sorted(needed)} of them, expected {sorted(among)} "
           "among them")
        ok(sorted(f["file"] for f in bundle.get("files", [])) == held, f"{name}: --json lists {bundle.get('files')}")
        system = {f.lower() for f in os.listdir(P.wine_dlls64 if program.endswith("64") else P.wine_dlls)}
        ok(not system & {f.lower() for f in held}, f"{name}: the bundle holds the system's {system & set(held)}")
        machines = {f: pefile.PE(os.path.join(dest, f), fast_load=True).FILE_HEADER.Machine for f in held}
        ok(set(machines.values()) == {machine}, f"{name}: machines {machines}, expected the program's {machine:#x}")
    # A private assembly ships whole, in its own folder: its manifest too.
    case = next(c for c in loader_cases.cases(work("cases"), P) if c.name == PRIVATE)
    exe = case.place(P.exe, os.path.join(work("bundle-private"), "program"))
    dest = os.path.join(os.path.dirname(exe), "bundle")
    status, out, err = loadcheck(exe, "--bundle", dest)
    held = sorted(os.path.relpath(os.path.join(d, f), dest) for d, _, files in os.walk(dest) for f in files)
    shipped = ["Microsoft.VC90.CRT/Microsoft.VC90.CRT.manifest", "Microsoft.VC90.CRT/msvcr90.dll", "test.exe",
               "xiapi32.dll"]
    ok(status == 0 and held == shipped, f"{PRIVATE}: status {status}, the bundle holds {held}, expected {shipped}")
    # Nothing made where the bundle cannot be, or the program does not start.
    folder = work("bundle-bad")
    exe = shutil.copy(P.threaded, folder)
    full = loader_cases.written(os.path.join(folder, "full", "readme.txt"), "already here\n")
    for name, args, status, says in (
            ("a folder that is not empty", ["--mingw", "--bundle", os.path.dirname(full)], 2, "not an empty folder"),
            ("a folder that cannot be written", ["--mingw", "--bundle", "/proc/bundle"], 2, "cannot write"),
            ("a program that does not start", ["--bundle", os.path.join(folder, "absent")], 1, "")):
        before = sorted(os.listdir(folder))
        got, out, err = loadcheck(exe, *args)
        ok(got == status and (not says or (len(err.splitlines()) == 1 and says in err)),
           f"--bundle, {name}: status {got}, stderr {err!r}, expected {status}" + (f" and {says!r}" if says else ""))
        ok(sorted(os.listdir(folder)) == before and os.listdir(os.path.dirname(full)) == ["readme.txt"],
           f"--bundle, {name}: it left {sorted(set(os.listdir(folder)) - set(before))}")
    r = subprocess.run([os.path.join(P.source, "scripts", "loadcheck"), exe, "--mingw"], capture_output=True,
                       text=True, env=dict(os.environ, PATH="/nonexistent"))
    ok(r.returncode == 2 and "install g++-mingw-w64-i686" in r.stderr,
       f"--mingw without a MinGW-w64 toolchain: status {r.returncode}, stderr {r.stderr!r}")


def loadcheck_json(*args):
    status, out, err = loadcheck(*args, "--json")
    try:
        return status, json.loads(out), err
    except ValueError:
        return status, {}, f"no JSON object: {out[:300]!r} {err}"


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
    arm64 = loader_cases.with_header(P.exe64, f"{folder}/arm64.exe",
                                     lambda h: setattr(h, "Machine", machine["IMAGE_FILE_MACHINE_ARM64"]))
    ia64 = loader_cases.with_header(P.exe64, f"{folder}/ia64.exe",
                                    lambda h: setattr(h, "Machine", machine["IMAGE_FILE_MACHINE_IA64"]))
    x64_over_pe32 = loader_cases.another_machine(P.exe, f"{folder}/x64-over-pe32.exe")
    no_system32 = os.path.join(folder, "no-system32")
    os.makedirs(os.path.join(no_system32, "SysWOW64"))
    # The schema counting far more entries than its section holds, or of the
    # versions of Windows 7 and of Windows 8.
    schema = [loader_cases.with_schema(f"{folder}/schema{n}", P.wine_dlls, lambda pe, section, at=at, value=value:
                                       pe.set_dword_at_offset(section.PointerToRawData + at, value))
              for n, (at, value) in enumerate(((12, 0x7FFFFFFF), (0, 2), (0, 4)))]
    hive = loader_cases.written(f"{folder}/hive/System32/config/SYSTEM", "not a registry hive\n")
    for name, args, says in (
            ("no such file", [os.path.join(folder, "absent.exe")], "no such file"), ("a text file", [text], "not a PE"),
            ("a truncated program", [truncated], "truncated"), ("a truncated x64 program", [truncated64], "truncated"),
            ("an ARM64 program", [arm64], "is a program for ARM64 (0xaa64): loadcheck gives the verdict for x86 and x64"),
            ("an IA-64 program", [ia64], "is a program for IA-64 (Itanium) (0x0200)"),
            ("a .NET program without native code", [il_only(P.exe, f"{folder}/il-only.exe")], "a .NET image without"),
            ("an x64 file header over a PE32 optional header", [x64_over_pe32], "an x64 file header with a PE32 optional"),
            ("an x64 program, a Windows folder without System32", [P.exe64, "--system", no_system32],
             "a Windows folder without System32, which holds an x64 program's DLLs"),
            ("no such system folder", [P.exe, "--system", text], "no such system folder"),
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


def windows_image(*args, cache):
    """scripts/windows-image's status, standard output and standard error,
    with its cache in the folder given."""
    r = subprocess.run([os.path.join(P.source, "scripts", "windows-image"), *args], capture_output=True, text=True,
                       env=dict(os.environ, XDG_CACHE_HOME=cache), timeout=300)
    return r.returncode, r.stdout, r.stderr


def slim_copy(cases, copy):
    """A folder of links to the files of the cases' Windows folder that their
    verdicts map, with its registry, schema and WinSxS: the same verdicts, from
    an image of some MB instead of a GB of Wine's DLLs, written and read four
    times over."""
    windows = cases[0].system()
    kept = {os.path.join("System32", "config", "SYSTEM"), os.path.join("System32", "apisetschema.dll")}
    for n, case in enumerate(cases):
        exe = case.place(P.exe64 if case.x64 else P.exe, os.path.join(os.path.dirname(copy), f"probe{n}"))
        _, out, _ = loader_cases.verdict_of(exe, "--json", *case.options())
        kept |= {os.path.relpath(m["path"], windows) for m in json.loads(out)["modules"]
                 if m["path"].startswith(windows + os.sep)}
    for path, _, files in os.walk(windows):
        for f in files:
            relative = os.path.relpath(os.path.join(path, f), windows)
            if relative in kept or relative.startswith("WinSxS" + os.sep):
                os.makedirs(os.path.dirname(os.path.join(copy, relative)), exist_ok=True)
                os.symlink(os.path.realpath(os.path.join(path, f)), os.path.join(copy, relative))


def windows_image_verdicts():
    """The suite's Windows 10 folder captured into a WIM (wimlib-imagex), the
    WIM put into an ISO as sources/install.wim (genisoimage, UDF): the folder
    that scripts/windows-image extracts from either gives the verdicts of
    the folder itself. Bad images: status 2 and one line."""
    folder = work("image")
    cases = [c for c in loader_cases.cases(work("cases"), P)
             if c.system and os.path.basename(c.system.path) == "windows-10"]
    root = os.path.join(folder, "root")
    slim_copy(cases, os.path.join(root, "Windows"))
    wim = os.path.join(folder, "iso", "sources", "install.wim")
    os.makedirs(os.path.dirname(wim))
    subprocess.run([P.wimlib, "capture", root, wim, "Windows 10 Pro", "--dereference", "--compress=none",
                    "--no-acls"], check=True, capture_output=True)
    iso, empty_iso = os.path.join(folder, "windows.iso"), os.path.join(folder, "other.iso")
    subprocess.run([P.genisoimage, "-quiet", "-udf", "-o", iso, os.path.dirname(os.path.dirname(wim))], check=True)
    loader_cases.written(os.path.join(folder, "other", "readme.txt"), "an ISO that holds no Windows\n")
    subprocess.run([P.genisoimage, "-quiet", "-udf", "-o", empty_iso, os.path.join(folder, "other")], check=True)
    text = loader_cases.written(os.path.join(folder, "notes.txt"), "not an image\n")
    cache = os.path.join(folder, "cache")
    for image in (wim, iso):
        status, out, err = windows_image(image, "--list", cache=cache)
        ok(status == 0 and out.startswith("1\tWindows 10 Pro\t"),
           f"--list of {image}: status {status}, {out!r}, expected edition 1, Windows 10 Pro; stderr {err[-400:]!r}")
        status, printed, err = windows_image(image, cache=cache)
        windows = printed.splitlines()[-1] if printed else ""
        ok(status == 0 and os.path.isdir(os.path.join(windows, "WinSxS", "Manifests")),
           f"{image}: status {status}, last line {windows!r}, not a Windows folder; stderr {err[-400:]!r}")
        for n, case in enumerate(cases):
            exe = case.place(P.exe64 if case.x64 else P.exe, os.path.join(folder, f"case{n}-{os.path.basename(image)}"))
            # A verdict that names a file of the Windows folder names the extracted one's.
            verdict = case.expected(os.path.dirname(exe))[0].replace(case.system.path, windows)
            status, out, err = loader_cases.verdict_of(exe, *case.options()[2:], "--system", windows)
            ok(status == case.status and out.splitlines()[-1:] == [verdict], f"{case.name}, from {image}: status "
               f"{status}, last line {out.splitlines()[-1:]}, expected {verdict!r}; stderr {err[-400:]!r}")
        status, again, err = windows_image(image, cache=cache)
        ok(status == 0 and again == printed and "reusing" in err,
           f"a second call on {image}: status {status}, {again!r} (first {printed!r}), stderr {err!r}: not reused")
    for name, args, says in (("a text file", [text], "is not a Windows installation image"),
                             ("an ISO without sources/install.wim", [empty_iso], "holds no sources/install.wim"),
                             ("an edition that the image lacks", [iso, "--index", "2"], "has no edition 2: it has 1")):
        status, out, err = windows_image(*args, cache=cache)
        ok(status == 2 and out == "" and len(err.splitlines()) == 1 and says in err,
           f"{name}: status {status}, expected 2 and one line that says {says!r}; stdout {out!r}, stderr {err!r}")
    leftover = [f for f in os.listdir(os.path.join(cache, "hello_xiapi32", "windows")) if f.startswith(".")]
    ok(leftover == [], f"scripts/windows-image left its work folders behind: {leftover}")


def loader_verdict():
    hive_reads_back()
    verdicts()
    odd_forwarders()
    damaged_headers()
    bundles()
    bad_inputs()


if __name__ == "__main__":
    main(loader_verdict, windows_image_verdicts)
