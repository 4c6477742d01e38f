"""Side-by-side manifests, read with the standard library's XML parser: an
assembly's identity, the assemblies it depends on, its files, and a
publisher policy's binding redirects. Element names are compared without
their namespace, as manifests use several prefixes for the same one."""
import xml.etree.ElementTree as ET
from typing import NamedTuple


class ManifestError(Exception):
    """A manifest that cannot be read: where it is, and why."""


class Identity(NamedTuple):
    """An assemblyIdentity: what the loader matches assemblies by."""
    name: str
    version: str
    arch: str
    token: str
    language: str

    @classmethod
    def of(cls, element):
        get = element.attrib.get
        return cls(get("name", ""), get("version", ""), get("processorArchitecture", ""),
                   get("publicKeyToken", ""), get("language", ""))

    def __str__(self):
        return f"{self.name} {self.version}".strip()

    def as_json(self):
        return {"name": self.name, "version": self.version, "processorArchitecture": self.arch,
                "publicKeyToken": self.token}


def local(tag):
    return tag.rsplit("}", 1)[-1]


def children(element, name):
    return [c for c in element if local(c.tag) == name]


def decode(data):
    """The text of a manifest in UTF-8 or UTF-16, with a byte order mark or
    without, and without the NULs that pad a resource."""
    if data.startswith((b"\xff\xfe", b"\xfe\xff")):
        text = data.decode("utf-16")
    elif data[:2] == b"<\0":
        text = data.decode("utf-16-le")
    else:
        text = data.decode("utf-8-sig")
    return text.lstrip("\ufeff").rstrip("\0 \t\r\n")


class Manifest:
    def __init__(self, data, where):
        """data: the manifest's bytes; where: the file (or resource) it came
        from, for the messages."""
        self.where = where
        try:
            root = ET.fromstring(decode(data))
        except (ET.ParseError, UnicodeDecodeError, ValueError) as e:
            raise ManifestError(f"{where}: {e}")
        if local(root.tag) != "assembly":
            raise ManifestError(f"{where}: its root element is <{local(root.tag)}>, not <assembly>")
        own = children(root, "assemblyIdentity")
        self.identity = Identity.of(own[0]) if own else None
        self.files = [f.attrib.get("name", "") for f in children(root, "file")]
        # [(the identity asked for, [(lowest, highest, new version)])]: the
        # dependencies, and in a publisher policy the redirects of each.
        self.dependencies = []
        for dependency in children(root, "dependency"):
            for wanted in children(dependency, "dependentAssembly"):
                identity = children(wanted, "assemblyIdentity")
                if not identity:
                    raise ManifestError(f"{where}: a dependentAssembly without an assemblyIdentity")
                redirects = [redirect(r, where) for r in children(wanted, "bindingRedirect")]
                self.dependencies.append((Identity.of(identity[0]), redirects))


def version_key(version):
    """A version "a.b.c.d" as numbers to compare; ValueError if it is none."""
    parts = version.split(".")
    if len(parts) != 4 or not all(p.isdigit() for p in parts):
        raise ValueError(f"{version!r} is not a version a.b.c.d")
    return tuple(int(p) for p in parts)


def redirect(element, where):
    """(lowest, highest, new version) of a bindingRedirect, whose oldVersion
    is a version or a range "a-b"."""
    old, new = element.attrib.get("oldVersion", ""), element.attrib.get("newVersion", "")
    low, _, high = old.partition("-")
    try:
        version_key(new)
        return version_key(low), version_key(high or low), new
    except ValueError as e:
        raise ManifestError(f"{where}: a bindingRedirect: {e}")
