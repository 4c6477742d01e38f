"""One image's import table as each independent reader reports it, each
turned into the same shape: {dll: [function, ...]} in table order, a
function imported by ordinal as "#N". pefile is the reference; the others
are what packagers and security pipelines run.
"""
import json
import re
import subprocess

import pefile

import pe_image


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def with_pefile(path, tools):
    return pe_image.imports(pefile.PE(path))


def with_objdump(path, tools):
    # "\tDLL Name: X", a header line, then a line per function up to a blank
    # line. Up to binutils 2.43 the header is "vma:  Hint/Ord Member-Name" and
    # a line "<vma> <hint> <name>" or "<vma> <ordinal> <none>"; from 2.44 it is
    # "vma:  Ordinal  Hint  Member-Name" and a line "<vma> <none> <hint>
    # <name>" or "<vma> <ordinal> <none> <none>".
    table, dll, name_column = {}, None, 2
    for line in run(tools["objdump"], "-p", path).splitlines():
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


def with_readobj(path, tools):
    table, dll = {}, None
    for line in run(tools["readobj"], "--coff-imports", path).splitlines():
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


def with_readpe(path, tools):
    data = json.loads(run(tools["readpe"], "-f", "json", "-i", path) or "{}")
    return {d["Name"]: [f.get("Name") or f"#{f.get('Ordinal')}" for f in d.get("Functions", [])]
            for d in data.get("Imported functions", [])}


def with_yara(path, tools):
    # yara -D prints what its pe module read: import_details, then [i] with
    # library_name and functions, each [j] with ordinal and name.
    table, dll, ordinal = {}, None, None
    rule = "import \"pe\"\nrule any_pe { condition: pe.is_pe }\n"
    out = subprocess.run([tools["yara"], "-D", "/dev/stdin", path], input=rule, check=True,
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


def yara_rule(imports, exact):
    """A rule that matches an image importing each function by DLL and name,
    and nothing else from the DLLs in exact."""
    terms = [f'pe.imports("{dll}", "{fn}")' for dll, fns in imports.items() for fn in sorted(fns)]
    terms += [f'pe.imports("{dll}") == {len(imports[dll])}' for dll in sorted(exact)]
    return "import \"pe\"\nrule expected_imports {\n  condition:\n    " + " and\n    ".join(terms) + "\n}\n"


def yara_matches(rule, path, tools):
    out = subprocess.run([tools["yara"], "/dev/stdin", path], input=rule, capture_output=True, text=True)
    return out.returncode == 0 and out.stdout.startswith("expected_imports ")
