"""What test.exe and the stand-in xiapi32.dll are, read with pefile, the
toolchain's nm and objdump, and GNU objdump's disassembler.

    pe_image.py program|standin
"""
import re
import subprocess

import pefile

from harness import P, main, ok

# The import tables the images must have, written once for the suite: by
# DLL, the functions imported by name, and whether they are all of that
# DLL's. The start-up code adds functions of its own to the program's
# KERNEL32.dll and msvcrt.dll, which vary with the toolchain, so only ours
# are listed there.
PROGRAM_IMPORTS = {
    "xiapi32.dll": ({"xiStopAcquisition"}, "exactly"),
    "KERNEL32.dll": ({"AcquireSRWLockExclusive"}, "among others"),
    "msvcrt.dll": ({"puts"}, "among others"),
}
STANDIN_IMPORTS = {"KERNEL32.dll": ({"GetStdHandle", "WriteFile"}, "exactly")}
STANDIN_EXPORTS = ["xiStopAcquisition"]
MAX_PROGRAM_SIZE = 32 * 1024
# What foo's body calls, in order; the last call's one argument is 0.
FOO_CALLS = [("KERNEL32.dll", "AcquireSRWLockExclusive"), ("xiapi32.dll", "xiStopAcquisition")]
# How the two compilers put a 0 argument on the stack.
ZERO_ARGUMENT = re.compile(r"^(movl\s+\$0x0,\(%esp\)|push\s+\$0x0)$")

DLLCHAR = pefile.DLL_CHARACTERISTICS
SCN = pefile.SECTION_CHARACTERISTICS


def imports(pe):
    """{dll: [function name, or "#N" where imported by ordinal N]}, in table order"""
    return {e.dll.decode(): [f"#{i.ordinal}" if i.import_by_ordinal else i.name.decode() for i in e.imports]
            for e in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}


def directory(pe, name):
    return pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY[name]]


def section_names(path, objdump):
    # objdump resolves the long names (".debug_info" and such) that PE keeps
    # in the COFF string table.
    out = subprocess.run([objdump, "-h", path], check=True, capture_output=True, text=True).stdout
    return [line.split()[1] for line in out.splitlines()
            if line.strip() and line.split()[0].isdigit()]


def symbols(path, nm):
    out = subprocess.run([nm, path], check=True, capture_output=True, text=True).stdout
    table = {}
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 3:
            table[fields[2]] = (fields[1], int(fields[0], 16))
    return table


def check_any_image(path, pe, objdump, forbid):
    """Format, hardening and leanness, the same for the program and the DLL."""
    oh, fh = pe.OPTIONAL_HEADER, pe.FILE_HEADER
    ok(fh.Machine == pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"], f"{path}: machine {fh.Machine:#x}, not i386")
    ok(oh.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE, f"{path}: optional header magic {oh.Magic:#x}, not PE32")

    chars = oh.DllCharacteristics
    for flag in ("DYNAMIC_BASE", "NX_COMPAT", "NO_SEH"):
        ok(chars & DLLCHAR["IMAGE_DLLCHARACTERISTICS_" + flag],
           f"{path}: DllCharacteristics {chars:#06x} lacks {flag}")
    if chars & DLLCHAR["IMAGE_DLLCHARACTERISTICS_GUARD_CF"]:
        guard = getattr(getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None), "struct", None)
        ok(guard is not None and getattr(guard, "GuardCFFunctionTable", 0),
           f"{path}: GUARD_CF set in {chars:#06x} without a load configuration that has a CFG table")
    reloc = directory(pe, "IMAGE_DIRECTORY_ENTRY_BASERELOC")
    ok(reloc.VirtualAddress and reloc.Size, f"{path}: no base relocations (rva {reloc.VirtualAddress:#x}, size {reloc.Size})")
    ok(oh.SectionAlignment >= 4096, f"{path}: section alignment {oh.SectionAlignment:#x} below 4 KiB")
    wx = SCN["IMAGE_SCN_MEM_WRITE"] | SCN["IMAGE_SCN_MEM_EXECUTE"]
    for s in pe.sections:
        ok(s.Characteristics & wx != wx, f"{path}: section {s.Name!r} is writable and executable")

    for name in ("IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT", "IMAGE_DIRECTORY_ENTRY_RESOURCE", "IMAGE_DIRECTORY_ENTRY_SECURITY"):
        d = directory(pe, name)
        ok(d.VirtualAddress == 0 and d.Size == 0, f"{path}: has {name[26:].lower()} (rva {d.VirtualAddress:#x}, size {d.Size})")
    ok(oh.CheckSum in (0, pe.generate_checksum()),
       f"{path}: checksum {oh.CheckSum:#x} is neither 0 nor the computed {pe.generate_checksum():#x}")

    debug = [n for n in section_names(path, objdump) if n.startswith((".debug", ".zdebug"))]
    ok(not debug, f"{path}: carries DWARF sections {debug}")
    data = pe.__data__
    for text in forbid:
        ok(text.encode() not in data, f"{path}: contains the build path {text!r}")


def check_imports(table, expected, who):
    """An import table, {dll: [function, or "#N" by ordinal]}, as pefile or
    any other reader gives it, against PROGRAM_IMPORTS or STANDIN_IMPORTS."""
    ok(set(table) == set(expected), f"{who}: imports from {sorted(table)}, expected {sorted(expected)}")
    for dll, (wanted, how) in expected.items():
        got = table.get(dll, [])
        by_ordinal = [f for f in got if f.startswith("#")]
        ok(not by_ordinal, f"{who}: imports from {dll} by ordinal: {got}")
        if how == "exactly":
            ok(sorted(got) == sorted(wanted), f"{who}: {dll} functions {got}, expected exactly {sorted(wanted)}")
        else:
            ok(wanted <= set(got), f"{who}: {dll} lacks {sorted(wanted - set(got))} among {got}")
    # No other SRW-lock function: in particular none that releases the lock.
    srw = [f for fs in table.values() for f in fs if "SRWLock" in f]
    wanted = [f for fs, _ in expected.values() for f in fs if "SRWLock" in f]
    ok(srw == wanted, f"{who}: SRW-lock imports {srw}, expected {wanted}")


def check_foo(path, pe, gnu_objdump):
    """foo's body as disassembled: each call followed through its jump thunk
    to the import slot it reaches, and the instruction that sets up the last
    call's argument."""
    listing = subprocess.run([gnu_objdump, "-d", "--no-show-raw-insn", path], check=True,
                             capture_output=True, text=True).stdout
    code = {}  # address -> instruction text
    for line in listing.splitlines():
        if m := re.match(r"^\s+([0-9a-f]+):\t(.*\S)", line):
            code[int(m.group(1), 16)] = re.sub(r"\s+", " ", m.group(2))
    body = re.search(r"^([0-9a-f]+) <_foo>:\n(.*?)(?:\n\n|\Z)", listing, re.S | re.M)
    if not ok(body, f"{path}: no _foo in the disassembly"):
        return
    instructions = [code[int(m.group(1), 16)] for m in re.finditer(r"^\s+([0-9a-f]+):", body.group(2), re.M)]
    slots = {i.address: (e.dll.decode(), i.name.decode() if i.name else f"#{i.ordinal}")
             for e in pe.DIRECTORY_ENTRY_IMPORT for i in e.imports}
    calls = []
    for n, ins in enumerate(instructions):
        if ins.startswith("call"):
            target = re.match(r"call ([0-9a-f]+)\b", ins)
            thunk = code.get(int(target.group(1), 16), "") if target else ""
            slot = re.match(r"jmp \*0x([0-9a-f]+)$", thunk)
            calls.append((slots.get(int(slot.group(1), 16), ins) if slot else ins, instructions[n - 1] if n else ""))
        elif ins.startswith("j"):
            ok(False, f"{path}: _foo jumps ({ins}); it should only call its two functions and return")
    ok([c for c, _ in calls] == FOO_CALLS, f"{path}: _foo calls {[c for c, _ in calls]}, expected {FOO_CALLS} in order")
    if calls:
        ok(ZERO_ARGUMENT.match(calls[-1][1]),
           f"{path}: the argument of _foo's last call is set by {calls[-1][1]!r}, not a 0 pushed or stored")


def check_program(path, forbid):
    pe = pefile.PE(path)
    check_any_image(path, pe, P.objdump, forbid)
    size = len(pe.__data__)
    ok(size <= MAX_PROGRAM_SIZE, f"{path}: {size} bytes, over {MAX_PROGRAM_SIZE}")
    ok(pe.OPTIONAL_HEADER.Subsystem == pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CUI"],
       f"{path}: subsystem {pe.OPTIONAL_HEADER.Subsystem}, not console")
    ok(not pe.is_dll(), f"{path}: is a DLL")
    ok(directory(pe, "IMAGE_DIRECTORY_ENTRY_EXPORT").Size == 0, f"{path}: has an export table")

    check_imports(imports(pe), PROGRAM_IMPORTS, path)
    check_foo(path, pe, P.gnu_objdump)

    syms = symbols(path, P.nm)
    for name in ("_foo", "_main"):
        ok(syms.get(name, ("?",))[0] == "T", f"{path}: no text symbol {name} (nm says {syms.get(name)})")
    # The start-up code expands wildcards in arguments only where __dowildcard
    # is non-zero; in .bss it reads as None here, which is zero at run time.
    if ok("__dowildcard" in syms, f"{path}: no __dowildcard symbol to read"):
        rva = syms["__dowildcard"][1] - pe.OPTIONAL_HEADER.ImageBase
        value = pe.get_dword_at_rva(rva) or 0
        ok(value == 0, f"{path}: __dowildcard is {value:#x}, so arguments are globbed")


def program():
    check_program(P.exe, [P.source, P.build])


def standin():
    path = P.standin
    pe = pefile.PE(path)
    check_any_image(path, pe, P.objdump, [P.source, P.build])
    ok(pe.is_dll(), f"{path}: not a DLL")
    export_dir = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    exports = [s.name.decode() if s.name else None for s in export_dir.symbols] if export_dir else []
    ok(exports == STANDIN_EXPORTS, f"{path}: exports {exports}, expected {STANDIN_EXPORTS}")
    check_imports(imports(pe), STANDIN_IMPORTS, path)


if __name__ == "__main__":
    main(program, standin)
