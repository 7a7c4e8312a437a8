"""Ranges and the shot changes near their edges.

Only the second before and after each range's start and end is looked at (REACH each way),
so what it costs follows the ranges. An edge is on a change when the frame it shows first
(at a start) or the frame after the last it shows (at an end) is the change's: it then lies
less than one frame before the change, or on it. Off it by more, the piece opens or closes
on a flash of the other shot (or leaves out the first or last frames of its own); the plan
notes each such edge, and a snapped job moves it onto the change: half a frame before the
change's own time, so that the first frame kept (or the first left out) is the change's
however the times are rounded on the way to ffmpeg. Where no change is near, nothing moves.

A snapped job hands the extension a copy of the segments file (``SnappedCopy``) with the
moved times, in a working directory of ours; the user's file is only read.
"""

from __future__ import annotations

import os
import shutil
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from typing import Any

from kestro_core import media
from kestro_core.finding.shots import changes_in, clock
from kestro_core.segments.model import Document, Segment, SegmentsError, dump, read, write
from kestro_core.store import scratch
from kestro_core.store.cache import Cache

__all__ = ["REACH", "Edges", "Snapping", "nearby", "snap_segments", "SnappedCopy"]

REACH = 0.5  # s: how far from an edge a shot change is looked for
_FRAME = 0.04  # s: the frame taken when the source names no rate


@dataclass(frozen=True)
class Edges:
    """The shot change nearest a range's start and its end (seconds), within REACH; None
    where there is none."""

    start: float | None
    end: float | None


@dataclass(frozen=True)
class Snapping:
    """Segments and the changes near their edges: ``segments`` as they are, or moved onto
    the changes when that was asked; one note per edge off its change (or moved)."""

    segments: list[Segment]
    edges: list[Edges]
    notes: list[str]
    moved: int = 0


def nearby(
    video: str,
    ranges: Sequence[tuple[float, float]],
    *,
    cache: Cache | None = None,
    probes: media.Probes | None = None,
) -> list[Edges]:
    """The shot changes near each range's start and end (seconds, as ``-ss`` counts them):
    the windows of all of them looked for together (``changes_in``)."""
    windows = [(t - REACH, t + REACH) for s, e in ranges for t in (s, e)]
    found = changes_in(video, windows, cache=cache, probes=probes)
    edges = []
    for k, (start, end) in enumerate(ranges):
        edges.append(Edges(_nearest(found[2 * k], start), _nearest(found[2 * k + 1], end)))
    return edges


def _nearest(changes: list[float], t: float) -> float | None:
    near = [c for c in changes if abs(c - t) <= REACH + 1e-6]
    return min(near, key=lambda c: (abs(c - t), c)) if near else None


def _off(edge: float, change: float, frame: float) -> float:
    """How far ``edge`` lies from ``change``: 0 when on it (less than a frame before it, or
    at it); else below 0 before it, above 0 after it."""
    if change - frame + 1e-6 < edge <= change + 1e-6:
        return 0.0
    return edge - change


def snap_segments(
    video: str,
    segments: Sequence[Segment],
    *,
    move: bool,
    cache: Cache | None = None,
    probes: media.Probes | None = None,
) -> Snapping:
    """The changes near the edges of ``segments`` in ``video`` and a note for each edge off
    its change; with ``move``, the Segments with those edges moved onto them (a Segment
    that would be left empty keeps its range). Raises MediaError when ffmpeg cannot read the
    video."""
    probes = probes or media.Probes()
    frame = probes.get(os.path.abspath(video)).frame or _FRAME
    edges = nearby(video, [(s.start, s.end) for s in segments], cache=cache, probes=probes)
    kept: list[Segment] = []
    notes: list[str] = []
    moved = 0
    for seg, near in zip(segments, edges, strict=True):
        start, end = seg.start, seg.end
        off_start = 0.0 if near.start is None else _off(seg.start, near.start, frame)
        off_end = 0.0 if near.end is None else _off(seg.end, near.end, frame)
        if near.start is not None and off_start:
            start = near.start - frame / 2
        if near.end is not None and off_end:
            end = near.end - frame / 2
        if move and (off_start or off_end) and start < end:
            notes += _moved(seg.index, "start", off_start, near.start)
            notes += _moved(seg.index, "end", off_end, near.end)
            kept.append(replace(seg, start=start, end=end))
            moved += 1
            continue
        notes += _off_start(seg.index, off_start, near.start)
        notes += _off_end(seg.index, off_end, near.end)
        kept.append(seg)
    return Snapping(kept, edges, notes, moved)


def _off_start(index: int, off: float, change: float | None) -> list[str]:
    if not off or change is None:
        return []
    where = f"Segment {index} starts {abs(off):.2f} s {'before' if off < 0 else 'after'}"
    what = (
        "it opens on a flash of the shot before"
        if off < 0
        else f"it leaves out the first {off:.2f} s of its shot"
    )
    return [f"{where} a shot change ({clock(change)}): {what} (--snap starts it on the change)"]


def _off_end(index: int, off: float, change: float | None) -> list[str]:
    if not off or change is None:
        return []
    where = f"Segment {index} ends {abs(off):.2f} s {'before' if off < 0 else 'after'}"
    what = (
        f"it leaves out the last {-off:.2f} s of its shot"
        if off < 0
        else "it closes on a flash of the next shot"
    )
    return [f"{where} a shot change ({clock(change)}): {what} (--snap ends it on the change)"]


def _moved(index: int, edge: str, off: float, change: float | None) -> list[str]:
    if not off or change is None:
        return []
    way = "later" if off < 0 else "earlier"
    return [
        f"Segment {index}: its {edge} moved {abs(off):.2f} s {way}, onto the shot change at "
        f"{clock(change)}"
    ]


def _time_text(like: Any, seconds: float) -> str:
    """``seconds`` to the microsecond, as a clock when the value it replaces was one."""
    if isinstance(like, str) and ":" in like:
        whole = int(seconds)
        hours, rest = divmod(whole, 3600)
        minutes, secs = divmod(rest, 60)
        return f"{hours:02d}:{minutes:02d}:{secs + seconds - whole:09.6f}"
    return f"{seconds:.6f}"


class SnappedCopy:
    """The segments file a snapped job hands the extension: a copy in a working directory
    of ours (``path``), whose ranges ``snap`` moves onto the shot changes near them once the
    source is in place. ``document`` is the copy (the same object throughout: what it holds
    is the moved Segments once they are moved); ``close`` removes it."""

    def __init__(self, document: Document) -> None:
        self.work = scratch.mkdtemp("kestro-snap-")
        self.path = os.path.join(self.work, os.path.basename(document.path) or "segments.json")
        write(self.path, dump(document.json))
        self.document = Document(self.path)

    @classmethod
    def of(cls, document: Document) -> SnappedCopy | None:
        """The copy of a file whose Segments can be read; None for any other (the run
        itself says what is wrong with it)."""
        try:
            read(document)
        except SegmentsError:
            return None
        return cls(document)

    def snap(
        self,
        video: str,
        *,
        cache: Cache | None = None,
        probes: media.Probes | None = None,
        note: Callable[[str], object] = lambda line: None,
    ) -> list[Segment]:
        """Move the copy's edges onto the changes near them in ``video``, each move a
        ``note``; the Segments as they then stand. Raises MediaError when ffmpeg cannot
        read the video."""
        given = read(self.document)
        snapping = snap_segments(video, given, move=True, cache=cache, probes=probes)
        if snapping.moved:
            doc = list(self.document.json)
            for was, seg in zip(given, snapping.segments, strict=True):
                raw = dict(doc[seg.index - 1])
                for key, old, new in (("start", was.start, seg.start), ("end", was.end, seg.end)):
                    if new != old:
                        raw[key] = _time_text(raw.get(key), new)
                doc[seg.index - 1] = raw
            write(self.path, dump(doc))
            self.document.json = doc
        for line in snapping.notes:
            note(line)
        return snapping.segments

    def close(self) -> None:
        shutil.rmtree(self.work, ignore_errors=True)
