"""How long each piece, the joined video and the vertical export will be, and what each
Segment loses: the model of the cut, the merge, the concat and the export.

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

Without the source at hand the cut is taken to start at "start".
"""

from __future__ import annotations

import bisect
import math
from collections.abc import Sequence
from dataclasses import asdict, dataclass, field
from typing import Any

from kestro_core.segments.keys import NARRATION, ORIGINAL
from kestro_core.segments.timecode import format_seconds
from kestro_core.speech.timing import ESTIMATED, Word
from kestro_core.store.products import FINISHED, HORIZONTAL, VERTICAL

__all__ = [
    "SHORTEST_SLACK",
    "SegmentPlan",
    "Packets",
    "Plan",
    "keyframe_before",
    "segment_plan",
    "joined_length",
    "vertical_length",
    "assemble",
]

# what -shortest lets through past the end of the video (measured: 0.017 to 0.060 s)
SHORTEST_SLACK = 0.04
# the same, past the last decode time of the clip plus a frame (measured: 0.001 to 0.04 s)
_PACKET_SLACK = 0.02
# the concat of the pieces is one AAC frame longer than their sum
_JOIN_EXTRA_FRAMES = 1
_AAC_FRAME = 1024
# what counts as lost, below it is rounding
_LOSS_EPSILON = 0.05
# picture from before "start" that a stream-copy job warns about
# a fitted "end" is rounded up to a tenth of a second: the range's end that leaves unshown
# (plus a frame) is no loss worth a word
_DROP_EPSILON = 0.15


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
    words: tuple[Word, ...] = ()  # when each word is spoken, in the narration's own time
    word_timing: str = ESTIMATED  # "voice": told by the voice; "estimated": from its sound
    sound: str = NARRATION  # what the finished short plays under the piece
    # the shot change within half a second of "start" and of "end" (seconds of the source);
    # None where there is none, or the source is not at hand
    snap_start: float | None = None
    snap_end: float | None = None
    # an "auto" frame: the window's centre, (seconds of the source, fraction of its width)
    path: tuple[tuple[float, float], ...] = ()

    @property
    def cut_short(self) -> bool:
        """The range is not empty but too short for the whole narration (the silence
        under an "original" Segment outlasts its range on purpose)."""
        return self.range > 0 and self.cut_off >= _LOSS_EPSILON and self.sound != ORIGINAL

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
        elif self.cut_short:
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
        if self.cut_short:
            lost.append(f"narration cut off by {self.cut_off:.1f} s")
        if self.dropped >= _DROP_EPSILON:
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
    i = bisect.bisect_right(marks, t + 1e-6)
    return marks[i - 1] if i else t


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
    sound: str = NARRATION,
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
            index,
            start,
            end,
            length,
            narration,
            0.0,
            narration,
            0.0,
            0.0,
            None,
            silent,
            audio_rate,
            sound=sound,
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
        sound=sound,
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
            "finished": round(self.vertical, 3),
            "speed": self.speed,
            "max_duration": self.max_duration,
            "source_duration": self.source_duration,
            "exact_joins": self.exact,
            "problems": list(self.problems),
            "notes": list(self.notes),
        }

    def table(self) -> str:
        """The plan as a table: one row per Segment, then the totals, problems and notes."""
        # the sound column only when a Segment plays the source's own sound
        sounds = any(s.sound != NARRATION for s in self.segments)
        head = ("#", "range", "narration", "piece", "pre-roll", *(("sound",) if sounds else ()))
        rows: list[tuple[str, ...]] = [(*head, "lost")]
        for s in self.segments:
            pre = "?" if s.preroll is None else f"{s.preroll:.2f} s"
            said = "-" if s.sound == ORIGINAL else f"{s.narration:.2f} s"
            lengths = (f"{s.range:.2f} s", said, f"{s.piece:.2f} s")
            rows.append(
                (str(s.index), *lengths, pre, *((s.sound,) if sounds else ()), s.loss() or "-")
            )
        widths = [max(len(r[i]) for r in rows) for i in range(len(head))]
        lines = []
        for r in rows:
            cells = [r[0].rjust(widths[0])]
            cells += [c.rjust(w) for c, w in zip(r[1:5], widths[1:5], strict=True)]
            cells += [c.ljust(w) for c, w in zip(r[5:-1], widths[5:], strict=True)]
            cells.append(r[-1])
            lines.append("  ".join(cells).rstrip())
        total_range = sum(max(0.0, s.range) for s in self.segments)
        total_narr = sum(s.narration for s in self.segments if s.sound != ORIGINAL)
        lines.append("")
        lines.append(
            f"ranges {total_range:.2f} s, narrations {total_narr:.2f} s; "
            f"{HORIZONTAL} {self.horizontal:.2f} s ({format_seconds(_us(self.horizontal))})"
        )
        over = self.max_duration is not None and self.vertical > self.max_duration
        flag = f"  <- PROBLEM: longer than {self.max_duration:g} s" if over else ""
        lines.append(
            f"{VERTICAL} at {self.speed:g}x: {self.vertical:.2f} s "
            f"({format_seconds(_us(self.vertical))}){flag}"
        )
        if sounds:
            originals = sum(1 for s in self.segments if s.sound == ORIGINAL)
            lines.append(
                f"{FINISHED} (with --finish): {self.vertical:.2f} s, the same; "
                f"{originals} Segment{'' if originals == 1 else 's'} with the source's own "
                "sound over the whole range"
            )
        for s in self.segments:
            if s.path:
                centres = [c for _, c in s.path]
                lines.append(
                    f'Segment {s.index}: "auto" frame, the window\'s centre between '
                    f"{min(centres):.2f} and {max(centres):.2f} of the width"
                )
        if self.problems:
            lines.append("")
            lines.append(f"{len(self.problems)} problem{'' if len(self.problems) == 1 else 's'}:")
            lines += [f"  {p}" for p in self.problems]
        if self.notes:
            lines.append("")
            lines += [f"note: {n}" for n in self.notes]
        return "\n".join(lines)


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
            f"{VERTICAL} would last {vertical:.1f} s, longer than the "
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
