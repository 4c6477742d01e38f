"""What `cmake --install` and the CPack ZIP hold for this build tree: the
program with the stand-in, or the program alone for use with the real
xiapi32.dll. A stand-in that leaks into the program's component would ship
beside the real library. And loadcheck on its own: installed from the
checkout into a fresh virtual environment (no network: the system's
pefile), its command gives verdicts and bundles, and its CMake package
installs a program of users' kind (tests/deploy) whole, in a folder and a
ZIP that start under Wine's 64-bit loader, or stops the install.

    package.py install-and-package | loadcheck-installed
"""
import glob
import os
import shutil
import subprocess
import zipfile

from harness import P, main, ok, run, work

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


# What the deployed program's folder holds: the program, its own DLL (from
# the build's lib/) and its compiler's runtime, 64-bit.
DEPLOYED = {"deployed.exe", "greeter.dll", "libstdc++-6.dll", "libgcc_s_seh-1.dll", "libwinpthread-1.dll"}


def environment():
    """This process's environment without the checkout on PYTHONPATH: what
    runs there sees the installed loadcheck only."""
    return {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}


def installed_loadcheck():
    """loadcheck installed into a fresh virtual environment; its folder."""
    venv = work("venv")
    for command in (["/usr/bin/python3", "-m", "venv", "--system-site-packages", venv],
                    [f"{venv}/bin/pip", "install", "--no-index", "--no-build-isolation", "--quiet",
                     os.path.join(P.source, "loadcheck")]):
        r = subprocess.run(command, capture_output=True, text=True, env=environment(), cwd="/")
        if not ok(r.returncode == 0, f"{' '.join(command)}: {r.stdout}{r.stderr}"):
            return None
    return venv


def commands(venv):
    """The installed command, run away from the checkout: each row a
    command, the status and a text its last line must hold."""
    folder = work("installed-verdict")
    exe = shutil.copy(P.exe, folder)
    shutil.copy(P.standin, os.path.join(folder, "xiapi32.dll"))
    threaded = shutil.copy(P.threaded64, work("installed-bundle"))
    for name, command, status, says in (
            ("--version", [f"{venv}/bin/loadcheck", "--version"], 0, "loadcheck 1."),
            ("python -m loadcheck", [f"{venv}/bin/python", "-m", "loadcheck", "--version"], 0, "loadcheck 1."),
            ("a verdict", [f"{venv}/bin/loadcheck", exe], 0, "starts"),
            ("against Wine's DLL folder", [f"{venv}/bin/loadcheck", exe, "--system", "wine"], 0, "starts"),
            ("a bundle", [f"{venv}/bin/loadcheck", threaded, "--mingw", "--bundle",
                          os.path.join(os.path.dirname(threaded), "dist")], 0, "starts"),
            ("no program", [f"{venv}/bin/loadcheck"], 2, "")):
        r = subprocess.run(command, capture_output=True, text=True, env=environment(), cwd="/")
        last = r.stdout.strip().splitlines()[-1:] or [""]
        ok(r.returncode == status and says in last[0] and "Traceback" not in r.stderr,
           f"installed, {name}: status {r.returncode}, expected {status}; last line {last}, stderr {r.stderr[-500:]!r}")
    r = subprocess.run([f"{venv}/bin/loadcheck", "--cmake-dir"], capture_output=True, text=True, env=environment())
    cmake_dir = r.stdout.strip()
    ok(cmake_dir.startswith(venv) and os.path.isfile(os.path.join(cmake_dir, "LoadcheckConfig.cmake")),
       f"installed, --cmake-dir: {cmake_dir!r}")
    return cmake_dir


def deploy(cmake_dir, windows, tag):
    """tests/deploy configured with this tree's toolchain for x86-64 and the
    installed CMake package, built and installed with DESTDIR: the status
    of the install, its output, and the installed bin folder."""
    build, stage = work(f"deploy-{tag}"), work(f"deploy-{tag}-stage")
    steps = [[P.cmake, "-S", os.path.join(P.source, "tests", "deploy"), "-B", build, "-G", P.generator,
              f"-DCMAKE_TOOLCHAIN_FILE={P.toolchain}", "-DMINGW_TRIPLE=x86_64-w64-mingw32",
              f"-DLoadcheck_DIR={cmake_dir}", f"-DWINDOWS={windows}"], [P.cmake, "--build", build]]
    for step in steps:
        r = subprocess.run(step, capture_output=True, text=True, env=environment())
        if not ok(r.returncode == 0, f"deploy, {' '.join(step[:3])}: {r.stdout[-1500:]}{r.stderr[-1500:]}"):
            return None, "", build, ""
    r = subprocess.run([P.cmake, "--install", build, "--prefix", "/opt/deployed"], capture_output=True, text=True,
                       env=dict(environment(), DESTDIR=stage))
    return r.returncode, r.stdout + r.stderr, build, os.path.join(stage, "opt", "deployed", "bin")


def loadcheck_installed():
    venv = installed_loadcheck()
    if not venv:
        return
    cmake_dir = commands(venv)
    status, out, build, bin_folder = deploy(cmake_dir, "7;11", "starts")
    held = set(os.listdir(bin_folder)) if os.path.isdir(bin_folder) else set()
    ok(status == 0 and held == DEPLOYED and "loadcheck: deployed.exe 7: starts" in out,
       f"deploy: cmake --install: status {status}, bin holds {sorted(held)}, expected {sorted(DEPLOYED)}\n{out}")
    r = run([P.wine64, os.path.join(bin_folder, "deployed.exe")], cwd=bin_folder)
    ok(r.status == 0 and r.out == b"Hello from thread 1!\r\n",
       f"deploy: the installed program under Wine: status {r.status}, {r.out!r} {r.err[-400:]!r}")
    r = subprocess.run([P.cpack, "-G", "ZIP", "-B", os.path.join(build, "zip")], capture_output=True, text=True,
                       cwd=build, env=environment())
    zips = glob.glob(os.path.join(build, "zip", "*.zip"))
    names = {os.path.basename(n) for n in zipfile.ZipFile(zips[0]).namelist() if n.endswith((".exe", ".dll"))} \
        if zips else set()
    ok(r.returncode == 0 and names == DEPLOYED, f"deploy: cpack: {sorted(names)} {r.stdout[-600:]}{r.stderr[-600:]}")
    # A release the program does not start on stops the install, saying why,
    # and leaves nothing deployed.
    status, out, _, bin_folder = deploy(cmake_dir, "xp", "refused")
    held = set(os.listdir(bin_folder)) if os.path.isdir(bin_folder) else set()
    ok(status != 0 and "loadcheck: deployed.exe xp: refused: STATUS_INVALID_IMAGE_FORMAT" in out
       and held == {"deployed.exe"}, f"deploy for XP: status {status}, bin holds {sorted(held)}\n{out[-1500:]}")


if __name__ == "__main__":
    main(install_and_package, loadcheck_installed)
