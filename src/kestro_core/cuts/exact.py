"""Exact cuts: each Segment's range encoded on its own, from its very start.

A stream-copy cut starts at the keyframe at or before "start", so a piece may open with
picture from before its start (up to a whole keyframe interval: 10 s in a film). For an
exact job the job's steps run every cut the extension asks for as an accurate encode of just that
range instead: ffmpeg seeks before the input (to the keyframe before "start"), decodes from
there and drops every frame before "start", then encodes the range with libx264 (CRF 18,
no B-frames, no sound: the cut has none) into the very clip file the extension named. The
merge after it (``-shortest``) then lays the narration over a clip that opens on "start"
and is exactly the range long. What it costs follows the ranges, not the source.

Each clip is cached under a key of the source's identity and the range: size,
modification time and inode, and a hash of the bytes around the range (the packets ffprobe
finds from the keyframe before "start" to "end") and of the file's first and last bytes.
Nothing reads the whole source, and a changed source never meets an old clip. The user's
source is only read; a clip is written under a new name beside its place and renamed there.
"""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import subprocess
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from kestro_core import media
from kestro_core.segments.timecode import format_seconds, parse_time
from kestro_core.store.cache import Cache
from kestro_core.store.files import temp_beside

__all__ = [
    "PRESET",
    "CRF",
    "RangeError",
    "Cut",
    "SourceRange",
    "source_range",
    "clip_key",
    "encode_argv",
    "estimate",
    "ExactCuts",
]

PRESET = "superfast"  # 1080p: about 2.5x the speed of "veryfast", 1.5x its size, on 2 cores
CRF = 18  # loses nothing visible
SETTINGS = f"libx264 {PRESET} crf{CRF} bf0 an accurate-seek"
# pixels per second libx264 at PRESET without B-frames makes on one core (generated 1080p25
# pictures; real footage is slower); decoding from the keyframe before adds about a third
PIXELS_PER_CORE_SECOND = 100e6
_EDGE = 64 * 1024  # bytes hashed at the head and at the tail of the source
_SPAN_LIMIT = 32 * 1024 * 1024  # a longer span is hashed in samples
_SAMPLES = 32
_SAMPLE = 1024 * 1024
# read past "end" when finding the range's packets (frames decoded late, with B-frames)
_AFTER = 1.0

Progress = Callable[[float], object]


class RangeError(ValueError):
    """A Segment's range lies outside the source video."""


@dataclass(frozen=True)
class Cut:
    """One cut the extension asks for: ``ffmpeg ... -ss START -to END -i VIDEO ... CLIP``."""

    start: str
    end: str
    video: str
    clip: str

    @classmethod
    def of(cls, argv: Sequence[Any]) -> Cut | None:
        """The cut ``argv`` runs; None when it is not one of the extension's cuts, or holds
        something other than text (the original command then fails as it always did)."""
        if not all(isinstance(a, str) for a in argv):
            return None
        try:
            parts = [str(argv[argv.index(flag) + 1]) for flag in ("-ss", "-to", "-i")]
        except (ValueError, IndexError):
            return None
        return cls(parts[0], parts[1], parts[2], str(argv[-1]))

    def seconds(self) -> tuple[float, float] | None:
        """Start and end in seconds; None when either is not a time ffmpeg reads (the
        original command then runs, and ffmpeg says what is wrong)."""
        start, end = parse_time(self.start), parse_time(self.end)
        if start is None or end is None:
            return None
        return start / 1e6, end / 1e6


@dataclass(frozen=True)
class SourceRange:
    """The source around one range: its identity (the cache key's part) and its length."""

    identity: str
    duration: float | None


def _read_at(fd: int, offset: int, size: int) -> bytes:
    parts = []
    while size > 0:
        chunk = os.pread(fd, min(size, _SAMPLE), offset)
        if not chunk:
            break
        parts.append(chunk)
        offset += len(chunk)
        size -= len(chunk)
    return b"".join(parts)


def source_range(
    video: str,
    start: float,
    end: float,
    probes: media.Probes | None = None,
    ranges: Sequence[tuple[float, float]] = (),
) -> SourceRange:
    """What a clip of ``video`` from ``start`` to ``end`` is keyed on: size, modification
    time, inode, and a hash of the bytes from the keyframe before ``start`` to ``end``
    (sampled when they are many) and of the first and last 64 KiB. Reads no more. The
    packets of ``ranges`` (the job's others) are read in the same run, for later."""
    path = os.path.abspath(video)
    probe = (probes or media.Probes()).get(path)
    window = probe.windows([(start, end), *ranges], _AFTER)[0]
    spans = [(p.pos, p.pos + p.size) for p in window if p.pos is not None and p.size is not None]
    length = probe.duration
    digest = hashlib.sha256(b"kestro-range\0")
    fd = os.open(path, os.O_RDONLY)
    try:
        st = os.fstat(fd)
        facts = {"size": st.st_size, "mtime_ns": st.st_mtime_ns, "inode": st.st_ino}
        digest.update(json.dumps(facts, sort_keys=True).encode())
        digest.update(_read_at(fd, 0, _EDGE))
        digest.update(_read_at(fd, max(0, st.st_size - _EDGE), _EDGE))
        if spans:
            lo, hi = min(s for s, _ in spans), max(e for _, e in spans)
            digest.update(f"{lo}:{hi}".encode())
            if hi - lo <= _SPAN_LIMIT:
                digest.update(_read_at(fd, lo, hi - lo))
            else:
                step = (hi - lo - _SAMPLE) // (_SAMPLES - 1)
                for i in range(_SAMPLES):
                    digest.update(_read_at(fd, lo + i * step, _SAMPLE))
    finally:
        os.close(fd)
    return SourceRange(digest.hexdigest(), length)


def clip_key(identity: str, start: float, end: float) -> str:
    """The cache key of the clip of one range of the source ``identity`` names."""
    doc = {
        "source": identity,
        "start_us": round(start * 1e6),
        "end_us": round(end * 1e6),
        "settings": SETTINGS,
    }
    text = json.dumps(doc, sort_keys=True)
    return hashlib.sha256(b"kestro-clip\0" + text.encode()).hexdigest()


def encode_argv(video: str, start: float, end: float, dest: str) -> list[str]:
    """The ffmpeg command that encodes ``video`` from ``start`` to ``end`` into ``dest``:
    the input seek decodes from the keyframe before ``start`` and drops every frame before
    it, so the clip opens on the first frame at or after ``start``."""
    argv = ["ffmpeg", "-nostdin", "-y", "-hide_banner", "-loglevel", "error"]
    argv += ["-ss", f"{start:.6f}", "-i", media.local_path(video), "-t", f"{end - start:.6f}"]
    argv += ["-map", "0:v:0", "-an", "-sn", "-dn"]
    argv += ["-c:v", "libx264", "-preset", PRESET, "-crf", str(CRF), "-bf", "0"]
    return argv + ["-f", "mp4", os.path.abspath(dest)]


def estimate(seconds: float, width: int, height: int, fps: float) -> float:
    """Seconds the encode of ``seconds`` of picture should take on this machine."""
    cores = min(os.cpu_count() or 1, 8)
    return 1.33 * seconds * fps * width * height / (PIXELS_PER_CORE_SECOND * cores)


class ExactCuts:
    """The exact cuts of one job: each one taken from the cache or encoded (and stored)."""

    def __init__(
        self,
        cache: Cache,
        probes: media.Probes | None = None,
        ranges: Sequence[tuple[float, float]] = (),
    ) -> None:
        self.cache = cache
        self.probes = probes or media.Probes()  # the job's: the source is probed once
        self.ranges = list(ranges)  # the job's ranges: their packets are read together
        self.encoded = 0  # clips encoded for this job
        self.reused = 0  # clips taken from the cache

    def run(
        self,
        argv: Sequence[Any],
        segment: int,
        original: Callable[..., Any],
        kwargs: dict[str, Any],
        progress: Progress | None = None,
    ) -> Any:
        """Make the clip the cut ``argv`` names, exactly; returns what ``subprocess.run``
        would. ``original`` is the extension's runner: the real one runs through ``media``
        (reporting ``progress``), a stand-in is called with the encode's command. A command
        that is not a cut ffmpeg can read runs as it is."""
        cut = Cut.of(argv)
        times = None if cut is None else cut.seconds()
        if cut is None or times is None or times[1] <= times[0]:
            return original(argv, **kwargs)
        start, end = times
        where = source_range(cut.video, start, end, self.probes, self.ranges)
        if where.duration is not None and start >= where.duration:
            raise RangeError(
                f"Segment {segment}: its range {cut.start} → {cut.end} starts at or after the "
                f"end of the source video ({format_seconds(round(where.duration * 1e6))}): "
                f'move "start" and "end" inside the video'
            )
        key = clip_key(where.identity, start, end)
        done: subprocess.CompletedProcess[bytes] = subprocess.CompletedProcess(
            list(argv), 0, None, None
        )
        found = self.cache.get_encode(key)
        if found is not None:
            try:
                self.cache.link_out(found, cut.clip)
            except OSError:
                pass  # evicted by another job since the look-up: made again
            else:
                self.reused += 1
                if progress is not None:
                    progress(1.0)
                return done
        tmp = temp_beside(cut.clip)
        try:
            command = encode_argv(cut.video, start, end, tmp)
            if original is subprocess.run:
                media.run(command, media_seconds=end - start, progress=progress)
            else:
                result = original(command, **kwargs)
                if getattr(result, "returncode", 0) != 0:
                    return result
            self.cache.put_encode(key, tmp)  # a full or unwritable cache only warns
            os.replace(tmp, cut.clip)
        finally:
            with contextlib.suppress(OSError):
                os.remove(tmp)
        self.encoded += 1
        return done
