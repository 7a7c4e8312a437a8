"""Captions: cue layout, timing, SRT output and the burned-in vertical copy."""

import itertools
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestro_core.captions import (
    HORIZONTAL_WIDTH,
    VERTICAL_WIDTH,
    Cue,
    finish,
    narration_cues,
    split_narration,
    srt_text,
    write_srt,
)

WIDTHS = [HORIZONTAL_WIDTH, VERTICAL_WIDTH]

# words, punctuation that ends sentences and clauses, markup characters and odd whitespace
_words = st.text(
    alphabet=st.sampled_from(list("abcdéXYZ0{}\\<>'.!?…,;:\u2014\u2013\"")), min_size=1, max_size=60
)
_narrations = st.lists(
    st.tuples(_words, st.sampled_from([" ", "  ", "\n", "\t ", "\r\n"])), max_size=40
).map(lambda parts: "".join(w + s for w, s in parts))


# --- layout -------------------------------------------------------------------------------


@pytest.mark.parametrize("width", WIDTHS)
@settings(max_examples=300, deadline=None)
@given(text=_narrations)
def test_split_layout_keeps_every_character(width, text):
    cues = split_narration(text, width)
    for cue in cues:
        lines = cue.split("\n")
        assert 1 <= len(lines) <= 2
        for line in lines:
            assert 0 < len(line) <= width
            assert line == line.strip() and "  " not in line
    assert "".join("".join(c.split()) for c in cues) == "".join(text.split())


@pytest.mark.parametrize(
    "text, width, expected",
    [
        # each sentence its own cue, punctuation kept with it
        ("One. Two! Three? Four… five", 42, ["One.", "Two!", "Three?", "Four…", "five"]),
        # a sentence too long for one cue ends its cues at clauses, not mid-clause
        (
            "The quick brown fox jumps over the lazy dog, and then it runs away into "
            "the forest; nobody sees it again.",
            28,
            [
                "The quick brown fox\njumps over the lazy dog,",
                "and then it runs\naway into the forest;",
                "nobody sees it again.",
            ],
        ),
        # two lines as even as the words allow
        ("aaaa bbbb cccc dddd eeee ffff gggg", 28, ["aaaa bbbb cccc\ndddd eeee ffff gggg"]),
        # a word longer than a line is cut hard
        ("x" * 30 + " end", 28, ["x" * 28 + "\nxx end"]),
        ("  \n\t ", 28, []),
    ],
)
def test_split_boundaries(text, width, expected):
    assert split_narration(text, width) == expected


# --- timing -------------------------------------------------------------------------------


def test_cues_share_the_narration_by_characters():
    # 8 and 4 non-space characters: two thirds and one third of 3 s
    cues = narration_cues("Abcdefg. Xyz.", 28, 10.0, 3.0, 99.0)
    assert [c.text for c in cues] == ["Abcdefg.", "Xyz."]
    assert cues[0].start == 10.0
    assert cues[0].end == pytest.approx(12.0) and cues[1].start == pytest.approx(12.0)
    assert cues[1].end == 13.0


@pytest.mark.parametrize(
    "piece_end, texts, last_end",
    [
        (12.5, ["Abcdefg.", "Xyz."], 12.5),  # cut inside the second cue
        (12.0, ["Abcdefg."], 12.0),  # the second cue would start exactly at the cut
        (11.0, ["Abcdefg."], 11.0),  # cut inside the first
        (10.0, [], None),  # nothing heard before the piece ends
    ],
)
def test_cut_off_narration_keeps_cues_started_before_piece_end(piece_end, texts, last_end):
    cues = narration_cues("Abcdefg. Xyz.", 28, 10.0, 3.0, piece_end)
    assert [c.text for c in cues] == texts
    if cues:
        assert cues[-1].end == pytest.approx(last_end)


def test_empty_narration_gives_no_cues():
    assert narration_cues(" \n ", 28, 0.0, 2.0, 5.0) == []


@pytest.mark.parametrize("bad", [dict(length=-1.0), dict(start=float("nan")), dict(width=0)])
def test_narration_cues_refuses_bad_numbers(bad):
    args = dict(text="Hello.", width=28, start=0.0, length=1.0, piece_end=5.0) | bad
    with pytest.raises(ValueError):
        narration_cues(**args)


def test_finish_orders_trims_and_drops():
    cues = [
        Cue(5.0, 7.0, "c"),
        Cue(0.0, 3.0, "a"),  # runs into the next one
        Cue(2.0, 2.0005, "tiny"),  # shorter than a millisecond
        Cue(2.5, 9.0, "b"),  # runs past the end of the video
        Cue(8.0, 9.0, "late"),  # starts after the video ends
    ]
    assert finish(cues, 6.0) == [Cue(0.0, 2.0, "a"), Cue(2.5, 5.0, "b"), Cue(5.0, 6.0, "c")]


# --- SRT ----------------------------------------------------------------------------------

_SRT_BLOCK = re.compile(
    r"(\d+)\n(\d\d):(\d\d):(\d\d),(\d\d\d) --> (\d\d):(\d\d):(\d\d),(\d\d\d)\n((?:[^\n]+\n)+)"
)


def _parse_srt(document):
    """Strictly parsed blocks: (number, start ms, end ms, text)."""
    blocks = document.split("\n\n")
    out = []
    for block in blocks:
        m = _SRT_BLOCK.fullmatch(block if block.endswith("\n") else block + "\n")
        assert m, f"not an SRT block: {block!r}"
        g = [int(x) for x in m.groups()[:9]]
        start = ((g[1] * 60 + g[2]) * 60 + g[3]) * 1000 + g[4]
        end = ((g[5] * 60 + g[6]) * 60 + g[7]) * 1000 + g[8]
        out.append((g[0], start, end, m.group(10).rstrip("\n")))
    return out


@settings(max_examples=200, deadline=None)
@given(
    edges=st.lists(
        st.floats(min_value=0, max_value=359_999, allow_nan=False), min_size=2, max_size=30
    )
)
def test_srt_round_trip_never_overlaps(edges):
    edges = sorted(edges)
    cues = finish(
        [Cue(a, b, f"cue {k}\n<{{x}}>") for k, (a, b) in enumerate(itertools.pairwise(edges))],
        edges[-1],
    )
    parsed = _parse_srt(srt_text(cues)) if cues else []
    assert [p[0] for p in parsed] == list(range(1, len(parsed) + 1))
    for (_, s1, e1, text), (_, s2, _, _) in itertools.pairwise(parsed):
        assert s1 < e1 <= s2
        assert text.endswith("\n<{x}>")
    by_text = {c.text: c for c in cues}
    assert len(parsed) >= len([c for c in cues if c.end - c.start > 0.0011])
    for _, s, e, text in parsed:
        cue = by_text[text]
        assert abs(s - cue.start * 1000) <= 0.5 + 1e-6 and abs(e - cue.end * 1000) <= 0.5 + 1e-6


def test_write_srt_is_utf8_without_bom_and_replaces_whole(tmp_path):
    path = tmp_path / "horizontal_final.srt"
    path.write_text("old")
    cues = [Cue(3723.4567, 3725.0, "Ça va… «bien»\nsecond line")]
    write_srt(str(path), cues)
    data = path.read_bytes()
    assert data == "1\n01:02:03,457 --> 01:02:05,000\nÇa va… «bien»\nsecond line\n".encode()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["horizontal_final.srt"]
