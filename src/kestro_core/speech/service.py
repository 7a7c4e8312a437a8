"""The speech service as a speaker, through the extension's own client."""

from __future__ import annotations

from collections.abc import Callable

from kestro_core.speech.base import Speaker

__all__ = ["ServiceSpeaker"]


class ServiceSpeaker(Speaker):
    """The speech service: ``generate`` is the extension's own ``_generate_tts``."""

    local = False

    def __init__(self, generate: Callable[[str, str, str], object], voice: str) -> None:
        self._generate = generate
        self.name = voice

    @property
    def identity(self) -> str:
        return f"service\0{self.name}"

    def synthesize(self, text: str, output_file: str) -> None:
        self._generate(text, output_file, self.name)
