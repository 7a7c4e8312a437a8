"""Captions: cue layout, timing, SRT output and the burned-in vertical copy."""

import itertools
import os
import re
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestro_core.media import MediaError
from kestro_core.picture.captions import (
    HORIZONTAL_WIDTH,
    VERTICAL_WIDTH,
    Cue,
    finish,
    narration_cues,
    split_narration,
)
from kestro_core.picture.finish import burn
from kestro_core.picture.subtitles import srt_text, write_srt

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


# --- the burned-in copy -------------------------------------------------------------------

SPEED = 1.5
# Cues in the vertical video's times, and the moment each is sampled at. Braces, a
# backslash before N and angle brackets must all be drawn as they are.
BURNED = [
    (Cue(0.2, 1.2, "{hidden}"), 0.7),
    (Cue(1.4, 2.4, "x\\Ny\\n\\h"), 1.9),
    (Cue(2.6, 3.6, "top <b>\nbottom</b>"), 3.1),
]
CAPTION_ROWS = (1150, 1536)  # two caption lines sit here, all above the lowest fifth


def _export_vertical(horizontal, vertical, kc):
    """FINAL_KESTRO.mp4 the way the job's export makes it (software encoder)."""
    vf = f"setpts={1 / SPEED:.6f}*PTS,scale=1080:1920:force_original_aspect_ratio=increase,crop=1080:1920"
    argv = ["ffmpeg", "-y", "-loglevel", "error", "-i", horizontal, "-vf", vf]
    argv += ["-af", kc._build_atempo_chain(SPEED), "-c:a", "aac"]
    argv += ["-c:v", "libx264", "-preset", "ultrafast", "-crf", "23", vertical]
    subprocess.run(argv, check=True, capture_output=True, timeout=300)


def _gray_frame(path, at):
    argv = ["ffmpeg", "-v", "error", "-ss", str(at), "-i", path, "-frames:v", "1"]
    argv += ["-f", "rawvideo", "-pix_fmt", "gray", "-"]
    data = subprocess.run(argv, check=True, capture_output=True, timeout=120).stdout
    assert len(data) == 1080 * 1920
    return data


def _differing_rows(a, b):
    """Rows of two gray frames where some pixel differs by more than a coding error."""
    return [
        y
        for y in range(1920)
        if max(
            abs(p - q) for p, q in zip(a[y * 1080 : (y + 1) * 1080], b[y * 1080 : (y + 1) * 1080])
        )
        > 60
    ]


def _psnr(a, b, at, crop):
    chain = f"[0:v]crop={crop}[a];[1:v]crop={crop}[b];[a][b]psnr"
    argv = ["ffmpeg", "-hide_banner", "-ss", str(at), "-i", a, "-ss", str(at), "-i", b]
    argv += ["-filter_complex", chain, "-frames:v", "1", "-f", "null", "-"]
    log = subprocess.run(argv, check=True, capture_output=True, text=True, timeout=120).stderr
    value = re.search(r"average:(\S+)", log).group(1)
    return float("inf") if value == "inf" else float(value)


@pytest.fixture(scope="module")
def burned(tmp_path_factory, kc):
    from tests.support import media

    if not media.have_ffmpeg():
        pytest.skip("ffmpeg is not installed")
    root = tmp_path_factory.mktemp("burn")
    out = root / "out 'a:b,c[d]e\\f"
    out.mkdir()
    horizontal = str(out / "horizontal_final.mp4")
    vertical = str(out / "FINAL_KESTRO.mp4")
    media.make_source_video(horizontal, duration=6)
    _export_vertical(horizontal, vertical, kc)
    captioned = str(out / "FINAL_KESTRO.captioned.mp4")
    fractions = []
    burn(horizontal, vertical, [c for c, _ in BURNED], SPEED, captioned, progress=fractions.append)
    return vertical, captioned, media, fractions


def test_burned_copy_has_the_vertical_videos_length_and_sound(burned):
    vertical, captioned, media, _ = burned
    assert media.dimensions(captioned) == (1080, 1920)
    assert abs(media.video_packet_count(captioned) - media.video_packet_count(vertical)) <= 1
    assert abs(media.duration(captioned) - media.duration(vertical)) <= 1 / media.FPS
    assert media.codec_names(captioned) == {"video": ["h264"], "audio": ["aac"]}
    assert sorted(os.listdir(os.path.dirname(captioned))) == [
        "FINAL_KESTRO.captioned.mp4",
        "FINAL_KESTRO.mp4",
        "horizontal_final.mp4",
    ]


def test_burned_captions_change_only_the_caption_box(burned):
    vertical, captioned, *_ = burned
    for _, at in BURNED:
        assert _psnr(vertical, captioned, at, f"1080:{CAPTION_ROWS[0]}:0:0") >= 40
        low = 1920 - CAPTION_ROWS[1]
        assert _psnr(vertical, captioned, at, f"1080:{low}:0:{CAPTION_ROWS[1]}") >= 40
    between = 1.3  # no cue is shown
    assert _psnr(vertical, captioned, between, "1080:1920:0:0") >= 40


def test_burned_markup_is_drawn_literally(burned):
    vertical, captioned, *_ = burned
    heights = []
    for _, at in BURNED:
        rows = _differing_rows(_gray_frame(vertical, at), _gray_frame(captioned, at))
        assert rows, f"nothing drawn at {at} s"
        assert CAPTION_ROWS[0] <= rows[0] and rows[-1] < CAPTION_ROWS[1]
        heights.append(rows[-1] - rows[0])
    # "{hidden}" and "x\Ny\n\h" draw one line each; only the cue's own line break makes two
    assert max(heights[:2]) < 120 < heights[2]


def test_burn_reports_its_progress_up_to_the_end(burned):
    fractions = burned[-1]
    assert fractions and fractions[-1] == 1.0
    assert all(0.0 <= a <= b <= 1.0 for a, b in itertools.pairwise(fractions))


def test_failed_burn_leaves_the_output_as_it_was(tmp_path, capsys):
    bad = tmp_path / "horizontal_final.mp4"
    bad.write_text("not a video")
    output = tmp_path / "FINAL_KESTRO.captioned.mp4"
    output.write_text("old")
    notes = []
    with pytest.raises(MediaError, match="ffmpeg failed"):
        burn(str(bad), str(bad), [Cue(0.0, 1.0, "hi")], SPEED, str(output), note=notes.append)
    assert output.read_text() == "old"
    assert sorted(p.name for p in tmp_path.iterdir()) == [output.name, bad.name]
    # the fallback is told as a note; the package prints nothing itself
    assert notes == ["  (GPU unavailable, using CPU encoder...)"]
    assert capsys.readouterr().out == ""
