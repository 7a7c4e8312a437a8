"""File placement shared by the sources, the voices and the cache.

A job's output directory holds files that may be hard links to something else: the source
video may share its bytes with the user's own video or with a cache entry, and a narration
with a cached one. Such a path is never opened for writing: a new file is made beside it and
renamed over it, so whatever else links to the old bytes keeps them unchanged.
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import secrets
import shutil
from collections.abc import Callable
from typing import Any

__all__ = [
    "place",
    "place_link",
    "temp_beside",
    "write_beside",
    "remove_parts",
    "make_last_directory",
    "can_make_last_directory",
    "read_json",
    "write_json",
]

_PART = re.compile(r"\.(.+)\.[0-9a-f]{12}\.part")


def can_make_last_directory(path: str) -> bool:
    """Whether ``path`` is missing but ``make_last_directory`` can make it: its parent is a
    directory we may write in."""
    parent = os.path.dirname(os.path.abspath(path))
    return (
        not os.path.lexists(path) and os.path.isdir(parent) and os.access(parent, os.W_OK | os.X_OK)
    )


def make_last_directory(path: str) -> bool:
    """Make the directory ``path`` when it is missing and its parent exists (only the last
    level: a mistyped parent is not turned into a tree of new directories). True when it
    was made here; a directory made meanwhile by somebody else is fine."""
    if not can_make_last_directory(path):
        return False
    try:
        os.mkdir(path)
    except FileExistsError:
        return False
    return True


def temp_beside(path: str) -> str:
    """A fresh name in the directory of ``path`` that no job uses; nothing is created."""
    head, tail = os.path.split(path)
    return os.path.join(head, f".{tail}.{secrets.token_hex(6)}.part")


def remove_parts(directory: str, ours: Callable[[str], bool]) -> list[str]:
    """Remove the hidden files that ``temp_beside`` names for the files ``ours`` accepts in
    ``directory``:
    what a killed writer left half made (only when no writer of them can be alive: the
    directory's job holds it). The paths removed."""
    removed: list[str] = []
    with contextlib.suppress(OSError):
        for entry in os.scandir(directory):
            m = _PART.fullmatch(entry.name)
            if m is not None and ours(m.group(1)) and entry.is_file(follow_symlinks=False):
                with contextlib.suppress(FileNotFoundError):
                    os.remove(entry.path)
                    removed.append(entry.path)
    return removed


def write_beside(path: str, make: Callable[[str], object]) -> None:
    """``make(tmp)`` writes a new file at a fresh name beside ``path``, which is renamed
    over ``path`` once whole: a failure leaves nothing half made, and ``path`` is never
    written through."""
    tmp = temp_beside(path)
    try:
        make(tmp)
        os.replace(tmp, path)
    finally:
        with contextlib.suppress(OSError):
            os.remove(tmp)


def place(src: str, dest: str, *, link: bool = True, symlink: bool = False) -> bool:
    """Put the bytes of ``src`` at ``dest`` without opening ``dest`` for writing.

    Hard-links ``src`` to a temporary name beside ``dest`` when ``link`` is true and the
    system allows it, else copies it there (or, with ``symlink``, links to ``src``'s real
    path: never a copy); then renames the temporary file onto ``dest``. Returns True when
    it hard-linked. ``src`` is only read. A failure (an interrupt included) removes the
    temporary file and leaves ``dest`` as it was.
    """
    tmp = temp_beside(dest)
    linked = False
    try:
        if link:
            try:
                os.link(src, tmp)
                linked = True
            except OSError:
                # another file system, protected hard links, too many links, no support
                linked = False
        if not linked and symlink:
            os.symlink(os.path.realpath(src), tmp)
        elif not linked:
            shutil.copyfile(src, tmp)
        os.replace(tmp, dest)
        # rename() does nothing when both names already were one file
        if os.path.lexists(tmp):
            os.remove(tmp)
    except BaseException:
        try:
            os.remove(tmp)
        except OSError:
            pass
        raise
    return linked


def place_link(src: str, dest: str) -> bool:
    """Put a link to the file ``src`` at ``dest``, never a copy: a hard link where the
    system allows one, else a symbolic link to ``src``'s real path. Returns True for a hard
    link. Removing ``dest`` later removes only the link."""
    return place(src, dest, symlink=True)


def read_json(path: str | None) -> Any:
    """The JSON document of a memo file; None when there is none, or it cannot be read (a
    memo only saves time)."""
    if path is None:
        return None
    try:
        with open(path, "rb") as f:
            return json.load(f)
    except (OSError, ValueError, RecursionError):
        return None


def write_json(path: str | None, doc: Any, **options: Any) -> None:
    """Put ``doc`` at the memo file ``path`` whole (written beside it and renamed; ``options``
    go to ``json.dump``); a failure is let go, as the memo only saves time."""
    if path is None:
        return

    def write(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8") as f:
            json.dump(doc, f, **options)

    with contextlib.suppress(OSError):
        write_beside(path, write)
