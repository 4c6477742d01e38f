"""The two ways of telling the verdict: text for people, one JSON object for
programs. Both are described in docs/loader.md."""
import json
from typing import NamedTuple

from .names import demangled
from .status import SUCCESS


class Shipped(NamedTuple):
    """What --bundle or --deploy made: how ("bundled in" or "deployed
    into"), the folder, [bundle.File] shipped, the loader of the folder's
    program alone and its refusal (then the files shipped are removed)."""
    kind: str
    folder: str
    files: list
    loader: object
    refusal: object


def how(m):
    if not m.assembly:
        return m.how
    i = m.assembly.identity
    return (f"{m.how}: {i.name} {i.version}, {i.arch}, {i.token or 'no key'}; {m.assembly.where}"
            + (", identity from the file name" if m.assembly.from_name else ""))


def header(exe, loader):
    search, system = loader.search, loader.system
    kind = "DLL" if getattr(loader.program.image, "dll", False) else "program"
    return (f"{exe}: an {loader.machine.name} {kind}; known DLLs ({search.known_list}) from {system.folder.path}; "
            "other DLLs looked for in "
            + ", then ".join(f.path for f in [search.app, system.folder] + search.paths + [f for f, _ in search.extra])
            + (f"; API sets by {system.schema.path}" if system.schema else "; no API set schema")
            + (f"; side-by-side assemblies from {system.winsxs} and private ones" if system.winsxs else
               "; side-by-side assemblies: private ones only (no WinSxS: --system is not a Windows folder)"))


def unknown(loader):
    """What a built-in Windows' data cannot tell of this verdict."""
    store = loader.sxs.store
    return loader.unknown + list(getattr(store, "unknown", []))


def outcome(refusal, loader):
    if refusal:
        return f"refused: {refusal}"
    return f"undecided: {'; '.join(unknown(loader))}" if unknown(loader) else "starts"


def reason(refusal):
    """A refusal in a few words: the DLL and function, or the DLL."""
    if refusal.function is not None and refusal.dll:
        return f"{refusal.dll}!{refusal.function}" if isinstance(refusal.function, str) else \
            f"{refusal.dll}!#{refusal.function}"
    return f"{refusal.status[0]} {refusal.dll or refusal.file or refusal.detail}"


def releases_line(releases):
    """Which built-in releases start the program and, of those that do not,
    each first reason; the lowest that starts it."""
    starts = [r.name for r, loader, refusal in releases if not refusal and not unknown(loader)]
    groups = {}
    for r, loader, refusal in releases:
        if refusal:
            groups.setdefault(("refused", reason(refusal)), []).append(r.name)
        elif unknown(loader):
            groups.setdefault(("undecided", unknown(loader)[0]), []).append(r.name)
    parts = [f"starts on {', '.join(starts)}" + (f" (from {starts[0]} on)" if starts[-1:] == [releases[-1][0].name]
                                                 and len(starts) > 1 else "") if starts else "starts on none"]
    parts += [f"{kind} on {', '.join(names)}: {why}" for (kind, why), names in groups.items()]
    return "Windows: " + "; ".join(parts)


def missing(loader):
    """Every DLL and function missing, once each, in the order met, with
    the C++ names of mangled ones: ([Refused], {name: C++ name})."""
    seen = {}
    for r in loader.refusals:
        seen.setdefault(str(r), r)
    found = list(seen.values())
    return found, demangled([str(r.function) for r in found if r.function is not None])


def missing_lines(loader):
    """The missing, where more than the verdict's one."""
    found, names = missing(loader)
    if len(found) < 2:
        return []
    return ["missing (the loader stops at the first):"] + [
        f"  {r}" + (f" [{names[str(r.function)]}]" if str(r.function) in names else "") for r in found]


def delayed_lines(loader):
    lines = []
    for dll, needed_by, module, refusal in loader.delayed:
        if module and not refusal:
            lines.append(f"  {dll}: {module.path} ({module.how}; needed by {needed_by})")
        else:
            what = "not found" if refusal.dll == dll and refusal.status[0] == "STATUS_DLL_NOT_FOUND" else \
                f"cannot be loaded: {refusal}"
            lines.append(f"  {dll}: {what} (needed by {needed_by}): the process starts, and its first call into it "
                         "fails (0xC06D007E)")
    return ["delay-loaded (mapped at the first call):"] + lines if lines else []


def as_text(exe, loader, refusal, shipped=None, releases=None):
    """The report; with shipped (Shipped), what the bundle or the program's
    folder got and, last, the verdict of its program alone."""
    lines = [header(exe, loader)]
    for m in loader.mapped:
        if m in loader.own:
            lines.append(f"{m.name}: {m.path} ({how(m)})")
            lines += [f"    {function}: {result}" for function, result, _ in m.functions]
    indirect = [m for m in loader.mapped if m not in loader.own]
    if indirect:
        lines.append("needed by those DLLs:")
        lines += [f"  {m.name}: {m.path} ({how(m)}; needed by {m.needed_by})" for m in indirect]
    if loader.api_sets:
        lines.append("API sets:")
        lines += [f"  {api_set} -> {host} (for {needed_by})" for api_set, host, needed_by in loader.api_sets]
    lines += delayed_lines(loader) + missing_lines(loader) + notes(loader)
    if releases:
        lines.append(releases_line(releases))
    lines.append(outcome(refusal, loader))
    if shipped:
        lines.append(f"{shipped.kind} {shipped.folder}:")
        lines += [f"  {f.relative}: {f.source} ({f.how}" + (f"; needed by {f.needed_by})" if f.needed_by else ")")
                  for f in shipped.files]
        alone = shipped.loader
        lines.append(f"{alone.program.path} alone, with {alone.system.folder.path}"
                     + (" (so what was shipped is removed again):" if shipped.refusal else ":"))
        lines.append(outcome(shipped.refusal, alone))
    return "\n".join(lines)


def notes(loader):
    return list(loader.system.notes) + loader.search.notes + loader.notes + loader.sxs.notes


def module_json(m, loader):
    fields = {"name": m.name, "path": m.path, "how": m.how, "needed_by": m.needed_by}
    if m.api_set:
        fields["api_set"] = m.api_set
    if m.assembly:
        fields["assembly"] = dict(m.assembly.identity.as_json(), manifest=m.assembly.manifest,
                                  identity_from="file name" if m.assembly.from_name else "manifest")
    if m in loader.own:
        fields["functions"] = [{"name": f, "result": r, "bound_to": b} for f, r, b in m.functions]
    return fields


def verdict_json(refusal, loader):
    if not refusal and unknown(loader):
        return {"verdict": "undecided", "status": None, "code": None, "detail": "; ".join(unknown(loader)),
                "unknown": unknown(loader)}
    status = refusal.status if refusal else SUCCESS
    return {"verdict": "refused" if refusal else "starts", "status": status[0], "code": status[1],
            "detail": refusal and refusal.detail}


def release_json(release, loader, refusal):
    tables = loader.system.info
    return dict(verdict_json(refusal, loader), release=release.key, name=f"Windows {release.name}",
                build=tables["build"], tables=tables["machine"], schema=tables["schema_build"] or None,
                dll=refusal and refusal.dll, function=refusal and refusal.function)


def as_json(loader, refusal, shipped=None, releases=None):
    found, names = missing(loader)
    return json.dumps(dict(
        verdict_json(refusal, loader), dll=refusal and refusal.dll, function=refusal and refusal.function,
        file=refusal and refusal.file, machine=loader.machine.name, system=loader.system.folder.path,
        winsxs=loader.system.winsxs,
        known_dlls={"from": loader.search.known_list.source, "path": loader.search.known_list.path},
        modules=[module_json(m, loader) for m in loader.mapped], notes=notes(loader),
        missing=[{"status": r.status[0], "dll": r.dll, "function": r.function, "file": r.file, "detail": r.detail,
                  "demangled": names.get(str(r.function))} for r in found],
        delay_loaded=[{"name": dll, "needed_by": needed_by, "path": module and module.path,
                       "how": module and module.how, "refusal": refusal and str(refusal)}
                      for dll, needed_by, module, refusal in loader.delayed],
        windows=getattr(loader.system, "release", None) and f"Windows {loader.system.release.name}",
        releases=releases and [release_json(*r) for r in releases],
        bundle=shipped and dict(verdict_json(shipped.refusal, shipped.loader), folder=shipped.folder,
                                kind="deploy" if shipped.kind.startswith("deployed") else "bundle", files=[
            {"file": f.relative, "from": f.source, "how": f.how, "needed_by": f.needed_by} for f in shipped.files])),
        indent=1)


def error_json(message):
    """Bad input as one JSON object, where --json was asked for."""
    return json.dumps({"verdict": "bad input", "status": None, "code": None, "detail": message}, indent=1)
