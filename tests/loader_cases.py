"""The loader's cases, one table for scripts/loadcheck's verdicts
(loader_verdict.py) and for Wine as a second witness (loader_witness.py):
what lies beside test.exe, the system folder and search path, the verdict
that Windows gives, what else loadcheck must say, and where Wine differs
from Windows, what Wine does and why, marked at the case as Wine's own
tests mark todo_wine at the check.
"""
import os
import shutil
from dataclasses import dataclass, field

import pefile

NOT_FOUND = "refused: STATUS_DLL_NOT_FOUND (0xC0000135): "
NO_ENTRY = "refused: STATUS_ENTRYPOINT_NOT_FOUND (0xC0000139): "
BAD_FORMAT = "refused: STATUS_INVALID_IMAGE_FORMAT (0xC000007B): "
SYNCH = "api-ms-win-core-synch-l1-2-0.dll"
ABSENT = "(not emitted)"  # in json: a field that --json must leave out


@dataclass
class Case:
    name: str
    files: list             # (source, name beside test.exe)
    verdict: str            # loadcheck's last line: what Windows does
    lines: list = field(default_factory=list)   # lines that loadcheck must print besides
    never: list = field(default_factory=list)   # texts it must not print: what it must not look at
    missing: list = None    # the program's functions it must show missing, and no others
    json: dict = None       # what --json must say: top-level fields, and fields of "modules" by name
    system: object = None   # a system folder other than Wine's, made when first asked for
    path: list = field(default_factory=list)    # folders searched last (PATH)
    known_dlls: str = None  # a file of known DLLs in place of Windows' list
    wine: str = None        # where Wine differs from Windows: what Wine does ...
    why: str = None         # ... and why

    @property
    def status(self):
        return 0 if self.verdict == "starts" else 1

    def options(self):
        return ((["--system", self.system()] if self.system else []) + [a for p in self.path for a in ("--path", p)]
                + (["--known-dlls", self.known_dlls] if self.known_dlls else []))

    def wine_can_show(self):
        """Wine always takes its own DLLs and its own known DLLs; PATH it
        has, as WINEPATH."""
        return self.system is None and self.known_dlls is None

    def place(self, exe, folder):
        """test.exe and the case's DLLs in folder; the copy of test.exe."""
        os.makedirs(folder)
        for source, target in self.files:
            shutil.copy(source, os.path.join(folder, target))
        return shutil.copy(exe, folder)


def folder_of_links(path, source, leave_out=()):
    """A folder holding a link to each file of source but those left out."""
    os.makedirs(path)
    for f in os.listdir(source):
        if f.lower() not in leave_out:
            os.symlink(os.path.join(source, f), os.path.join(path, f))
    return path


def another_machine(image, path):
    """The image with the header of an x86-64 image."""
    pe = pefile.PE(image, fast_load=True)
    pe.FILE_HEADER.Machine = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
    pe.write(path)
    return path


def cases(work, dlls, standin_dll, wine):
    """The cases, with what they need made in work. dlls/<case>/ holds the
    DLLs of the suite's cases; wine is Wine's DLL folder."""
    def dll(case, name="xiapi32.dll"):
        return os.path.join(dlls, case, name)

    # The system folders of other kinds, made only for the cases that use
    # them (in the emulated machine, a folder of links to Wine's DLLs takes
    # seconds).
    def made(name, make):
        path = os.path.join(work, name)

        def folder():
            if not os.path.exists(path):
                make(path)
            return path
        return path, folder

    def make_old_system(path):
        os.makedirs(path)
        shutil.copy(dll("old-system", "KERNEL32.dll"), path)

    def make_windows7(path):
        # No API set schema, but the API set as a file, as on Windows 7.
        folder_of_links(path, wine, {"apisetschema.dll"})
        shutil.copy(dll("apiset-file", SYNCH), path)

    def make_windows64(path):
        # System32 holds 64-bit DLLs (here one, and the schema), SysWOW64
        # the 32-bit ones.
        os.makedirs(os.path.join(path, "System32"))
        another_machine(os.path.join(wine, "kernel32.dll"), os.path.join(path, "System32", "kernel32.dll"))
        os.symlink(os.path.join(wine, "apisetschema.dll"), os.path.join(path, "System32", "apisetschema.dll"))
        folder_of_links(os.path.join(path, "syswow64"), wine)

    _, old_system = made("old-system", make_old_system)
    _, no_schema = made("no-schema", lambda path: folder_of_links(path, wine, {"apisetschema.dll"}))
    windows7, windows7_system = made("windows-7", make_windows7)
    windows64, windows64_system = made("WINDOWS", make_windows64)
    windows32, windows32_system = made("Windows-32", lambda path: folder_of_links(os.path.join(path, "SYSTEM32"), wine))
    elsewhere, empty = os.path.join(work, "elsewhere"), os.path.join(work, "empty")
    os.makedirs(elsewhere)
    os.makedirs(empty)
    shutil.copy(standin_dll, elsewhere)
    only_ntdll = os.path.join(work, "known-ntdll")
    with open(only_ntdll, "w") as f:
        f.write("# the known DLLs\nntdll\n")
    foreign = another_machine(standin_dll, os.path.join(work, "x86-64.dll"))
    standin = [(standin_dll, "XIAPI32.DLL")]  # upper case on purpose: names compare without case
    planted_kernel32 = [(dll("planted", "KERNEL32.dll"), "KERNEL32.dll")]
    stub = ("Wine binds an import that the DLL does not export to a stub that fails only if it is called, and "
            "warns (No implementation for xiapi32.dll.xiStopAcquisition, shown with WINEDEBUG=warn+module); "
            "Windows refuses to start the process.")

    return [
        Case("the stand-in beside it", standin, "starts",
             ["    AcquireSRWLockExclusive: forwarded to NTDLL.RtlAcquireSRWLockExclusive", "    xiStopAcquisition: bound",
              f"KERNEL32.dll: {wine}/kernel32.dll (known DLL)"]),
        Case("xiapi32.dll absent", [], NOT_FOUND + "xiapi32.dll",
             json={"verdict": "refused", "status": "STATUS_DLL_NOT_FOUND", "code": "0xC0000135", "dll": "xiapi32.dll",
                   "function": None}),
        Case("xiapi32.dll without the function", [(dll("lacking"), "xiapi32.dll")],
             NO_ENTRY + "xiStopAcquisition in xiapi32.dll", wine="starts", why=stub),
        Case("xiapi32.dll exporting it by ordinal alone", [(dll("ordinal"), "xiapi32.dll")],
             NO_ENTRY + "xiStopAcquisition in xiapi32.dll", wine="starts",
             why="A function imported by name binds only to an exported name; this DLL exports it by ordinal "
                 "alone. " + stub),
        Case("xiapi32.dll of another machine", [(foreign, "xiapi32.dll")], BAD_FORMAT + "xiapi32.dll"),
        Case("KERNEL32.dll from before SRW locks", standin, NO_ENTRY + "AcquireSRWLockExclusive in KERNEL32.dll",
             missing=["AcquireSRWLockExclusive"], system=old_system),
        Case("a KERNEL32.dll planted beside it", standin + planted_kernel32, "starts",
             ["KERNEL32.dll beside the program is not used: a known DLL", f"KERNEL32.dll: {wine}/kernel32.dll (known DLL)"]),
        Case("a msvcrt.dll planted beside it", standin + [(dll("planted", "msvcrt.dll"), "msvcrt.dll")], "starts",
             ["msvcrt.dll beside the program is not used: a known DLL"]),
        Case("the planted KERNEL32.dll, when ntdll.dll is the only known DLL", standin + planted_kernel32,
             NO_ENTRY + "AcquireSRWLockExclusive in KERNEL32.dll", known_dlls=only_ntdll),
        Case("xiapi32.dll importing from an API set", [(dll("apiset"), "xiapi32.dll")], "starts",
             [f"  {SYNCH} -> kernelbase.dll (for xiapi32.dll)"],
             json={"verdict": "starts", "status": "STATUS_SUCCESS", "code": "0x00000000",
                   "modules": {"kernelbase.dll": {"api_set": SYNCH},
                               "xiapi32.dll": {"how": "application folder", "api_set": ABSENT, "functions": [
                                   {"name": "xiStopAcquisition", "result": "bound",
                                    "bound_to": "xiapi32.dll!xiStopAcquisition"}]},
                               "kernel32.dll": {"how": "known DLL", "needed_by": "test.exe"}}}),
        Case("xiapi32.dll importing from an API set that no schema knows", [(dll("unknown-apiset"), "xiapi32.dll")],
             NOT_FOUND + "api-ms-win-hello-xiapi32-l1-1-0.dll"),
        Case("the API set, with no schema and no such file", [(dll("apiset"), "xiapi32.dll")], NOT_FOUND + SYNCH,
             system=no_schema),
        Case("the API set, with no schema but a file of that name (Windows 7)", [(dll("apiset"), "xiapi32.dll")],
             "starts", [f"  {SYNCH}: {windows7}/{SYNCH} (system folder; needed by xiapi32.dll)"],
             system=windows7_system),
        Case("xiapi32.dll on PATH only, no PATH given", [], NOT_FOUND + "xiapi32.dll"),
        Case("xiapi32.dll on PATH only", [], "starts", [f"xiapi32.dll: {elsewhere}/xiapi32.dll (PATH)"],
             path=[f"{empty}:{elsewhere}"]),
        Case("two DLLs that import each other",
             [(dll("mutual"), "xiapi32.dll"), (dll("mutual", "xihelper.dll"), "xihelper.dll")], "starts",
             ["    xiStopAcquisition: bound"]),
        Case("xiapi32.dll delay-loading a DLL that is nowhere", [(dll("delayload"), "xiapi32.dll")], "starts",
             never=["nowhere"]),
        Case("xiapi32.dll whose forwarders go round",
             [(dll("loop"), "xiapi32.dll"), (dll("loop", "xiloop.dll"), "xiloop.dll")],
             NO_ENTRY + "xiStopAcquisition in xiapi32.dll (its forwarders go round: xiapi32.dll!xiStopAcquisition "
                        "-> xiloop.dll!xiLoop -> xiapi32.dll!xiStopAcquisition)"),
        Case("a 64-bit Windows folder", standin, "starts",
             [f"KERNEL32.dll: {windows64}/syswow64/kernel32.dll (known DLL)"], system=windows64_system),
        Case("a 32-bit Windows folder", standin, "starts",
             [f"KERNEL32.dll: {windows32}/SYSTEM32/kernel32.dll (known DLL)"], system=windows32_system),
    ]
