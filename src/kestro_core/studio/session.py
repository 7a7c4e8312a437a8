"""What the studio holds between requests: the source video, the segments file as it was
loaded, the voices, the narration worker and the render child.

Nothing here knows about HTTP. Every path comes from the command line; what the page sends
is Segment text, numbers and indexes, never a path.
"""

from __future__ import annotations

import contextlib
import dataclasses
import hashlib
import json
import os
import shlex
import shutil
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from concurrent.futures import CancelledError, Future, ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any

from kestro_core.cuts.sources import source_problems
from kestro_core.finding.dialogue import SubtitleError, find_lines
from kestro_core.finding.filmstrip import MAX_TILES, FilmstripError, filmstrip
from kestro_core.finding.shots import shot_changes
from kestro_core.job.binding import extension, originals
from kestro_core.job.check import check_job
from kestro_core.job.events import WARNING, Event, describe_step
from kestro_core.media import (
    MediaError,
    Probes,
    VideoInfo,
    keyframe_times,
    read_windows,
)
from kestro_core.options import (
    DEFAULT_MUSIC_LEVEL,
    MUSIC_LEVELS,
    JobOptions,
    music_level_problem,
    run_argv,
)
from kestro_core.picture.captions import STYLES as CAPTION_STYLES
from kestro_core.picture.framing import subject_path
from kestro_core.planning import Narrator, fitted_end, segment_plan
from kestro_core.segments import keys
from kestro_core.segments import model as segments
from kestro_core.segments.timecode import format_like, parse_time
from kestro_core.sound.mix import music_problem
from kestro_core.speech.piper import default_piper_voice, piper_voices
from kestro_core.speech.voices import open_speaker
from kestro_core.store import products, scratch
from kestro_core.store.cache import Cache
from kestro_core.store.files import place

__all__ = [
    "StudioError",
    "Refused",
    "VoiceChoice",
    "Narrations",
    "Settings",
    "Session",
    "Render",
    "probe_video",
    "probe_music",
    "keyframes_between",
    "KEYFRAME_WINDOW",
    "voice_choices",
    "speak_with_service",
    "PRODUCTS",
    "CAPTION_STYLES",
    "WARNING",
]

# What Debian's Chromium plays without extra codecs.
PLAYABLE_VIDEO = ("h264", "vp8", "vp9", "av1")
PLAYABLE_AUDIO = ("aac", "mp3", "opus", "vorbis", "flac")
MAX_SEGMENTS = 5000
STOP_GRACE = 2.0  # seconds between SIGINT and SIGTERM to the render's process group
FAILURE_LINES = 12  # of the render's stderr, when it ends without its failure paragraph
KEYFRAME_WINDOW = 300.0  # s: the longest stretch of the source one keyframe request reads
SHOT_WINDOW = 300.0  # s: the longest stretch one request looks for shot changes in
PATH_LONGEST = 600.0  # s: the longest range whose auto frame's path the page may ask for
MAX_WORDS = 200  # characters of a dialogue search
MAX_LINES = 200  # dialogue lines in one answer

# The output files the page may fetch, by the name it asks for, with their media types.
_TYPES = {".srt": "application/x-subrip", ".json": "application/json", ".mp4": "video/mp4"}
PRODUCTS = {name: _TYPES[os.path.splitext(name)[1]] for name in products.PRODUCTS}
STDERR_DRAIN = 5.0  # s to wait for the render's stderr to close once the job has ended


class StudioError(ValueError):
    """The studio cannot start with these arguments; the message says what to do."""


class Refused(Exception):
    """A request the studio turns down: ``status`` is the HTTP status, ``body`` the JSON
    answer (always with a "message")."""

    def __init__(self, status: int, message: str, **extra: Any) -> None:
        super().__init__(message)
        self.status = status
        self.body: dict[str, Any] = {"message": message, **extra}


# ---------------------------------------------------------------------------------------
# the source video
# ---------------------------------------------------------------------------------------


def probe_video(path: str, output_dir: str) -> VideoInfo:
    """Check that ``path`` is a video the page can play; raise StudioError otherwise."""
    probes = Probes()
    problems = source_problems(path, output_dir, probes)
    if problems:
        raise StudioError(problems[0])
    try:
        info = probes.get(os.path.abspath(path)).video_info()
    except MediaError as exc:
        raise StudioError(f"ffprobe could not read the source video {path!r}: {exc}") from exc
    if info is None:
        raise StudioError(f"source video {path!r} has no video stream")
    codecs = [info.codec, *([info.audio_codec] if info.audio_codec is not None else [])]
    if info.codec not in PLAYABLE_VIDEO or (info.audio_codec or "aac") not in PLAYABLE_AUDIO:
        raise StudioError(
            f"the browser cannot play the source video {path!r} ({', '.join(codecs)}; it plays "
            f"H.264, VP8, VP9 and AV1 with AAC, MP3 or Opus). Make an H.264 preview copy and "
            f"open that instead:\n  ffmpeg -i {shlex.quote(path)} -c:v libx264 -preset veryfast "
            f"-crf 20 -c:a aac {shlex.quote(os.path.splitext(path)[0] + '-preview.mp4')}"
        )
    if not info.duration or info.duration <= 0:
        raise StudioError(f"ffprobe reports no duration for the source video {path!r}")
    return dataclasses.replace(info, fps=info.fps or 25.0)


def probe_music(path: str) -> str:
    """The music file's absolute path, once ffprobe finds sound in it; StudioError
    otherwise."""
    problem = music_problem(path)
    if problem is not None:
        raise StudioError(problem)
    return os.path.abspath(path)


def keyframes_between(path: str, origin: float, start: float, end: float) -> list[float]:
    """The keyframes of ``path``'s first video stream from the last one at or before
    ``start`` up to ``end`` (seconds from ``origin``, the container's start time, as ``-ss``
    counts them). ffprobe seeks there through the file's index and reads that stretch only."""
    (window,) = read_windows(path, [(origin + start, origin + end)])
    return keyframe_times(window, origin)


# ---------------------------------------------------------------------------------------
# voices
# ---------------------------------------------------------------------------------------


@dataclass(frozen=True)
class VoiceChoice:
    engine: str
    voice: str | None
    voice_dir: str | None
    label: str


def voice_choices(speech: str, voice: str | None, voice_dir: str | None) -> list[VoiceChoice]:
    """The voices the page may pick from, by index: the command line's voice first, then
    the voices in the voices directory, then the bundled piper voice."""
    first_label = {
        "service": f"speech service: {voice}",
        "espeak-ng": f"espeak-ng: {voice or 'en-us'}",
    }.get(speech, f"piper: {voice or 'bundled voice'}")
    choices = [VoiceChoice(speech, voice, voice_dir, first_label)]
    if voice_dir:
        for name in piper_voices(voice_dir):
            if speech != "piper" or name != voice:
                choices.append(VoiceChoice("piper", name, voice_dir, f"piper: {name}"))
    if default_piper_voice() is not None and not (speech == "piper" and voice is None):
        choices.append(VoiceChoice("piper", None, None, "piper: bundled voice"))
    return choices


def speak_with_service(text: str, output_file: str, voice: str) -> None:
    """The speech service, through the extension's own client (loaded at the first use)."""
    originals(extension())["_generate_tts"](text, output_file, voice)


class Narrations:
    """Speaks narrations on one worker thread (a piper model must not be shared between
    threads) into the same cache the render uses."""

    def __init__(self, choices: list[VoiceChoice], cache: Cache) -> None:
        self.choices = choices
        self.cache = cache
        self._pool = ThreadPoolExecutor(max_workers=1, thread_name_prefix="studio-voice")
        self._narrators: dict[int, Narrator] = {}
        self.spoken: dict[int, tuple[int, str]] = {}  # Segment number -> (voice, text)
        self._lock = threading.RLock()  # cancelling a future calls back on this thread
        self._waiting: set[Future[Any]] = set()
        self._closed = False

    def submit(self, fn: Callable[[], Any]) -> Future[Any]:
        with self._lock:
            future = self._pool.submit(fn)
            self._waiting.add(future)
        future.add_done_callback(self._done)
        return future

    def _done(self, future: Future[Any]) -> None:
        with self._lock:
            self._waiting.discard(future)

    def _narrator(self, index: int) -> Narrator:
        # only ever called on the worker thread
        if index not in self._narrators:
            c = self.choices[index]
            speaker = open_speaker(c.engine, c.voice, c.voice_dir, self.cache, speak_with_service)
            self._narrators[index] = Narrator(speaker, self.cache)
        return self._narrators[index]

    def length(self, index: int, text: str, speak: bool) -> float | None:
        """The narration's length in seconds, speaking it once into the cache; None when
        it is not cached and ``speak`` is false. Runs on the worker thread."""
        narrator = self._narrator(index)
        if not speak and narrator.speech.cached(text) is None:
            return None
        return float(narrator.length(text))

    def cached(self, index: int, text: str) -> str | None:
        """The cache entry of ``text`` in voice ``index``, once that voice has been opened."""
        narrator = self._narrators.get(index)
        if narrator is None:
            return None
        return narrator.speech.cached(text)

    def close(self, wait: bool = False) -> None:
        """Stop the worker: the narrations not yet begun are cancelled; once the one being
        spoken is done, the voices are closed on the worker (``wait``: before returning)."""
        with self._lock:
            if not self._closed:
                self._closed = True
                for future in list(self._waiting):
                    future.cancel()
                self._pool.submit(self._release)
                self._pool.shutdown(wait=False)
        if wait:
            self._pool.shutdown(wait=True)

    def _release(self) -> None:
        for narrator in self._narrators.values():
            narrator.close()
            narrator.speech.speaker.close()
        self._narrators.clear()


# ---------------------------------------------------------------------------------------
# the render child
# ---------------------------------------------------------------------------------------


class Render:
    """One run of the job as a child process, in a process group of its own, so that
    stopping it also stops the ffmpeg it started. Its events come as JSON lines on its
    stdout; whatever else it prints goes to its stderr, which ends with the failure
    paragraph when it fails."""

    def __init__(self, options: JobOptions, time_limit: float, workdir: str) -> None:
        self.output_dir = options.output_dir
        self.time_limit = time_limit
        self.events: list[dict[str, Any]] = []  # each Event, its step in words, when it came
        self.warnings: list[str] = []  # the job's warnings (events of their own), as they came
        self.done: dict[str, Any] | None = None
        self.changed = threading.Condition()
        self._stopping = self._timed_out = False
        # the child's stderr is copied into this file as it comes (read at the end for its
        # failure paragraph)
        self._errors = open(os.path.join(workdir, "render-stderr.txt"), "w+b")  # noqa: SIM115
        self._errors_lock = threading.Lock()
        self.proc = subprocess.Popen(
            [sys.executable, "-P", "-m", "kestro_core", *run_argv(options), "--events"],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            env=dict(os.environ, PYTHONUNBUFFERED="1"),
            start_new_session=True,
        )
        self._started, self._began = time.monotonic(), time.time() - 1.0  # (file times: coarse)
        self._stderr = threading.Thread(target=self._copy_stderr, name="studio-render-stderr")
        self._stderr.daemon = True
        self._stderr.start()
        threading.Thread(target=self._read, name="studio-render", daemon=True).start()
        threading.Thread(target=self._watch, name="studio-render-limit", daemon=True).start()

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            try:
                event = Event.from_json(line)
            except (ValueError, KeyError, TypeError):
                continue  # not an event
            if event.step == WARNING:
                with self.changed:
                    self.warnings.append(event.message)
                    self.changed.notify_all()
                continue
            seen = {"label": describe_step(event), "t": time.monotonic() - self._started}
            with self.changed:
                self.events.append({**dataclasses.asdict(event), **seen})
                self.changed.notify_all()
        code = self.proc.wait()
        # an ffmpeg the job left behind may hold the pipe open: read what came by then
        self._stderr.join(STDERR_DRAIN)
        with self._errors_lock:
            self._errors.seek(0)
            message = _failure(self._errors.read().decode("utf-8", "replace"))
            self._errors.close()
        made = [n for n in PRODUCTS if _written_since(self.output_dir, n, self._began)]
        ok = code == 0 and products.VERTICAL in made
        if self._timed_out:
            message = f"The render ran longer than {self.time_limit:.0f} s: stopped.\n{message}"
        elif not ok and not message:
            message = f"the job exited with status {code} and printed no error"
        with self.changed:
            self.done = {
                "ok": ok,
                "code": code,
                "stopped": self._stopping,
                "message": "" if ok else message.strip(),
                "products": made if ok else [],
            }
            self.changed.notify_all()

    def _copy_stderr(self) -> None:
        assert self.proc.stderr is not None
        for line in self.proc.stderr:
            with self._errors_lock:
                if self._errors.closed:
                    return
                self._errors.write(line)

    def _watch(self) -> None:
        with self.changed:
            finished = self.changed.wait_for(lambda: self.done is not None, self.time_limit)
        if not finished:
            self._timed_out = True
            self.stop()

    @property
    def running(self) -> bool:
        return self.done is None

    def stop(self, grace: float = STOP_GRACE) -> None:
        """SIGINT to the child's process group (the job prints its paragraph and ends its
        ffmpeg); SIGTERM after ``grace`` seconds and SIGKILL a second later if it stays."""
        self._stopping = True
        for sig, wait in ((signal.SIGINT, grace), (signal.SIGTERM, 1.0), (signal.SIGKILL, 1.0)):
            try:
                os.killpg(self.proc.pid, sig)
            except (ProcessLookupError, PermissionError):
                return
            try:
                self.proc.wait(wait)
            except subprocess.TimeoutExpired:
                continue
            # the leader is gone; whatever it started in its group goes too
            with contextlib.suppress(ProcessLookupError, PermissionError):
                os.killpg(self.proc.pid, signal.SIGKILL)
            return


# ---------------------------------------------------------------------------------------
# the session
# ---------------------------------------------------------------------------------------


def _fingerprint(path: str) -> tuple[int, int, str] | None:
    try:
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            digest = hashlib.sha256(f.read()).hexdigest()
    except FileNotFoundError:
        return None
    return (st.st_mtime_ns, st.st_size, digest)


def _as_text(value: Any) -> str:
    return value if isinstance(value, str) else ("" if value is None else json.dumps(value))


def _text_of(path: str) -> str | None:
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()
    except OSError:
        return None


@dataclass
class Settings:
    video: str
    segments: str
    output_dir: str
    speed: float
    link: str | None = None
    choices: list[VoiceChoice] = field(default_factory=list)
    music: str | None = None  # heard only in the finished short
    music_level: float = DEFAULT_MUSIC_LEVEL
    subtitles: str | None = None  # the dialogue search's file (None: the source's own)


def _written_since(directory: str, name: str, since: float) -> bool:
    """``name`` is a file this render wrote (not one left by an earlier run)."""
    path = os.path.join(directory, name)
    return os.path.isfile(path) and os.path.getmtime(path) >= since


def _failure(stderr: str) -> str:
    """What the render's stderr says of its end: from the failure paragraph on (it starts
    with the program's name), else its last lines."""
    lines = stderr.strip().splitlines()
    starts = [i for i, line in enumerate(lines) if line.startswith("kestro_core run")]
    return "\n".join(lines[starts[-1] if starts else -FAILURE_LINES :])


class Session:
    """The studio's state for one run of ``studio``."""

    def __init__(self, settings: Settings, info: VideoInfo, cache: Cache) -> None:
        self.settings = settings
        self.info = info
        self.cache = cache
        self.narrations = Narrations(settings.choices, cache)
        self.workdir = scratch.mkdtemp("kestro-studio-")  # private: mode 0700
        self._lock = threading.Lock()
        self.render: Render | None = None
        self.closing = threading.Event()
        self.bak_written = False
        self.opened = os.path.join(self.workdir, "opened.json")  # the file as first loaded
        self.baseline: list[dict[str, Any]] = []
        self.fingerprint: tuple[int, int, str] | None = None
        self.problems = ""
        self.blocked = False
        self.probes = Probes()  # the source's, kept while it stays as it is
        try:  # the header's start time: what the page's times and -ss count from
            self.origin = self.probes.get(settings.video).start_time
        except MediaError:
            self.origin = 0.0
        self.load(first=True)

    # -- loading --------------------------------------------------------------------

    def load(self, first: bool = False) -> None:
        """(Re)read the segments file. A file that is not a list of objects opens as no
        Segments, with its problems listed, and saving over it needs an explicit choice."""
        path = self.settings.segments
        with self._lock:
            self.fingerprint = _fingerprint(path)
            self.problems, self.blocked, self.baseline = "", False, []
            if self.fingerprint is None:
                return
            if first:
                shutil.copyfile(path, self.opened)
            report = check_job(
                path, None, self.settings.output_dir, source=self.settings.video, probes=self.probes
            )
            if report:
                self.problems = report.listing(path)
            doc = segments.load(segments.Report(), path)
            if not isinstance(doc, list) or not all(isinstance(seg, dict) for seg in doc):
                self.blocked = True
                return
            self.baseline = doc

    def state(self) -> dict[str, Any]:
        """What the page needs to draw itself."""
        s = self.settings
        segments = [
            {
                "id": i,
                "start": _as_text(seg.get("start")),
                "end": _as_text(seg.get("end")),
                "voiceover": _as_text(seg.get("voiceover")),
                # as the file has it (any JSON value); left out when the Segment has none
                **({keys.FRAME_KEY: seg[keys.FRAME_KEY]} if keys.FRAME_KEY in seg else {}),
                **({keys.SOUND_KEY: seg[keys.SOUND_KEY]} if keys.SOUND_KEY in seg else {}),
            }
            for i, seg in enumerate(self.baseline)
        ]
        render = self.render
        music = None
        if s.music is not None:
            name, level = os.path.basename(s.music), s.music_level
            music = {"name": name, "level": level, "levels": list(MUSIC_LEVELS)}
        return {
            "segments": segments,
            "problems": self.problems,
            "blocked": self.blocked,
            "paths": {"video": s.video, "segments": s.segments, "output": s.output_dir},
            "video": dataclasses.asdict(self.info),
            "speed": s.speed,
            "keyframe_window": KEYFRAME_WINDOW,
            "shot_window": SHOT_WINDOW,
            "path_longest": PATH_LONGEST,
            "max_tiles": MAX_TILES,
            "voices": [{"label": c.label, "paid": c.engine == "service"} for c in s.choices],
            "render": None if render is None else {"running": render.running},
            "products": {
                "vertical": products.VERTICAL,
                "horizontal": products.HORIZONTAL,
                "captions": products.VERTICAL_CAPTIONS,
                "captioned": products.CAPTIONED,
                "finished": products.FINISHED,
                "words": [products.VERTICAL_WORDS, products.HORIZONTAL_WORDS],
            },
            "caption_styles": list(CAPTION_STYLES),
            "music": music,
        }

    def keyframes(self, start: float, end: float) -> list[float]:
        """The keyframes from the last one at or before ``start`` up to ``end``, for a
        window of at most KEYFRAME_WINDOW seconds (400 otherwise)."""
        if not (0 <= start <= end and round(end - start, 3) <= KEYFRAME_WINDOW):
            raise Refused(400, f"ask for 0 <= from <= to, at most {KEYFRAME_WINDOW:g} s apart")
        try:
            return keyframes_between(self.settings.video, self.origin, start, end)
        except MediaError as exc:
            raise Refused(502, f"ffprobe could not read the keyframes: {exc}") from exc

    # -- finding the moment -----------------------------------------------------------

    def _span(self, start: float, end: float, longest: float, what: str) -> None:
        if not (0 <= start < end and round(end - start, 3) <= longest):
            raise Refused(400, f"ask for 0 <= from < to, at most {longest:g} s apart, {what}")

    def shots(self, start: float, end: float) -> list[float]:
        """The shot changes from ``start`` to ``end``, a window of at most SHOT_WINDOW s."""
        self._span(start, end, SHOT_WINDOW, "for shot changes")
        try:
            found = shot_changes(self.settings.video, start, end, cache=self.cache)
            return [float(t) for t in found]
        except MediaError as exc:
            raise Refused(502, f"ffmpeg could not look for shot changes: {exc}") from exc

    def filmstrip(self, start: float, end: float, count: int) -> bytes:
        """The JPEG of ``count`` small pictures from ``start`` to ``end``."""
        duration = self.info.duration or 0.0
        if end > duration + 1.0:
            raise Refused(400, f"the video ends at {duration:g} s")
        try:
            return filmstrip(self.settings.video, start, end, count, cache=self.cache)
        except FilmstripError as exc:
            raise Refused(400, str(exc)) from exc
        except MediaError as exc:
            raise Refused(502, f"ffmpeg could not make the filmstrip: {exc}") from exc

    def dialogue(self, words: str) -> list[dict[str, Any]]:
        """The lines of dialogue that say ``words``, from the source's own subtitles or the
        command line's subtitles file; a problem with those is a 422 saying what to do."""
        words = words.strip()
        if len(words) > MAX_WORDS:
            raise Refused(400, f"search for at most {MAX_WORDS} characters")
        if not words:
            return []
        s = self.settings
        try:
            lines = find_lines(s.video, words, subtitles=s.subtitles, cache=self.cache)
        except SubtitleError as exc:
            raise Refused(422, str(exc)) from exc
        except ValueError as exc:  # words with nothing to search for in them
            raise Refused(400, str(exc)) from exc
        except MediaError as exc:
            raise Refused(502, f"ffmpeg could not read the subtitles: {exc}") from exc
        return [
            {"start": line.start, "end": line.end, "text": line.text} for line in lines[:MAX_LINES]
        ]

    def path(self, start: float, end: float) -> list[list[float]]:
        """Where an "auto" frame's centre goes over ``start`` to ``end``: [time, centre]
        points, sorted, the centre a fraction of the picture's width."""
        self._span(start, end, PATH_LONGEST, "for a frame's path")
        try:
            points = subject_path(
                self.settings.video, start, end, cache=self.cache, probes=self.probes
            )
        except MediaError as exc:
            raise Refused(502, f"ffmpeg could not follow the picture: {exc}") from exc
        except ValueError as exc:  # no picture to follow
            raise Refused(422, str(exc)) from exc
        return [[float(t), float(x)] for t, x in points]

    # -- the page's Segments --------------------------------------------------------

    def merged(self, page: Any) -> list[dict[str, Any]]:
        """The page's Segments as the file will hold them: a Segment that came from the
        file keeps its other keys, in their order."""
        if not isinstance(page, list) or len(page) > MAX_SEGMENTS:
            raise Refused(400, "the Segments must be a list")
        doc = []
        for item in page:
            if not isinstance(item, dict):
                raise Refused(400, "each Segment must be an object")
            values = [item.get(k) for k in segments.REQUIRED_KEYS]
            if not all(isinstance(v, str) for v in values):
                raise Refused(400, "start, end and voiceover must be strings")
            ident = item.get("id")
            base: dict[str, Any] = {}
            if type(ident) is int and 0 <= ident < len(self.baseline):
                base = self.baseline[ident]
            seg = dict(base)
            for key, value in zip(segments.REQUIRED_KEYS, values, strict=True):
                seg[key] = value
            # the page's frame and sound (the check says what is wrong with them)
            for key in (keys.FRAME_KEY, keys.SOUND_KEY):
                if key in item:
                    seg[key] = item[key]
            doc.append(seg)
        return doc

    def check(self, doc: list[dict[str, Any]], speed: float | None, voice: int | None) -> None:
        """Refuse (422, with the listing) when ``check`` finds a problem."""
        tmp = os.path.join(self.workdir, "check.json")
        segments.write(tmp, segments.dump(doc))
        kwargs: dict[str, Any] = {}
        if voice is not None:
            choice = self.settings.choices[voice]
            kwargs = {"speech": choice.engine, "voice": choice.voice, "voice_dir": choice.voice_dir}
        report = check_job(
            tmp,
            speed,
            self.settings.output_dir,
            source=self.settings.video,
            probes=self.probes,
            **kwargs,
        )
        if report:
            raise Refused(
                422, "check found problems", problems=report.listing(self.settings.segments)
            )

    def save(self, page: Any, overwrite: bool) -> dict[str, Any]:
        """Check, then write the segments file atomically; the file as it was when the
        studio opened it goes to SEGMENTS.bak once per run."""
        doc = self.merged(page)
        self.check(doc, None, None)
        path = self.settings.segments
        with self._lock:
            if not overwrite:
                if self.blocked:
                    raise Refused(
                        409,
                        f"{path} had problems when it was opened; saving would replace it. "
                        f"Reload it, or overwrite it with the page's Segments.",
                        conflict=True,
                    )
                if _fingerprint(path) != self.fingerprint:
                    raise Refused(
                        409,
                        f"{path} has changed on disk since it was loaded or last saved. "
                        f"Reload it (the page's changes are dropped), or overwrite it.",
                        conflict=True,
                    )
            if os.path.isfile(self.opened) and not self.bak_written:
                place(self.opened, path + ".bak", link=False)
                self.bak_written = True
            segments.write(path, segments.dump(doc, like=_text_of(path)))
            self.fingerprint = _fingerprint(path)
            self.baseline, self.blocked, self.problems = doc, False, ""
        return {"message": f"saved {len(doc)} Segments to {path}", "ids": list(range(len(doc)))}

    # -- narrations and fit ----------------------------------------------------------

    def voice_index(self, value: Any) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            raise Refused(400, "voice must be an index into the voice list")
        if not 0 <= value < len(self.settings.choices):
            raise Refused(400, f"there is no voice number {value}")
        return value

    def fit(
        self,
        n: int,
        start: str,
        end: str,
        text: str,
        voice: int,
        speak: bool,
        exact: bool,
        heard: str = keys.NARRATION,
    ) -> dict[str, Any]:
        """The plan of Segment ``n`` (1-based): speaks its narration (on the worker
        thread) when it is not in the cache yet. Blocks; call it off the event loop.
        "fitted_end" is the end ``plan --fit`` would write: start + narration, rounded up
        to a tenth of a second, in the form of ``end`` (of ``start`` when ``end`` is no
        time); past the end of the source, "fit_error" says so instead. An "original"
        Segment (``heard``) speaks nothing: it plays its whole range with its own sound."""
        t0, t1 = parse_time(start), parse_time(end)
        if t0 is None:
            return {"error": "start is not a time: write HH:MM:SS.mmm or seconds"}
        if heard == keys.ORIGINAL:
            self.narrations.spoken.pop(n, None)
            if t1 is None or t1 <= t0:
                bad = "end is not a time: write HH:MM:SS.mmm or seconds"
                return {"error": bad if t1 is None else "end is not after start"}
            return {
                "original": True,
                "range": (t1 - t0) / 1e6,
                "narration": None,
                "fitted_end": None,
                "fit_error": "this Segment plays its whole range with its own sound: "
                "there is no narration to fit",
            }
        if not text.strip():
            return {
                "error": "the narration is empty: write one, or choose the original sound "
                "to play the range with its own sound"
            }
        self.narrations.spoken[n] = (voice, text)
        try:
            length = self.narrations.submit(
                lambda: self.narrations.length(voice, text, speak)
            ).result()
        except (ValueError, OSError) as exc:  # VoiceError, a narration that cannot be measured
            return {"error": str(exc)}
        except CancelledError:
            return {"error": "the studio is stopping"}
        result: dict[str, Any] = {"narration": length, "fitted_end": None}
        if length is not None:
            fitted_us = fitted_end(t0, length)
            fitted = format_like(end if t1 is not None else start, fitted_us)
            if self.info.duration is not None and fitted_us > round(self.info.duration * 1e6):
                result["fit_error"] = (
                    f"the whole narration needs end at {fitted}, past the end of the video"
                )
            else:
                result["fitted_end"] = fitted
        if t1 is None or t1 <= t0:
            bad = "end is not a time: write HH:MM:SS.mmm or seconds"
            return {**result, "error": bad if t1 is None else "end is not after start"}
        result["range"] = (t1 - t0) / 1e6
        if length is None:
            return result
        try:
            marks = None if exact else self.keyframes(t0 / 1e6, t0 / 1e6)
        except Refused:
            marks = None  # planned as if the source were not at hand
        plan = segment_plan(n, t0 / 1e6, t1 / 1e6, length, marks, exact=exact)
        for name in ("range", "narration", "piece", "cut_off", "dropped", "held", "preroll"):
            value = getattr(plan, name)
            result[name] = None if value is None else float(value)
        result["loss"] = plan.loss()
        result["problems"] = plan.problems()
        return result

    def narration_file(self, n: int) -> str | None:
        spoken = self.narrations.spoken.get(n)
        if spoken is None:
            return None
        return self.narrations.cached(*spoken)

    # -- render ---------------------------------------------------------------------

    def start_render(
        self,
        page: Any,
        speed: Any,
        voice: int,
        options: dict[str, bool],
        caption_style: Any,
        music_level: Any = None,
    ) -> str:
        """Check the page's Segments with these settings, then run the job on them (the
        run itself checks nothing more). The music (unless ``options["music"]`` is false)
        is heard only in the finished short, which is then made whether or not
        ``options["finish"]`` asked for it; the answer says so when it did not (else "")."""
        if isinstance(speed, bool) or not isinstance(speed, (int, float)):
            raise Refused(400, "speed must be a number")
        if caption_style not in CAPTION_STYLES:
            raise Refused(400, f"caption_style must be one of {', '.join(CAPTION_STYLES)}")
        s = self.settings
        music = s.music if options.get("music", True) else None
        level = s.music_level if music_level is None else music_level
        if music is None:
            level = DEFAULT_MUSIC_LEVEL  # nothing to set the level of
        problem = music_level_problem(level)
        if problem is not None:
            raise Refused(400, problem)
        finish = options.get("finish", False)
        note = ""
        if music is not None and not finish:
            finish = True
            note = "the finished short is made too: the music is heard only there"
        with self._lock:
            if self.render is not None and self.render.running:
                raise Refused(409, "a render is running: wait for it to finish")
            if self.closing.is_set():
                raise Refused(409, "the studio is stopping")
            doc = self.merged(page)
            self.check(doc, float(speed), voice)
            segfile = os.path.join(self.workdir, "render-segments.json")
            segments.write(segfile, segments.dump(doc))
            choice = s.choices[voice]
            job = JobOptions(
                segfile,
                float(speed),
                link=s.link,
                source=os.path.abspath(s.video) if s.link is None else None,
                speech=choice.engine,
                voice=choice.voice,
                voice_dir=choice.voice_dir,
                output_dir=s.output_dir,
                cache_dir=self.cache.root,
                use_cache=self.cache.enabled,
                check=False,
                captions=options.get("captions", True),
                burn_captions=options.get("burn", False),
                exact_joins=options.get("exact", True),
                finish=finish,
                caption_style=caption_style,
                music=music,
                music_level=float(level),
                timeline=options.get("timeline", False),
                snap=options.get("snap", False),
            )
            narrated = sum(seg.end - seg.start for seg in segments.read(segfile))
            self.render = Render(job, max(900.0, 30.0 * narrated), self.workdir)
        return note

    def stop(self) -> None:
        """Stop the render (if any) and the narration worker."""
        self.closing.set()
        render = self.render
        if render is not None and render.running:
            render.stop()
        self.narrations.close()

    def remove_workdir(self) -> None:
        shutil.rmtree(self.workdir, ignore_errors=True)
