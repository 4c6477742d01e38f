"""A 64-bit Windows 10 folder as it lies on disk, for loadcheck's --system:
the 64-bit DLLs, the API set schema and the registry's SYSTEM hive in
System32, the 32-bit DLLs in SysWOW64 (links to Wine's DLLs of each
machine), and the side-by-side store in WinSxS, its manifests compressed as
Windows 8 and later keep them. The hive is written here, by a small writer
of the registry's file format, so that the reader under test (hivex) reads
a file it did not write itself.

    make(path, wine, wine64)                 the folder, of Wine's 32- and 64-bit DLLs
    make(path, wine, wine64, known=[...], excluded=[...], system={...}, extra=N)
"""
import os
import re
import struct

COMPRESSED = b"DCM\x01PA30"  # Windows' delta-compressed manifest: only Windows expands what follows
VC_RUNTIMES = re.compile(r"(msvc[rpm]\d|vcruntime|vcomp|concrt|atl\d|mfc\d)")
# Windows 10's KnownDLLs key, as a 64-bit Windows 10 holds it.
KNOWN_DLLS = ("_wow64 _wow64cpu advapi32 clbcatq combase COMDLG32 coml2 DifxApi gdi32 gdiplus IMAGEHLP IMM32 "
              "kernel32 MSCTF MSVCRT NORMALIZ NSI ole32 OLEAUT32 PSAPI rpcrt4 sechost Setupapi SHCORE SHELL32 "
              "SHLWAPI user32 WLDAP32 wow64 wow64win WS2_32").split()
# The side-by-side components that the suite's cases ask for: the common
# controls 6 and their publisher policy, for x86 and amd64; Visual C++
# 2008's runtime and its policy, for x86 only; and an assembly of our own
# whose name is longer than 40 characters and one whose culture is longer
# than 8, so that the store spells them shortened. Each is
# (arch_name_token_version_language_hash, [its files, Wine's of that
# architecture unless given]).
COMMON_CONTROLS = "x86_microsoft.windows.common-controls_6595b64144ccf1df_6.0.19041.1110_none_a8625c1886757984"
COMMON_CONTROLS_64 = "amd64_microsoft.windows.common-controls_6595b64144ccf1df_6.0.19041.1110_none_60aeb3d1e8f2f2c1"
VC90 = "x86_microsoft.vc90.crt_1fc8b3b9a1e18e3b_9.0.30729.9625_none_508ef7e4bcbbe589"
LONG_NAME = "x86_hello.xiapi32.sideb..mbly.of.a.long.name_0123456789abcdef_1.0.0.0_none_2f1d6e3a9b7c4d51"
LONG_CULTURE = "x86_hello.xiapi32.resources_0123456789abcdef_1.0.0.0_sr-..-rs_5e0b4a1c2d3f6e7a"
COMPONENTS = (
    (COMMON_CONTROLS, ["comctl32.dll"]),
    ("x86_policy.6.0.microsof..ows.common-controls_6595b64144ccf1df_6.0.19041.1110_none_0ad9b2f7b8f1a4c2", []),
    (COMMON_CONTROLS_64, ["comctl32.dll"]),
    ("amd64_policy.6.0.microsof..ows.common-controls_6595b64144ccf1df_6.0.19041.1110_none_c32c7e1e0d3a5b1f", []),
    (VC90, ["msvcr90.dll"]),
    ("x86_policy.9.0.microsoft.vc90.crt_1fc8b3b9a1e18e3b_9.0.30729.9625_none_bb3cf1ce2c18f9ae", []),
    (LONG_NAME, ["xilong.dll"]),
    (LONG_CULTURE, ["xilong.dll"]),
)


def folder_of_links(path, source, leave_out=()):
    """A folder holding a link to each file of source but those left out."""
    os.makedirs(path)
    for f in os.listdir(source):
        if f.lower() not in leave_out:
            os.symlink(os.path.join(source, f), os.path.join(path, f))
    return path


def make(path, wine, wine64, known=KNOWN_DLLS, excluded=(), components=COMPONENTS, files=None, system=None, extra=0):
    """The folder; files: {file name: path} of the components' files that
    are not Wine's (xilong.dll); system: {file name: path} of SysWOW64's
    files that are not Wine's; extra: that many more components, of names
    nobody asks for, as a real store holds some 30,000."""
    folder_of_links(os.path.join(path, "System32"), wine64, {f.lower() for f in os.listdir(wine64) if VC_RUNTIMES.match(f)})
    os.makedirs(os.path.join(path, "System32", "config"))
    system = system or {}
    syswow64 = folder_of_links(os.path.join(path, "SysWOW64"), wine, {f.lower() for f in os.listdir(wine)
                                                                      if VC_RUNTIMES.match(f) or f in system})
    for name, source in system.items():
        os.symlink(source, os.path.join(syswow64, name))
    session = r"ControlSet001\Control\Session Manager"
    keys = {"Select": {"Current": 1, "Default": 1},
            session: {"ExcludeFromKnownDlls": list(excluded)} if excluded else {},
            session + r"\KnownDLLs": dict({n: f"{n.lstrip('_')}.dll" for n in known},
                                          DllDirectory="%SystemRoot%\\system32", DllDirectory32="%SystemRoot%\\syswow64")}
    with open(os.path.join(path, "System32", "config", "SYSTEM"), "wb") as f:
        f.write(hive(keys))
    manifests = os.path.join(path, "WinSxS", "Manifests")
    os.makedirs(manifests)
    extras = [(f"x86_hello.unused.component.{n}_31bf3856ad364e35_10.0.19041.{n}_none_{n:016x}", [])
              for n in range(extra)]
    for name, names in list(components) + extras:
        with open(os.path.join(manifests, name + ".manifest"), "wb") as f:
            f.write(COMPRESSED + name.encode())
        if names:
            os.makedirs(os.path.join(path, "WinSxS", name))
        for file_name in names:
            source = (files or {}).get(file_name) or os.path.join(wine64 if name.startswith("amd64_") else wine, file_name)
            os.symlink(source, os.path.join(path, "WinSxS", name, file_name))
    return path


# The registry's hive file: a 4 KiB base block, then one bin of cells; a
# cell is its size (negative: in use) and a record: "nk" a key, "lf" a list
# of subkeys, "vk" a value, or a value's data or a list of values.
REG_SZ, REG_EXPAND_SZ, REG_DWORD, REG_MULTI_SZ = 1, 2, 4, 7
NONE = 0xFFFFFFFF


def hive(keys):
    """The bytes of a hive holding keys: {path from the root (backslashes):
    {value name: an int (REG_DWORD), a str (REG_SZ, or REG_EXPAND_SZ where
    it holds %), or a list of str (REG_MULTI_SZ)}}."""
    tree = {}
    for key_path, values in keys.items():
        node = tree
        for part in key_path.split("\\"):
            node = node.setdefault(part, {})
        node[None] = values
    cells = bytearray()

    def cell(data):
        offset = 0x20 + len(cells)  # offsets count from the first bin, whose header takes 0x20
        size = (len(data) + 4 + 7) // 8 * 8
        cells.extend(struct.pack("<i", -size) + data.ljust(size - 4, b"\0"))
        return offset

    def value(name, data):
        if isinstance(data, int):
            return cell(struct.pack("<2sHIIIHH", b"vk", len(name), 0x80000004, data, REG_DWORD, 1, 0) + name.encode())
        kind = REG_MULTI_SZ if isinstance(data, list) else REG_EXPAND_SZ if "%" in data else REG_SZ
        raw = ("".join(s + "\0" for s in data) + "\0" if kind == REG_MULTI_SZ else data + "\0").encode("utf-16-le")
        at = cell(raw)
        return cell(struct.pack("<2sHIIIHH", b"vk", len(name), len(raw), at, kind, 1, 0) + name.encode())

    def key(name, children, parent):
        flags = 0x2C if parent == NONE else 0x20  # the root's; a name in ASCII
        at = cell(struct.pack("<2sHQIIIIIIIIIIIIIIIHH", b"nk", flags, 0, 0, parent, 0, 0, NONE, NONE, 0, NONE, NONE,
                              NONE, 0, 0, 0, 0, 0, len(name), 0) + name.encode())
        subkeys = [(n, key(n, c, at)) for n, c in children.items() if n is not None]
        values = [value(n, d) for n, d in children.get(None, {}).items()]
        subkey_list = cell(struct.pack("<2sH", b"lf", len(subkeys)) + b"".join(
            struct.pack("<I4s", o, n.encode()[:4]) for n, o in subkeys)) if subkeys else NONE
        value_list = cell(struct.pack(f"<{len(values)}I", *values)) if values else NONE
        record = at - 0x20 + 4  # where the nk record lies in cells: after its cell's size
        struct.pack_into("<I", cells, record + 20, len(subkeys))
        struct.pack_into("<I", cells, record + 28, subkey_list)
        struct.pack_into("<II", cells, record + 36, len(values), value_list)
        return at

    root = key("ROOT", tree, NONE)
    size = (0x20 + len(cells) + 8 + 0xFFF) // 0x1000 * 0x1000
    free = size - 0x20 - len(cells)
    cells.extend(struct.pack("<i", free) + bytes(free - 4))  # the rest of the bin: one free cell
    hbin = struct.pack("<4sII", b"hbin", 0, size).ljust(0x20, b"\0") + cells
    base = bytearray(struct.pack("<4sIIQIIIIIII", b"regf", 1, 1, 0, 1, 3, 0, 1, root, size, 1).ljust(0x1000, b"\0"))
    struct.pack_into("<I", base, 0x1FC, xor_sum(base[:0x1FC]))
    return bytes(base) + hbin


def xor_sum(data):
    """The base block's checksum: its first 127 double words XORed."""
    total = 0
    for (word,) in struct.iter_unpack("<I", data):
        total ^= word
    return total
