"""Hostile services and hostile child processes.

Services: a raw-socket server on 127.0.0.1 stands in for both services and
misbehaves; the module's `requests` is a thin stand-in that routes the fixed
https origins there and shortens the timeout it forwards to the real
`requests`. Every failure must reach the caller as the HTTP library's own
exception, nothing may wait beyond the timeouts, and no file may be touched.

Child processes: stand-in `ffmpeg` and `wget` scripts first on PATH exit
non-zero, die by a signal, write part of their output and fail, or are not
there at all; the exception and the files left on disk are checked.
"""

import json
import os
import stat
import subprocess
import time
import traceback
from types import SimpleNamespace

import pytest
import requests

from tests.support import rawserver
from tests.support.entries import module_entries
from tests.support.rawserver import RawServer

ORIGINS = ("https://api.fetchbox.example", "https://voicecast.example")
TIMEOUT = 0.5  # what the stand-in forwards instead of the module's 30, 15 and 60 seconds
BOUND = 8.0  # no case may take this long; the slowest waits for two timeouts
BROWSER_UA = (
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 "
    "(KHTML, like Gecko) Chrome/144.0.0.0 Safari/537.36"
)
LINK = "https://www.youtube.com/watch?v=hostile"


class Shortened:
    """The module's `requests`: the real library, reached through the raw
    server's origin, with a short timeout. The exception a real call raised is
    kept, so a test can check that the caller gets that very object."""

    def __init__(self, server):
        self.server = server
        self.calls = []
        self.raised = None

    def _route(self, url):
        for origin in ORIGINS:
            if url.startswith(origin):
                return self.server.origin + url[len(origin) :]
        return url

    def _forward(self, send, url, kwargs):
        self.calls.append((url, kwargs))
        kwargs = dict(kwargs, timeout=TIMEOUT)
        try:
            return send(self._route(url), **kwargs)
        except Exception as exc:
            self.raised = exc
            raise

    def get(self, url, **kwargs):
        return self._forward(requests.get, url, kwargs)

    def post(self, url, **kwargs):
        return self._forward(requests.post, url, kwargs)


class NoProcess:
    """The module's `subprocess` where no child may be started."""

    def __init__(self):
        self.runs = []

    def run(self, *args, **kwargs):
        self.runs.append(args)
        raise AssertionError(f"a child process was started: {args}")


@pytest.fixture(autouse=True)
def loopback_only(monkeypatch):
    for name in (
        "http_proxy",
        "https_proxy",
        "HTTP_PROXY",
        "HTTPS_PROXY",
        "ALL_PROXY",
        "all_proxy",
    ):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1")


def serve(routes):
    return RawServer(routes, lifetime=BOUND + 5)


def module_entry(exc, name):
    import kestro_core.kestro_core as kc

    return module_entries(exc, getattr(kc, name))


def innermost_in_requests(exc):
    """The exception was raised inside the HTTP library (requests or urllib3),
    not made up on the way out."""
    last = traceback.extract_tb(exc.__traceback__)[-1]
    return (
        f"{os.sep}requests{os.sep}" in last.filename or f"{os.sep}urllib3{os.sep}" in last.filename
    )


def snapshot(path):
    st = os.stat(path)
    with open(path, "rb") as f:
        return f.read(), st.st_mtime_ns, st.st_size


# --------------------------------------------------------------------------
# hostile services
# --------------------------------------------------------------------------

HOSTILE = [
    ("silence", rawserver.silence, requests.exceptions.ReadTimeout),
    ("trickled head", rawserver.trickled_head, requests.exceptions.ReadTimeout),
    # a read timeout inside the body is reported by the library as a ConnectionError
    ("trickled body", rawserver.trickled_body, requests.exceptions.ConnectionError),
    ("html page", rawserver.html_page, requests.exceptions.JSONDecodeError),
    (
        "truncated chunked body",
        rawserver.truncated_chunked,
        requests.exceptions.ChunkedEncodingError,
    ),
    ("redirect loop", rawserver.redirect_loop, requests.exceptions.TooManyRedirects),
    ("connection reset", rawserver.reset, requests.exceptions.ConnectionError),
]
IDS = [h[0] for h in HOSTILE]


def check_library_error(info, expected, routed):
    exc = info.value
    assert type(exc) is expected, f"{type(exc).__name__}: {exc}"
    assert innermost_in_requests(exc)
    if routed.raised is not None:
        # raised by requests.get/post itself: the caller holds that very object
        assert exc is routed.raised
    else:
        # raised later, by the response's json()
        assert expected is requests.exceptions.JSONDecodeError


def download_against(kc, monkeypatch, server, out, sleep):
    """_download_video run against `server` with no child process and `sleep` as time.sleep:
    the exception it raised, the time it took, the routed requests and the process recorder."""
    routed = Shortened(server)
    processes = NoProcess()
    monkeypatch.setattr(kc, "requests", routed)
    monkeypatch.setattr(kc, "subprocess", processes)
    monkeypatch.setattr(kc, "time", SimpleNamespace(sleep=sleep))
    started = time.monotonic()
    with pytest.raises(Exception) as info:
        kc._download_video(LINK, str(out))
    return info, time.monotonic() - started, routed, processes


@pytest.mark.parametrize("name,behaviour,expected", HOSTILE, ids=IDS)
def test_job_request(kc, monkeypatch, tmp_path, capsys, name, behaviour, expected):
    out = tmp_path / "movie.mp4"
    out.write_bytes(b"left from before")
    before = snapshot(out)
    with serve({"/ajax/": behaviour}) as server:
        info, elapsed, routed, processes = download_against(
            kc, monkeypatch, server, out, lambda s: None
        )
    assert server.alive_threads() == []
    check_library_error(info, expected, routed)
    assert len(module_entry(info.value, "_download_video")) == 1
    assert elapsed < BOUND
    assert routed.calls[0][0].startswith("https://api.fetchbox.example/ajax/download.php?")
    assert processes.runs == []
    assert snapshot(out) == before
    assert "Processing job" not in capsys.readouterr().out


@pytest.mark.parametrize("name,behaviour,expected", HOSTILE, ids=IDS)
def test_poll(kc, monkeypatch, tmp_path, capsys, name, behaviour, expected):
    """The job is accepted; the progress URL it names misbehaves."""
    out = tmp_path / "movie.mp4"
    sleeps = []
    with serve({}) as server:
        server.routes["/ajax/"] = rawserver.json_answer(
            '{"success": true, "id": 5, "progress_url": "%s/progress/5"}' % server.origin
        )
        server.routes["/progress/"] = behaviour
        info, elapsed, routed, processes = download_against(
            kc, monkeypatch, server, out, sleeps.append
        )
    assert server.alive_threads() == []
    check_library_error(info, expected, routed)
    assert elapsed < BOUND
    # one poll, not retried; no sleep after it and no file
    assert sleeps == [3]
    assert [c[0].split("?")[0] for c in routed.calls] == [
        "https://api.fetchbox.example/ajax/download.php",
        server.origin + "/progress/5",
    ]
    assert processes.runs == []
    assert not out.exists()
    assert "⏳ Processing job 5..." in capsys.readouterr().out


@pytest.mark.parametrize("name,behaviour,expected", HOSTILE, ids=IDS)
def test_speech(kc, monkeypatch, tmp_path, name, behaviour, expected):
    out = tmp_path / "voice_0.mp3"
    out.write_bytes(b"an older narration")
    before = snapshot(out)
    with serve({"/api/generate-audio-frontend": behaviour}) as server:
        routed = Shortened(server)
        monkeypatch.setattr(kc, "requests", routed)
        started = time.monotonic()
        with pytest.raises(Exception) as info:
            kc._generate_tts("Nobody expects it.", str(out), "en-US-Voice")
        elapsed = time.monotonic() - started
    assert server.alive_threads() == []
    check_library_error(info, expected, routed)
    assert len(module_entry(info.value, "_generate_tts")) == 1
    assert elapsed < BOUND
    assert server.requests[0].method == "POST"
    assert json.loads(server.requests[0].body) == {
        "text": "Nobody expects it.",
        "voice": "en-US-Voice",
    }
    assert snapshot(out) == before


def test_speech_missing_file_is_not_created(kc, monkeypatch, tmp_path):
    out = tmp_path / "voice_0.mp3"
    with serve({"/api/": rawserver.silence}) as server:
        monkeypatch.setattr(kc, "requests", Shortened(server))
        with pytest.raises(requests.exceptions.ReadTimeout):
            kc._generate_tts("text", str(out), "voice")
    assert not out.exists()


# --------------------------------------------------------------------------
# hostile child processes
# --------------------------------------------------------------------------

FFMPEG = r"""#!/bin/sh
# stand-in ffmpeg: logs the file it is asked to write, then writes it or fails
for a in "$@"; do last=$a; done
name=${last##*/}
case " $* " in *" h264_nvenc "*) step=gpu;; *) step=run;; esac
printf '%s %s\n' "$step" "$name" >> "$STANDIN_LOG"
[ "$step" = gpu ] && exit 1
if [ "$name" = "$STANDIN_FAIL_ON" ]; then
  case "$STANDIN_FAIL_MODE" in
    exit) exit 3;;
    signal) kill -9 $$;;
    partial) printf partial > "$last"; exit 1;;
  esac
fi
printf '%s' "$name" > "$last"
"""

WGET = r"""#!/bin/sh
# stand-in wget: the output file is the third argument ("-q" "-O" FILE)
printf 'wget %s\n' "$*" >> "$STANDIN_LOG"
case "$STANDIN_FAIL_MODE" in
  exit) exit 4;;
  signal) kill -9 $$;;
  partial) printf partial > "$3"; exit 8;;
esac
printf video > "$3"
"""

RETURNCODE = {"exit": 3, "signal": -9, "partial": 1}
WGET_RETURNCODE = {"exit": 4, "signal": -9, "partial": 8}


@pytest.fixture
def standins(tmp_path, monkeypatch):
    """A bin directory with the stand-ins, first on PATH; returns a setter for
    the failure and a reader of the invocation log."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, text in (("ffmpeg", FFMPEG), ("wget", WGET)):
        path = bin_dir / name
        path.write_text(text)
        path.chmod(path.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)
    log = tmp_path / "invocations.log"
    log.write_text("")
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ.get('PATH', '')}")
    monkeypatch.setenv("STANDIN_LOG", str(log))

    def fail(on="", mode=""):
        monkeypatch.setenv("STANDIN_FAIL_ON", on)
        monkeypatch.setenv("STANDIN_FAIL_MODE", mode)

    def without_them():
        empty = tmp_path / "empty-bin"
        empty.mkdir()
        monkeypatch.setenv("PATH", str(empty))

    fail()
    return SimpleNamespace(
        fail=fail, without_them=without_them, log=lambda: log.read_text().splitlines()
    )


def finished_job(monkeypatch, kc):
    """An in-process download service whose job is finished at the first poll."""
    job = SimpleNamespace(
        raise_for_status=lambda: None,
        json=lambda: {"success": True, "id": 1, "progress_url": "http://127.0.0.1:9/p"},
    )
    poll = SimpleNamespace(
        json=lambda: {
            "success": True,
            "progress": 1000,
            "download_url": "http://127.0.0.1:9/video.mp4",
        }
    )
    monkeypatch.setattr(
        kc,
        "requests",
        SimpleNamespace(get=lambda url, headers, timeout: job if timeout == 30 else poll),
    )
    monkeypatch.setattr(kc, "time", SimpleNamespace(sleep=lambda s: None))


@pytest.mark.parametrize("mode", ["exit", "signal", "partial"])
def test_wget_fails(kc, monkeypatch, tmp_path, capsys, standins, mode):
    finished_job(monkeypatch, kc)
    standins.fail(mode=mode)
    out = tmp_path / "movie.mp4"
    with pytest.raises(subprocess.CalledProcessError) as info:
        kc._download_video(LINK, str(out))
    assert info.value.returncode == WGET_RETURNCODE[mode]
    assert info.value.cmd == [
        "wget",
        "-q",
        "-O",
        str(out),
        "--user-agent",
        BROWSER_UA,
        "http://127.0.0.1:9/video.mp4",
    ]
    assert len(module_entry(info.value, "_download_video")) == 1
    # whatever wget wrote stays; nothing else is made or removed
    if mode == "partial":
        assert out.read_bytes() == b"partial"
    else:
        assert not out.exists()
    assert len(standins.log()) == 1
    assert "Download complete" not in capsys.readouterr().out


def test_wget_works(kc, monkeypatch, tmp_path, capsys, standins):
    finished_job(monkeypatch, kc)
    out = tmp_path / "movie.mp4"
    assert kc._download_video(LINK, str(out)) is None
    assert out.read_bytes() == b"video"
    assert capsys.readouterr().out.endswith("✅ Download complete: " + str(out) + "\n")


def test_wget_missing(kc, monkeypatch, tmp_path, standins):
    finished_job(monkeypatch, kc)
    standins.without_them()
    out = tmp_path / "movie.mp4"
    with pytest.raises(FileNotFoundError) as info:
        kc._download_video(LINK, str(out))
    assert "wget" in str(info.value)
    assert len(module_entry(info.value, "_download_video")) == 1
    assert not out.exists()


SEGMENTS = [
    {"start": "00:00:01", "end": "00:00:02", "voiceover": "First."},
    {"start": "00:00:03", "end": "00:00:04", "voiceover": "Second."},
]
BEFORE_EXPORT = {"movie.mp4", "merged_0.mp4", "merged_1.mp4", "filelist.txt"}

# the step that fails (by the file it writes), what the driver's failure
# table leaves, and what only a partial write adds
PIPELINE_FAILURES = [
    ("first cut", "clip_0.mp4", {"movie.mp4", "voice_0.mp3"}),
    ("second cut", "clip_1.mp4", {"movie.mp4", "merged_0.mp4", "voice_1.mp3"}),
    ("second merge", "merged_1.mp4", {"movie.mp4", "merged_0.mp4", "voice_1.mp3", "clip_1.mp4"}),
    ("concat", "horizontal_final.mp4", BEFORE_EXPORT),
    ("cpu export", "FINAL_KESTRO.mp4", BEFORE_EXPORT | {"horizontal_final.mp4"}),
]
RUN_ORDER = [
    "run clip_0.mp4",
    "run merged_0.mp4",
    "run clip_1.mp4",
    "run merged_1.mp4",
    "run horizontal_final.mp4",
    "gpu FINAL_KESTRO.mp4",
    "run FINAL_KESTRO.mp4",
]


@pytest.fixture
def pipeline(kc, monkeypatch, tmp_path, standins):
    """run_kestro with the real subprocess and the stand-ins; the download and
    the narration write small local files."""
    out = tmp_path / "out"
    out.mkdir()
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps(SEGMENTS), encoding="utf-8")

    def download(url, output_file):
        with open(output_file, "wb") as f:
            f.write(b"source video")

    def narrate(text, output_file, voice):
        with open(output_file, "wb") as f:
            f.write(text.encode())

    monkeypatch.setattr(kc, "_download_video", download)
    monkeypatch.setattr(kc, "_generate_tts", narrate)
    monkeypatch.setattr(kc, "time", SimpleNamespace(sleep=lambda s: None))
    return SimpleNamespace(
        out=out,
        run=lambda: kc.run_kestro(LINK, str(segments), 1.5, "voice", str(out)),
        left=lambda: {p.name for p in out.iterdir()},
        standins=standins,
    )


def test_pipeline_with_standins(pipeline, capsys):
    result = pipeline.run()
    assert result == str(pipeline.out / "FINAL_KESTRO.mp4")
    assert pipeline.left() == {"horizontal_final.mp4", "FINAL_KESTRO.mp4"}
    assert pipeline.standins.log() == RUN_ORDER
    assert "  (GPU unavailable, using CPU encoder...)\n" in capsys.readouterr().out


@pytest.mark.parametrize("mode", ["exit", "signal", "partial"])
@pytest.mark.parametrize(
    "step,target,left", PIPELINE_FAILURES, ids=[p[0] for p in PIPELINE_FAILURES]
)
def test_pipeline_step_fails(kc, pipeline, step, target, left, mode):
    pipeline.standins.fail(on=target, mode=mode)
    with pytest.raises(subprocess.CalledProcessError) as info:
        pipeline.run()
    exc = info.value
    assert exc.returncode == RETURNCODE[mode]
    assert exc.cmd[0] == "ffmpeg" and exc.cmd[-1] == str(pipeline.out / target)
    assert len(module_entry(exc, "run_kestro")) == 1
    expected = left | {target} if mode == "partial" else left
    assert pipeline.left() == expected
    if mode == "partial":
        assert (pipeline.out / target).read_bytes() == b"partial"
    # nothing ran after the failing step
    log = pipeline.standins.log()
    assert log == RUN_ORDER[: RUN_ORDER.index(log[-1]) + 1]
    assert log[-1] == "run " + target


def test_pipeline_without_ffmpeg(kc, pipeline):
    pipeline.standins.without_them()
    with pytest.raises(FileNotFoundError) as info:
        pipeline.run()
    assert "ffmpeg" in str(info.value)
    assert len(module_entry(info.value, "run_kestro")) == 1
    assert pipeline.left() == {"movie.mp4", "voice_0.mp3"}
