"""What ffprobe says of a file, read once.

A ``Probe`` wraps one ffprobe document of a file: the container's duration and start time,
its streams (a video stream's codec, size and frame rate; an audio stream's codec, sample
rate and packet count) and the first packets read from the file's start. Packets anywhere
else are read only around the ranges asked for (``Probe.windows``): ffprobe seeks to the
keyframe at or before each range's start and reads on to a little past its end, every range
of one request in one run, so a two-hour film costs what a short one does. ``Probes`` keeps
the Probe of each file for one job, for as long as the file stays as it is.

This is the only module that reads ffprobe's output.
"""

from __future__ import annotations

import json
import math
import os
import threading
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from fractions import Fraction
from functools import cached_property
from typing import Any

from kestro_core.media.runner import MediaError, local_path, run

__all__ = [
    "Packet",
    "Stream",
    "VideoInfo",
    "Probe",
    "Probes",
    "AudioFrames",
    "frame_rate",
    "duration",
    "video_info",
    "read_windows",
    "keyframe_times",
    "decoded_audio",
]

# packets read from the start with the streams: the first packet of each stream lies among
# them in any file muxed for playing (the packets of its first second or so)
_FIRST_PACKETS = 64
_STREAM_ENTRIES = (
    "index,codec_type,codec_name,width,height,avg_frame_rate,r_frame_rate,sample_rate,nb_frames"
)
_PACKET_ENTRIES = "pts_time,dts_time,flags,pos,size"
_NEAR = 0.1  # seconds read past a start when only the keyframe before it is wanted


def _document(path: str, *options: str) -> dict[str, Any]:
    """ffprobe's JSON document of ``path`` for the given options."""
    done = run(["ffprobe", "-v", "error", *options, "-of", "json", local_path(path)])
    try:
        doc = json.loads(done.stdout or b"{}")
    except ValueError as exc:
        raise MediaError(
            ["ffprobe", path], f"ffprobe gave no readable answer for {path!r}"
        ) from exc
    return doc if isinstance(doc, dict) else {}


def _number(value: Any) -> float | None:
    """A finite number as ffprobe writes one ("12.480000"); None for "N/A" or nothing."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        return None
    return number if math.isfinite(number) else None


def _whole(value: Any) -> int | None:
    try:
        return int(value)
    except (TypeError, ValueError):
        return None


def _entries(doc: Mapping[str, Any], section: str) -> list[Mapping[str, Any]]:
    found = doc.get(section)
    return [e for e in found if isinstance(e, Mapping)] if isinstance(found, list) else []


def frame_rate(text: str | None) -> float:
    """A rate as ffprobe writes it ("25/1", "30000/1001"); 0.0 when it names none."""
    try:
        rate = Fraction(text or "0")
    except (ValueError, ZeroDivisionError):
        return 0.0
    return float(rate) if rate > 0 else 0.0


@dataclass(frozen=True)
class Packet:
    """One packet as ffprobe lists it: its times in seconds of the file's own timeline
    (None where it has none), whether it is a keyframe, where it lies in the file."""

    pts: float | None
    dts: float | None = None
    key: bool = False
    pos: int | None = None
    size: int | None = None
    stream: int | None = None

    @classmethod
    def of(cls, entry: Mapping[str, Any]) -> Packet:
        return cls(
            _number(entry.get("pts_time")),
            _number(entry.get("dts_time")),
            "K" in str(entry.get("flags", "")),
            _whole(entry.get("pos")),
            _whole(entry.get("size")),
            _whole(entry.get("stream_index")),
        )


@dataclass(frozen=True)
class Stream:
    """One stream of a file, as its container describes it (0 or None where it does not)."""

    index: int
    kind: str  # "video", "audio", "subtitle", "data"...
    codec: str
    width: int = 0
    height: int = 0
    fps: float = 0.0  # frames per second: the average rate, else the base rate
    sample_rate: int | None = None
    packets: int | None = None  # as the container counts them: nothing is read

    @classmethod
    def of(cls, entry: Mapping[str, Any]) -> Stream:
        return cls(
            _whole(entry.get("index")) or 0,
            str(entry.get("codec_type") or ""),
            str(entry.get("codec_name") or ""),
            _whole(entry.get("width")) or 0,
            _whole(entry.get("height")) or 0,
            frame_rate(entry.get("avg_frame_rate")) or frame_rate(entry.get("r_frame_rate")),
            _whole(entry.get("sample_rate")),
            _whole(entry.get("nb_frames")),
        )


@dataclass(frozen=True)
class VideoInfo:
    """The first video stream of a file, and the container's duration."""

    codec: str
    width: int
    height: int
    fps: float
    duration: float | None
    audio_codec: str | None


def _span(start: float, stop: float) -> tuple[str, str]:
    """One interval as ffprobe is given it: seconds to six places."""
    return f"{start:.6f}", f"{stop:.6f}"


def _micro(text: str) -> int:
    return round(float(text) * 1e6)


def _went_back(last: Packet, packet: Packet) -> bool:
    """Whether ``packet`` lies at or before ``last`` in the file: a new seek."""
    if last.pos is not None and packet.pos is not None:
        return packet.pos <= last.pos
    if last.dts is not None and packet.dts is not None:
        return packet.dts <= last.dts
    return False


def _split(packets: Sequence[Packet], stops: Sequence[int]) -> list[tuple[Packet, ...]]:
    """The packets of one run over several intervals, as each interval read them.

    ffprobe reads each interval on its own: it seeks (back, where intervals overlap) to the
    keyframe at or before its start and stops at the first packet whose time (pts, else dts)
    reaches its stop (``stops``, microseconds), which it does not list. So a packet opens the
    next interval where the file goes back, or where its time has reached the stop of the
    interval being read; an interval whose first packet lay at or past its own stop listed
    none."""
    if not stops:
        return []
    groups: list[list[Packet]] = [[] for _ in stops]
    k = 0
    last: Packet | None = None
    for packet in packets:
        seconds = packet.pts if packet.pts is not None else packet.dts
        at = None if seconds is None else round(seconds * 1e6)
        if last is not None and _went_back(last, packet) and k + 1 < len(stops):
            k += 1
        while at is not None and at >= stops[k] and k + 1 < len(stops):
            k += 1
        groups[k].append(packet)
        last = packet
    return [tuple(g) for g in groups]


def read_windows(path: str, spans: Sequence[tuple[float, float]]) -> list[tuple[Packet, ...]]:
    """The first video stream's packets ffprobe reads in ``path`` for each span (start, stop
    in seconds of the file's timeline, in the order given, sorted by start): from the
    keyframe its seek lands on, at or before the start, up to the first packet at or past
    the stop. One run for them all; nothing is decoded."""
    if not spans:
        return []
    texts = [_span(start, stop) for start, stop in spans]
    doc = _document(
        path,
        "-select_streams",
        "v:0",
        "-read_intervals",
        ",".join(f"{a}%{b}" for a, b in texts),
        "-show_entries",
        f"packet={_PACKET_ENTRIES}",
    )
    packets = [Packet.of(e) for e in _entries(doc, "packets")]
    return _split(packets, [_micro(b) for _, b in texts])


def keyframe_times(packets: Sequence[Packet], origin: float = 0.0) -> list[float]:
    """The times of the keyframes among ``packets``, in seconds from ``origin`` (the
    container's start time: as ``-ss`` counts them), sorted, each once."""
    return sorted({p.pts - origin for p in packets if p.key and p.pts is not None})


class Probe:
    """One file as ffprobe describes it (see the module's docstring). Everything is read
    from the one document it was made of, except the packets around ranges (``windows``,
    each range read once) and, when the file's first packets hold none of its audio, the
    first audio packet."""

    def __init__(self, path: str, document: Mapping[str, Any]) -> None:
        self.path = path
        self._doc = document  # ffprobe's JSON, as it came: read through the properties
        self._lock = threading.Lock()
        self._windows: dict[tuple[str, str], tuple[Packet, ...]] = {}
        self._audio_start: list[float | None] = []

    @classmethod
    def of(cls, path: str) -> Probe:
        """The Probe of ``path`` (made absolute): one ffprobe run, which decodes nothing and
        reads the first packets only. Raises MediaError when ffprobe cannot read it."""
        path = os.path.abspath(path)
        doc = _document(
            path,
            "-read_intervals",
            f"%+#{_FIRST_PACKETS}",
            "-show_entries",
            f"format=duration,start_time:stream={_STREAM_ENTRIES}:packet=stream_index,pts_time",
        )
        return cls(path, doc)

    # -- the container and its streams ------------------------------------------------

    @cached_property
    def _format(self) -> Mapping[str, Any]:
        found = self._doc.get("format")
        return found if isinstance(found, Mapping) else {}

    @cached_property
    def duration(self) -> float | None:
        """The container's duration in seconds; None when it gives none."""
        return _number(self._format.get("duration"))

    @cached_property
    def start_time(self) -> float:
        """Where the container's timeline starts (what ``-ss`` counts from); 0.0 unknown."""
        return _number(self._format.get("start_time")) or 0.0

    def length(self) -> float:
        """The container's duration; MediaError when it gives none."""
        if self.duration is None:
            raise MediaError(
                ["ffprobe", self.path], f"ffprobe reports no duration for {self.path!r}"
            )
        return self.duration

    @cached_property
    def streams(self) -> tuple[Stream, ...]:
        return tuple(Stream.of(e) for e in _entries(self._doc, "streams"))

    @cached_property
    def video(self) -> Stream | None:
        """The first video stream."""
        return next((s for s in self.streams if s.kind == "video"), None)

    @cached_property
    def audio(self) -> Stream | None:
        """The first audio stream."""
        return next((s for s in self.streams if s.kind == "audio"), None)

    @property
    def has_video(self) -> bool:
        return self.video is not None

    @property
    def has_audio(self) -> bool:
        return self.audio is not None

    @property
    def sample_rate(self) -> int | None:
        """The first audio stream's sample rate; None without one."""
        return None if self.audio is None else self.audio.sample_rate

    @property
    def frame(self) -> float | None:
        """The first video stream's frame duration in seconds; None when it names no rate."""
        return 1 / self.video.fps if self.video is not None and self.video.fps else None

    def video_info(self) -> VideoInfo | None:
        """What the first video stream is; None when there is none."""
        if self.video is None:
            return None
        audio = None if self.audio is None else self.audio.codec
        video = self.video
        return VideoInfo(video.codec, video.width, video.height, video.fps, self.duration, audio)

    def audio_start(self) -> float | None:
        """The time of the first audio stream's first packet (below 0 when its decoder
        skips priming); None without audio. Read with the streams, where the file's first
        packets hold it; else in a run that reads that one packet."""
        if self.audio is None:
            return None
        index = self.audio.index
        for entry in _entries(self._doc, "packets"):
            packet = Packet.of(entry)
            if packet.stream == index:
                return packet.pts
        with self._lock:
            if not self._audio_start:
                doc = _document(
                    self.path,
                    "-select_streams",
                    "a:0",
                    "-read_intervals",
                    "%+#1",
                    "-show_entries",
                    "packet=pts_time",
                )
                first = _entries(doc, "packets")
                self._audio_start.append(_number(first[0].get("pts_time")) if first else None)
            return self._audio_start[0]

    # -- packets around ranges --------------------------------------------------------

    def windows(
        self, ranges: Sequence[tuple[float, float]], after: float = 0.0
    ) -> list[tuple[Packet, ...]]:
        """The first video stream's packets around each range (start, end in seconds): from
        the keyframe at or before its start to ``after`` seconds past its end, as ffprobe
        reads them for that range alone. Every range not read yet is read in one run."""
        spans = [_span(max(0.0, s), max(0.0, s, e) + after) for s, e in ranges]
        with self._lock:
            missing = sorted(set(spans) - self._windows.keys(), key=lambda t: float(t[0]))
            if missing:
                found = read_windows(self.path, [(float(a), float(b)) for a, b in missing])
                self._windows.update(zip(missing, found, strict=True))
            return [self._windows[span] for span in spans]

    def keyframe_before(self, start: float) -> float | None:
        """The last keyframe at or before ``start`` (seconds from the container's start, as
        ``-ss`` counts them): where a stream copy from ``start`` begins. Read around
        ``start`` only (from a range read already that starts there, when there is one);
        None when none is found."""
        origin = self.start_time
        begin = _span(max(0.0, start), 0.0)[0]
        with self._lock:
            read = [
                packets
                for (a, b), packets in self._windows.items()
                if a == begin and float(b) >= float(a) + _NEAR - 1e-9
            ]
        packets = read[0] if read else self.windows([(start, start)], _NEAR)[0]
        before = [t for t in keyframe_times(packets, origin) if t <= start + 1e-6]
        return max(before) if before else None


class Probes:
    """The Probes of one job: each file probed once for as long as it stays as it is (the
    same device, inode, size and modification time), whatever path names it; safe to ask
    from several threads (a file is probed once even then)."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._found: dict[tuple[int, int, int, int], Probe] = {}
        self._gates: dict[tuple[int, int, int, int], threading.Lock] = {}

    def get(self, path: str) -> Probe:
        """The Probe of ``path``; MediaError when ffprobe cannot read it."""
        try:
            st = os.stat(path)
        except OSError:
            return Probe.of(path)  # ffprobe says what is wrong
        key = (st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
        with self._lock:
            found = self._found.get(key)
            if found is not None:
                return found
            gate = self._gates.setdefault(key, threading.Lock())
        with gate:
            with self._lock:
                found = self._found.get(key)
            if found is None:
                found = Probe.of(path)
                with self._lock:
                    self._found[key] = found
        return found


def duration(path: str) -> float:
    """The container's duration of a media file, in seconds (MediaError when none)."""
    return Probe.of(path).length()


def video_info(path: str) -> VideoInfo | None:
    """What the first video stream of ``path`` is; None when it has no video stream."""
    return Probe.of(path).video_info()


@dataclass(frozen=True)
class AudioFrames:
    """The first audio stream of a file as its decoder gives it."""

    rate: int  # samples per second (0: the stream names none)
    samples: int  # decoded, encoder delay and padding left out


def decoded_audio(path: str) -> AudioFrames | None:
    """The sample rate and decoded samples of ``path``'s first audio stream (every frame
    is decoded: for a narration, not a film); None when it has no audio stream."""
    doc = _document(
        os.path.abspath(path),
        "-select_streams",
        "a:0",
        "-show_entries",
        "frame=nb_samples:stream=sample_rate",
    )
    streams = _entries(doc, "streams")
    if not streams:
        return None
    samples = sum(_whole(f.get("nb_samples")) or 0 for f in _entries(doc, "frames"))
    return AudioFrames(_whole(streams[0].get("sample_rate")) or 0, samples)
