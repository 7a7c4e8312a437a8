"""When each word of a narration is spoken, in the narration's own time.

A piper voice that can give its phoneme alignments tells exactly (``from_alignments``): its
phonemes come in words split at the word separator, and each phoneme carries the samples it
was spoken for. Every other voice's words are estimated from the narration's sound
(``estimate``): the span it is heard is shared among the words by their syllables, with the
pauses put at its silences of at least 150 ms.

A narration's timing is kept in the cache beside it (``narration_timing``), so a narration
taken from the cache needs no new synthesis to be timed; the plan, the words files and the
captions all read the timing of the one synthesis the product uses.
"""

from __future__ import annotations

import json
import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from kestro_core.media.audio import BLOCK_SECONDS, loudness
from kestro_core.store.cache import Cache
from kestro_core.store.files import write_beside

__all__ = [
    "VOICE",
    "ESTIMATED",
    "PAUSE",
    "Word",
    "Timing",
    "display_words",
    "syllables",
    "from_alignments",
    "estimate",
    "estimate_from_loudness",
    "narration_timing",
    "snap_to_sound",
    "placed_words",
    "words_file_entries",
    "write_words_file",
]

VOICE = "voice"  # the voice said when each word was spoken
ESTIMATED = "estimated"  # shared out over the narration's sound
PAUSE = 0.15  # the shortest silence taken as a pause between words

_SEPARATOR = " "
_EDGES = ("^", "$", "_")  # piper's begin, end and pad phonemes
_STRESS = "ˈˌ"
_VOWELS = re.compile(r"[aeiouyàáâãäåæèéêëìíîïòóôõöøùúûüýÿœ]+", re.IGNORECASE)
_MAX_MERGE = 3  # phoneme words one written word may take, or written words one may hold
_MAX_SPLIT = 6
_CLOSERS = "\"')]}\u00bb\u201d\u2019"  # closing quotes and brackets after a mark
_CLAUSE_MARKS = ".!?\u2026,;:\u2014\u2013"


@dataclass(frozen=True)
class Word:
    """One word as written, and when it is heard (seconds)."""

    text: str
    start: float
    end: float


@dataclass(frozen=True)
class Timing:
    """The words of one narration, in order, and where their times come from."""

    words: tuple[Word, ...]
    source: str  # VOICE or ESTIMATED

    def to_json(self) -> dict[str, object]:
        return {
            "source": self.source,
            "words": [[w.text, round(w.start, 4), round(w.end, 4)] for w in self.words],
        }

    @classmethod
    def from_json(cls, doc: object) -> Timing | None:
        """The timing in ``doc`` (as ``to_json`` wrote it); None when it is not one."""
        if not isinstance(doc, dict) or doc.get("source") not in (VOICE, ESTIMATED):
            return None
        raw = doc.get("words")
        if not isinstance(raw, list):
            return None
        words = []
        for item in raw:
            if (
                not isinstance(item, list)
                or len(item) != 3
                or not isinstance(item[0], str)
                or not all(isinstance(v, (int, float)) for v in item[1:])
            ):
                return None
            words.append(Word(item[0], float(item[1]), float(item[2])))
        return cls(tuple(words), str(doc["source"]))


# ---------------------------------------------------------------------------------------
# words as written
# ---------------------------------------------------------------------------------------


def _spoken(token: str) -> bool:
    return any(ch.isalnum() for ch in token)


def display_words(text: str) -> list[str]:
    """The narration's words as captions show them: split at white space, a mark that
    stands alone ("-", "...") kept with the word before it (or after it, at the start).
    [] when nothing in the text can be spoken."""
    words: list[str] = []
    pending = ""
    for token in text.split():
        if not _spoken(token):
            if words:
                words[-1] += " " + token
            else:
                pending = (pending + " " + token).strip()
            continue
        words.append(f"{pending} {token}".strip())
        pending = ""
    return words


def syllables(word: str) -> int:
    """A rough count of a written word's syllables (at least 1): its vowel groups, a silent
    final "e" left out; digits count one each, other letters a syllable every three."""
    letters = [ch for ch in word if ch.isalpha()]
    latin = "".join(ch for ch in letters if ch.isascii() or _VOWELS.fullmatch(ch))
    count = len(_VOWELS.findall(latin))
    lower = latin.lower()
    if count > 1 and lower.endswith("e") and not lower.endswith(("le", "ee")):
        count -= 1
    count += sum(1 for ch in word if ch.isdigit())
    count += (len(letters) - len(latin) + 2) // 3
    return max(1, count)


# ---------------------------------------------------------------------------------------
# from the voice
# ---------------------------------------------------------------------------------------


@dataclass(frozen=True)
class _Group:
    start: float
    end: float
    size: int  # phonemes, stress marks and punctuation left out


def _phoneme_size(phonemes: Sequence[str]) -> int:
    return sum(1 for p in phonemes if p not in _STRESS and p not in _EDGES and _spoken(p))


def _groups(sentences: Sequence[Sequence[tuple[str, int]]], rate: int) -> list[_Group]:
    """The phoneme words of the sentences spoken one after another: each from its first
    phoneme to the end of its last sounding one (the separator's time is the gap)."""
    groups: list[_Group] = []
    offset = 0
    for sentence in sentences:
        at = offset
        first: int | None = None
        last = 0
        size = 0
        for phoneme, samples in sentence:
            if phoneme == _SEPARATOR or phoneme in ("$",):
                if first is not None and size:
                    groups.append(_Group(first / rate, last / rate, size))
                first, size = None, 0
            elif phoneme not in _EDGES:
                if first is None:
                    first = at
                if _spoken(phoneme) or phoneme in _STRESS:
                    last = at + samples
                    size += phoneme not in _STRESS
            at += samples
        if first is not None and size:
            groups.append(_Group(first / rate, last / rate, size))
        offset += sum(samples for _, samples in sentence)
    return groups


def _align(expected: list[int], actual: list[int]) -> list[tuple[int, int, int, int]] | None:
    """Written words (``expected`` phonemes each) matched in order to phoneme words
    (``actual`` phonemes each): runs (word from, word to, group from, group to) where
    one word takes several groups or one group holds several words; None when no
    matching exists."""
    n, m = len(expected), len(actual)
    inf = float("inf")
    cost = [[inf] * (m + 1) for _ in range(n + 1)]
    back: list[list[tuple[int, int] | None]] = [[None] * (m + 1) for _ in range(n + 1)]
    cost[0][0] = 0.0
    moves = [(1, 1)] + [(k, 1) for k in range(2, _MAX_MERGE + 1)]
    moves += [(1, k) for k in range(2, _MAX_SPLIT + 1)]
    for i in range(n + 1):
        for j in range(m + 1):
            here = cost[i][j]
            if here == inf:
                continue
            for di, dj in moves:
                a, b = i + di, j + dj
                if a > n or b > m:
                    continue
                miss = abs(sum(expected[i:a]) - sum(actual[j:b]))
                step = here + miss + (0 if di == dj == 1 else 1.5)
                if step < cost[a][b]:
                    cost[a][b] = step
                    back[a][b] = (i, j)
    if cost[n][m] == inf:
        return None
    runs = []
    a, b = n, m
    while (a, b) != (0, 0):
        prev = back[a][b]
        assert prev is not None
        runs.append((prev[0], a, prev[1], b))
        a, b = prev
    runs.reverse()
    return runs


def from_alignments(
    text: str,
    sentences: Sequence[Sequence[tuple[str, int]]],
    rate: int,
    phonemize: Callable[[str], Sequence[str]],
) -> Timing | None:
    """The words of ``text`` timed from a voice's phoneme alignments: ``sentences`` are the
    (phoneme, samples) lists of the sentences spoken one after another at ``rate``;
    ``phonemize`` gives the phonemes the voice makes of one written word. None when the
    alignments cannot be matched to the words."""
    words = display_words(text)
    groups = _groups(sentences, rate)
    if not words:
        return Timing((), VOICE)
    if not groups:
        return None
    expected = [max(1, _phoneme_size(phonemize(w))) for w in words]
    runs = _align(expected, [g.size for g in groups])
    if runs is None:
        return None
    timed: list[Word] = []
    for w0, w1, g0, g1 in runs:
        start, end = groups[g0].start, groups[g1 - 1].end
        share = sum(expected[w0:w1])
        done = 0
        for k in range(w0, w1):
            a = start + (end - start) * done / share
            done += expected[k]
            timed.append(Word(words[k], a, start + (end - start) * done / share))
    return Timing(tuple(timed), VOICE)


# ---------------------------------------------------------------------------------------
# estimated from the sound
# ---------------------------------------------------------------------------------------


def _runs(loud: list[bool]) -> list[tuple[int, int]]:
    """The sounding stretches (first block, end block), joined over silences shorter
    than PAUSE."""
    shortest = round(PAUSE / BLOCK_SECONDS)
    runs: list[tuple[int, int]] = []
    k = 0
    while k < len(loud):
        if not loud[k]:
            k += 1
            continue
        end = k
        while end < len(loud) and loud[end]:
            end += 1
        if runs and k - runs[-1][1] < shortest:
            runs[-1] = (runs[-1][0], end)
        else:
            runs.append((k, end))
        k = end
    return runs


def _ends_clause(word: str) -> bool:
    return word.rstrip(_CLOSERS)[-1:] in _CLAUSE_MARKS


def estimate_from_loudness(text: str, loud: list[bool]) -> Timing:
    """``estimate`` from the narration's loud blocks (BLOCK_SECONDS each)."""
    words = display_words(text)
    runs = _runs(loud)
    if not words or not runs:
        return Timing((), ESTIMATED)
    weights = [syllables(w) for w in words]
    total = sum(weights)
    speech = sum(b - a for a, b in runs)
    # each pause goes to the word boundary whose share of syllables is nearest its share
    # of the speech before it; a clause's end is preferred
    cumulative = []
    done = 0
    for w in weights[:-1]:
        done += w
        cumulative.append(done / total)
    breaks: list[int] = []  # after word index
    chosen_runs: list[tuple[int, int]] = [runs[0]]
    heard = 0
    for k in range(1, len(runs)):
        heard += runs[k - 1][1] - runs[k - 1][0]
        share = heard / speech
        first = breaks[-1] + 1 if breaks else 0
        best: tuple[float, int] | None = None
        for i in range(first, len(cumulative)):
            score = abs(cumulative[i] - share) - (0.04 if _ends_clause(words[i]) else 0.0)
            if best is None or score < best[0]:
                best = (score, i)
        if best is None:  # fewer boundaries than pauses: the pause stays inside a word
            chosen_runs[-1] = (chosen_runs[-1][0], runs[k][1])
            continue
        breaks.append(best[1])
        chosen_runs.append(runs[k])
    timed: list[Word] = []
    first_word = 0
    for r, (a, b) in enumerate(chosen_runs):
        last_word = breaks[r] + 1 if r < len(breaks) else len(words)
        share = sum(weights[first_word:last_word])
        done = 0
        for k in range(first_word, last_word):
            start = a + (b - a) * done / share
            done += weights[k]
            end = a + (b - a) * done / share
            timed.append(Word(words[k], start * BLOCK_SECONDS, end * BLOCK_SECONDS))
        first_word = last_word
    return Timing(tuple(timed), ESTIMATED)


def estimate(text: str, audio: str) -> Timing:
    """The words of ``text`` timed from the sound of ``audio`` (its narration): the span
    it is heard shared among the words by syllables, pauses at silences of PAUSE or more."""
    return estimate_from_loudness(text, loudness(audio))


# ---------------------------------------------------------------------------------------
# kept with the narration
# ---------------------------------------------------------------------------------------


SNAP = 0.08  # how far a voice's word start may be moved onto the sound heard after a pause


def snap_to_sound(timing: Timing, loud: list[bool]) -> Timing:
    """A voice's timing with each word that follows a pause (and the first) starting where
    its sound starts: the voice's phoneme boundaries can lie some tens of milliseconds off
    the sound, and a highlight that comes late after a pause shows."""
    words = list(timing.words)
    for a, _ in _runs(loud):
        onset = a * BLOCK_SECONDS
        nearest = min(range(len(words)), key=lambda k: abs(words[k].start - onset), default=None)
        if nearest is None or abs(words[nearest].start - onset) > SNAP:
            continue
        word = words[nearest]
        words[nearest] = Word(word.text, onset, max(onset, word.end))
        if nearest and words[nearest - 1].end > onset:
            before = words[nearest - 1]
            words[nearest - 1] = Word(before.text, before.start, max(before.start, onset))
    return Timing(tuple(words), timing.source)


def narration_timing(
    cache: Cache, key: str, audio: str, text: str, spoken: Timing | None = None
) -> Timing:
    """The timing of the narration ``audio`` of ``text`` (cached under ``key``): what the
    voice said as it spoke it (``spoken``), else what the cache kept with it, else an
    estimate from its sound; kept in the cache for next time."""
    if spoken is not None:
        timing = snap_to_sound(spoken, loudness(audio))
    else:
        cached = Timing.from_json(cache.get_words(key))
        if cached is not None:
            return cached
        timing = estimate(text, audio)
    cache.put_words(key, timing.to_json())
    return timing


def placed_words(
    timed: Sequence[tuple[Timing, float, float, float]], scale: float = 1.0
) -> list[tuple[int, Word]]:
    """Every word of one video, with its Segment (from 1): for each narration (its timing,
    where its own time 0 falls in the joined video, where its piece begins and ends
    there), each word heard before its piece ends, in seconds of the video played
    ``scale`` times as fast."""
    out: list[tuple[int, Word]] = []
    for n, (timing, zero, begin, end) in enumerate(timed, start=1):
        for word in timing.words:
            start = zero + word.start
            if start >= end:
                break
            stop = min(zero + word.end, end)
            out.append((n, Word(word.text, max(start, begin) / scale, stop / scale)))
    return out


def words_file_entries(
    timed: Sequence[tuple[Timing, float, float, float]], scale: float = 1.0
) -> list[dict[str, object]]:
    """The words file of one video (see ``placed_words``): one entry per word."""
    return [
        {"text": w.text, "start": round(w.start, 3), "end": round(w.end, 3), "segment": n}
        for n, w in placed_words(timed, scale)
    ]


def write_words_file(path: str, entries: list[dict[str, object]]) -> None:
    """The words file at ``path``, replaced whole or not at all."""

    def write(tmp: str) -> None:
        with open(tmp, "w", encoding="utf-8") as out:
            json.dump(entries, out, ensure_ascii=False)
            out.write("\n")

    write_beside(path, write)
