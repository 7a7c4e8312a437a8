"""A job's steps as events: what the bound functions and the package's own steps report.

Each step of a job reports an ``Event`` where it happens: the functions bound into the
extension (``job.steps``) for every download, narration, cut (exact or stream-copy), merge,
join and export it asks for, the job itself for its check, captions, burned copy and
finished short. Besides the steps, a job has warnings and notes (its own lines: which
video it takes, which encoder it falls back to). A ``Reporter`` hands them all to the
caller's ``progress`` callback on the job's own thread and remembers the last step started,
which is what a failure is named by. Nothing here prints: without a callback, warnings and
notes go to the "kestro_core" logger.
"""

from __future__ import annotations

import json
import logging
import time
from collections.abc import Callable
from dataclasses import asdict, dataclass

__all__ = ["STEPS", "WARNING", "NOTE", "Event", "Progress", "Reporter", "describe_step"]

# every step a job reports, in the order a job takes them
STEPS = (
    "check",
    "download",
    "read",
    "narrate",
    "cut",
    "merge",
    "join",
    "export",
    "captions",
    "burn",
    "finish",
    "timeline",
)

# an event that is no step: something the user should know before the job goes on (its
# message says what)
WARNING = "warning"
# an event that is no step: one of the job's own lines, said as it goes ("Using the local
# video ...", the encoder it falls back to); the command line shows it with the
# extension's own lines
NOTE = "note"

_log = logging.getLogger("kestro_core")

# what a failure paragraph says a job was doing: "failed at <this>"
_DOING = {
    "check": "the check",
    "download": "the download",
    "read": "reading the segments file",
    "narrate": "the narration",
    "cut": "the clip cut",
    "merge": "the merge of clip and narration",
    "join": "the concatenation",
    "export": "the vertical export",
    "captions": "the captions",
    "burn": "burning the captions",
    "finish": "the finished short's encode",
    "timeline": "writing the timeline",
}


@dataclass(frozen=True)
class Event:
    """One report of a job's step.

    ``index`` and ``total`` count a step that repeats (narration 2 of 6; 1-based);
    ``fraction`` is how far the step is, 0 to 1 (None when it cannot tell); ``message``
    says it in words."""

    step: str
    message: str = ""
    index: int | None = None
    total: int | None = None
    fraction: float | None = None

    def to_json(self) -> str:
        """One line of JSON (how the studio's render child sends its events)."""
        return json.dumps(asdict(self), ensure_ascii=False)

    @classmethod
    def from_json(cls, line: str | bytes) -> Event:
        doc = json.loads(line)
        return cls(
            str(doc["step"]),
            str(doc.get("message") or ""),
            doc.get("index"),
            doc.get("total"),
            doc.get("fraction"),
        )


Progress = Callable[[Event], object]


def describe_step(event: Event | None) -> str:
    """The step an event belongs to, in words: "Segment 2 of 6, the clip cut"."""
    if event is None:
        return "the start of the job"
    doing = _DOING.get(event.step, event.step)
    if event.index is not None and event.total is not None:
        return f"Segment {event.index} of {event.total}, {doing}"
    return doing


class Reporter:
    """Delivers one job's events to its ``progress`` callback.

    A callback that raises stops the job at its next step: the error is kept and raised
    when the next step starts (an encode in progress is not cut short), or by ``close``.
    ``spent`` is the time taken making and delivering events."""

    def __init__(self, progress: Progress | None = None) -> None:
        self._progress = progress
        self.last: Event | None = None  # the last step started
        self.spent = 0.0
        self._pending: BaseException | None = None

    def step(
        self,
        step: str,
        message: str = "",
        index: int | None = None,
        total: int | None = None,
        fraction: float | None = 0.0,
    ) -> None:
        """A step starts."""
        began = time.perf_counter()
        self.last = Event(step, message, index, total, fraction)
        self._raise_pending()
        self._deliver(self.last, at_start=True, began=began)

    def advance(self, fraction: float, message: str | None = None) -> None:
        """The current step is ``fraction`` done."""
        began = time.perf_counter()
        last = self.last
        if last is None or self._pending is not None:
            return
        event = Event(
            last.step,
            last.message if message is None else message,
            last.index,
            last.total,
            fraction,
        )
        self._deliver(event, at_start=False, began=began)

    def warn(self, message: str) -> None:
        """Something the user should know; no step starts. Without a callback it is
        logged as a warning (with logging not set up, Python writes its text to stderr)."""
        if self._progress is None:
            _log.warning(message)
            return
        self._deliver(Event(WARNING, message), at_start=True, began=time.perf_counter())

    def note(self, message: str) -> None:
        """One of the job's own lines; no step starts, the last step stays the last. A
        callback that raises on it stops the job at its next step. Without a callback it
        is logged at INFO."""
        if self._progress is None:
            _log.info(message)
            return
        if self._pending is None:
            self._deliver(Event(NOTE, message), at_start=False, began=time.perf_counter())

    def close(self) -> None:
        """The job has ended: an error of the callback not raised yet is raised now."""
        self._raise_pending()

    def _deliver(self, event: Event, *, at_start: bool, began: float) -> None:
        try:
            if self._progress is not None:
                self._progress(event)
        except BaseException as exc:
            if at_start:
                raise
            self._pending = exc
        finally:
            self.spent += time.perf_counter() - began

    def _raise_pending(self) -> None:
        pending, self._pending = self._pending, None
        if pending is not None:
            raise pending
