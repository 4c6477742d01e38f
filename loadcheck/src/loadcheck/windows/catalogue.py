"""The Windows releases built into loadcheck, and where the facts about each
come from. The facts themselves (export tables, API set schemas) are in
tables.zip beside this file, which derive.py makes from public extractions
of Microsoft's own files; what is written here is what those extractions
do not say: each release's name, NT version, the names users type for it,
which extraction holds its tables and its schema, and the side-by-side
assemblies that every installation of it has."""
from typing import NamedTuple


class Release(NamedTuple):
    key: str          # what --windows takes
    name: str         # as the messages name it
    nt: tuple         # the NT version that CreateProcess compares a program's subsystem version with
    tables: str       # the winexports folder of its export tables
    schema: str       # the apisets file of its API set schema, or "" where the release has none
    schema_build: str  # the build that schema comes from, where not the release's own
    aliases: tuple


# Oldest first: the bits of a table row count in this order. The tables'
# machines are those of the installation images extracted (winexports has
# one machine per release); the schema is the x64 one where one exists,
# since a 64-bit Windows maps its own schema into 32-bit processes too.
RELEASES = (
    Release("xp", "XP SP2", (5, 1), "nt51_x86", "", "", ("winxp", "xp-sp2", "5.1")),
    Release("2003", "Server 2003", (5, 2), "nt52_x86", "", "", ("server2003", "2003-sp2", "5.2")),
    Release("vista", "Vista SP2", (6, 0), "nt60_x86", "", "", ("winvista", "vista-sp2", "6.0")),
    Release("7", "7 SP1", (6, 1), "nt61_x64", "06.1.7601.23455-amd64.json", "", ("win7", "7-sp1", "6.1")),
    Release("8.1", "8.1", (6, 3), "nt63_x86", "06.3.9600.16384-amd64.json", "", ("win8.1", "81", "6.3")),
    Release("10", "10 2004", (10, 0), "nt100_x64_19041", "10.0.19041.1-AMD64.json", "",
            ("win10", "10-2004", "2004", "20h1", "19041")),
    Release("11", "11 24H2", (10, 0), "nt100_x64_26200", "10.0.22621.2506-amd64.json", "22621",
            ("win11", "11-24h2", "24h2", "26100")),
)
NEWEST = RELEASES[-1]

# Side-by-side assemblies of Windows itself (publicKeyToken 6595b64144ccf1df):
# (name, major.minor, the first release that has it, its file). A manifest
# asking for any version of that major.minor is redirected by the release's
# publisher policy to the release's own build of it.
WINDOWS_TOKEN = "6595b64144ccf1df"
ASSEMBLIES = (
    ("Microsoft.Windows.Common-Controls", "6.0", "xp", "comctl32.dll"),
    ("Microsoft.Windows.GdiPlus", "1.0", "xp", "gdiplus.dll"),
    ("Microsoft.Windows.GdiPlus", "1.1", "vista", "gdiplus.dll"),
)

# Where the extractions come from (derive.py records their commits).
SOURCES = {
    "winexports": "https://github.com/learn-more/winexports (MIT): data/exports/<release>/<dll>.json, "
                  "read with pefile from each release's installation image; scripts/include_files.txt names "
                  "the System32 files it dumped",
    "apisets": "https://github.com/learn-more/apisets (MIT): data/apisetschema/<build>-<machine>.json, "
               "the namespace of each build's apisetschema.dll",
}


def find(text):
    """The Release that a user's text names, or None."""
    text = text.strip().lower().removeprefix("windows").strip(" -_")
    return next((r for r in RELEASES if text == r.key or text in r.aliases), None)
