"""A job's steps as events, and the one description of a job that every entry point builds.

Real ffmpeg and espeak-ng on a small generated source.
"""

import inspect
import io
import json
import logging
import os
import shutil
import subprocess
import sys

import pytest

import kestro_core
from kestro_core import jobs
from kestro_core.cli import main as cli
from kestro_core.cli.display import Display
from kestro_core.job.events import NOTE, WARNING, Event, Reporter
from kestro_core.options import RUN_FLAGS, JobOptions, run_argv

HAVE_TOOLS = all(shutil.which(p) for p in ("ffmpeg", "ffprobe", "espeak-ng"))
needs_tools = pytest.mark.skipif(not HAVE_TOOLS, reason="needs ffmpeg, ffprobe and espeak-ng")

SEGMENTS = [
    {"start": "0.5", "end": "2", "voiceover": "One."},
    {"start": "2.5", "end": "3.5", "voiceover": "Two."},
    {"start": "3.5", "end": "5", "voiceover": "Three."},
]


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    from tests.support.media import make_source_video

    return make_source_video(tmp_path_factory.mktemp("src") / "film.mp4", duration=6)


@pytest.fixture
def job(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    seg = tmp_path / "segments.json"
    seg.write_text(json.dumps(SEGMENTS), encoding="utf-8")
    return out, str(seg)


def test_every_entry_point_takes_exactly_the_job_options():
    fields = set(JobOptions.field_names())
    keywords = set(inspect.signature(kestro_core.make_short).parameters) - {"progress"}
    assert keywords == fields
    # the plan takes the job's own options, less where the products would go
    planned = set(inspect.signature(kestro_core.plan).parameters)
    assert planned - {"max_duration", "progress"} == fields - {
        "output_dir",
        "check",
        "captions",
        "burn_captions",
        "finish",
        "caption_style",
        "music",
        "music_level",
        "timeline",
        "timeline_format",
    }
    assert set(jobs.SPEC_KEYS) == fields - {"output_dir"} | {"output_root"}
    assert set(RUN_FLAGS) == fields
    done = subprocess.run(
        [sys.executable, "-P", "-m", "kestro_core", "run", "--help"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    flags = [f for f in RUN_FLAGS.values() if f.startswith("--")]
    assert [f for f in flags if f not in done.stdout] == []
    # and the studio's render command reads back as the options it was made from
    options = JobOptions(
        "s.json",
        1.5,
        source="f.mp4",
        speech="espeak-ng",
        use_cache=False,
        burn_captions=True,
        captions=False,
        cache_limit=5,
        output_dir="out",
    )
    parsed = cli._parser().parse_args(run_argv(options))
    assert (parsed.no_cache, parsed.no_captions, parsed.burn_captions, parsed.cache_limit) == (
        True,
        True,
        True,
        5,
    )


@needs_tools
def test_a_job_reports_its_steps_in_order(source, job):
    out, seg = job
    seen: list[Event] = []
    kestro_core.make_short(
        seg,
        2,
        source=source,
        speech="espeak-ng",
        output_dir=out,
        burn_captions=True,
        use_cache=False,
        progress=seen.append,
    )
    notes = [e.message for e in seen if e.step == NOTE]
    # the job's own lines are notes, which start no step: the local video first, then
    # the software encoder where the burn's hardware one fails
    assert notes[0] == f"📥 Using the local video {os.path.realpath(source)}"
    assert set(notes[1:]) <= {"  (GPU unavailable, using CPU encoder...)"}
    starts = []
    for event in (e for e in seen if e.step != NOTE):
        if not starts or (starts[-1].step, starts[-1].index) != (event.step, event.index):
            starts.append(event)
    steps = [e.step for e in starts]
    per_segment = ["narrate", "cut", "merge"]
    assert steps == [
        "check",
        "download",
        "read",
        *per_segment * 3,
        "join",
        "export",
        "captions",
        "burn",
    ]
    assert [(e.index, e.total) for e in starts if e.step == "narrate"] == [(1, 3), (2, 3), (3, 3)]
    for step in ("export", "burn"):
        fractions = [e.fraction for e in seen if e.step == step]
        assert fractions == sorted(fractions) and fractions[-1] == 1.0, (step, fractions)
        assert len(fractions) >= 2


@needs_tools
def test_a_callback_that_raises_stops_the_job_with_its_error(source, job):
    out, seg = job

    class Stop(Exception):
        pass

    def progress(event):
        if event.step == "merge" and event.index == 2:
            raise Stop

    with pytest.raises(Stop):
        kestro_core.make_short(
            seg,
            1,
            source=source,
            speech="espeak-ng",
            output_dir=out,
            use_cache=False,
            progress=progress,
        )
    left = sorted(p.name for p in out.iterdir())
    # the merged piece of the finished Segment is kept, nothing after the merge ran
    assert "merged_0.mp4" in left and "merged_1.mp4" not in left
    assert "horizontal_final.mp4" not in left


@needs_tools
def test_a_failing_ffmpeg_is_named_by_its_step(source, job, tmp_path):
    out, seg = job
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    # an ffmpeg that fails the join and nothing else
    real = shutil.which("ffmpeg")
    fake = bin_dir / "ffmpeg"
    fake.write_text(
        "#!/bin/sh\n"
        'for a in "$@"; do [ "$a" = concat ] && { echo "join refused" >&2; exit 1; }; done\n'
        f'exec {real} "$@"\n'
    )
    fake.chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", PYTHONIOENCODING="utf-8")
    done = subprocess.run(
        [
            sys.executable,
            "-P",
            "-m",
            "kestro_core",
            "run",
            seg,
            "--speed",
            "1",
            "--source",
            source,
            "--speech",
            "espeak-ng",
            "--output-dir",
            str(out),
            "--no-cache",
        ],
        capture_output=True,
        text=True,
        timeout=300,
        env=env,
    )
    assert done.returncode == 1
    paragraph = " ".join(done.stderr.split())
    assert "failed at the concatenation: CalledProcessError" in paragraph
    assert "merged_0.mp4, merged_1.mp4, merged_2.mp4" in paragraph


@pytest.mark.parametrize("mode", ["lines", "json", "quiet"])
def test_the_display_writes_notes_where_the_jobs_own_lines_go(mode):
    events, notes = io.StringIO(), io.StringIO()
    display = Display(events, mode, notes=notes)
    with display:
        display(Event("download", "Fetching the video", fraction=0.0))
        display(Event(NOTE, "📥 Using the local video /v.mp4"))
        display(Event(WARNING, "Segment 1: a warning"))
    assert notes.getvalue() == "📥 Using the local video /v.mp4\n"
    assert "local video" not in events.getvalue()
    assert "Segment 1: a warning" in events.getvalue()
    # neither a note nor a warning is a step: a failure is still named by the download
    assert display.last is not None and display.last.step == "download"


def test_without_a_callback_warnings_and_notes_are_logged_not_printed(caplog, capsys):
    reporter = Reporter()
    with caplog.at_level(logging.INFO, logger="kestro_core"):
        reporter.step("check", "Checking the job")
        reporter.note("📥 Using the local video /v.mp4")
        reporter.warn("Segment 1: a warning")
    assert [(r.levelname, r.getMessage()) for r in caplog.records] == [
        ("INFO", "📥 Using the local video /v.mp4"),
        ("WARNING", "Segment 1: a warning"),
    ]
    assert capsys.readouterr() == ("", "")
    assert reporter.last is not None and reporter.last.step == "check"


@needs_tools
def test_run_says_each_step_once(source, job):
    out, seg = job
    done = subprocess.run(
        [sys.executable, "-P", "-m", "kestro_core", "run", seg, "--speed", "1.5"]
        + ["--source", source, "--speech", "espeak-ng", "--output-dir", str(out)]
        + ["--no-cache", "--finish"],
        capture_output=True,
        text=True,
        timeout=600,
        env=dict(os.environ, PYTHONIOENCODING="utf-8"),
    )
    assert done.returncode == 0, done.stderr
    stdout, stderr = done.stdout.splitlines(), done.stderr.splitlines()
    both = stdout + stderr
    for said in ("Writing the captions", "Finishing the short"):
        assert sum(said in line for line in both) == 1, (said, both)
    # every step a line of stderr, said once; the job's own lines on stdout, not again there
    assert len(stderr) == len(set(stderr)), stderr
    assert set(stdout) & set(stderr) == set()
    local = f"📥 Using the local video {os.path.realpath(source)}"
    assert [line for line in both if "Using the local video" in line] == [local]
    assert local in stdout
