"""What a job's timeline holds: every piece of horizontal_final.mp4 as a clip of the media it
came from, in seconds, so that the timeline shows exactly what the joined video shows."""

from __future__ import annotations

from dataclasses import dataclass

__all__ = ["FORMATS", "DEFAULT_FORMAT", "Clip", "Marker", "Cut"]

FORMATS = ("otio", "fcpxml", "edl")
DEFAULT_FORMAT = "otio"


@dataclass(frozen=True)
class Clip:
    """A stretch of ``media`` (an absolute path) from ``source_start`` for ``duration``
    seconds, placed at ``at`` seconds on its track; ``rate`` is the media's frame rate (for
    sound, the rate the timeline counts in); ``level`` its gain in dB, where it has one."""

    media: str
    name: str
    at: float
    source_start: float
    duration: float
    rate: float
    level: float | None = None
    metadata: tuple[tuple[str, object], ...] = ()


@dataclass(frozen=True)
class Marker:
    """A caption: its text from ``start`` to ``end`` seconds of the joined video."""

    start: float
    end: float
    text: str


@dataclass(frozen=True)
class Cut:
    """The whole timeline: the pieces (the first, video track), the narrations, the
    source's own sound of "original" and "mix" Segments, the music, the captions, and the
    joined video's length; ``rate`` is the timeline's frame rate (the source's)."""

    name: str
    rate: float
    length: float
    pieces: tuple[Clip, ...]
    narrations: tuple[Clip, ...] = ()
    originals: tuple[Clip, ...] = ()
    music: tuple[Clip, ...] = ()
    markers: tuple[Marker, ...] = ()
