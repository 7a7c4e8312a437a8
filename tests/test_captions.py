"""Captions: cue layout, timing, SRT output and the burned-in vertical copy."""

import itertools
import os
import re
import subprocess

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kestro_core.media import MediaError
from kestro_core.picture import fonts
from kestro_core.picture.captions import (
    EDGE,
    FONT_FAMILY,
    FONT_SCALE_X,
    FONT_SIZE,
    HORIZONTAL_WIDTH,
    VERTICAL_WIDTH,
    WORD_FONT_SIZE,
    WORD_MARGIN_L,
    WORD_MARGIN_R,
    WORD_SCALE,
    Cue,
    TimedWord,
    _without_emoji,
    ass_document,
    finish,
    narration_cues,
    split_narration,
    word_ass_document,
)
from kestro_core.picture.finish import burn
from kestro_core.picture.subtitles import srt_text, write_srt
from kestro_core.speech.timing import display_words

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


# --- the measured layout ------------------------------------------------------------------

GRAY = 128  # the background the captions are burned over


def _burn_ass(document, times, work):
    """Gray 1080x1920 frames at ``times`` (seconds, rounded to 1/4 s) with ``document``
    drawn by ffmpeg's ass filter."""
    from tests.support import media

    if not media.have_ffmpeg():
        pytest.skip("ffmpeg is not installed")
    (work / "captions.ass").write_text(document, encoding="utf-8")
    picks = "+".join(f"eq(n\\,{round(t * 4)})" for t in times)
    source = f"color=gray:size=1080x1920:rate=4:duration={max(times) + 1}"
    argv = ["ffmpeg", "-v", "error", "-f", "lavfi", "-i", source]
    argv += ["-vf", f"ass=captions.ass,select='{picks}'", "-vsync", "0"]
    argv += ["-f", "rawvideo", "-pix_fmt", "gray", "-"]
    data = subprocess.run(argv, cwd=work, check=True, capture_output=True, timeout=120).stdout
    size = 1080 * 1920
    assert len(data) == size * len(times)
    return [data[k * size : (k + 1) * size] for k in range(len(times))]


def _ink(frame):
    """The first and last columns drawn on (text and outline), and the bands of rows with
    text in them: one per line of text."""
    rows = [frame[y * 1080 : (y + 1) * 1080] for y in range(1920)]
    inked = [y for y, row in enumerate(rows) if max(abs(p - GRAY) for p in row) > 40]
    cols = [x for x in range(1080) if any(abs(rows[y][x] - GRAY) > 40 for y in inked)]
    bands = sum(1 for a, b in itertools.pairwise([-2] + inked) if b != a + 1)
    return cols[0], cols[-1], bands


def _size(event, default):
    found = re.search(r"\\fs(\d+)", event)
    return int(found.group(1)) if found else default


def _events(document):
    return [line.split(",,", 2)[2] for line in document.splitlines() if line.startswith("Dialogue")]


def test_long_words_draw_whole_on_one_line_inside_the_frame(tmp_path):
    words = ["Internationalisation.", "Unbelievably.", "Stretches.", "Misunderstandings."]
    words.append("Floccinaucinihilipilifications")  # 30 letters
    document = word_ass_document([([TimedWord(w, k, k + 0.5) for k, w in enumerate(words)], 99)])
    events = _events(document)
    assert len(events) == len(words)
    room = 1080 - WORD_MARGIN_L - WORD_MARGIN_R
    frames = _burn_ass(document, [k + 0.25 for k in range(len(words))], tmp_path)
    for word, event, frame in zip(words, events, frames):
        left, right, bands = _ink(frame)
        assert bands == 1, f"{word} is drawn on {bands} lines"
        assert left >= EDGE and right < 1080 - EDGE, (word, left, right)
        if _size(event, WORD_FONT_SIZE) < WORD_FONT_SIZE:
            # drawn smaller only as far as needed: it still spans most of the room
            assert right - left + 1 >= 0.9 * room, (word, left, right)


@pytest.mark.parametrize(
    "style, text",
    [
        ("lines", "Naïve café, WAVE."),
        ("words", "AVAWAY"),  # pairs a kerning table would pull together
        ("words", "中文字幕"),  # a face the bold style's lacks: its fallback's widths
    ],
)
def test_measured_width_is_the_drawn_width(tmp_path, style, text):
    # between two H's (the ink leaves out their outer sides) a text's drawn width is its
    # advance, the one the layout measures
    def drawn(shown):
        if style == "lines":
            document = ass_document([Cue(0.0, 2.0, shown)])
        else:
            document = word_ass_document([([TimedWord(shown, 0.0, 1.5)], 99)])
        assert not re.search(r"\\fs\d", document)
        left, right, bands = _ink(_burn_ass(document, [0.5], tmp_path)[0])
        assert bands == 1
        return right - left

    bold = style == "words"
    size = (WORD_FONT_SIZE * WORD_SCALE if bold else FONT_SIZE * FONT_SCALE_X) / 100
    measured = fonts.faces(FONT_FAMILY, bold).advance(text) * size
    assert drawn(f"H{text}H") - drawn("HH") == pytest.approx(measured, rel=0.02)


MIXED = "Déjà vu: naïve façade 😀 of Internationalisation! 你好世界\uff0c这是一个很长的中文句子 👍🏽 Fine."
CUT = "An 😀 " + "x" * 30 + " word, and Antidisestablishmentarianism too."


@pytest.mark.parametrize("text", [MIXED, CUT])
@pytest.mark.parametrize("style", ["lines", "words"])
def test_burned_text_keeps_words_whole_and_leaves_emoji_out(text, style):
    cues = narration_cues(text, VERTICAL_WIDTH, 0.0, 6.0, 99.0)
    if style == "lines":
        document = ass_document(cues)
    else:
        words = display_words(text)
        document = word_ass_document(
            [([TimedWord(w, k, k + 0.9) for k, w in enumerate(words)], 99)]
        )
    shown = [re.sub(r"\{\\[^}]*\}", "", e) for e in _events(document)]
    lines = [line for event in shown for line in event.split("\\N")]
    latin = [w for w in _without_emoji(text).split() if all(ord(ch) < 0x250 for ch in w)]
    for word in latin:
        assert any(word in line.split() for line in lines), (word, lines)
    assert not any(ch in document for ch in "😀👍🏽")
    assert "😀" in srt_text(cues)  # the SRT keeps them


@pytest.mark.parametrize(
    "text, kept",
    [
        ("Thumbs 👍🏽 up", "Thumbs up"),
        ("our 👨\u200d👩\u200d👧 family", "our family"),
        ("🇫🇷 France", "France"),
        ("I ❤️ it\nand ❤ this", "I it\nand ❤ this"),  # as an emoji, or as a character
        ("step 1️⃣ now", "step 1 now"),
        ("क्\u200dष", "क्\u200dष"),  # a joiner inside a word of its script stays
    ],
)
def test_emoji_left_out(text, kept):
    assert _without_emoji(text) == kept
