"""Side-by-side assemblies: the activation context that a module's manifest
makes, and the DLL names it redirects to an assembly's files. An assembly is
looked for as Windows looks for it: publisher policy first, then the shared
store (store.py), then the private assemblies beside the module whose
manifest asks for it."""
import os

from .folders import Folder
from .image import manifests
from .manifest import ManifestError
from .status import Refused, SXS_CANT_GEN_ACTCTX
from .store import Assembly, matches, read


def private(identity, folder, process):
    """The private assembly in folder, in Microsoft's Assembly Searching
    Sequence: <name>.dll holding its manifest as resource 1, <name>.manifest,
    then the same two in the subfolder <name>. (The language-specific
    subfolders that come first for an assembly with a language are left
    out.)"""
    here = Folder(folder)
    sub = here.find(identity.name)
    places = [(here, folder)] + ([(Folder(sub), sub)] if sub and os.path.isdir(sub) else [])
    for place, where in places:
        dll, manifest = place.find(identity.name + ".dll"), place.find(identity.name + ".manifest")
        found = []
        if dll and 1 in manifests(dll):
            found.append(read(f"{dll} (resource 1)", manifests(dll)[1]))
        if manifest:
            found.append(read(manifest))
        for m in found:
            if matches(m.identity, identity, process):
                return Assembly.of(m, where, "private")
    return None


class Context:
    """An activation context: the assemblies that a manifest asked for, and
    theirs in turn."""

    def __init__(self, assemblies):
        self.assemblies = assemblies

    def find(self, file_name):
        """(path, assembly) of the file that an import of file_name binds
        to, or None where no assembly of the context lists it."""
        for a in self.assemblies:
            if file_name.lower() in a.files:
                return a.files[file_name.lower()], a
        return None


class SideBySide:
    """Activation contexts for the modules of one process, of the processor
    architecture given (x86 or amd64), from one shared store (or none, for
    a bare system folder): the system's store(process)."""

    def __init__(self, store, process):
        self.store = store
        self.process = process
        self.notes = []

    def module_context(self, path, image, program, name):
        """The activation context that the module's imports are resolved
        under, or None where it has none of its own. A program's manifest is
        its resource 1, or else <program>.manifest beside it; a DLL's is its
        resource 2 only (Microsoft's table of manifest resource IDs: ID 1 is
        not used for a DLL). An image marked NO_ISOLATION has none. Refused
        where a manifest cannot be read or an assembly it asks for is found
        nowhere."""
        if not image.isolated:
            return None
        number = 1 if program else 2
        resources = manifests(path)
        beside = program and Folder(os.path.dirname(path)).find(os.path.basename(path) + ".manifest")
        try:
            if number in resources:
                manifest = read(f"{path} (resource {number})", resources[number])
            elif beside:
                manifest = read(beside)
            else:
                return None
            return self.context(manifest, os.path.dirname(path), name)
        except ManifestError as e:
            raise Refused(SXS_CANT_GEN_ACTCTX, str(e), dll=name)

    def context(self, manifest, folder, name):
        assemblies, todo = [], [wanted for wanted, _ in manifest.dependencies]
        while todo:
            wanted = todo.pop(0)
            if any(a.identity.name.lower() == wanted.name.lower() for a in assemblies):
                continue
            found = self.find(wanted, folder)
            if found is None:
                raise Refused(SXS_CANT_GEN_ACTCTX, f"{wanted} (asked for by {name})", dll=name)
            assemblies.append(found)
            todo += [w for w, _ in found.dependencies]
        return Context(assemblies)

    def find(self, wanted, folder):
        if wanted.token and self.store:
            policy = self.store.policy(wanted)
            if policy:
                self.notes.append(f"publisher policy {policy[1]}: {wanted} -> {policy[0]}")
                wanted = wanted._replace(version=policy[0])
            found = self.store.find(wanted)
            if found:
                if found.from_name:
                    self.notes.append(f"{found.manifest} is compressed: {wanted}'s identity and files are read from "
                                      "its name and its folder")
                return found
        return private(wanted, folder, self.process)
