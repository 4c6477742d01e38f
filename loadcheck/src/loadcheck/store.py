"""The shared store of side-by-side assemblies, WinSxS, as it lies on disk:
an assembly's manifest is
Manifests/<arch>_<name>_<token>_<version>_<language>_<hash>.manifest (names
compared without case; the hash varies), its files are in the folder of the
same name without ".manifest", and a publisher policy is the assembly
"policy.<major>.<minor>.<name>".

Windows 7 keeps the manifests as XML. Windows 8 and later keep them
compressed with Windows' own delta engine, which nothing but Windows expands:
there the identity is read from the file name, and the assembly's files are
those of its folder."""
import os
from typing import NamedTuple

from .folders import Folder
from .manifest import Identity, Manifest, ManifestError, version_key

# A compressed manifest begins with one of these and the byte 1.
COMPRESSED = (b"DCM", b"DCN", b"DCS", b"DCD", b"DCH", b"DCX")
# Names longer than this are shortened in the store's file and folder names:
# their first 19 characters, "..", their last 19; cultures longer than 8
# characters likewise to their first 3 and their last 3 ("sr-..-rs").
LONGEST = 40
LONGEST_CULTURE = 8


def version_or_none(version):
    try:
        return version_key(version)
    except ValueError:
        return None


def arch_of(identity, process):
    """An identity's processor architecture; "*" (or none) is the
    process's own (process: x86 or amd64)."""
    return process if identity.arch in ("", "*") else identity.arch.lower()


def shortened(text, longest, kept):
    """text, lower case, as the store's file names spell it: where longer
    than longest, its first and last kept characters around ".."."""
    text = text.lower()
    return text if len(text) <= longest else text[:kept] + ".." + text[-kept:]


def language_of(identity):
    if identity.language in ("", "*", "neutral"):
        return "none"
    return shortened(identity.language, LONGEST_CULTURE, 3)


def stored_name(name):
    """An assembly's name as the store's file names spell it, lower case."""
    return shortened(name, LONGEST, 19)


def matches(found, wanted, process):
    """Whether an assembly's identity is the one asked for: the same name
    (without case), version, processor architecture and key token."""
    return (found is not None and found.name.lower() == wanted.name.lower() and found.version == wanted.version
            and arch_of(found, process) == arch_of(wanted, process) and found.token.lower() == wanted.token.lower())


def read(path, data=None):
    """The Manifest in a file (or in data, which came from path)."""
    try:
        if data is None:
            with open(path, "rb") as f:
                data = f.read()
        return Manifest(data, path)
    except OSError as e:
        raise ManifestError(f"{path}: {e.strerror}")


def is_compressed(path):
    try:
        with open(path, "rb") as f:
            head = f.read(4)
    except OSError as e:
        raise ManifestError(f"{path}: {e.strerror}")
    return head[:3] in COMPRESSED and head[3:] == b"\x01"


class Assembly:
    """An assembly found: its identity, manifest, files (lower-case name:
    path), the assemblies it depends on, and where it was found."""

    def __init__(self, identity, manifest, files, dependencies, where, from_name=False):
        self.identity, self.manifest, self.files = identity, manifest, files
        self.dependencies, self.where, self.from_name = dependencies, where, from_name

    @classmethod
    def of(cls, manifest, folder, where):
        return cls(manifest.identity, manifest.where, {f.lower(): os.path.join(folder, f) for f in manifest.files},
                   manifest.dependencies, where)


class Entry(NamedTuple):
    arch: str
    name: str
    token: str
    version: str
    language: str
    path: str


class Store:
    """The store as the process of the given processor architecture (x86 or
    amd64) sees it."""

    def __init__(self, winsxs, process):
        self.winsxs, self.process = winsxs, process
        self.folder = Folder(winsxs)
        manifests = self.folder.find("manifests")
        # (arch, name, token, language): [Entry], from the file names alone.
        self.entries = {}
        for file_name in sorted(os.listdir(manifests)) if manifests and os.path.isdir(manifests) else []:
            parts = file_name.lower().removesuffix(".manifest").rsplit("_", 4)
            if file_name.lower().endswith(".manifest") and len(parts) == 5 and "_" in parts[0]:
                arch, name = parts[0].split("_", 1)
                entry = Entry(arch, name, *parts[1:4], os.path.join(manifests, file_name))
                self.entries.setdefault((arch, name, entry.token, entry.language), []).append(entry)

    def candidates(self, identity, name=None):
        key = (arch_of(identity, self.process), stored_name(name or identity.name), (identity.token or "none").lower(),
               language_of(identity))
        return self.entries.get(key, [])

    def policy(self, identity):
        """(the version that publisher policy redirects identity to, the
        policy's manifest), or None. The highest policy wins; a file name
        that holds no version is none. A compressed policy redirects the
        versions of its major.minor below its own to its own, as Microsoft's
        do; an XML one by its bindingRedirect elements."""
        asked = version_or_none(identity.version)
        major_minor = ".".join(identity.version.split(".")[:2])
        policies = [e for e in self.candidates(identity, f"policy.{major_minor}.{identity.name}")
                    if version_or_none(e.version)]
        if not asked or not policies:
            return None
        highest = max(policies, key=lambda e: version_key(e.version))
        if is_compressed(highest.path):
            return (highest.version, highest.path) if asked < version_key(highest.version) else None
        for wanted, redirects in read(highest.path).dependencies:
            for low, high, new in redirects if wanted.name.lower() == identity.name.lower() else []:
                if low <= asked <= high:
                    return new, highest.path
        return None

    def find(self, identity):
        for entry in self.candidates(identity):
            if entry.version != identity.version:
                continue
            folder_name = os.path.basename(entry.path)[:-len(".manifest")]
            folder = self.folder.find(folder_name) or os.path.join(self.winsxs, folder_name)
            if is_compressed(entry.path):
                files = Folder(folder).files if os.path.isdir(folder) else {}
                found = Identity(identity.name, entry.version, entry.arch, entry.token, entry.language)
                return Assembly(found, entry.path, {f: os.path.join(folder, name) for f, name in files.items()}, [],
                                "WinSxS", from_name=True)
            manifest = read(entry.path)
            if matches(manifest.identity, identity, self.process):
                return Assembly.of(manifest, folder, "WinSxS")
        return None
