"""What scripts/windows-image takes out of a Windows installation image: the
folder it extracts gives the verdicts of the folder the image was made of.

    windows_image.py
"""
import json
import os
import subprocess

import loader_cases
from harness import P, main, ok, work


def windows_image(*args, cache):
    """scripts/windows-image's status, standard output and standard error,
    with its cache in the folder given."""
    r = subprocess.run([os.path.join(P.source, "scripts", "windows-image"), *args], capture_output=True, text=True,
                       env=dict(os.environ, XDG_CACHE_HOME=cache), timeout=300)
    return r.returncode, r.stdout, r.stderr


def slim_copy(cases, copy):
    """A folder of links to the files of the cases' Windows folder that their
    verdicts map, with its registry, schema and WinSxS: the same verdicts, from
    an image of some MB instead of a GB of Wine's DLLs, written and read four
    times over."""
    windows = cases[0].system()
    kept = {os.path.join("System32", "config", "SYSTEM"), os.path.join("System32", "apisetschema.dll")}
    for n, case in enumerate(cases):
        exe = case.place(P.exe64 if case.x64 else P.exe, os.path.join(os.path.dirname(copy), f"probe{n}"))
        _, out, _ = loader_cases.verdict_of(exe, "--json", *case.options())
        kept |= {os.path.relpath(m["path"], windows) for m in json.loads(out)["modules"]
                 if m["path"].startswith(windows + os.sep)}
    for path, _, files in os.walk(windows):
        for f in files:
            relative = os.path.relpath(os.path.join(path, f), windows)
            if relative in kept or relative.startswith("WinSxS" + os.sep):
                os.makedirs(os.path.dirname(os.path.join(copy, relative)), exist_ok=True)
                os.symlink(os.path.realpath(os.path.join(path, f)), os.path.join(copy, relative))


def windows_image_verdicts():
    """The suite's Windows 10 folder captured into a WIM (wimlib-imagex), the
    WIM put into an ISO as sources/install.wim (genisoimage, UDF): the folder
    that scripts/windows-image extracts from either gives the verdicts of
    the folder itself. Bad images: status 2 and one line."""
    folder = work("image")
    cases = [c for c in loader_cases.cases(work("cases"), P)
             if c.system and os.path.basename(c.system.path) == "windows-10"]
    root = os.path.join(folder, "root")
    slim_copy(cases, os.path.join(root, "Windows"))
    wim = os.path.join(folder, "iso", "sources", "install.wim")
    os.makedirs(os.path.dirname(wim))
    subprocess.run([P.wimlib, "capture", root, wim, "Windows 10 Pro", "--dereference", "--compress=none",
                    "--no-acls"], check=True, capture_output=True)
    iso, empty_iso = os.path.join(folder, "windows.iso"), os.path.join(folder, "other.iso")
    subprocess.run([P.genisoimage, "-quiet", "-udf", "-o", iso, os.path.dirname(os.path.dirname(wim))], check=True)
    loader_cases.written(os.path.join(folder, "other", "readme.txt"), "an ISO that holds no Windows\n")
    subprocess.run([P.genisoimage, "-quiet", "-udf", "-o", empty_iso, os.path.join(folder, "other")], check=True)
    text = loader_cases.written(os.path.join(folder, "notes.txt"), "not an image\n")
    cache = os.path.join(folder, "cache")
    for image in (wim, iso):
        status, out, err = windows_image(image, "--list", cache=cache)
        ok(status == 0 and out.startswith("1\tWindows 10 Pro\t"),
           f"--list of {image}: status {status}, {out!r}, expected edition 1, Windows 10 Pro; stderr {err[-400:]!r}")
        status, printed, err = windows_image(image, cache=cache)
        windows = printed.splitlines()[-1] if printed else ""
        ok(status == 0 and os.path.isdir(os.path.join(windows, "WinSxS", "Manifests")),
           f"{image}: status {status}, last line {windows!r}, not a Windows folder; stderr {err[-400:]!r}")
        for n, case in enumerate(cases):
            exe = case.place(P.exe64 if case.x64 else P.exe, os.path.join(folder, f"case{n}-{os.path.basename(image)}"))
            # A verdict that names a file of the Windows folder names the extracted one's.
            verdict = case.expected(os.path.dirname(exe))[0].replace(case.system.path, windows)
            status, out, err = loader_cases.verdict_of(exe, *case.options()[2:], "--system", windows)
            ok(status == case.status and out.splitlines()[-1:] == [verdict], f"{case.name}, from {image}: status "
               f"{status}, last line {out.splitlines()[-1:]}, expected {verdict!r}; stderr {err[-400:]!r}")
        status, again, err = windows_image(image, cache=cache)
        ok(status == 0 and again == printed and "reusing" in err,
           f"a second call on {image}: status {status}, {again!r} (first {printed!r}), stderr {err!r}: not reused")
    for name, args, says in (("a text file", [text], "is not a Windows installation image"),
                             ("an ISO without sources/install.wim", [empty_iso], "holds no sources/install.wim"),
                             ("an edition that the image lacks", [iso, "--index", "2"], "has no edition 2: it has 1")):
        status, out, err = windows_image(*args, cache=cache)
        ok(status == 2 and out == "" and len(err.splitlines()) == 1 and says in err,
           f"{name}: status {status}, expected 2 and one line that says {says!r}; stdout {out!r}, stderr {err!r}")
    leftover = [f for f in os.listdir(os.path.join(cache, "hello_xiapi32", "windows")) if f.startswith(".")]
    ok(leftover == [], f"scripts/windows-image left its work folders behind: {leftover}")


if __name__ == "__main__":
    main(windows_image_verdicts)
