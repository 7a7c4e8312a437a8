"""What each function the extension looks up does for a job's thread.

``Job`` is one job's answer to ``_download_video``, ``_generate_tts``, ``time.sleep`` and
``subprocess.run``: the source put in place, each narration taken from the cache or spoken
(an "original" Segment gets a silence), each ffmpeg run told apart by its fixed argument
vector and reported as a step (a cut of an exact job encoded on its own, the export read for
its progress), and what the captions and the finished sound need kept on the way.
"""

from __future__ import annotations

import contextlib
import os
import subprocess
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from kestro_core import media
from kestro_core.cuts.exact import Cut, ExactCuts
from kestro_core.finding.snap import SnappedCopy
from kestro_core.job.events import Reporter
from kestro_core.segments.keys import NARRATION, ORIGINAL
from kestro_core.sound import mix
from kestro_core.sound.heard import Recorder
from kestro_core.speech.base import Speaker
from kestro_core.speech.local import MP3_RATE
from kestro_core.speech.narrations import CachedSpeech
from kestro_core.speech.timing import Timing, narration_timing
from kestro_core.store.cache import Cache
from kestro_core.store.files import write_beside

__all__ = ["Job", "Planned"]


@dataclass(frozen=True)
class Planned:
    """What the job knows of a Segment before the extension reaches it: its sound, range
    (seconds; None where the file does not say) and narration."""

    sound: str = NARRATION
    start: float | None = None
    end: float | None = None
    text: str = ""


class Job:
    """What one job's thread reaches through the namespace; reports each step the
    extension asks for to ``reporter``."""

    def __init__(
        self,
        source: Callable[[str, str], object],
        speaker: Speaker,
        cache: Cache,
        recorder: Recorder | None = None,
        *,
        reporter: Reporter | None = None,
        total: int | None = None,
        speed: float = 1.0,
        exact: ExactCuts | None = None,
        on_source: Callable[[str], object] | None = None,
        planned: Sequence[Planned | None] = (),
        kept: mix.Originals | None = None,
        probes: media.Probes | None = None,
        snapped: SnappedCopy | None = None,
    ) -> None:
        self.source = source
        self.speaker = speaker
        self.cache = cache
        self.recorder = recorder  # keeps what the captions need, when they are wanted
        self.reporter = reporter or Reporter()
        self.total = total  # the Segments in the file, when it could be read up front
        self.speed = speed
        self.exact = exact  # exact joins: every cut an encode of just its range
        self.on_source = on_source  # told the source video's path once it is in place
        self.planned = list(planned)  # each Segment's sound and range, in file order
        self.kept = kept  # the source's sound of "original" and "mix" ranges, when wanted
        self.probes = probes or media.Probes()  # each file the job reads, probed once
        self.video: str | None = None  # the source video, once in place
        self.snapped = snapped  # the segments file the extension reads, snapped once in place
        self._skip_pause = False
        self._segment = 0  # the Segment the extension is at (counted from 1)
        self._rate: int | None = None  # the narrations' sample rate, once needed
        self._speech = CachedSpeech(speaker, cache)

    def download_video(self, url: str, output_file: str) -> None:
        self.reporter.step("download", "Fetching the video")
        self.source(url, output_file)
        self.video = output_file
        if self.snapped is not None:
            self._snap(output_file)
        if self.on_source is not None:
            self.on_source(output_file)
        # what the extension does next: read the segments file
        self.reporter.step("read", "Reading the segments file")

    def generate_tts(self, text: str, output_file: str, voice: str) -> None:
        self._segment += 1
        planned = self._planned(self._segment)
        if planned.sound == ORIGINAL:
            self._report("narrate", "Laying a silence under the source's own sound")
            self._silence(planned, output_file)
            self._skip_pause = True
            if self.recorder is not None:
                self.recorder.narration("", output_file)
            return
        self._report("narrate", "Speaking the narration")
        # The pause after a narration gives the speech service a rest; a narration that
        # came from the cache or from this machine asked no service.
        said = self._speech.into(text, output_file)
        self._skip_pause = not said.rest_due
        self._heard(text, output_file, said.key, said.timing)

    def _snap(self, video: str) -> None:
        """The ranges moved onto the shot changes near their edges, before the extension
        reads them: what the job knows of each Segment moves with it."""
        assert self.snapped is not None
        self.reporter.note("🎬 Looking for shot changes at the edges of the ranges...")
        moved = self.snapped.snap(
            video,
            cache=self.cache,
            probes=self.probes,
            note=lambda line: self.reporter.note(f"  {line}"),
        )
        for seg in moved:
            was = self.planned[seg.index - 1] if seg.index <= len(self.planned) else None
            if was is not None:
                self.planned[seg.index - 1] = Planned(was.sound, seg.start, seg.end, was.text)
        if self.exact is not None:
            self.exact.ranges = [(s.start, s.end) for s in moved if s.end > s.start]

    @property
    def syntheses(self) -> int:
        """Narrations made, not taken from the cache."""
        return self._speech.syntheses

    def _planned(self, segment: int) -> Planned:
        found = self.planned[segment - 1] if segment <= len(self.planned) else None
        return found if found is not None else Planned()

    def _silence(self, planned: Planned, output_file: str) -> None:
        """The narration of an "original" Segment: a silence that outlasts the clip, at the
        other narrations' rate (the join copies every piece's sound as it is)."""
        seconds = mix.silence_seconds(0.0, 0.0)
        if planned.start is not None and planned.end is not None:
            first = planned.start
            if self.exact is None and self.video is not None:
                first = mix.clip_start(self.video, planned.start, self.probes)
            seconds = mix.silence_seconds(first, planned.end)
        rate = self._narration_rate()
        write_beside(output_file, lambda tmp: mix.silence(tmp, seconds, rate))

    def _narration_rate(self) -> int:
        """The sample rate of this job's narrations: a voice on this machine makes them at
        one rate; the service's are measured on the first one, spoken ahead if need be."""
        if self._rate is not None:
            return self._rate
        if self.speaker.local:
            self._rate = MP3_RATE
            return self._rate
        later = self.planned[self._segment :]
        text = next((p.text for p in later if p is not None and p.sound != ORIGINAL), None)
        if text is None:
            self._rate = MP3_RATE
            return self._rate
        self._rate = _sample_rate(self._speech.ahead(text), self.probes)
        return self._rate

    def close(self) -> None:
        self._speech.close()

    def _report(self, step: str, message: str) -> None:
        total = self.total if self.total is not None and self._segment <= self.total else None
        index = self._segment if total is not None else None
        self.reporter.step(step, message, index, total)

    def _heard(self, text: str, output_file: str, key: str, spoken: Timing | None = None) -> None:
        """The narration is in place: its words' timing (what the voice said, kept in the
        cache; else the cache's; else estimated) goes to the recorder with it."""
        silences = any(p is not None and p.sound == ORIGINAL for p in self.planned)
        if self._rate is None and silences and not self.speaker.local:
            self._rate = _sample_rate(output_file, self.probes)
        if self.recorder is None:
            if spoken is not None:
                self.cache.put_words(key, spoken.to_json())
            return
        timing = narration_timing(self.cache, key, output_file, text, spoken)
        self.recorder.narration(text, output_file, timing)

    def run(self, original: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        argv = args[0] if args and isinstance(args[0], list) else None
        if original is subprocess.run and "preexec_fn" not in kwargs:
            kwargs = {**kwargs, **media.child_options()}  # ends with the job, however it ends
        step = None if argv is None else _step_of(argv)
        if argv is not None and step is not None:
            media.require(argv[0])  # a missing program is named with how to install it
        if step == "export":
            if self.reporter.last is None or self.reporter.last.step != "export":
                self.reporter.step("export", "Making the vertical video")
            # the real runner is read for its progress; a stand-in is called as it is
            if original is subprocess.run:
                result = _encode(argv or [], self.speed, self.reporter, self.probes, **kwargs)
            else:
                result = original(*args, **kwargs)
        elif step == "cut" and self.exact is not None:
            self._report("cut", "Cutting the clip exactly")
            result = self.exact.run(
                argv or [], self._segment, original, kwargs, self.reporter.advance
            )
            self._keep_sound(argv or [])
        else:
            if step == "cut":
                self._report(step, "Cutting the clip")
                _unshare(argv or [])
            elif step == "merge":
                self._report(step, "Laying the narration")
            elif step == "join":
                self.reporter.step("join", "Joining the pieces")
                if self.kept is not None:
                    self.kept.wait()
            result = original(*args, **kwargs)
            if step == "cut":
                self._keep_sound(argv or [])
        if argv is not None and self.recorder is not None and result.returncode == 0:
            self.recorder.ran(argv)
        return result

    def _keep_sound(self, argv: list[Any]) -> None:
        """After a cut: the source's sound of its range, when the Segment plays it."""
        planned = self._planned(self._segment)
        cut = Cut.of(argv)
        times = None if cut is None else cut.seconds()
        if self.kept is None or planned.sound == NARRATION or cut is None or times is None:
            return
        # a clip's time counts from its first frame at or after "start", also when a
        # stream copy carries the frames from the keyframe before
        self.kept.keep(self._segment, planned.sound, cut.video, times[0], times[1])

    def sleep(self, seconds: float, real_sleep: Callable[[float], object]) -> None:
        if self._skip_pause:
            self._skip_pause = False
            return
        real_sleep(seconds)


def _sample_rate(path: str, probes: media.Probes) -> int:
    return probes.get(path).sample_rate or MP3_RATE


def _step_of(argv: list[Any]) -> str | None:
    """Which of the extension's ffmpeg runs this is, from its fixed argument vector."""
    if "h264_nvenc" in argv or "libx264" in argv:
        return "export"
    if "concat" in argv:
        return "join"
    if "-shortest" in argv:
        return "merge"
    if "-ss" in argv:
        return "cut"
    return None


def _unshare(argv: list[Any]) -> None:
    """A clip left by a failed exact job may be a hard link to a cached clip: it is removed
    before the stream-copy cut writes a new one there (ffmpeg writes through the path)."""
    cut = Cut.of(argv)
    if cut is None:
        return
    with contextlib.suppress(OSError):
        if os.lstat(cut.clip).st_nlink > 1:
            os.remove(cut.clip)


def _encode(
    argv: list[str], speed: float, reporter: Reporter, probes: media.Probes, **kwargs: Any
) -> subprocess.CompletedProcess[bytes]:
    """The vertical export as ``subprocess.run(argv, **kwargs)`` runs it (same exit status,
    same captured output or stderr let through, same CalledProcessError), with ffmpeg's own
    progress read to report how far it is."""
    try:
        length = probes.get(argv[argv.index("-i") + 1]).length() / speed
    except (ValueError, ZeroDivisionError, media.MediaError):
        length = 0.0  # no fractions then, only the end
    capture = bool(kwargs.get("capture_output"))
    done = media.follow(argv, length, reporter.advance, capture=capture)
    if kwargs.get("check") and done.returncode != 0:
        raise subprocess.CalledProcessError(done.returncode, argv, done.stdout, done.stderr)
    return done
