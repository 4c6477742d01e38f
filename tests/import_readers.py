"""The images' import tables as each independent reader reports them: pefile,
and what packagers and security pipelines run. Each reader must read the
table the image must have (pe_image.py), and all must read the same one,
the start-up code's functions included; a YARA rule matches test.exe by DLL
and function name, as a pipeline's rule would.

    import_readers.py

Each reader's table is turned into one shape: {dll: [function, ...]} in
table order, a function imported by ordinal as "#N".
"""
import json
import re
import subprocess

import pefile

import pe_image
from harness import P, main, ok


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def with_pefile(path):
    return pe_image.imports(pefile.PE(path))


def with_objdump(path):
    # "\tDLL Name: X", a header line, then a line per function up to a blank
    # line. Up to binutils 2.43 the header is "vma:  Hint/Ord Member-Name" and
    # a line "<vma> <hint> <name>" or "<vma> <ordinal> <none>"; from 2.44 it is
    # "vma:  Ordinal  Hint  Member-Name" and a line "<vma> <none> <hint>
    # <name>" or "<vma> <ordinal> <none> <none>".
    table, dll, name_column = {}, None, 2
    for line in run(P.gnu_objdump, "-p", path).splitlines():
        fields = line.split()
        if m := re.match(r"\s*DLL Name: (\S+)", line):
            dll = m.group(1)
            table[dll] = []
        elif dll and not fields:
            dll = None
        elif dll and fields[0] == "vma:":
            name_column = 3 if "Ordinal" in fields else 2
        elif dll and len(fields) > name_column and re.fullmatch(r"[0-9a-f]+", fields[0]):
            name = fields[name_column]
            table[dll].append(name if name != "<none>" else f"#{fields[1]}")
    return table


def with_readobj(path):
    table, dll = {}, None
    for line in run(P.readobj, "--coff-imports", path).splitlines():
        line = line.strip()
        if line == "Import {":
            dll = ""
        elif dll == "" and line.startswith("Name: "):
            dll = line[6:]
            table[dll] = []
        elif dll and line.startswith("Symbol: "):
            name = line[8:].rsplit(" (", 1)[0]
            table[dll].append(name if name else "#" + line.rsplit("(", 1)[1].rstrip(")"))
        elif line == "}":
            dll = None
    return table


def with_readpe(path):
    data = json.loads(run(P.readpe, "-f", "json", "-i", path) or "{}")
    return {d["Name"]: [f.get("Name") or f"#{f.get('Ordinal')}" for f in d.get("Functions", [])]
            for d in data.get("Imported functions", [])}


def with_yara(path):
    # yara -D prints what its pe module read: import_details, then [i] with
    # library_name and functions, each [j] with ordinal and name.
    table, dll, ordinal = {}, None, None
    rule = "import \"pe\"\nrule any_pe { condition: pe.is_pe }\n"
    out = subprocess.run([P.yara, "-D", "/dev/stdin", path], input=rule, check=True,
                         capture_output=True, text=True).stdout
    section = re.search(r"^\timport_details\n(.*?)(?=^\t\S)", out, re.S | re.M)
    for line in (section.group(1) if section else "").splitlines():
        line = line.strip()
        if m := re.match(r'library_name = "(.*)"$', line):
            dll = m.group(1)
            table[dll] = []
        elif m := re.match(r"ordinal = (\d+)$", line):
            ordinal = m.group(1)
        elif m := re.match(r'name = "(.*)"$', line):
            table[dll].append(m.group(1))
            ordinal = None
        elif line.startswith("[") and ordinal is not None:
            table[dll].append(f"#{ordinal}")
            ordinal = None
    if dll and ordinal is not None:
        table[dll].append(f"#{ordinal}")
    return table


READERS = {"pefile": with_pefile, "GNU objdump -p": with_objdump, "llvm-readobj --coff-imports": with_readobj,
           "readpe -i": with_readpe, "yara pe module": with_yara}
# Independent readers that must agree at the least: pev's readpe is gone from
# Debian unstable, and the suite runs it only where the release has it.
AT_LEAST = 4


def yara_rule(imports):
    """A rule that matches an image importing each function by DLL and name,
    and nothing else from the DLLs whose functions are listed exactly."""
    terms = [f'pe.imports("{dll}", "{fn}")' for dll, (fns, _) in imports.items() for fn in sorted(fns)]
    terms += [f'pe.imports("{dll}") == {len(fns)}' for dll, (fns, how) in sorted(imports.items()) if how == "exactly"]
    return "import \"pe\"\nrule expected_imports {\n  condition:\n    " + " and\n    ".join(terms) + "\n}\n"


def yara_matches(rule, path):
    out = subprocess.run([P.yara, "/dev/stdin", path], input=rule, capture_output=True, text=True)
    return out.returncode == 0 and out.stdout.startswith("expected_imports ")


def readers_agree():
    readers = {name: read for name, read in READERS.items() if read is not with_readpe or P.readpe}
    print(f"the readers: {', '.join(readers)}" + ("" if P.readpe else " (no readpe: this release has no pev)"))
    ok(len(readers) >= AT_LEAST, f"only {len(readers)} readers ran ({', '.join(readers)}), {AT_LEAST} must agree")
    for image, expected in ((P.exe, pe_image.PROGRAM_IMPORTS), (P.standin, pe_image.STANDIN_IMPORTS)):
        tables = {name: read(image) for name, read in readers.items()}
        for name, table in tables.items():
            pe_image.check_imports(table, expected, f"{image} as {name} reads it")
        differ = {name: table for name, table in tables.items() if table != tables["pefile"]}
        ok(not differ, f"{image}: readers differ from pefile's {tables['pefile']}: {differ}")

    rule = yara_rule(pe_image.PROGRAM_IMPORTS)
    ok(yara_matches(rule, P.exe), f"{P.exe} does not match the rule\n{rule}")
    # The same rule must not match an image that lacks those imports.
    ok(not yara_matches(rule, P.standin), f"{P.standin} matches the rule\n{rule}")


if __name__ == "__main__":
    main(readers_agree)
