"""Side-by-side assemblies: the activation context that a module's manifest
makes, and the DLL names it redirects to an assembly's files. An assembly is
looked for as Windows looks for it: publisher policy first, then the shared
store (WinSxS), then the private assemblies beside the module whose
manifest asks for it."""
import os

from .folders import Folder
from .image import manifests
from .manifest import Manifest, ManifestError, version_key
from .status import Refused, SXS_CANT_GEN_ACTCTX

ARCH = "x86"  # the process's: a 32-bit x86 program


def version_or_none(version):
    try:
        return version_key(version)
    except ValueError:
        return None


def arch_of(identity):
    return ARCH if identity.arch in ("", "*") else identity.arch.lower()


def language_of(identity):
    return "none" if identity.language in ("", "*", "neutral") else identity.language.lower()


def matches(found, wanted):
    """Whether an assembly's identity is the one asked for: the same name
    (without case), version, processor architecture and key token."""
    return (found is not None and found.name.lower() == wanted.name.lower() and found.version == wanted.version
            and arch_of(found) == arch_of(wanted) and found.token.lower() == wanted.token.lower())


class Assembly:
    """An assembly found: its manifest, and where its files are."""

    def __init__(self, manifest, folder, where):
        self.identity, self.manifest, self.where = manifest.identity, manifest.where, where
        self.files = {f.lower(): os.path.join(folder, f) for f in manifest.files}
        self.dependencies = manifest.dependencies


def read(path, data=None):
    try:
        if data is None:
            with open(path, "rb") as f:
                data = f.read()
        return Manifest(data, path)
    except OSError as e:
        raise ManifestError(f"{path}: {e.strerror}")


class Store:
    """The shared store, WinSxS: an assembly's manifest is
    Manifests/<arch>_<name>_<token>_<version>_<language>_<hash>.manifest
    (names compared without case; the hash varies), its files in the folder
    of the same name without ".manifest"; a publisher policy is the
    assembly "policy.<major>.<minor>.<name>" there."""

    def __init__(self, winsxs):
        self.winsxs = winsxs
        folder = Folder(winsxs).find("manifests")
        self.entries = []  # (arch, name, token, version, language, manifest path)
        for file_name in sorted(os.listdir(folder)) if folder and os.path.isdir(folder) else []:
            parts = file_name.lower().removesuffix(".manifest").rsplit("_", 4)
            if file_name.lower().endswith(".manifest") and len(parts) == 5 and "_" in parts[0]:
                arch, name = parts[0].split("_", 1)
                self.entries.append((arch, name, *parts[1:4], os.path.join(folder, file_name)))

    def candidates(self, identity, name=None):
        key = (arch_of(identity), (name or identity.name).lower(), (identity.token or "none").lower())
        return [e for e in self.entries if e[:3] == key and e[4] == language_of(identity)]

    def policy(self, identity):
        """(the version that publisher policy redirects identity to, the
        policy's manifest), or None. The highest policy wins; a file name
        that holds no version is none."""
        asked = version_or_none(identity.version)
        major_minor = ".".join(identity.version.split(".")[:2])
        policies = [e for e in self.candidates(identity, f"policy.{major_minor}.{identity.name}")
                    if version_or_none(e[3])]
        for *_, version, _language, path in sorted(policies, key=lambda e: version_key(e[3]), reverse=True):
            for wanted, redirects in read(path).dependencies:
                for low, high, new in redirects if wanted.name.lower() == identity.name.lower() and asked else []:
                    if low <= asked <= high:
                        return new, path
            return None
        return None

    def find(self, identity):
        for *_, version, _language, path in self.candidates(identity):
            if version == identity.version:
                manifest = read(path)
                if matches(manifest.identity, identity):
                    folder = os.path.basename(path)[:-len(".manifest")]
                    return Assembly(manifest, Folder(self.winsxs).find(folder) or os.path.join(self.winsxs, folder),
                                    "WinSxS")
        return None


def private(identity, folder):
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
            if matches(m.identity, identity):
                return Assembly(m, where, "private")
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
    """Activation contexts for the modules of one process, from one
    shared store (or none, for a bare system folder)."""

    def __init__(self, winsxs):
        self.store = Store(winsxs) if winsxs else None
        self.notes = []

    def module_context(self, path, program, name):
        """The activation context that the module's imports are resolved
        under, or None where it has no manifest of its own. A program's is
        its resource 1, or else <program>.manifest beside it; a DLL's is its
        resource 2, or else 1. Refused where a manifest cannot be read or an
        assembly it asks for is found nowhere."""
        resources = manifests(path)
        number = 1 if program else 2 if 2 in resources else 1
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
                return found
        return private(wanted, folder)
