"""The binding: a job's source, voice and cache bound into the extension's namespace around
a call of ``run_kestro``.

``run_kestro`` looks up ``_download_video``, ``_generate_tts``, ``time`` and ``subprocess`` in
its module's namespace at every use. For the length of a job those names hold dispatchers that
look at the calling thread: a thread running one of our jobs reaches that job's ``steps.Job``
(its source, voice and cache, its ffmpeg runs watched); every other thread (a direct
``run_kestro`` call included) reaches exactly what the names held before. The first job to
start installs the dispatchers, the last one to end puts the old values back, also when a job
fails or is interrupted. Nothing is patched anywhere else.
"""

from __future__ import annotations

import contextlib
import threading
from collections.abc import Callable, Iterator
from types import ModuleType
from typing import Any

from kestro_core.job.steps import Job

__all__ = ["SEAM", "bound", "originals", "extension"]

SEAM = ("_download_video", "_generate_tts", "time", "subprocess")


_lock = threading.Lock()
_jobs: dict[int, Job] = {}  # thread ident -> its job
_saved: dict[str, Any] = {}  # what the namespace held before the first job
_installed: dict[str, Any] = {}  # our dispatchers, while any job runs


def _current() -> Job | None:
    return _jobs.get(threading.get_ident())


class _Function:
    """Stands in for one of the step functions."""

    def __init__(self, original: Callable[..., Any], method: str) -> None:
        self.original = original
        self._method = method
        self.__name__ = getattr(original, "__name__", method)
        self.__doc__ = getattr(original, "__doc__", None)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        job = _current()
        if job is None:
            return self.original(*args, **kwargs)
        return getattr(job, self._method)(*args, **kwargs)


class _Time:
    """Stands in for the ``time`` module: a job's thread skips the pause after a narration
    that asked no service; everything else is the original's."""

    def __init__(self, original: Any) -> None:
        self.original = original

    def sleep(self, seconds: float) -> None:
        job = _current()
        if job is None:
            self.original.sleep(seconds)
        else:
            job.sleep(seconds, self.original.sleep)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.original, name)


class _Subprocess:
    """Stands in for the ``subprocess`` module: a job's thread has its ffmpeg runs watched
    (they run unchanged); everything else is the original's."""

    def __init__(self, original: Any) -> None:
        self.original = original

    def run(self, *args: Any, **kwargs: Any) -> Any:
        job = _current()
        if job is None:
            return self.original.run(*args, **kwargs)
        return job.run(self.original.run, *args, **kwargs)

    def __getattr__(self, name: str) -> Any:
        return getattr(self.original, name)


def _install(ns: dict[str, Any]) -> None:
    _saved.clear()
    for name in SEAM:
        _saved[name] = ns[name]
    _installed["_download_video"] = _Function(ns["_download_video"], "download_video")
    _installed["_generate_tts"] = _Function(ns["_generate_tts"], "generate_tts")
    _installed["time"] = _Time(ns["time"])
    _installed["subprocess"] = _Subprocess(ns["subprocess"])
    ns.update(_installed)


def _restore(ns: dict[str, Any]) -> None:
    for name in SEAM:
        # a name rebound by someone else while the jobs ran keeps its new value
        if ns.get(name) is _installed[name]:
            ns[name] = _saved[name]
    _installed.clear()
    _saved.clear()


def extension() -> ModuleType:
    """The native extension: the one place that loads it (on first use, so that importing
    the package stays cheap)."""
    from kestro_core import kestro_core

    return kestro_core


def originals(module: ModuleType) -> dict[str, Any]:
    """What the seam's names mean outside any job: the namespace's values, or what they
    held before the first running job installed the dispatchers."""
    with _lock:
        if _installed:
            return dict(_saved)
        return {name: module.__dict__[name] for name in SEAM}


@contextlib.contextmanager
def bound(module: ModuleType, job: Job) -> Iterator[Job]:
    """Bind ``job`` to the calling thread for the length of the block."""
    ident = threading.get_ident()
    ns = module.__dict__
    with _lock:
        if ident in _jobs:
            raise RuntimeError("a job is already running on this thread")
        if not _jobs:
            _install(ns)
        _jobs[ident] = job
    try:
        yield job
    finally:
        with _lock:
            del _jobs[ident]
            if not _jobs:
                _restore(ns)
