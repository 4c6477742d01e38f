"""The runtime DLLs of the MinGW-w64 toolchains installed for a machine
(--mingw): GCC's (libgcc_s_*, libstdc++-6, libgomp-1, ...) and mingw-w64's
(libwinpthread-1), as each toolchain says where they are: the folders of
its library search path (gcc -print-search-dirs) that hold DLLs. Debian
installs GCC in two thread variants, posix and win32, each with DLLs of its
own; a toolchain without variants is one."""
import functools
import os
import shutil
import subprocess
from typing import NamedTuple

from .status import BadInput


class Variant(NamedTuple):
    name: str       # posix, win32, or the toolchain's own name where it has no variants
    compiler: str
    folders: tuple  # the folders of its search path that hold DLLs, in its order


def dll_folders(compiler):
    """The folders of the compiler's library search path that hold DLLs."""
    r = subprocess.run([compiler, "-print-search-dirs"], capture_output=True, text=True)
    line = next((line for line in r.stdout.splitlines() if line.startswith("libraries:")), "")
    folders = []
    for folder in line.partition(":")[2].lstrip(" =").split(os.pathsep):
        folder = os.path.realpath(folder) if folder else ""
        if folder and os.path.isdir(folder) and folder not in folders and \
                any(f.lower().endswith(".dll") for f in os.listdir(folder)):
            folders.append(folder)
    return tuple(folders)


@functools.lru_cache(maxsize=None)
def variants(machine):
    """[Variant] of the machine's MinGW-w64 GCC as installed, the one that
    the plain <triple>-gcc is (Debian's alternative) first; BadInput naming
    the package where there is none."""
    triple = machine.mingw
    plain = shutil.which(f"{triple}-gcc")
    compilers = [(v, shutil.which(f"{triple}-gcc-{v}")) for v in ("posix", "win32")]
    compilers = [(v, c) for v, c in compilers if c] or [(f"{triple}-gcc", plain)]
    compilers.sort(key=lambda vc: not (plain and vc[1] and os.path.realpath(vc[1]) == os.path.realpath(plain)))
    found = [Variant(v, c, dll_folders(c)) for v, c in compilers if c]
    if not any(v.folders for v in found):
        raise BadInput(f"--mingw: no MinGW-w64 toolchain for {machine.name} programs ({triple}-gcc) with runtime "
                       f"DLLs: install g++-mingw-w64-{machine.package} (scripts/setup does)")
    return [v for v in found if v.folders]


def orders(machine):
    """The orders to search the variants' folders in, after --path: each
    variant's own first (the loader takes the first it finds), then the
    others'. [(the variant put first, [(folder, how)])]; a folder of every
    variant (mingw-w64's own) is no variant's."""
    found = variants(machine)
    shared = set.intersection(*(set(v.folders) for v in found))
    result = []
    for first in found:
        folders = []
        for v in [first] + [v for v in found if v is not first]:
            folders += [(f, "MinGW-w64 runtime" + ("" if f in shared else f", {v.name}")) for f in v.folders
                        if f not in [g for g, _ in folders]]
        result.append((first, folders))
    return result
