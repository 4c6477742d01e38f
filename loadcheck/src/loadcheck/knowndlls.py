"""Which DLL names are known DLLs, taken from the system folder only: the
list of the Windows given (its SYSTEM registry hive, read with hivex), a
file of names (--known-dlls), or else a built-in list."""
from .status import BadInput

# Windows 10's KnownDLLs for 32-bit processes, for a system folder that comes
# without its registry (Wine's DLL folder, a bare copy of System32).
BUILT_IN = ("advapi32 clbcatq combase comdlg32 coml2 difxapi gdi32 gdiplus imagehlp imm32 kernel32 msctf msvcrt "
            "normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi user32 wldap32 "
            "ws2_32").split()
SESSION_MANAGER = ("Control", "Session Manager")


def file_name(name):
    name = name.strip().lower()
    return name if name.endswith((".dll", ".drv")) else name + ".dll"


class KnownDlls:
    """names (lower-case file names), excluded (names never known, even when
    a known DLL imports them), source ("hive", "--known-dlls" or "built-in")
    and path (the hive or the file, or None)."""

    def __init__(self, names, excluded=(), source="built-in", path=None):
        self.names = ["ntdll.dll"] + [file_name(n) for n in names]
        self.excluded = {file_name(n) for n in excluded}
        self.source, self.path = source, path

    def __str__(self):
        return {"hive": f"the KnownDLLs of {self.path}", "--known-dlls": f"the list in {self.path}"}.get(
            self.source, "loadcheck's built-in list, Windows 10's")


def from_file(path):
    try:
        with open(path) as f:
            names = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    except (OSError, UnicodeDecodeError) as e:
        raise BadInput(f"cannot read the known DLLs from {path}: {getattr(e, 'strerror', None) or e}")
    return KnownDlls(names, source="--known-dlls", path=path)


def from_hive(path):
    """The KnownDLLs key of the current control set (Select\\Current names
    it), less the names in Session Manager's ExcludeFromKnownDlls."""
    try:
        import hivex
    except ImportError:
        raise BadInput(f"cannot read {path}: the Python module hivex is missing (install Debian's python3-hivex, "
                       "or give --known-dlls)")

    class Hive(hivex.Hivex):
        def __del__(self):
            if hasattr(self, "_o"):  # not when the hive could not be opened
                super().__del__()
    try:
        h = Hive(path)

        def key(*names):
            node = h.root()
            for name in names:
                node = h.node_get_child(node, name)
                if not node:
                    raise ValueError("it has no key " + "\\".join(names))
            return node

        def value(node, name):  # hivex raises where a value is missing
            return next((v for v in h.node_values(node) if h.value_key(v).lower() == name.lower()), None)
        select = value(key("Select"), "Current")
        if not select:
            raise ValueError("it has no value Select\\Current")
        control_set = f"ControlSet{h.value_dword(select):03d}"
        # The string values; those whose data names a DLL are kept below
        # (DllDirectory and DllDirectory32 name folders).
        names = [h.value_string(v) for v in h.node_values(key(control_set, *SESSION_MANAGER, "KnownDLLs"))
                 if h.value_type(v)[0] in (1, 2)]
        exclude = value(key(control_set, *SESSION_MANAGER), "ExcludeFromKnownDlls")
        excluded = [n for n in h.value_multiple_strings(exclude) if n.strip()] if exclude else []
    except (RuntimeError, ValueError, OSError, UnicodeDecodeError) as e:
        raise BadInput(f"cannot read the known DLLs from the registry hive {path}: {e}")
    return KnownDlls([n for n in names if n.strip().lower().endswith(".dll")], excluded, "hive", path)


def known_dlls(given, hive):
    """The known DLLs: from the file given (--known-dlls), else from the
    Windows' hive where it has one, else the built-in list."""
    if given:
        return from_file(given)
    if hive:
        return from_hive(hive)
    return KnownDlls(BUILT_IN)
