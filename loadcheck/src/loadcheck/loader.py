"""Mapping DLLs and binding imports as the loader does: for each import
descriptor in order, the DLL is mapped (at its base where it cannot move,
its activation context made, its own imports bound first), then the
importer's functions from it are bound, following forwarders.

A DLL name resolves, in order: as the loader reads import names (names.py);
through the API set schema; through the importer's activation context
(sxs.py: its own manifest's, else the program's); to a module already
mapped under that name (one found side by side only by its path); to a
known DLL; through the search order (folders.py)."""
import os

from .image import read_image
from .machine import name as machine_name
from .names import dll_file_name, parse_forwarder
from .status import (BadInput, Refused, CONFLICTING_ADDRESSES, DLL_NOT_FOUND, ENTRYPOINT_NOT_FOUND,
                     INVALID_IMAGE_FORMAT, ORDINAL_NOT_FOUND)

MAX_FORWARDS = 32  # a longer chain of forwarders binds nothing either


def file_name(path):
    """The file name in a path, a built-in Windows' too (windows/system.py),
    whose folders are Windows'."""
    return os.path.basename(path.replace("\\", "/"))


class Module:
    """An image mapped into the process: what it is, and how it was found."""

    def __init__(self, name, path, how, needed_by, image, api_set=None, assembly=None):
        self.name, self.path, self.how, self.needed_by = name, path, how, needed_by
        self.api_set, self.assembly = api_set, assembly
        self.key = file_name(path).lower()
        self.context = None  # the activation context its imports are resolved under
        self.functions = []  # (function, what it is, bound to): the program's own imports from it
        self.image = image
        self.by_name, self.by_ordinal, self.imports = image.by_name, image.by_ordinal, image.imports

    def named(self, dll):
        """The module as an import named it: that name, and the file's own
        name after it where the two differ (an API set, say)."""
        own = file_name(self.path)
        return dll if dll_file_name(dll).lower() == own.lower() else f"{dll} ({own})"


def not_found(function, dll, module, detail=None):
    """The refusal for a function that module lacks, imported from it as
    dll: by ordinal or by name."""
    status = ORDINAL_NOT_FOUND if isinstance(function, int) else ENTRYPOINT_NOT_FOUND
    return Refused(status, detail or f"{function} in {module.named(dll)}", dll=dll, function=function,
                   file=file_name(module.path))


class Loader:
    def __init__(self, machine, system, search, sxs):
        self.machine, self.system, self.search, self.sxs = machine, system, search, sxs
        self.by_name = {}   # modules found by name, by that file name, lower case
        self.by_path = {}   # modules found side by side, by their path, lower case
        self.mapped = []    # in the order mapped
        self.api_sets = []  # (API set, its host, the file of the DLL that needed it), as resolved
        self.own = []       # the modules that the program's own imports bound to
        self.default = None  # the process's activation context: the program's
        self.fixed = []     # the modules mapped that cannot move: each takes its range
        self.notes = []     # the files of another machine passed over
        self.unknown = []   # what the data of a built-in Windows cannot tell
        self.refusals = []  # every DLL and function missing, in the order met; the first is the verdict's
        self.delayed = []   # (DLL name, needed by, its Module or None, its refusal or None): delay-loaded

    def start(self, path):
        """Binds the program's imports; the program's Module. Refused where
        the loader would refuse to start it."""
        name = os.path.basename(path)
        image = read_image(path)
        self.program = Module(name, os.path.abspath(path), "program", None, image)
        if image.machine != self.machine.code:
            raise self.other_machine(name, path, image)
        self.system.check(name, image)
        self.place(self.program)
        self.default = self.program.context = self.sxs.module_context(self.program.path, image, True, name)
        self.bind(self.program, own=True)
        if self.refusals:
            raise self.refusals[0]
        return self.program

    def delay_load(self):
        """Maps the DLLs that the program and its DLLs delay-load, as their
        first calls would: the process starts without them, so a DLL that
        cannot be mapped is a warning, not a refusal."""
        seen, n, kept = set(), 0, self.refusals
        while n <= len(self.mapped):
            module = ([self.program] + self.mapped)[n]
            n += 1
            for dll in getattr(module.image, "delay_imports", ()):
                if dll.lower() in seen:
                    continue
                seen.add(dll.lower())
                before, self.refusals = len(self.mapped), []
                try:
                    target = self.load(dll, module)
                    refusal = self.refusals[0] if self.refusals else None
                except Refused as e:
                    target, refusal = None, e
                for m in self.mapped[before:]:
                    m.how = f"{m.how}, delay-loaded"
                self.delayed.append((dll, module.name, target, refusal))
        self.refusals = kept

    def load(self, name, importer):
        file_name, api_set = self.system.host(dll_file_name(name), importer.key)
        if api_set and (api_set, file_name, importer.key) not in self.api_sets:
            self.api_sets.append((api_set, file_name, importer.key))
        side_by_side = importer.context.find(file_name) if importer.context else None
        if side_by_side:
            path, assembly = side_by_side
            if path.lower() in self.by_path:
                return self.by_path[path.lower()]
            if not self.system.exists(path):
                raise Refused(DLL_NOT_FOUND, f"{name} ({path}, a file of {assembly.identity})", dll=name)
            image = self.image(name, path)
            if image.machine != self.machine.code:
                arch = assembly.identity.arch
                raise self.other_machine(name, path, image, f"a file of {assembly.identity}, {arch}" + (
                    ", so the store is broken" if arch.lower() == self.machine.arch else ""))
            return self.map(name, path, image, "side by side", importer, api_set, assembly, self.by_path,
                            path.lower())
        module = self.by_name.get(file_name.lower())
        if module:
            module.api_set = module.api_set or api_set
            return module
        passed_over = None
        for path, how in self.search.find(file_name):
            image = self.image(name, path)
            if image.machine == self.machine.code:
                return self.map(name, path, image, "API set" if api_set else how, importer, api_set, None,
                                self.by_name, file_name.lower())
            # Of the system's own DLLs, one of another machine means that the
            # system folder is not one for this process's machine.
            if how == "known DLL" or (api_set and how == "system folder"):
                what = "a known DLL" if how == "known DLL" else "an API set's host"
                raise self.other_machine(name, path, image, f"{what} of another machine: the system folder given is "
                                         f"not one for {self.machine.name} processes")
            passed_over = passed_over or (path, image)
            self.notes.append(f"{path} passed over: {machine_name(image.machine)}, the process is {self.machine.name}")
        if passed_over:
            raise self.other_machine(name, *passed_over)
        raise Refused(DLL_NOT_FOUND, name, dll=name)

    def image(self, name, path):
        """The image of a file that a DLL name led to; a file that is no
        PE image is refused as Windows refuses it."""
        try:
            return self.system.image(path)
        except BadInput:
            raise Refused(INVALID_IMAGE_FORMAT, f"{name} ({path} is no PE image)", dll=name,
                          file=file_name(path))

    def other_machine(self, name, path, image, why=None):
        """The refusal of an image of another machine than the process's."""
        return Refused(INVALID_IMAGE_FORMAT, f"{name} ({path}, {machine_name(image.machine)}; the process is "
                       f"{self.machine.name}" + (f": {why})" if why else ")"), dll=name, file=file_name(path))

    def map(self, name, path, image, how, importer, api_set, assembly, registry, key):
        module = Module(name, path, how, importer.name, image, api_set, assembly)
        self.place(module)
        registry[key] = module
        self.mapped.append(module)
        module.context = self.sxs.module_context(path, image, False, module.key) or self.default
        self.bind(module)
        return module

    def place(self, module):
        """Refused where module cannot move and its range is taken by one
        mapped before it that cannot move either. A module that can move is
        taken to find room, as address space layout randomisation gives it."""
        image = module.image
        if not image.fixed:
            return
        for other in self.fixed:
            if image.base < other.image.base + other.image.size and other.image.base < image.base + image.size:
                raise Refused(CONFLICTING_ADDRESSES, f"{module.name} at {image.base:#010x} overlaps {other.name}",
                              dll=module.name, file=file_name(module.path))
        self.fixed.append(module)

    def bind(self, module, own=False):
        """Binds module's imports. The loader stops at the first DLL or
        function missing, and the verdict is that one; the binding goes on
        so that every one missing is listed."""
        for dll, functions in module.imports:
            try:
                target = self.load(dll, module)
            except Refused as e:
                self.refusals.append(e)
                continue
            if own and target not in self.own:
                self.own.append(target)
            for function in functions:
                try:
                    result = self.resolve(target, function, (), dll)
                except Refused as e:
                    self.refusals.append(e)
                    result = ("missing", None)
                if own:
                    target.functions.append((function, *result))

    def resolve(self, module, function, chain, dll):
        """(what it is, the export it binds to as "dll!function"); Refused
        when the DLL lacks it or its forwarders go round. dll is the name
        that the import or forwarder gave module; chain holds the (module,
        function, dll) of the forwarders that led here."""
        link = (module, function, dll)
        first = chain[0] if chain else link
        if any(m is module and f == function for m, f, _ in chain) or len(chain) > MAX_FORWARDS:
            shown = " -> ".join(f"{m.name}!{f}" for m, f, _ in chain + (link,))
            raise not_found(first[1], first[2], first[0], f"{first[1]} in {first[0].named(first[2])} "
                            f"(its forwarders go round: {shown})")
        export = (module.by_ordinal if isinstance(function, int) else module.by_name).get(function)
        if export is None:
            # A built-in Windows' table may not tell (windows/system.py).
            gap = getattr(module.image, "gap", None) and module.image.gap(function)
            if not gap:
                raise not_found(function, dll, module)
            kind, why = gap
            (self.unknown if kind == "unknown" else self.notes).append(f"{function} in {module.named(dll)}: {why}")
            return kind, None
        if export.forwarder is None:
            return "bound", f"{module.key}!{function}"
        forwarder = export.forwarder.decode("latin-1")
        target = parse_forwarder(forwarder)
        if target is None:
            raise not_found(first[1], first[2], first[0], f"{first[1]} in {first[0].named(first[2])} "
                            f"(its forwarder {forwarder!r} names no function)")
        target_dll, name = target
        _, end = self.resolve(self.load(target_dll, module), name, chain + (link,), target_dll)
        return f"forwarded to {forwarder}", end
