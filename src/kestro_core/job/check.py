"""Whole-job check, made before anything is downloaded.

``run_kestro`` reads the segments file only after the source video has been
fetched and meets a bad Segment only when its loop reaches it; a speed that
ffmpeg's atempo filter refuses shows up only at the final export.  The
functions here look at everything a run depends on up front and return every
problem at once, so that a typo costs seconds instead of minutes of download
and speech quota.

It never loads the extension: a check costs no import of it.
"""

from __future__ import annotations

import math
import os
import shutil

from kestro_core import media
from kestro_core.cuts.sources import SourceError, source_problems
from kestro_core.options import JobOptions
from kestro_core.segments.keys import NARRATION, sound_of
from kestro_core.segments.model import Document, Problem, Report, check_segments
from kestro_core.sound.mix import has_sound, music_problem
from kestro_core.speech.voices import voice_problems
from kestro_core.store.files import can_make_last_directory
from kestro_core.timeline.export import missing as timeline_missing

__all__ = [
    "CheckFailed",
    "check_options",
    "check_job",
    "Problem",
    "Report",
    "check",
    "tempo_factors",
    "PROGRAMS",
    "ATEMPO_MIN",
    "ATEMPO_MAX",
]

PROGRAMS = ("ffmpeg", "ffprobe", "wget")
ATEMPO_MIN = 0.5
ATEMPO_MAX = 100.0


# --------------------------------------------------------------------------
# speed
# --------------------------------------------------------------------------


def tempo_factors(speed: float) -> list[float]:
    """The factors of the atempo chain that a run builds for ``speed``, as
    ffmpeg reads them: the speed itself up to 2.0; above, 2.0 as often as
    needed and a last factor above 1 and at most 2, written to 4 decimals."""
    if not speed > 2.0:
        return [speed]
    factors = []
    remaining = speed
    while remaining > 2.0:
        factors.append(2.0)
        remaining *= 0.5
    factors.append(float(f"{remaining:.4f}"))
    return factors


def _check_speed(report: Report, speed: float) -> None:
    if not math.isfinite(speed):
        report.add(None, None, f"speed {speed!r} is not a finite number")
        return
    bad = sorted({f for f in tempo_factors(speed) if not ATEMPO_MIN <= f <= ATEMPO_MAX})
    if bad:
        shown = ", ".join(repr(f) for f in bad)
        report.add(
            None,
            None,
            f"speed {speed!r} gives the atempo factor {shown}, outside ffmpeg's "
            f"range {ATEMPO_MIN:g} to {ATEMPO_MAX:g}; the vertical export would "
            f"fail at the very end of the run (use a speed of at least {ATEMPO_MIN:g})",
        )
    elif f"{1.0 / speed:.6f}" == "0.000000":
        report.add(
            None,
            None,
            f"speed {speed!r} is so high that the picture's time factor 1/speed "
            f"reads 0.000000 and every frame would land on time 0",
        )


# --------------------------------------------------------------------------
# output directory, programs, source video
# --------------------------------------------------------------------------


def _check_output_dir(report: Report, output_dir: str) -> None:
    shown = repr(output_dir)
    if "\x00" in output_dir:
        report.add(None, None, f"output directory {shown} contains a NUL character")
        return
    absolute = os.path.abspath(output_dir)
    if "\n" in absolute or "\r" in absolute:
        report.add(
            None,
            None,
            f"the absolute path of the output directory, {absolute!r}, "
            f"contains a line break, which the concat list cannot carry",
        )
    probe = output_dir or "."  # "" puts the working files in the current directory
    if not os.path.exists(probe):
        if not can_make_last_directory(probe):
            parent = os.path.dirname(absolute)
            report.add(
                None,
                None,
                f"output directory {shown} does not exist and cannot be made in {parent!r}: "
                f"create that directory first (a job makes only the last one)",
            )
    elif not os.path.isdir(probe):
        report.add(None, None, f"output directory {shown} is not a directory")
    elif not os.access(probe, os.W_OK | os.X_OK):
        report.add(None, None, f"output directory {shown} is not writable")


def _check_programs(report: Report, programs: tuple[str, ...]) -> None:
    for name in programs:
        if shutil.which(name) is None:
            package = "ffmpeg" if name in ("ffmpeg", "ffprobe") else name
            report.add(
                None, None, f"{name} is not on PATH: install it with: apt-get install {package}"
            )


def _source_duration(report: Report, source: str, probes: media.Probes) -> int | None:
    if not os.path.isfile(source):
        report.add(None, None, f"source video {source!r} does not exist")
        return None
    if shutil.which("ffprobe") is None:
        return None  # already reported with the programs
    try:
        seconds = probes.get(os.path.abspath(source)).length()
    except media.MediaError as exc:
        why = exc.detail or "no duration reported"
        report.add(
            None, None, f"ffprobe cannot read the duration of the source video {source!r}: {why}"
        )
        return None
    return round(seconds * 1_000_000)


# --------------------------------------------------------------------------
# entry point
# --------------------------------------------------------------------------


def check(
    segments_file: str | Document,
    speed: float | None = None,
    output_dir: str = ".",
    source: str | None = None,
    programs: tuple[str, ...] = PROGRAMS,
    probes: media.Probes | None = None,
) -> Report:
    """Check everything a run needs; give the list of every problem found.

    Problems come in this order: the segments file (in Segment order), the
    speed, the output directory, the programs, the source video. The file may
    be given as the Document read of it; ``probes`` are the job's.
    """
    report = Report()
    duration_us = None
    tail = Report()
    if speed is not None:
        _check_speed(tail, speed)
    _check_output_dir(tail, output_dir)
    _check_programs(tail, programs)
    if source is not None:
        duration_us = _source_duration(tail, source, probes or media.Probes())
    check_segments(report, segments_file, duration_us)
    report.extend(tail)
    return report


def check_job(
    segments_file: str | Document,
    speed: float | None = None,
    output_dir: str = ".",
    *,
    source: str | None = None,
    speech: str | None = None,
    voice: str | None = None,
    voice_dir: str | None = None,
    music: str | None = None,
    probes: media.Probes | None = None,
) -> Report:
    """``check``, plus what a job from a local source or with a local voice needs: the
    source must be a readable video that is none of the job's own working files (with a
    sound track where a Segment plays the source's sound), the chosen speech engine and
    voice must be there, and the music must be sound. ``speech`` None leaves the engine
    out. The segments file is read once, the source probed once (into ``probes``: the
    job's, when given)."""
    document = segments_file if isinstance(segments_file, Document) else Document(segments_file)
    probes = probes or media.Probes()
    late = Report()
    probe_source = None
    if source is not None:
        for message in source_problems(source, output_dir, probes):
            late.add(None, None, message)
        probe_source = None if late else source
    if speech == "service" and not voice:
        late.add(
            None,
            None,
            "the speech service needs a voice name: give one with --voice "
            "(voice=), or choose a local engine with --speech",
        )
    elif speech is not None:
        for message in voice_problems(speech, voice, voice_dir):
            late.add(None, None, message)
    if music is not None:
        problem = music_problem(music)
        if problem is not None:
            late.add(None, None, problem)
    # a local source needs no wget
    programs = PROGRAMS if source is None else tuple(p for p in PROGRAMS if p != "wget")
    report = check(document, speed, output_dir, probe_source, programs, probes)
    if probe_source is not None:
        _check_source_sound(report, document, probe_source, probes)
    report.extend(late)
    return report


def _check_source_sound(
    report: Report, document: Document, source: str, probes: media.Probes
) -> None:
    """A Segment that plays the source's own sound needs a source that has one."""
    wanting = [
        (n, sound_of(seg))
        for n, seg in enumerate(document.entries() or [], start=1)
        if isinstance(seg, dict) and sound_of(seg) != NARRATION
    ]
    if not wanting:
        return
    try:
        found = has_sound(source, probes)
    except media.MediaError:
        return  # the source's own problem is reported where it is read
    if not found:
        for n, kind in wanting:
            report.add(
                n,
                "sound",
                f'"{kind}" plays the source\'s own sound, but {source!r} has no sound track: '
                'use "narration", or a source with sound',
            )


class CheckFailed(ValueError):
    """The whole-job check found problems; the text lists them as ``check`` prints them."""


def check_options(
    options: JobOptions,
    output_dir: str | None = None,
    *,
    document: Document | None = None,
    probes: media.Probes | None = None,
) -> None:
    """The check a job makes before it starts: with ``options.check``, the whole job
    (raising CheckFailed with the listing); without, only that a local source can be used
    (raising SourceError). ``output_dir`` stands in for the job's own (the plan writes no
    products); ``document`` is the job's segments file as it read it, ``probes`` its
    Probes."""
    out = options.output_dir if output_dir is None else output_dir
    unavailable = timeline_missing(options.timeline_format) if options.timeline else None
    if unavailable is not None:  # before anything else: the run would fail at its very end
        raise CheckFailed(unavailable)
    if options.check:
        report = check_job(
            options.segments_file if document is None else document,
            options.speed,
            out,
            source=options.source,
            speech=options.speech,
            voice=options.voice,
            voice_dir=options.voice_dir,
            music=options.music,
            probes=probes,
        )
        if report:
            raise CheckFailed(report.listing(options.segments_file))
        return
    if options.source is not None:
        problems = source_problems(options.source, out, probes)
        if problems:
            raise SourceError(problems[0])
    problem = None if options.music is None else music_problem(options.music)
    if problem is not None:
        raise ValueError(problem)
