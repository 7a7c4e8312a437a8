"""The one way the package runs ffprobe and ffmpeg.

Every run of the package's own goes through ``run``: the program is looked up once (a
missing one is a ``MissingProgram`` that says how to install it), each run gets a time
limit from how much media it handles, and a failure of any kind is a ``MediaError`` that
carries the command's last line of stderr. An encode can report how far it is from
ffmpeg's own progress output. (The extension's runs inside a job go through the job's
seam; the voices start their own programs.) Every program the package starts, there too,
is started with ``child_options()``: on Linux it ends when the thread that started it
ends, also when the job is killed outright.
"""

from __future__ import annotations

import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
from collections.abc import Callable, Sequence
from typing import Any

__all__ = [
    "INSTALL",
    "child_options",
    "MediaError",
    "MissingProgram",
    "require",
    "time_limit",
    "run",
    "progress_options",
    "read_progress",
    "follow",
    "local_path",
]

INSTALL = "install it with: apt-get install ffmpeg"  # ffprobe comes with ffmpeg
PROBE_TIME = 120.0  # seconds every run may take, whatever it handles
PER_MEDIA_SECOND = 10.0  # and per second of media it reads or writes (1080p encodes included)


_PR_SET_PDEATHSIG = 1
_prctl = ctypes.CDLL(None, use_errno=True).prctl if sys.platform.startswith("linux") else None


def child_options() -> dict[str, Any]:
    """What every program a job starts is started with (``subprocess``'s keywords): on Linux
    a signal that kills it when the thread that started it ends (which waits for it: so
    when its process ends, however it ends, a kill -9 included). Elsewhere nothing: there
    a child ends with the job on a normal exit or Ctrl-C only."""
    if _prctl is None:
        return {}
    prctl, parent = _prctl, os.getpid()

    def die_with_parent() -> None:
        prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != parent:  # the parent died before the signal was asked for
            os.kill(os.getpid(), signal.SIGKILL)

    return {"preexec_fn": die_with_parent}


class MediaError(RuntimeError):
    """An ffprobe or ffmpeg run could not start, failed or ran out of time.

    ``argv`` is the command, ``returncode`` its exit status (None: it did not finish) and
    ``detail`` the last line it wrote to stderr."""

    def __init__(
        self, argv: Sequence[str], message: str, returncode: int | None = None, detail: str = ""
    ) -> None:
        super().__init__(message)
        self.argv = list(argv)
        self.returncode = returncode
        self.detail = detail


class MissingProgram(MediaError):
    """ffmpeg or ffprobe is not on PATH."""


def require(program: str) -> str:
    """The path of ``program``; MissingProgram naming it and how to install it."""
    found = shutil.which(program)
    if found is None:
        raise MissingProgram([program], f"{program} is not on PATH: {INSTALL}")
    return found


def time_limit(media_seconds: float = 0.0) -> float:
    """How long a run that reads or writes ``media_seconds`` of media may take."""
    return PROBE_TIME + PER_MEDIA_SECOND * max(0.0, media_seconds)


def _last_line(stderr: bytes) -> str:
    lines = stderr.decode("utf-8", "replace").strip().splitlines()
    return lines[-1].strip() if lines else ""


def progress_options() -> list[str]:
    """What ffmpeg needs to write its progress on stdout (put right after the program)."""
    return ["-progress", "pipe:1", "-nostats"]


def read_progress(lines: Any, length: float, report: Callable[[float], object]) -> None:
    """Follow ffmpeg's ``-progress`` output (``key=value`` lines) and report the fraction
    of ``length`` seconds written so far; 1.0 once ffmpeg says it has ended."""
    last = -1.0
    for raw in lines:
        key, _, value = raw.decode("ascii", "replace").strip().partition("=")
        if key == "out_time_us" and value.lstrip("-").isdigit() and length > 0:
            fraction = min(1.0, max(0.0, int(value) / 1e6 / length))
            if fraction >= last + 0.01:
                last = fraction
                report(fraction)
        elif key == "progress" and value == "end" and last < 1.0:
            last = 1.0
            report(1.0)


def run(
    argv: Sequence[str],
    *,
    media_seconds: float = 0.0,
    input: bytes | None = None,
    cwd: str | None = None,
    progress: Callable[[float], object] | None = None,
) -> subprocess.CompletedProcess[bytes]:
    """Run ffprobe or ffmpeg (``argv[0]``) to the end; its stdout in the result.

    With ``progress``, an encode of ``media_seconds`` of output reports the fraction done
    (from ffmpeg's own progress output, read on the calling thread) and its stdout is not
    kept. Raises MediaError when the program is missing, fails or passes its time limit."""
    command = [require(argv[0]), *argv[1:]]
    limit = time_limit(media_seconds)
    name = argv[0]
    try:
        if progress is None:
            done = subprocess.run(
                command,
                input=input,
                capture_output=True,
                cwd=cwd,
                timeout=limit,
                **child_options(),
            )
        else:
            done = follow(command, media_seconds, progress, limit=limit, cwd=cwd)
    except subprocess.TimeoutExpired as exc:
        detail = _last_line(exc.stderr or b"")
        message = f"{name} took longer than {limit:.0f} s and was stopped"
        raise MediaError(argv, message, None, detail) from None
    except OSError as exc:
        raise MediaError(argv, f"{name} could not be started: {exc}") from exc
    if done.returncode != 0:
        detail = _last_line(done.stderr)
        message = f"{name} failed (exit status {done.returncode}): {detail or 'no message'}"
        raise MediaError(argv, message, done.returncode, detail)
    return done


def follow(
    argv: Sequence[str],
    length: float,
    progress: Callable[[float], object],
    *,
    limit: float | None = None,
    capture: bool = True,
    cwd: str | None = None,
) -> subprocess.CompletedProcess[bytes]:
    """Run the ffmpeg command ``argv`` with its progress written on a pipe and read on the
    calling thread, reporting the fraction of ``length`` seconds done. Its stderr is kept
    (``capture``) or let through; after ``limit`` seconds it is stopped (TimeoutExpired).
    The result's args are ``argv`` as given."""
    command = [argv[0], *progress_options(), *argv[1:]]
    errors: list[bytes] = []
    expired = threading.Event()
    with subprocess.Popen(
        command,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE if capture else None,
        cwd=cwd,
        **child_options(),
    ) as proc:
        assert proc.stdout is not None
        pipe = proc.stderr
        drain = threading.Thread(target=lambda: errors.append(pipe.read() if pipe else b""))
        drain.start()
        timer = threading.Timer(limit or 0, _stopper(proc, expired))
        if limit is not None:
            timer.start()
        try:
            read_progress(proc.stdout, length, progress)
            proc.wait()
        finally:
            timer.cancel()
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            drain.join()
    stderr = b"".join(errors) if capture else None
    if expired.is_set():
        raise subprocess.TimeoutExpired(list(argv), limit or 0, stderr=stderr)
    return subprocess.CompletedProcess(
        list(argv), proc.returncode, b"" if capture else None, stderr
    )


_PROTOCOL = re.compile(r"[A-Za-z0-9+.-]*:")


def local_path(path: str) -> str:
    """``path`` as ffmpeg reads a file of that name: a relative path that would read as a
    protocol ("a:b", "o3: x") or as an option ("-x") gets "./" in front; any other path
    is left as it is."""
    if path.startswith("-") or _PROTOCOL.match(path):
        return os.path.join(".", path)
    return path


def _stopper(proc: subprocess.Popen[bytes], expired: threading.Event) -> Callable[[], None]:
    def stop() -> None:
        expired.set()
        proc.kill()

    return stop
