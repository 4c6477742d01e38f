"""The process that a program starts: 32-bit x86 or x86-64, read once from the
program's file header and handed to what depends on it: which system folder
of a Windows folder serves (folders.py), which Wine DLL folder is the
default, which assemblies of the shared store match (store.py), and which
DLLs the loader may map (loader.py)."""
import functools
from typing import NamedTuple

import pefile

from .image import read_image
from .status import BadInput


class Machine(NamedTuple):
    name: str        # as Windows' tools name it: x86, x64
    code: int        # the file header's IMAGE_FILE_MACHINE_*
    magic: int       # its optional header's: PE32 or PE32+
    arch: str        # processorArchitecture of its side-by-side assemblies
    system: tuple    # a Windows folder's system folders for its processes, first found first
    wine: str        # wine.py's name for Wine's DLL folder of this machine
    mingw: str       # the MinGW-w64 target whose runtime DLLs its programs need, and Debian's suffix of its packages
    package: str


X86 = Machine("x86", 0x14C, 0x10B, "x86", ("syswow64", "system32"), "dlls", "i686-w64-mingw32", "i686")
X64 = Machine("x64", 0x8664, 0x20B, "amd64", ("system32",), "dlls64", "x86_64-w64-mingw32", "x86-64")
PROCESSES = {m.code: m for m in (X86, X64)}

# Names of the machines that no process of these starts, as Microsoft's
# documentation of the PE format names them.
OTHERS = {0xAA64: "ARM64", 0x1C0: "ARM", 0x1C4: "ARM Thumb-2", 0x200: "IA-64 (Itanium)", 0xA641: "ARM64EC",
          0xA64E: "ARM64X", 0xEBC: "EFI byte code"}
LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]
CLR = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR"]
IL_ONLY = 0x1  # COMIMAGE_FLAGS_ILONLY, in the Flags of the CLR header (IMAGE_COR20_HEADER) at offset 16


def name(code):
    """A machine's name for the messages."""
    if code in PROCESSES:
        return PROCESSES[code].name
    known = OTHERS.get(code) or pefile.MACHINE_TYPE.get(code, "").removeprefix("IMAGE_FILE_MACHINE_")
    return f"{known} ({code:#06x})" if known else f"a machine unknown to loadcheck ({code:#06x})"


@functools.lru_cache(maxsize=None)
def of_program(path):
    """The Machine of the process that the program at path starts; BadInput,
    one line naming what it is, where that is no x86 or x64 process whose
    imports the loader binds: an image of another machine, ARM64EC or
    ARM64X code (an x64 or ARM64 header with hybrid metadata in its load
    configuration), or a .NET image without native code (the runtime, not
    the loader's imports, decides how that one runs)."""
    code = read_image(path).machine
    try:
        pe = pefile.PE(path, fast_load=True)
        pe.parse_data_directories(directories=[LOAD_CONFIG])
        directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
        clr = directories[CLR] if len(directories) > CLR and directories[CLR].Size >= 20 else None
        # pefile reads no CLR header: its flags are the one word read here.
        il_only = bool(clr and (pe.get_dword_at_rva(clr.VirtualAddress + 16) or 0) & IL_ONLY)
    except (pefile.PEFormatError, OSError) as e:
        raise BadInput(f"{path} is not a PE image ({e})")
    config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    hybrid = bool(getattr(getattr(config, "struct", None), "CHPEMetadataPointer", 0))
    magic = pe.OPTIONAL_HEADER.Magic
    pe.close()
    what = None
    if hybrid and code in (X64.code, 0xAA64):
        what = "ARM64EC (an x64 header over ARM64 code)" if code == X64.code else "ARM64X (ARM64 and ARM64EC code)"
    elif code not in PROCESSES:
        what = name(code)
    elif il_only:
        raise BadInput(f"{path} is a .NET image without native code: the .NET runtime decides how it runs, "
                       "not the loader's binding of its imports")
    elif magic != PROCESSES[code].magic:
        raise BadInput(f"{path} is not a whole PE image: an {name(code)} file header with a "
                       f"{'PE32+' if magic == X64.magic else 'PE32' if magic == X86.magic else hex(magic)} "
                       "optional header")
    if what:
        raise BadInput(f"{path} is a program for {what}: loadcheck gives the verdict for x86 and x64 programs only")
    return PROCESSES[code]
