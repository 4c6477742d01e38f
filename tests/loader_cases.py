"""The loader's cases, one table for scripts/loadcheck's verdicts
(loader_verdict.py) and for Wine as a second witness (loader_witness.py):
what lies beside test.exe, the system folder and search path, the verdict
that Windows gives, what else loadcheck must say, and where Wine differs
from Windows, what Wine does and why, marked at the case as Wine's own
tests mark todo_wine at the check.
"""
import contextlib
import io
import os
import shutil
import subprocess
from dataclasses import dataclass, field

import windows_folder
from altered import another_machine, first_import, relocs_stripped, schema_with
from harness import P
from loadcheck import cli
from windows_folder import VC_RUNTIMES, folder_of_links

NOT_FOUND = "refused: STATUS_DLL_NOT_FOUND (0xC0000135): "
NO_ENTRY = "refused: STATUS_ENTRYPOINT_NOT_FOUND (0xC0000139): "
NO_ORDINAL = "refused: STATUS_ORDINAL_NOT_FOUND (0xC0000138): "
BAD_FORMAT = "refused: STATUS_INVALID_IMAGE_FORMAT (0xC000007B): "
NO_ACTCTX = "refused: STATUS_SXS_CANT_GEN_ACTCTX (0xC0150002): "
CONFLICT = "refused: STATUS_CONFLICTING_ADDRESSES (0xC0000018): "
SYNCH = "api-ms-win-core-synch-l1-2-0.dll"
ABSENT = "(not emitted)"  # in json: a field that --json must leave out
CASE = "<case>"  # in a verdict or a line: the case's folder, where test.exe lies
# The Visual C++ 2008 runtime's assembly, as Windows installs it; the
# assemblies and policies of the Windows folders below hold Wine's msvcr90.dll.
VC90 = 'name="Microsoft.VC90.CRT" processorArchitecture="x86" publicKeyToken="1fc8b3b9a1e18e3b"'
VC90_RTM, VC90_SP1 = "9.0.21022.8", "9.0.30729.9625"
VC90_FILE = "msvcr90.dll"
ASSEMBLY = '<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">\n{}</assembly>\n'


def assembly_manifest(version, identity=VC90, files=(VC90_FILE,)):
    return ASSEMBLY.format(f'  <assemblyIdentity type="win32" {identity} version="{version}"/>\n'
                           + "".join(f'  <file name="{f}"/>\n' for f in files))


def dependency_manifest(version, identity=VC90, redirect=None):
    """A manifest that asks for an assembly; with redirect, a publisher
    policy's (oldVersion, newVersion)."""
    binding = f'      <bindingRedirect oldVersion="{redirect[0]}" newVersion="{redirect[1]}"/>\n' if redirect else ""
    asked = "" if redirect else f' version="{version}"'
    own = f'  <assemblyIdentity type="win32-policy" name="policy.9.0.Microsoft.VC90.CRT" version="{version}"/>\n' \
        if redirect else ""
    return ASSEMBLY.format(own + f'  <dependency>\n    <dependentAssembly>\n      <assemblyIdentity type="win32" '
                           f'{identity}{asked}/>\n{binding}    </dependentAssembly>\n  </dependency>\n')


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
    wine: object = None     # where Wine differs from Windows: what Wine does, or {Wine's major version, "" for any
                            # other, or "wow64" for Wine's WoW64 mode: that, None where it agrees} ...
    why: str = None         # ... and why
    x64: bool = False       # the program is the 64-bit twin of test.exe, not test.exe

    @property
    def status(self):
        return 0 if self.verdict == "starts" else 1

    def options(self):
        """The case's options: Wine's DLL folder where it names no other
        system, as the case's verdicts are those of a Windows whose DLLs are
        Wine's."""
        return (["--system", self.system() if self.system else "wine"] + [a for p in self.path for a in ("--path", p)]
                + (["--known-dlls", self.known_dlls] if self.known_dlls else []))

    def wine_differs(self, major, wow64=False):
        """What Wine of that major version (in its WoW64 mode, where wow64)
        does where it differs from Windows, or None."""
        if not isinstance(self.wine, dict):
            return self.wine
        if wow64 and "wow64" in self.wine:
            return self.wine["wow64"]
        return self.wine.get(major, self.wine.get(""))

    def wine_can_show(self):
        """Wine always takes its own DLLs and its own known DLLs; PATH it
        has, as WINEPATH."""
        return self.system is None and self.known_dlls is None

    def place(self, exe, folder):
        """test.exe and the case's files in folder (a file's name may hold a
        subfolder); the copy of test.exe."""
        os.makedirs(folder)
        for source, target in self.files:
            os.makedirs(os.path.dirname(os.path.join(folder, target)), exist_ok=True)
            shutil.copy(source, os.path.join(folder, target))
        return shutil.copy(exe, folder)

    def expected(self, folder):
        """The verdict and the lines, with the case's folder in them."""
        return self.verdict.replace(CASE, folder), [line.replace(CASE, folder) for line in self.lines]


def verdict_of(*args):
    """scripts/loadcheck's status, standard output and standard error for
    those arguments, from its entry point in this process: the system
    folders' DLLs are read once for all the cases, not once a case (in the
    emulated machine a read of them all takes seconds)."""
    with contextlib.redirect_stdout(io.StringIO()) as out, contextlib.redirect_stderr(io.StringIO()) as err:
        status = cli.main(list(args))
    return status, out.getvalue(), err.getvalue()


def loadcheck(*args):
    """scripts/loadcheck's status, standard output and standard error."""
    r = subprocess.run([os.path.join(P.source, "scripts", "loadcheck"), *args], capture_output=True, text=True,
                       timeout=120)
    return r.returncode, r.stdout, r.stderr


def written(path, text, encoding="utf-8"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding=encoding) as f:
        f.write(text)
    return path


def make_windows(path, wine, assemblies=(), policies=()):
    """A Windows folder as Windows has it: System32 (links to Wine's DLLs)
    without the Visual C++ runtimes, which live in WinSxS: there the VC90
    assemblies of the versions given, each holding Wine's msvcr90.dll, and
    the publisher policies given as (version, oldVersion, newVersion)."""
    folder_of_links(os.path.join(path, "System32"), wine, {f.lower() for f in os.listdir(wine) if VC_RUNTIMES.match(f)})
    winsxs = os.path.join(path, "WinSxS")
    for version in assemblies:
        name = f"x86_microsoft.vc90.crt_1fc8b3b9a1e18e3b_{version}_none_e163563597edeada"
        written(os.path.join(winsxs, "Manifests", name + ".manifest"), assembly_manifest(version))
        os.makedirs(os.path.join(winsxs, name))
        os.symlink(os.path.join(wine, VC90_FILE), os.path.join(winsxs, name, VC90_FILE))
    for version, old, new in policies:
        written(os.path.join(winsxs, "Manifests", f"x86_policy.9.0.microsoft.vc90.crt_1fc8b3b9a1e18e3b_{version}_"
                             "none_8550c6b5d18a9128.manifest"), dependency_manifest(version, redirect=(old, new)))
    return path


def x64(*fields, **named):
    """A case of the 64-bit twin of test.exe."""
    return Case(*fields, x64=True, **named)


def cases(work, p):
    """The cases, with what they need made in work. Of the paths p (the
    suite's paths.json), dlls/<case>/ holds the DLLs of the suite's cases,
    wine_dlls is Wine's DLL folder, exe test.exe and standin the stand-in;
    dlls64, wine_dlls64, exe64 and standin64 the same for x86-64."""
    dlls, standin_dll, wine, exe, wine64 = p.dlls, p.standin, p.wine_dlls, p.exe, p.wine_dlls64

    def dll(case, name="xiapi32.dll"):
        return os.path.join(dlls, case, name)

    def dll64(case, name="xiapi32.dll"):
        return os.path.join(p.dlls64, case, name)

    # The system folders of other kinds, made only for the cases that use
    # them (in the emulated machine, a folder of links to Wine's DLLs takes
    # seconds).
    def made(name, make):
        path = os.path.join(work, name)

        def folder():
            if not os.path.exists(path):
                make(path)
            return path
        folder.path = path  # where it will be, without making it
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

    def given(path):
        """A system folder there already."""
        def folder():
            return path
        folder.path = path
        return folder

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
    helper = [(dll("mutual", "xihelper.dll"), "xihelper.dll")]
    forward = [(dll("forward", "xitarget.dll"), "xitarget.dll")]
    # Visual C++ 2008's runtime: Windows folders whose WinSxS holds it (the
    # first release, or the service pack and its publisher policies, the
    # highest of which must win), the manifests that ask for it, and its
    # files deployed beside the program as a private assembly.
    windows_vc90, windows_vc90_system = made("windows-vc90", lambda path: make_windows(path, wine, [VC90_RTM]))
    windows_sp1, windows_sp1_system = made("windows-vc90-sp1", lambda path: make_windows(
        path, wine, [VC90_SP1], [("9.0.30729.1", "9.0.20718.0-9.0.30729.1", "9.0.30729.1"),
                                 (VC90_SP1, f"9.0.20718.0-{VC90_SP1}", VC90_SP1)]))
    vc90, vc90_bare = [(dll("vc90"), "xiapi32.dll")], [(dll("vc90-bare"), "xiapi32.dll")]
    rtm_in_winsxs = f"WinSxS/x86_microsoft.vc90.crt_1fc8b3b9a1e18e3b_{VC90_RTM}_none_e163563597edeada/{VC90_FILE}"
    private = [(os.path.join(wine, VC90_FILE), VC90_FILE),
               (written(os.path.join(work, "private", "Microsoft.VC90.CRT.manifest"), assembly_manifest(VC90_RTM),
                        "utf-8-sig"), "Microsoft.VC90.CRT.manifest")]
    app_manifest = [(written(os.path.join(work, "program", "test.exe.manifest"), dependency_manifest(VC90_RTM),
                             "utf-16"), "test.exe.manifest")]
    nowhere_manifest = [(written(os.path.join(work, "nowhere", "test.exe.manifest"), dependency_manifest(
        "1.0.0.0", 'name="Hello.Xiapi32.Nowhere" processorArchitecture="x86" publicKeyToken="0000000000000000"')),
        "test.exe.manifest")]
    broken_manifest = [(written(os.path.join(work, "broken", "test.exe.manifest"),
                                ASSEMBLY.split("\n")[0] + "\n  <dependency>\n"), "test.exe.manifest")]
    vc90_json = {"name": "Microsoft.VC90.CRT", "version": VC90_RTM, "processorArchitecture": "x86",
                 "publicKeyToken": "1fc8b3b9a1e18e3b"}
    _, chained = made("schema-by-importer", lambda path: schema_with(path, wine, {
        "api-ms-win-hello-first-l1-1-0": {"": "xifirst.dll"},
        "api-ms-win-hello-second-l1-1-0": {"": "xinowhere.dll", "xifirst.dll": "xisecond.dll"}}))
    in_prefix = ("Wine's prefix holds a Microsoft.VC90.CRT assembly in its winsxs (9.0.30729.6161, which Wine takes "
                 "for any 9.0 asked for) and msvcr90.dll in its system32; loadcheck's system folder here, Wine's DLL "
                 "folder, has no WinSxS.")
    manifest_ignored = ("Wine starts the program all the same, with a fixme on standard error: it makes no activation "
                        "context from the manifest, and goes on without one; Windows refuses the process.")
    # Windows 10 as it lies on disk (windows_folder.py): its registry's
    # KnownDLLs, or a list that lacks msvcrt.dll (and every DLL that
    # imports it), or one whose ExcludeFromKnownDlls names it; its side-by-
    # side store compressed; a ucrtbase.dll from before powf.
    long_files = {"xilong.dll": dll("longname", "xilong.dll")}
    windows10, windows10_system = made("windows-10", lambda path: windows_folder.make(path, wine, wine64,
                                                                                      files=long_files))
    _, no_msvcrt = made("windows-10-no-msvcrt", lambda path: windows_folder.make(path, wine, wine64, known=["kernel32"]))
    _, excluded = made("windows-10-excluded", lambda path: windows_folder.make(path, wine, wine64,
                                                                               excluded=["MSVCRT.DLL"]))
    _, old_ucrtbase = made("windows-10-old-ucrtbase", lambda path: windows_folder.make(
        path, wine, wine64, system={"ucrtbase.dll": dll("old-ucrtbase", "ucrtbase.dll")}))
    hive_json = {"known_dlls": {"from": "hive", "path": f"{windows10}/System32/config/SYSTEM"}}
    planted_msvcrt = standin + [(dll("planted", "msvcrt.dll"), "msvcrt.dll")]
    planted_used = NO_ENTRY + first_import(exe, "msvcrt.dll") + " in msvcrt.dll"
    comctl6, long_folder, vc90_sp1 = windows_folder.COMMON_CONTROLS, windows_folder.LONG_NAME, windows_folder.VC90
    long_name = "Hello.Xiapi32.SideBySide.An.Assembly.Of.A.Long.Name"
    fixed = [(relocs_stripped(dll("fixed"), os.path.join(work, "fixed-xiapi32.dll")), "xiapi32.dll")]
    id2_ignored = ("Wine starts the program all the same: it makes no activation context for a DLL's manifest that "
                   "asks for an assembly it cannot find, and goes on without one; Windows refuses the process.")
    # The 64-bit twin: its stand-in elsewhere (PATH), Windows 10's amd64
    # common controls, and the stand-ins of each machine where the other's
    # process looks first.
    elsewhere64 = os.path.join(work, "elsewhere64")
    os.makedirs(elsewhere64)
    shutil.copy(p.standin64, elsewhere64)
    standin64, standin32 = [(p.standin64, "xiapi32.dll")], [(standin_dll, "xiapi32.dll")]
    kernel32_64 = f"KERNEL32.dll: {wine64}/kernel32.dll (known DLL)"
    comctl6_64 = windows_folder.COMMON_CONTROLS_64
    fixed64 = [(relocs_stripped(dll64("fixed"), os.path.join(work, "fixed-xiapi32-64.dll")), "xiapi32.dll"),
               (relocs_stripped(dll64("fixed", "xifixed.dll"), os.path.join(work, "xifixed-64.dll")), "xifixed.dll")]
    passed_over = "{}/xiapi32.dll passed over: {}, the process is {}"

    return [
        Case("the stand-in beside it", standin, "starts",
             ["    AcquireSRWLockExclusive: forwarded to NTDLL.RtlAcquireSRWLockExclusive", "    xiStopAcquisition: bound",
              f"KERNEL32.dll: {wine}/kernel32.dll (known DLL)"]),
        Case("xiapi32.dll absent", [], NOT_FOUND + "xiapi32.dll",
             json={"verdict": "refused", "status": "STATUS_DLL_NOT_FOUND", "code": "0xC0000135", "dll": "xiapi32.dll",
                   "function": None, "known_dlls": {"from": "built-in", "path": None}}),
        Case("xiapi32.dll without the function", [(dll("lacking"), "xiapi32.dll")],
             NO_ENTRY + "xiStopAcquisition in xiapi32.dll", wine="starts", why=stub),
        Case("xiapi32.dll exporting it by ordinal alone", [(dll("ordinal"), "xiapi32.dll")],
             NO_ENTRY + "xiStopAcquisition in xiapi32.dll", wine="starts",
             why="A function imported by name binds only to an exported name; this DLL exports it by ordinal "
                 "alone. " + stub),
        Case("xiapi32.dll of another machine", [(foreign, "xiapi32.dll")],
             BAD_FORMAT + f"xiapi32.dll ({CASE}/xiapi32.dll, x64; the process is x86)",
             json={"machine": "x86", "system": wine, "file": "xiapi32.dll"}),
        Case("KERNEL32.dll from before SRW locks", standin, NO_ENTRY + "AcquireSRWLockExclusive in KERNEL32.dll",
             missing=["AcquireSRWLockExclusive"], system=old_system),
        Case("a KERNEL32.dll planted beside it", standin + planted_kernel32, "starts",
             ["KERNEL32.dll beside the program is not used: a known DLL", f"KERNEL32.dll: {wine}/kernel32.dll (known DLL)"]),
        Case("a msvcrt.dll planted beside it", standin + [(dll("planted", "msvcrt.dll"), "msvcrt.dll")], "starts",
             ["msvcrt.dll beside the program is not used: a known DLL"]),
        Case("the planted KERNEL32.dll, when ntdll.dll is the only known DLL", standin + planted_kernel32,
             NO_ENTRY + "AcquireSRWLockExclusive in KERNEL32.dll", known_dlls=only_ntdll,
             json={"known_dlls": {"from": "--known-dlls", "path": only_ntdll}, "file": "KERNEL32.dll"}),
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
             ["  nowhere.dll: not found (needed by xiapi32.dll): the process starts, and its first call into it "
              "fails (0xC06D007E)"]),
        Case("xiapi32.dll whose forwarders go round",
             [(dll("loop"), "xiapi32.dll"), (dll("loop", "xiloop.dll"), "xiloop.dll")],
             NO_ENTRY + "xiStopAcquisition in xiapi32.dll (its forwarders go round: xiapi32.dll!xiStopAcquisition "
                        "-> xiloop.dll!xiLoop -> xiapi32.dll!xiStopAcquisition)"),
        Case("a 64-bit Windows folder", standin, "starts",
             [f"KERNEL32.dll: {windows64}/syswow64/kernel32.dll (known DLL)"], system=windows64_system),
        Case("a 32-bit Windows folder", standin, "starts",
             [f"KERNEL32.dll: {windows32}/SYSTEM32/kernel32.dll (known DLL)"], system=windows32_system),
        Case("an API set whose host the schema picks for the importer, one reached through an API set itself",
             [(dll("apiset-chain", f), f) for f in ("xiapi32.dll", "xifirst.dll", "xisecond.dll")], "starts",
             ["  api-ms-win-hello-second-l1-1-0.dll -> xisecond.dll (for xifirst.dll)"], system=chained),
        # Import names as vendors' linkers write them.
        Case("xiapi32.dll importing from xihelper, a name without an extension", [(dll("noext"), "xiapi32.dll")] + helper,
             "starts", [f"  xihelper: {CASE}/xihelper.dll (application folder; needed by xiapi32.dll)"]),
        Case("xiapi32.dll importing from xihelper. (a trailing dot: a file without an extension)",
             [(dll("dotted"), "xiapi32.dll")] + helper, NOT_FOUND + "xihelper."),
        Case("xiapi32.dll importing from xihelper.dll with trailing spaces", [(dll("spaced"), "xiapi32.dll")] + helper,
             "starts"),
        Case("xiapi32.dll importing from an API set that no schema knows, and a file of that name beside it",
             [(dll("unknown-apiset"), "xiapi32.dll"), (dll("apiset-local", "api-ms-win-hello-xiapi32-l1-1-0.dll"),
                                                       "api-ms-win-hello-xiapi32-l1-1-0.dll")], "starts",
             json={"modules": {"api-ms-win-hello-xiapi32-l1-1-0.dll": {"how": "application folder",
                                                                      "api_set": ABSENT}}}),
        Case("xiapi32.dll importing ordinal 999 of ws2_32.dll, which has no such ordinal",
             [(dll("ws2-ordinal"), "xiapi32.dll")], NO_ORDINAL + "999 in ws2_32.dll", wine="starts",
             why="Wine binds an ordinal that the DLL does not export to a stub, as it does a name (No implementation "
                 "for ws2_32.dll.999); Windows refuses the process."),
        Case("xiapi32.dll forwarding to xitarget.#2, an ordinal", [(dll("forward-decimal"), "xiapi32.dll")] + forward,
             "starts", ["    xiStopAcquisition: forwarded to xitarget.#2"],
             json={"modules": {"xiapi32.dll": {"functions": [{"name": "xiStopAcquisition", "result":
                                                              "forwarded to xitarget.#2", "bound_to": "xitarget.dll!2"}]}}}),
        Case("xiapi32.dll forwarding to xitarget.#0x2, the ordinal in hexadecimal",
             [(dll("forward-hex"), "xiapi32.dll")] + forward, "starts",
             ["    xiStopAcquisition: forwarded to xitarget.#0x2"]),
        # Side-by-side assemblies: Visual C++ 2008's runtime.
        Case("a Visual C++ 2008 xiapi32.dll, its runtime's assembly in WinSxS", vc90, "starts",
             [f"  {VC90_FILE}: {windows_vc90}/{rtm_in_winsxs} (side by side: Microsoft.VC90.CRT {VC90_RTM}, x86, "
              "1fc8b3b9a1e18e3b; WinSxS; needed by xiapi32.dll)"], system=windows_vc90_system,
             json={"winsxs": f"{windows_vc90}/WinSxS", "modules": {VC90_FILE: {
                 "how": "side by side", "path": f"{windows_vc90}/{rtm_in_winsxs}",
                 "assembly": dict(vc90_json, manifest=f"{windows_vc90}/WinSxS/Manifests/" + rtm_in_winsxs.split("/")[1]
                                  + ".manifest", identity_from="manifest")}}}),
        Case("a Visual C++ 2008 xiapi32.dll without its manifest, its runtime's assembly in WinSxS", vc90_bare,
             NOT_FOUND + VC90_FILE, system=windows_vc90_system),
        Case("a Visual C++ 2008 xiapi32.dll, its runtime's assembly installed nowhere", vc90,
             NO_ACTCTX + f"Microsoft.VC90.CRT {VC90_RTM} (asked for by xiapi32.dll)", json={"winsxs": None},
             wine="starts", why=in_prefix),
        Case("a Visual C++ 2008 xiapi32.dll, the runtime a private assembly beside the program", vc90 + private,
             "starts", [f"  {VC90_FILE}: {CASE}/{VC90_FILE} (side by side: Microsoft.VC90.CRT {VC90_RTM}, x86, "
                        "1fc8b3b9a1e18e3b; private; needed by xiapi32.dll)"]),
        Case("a Visual C++ 2008 xiapi32.dll, the runtime a private assembly in a folder of its own", vc90 + [
            (source, f"Microsoft.VC90.CRT/{name}") for source, name in private], "starts",
             [f"  {VC90_FILE}: {CASE}/Microsoft.VC90.CRT/{VC90_FILE} (side by side: Microsoft.VC90.CRT {VC90_RTM}, "
              "x86, 1fc8b3b9a1e18e3b; private; needed by xiapi32.dll)"]),
        Case("a Visual C++ 2008 xiapi32.dll, the runtime's service pack and its publisher policy in WinSxS", vc90,
             "starts", [f"  {VC90_FILE}: {windows_sp1}/WinSxS/x86_microsoft.vc90.crt_1fc8b3b9a1e18e3b_{VC90_SP1}_none_"
                        f"e163563597edeada/{VC90_FILE} (side by side: Microsoft.VC90.CRT {VC90_SP1}, x86, "
                        "1fc8b3b9a1e18e3b; WinSxS; needed by xiapi32.dll)"], system=windows_sp1_system),
        Case("the program's manifest, in UTF-16, bringing the runtime to an xiapi32.dll without its own",
             vc90_bare + app_manifest, "starts", [f"  {VC90_FILE}: {windows_vc90}/{rtm_in_winsxs} (side by side: "
                                                  f"Microsoft.VC90.CRT {VC90_RTM}, x86, 1fc8b3b9a1e18e3b; WinSxS; "
                                                  "needed by xiapi32.dll)"], system=windows_vc90_system),
        Case("the program's manifest asking for an assembly installed nowhere", standin + nowhere_manifest,
             NO_ACTCTX + "Hello.Xiapi32.Nowhere 1.0.0.0 (asked for by test.exe)", wine="starts", why=manifest_ignored),
        Case("the program's manifest, which does not parse", standin + broken_manifest,
             NO_ACTCTX + f"{CASE}/test.exe.manifest: no element found: line 2, column 14", wine="starts",
             why=manifest_ignored),
        # A DLL's own manifest is its resource 2 alone, and none at all where
        # the DLL is marked IMAGE_DLLCHARACTERISTICS_NO_ISOLATION.
        Case("a DLL whose only manifest is resource 1, asking for an assembly installed nowhere",
             [(dll("manifest-id1"), "xiapi32.dll")], "starts"),
        Case("a DLL whose manifest, resource 2, asks for an assembly installed nowhere",
             [(dll("manifest-id2"), "xiapi32.dll")], NO_ACTCTX + "Hello.Xiapi32.Nowhere 1.0.0.0 (asked for by "
             "xiapi32.dll)", wine="starts", why=id2_ignored),
        Case("the same DLL marked IMAGE_DLLCHARACTERISTICS_NO_ISOLATION", [(dll("no-isolation"), "xiapi32.dll")],
             "starts"),
        # Images that cannot move.
        Case("xiapi32.dll and the xifixed.dll it imports, both without relocations at 0x10000000",
             fixed + [(relocs_stripped(dll("fixed", "xifixed.dll"), os.path.join(work, "xifixed.dll")), "xifixed.dll")],
             CONFLICT + "xifixed.dll at 0x10000000 overlaps xiapi32.dll",
             json={"dll": "xifixed.dll", "file": "xifixed.dll", "code": "0xC0000018"}, wine={"10": "starts"},
             why="Wine 10 maps a DLL marked IMAGE_FILE_RELOCS_STRIPPED elsewhere when its base is taken, and the "
                 "program starts; Wine 8, like Windows, refuses it (error c0000018)."),
        Case("xiapi32.dll and xifixed.dll without relocations, at 0x10000000 and 0x20000000",
             fixed + [(dll("fixed-apart", "xifixed.dll"), "xifixed.dll")], "starts"),
        # Windows 10 as it lies on disk.
        Case("a DLL asking for the common controls 6, against Windows 10", [(dll("comctl6"), "xiapi32.dll")],
             "starts", [f"  comctl32.dll: {windows10}/WinSxS/{comctl6}/comctl32.dll (side by side: Microsoft.Windows."
                        "Common-Controls 6.0.19041.1110, x86, 6595b64144ccf1df; WinSxS, identity from the file name; "
                        "needed by xiapi32.dll)"], system=windows10_system,
             json=dict(hive_json, modules={"comctl32.dll": {"assembly": {
                 "name": "Microsoft.Windows.Common-Controls", "version": "6.0.19041.1110", "processorArchitecture": "x86",
                 "publicKeyToken": "6595b64144ccf1df", "manifest": f"{windows10}/WinSxS/Manifests/{comctl6}.manifest",
                 "identity_from": "file name"}}})),
        Case("a DLL asking for an assembly whose name is longer than 40 characters, against Windows 10",
             [(dll("longname"), "xiapi32.dll")], "starts",
             [f"  xilong.dll: {windows10}/WinSxS/{long_folder}/xilong.dll (side by side: {long_name} 1.0.0.0, x86, "
              "0123456789abcdef; WinSxS, identity from the file name; needed by xiapi32.dll)"], system=windows10_system),
        Case("a Visual C++ 2008 xiapi32.dll against Windows 10, its runtime and publisher policy compressed", vc90,
             "starts", [f"  {VC90_FILE}: {windows10}/WinSxS/{vc90_sp1}/{VC90_FILE} (side by side: Microsoft.VC90.CRT "
                        f"{VC90_SP1}, x86, 1fc8b3b9a1e18e3b; WinSxS, identity from the file name; needed by "
                        "xiapi32.dll)"], system=windows10_system),
        Case("a msvcrt.dll planted beside it, against Windows 10", planted_msvcrt, "starts",
             ["msvcrt.dll beside the program is not used: a known DLL"], system=windows10_system, json=hive_json),
        Case("a msvcrt.dll planted beside it, against a Windows 10 whose KnownDLLs lack it", planted_msvcrt,
             planted_used, [f"msvcrt.dll: {CASE}/msvcrt.dll (application folder)"], system=no_msvcrt),
        Case("a msvcrt.dll planted beside it, against a Windows 10 whose ExcludeFromKnownDlls names it",
             planted_msvcrt, planted_used, system=excluded),
        Case("xiapi32.dll importing powf through the C runtime's API sets, from a ucrtbase.dll without it",
             [(dll("crt"), "xiapi32.dll")], NO_ENTRY + "powf in api-ms-win-crt-math-l1-1-0.dll (ucrtbase.dll)",
             system=old_ucrtbase, json={"dll": "api-ms-win-crt-math-l1-1-0.dll", "function": "powf",
                                        "file": "ucrtbase.dll"}),
        Case("a DLL asking for an assembly whose culture is longer than 8 characters, against Windows 10",
             [(dll("culture"), "xiapi32.dll")], "starts",
             [f"  xilong.dll: {windows10}/WinSxS/{windows_folder.LONG_CULTURE}/xilong.dll (side by side: "
              "Hello.Xiapi32.Resources 1.0.0.0, x86, 0123456789abcdef; WinSxS, identity from the file name; needed by "
              "xiapi32.dll)"], system=windows10_system),
        Case("the 64-bit stand-in beside it, the 32-bit one on PATH", standin64, "starts",
             [f"xiapi32.dll: {elsewhere}/xiapi32.dll (PATH)", passed_over.format(CASE, "x64", "x86")], path=[elsewhere],
             wine={"": "does not start", "wow64": None},
             why="Wine's 32-bit loader stops at the 64-bit DLL it finds first (error c000035a, STATUS_IMAGE_WIN_64), "
                 "where its 64-bit loader passes over a 32-bit one; in Wine's WoW64 mode, where that loader runs 32-bit "
                 "programs too, the 64-bit DLL is passed over as Windows does."),
        # The 64-bit twin of test.exe, an x64 process: Wine's 64-bit DLLs,
        # or the System32 of Windows 10, and DLLs of the right machine only.
        x64("the 64-bit twin, its stand-in beside it", standin64, "starts", [kernel32_64, "    xiStopAcquisition: bound"],
            json={"machine": "x64", "system": wine64, "modules": {"kernel32.dll": {"path": f"{wine64}/kernel32.dll"}}}),
        x64("the 64-bit twin, xiapi32.dll absent", [], NOT_FOUND + "xiapi32.dll"),
        x64("the 64-bit twin, xiapi32.dll without the function", [(dll64("lacking"), "xiapi32.dll")],
            NO_ENTRY + "xiStopAcquisition in xiapi32.dll", wine="starts", why=stub),
        x64("the 64-bit twin, xiapi32.dll importing ordinal 999 of ws2_32.dll", [(dll64("ws2-ordinal"), "xiapi32.dll")],
            NO_ORDINAL + "999 in ws2_32.dll", wine="starts", why="Wine binds a missing ordinal to a stub, as it does "
            "for 32-bit programs; Windows refuses the process."),
        x64("the 64-bit twin, xiapi32.dll forwarding to xitarget.#2",
            [(dll64("forward-decimal"), "xiapi32.dll"), (dll64("forward", "xitarget.dll"), "xitarget.dll")], "starts",
            ["    xiStopAcquisition: forwarded to xitarget.#2"]),
        x64("the 64-bit twin, xiapi32.dll importing from an API set", [(dll64("apiset"), "xiapi32.dll")], "starts",
            [f"  {SYNCH} -> kernelbase.dll (for xiapi32.dll)"]),
        x64("the 64-bit twin, a KERNEL32.dll planted beside it",
            standin64 + [(dll64("planted", "KERNEL32.dll"), "KERNEL32.dll")], "starts",
            ["KERNEL32.dll beside the program is not used: a known DLL", kernel32_64]),
        x64("the 64-bit twin, xiapi32.dll and xifixed.dll without relocations at 0x10000000", fixed64,
            CONFLICT + "xifixed.dll at 0x10000000 overlaps xiapi32.dll", wine={"10": "starts"},
            why="Wine 10 maps a DLL marked IMAGE_FILE_RELOCS_STRIPPED elsewhere when its base is taken."),
        x64("the 64-bit twin, the 32-bit stand-in beside it, the 64-bit one on PATH", standin32, "starts",
            [f"xiapi32.dll: {elsewhere64}/xiapi32.dll (PATH)", passed_over.format(CASE, "x86", "x64")],
            path=[elsewhere64]),
        x64("the 64-bit twin, the 32-bit stand-in beside it and no 64-bit one", standin32,
            BAD_FORMAT + f"xiapi32.dll ({CASE}/xiapi32.dll, x86; the process is x64)",
            json={"dll": "xiapi32.dll", "file": "xiapi32.dll", "code": "0xC000007B"}),
        x64("the 64-bit twin against Wine's 32-bit DLL folder", standin64,
            BAD_FORMAT + f"KERNEL32.dll ({wine}/kernel32.dll, x86; the process is x64: a known DLL of another machine: "
            "the system folder given is not one for x64 processes)", system=given(wine)),
        x64("the 64-bit twin against Windows 10", standin64, "starts",
            [f"KERNEL32.dll: {windows10}/System32/kernel32.dll (known DLL)"], system=windows10_system,
            json=dict(hive_json, machine="x64", system=f"{windows10}/System32")),
        x64("the 64-bit twin, a DLL asking for the common controls 6, against Windows 10", [(dll64("comctl6"), "xiapi32.dll")],
            "starts", [f"  comctl32.dll: {windows10}/WinSxS/{comctl6_64}/comctl32.dll (side by side: Microsoft.Windows."
                       "Common-Controls 6.0.19041.1110, amd64, 6595b64144ccf1df; WinSxS, identity from the file name; "
                       "needed by xiapi32.dll)"], system=windows10_system),
        x64("the 64-bit twin, a DLL asking for the x86 Visual C++ 2008 runtime, against Windows 10",
            [(dll64("vc90"), "xiapi32.dll")], BAD_FORMAT + f"{VC90_FILE} ({windows10}/WinSxS/{vc90_sp1}/{VC90_FILE}, x86; "
            f"the process is x64: a file of Microsoft.VC90.CRT {VC90_SP1}, x86)", system=windows10_system),
    ]
