"""The narrations of a plan: spoken into the cache under the key the job uses, so the run
that follows speaks nothing again, and measured as the merge reads them."""

from __future__ import annotations

import os
from dataclasses import dataclass, replace

from kestro_core.media import MediaError, decoded_audio
from kestro_core.media.audio import is_silent
from kestro_core.planning.probes import PlanError, reading
from kestro_core.speech.base import Speaker
from kestro_core.speech.narrations import CachedSpeech
from kestro_core.speech.timing import Timing, narration_timing
from kestro_core.store.cache import Cache

__all__ = ["Narration", "Narrator", "measure_narration"]

_SERVICE_PAUSE = 0.5  # the rest the job gives the speech service between narrations


@dataclass(frozen=True)
class Narration:
    """A narration file as the merge reads it."""

    seconds: float  # decoded length (encoder delay and padding left out)
    rate: int  # samples per second
    silent: bool  # no sound passes media.audio's gate (as the job finds it silent)
    timing: Timing | None = None  # when each word is spoken (from the cached synthesis)


def measure_narration(path: str) -> Narration:
    """Decoded length, rate and silence of an audio file."""
    shown = f"the narration {path!r}"
    with reading(shown):
        decoded = decoded_audio(path)
    if decoded is None:
        raise PlanError(f"{shown} holds no audio")
    rate, samples = decoded.rate, decoded.samples
    if rate <= 0:
        raise PlanError(f"{shown} has no sample rate")
    seconds = samples / rate
    try:
        silent = is_silent(os.path.abspath(path), seconds)
    except MediaError as exc:
        raise PlanError(f"cannot read the narration {path!r}: {exc}") from exc
    return Narration(seconds, rate, silent)


class Narrator:
    """Speaks narrations into the cache under the job's own key and measures them.

    A narration already in the cache is measured there (no synthesis); one made here is
    stored under ``Cache.narration_key(speaker.identity, text)``, so the job that follows
    takes it from the cache. With the cache off, each text is made once per Narrator.
    """

    def __init__(self, speaker: Speaker, cache: Cache) -> None:
        self.speech = CachedSpeech(speaker, cache, rest=_SERVICE_PAUSE)
        self.spoken = 0.0  # seconds of speech made
        self._known: dict[str, Narration] = {}

    @property
    def made(self) -> int:
        """Narrations spoken, not taken from the cache."""
        return self.speech.syntheses

    def narration(self, text: str) -> Narration:
        """The narration of ``text``, made once."""
        found = self._known.get(text)
        if found is not None:
            return found
        said = self.speech.find(text)
        found = measure_narration(said.path)
        if said.spoken:
            self.spoken += found.seconds
        timing = narration_timing(self.speech.cache, said.key, said.path, text, said.timing)
        found = replace(found, timing=timing)
        self._known[text] = found
        return found

    def length(self, text: str) -> float:
        """Seconds of the narration of ``text`` as the merge reads it."""
        return self.narration(text).seconds

    def close(self) -> None:
        """Remove the scratch files of narrations made without a cache."""
        self.speech.close()
