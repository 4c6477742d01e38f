"""Makes tables.zip, the built-in Windows releases' facts, from checkouts of
the public extractions that catalogue.SOURCES names:

    PYTHONPATH=loadcheck/src python3 -m loadcheck.windows.derive WINEXPORTS APISETS

Each release's export tables (every export's ordinal, name and forwarder,
one row per distinct export with the releases that have it as bits), its
API set schema, the names of the DLLs it has without a table (hosts of its
schema, targets of its forwarders), the System32 files the extraction
looked for, the DLLs each release has a table of, and the sources' commits and the releases' builds, read from
the files themselves. Run it again when a source grows; the zip is
committed beside it."""
import json
import os
import subprocess
import sys
import zipfile

from .catalogue import RELEASES, SOURCES

HERE = os.path.dirname(os.path.abspath(__file__))
OUTPUT = os.path.join(HERE, "tables.zip")
MACHINES = {"I386": "x86", "AMD64": "x64"}


def commit(checkout):
    return subprocess.run(["git", "-C", checkout, "rev-parse", "HEAD"], capture_output=True, text=True,
                          check=True).stdout.strip()


def read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def dll_name(name):
    name = name.lower()
    return name if "." in name else name + ".dll"


def tables(winexports, release):
    """{dll file name: [(ordinal, name, forwarder)]}, machine, kernel32's version."""
    folder = os.path.join(winexports, "data", "exports", release.tables)
    found = {}
    for file_name in sorted(os.listdir(folder)):
        data = read_json(os.path.join(folder, file_name))
        found[file_name.removesuffix(".json").lower()] = [
            (e["ordinal"], e.get("name") or "", e.get("forwarder") or "") for e in data["exports"]]
    kernel32 = read_json(os.path.join(folder, "kernel32.dll.json"))
    return found, MACHINES[kernel32["Machine"]], kernel32["FileVersion"].split(" ")[0]


def schema(apisets, release):
    """({API set name without .dll: {importer or "": host}}, its build)."""
    if not release.schema:
        return {}, ""
    data = read_json(os.path.join(apisets, "data", "apisetschema", release.schema))
    entries = {}
    for n in data["namespaces"]:
        hosts = {"": n["host"].lower()}
        if n.get("alt_name"):
            hosts[n["alt_name"].lower()] = n.get("alt_host", "").lower()
        entries[n["name"].lower().removesuffix(".dll")] = hosts
    return entries, data["PE"]["FileVersion"].split(" ")[0]


def main(argv):
    if len(argv) != 2 or not all(os.path.isdir(p) for p in argv):
        sys.exit("usage: python3 -m loadcheck.windows.derive WINEXPORTS APISETS (checkouts of the two "
                 "repositories that catalogue.py beside this script names)")
    winexports, apisets = argv
    rows = {}       # dll: {(ordinal, name, forwarder): bits}
    releases, present, schemas, tabled = {}, {}, {}, {}
    for bit, release in enumerate(RELEASES):
        found, machine, build = tables(winexports, release)
        for dll, exports in found.items():
            for export in exports:
                rows.setdefault(dll, {})
                rows[dll][export] = rows[dll].get(export, 0) | 1 << bit
        tabled[release.key] = sorted(found)
        entries, schema_build = schema(apisets, release)
        schemas[release.key] = entries
        hosts = {h for hosts in entries.values() for h in hosts.values() if h}
        targets = {dll_name(f.partition(".")[0]) for exports in found.values() for _, _, f in exports if f}
        present[release.key] = sorted(n for n in hosts | targets
                                      if n not in found and not n.startswith(("api-", "ext-")))
        releases[release.key] = {"tables": release.tables, "machine": machine, "build": build,
                                 "dlls": len(found), "exports": sum(len(e) for e in found.values()),
                                 "schema": release.schema, "schema_build": schema_build}
    with open(os.path.join(winexports, "scripts", "include_files.txt")) as f:
        listed = {line.strip().lower() for line in f if line.strip()}
    # Only the names that some release's tables hold are certain to have
    # been looked for when the tables were dumped.
    curated = sorted(listed & set(rows))
    sources = {name: {"about": about, "commit": commit(path)}
               for (name, about), path in zip(SOURCES.items(), (winexports, apisets))}
    tmp = OUTPUT + ".tmp"
    with zipfile.ZipFile(tmp, "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
        z.writestr("sources.json", json.dumps({"sources": sources, "releases": releases}, indent=1))
        z.writestr("curated.txt", "\n".join(curated))
        for key in releases:
            z.writestr(f"present/{key}", "\n".join(present[key]))
            z.writestr(f"tabled/{key}", "\n".join(tabled[key]))
            z.writestr(f"schema/{key}", json.dumps(schemas[key], separators=(",", ":")))
        for dll, exports in sorted(rows.items()):
            z.writestr(f"exports/{dll}", "\n".join(f"{bits}\t{o}\t{n}\t{f}" for (o, n, f), bits in
                                                   sorted(exports.items(), key=lambda r: (r[0][1], r[0][0]))))
    os.replace(tmp, OUTPUT)
    total = sum(len(e) for e in rows.values())
    print(f"{OUTPUT}: {len(rows)} DLLs, {total} rows, {os.path.getsize(OUTPUT)} bytes")


if __name__ == "__main__":
    main(sys.argv[1:])
