"""espeak-ng as a voice: the program on this machine, fed the text on stdin, its WAV
encoded to MP3. Nothing is installed or downloaded here: a voice is one espeak-ng has."""

from __future__ import annotations

import os
import shutil
import struct
import subprocess

from kestro_core.media.runner import child_options
from kestro_core.speech.base import VoiceError
from kestro_core.speech.local import LocalVoice, encode_mp3, quoted, speakable

__all__ = [
    "DEFAULT_ESPEAK_VOICE",
    "ESPEAK_INSTALL",
    "EspeakVoice",
    "espeak_problems",
    "open_espeak",
]

DEFAULT_ESPEAK_VOICE = "en-us"
ESPEAK_INSTALL = "install it with: apt-get install espeak-ng"

_ESPEAK_RATE = 22050  # espeak-ng's rate, for a run that produced no header
_ESPEAK_PROBE_TIMEOUT = 15.0

_espeak_known: set[tuple[str, str]] = set()  # (program, voice) that espeak-ng accepted


class EspeakVoice(LocalVoice):
    engine = "espeak-ng"

    def __init__(self, program: str, voice: str) -> None:
        self.name = voice
        self._program = program

    @property
    def identity(self) -> str:
        return f"espeak-ng\0{self.name}"

    def synthesize(self, text: str, output_file: str) -> None:
        spoken = speakable(text).encode("utf-8")
        # the text goes in on stdin, so nothing in it is ever read as an option
        argv = [self._program, "-b", "1", "-v", self.name, "--stdin", "--stdout"]
        timeout = 30.0 + len(spoken) / 100
        try:
            done = subprocess.run(
                argv,
                input=spoken,
                capture_output=True,
                timeout=timeout,
                env=_env_without_preload(),
                **child_options(),
            )
        except subprocess.TimeoutExpired as exc:
            raise VoiceError(
                f"espeak-ng did not finish the narration {quoted(text)} within {timeout:.0f} s"
            ) from exc
        except OSError as exc:
            raise VoiceError(
                f"espeak-ng cannot be started ({exc.strerror}): {ESPEAK_INSTALL}"
            ) from exc
        if done.returncode != 0:
            raise VoiceError(
                f"espeak-ng failed on the narration {quoted(text)} (exit "
                f"{done.returncode}): {_tail(done.stderr)}"
            )
        rate, pcm = _wav_pcm(done.stdout)
        encode_mp3(pcm, rate, output_file)


def espeak_problems(voice: str | None) -> list[str]:
    """What would make ``open_espeak`` refuse ``voice``; [] when espeak-ng speaks it."""
    return _examine(voice)[0]


def open_espeak(voice: str | None) -> EspeakVoice:
    """espeak-ng speaking ``voice`` (None: the default voice); VoiceError when it cannot."""
    problems, found = _examine(voice)
    if found is None:
        raise VoiceError("\n".join(problems))
    return EspeakVoice(*found)


def _examine(voice: str | None) -> tuple[list[str], tuple[str, str] | None]:
    """Every problem with ``voice``, and when there is none, (program, voice)."""
    voice = voice or DEFAULT_ESPEAK_VOICE
    program = shutil.which("espeak-ng")
    if program is None:
        return [f"espeak-ng is not installed (not found on PATH): {ESPEAK_INSTALL}"], None
    if "\0" in voice or voice != voice.strip() or voice.startswith("-"):
        return [f"{voice!r} is not an espeak-ng voice name; `espeak-ng --voices` lists them"], None
    problem = _voice_problem(program, voice)
    if problem is not None:
        return [problem], None
    return [], (program, voice)


def _voice_problem(program: str, voice: str) -> str | None:
    """Asks espeak-ng to load the voice, saying nothing; a voice it loaded is remembered."""
    if (program, voice) in _espeak_known:
        return None
    try:
        done = subprocess.run(
            [program, "-q", "-v", voice, ""],
            capture_output=True,
            timeout=_ESPEAK_PROBE_TIMEOUT,
            env=_env_without_preload(),
            **child_options(),
        )
    except subprocess.TimeoutExpired:
        return (
            f"espeak-ng did not answer within {_ESPEAK_PROBE_TIMEOUT:.0f} s when asked "
            f"for the voice {voice!r}"
        )
    except OSError as exc:
        return f"espeak-ng cannot be started ({exc.strerror}): {ESPEAK_INSTALL}"
    if done.returncode != 0:
        return (
            f"espeak-ng does not know the voice {voice!r}: `espeak-ng --voices` lists "
            "the voices it has (for example en-us, en-gb, de, fr)"
        )
    _espeak_known.add((program, voice))
    return None


def _wav_pcm(data: bytes) -> tuple[int, bytes]:
    """(sample rate, 16-bit mono samples) of the WAV stream espeak-ng writes to a pipe,
    whose length fields are placeholders."""
    if not data:
        return _ESPEAK_RATE, b""
    if len(data) < 12 or data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise VoiceError("espeak-ng wrote something that is not WAV audio")
    rate: int | None = None
    pos = 12
    while pos + 8 <= len(data):
        kind = data[pos : pos + 4]
        (size,) = struct.unpack_from("<I", data, pos + 4)
        body = pos + 8
        if kind == b"fmt " and len(data) >= body + 16:
            fmt, channels, rate, _, _, bits = struct.unpack_from("<HHIIHH", data, body)
            if (fmt, channels, bits) != (1, 1, 16) or rate <= 0:
                raise VoiceError(
                    "espeak-ng wrote audio in a form other than 16-bit mono "
                    f"PCM (format {fmt}, {channels} channels, {bits} bits)"
                )
        elif kind == b"data":
            if rate is None:
                break
            return rate, data[body : body + size]
        pos = body + size + (size & 1)
    raise VoiceError("espeak-ng wrote WAV audio without a format or data part")


def _env_without_preload() -> dict[str, str]:
    """This process's environment without LD_PRELOAD: espeak-ng hangs at start-up under a
    preloaded sanitizer runtime."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def _tail(stderr: bytes, limit: int = 300) -> str:
    text = stderr.decode("utf-8", "replace").strip()
    if not text:
        return "it printed nothing"
    return text[-limit:].replace("\n", " | ")
