"""Who speaks a job's narrations: the speech service through the extension's own client,
or a voice on this machine (piper, espeak-ng)."""

from __future__ import annotations

from collections.abc import Callable
from typing import Protocol

from kestro_core.speech.voices import open_voice
from kestro_core.store.cache import Cache
from kestro_core.store.files import write_beside

__all__ = ["Speaker", "ServiceSpeaker", "open_speaker", "speak_into"]


class Speaker(Protocol):
    """Who speaks a narration: writes an MP3 of ``text`` at ``output_file``."""

    identity: str  # what the narration cache keys on besides the text
    local: bool  # True: runs on this machine, so no pause for a service is needed

    def synthesize(self, text: str, output_file: str) -> None: ...


class ServiceSpeaker:
    """The speech service, through the extension's own client."""

    local = False

    def __init__(self, generate: Callable[[str, str, str], object], voice: str) -> None:
        self._generate = generate
        self.voice = voice
        self.identity = f"service\0{voice}"

    def synthesize(self, text: str, output_file: str) -> None:
        self._generate(text, output_file, self.voice)


def open_speaker(
    speech: str,
    voice: str | None,
    voice_dir: str | None,
    cache: Cache,
    generate: Callable[[str, str, str], object] | None = None,
) -> Speaker:
    """The speaker of a job: the service (through ``generate``, the extension's own
    ``_generate_tts``, needed for the service only) or a local voice, whose model hashes
    are remembered in the cache."""
    if speech == "service":
        assert voice is not None and generate is not None
        return ServiceSpeaker(generate, voice)
    memo = cache.memo_path("model-hashes.json") if cache.enabled else None
    return open_voice(speech, voice, voice_dir, hash_memo=memo)


def speak_into(speaker: Speaker, text: str, path: str) -> None:
    """``speaker`` speaks ``text`` into ``path``: made under a new name beside it and
    renamed over it, so a file that may be a hard link to a cached narration is never
    written through, and a failure leaves nothing half made."""
    write_beside(path, lambda tmp: speaker.synthesize(text, tmp))
