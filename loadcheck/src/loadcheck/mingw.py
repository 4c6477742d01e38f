"""The runtime DLLs of a MinGW-w64 toolchain (--mingw): GCC's (libgcc_s_*,
libstdc++-6, libgomp-1, ...), LLVM's (libc++, libunwind) and mingw-w64's
(libwinpthread-1), where the compiler says they are: the folders of its
library search path (-print-search-dirs) that hold DLLs, the folder of
each runtime DLL it names (-print-file-name), and llvm-mingw's
<prefix>/<triple>/bin. --mingw=COMPILER asks that compiler (CMake passes
its own); plain --mingw the GCC installed for the program's machine, whose
Debian packages come in two thread variants, posix and win32, each with
DLLs of its own: the default alternative first, then the other, never a
mix of the two."""
import functools
import os
import shlex
import shutil
import subprocess
from typing import NamedTuple

from .status import BadInput

# The runtime DLLs a compiler may name with -print-file-name.
RUNTIME = ("libstdc++-6.dll", "libgcc_s_seh-1.dll", "libgcc_s_dw2-1.dll", "libgcc_s_sjlj-1.dll",
           "libwinpthread-1.dll", "libc++.dll", "libunwind.dll", "libgomp-1.dll", "libssp-0.dll",
           "libatomic-1.dll", "libquadmath-0.dll", "libgfortran-5.dll", "libomp.dll")
# The first part of the triples of each machine's compilers.
CPUS = {"x86": ("i686", "i586", "i486", "i386"), "x64": ("x86_64", "amd64")}


class Variant(NamedTuple):
    name: str       # posix, win32, or the compiler's own name
    compiler: str
    folders: tuple  # the folders that hold its runtime DLLs, in its order


def ask(compiler, *args):
    """What the compiler prints for args; compiler may carry options of its
    own ("clang++ --target=x86_64-w64-mingw32")."""
    try:
        r = subprocess.run([*shlex.split(compiler), *args], capture_output=True, text=True, timeout=60)
    except OSError as e:
        raise BadInput(f"--mingw={compiler}: cannot run it: {e.strerror or e}")
    return r.stdout.strip() if r.returncode == 0 else ""


def has_dlls(folder):
    return os.path.isdir(folder) and any(f.lower().endswith(".dll") for f in os.listdir(folder))


def dll_folders(compiler):
    """The folders where the compiler keeps runtime DLLs, in its order."""
    line = next((line for line in ask(compiler, "-print-search-dirs").splitlines() if line.startswith("libraries:")),
                "")
    found = [f for f in line.partition(":")[2].lstrip(" =").split(os.pathsep) if f]
    # Where the search path holds none, the compiler may still name them
    # (a toolchain that keeps them with its programs).
    if not any(has_dlls(f) for f in found):
        for dll in RUNTIME:
            named = ask(compiler, f"-print-file-name={dll}")
            if os.path.isabs(named) and os.path.isfile(named):
                found.append(os.path.dirname(named))
    # llvm-mingw keeps them in <prefix>/<triple>/bin, the triple as its
    # drivers are named (x86_64-w64-mingw32-clang++), which -dumpmachine
    # may spell otherwise (x86_64-w64-windows-gnu).
    triple = ask(compiler, "-dumpmachine")
    program = shlex.split(compiler)[0]
    prefix = os.path.dirname(os.path.dirname(os.path.realpath(shutil.which(program) or program)))
    named = os.path.basename(program).rsplit("-", 1)[0]
    for t in {triple, named, triple.split("-")[0] + "-w64-mingw32"} - {""}:
        found.append(os.path.join(prefix, t, "bin"))
    folders = []
    for folder in (os.path.realpath(f) for f in found):
        if folder not in folders and has_dlls(folder):
            folders.append(folder)
    return tuple(folders), triple


@functools.lru_cache(maxsize=None)
def given(machine, compiler):
    """[Variant] of the compiler named; BadInput where it builds for another
    machine or names no runtime DLLs."""
    folders, triple = dll_folders(compiler)
    if not triple:
        raise BadInput(f"--mingw={compiler}: it does not say what it builds for (-dumpmachine): not a compiler")
    if not triple.startswith(CPUS[machine.name]):
        raise BadInput(f"--mingw={compiler}: it builds for {triple}, and the program is {machine.name}")
    if not folders:
        raise BadInput(f"--mingw={compiler}: it names no folder of runtime DLLs")
    return [Variant(os.path.basename(compiler), compiler, folders)]


@functools.lru_cache(maxsize=None)
def installed(machine):
    """[Variant] of the machine's MinGW-w64 GCC as installed, the one that
    the plain <triple>-gcc is (Debian's alternative) first; BadInput naming
    the package where there is none."""
    triple = machine.mingw
    plain = shutil.which(f"{triple}-gcc")
    compilers = [(v, shutil.which(f"{triple}-gcc-{v}")) for v in ("posix", "win32")]
    compilers = [(v, c) for v, c in compilers if c] or [(f"{triple}-gcc", plain)]
    compilers.sort(key=lambda vc: not (plain and vc[1] and os.path.realpath(vc[1]) == os.path.realpath(plain)))
    found = [Variant(v, c, dll_folders(c)[0]) for v, c in compilers if c]
    if not any(v.folders for v in found):
        raise BadInput(f"--mingw: no MinGW-w64 toolchain for {machine.name} programs ({triple}-gcc) with runtime "
                       f"DLLs: install g++-mingw-w64-{machine.package} (on Debian), or name the compiler: "
                       "--mingw=COMPILER")
    return [v for v in found if v.folders]


def orders(machine, compiler=""):
    """[(variant, [(folder, how)])]: the variants to try in turn, each
    searched alone after --path (the loader takes the first DLL it finds,
    and one variant's DLLs never mix with another's)."""
    found = given(machine, compiler) if compiler else installed(machine)
    return [(v, [(f, f"MinGW-w64 runtime, {v.name}") for f in v.folders]) for v in found]
