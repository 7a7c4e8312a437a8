"""_download_video against the local stand-in download service.

The job request and the polls go through the real ``requests`` (routed from
the fixed https origin to the loopback stand-in) and the file is fetched by
the real ``wget``.  The module's ``time`` is replaced by a recorder so the
3-second poll sleeps cost nothing.
"""

import io
import os
import socket
import subprocess
import sys

import pytest
import requests

from demo.standin import OMIT, StandIn
from tests.support.entries import module_entries as entries_of

API = "https://api.fetchbox.example/ajax/download.php?format=1080&url="
BROWSER_UA = (
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 "
    "(KHTML, like Gecko) Chrome/144.0.0.0 Safari/537.36"
)
HEADERS = [
    ("accept", "*/*"),
    ("accept-language", "en-US,en;q=0.6"),
    ("cache-control", "no-cache"),
    ("origin", "https://fetchbox.example"),
    ("referer", "https://fetchbox.example/"),
    ("user-agent", BROWSER_UA),
]
LINK = "https://www.youtube.com/watch?v=dQw4w9WgXcQ"
VIDEO_BYTES = bytes(range(256)) * 512  # what the stand-in serves as the video
FILE = "<file url>"  # placeholder in poll answers, replaced by the served URL
ENTRY_NAME = "kestro_core.kestro_core._download_video"


class SleepRecorder:
    """The module's ``time``: every sleep must be the integer 3 and returns
    at once; it notes how many HTTP calls had been made when it slept."""

    def __init__(self, routed):
        self.routed = routed
        self.calls = []
        self.calls_before = []

    def sleep(self, seconds):
        self.calls.append(seconds)
        self.calls_before.append(len(self.routed.calls))
        if type(seconds) is not int or seconds != 3:
            raise AssertionError(f"unexpected sleep({seconds!r})")


class SubprocessSpy:
    """The module's ``subprocess``: records run() and passes it through."""

    CalledProcessError = subprocess.CalledProcessError

    def __init__(self):
        self.runs = []

    def run(self, *args, **kwargs):
        self.runs.append((args, kwargs))
        return subprocess.run(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(subprocess, name)


@pytest.fixture
def standin(tmp_path):
    video = tmp_path / "served.mp4"
    video.write_bytes(VIDEO_BYTES)
    with StandIn(str(video)) as s:
        yield s


@pytest.fixture
def clock(kc, routed, monkeypatch):
    c = SleepRecorder(routed)
    monkeypatch.setattr(kc, "time", c)
    return c


@pytest.fixture
def out(tmp_path):
    return str(tmp_path / "movie.mp4")


def with_file_url(seq, standin):
    return [
        {k: standin.file_url() if v == FILE else v for k, v in e.items()}
        if isinstance(e, dict)
        else e
        for e in seq
    ]


def module_entries(exc):
    import kestro_core.kestro_core as kc

    return entries_of(exc, kc._download_video)


def read(path):
    with open(path, "rb") as f:
        return f.read()


# --------------------------------------------------------------------------
# the normal run
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "link, encoded",
    [
        (
            "https://www.youtube.com/watch?v=dQw4w9WgXcQ&t=42s",
            "https%3A%2F%2Fwww.youtube.com%2Fwatch%3Fv%3DdQw4w9WgXcQ%26t%3D42s",
        ),
        (
            "https://youtu.be/x?si=a=b&list=PL1&format=720",
            "https%3A%2F%2Fyoutu.be%2Fx%3Fsi%3Da%3Db%26list%3DPL1%26format%3D720",
        ),
        ("watch?v=a b+c", "watch%3Fv%3Da%20b%2Bc"),
        ("https://y.example/v=é~_.-%41#top", "https%3A%2F%2Fy.example%2Fv%3D%C3%A9~_.-%2541%23top"),
    ],
)
def test_link_travels_as_the_single_url_value(kc, standin, routed, clock, out, link, encoded):
    kc._download_video(link, out)

    assert routed.calls[0].url == API + encoded
    (job,) = standin.job_hits
    assert job.query == "format=1080&url=" + encoded
    assert job.params == {"format": ["1080"], "url": [link]}
    assert read(out) == VIDEO_BYTES


def test_headers_and_timeouts_of_job_and_polls(kc, standin, routed, clock, out):
    kc._download_video(LINK, out)

    job, *polls = routed.calls
    assert job.method == "get" and job.args == ()
    assert list(job.kwargs) == ["headers", "timeout"]
    assert list(job.kwargs["headers"].items()) == HEADERS
    assert type(job.kwargs["timeout"]) is int and job.kwargs["timeout"] == 30

    progress_url = job.response.json()["progress_url"]
    assert len(polls) == 3
    for poll in polls:
        assert poll.method == "get" and poll.args == ()
        assert poll.url == progress_url
        assert list(poll.kwargs) == ["headers", "timeout"]
        assert list(poll.kwargs["headers"].items()) == HEADERS
        assert type(poll.kwargs["timeout"]) is int and poll.kwargs["timeout"] == 15

    # what actually arrived on the wire
    for hit in standin.job_hits + standin.poll_hits:
        assert [(name, hit.header(name)) for name, _ in HEADERS] == HEADERS
    (transfer,) = standin.file_hits
    assert transfer.header("user-agent") == BROWSER_UA
    # every poll comes after its own sleep
    assert clock.calls == [3, 3, 3]
    assert clock.calls_before == [1, 2, 3]


def test_printed_lines_and_relative_output_path(
    kc, standin, routed, clock, capsys, tmp_path, monkeypatch
):
    monkeypatch.chdir(tmp_path)
    assert kc._download_video(LINK, "movie.mp4") is None

    assert capsys.readouterr().out == (
        "📥 Requesting download from server...\n"
        "⏳ Processing job job1...\n"
        "\r  0%\r  40%\r  100%"
        "\n⬇️  Downloading video...\n"
        "✅ Download complete: movie.mp4\n"
    )
    assert read(tmp_path / "movie.mp4") == VIDEO_BYTES


def test_progress_line_is_flushed_without_newline(kc, standin, routed, clock, out, monkeypatch):
    flush = object()

    class Stream(io.StringIO):
        ops = []

        def write(self, s):
            if s:
                self.ops.append(s)
            return super().write(s)

        def flush(self):
            self.ops.append(flush)

    stream = Stream()
    with monkeypatch.context() as m:
        m.setattr(sys, "stdout", stream)
        kc._download_video(LINK, out)

    for text in ("\r  0%", "\r  40%", "\r  100%"):
        i = stream.ops.index(text)
        assert stream.ops[i + 1] is flush, stream.ops
    assert "\r  100%\n⬇️  Downloading video...\n" in stream.getvalue()


@pytest.mark.parametrize(
    "job_id, text",
    [
        ("abc-123", "abc-123"),
        ("", ""),
        (42, "42"),
        (12345678901234567890, "12345678901234567890"),
        (2.5, "2.5"),
        (1e20, "1e+20"),
        (True, "True"),
        (None, "None"),
        ([1, "a"], "[1, 'a']"),
        ({"k": 1}, "{'k': 1}"),
    ],
)
def test_job_id_is_printed_in_text_form(kc, standin, routed, clock, out, capsys, job_id, text):
    standin.job_id = job_id
    kc._download_video(LINK, out)
    lines = capsys.readouterr().out.split("\n")
    assert lines[1] == "⏳ Processing job " + text + "..."


@pytest.mark.parametrize(
    "seq, shown",
    [
        # "success" false keeps polling however high the progress
        ([{"success": False, "progress": 1000}, 1000], ["100", "100"]),
        ([{"progress": 1000, "download_url": FILE}, 1000], ["100", "100"]),
        *[
            ([{"success": falsy, "progress": 1000, "download_url": FILE}, 1000], ["100", "100"])
            for falsy in (0, "", [], {}, None)
        ],
        # success with less than 1000 keeps polling, although it reads 100%
        ([{"success": True, "progress": 999, "download_url": FILE}, 1000], ["100", "100"]),
        # a missing progress counts as 0, success or not
        ([{"success": True, "download_url": FILE}, 1000], ["0", "100"]),
        # truthy success values and progress at or above 1000 finish
        *[
            ([{"success": truthy, "progress": 1000, "download_url": FILE}], ["100"])
            for truthy in (1, "yes", [0], {"a": 1})
        ],
        ([{"success": True, "progress": 1000.0, "download_url": FILE}], ["100"]),
        ([1500], ["150"]),
        ([{"success": True, "progress": 12345, "download_url": FILE}], ["1234"]),
        # ".0f" rounds half to even; fractional and negative values are shown
        ([5, 15, 25, 994, 995, -10, 1000], ["0", "2", "2", "99", "100", "-1", "100"]),
        ([0.4, 999.9, 1000], ["0", "100", "100"]),
    ],
)
def test_poll_outcomes(kc, standin, routed, clock, out, capsys, seq, shown):
    standin.progress_seq = with_file_url(seq, standin)
    kc._download_video(LINK, out)

    assert len(standin.poll_hits) == len(shown)
    assert clock.calls == [3] * len(shown)
    printed = capsys.readouterr().out
    progress = "".join(f"\r  {p}%" for p in shown)
    assert "⏳ Processing job job1...\n" + progress + "\n⬇️  Downloading video...\n" in printed
    assert read(out) == VIDEO_BYTES


def test_poll_with_error_status_but_json_body_counts(kc, standin, routed, clock, out):
    standin.poll_status = 500
    kc._download_video(LINK, out)
    assert len(standin.poll_hits) == 3
    assert read(out) == VIDEO_BYTES


@pytest.mark.parametrize("status", [201, 203])
def test_job_status_below_400_is_accepted(kc, standin, routed, clock, out, status):
    standin.job_status = status
    kc._download_video(LINK, out)
    assert read(out) == VIDEO_BYTES


def test_finish_on_the_60th_poll_still_downloads(kc, standin, routed, clock, out, capsys):
    standin.progress_seq = [0] * 59 + [1000]
    kc._download_video(LINK, out)

    assert clock.calls == [3] * 60
    assert clock.calls_before == list(range(1, 61))
    assert len(standin.poll_hits) == 60
    assert read(out) == VIDEO_BYTES
    assert capsys.readouterr().out.endswith("✅ Download complete: " + out + "\n")


def test_timeout_after_60_unfinished_polls(kc, standin, routed, clock, out, capsys):
    standin.never_finish = True
    with pytest.raises(Exception) as ei:
        kc._download_video(LINK, out)

    assert type(ei.value) is Exception
    assert ei.value.args == ("Download timed out after 3 minutes",)
    assert clock.calls == [3] * 60
    assert len(standin.poll_hits) == 60
    assert standin.file_hits == []
    printed = capsys.readouterr().out
    assert printed.endswith("\r  50%" * 60)  # the progress line is left open
    assert len(module_entries(ei.value)) == 1


# --------------------------------------------------------------------------
# failures
# --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "switches, exc, message",
    [
        (dict(job_status=500), requests.HTTPError, None),
        (dict(job_status=404), requests.HTTPError, None),
        (dict(job_status=204), requests.exceptions.JSONDecodeError, None),
        (dict(job_raw="<html>busy</html>"), requests.exceptions.JSONDecodeError, None),
        (
            dict(job_answer={"success": False, "error": "Video unavailable", "code": 7}),
            Exception,
            "Download API error: {'success': False, 'error': 'Video unavailable', 'code': 7}",
        ),
        (
            dict(job_answer={"id": 5, "progress_url": "http://127.0.0.1:9/p"}),
            Exception,
            "Download API error: {'id': 5, 'progress_url': 'http://127.0.0.1:9/p'}",
        ),
        (dict(job_answer={"success": 0}), Exception, "Download API error: {'success': 0}"),
        (dict(job_answer={"success": ""}), Exception, "Download API error: {'success': ''}"),
        (dict(job_answer={"success": None}), Exception, "Download API error: {'success': None}"),
        (dict(job_answer={}), Exception, "Download API error: {}"),
        (dict(job_answer=[1, 2]), AttributeError, None),
        (dict(job_id=OMIT), KeyError, None),
        (dict(progress_url=OMIT), KeyError, None),
        (dict(job_id=OMIT, progress_url=OMIT), KeyError, None),
    ],
)
def test_job_request_failures(kc, standin, routed, clock, out, capsys, switches, exc, message):
    standin.configure(**switches)
    with pytest.raises(exc) as ei:
        kc._download_video(LINK, out)

    if message is not None:
        assert type(ei.value) is Exception
        assert ei.value.args == (message,)
    if exc is KeyError:
        assert ei.value.args == ("id" if "job_id" in switches else "progress_url",)
    assert len(module_entries(ei.value)) == 1
    assert len(standin.job_hits) == 1
    assert standin.poll_hits == [] and clock.calls == []
    assert capsys.readouterr().out == "📥 Requesting download from server...\n"


def _closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize(
    "switches, exc",
    [
        (dict(poll_raw="not json"), requests.exceptions.JSONDecodeError),
        (dict(poll_status=502, poll_raw=""), requests.exceptions.JSONDecodeError),
        (dict(progress_seq=[0, {"success": True, "progress": 1000}]), KeyError),
        (dict(progress_seq=[{"success": True, "progress": None}]), TypeError),
        (dict(progress_seq=[{"success": False, "progress": None}]), TypeError),
        (dict(progress_seq=[{"success": True, "progress": "1000"}]), TypeError),
        (dict(progress_seq=[0, {"progress": "50"}]), TypeError),
        ("closed port", requests.ConnectionError),
    ],
)
def test_poll_failures(kc, standin, routed, clock, out, switches, exc):
    if switches == "closed port":
        standin.progress_url = f"http://127.0.0.1:{_closed_port()}/progress/1"
    else:
        standin.configure(**switches)
    with pytest.raises(exc) as ei:
        kc._download_video(LINK, out)

    if exc is KeyError:
        assert ei.value.args == ("download_url",)
    assert len(module_entries(ei.value)) == 1
    assert standin.file_hits == []
    if switches == "closed port":
        assert clock.calls == [3] and standin.poll_hits == []
    else:
        assert len(clock.calls) == len(standin.poll_hits) >= 1


def test_failing_wget_raises_called_process_error(kc, standin, routed, clock, out, capsys):
    standin.file_status = 404
    with pytest.raises(subprocess.CalledProcessError) as ei:
        kc._download_video(LINK, out)

    assert ei.value.returncode == 8  # wget: server issued an error response
    assert ei.value.cmd == ["wget", "-q", "-O", out, "--user-agent", BROWSER_UA, standin.file_url()]
    assert len(standin.file_hits) == 1
    printed = capsys.readouterr().out
    assert printed.endswith("\r  100%\n⬇️  Downloading video...\n")
    assert len(module_entries(ei.value)) == 1


def test_missing_wget_raises_os_error(kc, standin, routed, clock, out, tmp_path, monkeypatch):
    empty = tmp_path / "no-programs"
    empty.mkdir()
    monkeypatch.setenv("PATH", str(empty))
    with pytest.raises(FileNotFoundError):
        kc._download_video(LINK, out)
    assert standin.file_hits == []


@pytest.mark.parametrize(
    "value",
    [
        "-e",
        "--post-file=/etc/passwd",
        "-O/tmp/elsewhere",
        "ftp://127.0.0.1/movie.mp4",
        "file:///etc/hostname",
        "//127.0.0.1/files/movie.mp4",
        " http://127.0.0.1/files/movie.mp4",
        "httpx://127.0.0.1/files/movie.mp4",
        "",
        7,
        None,
        True,
        ["http://127.0.0.1/files/movie.mp4"],
        {"url": "http://127.0.0.1/files/movie.mp4"},
    ],
)
def test_unsafe_download_url_is_refused_before_wget(
    kc, standin, routed, clock, out, monkeypatch, value
):
    spy = SubprocessSpy()
    monkeypatch.setattr(kc, "subprocess", spy)
    standin.download_url = value
    with pytest.raises(Exception) as ei:
        kc._download_video(LINK, out)

    assert type(ei.value) is Exception
    assert ei.value.args == ("Download API error: refused download_url " + repr(value),)
    assert spy.runs == []
    assert standin.file_hits == []
    assert not os.path.exists(out)
    assert len(module_entries(ei.value)) == 1


def test_download_url_is_passed_to_wget_as_received(kc, standin, routed, clock, out, monkeypatch):
    spy = SubprocessSpy()
    monkeypatch.setattr(kc, "subprocess", spy)
    url = standin.file_url("odd%20name.mp4") + "?sig=a&b=c"
    standin.download_url = url
    kc._download_video(LINK, out)

    assert spy.runs == [
        ((["wget", "-q", "-O", out, "--user-agent", BROWSER_UA, url],), {"check": True})
    ]
    (transfer,) = standin.file_hits
    assert transfer.target == "/files/odd%20name.mp4?sig=a&b=c"
    assert read(out) == VIDEO_BYTES
