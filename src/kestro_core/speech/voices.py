"""Which voice speaks: the speech engines, a choice checked before any work is done, and
the speaker of a job opened (the speech service, or a voice on this machine)."""

from __future__ import annotations

from collections.abc import Callable

from kestro_core.speech.base import Speaker, VoiceError
from kestro_core.speech.espeak import espeak_problems, open_espeak
from kestro_core.speech.local import LocalVoice
from kestro_core.speech.piper import open_piper, piper_problems
from kestro_core.speech.service import ServiceSpeaker
from kestro_core.store.cache import Cache

__all__ = ["SPEECH_ENGINES", "open_speaker", "open_voice", "voice_problems"]

SPEECH_ENGINES = ("service", "piper", "espeak-ng")


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


def open_voice(
    engine: str, voice: str | None, voice_dir: str | None = None, hash_memo: str | None = None
) -> LocalVoice:
    """Open a local voice for a whole job.

    ``engine`` is "piper" or "espeak-ng". For piper, ``voice`` is a model path (ending in
    .onnx or holding a path separator, its .onnx.json beside it) or a voice name looked up
    in ``voice_dir``; None means the bundled voice. For espeak-ng it is an espeak-ng voice
    such as "en-us" (the default). ``hash_memo`` is a JSON file that remembers model
    hashes by path, size and modification time, so a large model is hashed once.

    Raises VoiceError, before loading anything, when the engine or voice is not usable.
    """
    if engine == "piper":
        return open_piper(voice, voice_dir, hash_memo)
    if engine == "espeak-ng":
        return open_espeak(voice)
    raise VoiceError(_not_local(engine))


def voice_problems(engine: str, voice: str | None, voice_dir: str | None = None) -> list[str]:
    """What would make ``open_voice`` refuse these arguments, one line per problem; [] when
    the voice is usable. Cheap: no model is loaded or hashed. "service" has nothing local to
    check."""
    if engine == "service":
        return []
    if engine == "piper":
        return piper_problems(voice, voice_dir)
    if engine == "espeak-ng":
        return espeak_problems(voice)
    return [_not_local(engine)]


def _not_local(engine: str) -> str:
    if engine == "service":
        return (
            "the speech service is not a local voice: its narrations are made by the "
            "extension's own client"
        )
    return f"unknown speech engine {engine!r}: choose one of {', '.join(SPEECH_ENGINES)}"
