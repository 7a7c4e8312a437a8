"""A job holds its output directory: one job at a time writes there.

The extension's working files have fixed names (clip_0.mp4, voice_0.mp3, filelist.txt), so two
jobs in one directory would delete and overwrite each other's. A job takes an OS lock on a
file in the directory for its whole life: the kernel lets it go the moment the process ends,
however it ends, so a killed job never blocks the next one, and a lock file left behind (or
written by a job on another machine over a network file system whose locks do not reach us)
decides nothing by itself. The file says who holds it, for the message of the job refused.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import socket
from collections.abc import Iterator

__all__ = ["LOCK_NAME", "DirectoryInUse", "holding"]

LOCK_NAME = ".kestro.lock"


class DirectoryInUse(RuntimeError):
    """The output directory is held by another job, or cannot hold a lock at all."""


def _holder(fd: int) -> str:
    """Who wrote the lock file, as the message says it: the process id, and the machine when
    it is another."""
    with contextlib.suppress(OSError):
        text = os.pread(fd, 200, 0).decode("utf-8", "replace").split()
        if len(text) >= 2 and text[0].isdigit():
            pid, host = text[0], text[1]
            return (
                f" (process {pid})"
                if host == socket.gethostname()
                else f" (process {pid} on {host})"
            )
    return ""


def _take(directory: str, path: str) -> int:
    """A descriptor of the lock file, locked; the file is made when it is not there."""
    while True:
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        except OSError as exc:
            raise DirectoryInUse(
                f"cannot take the output directory {directory!r} for this job: no lock file"
                f" can be made there ({exc.strerror or exc}): choose a directory you can"
                " write to"
            ) from exc
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            holder = _holder(fd)
            os.close(fd)
            if exc.errno not in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                raise DirectoryInUse(
                    f"cannot lock the output directory {directory!r} for this job"
                    f" ({exc.strerror or exc}): choose another directory"
                ) from exc
            raise DirectoryInUse(
                f"the output directory {directory!r} is in use by another job{holder}:"
                " wait until it ends, or give this job another directory"
            ) from None
        # the job before may have removed the file between our open and our lock: then
        # the lock is on a file nobody else will open, and the path is taken again
        try:
            same = os.stat(path).st_ino == os.fstat(fd).st_ino
        except FileNotFoundError:
            same = False
        if same:
            return fd
        os.close(fd)


@contextlib.contextmanager
def holding(directory: str) -> Iterator[str]:
    """Hold ``directory`` for the length of the block; DirectoryInUse at once when another
    job holds it, or when no lock file can be made there (the reason said)."""
    path = os.path.join(directory, LOCK_NAME)
    fd = _take(directory, path)
    try:
        with contextlib.suppress(OSError):
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"{os.getpid()} {socket.gethostname()}\n".encode(), 0)
        yield path
    finally:
        # removed while still held, so a job waiting on this file finds it gone and makes
        # a new one; a job killed here leaves the file, which blocks nobody
        with contextlib.suppress(OSError):
            os.remove(path)
        os.close(fd)
