"""Copies of PE images and of system folders, altered as a loader case
needs: another header, another API set schema, another CLR header. Each
change made with pefile on a copy, never on the suite's own images.
"""
import os
import struct

import pefile

from loadcheck import apiset
from loadcheck.image import section_data
from windows_folder import folder_of_links


def with_schema(path, wine, change):
    """A system folder of links to Wine's DLLs but apisetschema.dll, which is
    a copy of Wine's with change(pe, its .apiset section) made."""
    folder_of_links(path, wine, {"apisetschema.dll"})
    pe = pefile.PE(os.path.join(wine, "apisetschema.dll"))
    change(pe, next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".apiset"))
    pe.write(os.path.join(path, "apisetschema.dll"))
    return path


def schema_with(path, wine, extra):
    """A system folder of links to Wine's DLLs whose API set schema (version
    6) is Wine's with the entries extra, {name: {importer or "": host}},
    added: written as the schema's layout says, each string once."""
    factor, table = apiset.read_schema(section_data(os.path.join(wine, "apisetschema.dll"), b".apiset"))
    entries = [(whole, len(hashed), hosts) for found in table.values() for hashed, whole, hosts in found]
    entries += [(name, name.rfind("-"), hosts) for name, hosts in extra.items()]
    values_at = 28 + 24 * len(entries)
    strings_at = values_at + 20 * sum(len(hosts) for _, _, hosts in entries)
    strings, offsets = bytearray(), {}

    def put(text):
        if text not in offsets:
            offsets[text] = strings_at + len(strings)
            strings.extend(text.encode("utf-16-le"))
        return offsets[text], 2 * len(text)
    rows, values = bytearray(struct.pack("<7I", 6, 0, 0, len(entries), 28, 0, factor)), bytearray()
    for whole, hashed, hosts in entries:
        rows += struct.pack("<6I", 0, *put(whole), 2 * hashed, values_at + len(values), len(hosts))
        for importer, host in hosts.items():
            values += struct.pack("<5I", 0, *put(importer), *put(host))
    data = bytes(rows + values + strings)

    def write(pe, section):
        assert len(data) <= section.SizeOfRawData, f"the schema takes {len(data)} bytes, its section {section.SizeOfRawData}"
        pe.set_bytes_at_offset(section.PointerToRawData, data.ljust(section.SizeOfRawData, b"\0"))
    return with_schema(path, wine, write)


def with_header(image, path, change):
    """A copy of the image at path, with change(its file header) made."""
    pe = pefile.PE(image, fast_load=True)
    change(pe.FILE_HEADER)
    pe.write(path)
    return path


def another_machine(image, path):
    """The image with the header of an x86-64 image."""
    return with_header(image, path, lambda h: setattr(h, "Machine", pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]))


def relocs_stripped(image, path):
    """The image marked IMAGE_FILE_RELOCS_STRIPPED: it cannot move."""
    return with_header(image, path, lambda h: setattr(
        h, "Characteristics", h.Characteristics | pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]))


def first_import(image, dll):
    """The first function that image imports from dll."""
    pe = pefile.PE(image)
    entry = next(e for e in pe.DIRECTORY_ENTRY_IMPORT if e.dll.decode().lower() == dll)
    return entry.imports[0].name.decode()


def il_only(image, path):
    """A copy of the image that says it is .NET code without native code: a
    CLR header (IMAGE_COR20_HEADER, its flags COMIMAGE_FLAGS_ILONLY) in the
    slack at the end of a section, and the data directory naming it."""
    pe = pefile.PE(image)
    section = next(s for s in pe.sections if s.SizeOfRawData - s.Misc_VirtualSize >= 80)
    start = (section.Misc_VirtualSize + 7) // 8 * 8
    pe.set_bytes_at_offset(section.PointerToRawData + start, struct.pack("<IHHIII", 72, 2, 5, 0, 0, 1).ljust(72, b"\0"))
    section.Misc_VirtualSize = start + 72
    clr = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR"]]
    clr.VirtualAddress, clr.Size = section.VirtualAddress + start, 72
    pe.write(path)
    return path


def directories(image, path, count):
    """A copy of the image whose optional header lists count data
    directories (NumberOfRvaAndSizes), fewer than the 16 it has."""
    pe = pefile.PE(image, fast_load=True)
    pe.OPTIONAL_HEADER.NumberOfRvaAndSizes = count
    pe.write(path)
    return path


def with_subsystem_version(image, path, major, minor):
    """A copy of the image whose optional header asks for that subsystem
    version, as a linker's --subsystem-version or /SUBSYSTEM:CONSOLE,M.m
    writes it."""
    pe = pefile.PE(image)
    pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion = major, minor
    pe.write(path)
    pe.close()
    return path
