"""The Windows releases built into scripts/loadcheck: for test.exe, its
64-bit twin and xiapi32.dll as vendors build it, which releases start the
program and, of those that do not, why (the line before the verdict), as
the releases' own export tables and API set schemas say; where the data
cannot tell, the verdict is undecided (status 3), never a refusal. Run by
loader_verdict.py.
"""
import json
import os
import shutil

import pefile

import altered
from harness import P, ok, work
from loader_cases import verdict_of
from loadcheck.status import BadInput
from loadcheck.windows.tables import Tables

ALL = "XP SP2, Server 2003, Vista SP2, 7 SP1, 8.1, 10 2004, 11 24H2"
FROM_VISTA = "starts on Vista SP2, 7 SP1, 8.1, 10 2004, 11 24H2 (from Vista SP2 on)"
SRW = "refused on XP SP2, Server 2003: KERNEL32.dll!AcquireSRWLockExclusive"


def subsystem_version(image):
    header = pefile.PE(image, fast_load=True).OPTIONAL_HEADER
    return header.MajorSubsystemVersion, header.MinorSubsystemVersion


# CreateProcess refuses an image whose subsystem version is above the
# release's own before the loader runs: GNU ld writes 4.0 for x86, lld 6.0
# (the clang preset's test.exe), which XP and Server 2003 refuse for that.
# The x64 linkers write 5.2 at least, which XP's 5.1 refuses.
def old_releases(image):
    version = subsystem_version(image)
    if version > (5, 2):
        return "refused on XP SP2, Server 2003: STATUS_INVALID_IMAGE_FORMAT test.exe"
    if version > (5, 1):
        return "refused on XP SP2: STATUS_INVALID_IMAGE_FORMAT test.exe; refused on Server 2003: " \
               "KERNEL32.dll!AcquireSRWLockExclusive"
    return SRW


def xp_srw_and(*rest, image=None):
    """The line of a program that starts from Vista on at best: refused on
    XP and Server 2003 as test.exe is (or image, by its subsystem version)."""
    return "Windows: " + "; ".join(rest[:1] + (old_releases(image or P.exe),) + rest[1:])


def rows():
    """(what the row shows, the program (an attribute of the paths, or a
    copy of test.exe made by altered.py), the case folder of the suite's
    DLLs put beside it (or "standin"), the releases line, the exit status of
    the default verdict, Windows 11's). Made when the paths are known."""
    return [
        ("test.exe with the stand-in", "exe", "standin", xp_srw_and(FROM_VISTA), 0),
        ("its 64-bit twin with its stand-in", "exe64", "standin64", xp_srw_and(FROM_VISTA, image=P.exe64), 0),
        ("without the stand-in", "exe", None, "Windows: starts on none; " + old_releases(P.exe) +
         "; refused on Vista SP2, 7 SP1, 8.1, 10 2004, 11 24H2: STATUS_DLL_NOT_FOUND xiapi32.dll", 1),
        ("Windows 7's GetActiveProcessorCount", "exe", "release-GetActiveProcessorCount", xp_srw_and(
            "starts on 7 SP1, 8.1, 10 2004, 11 24H2 (from 7 SP1 on)",
            "refused on Vista SP2: KERNEL32.dll!GetActiveProcessorCount"), 0),
        ("Windows 8's GetSystemTimePreciseAsFileTime", "exe", "release-GetSystemTimePreciseAsFileTime", xp_srw_and(
            "starts on 8.1, 10 2004, 11 24H2 (from 8.1 on)",
            "refused on Vista SP2, 7 SP1: KERNEL32.dll!GetSystemTimePreciseAsFileTime"), 0),
        ("Windows 10 1607's SetThreadDescription", "exe", "release-SetThreadDescription", xp_srw_and(
            "starts on 10 2004, 11 24H2 (from 10 2004 on)",
            "refused on Vista SP2, 7 SP1, 8.1: KERNEL32.dll!SetThreadDescription"), 0),
        ("Windows 11's GetTempPath2W", "exe", "release-GetTempPath2W", xp_srw_and(
            "starts on 11 24H2", "refused on Vista SP2, 7 SP1, 8.1, 10 2004: KERNEL32.dll!GetTempPath2W"), 0),
        ("an API set that came with Windows 8", "exe", "apiset", xp_srw_and(
            "starts on 8.1, 10 2004, 11 24H2 (from 8.1 on)",
            "refused on Vista SP2, 7 SP1: STATUS_DLL_NOT_FOUND api-ms-win-core-synch-l1-2-0.dll"), 0),
        ("the Universal CRT, an update before Windows 10", "exe", "crt", xp_srw_and(
            "starts on 10 2004, 11 24H2 (from 10 2004 on)",
            "refused on Vista SP2, 7 SP1, 8.1: STATUS_DLL_NOT_FOUND api-ms-win-crt-convert-l1-1-0.dll"), 0),
        ("the common controls 6 by manifest, part of every Windows", "exe", "comctl6", xp_srw_and(FROM_VISTA), 0),
        ("the Visual C++ 2008 runtime, part of none", "exe", "vc90", "Windows: starts on none; " + old_releases(P.exe) +
         "; refused on Vista SP2, 7 SP1, 8.1, 10 2004, 11 24H2: STATUS_SXS_CANT_GEN_ACTCTX xiapi32.dll", 1),
        ("zlib1.dll beside it, which no Windows has", "exe", "zlib", xp_srw_and(FROM_VISTA), 0),
        ("ProcessPrng, of a DLL the data has no table of", "exe", "prng", "Windows: starts on none; "
         + old_releases(P.exe)
         + "; undecided on Vista SP2, 7 SP1: ProcessPrng in bcryptprimitives.dll: the release's data has no word of "
           "it; that of other releases has; undecided on 8.1, 10 2004, 11 24H2: ProcessPrng in bcryptprimitives.dll: "
           "the release has it (its API set schema or forwarders name it); the data has no table of its exports", 3),
        ("an export of x86 builds only, with no x86 table of its DLL", "exe", "setjmp", "Windows: starts on none; "
         + old_releases(P.exe) + "; refused on Vista SP2, 7 SP1, 8.1: STATUS_DLL_NOT_FOUND "
         "api-ms-win-crt-private-l1-1-0.dll; undecided on 10 2004, 11 24H2: _setjmp3 in "
         "api-ms-win-crt-private-l1-1-0.dll (ucrtbase.dll): the data has no x86 table of ucrtbase.dll, and the x64 "
         "one standing in lacks it", 3),
        ("subsystem version 4.0, as GNU ld writes it", ("subsystem", 4, 0), "standin", "Windows: " + FROM_VISTA
         + "; " + SRW, 0),
        ("subsystem version 6.0, as lld writes it", ("subsystem", 6, 0), "standin", "Windows: " + FROM_VISTA
         + "; refused on XP SP2, Server 2003: STATUS_INVALID_IMAGE_FORMAT test.exe", 0),
        ("subsystem version 10.0", ("subsystem", 10, 0), "standin", "Windows: starts on 10 2004, 11 24H2 (from 10 2004 "
         "on); refused on XP SP2, Server 2003, Vista SP2, 7 SP1, 8.1: STATUS_INVALID_IMAGE_FORMAT test.exe", 0),
        ("subsystem version 3.0, below any", ("subsystem", 3, 0), "standin", "Windows: starts on none; refused on "
         f"{ALL}: STATUS_INVALID_IMAGE_FORMAT test.exe", 1),
    ]


def program(row, folder):
    kind = row[1]
    if isinstance(kind, tuple):
        return altered.with_subsystem_version(P.exe, os.path.join(folder, "test.exe"), *kind[1:])
    return shutil.copy(getattr(P, kind), folder)


def releases():
    for n, row in enumerate(rows()):
        name, _, beside, line, status = row
        folder = work(f"release{n}")
        exe = program(row, folder)
        if beside in ("standin", "standin64"):
            shutil.copy(getattr(P, beside), os.path.join(folder, "xiapi32.dll"))
        elif beside:
            dlls = P.dlls64 if row[1] == "exe64" else P.dlls
            for f in os.listdir(os.path.join(dlls, beside)):
                shutil.copy(os.path.join(dlls, beside, f), folder)
        got, out, err = verdict_of(exe)
        lines = out.splitlines()
        ok(got == status and line in lines and lines.index(line) == len(lines) - 2,
           f"{name}: status {got}, expected {status}; expected {line!r} before the verdict, got\n{out[-1500:]}{err}")
        got, out, err = verdict_of(exe, "--json")
        verdicts = {r["release"]: r["verdict"] for r in json.loads(out).get("releases") or []} if out else {}
        ok(len(verdicts) == 7 and all(v in ("starts", "refused", "undecided") for v in verdicts.values()),
           f"{name}: --json: each release's verdict: {verdicts}")
    xp()
    bad_data()


def xp():
    """What Windows XP makes of test.exe with the stand-in, by each name for
    the release: refused, naming the function its KERNEL32.dll lacks, where
    its subsystem version lets the loader run (GNU ld's 4.0 does; a copy
    with lld's 6.0 made 4.0 shows the same)."""
    folder = work("xp")
    exe = P.exe if subsystem_version(P.exe) <= (5, 1) else \
        altered.with_subsystem_version(P.exe, os.path.join(folder, "test.exe"), 4, 0)
    exe = exe if os.path.dirname(exe) == folder else shutil.copy(exe, folder)
    shutil.copy(P.standin, os.path.join(folder, "xiapi32.dll"))
    for name in ("xp", "winxp", "Windows XP"):
        status, out, err = verdict_of(exe, "--windows", name)
        ok(status == 1 and out.splitlines()[-1] == "refused: STATUS_ENTRYPOINT_NOT_FOUND (0xC0000139): "
           "AcquireSRWLockExclusive in KERNEL32.dll",
           f"--windows {name}: status {status}, {out.splitlines()[-1:]} {err}")


def bad_data():
    """A damaged data file is bad input, one line, never a traceback."""
    folder = work("bad-data")
    for name, content in (("not a zip", b"not a zip\n"), ("empty", b"")):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(content)
        try:
            Tables(path)
            ok(False, f"a damaged data file ({name}) was read")
        except BadInput as e:
            ok("is damaged" in str(e) and "\n" not in str(e), f"a damaged data file ({name}): {e}")
