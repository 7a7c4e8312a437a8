"""What the package hears in a media file, and how loud it is.

Where a sound is heard: its first audio stream decoded to mono PCM, read in 5 ms blocks
against one gate (THRESHOLD: quieter than any speech, louder than an encoder's noise). A
file is silent when no block passes the gate (``is_silent``): that is what a silent
narration is, for the job and for the plan alike.

How loud a sound is: the EBU R 128 meter (``measure``), by which the finished short's
sound is brought to the platforms' loudness. The meter leaves out whatever stays under
its absolute gate (METER_GATE), so a sound that never passes it has no loudness to bring
anywhere (``Level.silent``).
"""

from __future__ import annotations

import array
import math
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass

from kestro_core.media.runner import MediaError, run
from kestro_core.store import scratch

__all__ = [
    "BLOCK",
    "BLOCK_SECONDS",
    "FRAME",
    "RATE",
    "THRESHOLD",
    "METER_GATE",
    "loud_blocks",
    "loudness",
    "pcm",
    "sound_bounds",
    "is_silent",
    "Level",
    "measure",
]

RATE = 16_000  # analysis sample rate
BLOCK = 80  # 5 ms blocks
BLOCK_SECONDS = BLOCK / RATE
FRAME = 1024  # samples in one AAC frame
THRESHOLD = 180  # about -45 dBFS: quieter than any speech, louder than an encoder's noise
METER_GATE = -70.0  # LUFS: the meter's absolute gate; a sound under it reads as silence


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


def sound_bounds(path: str, seconds: float = 0.0) -> tuple[float, float] | None:
    """First and last moment of sound in a media file (``seconds`` long, when known), or
    None when it is silent."""
    loud = loud_blocks(pcm(path, seconds))
    if True not in loud:
        return None
    first = loud.index(True)
    last = len(loud) - 1 - loud[::-1].index(True)
    return first * BLOCK / RATE, (last + 1) * BLOCK / RATE


def is_silent(path: str, seconds: float = 0.0) -> bool:
    """Whether no 5 ms block of a media file's first audio stream passes the gate."""
    return sound_bounds(path, seconds) is None


@dataclass(frozen=True)
class Level:
    """What the meter read of a sound: integrated loudness (LUFS), true peak (dBTP)."""

    integrated: float
    true_peak: float

    @property
    def silent(self) -> bool:
        """Nothing of the sound passed the meter's gate: it has no loudness to set."""
        return not self.integrated > METER_GATE


def _reading(text: str, label: str) -> float:
    found = re.findall(rf"^\s*{label}:\s*(-?inf|-?[0-9.]+)", text, re.M)
    if not found:
        return -math.inf
    value = float(found[-1])
    return value if math.isfinite(value) else -math.inf


def measure(inputs: Sequence[str], graph: str, seconds: float, dest: str | None = None) -> Level:
    """The loudness of ``[out]`` of ``graph`` over ``inputs`` (ffmpeg's input options), by
    the EBU R 128 meter: a pass over the sound only, which also writes it to ``dest`` (a
    WAV of 32-bit floats: nothing clips before the gain) when given."""
    with scratch.directory("kestro-loudness-") as work:
        # a scratch file of this pass alone, in a directory of its own
        script = os.path.join(work, "graph.txt")
        with open(script, "w", encoding="utf-8") as f:
            f.write(f"{graph};[out]ebur128=peak=true[m]")
        argv = ["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-v", "info", "-y", *inputs]
        argv += ["-filter_complex_script", script, "-map", "[m]"]
        if dest is None:
            argv += ["-f", "null", "-"]
        else:
            argv += ["-c:a", "pcm_f32le", "-f", "wav", dest]
        done = run(argv, media_seconds=seconds)
    text = done.stderr.decode("utf-8", "replace")
    summary = text[text.rfind("Summary:") :] if "Summary:" in text else ""
    if not summary:
        raise MediaError(argv, "ffmpeg gave no loudness measurement")
    return Level(_reading(summary, "I"), _reading(summary, "Peak"))
