"""What every speaker is: something that writes one narration as an MP3 file.

A speaker is opened for a whole job and closed at its end, best with ``with``; what it does
not say for itself (its name, whether it runs here, what it knows of its words' times) has a
default here, so callers ask the speaker directly.
"""

from __future__ import annotations

import abc
from types import TracebackType
from typing import Self

from kestro_core.speech.timing import Timing

__all__ = ["Speaker", "VoiceError"]


class VoiceError(ValueError):
    """A voice cannot be used or cannot speak a narration; the message says what to do."""


class Speaker(abc.ABC):
    """Who speaks a job's narrations.

    ``local`` is True for a speaker that runs on this machine: no service needs a rest
    after its narrations. ``name`` is the voice as the user chose it ("" when none was
    named). ``last_timing`` is when each word of the last narration was spoken, when the
    speaker can tell.
    """

    local: bool = True
    name: str = ""
    last_timing: Timing | None = None

    @property
    def identity(self) -> str:
        """What the narration cache keys on besides the text: it changes whenever the
        speaker would sound different."""
        return f"{type(self).__name__}\0{self.name}"

    @abc.abstractmethod
    def synthesize(self, text: str, output_file: str) -> None:
        """Speak ``text`` into an MP3 file at ``output_file``."""

    def close(self) -> None:
        """Let go of what the speaker holds; it cannot speak afterwards."""

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()
