"""A Cut as an OpenTimelineIO timeline, and that timeline written as .otio, .fcpxml or .edl.

The tracks, in order: "Picture" (the pieces, end to end), "Narration", then "Source sound"
and "Music" when they hold anything; an audio clip that overlaps the one before it on its
track goes to a further track of the same name ("Narration 2"). Every time is a whole
number of frames: a clip's edges are rounded, never its length, so clips laid end to end
stay end to end. The captions are markers on the picture track.

The three files differ only where their adapters need it:

- .fcpxml: the adapter knows a fixed set of frame rates by their names (23.98, 29.97,
  59.94), needs every media's available range, places a sound clip under the picture
  clip playing at its start, writes only clip markers and looks clips up by name in
  single quotes: the timeline is built to fit;
- .edl: one video track, reel names of letters and digits, one line per comment: the
  picture track alone, its media named by plain path (what editors match against their
  files), captions left out.
"""

from __future__ import annotations

import math
import os
import pathlib
import re
from dataclasses import dataclass
from typing import Any

from kestro_core.store.files import write_beside
from kestro_core.timeline.model import FORMATS, Clip, Cut

try:
    import opentimelineio as otio
except ImportError:  # the optional extra is not installed: missing() says so
    otio = None

__all__ = ["EXTRA_MISSING", "missing", "build", "write"]

EXTRA_MISSING = (
    "the timeline needs the optional extra kestro_core[timeline]: "
    'pip install "kestro_core[timeline]"'
)

PICTURE = "Picture"
NARRATION = "Narration"
SOURCE_SOUND = "Source sound"
MUSIC = "Music"
OWN = "kestro_core"  # our key in the metadata of clips and markers


@dataclass(frozen=True)
class _Writer:
    adapter: str
    package: str | None  # the adapter's own package, where it is not part of the library
    suffix: str


_WRITERS = {
    "otio": _Writer("otio_json", None, ".otio"),
    "fcpxml": _Writer("fcpx_xml", "otio-fcpx-xml-adapter", ".fcpxml"),
    "edl": _Writer("cmx_3600", "otio-cmx3600-adapter", ".edl"),
}
assert tuple(_WRITERS) == FORMATS

# the rates the fcpxml adapter names, by name: what each stands for
_FCPXML_RATES = {
    23.98: 24000 / 1001,
    24.0: 24.0,
    25.0: 25.0,
    29.97: 30000 / 1001,
    30.0: 30.0,
    50.0: 50.0,
    59.94: 60000 / 1001,
    60.0: 60.0,
}


def _writer(fmt: str) -> _Writer:
    try:
        return _WRITERS[fmt]
    except KeyError:
        raise ValueError(
            f"unknown timeline format {fmt!r}: choose one of {', '.join(FORMATS)}"
        ) from None


def missing(fmt: str) -> str | None:
    """Why a timeline in ``fmt`` cannot be written here (the library or the format's
    adapter is not installed), or None when it can. ValueError for an unknown format."""
    writer = _writer(fmt)
    if otio is None:
        return EXTRA_MISSING
    try:
        otio.adapters.from_name(writer.adapter).module()
    except Exception:  # not in the manifest, or its module does not import
        return (
            f"the {fmt} timeline needs the adapter package {writer.package}: "
            'pip install "kestro_core[timeline]"'
        )
    return None


def build(cut: Cut) -> Any:
    """The timeline (an ``opentimelineio.schema.Timeline``) of ``cut``, as .otio holds it.
    RuntimeError when the library is not installed."""
    return _build(cut, "otio")


def write(cut: Cut, base: str, fmt: str) -> str:
    """Write the timeline of ``cut`` to ``base`` + .otio, .fcpxml or .edl (``fmt``: one of
    FORMATS) in one piece, replacing what was there; the path written. ValueError for an
    unknown format or a frame rate the format cannot count in, RuntimeError when the
    library or the format's adapter is not installed."""
    writer = _writer(fmt)
    timeline = _build(cut, fmt)
    options: dict[str, object] = {}
    if fmt == "edl":
        options["rate"] = _edl_rate(cut.rate)
    path = base + writer.suffix
    write_beside(
        path,
        lambda tmp: otio.adapters.write_to_file(
            timeline, tmp, adapter_name=writer.adapter, **options
        ),
    )
    return path


# --- counting frames --------------------------------------------------------------------


@dataclass(frozen=True)
class _Clock:
    """Frames at ``rate`` per second, carried by the RationalTimes as values at ``label``
    (the rate itself, or the name fcpxml knows it by: 23.98 for 24000/1001)."""

    rate: float
    label: float

    def frames(self, seconds: float) -> int:
        # the nudge moves the tie away from half frames, which measured times often hit,
        # so that two sums of the same instant never round to different frames
        return max(0, math.floor(seconds * self.rate + 0.5 + 1e-6))

    def time(self, frames: int) -> Any:
        value = frames if self.label == self.rate else frames * self.label / self.rate
        return otio.opentime.RationalTime(value, self.label)

    def span(self, start: int, end: int) -> Any:
        return otio.opentime.TimeRange(self.time(start), self.time(end - start))


def _standard(rate: float) -> float:
    """``rate``, or the timecode rate it was measured from (23.976023976 is 24000/1001)."""
    if not (math.isfinite(rate) and rate > 0):
        raise ValueError(f"a timeline needs a positive frame rate, not {rate}")
    near = float(otio.opentime.RationalTime.nearest_valid_timecode_rate(rate))
    return near if abs(near - rate) <= rate * 1e-3 else rate


def _edl_rate(rate: float) -> float:
    exact = _standard(rate)
    if not otio.opentime.RationalTime.is_valid_timecode_rate(exact):
        raise ValueError(
            f"an EDL counts timecode at 23.976, 24, 25, 29.97, 30, 48, 50, 59.94 or 60 "
            f"frames per second, not {rate:g}: write the timeline as otio"
        )
    return exact


def _clock(rate: float, fmt: str) -> _Clock:
    exact = _standard(rate)
    if fmt == "edl":
        exact = _edl_rate(rate)
    if fmt != "fcpxml":
        return _Clock(exact, exact)
    for label, stands in _FCPXML_RATES.items():
        if abs(stands - exact) <= exact * 1e-6:
            return _Clock(stands, label)
    raise ValueError(
        f"an fcpxml timeline runs at 23.98, 24, 25, 29.97, 30, 50, 59.94 or 60 frames per "
        f"second, not {rate:g}: write the timeline as otio"
    )


# --- building ----------------------------------------------------------------------------


def _url(path: str) -> str:
    # percent-encoded: the library's own url_from_filepath leaves "#", "?" and "%" as they
    # are, which then read back as another path; the fcpxml adapter also finds assets by
    # their URL in a quoted XPath, which a bare "'" breaks
    return pathlib.Path(os.path.abspath(path)).as_uri()


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _plain(value: object) -> object:
    """A metadata value as OTIO stores it."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    return str(value)


def _own(clip: Clip) -> dict[str, object]:
    facts: dict[str, object] = {}
    if clip.level is not None:
        facts["level_db"] = clip.level
    facts.update((str(k), _plain(v)) for k, v in clip.metadata)
    return facts


@dataclass
class _Lane:
    track: Any
    end: int = 0  # frames


class _Builder:
    def __init__(self, cut: Cut, fmt: str) -> None:
        self.cut = cut
        self.fmt = fmt
        self.clock = _clock(cut.rate, fmt)
        self.last = self.clock.frames(cut.length)

    def name(self, text: str) -> str:
        if self.fmt == "edl":
            return _one_line(text)
        if self.fmt == "fcpxml":
            return text.replace("'", "\u2019")
        return text

    def reference(self, media: str) -> Any:
        url = _url(media)
        if self.fmt == "edl" and _one_line(media) == media:
            url = os.path.abspath(media)
        return otio.schema.ExternalReference(target_url=url)

    def otio_clip(self, clip: Clip, clock: _Clock, src: int, frames: int) -> Any:
        made = otio.schema.Clip(
            name=self.name(clip.name),
            media_reference=self.reference(clip.media),
            source_range=clock.span(src, src + frames),
        )
        facts = _own(clip)
        if facts:
            made.metadata[OWN] = facts
        if self.fmt == "edl":
            reel = re.sub(r"[^A-Za-z0-9]", "", pathlib.Path(clip.media).stem)[:8]
            made.metadata["cmx_3600"] = {"reel": reel.upper() or "AX"}
        return made

    def tracks(self, name: str, kind: str, clips: tuple[Clip, ...], lanes: bool) -> list[Any]:
        """The clips laid on one track (``lanes``: on as many as their overlaps need), each
        from its ``at``, none past the end of the cut; a track's clips count in one rate."""
        made: list[_Lane] = []
        for clip in sorted(clips, key=lambda c: c.at):
            clock = _clock(clip.rate, self.fmt)
            start = clock.frames(clip.at)
            end = min(clock.frames(clip.at + clip.duration), self.last)
            src = clock.frames(clip.source_start)
            lane = next((ln for ln in made if start >= ln.end - 1), None)
            if lane is None and not lanes and made:
                lane = made[0]
            if lane is None:
                number = f" {len(made) + 1}" if made else ""
                lane = _Lane(otio.schema.Track(name=name + number, kind=kind))
                made.append(lane)
            if start < lane.end:  # a frame of rounding, or (the picture) a piece overlapping
                src += lane.end - start
                start = lane.end
            if end <= start:
                continue
            if start > lane.end:
                lane.track.append(otio.schema.Gap(source_range=clock.span(0, start - lane.end)))
            lane.track.append(self.otio_clip(clip, clock, src, end - start))
            lane.end = end
        return [ln.track for ln in made]

    def picture(self) -> Any:
        cut = self.cut
        found = self.tracks(PICTURE, otio.schema.TrackKind.Video, cut.pieces, lanes=False)
        track = (
            found[0] if found else otio.schema.Track(name=PICTURE, kind=otio.schema.TrackKind.Video)
        )
        clock = self.clock
        for caption in () if self.fmt == "edl" else cut.markers:
            start = clock.frames(caption.start)
            end = max(start, min(clock.frames(caption.end), self.last))
            track.markers.append(
                otio.schema.Marker(
                    name=caption.text,
                    marked_range=clock.span(start, end),
                    # not red nor green, which fcpxml turns into to-do items
                    color=otio.schema.MarkerColor.BLUE,
                    metadata={OWN: {"text": caption.text}},
                )
            )
        return track

    def timeline(self) -> Any:
        cut = self.cut
        audio = otio.schema.TrackKind.Audio
        picture = self.picture()
        tracks = [picture]
        if self.fmt != "edl":
            tracks += self.tracks(NARRATION, audio, cut.narrations, lanes=True) or [
                otio.schema.Track(name=NARRATION, kind=audio)
            ]
            tracks += self.tracks(SOURCE_SOUND, audio, cut.originals, lanes=True)
            tracks += self.tracks(MUSIC, audio, cut.music, lanes=True)
        if self.fmt == "fcpxml":
            _fit_fcpxml(picture, tracks, self.clock)
        made = otio.schema.Timeline(name=self.name(cut.name), global_start_time=self.clock.time(0))
        made.tracks.extend(tracks)
        return made


def _fit_fcpxml(picture: Any, tracks: list[Any], clock: _Clock) -> None:
    """The timeline as the fcpxml adapter writes it: each media's available range (as far
    as the timeline uses it: nothing here knows more), the picture track long enough for
    every sound clip to hang under it, the captions on the clips they start in (the adapter
    writes no track markers; a clip's markers count in its source's time)."""
    clips = [item for t in tracks for item in t if isinstance(item, otio.schema.Clip)]
    used: dict[str, Any] = {}
    for clip in clips:
        url, end = clip.media_reference.target_url, clip.source_range.end_time_exclusive()
        used[url] = max(used.get(url, end), end)
    for clip in clips:
        end = used[clip.media_reference.target_url]
        clip.media_reference.available_range = otio.opentime.TimeRange(
            otio.opentime.RationalTime(0, end.rate), end
        )
    end = max(clock.frames(t.duration().to_seconds()) for t in tracks)
    short = end - clock.frames(picture.duration().to_seconds())
    if short > 0:
        picture.append(otio.schema.Gap(source_range=clock.span(0, short)))
    for marker in picture.markers:
        at = marker.marked_range.start_time
        for item in picture:
            placed = picture.range_of_child(item)
            if isinstance(item, otio.schema.Clip) and placed.contains(at):
                offset = item.source_range.start_time - placed.start_time
                item.markers.append(
                    otio.schema.Marker(
                        name=marker.name,
                        color=marker.color,
                        marked_range=otio.opentime.TimeRange(
                            at + offset, marker.marked_range.duration
                        ),
                        metadata=marker.metadata,
                    )
                )
                break


def _build(cut: Cut, fmt: str) -> Any:
    problem = missing(fmt)
    if problem is not None:
        raise RuntimeError(problem)
    return _Builder(cut, fmt).timeline()
