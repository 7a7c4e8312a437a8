"""When each narration is heard in the joined video.

Captions follow the sound, not the ranges: a stream-copy cut opens at the keyframe before
"start", and every piece's audio carries its encoder's priming and padding, which the join
copies as they are, so the narrations drift later piece by piece. So the times come from the
products themselves:

- while a job runs, a ``Recorder`` keeps a hard link to every narration (the job deletes them
  after their merge) and, once the pieces are joined, counts each piece's audio packets in the
  background, while the vertical export runs;
- after the job, the joined video's audio packets are read: the join copies packets one for
  one, so piece i's sound occupies the packets after those of the pieces before it; its first
  sound is found in the decoded audio, after the piece's priming frame.
"""

from __future__ import annotations

import os
import shutil
import threading
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from kestro_core import media
from kestro_core.media.audio import BLOCK, FRAME, RATE, loud_blocks, pcm, sound_bounds
from kestro_core.store import scratch

if TYPE_CHECKING:  # words builds on this module
    from kestro_core.speech.timing import Timing

__all__ = ["Heard", "Recorder"]


@dataclass(frozen=True)
class Heard:
    """One narration in the joined video (seconds on its timeline)."""

    text: str
    start: float  # its first sound
    length: float  # first to last sound of the whole narration, cut off or not
    piece_end: float  # where its piece's sound ends
    silent: bool  # the engine made no sound for this text
    lead: float = 0.0  # where its first sound lies in the narration's own time
    timing: Timing | None = None  # its words' timing, when the job was told it


@dataclass(frozen=True)
class _Audio:
    rate: float  # samples per second
    packets: int  # as the container lists them: no packet is read
    first_pts: float  # of the first packet, seconds (below 0 when the decoder skips priming)
    duration: float  # the container's, seconds


def _audio_stream(path: str, probes: media.Probes) -> _Audio:
    """What the container says of the first audio stream, and its first packet."""
    probe = probes.get(path)
    packets = None if probe.audio is None else probe.audio.packets
    return _Audio(
        float(probe.sample_rate or 44_100),
        packets or 0,
        probe.audio_start() or 0.0,
        probe.duration or 0.0,
    )


class Recorder:
    """Watches one job's narrations and ffmpeg runs; keeps what the captions need from the
    working files before the job's clean-up deletes them."""

    def __init__(self, probes: media.Probes | None = None) -> None:
        self._probes = probes or media.Probes()  # the job's: each file probed once
        self._dir = scratch.mkdtemp("kestro-sound-")
        self._texts: list[str] = []
        self._timings: list[Timing | None] = []
        self._kept: list[str] = []  # links to the narrations, in Segment order
        self._merged: list[str] = []
        self._pieces: list[_Audio] | None = None  # each merged piece's sound, in order
        self._bounds: list[tuple[float, float] | None] = []
        self._worker: threading.Thread | None = None
        self._error: BaseException | None = None

    def narration(self, text: str, path: str, timing: Timing | None = None) -> None:
        """A narration was written at ``path`` for the next Segment (``timing``: when
        each of its words is spoken)."""
        keep = os.path.join(self._dir, f"{len(self._kept)}.mp3")
        try:
            os.link(path, keep)
        except OSError:
            shutil.copyfile(path, keep)
        self._texts.append(text)
        self._timings.append(timing)
        self._kept.append(keep)

    def narration_files(self) -> list[str]:
        """Each narration as it was spoken, in Segment order (until ``close``)."""
        return list(self._kept)

    def ran(self, argv: Sequence[object]) -> None:
        """An ffmpeg run of the job returned successfully."""
        if "-shortest" in argv:
            # linked, so that the job's clean-up after the export cannot take a piece from
            # under its measuring (which runs beside the export)
            piece = str(argv[-1])
            keep = os.path.join(self._dir, f"piece_{len(self._merged)}.mp4")
            try:
                os.link(piece, keep)
            except OSError:
                keep = piece  # no hard links here: measured where it is
            self._merged.append(keep)
        elif "concat" in argv and self._worker is None:
            # the pieces stay until the clean-up after the vertical export: measured meanwhile
            self._worker = threading.Thread(target=self._measure, name="kestro-sound", daemon=True)
            self._worker.start()

    def _measure(self) -> None:
        try:
            self._pieces = [_audio_stream(path, self._probes) for path in self._merged]
            self._bounds = [sound_bounds(path) for path in self._kept]
        except BaseException as exc:  # reported by heard(), on the job's thread
            self._error = exc

    def heard(self, horizontal: str) -> list[Heard]:
        """Where each narration is heard in ``horizontal`` (the joined video)."""
        if self._worker is None:
            raise RuntimeError("the job joined no pieces")
        self._worker.join()
        if self._error is not None:
            raise self._error
        assert self._pieces is not None
        audio = _audio_stream(horizontal, self._probes)  # its length bounds the decode
        loud = loud_blocks(pcm(horizontal, audio.duration))
        end = len(loud) * BLOCK / RATE
        frame = FRAME / audio.rate
        if audio.packets == sum(piece.packets for piece in self._pieces):
            # every packet decodes to one frame; a stream that opens before 0 has its
            # first samples skipped by the decoder
            skip = max(0.0, -audio.first_pts)
            counts = _cumulative([piece.packets for piece in self._pieces])
            starts = [at * frame - skip for at in counts]
        else:  # not a packet-for-packet join: lay the pieces end to end by their lengths
            starts = _cumulative([piece.duration for piece in self._pieces])
        result = []
        for i, text in enumerate(self._texts):
            begin = max(0.0, starts[i]) if i < len(starts) else end
            stop = min(end, starts[i + 1]) if i + 1 < len(starts) else end
            # a piece opens with its encoder's priming frame, which may still ring with the
            # end of the piece before: its narration is heard after that frame
            first = _first_loud(loud, begin + (frame / 2 if i else 0.0), stop)
            bounds = self._bounds[i] if i < len(self._bounds) else None
            timing = self._timings[i]
            if first is None or bounds is None:
                result.append(Heard(text, begin, max(0.0, stop - begin), stop, True, 0.0, timing))
            else:
                length = bounds[1] - bounds[0]
                result.append(Heard(text, first, length, stop, False, bounds[0], timing))
        return result

    def piece_starts(self) -> list[float]:
        """Where each piece's picture begins in the joined video: the join lays the pieces
        end to end by their containers' lengths (after ``heard``)."""
        if self._pieces is None:
            raise RuntimeError("the pieces have not been measured")
        return _cumulative([piece.duration for piece in self._pieces])

    def close(self) -> None:
        if self._worker is not None:
            self._worker.join()
        shutil.rmtree(self._dir, ignore_errors=True)


def _cumulative(lengths: list[float] | list[int]) -> list[float]:
    """Where each of a run of lengths starts."""
    starts: list[float] = []
    at = 0.0
    for length in lengths:
        starts.append(at)
        at += length
    return starts


def _first_loud(loud: list[bool], begin: float, stop: float) -> float | None:
    first = max(0, int(begin * RATE) // BLOCK)
    last = min(len(loud), -(-int(stop * RATE) // BLOCK))
    for block in range(first, last):
        if loud[block]:
            return block * BLOCK / RATE
    return None
