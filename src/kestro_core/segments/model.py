"""The segments file: a JSON list of Segments, each a time range of the source with the
narration spoken over it.

``load`` reads it as the run's JSON reader does, noting why it cannot; a ``Document`` is
the file read so once, for a whole job; ``check_segments`` lists every problem of its
Segments; ``read`` gives the Segments of a file that has none (for the plan, the exact
joins and the studio); ``dump`` and ``write`` put a list back
in the layout it came in, every unknown key and each value's time form kept.
"""

from __future__ import annotations

import contextlib
import json
import os
import re
from dataclasses import dataclass
from typing import Any, NamedTuple

from kestro_core.segments.keys import FRAME_KEY, ORIGINAL, SOUND_KEY, frame_problem, sound_problem
from kestro_core.segments.timecode import format_seconds, parse_time
from kestro_core.store.files import write_beside

__all__ = [
    "REQUIRED_KEYS",
    "TIME_KEYS",
    "Problem",
    "Report",
    "Segment",
    "SegmentsError",
    "UNREADABLE",
    "load",
    "Document",
    "check_segments",
    "read",
    "dump",
    "write",
]

REQUIRED_KEYS = ("start", "end", "voiceover")
TIME_KEYS = ("start", "end")
_UTF8_BOM = b"\xef\xbb\xbf"


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


UNREADABLE = object()


def load(report: Report, segments_file: str) -> Any:
    """Read and parse the file as the run's JSON reader does; UNREADABLE (after noting
    why in ``report``) when that fails."""
    try:
        with open(segments_file, "rb") as f:
            raw = f.read()
    except OSError as exc:
        report.add(
            None, None, f"cannot open the segments file {segments_file!r}: {exc.strerror or exc}"
        )
        return UNREADABLE

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
        return UNREADABLE
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
    return UNREADABLE


class Document:
    """A segments file read once (``load``): ``json`` is what it holds (UNREADABLE when it
    cannot be read), ``problems`` why it could not be read as it is. A job reads its file
    into one Document and checks, plans and finishes from it."""

    def __init__(self, path: str) -> None:
        self.path = path
        found = Report()
        self.json: Any = load(found, path)
        self.problems = tuple(found)

    def entries(self) -> list[Any] | None:
        """The file's list as it stands (checked or not); None when it holds no list."""
        return self.json if isinstance(self.json, list) else None


def _document(segments_file: str | Document) -> Document:
    return segments_file if isinstance(segments_file, Document) else Document(segments_file)


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
            # an "original" Segment plays its own sound: it needs no narration
            if not value.strip() and seg.get(SOUND_KEY) != ORIGINAL:
                report.add(
                    n,
                    key,
                    'the narration is empty (write one, or set "sound": "original" to play '
                    "the range with its own sound)",
                )
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

    if FRAME_KEY in seg:
        problem = frame_problem(seg[FRAME_KEY])
        if problem is not None:
            report.add(n, FRAME_KEY, problem)
    if SOUND_KEY in seg:
        problem = sound_problem(seg[SOUND_KEY])
        if problem is not None:
            report.add(n, SOUND_KEY, problem)
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


def check_segments(report: Report, segments_file: str | Document, duration_us: int | None) -> None:
    """Every problem of the segments file (a path, or the Document read of it), in Segment
    order, into ``report``."""
    document = _document(segments_file)
    report.extend(document.problems)
    doc = document.json
    if doc is UNREADABLE:
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


class SegmentsError(ValueError):
    """The segments file cannot be used; the message lists why."""


@dataclass(frozen=True)
class Segment:
    """One Segment of a file that passed the check. Times in seconds; ``index`` counts
    from 1; ``raw`` is the JSON object as it stands in the file."""

    index: int
    start: float
    end: float
    voiceover: str
    raw: dict[str, Any]


def read(segments_file: str | Document) -> list[Segment]:
    """The Segments of ``segments_file`` (a path, or the Document read of it);
    SegmentsError listing every problem otherwise."""
    document = _document(segments_file)
    report = Report()
    check_segments(report, document, None)
    if report:
        raise SegmentsError(report.listing(document.path))
    segments = []
    for n, seg in enumerate(document.json, start=1):
        start, end = parse_time(seg["start"]), parse_time(seg["end"])
        assert start is not None and end is not None
        segments.append(Segment(n, start / 1e6, end / 1e6, seg["voiceover"], seg))
    return segments


def _indent_of(raw: str) -> str | None:
    m = re.search(r"\n([ \t]+)\S", raw)
    if m is None:
        return None if "\n" not in raw.strip() else "  "
    return m.group(1)


def dump(doc: list[Any], like: str | None = None) -> str:
    """The text of a segments file holding ``doc``, laid out as ``like`` (the file's
    earlier text) was: one Segment a line when it had that, else its indent; without
    ``like``, two spaces."""
    if like is None:
        return json.dumps(doc, indent=2, ensure_ascii=False) + "\n"
    indent = _indent_of(like)
    if doc and like.strip().count("\n") == len(doc) + 1:
        # one Segment a line, as written by hand
        rows = [f"{indent or ''}{json.dumps(seg, ensure_ascii=False)}" for seg in doc]
        body = "[\n" + ",\n".join(rows) + "\n]"
    else:
        body = json.dumps(doc, ensure_ascii=False, indent=indent)
    return body + "\n" if like.endswith("\n") else body


def write(path: str, text: str) -> None:
    """Put ``text`` at ``path`` as UTF-8: written beside it, flushed to the disk and renamed
    over it, so a failure leaves the old file whole; an existing file keeps its mode."""

    def make(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        with contextlib.suppress(OSError):
            os.chmod(tmp, os.stat(path).st_mode & 0o7777)

    write_beside(path, make)
