"""Planning a job without rendering it: the check, every narration spoken into the cache,
the source's keyframes read around the ranges when it is at hand, and every piece and
product predicted; and the warning of a stream-copy job about the pieces that open with
picture from before their start."""

from __future__ import annotations

import os
from dataclasses import replace

from kestro_core import media
from kestro_core.cuts.exact import clip_key, estimate, source_range
from kestro_core.finding.snap import Edges, snap_segments
from kestro_core.job.binding import extension, originals
from kestro_core.job.check import check_options
from kestro_core.job.events import Progress, Reporter
from kestro_core.options import JobOptions, PathArg
from kestro_core.picture.framing import subject_path
from kestro_core.planning.model import (
    Plan,
    SegmentPlan,
    assemble,
    keyframe_before,
    segment_plan,
)
from kestro_core.planning.narrator import Narrator
from kestro_core.planning.probes import PlanError, SourceFacts, probe_source
from kestro_core.segments.keys import AUTO, ORIGINAL, frame_of, sound_of
from kestro_core.segments.model import Document, Segment, read
from kestro_core.sound.mix import silence_seconds
from kestro_core.speech.local import MP3_RATE
from kestro_core.speech.timing import VOICE, Word
from kestro_core.speech.voices import open_speaker
from kestro_core.store import scratch
from kestro_core.store.cache import DEFAULT_LIMIT, Cache

__all__ = ["plan", "plan_job", "exact_cost"]

_NOT_DOWNLOADED = (
    "the video is not downloaded yet, so the pieces are planned without its keyframes: a "
    "piece whose start lies between two keyframes carries some picture from before it and "
    "may keep more narration than planned; run the job once (or plan with --source) for "
    "exact figures"
)


def plan(
    segments_file: PathArg,
    speed: float,
    *,
    link: str | None = None,
    source: PathArg | None = None,
    speech: str = "service",
    voice: str | None = None,
    voice_dir: PathArg | None = None,
    cache_dir: PathArg | None = None,
    use_cache: bool = True,
    cache_limit: int = DEFAULT_LIMIT,
    max_duration: float | None = None,
    exact_joins: bool = True,
    snap: bool = False,
    progress: Progress | None = None,
) -> Plan:
    """Plan a job without rendering it: the arguments are those of ``make_short``, and
    ``progress`` receives an Event at the check and at each Segment's narration."""
    options = JobOptions(
        segments_file=os.fspath(segments_file),
        speed=speed,
        link=link,
        source=None if source is None else os.fspath(source),
        speech=speech,
        voice=voice,
        voice_dir=None if voice_dir is None else os.fspath(voice_dir),
        cache_dir=None if cache_dir is None else os.fspath(cache_dir),
        use_cache=use_cache,
        cache_limit=cache_limit,
        exact_joins=exact_joins,
        snap=snap,
    )
    return plan_job(options, max_duration=max_duration, progress=progress)


def plan_job(
    options: JobOptions, *, max_duration: float | None = None, progress: Progress | None = None
) -> Plan:
    """The plan of the job ``options`` describes (its output directory is left alone).

    Checks the job as ``check`` does (raises CheckFailed with the same listing), speaks
    every narration into the cache, reads the source's keyframes when the source is at
    hand (a local file, or a download already in the cache) and predicts every piece and
    product. Raises PlanError when a probe fails and VoiceError when a narration cannot be
    spoken.
    """
    if max_duration is not None and not max_duration > 0:
        raise ValueError(f"max_duration must be a positive number of seconds, not {max_duration!r}")
    reporter = Reporter(progress)
    reporter.step("check", "Checking the job")
    # the segments file read once, each file probed once, for the whole plan
    document = Document(options.segments_file)
    probes = media.Probes()
    with scratch.directory("kestro-plan-check-") as checked_in:
        check_options(options, output_dir=checked_in, document=document, probes=probes)
    options.require_voice()

    cache = Cache(options.cache_dir, limit=options.cache_limit, enabled=options.use_cache)
    notes: list[str] = []
    video = options.source
    if video is None:
        assert options.link is not None
        video = cache.get_download(Cache.download_key(options.link))
        if video is None and not options.exact_joins:
            notes.append(_NOT_DOWNLOADED)
    segments = read(document)
    # the shot changes' notes come after the cost of the cuts, which the edges they move
    # change
    shot_notes: list[str] = []
    segments, edges = _snapped(video, segments, options.snap, cache, probes, shot_notes)
    ranges = [(seg.start, seg.end) for seg in segments]
    facts = probe_source(video, ranges, probes) if video is not None else None
    if options.exact_joins:
        notes.append(exact_cost(video, segments, cache, facts, probes))
    notes += shot_notes
    source_len = None if facts is None else facts.duration

    service = options.speech == "service"
    generate = originals(extension())["_generate_tts"] if service else None
    speaker = open_speaker(options.speech, options.voice, options.voice_dir, cache, generate)
    narrator = Narrator(speaker, cache)
    try:
        pieces = []
        for seg in segments:
            kind = sound_of(seg.raw)
            if kind == ORIGINAL:
                message = f"Segment {seg.index}: plays the source's own sound"
                reporter.step("narrate", message, index=seg.index, total=len(segments))
                pieces.append(_original(seg, facts, options.exact_joins))
                continue
            message = f"Segment {seg.index}: speaking its narration"
            reporter.step("narrate", message, index=seg.index, total=len(segments))
            said = narrator.narration(seg.voiceover)
            pieces.append(
                segment_plan(
                    seg.index,
                    seg.start,
                    seg.end,
                    said.seconds,
                    None if facts is None else facts.keyframes,
                    exact=options.exact_joins,
                    frame=None if facts is None else facts.frame,
                    packets=None if facts is None else facts.packets,
                    silent=said.silent,
                    audio_rate=said.rate,
                    sound=kind,
                )
            )
            if said.timing is not None:
                rounded = tuple(
                    Word(w.text, round(w.start, 3), round(w.end, 3)) for w in said.timing.words
                )
                pieces[-1] = replace(pieces[-1], words=rounded, word_timing=said.timing.source)
    finally:
        narrator.close()
        speaker.close()
        cache.evict()
    # only a narration whose words were really shared out over its sound: a Segment that
    # plays its own sound, or a narration without words, has no timings to estimate
    if options.speech == "piper" and any(p.words and p.word_timing != VOICE for p in pieces):
        notes.append(_PIPER_ESTIMATED)
    pieces = _framed(video, segments, pieces, cache, probes, notes)
    if edges is not None:
        pieces = [
            replace(p, snap_start=e.start, snap_end=e.end)
            for p, e in zip(pieces, edges, strict=True)
        ]
    reporter.close()
    frame = None if facts is None else facts.frame
    exact = options.exact_joins
    return assemble(pieces, options.speed, notes, source_len, max_duration, exact, frame)


_AUTO_LATER = (
    '"auto" frames: the window\'s path is found from the picture once the video is '
    "downloaded (or plan with --source)"
)


def _framed(
    video: str | None,
    segments: list[Segment],
    pieces: list[SegmentPlan],
    cache: Cache,
    probes: media.Probes,
    notes: list[str],
) -> list[SegmentPlan]:
    """The planned Segments, each "auto" one with the path of its window (``notes``: told
    when there is no source to find it in, or no face detector)."""
    autos = [i for i, seg in enumerate(segments) if frame_of(seg.raw) == AUTO]
    if autos and video is None:
        notes.append(_AUTO_LATER)
    if not autos or video is None:
        return pieces

    def note(text: str) -> None:
        if text not in notes:
            notes.append(text)

    out = list(pieces)
    for i in autos:
        seg = segments[i]
        try:
            path = subject_path(video, seg.start, seg.end, cache=cache, note=note, probes=probes)
        except media.MediaError as exc:
            raise PlanError(f"cannot read the source video {video!r}: {exc}") from exc
        out[i] = replace(out[i], path=path)
    return out


_NOT_SNAPPED = (
    "--snap: the video is not downloaded yet, so no shot change was looked for; run the job "
    "once (or plan with --source) to see where the ranges move"
)


def _snapped(
    video: str | None,
    segments: list[Segment],
    snap: bool,
    cache: Cache,
    probes: media.Probes,
    notes: list[str],
) -> tuple[list[Segment], list[Edges] | None]:
    """The Segments (moved onto the shot changes near their edges with ``snap``) and those
    changes, when the source is at hand; each edge off its change (or moved) in ``notes``."""
    if video is None:
        if snap:
            notes.append(_NOT_SNAPPED)
        return segments, None
    try:
        snapping = snap_segments(video, segments, move=snap, cache=cache, probes=probes)
    except media.MediaError as exc:
        raise PlanError(f"cannot read the shot changes of {video!r}: {exc}") from exc
    notes += snapping.notes
    return snapping.segments, snapping.edges


def _original(seg: Segment, facts: SourceFacts | None, exact: bool) -> SegmentPlan:
    """An "original" Segment: the job lays a silence under it that outlasts its clip."""
    first = seg.start
    if not exact and facts is not None:
        first = keyframe_before(facts.keyframes, seg.start)
    return segment_plan(
        seg.index,
        seg.start,
        seg.end,
        silence_seconds(first, seg.end),
        None if facts is None else facts.keyframes,
        exact=exact,
        frame=None if facts is None else facts.frame,
        packets=None if facts is None else facts.packets,
        audio_rate=MP3_RATE,
        sound=ORIGINAL,
    )


_PIPER_ESTIMATED = (
    "word timings are estimated from the sound: piper tells when each word is spoken "
    "only with the onnx package (pip install onnx), for a narration it speaks anew"
)


def exact_cost(
    video: str | None,
    segments: list[Segment],
    cache: Cache,
    facts: SourceFacts | None,
    probes: media.Probes | None = None,
) -> str:
    """One line for the plan: what the exact cuts of this job will cost (``probes``: the
    plan's, which hold the source's Probe and the packets around its ranges)."""
    ranges = [(seg.start, seg.end) for seg in segments if seg.end > seg.start]
    seconds = sum(end - start for start, end in ranges)
    what = f"exact joins: {len(ranges)} ranges encoded on their own ({seconds:.1f} s of picture"
    if video is None:
        return what + ", once the video is downloaded)"
    probes = probes or media.Probes()
    try:
        info = probes.get(os.path.abspath(video)).video_info()
        missing = [
            (start, end)
            for start, end in ranges
            if cache.get_encode(
                clip_key(source_range(video, start, end, probes, ranges).identity, start, end)
            )
            is None
        ]
    except media.MediaError as exc:
        raise PlanError(f"cannot read the source video {video!r}: {exc}") from exc
    if not missing:
        return what + ", all in the cache already)"
    frame = facts.frame if facts is not None and facts.frame else 0.04
    fps = info.fps if info is not None and info.fps else 1 / frame
    width, height = (info.width, info.height) if info is not None else (1920, 1080)
    about = estimate(sum(end - start for start, end in missing), width, height, fps)
    kept = len(ranges) - len(missing)
    cached = f"; {kept} in the cache already" if kept else ""
    return what + f", about {max(1, round(about))} s{cached}; then kept in the cache)"
