"""What a stream-copy cut shows from before its start.

A stream-copy cut starts at the keyframe at or before "start", so its piece opens with the
picture between that keyframe and "start" (on a film often seconds of it). A job that cuts
by stream copy warns of every piece that opens with more than PREROLL_WARNING seconds of it.
"""

from __future__ import annotations

import os

from kestro_core import media
from kestro_core.segments.model import Document, read

__all__ = ["PREROLL_WARNING", "preroll_warning", "preroll_warnings"]

PREROLL_WARNING = 0.5  # seconds of picture from before "start" a piece may open with unsaid
_AFTER = 1.0  # read past each range's end, as the plan does, so both share one read


def preroll_warning(index: int, preroll: float | None) -> str | None:
    """The warning of a stream-copy job for a piece that opens with more than
    PREROLL_WARNING seconds of picture from before its start (None: it does not)."""
    if preroll is None or preroll <= PREROLL_WARNING:
        return None
    return f"Segment {index} opens with {preroll:.1f} s of picture from before its start"


def preroll_warnings(
    video: str, segments_file: str | Document, probes: media.Probes | None = None
) -> list[str]:
    """The warnings of a stream-copy job: one line per Segment whose piece opens with more
    than PREROLL_WARNING seconds of picture from before its start. Reads the source around
    the ranges only, in one run; the segments file may be given as the Document read of it,
    ``probes`` are the job's."""
    segments = [seg for seg in read(segments_file) if seg.end > seg.start]
    probe = (probes or media.Probes()).get(os.path.abspath(video))
    spans = [(max(0.0, seg.start), max(0.0, seg.start, seg.end)) for seg in segments]
    windows = probe.windows(spans, _AFTER)
    lines = []
    for seg, packets in zip(segments, windows, strict=True):
        before = [
            t for t in media.keyframe_times(packets, probe.start_time) if t <= seg.start + 1e-6
        ]
        first = max(before) if before else seg.start
        line = preroll_warning(seg.index, seg.start - first)
        if line is not None:
            lines.append(line)
    return lines
