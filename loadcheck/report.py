"""The two ways of telling the verdict: text for people, one JSON object for
programs. Both are described in docs/loader.md."""
import json

from .status import SUCCESS


def own_dlls(loader):
    return {dll.lower() for dll, _ in loader.program.imports}


def as_text(exe, loader, refusal):
    search, own = loader.search, own_dlls(loader)
    lines = [f"{exe}: known DLLs from {search.system.folder.path}; other DLLs looked for in "
             + ", then ".join(f.path for f in [search.app, search.system.folder] + search.paths)
             + (f"; API sets by {loader.system.schema.path}" if loader.system.schema else "; no API set schema")]
    for m in loader.mapped:
        if m.name.lower() in own:
            lines.append(f"{m.name}: {m.path} ({m.how})")
            lines += [f"    {function}: {result}" for function, result, _ in m.functions]
    indirect = [m for m in loader.mapped if m.name.lower() not in own]
    if indirect:
        lines.append("needed by those DLLs:")
        lines += [f"  {m.name}: {m.path} ({m.how}; needed by {m.needed_by})" for m in indirect]
    if loader.api_sets:
        lines.append("API sets:")
        lines += [f"  {api_set} -> {host} (for {needed_by})" for api_set, host, needed_by in loader.api_sets]
    lines += search.notes
    lines.append(f"refused: {refusal}" if refusal else "starts")
    return "\n".join(lines)


def module_json(m, own):
    fields = {"name": m.name, "path": m.path, "how": m.how, "needed_by": m.needed_by}
    if m.api_set:
        fields["api_set"] = m.api_set
    if m.name.lower() in own:
        fields["functions"] = [{"name": f, "result": r, "bound_to": b} for f, r, b in m.functions]
    return fields


def as_json(loader, refusal):
    status = refusal.status if refusal else SUCCESS
    own = own_dlls(loader)
    return json.dumps({
        "verdict": "refused" if refusal else "starts", "status": status[0], "code": status[1],
        "dll": refusal and refusal.dll, "function": refusal and refusal.function, "detail": refusal and refusal.detail,
        "modules": [module_json(m, own) for m in loader.mapped],
        "notes": loader.search.notes}, indent=1)
