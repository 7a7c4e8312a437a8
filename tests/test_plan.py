"""The timing plan against the products of real jobs, fit, and exact joins."""

import json
import os
import subprocess

import pytest

import kestro_core
from kestro_core.job.check import CheckFailed
from kestro_core.planning import PlanError, fit, measure_narration, probe_source, segment_plan
from kestro_core.segments.timecode import format_like, parse_time
from kestro_core.speech.voices import open_voice
from kestro_core.store.cache import Cache
from tests.support.bframes import make_bframe_source
from tests.support.media import duration, have_ffmpeg, make_source_video

pytestmark = pytest.mark.skipif(not have_ffmpeg(), reason="needs ffmpeg")

LINK = "https://videos.example/watch?v=plan"
# starts between the source's keyframes (every 2 s); Segment 2's narration outlasts its range
SEGMENTS = [
    {"start": "00:00:03.300", "end": "00:00:08.700", "voiceover": "The harbour wakes slowly."},
    {
        "start": "11.5",
        "end": "13",
        "voiceover": "Nobody could remember a winter as long as this one, not even the oldest.",
    },
    {"start": "00:17.1", "end": "00:25.9", "voiceover": "She read the letter twice."},
    {"start": "28.0", "end": "31.0", "voiceover": "A thin whistle carried over the valley."},
]


def _run(argv):
    return subprocess.run(argv, capture_output=True, text=True, timeout=300, check=True)


def _write(path, doc):
    path.write_text(json.dumps(doc, indent=2), encoding="utf-8")
    return str(path)


def _cli(*args):
    import sys

    return subprocess.run(
        [sys.executable, "-P", "-m", "kestro_core", *args],
        capture_output=True,
        text=True,
        timeout=300,
    )


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    folder = tmp_path_factory.mktemp("plan-source")
    return make_source_video(folder / "src.mp4", 40, "320x180", 25, 2)


@pytest.fixture(scope="module")
def bframe_source(tmp_path_factory):
    folder = tmp_path_factory.mktemp("plan-bframes")
    return make_bframe_source(folder / "src.mp4", 40, "320x180", 25, 2)


@pytest.fixture
def segments(tmp_path):
    return _write(tmp_path / "segments.json", SEGMENTS)


def _piece(tmp_path, video, seg, narration):
    """One merged piece, made with the job's own two ffmpeg commands."""
    clip, merged = str(tmp_path / "clip.mp4"), str(tmp_path / "merged.mp4")
    _run(
        ["ffmpeg", "-y", "-loglevel", "error", "-ss", seg["start"], "-to", seg["end"]]
        + ["-i", video, "-c", "copy", "-an", clip]
    )
    _run(
        ["ffmpeg", "-y", "-loglevel", "error", "-i", clip, "-i", narration, "-map", "0:v"]
        + ["-map", "1:a", "-c:v", "copy", "-c:a", "aac", "-shortest", merged]
    )
    return duration(merged)


@pytest.mark.parametrize(
    ("kind", "speed", "exact"),
    [("plain", 1.5, False), ("bframes", 3.0, False), ("plain", 1.5, True)],
)
def test_plan_predicts_the_products_of_the_job(request, tmp_path, segments, kind, speed, exact):
    source = request.getfixturevalue("source" if kind == "plain" else "bframe_source")
    planned = kestro_core.plan(
        segments, speed, source=source, speech="espeak-ng", exact_joins=exact
    )
    out = tmp_path / "out"
    out.mkdir()
    short = kestro_core.make_short(
        segments, speed, source=source, speech="espeak-ng", output_dir=str(out), exact_joins=exact
    )
    assert short.narrations_made == 0  # the plan spoke them all into the cache
    if exact:  # the job cut from the exact encode: no piece holds picture from before start
        assert abs(duration(short.horizontal) - planned.horizontal) <= 0.1
        # Segment 2 would keep 1.5 s of narration more from picture before its start
        assert planned.segments[1].piece < planned.segments[1].range + 0.1
        real = duration(short.vertical)
        assert abs(real - planned.vertical) <= max(0.02 * real, 0.25)
        return

    voice = open_voice("espeak-ng", None)
    cache = Cache()
    for seg, doc in zip(planned.segments, SEGMENTS, strict=True):
        narration = cache.get_narration(Cache.narration_key(voice.identity, doc["voiceover"]))
        assert abs(_piece(tmp_path, source, doc, narration) - seg.piece) <= 0.1, seg
    assert abs(duration(short.horizontal) - planned.horizontal) <= 0.1
    real = duration(short.vertical)
    assert abs(real - planned.vertical) <= max(0.02 * real, 0.25)

    # Segment 2 starts 1.5 s after a keyframe: the merge keeps 1.5 s more than its range
    cut = planned.segments[1]
    assert cut.preroll == pytest.approx(1.5)
    assert cut.piece > cut.range + 1.4 and cut.held > 1.4
    assert cut.cut_off > 1.0
    assert [p.startswith("Segment 2: narration cut off") for p in planned.problems] == [True]


# start, end, narration -> what the merge kept (measured with ffmpeg 5.1: 25 fps, a keyframe
# every 2 s); a piece keeps narration for the picture from the keyframe before "start" on
@pytest.mark.parametrize(
    ("start", "end", "narration", "measured"),
    [
        (6.0, 6.5, 3.0, 0.558),
        (7.0, 7.5, 3.0, 1.533),
        (7.7, 9.2, 5.3, 3.228),
        (6.3, 11.3, 5.3, 5.300),
        (7.7, 9.2, 1.0, 1.000),
    ],
)
def test_segment_plan_matches_measured_merges(start, end, narration, measured):
    seg = segment_plan(1, start, end, narration, [0.0, 2.0, 4.0, 6.0, 8.0], frame=0.04)
    assert seg.piece == pytest.approx(measured, abs=0.05)
    assert seg.preroll == pytest.approx(start - 6.0)


def test_empty_range_is_refused_with_what_to_do(tmp_path, source):
    seg = segment_plan(3, 5.0, 5.0, 2.0, [0.0])
    assert seg.piece == 0 and seg.cut_off == 2.0
    assert seg.problems() == [
        'Segment 3: the range is empty ("end" is not after "start"): move "end" to at least '
        "0:00:07.000 for the whole narration"
    ]
    empty = _write(tmp_path / "empty.json", [{"start": "5", "end": "5", "voiceover": "Hello."}])
    with pytest.raises(CheckFailed, match='Segment 1 "end": "5" is not after "start"'):
        kestro_core.plan(empty, 1.5, source=source, speech="espeak-ng")


def test_silent_narration_is_a_problem_and_the_plan_reports_its_steps(tmp_path, source):
    doc = [
        {"start": "1", "end": "3", "voiceover": "..."},
        {"start": "4", "end": "6", "voiceover": "Hi."},
    ]
    events = []
    planned = kestro_core.plan(
        _write(tmp_path / "s.json", doc),
        1,
        source=source,
        speech="espeak-ng",
        progress=events.append,
    )
    steps = [(e.step, e.index, e.total) for e in events]
    assert steps == [("check", None, None), ("narrate", 1, 2), ("narrate", 2, 2)]
    assert planned.segments[0].silent and not planned.segments[1].silent
    assert planned.problems == [
        "Segment 1: the narration comes out as silence (the voice finds nothing to say in "
        'it): write words in its "voiceover"'
    ]


def test_link_plans_without_keyframes_until_the_download_is_cached(tmp_path, source, segments):
    planned = kestro_core.plan(segments, 1.5, link=LINK, speech="espeak-ng", exact_joins=False)
    assert [s.preroll for s in planned.segments] == [None] * 4
    assert len(planned.notes) == 1 and "keyframes" in planned.notes[0]
    # without keyframes the cut is taken to start at "start": the narration fills the range
    assert planned.segments[1].piece == pytest.approx(1.54, abs=0.01)

    cache = Cache()
    cache.put_download(Cache.download_key(LINK), source)
    again = kestro_core.plan(segments, 1.5, link=LINK, speech="espeak-ng", exact_joins=False)
    assert [round(s.preroll, 2) for s in again.segments] == [1.3, 1.5, 1.1, 0.0]
    assert again.notes == []


@pytest.mark.parametrize(
    ("probe", "made_of", "message"),
    [
        (probe_source, "text", "cannot read the keyframes of"),
        (measure_narration, "text", "cannot read the narration"),
        (measure_narration, "picture", "holds no audio"),
    ],
)
def test_a_failed_probe_is_a_plan_error(tmp_path, source, probe, made_of, message):
    path = tmp_path / "input.mp4"
    if made_of == "text":
        path.write_text("not a video\n", encoding="utf-8")
    else:
        _run(["ffmpeg", "-v", "error", "-i", source, "-an", "-c", "copy", "-t", "2", str(path)])
    with pytest.raises(PlanError, match=message):
        probe(str(path))


# ---------------------------------------------------------------------------------------
# fit
# ---------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("original", "us", "written"),
    [
        ("00:01:05.500", 66_200_000, "00:01:06.200"),
        ("0:00:03", 7_100_000, "0:00:07.1"),
        ("65.5", 66_200_000, "66.2"),
        ("65", 66_000_000, "66"),
        ("65.25s", 70_100_000, "70.10s"),
        ("01:05.5", 66_200_000, "01:06.2"),
        ("59:59.5", 3_600_100_000, "01:00:00.100"),
    ],
)
def test_fit_writes_end_in_the_form_it_had(original, us, written):
    assert format_like(original, us) == written
    assert parse_time(written) == us


def test_fit_moves_only_cut_off_ends_and_the_fitted_file_plans_clean(tmp_path, source, segments):
    doc = [dict(s, extra=i) for i, s in enumerate(SEGMENTS)]  # other keys kept in order
    _write(tmp_path / "segments.json", doc)
    before = open(segments, encoding="utf-8").read()
    planned = kestro_core.plan(segments, 1.5, source=source, speech="espeak-ng")
    out = tmp_path / "fitted.json"
    result = fit(segments, planned, out)
    assert open(segments, encoding="utf-8").read() == before
    fitted = json.loads(out.read_text(encoding="utf-8"))
    need = 11.5 + planned.segments[1].narration
    assert result.moved == [f'Segment 2: "end" 13 -> {fitted[1]["end"]}']
    assert need <= float(fitted[1]["end"]) < need + 0.1
    assert [list(s) for s in fitted] == [list(s) for s in doc]
    assert [s for i, s in enumerate(fitted) if i != 1] == [s for i, s in enumerate(doc) if i != 1]
    again = kestro_core.plan(str(out), 1.5, source=source, speech="espeak-ng")
    assert again.problems == []
    assert all(s.cut_off == 0 for s in again.segments)
    assert again.segments[1].loss() == ""  # the fit's rounding up is no loss


def test_fit_past_the_end_of_the_source_is_a_problem(tmp_path, source):
    # one Segment a line, unicode as written: an unmoved file comes out byte for byte
    text = (
        '[\n  {"start": "38.5", "end": "39.5", "voiceover": "%s"},\n'
        '  {"start": "1", "end": "9", "voiceover": "Ein Café."}\n]\n' % SEGMENTS[1]["voiceover"]
    )
    seg = tmp_path / "late.json"
    seg.write_text(text, encoding="utf-8")
    planned = kestro_core.plan(str(seg), 1, source=source, speech="espeak-ng")
    result = fit(seg, planned, tmp_path / "out.json")
    assert result.moved == []
    assert "past the end of the source video (0:00:40.000)" in result.problems[0]
    assert (tmp_path / "out.json").read_text(encoding="utf-8") == text


@pytest.mark.parametrize("how", ["same", "hardlink", "symlink", "no-dir"])
def test_cli_fit_never_writes_over_the_segments_file(tmp_path, source, segments, how):
    before = open(segments, "rb").read()
    target = {
        "same": segments,
        "hardlink": str(tmp_path / "linked.json"),
        "symlink": str(tmp_path / "sym.json"),
        "no-dir": str(tmp_path / "missing" / "out.json"),
    }[how]
    if how == "hardlink":
        os.link(segments, target)
    elif how == "symlink":
        os.symlink(segments, target)
    done = _cli(
        "plan",
        segments,
        "--speed",
        "1.5",
        "--source",
        source,
        "--speech",
        "espeak-ng",
        "--fit",
        target,
    )
    assert done.returncode == 1
    expected = "does not exist" if how == "no-dir" else "refusing to write"
    assert expected in done.stderr and done.stderr.count("\n") == 1
    assert open(segments, "rb").read() == before
    assert not os.path.exists(tmp_path / "missing")


def test_cli_plan_json_and_usage_errors(source, segments):
    done = _cli(
        "plan",
        segments,
        "--speed",
        "1.5",
        "--source",
        source,
        "--speech",
        "espeak-ng",
        "--json",
        "--max-duration",
        "4",
    )
    assert done.returncode == 1
    doc = json.loads(done.stdout)
    assert {"range", "narration", "piece", "cut_off", "preroll"} <= set(doc["segments"][0])
    assert doc["vertical"] > 4 and any("longer than the 4 s" in p for p in doc["problems"])
    assert doc["exact_joins"] is True  # the default
    both = _cli("plan", segments, "--speed", "1", "--source", source, "--link", LINK)
    assert both.returncode == 2
    bad = _cli(
        "plan",
        str(segments) + ".missing",
        "--speed",
        "1",
        "--source",
        source,
        "--speech",
        "espeak-ng",
    )
    assert bad.returncode == 1 and bad.stdout.startswith(str(segments) + ".missing: 1 problem")


# ---------------------------------------------------------------------------------------
# exact joins
# ---------------------------------------------------------------------------------------


def test_plan_with_exact_joins_has_no_preroll_and_notes_the_cost(source, segments):
    planned = kestro_core.plan(segments, 1.5, source=source, speech="espeak-ng", exact_joins=True)
    assert [s.preroll for s in planned.segments] == [0.0] * 4
    assert planned.segments[1].piece == pytest.approx(1.54, abs=0.01)
    assert planned.notes[0].startswith("exact joins: 4 ranges encoded on their own (18.7 s")
