"""How the command line shows a job's events: a progress bar with the step's name and the
time left on a terminal, one plain line per step otherwise, or one JSON line per event
(what the studio reads from its render). A job's notes are its own lines: they go where
the extension's own lines go, as plain text in every mode."""

from __future__ import annotations

import sys
from types import TracebackType
from typing import TextIO

from rich.console import Console
from rich.progress import (
    BarColumn,
    Progress,
    TaskID,
    TaskProgressColumn,
    TextColumn,
    TimeRemainingColumn,
)

from kestro_core.job.events import NOTE, WARNING, Event

__all__ = ["Display"]


def _title(event: Event) -> str:
    count = f" {event.index}/{event.total}" if event.index is not None else ""
    return f"{event.step}{count}: {event.message}" if event.message else f"{event.step}{count}"


class Display:
    """A ``progress`` callback that shows each event on ``stream``.

    ``mode`` is "bar" (a live bar, for a terminal), "lines" (one line when a step starts),
    "json" (every step and warning as a line of JSON) or "quiet". A note is written as it
    is on ``notes`` (not shown when None). ``last`` is the last step started."""

    def __init__(
        self, stream: TextIO = sys.stderr, mode: str = "lines", notes: TextIO | None = None
    ) -> None:
        self.stream = stream
        self.mode = mode
        self.notes = notes
        self.last: Event | None = None
        self._bar: Progress | None = None
        self._task: TaskID | None = None

    def __enter__(self) -> Display:
        if self.mode == "bar":
            self._bar = Progress(
                TextColumn("{task.description}"),
                BarColumn(),
                TaskProgressColumn(),
                TimeRemainingColumn(),
                console=Console(file=self.stream),
                transient=True,
            )
            self._bar.start()
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if self._bar is not None:
            self._bar.stop()
            self._bar = None

    def __call__(self, event: Event) -> None:
        if event.step == NOTE:
            self._line(event.message, self.notes)
            return
        if event.step == WARNING:  # no step: the last step stays the last
            if self.mode == "json":
                print(event.to_json(), file=self.stream, flush=True)
            else:
                self._line(event.message, self.stream)
            return
        starts = self.last is None or (event.step, event.index) != (
            self.last.step,
            self.last.index,
        )
        if starts:
            self.last = event
        if self.mode == "json":
            print(event.to_json(), file=self.stream, flush=True)
        elif self._bar is not None:
            done = event.fraction or 0.0
            if starts or self._task is None:
                if self._task is not None:
                    self._bar.remove_task(self._task)
                self._task = self._bar.add_task(_title(event), total=1.0)
                self._bar.update(self._task, completed=done)
            else:
                self._bar.update(self._task, completed=done)
        elif starts and self.mode == "lines":
            print(_title(event), file=self.stream, flush=True)

    def _line(self, text: str, stream: TextIO | None) -> None:
        """``text`` as a line of ``stream``: above the bar when the bar draws there."""
        if stream is None:
            return
        if self._bar is not None and stream is self.stream:
            self._bar.console.print(text, markup=False, highlight=False)
        else:
            print(text, file=stream, flush=True)
