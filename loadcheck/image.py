"""Reading PE images with pefile: what the loader needs of each."""
import functools

import pefile

from .status import BadInput

I386 = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
IMPORT = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]
EXPORT = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_EXPORT"]


class Image:
    """A PE image as the loader needs it: machine, exports and imports."""

    def __init__(self, pe):
        self.machine = pe.FILE_HEADER.Machine
        exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
        symbols = exports.symbols if exports else []
        self.by_name = {s.name.decode(): s for s in symbols if s.name}
        self.by_ordinal = {s.ordinal: s for s in symbols}
        # [(dll, [name, or ordinal as int])] in the order of the import table
        self.imports = [(e.dll.decode(), [i.name.decode() if i.name else i.ordinal for i in e.imports])
                        for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])]


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
    pe.parse_data_directories(directories=[IMPORT, EXPORT])
    image = Image(pe)
    pe.close()
    return image


@functools.lru_cache(maxsize=None)
def imported_dll_names(path):
    """The names of the DLLs that an image imports from (nothing more is
    read: quick, for the many DLLs that the known ones pull in)."""
    try:
        pe = pefile.PE(path, fast_load=True)
        d = pe.OPTIONAL_HEADER.DATA_DIRECTORY[IMPORT]
        entries = pe.parse_import_directory(d.VirtualAddress, d.Size, dllnames_only=True) if d.Size else []
        pe.close()
    except (pefile.PEFormatError, OSError):
        return []  # mapping it will say so
    return [e.dll.decode() for e in entries or []]


def section_data(path, name):
    """The bytes of the image's section of that name, or None."""
    pe = pefile.PE(path, fast_load=True)
    try:
        section = next((s for s in pe.sections if s.Name.rstrip(b"\0") == name), None)
        return section.get_data() if section else None
    finally:
        pe.close()
