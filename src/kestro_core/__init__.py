"""kestro_core: narrated short videos made from long ones.

One job, from Python::

    import kestro_core
    short = kestro_core.make_short("segments.json", 1.5, source="film.mp4",
                                   speech="espeak-ng", output_dir="out",
                                   progress=lambda event: print(event.step, event.fraction))
    print(short.vertical)

``make_short`` checks the job, binds the chosen source, voice and cache into the native
extension ``kestro_core.kestro_core`` and runs it; the extension's own
``run_kestro(link, "segments.json", 1.5, "en-US-voice", "out")`` stays callable as it is.

``find_lines("film.mkv", "stranger town")`` gives the film's subtitle lines that hold the
words, with their times (``kestro_core.finding``).

Importing this package does not load the extension: the first job does.
"""

from __future__ import annotations

from kestro_core.cuts.sources import SourceError
from kestro_core.finding.dialogue import Line, SubtitleError, find_lines
from kestro_core.job.check import CheckFailed
from kestro_core.job.events import STEPS, Event
from kestro_core.job.lock import DirectoryInUse
from kestro_core.job.run import Short, make_short, run_job
from kestro_core.media import MediaError
from kestro_core.options import JobOptions
from kestro_core.planning import Plan, SegmentPlan, plan
from kestro_core.speech.base import VoiceError

__all__ = [
    "CheckFailed",
    "DirectoryInUse",
    "Event",
    "JobOptions",
    "Line",
    "MediaError",
    "Plan",
    "STEPS",
    "SegmentPlan",
    "Short",
    "SourceError",
    "SubtitleError",
    "VoiceError",
    "find_lines",
    "make_short",
    "plan",
    "run_job",
]
