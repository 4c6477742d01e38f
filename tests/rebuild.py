"""This source tree built again from scratch with this tree's toolchain, the
way a packager or someone checking reproducibility builds it, and the images
that come out.

    rebuild.py packager|reproducible

The reproducible builds are also checked against the known images recorded
in known_images.json, one record per toolchain and Debian release: the one
whose package versions are the installed ones. To record new ones, once a
change of the images is understood, on the release that makes them:
RECORD_KNOWN_IMAGES=1 ctest --preset <name> -R rebuild_reproducible
"""
import filecmp
import hashlib
import json
import os
import shutil
import subprocess
import time

import pefile

import pe_image
from harness import P, main, ok, work

KNOWN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "known_images.json")
IMAGES = ("test.exe", "xiapi32.dll")
RUNTIME = "/usr/i686-w64-mingw32/lib/libmsvcrt.a"  # the mingw-w64 C runtime and headers
# What makes each toolchain's images: its compilers and linker, the libgcc
# that clang borrows, and the mingw-w64 runtime. A record of known images
# names the Debian packages that hold them, with their versions.
TOOLCHAIN_FILES = {
    "i686-w64-mingw32-gcc": ["i686-w64-mingw32-g++", "i686-w64-mingw32-gcc", "i686-w64-mingw32-ld", RUNTIME],
    "i686-w64-mingw32-clang": ["clang", "ld.lld", "llvm-dlltool", "libgcc", RUNTIME],
}


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def build(folder, extra_env=None, extra_args=()):
    """Configure and build into a fresh folder; None where either step fails."""
    env = {k: v for k, v in os.environ.items() if k not in ("CFLAGS", "CXXFLAGS", "LDFLAGS")}
    env.update(extra_env or {})
    for step in ([P.cmake, "-S", P.source, "-B", folder, "-G", P.generator, f"--toolchain={P.toolchain}",
                  f"-DCMAKE_BUILD_TYPE={P.build_type}", "-DBUILD_TESTING=OFF", *extra_args],
                 [P.cmake, "--build", folder]):
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
    folder = build(work("packager"), {"CFLAGS": flags, "CXXFLAGS": flags, "LDFLAGS": "-Wl,--gc-sections"},
                   ["-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=ON"])
    if not folder:
        return
    exe = os.path.join(folder, "test.exe")
    # Else the flags changed nothing, and the checks below prove nothing new.
    ok(not filecmp.cmp(exe, P.exe, shallow=False), f"{exe}: the packager's flags made the same image as {P.exe}")
    pe_image.check_program(exe, [folder])


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
            "symbols": sorted(n for n, (t, _) in pe_image.symbols(path, P.nm).items() if t.isupper())}


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
    """{package: version} of the Debian packages that hold the toolchain's files."""
    paths = []
    for name in TOOLCHAIN_FILES[toolchain]:
        if name == "libgcc":
            name = subprocess.run(["i686-w64-mingw32-gcc", "-print-libgcc-file-name"], capture_output=True,
                                  text=True).stdout.strip()
        path = name if name.startswith("/") else shutil.which(name)
        if ok(path and os.path.exists(path), f"{toolchain}: {name} is not installed"):
            paths.append(os.path.realpath(path))
    owners = subprocess.run(["dpkg-query", "-S", *paths], capture_output=True, text=True).stdout
    packages = sorted({p.strip() for line in owners.splitlines() for p in line.split(": ", 1)[0].split(",")})
    out = subprocess.run(["dpkg-query", "-W", "-f=${Package} ${Version}\\n", *packages], capture_output=True, text=True)
    versions = dict(line.split(" ", 1) for line in out.stdout.splitlines() if " " in line)
    ok(packages and set(versions) == set(packages), f"{toolchain}: no Debian package versions for {paths}: {owners!r}")
    return versions


def this_release():
    with open("/etc/os-release") as f:
        fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
    return fields.get("PRETTY_NAME", "?").strip('"')


def record_hint():
    return ("Once the change is understood and wanted, record the images of this toolchain with\n"
            "  RECORD_KNOWN_IMAGES=1 ctest --preset <name> -R rebuild_reproducible\n"
            "on the release that makes them, and show their SHA-256 in README.md.")


def reproducible():
    # Two folders of different names and lengths, built at different times.
    first = build(work("repro-a"))
    time.sleep(1.1)
    second = build(work("reproducibility-b"))
    if not (first and second):
        return
    sums = {}
    for image in IMAGES:
        pair = [sha256(os.path.join(d, image)) for d in (first, second)]
        print(f"{image}: {pair[0]} {first}\n{' ' * len(image)}  {pair[1]} {second}")
        ok(pair[0] == pair[1], f"{image} differs between {first} and {second}: {pair}")
        sums[image] = pair[0]

    # The known images: one record per toolchain and release, with the
    # package versions that make them.
    toolchain = os.path.basename(P.toolchain).removesuffix(".cmake")
    with open(KNOWN) as f:
        known = json.load(f)
    versions = toolchain_versions(toolchain)
    fresh = {image: {"sha256": sums[image], "description": describe(os.path.join(first, image))} for image in IMAGES}
    if os.environ.get("RECORD_KNOWN_IMAGES"):
        release = this_release()
        known = [r for r in known if (r["toolchain"], r["release"]) != (toolchain, release)]
        known.append({"toolchain": toolchain, "release": release, "packages": versions, "images": fresh})
        known.sort(key=lambda r: (r["toolchain"], r["release"]))
        with open(KNOWN, "w") as f:
            json.dump(known, f, indent=1, sort_keys=True)
            f.write("\n")
        print(f"recorded the images of {toolchain} on {release} in {KNOWN}; show the new SHA-256 in README.md too")

    records = [r for r in known if r["toolchain"] == toolchain]
    with open(os.path.join(P.source, "README.md")) as f:
        readme = f.read()
    for r in records:
        for image in IMAGES:
            ok(r["images"][image]["sha256"] in readme, f"README.md does not show the known SHA-256 of {toolchain} "
               f"{image} on {r['release']}, {r['images'][image]['sha256']}")
    match = next((r for r in records if r["packages"] == versions), None)
    if match:
        print(f"the known images of {toolchain} on {match['release']}, made by {versions}")
        for image in IMAGES:
            was = match["images"][image]
            ok(was["sha256"] == sums[image],
               f"{image} is not the known image of {toolchain} on {match['release']}: SHA-256 {sums[image]}, "
               f"recorded {was['sha256']}.\nWhat changed:\n{differences(was['description'], fresh[image]['description'])}\n"
               + record_hint())
        return

    # A toolchain that no record names (another distribution, a newer point
    # release): the builds above must still agree, and the difference from
    # the nearest record is shown, not judged.
    print(f"NOTE: no record of known images names this toolchain: {toolchain} made by {versions}.")
    if not records:
        print(record_hint())
        return
    nearest = max(records, key=lambda r: sum(versions.get(p) == v for p, v in r["packages"].items()))
    changed = {p: f"{nearest['packages'].get(p)} -> {versions.get(p)}"
               for p in sorted(set(nearest["packages"]) | set(versions)) if nearest["packages"].get(p) != versions.get(p)}
    print(f"The nearest record, {toolchain} on {nearest['release']}, differs in the packages {changed}.")
    for image in IMAGES:
        was = nearest["images"][image]
        same = "the same bytes" if was["sha256"] == sums[image] else \
            f"other bytes (SHA-256 {sums[image]}, recorded {was['sha256']}):\n" + \
            differences(was["description"], fresh[image]["description"])
        print(f"{image} against it: {same}")
    print(record_hint())


if __name__ == "__main__":
    main(packager, reproducible)
