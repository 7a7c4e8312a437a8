"""What the voices on this machine share: the base of a local voice, the text as an engine
gets it, and the MP3 every local narration is written as."""

from __future__ import annotations

import abc
import contextlib
import os
import unicodedata

from kestro_core import media
from kestro_core.speech.base import Speaker, VoiceError
from kestro_core.store.files import temp_beside

__all__ = [
    "MP3_RATE",
    "LocalVoice",
    "speakable",
    "encode_mp3",
    "quoted",
]

MP3_RATE = 44100  # every narration a voice on this machine makes
_SILENCE_SECONDS = 0.25  # what a narration that came out silent is written as


class LocalVoice(Speaker):
    """A voice that runs on this machine.

    ``engine`` is "piper" or "espeak-ng"; ``name`` is what the user chose (or the bundled
    model's path); ``identity`` changes whenever the voice would sound different.
    """

    engine: str

    @abc.abstractmethod
    def synthesize(self, text: str, output_file: str) -> None:
        """Speak ``text`` into an MP3 file at ``output_file``.

        The MP3 is made under a temporary name beside ``output_file`` and renamed onto it:
        ``output_file`` is never opened, and an interrupted or failed synthesis leaves it
        as it was. Raises VoiceError for a narration with nothing to speak or an engine
        failure.
        """

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.engine} {self.name!r}>"


def speakable(text: str) -> str:
    """The narration as an engine should get it: control, format, private-use and
    unassigned characters (NUL included) out, white space collapsed. Raises VoiceError
    when nothing is left to speak."""
    if not text.strip():
        raise VoiceError('the narration is empty: write the words to be spoken in its "voiceover"')
    kept: list[str] = []
    for ch in unicodedata.normalize("NFC", text):
        category = unicodedata.category(ch)
        if category == "Cf":
            continue  # zero-width joiners, soft hyphens, direction marks
        kept.append(" " if category in ("Cc", "Cs", "Co", "Cn") else ch)
    spoken = " ".join("".join(kept).split())
    if not spoken:
        raise VoiceError(
            f"the narration {quoted(text)} holds only control characters: there is nothing to speak"
        )
    return spoken


def encode_mp3(pcm: bytes, rate: int, output_file: str) -> None:
    """Encodes 16-bit mono samples to an MP3 at ``output_file``, made beside it and renamed
    onto it. No samples at all become a short silence, so there is always an MP3."""
    pcm = pcm[: len(pcm) & ~1]
    if not pcm:
        pcm = bytes(2 * int(rate * _SILENCE_SECONDS))
    target = os.path.abspath(output_file)
    if not os.path.isdir(os.path.dirname(target)):
        raise VoiceError(
            f"cannot write the narration to {output_file!r}: its folder does not exist"
        )
    tmp = temp_beside(target)
    argv = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error"]
    argv += ["-f", "s16le", "-ar", str(rate), "-ac", "1", "-i", "pipe:0"]
    argv += ["-ar", str(MP3_RATE), "-ac", "1", "-c:a", "libmp3lame", "-q:a", "4"]
    argv += ["-f", "mp3", "-y", "file:" + tmp]
    try:
        try:
            media.run(argv, media_seconds=len(pcm) / 2 / rate, input=pcm)
        except media.MediaError as exc:
            raise VoiceError(f"cannot encode the narration for {output_file!r}: {exc}") from exc
        try:
            os.replace(tmp, target)
        except OSError as exc:
            raise VoiceError(
                f"cannot write the narration to {output_file!r}: {exc.strerror}"
            ) from exc
    finally:
        with contextlib.suppress(OSError):
            os.remove(tmp)


def quoted(text: str, limit: int = 40) -> str:
    """A narration as a message shows it: quoted, cut after ``limit`` characters."""
    shown = text if len(text) <= limit else text[:limit] + "..."
    return repr(shown)
