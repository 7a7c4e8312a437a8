"""The job handed to an editor: horizontal_final.mp4 described as a timeline of the media it
was made from, measured from the products as the captions are.

- the picture: one clip of the source per Segment, from where its piece really starts (the
  Segment's start for an exact cut, the keyframe before it for a stream copy) for as long as
  the piece lasts in the joined video, at the source's frame rate;
- the narrations: each narration's file, copied into <output>/narrations/ under its cache key
  (the cache may be cleared, the timeline still opens; another job's narrations there are
  other files), placed where it is heard, as long as its piece lets it play;
- the source's own sound of "original" and "mix" Segments, and the music, each on a track of
  its own, with the levels the finished short gives them;
- the captions as markers.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence

from kestro_core import media
from kestro_core.picture.captions import Cue
from kestro_core.segments.keys import MIX, NARRATION, ORIGINAL, sound_of
from kestro_core.segments.model import Segment
from kestro_core.sound.heard import Heard
from kestro_core.sound.mix import MIX_DUCK_DB, MUSIC_DUCK_DB
from kestro_core.store import products
from kestro_core.store.cache import Cache
from kestro_core.store.files import place
from kestro_core.timeline.model import Clip, Cut, Marker

__all__ = ["cut_of", "keep_narrations"]


def keep_narrations(
    files: Sequence[str], heard: Sequence[Heard], identity: str, out: str
) -> list[str | None]:
    """Each spoken narration copied to <out>/narrations/<cache key>.mp3 (a hard link where it
    can be); None for a Segment that speaks nothing. A file there already holds the same
    narration (its name is its key) and is kept as it is."""
    folder = os.path.join(out, products.NARRATIONS)
    os.makedirs(folder, exist_ok=True)
    kept: list[str | None] = []
    for path, narration in zip(files, heard, strict=False):
        if not narration.text:
            kept.append(None)
            continue
        dest = os.path.join(folder, Cache.narration_key(identity, narration.text) + ".mp3")
        if not os.path.isfile(dest):
            place(path, dest)
        kept.append(dest)
    return kept


def cut_of(
    *,
    source: str,
    segments: Sequence[Segment],
    exact: bool,
    starts: Sequence[float],
    length: float,
    heard: Sequence[Heard],
    narrations: Sequence[str | None],
    cues: Sequence[Cue],
    probes: media.Probes,
    music: str | None = None,
    music_level: float = 0.0,
) -> Cut:
    """The timeline of one job's joined video (``length`` seconds; its pieces begin at
    ``starts``) made from ``source``."""
    probe = probes.get(source)
    rate = 1.0 / probe.frame if probe.frame else 25.0
    pieces: list[Clip] = []
    originals: list[Clip] = []
    for i, (seg, at) in enumerate(zip(segments, starts, strict=False)):
        end = starts[i + 1] if i + 1 < len(starts) else length
        first = seg.start
        if not exact:
            found = probe.keyframe_before(seg.start)
            first = seg.start if found is None else found
        name = f"Segment {seg.index}"
        # the picture of the range, no further: a piece whose sound runs on past its clip
        # holds the clip's last frame there
        shown = min(end - at, seg.end - first)
        piece = Clip(source, name, at, first, max(0.0, shown), rate)
        pieces.append(piece)
        sound = sound_of(seg.raw)
        if sound != NARRATION:
            level = 0.0 if sound == ORIGINAL else -MIX_DUCK_DB
            facts: tuple[tuple[str, object], ...] = (
                ("sound", sound),
                ("ducked_under_narration_db", MIX_DUCK_DB if sound == MIX else 0.0),
            )
            originals.append(Clip(source, name, at, first, piece.duration, rate, level, facts))
    spoken: list[Clip] = []
    for i, (narration, path) in enumerate(zip(heard, narrations, strict=False)):
        if path is None or narration.silent:
            continue
        at = max(0.0, narration.start - narration.lead)
        lasts = probes.get(path).length()
        room = narration.piece_end - at
        duration = min(lasts, room) if room > 0 else lasts
        spoken.append(Clip(path, f"Narration {i + 1}", at, 0.0, duration, rate))
    looped: list[Clip] = []
    if music is not None:
        lasts = probes.get(music).length()
        facts = (("ducked_under_voice_db", MUSIC_DUCK_DB), ("level_against_voice_db", music_level))
        at = 0.0
        while lasts > 0 and at < length - 1e-6 and math.isfinite(lasts):
            take = min(lasts, length - at)
            looped.append(Clip(music, "Music", at, 0.0, take, rate, music_level, facts))
            at += take
    markers = tuple(Marker(c.start, c.end, c.text) for c in cues)
    return Cut(
        products.TIMELINE,
        rate,
        length,
        tuple(pieces),
        tuple(spoken),
        tuple(originals),
        tuple(looped),
        markers,
    )
