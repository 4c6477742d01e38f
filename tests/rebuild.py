"""This source tree built again from scratch, the way a packager or someone
checking reproducibility builds it, and the images that come out.

    rebuild.py packager|reproducible --work DIR --cmake CMAKE --generator GEN
               --toolchain FILE --build-type TYPE --nm NM --objdump OBJDUMP
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import time

import pe_image
from ok import ok, done

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
IMAGES = ("test.exe", "xiapi32.dll")


def build(folder, extra_env=None, extra_args=()):
    """Configure and build into a fresh folder; None where either step fails."""
    env = {k: v for k, v in os.environ.items() if k not in ("CFLAGS", "CXXFLAGS", "LDFLAGS")}
    env.update(extra_env or {})
    shutil.rmtree(folder, ignore_errors=True)
    for step in ([A.cmake, "-S", SOURCE, "-B", folder, "-G", A.generator, f"--toolchain={A.toolchain}",
                  f"-DCMAKE_BUILD_TYPE={A.build_type}", "-DBUILD_TESTING=OFF", *extra_args],
                 [A.cmake, "--build", folder]):
        result = subprocess.run(step, env=env, capture_output=True, text=True)
        if not ok(result.returncode == 0, f"{' '.join(step)} failed:\n{result.stdout}{result.stderr}"):
            return None
    return folder


def packager():
    # What distribution builds add: sections per function and data item,
    # garbage collection of the unreferenced ones, and link-time optimisation.
    # Unless the build keeps it, foo (and with lld the xiapi32.dll import)
    # is the first thing to go.
    flags = "-O2 -ffunction-sections -fdata-sections"
    folder = build(os.path.join(A.work, "packager"),
                   {"CFLAGS": flags, "CXXFLAGS": flags, "LDFLAGS": "-Wl,--gc-sections"},
                   ["-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON", "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON"])
    if not folder:
        return
    with open(os.path.join(folder, "compile_commands.json")) as f:
        command = next(c["command"] for c in json.load(f) if c["file"].endswith("test.cpp"))
    for flag in ("-flto", "-ffunction-sections", "-fdata-sections"):
        ok(flag in command, f"test.cpp was compiled without {flag}: {command}")
    with open(os.path.join(folder, "CMakeCache.txt")) as f:
        ok("--gc-sections" in f.read(), "LDFLAGS=-Wl,--gc-sections did not reach the cache")
    pe_image.check_program(os.path.join(folder, "test.exe"), A.nm, A.objdump, [folder])


def reproducible():
    # Two folders of different names and lengths, built at different times.
    first = build(os.path.join(A.work, "repro-a"))
    time.sleep(1.1)
    second = build(os.path.join(A.work, "reproducibility-b"))
    if not (first and second):
        return
    for image in IMAGES:
        sums = [hashlib.sha256(open(os.path.join(d, image), "rb").read()).hexdigest() for d in (first, second)]
        print(f"{image}: {sums[0]} {first}\n{' ' * len(image)}  {sums[1]} {second}")
        ok(sums[0] == sums[1], f"{image} differs between {first} and {second}: {sums}")


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("case", choices=["packager", "reproducible"])
    for opt in ("work", "cmake", "generator", "toolchain", "build-type", "nm", "objdump"):
        p.add_argument("--" + opt, required=True)
    A = p.parse_args()
    packager() if A.case == "packager" else reproducible()
    done(f"{A.case} build")
