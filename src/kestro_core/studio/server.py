"""The studio's web server: a Starlette app on 127.0.0.1, run by uvicorn.

Every request must carry the session token (first in the address, then in a cookie named
for the port); every request that changes something must also carry it in a header. The
Host header must name this server, an Origin header (when there is one) must be this
server's, and bodies over 1 MiB are refused. No CORS headers are ever sent, and every answer
carries a Content-Security-Policy that allows only the package's own script.
"""

from __future__ import annotations

import asyncio
import contextlib
import errno
import json
import math
import os
import secrets
import signal
import socket
import sys
import threading
import webbrowser
from importlib import resources
from types import FrameType
from typing import Any, TextIO

import uvicorn
from anyio import to_thread
from starlette.applications import Starlette
from starlette.datastructures import Headers, MutableHeaders
from starlette.requests import Request
from starlette.responses import FileResponse, JSONResponse, Response, StreamingResponse
from starlette.routing import Route
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from kestro_core.job.binding import extension, originals
from kestro_core.options import DEFAULT_CAPTION_STYLE, DEFAULT_MUSIC_LEVEL, music_level_problem
from kestro_core.segments import keys
from kestro_core.speech.piper import default_piper_voice
from kestro_core.speech.voices import SPEECH_ENGINES, voice_problems
from kestro_core.store import products, scratch
from kestro_core.store.cache import Cache
from kestro_core.store.files import make_last_directory
from kestro_core.studio.session import (
    PRODUCTS,
    Refused,
    Session,
    Settings,
    StudioError,
    probe_music,
    probe_video,
    voice_choices,
)

__all__ = ["serve", "make_app", "DEFAULT_PORT", "MAX_BODY"]

DEFAULT_PORT = 8717
PORT_TRIES = 50
MAX_BODY = 1 << 20
TOKEN_HEADER = "x-studio-token"
CSP = (
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "media-src 'self'; connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'"
)
_STATIC = {n: "text/javascript" for n in ("studio.js", "timecode.js")} | {"studio.css": "text/css"}
_SAFE_METHODS = ("GET", "HEAD")


def cookie_name(port: int) -> str:
    """The token cookie's name: one per port, so two studios do not clash."""
    return f"kestro_studio_{port}"


# ---------------------------------------------------------------------------------------
# the guard in front of every request
# ---------------------------------------------------------------------------------------


class Guard:
    """ASGI middleware: Host, Origin, token and body-size checks, and the security headers
    on every answer."""

    def __init__(self, app: ASGIApp, token: str, port: int) -> None:
        self.app = app
        self.token = token
        self.cookie = cookie_name(port)
        self.hosts = {f"127.0.0.1:{port}", f"localhost:{port}"}
        self.origins = {f"http://{host}" for host in self.hosts}

    def _refusal(self, scope: Scope, headers: Headers) -> tuple[int, str] | None:
        if headers.get("host", "") not in self.hosts:
            return 403, "unknown Host"
        origin = headers.get("origin")
        if origin is not None and origin not in self.origins:
            return 403, "foreign Origin"
        length = headers.get("content-length")
        if length is not None and (not length.isdigit() or int(length) > MAX_BODY):
            return 413, "request body over 1 MiB"
        return None

    def _has_cookie(self, headers: Headers) -> bool:
        for part in headers.get("cookie", "").split(";"):
            name, _, value = part.strip().partition("=")
            if name == self.cookie and secrets.compare_digest(value, self.token):
                return True
        return False

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = Headers(scope=scope)
        refusal = self._refusal(scope, headers)
        set_cookie = False
        if refusal is None and not self._has_cookie(headers):
            query = dict(
                part.partition("=")[::2]
                for part in scope.get("query_string", b"").decode().split("&")
            )
            given = query.get("token", "")
            if scope["path"] == "/" and scope["method"] == "GET" and given:
                set_cookie = secrets.compare_digest(given, self.token)
            if not set_cookie:
                refusal = 403, "no session token: open the address the studio printed"
        if refusal is None and scope["method"] not in _SAFE_METHODS:
            given = headers.get(TOKEN_HEADER, "")
            if not secrets.compare_digest(given.encode(), self.token.encode()):
                refusal = 403, "a change needs the session token in its header"

        async def guarded_send(message: Message) -> None:
            if message["type"] == "http.response.start":
                out = MutableHeaders(scope=message)
                out["content-security-policy"] = CSP
                out["x-content-type-options"] = "nosniff"
                out["referrer-policy"] = "no-referrer"
                out["x-frame-options"] = "DENY"
                out.setdefault("cache-control", "no-store")
                if set_cookie:
                    out.append(
                        "set-cookie",
                        f"{self.cookie}={self.token}; Path=/; HttpOnly; SameSite=Strict",
                    )
            await send(message)

        if refusal is not None:
            status, why = refusal
            await JSONResponse({"message": why}, status_code=status)(scope, receive, guarded_send)
            return
        await self.app(scope, receive, guarded_send)


async def _json_body(request: Request) -> dict[str, Any]:
    """The request's JSON object; 413 past 1 MiB (also when no length was announced)."""
    data = bytearray()
    async for chunk in request.stream():
        data += chunk
        if len(data) > MAX_BODY:
            raise Refused(413, "request body over 1 MiB")
    try:
        body = json.loads(data)
    except (UnicodeDecodeError, ValueError, RecursionError):
        raise Refused(400, "the request body is not JSON") from None
    if not isinstance(body, dict):
        raise Refused(400, "the request body must be a JSON object")
    return body


def _number(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise Refused(400, f"{name} must be a whole number")
    return value


def _count(value: str | None) -> int:
    if value is None or not value.isdigit():
        raise Refused(400, "count must be a whole number")
    return int(value)


def _seconds(value: str | None, name: str) -> float:
    try:
        seconds = float(value or "nan")
    except ValueError:
        seconds = math.nan
    if not math.isfinite(seconds):
        raise Refused(400, f"{name} must be a number of seconds")
    return seconds


# ---------------------------------------------------------------------------------------
# the app
# ---------------------------------------------------------------------------------------


def _static_files(token: str) -> dict[str, bytes]:
    folder = resources.files("kestro_core.studio") / "static"
    files = {name: (folder / name).read_bytes() for name in (*_STATIC, "index.html")}
    files["index.html"] = files["index.html"].replace(b"{{TOKEN}}", token.encode())
    return files


def make_app(session: Session, token: str, port: int) -> ASGIApp:
    """The studio's ASGI app, guarded."""
    files = _static_files(token)

    async def index(request: Request) -> Response:
        return Response(files["index.html"], media_type="text/html; charset=utf-8")

    async def static(request: Request) -> Response:
        name = request.path_params["name"]
        if name not in _STATIC:
            return JSONResponse({"message": "not found"}, status_code=404)
        return Response(files[name], media_type=_STATIC[name])

    async def state(request: Request) -> Response:
        return JSONResponse(session.state())

    async def keyframes(request: Request) -> Response:
        # ?from=SECONDS&to=SECONDS: the window the timeline shows
        start, end = (_seconds(request.query_params.get(k), k) for k in ("from", "to"))
        found = await to_thread.run_sync(session.keyframes, start, end)
        return JSONResponse({"from": start, "to": end, "keyframes": found})

    def window(request: Request) -> tuple[float, float]:
        # ?from=SECONDS&to=SECONDS
        start, end = (_seconds(request.query_params.get(k), k) for k in ("from", "to"))
        return start, end

    async def shots(request: Request) -> Response:
        start, end = window(request)
        found = await to_thread.run_sync(session.shots, start, end)
        return JSONResponse({"from": start, "to": end, "shots": found})

    async def filmstrip(request: Request) -> Response:
        start, end = window(request)
        count = _count(request.query_params.get("count"))
        image = await to_thread.run_sync(session.filmstrip, start, end, count)
        # the same window of the same source is the same picture: the browser may keep it
        headers = {"cache-control": "private, max-age=86400"}
        return Response(image, media_type="image/jpeg", headers=headers)

    async def dialogue(request: Request) -> Response:
        words = request.query_params.get("q", "")
        lines = await to_thread.run_sync(session.dialogue, words)
        return JSONResponse({"q": words, "lines": lines})

    async def path(request: Request) -> Response:
        start, end = window(request)
        points = await to_thread.run_sync(session.path, start, end)
        return JSONResponse({"from": start, "to": end, "path": points})

    async def video(request: Request) -> Response:
        return FileResponse(session.settings.video, media_type="video/mp4")

    async def narration(request: Request) -> Response:
        entry = session.narration_file(int(request.path_params["n"]))
        if entry is None:
            return JSONResponse({"message": "not spoken yet"}, status_code=404)
        return FileResponse(entry, media_type="audio/mpeg")

    async def product(request: Request) -> Response:
        name = request.path_params["name"]
        vtt = name.endswith(".vtt")
        wanted = name[:-4] + ".srt" if vtt else name
        if wanted not in PRODUCTS:
            return JSONResponse({"message": "not found"}, status_code=404)
        path = os.path.join(session.settings.output_dir, wanted)
        if not os.path.isfile(path):
            return JSONResponse({"message": "not made yet"}, status_code=404)
        if vtt:
            with open(path, encoding="utf-8", errors="replace") as f:
                return Response(srt_to_vtt(f.read()), media_type="text/vtt")
        return FileResponse(path, media_type=PRODUCTS[wanted])

    async def fit(request: Request) -> Response:
        body = await _json_body(request)
        n = _number(body.get("n"), "n")
        voice = session.voice_index(body.get("voice", 0))
        start, end, text = (body.get(k) for k in ("start", "end", "voiceover"))
        if not (isinstance(start, str) and isinstance(end, str) and isinstance(text, str)):
            raise Refused(400, "start, end and voiceover must be strings")
        # a sound the check refuses is fitted as a narration (saving says what is wrong)
        heard = body.get(keys.SOUND_KEY)
        heard = heard if heard in keys.SOUNDS else keys.NARRATION
        # the paid service speaks only when the user asks
        speak = bool(body.get("speak")) or session.settings.choices[voice].engine != "service"
        result = await to_thread.run_sync(
            lambda: session.fit(n, start, end, text, voice, speak, bool(body.get("exact")), heard),
        )
        return JSONResponse(result)

    async def save(request: Request) -> Response:
        body = await _json_body(request)
        result = await to_thread.run_sync(
            lambda: session.save(body.get("segments"), body.get("overwrite") is True)
        )
        return JSONResponse(result)

    async def reload(request: Request) -> Response:
        await _json_body(request)
        await to_thread.run_sync(session.load)
        return JSONResponse(session.state())

    async def render(request: Request) -> Response:
        body = await _json_body(request)
        voice = session.voice_index(body.get("voice", 0))
        options = body.get("options")
        given = options if isinstance(options, dict) else {}
        names = ("captions", "burn", "exact", "finish", "music", "timeline", "snap")
        flags = {k: bool(given[k]) for k in names if k in given}
        style = given.get("caption_style", DEFAULT_CAPTION_STYLE)
        level = given.get("music_level")
        note = await to_thread.run_sync(
            lambda: session.start_render(
                body.get("segments"), body.get("speed"), voice, flags, style, level
            )
        )
        return JSONResponse({"message": "render started", "note": note})

    async def progress(request: Request) -> Response:
        return StreamingResponse(
            _progress_events(session),
            media_type="text/event-stream",
            headers={"cache-control": "no-store"},
        )

    async def refused(request: Request, exc: Exception) -> Response:
        assert isinstance(exc, Refused)
        return JSONResponse(exc.body, status_code=exc.status)

    routes = [
        Route("/", index),
        Route("/static/{name}", static),
        Route("/api/state", state),
        Route("/api/keyframes", keyframes),
        Route("/api/shots", shots),
        Route("/api/filmstrip", filmstrip),
        Route("/api/dialogue", dialogue),
        Route("/api/path", path),
        Route("/api/progress", progress),
        Route("/api/fit", fit, methods=["POST"]),
        Route("/api/save", save, methods=["POST"]),
        Route("/api/reload", reload, methods=["POST"]),
        Route("/api/render", render, methods=["POST"]),
        Route("/media/video", video),
        Route("/media/narration/{n:int}", narration),
        Route("/media/output/{name}", product),
    ]
    app = Starlette(routes=routes, exception_handlers={Refused: refused})
    return Guard(app, token, port)


async def _progress_events(session: Session) -> Any:
    """Server-sent events: every event of the render so far (so a reloaded page picks up
    again), then each new one, then the outcome. The job's warning lines come as events
    named "warning", their data the line as a JSON string."""
    render = session.render
    if render is None:
        yield "event: idle\ndata: {}\n\n"
        return
    sent = warned = 0
    while True:
        done = render.done  # read first: every event is in before the outcome is set
        events = render.events[sent:]
        for event in events:
            yield f"data: {json.dumps(event)}\n\n"
        sent += len(events)
        warnings = render.warnings[warned:]
        for line in warnings:
            yield f"event: warning\ndata: {json.dumps(line)}\n\n"
        warned += len(warnings)
        if done is not None:
            yield f"event: done\ndata: {json.dumps(done)}\n\n"
            return
        if session.closing.is_set():
            return
        await asyncio.sleep(0.2)


def srt_to_vtt(text: str) -> str:
    """SubRip captions as WebVTT, which a <track> element reads."""
    lines = ["WEBVTT", ""]
    for line in text.replace("\r\n", "\n").lstrip("\ufeff").split("\n"):
        if "-->" in line:
            line = line.replace(",", ".")
        lines.append(line)
    return "\n".join(lines)


# ---------------------------------------------------------------------------------------
# running it
# ---------------------------------------------------------------------------------------


class _Server(uvicorn.Server):
    """uvicorn's server, which also stops the render child the moment Ctrl-C arrives."""

    def __init__(self, config: uvicorn.Config, session: Session) -> None:
        super().__init__(config)
        self.session = session
        self.stopper: threading.Thread | None = None

    def handle_exit(self, sig: int, frame: FrameType | None) -> None:
        if self.stopper is None:
            self.stopper = threading.Thread(target=self.session.stop, name="studio-stop")
            self.stopper.start()
        super().handle_exit(sig, frame)


class _Terminated(Exception):
    pass


def _on_sigterm(sig: int, frame: FrameType | None) -> None:
    raise _Terminated


def bind(port: int | None) -> socket.socket:
    """A listening socket on 127.0.0.1: ``port``, or the first free one from DEFAULT_PORT."""
    tries = [port] if port is not None else range(DEFAULT_PORT, DEFAULT_PORT + PORT_TRIES)
    for candidate in tries:
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind(("127.0.0.1", candidate))
            sock.listen(64)
        except OSError as exc:
            sock.close()
            if exc.errno != errno.EADDRINUSE:
                raise StudioError(
                    f"cannot listen on 127.0.0.1:{candidate}: {exc.strerror}"
                ) from exc
            continue
        return sock
    if port is not None:
        raise StudioError(
            f"port {port} on 127.0.0.1 is in use: choose another with --port, or leave "
            f"--port out to take the next free port"
        )
    raise StudioError(
        f"ports {DEFAULT_PORT} to {DEFAULT_PORT + PORT_TRIES - 1} on 127.0.0.1 are all in use: "
        f"choose one with --port"
    )


def _open_browser(address: str, token: str, workdir: str) -> str:
    """Open the browser on a private local file that forwards to the address with the
    token, so that the token never stands on a command line."""
    path = os.path.join(workdir, "open-studio.html")
    target = f"{address}?token={token}"
    page = (
        '<!doctype html><meta charset="utf-8">'
        f'<meta http-equiv="refresh" content="0;url={target}">'
        f'<title>kestro studio</title><a href="{target}">Open the studio</a>\n'
    )
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
    with os.fdopen(fd, "w", encoding="utf-8") as f:
        f.write(page)
    threading.Thread(target=webbrowser.open, args=(f"file://{path}",), daemon=True).start()
    return path


def _fetch(link: str, cache: Cache) -> str:
    """The linked video, downloaded once through the cache; the cache entry's path."""
    entry = cache.get_download(Cache.download_key(link))
    if entry is not None:
        return entry
    with scratch.directory("kestro-studio-") as tmp:
        target = os.path.join(tmp, products.SOURCE)
        try:
            originals(extension())["_download_video"](link, target)
        except Exception as exc:
            raise StudioError(f"the download of {link} failed: {exc}") from exc
        entry = cache.put_download(Cache.download_key(link), target)
    if entry is None:
        raise StudioError("the downloaded video could not be kept in the cache (see above)")
    return entry


def default_speech() -> str:
    """piper with the bundled voice when it is installed, else espeak-ng."""
    return "piper" if default_piper_voice() is not None else "espeak-ng"


def serve(
    video: str | None,
    segments: str | None = None,
    *,
    link: str | None = None,
    speed: float = 1.0,
    speech: str | None = None,
    voice: str | None = None,
    voice_dir: str | None = None,
    output_dir: str = ".",
    port: int | None = None,
    open_browser: bool = True,
    music: str | None = None,
    music_level: float | None = None,
    subtitles: str | None = None,
    out: TextIO | None = None,
) -> int:
    """Serve the studio until Ctrl-C; give the exit status (0, or 130 when interrupted).
    ``music`` (an audio file) and ``music_level`` (dB against the voice; None: the run's
    default) are what a render lays under the finished short. ``subtitles`` (a file of
    timed lines) is what the dialogue search reads instead of the source's own subtitles.

    Raises StudioError, before anything is served, for arguments it cannot work with."""
    out = out or sys.stdout
    if (video is None) == (link is None):
        raise StudioError("give exactly one of VIDEO and --link LINK")
    make_last_directory(output_dir or ".")
    if not os.path.isdir(output_dir or "."):
        raise StudioError(f"output directory {output_dir!r} does not exist or is not a directory")
    speech = speech or default_speech()
    if speech not in SPEECH_ENGINES:
        raise StudioError(f"unknown speech engine {speech!r}")
    if speech == "service" and not voice:
        raise StudioError("the speech service needs --voice NAME (or use --speech piper)")
    problems = voice_problems(speech, voice, voice_dir)
    if problems:
        raise StudioError("\n".join(problems))
    music_level = DEFAULT_MUSIC_LEVEL if music_level is None else music_level
    problem = music_level_problem(music_level)
    if problem is not None:
        raise StudioError(f"--music-level: {problem}")
    if music is not None:
        music = probe_music(music)
    if subtitles is not None and not os.path.isfile(subtitles):
        raise StudioError(
            f"the subtitles file {subtitles!r} does not exist or is not a file: give the "
            f"path of a file of timed lines (an .srt), or leave --subtitles out to search "
            f"the video's own subtitles"
        )
    cache = Cache(warn=lambda line: print(line, file=sys.stderr))
    if link is not None:
        video = _fetch(link, cache)
    assert video is not None
    if segments is None:
        base = os.path.dirname(os.path.abspath(video)) if link is None else os.getcwd()
        segments = os.path.join(base, "segments.json")
    if os.path.isdir(segments):
        raise StudioError(f"the segments file {segments!r} is a directory")
    if not os.path.isdir(os.path.dirname(os.path.abspath(segments))):
        raise StudioError(f"the folder of the segments file {segments!r} does not exist")
    info = probe_video(video, output_dir)
    sock = bind(port)
    port = sock.getsockname()[1]
    settings = Settings(
        video=os.path.abspath(video),
        segments=os.path.abspath(segments),
        output_dir=os.path.abspath(output_dir or "."),
        speed=speed,
        link=link,
        choices=voice_choices(speech, voice, voice_dir),
        music=music,
        music_level=float(music_level),
        subtitles=None if subtitles is None else os.path.abspath(subtitles),
    )
    session = Session(settings, info, cache)
    token = secrets.token_urlsafe(24)
    config = uvicorn.Config(
        make_app(session, token, port),
        log_level="warning",
        access_log=False,
        lifespan="off",
        ws="none",
        timeout_graceful_shutdown=1,
    )
    server = _Server(config, session)
    address = f"http://127.0.0.1:{port}/"
    print(f"kestro studio: {address} (Ctrl-C stops it)", file=out)
    print(f"  video:    {settings.video}", file=out)
    print(f"  segments: {settings.segments}", file=out)
    print(f"  output:   {settings.output_dir}", file=out)
    if music is not None:
        print(f"  music:    {music} at {music_level:g} dB", file=out)
    if settings.subtitles is not None:
        print(f"  dialogue: {settings.subtitles}", file=out)
    if open_browser:
        _open_browser(address, token, session.workdir)
    else:
        print(f"  open {address}?token={token} in a browser", file=out)
    out.flush()
    status = 0
    previous = signal.signal(signal.SIGTERM, _on_sigterm)
    try:
        server.run(sockets=[sock])
    except KeyboardInterrupt:
        status = 130
    except _Terminated:
        status = 143
    finally:
        signal.signal(signal.SIGTERM, previous)
        if server.stopper is None:
            session.stop()
        else:
            server.stopper.join(10)
        session.remove_workdir()
        with contextlib.suppress(OSError):
            sock.close()
    return status
