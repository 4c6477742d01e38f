"""Reading PE images with pefile: what the loader needs of each. Names are
read as the loader reads them, byte for byte (Latin-1), and where pefile
would replace one it finds odd (a DLL name with a blank, say), from the
image itself."""
import functools

import pefile

from .status import BadInput

IMPORT = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]
EXPORT = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]
RESOURCE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]
BASERELOC = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]
DELAY_IMPORT = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT"]
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]
RELOCS_STRIPPED = pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]
NO_ISOLATION = pefile.DLL_CHARACTERISTICS["IMAGE_DLLCHARACTERISTICS_NO_ISOLATION"]


def text(name):
    return name.decode("latin-1")


class Image:
    """A PE image as the loader needs it: machine, where it would be mapped,
    whether it can move, whether it may have an activation context of its
    own, exports and imports."""

    def __init__(self, pe):
        self.machine = pe.FILE_HEADER.Machine
        header = pe.OPTIONAL_HEADER
        self.base, self.size = header.ImageBase, header.SizeOfImage
        # Without base relocations the loader can map it only at its base.
        # An optional header may list fewer data directories than there are
        # (NumberOfRvaAndSizes): an image without that one has none.
        directories = header.DATA_DIRECTORY
        relocations = directories[BASERELOC].Size if len(directories) > BASERELOC else 0
        self.fixed = bool(pe.FILE_HEADER.Characteristics & RELOCS_STRIPPED) or not relocations
        self.isolated = not header.DllCharacteristics & NO_ISOLATION
        # What CreateProcess compares with the Windows' own version.
        self.subsystem_version = (header.MajorSubsystemVersion, header.MinorSubsystemVersion)
        exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
        symbols = exports.symbols if exports else []
        self.by_name = {text(s.name): s for s in symbols if s.name}
        self.by_ordinal = {s.ordinal: s for s in symbols}
        # [(dll, [name, or ordinal as int])] in the order of the import table.
        # An import by ordinal stays one, whatever name pefile gives it.
        self.imports = [(text(pe.get_string_at_rva(e.struct.Name)),
                         [i.ordinal if i.import_by_ordinal else text(i.name) for i in e.imports])
                        for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]
        # The DLLs it delay-loads: mapped at the first call, not at start.
        self.delay_imports = [text(pe.get_string_at_rva(e.struct.szName) or b"")
                              for e in getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", [])]
        self.dll = pe.is_dll()


# Read once per file: a caller that asks for many verdicts in one process
# (the test suite) reads the system's DLLs once.
@functools.lru_cache(maxsize=None)
def read_image(path):
    """The image's imports and exports; BadInput when the file is not a
    whole PE image."""
    try:
        pe = pefile.PE(path, fast_load=True)
    except (pefile.PEFormatError, OSError) as e:
        raise BadInput(f"{path} is not a PE image ({e})")
    end = max((s.PointerToRawData + s.SizeOfRawData for s in pe.sections), default=0)
    if len(pe.__data__) < end:
        raise BadInput(f"{path} is truncated: {len(pe.__data__)} bytes, its sections reach {end}")
    pe.parse_data_directories(directories=[IMPORT, EXPORT, DELAY_IMPORT])
    image = Image(pe)
    pe.close()
    return image


@functools.lru_cache(maxsize=None)
def imported_dll_names(path):
    """The names of the DLLs that an image imports from (nothing more is
    read: quick, for the many DLLs that the known ones pull in)."""
    try:
        pe = pefile.PE(path, fast_load=True)
        directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
        d = directories[IMPORT] if len(directories) > IMPORT else None
        entries = pe.parse_import_directory(d.VirtualAddress, d.Size, dllnames_only=True) if d and d.Size else []
        names = [text(pe.get_string_at_rva(e.struct.Name)) for e in entries or []]
        pe.close()
    except (pefile.PEFormatError, OSError):
        return []  # mapping it will say so
    return names


@functools.lru_cache(maxsize=None)
def manifests(path):
    """{resource ID: bytes} of the image's manifests (resources of type
    RT_MANIFEST with a number for a name), the first language of each."""
    found = {}
    try:
        pe = pefile.PE(path, fast_load=True)
        pe.parse_data_directories(directories=[RESOURCE])
        for kind in getattr(getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None), "entries", []):
            for entry in kind.directory.entries if kind.id == RT_MANIFEST else []:
                if entry.id is not None and entry.directory.entries:
                    data = entry.directory.entries[0].data.struct
                    found[entry.id] = pe.get_data(data.OffsetToData, data.Size)
    except (pefile.PEFormatError, OSError, AttributeError, IndexError):
        return {}  # no manifest that the loader could read either
    return found


def section_data(path, name):
    """The bytes of the image's section of that name, or None."""
    pe = pefile.PE(path, fast_load=True)
    try:
        section = next((s for s in pe.sections if s.Name.rstrip(b"\0") == name), None)
        return section.get_data() if section else None
    finally:
        pe.close()
