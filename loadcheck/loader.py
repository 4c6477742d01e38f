"""Mapping DLLs and binding imports as the loader does: for each import
descriptor in order, the DLL is mapped (its own imports bound first), then
the importer's functions from it are bound, following forwarders."""
import os

from .image import I386, read_image
from .status import (BadInput, Refused, DLL_NOT_FOUND, ENTRYPOINT_NOT_FOUND, INVALID_IMAGE_FORMAT,
                     ORDINAL_NOT_FOUND)

MAX_FORWARDS = 32  # a longer chain of forwarders binds nothing either


class Module:
    """An image mapped into the process: what it is, and how it was found."""

    def __init__(self, name, path, how, api_set, needed_by, image):
        self.name, self.path, self.how, self.api_set, self.needed_by = name, path, how, api_set, needed_by
        self.key = os.path.basename(path).lower()
        self.functions = []  # (function, what it is, bound to): the program's own imports from it
        self.by_name, self.by_ordinal, self.imports = image.by_name, image.by_ordinal, image.imports


class Loader:
    def __init__(self, system, search):
        self.system, self.search = system, search
        self.modules = {}   # by the file's name, lower case
        self.mapped = []    # in the order mapped
        self.api_sets = []  # (API set, its host, the DLL that needed it), as resolved

    def start(self, path):
        """Binds the program's imports; the program's Module. Refused where
        the loader would refuse to start it."""
        name = os.path.basename(path)
        image = read_image(path)
        self.program = Module(name, os.path.abspath(path), "program", None, None, image)
        if image.machine != I386:
            raise Refused(INVALID_IMAGE_FORMAT, name, dll=name)
        self.bind(self.program, own=True)
        return self.program

    def load(self, name, needed_by):
        file_name, api_set = self.system.host(name, needed_by)
        key = file_name.lower()
        if api_set and (api_set, file_name, needed_by) not in self.api_sets:
            self.api_sets.append((api_set, file_name, needed_by))
        if key in self.modules:
            module = self.modules[key]
            module.api_set = module.api_set or api_set
            return module
        found = self.search.find(file_name)
        if found is None:
            raise Refused(DLL_NOT_FOUND, name, dll=name)
        path, how = found
        try:
            image = read_image(path)
        except BadInput:
            raise Refused(INVALID_IMAGE_FORMAT, name, dll=name)
        if image.machine != I386:
            raise Refused(INVALID_IMAGE_FORMAT, name, dll=name)
        module = self.modules[key] = Module(name, path, "API set" if api_set else how, api_set, needed_by, image)
        self.mapped.append(module)
        self.bind(module)
        return module

    def bind(self, module, own=False):
        for dll, functions in module.imports:
            target = self.load(dll, module.name)
            # Every function of the descriptor is shown; the loader stops at
            # the first one missing, and so does the verdict.
            first_refusal = None
            for function in functions:
                try:
                    result = self.resolve(target, function, ())
                except Refused as e:
                    first_refusal = first_refusal or e
                    result = ("missing", None)
                if own:
                    target.functions.append((function, *result))
            if first_refusal:
                raise first_refusal

    def resolve(self, module, function, chain):
        """(what it is, the export it binds to as "dll!function"); Refused
        when the DLL lacks it or its forwarders go round. chain holds the
        (module, function) pairs whose forwarders led here."""
        link = (module, function)
        if any(m.key == module.key and f == function for m, f in chain) or len(chain) > MAX_FORWARDS:
            first, wanted = chain[0]
            shown = " -> ".join(f"{m.name}!{f}" for m, f in chain + (link,))
            raise Refused(ENTRYPOINT_NOT_FOUND, f"{wanted} in {first.name} (its forwarders go round: {shown})",
                          dll=first.name, function=wanted)
        if isinstance(function, int):
            export = module.by_ordinal.get(function)
            if export is None:
                raise Refused(ORDINAL_NOT_FOUND, f"{function} in {module.name}", dll=module.name, function=function)
        else:
            export = module.by_name.get(function)
            if export is None:
                raise Refused(ENTRYPOINT_NOT_FOUND, f"{function} in {module.name}", dll=module.name, function=function)
        if not export.forwarder:
            return "bound", f"{module.key}!{function}"
        forwarder = export.forwarder.decode()
        dll, _, name = forwarder.partition(".")
        target = self.load(dll + ".dll", module.name)
        _, end = self.resolve(target, int(name[1:]) if name.startswith("#") else name, chain + (link,))
        return f"forwarded to {forwarder}", end
