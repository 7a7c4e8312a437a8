"""The film's dialogue as subtitle lines, and the lines that hold given words.

Where the lines come from, the first found: the file given (``subtitles=``); a file beside the
film named after it (``<stem>.srt``, ``.vtt``, ``.ass``, ``.ssa``; then ``<stem>.<tag>.srt``
and the like, in sorted order); else the film's first text subtitle stream (mov_text, SubRip,
ASS/SSA, WebVTT, plain text), which ffmpeg extracts as SubRip once: the extract is kept in the
cache's memo folder under the film's identity, so a second search reads no more than it. A
film whose subtitles are pictures (DVD, Blu-ray, DVB) cannot be searched.

Files are read by pysubs2, as UTF-8 (a byte-order mark allowed; UTF-16 with one), else as
Windows-1252. A damaged SubRip file gives the lines that can be read: every block without a
readable "start --> end" line is left out and named, with its line number, among the
``problems`` of what was read. ``find_lines`` and ``subtitle_lines`` issue each problem as a
``SubtitleWarning``; ``read_subtitles`` hands them over as a list.

A line holds a word when one of its own words begins with it, after both are case-folded and
stripped of accents (NFKD, combining marks dropped): "town" finds "Town," and "towns", "cafe"
finds "café", "own" does not find "town".
"""

from __future__ import annotations

import codecs
import os
import re
import unicodedata
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field

import pysubs2
from pysubs2.time import TIMESTAMP, timestamp_to_ms

from kestro_core import media
from kestro_core.finding.memo import identity, memo_file
from kestro_core.store import scratch
from kestro_core.store.cache import Cache
from kestro_core.store.files import write_beside

__all__ = [
    "Line",
    "Subtitles",
    "SubtitleError",
    "SubtitleWarning",
    "TEXT_CODECS",
    "IMAGE_CODECS",
    "find_lines",
    "subtitle_lines",
    "read_subtitles",
    "matching",
    "sidecars",
]

TEXT_CODECS = ("mov_text", "subrip", "srt", "ass", "ssa", "webvtt", "text")
IMAGE_CODECS = ("dvd_subtitle", "hdmv_pgs_subtitle", "dvb_subtitle", "xsub")
_FORMATS = {".srt": "srt", ".vtt": "vtt", ".ass": "ass", ".ssa": "ssa"}
_LARGEST = 64 << 20  # bytes: a larger "subtitle file" is something else
_WORD = re.compile(r"\w+")
_INDEX = re.compile(r"\s*\d+\s*")


@dataclass(frozen=True)
class Line:
    """One subtitle line: from ``start`` to ``end`` (seconds, as ``-ss`` counts them), its
    plain text (markup removed, line breaks as spaces)."""

    start: float
    end: float
    text: str


class SubtitleError(ValueError):
    """No subtitles can be read for the film; the message says where they were looked for
    and what to do."""


class SubtitleWarning(UserWarning):
    """A part of a subtitle file that could not be read, and was left out."""


@dataclass(frozen=True)
class Subtitles:
    """The lines read for a film: ``origin`` says from where, ``problems`` what was left
    out (one line each, with its line number)."""

    origin: str
    lines: tuple[Line, ...]
    problems: tuple[str, ...] = field(default=())


def find_lines(
    source: str, words: str, *, subtitles: str | None = None, cache: Cache | None = None
) -> list[Line]:
    """Every subtitle line of ``source`` that holds all of ``words`` (in any order), sorted by
    start. Subtitles as ``subtitle_lines`` reads them; ValueError when ``words`` holds none."""
    return matching(subtitle_lines(source, subtitles=subtitles, cache=cache), words)


def subtitle_lines(
    source: str, *, subtitles: str | None = None, cache: Cache | None = None
) -> list[Line]:
    """All the subtitle lines of ``source``, sorted by start (overlapping lines each their
    own). ``subtitles``: a subtitle file to read instead of looking for one; ``cache``: where
    the film's extracted stream is kept. Raises SubtitleError when there are none to read;
    what was left out of a damaged file is issued as SubtitleWarning."""
    found = read_subtitles(source, subtitles=subtitles, cache=cache)
    for problem in found.problems:
        warnings.warn(problem, SubtitleWarning, stacklevel=3)
    return list(found.lines)


def read_subtitles(
    source: str, *, subtitles: str | None = None, cache: Cache | None = None
) -> Subtitles:
    """The lines of ``source`` and what could not be read of them (see the module)."""
    if subtitles is not None:
        return _read_file(subtitles)
    beside = sidecars(source)
    if beside:
        return _read_file(beside[0])
    return _read_stream(source, cache)


def matching(lines: Sequence[Line], words: str) -> list[Line]:
    """The lines that hold every word of ``words`` (see the module), in their order."""
    wanted = _words(words)
    if not wanted:
        raise ValueError(f"nothing to look for in {words!r}: give at least one word")
    found = []
    for line in lines:
        have = _words(line.text)
        if all(any(word.startswith(w) for word in have) for w in wanted):
            found.append(line)
    return found


def _folded(text: str) -> str:
    decomposed = unicodedata.normalize("NFKD", text.casefold())
    return "".join(c for c in decomposed if not unicodedata.combining(c))


def _words(text: str) -> list[str]:
    return _WORD.findall(_folded(text))


# --------------------------------------------------------------------------------------
# where the subtitles are
# --------------------------------------------------------------------------------------


def sidecars(source: str) -> list[str]:
    """The subtitle files beside ``source`` named after it, in the order they are taken:
    ``<stem>.srt``, ``.vtt``, ``.ass``, ``.ssa``, then ``<stem>.<tag>.srt`` (and so on for
    each kind), each kind's in sorted order."""
    folder, name = os.path.split(os.path.abspath(source))
    stem = os.path.splitext(name)[0]
    try:
        names = sorted(os.listdir(folder))
    except OSError:
        return []
    kinds = list(_FORMATS)
    exact: list[tuple[int, str]] = []
    tagged: list[tuple[int, str]] = []
    for entry in names:
        if entry == name or not entry.startswith(stem + "."):
            continue
        tag, _, ext = entry[len(stem) + 1 :].rpartition(".")
        if f".{ext.lower()}" not in _FORMATS:
            continue
        rank = kinds.index(f".{ext.lower()}")
        (tagged if tag else exact).append((rank, entry))
    ordered = sorted(exact) + sorted(tagged)
    return [
        os.path.join(folder, entry)
        for _, entry in ordered
        if os.path.isfile(os.path.join(folder, entry))
    ]


def _nowhere(source: str) -> str:
    folder, name = os.path.split(os.path.abspath(source))
    stem = os.path.splitext(name)[0]
    return (
        f"no subtitles found for {source}: none beside it in {folder} ({stem}.srt, "
        f"{stem}.<language>.srt, {stem}.vtt or {stem}.ass) and no text subtitle stream "
        f"inside it; give a subtitle file with --subtitles FILE (subtitles= from Python)"
    )


def _read_stream(source: str, cache: Cache | None) -> Subtitles:
    """The film's first text subtitle stream, extracted once into the memo folder."""
    path = os.path.abspath(source)
    try:
        film = identity(path)
    except OSError as exc:
        raise SubtitleError(f"cannot read the video {source}: {exc.strerror or exc}") from exc
    memo = memo_file(cache, "subtitles", film, ".srt")
    origin = f"{source} (its subtitle stream)"
    if memo is not None and os.path.isfile(memo):
        return _parsed(memo, origin)
    try:
        probe = media.Probes().get(path)
    except media.MediaError as exc:
        raise SubtitleError(f"cannot read the video {source}: {exc}") from exc
    streams = [s for s in probe.streams if s.kind == "subtitle"]
    text = [s for s in streams if s.codec in TEXT_CODECS]
    if not text:
        if streams:
            kinds = ", ".join(f"stream {s.index}: {s.codec or 'unknown'}" for s in streams)
            raise SubtitleError(
                f"the subtitles inside {source} are pictures ({kinds}), which cannot be "
                f"searched as text: give a text subtitle file (.srt, .vtt or .ass) with "
                f"--subtitles FILE (subtitles= from Python), or put one beside the video"
            )
        raise SubtitleError(_nowhere(source))
    stream = text[0]
    argv = ["ffmpeg", "-nostdin", "-y", "-v", "error", "-i", media.local_path(path)]
    argv += ["-map", f"0:{stream.index}", "-c:s", "srt", "-f", "srt"]
    # the demuxer reads through the whole film (skipping what it can): a limit that grows
    # with it
    seconds = (probe.duration or 0.0) / 20

    def extract(tmp: str) -> None:
        try:
            media.run([*argv, tmp], media_seconds=seconds)
        except media.MediaError as exc:
            raise SubtitleError(
                f"cannot extract the subtitle stream {stream.index} of {source}: {exc}"
            ) from exc

    if memo is not None:
        try:
            write_beside(memo, extract)
        except OSError:
            memo = None  # the cache cannot be written: extracted for this search alone
        else:
            return _parsed(memo, origin)
    with scratch.directory("kestro-subtitles-") as work:
        into = os.path.join(work, "stream.srt")
        extract(into)
        return _parsed(into, origin)


# --------------------------------------------------------------------------------------
# reading a file
# --------------------------------------------------------------------------------------


def _read_file(path: str) -> Subtitles:
    try:
        size = os.path.getsize(path)
    except OSError as exc:
        raise SubtitleError(
            f"cannot read the subtitle file {path}: {exc.strerror or exc}; give an .srt, "
            f".vtt or .ass file that exists"
        ) from exc
    if size > _LARGEST:
        raise SubtitleError(
            f"{path} is {size} bytes long: no subtitle file is; give an .srt, .vtt or .ass file"
        )
    return _parsed(path, path)


def _decoded(raw: bytes) -> str:
    """UTF-8 (a byte-order mark allowed), UTF-16 with its mark, else Windows-1252 (else
    Latin-1, for the five bytes Windows-1252 leaves out)."""
    if raw.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        return raw.decode("utf-16", "replace")
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        pass
    try:
        return raw.decode("cp1252")
    except UnicodeDecodeError:
        return raw.decode("latin-1")


def _parsed(path: str, origin: str) -> Subtitles:
    """The lines pysubs2 reads in the file at ``path`` (its kind by its name, else guessed)."""
    try:
        with open(path, "rb") as f:
            text = _decoded(f.read())
    except OSError as exc:
        raise SubtitleError(f"cannot read the subtitle file {path}: {exc.strerror or exc}") from exc
    text = text.replace("\r\n", "\n").replace("\r", "\n")
    kind = _FORMATS.get(os.path.splitext(path)[1].lower())
    problems: list[str] = []
    if kind == "srt":
        text, problems = _sound_blocks(text, origin)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            subs = pysubs2.SSAFile.from_string(text, format_=kind)
    except (pysubs2.Pysubs2Error, ValueError, KeyError, IndexError) as exc:
        raise SubtitleError(
            f"{origin} cannot be read as subtitles ({exc}): give an .srt, .vtt or .ass file"
        ) from exc
    problems += [f"{origin}: {w.message}" for w in caught]
    lines = []
    for event in subs:
        if not event.is_text:
            continue
        plain = " ".join(event.plaintext.split())
        if plain:
            lines.append(Line(event.start / 1000, event.end / 1000, plain))
    lines.sort(key=lambda line: (line.start, line.end))
    if not lines and (problems or text.strip()):
        said = f": {problems[0]}" if problems else ""
        raise SubtitleError(
            f"no subtitle line can be read in {origin}{said}; give an .srt, .vtt or .ass file"
        )
    return Subtitles(origin, tuple(lines), tuple(problems))


def _sound_blocks(text: str, origin: str) -> tuple[str, list[str]]:
    """The SubRip text with every block that has no readable "start --> end" line blanked
    out (line numbers kept), and one problem for each."""
    lines = text.split("\n")
    problems: list[str] = []
    i = 0
    while i < len(lines):
        if not lines[i].strip():
            i += 1
            continue
        first = i
        while i < len(lines) and lines[i].strip():
            i += 1
        block = range(first, i)
        timing = first + 1 if _INDEX.fullmatch(lines[first]) and i - first > 1 else first
        why = _timing_problem(lines[timing])
        if why is None:
            continue
        problems.append(f"{origin} line {timing + 1}: {why}; that subtitle is left out")
        for k in block:
            lines[k] = ""
    return "\n".join(lines), problems


def _timing_problem(line: str) -> str | None:
    """What is wrong with a SubRip "start --> end" line; None when it reads."""
    stamps = TIMESTAMP.findall(line)
    shown = line.strip()
    shown = shown if len(shown) <= 50 else shown[:47] + "..."
    if len(stamps) != 2 or "-->" not in line:
        return f"{shown!r} is not a 'start --> end' time"
    start, end = (timestamp_to_ms(s) for s in stamps)
    if end < start:
        return f"{shown!r} ends before it starts"
    return None
