"""The job API: ``make_short``.

One call makes one short: it checks the whole job, picks where the video comes from (the
download service or a file on disk) and who speaks (the speech service, piper or
espeak-ng), binds them with the cache into the extension for the length of the job, runs
``run_kestro`` and returns where the products are. Each step is reported as an event to
the caller's ``progress`` callback.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

from kestro_core import media
from kestro_core.cuts.exact import ExactCuts
from kestro_core.cuts.preroll import preroll_warnings
from kestro_core.cuts.sources import LocalSource, ServiceSource
from kestro_core.finding.snap import SnappedCopy
from kestro_core.job import handoff
from kestro_core.job.binding import bound, extension, originals
from kestro_core.job.check import CheckFailed, check_options
from kestro_core.job.events import Progress, Reporter
from kestro_core.job.lock import DirectoryInUse, holding
from kestro_core.job.steps import Job, Planned
from kestro_core.options import (
    DEFAULT_CAPTION_STYLE,
    DEFAULT_MUSIC_LEVEL,
    DEFAULT_TIMELINE_FORMAT,
    TIMELINE_FORMATS,
    JobOptions,
    PathArg,
)
from kestro_core.picture import captions, subtitles
from kestro_core.picture import finish as finishing
from kestro_core.segments import model as segments
from kestro_core.segments.keys import NARRATION, sound_of
from kestro_core.segments.timecode import parse_time
from kestro_core.sound import mix
from kestro_core.sound.heard import Heard, Recorder
from kestro_core.speech.base import Speaker
from kestro_core.speech.voices import open_speaker
from kestro_core.store import products, scratch
from kestro_core.store.cache import DEFAULT_LIMIT, Cache
from kestro_core.store.files import make_last_directory, place, remove_parts
from kestro_core.timeline import export

__all__ = ["CheckFailed", "DirectoryInUse", "Short", "make_short", "run_job"]


@dataclass(frozen=True)
class Short:
    """What a job made. Paths are absolute."""

    output_dir: str
    horizontal: str  # horizontal_final.mp4, 16:9
    vertical: str  # FINAL_KESTRO.mp4, 1080x1920 at the chosen speed
    narrations_made: int  # narrations spoken for this job (the rest came from the cache)
    downloaded: bool  # the video was fetched from the download service
    horizontal_captions: str | None = None  # horizontal_final.srt, unless captions were off
    vertical_captions: str | None = None  # FINAL_KESTRO.srt
    captioned: str | None = None  # FINAL_KESTRO.captioned.mp4, when asked for
    finished: str | None = None  # FINAL_KESTRO.finished.mp4, when asked for
    horizontal_words: str | None = None  # horizontal_final.words.json, with the captions
    vertical_words: str | None = None  # FINAL_KESTRO.words.json
    timeline: str | None = None  # horizontal_final.otio (.fcpxml, .edl), when asked for


def make_short(
    segments_file: PathArg,
    speed: float,
    *,
    link: str | None = None,
    source: PathArg | None = None,
    speech: str = "service",
    voice: str | None = None,
    voice_dir: PathArg | None = None,
    output_dir: PathArg = ".",
    cache_dir: PathArg | None = None,
    use_cache: bool = True,
    cache_limit: int = DEFAULT_LIMIT,
    check: bool = True,
    captions: bool = True,
    burn_captions: bool = False,
    exact_joins: bool = True,
    finish: bool = False,
    caption_style: str = DEFAULT_CAPTION_STYLE,
    music: PathArg | None = None,
    music_level: float = DEFAULT_MUSIC_LEVEL,
    timeline: bool = False,
    timeline_format: str = DEFAULT_TIMELINE_FORMAT,
    snap: bool = False,
    progress: Progress | None = None,
) -> Short:
    """Make one narrated short and its vertical version.

    The options are those of ``JobOptions`` (see there); ``progress``, when given, is
    called on this thread with an ``Event`` for each step (check, download, read,
    narrate, cut, merge, join, export, captions, burn, finish) and as an encode advances.
    A callback that raises stops the job at its next step, with that error.

    Raises CheckFailed, SourceError or VoiceError (all ValueError) for bad input; any
    error of the run itself propagates unchanged, with the working files left in place.
    """
    options = JobOptions(
        os.fspath(segments_file),
        speed,
        link=link,
        source=None if source is None else os.fspath(source),
        speech=speech,
        voice=voice,
        voice_dir=None if voice_dir is None else os.fspath(voice_dir),
        output_dir=os.fspath(output_dir),
        cache_dir=None if cache_dir is None else os.fspath(cache_dir),
        use_cache=use_cache,
        cache_limit=cache_limit,
        check=check,
        captions=captions,
        burn_captions=burn_captions,
        exact_joins=exact_joins,
        finish=finish,
        caption_style=caption_style,
        music=None if music is None else os.fspath(music),
        music_level=music_level,
        timeline=timeline,
        timeline_format=timeline_format,
        snap=snap,
    )
    return run_job(options, progress=progress)


def _planned(document: segments.Document) -> list[Planned | None] | None:
    """Each Segment's sound, range and narration as far as the file says them (None for
    an entry that is no Segment); None when the file is no list (the run says why)."""
    doc = document.entries()
    if doc is None:
        return None
    found: list[Planned | None] = []
    for seg in doc:
        if not isinstance(seg, dict):
            found.append(None)
            continue
        times = [
            parse_time(v) if isinstance(v, str) else None
            for v in (seg.get("start"), seg.get("end"))
        ]
        start, end = (None if t is None else t / 1e6 for t in times)
        text = seg.get("voiceover")
        found.append(Planned(sound_of(seg), start, end, text if isinstance(text, str) else ""))
    return found


def run_job(options: JobOptions, *, progress: Progress | None = None) -> Short:
    """Make the short ``options`` describe (what ``make_short`` does). The job holds its
    output directory from start to end: a second job there is refused (DirectoryInUse)
    before anything is read or written."""
    reporter = Reporter(progress)
    reporter.step("check", "Checking the job" if options.check else "Checking the source")
    if make_last_directory(options.output_dir):
        reporter.note(f"  (made the output directory {options.output_dir})")
    if not os.path.isdir(options.output_dir):
        return _run(options, reporter)  # the check says what is wrong with it
    with holding(options.output_dir):
        # what a killed job left: half-made files here, working directories of ours
        for path in remove_parts(options.output_dir, _ours):
            reporter.note(f"  (removed {os.path.basename(path)}, left by a job that was stopped)")
        scratch.sweep()
        return _run(options, reporter)


def _ours(name: str) -> bool:
    timelines = {products.timeline_file(fmt) for fmt in TIMELINE_FORMATS}
    return name in products.PRODUCTS or name in timelines or products.is_working_file(name)


def _run(options: JobOptions, reporter: Reporter) -> Short:
    # the segments file read once for the whole job (the extension reads it on its own),
    # and each file the job reads probed once
    document = segments.Document(options.segments_file)
    probes = media.Probes()
    check_options(options, document=document, probes=probes)
    options.require_voice()
    native = extension()
    out = options.output_dir
    # the directory as the extension is given it: ffmpeg must read every path in it as a
    # file, and the concat list cannot carry a quote, so such a directory is reached
    # through a link of ours with a plain name
    alias = None
    given = media.local_path(out)
    if "'" in os.path.abspath(out):
        alias = os.path.join(scratch.mkdtemp("kestro-out-"), "out")
        os.symlink(os.path.realpath(out), alias)
        given = alias
    cache = Cache(
        options.cache_dir,
        limit=options.cache_limit,
        enabled=options.use_cache,
        warn=reporter.warn,
    )
    plain = originals(native)
    if options.speech == "piper":
        reporter.note("🗣️  Loading the piper voice...")
    speaker = open_speaker(
        options.speech, options.voice, options.voice_dir, cache, plain["_generate_tts"]
    )
    origin: LocalSource | ServiceSource
    if options.source is not None:
        origin = LocalSource(options.source, reporter.note)
    else:
        origin = ServiceSource(plain["_download_video"], cache, reporter.note)
    # a snapped job: the extension reads a copy of the segments file, whose edges the job
    # moves onto the shot changes near them once the source is in place; the job's own
    # reads (the pieces' frames, the captions, the timeline) read the copy too
    snapped = SnappedCopy.of(document) if options.snap else None
    if snapped is not None:
        document = snapped.document
    wanted = options.captions or options.burn_captions or options.finish or options.timeline
    recorder = Recorder(probes) if wanted else None
    planned = _planned(document)
    plays_source = any(p is not None and p.sound != NARRATION for p in planned or [])
    kept = mix.Originals(probes) if options.finish and plays_source else None
    ranges = [
        (p.start, p.end)
        for p in planned or []
        if p is not None and p.start is not None and p.end is not None and p.end > p.start
    ]
    job = Job(
        origin,
        speaker,
        cache,
        recorder,
        reporter=reporter,
        total=None if planned is None else len(planned),
        planned=planned or [],
        kept=kept,
        probes=probes,
        speed=options.speed,
        # exact joins: every cut an encode of just its range; else a warning, once the
        # source is in place, about the pieces that open before their start
        exact=ExactCuts(cache, probes, ranges) if options.exact_joins else None,
        on_source=_on_source(options, document, reporter, probes),
        snapped=snapped,
    )
    try:
        with bound(native, job):
            vertical = native.run_kestro(
                options.link if options.link is not None else os.path.abspath(options.source or ""),
                options.segments_file if snapped is None else snapped.path,
                options.speed,
                _voice_name(speaker, options.voice),
                given,
            )
        horizontal = os.path.abspath(os.path.join(out, products.HORIZONTAL))
        vertical = os.path.abspath(os.path.join(out, os.path.basename(vertical)))
        made: dict[str, str] = {}
        if recorder is not None:
            doing = "Writing the captions..." if options.captions else "Timing the captions..."
            reporter.step("captions", doing)
            made = _captions(
                recorder,
                horizontal,
                vertical,
                options,
                reporter,
                kept,
                document,
                probes,
                speaker.identity,
                cache,
            )
        reporter.close()
    finally:
        job.close()
        if snapped is not None:
            snapped.close()
        if kept is not None:
            kept.close()
        speaker.close()
        if recorder is not None:
            recorder.close()
        if alias is not None:
            os.remove(alias)
            os.rmdir(os.path.dirname(alias))
        cache.evict()
    return Short(
        output_dir=os.path.abspath(out),
        horizontal=horizontal,
        vertical=vertical,
        narrations_made=job.syntheses,
        downloaded=isinstance(origin, ServiceSource) and origin.fetched,
        horizontal_captions=made.get("horizontal"),
        vertical_captions=made.get("vertical"),
        captioned=made.get("captioned"),
        finished=made.get("finished"),
        horizontal_words=made.get("horizontal_words"),
        vertical_words=made.get("vertical_words"),
        timeline=made.get("timeline"),
    )


def _captions(
    recorder: Recorder,
    horizontal: str,
    vertical: str,
    options: JobOptions,
    reporter: Reporter,
    kept: mix.Originals | None = None,
    document: segments.Document | None = None,
    probes: media.Probes | None = None,
    identity: str = "",
    cache: Cache | None = None,
) -> dict[str, str]:
    """The two caption files beside the videos and the captioned copy, as ``options``
    asks: each narration's text while it is heard, from its first sound; the vertical
    video plays everything ``speed`` times as fast. Gives the paths written. ``document``,
    ``probes`` and ``cache`` are the job's."""
    document = document or segments.Document(options.segments_file)
    probes = probes or media.Probes()

    def length(video: str) -> float:
        return probes.get(video).length()

    with ThreadPoolExecutor(max_workers=2) as pool:  # the probes beside the sound's decode
        ends = {video: pool.submit(length, video) for video in (horizontal, vertical)}
        heard = recorder.heard(horizontal)

    out = os.path.dirname(horizontal)
    srt = {
        "horizontal": os.path.join(out, products.HORIZONTAL_CAPTIONS),
        "vertical": os.path.join(out, products.VERTICAL_CAPTIONS),
    }
    made: dict[str, str] = {}
    per_video: dict[str, list[captions.Cue]] = {}
    for video, path, width, scale in (
        ("horizontal", horizontal, captions.HORIZONTAL_WIDTH, 1.0),
        ("vertical", vertical, captions.VERTICAL_WIDTH, options.speed),
    ):
        cues: list[captions.Cue] = []
        for narration in heard:
            cues += captions.narration_cues(
                narration.text,
                width,
                narration.start / scale,
                narration.length / scale,
                narration.piece_end / scale,
            )
        per_video[video] = captions.finish(cues, ends[path].result())
    if options.captions:
        for video, path in srt.items():
            subtitles.write_srt(path, per_video[video])
            made[video] = path
        made.update(finishing.write_words_files(heard, out, options.speed))
    if options.burn_captions:
        made["captioned"] = os.path.join(out, products.CAPTIONED)
        doing = f"Burning the captions into {products.CAPTIONED}..."
        reporter.step("burn", doing)
        finishing.burned(
            horizontal,
            vertical,
            made["captioned"],
            per_video["vertical"],
            options.speed,
            progress=reporter.advance,
            note=reporter.note,
        )
    if options.finish:
        made["finished"] = os.path.join(out, products.FINISHED)
        doing = f"Finishing the short: {products.FINISHED}..."
        reporter.step("finish", doing)
        starts = recorder.piece_starts()
        # "auto" frames: the source's ranges, as the plan reads them (a download: the cache's)
        source = options.source
        if source is None and options.link is not None and cache is not None:
            source = cache.get_download(Cache.download_key(options.link))
        framed = finishing.pieces(
            starts,
            segments.read(document),
            horizontal,
            source=source,
            exact=options.exact_joins,
            cache=cache,
            probes=probes,
            note=reporter.note,
        )
        pieces, notes = ([], []) if kept is None else kept.pieces(starts, ends[horizontal].result())
        with scratch.directory("kestro-mix-") as work:
            sound = mix.soundtrack(
                vertical,
                ends[vertical].result(),
                options.speed,
                pieces,
                work,
                options.music,
                options.music_level,
            )
            for note in notes + sound.notes:
                reporter.warn(note)
            finishing.finished(
                horizontal,
                vertical,
                made["finished"],
                framed,
                options.speed,
                options.caption_style,
                cues=per_video["vertical"],
                heard=heard,
                progress=reporter.advance,
                sound=sound,
                note=reporter.note,
                length=ends[vertical].result(),
            )
    if options.timeline:
        reporter.step("timeline", "Writing the timeline...")
        made["timeline"] = _timeline(
            recorder,
            heard,
            horizontal,
            ends[horizontal].result(),
            options,
            document,
            probes,
            per_video["horizontal"],
            identity,
        )
    return made


def _timeline(
    recorder: Recorder,
    heard: list[Heard],
    horizontal: str,
    length: float,
    options: JobOptions,
    document: segments.Document,
    probes: media.Probes,
    cues: list[captions.Cue],
    identity: str,
) -> str:
    """horizontal_final.otio (or .fcpxml, .edl) beside the products: the joined video as a
    timeline of the source, the narrations (kept in narrations/), the source's own sound and
    the music."""
    out = os.path.dirname(horizontal)
    if options.source is not None:
        source = os.path.abspath(options.source)
    else:
        source = os.path.join(out, products.TIMELINE_SOURCE)
    narrations = handoff.keep_narrations(recorder.narration_files(), heard, identity, out)
    cut = handoff.cut_of(
        source=source,
        segments=segments.read(document),
        exact=options.exact_joins,
        starts=recorder.piece_starts(),
        length=length,
        heard=heard,
        narrations=narrations,
        cues=cues,
        probes=probes,
        music=None if options.music is None else os.path.abspath(options.music),
        music_level=options.music_level,
    )
    return export.write(cut, os.path.join(out, products.TIMELINE), options.timeline_format)


def _on_source(
    options: JobOptions, document: segments.Document, reporter: Reporter, probes: media.Probes
) -> Callable[[str], None] | None:
    """What the job does once the source is in place: a stream-copy job warns of the pieces
    that will open before their start; a timeline of a downloaded source keeps the download
    beside it (the run removes movie.mp4)."""
    warn = None if options.exact_joins else _preroll_warner(document, reporter, probes)
    keep = options.timeline and options.link is not None
    if warn is None and not keep:
        return None

    def placed(video: str) -> None:
        if warn is not None:
            warn(video)
        if keep:
            place(video, os.path.join(options.output_dir, products.TIMELINE_SOURCE))

    return placed


def _preroll_warner(
    document: segments.Document, reporter: Reporter, probes: media.Probes
) -> Callable[[str], None]:
    """What a stream-copy job does once its source is in place, before anything is cut:
    one warning per Segment that will open with picture from before its start."""

    def warn(video: str) -> None:
        try:
            lines = preroll_warnings(video, document, probes)
        except (ValueError, media.MediaError):
            return  # an unreadable segments file or source: the run itself says what
        for line in lines:
            reporter.warn(line)

    return warn


def _voice_name(speaker: Speaker, voice: str | None) -> str:
    return voice if voice is not None else speaker.name
