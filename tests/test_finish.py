"""The finished short: word timings, the words files, word captions and framing.

Real ffmpeg, espeak-ng and piper. The pictures are made to be read back: coloured vertical
bands (which band lies in the middle of the frame tells the crop), and a bright square
crossing a dark picture (for "auto").
"""

import array
import itertools
import json
import shutil
import subprocess
import sys

import pytest

import kestro_core
from kestro_core.picture import captions
from kestro_core.segments import model as segments
from kestro_core.speech import piper
from kestro_core.speech import timing as words
from tests.support.media import have_ffmpeg

HAVE_ESPEAK = have_ffmpeg() and shutil.which("espeak-ng") is not None
needs_espeak = pytest.mark.skipif(not HAVE_ESPEAK, reason="needs ffmpeg and espeak-ng")
needs_piper = pytest.mark.skipif(
    not have_ffmpeg() or piper.default_piper_voice() is None, reason="needs the piper extra"
)

# red, green, blue, cyan, magenta: none of them reads as the highlight's yellow
BANDS = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (0, 255, 255), (255, 0, 255)]


def _ffmpeg(*args):
    subprocess.run(["ffmpeg", "-y", "-v", "error", *args], check=True, timeout=120)


def _bands_video(path, width=1280, height=720, duration=9):
    band = width // len(BANDS)
    inputs = []
    for r, g, b in BANDS:
        inputs += ["-f", "lavfi", "-i", f"color=c=0x{r:02x}{g:02x}{b:02x}:s={band}x{height}:r=25"]
    stack = (
        "".join(f"[{k}:v]" for k in range(len(BANDS))) + f"hstack={len(BANDS)},format=yuv420p[v]"
    )
    _ffmpeg(
        *inputs,
        "-f",
        "lavfi",
        "-i",
        "anullsrc=r=44100:cl=mono",
        "-filter_complex",
        stack,
        "-map",
        "[v]",
        "-map",
        f"{len(BANDS)}:a",
        "-t",
        str(duration),
        "-c:v",
        "libx264",
        "-preset",
        "ultrafast",
        "-g",
        "25",
        "-c:a",
        "aac",
        str(path),
    )
    return str(path)


def _rgb_frame(path, at, size=(1080, 1920)):
    argv = ["ffmpeg", "-v", "error", "-ss", f"{at:.3f}", "-i", str(path), "-frames:v", "1"]
    argv += ["-f", "rawvideo", "-pix_fmt", "rgb24", "-"]
    data = subprocess.run(argv, check=True, capture_output=True, timeout=60).stdout
    assert len(data) == size[0] * size[1] * 3
    return data


def _pixel(frame, x, y, width=1080):
    at = (y * width + x) * 3
    return tuple(frame[at : at + 3])


def _near(colour, wanted, slack=60):
    return all(abs(a - b) <= slack for a, b in zip(colour, wanted, strict=True))


def _job(tmp_path, source, segs, **options):
    out = tmp_path / "out"
    out.mkdir()
    seg = tmp_path / "segments.json"
    seg.write_text(json.dumps(segs), encoding="utf-8")
    short = kestro_core.make_short(str(seg), 1.5, source=source, output_dir=out, **options)
    return short


# --- the "frame" key --------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, says",
    [
        (1.5, "1.5 lies outside 0 to 1"),
        (-0.1, "-0.1 lies outside 0 to 1"),
        ("left", '"left" is not a frame'),
        (None, "null is not a frame"),
        ([0.2], "an array is not a frame"),
        (True, "true is not a frame"),
    ],
)
def test_check_names_the_segment_and_what_a_frame_may_be(tmp_path, value, says):
    seg = tmp_path / "s.json"
    good = {"start": "0", "end": "1", "voiceover": "Hi.", "frame": "fit", "note": "kept"}
    bad = {"start": "1", "end": "2", "voiceover": "Ho.", "frame": value}
    seg.write_text(json.dumps([good, bad]), encoding="utf-8")
    report = segments.Report()
    segments.check_segments(report, str(seg), None)
    assert [str(p) for p in report] == [
        f'Segment 2 "frame": {says}: write a number from 0 to 1 (the crop\'s centre across '
        'the picture: 0.5 is the middle), "fit" or "auto"'
    ]


# --- word timings -------------------------------------------------------------------------


def test_estimated_words_share_the_sound_and_take_its_pauses():
    # 5 ms blocks: 0.1 s quiet, 0.5 s sound, a 0.3 s pause, 0.5 s sound, quiet again
    loud = [False] * 20 + [True] * 100 + [False] * 60 + [True] * 100 + [False] * 20
    timing = words.estimate_from_loudness("One two, three four.", loud)
    assert timing.source == "estimated"
    assert [w.text for w in timing.words] == ["One", "two,", "three", "four."]
    starts = [round(w.start, 3) for w in timing.words]
    assert starts[0] == 0.1 and starts[2] == 0.9  # the pause falls after "two,"
    assert round(timing.words[-1].end, 3) == 1.4
    # marks alone are kept with a word; nothing to speak gives no words and no failure
    assert words.display_words("Wait \u2014 what ?") == ["Wait \u2014", "what ?"]
    assert words.estimate_from_loudness("\u2014 ...", loud).words == ()
    assert captions.word_ass_document([([], 2.0)]).count("Dialogue:") == 0


def _onset_after(samples, at, rate=16_000, block=80):
    first = int(at * rate) // block
    for k in range(first, len(samples) // block):
        chunk = samples[k * block : (k + 1) * block]
        if max(chunk) > 180 or -min(chunk) > 180:
            return k * block / rate
    return None


@needs_piper
def test_piper_word_timings_reach_the_words_files_and_the_plan(tmp_path):
    source = _bands_video(tmp_path / "bands.mp4", 640, 360, duration=10)
    segs = [
        {"start": "0.4", "end": "4.4", "voiceover": "Look here. Then, after a pause, the rest."},
        {"start": "5", "end": "9.5", "voiceover": "A second narration speaks now. Done."},
    ]
    short = _job(tmp_path, source, segs, speech="piper", captions=True)
    horizontal = json.loads(open(short.horizontal_words, encoding="utf-8").read())
    vertical = json.loads(open(short.vertical_words, encoding="utf-8").read())
    assert [w["segment"] for w in horizontal] == [1] * 8 + [2] * 6
    assert [w["text"] for w in vertical] == [w["text"] for w in horizontal]
    for h, v in zip(horizontal, vertical, strict=True):
        assert abs(v["start"] * 1.5 - h["start"]) < 0.003
    # the plan reads the same cached synthesis: the same words, shifted by one offset each
    plan = kestro_core.plan(str(tmp_path / "segments.json"), 1.5, source=source, speech="piper")
    assert [s.word_timing for s in plan.segments] == ["voice", "voice"]
    for n, seg in enumerate(plan.segments, start=1):
        mine = [w for w in horizontal if w["segment"] == n]
        shifts = [w["start"] - p.start for w, p in zip(mine, seg.words, strict=True)]
        assert max(shifts) - min(shifts) < 0.003
    # each word after a pause starts where its sound starts in the product, within 40 ms
    pcm = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", short.horizontal, "-ac", "1", "-ar", "16000"]
        + ["-f", "s16le", "-"],
        check=True,
        capture_output=True,
    ).stdout
    samples = array.array("h")
    samples.frombytes(pcm)
    checked = 0
    for before, word in itertools.pairwise(horizontal):
        if word["segment"] == before["segment"] and word["start"] - before["end"] > 0.15:
            onset = _onset_after(samples, before["end"] + 0.05)
            assert onset is not None and abs(onset - word["start"]) <= 0.04, word
            checked += 1
    assert checked >= 2
    # a rerun from the cache speaks nothing and times every word the same
    again = tmp_path / "again"
    again.mkdir()
    rerun = kestro_core.make_short(
        str(tmp_path / "segments.json"), 1.5, source=source, speech="piper", output_dir=again
    )
    assert rerun.narrations_made == 0
    assert json.loads(open(rerun.vertical_words, encoding="utf-8").read()) == vertical


@needs_piper
def test_piper_without_onnx_gives_estimated_timings_and_the_plan_says_so(tmp_path, monkeypatch):
    monkeypatch.setitem(sys.modules, "onnx", None)  # import onnx fails
    seg = tmp_path / "s.json"
    seg.write_text(json.dumps([{"start": "0", "end": "3", "voiceover": "Two words."}]))
    source = _bands_video(tmp_path / "bands.mp4", 320, 180, duration=3)
    plan = kestro_core.plan(str(seg), 1.5, source=source, speech="piper")
    assert plan.segments[0].word_timing == "estimated"
    assert [w.text for w in plan.segments[0].words] == ["Two", "words."]
    assert any("onnx" in note for note in plan.notes)


# --- the finished short's picture -----------------------------------------------------------


@pytest.fixture(scope="module")
def banded(tmp_path_factory):
    if not HAVE_ESPEAK:
        pytest.skip("needs ffmpeg and espeak-ng")
    root = tmp_path_factory.mktemp("banded")
    source = _bands_video(root / "bands.mp4")
    segs = [
        {"start": "0", "end": "2.5", "voiceover": "Left band.", "frame": 0.1},
        {"start": "3", "end": "5.5", "voiceover": "Right band.", "frame": 0.9},
        {"start": "6", "end": "8.8", "voiceover": "The whole picture.", "frame": "fit"},
    ]
    short = _job(root, source, segs, speech="espeak-ng", finish=True)
    spoken = json.loads(open(short.vertical_words, encoding="utf-8").read())
    return short, spoken


def _mid(spoken, segment):
    mine = [w for w in spoken if w["segment"] == segment]
    word = mine[len(mine) // 2]
    return word, (word["start"] + word["end"]) / 2


def test_each_segment_is_finished_in_its_frame(banded):
    short, spoken = banded
    left = _rgb_frame(short.finished, _mid(spoken, 1)[1])
    right = _rgb_frame(short.finished, _mid(spoken, 2)[1])
    assert _near(_pixel(left, 540, 700), BANDS[0])
    assert _near(_pixel(right, 540, 700), BANDS[-1])
    fit = _rgb_frame(short.finished, _mid(spoken, 3)[1])
    # the whole picture across the width: both outer bands on the middle row
    assert _near(_pixel(fit, 20, 960), BANDS[0])
    assert _near(_pixel(fit, 1060, 960), BANDS[-1])
    # above it a blurred, darkened copy: not black, no hard edge between bands
    row = [_pixel(fit, x, 200) for x in range(1080)]
    assert max(sum(p) for p in row) > 60
    steps = [max(abs(a - b) for a, b in zip(p, q, strict=True)) for p, q in itertools.pairwise(row)]
    assert max(steps) <= 12


def test_the_spoken_word_is_highlighted_inside_the_safe_area(banded):
    short, spoken = banded
    for segment in (1, 3):
        frame = _rgb_frame(short.finished, _mid(spoken, segment)[1])
        yellow = [
            (x, y)
            for y in range(0, 1920, 2)
            for x in range(0, 1080, 2)
            if _near(_pixel(frame, x, y), (255, 221, 0), 45)
        ]
        assert len(yellow) > 200
        xs, ys = [x for x, _ in yellow], [y for _, y in yellow]
        assert max(xs) < 1080 * 0.85 and min(ys) > 1920 * 0.15 and max(ys) < 1920 * 0.75
        # bold letters at least 1/18 of the frame high (the highlight's own height)
        assert max(ys) - min(ys) >= 1920 / 18 * 0.7


@needs_espeak
@pytest.mark.parametrize("size", ["1280x720", "400x900"])
def test_a_very_long_word_stays_on_a_finished_frame_of_any_source(tmp_path, size):
    width, height = (int(v) for v in size.split("x"))
    source = _bands_video(tmp_path / "src.mp4", width, height, duration=8)
    word = "Pneumonoultramicroscopicsilicovolcanoconiosis" * 2
    segs = [
        {"start": "0", "end": "7.5", "voiceover": word, "frame": 0.3},
        {"start": "0", "end": "2", "voiceover": "Fit.", "frame": "fit"},
    ]
    short = _job(tmp_path, source, segs, speech="espeak-ng", finish=True, captions=True)
    spoken = json.loads(open(short.vertical_words, encoding="utf-8").read())
    probe = subprocess.run(
        ["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries"]
        + ["stream=width,height", "-of", "csv=p=0", short.finished],
        check=True,
        capture_output=True,
        text=True,
    ).stdout.strip()
    assert probe == "1080,1920"
    frame = _rgb_frame(short.finished, (spoken[0]["start"] + spoken[0]["end"]) / 2)
    lit = [
        (x, y)
        for y in range(0, 1920, 2)
        for x in range(0, 1080, 2)
        if _near(_pixel(frame, x, y), (255, 221, 0), 45)
    ]
    assert len(lit) > 100  # drawn smaller, whole, on one line
    assert max(y for _, y in lit) - min(y for _, y in lit) < 1920 / 18
    assert min(x for x, _ in lit) >= 40 and max(x for x, _ in lit) < 1080 * 0.85


@needs_espeak
def test_auto_keeps_a_moving_square_in_the_frame(tmp_path):
    source = str(tmp_path / "square.mp4")
    _ffmpeg(
        "-f",
        "lavfi",
        "-i",
        "color=c=0x101010:s=1280x720:r=25:d=8",
        "-f",
        "lavfi",
        "-i",
        "color=c=white:s=120x120:r=25:d=8",
        "-f",
        "lavfi",
        "-i",
        "anullsrc=r=44100:cl=mono",
        "-filter_complex",
        "[0:v][1:v]overlay=x='40+t*140':y=80,format=yuv420p[v]",
        "-map",
        "[v]",
        "-map",
        "2:a",
        "-t",
        "8",
        "-c:v",
        "libx264",
        "-preset",
        "ultrafast",
        "-c:a",
        "aac",
        source,
    )
    segs = [
        {
            "start": "0",
            "end": "7.8",
            "voiceover": "A square crosses the picture from left to right while I keep talking "
            "about it for a good while longer.",
            "frame": "auto",
        }
    ]
    short = _job(tmp_path, source, segs, speech="espeak-ng", finish=True, caption_style="lines")
    # small gray frames; the square lies in the top half, clear of the captions
    argv = ["ffmpeg", "-v", "error", "-i", short.finished, "-vf", "scale=108:192,format=gray"]
    data = subprocess.run(argv + ["-f", "rawvideo", "-"], check=True, capture_output=True).stdout
    size = 108 * 192
    frames = [data[k : k + size] for k in range(0, len(data) - size + 1, size)]
    assert len(frames) > 50
    seen = sum(1 for f in frames if max(f[: 108 * 90]) > 200)
    assert seen >= 0.9 * len(frames)
