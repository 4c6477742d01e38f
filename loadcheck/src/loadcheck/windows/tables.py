"""tables.zip, read lazily: a verdict reads the sources, the release's
schema and the export tables of the few DLLs it maps, each once per
process. A file that cannot be read is bad input, never a traceback."""
import functools
import json
import os
import zipfile
from typing import NamedTuple

from ..status import BadInput
from .catalogue import RELEASES

TABLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tables.zip")
BIT = {r.key: 1 << n for n, r in enumerate(RELEASES)}


class Export(NamedTuple):
    """An export as the loader sees it (pefile's names for the fields)."""
    ordinal: int
    name: bytes
    forwarder: bytes


class Tables:
    def __init__(self, path=TABLES):
        self.path = path
        try:
            self.zip = zipfile.ZipFile(path)
            data = json.loads(self.zip.read("sources.json"))
            self.sources, self.releases = data["sources"], data["releases"]
            self.curated = set(self.text("curated.txt").split())
            self.dlls = {n.removeprefix("exports/") for n in self.zip.namelist() if n.startswith("exports/")}
        except (OSError, zipfile.BadZipFile, KeyError, ValueError, TypeError) as e:
            raise self.damaged(e)
        self.mask = {m: sum(BIT[k] for k, r in self.releases.items() if r["machine"] == m) for m in ("x86", "x64")}

    def damaged(self, e):
        return BadInput(f"loadcheck's Windows data {self.path} is damaged ({e}); reinstall loadcheck, or make it "
                        "again with python3 -m loadcheck.windows.derive")

    def text(self, member):
        try:
            return self.zip.read(member).decode("utf-8")
        except (OSError, zipfile.BadZipFile, KeyError, UnicodeDecodeError, EOFError) as e:
            raise self.damaged(e)

    @functools.lru_cache(maxsize=None)
    def rows(self, dll):
        """[(bits, ordinal, name, forwarder)] of the DLL's exports in every
        release that has a table of it, as text."""
        try:
            rows = [(int(bits), ordinal, name, forwarder) for bits, ordinal, name, forwarder in
                    (line.split("\t") for line in self.text(f"exports/{dll}").splitlines())]
        except ValueError as e:
            raise self.damaged(f"exports/{dll}: {e}")
        return rows

    @functools.lru_cache(maxsize=None)
    def index(self, dll):
        """({name: [row]}, {ordinal: [row]}) of the DLL's rows, and the bits
        of the releases with a table of it."""
        by_name, by_ordinal, tabled = {}, {}, 0
        try:
            for row in self.rows(dll):
                by_name.setdefault(row[2], []).append(row)
                by_ordinal.setdefault(int(row[1]), []).append(row)
                tabled |= row[0]
        except ValueError as e:
            raise self.damaged(f"exports/{dll}: {e}")
        by_name.pop("", None)
        return by_name, by_ordinal, tabled

    def exports(self, dll, key):
        """(by name, by ordinal) of the DLL in the release: each a mapping
        whose get() gives the Export, made when the loader asks for it."""
        by_name, by_ordinal, _ = self.index(dll)
        return InRelease(by_name, BIT[key]), InRelease(by_ordinal, BIT[key])

    def has_table(self, dll, key):
        return dll in self.tabled(key)

    @functools.lru_cache(maxsize=None)
    def tabled(self, key):
        """The DLLs the release has a table of."""
        return set(self.text(f"tabled/{key}").split())

    @functools.lru_cache(maxsize=None)
    def present(self, key):
        """The DLLs the release has without a table of their exports."""
        return set(self.text(f"present/{key}").split())

    @functools.lru_cache(maxsize=None)
    def known_anywhere(self):
        return self.dlls | {n for key in self.releases for n in self.present(key)}

    @functools.lru_cache(maxsize=None)
    def schema(self, key):
        try:
            return json.loads(self.text(f"schema/{key}"))
        except ValueError as e:
            raise self.damaged(f"schema/{key}: {e}")

    def only_on(self, dll, function, machine, key):
        """What to make of a function that the other machine's tables of dll,
        standing in for the machine's in the release, lack: "bound" where
        only the machine's builds export it (no table of the other machine
        has it, and one of this machine's does, of the release given or an
        older one where the data has such a table: exports are not taken
        away in later releases); "unknown" where the data has no table of
        this machine's dll at all; None (missing) otherwise."""
        other = self.mask["x64" if machine == "x86" else "x86"]
        by_name, _, tabled = self.index(dll)
        if not tabled & self.mask[machine]:
            return "unknown"
        older = sum(b for b in BIT.values() if b <= BIT[key]) & self.mask[machine] & tabled
        mine = [bits for bits, _, _, _ in by_name.get(function, [])]
        if not mine or any(b & other for b in mine):
            return None
        return "bound" if any(b & older for b in mine) or not older else None


class InRelease:
    """The exports of one release among a DLL's rows, looked up by a key."""

    def __init__(self, rows, bit):
        self.rows, self.bit = rows, bit

    def get(self, key):
        for bits, ordinal, name, forwarder in self.rows.get(key, ()):
            if bits & self.bit:
                return Export(int(ordinal), name.encode() or None, forwarder.encode() or None)
        return None


@functools.lru_cache(maxsize=None)
def tables():
    return Tables()
