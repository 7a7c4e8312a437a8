"""Captions for a job's narrations: their cues, and how libass draws them.

A narration is laid out into cues of at most two lines (sentences first, then clauses, then
words), each cue timed by its share of the narration's characters over the time the
narration is heard. ``finish`` makes one video's cues consistent (``subtitles`` writes them
as SRT). ``ass_document`` ("lines") and ``word_ass_document`` ("words") lay them out on the
1080x1920 frame for the finishing encode (``finish.encode``) to draw.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass

from kestro_core.store.products import FRAME_HEIGHT, FRAME_WIDTH

__all__ = [
    "HORIZONTAL_WIDTH",
    "VERTICAL_WIDTH",
    "Cue",
    "text_lines",
    "split_narration",
    "narration_cues",
    "finish",
    "ass_document",
    "word_ass_document",
    "TimedWord",
    "STYLES",
    "DEFAULT_STYLE",
    "FONT_FAMILY",
    "FONT_SIZE",
    "MARGIN_V",
    "WORD_FONT_SIZE",
    "WORD_COLOUR",
    "SAFE_TOP",
    "SAFE_BOTTOM",
    "SAFE_RIGHT",
]

HORIZONTAL_WIDTH = 42  # characters per line in the horizontal video's captions
VERTICAL_WIDTH = 28  # in the vertical video's: a phone-sized line at the burned-in size

# Shorter cues are dropped by finish(): nothing could show them.
_SHORTEST = 0.001

_SENTENCE_ENDS = ".!?\u2026"  # ... and the ellipsis character
_DASHES = "\u2014\u2013"  # em and en dash
_CLAUSE_ENDS = ",;:" + _DASHES
# closing quotes and brackets that may follow the punctuation ending a sentence or clause
_CLOSERS = "\"'\u201d\u2019\u00bb)]}"


@dataclass(frozen=True)
class Cue:
    """One caption: shown from ``start`` to ``end`` (seconds); ``text`` is one line, or two
    joined by "\\n"."""

    start: float
    end: float
    text: str


# --- layout -------------------------------------------------------------------------------


def _ends_with(word: str, marks: str) -> bool:
    core = word.rstrip(_CLOSERS)
    return bool(core) and core[-1] in marks


def _sentences(words: list[str]) -> list[list[str]]:
    """The words grouped into sentences, each keeping its closing punctuation."""
    out: list[list[str]] = []
    current: list[str] = []
    for word in words:
        current.append(word)
        if _ends_with(word, _SENTENCE_ENDS):
            out.append(current)
            current = []
    if current:
        out.append(current)
    return out


def _chop(words: list[str], width: int) -> list[str]:
    """Words longer than ``width`` cut into pieces of ``width`` characters (and a rest).

    A full piece cannot share a line with anything, so the pieces of one word are never
    joined by a space that the narration did not have.
    """
    out: list[str] = []
    for word in words:
        while len(word) > width:
            out.append(word[:width])
            word = word[width:]
        if word:
            out.append(word)
    return out


def _lines(words: Sequence[str], width: int) -> list[str] | None:
    """``words`` on one line, or on two lines as even as possible; None when they do not
    fit on two lines of ``width`` characters."""
    one = " ".join(words)
    if len(one) <= width:
        return [one]
    best: tuple[int, int] | None = None  # (longer line, break position)
    for k in range(1, len(words)):
        first = " ".join(words[:k])
        if len(first) > width:
            break
        second = len(one) - len(first) - 1
        if second > width:
            continue
        longer = max(len(first), second)
        if best is None or longer < best[0]:
            best = (longer, k)
    if best is None:
        return None
    k = best[1]
    return [" ".join(words[:k]), " ".join(words[k:])]


def _at_clause_break(words: list[str], j: int) -> bool:
    """Whether a cue ending before ``words[j]`` ends at a clause boundary."""
    return _ends_with(words[j - 1], _CLAUSE_ENDS) or words[j][0] in _DASHES


def _sentence_cues(words: list[str], width: int) -> list[str]:
    """One sentence's cues: fewest breaks between plain words first, then fewest cues, then
    cues of even length."""
    n = len(words)
    room = 2 * width
    inf = (math.inf, math.inf, math.inf)
    # best[j]: the cost of laying out words[:j], and where its last cue starts
    best: list[tuple[float, float, float]] = [inf] * (n + 1)
    start_of: list[int] = [0] * (n + 1)
    layout: dict[tuple[int, int], list[str]] = {}
    best[0] = (0, 0, 0)
    for j in range(1, n + 1):
        length = -1
        for i in range(j - 1, -1, -1):
            length += len(words[i]) + 1
            if length > room:
                break
            if best[i][0] == math.inf:
                continue
            lines = _lines(words[i:j], width)
            if lines is None:
                continue
            plain = 0 if j == n or _at_clause_break(words, j) else 1
            slack = (room - length) ** 2
            cost = (best[i][0] + plain, best[i][1] + 1, best[i][2] + slack)
            if cost < best[j]:
                best[j] = cost
                start_of[j] = i
                layout[(i, j)] = lines
    cues: list[str] = []
    j = n
    while j > 0:
        i = start_of[j]
        cues.append("\n".join(layout[(i, j)]))
        j = i
    cues.reverse()
    return cues


def split_narration(text: str, width: int) -> list[str]:
    """The cue texts of a narration: each at most two lines of at most ``width`` characters,
    joined by "\\n".

    Cues end at sentence boundaries first, at clause boundaries inside a sentence too long
    for one cue, and between words only where needed; a word longer than ``width`` is cut.
    Runs of whitespace count as one space; every other character is kept, in order.
    """
    if width < 1:
        raise ValueError(f"a caption line must hold at least 1 character, not {width}")
    cues: list[str] = []
    for sentence in _sentences(text.split()):
        cues.extend(_sentence_cues(_chop(sentence, width), width))
    return cues


# --- timing -------------------------------------------------------------------------------


def _weight(text: str) -> int:
    return sum(1 for ch in text if not ch.isspace())


def narration_cues(
    text: str, width: int, start: float, length: float, piece_end: float
) -> list[Cue]:
    """Cues for one narration heard from ``start`` for ``length`` seconds.

    Each cue lasts its share of the narration's characters. A narration cut off at
    ``piece_end`` keeps the cues that start before it, the last one ending there.
    """
    for name, value in (("start", start), ("length", length), ("piece_end", piece_end)):
        if not math.isfinite(value):
            raise ValueError(f"narration {name} must be a finite number of seconds, not {value}")
    if length < 0:
        raise ValueError(f"narration length must not be negative, not {length}")
    texts = split_narration(text, width)
    total = sum(_weight(t) for t in texts)
    if not texts or total == 0:
        return []
    stop = min(start + length, piece_end)
    cues: list[Cue] = []
    done = 0
    for cue_text in texts:
        begin = start if done == 0 else start + length * done / total
        done += _weight(cue_text)
        end = start + length * done / total
        if begin >= piece_end:
            break
        cues.append(Cue(begin, min(end, stop), cue_text))
    if cues:
        last = cues[-1]
        cues[-1] = Cue(last.start, stop, last.text)
    return cues


def finish(cues: list[Cue], video_end: float) -> list[Cue]:
    """One video's cues in order of start, none overlapping the next nor running past
    ``video_end``; cues that would be shorter than a millisecond are dropped."""
    ordered = sorted(
        (c for c in cues if c.text.strip() and c.start < video_end), key=lambda c: c.start
    )
    out: list[Cue] = []
    for k, cue in enumerate(ordered):
        end = min(cue.end, video_end)
        if k + 1 < len(ordered):
            end = min(end, ordered[k + 1].start)
        start = max(cue.start, 0.0)
        if end - start >= _SHORTEST:
            out.append(Cue(start, end, cue.text))
    return out


def text_lines(text: str) -> list[str]:
    """The non-blank lines of a cue's text (a blank line would end an SRT cue)."""
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    return [line.strip() for line in lines if line.strip()]


# --- the burned-in captions -------------------------------------------------------------

# The caption styles on the 1080x1920 frame (libass units are pixels there).
#
# "lines": text centred above the lowest fifth of the frame: a bottom margin of MARGIN_V puts
# the bottom of the last line at 1920 - MARGIN_V, the outline adds OUTLINE more.
#
# "words": one to three words, bold, the word being spoken in WORD_COLOUR and WORD_SCALE %
# of the size, inside the area the apps leave free (not the top 15 %, the bottom 25 % or
# the right 15 % of the frame): centred between WORD_MARGIN_L and 1080 - WORD_MARGIN_R,
# the last line's bottom WORD_MARGIN_V above the frame's bottom.
FONT_FAMILY = "sans-serif"  # fontconfig's generic family (DejaVu Sans on Debian)
FONT_SIZE = 80  # at least 1/25 of the frame's height
FONT_SCALE_X = 88  # a little narrower, so that a 28-character line fits the width
OUTLINE = 5
MARGIN_H = 30
MARGIN_V = 440

STYLES = ("lines", "words")
DEFAULT_STYLE = "words"  # the finished short's, unless told
SAFE_TOP, SAFE_BOTTOM, SAFE_RIGHT = 0.15, 0.25, 0.15  # of the frame, kept free
WORD_FONT_SIZE = 112  # at least 1/18 of the frame's height
WORD_SCALE = 112  # the spoken word, in % of that
WORD_COLOUR = "&H0000DDFF&"  # the spoken word: a warm yellow (ASS writes blue, green, red)
WORD_OUTLINE = 7
WORD_MARGIN_L = 100
WORD_MARGIN_R = round(FRAME_WIDTH * SAFE_RIGHT) + 40
WORD_MARGIN_V = round(FRAME_HEIGHT * SAFE_BOTTOM) + 40
WORDS_AT_ONCE = 3
WORD_HOLD = 0.4  # how long the last word of a group stays after it is spoken
WORD_GAP = 0.6  # a pause this long between two words starts a new group

# said when the hardware encoder fails and the software one takes over (the export's words)
_WORD_JOINER = "\u2060"
# advance widths of DejaVu Sans Bold in ems, rounded up: narrow marks, lower case, the rest
_NARROW = "il.,:;'!|()[]{}\"`"
_LINE_HEIGHT = 1.2  # of the font size, between the baselines of two lines


def _ass_time(seconds: float) -> str:
    cs = math.floor(seconds * 100 + 0.5)
    hours, cs = divmod(cs, 360_000)
    minutes, cs = divmod(cs, 6000)
    secs, cs = divmod(cs, 100)
    return f"{hours}:{minutes:02d}:{secs:02d}.{cs:02d}"


def _ass_line(line: str) -> str:
    """One line of caption text that libass draws as written.

    Braces would open and close override blocks, so they are written "\\{" and "\\}";
    a backslash before N, n or h would make a line break or a hard space, so an invisible
    word joiner is put between them.
    """
    out: list[str] = []
    for k, ch in enumerate(line):
        if ch in "{}":
            out.append("\\" + ch)
        elif ch == "\\" and line[k + 1 : k + 2] in ("N", "n", "h"):
            out.append("\\" + _WORD_JOINER)
        elif ch.isspace():
            out.append(" ")
        else:
            out.append(ch)
    return "".join(out)


def _style(
    name: str, size: int, bold: int, scale_x: int, outline: int, margins: tuple[int, int, int]
) -> str:
    values = (
        name,
        FONT_FAMILY,
        size,
        "&H00FFFFFF",  # white text
        "&H00FFFFFF",
        "&H00000000",  # black outline
        "&H80000000",
        bold,
        0,  # italic
        0,  # underline
        0,  # strike-out
        scale_x,
        100,  # scale y
        0,  # spacing
        0,  # angle
        1,  # outline and shadow, no box
        outline,
        0,  # shadow
        2,  # bottom centre
        *margins,
        1,
    )
    return "Style: " + ",".join(str(v) for v in values)


def _ass_head(style: str) -> list[str]:
    return [
        "[Script Info]",
        "ScriptType: v4.00+",
        f"PlayResX: {FRAME_WIDTH}",
        f"PlayResY: {FRAME_HEIGHT}",
        "WrapStyle: 0",
        "ScaledBorderAndShadow: yes",
        "",
        "[V4+ Styles]",
        "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
        "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
        "BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding",
        style,
        "",
        "[Events]",
        "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text",
    ]


def ass_document(cues: list[Cue]) -> str:
    """The "lines" style: the cues (in the vertical video's times) as an ASS document."""
    style = _style("Caption", FONT_SIZE, 0, FONT_SCALE_X, OUTLINE, (MARGIN_H, MARGIN_H, MARGIN_V))
    events: list[str] = []
    for cue in cues:
        begin, end = _ass_time(max(cue.start, 0.0)), _ass_time(cue.end)
        lines = text_lines(cue.text)
        if end <= begin or not lines:
            continue
        text = "\\N".join(_ass_line(line) for line in lines)
        events.append(f"Dialogue: 0,{begin},{end},Caption,,0,0,0,,{text}")
    return "\n".join(_ass_head(style) + events) + "\n"


# --- the "words" style --------------------------------------------------------------------


def _em(ch: str) -> float:
    """A generous advance width of ``ch`` in ems of the bold face."""
    if ch.isspace():
        return 0.38
    if ch in _NARROW:
        return 0.42
    if ch.isascii() and ch.islower():
        return 0.70
    if ch.isascii():
        return 0.86
    return 1.05  # accented capitals, other scripts, symbols


def _text_width(text: str, size: float) -> float:
    return sum(_em(ch) for ch in text) * size


def _wrap_word(word: str, room: float, size: float) -> list[str]:
    """A word cut into pieces that each fit ``room`` pixels at ``size``."""
    pieces: list[str] = []
    current = ""
    for ch in word:
        if current and _text_width(current + ch, size) > room:
            pieces.append(current)
            current = ""
        current += ch
    if current:
        pieces.append(current)
    return pieces


@dataclass(frozen=True)
class TimedWord:
    """A word shown in a video: its text and when it is heard there (seconds)."""

    text: str
    start: float
    end: float


def _groups(words: Sequence[TimedWord], room: float, size: float) -> list[list[TimedWord]]:
    """The words in groups of one to WORDS_AT_ONCE shown together: a group ends at a
    clause's end, before a pause of WORD_GAP, or where the next word would not fit."""
    groups: list[list[TimedWord]] = []
    current: list[TimedWord] = []
    for word in words:
        if current:
            text = " ".join(w.text for w in current + [word])
            if (
                len(current) >= WORDS_AT_ONCE
                or _ends_with(current[-1].text, _SENTENCE_ENDS + _CLAUSE_ENDS)
                or word.start - current[-1].end >= WORD_GAP
                or _text_width(text, size) > room
            ):
                groups.append(current)
                current = []
        current.append(word)
    if current:
        groups.append(current)
    return groups


def _group_text(group: Sequence[TimedWord], spoken: int, room: float, size: float) -> str:
    """The ASS text of a group with word ``spoken`` highlighted; a word wider than the
    room is broken across lines, and the whole drawn smaller when it would not fit the
    free height."""
    big = size * WORD_SCALE / 100
    tall = FRAME_HEIGHT * (1 - SAFE_TOP - SAFE_BOTTOM) - 2 * WORD_OUTLINE
    scale = 1.0
    while True:
        lines: list[list[tuple[int, str]]] = [[]]
        used = 0.0
        for k, word in enumerate(group):
            for n, piece in enumerate(_wrap_word(word.text, room, big * scale)):
                width = _text_width(piece, big * scale)
                gap = _text_width(" ", size * scale) if lines[-1] else 0.0
                if n or (lines[-1] and used + gap + width > room):
                    lines.append([])
                    used, gap = 0.0, 0.0
                lines[-1].append((k, piece))
                used += gap + width
        if len(lines) * big * scale * _LINE_HEIGHT <= tall or scale < 0.2:
            break
        scale *= 0.85
    out: list[str] = []
    for line in lines:
        parts: list[str] = []
        last = -1
        for k, piece in line:
            text = _ass_line(piece)
            if k == spoken:
                text = f"{{\\c{WORD_COLOUR}\\fscx{WORD_SCALE}\\fscy{WORD_SCALE}}}{text}"
                text += "{\\c&H00FFFFFF&\\fscx100\\fscy100}"
            parts.append(text if k == last else (" " + text if parts else text))
            last = k
        out.append("".join(parts))
    prefix = "" if scale == 1.0 else f"{{\\fs{max(1, round(size * scale))}}}"
    return prefix + "\\N".join(out)


def word_ass_document(narrations: Sequence[tuple[Sequence[TimedWord], float]]) -> str:
    """The "words" style as an ASS document: for each narration its words (in the
    vertical video's times) and where its piece ends there. Each group of words shows
    from its first word's start; the word being spoken is highlighted from its own start
    to the next word's."""
    size = WORD_FONT_SIZE
    room = FRAME_WIDTH - WORD_MARGIN_L - WORD_MARGIN_R
    style = _style(
        "Words", size, 1, 100, WORD_OUTLINE, (WORD_MARGIN_L, WORD_MARGIN_R, WORD_MARGIN_V)
    )
    events: list[str] = []
    timeline = [(list(words), end) for words, end in narrations]
    for n, (words, piece_end) in enumerate(timeline):
        following = next((ws[0].start for ws, _ in timeline[n + 1 :] if ws), math.inf)
        groups = _groups(words, room, size * WORD_SCALE / 100)
        for g, group in enumerate(groups):
            after = groups[g + 1][0].start if g + 1 < len(groups) else following
            stop = min(group[-1].end + WORD_HOLD, after, piece_end)
            for k, word in enumerate(group):
                begin = word.start
                end = group[k + 1].start if k + 1 < len(group) else stop
                end = min(end, stop)
                if _ass_time(end) <= _ass_time(begin) or begin < 0:
                    continue
                text = _group_text(group, k, room, size)
                events.append(
                    f"Dialogue: 0,{_ass_time(begin)},{_ass_time(end)},Words,,0,0,0,,{text}"
                )
    return "\n".join(_ass_head(style) + events) + "\n"
