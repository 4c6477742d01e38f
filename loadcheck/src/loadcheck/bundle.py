"""What must ship beside the program (--bundle DIR, or --deploy into the
program's own folder): the program and every file that the loader took from
outside the Windows asked for, that is from the program's folder, the --path
folders and the MinGW-w64 runtime's (those two put beside the program, where
the loader looks, whatever folder they came from): DLLs, delay-loaded ones
too, the program's manifest, and its private assemblies' files and
manifests.
Not the system's DLLs, known DLLs, API set hosts there, or WinSxS's
assemblies: the Windows asked for has those, and lacks every other. DIR is
made whole or not at all, in a folder beside it renamed when complete."""
import contextlib
import filecmp
import os
import shutil
import tempfile

from .status import BadInput


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
    found = [File(exe, os.path.basename(exe), "the program", None)]
    beside = loader.search.app.find(os.path.basename(exe) + ".manifest")
    if beside:
        found.append(File(beside, os.path.basename(beside), "the program's manifest", None))
    for m in loader.mapped:
        if loader.system.owns(m.path):
            continue
        if m.how.startswith(("PATH", "MinGW-w64")):
            found.append(File(m.path, os.path.basename(m.path), m.how, m.needed_by))
        elif inside(m.path, app):
            found.append(File(m.path, os.path.relpath(m.path, app), m.how, m.needed_by))
            manifest = m.assembly and m.assembly.manifest.removesuffix(" (resource 1)")
            if manifest and inside(manifest, app) and all(f.source != manifest for f in found):
                found.append(File(manifest, os.path.relpath(manifest, app), f"the manifest of {m.assembly.identity}",
                                  m.needed_by))
    return found


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
            copy(f.source, os.path.join(work, f.relative))
        if os.path.isdir(dest):
            os.rmdir(dest)
        os.rename(work, dest)
    except OSError as e:
        shutil.rmtree(work, ignore_errors=True)
        raise BadInput(f"--bundle {dest}: cannot write it: {e.strerror or e}")
    return dest


def copy(source, target):
    """One file shipped, with its mode, its folder made where needed."""
    os.makedirs(os.path.dirname(target), exist_ok=True)
    shutil.copyfile(source, target)
    shutil.copymode(source, target)


def deploy(bundled, folder):
    """Copies beside the program, into folder, the files that are not there
    yet; [the paths copied]. A file of the same name that differs is never
    replaced: BadInput, and nothing copied."""
    wanted = []
    for f in bundled:
        target = os.path.join(folder, f.relative)
        if os.path.realpath(f.source) == os.path.realpath(target):
            continue
        if os.path.lexists(target):
            if not os.path.isfile(target) or not filecmp.cmp(f.source, target, shallow=False):
                raise BadInput(f"--deploy: {target} exists and differs from {f.source}, which the program needs: "
                               "not replaced")
            continue
        wanted.append((f.source, target))
    copied = []
    try:
        for source, target in wanted:
            copy(source, target)
            copied.append(target)
    except OSError as e:
        undo(copied)
        raise BadInput(f"--deploy: cannot write in {folder}: {e.strerror or e}")
    return copied


def remove(folder):
    """The bundle made, removed again: it does not start."""
    shutil.rmtree(folder, ignore_errors=True)


def undo(copied):
    for path in copied:
        with contextlib.suppress(OSError):
            os.remove(path)
