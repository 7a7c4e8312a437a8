"""Where a job's source video (``products.SOURCE``) comes from: the download service, or
a video on disk.

Both stand in for the extension's ``_download_video(url, output_file)``: they are called
with the path of the source video (which the run has just removed) and leave it there. The
download goes through the cache when there is one, so a rerun fetches nothing it already
has; a local video is hard-linked in (a symbolic link to it where a hard link is refused:
never a copy, whatever its size) and never modified, moved or deleted.
"""

from __future__ import annotations

import os
from collections.abc import Callable

from kestro_core import media
from kestro_core.store.cache import Cache
from kestro_core.store.files import place_link
from kestro_core.store.products import SOURCE, is_working_file

__all__ = ["SourceError", "LocalSource", "ServiceSource", "source_problems"]

DownloadFn = Callable[[str, str], object]
Note = Callable[[str], object]  # told what a source does, in the job's own words


def _unheard(line: str) -> None:
    """Where a note goes when nobody listens for it."""


class SourceError(ValueError):
    """A local source video that a job must not or cannot use."""


def _has_video_stream(path: str, probes: media.Probes) -> str | None:
    """None when ffprobe finds a video stream in ``path``, else why not."""
    try:
        found = probes.get(os.path.abspath(path)).has_video
    except media.MediaError as exc:
        return str(exc)
    return None if found else "it has no video stream"


def _clashing_working_file(source: str, output_dir: str) -> str | None:
    """The working file of the output directory that ``source`` is, by name or by device
    and inode, else None."""
    out = os.path.realpath(output_dir or ".")
    real = os.path.realpath(source)
    if os.path.dirname(real) == out and is_working_file(os.path.basename(real)):
        return os.path.basename(real)
    try:
        st = os.stat(source)
        names = os.listdir(out)
    except OSError:
        return None
    for name in names:
        # the source video is only ever unlinked, which cannot lose bytes that still have the
        # user's own name, and after a failed local job it is this very source, linked in:
        # refusing it would make every rerun impossible. Every other working file is
        # written in place by ffmpeg, so sharing an inode with one would overwrite the source.
        if name == SOURCE or not is_working_file(name):
            continue
        try:
            other = os.stat(os.path.join(out, name))
        except OSError:
            continue
        if (other.st_dev, other.st_ino) == (st.st_dev, st.st_ino):
            return name
    return None


def source_problems(source: str, output_dir: str, probes: media.Probes | None = None) -> list[str]:
    """Why ``source`` cannot be a job's video, one line each ([] when it can); ``probes``:
    the job's, which then keep the source's Probe."""
    shown = repr(source)
    if os.path.islink(source) and not os.path.exists(source):
        target = os.readlink(source)
        return [f"source video {shown} is a link to {target!r}, which does not exist"]
    if not os.path.exists(source):
        return [f"source video {shown} does not exist"]
    if not os.path.isfile(source):
        return [f"source video {shown} is not a regular file"]
    clash = _clashing_working_file(source, output_dir)
    if clash is not None:
        return [
            f"source video {shown} is the job's own working file {clash!r} in the output "
            f"directory, which the job overwrites or deletes; copy it elsewhere or use "
            f"another output directory"
        ]
    if not os.access(source, os.R_OK):
        return [f"source video {shown} cannot be read"]
    why = _has_video_stream(source, probes or media.Probes())
    if why is not None:
        return [f"source video {shown} is not a video ffmpeg can read: {why}"]
    return []


class LocalSource:
    """A video on disk, put in place of the download; ``note`` is told which one, and
    when it is linked by a symbolic link."""

    def __init__(self, path: str, note: Note = _unheard) -> None:
        # the file itself, whatever links lead to it: a link placed in the output directory
        # would point nowhere when its target is relative
        self.path = os.path.realpath(path)
        self._note = note

    def __call__(self, url: str, output_file: str) -> None:
        self._note(f"📥 Using the local video {self.path}")
        if not place_link(self.path, output_file):
            self._note("  (hard link refused: a symbolic link to it instead)")


class ServiceSource:
    """The download service (the extension's own client), through the cache; ``note`` is
    told when the cache has the video."""

    def __init__(self, download: DownloadFn, cache: Cache, note: Note = _unheard) -> None:
        self._download = download
        self._cache = cache
        self._note = note
        self.fetched = False  # the service was asked (no cache hit)

    def __call__(self, url: str, output_file: str) -> None:
        key = Cache.download_key(url)
        entry = self._cache.get_download(key)
        if entry is not None:
            try:
                self._cache.link_out(entry, output_file)
            except OSError:
                pass  # evicted by another job since the look-up: fetched again
            else:
                self._note(
                    f"📥 Using the cached download of {url} (the service is not asked again)"
                )
                return
        # the run has just removed the source video, so the client writes a new file there
        self.fetched = True
        self._download(url, output_file)
        self._cache.put_download(key, output_file)
