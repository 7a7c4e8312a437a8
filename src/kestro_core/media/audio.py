"""What the package hears in a media file: its first audio stream decoded to mono PCM, and
where it sounds (5 ms blocks against a gate quieter than any speech and louder than an
encoder's noise)."""

from __future__ import annotations

import array

from kestro_core.media.runner import run

__all__ = [
    "BLOCK",
    "BLOCK_SECONDS",
    "FRAME",
    "RATE",
    "loud_blocks",
    "loudness",
    "pcm",
    "sound_bounds",
]

RATE = 16_000  # analysis sample rate
BLOCK = 80  # 5 ms blocks
BLOCK_SECONDS = BLOCK / RATE
FRAME = 1024  # samples in one AAC frame
THRESHOLD = 180  # about -45 dBFS: quieter than any speech, louder than an encoder's noise


def pcm(path: str, seconds: float = 0.0) -> array.array[int]:
    """The first audio stream (``seconds`` long) decoded sample after sample, mono at RATE:
    the timeline a player and the vertical export hear (packet timestamps that the join
    squeezed together do not drop samples)."""
    argv = ["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-vn", "-map", "0:a:0"]
    argv += ["-ac", "1", "-ar", str(RATE), "-f", "s16le", "-"]
    done = run(argv, media_seconds=seconds)
    samples = array.array("h")
    samples.frombytes(done.stdout[: len(done.stdout) // 2 * 2])
    return samples


def loud_blocks(samples: array.array[int]) -> list[bool]:
    loud = []
    for at in range(0, len(samples), BLOCK):
        block = samples[at : at + BLOCK]
        loud.append(max(block) > THRESHOLD or -min(block) > THRESHOLD)
    return loud


def loudness(path: str) -> list[bool]:
    """Whether each BLOCK_SECONDS of a media file's first audio stream is sounding."""
    return loud_blocks(pcm(path))


def sound_bounds(path: str) -> tuple[float, float] | None:
    """First and last moment of sound in a media file, or None when it is silent."""
    loud = loud_blocks(pcm(path))
    if True not in loud:
        return None
    first = loud.index(True)
    last = len(loud) - 1 - loud[::-1].index(True)
    return first * BLOCK / RATE, (last + 1) * BLOCK / RATE
