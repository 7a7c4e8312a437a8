"""The timing plan of a job: how long each piece, the joined video and the vertical export
will be, and what each Segment loses, before anything is rendered.

A piece keeps the shorter of its clip and its narration. The clip is cut with input-side
``-ss`` and stream copy, so it starts at the keyframe at or before "start": the frames from
that keyframe up to "start" ride along at the front of the clip (hidden by an edit list) and
count towards the length that ``-shortest`` compares with the narration. What was measured
with ffmpeg 5.1, and is modelled here:

* the cut keeps the packets from that keyframe until the first whose decode time reaches
  "end"; the merge keeps the narration up to the clip's last decode time plus a frame and a
  little (``-shortest`` lets one or two more AAC frames through);
* the picture of a piece whose narration ends first stops with the last packet decoded
  before the narration ended (with B-frames that packet may show a later frame); a piece
  is as long as the longer of its sound and its picture, and holds its last frame when the
  narration outlasts the picture;
* the concat demuxer lays the pieces end to end by their lengths, plus one AAC frame;
* the vertical export speeds up every decoded AAC frame of the joined video, and each piece
  carries ``ceil(kept * rate / 1024) + 1`` of them (one is the encoder's priming frame,
  which only the first piece hides); its picture, made constant-rate, ends a frame later.

Without the source at hand the cut is taken to start at "start". Narrations are spoken
into the cache under the key the job uses, so the run that follows speaks nothing again.
"""

from __future__ import annotations

import bisect
import contextlib
import itertools
import json
import math
import os
import re
import shutil
import subprocess
import tempfile
import time
from collections.abc import Sequence
from dataclasses import asdict, dataclass, field
from fractions import Fraction
from typing import Any

from kestro_core.cache import DEFAULT_LIMIT, Cache
from kestro_core.check import check_job
from kestro_core.files import temp_beside
from kestro_core.timecode import format_like, format_seconds, parse_time

__all__ = [
    "SegmentPlan",
    "Plan",
    "Packets",
    "SourceFacts",
    "Narration",
    "Narrator",
    "FitResult",
    "plan",
    "assemble",
    "segment_plan",
    "keyframes",
    "probe_source",
    "measure_narration",
    "fit",
    "PlanError",
]

PathArg = str | os.PathLike[str]

# what -shortest lets through past the end of the video (measured: 0.017 to 0.060 s)
SHORTEST_SLACK = 0.04
# the same, past the last decode time of the clip plus a frame (measured: 0.001 to 0.04 s)
_PACKET_SLACK = 0.02
# the concat of the pieces is one AAC frame longer than their sum
_JOIN_EXTRA_FRAMES = 1
_AAC_FRAME = 1024
# a narration whose loudest sample stays below this is silence
_SILENT_DB = -60.0
# what counts as lost, below it is rounding
_LOSS_EPSILON = 0.05
_PROBE_TIMEOUT = 120
_SERVICE_PAUSE = 0.5


class PlanError(ValueError):
    """A probe of a narration or of the source failed; the message says which and why."""


# ---------------------------------------------------------------------------------------
# one Segment
# ---------------------------------------------------------------------------------------


@dataclass(frozen=True)
class SegmentPlan:
    """What one Segment becomes. Lengths in seconds.

    ``piece`` is the length of the merged piece, ``cut_off`` the narration it loses (a
    problem), ``dropped`` the end of the range it does not show, ``held`` how long its
    picture stands on its last frame while the narration goes on, ``preroll`` the picture
    from before "start" that the stream-copy cut carries (None: the source is not at hand).
    """

    index: int
    start: float
    end: float
    range: float
    narration: float
    piece: float
    cut_off: float
    dropped: float
    held: float
    preroll: float | None
    silent: bool = False
    audio_rate: int = 44100
    picture: float = 0.0  # seconds of moving picture in the piece

    def problems(self) -> list[str]:
        """What the user must fix in this Segment, one line each."""
        where = f"Segment {self.index}"
        found = []
        if self.range <= 0:
            found.append(
                f'{where}: the range is empty ("end" is not after "start"): move "end" '
                f"to at least {format_seconds(_us(self.start + self.narration))} for the "
                f"whole narration"
            )
        elif self.cut_off >= _LOSS_EPSILON:
            found.append(
                f"{where}: narration cut off by {self.cut_off:.1f} s (it lasts "
                f"{self.narration:.1f} s, the range {self.range:.1f} s): shorten the text or "
                f'move "end" later (--fit does that)'
            )
        if self.silent:
            found.append(
                f"{where}: the narration comes out as silence (the voice finds nothing to "
                f'say in it): write words in its "voiceover"'
            )
        return found

    def loss(self) -> str:
        """What the Segment loses, in words ("" when nothing)."""
        if self.range <= 0:
            return "empty range"
        lost = []
        if self.cut_off >= _LOSS_EPSILON:
            lost.append(f"narration cut off by {self.cut_off:.1f} s")
        if self.dropped >= _LOSS_EPSILON:
            lost.append(f"last {self.dropped:.1f} s of the range dropped")
        if self.held >= _LOSS_EPSILON:
            lost.append(f"picture stands still for the last {self.held:.1f} s")
        return "; ".join(lost)


def _rounded(fields: dict[str, Any]) -> dict[str, Any]:
    """Seconds to the millisecond, for the JSON document."""
    return {k: round(v, 3) if isinstance(v, float) else v for k, v in fields.items()}


def _us(seconds: float) -> int:
    return round(seconds * 1_000_000)


def keyframe_before(marks: Sequence[float], t: float) -> float:
    """The last keyframe at or before ``t`` (``t`` itself when there is none)."""
    best = None
    for mark in marks:
        if mark <= t + 1e-6:
            best = mark
        else:
            break
    return t if best is None else best


class Packets:
    """The video packets of a source in file (decode) order: presentation and decode
    times, which differ where the stream has B-frames."""

    def __init__(self, pts: Sequence[float], dts: Sequence[float]) -> None:
        self.pts = list(pts)
        self.dts = list(dts)

    def clip(self, keyframe: float, end: float) -> tuple[int, int] | None:
        """The packets a stream-copy cut from ``keyframe`` to ``end`` keeps: from the
        keyframe's packet up to the first whose decode time reaches ``end``."""
        lo = bisect.bisect_left(self.dts, keyframe - 30.0)
        first = next(
            (i for i in range(lo, len(self.pts)) if abs(self.pts[i] - keyframe) < 1e-6), None
        )
        if first is None:
            return None
        last = bisect.bisect_left(self.dts, end - 1e-6, lo=first)
        return (first, last) if last > first else None


def segment_plan(
    index: int,
    start: float,
    end: float,
    narration: float,
    keyframes: Sequence[float] | None,
    *,
    exact: bool = False,
    frame: float | None = None,
    packets: Packets | None = None,
    silent: bool = False,
    audio_rate: int = 44100,
) -> SegmentPlan:
    """Plan one Segment from its times, its narration's length and the source's keyframes
    (sorted; None when the source is not at hand). ``exact``: the source is re-encoded
    with a keyframe at every start, so every cut starts where asked. ``frame``: the
    source's frame duration, when known (a picture cut short ends on a whole frame).
    ``packets``: the source's video packets, for a source with B-frames, whose cuts end
    where the decode times say."""
    length = end - start
    if length <= 0:
        return SegmentPlan(
            index, start, end, length, narration, 0.0, narration, 0.0, 0.0, None, silent, audio_rate
        )
    if exact:
        first: float | None = start
    elif keyframes is None:
        first = None
    else:
        first = keyframe_before(keyframes, start)
    preroll = None if first is None else start - first
    fd = frame or 0.0
    cut = None if packets is None or first is None or exact else packets.clip(first, end)
    if cut is None:
        # the video runs from the keyframe to "end"; -shortest lets a little audio past it
        span = end - (start if first is None else first) + SHORTEST_SLACK
        visible = length
    else:
        i, j = cut
        assert packets is not None
        span = packets.dts[j - 1] - packets.dts[i] + fd + _PACKET_SLACK
        # the clip file counts its time from its first frame at or after "start"
        origin = min((t for t in packets.pts[i:j] if t >= start - 1e-6), default=start)
        visible = max(packets.pts[i:j]) + fd - origin
    kept = min(narration, span)
    if kept >= narration - 1e-9:
        kept = narration
    # the picture stops with the first packet decoded after the audio has ended
    if cut is None:
        picture = kept if not fd else math.ceil(kept / fd - 1e-6) * fd
    else:
        i, j = cut
        assert packets is not None
        stop = bisect.bisect_left(packets.dts, origin + kept - 1e-6, lo=i, hi=j)
        picture = max(packets.pts[i:stop], default=origin - fd) + fd - origin
    picture = min(visible, picture)
    piece = max(kept, picture)
    return SegmentPlan(
        index=index,
        start=start,
        end=end,
        range=length,
        narration=narration,
        piece=piece,
        cut_off=narration - kept,
        dropped=max(0.0, length - picture),
        held=max(0.0, piece - picture),
        preroll=preroll,
        silent=silent,
        audio_rate=audio_rate,
        picture=picture,
    )


def _aac_seconds(seg: SegmentPlan) -> float:
    """Audio the vertical export decodes from this piece: its AAC frames, priming included."""
    kept = seg.narration - seg.cut_off
    frames = math.ceil(kept * seg.audio_rate / _AAC_FRAME - 1e-9) + 1
    return frames * _AAC_FRAME / seg.audio_rate


def joined_length(segments: Sequence[SegmentPlan]) -> float:
    """Length of horizontal_final.mp4 made of these pieces."""
    if not segments:
        return 0.0
    frame = _AAC_FRAME / segments[0].audio_rate
    return sum(s.piece for s in segments) + _JOIN_EXTRA_FRAMES * frame


def vertical_length(
    segments: Sequence[SegmentPlan], speed: float, frame: float | None = None
) -> float:
    """Length of FINAL_KESTRO.mp4 at ``speed``: the longer of its audio (every AAC frame
    of the joined video, sped up) and its picture (the joined picture sped up, made
    constant-rate at the source's frame rate, which ends about one frame later)."""
    if not segments:
        return 0.0
    audio = sum(_aac_seconds(s) for s in segments) / speed
    last = segments[-1]
    picture = joined_length(segments) - last.piece + last.picture
    return max(audio, picture / speed + (frame or 0.0))


# ---------------------------------------------------------------------------------------
# the whole plan
# ---------------------------------------------------------------------------------------


@dataclass(frozen=True)
class Plan:
    """The plan of one job: its Segments, the lengths of its products, and what to fix."""

    segments: list[SegmentPlan]
    horizontal: float
    vertical: float
    speed: float
    problems: list[str] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)
    source_duration: float | None = None
    max_duration: float | None = None
    exact: bool = False

    def to_json(self) -> dict[str, Any]:
        """The plan as a JSON document (lengths in seconds)."""
        return {
            "segments": [
                {**_rounded(asdict(s)), "loss": s.loss(), "problems": s.problems()}
                for s in self.segments
            ],
            "horizontal": round(self.horizontal, 3),
            "vertical": round(self.vertical, 3),
            "speed": self.speed,
            "max_duration": self.max_duration,
            "source_duration": self.source_duration,
            "exact_joins": self.exact,
            "problems": list(self.problems),
            "notes": list(self.notes),
        }

    def table(self) -> str:
        """The plan as a table: one row per Segment, then the totals, problems and notes."""
        head = ("#", "range", "narration", "piece", "pre-roll", "lost")
        rows = [head]
        for s in self.segments:
            pre = "?" if s.preroll is None else f"{s.preroll:.2f} s"
            rows.append(
                (
                    str(s.index),
                    f"{s.range:.2f} s",
                    f"{s.narration:.2f} s",
                    f"{s.piece:.2f} s",
                    pre,
                    s.loss() or "-",
                )
            )
        widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
        lines = []
        for r in rows:
            cells = [r[0].rjust(widths[0])]
            cells += [c.rjust(w) for c, w in zip(r[1:5], widths[1:5], strict=True)]
            cells.append(r[5])
            lines.append("  ".join(cells).rstrip())
        total_range = sum(max(0.0, s.range) for s in self.segments)
        total_narr = sum(s.narration for s in self.segments)
        lines.append("")
        lines.append(
            f"ranges {total_range:.2f} s, narrations {total_narr:.2f} s; "
            f"horizontal_final.mp4 {self.horizontal:.2f} s ({format_seconds(_us(self.horizontal))})"
        )
        over = self.max_duration is not None and self.vertical > self.max_duration
        flag = f"  <- PROBLEM: longer than {self.max_duration:g} s" if over else ""
        lines.append(
            f"FINAL_KESTRO.mp4 at {self.speed:g}x: {self.vertical:.2f} s "
            f"({format_seconds(_us(self.vertical))}){flag}"
        )
        if self.problems:
            lines.append("")
            lines.append(f"{len(self.problems)} problem{'' if len(self.problems) == 1 else 's'}:")
            lines += [f"  {p}" for p in self.problems]
        if self.notes:
            lines.append("")
            lines += [f"note: {n}" for n in self.notes]
        return "\n".join(lines)


# ---------------------------------------------------------------------------------------
# probes
# ---------------------------------------------------------------------------------------


def _ffprobe(argv: list[str], what: str) -> str:
    program = shutil.which("ffprobe")
    if program is None:
        raise PlanError("ffprobe is not on PATH (install ffmpeg)")
    try:
        done = subprocess.run(
            [program, "-v", "error", *argv], capture_output=True, text=True, timeout=_PROBE_TIMEOUT
        )
    except subprocess.TimeoutExpired as exc:
        raise PlanError(f"ffprobe did not finish reading {what} in {_PROBE_TIMEOUT} s") from exc
    if done.returncode != 0:
        tail = (done.stderr.strip().splitlines() or ["no message"])[-1]
        raise PlanError(f"ffprobe cannot read {what}: {tail}")
    return done.stdout


@dataclass(frozen=True)
class SourceFacts:
    """What the plan reads from the source video."""

    keyframes: list[float]  # seconds from the start, as -ss counts them
    frame: float | None  # frame duration
    duration: float | None  # container duration
    packets: Packets | None = None  # the video packets, same time origin


def probe_source(video: str) -> SourceFacts:
    """Keyframes, frame duration and duration of ``video`` in one ffprobe run. Reads the
    packet flags only: nothing is decoded."""
    out = _ffprobe(
        [
            "-select_streams",
            "v:0",
            "-show_entries",
            "packet=pts_time,dts_time,flags:stream=avg_frame_rate,r_frame_rate"
            ":format=start_time,duration",
            "-of",
            "compact",
            os.path.abspath(video),
        ],
        f"the keyframes of {video!r}",
    )
    marks: list[float] = []
    pts: list[float] = []
    dts: list[float] = []
    origin = 0.0
    frame: float | None = None
    length: float | None = None
    for line in out.splitlines():
        section, _, rest = line.partition("|")
        fields = dict(part.split("=", 1) for part in rest.split("|") if "=" in part)
        if section == "packet":
            try:
                shown = float(fields.get("pts_time", ""))
            except ValueError:
                continue
            try:
                decoded = float(fields.get("dts_time", ""))
            except ValueError:
                decoded = shown
            pts.append(shown)
            dts.append(decoded)
            if "K" in fields.get("flags", ""):
                marks.append(shown)
        elif section == "stream":
            for name in ("avg_frame_rate", "r_frame_rate"):
                with contextlib.suppress(ValueError, ZeroDivisionError):
                    rate = Fraction(fields.get(name, ""))
                    if rate > 0:
                        frame = float(1 / rate)
                        break
        elif section == "format":
            with contextlib.suppress(ValueError):
                origin = float(fields.get("start_time", ""))
            with contextlib.suppress(ValueError):
                length = float(fields.get("duration", ""))
    # file order is decode order; where decode times go back, only the keyframes are used
    ordered = all(a <= b for a, b in itertools.pairwise(dts))
    packets = (
        Packets([t - origin for t in pts], [t - origin for t in dts]) if ordered and pts else None
    )
    return SourceFacts(sorted(m - origin for m in marks), frame, length, packets)


def keyframes(video: str) -> list[float]:
    """Times of the keyframes of the first video stream, in seconds from the start of the
    file as ffmpeg's ``-ss`` counts them."""
    return probe_source(video).keyframes


@dataclass(frozen=True)
class Narration:
    """A narration file as the merge reads it."""

    seconds: float  # decoded length (encoder delay and padding left out)
    rate: int  # samples per second
    silent: bool  # no sample above -60 dB


def measure_narration(path: str) -> Narration:
    """Decoded length, rate and silence of an audio file."""
    shown = f"the narration {path!r}"
    doc = json.loads(
        _ffprobe(
            [
                "-select_streams",
                "a:0",
                "-show_entries",
                "frame=nb_samples:stream=sample_rate",
                "-of",
                "json",
                os.path.abspath(path),
            ],
            shown,
        )
        or "{}"
    )
    streams = doc.get("streams") or []
    if not streams:
        raise PlanError(f"{shown} holds no audio")
    rate = int(streams[0].get("sample_rate") or 0)
    samples = sum(int(f.get("nb_samples", 0)) for f in doc.get("frames", []))
    if rate <= 0:
        raise PlanError(f"{shown} has no sample rate")
    return Narration(samples / rate, rate, _loudest_db(path) <= _SILENT_DB)


_MAX_VOLUME = re.compile(r"max_volume:\s*(-?inf|-?[0-9.]+) dB")


def _loudest_db(path: str) -> float:
    program = shutil.which("ffmpeg")
    if program is None:
        raise PlanError("ffmpeg is not on PATH (install ffmpeg)")
    argv = [program, "-nostdin", "-hide_banner", "-i", os.path.abspath(path)]
    argv += ["-map", "0:a:0", "-af", "volumedetect", "-f", "null", "-"]
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=_PROBE_TIMEOUT)
    except subprocess.TimeoutExpired as exc:
        raise PlanError(f"ffmpeg did not finish reading the narration {path!r}") from exc
    found = _MAX_VOLUME.findall(done.stderr)
    if done.returncode != 0 or not found:
        return 0.0  # unknown: taken as audible
    return -math.inf if found[-1].endswith("inf") else float(found[-1])


# ---------------------------------------------------------------------------------------
# speaking the narrations
# ---------------------------------------------------------------------------------------


class Narrator:
    """Speaks narrations into the cache under the job's own key and measures them.

    A narration already in the cache is measured there (no synthesis); one made here is
    stored under ``Cache.narration_key(speaker.identity, text)``, so the job that follows
    takes it from the cache. With the cache off, each text is made once per Narrator.
    """

    def __init__(self, speaker: Any, cache: Cache) -> None:
        self.speaker = speaker
        self.cache = cache
        self.made = 0  # syntheses
        self.spoken = 0.0  # seconds of speech made
        self._known: dict[str, Narration] = {}
        self._scratch: tempfile.TemporaryDirectory[str] | None = None
        self._pause_due = False

    def narration(self, text: str) -> Narration:
        """The narration of ``text``, made once."""
        found = self._known.get(text)
        if found is not None:
            return found
        key = Cache.narration_key(self.speaker.identity, text)
        entry = self.cache.get_narration(key)
        if entry is None:
            if self._scratch is None:
                self._scratch = tempfile.TemporaryDirectory(prefix="kestro-plan-")
            target = os.path.join(self._scratch.name, f"voice_{len(self._known)}.mp3")
            tmp = temp_beside(target)
            if self._pause_due:
                time.sleep(_SERVICE_PAUSE)  # the rest the job gives the speech service
            try:
                self._pause_due = not getattr(self.speaker, "local", True)
                self.speaker.synthesize(text, tmp)
                os.replace(tmp, target)
            finally:
                with contextlib.suppress(OSError):
                    os.remove(tmp)
            self.made += 1
            self.cache.put_narration(key, target)
            entry = target
            found = measure_narration(entry)
            self.spoken += found.seconds
        else:
            found = measure_narration(entry)
        self._known[text] = found
        return found

    def length(self, text: str) -> float:
        """Seconds of the narration of ``text`` as the merge reads it."""
        return self.narration(text).seconds

    def close(self) -> None:
        """Remove the scratch files of narrations made without a cache."""
        if self._scratch is not None:
            self._scratch.cleanup()
            self._scratch = None


# ---------------------------------------------------------------------------------------
# plan()
# ---------------------------------------------------------------------------------------


def _text(value: PathArg | None) -> str | None:
    return None if value is None else os.fspath(value)


def _open_speaker(speech: str, voice: str | None, voice_dir: str | None, cache: Cache) -> Any:
    if speech == "service":
        from kestro_core import kestro_core as extension
        from kestro_core.job import ServiceSpeaker, originals

        assert voice is not None
        return ServiceSpeaker(originals(extension)["_generate_tts"], voice)
    from kestro_core.voices import open_voice

    memo = cache.memo_path("model-hashes.json") if cache.enabled else None
    return open_voice(speech, voice, voice_dir, hash_memo=memo)


def _segments(segments_file: str) -> list[dict[str, Any]]:
    with open(segments_file, encoding="utf-8") as f:
        doc = json.load(f)
    assert isinstance(doc, list)
    return doc


def plan(
    segments_file: PathArg,
    speed: float,
    *,
    link: str | None = None,
    source: PathArg | None = None,
    speech: str = "service",
    voice: str | None = None,
    voice_dir: PathArg | None = None,
    cache_dir: PathArg | None = None,
    use_cache: bool = True,
    cache_limit: int = DEFAULT_LIMIT,
    max_duration: float | None = None,
    exact_joins: bool = False,
) -> Plan:
    """Plan a job without rendering it: the arguments are those of ``make_short``.

    Checks the job as ``check`` does (raises CheckFailed with the same listing), speaks
    every narration into the cache, reads the source's keyframes when the source is at
    hand (a local file, or a download already in the cache) and predicts every piece and
    product. Raises PlanError when a probe fails and VoiceError when a narration cannot be
    spoken.
    """
    from kestro_core.api import CheckFailed, _validate

    seg_path, src = _text(segments_file), _text(source)
    vdir, cdir = _text(voice_dir), _text(cache_dir)
    assert seg_path is not None
    _validate(link, src, speech)
    if max_duration is not None and not max_duration > 0:
        raise ValueError(f"max_duration must be a positive number of seconds, not {max_duration!r}")
    with tempfile.TemporaryDirectory(prefix="kestro-plan-check-") as scratch:
        report = check_job(
            seg_path, speed, scratch, source=src, speech=speech, voice=voice, voice_dir=vdir
        )
    if report:
        raise CheckFailed(report.listing(seg_path))

    cache = Cache(cdir, limit=cache_limit, enabled=use_cache)
    notes: list[str] = []
    video = src
    if video is None:
        assert link is not None
        video = cache.get_download(Cache.download_key(link))
        if video is None and not exact_joins:
            notes.append(
                "the video is not downloaded yet, so the pieces are planned without its "
                "keyframes: a piece whose start lies between two keyframes carries some "
                "picture from before it and may keep more narration than planned; run the "
                "job once (or plan with --source) for exact figures"
            )
    entries = _segments(seg_path)
    times = [
        (parse_time(e["start"]) or 0, parse_time(e["end"]) or 0, str(e["voiceover"]))
        for e in entries
    ]
    encoded = None
    if exact_joins:
        from kestro_core.joins import cached_encode, describe_cost, exact_times

        starts, last_end = exact_times(seg_path)

        notes.append(describe_cost(video, starts, last_end, cache))
        if video is not None:
            encoded = cached_encode(video, starts, last_end, cache)
    # an encode made already is planned from its own packets
    probed = encoded or video
    facts = probe_source(probed) if probed is not None else None
    marks = None if facts is None else facts.keyframes
    source_len = None if facts is None else facts.duration
    if encoded is not None and video is not None:
        from kestro_core.joins import probe_video

        source_len = probe_video(video).duration  # the encode stops after the last end

    speaker = _open_speaker(speech, voice, vdir, cache)
    narrator = Narrator(speaker, cache)
    try:
        pieces = []
        for n, (start_us, end_us, text) in enumerate(times, start=1):
            said = narrator.narration(text)
            pieces.append(
                segment_plan(
                    n,
                    start_us / 1e6,
                    end_us / 1e6,
                    said.seconds,
                    marks,
                    exact=exact_joins and encoded is None,
                    frame=None if facts is None else facts.frame,
                    packets=None if facts is None else facts.packets,
                    silent=said.silent,
                    audio_rate=said.rate,
                )
            )
    finally:
        narrator.close()
        close = getattr(speaker, "close", None)
        if close is not None:
            close()
        cache.evict()
    frame = None if facts is None else facts.frame
    return assemble(pieces, speed, notes, source_len, max_duration, exact_joins, frame)


def assemble(
    pieces: list[SegmentPlan],
    speed: float,
    notes: list[str] | None = None,
    source_duration: float | None = None,
    max_duration: float | None = None,
    exact: bool = False,
    frame: float | None = None,
) -> Plan:
    """The Plan of these planned Segments: totals and problems."""
    problems = [p for s in pieces for p in s.problems()]
    vertical = vertical_length(pieces, speed, frame)
    if max_duration is not None and vertical > max_duration:
        problems.append(
            f"FINAL_KESTRO.mp4 would last {vertical:.1f} s, longer than the "
            f"{max_duration:g} s allowed: drop or shorten Segments, or raise the speed"
        )
    return Plan(
        segments=pieces,
        horizontal=joined_length(pieces),
        vertical=vertical,
        speed=speed,
        problems=problems,
        notes=list(notes or []),
        source_duration=source_duration,
        max_duration=max_duration,
        exact=exact,
    )


# ---------------------------------------------------------------------------------------
# fit
# ---------------------------------------------------------------------------------------


@dataclass(frozen=True)
class FitResult:
    """What ``fit`` did: one line per moved "end", and the Segments it could not fit."""

    moved: list[str]
    problems: list[str]


def _indent_of(raw: str) -> str | None:
    m = re.search(r"\n([ \t]+)\S", raw)
    if m is None:
        return None if "\n" not in raw.strip() else "  "
    return m.group(1)


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def fit(segments_file: PathArg, planned: Plan, out_file: PathArg) -> FitResult:
    """Write a copy of ``segments_file`` to ``out_file`` in which every Segment whose
    narration ``planned`` cuts off ends late enough for the whole narration (from its start,
    rounded up to a tenth of a second, in the form the value had). Everything else stays as
    it was. Never writes over ``segments_file`` (refused, also through a link); raises
    ValueError with the reason."""
    seg_path, out = os.fspath(segments_file), os.fspath(out_file)
    if _same_file(seg_path, out) or os.path.realpath(seg_path) == os.path.realpath(out):
        raise ValueError(
            f"refusing to write the fitted Segments over the segments file itself ({out!r}): "
            f"give another file name"
        )
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise ValueError(
            f"cannot write {out!r}: the directory {folder!r} does not exist (create it first)"
        )
    with open(seg_path, encoding="utf-8") as f:
        raw = f.read()
    doc = json.loads(raw)
    moved: list[str] = []
    problems: list[str] = []
    limit = planned.source_duration
    for seg, entry in zip(planned.segments, doc, strict=False):
        if seg.cut_off < _LOSS_EPSILON or seg.range <= 0:
            continue
        start_us = parse_time(entry["start"])
        assert start_us is not None
        need_us = start_us + math.ceil(seg.narration * 1_000_000)
        new_us = -(-need_us // 100_000) * 100_000
        text = format_like(entry["end"], new_us)
        if parse_time(text) != new_us:
            raise AssertionError(f"{text!r} does not read back as {new_us} us")
        if limit is not None and new_us > _us(limit):
            problems.append(
                f'Segment {seg.index}: the whole narration needs "end" at {text}, past the '
                f"end of the source video ({format_seconds(_us(limit))}): shorten the text "
                f'or move "start" earlier'
            )
            continue
        moved.append(f'Segment {seg.index}: "end" {entry["end"]} -> {text}')
        entry["end"] = text
    indent = _indent_of(raw)
    if doc and raw.strip().count("\n") == len(doc) + 1:
        # one Segment a line, as written by hand
        rows = [f"{indent or ''}{json.dumps(seg, ensure_ascii=False)}" for seg in doc]
        body = "[\n" + ",\n".join(rows) + "\n]"
    else:
        body = json.dumps(doc, ensure_ascii=False, indent=indent)
    if raw.endswith("\n"):
        body += "\n"
    tmp = temp_beside(out)
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(body)
        os.replace(tmp, out)
    finally:
        with contextlib.suppress(OSError):
            os.remove(tmp)
    return FitResult(moved, problems)
