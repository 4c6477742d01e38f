"""DLL names as the loader reads them: the names in import tables and in
forwarders, which linkers other than Microsoft's spell in their own ways;
and the C++ names behind mangled function names, for the messages."""
import shutil
import subprocess


def dll_file_name(name):
    """The file name that an imported DLL name stands for. Trailing spaces
    are dropped; a name without an extension gets ".dll"; a trailing dot
    means the file has no extension ("xihelper." is the file "xihelper").
    This is the rule that Microsoft's LoadLibrary documentation gives for
    module names, and the loader applies it to imports as well."""
    name = name.rstrip(" ")
    if name.endswith("."):
        return name[:-1]
    return name if "." in name else name + ".dll"


def char_to_integer(text):
    """The number that RtlCharToInteger reads from text with base 0, as the
    loader reads the ordinal of a forwarder "DLL.#N": blanks, a sign, then
    "0x" hexadecimal, "0o" octal, "0b" binary or else decimal digits, up to
    the first character that is not one; no digits read as 0. Kept to 32
    bits, as the loader keeps it."""
    text = text.lstrip("".join(chr(c) for c in range(33)))
    sign = -1 if text.startswith("-") else 1
    text = text[1:] if text[:1] in "+-" else text
    base = {"0x": 16, "0o": 8, "0b": 2}.get(text[:2], 10)
    text = text[2:] if base != 10 else text
    value = 0
    for c in text:
        digit = int(c, 36) if c.isascii() and c.isalnum() else base
        if digit >= base:
            break
        value = value * base + digit
    return (sign * value) & 0xFFFFFFFF


def parse_forwarder(text):
    """(DLL file name, function name or ordinal) that a forwarder string
    names, or None where it names no function (no dot at all). The DLL part
    ends at the first dot; "#N" after it is an ordinal."""
    dll, dot, function = text.partition(".")
    if not dot:
        return None
    if function.startswith("#") and len(function) > 1:
        return dll_file_name(dll), char_to_integer(function[1:])
    return dll_file_name(dll), function


def demangled(names):
    """{name: its C++ name} for the names mangled as GCC and clang mangle
    them (_Z..., read by llvm-cxxfilt or c++filt, a line each) or as MSVC
    does (?..., read by llvm-undname, one name a run), where those tools
    are installed; other names are left out."""
    found = {}
    itanium = sorted({n for n in names if n.startswith("_Z")})
    tool = next((t for t in ("llvm-cxxfilt", "c++filt") if shutil.which(t)), None)
    if itanium and tool:
        out = subprocess.run([tool], input="\n".join(itanium) + "\n", capture_output=True, text=True).stdout
        found.update({n: d for n, d in zip(itanium, out.splitlines()) if d != n})
    for name in sorted({n for n in names if n.startswith("?")}) if shutil.which("llvm-undname") else []:
        r = subprocess.run(["llvm-undname", name], capture_output=True, text=True)
        lines = [line for line in r.stdout.splitlines() if line.strip() and line != name]
        if r.returncode == 0 and len(lines) == 1 and not lines[0].startswith("error"):
            found[name] = lines[0]
    return found
