"""Checks in the manner of Wine's conformance tests: each is
ok(condition, "message with the values seen"), and the script's exit status
says whether any failed."""
import sys

_failed = 0
_count = 0


def ok(condition, message):
    global _failed, _count
    _count += 1
    if not condition:
        _failed += 1
        print(f"FAIL: {message}", flush=True)
    return bool(condition)


def done(name):
    print(f"{name}: {_count} checks, {_failed} failing", flush=True)
    sys.exit(1 if _failed or not _count else 0)
