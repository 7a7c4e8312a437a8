"""Whole-job check, made before anything is downloaded.

``run_kestro`` reads the segments file only after the source video has been
fetched and meets a bad Segment only when its loop reaches it; a speed that
ffmpeg's atempo filter refuses shows up only at the final export.  The
functions here look at everything a run depends on up front and return every
problem at once, so that a typo costs seconds instead of minutes of download
and speech quota.

Standard library only: this module never imports the extension.
"""

from __future__ import annotations

import json
import math
import os
import shutil
import subprocess
from typing import Any, NamedTuple

__all__ = [
    "Problem",
    "Report",
    "check",
    "parse_time",
    "tempo_factors",
    "format_seconds",
    "REQUIRED_KEYS",
    "PROGRAMS",
    "ATEMPO_MIN",
    "ATEMPO_MAX",
]

REQUIRED_KEYS = ("start", "end", "voiceover")
TIME_KEYS = ("start", "end")
PROGRAMS = ("ffmpeg", "ffprobe", "wget")
ATEMPO_MIN = 0.5
ATEMPO_MAX = 100.0

_UTF8_BOM = b"\xef\xbb\xbf"
_INT64_MAX = (1 << 63) - 1
_INT64_MIN = -(1 << 63)
_C_SPACE = " \t\n\v\f\r"
_DIGITS = "0123456789"


class Problem(NamedTuple):
    """One thing that would make a run fail (or cut the wrong picture).

    ``segment`` is 1-based, as the run's progress lines count; None for a
    problem that belongs to no Segment.  ``key`` is the Segment key concerned
    ("start", "end", "voiceover"), or None.
    """

    segment: int | None
    key: str | None
    message: str

    def __str__(self) -> str:
        if self.segment is None:
            return self.message
        where = f"Segment {self.segment}"
        if self.key is not None:
            where += f' "{self.key}"'
        return f"{where}: {self.message}"


class Report(list[Problem]):
    """What ``check`` found: a list of Problems, in the order found, plus a
    summary of the segments file (meaningful when the list is empty)."""

    def __init__(self) -> None:
        super().__init__()
        self.segment_count: int | None = None
        self.narrated_us = 0  # total of end - start over the Segments

    def add(self, segment: int | None, key: str | None, message: str) -> None:
        self.append(Problem(segment, key, message))

    def listing(self, what: str) -> str:
        """The problems as ``check`` prints them: a heading naming ``what``, then one
        indented line each."""
        count = len(self)
        lines = [f"{what}: {count} problem{'' if count == 1 else 's'}:"]
        lines += [f"  {problem}" for problem in self]
        return "\n".join(lines)


# --------------------------------------------------------------------------
# ffmpeg's time syntax
# --------------------------------------------------------------------------


def _number(text: str, i: int, max_value: int, max_len: int) -> tuple[int, int] | None:
    """Read 1..max_len ASCII digits at text[i:] (no backtracking), as ffmpeg's
    date field reader does; None when there is none or the value is too big."""
    j = i
    while j < len(text) and j - i < max_len and text[j] in _DIGITS:
        j += 1
    if j == i:
        return None
    value = int(text[i:j])
    if value > max_value:
        return None
    return value, j


def _clock(text: str, i: int, with_hours: bool) -> tuple[int, int] | None:
    """Match HOURS:MM:SS (hours up to 4 digits) or MM:SS at text[i:];
    give (seconds, index after the match)."""
    fields = [(9999, 4), (59, 2), (59, 2)] if with_hours else [(59, 2), (59, 2)]
    total = 0
    for n, (max_value, max_len) in enumerate(fields):
        if n:
            if i >= len(text) or text[i] != ":":
                return None
            i += 1
        got = _number(text, i, max_value, max_len)
        if got is None:
            return None
        value, i = got
        total = total * 60 + value
    return total, i


def _c_strtoll(text: str, i: int) -> tuple[int, int] | None:
    """C's strtoll in base 10: leading white space, a sign, digits."""
    j = i
    while j < len(text) and text[j] in _C_SPACE:
        j += 1
    sign = 1
    if j < len(text) and text[j] in "+-":
        sign = -1 if text[j] == "-" else 1
        j += 1
    k = j
    while k < len(text) and text[k] in _DIGITS:
        k += 1
    if k == j:
        return None
    value = sign * int(text[j:k])
    if not _INT64_MIN <= value <= _INT64_MAX:
        return None
    return value, k


def parse_time(text: str) -> int | None:
    """A time in ffmpeg's duration syntax, in microseconds; None if ffmpeg
    would refuse it.

    Accepted, as ffmpeg's own parser accepts them: ``[-][HH:]MM:SS[.m...]``
    (hours up to four digits, minutes and seconds below 60) and
    ``[-]S+[.m...]``, each optionally followed by "s", "ms" or "us".
    """
    if "\x00" in text:  # an argument vector cannot carry it
        return None
    i = 0
    negative = text.startswith("-")
    if negative:
        i = 1
    got = _clock(text, i, True) or _clock(text, i, False)
    if got is None:
        got = _c_strtoll(text, i)
        if got is None:
            return None
    whole, i = got

    micro = 0
    if i < len(text) and text[i] == ".":
        i += 1
        scale = 100000
        while i < len(text) and text[i] in _DIGITS:
            if scale >= 1:
                micro += scale * int(text[i])
                scale //= 10
            i += 1

    unit = 1000000
    rest = text[i:]
    if rest.startswith("ms"):
        unit, micro, i = 1000, micro // 1000, i + 2
    elif rest.startswith("us"):
        unit, micro, i = 1, 0, i + 2
    elif rest.startswith("s"):
        i += 1
    if i != len(text):
        return None

    # ffmpeg refuses what does not fit its 64-bit microsecond count
    if whole > _INT64_MAX // unit or whole < -(-_INT64_MIN // unit):
        return None
    value = whole * unit
    if value > _INT64_MAX - micro:
        return None
    value += micro
    return -value if negative else value


def format_seconds(us: int) -> str:
    """Microseconds as H:MM:SS.mmm (rounded to the millisecond)."""
    sign = "-" if us < 0 else ""
    ms = (abs(us) + 500) // 1000
    hours, ms = divmod(ms, 3600_000)
    minutes, ms = divmod(ms, 60_000)
    seconds, ms = divmod(ms, 1000)
    return f"{sign}{hours}:{minutes:02d}:{seconds:02d}.{ms:03d}"


# --------------------------------------------------------------------------
# speed
# --------------------------------------------------------------------------


def tempo_factors(speed: float) -> list[float]:
    """The factors of the atempo chain that a run builds for ``speed``, as
    ffmpeg reads them: the speed itself up to 2.0; above, 2.0 as often as
    needed and a last factor above 1 and at most 2, written to 4 decimals."""
    if not speed > 2.0:
        return [speed]
    factors = []
    remaining = speed
    while remaining > 2.0:
        factors.append(2.0)
        remaining *= 0.5
    factors.append(float(f"{remaining:.4f}"))
    return factors


def _check_speed(report: Report, speed: float) -> None:
    if not math.isfinite(speed):
        report.add(None, None, f"speed {speed!r} is not a finite number")
        return
    bad = sorted({f for f in tempo_factors(speed) if not ATEMPO_MIN <= f <= ATEMPO_MAX})
    if bad:
        shown = ", ".join(repr(f) for f in bad)
        report.add(
            None,
            None,
            f"speed {speed!r} gives the atempo factor {shown}, outside ffmpeg's "
            f"range {ATEMPO_MIN:g} to {ATEMPO_MAX:g}; the vertical export would "
            f"fail at the very end of the run (use a speed of at least {ATEMPO_MIN:g})",
        )
    elif f"{1.0 / speed:.6f}" == "0.000000":
        report.add(
            None,
            None,
            f"speed {speed!r} is so high that the picture's time factor 1/speed "
            f"reads 0.000000 and every frame would land on time 0",
        )


# --------------------------------------------------------------------------
# the segments file
# --------------------------------------------------------------------------


def _json_type(value: Any) -> str:
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    if isinstance(value, dict):
        return "an object"
    return type(value).__name__


def _short(value: Any, limit: int = 60) -> str:
    text = json.dumps(value, ensure_ascii=False)
    return text if len(text) <= limit else text[: limit - 3] + "..."


_UNREADABLE = object()


def _load(report: Report, segments_file: str) -> Any:
    """Read and parse the file; _UNREADABLE (after noting why) when that fails."""
    try:
        with open(segments_file, "rb") as f:
            raw = f.read()
    except OSError as exc:
        report.add(
            None, None, f"cannot open the segments file {segments_file!r}: {exc.strerror or exc}"
        )
        return _UNREADABLE

    if raw.startswith(_UTF8_BOM):
        report.add(
            None,
            None,
            "the segments file begins with a UTF-8 byte-order mark, "
            "which the run's JSON reader refuses: save it as UTF-8 "
            "without BOM",
        )
        raw = raw[len(_UTF8_BOM) :]
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        line = raw.count(b"\n", 0, exc.start) + 1
        hint = ""
        if raw[:2] in (b"\xff\xfe", b"\xfe\xff"):
            hint = " (it looks like UTF-16)"
        report.add(
            None,
            None,
            f"the segments file is not UTF-8 text{hint}: byte "
            f"0x{raw[exc.start]:02x} at offset {exc.start} (line {line}) "
            f"cannot be decoded; save it as UTF-8",
        )
        return _UNREADABLE
    try:
        # universal newlines, as the run's text-mode open reads it
        return json.loads(text.replace("\r\n", "\n").replace("\r", "\n"))
    except json.JSONDecodeError as exc:
        report.add(
            None,
            None,
            f"the segments file is not valid JSON: {exc.msg} at line "
            f"{exc.lineno} column {exc.colno}",
        )
    except RecursionError:
        report.add(None, None, "the segments file is nested too deeply to be read")
    return _UNREADABLE


def _folded(key: str) -> str:
    return "".join(c for c in key.casefold() if c not in " \t_-")


def _similar_key(seg: dict[str, Any], wanted: str) -> str | None:
    """A key of the Segment that differs from ``wanted`` only in case (or in
    spaces, "_" and "-"), as in "Start" or "Voice_Over"."""
    for key in seg:
        if key != wanted and _folded(key) == wanted:
            return str(key)
    return None


def _check_segment(report: Report, n: int, seg: Any, duration_us: int | None) -> int | None:
    """Check Segment number n (1-based); give its length in microseconds
    when its times are usable."""
    if not isinstance(seg, dict):
        report.add(
            n,
            None,
            f"is {_json_type(seg)} ({_short(seg)}), not an object with "
            f'"start", "end" and "voiceover"',
        )
        return None

    times: dict[str, int] = {}
    for key in REQUIRED_KEYS:
        if key not in seg:
            near = _similar_key(seg, key)
            if near is not None:
                report.add(
                    n,
                    key,
                    f'missing; the Segment has "{near}" - '
                    f'did you mean "{key}"? (keys must match exactly)',
                )
            else:
                report.add(n, key, "missing")
            continue
        value = seg[key]
        if not isinstance(value, str):
            hint = ""
            if key in TIME_KEYS and isinstance(value, (int, float)) and not isinstance(value, bool):
                hint = f' (write it in quotes: "{value}")'
            report.add(
                n, key, f"must be a JSON string, not {_json_type(value)} {_short(value)}{hint}"
            )
            continue
        if key == "voiceover":
            if not value.strip():
                report.add(n, key, "the narration is empty")
            continue
        us = parse_time(value)
        if us is None:
            report.add(
                n,
                key,
                f"{_short(value)} is not a time ffmpeg reads; write "
                f"[HH:]MM:SS[.fraction] or seconds[.fraction], "
                f'e.g. "00:01:05.5" or "65.5"',
            )
        else:
            times[key] = us

    if len(times) < 2:
        return None
    start, end = times["start"], times["end"]
    length = None
    if start >= end:
        report.add(n, "end", f'{_short(seg["end"])} is not after "start" {_short(seg["start"])}')
    else:
        length = end - start
    if duration_us is not None:
        shown = format_seconds(duration_us)
        if start < 0:
            report.add(
                n, "start", f"{_short(seg['start'])} lies before the beginning of the source video"
            )
        elif start >= duration_us:
            report.add(
                n,
                "start",
                f"{_short(seg['start'])} lies at or after the end of the source video ({shown})",
            )
        if end > duration_us and start < duration_us:
            report.add(
                n, "end", f"{_short(seg['end'])} lies after the end of the source video ({shown})"
            )
    return length


def _check_segments(report: Report, segments_file: str, duration_us: int | None) -> None:
    doc = _load(report, segments_file)
    if doc is _UNREADABLE:
        return
    if not isinstance(doc, list):
        hint = ""
        if isinstance(doc, dict) and any(k in doc for k in REQUIRED_KEYS):
            hint = ": put the Segment inside [ ]"
        report.add(
            None,
            None,
            f"the top level of the segments file is {_json_type(doc)}, "
            f"not an array of Segments{hint}",
        )
        return
    report.segment_count = len(doc)
    if not doc:
        report.add(
            None,
            None,
            "the segments file holds no Segment: the run would "
            "download the video and then fail at the concatenation, "
            "with nothing to join",
        )
        return
    for n, seg in enumerate(doc, start=1):
        length = _check_segment(report, n, seg, duration_us)
        if length is not None:
            report.narrated_us += length


# --------------------------------------------------------------------------
# output directory, programs, source video
# --------------------------------------------------------------------------


def _check_output_dir(report: Report, output_dir: str) -> None:
    shown = repr(output_dir)
    if "\x00" in output_dir:
        report.add(None, None, f"output directory {shown} contains a NUL character")
        return
    absolute = os.path.abspath(output_dir)
    if "\n" in absolute or "\r" in absolute:
        report.add(
            None,
            None,
            f"the absolute path of the output directory, {absolute!r}, "
            f"contains a line break, which the concat list cannot carry",
        )
    probe = output_dir or "."  # "" puts the working files in the current directory
    if not os.path.exists(probe):
        report.add(
            None, None, f"output directory {shown} does not exist (the run never creates it)"
        )
    elif not os.path.isdir(probe):
        report.add(None, None, f"output directory {shown} is not a directory")
    elif not os.access(probe, os.W_OK | os.X_OK):
        report.add(None, None, f"output directory {shown} is not writable")


def _check_programs(report: Report, programs: tuple[str, ...]) -> None:
    for name in programs:
        if shutil.which(name) is None:
            report.add(None, None, f"{name} is not on PATH")


def _source_duration(report: Report, source: str) -> int | None:
    if not os.path.isfile(source):
        report.add(None, None, f"source video {source!r} does not exist")
        return None
    if shutil.which("ffprobe") is None:
        return None  # already reported with the programs
    argv = [
        "ffprobe",
        "-v",
        "error",
        "-show_entries",
        "format=duration",
        "-of",
        "default=noprint_wrappers=1:nokey=1",
        os.path.abspath(source),
    ]
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.SubprocessError) as exc:
        report.add(None, None, f"ffprobe could not be run on the source video: {exc}")
        return None
    lines = done.stdout.split()
    try:
        seconds = float(lines[0])
        if done.returncode != 0 or not math.isfinite(seconds):
            raise ValueError
    except (IndexError, ValueError):
        why = (done.stderr.strip().splitlines() or ["no duration reported"])[-1]
        report.add(
            None, None, f"ffprobe cannot read the duration of the source video {source!r}: {why}"
        )
        return None
    return round(seconds * 1_000_000)


# --------------------------------------------------------------------------
# entry point
# --------------------------------------------------------------------------


def check(
    segments_file: str,
    speed: float | None = None,
    output_dir: str = ".",
    source: str | None = None,
    programs: tuple[str, ...] = PROGRAMS,
) -> Report:
    """Check everything a run needs; give the list of every problem found.

    Problems come in this order: the segments file (in Segment order), the
    speed, the output directory, the programs, the source video.
    """
    report = Report()
    duration_us = None
    tail = Report()
    if speed is not None:
        _check_speed(tail, speed)
    _check_output_dir(tail, output_dir)
    _check_programs(tail, programs)
    if source is not None:
        duration_us = _source_duration(tail, source)
    _check_segments(report, segments_file, duration_us)
    report.extend(tail)
    return report


def check_job(
    segments_file: str,
    speed: float | None = None,
    output_dir: str = ".",
    *,
    source: str | None = None,
    speech: str | None = None,
    voice: str | None = None,
    voice_dir: str | None = None,
) -> Report:
    """``check``, plus what a job from a local source or with a local voice needs: the
    source must be a readable video that is none of the job's own working files, and the
    chosen speech engine and voice must be there. ``speech`` None leaves the engine out."""
    from kestro_core.sources import source_problems
    from kestro_core.voices import voice_problems

    late = Report()
    probe_source = None
    if source is not None:
        for message in source_problems(source, output_dir):
            late.add(None, None, message)
        probe_source = None if late else source
    if speech == "service" and not voice:
        late.add(
            None,
            None,
            "the speech service needs a voice name: give one with --voice "
            "(voice=), or choose a local engine with --speech",
        )
    elif speech is not None:
        for message in voice_problems(speech, voice, voice_dir):
            late.add(None, None, message)
    # a local source needs no wget
    programs = PROGRAMS if source is None else tuple(p for p in PROGRAMS if p != "wget")
    report = check(segments_file, speed, output_dir, probe_source, programs)
    report.extend(late)
    return report
