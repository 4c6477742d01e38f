"""What must ship beside the program (--bundle DIR): the program and every
file that the loader took from outside the Windows folder, that is from the
program's folder, the --path folders and the MinGW-w64 runtime's: DLLs,
the program's manifest, and its private assemblies' files and manifests.
Not the system folder's DLLs, known DLLs, API set hosts there, or WinSxS's
assemblies: the Windows given as --system has those. DIR is made whole or
not at all, in a folder beside it renamed when complete."""
import os
import re
import shutil
import tempfile

from .status import BadInput

# DLLs that Wine's DLL folder holds and a clean Windows 10 or 11 does not:
# the Visual C++ runtimes, which their redistributable installs, and the
# DirectX redistributable's D3DX, XInput 1.1 to 1.3, XAudio2 2.0 to 2.7 and
# friends. Against Wine's folder such a DLL is found, and so not bundled.
NOT_IN_WINDOWS = re.compile(r"(msvcr(7|8|9|1\d)\d*|msvcp(7|8|9|1\d)\d*(_\w+)?|vcruntime\d+(_\d+)?|vcomp\d*|"
                            r"concrt\d+|mfc(7|8|9|1\d)\d*\w*|atl(7|8|9|1\d)\d*|d3dx\w+|d3dcompiler_(3\d|4[0-3])|"
                            r"xinput1_[123]|xaudio2_[0-7]|x3daudio1_[0-7]|xactengine\w+|xapofx1_\w+)\.dll", re.I)


class File:
    """One file of the bundle: where it comes from, its path in the bundle,
    how the loader found it and which module needed it."""

    def __init__(self, source, relative, how, needed_by):
        self.source, self.relative, self.how, self.needed_by = source, relative, how, needed_by


def inside(path, folder):
    return os.path.realpath(path).startswith(os.path.realpath(folder) + os.sep)


def files(loader, exe):
    """[File] that the bundle of the program at exe holds, the program first."""
    app = loader.search.app.path
    outside = [f.path for f in loader.search.paths] + [f.path for f, _ in loader.search.extra]
    found = [File(exe, os.path.basename(exe), "the program", None)]
    beside = loader.search.app.find(os.path.basename(exe) + ".manifest")
    if beside:
        found.append(File(beside, os.path.basename(beside), "the program's manifest", None))
    for m in loader.mapped:
        if inside(m.path, app):
            found.append(File(m.path, os.path.relpath(m.path, app), m.how, m.needed_by))
            manifest = m.assembly and m.assembly.manifest.removesuffix(" (resource 1)")
            if manifest and inside(manifest, app) and all(f.source != manifest for f in found):
                found.append(File(manifest, os.path.relpath(manifest, app), f"the manifest of {m.assembly.identity}",
                                  m.needed_by))
        elif any(inside(m.path, folder) for folder in outside):
            found.append(File(m.path, os.path.basename(m.path), m.how, m.needed_by))
    return found


def not_in_windows(loader):
    """The DLLs mapped from Wine's DLL folder that a clean Windows lacks."""
    return [m.name for m in loader.mapped if inside(m.path, loader.system.folder.path)
            and NOT_IN_WINDOWS.fullmatch(os.path.basename(m.path))]


def make(dest, bundled):
    """Copies the files into dest, which must not exist or be empty; BadInput
    where it cannot be made, and then nothing is left of it."""
    dest = os.path.abspath(dest)
    if os.path.lexists(dest) and not (os.path.isdir(dest) and not os.listdir(dest)):
        raise BadInput(f"--bundle {dest}: it exists and is not an empty folder")
    parent = os.path.dirname(dest)
    try:
        work = tempfile.mkdtemp(prefix=f".{os.path.basename(dest)}.", dir=parent)
    except OSError as e:
        raise BadInput(f"--bundle {dest}: cannot write in {parent}: {e.strerror or e}")
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(work, 0o777 & ~umask)
        for f in bundled:
            target = os.path.join(work, f.relative)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copyfile(f.source, target)
            shutil.copymode(f.source, target)
        if os.path.isdir(dest):
            os.rmdir(dest)
        os.rename(work, dest)
    except OSError as e:
        shutil.rmtree(work, ignore_errors=True)
        raise BadInput(f"--bundle {dest}: cannot write it: {e.strerror or e}")
    return dest
