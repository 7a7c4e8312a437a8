"""What the plan reads from the source video: its keyframes, video packets, frame duration
and length, in one ffprobe run that decodes nothing and, given the ranges, reads only
around them (a two-hour film costs what a short one does)."""

from __future__ import annotations

import itertools
import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from kestro_core.media import MediaError, frame_rate, probe, read_intervals
from kestro_core.planning.model import Packets

__all__ = ["PlanError", "SourceFacts", "probe_source", "keyframes", "probed"]

# read past each range's end: a stream-copy cut keeps packets until one decodes at "end"
_AFTER = 1.0


class PlanError(ValueError):
    """A probe of a narration or of the source failed; the message says which and why."""


def probed(path: str, what: str, *entries: str) -> dict[str, Any]:
    """``media.probe`` of ``path`` (made absolute); PlanError naming ``what`` when it fails."""
    try:
        return probe(os.path.abspath(path), *entries)
    except MediaError as exc:
        raise PlanError(f"cannot read {what}: {exc}") from exc


@dataclass(frozen=True)
class SourceFacts:
    """What the plan reads from the source video."""

    keyframes: list[float]  # seconds from the start, as -ss counts them
    frame: float | None  # frame duration
    duration: float | None  # container duration
    packets: Packets | None = None  # the video packets, same time origin


def _seconds(value: Any) -> float | None:
    try:
        return float(value)
    except (TypeError, ValueError):
        return None


def probe_source(video: str, ranges: Sequence[tuple[float, float]] | None = None) -> SourceFacts:
    """Keyframes, frame duration and duration of ``video`` in one ffprobe run. Reads the
    packet flags only: nothing is decoded. With ``ranges`` (start, end in seconds) only the
    packets from the keyframe at or before each start to a little past its end are read:
    the keyframes and packets are then those around the ranges."""
    around = [] if ranges is None else read_intervals(ranges, _AFTER)
    if ranges is not None and not around:
        around = ["-read_intervals", "0%+#1"]  # no range: one packet, for the stream's facts
    doc = probed(
        video,
        f"the keyframes of {video!r}",
        "-select_streams",
        "v:0",
        *around,
        "-show_entries",
        "packet=pts_time,dts_time,flags:stream=avg_frame_rate,r_frame_rate"
        ":format=start_time,duration",
    )
    marks: list[float] = []
    pts: list[float] = []
    dts: list[float] = []
    for packet in doc.get("packets") or []:
        shown = _seconds(packet.get("pts_time"))
        if shown is None:
            continue
        decoded = _seconds(packet.get("dts_time"))
        if dts and (shown if decoded is None else decoded) <= dts[-1] and ranges is not None:
            continue  # read already: the next interval's seek went back into the last
        pts.append(shown)
        dts.append(shown if decoded is None else decoded)
        if "K" in str(packet.get("flags", "")):
            marks.append(shown)
    frame = None
    for stream in (doc.get("streams") or [])[:1]:
        rate = frame_rate(stream.get("avg_frame_rate")) or frame_rate(stream.get("r_frame_rate"))
        frame = 1 / rate if rate else None
    container = doc.get("format") or {}
    origin = _seconds(container.get("start_time")) or 0.0
    # file order is decode order; where decode times go back, only the keyframes are used
    ordered = all(a <= b for a, b in itertools.pairwise(dts))
    packets = (
        Packets([t - origin for t in pts], [t - origin for t in dts]) if ordered and pts else None
    )
    length = _seconds(container.get("duration"))
    return SourceFacts(sorted({m - origin for m in marks}), frame, length, packets)


def keyframes(video: str) -> list[float]:
    """Times of the keyframes of the first video stream, in seconds from the start of the
    file as ffmpeg's ``-ss`` counts them."""
    return probe_source(video).keyframes
