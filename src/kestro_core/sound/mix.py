"""The finished short's sound: the narrations, the source's own sound where a Segment asks
for it, music under them, all brought to the platforms' loudness.

While the job runs, the source's sound of every "original" and "mix" range is kept
(``capture``: that range decoded, nothing else of the film). After it, ``soundtrack``
makes the finished short's sound, in passes over the sound alone (a minute of short is
a fraction of a second each), for the finishing encode to take as it is:

- the narrations are the vertical video's own sound (sped up as its picture is);
- each kept range is laid where its piece's picture starts, sped up the same way; in a
  "mix" piece it gives way by MIX_DUCK_DB while the narration is heard;
- the music is looped or cut to the short's length, faded out over its last FADE_OUT
  seconds, set ``level`` dB against the voice (both measured), and gives way by
  MUSIC_DUCK_DB wherever a narration or a kept range is heard;
- the whole is measured, then brought to TARGET_LUFS by one gain with its true peak held
  under TARGET_PEAK (measured again through the limiter, and made up, where the limiter
  takes loudness off a peaky voice).

The giving way follows the sound, not the Segments' bounds: the sound is read in 5 ms
blocks; a pause shorter than ATTACK + RELEASE stays lowered (no pumping between words);
the gain falls over ATTACK seconds ending where the sound starts (the graph knows what
comes, so the first syllable is heard over lowered music) and comes back over RELEASE
seconds after it ends.
"""

from __future__ import annotations

import math
import os
import shutil
from collections.abc import Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from dataclasses import dataclass, field

from kestro_core import media
from kestro_core.media.audio import BLOCK_SECONDS, Level, loudness, measure
from kestro_core.segments import keys
from kestro_core.store import scratch

__all__ = [
    "TARGET_LUFS",
    "TARGET_PEAK",
    "MIX_DUCK_DB",
    "MUSIC_DUCK_DB",
    "DEFAULT_MUSIC_LEVEL",
    "ATTACK",
    "RELEASE",
    "FADE_OUT",
    "Kept",
    "Originals",
    "silence",
    "silence_seconds",
    "Soundtrack",
    "has_sound",
    "clip_start",
    "CODEC",
    "capture",
    "spans",
    "gain_expression",
    "soundtrack",
    "music_problem",
]

TARGET_LUFS = -14.0
TARGET_PEAK = -1.5  # dBTP asked of the normaliser: the product stays at or under -1
MIX_DUCK_DB = 15.0  # the source's sound under a narration, in a "mix" piece
MUSIC_DUCK_DB = 12.0  # the music under a narration or the source's sound
DEFAULT_MUSIC_LEVEL = -20.0  # dB: how far under the voice the music plays, unless told
ATTACK = 0.12  # seconds: short enough that the cut is not heard as a dip
RELEASE = 0.35  # seconds: long enough not to pump, short enough to be back in 0.5 s
FADE_OUT = 1.5
RATE = 48_000
CODEC = ["-c:a", "aac", "-b:a", "192k", "-ar", str(RATE)]  # the finished short's sound


# ---------------------------------------------------------------------------------------
# while the job runs: the source's sound of a range
# ---------------------------------------------------------------------------------------


def has_sound(video: str, probes: media.Probes | None = None) -> bool:
    """Whether ``video`` has a sound track (reads its header only; ``probes``: the job's)."""
    return (probes or media.Probes()).get(os.path.abspath(video)).has_audio


def clip_start(video: str, start: float, probes: media.Probes | None = None) -> float:
    """Where a stream-copy clip of a range from ``start`` begins in ``video``: the keyframe
    at or before ``start`` (only the packets around it are read)."""
    found = (probes or media.Probes()).get(os.path.abspath(video)).keyframe_before(start)
    return start if found is None else found


def capture(
    video: str, first: float, end: float, dest: str, probes: media.Probes | None = None
) -> bool:
    """The source's sound from ``first`` to ``end`` into ``dest`` (WAV, 48 kHz stereo):
    only that range is read and decoded. False, and nothing written, when the source has
    no sound track."""
    if not has_sound(video, probes):
        return False
    argv = ["ffmpeg", "-nostdin", "-y", "-v", "error", "-ss", f"{first:.6f}"]
    argv += ["-i", media.local_path(os.path.abspath(video)), "-t", f"{max(0.0, end - first):.6f}"]
    argv += ["-map", "0:a:0", "-vn", "-ac", "2", "-ar", str(RATE), "-c:a", "pcm_s16le"]
    media.run([*argv, "-f", "wav", dest], media_seconds=end - first)
    return True


def silence_seconds(first: float, end: float) -> float:
    """How long the silent narration of an "original" Segment whose picture runs from
    ``first`` to ``end`` is: a second past the clip, so the merge keeps all of it."""
    return max(0.0, end - first) + 1.0


def silence(path: str, seconds: float, rate: int) -> None:
    """An MP3 of ``seconds`` of silence at ``rate`` (the narration of an "original"
    Segment: the merge then keeps the whole range)."""
    argv = ["ffmpeg", "-nostdin", "-y", "-v", "error", "-f", "lavfi"]
    argv += ["-i", f"anullsrc=r={rate}:cl=mono", "-t", f"{max(0.1, seconds):.6f}"]
    media.run([*argv, "-c:a", "libmp3lame", "-q:a", "9", "-f", "mp3", path], media_seconds=seconds)


class Originals:
    """The source's sound of a job's "original" and "mix" ranges, decoded on a worker
    thread as each range is cut (the source is there until the job's clean-up)."""

    def __init__(self, probes: media.Probes | None = None) -> None:
        self._probes = probes or media.Probes()  # the job's: the source is probed once
        self._dir = scratch.mkdtemp("kestro-original-")
        self._pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="kestro-original")
        self._kept: dict[int, tuple[str, str, Future[bool]]] = {}

    def keep(self, index: int, kind: str, video: str, first: float, end: float) -> None:
        """Segment ``index`` (from 1) has the sound ``kind``; its picture runs from
        ``first`` to ``end`` in ``video``."""
        dest = os.path.join(self._dir, f"{index}.wav")
        done = self._pool.submit(capture, video, first, end, dest, self._probes)
        self._kept[index] = (kind, dest, done)

    def wait(self) -> None:
        """Until every range kept so far is decoded (errors are raised by ``pieces``)."""
        for _, _, done in self._kept.values():
            done.exception()

    def pieces(self, starts: Sequence[float], total: float) -> tuple[list[Kept], list[str]]:
        """The kept sounds as the joined video's pieces (picture ``starts``, ``total``
        seconds long), and a line for each Segment whose source had no sound."""
        kept: list[Kept] = []
        notes: list[str] = []
        bounds = [*starts, total]
        for index, (kind, path, done) in sorted(self._kept.items()):
            if not done.result():
                notes.append(
                    f"Segment {index}: the source has no sound of its own, so its "
                    f'"{kind}" sound is the narration alone'
                )
                continue
            if index < len(bounds):
                start, end = bounds[index - 1], bounds[index]
                kept.append(Kept(path, kind, start, max(0.0, end - start)))
        return kept, notes

    def close(self) -> None:
        self._pool.shutdown(wait=True, cancel_futures=True)
        shutil.rmtree(self._dir, ignore_errors=True)


# ---------------------------------------------------------------------------------------
# when the sound is heard, and the gain that gives way to it
# ---------------------------------------------------------------------------------------


def spans(
    loud: Sequence[bool], at: float = 0.0, scale: float = 1.0, until: float = math.inf
) -> list[tuple[float, float]]:
    """The stretches of sound in 5 ms blocks (``loud``), in seconds ``at + t / scale``
    and up to ``until``, pauses shorter than ATTACK + RELEASE bridged."""
    found: list[tuple[float, float]] = []
    start = None
    for k, on in enumerate([*loud, False]):
        if on and start is None:
            start = k
        elif not on and start is not None:
            a = at + start * BLOCK_SECONDS / scale
            b = min(until, at + k * BLOCK_SECONDS / scale)
            if a < b:
                found.append((a, b))
            start = None
    return merged(found)


def merged(stretches: Sequence[tuple[float, float]]) -> list[tuple[float, float]]:
    """``stretches`` sorted, with those closer than ATTACK + RELEASE joined."""
    out: list[tuple[float, float]] = []
    for a, b in sorted(stretches):
        if out and a - out[-1][1] < ATTACK + RELEASE:
            out[-1] = (out[-1][0], max(out[-1][1], b))
        else:
            out.append((a, b))
    return out


def _ramp(a: float, b: float) -> str:
    """How far the gain has given way at time t (0 to 1) around one stretch [a, b]."""
    return f"clip(min((t-{a - ATTACK:.4f})/{ATTACK},({b + RELEASE:.4f}-t)/{RELEASE}),0,1)"


def _tree(stretches: Sequence[tuple[float, float]]) -> str:
    """One ramp per stretch, found by halving on t (stretches apart: no ramps overlap)."""
    if len(stretches) == 1:
        return _ramp(*stretches[0])
    half = len(stretches) // 2
    split = (stretches[half - 1][1] + stretches[half][0]) / 2
    return f"if(lt(t,{split:.4f}),{_tree(stretches[:half])},{_tree(stretches[half:])})"


def gain_expression(
    stretches: Sequence[tuple[float, float]], base_db: float, depth_db: float
) -> str:
    """The volume filter's expression: ``base_db``, lowered by ``depth_db`` over
    ``stretches`` (merged), as a factor of t."""
    if not stretches:
        return f"{10 ** (base_db / 20):.6f}"
    return f"pow(10,({base_db:.3f}-{depth_db:.3f}*{_tree(merged(stretches))})/20)"


def _volume(expression: str) -> str:
    # frames of 10 ms so the gain moves smoothly; t is the frame's time
    return f"asetnsamples=n={RATE // 100}:p=0,volume='{expression}':eval=frame"


# ---------------------------------------------------------------------------------------
# loudness: read by media.audio's meter, brought to TARGET_LUFS here
# ---------------------------------------------------------------------------------------


def _normalised(mixed: str, level: Level, dest: str, seconds: float) -> Level:
    """``mixed`` (its loudness ``level``) brought to TARGET_LUFS into ``dest``. The peak
    stages take some loudness off what they hold: then measured through them and made up,
    the second time along the line the first two readings give."""
    source = ["-i", media.local_path(mixed)]
    gain = TARGET_LUFS - level.integrated
    tried: list[tuple[float, float]] = []
    for _ in range(3):
        made = measure(source, f"[0:a]{_normalise(gain)}[out]", seconds, dest)
        if made.silent or abs(TARGET_LUFS - made.integrated) < 0.2:
            break
        tried.append((gain, made.integrated))
        step = TARGET_LUFS - made.integrated
        if len(tried) >= 2:
            (g1, i1), (g2, i2) = tried[-2:]
            slope = (i2 - i1) / (g2 - g1) if g2 != g1 else 1.0
            step /= min(1.0, max(0.25, slope))
        gain += min(step, 6.0)
    else:
        made = measure(source, f"[0:a]{_normalise(gain)}[out]", seconds, dest)
    return made


def _normalise(gain: float) -> str:
    """The sound raised or lowered by ``gain`` dB, its peaks then held under TARGET_PEAK
    by a look-ahead limiter working at four times the rate (so the peaks between samples
    are held too), delay compensated."""
    ceiling = 10 ** (TARGET_PEAK / 20)
    return (
        f"volume={gain:.3f}dB,aresample={RATE * 4},"
        f"alimiter=limit={ceiling:.5f}:attack=5:release=80:level=0:latency=1,"
        f"aresample={RATE},aformat=channel_layouts=stereo"
    )


# ---------------------------------------------------------------------------------------
# the graph
# ---------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Kept:
    """The source's sound of one piece: its WAV, the Segment's sound, where the piece's
    picture starts in the joined video and how long it is there (seconds)."""

    path: str
    sound: str
    start: float
    length: float


@dataclass(frozen=True)
class Soundtrack:
    """The finished short's sound, made: the WAV the finishing encode takes as it is (with
    CODEC), what to tell the user, and its loudness before it was normalised."""

    path: str
    notes: list[str] = field(default_factory=list)
    level: Level | None = None


def _tempo(speed: float) -> str:
    factors = []
    left = speed
    while left > 2.0:
        factors.append(2.0)
        left /= 2.0
    while left < 0.5:
        factors.append(0.5)
        left /= 0.5
    factors.append(left)
    return ",".join(f"atempo={f:.6f}" for f in factors)


def music_problem(path: str) -> str | None:
    """What is wrong with a music file, said so it can be fixed; None when ffmpeg finds a
    sound track in it."""
    if not os.path.exists(path):
        return f"the music file {path!r} does not exist: give the path of an audio file"
    if not os.path.isfile(path):
        return f"the music {path!r} is not a file: give the path of an audio file"
    try:
        found = has_sound(path)
    except media.MediaError:
        found = False
    if not found:
        return (
            f"the music file {path!r} holds no sound ffmpeg can read: give an audio file "
            "(MP3, WAV, AAC, ...)"
        )
    return None


def soundtrack(
    vertical: str,
    length: float,
    speed: float,
    kept: Sequence[Kept],
    work: str,
    music: str | None = None,
    level: float = DEFAULT_MUSIC_LEVEL,
) -> Soundtrack:
    """The finished short's sound over a vertical video of ``length`` seconds played
    ``speed`` times as fast as the joined one, made in ``work`` (passes over the sound
    alone: the voice with the kept ranges, then the music, then the loudness); the encode
    takes it as it is."""
    voice = spans(loudness(vertical))
    inputs = ["-i", media.local_path(os.path.abspath(vertical))]
    chains = [f"[0:a]aformat=sample_rates={RATE}:channel_layouts=stereo[nar]"]
    heard = list(voice)
    labels = ["[nar]"]
    for n, piece in enumerate(kept, start=1):
        at = piece.start / speed
        until = at + piece.length / speed
        inputs += ["-i", media.local_path(os.path.abspath(piece.path))]
        heard += spans(loudness(piece.path), at, speed, until)
        chain = (
            f"[{n}:a]atrim=0:{piece.length:.6f},asetpts=PTS-STARTPTS,{_tempo(speed)},"
            f"aformat=sample_rates={RATE}:channel_layouts=stereo,"
            f"adelay={round(at * 1000)}:all=1"
        )
        if piece.sound == keys.MIX:
            under = [(a, b) for a, b in voice if b > at and a < until]
            chain += "," + _volume(gain_expression(under, 0.0, MIX_DUCK_DB))
        chains.append(f"{chain}[k{n}]")
        labels.append(f"[k{n}]")
    if len(labels) > 1:
        chains.append(f"{''.join(labels)}amix=inputs={len(labels)}:normalize=0:duration=first[out]")
    else:
        chains.append("[nar]anull[out]")
    notes: list[str] = []
    mixed = os.path.join(work, "voice.wav")
    measured = measure(inputs, ";".join(chains), length, mixed)
    if music is not None:
        fade = max(0.0, length - FADE_OUT)
        shaped = (
            f"[1:a]atrim=0:{length:.6f},asetpts=PTS-STARTPTS,"
            f"aformat=sample_rates={RATE}:channel_layouts=stereo,"
            f"afade=t=out:st={fade:.6f}:d={min(FADE_OUT, length):.6f}"
        )
        # the music's level against the voice: both measured as they will be heard
        both = ["-i", media.local_path(mixed), "-stream_loop", "-1"]
        both += ["-i", media.local_path(os.path.abspath(music))]
        music_level = measure(both, f"{shaped}[out]", length)
        reference = TARGET_LUFS if measured.silent else measured.integrated
        gain = 0.0 if music_level.silent else reference + level - music_level.integrated
        if music_level.silent:
            notes.append(f"the music file {music!r} is silent: nothing of it is heard")
        duck = _volume(gain_expression(merged(heard), gain, MUSIC_DUCK_DB))
        graph = f"{shaped},{duck}[mus];[0:a][mus]amix=inputs=2:normalize=0:duration=first[out]"
        mixed = os.path.join(work, "mixed.wav")
        measured = measure(both, graph, length, mixed)
    if measured.silent:
        notes.append(
            "the finished short's sound is silence: it is left silent, not brought to "
            f"{TARGET_LUFS:g} LUFS"
        )
    else:
        final = os.path.join(work, "finished.wav")
        _normalised(mixed, measured, final, length)
        mixed = final
    return Soundtrack(mixed, notes=notes, level=measured)
