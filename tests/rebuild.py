"""This source tree built again from scratch, the way a packager or someone
checking reproducibility builds it, and the images that come out.

    rebuild.py packager|reproducible --work DIR --cmake CMAKE --generator GEN
               --toolchain FILE --build-type TYPE --nm NM --objdump OBJDUMP
               --gnu-objdump OBJDUMP

The reproducible builds are also checked against the known images recorded
in known_images.json. To record new ones, once a change of the images is
understood: RECORD_KNOWN_IMAGES=1 ctest --preset <name> -R rebuild_reproducible
"""
import argparse
import hashlib
import json
import os
import shutil
import subprocess
import time

import pefile

import pe_image
from ok import ok, done

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KNOWN = os.path.join(SOURCE, "tests", "known_images.json")
README = os.path.join(SOURCE, "README.md")
IMAGES = ("test.exe", "xiapi32.dll")
# The Debian packages whose versions make each toolchain's images what they
# are (compiler, linker, and the mingw-w64 headers and C runtime).
TOOLCHAIN_PACKAGES = {
    "i686-w64-mingw32-gcc": ["g++-mingw-w64-i686-win32", "binutils-mingw-w64-i686", "mingw-w64-i686-dev"],
    "i686-w64-mingw32-clang": ["clang-14", "lld-14", "llvm-14", "gcc-mingw-w64-i686-win32", "mingw-w64-i686-dev"],
}


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
    pe_image.check_program(os.path.join(folder, "test.exe"), A.nm, A.objdump, A.gnu_objdump, [folder])


def describe(path):
    """What a reader would say differs between two images: headers,
    sections, imports, exports and global symbols."""
    pe = pefile.PE(path)
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    headers = {f: hex(getattr(h, f)) for h, fields in (
        (fh, ("Machine", "Characteristics", "TimeDateStamp", "NumberOfSections")),
        (oh, ("AddressOfEntryPoint", "ImageBase", "SizeOfImage", "SizeOfCode", "CheckSum", "Subsystem",
              "DllCharacteristics", "MajorLinkerVersion", "MinorLinkerVersion"))) for f in fields}
    headers["file size"] = len(pe.__data__)
    sections = {s.Name.rstrip(b"\0").decode(): f"{s.Misc_VirtualSize:#x} bytes, {s.Characteristics:#010x}"
                for s in pe.sections}
    exports = getattr(pe, "DIRECTORY_ENTRY_EXPORT", None)
    return {"headers": headers, "sections": sections, "imports": pe_image.imports(pe),
            "exports": [s.name.decode() for s in exports.symbols if s.name] if exports else [],
            "symbols": sorted(n for n, (t, _) in pe_image.symbols(path, A.nm).items() if t.isupper())}


def differences(old, new):
    lines = []
    for part in ("headers", "sections"):
        for key in sorted(set(old[part]) | set(new[part])):
            a, b = old[part].get(key, "(none)"), new[part].get(key, "(none)")
            if a != b:
                lines.append(f"  {part}: {key}: {a} -> {b}")
    changed = [(f"imports from {dll}", old["imports"].get(dll, []), new["imports"].get(dll, []))
               for dll in sorted(set(old["imports"]) | set(new["imports"]))]
    for what, a, b in changed + [("exports", old["exports"], new["exports"]), ("symbols", old["symbols"], new["symbols"])]:
        gone, came = sorted(set(a) - set(b)), sorted(set(b) - set(a))
        if gone or came:
            lines.append(f"  {what}: removed {gone}, added {came}")
    return "\n".join(lines) or "  nothing that the headers, sections, imports, exports or symbols show: code or data bytes"


def toolchain_versions(toolchain):
    packages = TOOLCHAIN_PACKAGES[toolchain]
    out = subprocess.run(["dpkg-query", "-W", "-f=${Package} ${Version}\\n", *packages], capture_output=True, text=True)
    return dict(line.split(" ", 1) for line in out.stdout.splitlines() if " " in line)


def reproducible():
    # Two folders of different names and lengths, built at different times.
    first = build(os.path.join(A.work, "repro-a"))
    time.sleep(1.1)
    second = build(os.path.join(A.work, "reproducibility-b"))
    if not (first and second):
        return
    sums = {}
    for image in IMAGES:
        pair = [hashlib.sha256(open(os.path.join(d, image), "rb").read()).hexdigest() for d in (first, second)]
        print(f"{image}: {pair[0]} {first}\n{' ' * len(image)}  {pair[1]} {second}")
        ok(pair[0] == pair[1], f"{image} differs between {first} and {second}: {pair}")
        sums[image] = pair[0]

    toolchain = os.path.basename(A.toolchain).removesuffix(".cmake")
    with open(KNOWN) as f:
        known = json.load(f)
    versions = toolchain_versions(toolchain)
    fresh = {image: {"sha256": sums[image], "description": describe(os.path.join(first, image))} for image in IMAGES}
    if os.environ.get("RECORD_KNOWN_IMAGES"):
        known[toolchain] = {"toolchain": versions, "images": fresh}
        with open(KNOWN, "w") as f:
            json.dump(known, f, indent=1, sort_keys=True)
            f.write("\n")
        print(f"recorded the images of {toolchain} in {KNOWN}; show the new SHA-256 in README.md too")
    recorded = known.get(toolchain, {})
    if not ok(recorded, f"no known images of {toolchain} in {KNOWN}"):
        return
    changed = {p: f"{v} -> {versions.get(p)}" for p, v in recorded["toolchain"].items() if versions.get(p) != v}
    for image in IMAGES:
        was = recorded["images"][image]
        ok(was["sha256"] == sums[image],
           f"{image} is not the known image of {toolchain}: SHA-256 {sums[image]}, recorded {was['sha256']}.\n"
           f"What changed:\n{differences(was['description'], fresh[image]['description'])}\n"
           f"Toolchain packages changed since it was recorded: {changed or 'none'}.\n"
           "Once the change is understood and wanted, record the new images with\n"
           "  RECORD_KNOWN_IMAGES=1 ctest --preset <name> -R rebuild_reproducible\n"
           "and show the new SHA-256 in README.md.")
        with open(README) as f:
            ok(was["sha256"] in f.read(), f"README.md does not show the known SHA-256 of {toolchain} {image}, {was['sha256']}")


if __name__ == "__main__":
    p = argparse.ArgumentParser()
    p.add_argument("case", choices=["packager", "reproducible"])
    for opt in ("work", "cmake", "generator", "toolchain", "build-type", "nm", "objdump", "gnu-objdump"):
        p.add_argument("--" + opt, required=True)
    A = p.parse_args()
    packager() if A.case == "packager" else reproducible()
    done(f"{A.case} build")
