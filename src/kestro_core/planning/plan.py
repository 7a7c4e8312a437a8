"""Planning a job without rendering it: the check, every narration spoken into the cache,
the source's keyframes read when it is at hand, and every piece and product predicted."""

from __future__ import annotations

import os
import tempfile

from kestro_core.cache import DEFAULT_LIMIT, Cache
from kestro_core.check import check_options
from kestro_core.events import Progress, Reporter
from kestro_core.joins import cached_encode, describe_cost, exact_times
from kestro_core.media import MediaError, duration
from kestro_core.options import JobOptions, PathArg
from kestro_core.planning.model import Plan, assemble, segment_plan
from kestro_core.planning.narrator import Narrator
from kestro_core.planning.probes import PlanError, probe_source
from kestro_core.seam import extension, originals
from kestro_core.segments import read
from kestro_core.speakers import open_speaker

__all__ = ["plan", "plan_job"]

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
    exact_joins: bool = False,
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
    with tempfile.TemporaryDirectory(prefix="kestro-plan-check-") as scratch:
        check_options(options, output_dir=scratch)
    options.require_voice()

    cache = Cache(options.cache_dir, limit=options.cache_limit, enabled=options.use_cache)
    notes: list[str] = []
    video = options.source
    if video is None:
        assert options.link is not None
        video = cache.get_download(Cache.download_key(options.link))
        if video is None and not options.exact_joins:
            notes.append(_NOT_DOWNLOADED)
    segments = read(options.segments_file)
    encoded = None
    source_len = None
    try:
        if options.exact_joins:
            starts, last_end = exact_times(options.segments_file)
            notes.append(describe_cost(video, starts, last_end, cache))
            if video is not None:
                encoded = cached_encode(video, starts, last_end, cache)
        if encoded is not None and video is not None:
            source_len = duration(video)  # the encode stops after the last end
    except MediaError as exc:
        raise PlanError(f"cannot read the source video {video!r}: {exc}") from exc
    # an encode made already is planned from its own packets
    probed = encoded or video
    facts = probe_source(probed) if probed is not None else None
    if facts is not None and source_len is None:
        source_len = facts.duration

    service = options.speech == "service"
    generate = originals(extension())["_generate_tts"] if service else None
    speaker = open_speaker(options.speech, options.voice, options.voice_dir, cache, generate)
    narrator = Narrator(speaker, cache)
    try:
        pieces = []
        for seg in segments:
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
                    exact=options.exact_joins and encoded is None,
                    frame=None if facts is None else facts.frame,
                    packets=None if facts is None else facts.packets,
                    silent=said.silent,
                    audio_rate=said.rate,
                )
            )
    finally:
        narrator.close()
        close = getattr(speaker, "close", None)
        if close is not None:
            close()
        cache.evict()
    reporter.close()
    frame = None if facts is None else facts.frame
    exact = options.exact_joins
    return assemble(pieces, options.speed, notes, source_len, max_duration, exact, frame)
