"""Captions for a job's narrations: their cues, and how libass draws them.

A narration is laid out into cues of at most two lines (sentences first, then clauses, then
words), each cue timed by its share of the narration's characters over the time the
narration is heard. ``finish`` makes one video's cues consistent (``subtitles`` writes them
as SRT). ``ass_document`` ("lines") and ``word_ass_document`` ("words") lay them out on the
1080x1920 frame for the finishing encode (``finish.encode``) to draw.
"""

from __future__ import annotations

import bisect
import itertools
import math
import unicodedata
from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace

from kestro_core.picture import fonts
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
    "LINES_AT_MOST",
    "EDGE",
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
    joined by "\\n". ``whole``: the text with the words cut across its lines whole again,
    for a layout of its own ("" when no word was cut: the lines joined by spaces)."""

    start: float
    end: float
    text: str
    whole: str = ""


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


def _chop(words: list[str], width: int) -> tuple[list[str], list[bool]]:
    """Words longer than ``width`` cut into pieces of ``width`` characters (and a rest), and
    for each piece whether it goes on the word of the piece before.

    A full piece cannot share a line with anything, so the pieces of one word are never
    joined by a space that the narration did not have.
    """
    out: list[str] = []
    joined: list[bool] = []
    for word in words:
        first = True
        while len(word) > width:
            out.append(word[:width])
            joined.append(not first)
            word, first = word[width:], False
        if word:
            out.append(word)
            joined.append(not first)
    return out, joined


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


def _sentence_cues(words: list[str], joined: list[bool], width: int) -> list[tuple[int, int, str]]:
    """One sentence's cues, each as the words it holds (``words[i:j]``) and its text: fewest
    breaks between plain words first (a break inside a cut word counts two), then fewest
    cues, then cues of even length. ``joined``: as ``_chop`` gives it."""
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
            plain = 0 if j == n or _at_clause_break(words, j) else 1 + joined[j]
            slack = (room - length) ** 2
            cost = (best[i][0] + plain, best[i][1] + 1, best[i][2] + slack)
            if cost < best[j]:
                best[j] = cost
                start_of[j] = i
                layout[(i, j)] = lines
    cues: list[tuple[int, int, str]] = []
    j = n
    while j > 0:
        i = start_of[j]
        cues.append((i, j, "\n".join(layout[(i, j)])))
        j = i
    cues.reverse()
    return cues


def _split(text: str, width: int) -> list[tuple[str, str]]:
    """The cues of a narration as (text, whole): see split_narration and Cue."""
    if width < 1:
        raise ValueError(f"a caption line must hold at least 1 character, not {width}")
    cues: list[tuple[str, str]] = []
    for sentence in _sentences(text.split()):
        pieces, joined = _chop(sentence, width)
        for i, j, cue in _sentence_cues(pieces, joined, width):
            whole = ""
            if any(joined[i + 1 : j]):
                whole = pieces[i] + "".join(
                    ("" if joined[k] else " ") + pieces[k] for k in range(i + 1, j)
                )
            cues.append((cue, whole))
    return cues


def split_narration(text: str, width: int) -> list[str]:
    """The cue texts of a narration: each at most two lines of at most ``width`` characters,
    joined by "\\n".

    Cues end at sentence boundaries first, at clause boundaries inside a sentence too long
    for one cue, and between words only where needed; a word longer than ``width`` is cut.
    Runs of whitespace count as one space; every other character is kept, in order.
    """
    return [cue for cue, _ in _split(text, width)]


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
    texts = _split(text, width)
    total = sum(_weight(t) for t, _ in texts)
    if not texts or total == 0:
        return []
    stop = min(start + length, piece_end)
    cues: list[Cue] = []
    done = 0
    for cue_text, whole in texts:
        begin = start if done == 0 else start + length * done / total
        done += _weight(cue_text)
        end = start + length * done / total
        if begin >= piece_end:
            break
        cues.append(Cue(begin, min(end, stop), cue_text, whole))
    if cues:
        cues[-1] = replace(cues[-1], end=stop)
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
            out.append(replace(cue, start=start, end=end))
    return out


def text_lines(text: str) -> list[str]:
    """The non-blank lines of a cue's text (a blank line would end an SRT cue)."""
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    return [line.strip() for line in lines if line.strip()]


# --- the burned-in captions -------------------------------------------------------------

# The caption styles on the 1080x1920 frame (libass units are pixels there).
#
# "lines": text centred above the lowest fifth of the frame: a bottom margin of MARGIN_V puts
# the bottom of the last line at 1920 - MARGIN_V, the outline adds OUTLINE more. A cue keeps
# its lines where they fit the width; else it is laid out again on up to LINES_AT_MOST
# lines, and drawn smaller when even those do not hold it.
#
# "words": one to three words, bold, the word being spoken in WORD_COLOUR and WORD_SCALE %
# of the size, inside the area the apps leave free (not the top 15 %, the bottom 25 % or
# the right 15 % of the frame): centred between WORD_MARGIN_L and 1080 - WORD_MARGIN_R,
# the last line's bottom WORD_MARGIN_V above the frame's bottom.
#
# Both are measured in the faces libass draws them with (``fonts``): lines break between
# words only (and between the characters of text written without spaces), and a word wider
# than a line draws its group, or cue, smaller until it fits on one line. Emoji, which
# libass cannot draw in colour, are left out of the burned text (the SRT keeps them).
FONT_FAMILY = "sans-serif"  # fontconfig's generic family (DejaVu Sans on Debian)
FONT_SIZE = 80  # at least 1/25 of the frame's height
FONT_SCALE_X = 88  # a little narrower, so that a 28-character line fits the width
OUTLINE = 5
MARGIN_H = 30
MARGIN_V = 440
LINES_AT_MOST = 3

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

EDGE = 40  # no caption is drawn nearer than this to the frame's sides (pixels)
_LINES_BOLD, _WORDS_BOLD = 0, 1
# the advance a line's text may take, its outline kept inside: "lines" at least EDGE from the
# frame's sides, "words" inside the free area (which is farther from them)
_LINES_ROOM = FRAME_WIDTH - 2 * max(MARGIN_H, EDGE) - 2 * OUTLINE
_WORDS_ROOM = FRAME_WIDTH - WORD_MARGIN_L - WORD_MARGIN_R - 2 * WORD_OUTLINE
_WORDS_TALL = FRAME_HEIGHT - WORD_MARGIN_V - round(FRAME_HEIGHT * SAFE_TOP) - 2 * WORD_OUTLINE

_WORD_JOINER = "\u2060"


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
    word joiner is put between them (and after a backslash that ends the text, which an
    override block may follow).
    """
    out: list[str] = []
    for k, ch in enumerate(line):
        if ch in "{}":
            out.append("\\" + ch)
        elif ch == "\\" and line[k + 1 : k + 2] in ("N", "n", "h", ""):
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


# --- what is drawn ------------------------------------------------------------------------

# Emoji: pictographs drawn as emoji wherever they stand (regional indicators and skin tones
# among them), and the marks that make a sequence of them.
_EMOJI = (
    (0x231A, 0x231B), (0x23E9, 0x23EC), (0x23F0, 0x23F0), (0x23F3, 0x23F3),
    (0x25FD, 0x25FE), (0x2614, 0x2615), (0x2648, 0x2653), (0x267F, 0x267F),
    (0x2693, 0x2693), (0x26A1, 0x26A1), (0x26AA, 0x26AB), (0x26BD, 0x26BE),
    (0x26C4, 0x26C5), (0x26CE, 0x26CE), (0x26D4, 0x26D4), (0x26EA, 0x26EA),
    (0x26F2, 0x26F3), (0x26F5, 0x26F5), (0x26FA, 0x26FA), (0x26FD, 0x26FD),
    (0x2705, 0x2705), (0x270A, 0x270B), (0x2728, 0x2728), (0x274C, 0x274C),
    (0x274E, 0x274E), (0x2753, 0x2755), (0x2757, 0x2757), (0x2795, 0x2797),
    (0x27B0, 0x27B0), (0x27BF, 0x27BF), (0x2B1B, 0x2B1C), (0x2B50, 0x2B50),
    (0x2B55, 0x2B55),
    (0x1F000, 0x1F0FF), (0x1F10D, 0x1F10F), (0x1F12F, 0x1F12F), (0x1F16C, 0x1F171),
    (0x1F17E, 0x1F17F), (0x1F18E, 0x1F18E), (0x1F191, 0x1F19A), (0x1F1AD, 0x1F1FF),
    (0x1F201, 0x1F2FF), (0x1F300, 0x1F64F), (0x1F680, 0x1F6FF), (0x1F774, 0x1F77F),
    (0x1F7D5, 0x1F7FF), (0x1F80C, 0x1F80F), (0x1F848, 0x1F84F), (0x1F85A, 0x1F85F),
    (0x1F888, 0x1F88F), (0x1F8AE, 0x1F8FF), (0x1F90C, 0x1F93A), (0x1F93C, 0x1F945),
    (0x1F947, 0x1FAFF), (0x1FC00, 0x1FFFD),
    (0xE0020, 0xE007F),  # the tags of a subdivision's flag
)  # fmt: skip
_EMOJI_STARTS = [first for first, _ in _EMOJI]
_VS16, _ZWJ, _KEYCAP = "\ufe0f", "\u200d", "\u20e3"
_KEYCAP_BASES = "0123456789#*"


def _is_emoji(ch: str) -> bool:
    k = bisect.bisect_right(_EMOJI_STARTS, ord(ch)) - 1
    return k >= 0 and ord(ch) <= _EMOJI[k][1]


def _without_emoji(text: str) -> str:
    """``text`` without its emoji: pictographs, any character asked to be drawn as one (by
    the variation selector 16; a keycap keeps its digit), the joiners between them; the
    spaces left behind collapsed. Line breaks are kept."""
    out: list[str] = []
    dropped = False  # the character before was an emoji's
    for k, ch in enumerate(text):
        after = text[k + 1 : k + 2]
        if ch in (_VS16, _KEYCAP):
            continue
        if ch == _ZWJ:
            if dropped or (after and _is_emoji(after)):
                continue
        elif _is_emoji(ch) or (after == _VS16 and ch not in _KEYCAP_BASES):
            dropped = True
            continue
        dropped = False
        out.append(ch)
    lines = "".join(out).split("\n")
    return "\n".join(" ".join(line.split()) for line in lines)


def _drawn(text: str, faces: fonts.Faces) -> str:
    """The text of a caption as it is burned in: no emoji, no character that no installed
    face has, runs of white space as one space."""
    return " ".join(faces.drawable(_without_emoji(text)).split())


# Text written without spaces may break between two characters where one is wide (CJK),
# but not before a closing mark nor after an opening one.
_NO_LINE_START = set(
    "、。，．・：；？！）」』】〕〉》〙〗〟’”｠»ーぁぃぅぇぉっゃゅょゎァィゥェォッャュョヮヵヶ々〻‐゠–〜～…"  # noqa: RUF001
    ".,;:!?)]}%"
)
_NO_LINE_END = set("（「『【〔〈《〘〖〝‘“｟«([{")  # noqa: RUF001


def _wide(ch: str) -> bool:
    return unicodedata.east_asian_width(ch) in ("W", "F")


def _may_break(a: str, b: str) -> bool:
    return (_wide(a) or _wide(b)) and b not in _NO_LINE_START and a not in _NO_LINE_END


@dataclass(frozen=True)
class _Piece:
    """What a line may end after: a word, or a run of a word written without spaces."""

    text: str
    word: int  # which word it is of
    spaced: bool  # a space before it, unless it starts a line


def _pieces(words: Sequence[str]) -> list[_Piece]:
    out: list[_Piece] = []
    for w, word in enumerate(words):
        begin = 0
        for k in range(1, len(word) + 1):
            if k == len(word) or _may_break(word[k - 1], word[k]):
                out.append(_Piece(word[begin:k], w, bool(out) and out[-1].word != w))
                begin = k
    return out


def _fill(
    pieces: Sequence[_Piece], widths: Sequence[float], space: float, room: float, grow: float
) -> list[int] | None:
    """Where the lines of ``pieces`` start: the fewest lines no wider than ``room``, then the
    narrowest widest line, then the most even ones. ``widths``: each piece's width,
    ``space``: a space's; ``grow``: how much wider the word being spoken is drawn, as a
    share of its width (any word may be). None when a piece alone is wider than ``room``."""
    n = len(pieces)
    best: list[tuple[float, float, float]] = [(math.inf, math.inf, math.inf)] * (n + 1)
    best[0] = (0, 0.0, 0.0)
    start_of = [0] * (n + 1)
    for j in range(1, n + 1):
        total = 0.0
        per: dict[int, float] = {}
        for i in range(j - 1, -1, -1):
            total += widths[i] + (space if i < j - 1 and pieces[i + 1].spaced else 0.0)
            per[pieces[i].word] = per.get(pieces[i].word, 0.0) + widths[i]
            width = total + grow * max(per.values())
            if width > room:
                break
            cost = (best[i][0] + 1, max(best[i][1], width), best[i][2] + (room - width) ** 2)
            if cost < best[j]:
                best[j], start_of[j] = cost, i
    if best[n][0] == math.inf:
        return None
    starts = []
    j = n
    while j > 0:
        j = start_of[j]
        starts.append(j)
    return starts[::-1]


def _fit(
    pieces: Sequence[_Piece],
    faces: fonts.Faces,
    size: int,
    scale_x: float,
    grow: float,
    room: float,
    most_lines: Callable[[int], int],
) -> tuple[int, list[int]]:
    """The largest font size up to ``size`` at which ``pieces`` fit ``room`` in at most
    ``most_lines(size)`` lines, and where its lines start (see ``_fill``)."""
    units = [faces.advance(p.text) * scale_x for p in pieces]
    space = faces.advance(" ") * scale_x

    def lay(px: int) -> list[int] | None:
        starts = _fill(pieces, [u * px for u in units], space * px, room, grow)
        return starts if starts is not None and len(starts) <= most_lines(px) else None

    found = lay(size)
    if found is not None:
        return size, found
    low, high = 1, size - 1  # the size fits at low (or nothing does), not above high
    while low < high:
        mid = (low + high + 1) // 2
        if lay(mid) is None:
            high = mid - 1
        else:
            low = mid
    found = lay(low)
    return low, found if found is not None else list(range(len(pieces)))


def _lines_of(pieces: Sequence[_Piece], starts: Sequence[int]) -> list[list[_Piece]]:
    bounds = list(starts) + [len(pieces)]
    return [list(pieces[a:b]) for a, b in itertools.pairwise(bounds)]


def _joined(line: Sequence[_Piece], spoken: int = -1) -> str:
    """One line's ASS text, the pieces of word ``spoken`` highlighted."""
    runs: list[tuple[int, str]] = []  # each word's pieces on the line, and a space before it
    for piece in line:
        if runs and not piece.spaced and runs[-1][0] == piece.word:
            runs[-1] = (piece.word, runs[-1][1] + piece.text)
        else:
            runs.append((piece.word, (" " if runs and piece.spaced else "") + piece.text))
    out: list[str] = []
    for word, run in runs:
        text = _ass_line(run.lstrip(" "))
        if word == spoken:
            text = f"{{\\c{WORD_COLOUR}\\fscx{WORD_SCALE}\\fscy{WORD_SCALE}}}{text}"
            text += "{\\c&H00FFFFFF&\\fscx100\\fscy100}"
        out.append(" " + text if run.startswith(" ") else text)
    return "".join(out)


def _sized(size: int, default: int) -> str:
    return "" if size == default else f"{{\\fs{size}}}"


# --- the "lines" style --------------------------------------------------------------------


def _cue_text(cue: Cue, faces: fonts.Faces) -> str:
    """A cue's ASS text: its own lines where each fits the width, else its words laid out
    again by their widths."""
    lines = [line for line in (_drawn(t, faces) for t in text_lines(cue.text)) if line]
    if not lines:
        return ""
    scale_x = FONT_SCALE_X / 100
    wide = [faces.advance(line) * FONT_SIZE * scale_x > _LINES_ROOM for line in lines]
    if not cue.whole and not any(wide):
        return "\\N".join(_ass_line(line) for line in lines)
    text = _drawn(cue.whole, faces) if cue.whole else " ".join(lines)
    pieces = _pieces(text.split(" "))
    size, starts = _fit(pieces, faces, FONT_SIZE, scale_x, 0.0, _LINES_ROOM, _most_lines)
    drawn = "\\N".join(_joined(line) for line in _lines_of(pieces, starts))
    return _sized(size, FONT_SIZE) + drawn


def _most_lines(size: int) -> int:
    return LINES_AT_MOST


def ass_document(cues: list[Cue]) -> str:
    """The "lines" style: the cues (in the vertical video's times) as an ASS document."""
    style = _style(
        "Caption", FONT_SIZE, _LINES_BOLD, FONT_SCALE_X, OUTLINE, (MARGIN_H, MARGIN_H, MARGIN_V)
    )
    faces = fonts.faces(FONT_FAMILY, bool(_LINES_BOLD))
    events: list[str] = []
    for cue in cues:
        begin, end = _ass_time(max(cue.start, 0.0)), _ass_time(cue.end)
        if end <= begin:
            continue
        text = _cue_text(cue, faces)
        if text:
            events.append(f"Dialogue: 0,{begin},{end},Caption,,0,0,0,,{text}")
    return "\n".join(_ass_head(style) + events) + "\n"


# --- the "words" style --------------------------------------------------------------------


@dataclass(frozen=True)
class TimedWord:
    """A word shown in a video: its text and when it is heard there (seconds)."""

    text: str
    start: float
    end: float


_GROW = WORD_SCALE / 100 - 1


def _one_line(words: Sequence[str], faces: fonts.Faces) -> float:
    """The width of ``words`` on one line at the style's size, the widest one spoken."""
    widths = [faces.advance(w) * WORD_FONT_SIZE for w in words]
    space = faces.advance(" ") * WORD_FONT_SIZE
    return sum(widths) + space * (len(words) - 1) + _GROW * max(widths)


def _groups(words: Sequence[TimedWord], faces: fonts.Faces) -> list[list[TimedWord]]:
    """The words in groups of one to WORDS_AT_ONCE shown together: a group ends at a
    clause's end, before a pause of WORD_GAP, or where the next word would not fit on its
    line."""
    groups: list[list[TimedWord]] = []
    current: list[TimedWord] = []
    for word in words:
        if current and (
            len(current) >= WORDS_AT_ONCE
            or _ends_with(current[-1].text, _SENTENCE_ENDS + _CLAUSE_ENDS)
            or word.start - current[-1].end >= WORD_GAP
            or _one_line([w.text for w in current + [word]], faces) > _WORDS_ROOM
        ):
            groups.append(current)
            current = []
        current.append(word)
    if current:
        groups.append(current)
    return groups


def _words_lines(size: int) -> int:
    return max(1, int(_WORDS_TALL // (size * WORD_SCALE / 100)))


def _group_layout(group: Sequence[TimedWord], faces: fonts.Faces) -> tuple[int, list[list[_Piece]]]:
    """A group's font size and lines, the same whichever word is spoken: a word wider than
    the room draws the group smaller until it fits on one line, and so do more lines than
    the free height holds."""
    pieces = _pieces([w.text for w in group])
    size, starts = _fit(pieces, faces, WORD_FONT_SIZE, 1.0, _GROW, _WORDS_ROOM, _words_lines)
    return size, _lines_of(pieces, starts)


def word_ass_document(narrations: Sequence[tuple[Sequence[TimedWord], float]]) -> str:
    """The "words" style as an ASS document: for each narration its words (in the
    vertical video's times) and where its piece ends there. Each group of words shows
    from its first word's start; the word being spoken is highlighted from its own start
    to the next word's."""
    style = _style(
        "Words",
        WORD_FONT_SIZE,
        _WORDS_BOLD,
        100,
        WORD_OUTLINE,
        (WORD_MARGIN_L, WORD_MARGIN_R, WORD_MARGIN_V),
    )
    faces = fonts.faces(FONT_FAMILY, bool(_WORDS_BOLD))
    events: list[str] = []
    timeline = [
        ([TimedWord(t, w.start, w.end) for w in words if (t := _drawn(w.text, faces))], end)
        for words, end in narrations
    ]
    for n, (words, piece_end) in enumerate(timeline):
        following = next((ws[0].start for ws, _ in timeline[n + 1 :] if ws), math.inf)
        groups = _groups(words, faces)
        for g, group in enumerate(groups):
            after = groups[g + 1][0].start if g + 1 < len(groups) else following
            stop = min(group[-1].end + WORD_HOLD, after, piece_end)
            size, lines = _group_layout(group, faces)
            for k, word in enumerate(group):
                begin = word.start
                end = group[k + 1].start if k + 1 < len(group) else stop
                end = min(end, stop)
                if _ass_time(end) <= _ass_time(begin) or begin < 0:
                    continue
                text = _sized(size, WORD_FONT_SIZE) + "\\N".join(_joined(line, k) for line in lines)
                events.append(
                    f"Dialogue: 0,{_ass_time(begin)},{_ass_time(end)},Words,,0,0,0,,{text}"
                )
    return "\n".join(_ass_head(style) + events) + "\n"
