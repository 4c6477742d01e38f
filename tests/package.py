"""What `cmake --install` and the CPack ZIP hold for a build tree.

    package.py --build DIR --work DIR --cmake CMAKE --cpack CPACK
"""
import argparse
import filecmp
import os
import shutil
import subprocess
import zipfile

from ok import ok, done

EVERYTHING = {"bin/test.exe", "bin/xiapi32.dll"}
PROGRAM_ONLY = {"bin/test.exe"}


def files_below(folder):
    return {os.path.relpath(os.path.join(d, f), folder) for d, _, fs in os.walk(folder) for f in fs}


def install(prefix, *component):
    shutil.rmtree(prefix, ignore_errors=True)
    r = subprocess.run([A.cmake, "--install", A.build, "--prefix", prefix, *component], capture_output=True, text=True)
    ok(r.returncode == 0, f"cmake --install {' '.join(component)} failed: {r.stdout}{r.stderr}")
    return files_below(prefix)


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    for opt in ("build", "work", "cmake", "cpack"):
        p.add_argument("--" + opt, required=True)
    A = p.parse_args()

    everything = os.path.join(A.work, "everything")
    got = install(everything)
    ok(got == EVERYTHING, f"plain install holds {sorted(got)}, expected {sorted(EVERYTHING)}")
    for name in got & EVERYTHING:
        built = os.path.join(A.build, os.path.basename(name))
        ok(filecmp.cmp(built, os.path.join(everything, name), shallow=False), f"installed {name} differs from {built}")
    got = install(os.path.join(A.work, "program"), "--component", "program")
    ok(got == PROGRAM_ONLY, f"install of the program component holds {sorted(got)}, expected {sorted(PROGRAM_ONLY)}")

    out = os.path.join(A.work, "zip")
    shutil.rmtree(out, ignore_errors=True)
    r = subprocess.run([A.cpack, "--config", os.path.join(A.build, "CPackConfig.cmake"), "-B", out],
                       capture_output=True, text=True)
    zips = [f for f in os.listdir(out) if f.endswith(".zip")] if os.path.isdir(out) else []
    if ok(r.returncode == 0 and len(zips) == 1, f"cpack made {zips}: {r.stdout}{r.stderr}"):
        names = {n for n in zipfile.ZipFile(os.path.join(out, zips[0])).namelist() if not n.endswith("/")}
        ok(names == EVERYTHING, f"{zips[0]} holds {sorted(names)}, expected {sorted(EVERYTHING)}")
    done("install and package")
