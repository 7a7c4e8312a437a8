"""The narrations of a plan: spoken into the cache under the key the job uses, so the run
that follows speaks nothing again, and measured as the merge reads them."""

from __future__ import annotations

import math
import os
import re
import tempfile
import time
from dataclasses import dataclass, replace

from kestro_core.media import MediaError, run
from kestro_core.planning.probes import PlanError, probed
from kestro_core.speech.speakers import Speaker, speak_into
from kestro_core.speech.timing import Timing, narration_timing
from kestro_core.store.cache import Cache

__all__ = ["Narration", "Narrator", "measure_narration"]

# a narration whose loudest sample stays below this is silence
_SILENT_DB = -60.0
_SERVICE_PAUSE = 0.5
_MAX_VOLUME = re.compile(r"max_volume:\s*(-?inf|-?[0-9.]+) dB")


@dataclass(frozen=True)
class Narration:
    """A narration file as the merge reads it."""

    seconds: float  # decoded length (encoder delay and padding left out)
    rate: int  # samples per second
    silent: bool  # no sample above -60 dB
    timing: Timing | None = None  # when each word is spoken (from the cached synthesis)


def measure_narration(path: str) -> Narration:
    """Decoded length, rate and silence of an audio file."""
    shown = f"the narration {path!r}"
    doc = probed(
        path,
        shown,
        "-select_streams",
        "a:0",
        "-show_entries",
        "frame=nb_samples:stream=sample_rate",
    )
    streams = doc.get("streams") or []
    if not streams:
        raise PlanError(f"{shown} holds no audio")
    rate = int(streams[0].get("sample_rate") or 0)
    samples = sum(int(f.get("nb_samples", 0)) for f in doc.get("frames", []))
    if rate <= 0:
        raise PlanError(f"{shown} has no sample rate")
    seconds = samples / rate
    return Narration(seconds, rate, _loudest_db(path, seconds) <= _SILENT_DB)


def _loudest_db(path: str, seconds: float) -> float:
    argv = ["ffmpeg", "-nostdin", "-hide_banner", "-i", os.path.abspath(path)]
    argv += ["-map", "0:a:0", "-af", "volumedetect", "-f", "null", "-"]
    try:
        done = run(argv, media_seconds=seconds)
    except MediaError as exc:
        raise PlanError(f"cannot read the narration {path!r}: {exc}") from exc
    found = _MAX_VOLUME.findall(done.stderr.decode("utf-8", "replace"))
    if not found:
        return 0.0  # unknown: taken as audible
    return -math.inf if found[-1].endswith("inf") else float(found[-1])


class Narrator:
    """Speaks narrations into the cache under the job's own key and measures them.

    A narration already in the cache is measured there (no synthesis); one made here is
    stored under ``Cache.narration_key(speaker.identity, text)``, so the job that follows
    takes it from the cache. With the cache off, each text is made once per Narrator.
    """

    def __init__(self, speaker: Speaker, cache: Cache) -> None:
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
            if self._pause_due:
                time.sleep(_SERVICE_PAUSE)  # the rest the job gives the speech service
            self._pause_due = not self.speaker.local
            speak_into(self.speaker, text, target)
            self.made += 1
            self.cache.put_narration(key, target)
            entry = target
            found = measure_narration(entry)
            self.spoken += found.seconds
            spoken = getattr(self.speaker, "last_timing", None)
        else:
            found = measure_narration(entry)
            spoken = None
        found = replace(found, timing=narration_timing(self.cache, key, entry, text, spoken))
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
