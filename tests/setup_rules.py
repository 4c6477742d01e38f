"""scripts/setup's decisions about the archive, without touching this host's
packages: the script runs in a sandbox of the project (its own copy, beside
stand-ins for the Wine scripts it asks) with stand-ins for apt-get,
apt-cache, dpkg and dpkg-query first on PATH, which answer from a row of
the table below and log what they were asked.

    setup_rules.py
"""
import os
import shutil
import stat
import subprocess
from dataclasses import dataclass

from harness import P, main, ok, work

# The stand-ins. The archive's lists are those of before `apt-get update`
# until it has run, then those of after it. Where they lack pev, the set-up
# does not ask for its readpe, which some releases lack (the real tools it
# checks for are all there, where the suite runs).
STUBS = {
    "apt-get": """
echo "apt-get $*" >> "$STUB/log"
case " $* " in
  *" update "*) : > "$STUB/updated" ;;
  *" -s "*|*" install "*) [ -z "$STUB_CONFLICT" ] || { echo "$STUB_CONFLICT"; echo "E: Unable to correct problems" >&2; exit 100; } ;;
  *) exit 100 ;;
esac""",
    "apt-cache": """
[ "$1" = show ] || exec /usr/bin/apt-cache "$@"
lists=$STUB_BEFORE; [ -e "$STUB/updated" ] && lists=$STUB_AFTER
case " $lists " in *" $2 "*) echo "Package: $2" ;; *) exit 100 ;; esac""",
    "dpkg-query": """
[ "$1" = -W ] || exec /usr/bin/dpkg-query "$@"
for package; do :; done
case " $STUB_MISSING " in *" $package "*) exit 1 ;; esac
printf installed""",
    "dpkg": """
[ "$1" = --print-foreign-architectures ] && { echo i386; exit 0; }
echo "dpkg $*" >> "$STUB/log"
""",
    "sudo": 'exec "$@"',
    # The sandbox's scripts/wine-paths and scripts/with-wine: Wine is there, on this host.
    "wine-paths": "echo /usr/lib/wine/wine",
    "with-wine": "echo host",
}


@dataclass
class Row:
    name: str
    missing: str          # packages not installed
    before: str           # optional packages the archive's lists know before the update
    after: str            # and after it
    status: int
    installs: str         # the packages `apt-get install` must be asked for ("" for no install)
    says: str             # a line of standard error
    never: str = ""       # a text standard error must not hold
    conflict: str = ""    # apt's account of a conflict in the archive


ROWS = [
    Row("pev on the lists before the update, gone after it", "pev", "pev wine64", "wine64", 0, "",
        "scripts/setup: pev is not in this release's archive; going on without it"),
    Row("wine64 missing from the old lists, there after the update: asked for again", "wine64 libwine:amd64",
        "", "wine64", 0, "wine64", "", never="wine64 is not in this release's archive"),
    Row("a conflict in the archive", "pev", "pev wine64", "pev wine64", 1, "pev",
        "scripts/setup: the archive's packages are in conflict: libabsl, libabsl:i386 (the archive's state, "
        "not this machine's; apt-get's account follows)",
        conflict="libabsl:i386 : Breaks: libabsl (!= 20260526.0-2)"),
]


def sandbox(folder):
    """The project's setup script with the stand-ins; the folder for PATH."""
    for sub in ("scripts", "bin"):
        os.makedirs(os.path.join(folder, sub))
    setup = shutil.copy(os.path.join(P.source, "scripts", "setup"), os.path.join(folder, "scripts"))
    for name, body in STUBS.items():
        path = os.path.join(folder, "scripts" if name in ("wine-paths", "with-wine") else "bin", name)
        with open(path, "w") as f:
            f.write("#!/bin/sh\n" + body.lstrip("\n") + "\n")
        os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
    return setup, os.path.join(folder, "bin")


def setup_rules():
    for n, row in enumerate(ROWS):
        folder = work(f"row{n}")
        setup, bin_folder = sandbox(os.path.join(folder, "project"))
        env = dict(os.environ, PATH=f"{bin_folder}:{os.environ['PATH']}", STUB=folder, STUB_MISSING=row.missing,
                   STUB_BEFORE=row.before, STUB_AFTER=row.after, STUB_CONFLICT=row.conflict)
        log = os.path.join(folder, "log")
        open(log, "w").close()
        r = subprocess.run([setup], env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        with open(log) as f:
            asked = f.read().splitlines()
        installs = [line.split(" install ", 1)[1] for line in asked if " install " in line and " -s " not in line]
        ok(r.returncode == row.status, f"{row.name}: status {r.returncode}, expected {row.status}\n{r.stderr[-1500:]}")
        ok(all(i == row.installs for i in installs) and bool(installs) == bool(row.installs),
           f"{row.name}: apt-get install asked for {installs}, expected {row.installs!r} only")
        ok(row.says in r.stderr.splitlines() or not row.says, f"{row.name}: no line {row.says!r} in\n{r.stderr}")
        ok(not row.never or row.never not in r.stderr, f"{row.name}: {row.never!r} said in\n{r.stderr}")
        if row.conflict:
            # Named before apt's own account, and before anything is installed.
            first = r.stderr.find(row.says)
            ok(0 <= first < r.stderr.find("E: Unable to correct problems"),
               f"{row.name}: the one line does not come first in\n{r.stderr}")


if __name__ == "__main__":
    main(setup_rules)
