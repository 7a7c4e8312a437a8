"""The timing plan of a job: how long each piece, the joined video and the vertical export
will be, and what each Segment loses, before anything is rendered.

``model`` holds how a piece's length follows from its clip and its narration; ``probes``
reads the source; ``narrator`` speaks and measures the narrations; ``plan`` puts them
together for one job; ``fit`` moves the "end" of every Segment whose narration is cut off.
"""

from __future__ import annotations

from kestro_core.planning.fit import FitResult, fit, fitted_end
from kestro_core.planning.model import Plan, SegmentPlan, assemble, segment_plan
from kestro_core.planning.narrator import Narrator, measure_narration
from kestro_core.planning.plan import plan, plan_job
from kestro_core.planning.probes import PlanError, probe_source

__all__ = [
    "Plan",
    "SegmentPlan",
    "PlanError",
    "FitResult",
    "plan",
    "plan_job",
    "fit",
    "fitted_end",
    "assemble",
    "segment_plan",
    "probe_source",
    "Narrator",
    "measure_narration",
]
