"""A film's identity, and the small memo files kept in the cache under it.

A film of several GB is never hashed whole: its identity is a digest of its size, its
modification time and 1 MiB at its start, middle and end. A rewritten, cut or touched file
gets a new identity, so a memo never answers for another film. The identity of a file is
worked out once per process for as long as the file stays as it is.
"""

from __future__ import annotations

import hashlib
import os
import threading
from typing import Any

from kestro_core.store import files
from kestro_core.store.cache import Cache

__all__ = ["identity", "memo_file", "read_json", "write_json"]

_SAMPLE = 1 << 20  # bytes read at each of the three places
_known: dict[tuple[int, int, int, int], str] = {}
_lock = threading.Lock()


def identity(path: str) -> str:
    """sha256 hex of the film's size, modification time and three 1 MiB samples. Raises
    OSError when it cannot be read."""
    st = os.stat(path)
    key = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
    with _lock:
        found = _known.get(key)
    if found is not None:
        return found
    digest = hashlib.sha256(b"kestro-film\0")
    digest.update(f"{st.st_size}:{st.st_mtime_ns}".encode())
    with open(path, "rb") as f:
        for offset in sorted(
            {0, max(0, st.st_size // 2 - _SAMPLE // 2), max(0, st.st_size - _SAMPLE)}
        ):
            f.seek(offset)
            digest.update(offset.to_bytes(8, "big"))
            digest.update(f.read(_SAMPLE))
    found = digest.hexdigest()
    with _lock:
        _known[key] = found
    return found


def memo_file(cache: Cache | None, kind: str, film: str, suffix: str) -> str | None:
    """Where the memo of ``kind`` for the film ``film`` (its identity) is kept; None
    without a cache, or with one that is off."""
    if cache is None:
        return None
    return cache.memo_path(f"{kind}-{film}{suffix}")


def read_json(path: str | None) -> dict[str, Any]:
    """A memo's JSON object; {} when there is none (or it cannot be read: a memo only saves
    time)."""
    doc = files.read_json(path)
    return doc if isinstance(doc, dict) else {}


def write_json(path: str | None, doc: dict[str, Any]) -> None:
    """Put ``doc`` at ``path`` whole (written beside it and renamed); a failure is let go."""
    files.write_json(path, doc, separators=(",", ":"))
