"""A task function for job queues: one short per job, each in a directory of its own.

``make_short_job`` takes a plain dict (what a queue can carry) and returns a plain
dict, so any queue that calls an importable function by name can run it::

    from redis import Redis
    from rq import Queue
    from kestro_core.jobs import make_short_job

    spec = {"segments_file": "/shared/jobs/42/segments.json", "speed": 1.5,
            "source": "/shared/sources/42.mp4", "speech": "espeak-ng",
            "output_root": "/shared/products"}
    Queue(connection=Redis("queue-host")).enqueue(make_short_job, spec, job_timeout=3600)

Importing this module loads neither the queue library nor the extension: the
machine that enqueues needs only the function's name, and the extension is loaded
by the worker when the first job runs.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Mapping
from dataclasses import asdict
from typing import Any

from kestro_core.job.events import NOTE, Event
from kestro_core.job.run import run_job
from kestro_core.options import FIELD_TYPES, PATH_FIELDS, JobOptions

__all__ = ["make_short_job", "SPEC_KEYS", "REQUIRED_SPEC_KEYS"]

#: keys a spec must have
REQUIRED_SPEC_KEYS = ("segments_file", "speed", "output_root")

# a spec holds a job's options, but a fresh output directory under output_root stands in
# for output_dir; None is accepted for every optional key and means the default
_TYPES = {k: v for k, v in FIELD_TYPES.items() if k != "output_dir"}
_TYPES["output_root"] = ((str,), "a path string")
_PATH_KEYS = (*PATH_FIELDS, "output_root")

#: every key a spec may have
SPEC_KEYS = tuple(_TYPES)


def _validate(spec: object) -> dict[str, Any]:
    """The spec as a dict with its None values dropped; ValueError listing every
    problem found when it is not one make_short_job can run."""
    if not isinstance(spec, Mapping):
        raise ValueError(f"a job spec must be a dict, not {type(spec).__name__}")
    problems: list[str] = []
    unknown = sorted(str(k) for k in spec if k not in _TYPES)
    if unknown:
        problems.append(
            f"unknown key{'s' if len(unknown) > 1 else ''} "
            f"{', '.join(repr(k) for k in unknown)} (a spec may have: "
            f"{', '.join(SPEC_KEYS)})"
        )
    given = {k: v for k, v in spec.items() if k in _TYPES and v is not None}
    for key in REQUIRED_SPEC_KEYS:
        if key not in given:
            problems.append(f"{key!r} is missing")
    for key, value in given.items():
        types, wanted = _TYPES[key]
        # bool is an int: a speed of True is a mistake, not 1.0
        if not isinstance(value, types) or (bool not in types and isinstance(value, bool)):
            problems.append(f"{key!r} must be {wanted}, not {type(value).__name__}")
        elif key in _PATH_KEYS and isinstance(value, str) and not os.path.isabs(value):
            problems.append(
                f"{key!r} is the relative path {value!r}: a worker would read it "
                f"against its own working directory; give an absolute path "
                f"that every worker can reach"
            )
    if problems:
        raise ValueError("bad job spec: " + "; ".join(problems))
    return given


def make_short_job(spec: Mapping[str, Any]) -> dict[str, str]:
    """Make one short as a queue job; return where its products are.

    ``spec`` holds ``segments_file``, ``speed`` and ``output_root`` (absolute path of
    the directory under which each job gets a fresh ``job-*`` directory; created if
    missing) and, optionally, every other field of ``JobOptions`` but ``output_dir``
    (``link``, ``source``, ``speech``, ``voice``, ``captions``, ``burn_captions``, ...;
    a None value means the default). Paths must be absolute. While it runs, the job's
    latest step or warning is kept in its meta under "event" (step, message, index,
    total, fraction), so a queue dashboard shows where each job is.

    Returns ``{"output_dir": ..., "horizontal": ..., "vertical": ...}`` plus
    ``horizontal_captions``, ``vertical_captions``, ``horizontal_words``,
    ``vertical_words``, ``captioned`` and ``finished`` for the products made (absolute
    path strings). A bad spec raises ValueError; a job whose inputs fail the check
    raises ``CheckFailed`` with the list of problems, before anything is fetched; any
    other failure raises what make_short raised. A failed job's directory is removed
    when it is still empty; otherwise it is kept for inspection and named in a note
    on the exception.
    """
    given = _validate(spec)
    try:  # the worker loads the queue library: enqueuing needs only the function's name
        import rq

        current = rq.get_current_job()
    except ImportError:  # called without a queue
        current = None
    root = given.pop("output_root")
    os.makedirs(root, exist_ok=True)
    output_dir = tempfile.mkdtemp(prefix="job-", dir=root)
    # a fresh name keeps jobs apart; who may read the products is the user's umask's call
    # (mkdtemp makes the directory private)
    mask = os.umask(0o022)
    os.umask(mask)
    os.chmod(output_dir, 0o777 & ~mask)
    options = JobOptions(output_dir=output_dir, **given)

    def progress(event: Event) -> None:
        if current is not None and event.step != NOTE:
            current.meta["event"] = asdict(event)
            current.save_meta()  # type: ignore[no-untyped-call]

    try:
        short = run_job(options, progress=progress)
    except BaseException as exc:
        try:
            os.rmdir(output_dir)  # only ever removes an empty directory
        except OSError:
            exc.add_note(f"the job's partial output is kept in {output_dir}")
        raise
    made = {
        "horizontal_captions": short.horizontal_captions,
        "vertical_captions": short.vertical_captions,
        "horizontal_words": short.horizontal_words,
        "vertical_words": short.vertical_words,
        "captioned": short.captioned,
        "finished": short.finished,
        "timeline": short.timeline,
    }
    return {
        "output_dir": short.output_dir,
        "horizontal": short.horizontal,
        "vertical": short.vertical,
        **{name: path for name, path in made.items() if path is not None},
    }
