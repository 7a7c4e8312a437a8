"""The command line: ``python -m kestro_core check|run``.

The checker is tried in-process; exit statuses, the refusal to start and the
runs against the local stand-in services go through real subprocesses
(``sys.executable -P -m kestro_core ...`` with the temporary directory as
working directory).
"""

import json
import math
import os
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from kestro_core.job.check import check, tempo_factors
from kestro_core.segments.timecode import parse_time

ROOT = Path(__file__).resolve().parent.parent
HAVE_TOOLS = all(shutil.which(p) for p in ("ffmpeg", "ffprobe", "wget"))
needs_tools = pytest.mark.skipif(not HAVE_TOOLS, reason="needs ffmpeg, ffprobe and wget")

GOOD = [
    {"start": "00:00:01", "end": "00:00:02", "voiceover": "First.", "comment": "ignored"},
    {"start": "2", "end": "3.5", "voiceover": "Second."},
]


def write(tmp_path, content, name="segments.json"):
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif isinstance(content, str):
        path.write_text(content, encoding="utf-8")
    else:
        path.write_text(json.dumps(content), encoding="utf-8")
    return str(path)


def found(report):
    return [(p.segment, p.key) for p in report]


def seg(**kw):
    base = {"start": "00:00:01", "end": "00:00:02", "voiceover": "Text."}
    base.update(kw)
    return {k: v for k, v in base.items() if v is not None}


# --------------------------------------------------------------------------
# the checker
# --------------------------------------------------------------------------


def test_good_file_passes_with_count_and_total(tmp_path):
    report = check(write(tmp_path, GOOD), speed=1.5, output_dir=str(tmp_path))
    assert list(report) == []
    assert report.segment_count == 2
    assert report.narrated_us == 2_500_000


@pytest.mark.parametrize(
    "content, expected, fragment",
    [
        (b"\xef\xbb\xbf" + json.dumps(GOOD).encode(), [(None, None)], "byte-order mark"),
        (b'[{"start": "1", "end": "2", "voiceover": "caf\xe9"}]', [(None, None)], "not UTF-8"),
        ('[{"start": "1", "end": "2",}]', [(None, None)], "not valid JSON"),
        ({"start": "1", "end": "2", "voiceover": "x"}, [(None, None)], "inside [ ]"),
        ([], [(None, None)], "no Segment"),
        ([seg(), ["1", "2", "x"]], [(2, None)], "is an array"),
        ([seg(), seg(start=None)], [(2, "start")], "missing"),
        ([seg(start=None, Start="00:00:01")], [(1, "start")], 'did you mean "start"?'),
        ([seg(voiceover=None, **{"Voice_Over": "x"})], [(1, "voiceover")], "did you mean"),
        ([seg(end=2)], [(1, "end")], 'write it in quotes: "2"'),
        (
            [
                seg(
                    voiceover=None,
                ),
                seg(voiceover=7),
            ],
            [(1, "voiceover"), (2, "voiceover")],
            "string",
        ),
        ([seg(start="1:75")], [(1, "start")], "not a time ffmpeg reads"),
        ([seg(), seg(start="00:00:09", end="00:00:08")], [(2, "end")], 'not after "start"'),
        ([seg(start="5", end="5")], [(1, "end")], 'not after "start"'),
        ([seg(voiceover=" \n\t")], [(1, "voiceover")], "narration is empty"),
    ],
)
def test_each_fault_names_segment_and_key(tmp_path, content, expected, fragment):
    report = check(write(tmp_path, content), output_dir=str(tmp_path))
    assert found(report) == expected
    assert fragment in report[-1].message


def test_missing_file_is_a_problem(tmp_path):
    report = check(str(tmp_path / "nope.json"), output_dir=str(tmp_path))
    assert found(report) == [(None, None)] and "cannot open" in report[0].message


def test_every_problem_is_reported_at_once_in_order(tmp_path):
    segments = [
        seg(start=None, START="1"),
        seg(),
        seg(start=65, end="1:60", voiceover=""),
        "text",
        seg(start="9", end="3"),
    ]
    report = check(write(tmp_path, segments), speed=0.3, output_dir=str(tmp_path / "gone" / "out"))
    assert found(report) == [
        (1, "start"),
        (3, "start"),
        (3, "end"),
        (3, "voiceover"),
        (4, None),
        (5, "end"),
        (None, None),
        (None, None),
    ]
    assert "atempo" in report[-2].message and "does not exist" in report[-1].message


@pytest.mark.parametrize(
    "speed, bad",
    [
        (0.25, True),
        (0.5, False),
        (2.0, False),
        (2.2, False),
        (100.0, False),
        (1000.0, False),
        (0.0, True),
        (-1.0, True),
        (math.nan, True),
        (math.inf, True),
        (3e6, True),
    ],
)
def test_speed_is_checked_against_the_atempo_range(tmp_path, speed, bad):
    report = check(write(tmp_path, GOOD), speed=speed, output_dir=str(tmp_path))
    assert bool(report) is bad


def test_tempo_factors_follow_the_chain_the_module_builds():
    kc = pytest.importorskip("kestro_core.kestro_core")
    for speed in (0.25, 1.0, 2.0, 2.2, 4.0, 5.0, 10.0, 1e9):
        chain = kc._build_atempo_chain(speed)
        assert [float(f.split("=")[1]) for f in chain.split(",")] == tempo_factors(speed)


def test_output_directory_faults(tmp_path):
    plain_file = write(tmp_path, "x", "file.txt")
    broken = tmp_path / "two\nlines"
    broken.mkdir()
    segments = write(tmp_path, GOOD)
    for out_dir, fragment in [
        (str(tmp_path / "missing" / "out"), "cannot be made in"),
        (plain_file, "not a directory"),
        (str(broken), "line break"),
    ]:
        report = check(segments, output_dir=out_dir)
        assert [p.segment for p in report] == [None]
        assert fragment in report[0].message


def test_programs_missing_from_path(tmp_path, monkeypatch):
    monkeypatch.setenv("PATH", str(tmp_path))
    report = check(write(tmp_path, GOOD), output_dir=str(tmp_path))
    assert [p.message for p in report] == [
        f"{name} is not on PATH: install it with: apt-get install {package}"
        for name, package in (("ffmpeg", "ffmpeg"), ("ffprobe", "ffmpeg"), ("wget", "wget"))
    ]


@pytest.mark.parametrize(
    "text, us",
    [
        ("65.5", 65_500_000),
        ("01:05.5", 65_500_000),
        ("00:01:05.500", 65_500_000),
        ("1:2:3", 3_723_000_000),
        ("1234:00:00", 4_442_400_000_000),
        ("-5", -5_000_000),
        ("5.", 5_000_000),
        ("5.1234567", 5_123_456),
        ("5s", 5_000_000),
        ("1.5ms", 1_500),
        ("7us", 7),
        ("+5", 5_000_000),
        (".5", None),
        ("100:00", None),
        ("00:60", None),
        ("1:60:00", None),
        ("12345:00:00", None),
        ("5m", None),
        ("5e3", None),
        ("1,5", None),
        ("", None),
        ("5 ", None),
        ("9999999999999", None),
        ("5\x00", None),
    ],
)
def test_time_syntax(text, us):
    assert parse_time(text) == us


@needs_tools
def test_time_syntax_agrees_with_local_ffmpeg():
    for text in (".5", "100:00", "1234:00:00", "01:05s", "9223372036855", "-00:01"):
        done = subprocess.run(
            [
                "ffmpeg",
                "-hide_banner",
                "-v",
                "error",
                "-ss",
                text,
                "-f",
                "lavfi",
                "-i",
                "nullsrc=s=16x16:d=0.04",
                "-frames:v",
                "1",
                "-f",
                "null",
                "-",
            ],
            capture_output=True,
        )
        assert (done.returncode == 0) == (parse_time(text) is not None), text


# --------------------------------------------------------------------------
# media and stand-ins
# --------------------------------------------------------------------------


@pytest.fixture(scope="module")
def media(tmp_path_factory):
    if not HAVE_TOOLS:
        pytest.skip("needs ffmpeg, ffprobe and wget")
    from tests.support.media import make_narration, make_source_video

    d = tmp_path_factory.mktemp("media")
    source = make_source_video(d / "source.mp4", duration=4, size="320x180")
    mp3 = Path(make_narration(d / "narration.mp3", 1)).read_bytes()
    return source, mp3


def test_source_ranges_must_lie_inside_the_video(tmp_path, media):
    source, _ = media
    segments = [seg(), seg(start="3", end="00:00:05"), seg(start="4.5", end="6")]
    report = check(write(tmp_path, segments), output_dir=str(tmp_path), source=source)
    assert found(report) == [(2, "end"), (3, "start")]
    assert "0:00:04.000" in report[0].message


# --------------------------------------------------------------------------
# the command line, in subprocesses
# --------------------------------------------------------------------------


def clean_env():
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env.update(NO_PROXY="127.0.0.1,localhost", PYTHONIOENCODING="utf-8")
    return env


def cli(cwd, *args):
    return subprocess.run(
        [sys.executable, "-P", "-m", "kestro_core", *args],
        cwd=cwd,
        env=clean_env(),
        capture_output=True,
        text=True,
        timeout=120,
    )


@needs_tools
def test_exit_statuses(tmp_path):
    write(tmp_path, GOOD)
    done = cli(tmp_path, "check", "segments.json", "--speed", "2")
    assert done.returncode == 0, done.stderr
    assert "2 Segments" in done.stdout and "2.5 s" in done.stdout

    write(tmp_path, [seg(start="x"), seg(end=3)], "bad.json")
    done = cli(tmp_path, "check", "bad.json")
    assert done.returncode == 1
    assert 'Segment 1 "start"' in done.stdout and 'Segment 2 "end"' in done.stdout

    for args in (
        [],
        ["check"],
        ["frobnicate"],
        ["check", "segments.json", "--speed", "fast"],
        ["run", "LINK", "segments.json", "--speed", "2"],
    ):
        assert cli(tmp_path, *args).returncode == 2, args


# A test-only launcher: routes the module's fixed https origins to the
# stand-in (whose origin is argv[1]), cuts the 3-second poll sleeps, then runs
# the command line's main() with the remaining arguments.
LAUNCHER = textwrap.dedent("""\
    import sys, types
    sys.path.insert(0, {root!r})
    from demo.standin import RoutedRequests, ShortSleepTime
    import kestro_core.kestro_core as kc
    kc.requests = RoutedRequests(types.SimpleNamespace(origin=sys.argv[1]))
    kc.time = ShortSleepTime(long=3, short=0)
    from kestro_core.cli.main import main
    sys.exit(main(sys.argv[2:]))
""")


@pytest.fixture
def routed(tmp_path, media):
    pytest.importorskip("kestro_core.kestro_core")
    from demo.standin import StandIn

    source, mp3 = media
    launcher = tmp_path / "launch.py"
    launcher.write_text(LAUNCHER.format(root=str(ROOT)), encoding="utf-8")
    out = tmp_path / "out"
    out.mkdir()
    with StandIn(source, make_mp3=lambda text, voice: mp3) as standin:

        def run(*args):
            argv = [
                sys.executable,
                "-P",
                str(launcher),
                standin.origin,
                "run",
                "https://www.youtube.com/watch?v=abc",
                *args,
                "--output-dir",
                "out",
            ]
            return subprocess.run(
                argv, cwd=tmp_path, env=clean_env(), capture_output=True, text=True, timeout=300
            )

        yield standin, run, out


def test_run_refuses_a_bad_file_before_any_request(tmp_path, routed):
    standin, run, out = routed
    write(tmp_path, [seg(), seg(Start="3", start=None)])
    done = run("segments.json", "--speed", "0.4", "--voice", "v1")
    assert done.returncode == 1
    assert 'Segment 2 "start"' in done.stderr and "atempo" in done.stderr
    assert "not started" in done.stderr
    assert standin.log == []
    assert os.listdir(out) == []


def test_run_end_to_end(tmp_path, routed):
    standin, run, out = routed
    write(tmp_path, GOOD)
    done = run("segments.json", "--speed", "2", "--voice", "v1")
    assert done.returncode == 0, done.stderr
    assert "✅ Done! Vertical Output: " + os.path.join("out", "FINAL_KESTRO.mp4") in done.stdout
    assert sorted(os.listdir(out)) == [
        "FINAL_KESTRO.mp4",
        "FINAL_KESTRO.srt",
        "FINAL_KESTRO.words.json",
        "horizontal_final.mp4",
        "horizontal_final.srt",
        "horizontal_final.words.json",
    ]
    assert [h.json()["voice"] for h in standin.speech_hits] == ["v1", "v1"]
    assert len(standin.job_hits) == 1 and len(standin.file_hits) == 1
    from tests.support.media import dimensions

    assert dimensions(out / "FINAL_KESTRO.mp4") == (1080, 1920)


def test_failure_paragraph_names_step_error_and_files_left(tmp_path, routed):
    standin, run, out = routed
    write(tmp_path, [{"start": 1, "end": "00:00:02", "voiceover": "One."}])
    done = run("segments.json", "--speed", "1", "--voice", "v1", "--no-check")
    assert done.returncode == 1
    paragraph = " ".join(done.stderr.split())
    assert "failed at Segment 1 of 1" in paragraph
    assert "TypeError:" in paragraph
    assert "Working files left in" in paragraph and "movie.mp4, voice_0.mp3." in paragraph
    assert sorted(os.listdir(out)) == ["movie.mp4", "voice_0.mp3"]


def test_failure_paragraph_carries_the_service_message(tmp_path, routed):
    standin, run, out = routed
    standin.speech_status = 503
    write(tmp_path, GOOD)
    done = run("segments.json", "--speed", "1", "--voice", "v9")
    assert done.returncode == 1
    paragraph = " ".join(done.stderr.split())
    assert "failed at Segment 1 of 2, the narration:" in paragraph
    assert "Exception: TTS failed for voice v9: HTTP 503" in paragraph
    assert "movie.mp4." in paragraph
