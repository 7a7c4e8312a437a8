"""The captions as subtitle files: SRT, UTF-8 without a byte-order mark, one cue a block."""

from __future__ import annotations

import math

from kestro_core.picture.captions import Cue, text_lines
from kestro_core.store.files import write_beside

__all__ = ["srt_text", "write_srt"]


def _millis(seconds: float) -> int:
    # one rounding for starts and ends alike: it never reverses two times' order
    return math.floor(seconds * 1000 + 0.5)


def _srt_time(ms: int) -> str:
    if ms >= 100 * 3_600_000:
        raise ValueError("an SRT file cannot time a caption at 100 hours or later")
    hours, ms = divmod(ms, 3_600_000)
    minutes, ms = divmod(ms, 60_000)
    seconds, ms = divmod(ms, 1000)
    return f"{hours:02d}:{minutes:02d}:{seconds:02d},{ms:03d}"


def srt_text(cues: list[Cue]) -> str:
    """The cues as an SRT document, numbered from 1; times are rounded to the millisecond
    and a cue that rounds to nothing is left out."""
    blocks: list[str] = []
    for cue in cues:
        begin, end = _millis(cue.start), _millis(cue.end)
        lines = text_lines(cue.text)
        if end <= begin or begin < 0 or not lines:
            continue
        number = len(blocks) + 1
        blocks.append(
            f"{number}\n{_srt_time(begin)} --> {_srt_time(end)}\n" + "\n".join(lines) + "\n"
        )
    return "\n".join(blocks)


def write_srt(path: str, cues: list[Cue]) -> None:
    """Write the cues to ``path`` as UTF-8 SRT; the file is replaced whole or not at all."""
    data = srt_text(cues).encode("utf-8")

    def write(tmp: str) -> None:
        with open(tmp, "wb") as out:
            out.write(data)

    write_beside(path, write)
