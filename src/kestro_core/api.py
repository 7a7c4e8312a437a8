"""The job API: ``make_short``.

One call makes one short: it checks the whole job, picks where the video comes from (the
download service or a file on disk) and who speaks (the speech service, piper or
espeak-ng), binds them with the cache into the extension for the length of the job, runs
``run_kestro`` and returns where the products are.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

from kestro_core.cache import DEFAULT_LIMIT, Cache
from kestro_core.check import check_job
from kestro_core.job import Job, ServiceSpeaker, Speaker, bound, originals
from kestro_core.soundtrack import Recorder, media_duration
from kestro_core.sources import LocalSource, ServiceSource, SourceError, source_problems
from kestro_core.voices import SPEECH_ENGINES, open_voice

__all__ = ["CheckFailed", "Short", "make_short"]

PathArg = str | os.PathLike[str]


class CheckFailed(ValueError):
    """The whole-job check found problems; the text lists them as ``check`` prints them."""


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


def _text(value: PathArg | None) -> str | None:
    return None if value is None else os.fspath(value)


def _validate(link: str | None, source: str | None, speech: str) -> None:
    if (link is None) == (source is None):
        raise TypeError(
            "give exactly one of link= (a video link for the download service) "
            "and source= (a video file on disk)"
        )
    if speech not in SPEECH_ENGINES:
        raise ValueError(
            f"unknown speech engine {speech!r}: choose one of {', '.join(SPEECH_ENGINES)}"
        )


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
    exact_joins: bool = False,
) -> Short:
    """Make one narrated short and its vertical version.

    segments_file  the JSON list of Segments ("start", "end", "voiceover")
    speed          speed factor of the vertical video
    link           link of the video, fetched by the download service; or
    source         a video file on disk, used in its place (hard-linked into the output
                   directory as "movie.mp4", copied where a link is refused; never changed)
    speech         "service" (the speech service; needs ``voice``), "piper" (the neural
                   engine of the optional extra ``kestro_core[piper]``) or "espeak-ng"
    voice          the service's voice name; for piper a model path (``.onnx`` beside its
                   ``.onnx.json``) or a voice name in ``voice_dir``, default the bundled
                   voice; for espeak-ng a voice such as "en-us" (the default)
    output_dir     an existing directory for the working files and the products
    cache_dir      the cache (default ``$XDG_CACHE_HOME/kestro_core`` or
                   ``~/.cache/kestro_core``); ``use_cache=False`` turns it off.
                   Downloads are keyed by the exact link text and narrations by engine,
                   voice and text, so a rerun fetches and speaks only what it lacks.
    cache_limit    bytes the cache may keep; least recently used downloads go first
    check          check the whole job first and raise CheckFailed, before anything is
                   fetched or written, when something would make it fail
    captions       write "horizontal_final.srt" and "FINAL_KESTRO.srt" beside the videos:
                   each narration's text while it is heard, in cues of at most two lines
    burn_captions  also "FINAL_KESTRO.captioned.mp4": the vertical video with its captions
                   drawn in (one more encode)
    exact_joins    cut every range exactly at its "start": the source is encoded once more
                   (cached) with a keyframe at every start, so no piece opens with picture
                   from before it

    Raises CheckFailed, SourceError or VoiceError (all ValueError) for bad input; any
    error of the run itself propagates unchanged, with the working files left in place.
    """
    seg_path, src, out = _text(segments_file), _text(source), _text(output_dir) or "."
    vdir, cdir = _text(voice_dir), _text(cache_dir)
    assert seg_path is not None
    _validate(link, src, speech)
    if check:
        report = check_job(
            seg_path, speed, out, source=src, speech=speech, voice=voice, voice_dir=vdir
        )
        if report:
            raise CheckFailed(report.listing(seg_path))
    elif src is not None:
        problems = source_problems(src, out)
        if problems:
            raise SourceError(problems[0])
    if speech == "service" and not voice:
        raise ValueError("the speech service needs a voice name (voice=)")

    from kestro_core import kestro_core as extension

    cache = Cache(cdir, limit=cache_limit, enabled=use_cache)
    plain = originals(extension)
    speaker: Speaker
    if speech == "service":
        assert voice is not None
        speaker = ServiceSpeaker(plain["_generate_tts"], voice)
    else:
        if speech == "piper":
            print("🗣️  Loading the piper voice...")
        memo = cache.memo_path("model-hashes.json") if cache.enabled else None
        speaker = open_voice(speech, voice, vdir, hash_memo=memo)
    origin = LocalSource(src) if src is not None else ServiceSource(plain["_download_video"], cache)
    fetch: Callable[[str, str], object] = origin
    if exact_joins:
        from kestro_core.joins import ExactSource, exact_times

        starts, up_to = exact_times(seg_path)
        fetch = ExactSource(origin, starts, up_to, cache)
    recorder = Recorder() if captions or burn_captions else None
    job = Job(fetch, speaker, cache, recorder)
    try:
        with bound(extension, job):
            vertical = extension.run_kestro(
                link if link is not None else os.path.abspath(src or ""),
                seg_path,
                speed,
                _voice_name(speaker, voice),
                out,
            )
        horizontal = os.path.abspath(os.path.join(out, "horizontal_final.mp4"))
        vertical = os.path.abspath(vertical)
        made: dict[str, str] = {}
        if recorder is not None:
            print("💬 Writing the captions..." if captions else "💬 Timing the captions...")
            made = _captions(recorder, horizontal, vertical, speed, captions, burn_captions)
    finally:
        close = getattr(speaker, "close", None)
        if close is not None:
            close()
        if recorder is not None:
            recorder.close()
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
    )


def _captions(
    recorder: Recorder, horizontal: str, vertical: str, speed: float, files: bool, burn: bool
) -> dict[str, str]:
    """The two caption files beside the videos (``files``) and the captioned copy
    (``burn``): each narration's text while it is heard, from its first sound; the vertical
    video plays everything ``speed`` times as fast. Gives the paths written."""
    from kestro_core import captions

    with ThreadPoolExecutor(max_workers=2) as pool:  # the probes beside the sound's decode
        ends = {video: pool.submit(media_duration, video) for video in (horizontal, vertical)}
        heard = recorder.heard(horizontal)

    out = os.path.dirname(horizontal)
    srt = {
        "horizontal": os.path.join(out, "horizontal_final.srt"),
        "vertical": os.path.join(out, "FINAL_KESTRO.srt"),
    }
    made: dict[str, str] = {}
    per_video: dict[str, list[captions.Cue]] = {}
    for video, path, width, scale in (
        ("horizontal", horizontal, captions.HORIZONTAL_WIDTH, 1.0),
        ("vertical", vertical, captions.VERTICAL_WIDTH, speed),
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
    if files:
        for video, path in srt.items():
            captions.write_srt(path, per_video[video])
            made[video] = path
    if burn:
        made["captioned"] = os.path.join(out, "FINAL_KESTRO.captioned.mp4")
        print("💬 Burning the captions into FINAL_KESTRO.captioned.mp4...")
        captions.burn(horizontal, vertical, per_video["vertical"], speed, made["captioned"])
    return made


def _voice_name(speaker: Speaker, voice: str | None) -> str:
    return voice if voice is not None else str(getattr(speaker, "name", ""))
