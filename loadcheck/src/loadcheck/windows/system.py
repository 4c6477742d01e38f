"""A Windows release built in: one more kind of system for the one loader,
beside a Windows folder and Wine's (folders.System). Its DLLs are modules
whose exports come from the release's tables (tables.py); their own imports
are Windows' business and load, so they import nothing here. Where the data
cannot tell, a lookup is "unknown", never a refusal: a DLL the release has
without a table, an API set that a schema of another build lacks, a
function of the Common-Controls 6 assembly beyond its System32 copy's."""
import os

from .. import apiset
from ..image import imported_dll_names, read_image
from ..manifest import Identity
from ..status import DLL_NOT_FOUND, INVALID_IMAGE_FORMAT, Refused
from ..store import Assembly
from .catalogue import ASSEMBLIES, RELEASES, WINDOWS_TOKEN
from .tables import tables


class TableImage:
    """A DLL of the release as the loader needs it: where the loader asks
    for an export the table lacks, gap(function) says whether that is a
    refusal (None), or ("unknown", why), or ("bound", why) for an export
    that only the process's machine has and the other machine's tables,
    standing in, lack."""
    base = size = 0
    fixed = isolated = False
    imports = ()

    def __init__(self, machine, by_name=None, by_ordinal=None, gap=None):
        self.machine = machine
        self.by_name, self.by_ordinal = by_name or {}, by_ordinal or {}
        self.gap = gap or (lambda function: None)


class Windows:
    def __init__(self, release, machine):
        self.tables = tables()
        self.release, self.machine = release, machine
        self.info = self.tables.releases[release.key]
        self.stand_in = self.info["machine"] != machine.name
        folder = "SysWOW64" if machine.name == "x86" and self.info["machine"] == "x64" else "System32"
        self.label = f"Windows {release.name} (built in)"
        self.folder = TableFolder(self, f"{self.label}\\{folder}")
        self.winsxs = f"{self.label}\\WinSxS"
        self.hive = None
        self.schema = Schema(self) if release.schema else None
        self.notes = []
        if self.stand_in:
            self.notes.append(f"Windows {release.name}'s tables are of its {self.info['machine']} DLLs, which stand "
                              f"in for its {machine.name} ones; exports that only {machine.name} builds have are "
                              "taken as there")

    def host(self, file_name, importer):
        if self.schema and apiset.is_api_set(file_name):
            host = self.schema.host(file_name, importer)
            if host:
                return host, file_name
        return file_name, None

    def owns(self, path):
        return path.startswith(self.label)

    def exists(self, path):
        return self.owns(path) or os.path.isfile(path)

    def imported(self, path):
        return [] if self.owns(path) else imported_dll_names(path)

    def store(self, process):
        return Store(self, process)

    def check(self, name, image):
        """Refused where CreateProcess refuses the program before the loader
        runs: a subsystem version below 3.10 or above the release's own. A
        DLL's is not looked at."""
        if image.dll:
            return
        version = image.subsystem_version
        if version < (3, 10) or version > self.release.nt:
            raise Refused(INVALID_IMAGE_FORMAT, f"{name}: subsystem version {version[0]}.{version[1]}, "
                          f"{'below 3.10' if version < (3, 10) else 'above'} Windows {self.release.name}'s "
                          f"{self.release.nt[0]}.{self.release.nt[1]} (\"is not a valid Win32 application\")",
                          file=name)

    def image(self, path):
        if not self.owns(path):
            return read_image(path)  # the program's own DLLs
        dll = path.rsplit("\\", 1)[-1].lower()
        if path.startswith(self.winsxs):
            why = "the assembly's build exports more than the tables' System32 copy of it"
            gap = lambda function: ("unknown", why)  # noqa: E731
        elif self.stand_in:
            gap = self.stand_in_gap(dll)
        else:
            gap = None
        if self.tables.has_table(dll, self.release.key):
            by_name, by_ordinal = self.tables.exports(dll, self.release.key)
            return TableImage(self.machine.code, by_name, by_ordinal, gap)
        why = self.folder.unknown.get(dll, "the data has no table of it")
        return TableImage(self.machine.code, gap=lambda function: ("unknown", why))

    def stand_in_gap(self, dll):
        theirs, mine = self.info["machine"], self.machine.name

        def gap(function):
            if isinstance(function, int):
                return "unknown", f"the {theirs} tables standing in number their exports their own way"
            kind = self.tables.only_on(dll, function, mine, self.release.key)
            if kind == "bound":
                return kind, f"only {mine} builds of {dll} export it"
            if kind == "unknown":
                return kind, f"the data has no {mine} table of {dll}, and the {theirs} one standing in lacks it"
            return None
        return gap


class TableFolder:
    """The release's system folder: the DLLs its tables hold, and those it is
    known to have without a table. A name that the extraction looked for
    and did not find, or that no release's data knows, is not there."""

    def __init__(self, windows, path):
        self.windows, self.path = windows, path
        self.unknown = {}  # file name: why its exports are unknown

    def find(self, name):
        w, t, n = self.windows, self.windows.tables, name.lower()
        key = w.release.key
        if t.has_table(n, key):
            return f"{self.path}\\{n}"
        if n in t.curated:
            return None
        if n in t.present(key):
            self.unknown[n] = "the release has it (its API set schema or forwarders name it); the data has no " \
                              "table of its exports"
        elif apiset.is_api_set(n) and w.schema and w.schema.other_build:
            self.unknown[n] = f"the API set schema of build {w.release.schema_build}, which stands in for " \
                              f"Windows {w.release.name}'s, lacks it"
        elif n in t.known_anywhere():
            self.unknown[n] = "the release's data has no word of it; that of other releases has"
        else:
            return None
        return f"{self.path}\\{n}"


class Schema:
    """The release's API set schema. Windows 10 and later match a name
    without its last version number, as apiset.Schema does; older releases
    match the whole name."""

    def __init__(self, windows):
        self.windows = windows
        self.path = f"{windows.label}: API set schema of build {windows.info['schema_build']}"
        self.other_build = bool(windows.release.schema_build)
        self.whole = windows.release.nt < (10, 0)
        self.table = {self.key(n): hosts for n, hosts in windows.tables.schema(windows.release.key).items()}

    def key(self, name):
        name = name.lower().removesuffix(".dll")
        return name if self.whole or "-" not in name else name[:name.rfind("-")]

    def host(self, name, importer):
        hosts = self.table.get(self.key(name))
        if hosts is None:
            return None
        host = hosts.get(importer.lower()) or hosts.get("")
        if not host:
            raise Refused(DLL_NOT_FOUND, name, dll=name)
        return host


class Store:
    """The release's own side-by-side assemblies (catalogue.ASSEMBLIES), each
    at the release's build, its publisher policy redirecting every version
    of its major.minor there. Another assembly of Windows' key is one the
    data does not cover: its context is made with nothing in it, and the
    verdict is unknown. Any other assembly is not in Windows."""

    def __init__(self, windows, process):
        self.windows, self.process = windows, process
        release = windows.release
        build = windows.info["build"].split(".", 2)[2]
        first = {r.key: n for n, r in enumerate(RELEASES)}
        self.own = {(name.lower(), mm): (f"{mm}.{build}", file) for name, mm, since, file in ASSEMBLIES
                    if first[since] <= first[release.key]}
        self.unknown = []

    def own_of(self, identity):
        """(the release's version, its file) of the assembly of that name
        and major.minor, or None."""
        return self.own.get((identity.name.lower(), ".".join(identity.version.split(".")[:2])))

    def mine(self, identity):
        return identity.token.lower() == WINDOWS_TOKEN and identity.arch.lower() in ("", "*", self.process)

    def policy(self, identity):
        own = self.own_of(identity)
        if own and self.mine(identity) and own[0] != identity.version:
            return own[0], f"{self.windows.winsxs}\\policy of {identity.name}"
        return None

    def find(self, identity):
        if not self.mine(identity):
            return None
        own = self.own_of(identity)
        found = Identity(identity.name, identity.version, self.process, WINDOWS_TOKEN, "")
        folder = f"{self.windows.winsxs}\\{self.process}_{identity.name.lower()}_{identity.version}"
        if own and own[0] == identity.version:
            # Its exports are taken from the System32 copy's table, which
            # they include (comctl32 6 exports all that 5.82 does, and more).
            return Assembly(found, f"{folder}.manifest", {own[1]: f"{folder}\\{own[1]}"}, [], "WinSxS")
        if own is None and identity.name.lower().startswith("microsoft.windows."):
            self.unknown.append(f"{identity}: an assembly of Windows that the data does not cover")
            return Assembly(found, f"{folder}.manifest", {}, [], "WinSxS")
        return None
