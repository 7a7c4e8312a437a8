"""Where the shots change: ffmpeg's scene detection over a small decode of a window.

Only the window is decoded. ffmpeg seeks to the keyframe at or before it and decodes from
there, dropping the frames before the window before any filter sees them; each picture is
made WIDTH pixels wide at once and compared with the one before it in RGB (the luma alone
misses a cut between two colours of one brightness). A change is the time of the first
frame of the new shot: its own timestamp (the file's, to the microsecond) less the
container's start, as ``-ss`` and the segments file count. What a window costs is the
decode from the keyframe before it to its end, whatever the film's length.

The decoder skips the loop filter (a picture 160 pixels wide shows no difference, and the
decode is faster: by a quarter on an idle machine, less under load); windows that overlap or
lie less than MERGE apart are decoded as one stretch, and the stretches WORKERS at a time, one
thread each (a single stretch longer than SPLIT is cut in two). Each window's changes are
kept in the cache's memo folder, under the film's identity.
"""

from __future__ import annotations

import math
import os
import re
from collections.abc import Iterable, Sequence
from concurrent.futures import ThreadPoolExecutor

from kestro_core import media
from kestro_core.finding.memo import identity, memo_file, read_json, write_json
from kestro_core.store.cache import Cache

__all__ = ["THRESHOLD", "WIDTH", "shot_changes", "changes_in", "clock"]

THRESHOLD = 10.0  # scdet's score (0 to 100) from which two frames are two shots
WIDTH = 160  # pixels: the pictures compared
SPLIT = 30.0  # s: a longer window is decoded as two halves at once
MERGE = 1.0  # s: windows closer than this are decoded as one
WORKERS = 2  # ffmpeg runs at once
_LEAD = 0.1  # s decoded before a window: its first frame has one before it to compare with
_SETTINGS = f"scdet {THRESHOLD:g} rgb24 {WIDTH} v1"
_KEPT = 4000  # windows kept in one film's memo (the oldest go first)
_FRAME = re.compile(rb"frame:\d+\s+pts:(-?\d+)")

Window = tuple[float, float | None]


def shot_changes(
    source: str, start: float = 0.0, end: float | None = None, *, cache: Cache | None = None
) -> list[float]:
    """The shot changes of ``source`` from ``start`` to ``end`` (None: its end), seconds as
    ``-ss`` counts them, sorted: each the time of the first frame of the new shot. A window
    at or past the film's end has none. Raises ValueError when ``end`` lies before
    ``start``, MediaError when ffmpeg cannot read the film. ``cache``: where the changes
    found are kept (none without it)."""
    return changes_in(source, [(start, end)], cache=cache)[0]


def changes_in(
    source: str,
    windows: Sequence[Window],
    *,
    cache: Cache | None = None,
    probes: media.Probes | None = None,
) -> list[list[float]]:
    """The shot changes in each window (start, end: None for the film's end), as
    ``shot_changes`` finds them: those not in the memo decoded WORKERS at a time.
    ``probes``: the job's."""
    for start, end in windows:
        if end is not None and end < start:
            raise ValueError(f"the window ends ({end:g} s) before it starts ({start:g} s)")
    path = os.path.abspath(source)
    probe = (probes or media.Probes()).get(path)
    try:
        memo_path = memo_file(cache, "shots", identity(path), ".json")
    except OSError as exc:
        raise media.MediaError(["ffmpeg", path], f"cannot read {path!r}: {exc}") from exc
    memo = read_json(memo_path)
    known = memo.get("windows") if memo.get("settings") == _SETTINGS else None
    known = known if isinstance(known, dict) else {}
    found: dict[str, list[float]] = {}
    todo: dict[str, Window] = {}
    for start, end in windows:
        key = _key(start, end)
        if _past_end(probe, start, end):
            found[key] = []
        elif isinstance(known.get(key), list):
            found[key] = [float(t) for t in known[key]]
        else:
            todo[key] = (max(0.0, start), end)
    if todo:
        parts = [part for window in _merged(todo.values()) for part in _parts(probe, window)]
        with ThreadPoolExecutor(max_workers=WORKERS) as pool:
            threads = 1 if len(parts) > 1 else 0  # 0: as many as ffmpeg likes
            runs = [
                pool.submit(_decode, path, probe.start_time, a, b, probe.duration, threads)
                for a, b in parts
            ]
            changes = sorted({t for run in runs for t in run.result()})
        for key, (start, end) in todo.items():
            found[key] = [t for t in changes if _inside(t, start, end)]
        _remember(memo_path, {key: found[key] for key in todo})
    return [list(found[_key(start, end)]) for start, end in windows]


def clock(seconds: float) -> str:
    """Seconds as HH:MM:SS.mmm (to the millisecond), as the finding commands print times."""
    ms = round(seconds * 1000)
    sign = "-" if ms < 0 else ""
    hours, ms = divmod(abs(ms), 3_600_000)
    minutes, ms = divmod(ms, 60_000)
    return f"{sign}{hours:02d}:{minutes:02d}:{ms // 1000:02d}.{ms % 1000:03d}"


def _key(start: float, end: float | None) -> str:
    return f"{round(max(0.0, start) * 1e6)}:{'end' if end is None else round(end * 1e6)}"


def _inside(t: float, start: float, end: float | None) -> bool:
    return t >= start - 1e-6 and (end is None or t <= end + 1e-6)


def _merged(windows: Iterable[Window]) -> list[Window]:
    """The windows as the stretches decoded: those that overlap or lie less than MERGE
    apart are one (the frames between cost less than a second seek's decode from its
    keyframe)."""
    runs: list[Window] = []
    for start, end in sorted(windows, key=lambda w: (w[0], math.inf if w[1] is None else w[1])):
        if runs:
            last_start, last_end = runs[-1]
            if last_end is None:
                continue
            if start <= last_end + MERGE:
                runs[-1] = (last_start, None if end is None else max(end, last_end))
                continue
        runs.append((start, end))
    return runs


def _past_end(probe: media.Probe, start: float, end: float | None) -> bool:
    return (end is not None and end <= start) or (
        probe.duration is not None and start >= probe.duration
    )


def _parts(probe: media.Probe, window: Window) -> list[tuple[float, float | None]]:
    """A window as the runs that decode it: a long one in WORKERS parts (each its own seek)."""
    start, end = window
    stop = end if end is not None else probe.duration
    if stop is None or stop - start <= SPLIT:
        return [window]
    step = (stop - start) / WORKERS
    cuts = [start + k * step for k in range(WORKERS)]
    return [
        (a, b if k < WORKERS - 1 else end)
        for k, (a, b) in enumerate(zip(cuts, [*cuts[1:], stop], strict=True))
    ]


def _decode(
    path: str,
    origin: float,
    start: float,
    end: float | None,
    duration: float | None,
    threads: int,
) -> list[float]:
    """The changes from ``start`` to ``end``. ``origin`` is the container's start,
    ``duration`` its length (for the run's time limit). A short window (an edge the plan
    looks at) is first decoded without the frames no other frame refers to, which costs
    about half: a cut shows there too, between the pictures either side of it, and only
    then is the window decoded whole, to find its frame. Most edges lie near no cut."""
    if end is not None and end - start <= _GLANCE:
        first = max(0.0, start - _GLANCE_LEAD)
        if not _run(path, origin, first, end + _GLANCE_LEAD, duration, threads, glance=True):
            return []
    return [t for t in _run(path, origin, start, end, duration, threads) if _inside(t, start, end)]


_GLANCE = 2.0  # s: windows up to this long are glanced at first
_GLANCE_LEAD = 0.5  # s each side: the glance's pictures lie a few frames apart


def _run(
    path: str,
    origin: float,
    start: float,
    end: float | None,
    duration: float | None,
    threads: int,
    *,
    glance: bool = False,
) -> list[float]:
    """One ffmpeg run over ``start`` to ``end`` (``glance``: the reference frames only):
    the changes it finds, in the file's seconds less ``origin``."""
    lead = min(_LEAD, start)
    seek = start - lead
    argv = ["ffmpeg", "-nostdin", "-hide_banner", "-v", "error"]
    argv += ["-threads", str(threads), "-skip_loop_filter", "all"]
    if glance:
        argv += ["-skip_frame", "noref"]
    argv += ["-copyts", "-ss", f"{seek:.6f}"]
    if end is not None:
        argv += ["-t", f"{end - seek + 1e-3:.6f}"]
    chain = (
        f"scale={WIDTH}:-2:flags=fast_bilinear,format=rgb24,settb=AVTB,"
        f"scdet=threshold={THRESHOLD:g},metadata=mode=print:key=lavfi.scd.time:file=-"
    )
    argv += ["-i", media.local_path(path), "-map", "0:v:0", "-an", "-sn", "-dn"]
    argv += ["-vf", chain, "-f", "null", "-"]
    stop = end if end is not None else duration
    span = 3600.0 if stop is None else stop - seek
    done = media.run(argv, media_seconds=span)
    return [round(int(m.group(1)) / 1e6 - origin, 6) for m in _FRAME.finditer(done.stdout or b"")]


def _remember(memo_path: str | None, new: dict[str, list[float]]) -> None:
    """The windows just decoded added to the film's memo (read again first: another job may
    have added its own)."""
    if memo_path is None:
        return
    memo = read_json(memo_path)
    windows = memo.get("windows") if memo.get("settings") == _SETTINGS else None
    kept = dict(windows) if isinstance(windows, dict) else {}
    for key in new:
        kept.pop(key, None)
    kept.update(new)
    if len(kept) > _KEPT:
        kept = dict(list(kept.items())[-_KEPT:])
    write_json(memo_path, {"settings": _SETTINGS, "windows": kept})
