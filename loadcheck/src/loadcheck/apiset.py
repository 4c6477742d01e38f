"""The API set schema: which DLL hosts an API set name (api-ms-win-...,
ext-ms-...) for the DLL that imports it. The schema is the .apiset section
of the system's apisetschema.dll; version 6 (Windows 10 and later, and
Wine's) is read."""
import functools
import struct

import pefile

from .image import section_data
from .status import BadInput, Refused, DLL_NOT_FOUND

# The schema's versions, and the Windows that has each.
VERSIONS = {2: "Windows 7", 4: "Windows 8 and 8.1", 6: "Windows 10 and later"}


class OtherVersion(ValueError):
    """A schema of a version that is not read."""


def is_api_set(name):
    return name.lower().startswith(("api-", "ext-"))


def read_schema(data):
    """(hash factor, {hash: [(hashed part of the name, whole name,
    {importing module or "": host})]}) from the bytes of an .apiset section.
    Offsets count from the section's start, lengths in bytes, names in
    UTF-16LE. ValueError where the bytes do not hold such a schema."""
    def unpack(fmt, offset):
        if offset < 0 or offset + struct.calcsize(fmt) > len(data):
            raise ValueError(f"a structure at offset {offset:#x} lies outside the section")
        return struct.unpack_from(fmt, data, offset)

    def text(offset, length):
        if length % 2 or offset + length > len(data):
            raise ValueError(f"a name at offset {offset:#x} ({length} bytes) lies outside the section")
        return data[offset:offset + length].decode("utf-16-le").lower()

    version = unpack("<I", 0)[0]
    if version != 6:
        raise OtherVersion(f"version {version}" + (f" ({VERSIONS[version]})" if version in VERSIONS else ""))
    version, _size, _flags, count, entry_offset, _hash_offset, factor = unpack("<7I", 0)
    table = {}
    for n in range(count):
        _flags, name_offset, name_length, hashed_length, value_offset, value_count = unpack("<6I", entry_offset + 24 * n)
        if hashed_length > name_length:
            raise ValueError(f"entry {n} hashes {hashed_length} bytes of a {name_length}-byte name")
        name = text(name_offset, name_length)
        hosts = {}
        for v in range(value_count):
            _flags, importer_offset, importer_length, host_offset, host_length = unpack("<5I", value_offset + 20 * v)
            hosts[text(importer_offset, importer_length)] = text(host_offset, host_length)
        hashed = name[:hashed_length // 2]
        table.setdefault(name_hash(hashed, factor), []).append((hashed, name, hosts))
    return factor, table


def name_hash(name, factor):
    h = 0
    for c in name:
        h = (h * factor + ord(c)) & 0xFFFFFFFF
    return h


@functools.lru_cache(maxsize=None)
def schema(path):
    return Schema(path)


class Schema:
    """What a system folder's schema makes of an API set name."""

    def __init__(self, path):
        try:
            data = section_data(path, b".apiset")
            if data is None:
                raise ValueError("it has no .apiset section")
            self.factor, self.table = read_schema(data)
        except OtherVersion as e:
            raise BadInput(f"{path} holds an API set schema of {e}; loadcheck reads version 6 (Windows 10 and "
                           "later). For an older system, give a copy of its folder without apisetschema.dll: "
                           "the API sets are then looked for as files")
        except (pefile.PEFormatError, OSError, ValueError, UnicodeDecodeError) as e:
            raise BadInput(f"{path} is not a readable API set schema: {e}")
        self.path = path

    def host(self, name, importer):
        """The DLL that hosts the API set name for importer (the importing
        module's file name), or None where the schema does not know the
        name: the loader then looks for it as a file. Refused where the
        schema knows the name but maps it to no host. Looked up lower case,
        without ".dll" and without the part after the last hyphen (the
        version's last number), as the loader does."""
        key = name.lower()
        key = key[:-4] if key.endswith(".dll") else key
        key = key[:key.rfind("-")] if "-" in key else key
        for hashed, _whole, hosts in self.table.get(name_hash(key, self.factor), []):
            if hashed == key:
                host = hosts.get(importer.lower()) or hosts.get("")
                if not host:
                    raise Refused(DLL_NOT_FOUND, name, dll=name)
                return host
        return None
