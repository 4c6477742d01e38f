"""Where Wine keeps its DLLs (PE images with real export tables and an API
set schema), which `--system wine` takes for a system folder. Each
distribution keeps them in a place of its own: they are looked for among
the files of the Debian packages that install them, then in the places
known (Debian 12 and 13, unstable and its new WoW64 Wine, WineHQ's
packages in /opt, a build installed in /usr/local), then beside the `wine`
on PATH. A folder of them holds kernel32.dll.

Run as a script (the checkout's scripts/wine-paths does), it prints the
folder of `dlls` (32-bit) or `dlls64`, or exits 1."""
import glob
import os
import shutil
import subprocess
import sys

FOLDER = {"dlls": "i386-windows", "dlls64": "x86_64-windows"}
PACKAGES = {"dlls": ("wine32:i386", "libwine:i386", "libwine:amd64"), "dlls64": ("libwine:amd64", "wine64")}
PLACES = ("/usr/lib/i386-linux-gnu/wine", "/usr/lib/x86_64-linux-gnu/wine", "/usr/lib/wine", "/usr/lib64/wine",
          "/usr/lib32/wine", "/opt/wine-*/lib/wine", "/opt/wine-*/lib64/wine", "/usr/local/lib/wine",
          "/usr/local/lib64/wine")


def candidates(which):
    name = FOLDER[which]
    if shutil.which("dpkg-query"):
        r = subprocess.run(["dpkg-query", "-L", *PACKAGES[which]], capture_output=True, text=True)
        yield from (line for line in r.stdout.splitlines() if line.endswith("/" + name))
    for place in PLACES:
        yield from sorted(glob.glob(os.path.join(place, name)))
    wine = shutil.which("wine")
    if wine:
        prefix = os.path.dirname(os.path.dirname(os.path.realpath(wine)))
        yield from sorted(glob.glob(os.path.join(prefix, "lib*", "wine", name)) +
                          glob.glob(os.path.join(prefix, "lib", "*", "wine", name)))


def folder(which):
    """Wine's folder of 32-bit (dlls) or 64-bit (dlls64) DLLs, or None."""
    return next((f for f in candidates(which) if os.path.isfile(os.path.join(f, "kernel32.dll"))), None)


if __name__ == "__main__":
    if len(sys.argv) != 2 or sys.argv[1] not in FOLDER:
        sys.exit("usage: wine.py dlls|dlls64")
    found = folder(sys.argv[1])
    if not found:
        sys.exit(1)
    print(found)
