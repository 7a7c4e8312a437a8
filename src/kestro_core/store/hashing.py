"""sha256 of large files (voice models, source videos), remembered by path, size and
modification time in a small JSON memo so that an unchanged file is read once."""

from __future__ import annotations

import contextlib
import hashlib
import os
from pathlib import Path
from typing import Any

from kestro_core.store.files import read_json, write_json

__all__ = ["file_sha256"]

_HASH_BLOCK = 1 << 20


def file_sha256(path: Path, memo_file: str | None) -> str:
    """sha256 of the file's bytes, taken from ``memo_file`` when the file's path, size and
    modification time are those it was recorded with."""
    real = os.path.realpath(path)
    before = os.stat(real)
    memo = _read_memo(memo_file) if memo_file is not None else {}
    entry = memo.get(real)
    if (
        isinstance(entry, dict)
        and entry.get("size") == before.st_size
        and entry.get("mtime_ns") == before.st_mtime_ns
        and isinstance(entry.get("sha256"), str)
    ):
        return str(entry["sha256"])
    digest = hashlib.sha256()
    with open(real, "rb") as f:
        while block := f.read(_HASH_BLOCK):
            digest.update(block)
    sha = digest.hexdigest()
    after = os.stat(real)
    # a file that changed while it was read is not remembered
    if memo_file is not None and (after.st_size, after.st_mtime_ns) == (
        before.st_size,
        before.st_mtime_ns,
    ):
        memo[real] = {"size": before.st_size, "mtime_ns": before.st_mtime_ns, "sha256": sha}
        _write_memo(memo_file, memo)
    return sha


def _read_memo(memo_file: str) -> dict[str, Any]:
    memo = read_json(memo_file)
    return memo if isinstance(memo, dict) else {}


def _write_memo(memo_file: str, memo: dict[str, Any]) -> None:
    """Replaces the memo file whole; the memo only saves time, so a failure is let go."""
    with contextlib.suppress(OSError):
        os.makedirs(os.path.dirname(os.path.abspath(memo_file)), exist_ok=True)
    write_json(memo_file, memo, indent=1, sort_keys=True)
