"""The package's working directories in the temporary directory, and what a killed job left.

Every working directory of ours lies under one parent of this user's (``kestro-<uid>`` in the
temporary directory, private), and its name starts with its owner: the process id and, on
Linux, the process's start time (a process id comes round again; the pair does not). A
directory removes itself when its work is done; one whose owner was killed stays, and the
next job removes it (``sweep``): its owner is gone, so nothing of it is in use.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import sys
import tempfile
from collections.abc import Iterator

__all__ = ["parent", "mkdtemp", "directory", "sweep", "owner_tag"]


def _start_time(pid: int) -> str | None:
    """The process's start time in clock ticks since boot (Linux), or None."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read().decode("ascii", "replace")
    except OSError:
        return None
    # the command name is in parentheses and may hold spaces: the fields after it count
    fields = stat[stat.rfind(")") + 2 :].split()
    return fields[19] if len(fields) > 19 else None


def owner_tag(pid: int | None = None) -> str:
    """What names a directory's owner: ``<pid>`` or ``<pid>.<start time>``."""
    pid = os.getpid() if pid is None else pid
    start = _start_time(pid) if sys.platform.startswith("linux") else None
    return f"{pid}" if start is None else f"{pid}.{start}"


def parent() -> str:
    """This user's parent of our working directories, made private when missing."""
    uid = os.getuid() if hasattr(os, "getuid") else 0
    path = os.path.join(tempfile.gettempdir(), f"kestro-{uid}")
    with contextlib.suppress(FileExistsError):
        os.mkdir(path, 0o700)
    return path


def mkdtemp(prefix: str) -> str:
    """A new private working directory, ``<prefix><owner>-<random>``, under ``parent()``;
    the caller removes it."""
    return tempfile.mkdtemp(prefix=f"{prefix}{owner_tag()}-", dir=parent())


@contextlib.contextmanager
def directory(prefix: str) -> Iterator[str]:
    """A working directory for the length of the block (``mkdtemp``), removed after it."""
    path = mkdtemp(prefix)
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def _alive(tag: str) -> bool:
    pid_text, _, start = tag.partition(".")
    if not pid_text.isdigit():
        return True  # not one of ours: left alone
    pid = int(pid_text)
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        pass  # there, but another user's
    return not start or _start_time(pid) in (None, start)


def sweep() -> list[str]:
    """Remove the working directories whose owner is gone; the paths removed."""
    root = parent()
    removed: list[str] = []
    try:
        names = os.listdir(root)
    except OSError:
        return removed
    for name in names:
        # <prefix ending in "-"><owner>-<random>: the owner is the last field but one
        fields = name.rsplit("-", 2)
        if len(fields) != 3 or _alive(fields[1]):
            continue
        path = os.path.join(root, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
            removed.append(path)
    return removed
