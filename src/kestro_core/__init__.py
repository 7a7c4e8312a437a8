"""kestro_core: narrated short videos made from long ones.

One job, from Python::

    import kestro_core
    short = kestro_core.make_short("segments.json", 1.5, source="film.mp4",
                                   speech="espeak-ng", output_dir="out")
    print(short.vertical)

``make_short`` checks the job, binds the chosen source, voice and cache into the native
extension ``kestro_core.kestro_core`` and runs it; the extension's own
``run_kestro(link, "segments.json", 1.5, "en-US-voice", "out")`` stays callable as it is.

Importing this package imports nothing else: the job API is loaded on first use, so that
importing the extension stays its own step.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from kestro_core.api import CheckFailed, Short, make_short
    from kestro_core.planning import Plan, SegmentPlan, plan
    from kestro_core.sources import SourceError
    from kestro_core.voices import VoiceError

__all__ = [
    "CheckFailed",
    "Plan",
    "SegmentPlan",
    "Short",
    "SourceError",
    "VoiceError",
    "make_short",
    "plan",
]

_WHERE = {
    "CheckFailed": "api",
    "Short": "api",
    "make_short": "api",
    "plan": "planning",
    "Plan": "planning",
    "SegmentPlan": "planning",
    "SourceError": "sources",
    "VoiceError": "voices",
}


def __getattr__(name: str) -> Any:
    where = _WHERE.get(name)
    if where is None:
        raise AttributeError(f"module 'kestro_core' has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module(f"kestro_core.{where}"), name)
