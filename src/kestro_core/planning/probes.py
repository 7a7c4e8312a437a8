"""What the plan reads from the source video: its keyframes, video packets, frame duration
and length, from the source's Probe, with the packets read around the ranges only (a
two-hour film costs what a short one does); nothing is decoded."""

from __future__ import annotations

import itertools
import os
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from dataclasses import dataclass

from kestro_core import media
from kestro_core.planning.model import Packets

__all__ = ["PlanError", "SourceFacts", "probe_source", "reading"]

# read past each range's end: a stream-copy cut keeps packets until one decodes at "end"
_AFTER = 1.0


class PlanError(ValueError):
    """A probe of a narration or of the source failed; the message says which and why."""


@contextmanager
def reading(what: str) -> Iterator[None]:
    """A MediaError inside becomes a PlanError saying that ``what`` cannot be read."""
    try:
        yield
    except media.MediaError as exc:
        raise PlanError(f"cannot read {what}: {exc}") from exc


@dataclass(frozen=True)
class SourceFacts:
    """What the plan reads from the source video."""

    keyframes: list[float]  # seconds from the start, as -ss counts them
    frame: float | None  # frame duration
    duration: float | None  # container duration
    packets: Packets | None = None  # the video packets, same time origin


def probe_source(
    video: str,
    ranges: Sequence[tuple[float, float]] = (),
    probes: media.Probes | None = None,
) -> SourceFacts:
    """Keyframes, frame duration and duration of ``video``: the keyframes and packets are
    those from the keyframe at or before each range's start (start, end in seconds) to a
    little past its end, each read once. ``probes``: the job's Probes, when it has them."""
    with reading(f"the keyframes of {video!r}"):
        probe = (probes or media.Probes()).get(os.path.abspath(video))
        spans = sorted((max(0.0, s), max(0.0, s, e)) for s, e in ranges)
        windows = probe.windows(spans, _AFTER)
    kept: list[media.Packet] = []
    pts: list[float] = []
    dts: list[float] = []
    for packet in itertools.chain.from_iterable(windows):
        if packet.pts is None:
            continue
        decoded = packet.pts if packet.dts is None else packet.dts
        if dts and decoded <= dts[-1]:
            continue  # read already: the next range's seek went back into the last
        kept.append(packet)
        pts.append(packet.pts)
        dts.append(decoded)
    origin = probe.start_time
    # file order is decode order; where decode times go back, only the keyframes are used
    ordered = all(a <= b for a, b in itertools.pairwise(dts))
    packets = (
        Packets([t - origin for t in pts], [t - origin for t in dts]) if ordered and pts else None
    )
    keyframes = media.keyframe_times(kept, origin)
    return SourceFacts(keyframes, probe.frame, probe.duration, packets)
