"""The faces libass draws the captions with, and text measured in them.

libass finds a style's face through fontconfig and, for a character that face lacks, the
first face of fontconfig's sorted list for the same pattern that has it. ``faces`` asks
fontconfig (``fc-match``) once for that list and each face's characters; ``Faces.advance``
shapes text with HarfBuzz, as libass does, face by face.

libass sizes a face so that its ascender plus descender (the OS/2 table's winAscent and
winDescent where they are set, else the hhea table's) is the font size in pixels, and shapes
without kerning unless the script asks for it: the widths here follow both, and agree with
what the ``ass`` filter draws within a pixel or two (tests/test_captions.py burns text to
check).
"""

from __future__ import annotations

import bisect
import functools
import shutil
import struct
import subprocess

import uharfbuzz as hb  # type: ignore[import-untyped]

__all__ = ["FontError", "Face", "Faces", "faces"]

# libass shapes without kerning (a script turns it on with "Kerning: yes")
_FEATURES = {"kern": False}


class FontError(RuntimeError):
    """fontconfig cannot be asked, or finds no face to draw the captions with."""


class Face:
    """One face of a font file, and what it covers: sorted, disjoint ranges of code points."""

    def __init__(self, path: str, index: int, ranges: list[tuple[int, int]]) -> None:
        self.path = path
        self.index = index
        self.ranges = ranges
        self._starts = [first for first, _ in ranges]
        self._font: object = None
        self._unit = 0.0

    def __repr__(self) -> str:
        return f"Face({self.path!r}, {self.index})"

    def has(self, cp: int) -> bool:
        k = bisect.bisect_right(self._starts, cp) - 1
        return k >= 0 and cp <= self.ranges[k][1]

    def _load(self) -> object:
        if self._font is None:
            face = hb.Face(hb.Blob.from_file_path(self.path), self.index)
            self._font = hb.Font(face)
            self._unit = 1.0 / _height(face)
        return self._font

    def advance(self, text: str) -> float:
        """The advance width of ``text`` at a font size of 1 pixel."""
        font = self._load()
        buf = hb.Buffer()
        buf.add_str(text)
        buf.guess_segment_properties()
        hb.shape(font, buf, _FEATURES)
        return float(sum(p.x_advance for p in buf.glyph_positions)) * self._unit


def _height(face: object) -> int:
    """The font units libass makes the font size of: ascender plus descender."""
    os2 = bytes(face.reference_table("OS/2").data)  # type: ignore[attr-defined]
    if len(os2) >= 78:
        ascent, descent = struct.unpack(">hh", os2[74:78])  # winAscent, winDescent
        if ascent + descent > 0:
            return int(ascent + descent)
    hhea = bytes(face.reference_table("hhea").data)  # type: ignore[attr-defined]
    if len(hhea) >= 8:
        ascent, descent = struct.unpack(">hh", hhea[4:8])
        if ascent - descent > 0:
            return int(ascent - descent)
    return int(face.upem)  # type: ignore[attr-defined]


def _ranges(charset: str) -> list[tuple[int, int]]:
    """fontconfig's charset text ("20-7e a0 ...") as ranges of code points."""
    out: list[tuple[int, int]] = []
    for part in charset.split():
        first, _, last = part.partition("-")
        out.append((int(first, 16), int(last or first, 16)))
    out.sort()
    return out


class Faces:
    """A style's face and the faces libass falls back to, in fontconfig's order."""

    def __init__(self, pattern: str, found: list[Face]) -> None:
        self.pattern = pattern
        self.found = found
        self._of: dict[str, Face | None] = {}
        self._widths: dict[str, float] = {}

    @property
    def primary(self) -> Face:
        return self.found[0]

    def face_of(self, ch: str) -> Face | None:
        """The face that draws ``ch``; None when no installed face has it."""
        try:
            return self._of[ch]
        except KeyError:
            pass
        cp = ord(ch)
        face = next((f for f in self.found if f.has(cp)), None)
        if face is None and (ch.isspace() or _invisible(cp)):
            face = self.primary  # drawn as nothing (or a space) whatever the face
        self._of[ch] = face
        return face

    def drawable(self, text: str) -> str:
        """``text`` without the characters no installed face has (libass would draw a box
        or nothing for them)."""
        return "".join(ch for ch in text if self.face_of(ch) is not None)

    def advance(self, text: str) -> float:
        """The width libass gives ``text`` at a font size of 1 pixel, scale 100 %: each run
        of characters shaped in the face that draws it."""
        try:
            return self._widths[text]
        except KeyError:
            pass
        total = 0.0
        run = ""
        face: Face | None = None
        for ch in text:
            this = self.face_of(ch)
            if this is None:
                continue
            if this is not face and run:
                assert face is not None
                total += face.advance(run)
                run = ""
            face = this
            run += ch
        if run and face is not None:
            total += face.advance(run)
        self._widths[text] = total
        return total


def _invisible(cp: int) -> bool:
    # joiners, marks of direction and variation selectors: no face needs a glyph for them
    return 0x200B <= cp <= 0x200F or 0x2060 <= cp <= 0x2064 or 0xFE00 <= cp <= 0xFE0F


@functools.cache
def faces(family: str, bold: bool) -> Faces:
    """The faces that draw a style of ``family`` (bold or not), as fontconfig sorts them."""
    pattern = f"{family}:weight={'bold' if bold else 'regular'}"
    tool = shutil.which("fc-match")
    if tool is None:
        raise FontError(
            "fc-match is not installed, so the captions cannot be measured: install "
            "fontconfig (apt-get install fontconfig)"
        )
    argv = [tool, "-s", pattern, "--format", "%{file}|%{index}|%{charset}\n"]
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=60, check=True)
    except (OSError, subprocess.SubprocessError) as exc:
        raise FontError(f"fc-match could not list the fonts for {pattern!r}: {exc}") from exc
    found: list[Face] = []
    for line in done.stdout.splitlines():
        path, _, rest = line.partition("|")
        index, _, charset = rest.partition("|")
        if path and index.isdigit() and charset.strip():
            found.append(Face(path, int(index), _ranges(charset)))
    if not found:
        raise FontError(
            f"fontconfig finds no font for {pattern!r}: install one (apt-get install "
            "fonts-dejavu-core)"
        )
    return Faces(pattern, found)
