"""Local stand-ins for the two web services kestro_core talks to.

One threaded HTTP server on 127.0.0.1 (an ephemeral port) answers both APIs:

* the download service
    GET /ajax/download.php?format=1080&url=...   job request
    GET /progress/<token>                        progress polls
    GET /files/<name>                            the finished video (for wget)
* the speech service
    POST /api/generate-audio-frontend            {"text", "voice"} -> Base64 MP3

Every request is recorded (``StandIn.log``) and every answer can be bent by
plain attributes, so tests can make the services misbehave on purpose.

The module under test has fixed https origins compiled in.  ``RoutedRequests``
is a small object that takes the place of the module's ``requests``: it
rewrites those origins to the stand-in's address and then calls the real
``requests`` library with the very same keyword arguments, recording each
call on the way.
"""

from __future__ import annotations

import base64
import json
import os
import shutil
import subprocess
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

import requests as _requests

__all__ = [
    "AUTO",
    "OMIT",
    "DOWNLOAD_API_ORIGIN",
    "SPEECH_ORIGIN",
    "Hit",
    "Call",
    "StandIn",
    "RoutedRequests",
    "ShortSleepTime",
    "synthesize_mp3",
    "have_espeak",
]

DOWNLOAD_API_ORIGIN = "https://api.fetchbox.example"
SPEECH_ORIGIN = "https://voicecast.example"


class _Marker:
    def __init__(self, name: str) -> None:
        self._name = name

    def __repr__(self) -> str:
        return self._name


#: the stand-in fills in its own value
AUTO = _Marker("AUTO")
#: the member is left out of the answer
OMIT = _Marker("OMIT")

_NO_BODY_STATUSES = {204, 304}


# --------------------------------------------------------------------------
# MP3 production
# --------------------------------------------------------------------------


def have_espeak() -> bool:
    return shutil.which("espeak-ng") is not None


def _espeak_voice(voice: str) -> str:
    v = voice.lower()
    if v.startswith("en-gb"):
        return "en-gb"
    return "en-us"


def _tone_mp3(text: str) -> bytes:
    seconds = max(1.0, min(30.0, 0.07 * len(text)))
    cmd = [
        "ffmpeg",
        "-hide_banner",
        "-loglevel",
        "error",
        "-f",
        "lavfi",
        "-i",
        f"sine=frequency=440:sample_rate=22050:duration={seconds:.2f}",
        "-c:a",
        "libmp3lame",
        "-b:a",
        "64k",
        "-f",
        "mp3",
        "pipe:1",
    ]
    return subprocess.run(cmd, check=True, capture_output=True, timeout=60).stdout


def _spoken_mp3(text: str, voice: str) -> bytes:
    # The text goes in on stdin, so a narration starting with "-" is never
    # taken for an option.
    speech = subprocess.run(
        ["espeak-ng", "-v", _espeak_voice(voice), "--stdout", "--stdin"],
        input=text.encode("utf-8"),
        check=True,
        capture_output=True,
        timeout=60,
    ).stdout
    cmd = [
        "ffmpeg",
        "-hide_banner",
        "-loglevel",
        "error",
        "-f",
        "wav",
        "-i",
        "pipe:0",
        "-c:a",
        "libmp3lame",
        "-b:a",
        "64k",
        "-f",
        "mp3",
        "pipe:1",
    ]
    return subprocess.run(cmd, input=speech, check=True, capture_output=True, timeout=60).stdout


def synthesize_mp3(text: str, voice: str) -> bytes:
    """Speak ``text`` with espeak-ng into MP3; a sine tone where that fails.

    The tone lasts roughly as long as the text would take to read aloud.
    """
    if text.strip() and have_espeak():
        try:
            data = _spoken_mp3(text, voice)
            if data:
                return data
        except (OSError, subprocess.SubprocessError):
            pass
    return _tone_mp3(text)


# --------------------------------------------------------------------------
# records
# --------------------------------------------------------------------------


@dataclass
class Hit:
    """One request the server received."""

    method: str
    target: str  # the request target exactly as sent
    path: str
    query: str  # raw query string, still percent-encoded
    headers: list  # [(name, value), ...] in arrival order
    body: bytes = b""

    @property
    def params(self) -> dict:
        return parse_qs(self.query, keep_blank_values=True)

    def header(self, name: str):
        name = name.lower()
        for k, v in self.headers:
            if k.lower() == name:
                return v
        return None

    def json(self, **kw):
        return json.loads(self.body.decode("utf-8"), **kw)


@dataclass
class Call:
    """One call made through ``RoutedRequests``."""

    method: str
    url: str  # the URL as the caller gave it
    routed_url: str  # the URL actually requested
    args: tuple
    kwargs: dict
    response: object = field(default=None, repr=False)


# --------------------------------------------------------------------------
# the server
# --------------------------------------------------------------------------


class _Handler(BaseHTTPRequestHandler):
    server_version = "standin/1"
    protocol_version = "HTTP/1.0"

    def log_message(self, format, *args):
        pass

    # -- plumbing ---------------------------------------------------------
    def _record(self, body: bytes = b"") -> Hit:
        parts = urlsplit(self.path)
        hit = Hit(
            self.command, self.path, parts.path, parts.query, list(self.headers.items()), body
        )
        self.server.owner._record(hit)
        return hit

    def _send(self, status: int, body: bytes = b"", ctype: str = "application/json") -> None:
        self.send_response(status)
        if status in _NO_BODY_STATUSES:
            self.end_headers()
            return
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _answer(self, status: int, raw, value) -> None:
        if raw is not None:
            if isinstance(raw, str):
                raw = raw.encode("utf-8")
            self._send(status, raw, "text/plain; charset=utf-8")
        else:
            self._send(status, json.dumps(value).encode("utf-8"))

    # -- verbs ------------------------------------------------------------
    def do_GET(self):
        hit = self._record()
        owner = self.server.owner
        if hit.path == "/ajax/download.php":
            status, raw, value = owner._job_answer(hit)
        elif hit.path.startswith("/progress/"):
            status, raw, value = owner._poll_answer(hit.path[len("/progress/") :])
        elif hit.path.startswith("/files/"):
            self._send_file()
            return
        else:
            status, raw, value = 404, None, {"error": "not found"}
        self._answer(status, raw, value)

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length) if length else b""
        hit = self._record(body)
        if hit.path == "/api/generate-audio-frontend":
            status, raw, value = self.server.owner._speech_answer(hit)
        else:
            status, raw, value = 404, None, {"error": "not found"}
        self._answer(status, raw, value)

    def _send_file(self):
        owner = self.server.owner
        path = owner.video_file
        if owner.file_status != 200 or not path or not os.path.isfile(path):
            status = owner.file_status if owner.file_status != 200 else 404
            self._send(status, b"no such file\n", "text/plain")
            return
        size = os.path.getsize(path)
        self.send_response(200)
        self.send_header("Content-Type", "video/mp4")
        self.send_header("Content-Length", str(size))
        self.end_headers()
        with open(path, "rb") as f:
            shutil.copyfileobj(f, self.wfile, 1 << 16)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class StandIn:
    """Both services on one loopback HTTP server.

    Switches (plain attributes, read at the moment a request arrives):

    download job
        job_status     HTTP status of the job answer (a JSON body is still sent)
        job_raw        str/bytes sent verbatim instead of JSON
        job_answer     any JSON value sent instead of the built answer
        job_success    value of "success" (OMIT leaves it out)
        job_id         value of "id" of any JSON type (AUTO: "job<n>", OMIT)
        progress_url   value of "progress_url" (AUTO: this server, OMIT)
    polls
        poll_status    HTTP status of every poll answer
        poll_raw       str/bytes sent verbatim instead of JSON
        progress_seq   answers of successive polls of one job; an entry is
                       a number (below 1000: {"success": false, "progress": n};
                       1000 or more: success true, "download_url" added) or
                       a dict sent as it stands. The last entry repeats.
        never_finish   every poll answers {"success": false, "progress": 500}
        download_url   "download_url" put into number entries (AUTO: file URL)
        file_name      name used in the automatic download URL
    file
        video_file     local file served under /files/<anything>
        file_status    200, or e.g. 404 to refuse the file
    speech
        speech_status  HTTP status of the speech answer
        speech_raw     str/bytes sent verbatim instead of JSON
        speech_answer  any JSON value sent instead of the built answer
        audio_data     value of "audio_data" (AUTO: prefix + Base64 MP3, OMIT)
        audio_prefix   prefix used for AUTO audio data
        make_mp3       callable(text, voice) -> bytes producing the MP3
    """

    def __init__(
        self, video_file: str | None = None, *, make_mp3=None, progress_seq=(0, 400, 1000)
    ) -> None:
        self.video_file = video_file
        self.make_mp3 = make_mp3 or synthesize_mp3
        self.progress_seq = list(progress_seq)
        self.reset()
        self._lock = threading.Lock()
        self._server: _Server | None = None
        self._thread: threading.Thread | None = None
        self.log: list[Hit] = []
        self._jobs: dict[str, int] = {}
        self._job_count = 0

    def reset(self) -> None:
        """Put every misbehaviour switch back to normal service."""
        self.job_status = 200
        self.job_raw = None
        self.job_answer = AUTO
        self.job_success = True
        self.job_id = AUTO
        self.progress_url = AUTO
        self.poll_status = 200
        self.poll_raw = None
        self.never_finish = False
        self.download_url = AUTO
        self.file_name = "movie_1080.mp4"
        self.file_status = 200
        self.speech_status = 200
        self.speech_raw = None
        self.speech_answer = AUTO
        self.audio_data = AUTO
        self.audio_prefix = "data:audio/mpeg;base64,"

    def configure(self, **switches) -> StandIn:
        for name, value in switches.items():
            if (
                name.startswith("_")
                or not hasattr(self, name)
                or callable(getattr(type(self), name, None))
            ):
                raise AttributeError(f"no such switch: {name}")
            setattr(self, name, value)
        return self

    # -- lifecycle --------------------------------------------------------
    def start(self) -> StandIn:
        if self._server is not None:
            return self
        server = _Server(("127.0.0.1", 0), _Handler)
        server.owner = self
        self._server = server
        self._thread = threading.Thread(
            target=server.serve_forever, kwargs={"poll_interval": 0.01}, name="standin", daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        server, self._server = self._server, None
        if server is None:
            return
        server.shutdown()
        server.server_close()
        if self._thread is not None:
            self._thread.join(timeout=5)
            self._thread = None

    def __enter__(self) -> StandIn:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def port(self) -> int:
        if self._server is None:
            raise RuntimeError("stand-in is not running")
        return self._server.server_address[1]

    @property
    def origin(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def file_url(self, name: str | None = None) -> str:
        return f"{self.origin}/files/{name or self.file_name}"

    # -- records ----------------------------------------------------------
    def _record(self, hit: Hit) -> None:
        with self._lock:
            self.log.append(hit)

    def hits(self, prefix: str = "/") -> list[Hit]:
        """Recorded requests whose path starts with ``prefix``."""
        with self._lock:
            return [h for h in self.log if h.path.startswith(prefix)]

    @property
    def job_hits(self) -> list[Hit]:
        return self.hits("/ajax/download.php")

    @property
    def poll_hits(self) -> list[Hit]:
        return self.hits("/progress/")

    @property
    def file_hits(self) -> list[Hit]:
        return self.hits("/files/")

    @property
    def speech_hits(self) -> list[Hit]:
        return self.hits("/api/generate-audio-frontend")

    # -- answers ----------------------------------------------------------
    def _job_answer(self, hit: Hit):
        with self._lock:
            self._job_count += 1
            token = str(self._job_count)
            self._jobs[token] = 0
        if self.job_answer is not AUTO:
            return self.job_status, self.job_raw, self.job_answer
        answer = {}
        if self.job_success is not OMIT:
            answer["success"] = self.job_success
        if self.job_id is AUTO:
            answer["id"] = f"job{token}"
        elif self.job_id is not OMIT:
            answer["id"] = self.job_id
        if self.progress_url is AUTO:
            answer["progress_url"] = f"{self.origin}/progress/{token}"
        elif self.progress_url is not OMIT:
            answer["progress_url"] = self.progress_url
        return self.job_status, self.job_raw, answer

    def _poll_answer(self, token: str):
        with self._lock:
            if token not in self._jobs:
                return 404, None, {"success": False, "error": "unknown job"}
            n = self._jobs[token]
            self._jobs[token] = n + 1
        if self.never_finish:
            return self.poll_status, self.poll_raw, {"success": False, "progress": 500}
        seq = self.progress_seq or [0]
        entry = seq[min(n, len(seq) - 1)]
        if isinstance(entry, dict):
            answer = dict(entry)
        elif entry >= 1000:
            url = self.file_url() if self.download_url is AUTO else self.download_url
            answer = {"success": True, "progress": entry}
            if url is not OMIT:
                answer["download_url"] = url
        else:
            answer = {"success": False, "progress": entry}
        return self.poll_status, self.poll_raw, answer

    def _speech_answer(self, hit: Hit):
        status, raw = self.speech_status, self.speech_raw
        if self.speech_answer is not AUTO:
            return status, raw, self.speech_answer
        if raw is not None:
            return status, raw, None
        if self.audio_data is OMIT:
            return status, None, {"success": True}
        if self.audio_data is not AUTO:
            return status, None, {"audio_data": self.audio_data}
        try:
            req = hit.json()
            text, voice = req["text"], req["voice"]
        except (ValueError, KeyError, TypeError):
            return 400, None, {"error": "expected JSON with text and voice"}
        mp3 = self.make_mp3(text, voice)
        return (
            status,
            None,
            {
                "audio_data": self.audio_prefix + base64.b64encode(mp3).decode("ascii"),
            },
        )


# --------------------------------------------------------------------------
# stand-ins for module-level names
# --------------------------------------------------------------------------


class RoutedRequests:
    """Takes the place of ``requests`` inside the module under test.

    ``get`` and ``post`` send to the stand-in whatever was addressed to one
    of the fixed service origins, through the real ``requests`` and with the
    caller's keyword arguments untouched.  Each call is kept in ``calls``.
    Nothing is ever sent off the loopback interface.
    """

    def __init__(self, server: StandIn, origins=(DOWNLOAD_API_ORIGIN, SPEECH_ORIGIN)) -> None:
        self._standin = server
        self._origins = tuple(origins)
        self.calls: list[Call] = []

    def route(self, url: str) -> str:
        for origin in self._origins:
            if url == origin or url.startswith(origin + "/"):
                return self._standin.origin + url[len(origin) :]
        return url

    def _send(self, method: str, url, args, kwargs):
        routed = self.route(url) if isinstance(url, str) else url
        call = Call(method, url, routed, args, dict(kwargs))
        self.calls.append(call)
        host = urlsplit(routed).hostname if isinstance(routed, str) else None
        if host not in ("127.0.0.1", "localhost"):
            raise _requests.exceptions.ConnectionError(
                f"stand-in refuses to leave the loopback interface: {url!r}"
            )
        call.response = getattr(_requests, method)(routed, *args, **kwargs)
        return call.response

    def get(self, url, *args, **kwargs):
        return self._send("get", url, args, kwargs)

    def post(self, url, *args, **kwargs):
        return self._send("post", url, args, kwargs)

    def __getattr__(self, name):
        return getattr(_requests, name)

    def calls_to(self, prefix: str) -> list[Call]:
        return [c for c in self.calls if isinstance(c.url, str) and c.url.startswith(prefix)]


class ShortSleepTime:
    """Takes the place of ``time``: a sleep of exactly ``long`` seconds is
    cut down to ``short``; every other sleep is real."""

    def __init__(self, long=3, short=0.1) -> None:
        import time as _time

        self._time = _time
        self._long = long
        self._short = short
        self.sleeps: list = []

    def sleep(self, seconds) -> None:
        self.sleeps.append(seconds)
        self._time.sleep(self._short if seconds == self._long else seconds)

    def __getattr__(self, name):
        return getattr(self._time, name)
