"""Small pictures of a stretch of the source, side by side in one JPEG: what the studio's
timeline shows under the window it draws.

The stretch is cut into ``count`` equal slots; each tile is the picture in the middle of its
slot. What ffmpeg reads grows with the tiles, not with the stretch: a short stretch is
decoded whole (every frame of it, once), a longer one is read as one seek per tile that
decodes a single keyframe (the one at or before the slot's middle). Made once per stretch
and kept in the cache's memo folder.
"""

from __future__ import annotations

import contextlib
import glob
import hashlib
import os

from kestro_core import media
from kestro_core.finding.memo import identity, memo_file
from kestro_core.store.cache import Cache
from kestro_core.store.files import write_beside

__all__ = ["filmstrip", "TILE", "MAX_TILES", "FilmstripError"]

TILE = (160, 90)  # pixels of one tile; a picture of another shape is letterboxed in it
MAX_TILES = 60
FULL_DECODE = 15.0  # s: a stretch up to this long is decoded frame by frame
KEPT = 400  # filmstrips kept in the memo folder (the oldest go first)
_QUALITY = "5"  # ffmpeg's JPEG scale, 2 (best) to 31
_VERSION = "1"  # part of the memo name: a change to how strips are made makes new ones
_KIND = "filmstrip"


class FilmstripError(ValueError):
    """A stretch or a tile count ffmpeg cannot make a filmstrip of."""


def _tile_chain() -> str:
    width, height = TILE
    return (
        f"scale={width}:{height}:force_original_aspect_ratio=decrease,"
        f"pad={width}:{height}:-1:-1,setsar=1"
    )


def _decoded(source: str, start: float, step: float, count: int) -> list[str]:
    """One pass over the stretch: every frame decoded, one kept per slot."""
    chain = f"fps=fps={1 / step:.6f}:start_time=0:round=up,{_tile_chain()},tile={count}x1"
    # the first frame kept is the one in the middle of the first slot; each next one the
    # last frame at or before its slot's middle (round=up: "near" would keep the last
    # frame of the half slot after it)
    begin = start + step / 2
    return [
        *("-skip_loop_filter", "all", "-ss", f"{begin:.6f}", "-t", f"{step * count:.6f}"),
        *("-i", source, "-an", "-sn", "-dn", "-vf", chain),
    ]


def _sought(source: str, start: float, step: float, count: int) -> list[str]:
    """One seek per slot, each decoding the keyframe at or before the slot's middle."""
    argv: list[str] = []
    graph = []
    for k in range(count):
        at = start + (k + 0.5) * step
        argv += ["-skip_frame", "nokey", "-noaccurate_seek", "-ss", f"{at:.6f}", "-i", source]
        graph.append(f"[{k}:v:0]trim=end_frame=1,setpts=0,{_tile_chain()}[t{k}]")
    # a tile past the end of the picture is left black at the strip's end
    joined = "".join(f"[t{k}]" for k in range(count))
    graph.append(f"{joined}concat=n={count}:v=1:a=0,tile={count}x1")
    return [*argv, "-filter_complex", ";".join(graph), "-an"]


def _memo(cache: Cache | None, source: str, start: float, end: float, count: int) -> str | None:
    """Where the filmstrip of this window is kept: under the film's identity, then the
    window's own digest."""
    if cache is None:
        return None
    try:
        film = identity(os.path.abspath(source))
    except OSError:
        return None  # made, not kept (ffmpeg says what is wrong with the file)
    window = f"{_VERSION}:{start:.3f}:{end:.3f}:{count}"
    return memo_file(cache, _KIND, film, f"-{hashlib.sha256(window.encode()).hexdigest()[:16]}.jpg")


def _keep_few(directory: str) -> None:
    """The memo folder keeps the KEPT newest filmstrips."""
    strips = []
    for path in glob.glob(os.path.join(glob.escape(directory), f"{_KIND}-*.jpg")):
        with contextlib.suppress(OSError):
            strips.append((os.path.getmtime(path), path))
    strips.sort(reverse=True)
    for _, path in strips[KEPT:]:
        with contextlib.suppress(OSError):
            os.remove(path)


def filmstrip(
    source: str, start: float, end: float, count: int, *, cache: Cache | None = None
) -> bytes:
    """A JPEG of ``count`` tiles (TILE pixels each) in a row for ``start`` to ``end``
    (seconds of ``source`` as ffmpeg's ``-ss`` counts them). Raises FilmstripError for a
    stretch or count it cannot make, MediaError when ffmpeg fails."""
    if not (0 <= start < end) or not (1 <= count <= MAX_TILES):
        raise FilmstripError(
            f"a filmstrip needs 0 <= start < end and 1 to {MAX_TILES} tiles "
            f"(got {start:g} to {end:g}, {count} tiles)"
        )
    memo = _memo(cache, source, start, end, count)
    if memo is not None:
        with contextlib.suppress(OSError):
            with open(memo, "rb") as f:
                data = f.read()
            if data:
                os.utime(memo)  # kept among the newest
                return data
    step = (end - start) / count
    path = media.local_path(source)
    picked = _decoded if end - start <= FULL_DECODE else _sought
    argv = ["ffmpeg", "-nostdin", "-v", "error", *picked(path, start, step, count)]
    argv += ["-frames:v", "1", "-q:v", _QUALITY, "-f", "mjpeg", "-"]
    seconds = end - start if picked is _decoded else 0.0
    data = media.run(argv, media_seconds=seconds).stdout
    if not data:
        raise media.MediaError(argv, f"ffmpeg made no picture of {start:g} s to {end:g} s")
    if memo is not None:
        with contextlib.suppress(OSError):

            def write(tmp: str) -> None:
                with open(tmp, "wb") as f:
                    f.write(data)

            write_beside(memo, write)
            _keep_few(os.path.dirname(memo))
    return data
