"""One job through ``make_short``: local sources, local voices, the cache, the namespace seam.

Real ffmpeg, real espeak-ng, real piper (where the extra is installed) and the real
``requests`` against the loopback stand-in services.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
import requests

import kestro_core
from kestro_core.speech.service import ServiceSpeaker

ROOT = Path(__file__).resolve().parent.parent
HAVE_TOOLS = all(shutil.which(p) for p in ("ffmpeg", "ffprobe", "espeak-ng"))
pytestmark = pytest.mark.skipif(not HAVE_TOOLS, reason="needs ffmpeg, ffprobe and espeak-ng")

SEGMENTS = [
    {"start": "00:00:00.5", "end": "00:00:02", "voiceover": "One.", "note": "kept"},
    {"start": "2.5", "end": "3.5", "voiceover": "Two."},
    {"start": "3.5", "end": "00:00:05", "voiceover": "Three."},
    {"start": "5", "end": "5.8", "voiceover": "Four."},
]
SEAM = ("_download_video", "_generate_tts", "time")
CAPTIONED = [
    "FINAL_KESTRO.mp4",
    "FINAL_KESTRO.srt",
    "FINAL_KESTRO.words.json",
    "horizontal_final.mp4",
    "horizontal_final.srt",
    "horizontal_final.words.json",
]


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    from tests.support.media import make_source_video

    return make_source_video(tmp_path_factory.mktemp("src") / "film.mp4", duration=6)


@pytest.fixture
def job_dir(tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    seg = tmp_path / "segments.json"
    seg.write_text(json.dumps(SEGMENTS), encoding="utf-8")
    return out, str(seg)


def seam_of(kc):
    return {name: kc.__dict__[name] for name in SEAM}


def duration(path):
    from tests.support.media import probe

    return float(probe(path)["format"]["duration"])


def have_piper():
    try:
        import piper  # noqa: F401

        from kestro_core.speech.piper import default_piper_voice
    except ImportError:
        return False
    return default_piper_voice() is not None


# ------------------------------------------------------------------------------------------
# one job per engine, from a local source
# ------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "speech",
    [
        "espeak-ng",
        pytest.param(
            "piper",
            marks=pytest.mark.skipif(
                not have_piper(), reason="the piper extra or its bundled voice is not installed"
            ),
        ),
    ],
)
def test_local_job_per_engine(kc, source, job_dir, speech, monkeypatch):
    out, seg = job_dir
    sleeps = []
    monkeypatch.setattr(kc, "time", type("T", (), {"sleep": staticmethod(sleeps.append)}))
    before = seam_of(kc)
    short = kestro_core.make_short(seg, 1.5, source=source, speech=speech, output_dir=out)
    assert seam_of(kc) == before
    assert sorted(os.listdir(out)) == CAPTIONED
    assert short.vertical == str(out / "FINAL_KESTRO.mp4")
    assert short.narrations_made == 4 and not short.downloaded
    assert sleeps == []  # no pause for a service that is not there
    assert duration(short.horizontal) > 1.5
    assert os.path.getsize(source) > 0 and os.stat(source).st_nlink == 1


# ------------------------------------------------------------------------------------------
# the cache makes a rerun resume: the service engine, through the stand-ins
# ------------------------------------------------------------------------------------------


@pytest.fixture
def standin(source, tmp_path):
    from demo.standin import StandIn
    from tests.support.media import make_narration

    failing = set()
    mp3 = Path(make_narration(tmp_path / "tone.mp3", 1)).read_bytes()

    def speak(text, voice):
        if text in failing:
            raise RuntimeError("the stand-in refuses")  # drops the connection
        return mp3

    with StandIn(source, make_mp3=speak) as server:
        server.failing = failing
        yield server


def test_rerun_after_a_failure_fetches_nothing_it_has(kc, standin, job_dir, monkeypatch):
    from demo.standin import RoutedRequests, ShortSleepTime

    out, seg = job_dir
    monkeypatch.setattr(kc, "requests", RoutedRequests(standin))
    monkeypatch.setattr(kc, "time", ShortSleepTime(long=3, short=0))
    link = "https://www.youtube.com/watch?v=resume"
    standin.failing.add("Three.")
    with pytest.raises(requests.exceptions.ConnectionError):
        kestro_core.make_short(seg, 2, link=link, voice="v1", output_dir=out)
    assert len(standin.job_hits) == 1 and len(standin.speech_hits) == 3
    assert {"movie.mp4", "merged_0.mp4", "merged_1.mp4"} <= set(os.listdir(out))

    standin.failing.clear()
    short = kestro_core.make_short(seg, 2, link=link, voice="v1", output_dir=out)
    assert len(standin.job_hits) == 1 and len(standin.file_hits) == 1  # nothing downloaded
    assert [h.json()["text"] for h in standin.speech_hits[3:]] == ["Three.", "Four."]
    assert short.narrations_made == 2 and not short.downloaded
    assert sorted(os.listdir(out)) == CAPTIONED

    # an edited narration is the only one spoken again; a damaged entry is made again
    SEGMENTS_EDITED = [dict(s) for s in SEGMENTS]
    SEGMENTS_EDITED[1]["voiceover"] = "Two, edited."
    Path(seg).write_text(json.dumps(SEGMENTS_EDITED), encoding="utf-8")
    from kestro_core.store.cache import Cache, default_cache_dir

    entry = Cache(default_cache_dir()).get_narration(
        Cache.narration_key(ServiceSpeaker(print, "v1").identity, "One.")
    )
    assert entry is not None
    with open(entry, "r+b") as f:
        f.truncate(10)
    short = kestro_core.make_short(seg, 2, link=link, voice="v1", output_dir=out)
    assert [h.json()["text"] for h in standin.speech_hits[5:]] == ["One.", "Two, edited."]
    assert short.narrations_made == 2 and len(standin.job_hits) == 1


# ------------------------------------------------------------------------------------------
# the seam: restored after success, failure and an interrupt; per-thread dispatch
# ------------------------------------------------------------------------------------------


@pytest.mark.parametrize("outcome", ["failure", "interrupt"])
def test_namespace_restored_when_a_job_ends_early(kc, source, job_dir, monkeypatch, outcome):
    out, seg = job_dir
    before = seam_of(kc)
    from kestro_core.speech import voices

    real_open = voices.open_voice

    def open_voice(*args, **kwargs):
        speaker = real_open(*args, **kwargs)
        real = speaker.synthesize

        def synthesize(text, output_file):
            if text == "Two.":
                raise KeyboardInterrupt if outcome == "interrupt" else OSError("engine died")
            real(text, output_file)

        speaker.synthesize = synthesize
        return speaker

    monkeypatch.setattr("kestro_core.speech.voices.open_voice", open_voice)
    with pytest.raises(KeyboardInterrupt if outcome == "interrupt" else OSError):
        kestro_core.make_short(seg, 1, source=source, speech="espeak-ng", output_dir=out)
    assert seam_of(kc) == before
    # no half narration anywhere: only the finished Segment and the source
    assert sorted(os.listdir(out)) == ["merged_0.mp4", "movie.mp4"]


def test_two_jobs_and_a_direct_call_on_three_threads(kc, source, tmp_path, monkeypatch):
    """Each job thread reaches its own source and voice; a direct run_kestro call on a
    third thread reaches what the namespace held before."""
    before = seam_of(kc)
    direct_tts = []

    def fake_tts(text, output_file, voice):  # the direct call's own narration
        from tests.support.media import make_narration

        direct_tts.append((text, voice))
        make_narration(output_file, 1)

    def fake_download(url, output_file):
        shutil.copyfile(source, output_file)

    monkeypatch.setattr(kc, "_generate_tts", fake_tts)
    monkeypatch.setattr(kc, "_download_video", fake_download)
    fake_time = type("T", (), {"sleep": staticmethod(lambda s: None)})
    monkeypatch.setattr(kc, "time", fake_time)
    results, errors = {}, []
    voices = {"a": "en-us", "b": "en-gb"}

    def one(name):
        try:
            out = tmp_path / name
            out.mkdir()
            seg = tmp_path / f"{name}.json"
            seg.write_text(json.dumps(SEGMENTS[:2]), encoding="utf-8")
            if name == "direct":
                results[name] = kc.run_kestro("link", str(seg), 1.0, "direct-voice", str(out))
            else:
                results[name] = kestro_core.make_short(
                    str(seg),
                    1.0,
                    source=source,
                    speech="espeak-ng",
                    voice=voices[name],
                    output_dir=out,
                )
        except BaseException as exc:  # reported below
            errors.append((name, exc))

    threads = [threading.Thread(target=one, args=(n,)) for n in ("a", "b", "direct")]
    for t in threads:
        t.start()
    for t in threads:
        t.join(240)
    assert errors == []
    assert direct_tts == [("One.", "direct-voice"), ("Two.", "direct-voice")]
    assert results["a"].narrations_made == 2 and results["b"].narrations_made == 2
    assert seam_of(kc) == {
        **before,
        "_generate_tts": fake_tts,
        "_download_video": fake_download,
        "time": fake_time,
    }
    for name in ("a", "b"):
        assert sorted(os.listdir(tmp_path / name)) == CAPTIONED
    assert sorted(os.listdir(tmp_path / "direct")) == ["FINAL_KESTRO.mp4", "horizontal_final.mp4"]


# ------------------------------------------------------------------------------------------
# bad input: one clear message, nothing of the user's touched
# ------------------------------------------------------------------------------------------


def cli(cwd, *args, timeout=120):
    env = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
    env["PYTHONIOENCODING"] = "utf-8"
    return subprocess.run(
        [sys.executable, "-P", "-m", "kestro_core", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


# each command line follows "run", its "segments.json --speed 1" and comes before
# "--output-dir out"; SRC is the generated source video
@pytest.mark.parametrize(
    "args, status, fragment",
    [
        ("LINK --source SRC", 2, "exactly one of LINK and --source"),
        ("--speech espeak-ng", 2, "exactly one of LINK and --source"),
        ("--source SRC --speech festival", 2, "invalid choice"),
        ("--source SRC", 2, "needs --voice"),
        ("--source nope.mp4 --speech espeak-ng", 1, "'nope.mp4' does not exist"),
        ("--source . --speech espeak-ng", 1, "is not a regular file"),
        ("--source segments.json --speech espeak-ng", 1, "not a video ffmpeg can read"),
        (
            "--source out/horizontal_final.mp4 --speech espeak-ng",
            1,
            "the job's own working file 'horizontal_final.mp4'",
        ),
        ("--source SRC --speech espeak-ng --voice xx-nosuch", 1, "xx-nosuch"),
        ("--source SRC --speech piper --voice missing.onnx", 1, "missing.onnx"),
    ],
)
def test_bad_input_is_refused_with_one_message(source, job_dir, args, status, fragment):
    out, seg = job_dir
    cwd = out.parent
    shutil.copyfile(source, out / "horizontal_final.mp4")
    before = {p: p.read_bytes() for p in (out / "horizontal_final.mp4", Path(seg))}
    words = args.split()
    if words[0] == "LINK":
        words = ["LINK", "segments.json", "--speed", "1", *words[1:]]
    else:
        words = ["segments.json", "--speed", "1", *words]
    argv = ["run", *(source if w == "SRC" else w for w in words), "--output-dir", "out"]
    done = cli(cwd, *argv)
    assert done.returncode == status, done.stderr
    assert fragment in done.stderr
    assert "Traceback" not in done.stderr
    assert {p: p.read_bytes() for p in before} == before
    assert os.listdir(out) == ["horizontal_final.mp4"]


def test_a_source_hard_linked_to_a_working_file_is_refused(source, job_dir):
    out, seg = job_dir
    os.link(source, out / "merged_3.mp4")
    with pytest.raises(kestro_core.CheckFailed, match=r"'merged_3\.mp4'"):
        kestro_core.make_short(seg, 1, source=source, speech="espeak-ng", output_dir=out)
    with pytest.raises(kestro_core.SourceError, match=r"'merged_3\.mp4'"):
        kestro_core.make_short(
            seg, 1, source=source, speech="espeak-ng", output_dir=out, check=False
        )
    assert sorted(os.listdir(out)) == ["merged_3.mp4"]


def test_an_empty_narration_for_a_local_engine(source, job_dir):
    out, seg = job_dir
    Path(seg).write_text(
        json.dumps([{"start": "1", "end": "2", "voiceover": " "}]), encoding="utf-8"
    )
    with pytest.raises(kestro_core.CheckFailed, match="narration is empty"):
        kestro_core.make_short(seg, 1, source=source, speech="espeak-ng", output_dir=out)
    with pytest.raises(kestro_core.VoiceError, match="empty"):
        kestro_core.make_short(
            seg, 1, source=source, speech="espeak-ng", output_dir=out, check=False
        )


def test_an_unwritable_cache_warns_once_and_the_job_runs(source, job_dir, tmp_path, caplog):
    out, seg = job_dir
    blocker = tmp_path / "a-file"
    blocker.write_text("not a directory")
    short = kestro_core.make_short(
        seg, 1, source=source, speech="espeak-ng", output_dir=out, cache_dir=blocker / "cache"
    )
    assert os.path.exists(short.vertical)
    # without a progress callback, a warning goes to the "kestro_core" logger
    logged = [r.getMessage() for r in caplog.records if r.name == "kestro_core"]
    warnings = [line for line in logged if "cache" in line]
    assert len(warnings) == 1 and "without it" in warnings[0]
    assert blocker.read_text() == "not a directory"


def test_ctrl_c_during_a_narration(source, job_dir, tmp_path):
    """SIGINT while espeak-ng speaks: exit 130, the failure paragraph, no half entry."""
    out, seg = job_dir
    Path(seg).write_text(
        json.dumps([{"start": "1", "end": "2", "voiceover": "word " * 3000}]), encoding="utf-8"
    )
    cache = tmp_path / "cache"
    child = subprocess.Popen(
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
            "--cache-dir",
            str(cache),
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, "PYTHONIOENCODING": "utf-8"},
    )
    try:
        deadline = time.monotonic() + 60
        while not (out / "movie.mp4").exists() and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)  # well into the long narration
        child.send_signal(signal.SIGINT)
        _, err = child.communicate(timeout=30)
    finally:
        child.kill()
    assert child.returncode == 130, err
    assert "KeyboardInterrupt" in err and "Segment 1 of 1" in " ".join(err.split())
    assert sorted(os.listdir(out)) == ["movie.mp4"]
    narrations = cache / "narrations"
    assert not narrations.exists() or os.listdir(narrations) == []
