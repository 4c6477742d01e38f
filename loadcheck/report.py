"""The two ways of telling the verdict: text for people, one JSON object for
programs. Both are described in docs/loader.md."""
import json

from .status import SUCCESS


def how(m):
    if not m.assembly:
        return m.how
    i = m.assembly.identity
    return (f"{m.how}: {i.name} {i.version}, {i.arch}, {i.token or 'no key'}; {m.assembly.where}"
            + (", identity from the file name" if m.assembly.from_name else ""))


def header(exe, loader):
    search, system = loader.search, loader.system
    return (f"{exe}: an {loader.machine.name} program; known DLLs ({search.known_list}) from {system.folder.path}; "
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


def as_text(exe, loader, refusal, bundled=None, releases=None):
    """The report; with bundled, (folder, [bundle.File], its loader, its
    refusal), what the bundle holds and, last, its verdict."""
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
    lines += notes(loader)
    if releases:
        lines.append(releases_line(releases))
    lines.append(outcome(refusal, loader))
    if bundled:
        folder, files, alone, alone_refusal = bundled
        lines.append(f"bundled in {folder}:")
        lines += [f"  {f.relative}: {f.source} ({f.how}" + (f"; needed by {f.needed_by})" if f.needed_by else ")")
                  for f in files]
        lines.append(f"{alone.program.path} alone, with {alone.system.folder.path}:")
        lines.append(outcome(alone_refusal, alone))
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


def as_json(loader, refusal, bundled=None, releases=None):
    folder, files, alone, alone_refusal = bundled or (None, [], None, None)
    return json.dumps(dict(
        verdict_json(refusal, loader), dll=refusal and refusal.dll, function=refusal and refusal.function,
        file=refusal and refusal.file, machine=loader.machine.name, system=loader.system.folder.path,
        winsxs=loader.system.winsxs,
        known_dlls={"from": loader.search.known_list.source, "path": loader.search.known_list.path},
        modules=[module_json(m, loader) for m in loader.mapped], notes=notes(loader),
        windows=getattr(loader.system, "release", None) and f"Windows {loader.system.release.name}",
        releases=releases and [release_json(*r) for r in releases],
        bundle=bundled and dict(verdict_json(alone_refusal, alone), folder=folder, files=[
            {"file": f.relative, "from": f.source, "how": f.how, "needed_by": f.needed_by} for f in files])),
        indent=1)
