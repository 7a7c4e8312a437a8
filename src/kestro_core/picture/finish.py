"""After the job: the words files, and the vertical video encoded once more from the joined
one with its captions drawn in, as the burned copy (centre crop, "lines") or as the
finished short (each Segment in its frame, captions in the chosen style).

Both encodes are ``captions.encode`` with a filter graph from ``framing``; they have the
vertical export's speed, size and encoder choice, and its sound copied as it is. The times
of every word come from the one cached synthesis the job used (``Heard.timing``), placed
where the narration is heard in the joined video.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Sequence

from kestro_core.picture import captions, framing
from kestro_core.segments import keys
from kestro_core.segments import model as segments
from kestro_core.sound.heard import Heard
from kestro_core.sound.mix import Soundtrack
from kestro_core.speech.timing import Timing, placed_words, words_file_entries, write_words_file
from kestro_core.store import products

__all__ = [
    "timed_narrations",
    "write_words_files",
    "pieces",
    "spoken_words",
    "burned",
    "finished",
]


def timed_narrations(heard: Sequence[Heard]) -> list[tuple[Timing, float, float, float]]:
    """Each narration's timing, where its own time 0 falls in the joined video, and where
    its piece begins and ends there (a silent or untimed narration has no words)."""
    out = []
    begin = 0.0
    for narration in heard:
        timing = narration.timing
        if narration.silent or timing is None:
            timing = Timing((), "estimated" if timing is None else timing.source)
        out.append((timing, narration.start - narration.lead, begin, narration.piece_end))
        begin = narration.piece_end
    return out


def write_words_files(heard: Sequence[Heard], out: str, speed: float) -> dict[str, str]:
    """ "horizontal_final.words.json" and "FINAL_KESTRO.words.json" in ``out``: every word
    heard, in the order spoken, in seconds of that video."""
    timed = timed_narrations(heard)
    made = {}
    for video, name, scale in (
        ("horizontal_words", products.HORIZONTAL_WORDS, 1.0),
        ("vertical_words", products.VERTICAL_WORDS, speed),
    ):
        path = os.path.join(out, name)
        write_words_file(path, words_file_entries(timed, scale))
        made[video] = path
    return made


def spoken_words(
    heard: Sequence[Heard], speed: float
) -> list[tuple[list[captions.TimedWord], float]]:
    """The words of each narration in the vertical video's times, and its piece's end."""
    per: dict[int, list[captions.TimedWord]] = {}
    for n, word in placed_words(timed_narrations(heard), speed):
        per.setdefault(n, []).append(captions.TimedWord(word.text, word.start, word.end))
    return [(per.get(n, []), h.piece_end / speed) for n, h in enumerate(heard, start=1)]


def pieces(
    starts: Sequence[float],
    segments_file: str,
    horizontal: str,
    *,
    on_track: Callable[[int, int], object] | None = None,
) -> list[framing.Piece]:
    """The pieces of the joined video (picture starts ``starts``) in the frames the
    segments file gives its Segments; an "auto" piece's path is found from the picture
    (``on_track(k, n)`` before the k-th of n)."""
    frames = [keys.frame_of(seg.raw) for seg in segments.read(segments_file)]
    bounds = list(starts) + [math.inf]
    autos = sum(1 for f in frames[: len(starts)] if f == keys.AUTO)
    done = 0
    out = []
    for i, start in enumerate(starts):
        frame = frames[i] if i < len(frames) else keys.CENTRE
        end = bounds[i + 1]
        path: tuple[tuple[float, float], ...] = ()
        if frame == keys.AUTO:
            done += 1
            if on_track is not None:
                on_track(done, autos)
            finite_end = end if math.isfinite(end) else start + 24 * 3600
            path = framing.track(horizontal, start, finite_end)
        out.append(framing.Piece(start, end, frame, path))
    return out


def burned(
    horizontal: str,
    vertical: str,
    output: str,
    cues: list[captions.Cue],
    speed: float,
    *,
    progress: Callable[[float], object] | None = None,
) -> None:
    """The burned copy: the "lines" captions over the export's centre crop."""
    captions.burn(horizontal, vertical, cues, speed, output, progress=progress)


def finished(
    horizontal: str,
    vertical: str,
    output: str,
    framed: Sequence[framing.Piece],
    speed: float,
    style: str,
    *,
    cues: list[captions.Cue],
    heard: Sequence[Heard],
    progress: Callable[[float], object] | None = None,
    sound: Soundtrack | None = None,
) -> None:
    """The finished short: each piece in its frame, the captions in ``style`` ("words":
    from the narrations' word timings; "lines": ``cues``), and ``sound`` (else the
    vertical video's, copied)."""
    if style == "words":
        document = captions.word_ass_document(spoken_words(heard, speed))
    else:
        document = captions.ass_document(cues)
    graph = framing.video_filter(framed, speed, captions.caption_filter())
    commands = framing.frame_commands(framed)
    captions.encode(
        horizontal, vertical, output, graph, document, commands, progress=progress, sound=sound
    )
