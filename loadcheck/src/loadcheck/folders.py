"""Where a DLL name resolves: the system folder that --system names, the
known DLLs, and the search order for every other name."""
import functools
import os

from . import apiset, wine
from .image import imported_dll_names, read_image
from .names import dll_file_name
from .status import BadInput, Refused

@functools.lru_cache(maxsize=None)
def wine_system(machine):
    """Wine's DLLs for the machine's processes (--system wine): PE images
    with real export tables and an API set schema, which stand in for a
    Windows system folder; wine.py knows where each distribution keeps them."""
    found = wine.folder(machine.wine)
    if not found:
        raise BadInput(f"--system wine: no folder of Wine's {machine.name} DLLs on this machine (install Wine: "
                       f"on Debian {'wine32:i386' if machine.name == 'x86' else 'wine64'}); or give --system a "
                       "Windows folder")
    return found


class Folder:
    """A folder's files, by name without regard to case."""

    def __init__(self, path):
        self.path = path
        self.files = {f.lower(): f for f in os.listdir(path)}

    def find(self, name):
        found = self.files.get(name.lower())
        return os.path.join(self.path, found) if found else None


class System:
    """What --system names for a process of the machine given: a system
    folder, or a Windows folder holding System32 or SysWOW64 (names
    compared without case). Of a Windows folder, the system folder of an
    x64 process is System32; of an x86 process SysWOW64 where there is one
    (64-bit Windows redirects System32 there), else System32. The API set
    schema is the one in System32, which Windows maps into every process,
    32-bit ones too; the shared store of side-by-side assemblies is its
    WinSxS, and its registry's SYSTEM hive System32/config/SYSTEM. A bare
    system folder has none of those."""

    def __init__(self, given, machine):
        if not os.path.isdir(given):
            raise BadInput(f"no such system folder: {given}")
        self.machine = machine
        folders = {f.lower(): f for f in os.listdir(given) if os.path.isdir(os.path.join(given, f))}
        self.winsxs = self.hive = None
        if "system32" in folders or "syswow64" in folders:
            system = next((folders[f] for f in machine.system if f in folders), None)
            if system is None:
                raise BadInput(f"{given} is a Windows folder without System32, which holds an "
                               f"{machine.name} program's DLLs")
            self.folder = Folder(os.path.join(given, system))
            schema_folder = Folder(os.path.join(given, folders["system32"])) if "system32" in folders else self.folder
            self.winsxs = os.path.join(given, folders["winsxs"]) if "winsxs" in folders else None
            config = schema_folder.find("config")
            self.hive = config and os.path.isdir(config) and Folder(config).find("SYSTEM")
        else:
            schema_folder = self.folder = Folder(given)
        if not self.folder.find("kernel32.dll"):
            raise BadInput(f"no KERNEL32.dll in {self.folder.path}: not a Windows system folder")
        found = schema_folder.find("apisetschema.dll") or self.folder.find("apisetschema.dll")
        self.schema = apiset.schema(found) if found else None

    notes = ()

    def image(self, path):
        return read_image(path)

    def exists(self, path):
        return os.path.isfile(path)

    def imported(self, path):
        return imported_dll_names(path)

    def owns(self, path):
        """Whether a file is one of the system folder's own (a Wine prefix's
        are links into Wine's DLL folder)."""
        return any(f(path).startswith(f(self.folder.path) + os.sep) for f in (os.path.abspath, os.path.realpath))

    def store(self, process):
        from .store import Store  # store.py reads folders with Folder
        return Store(self.winsxs, process) if self.winsxs else None

    def check(self, name, image):
        """A real folder says nothing of its Windows' version: no check."""

    def host(self, file_name, importer):
        """(file name, API set or None) for a DLL's file name, as imported
        by importer (a file name). An API set name that the schema does not
        know stays a file name."""
        if self.schema and apiset.is_api_set(file_name):
            host = self.schema.host(file_name, importer)
            if host:
                return host, file_name
        return file_name, None


class SearchOrder:
    """Where the loader takes a DLL of a given file name from: a known DLL
    from the system folder only; any other name from the program's folder,
    the system folder, each PATH folder in order, then the extra folders
    given as (folder, how) (the MinGW-w64 runtime's, say)."""

    def __init__(self, app, system, paths, known, extra=()):
        self.app, self.system = Folder(app), system
        self.paths = [Folder(p) for p in paths]
        self.extra = [(Folder(f), how) for f, how in extra]
        self.known_list = known
        self.known = self.known_closure(known.names, known.excluded)
        self.notes, self.noted = [], set()

    def known_closure(self, names, excluded):
        """The known DLLs found in the system folder, with the DLLs they
        import (API sets resolved), as lower-case file names; never those
        excluded."""
        known, todo = set(), list(names)
        while todo:
            name = todo.pop()
            path = self.system.folder.find(name)
            if name.lower() in known or name.lower() in excluded or not path:
                continue
            known.add(name.lower())
            for dll in self.system.imported(path):
                try:
                    todo.append(self.system.host(dll_file_name(dll), name)[0])
                except Refused:
                    pass
        return known

    def find(self, name):
        """[(path, how)]: the files that the loader may take the DLL from,
        in the order it tries them (it passes over one of another machine
        than the process's, loader.py); a known DLL's only from the system
        folder."""
        if name.lower() in self.known:
            if self.app.find(name) and name.lower() not in self.noted:
                self.noted.add(name.lower())
                self.notes.append(f"{name} beside the program is not used: a known DLL")
            return [(self.system.folder.find(name), "known DLL")]
        places = [(self.app, "application folder"), (self.system.folder, "system folder")] + \
                 [(p, "PATH") for p in self.paths] + self.extra
        return [(path, how) for folder, how in places if (path := folder.find(name))]
