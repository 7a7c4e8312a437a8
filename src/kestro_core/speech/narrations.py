"""Each narration taken from the cache, or spoken once and kept there.

The job, the plan and the studio all get their narrations through ``CachedSpeech``: the key
is ``Cache.narration_key(speaker.identity, text)``, a narration spoken here is stored under
it at once, and ``syntheses`` counts what was spoken rather than taken from the cache.
"""

from __future__ import annotations

import os
import shutil
import time
from dataclasses import dataclass

from kestro_core.speech.base import Speaker
from kestro_core.speech.timing import Timing
from kestro_core.store import scratch
from kestro_core.store.cache import Cache
from kestro_core.store.files import write_beside

__all__ = ["Said", "CachedSpeech"]


@dataclass(frozen=True)
class Said:
    """One narration in place."""

    path: str  # where it is
    key: str  # its cache key
    spoken: bool  # spoken for this call (not taken from the cache, nor spoken ahead)
    timing: Timing | None  # when each word was spoken, as the voice told while speaking it
    rest_due: bool  # the speech service just spoke it: it gets its rest before the next


class CachedSpeech:
    """``speaker`` behind the narration cache.

    ``rest`` is the pause, in seconds, the speech service gets before a narration that
    follows one it spoke (0: the caller sees to it, from ``Said.rest_due``). A narration
    from the cache or from a voice on this machine asked no service and needs no rest.
    Scratch files (narrations spoken ahead, or spoken with the cache off) last until
    ``close``.
    """

    def __init__(self, speaker: Speaker, cache: Cache, *, rest: float = 0.0) -> None:
        self.speaker = speaker
        self.cache = cache
        self.rest = rest
        self.syntheses = 0  # narrations spoken, not taken from the cache
        self._rest_due = False
        self._ahead: dict[str, tuple[str, Timing | None]] = {}  # text -> (file, timing)
        self._scratch: str | None = None
        self._scratched = 0

    def key(self, text: str) -> str:
        return Cache.narration_key(self.speaker.identity, text)

    def cached(self, text: str) -> str | None:
        """The cache entry of ``text``, or None."""
        return self.cache.get_narration(self.key(text))

    def into(self, text: str, output_file: str) -> Said:
        """The narration of ``text`` placed at ``output_file``: the one spoken ahead moved
        there, else the cache's linked there, else spoken there (and stored)."""
        key = self.key(text)
        ahead = self._ahead.pop(text, None)
        if ahead is not None:
            os.replace(ahead[0], output_file)
            return Said(output_file, key, False, ahead[1], False)
        entry = self.cache.get_narration(key)
        if entry is not None:
            try:
                self.cache.link_out(entry, output_file)
                return Said(output_file, key, False, None, False)
            except OSError:
                pass  # evicted by another job since the look-up: spoken again
        # the file may be a hard link to a cached narration (left by a failed run)
        return self._speak(text, key, output_file)

    def find(self, text: str) -> Said:
        """The narration of ``text`` where it already is (the cache's entry, or one
        spoken ahead), else spoken into a scratch file (and stored)."""
        key = self.key(text)
        ahead = self._ahead.get(text)
        if ahead is not None:
            return Said(ahead[0], key, False, ahead[1], False)
        entry = self.cache.get_narration(key)
        if entry is not None:
            return Said(entry, key, False, None, False)
        return self._speak(text, key, self._scratch_file())

    def ahead(self, text: str) -> str:
        """The file of the narration of ``text``, spoken now when the cache lacks it, so
        that ``into`` later only moves it in place."""
        said = self.find(text)
        if said.spoken:
            self._ahead[text] = (said.path, said.timing)
        return said.path

    def close(self) -> None:
        """Remove the scratch files."""
        self._ahead.clear()
        if self._scratch is not None:
            shutil.rmtree(self._scratch, ignore_errors=True)
            self._scratch = None

    def _speak(self, text: str, key: str, path: str) -> Said:
        if self._rest_due and self.rest > 0:
            time.sleep(self.rest)
        # made beside the path and renamed over it: a file that may be a hard link to a
        # cached narration is never written through, and a failure leaves nothing half made
        write_beside(path, lambda tmp: self.speaker.synthesize(text, tmp))
        self.syntheses += 1
        self._rest_due = not self.speaker.local
        self.cache.put_narration(key, path)
        return Said(path, key, True, self.speaker.last_timing, self._rest_due)

    def _scratch_file(self) -> str:
        if self._scratch is None:
            self._scratch = scratch.mkdtemp("kestro-speech-")
        self._scratched += 1
        return os.path.join(self._scratch, f"voice_{self._scratched}.mp3")
