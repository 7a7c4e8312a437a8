"""Fitting a segments file to its plan: every "end" that cuts its narration off moved late
enough for the whole narration, in a copy laid out as the original was."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass

from kestro_core.options import PathArg
from kestro_core.planning.model import Plan
from kestro_core.segments.model import UNREADABLE, Report, dump, load, write
from kestro_core.segments.timecode import format_like, format_seconds, parse_time

__all__ = ["FitResult", "fit", "fitted_end"]


def fitted_end(start_us: int, narration: float) -> int:
    """Where a range from ``start_us`` must end to hold a narration of ``narration``
    seconds: rounded up to a tenth of a second, in microseconds."""
    need_us = start_us + math.ceil(narration * 1_000_000)
    return -(-need_us // 100_000) * 100_000


@dataclass(frozen=True)
class FitResult:
    """What ``fit`` did: one line per moved "end", and the Segments it could not fit."""

    moved: list[str]
    problems: list[str]


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def fit(segments_file: PathArg, planned: Plan, out_file: PathArg) -> FitResult:
    """Write a copy of ``segments_file`` to ``out_file`` in which every Segment whose
    narration ``planned`` cuts off ends late enough for the whole narration (from its start,
    rounded up to a tenth of a second, in the form the value had). Everything else stays as
    it was. Never writes over ``segments_file`` (refused, also through a link); raises
    ValueError with the reason."""
    seg_path, out = os.fspath(segments_file), os.fspath(out_file)
    if _same_file(seg_path, out) or os.path.realpath(seg_path) == os.path.realpath(out):
        raise ValueError(
            f"refusing to write the fitted Segments over the segments file itself ({out!r}): "
            f"give another file name"
        )
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise ValueError(
            f"cannot write {out!r}: the directory {folder!r} does not exist (create it first)"
        )
    report = Report()
    doc = load(report, seg_path)
    if doc is UNREADABLE:
        raise ValueError(report.listing(seg_path))
    with open(seg_path, encoding="utf-8-sig") as f:
        like = f.read()
    moved: list[str] = []
    problems: list[str] = []
    limit = None if planned.source_duration is None else round(planned.source_duration * 1e6)
    for seg, entry in zip(planned.segments, doc, strict=False):
        if not seg.cut_short:
            continue
        start_us = parse_time(entry["start"])
        assert start_us is not None
        new_us = fitted_end(start_us, seg.narration)
        text = format_like(entry["end"], new_us)
        if parse_time(text) != new_us:
            raise AssertionError(f"{text!r} does not read back as {new_us} us")
        if limit is not None and new_us > limit:
            problems.append(
                f'Segment {seg.index}: the whole narration needs "end" at {text}, past the '
                f"end of the source video ({format_seconds(limit)}): shorten the text "
                f'or move "start" earlier'
            )
            continue
        moved.append(f'Segment {seg.index}: "end" {entry["end"]} -> {text}')
        entry["end"] = text
    write(out, dump(doc, like))
    return FitResult(moved, problems)
