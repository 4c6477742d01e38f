"""What `cmake --install` and the CPack ZIP hold for this build tree: the
program with the stand-in, or the program alone for use with the real
xiapi32.dll. A stand-in that leaks into the program's component would ship
beside the real library.

    package.py
"""
import glob
import os
import subprocess
import zipfile

from harness import P, main, ok, work

EVERYTHING = {"bin/test.exe", "bin/xiapi32.dll"}


def files_below(folder):
    return {os.path.relpath(os.path.join(d, f), folder) for d, _, fs in os.walk(folder) for f in fs}


def installed(*component):
    prefix = work("install-" + "-".join(component[1:] or ["all"]))
    r = subprocess.run([P.cmake, "--install", P.build, "--prefix", prefix, *component], capture_output=True, text=True)
    ok(r.returncode == 0, f"cmake --install {' '.join(component)} failed: {r.stdout}{r.stderr}")
    return files_below(prefix)


def zipped():
    out = work("zip")
    r = subprocess.run([P.cpack, "--config", os.path.join(P.build, "CPackConfig.cmake"), "-B", out],
                       capture_output=True, text=True)
    zips = glob.glob(os.path.join(out, "*.zip"))
    if not ok(r.returncode == 0 and len(zips) == 1, f"cpack made {zips}: {r.stdout}{r.stderr}"):
        return set()
    return {n for n in zipfile.ZipFile(zips[0]).namelist() if not n.endswith("/")}


def install_and_package():
    for what, files, wanted in (("plain install", installed(), EVERYTHING),
                                ("install of the program component", installed("--component", "program"),
                                 {"bin/test.exe"}),
                                ("the ZIP", zipped(), EVERYTHING)):
        ok(files == wanted, f"{what} holds {sorted(files)}, expected {sorted(wanted)}")


if __name__ == "__main__":
    main(install_and_package)
