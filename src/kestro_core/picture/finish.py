"""After the job: the words files, and the vertical video encoded once more from the joined
one with its captions drawn in, as the burned copy (centre crop, "lines") or as the
finished short (each Segment in its frame, captions in the chosen style).

Both are one ``encode``, the package's one finishing encode, with a filter graph from
``framing``; they have the vertical export's speed, size and encoder choice, and its sound
copied as it is (the finished short: its finished sound). The times
of every word come from the one cached synthesis the job used (``Heard.timing``), placed
where the narration is heard in the joined video.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Sequence

from kestro_core import media
from kestro_core.picture import captions, framing
from kestro_core.picture.framing import COMMANDS, Piece, frame_commands, video_filter
from kestro_core.segments import keys
from kestro_core.segments.model import Segment
from kestro_core.sound.heard import Heard
from kestro_core.sound.mix import CODEC, Soundtrack
from kestro_core.speech.timing import Timing, placed_words, words_file_entries, write_words_file
from kestro_core.store import products, scratch
from kestro_core.store.cache import Cache
from kestro_core.store.files import write_beside

__all__ = [
    "timed_narrations",
    "write_words_files",
    "pieces",
    "spoken_words",
    "burned",
    "finished",
    "encode",
    "caption_filter",
    "burn",
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
    segments: Sequence[Segment],
    horizontal: str,
    *,
    on_track: Callable[[int, int], object] | None = None,
    source: str | None = None,
    exact: bool = True,
    cache: Cache | None = None,
    probes: media.Probes | None = None,
    note: Callable[[str], object] | None = None,
) -> list[framing.Piece]:
    """The pieces of the joined video (picture starts ``starts``) in the frames the job's
    Segments give them; an "auto" piece's path is found from the picture (``on_track(k,
    n)`` before the k-th of n): from the Segment's range of ``source`` when it is at hand
    (the path the plan gives, ``cache``d), moved to the piece's times (``exact``: the piece
    opens on "start", else on the keyframe before it), else from the joined video; ``note``
    is told when the face detector is missing."""
    frames = [keys.frame_of(seg.raw) for seg in segments]
    bounds = list(starts) + [math.inf]
    autos = sum(1 for f in frames[: len(starts)] if f == keys.AUTO)
    done = 0
    told: set[str] = set()

    def once(text: str) -> None:
        if note is not None and text not in told:
            told.add(text)
            note(text)

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
            if source is not None and os.path.isfile(source):
                seg = segments[i]
                probes = probes or media.Probes()
                first = seg.start
                if not exact:
                    found = probes.get(os.path.abspath(source)).keyframe_before(seg.start)
                    first = seg.start if found is None else found
                ranged = framing.subject_path(
                    source, seg.start, seg.end, cache=cache, note=once, probes=probes
                )
                path = tuple((start + t - first, c) for t, c in ranged)
            else:
                path = framing.subject_path(horizontal, start, finite_end, note=once)
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
    note: Callable[[str], object] | None = None,
) -> None:
    """The burned copy: the "lines" captions over the export's centre crop (``note``: told
    when the software encoder takes over)."""
    burn(horizontal, vertical, cues, speed, output, progress=progress, note=note)


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
    note: Callable[[str], object] | None = None,
    length: float | None = None,
) -> None:
    """The finished short: each piece in its frame, the captions in ``style`` ("words":
    from the narrations' word timings; "lines": ``cues``), and ``sound`` (else the
    vertical video's, copied); ``note`` is told when the software encoder takes over.
    ``length``: the vertical video's duration, when the job has read it already."""
    if style == "words":
        document = captions.word_ass_document(spoken_words(heard, speed))
    else:
        document = captions.ass_document(cues)
    graph = framing.video_filter(framed, speed, caption_filter())
    commands = framing.frame_commands(framed)
    encode(
        horizontal,
        vertical,
        output,
        graph,
        document,
        commands,
        progress=progress,
        sound=sound,
        note=note,
        length=length,
    )


# --- the encode ---------------------------------------------------------------------------

_GPU_UNAVAILABLE = "  (GPU unavailable, using CPU encoder...)"
_ASS_NAME = "captions.ass"


def _remove(path: str) -> None:
    try:
        os.remove(path)
    except OSError:
        pass


def encode(
    horizontal: str,
    vertical: str,
    output: str,
    graph: str,
    ass_text: str,
    commands: str,
    *,
    progress: Callable[[float], object] | None = None,
    sound: Soundtrack | None = None,
    note: Callable[[str], object] | None = None,
    length: float | None = None,
) -> None:
    """Make ``output``: the vertical video encoded again from ``horizontal`` through the
    filter graph ``graph`` (``[0:v]`` in, ``[v]`` out; it reads the captions as the file
    "captions.ass", which holds ``ass_text``, and its timed commands as framing.COMMANDS,
    which holds ``commands``), with the sound of ``vertical`` copied as it is, or the
    finished sound ``sound`` encoded.

    The hardware encoder is tried first, then the software one (``note`` is told so);
    ``progress`` gets the fraction of the vertical video encoded so far (from 0 again when
    the software encoder takes over). ``output`` appears only when the encode succeeds; a
    failure (a MediaError when ffmpeg fails) leaves nothing behind. ``length`` is the
    vertical video's duration, when the caller has read it already.
    """
    horizontal, vertical, output = (os.path.abspath(p) for p in (horizontal, vertical, output))
    for name, path in (("horizontal video", horizontal), ("vertical video", vertical)):
        if not os.path.isfile(path):
            raise FileNotFoundError(f"the {name} {path!r} is missing: run the job first")
    if not os.path.isdir(os.path.dirname(output)):
        raise FileNotFoundError(f"the folder of {output!r} does not exist: create it first")
    try:
        length = media.duration(vertical) if length is None else length
    except media.MediaError:
        length = 0.0  # the encode says what is wrong with the video
    base = ["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-i", horizontal, "-i", vertical]
    if sound is not None:
        base += ["-i", media.local_path(sound.path)]
    base += ["-filter_complex_script", "graph.txt", "-map", "[v]"]
    base += ["-map", "1:a?", "-c:a", "copy"] if sound is None else ["-map", "2:a", *CODEC]

    def make(tmp: str) -> None:
        gpu = base + ["-c:v", "h264_nvenc", "-preset", "p1", "-cq", "23", "-f", "mp4", tmp]
        cpu = base + ["-c:v", "libx264", "-preset", "ultrafast", "-crf", "23", "-f", "mp4", tmp]
        # the files' names are relative: a path in a filter's options would need escaping;
        # they are this encode's alone, written in a directory of its own
        with scratch.directory("kestro-captions-") as work:
            with open(os.path.join(work, _ASS_NAME), "w", encoding="utf-8") as ass:
                ass.write(ass_text)
            with open(os.path.join(work, "graph.txt"), "w", encoding="utf-8") as script:
                script.write(graph)
            with open(os.path.join(work, COMMANDS), "w", encoding="utf-8") as timed:
                timed.write(commands)
            try:
                media.run(gpu, media_seconds=length, cwd=work, progress=progress)
            except media.MediaError:
                if note is not None:
                    note(_GPU_UNAVAILABLE)
                _remove(tmp)
                media.run(cpu, media_seconds=length, cwd=work, progress=progress)

    write_beside(output, make)


def caption_filter() -> str:
    """The filter that draws the captions file ``encode`` writes."""
    return f"ass={_ASS_NAME}"


def burn(
    horizontal: str,
    vertical: str,
    cues: list[captions.Cue],
    speed: float,
    output: str,
    *,
    progress: Callable[[float], object] | None = None,
    note: Callable[[str], object] | None = None,
) -> None:
    """Make ``output``: the vertical video encoded again from ``horizontal`` with ``cues``
    (in the vertical video's times) drawn on the 1080x1920 frame in the "lines" style,
    the export's centre crop, and the sound of ``vertical`` copied as it is (see
    ``encode``)."""
    if not (math.isfinite(speed) and speed > 0):
        raise ValueError(f"speed must be a positive number, not {speed}")
    centre = [Piece(0.0, math.inf)]
    graph = video_filter(centre, speed, caption_filter())
    encode(
        horizontal,
        vertical,
        output,
        graph,
        captions.ass_document(cues),
        frame_commands(centre),
        progress=progress,
        note=note,
    )
