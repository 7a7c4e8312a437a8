"""JobOptions: everything one job is made of, validated once.

``make_short``, ``plan``, the command line, the queue task and the studio all build one
and hand it on, so what each of them accepts cannot drift apart.
"""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, fields
from typing import Any

from kestro_core.picture.captions import DEFAULT_STYLE as DEFAULT_CAPTION_STYLE
from kestro_core.picture.captions import STYLES as CAPTION_STYLES
from kestro_core.sound.mix import DEFAULT_MUSIC_LEVEL, MUSIC_DUCK_DB
from kestro_core.speech.voices import SPEECH_ENGINES
from kestro_core.store.cache import DEFAULT_LIMIT
from kestro_core.timeline.model import DEFAULT_FORMAT as DEFAULT_TIMELINE_FORMAT
from kestro_core.timeline.model import FORMATS as TIMELINE_FORMATS

__all__ = [
    "JobOptions",
    "PathArg",
    "PATH_FIELDS",
    "FIELD_TYPES",
    "RUN_FLAGS",
    "DEFAULT_CAPTION_STYLE",
    "DEFAULT_TIMELINE_FORMAT",
    "TIMELINE_FORMATS",
    "DEFAULT_MUSIC_LEVEL",
    "MUSIC_DUCK_DB",
    "MUSIC_LEVELS",
    "music_level_problem",
    "run_argv",
]

PathArg = str | os.PathLike[str]

# the fields that name files or directories
PATH_FIELDS = ("segments_file", "source", "voice_dir", "output_dir", "cache_dir", "music")

MUSIC_LEVELS = (-60.0, 20.0)  # dB against the voice


def music_level_problem(level: Any) -> str | None:
    """What is wrong with a music level (dB against the voice); None when a job takes it."""
    low, high = MUSIC_LEVELS
    if isinstance(level, bool) or not isinstance(level, (int, float)) or math.isnan(level):
        return f"the music level must be a number of dB from {low:g} to {high:g}"
    if not low <= level <= high:
        return (
            f"the music level {level:g} dB is out of reach: give one from {low:g} to {high:g} "
            f"dB against the voice (the default {DEFAULT_MUSIC_LEVEL:g} keeps it well under it)"
        )
    return None


@dataclass(frozen=True)
class JobOptions:
    """One job: what to read, who speaks, where the products go and which ones.

    segments_file  the JSON list of Segments ("start", "end", "voiceover")
    speed          speed factor of the vertical video
    link           link of the video, fetched by the download service; or
    source         a video file on disk, used in its place (never changed)
    speech         "service", "piper" or "espeak-ng"
    voice          the service's voice name; a piper model path or name; an espeak-ng voice
    voice_dir      piper's voices directory
    output_dir     an existing directory for the working files and the products
    cache_dir      the cache (default ``$XDG_CACHE_HOME/kestro_core``); ``use_cache=False``
                   turns it off; ``cache_limit`` is the bytes it may keep
    check          check the whole job before anything is fetched or written
    captions       write the two ``.srt`` files beside the videos
    burn_captions  also the vertical video with its captions drawn in
    finish         also the finished short: each Segment in its "frame", the captions drawn
                   in ``caption_style`` ("words": the spoken word highlighted; "lines")
    exact_joins    cut every range exactly at its "start" (each range encoded on its own,
                   cached); False: stream-copy cuts, which open on the keyframe before
    music          an audio file under the finished short (looped or cut to its length)
    music_level    the music's loudness against the voice's, in dB (below 0: quieter); it
                   gives way by MUSIC_DUCK_DB more wherever a narration or the source's
                   sound is heard
    timeline       also horizontal_final.otio (or .fcpxml, .edl: ``timeline_format``): the
                   cut as a timeline an editor opens, its narrations in <output>/narrations/
    snap           move each range's start and end that lies within half a second of a shot
                   change onto it, to the frame (the extension reads a snapped copy of the
                   segments file; the user's is only read)
    """

    segments_file: str
    speed: float
    link: str | None = None
    source: str | None = None
    speech: str = "service"
    voice: str | None = None
    voice_dir: str | None = None
    output_dir: str = "."
    cache_dir: str | None = None
    use_cache: bool = True
    cache_limit: int = DEFAULT_LIMIT
    check: bool = True
    captions: bool = True
    burn_captions: bool = False
    finish: bool = False
    caption_style: str = DEFAULT_CAPTION_STYLE
    exact_joins: bool = True
    music: str | None = None
    music_level: float = DEFAULT_MUSIC_LEVEL
    timeline: bool = False
    timeline_format: str = DEFAULT_TIMELINE_FORMAT
    snap: bool = False

    def __post_init__(self) -> None:
        for name in PATH_FIELDS:
            value = getattr(self, name)
            if isinstance(value, os.PathLike):
                object.__setattr__(self, name, os.fspath(value))
        object.__setattr__(self, "output_dir", self.output_dir or ".")
        if (self.link is None) == (self.source is None):
            raise TypeError(
                "give exactly one of link= (a video link for the download service) "
                "and source= (a video file on disk)"
            )
        if self.speech not in SPEECH_ENGINES:
            raise ValueError(
                f"unknown speech engine {self.speech!r}: choose one of {', '.join(SPEECH_ENGINES)}"
            )
        if isinstance(self.speed, bool) or not isinstance(self.speed, (int, float)):
            raise TypeError(f"speed must be a number, not {type(self.speed).__name__}")
        object.__setattr__(self, "speed", float(self.speed))
        level = self.music_level
        if isinstance(level, bool) or not isinstance(level, (int, float)):
            raise TypeError(f"music_level must be a number of dB, not {type(level).__name__}")
        problem = music_level_problem(level)
        if problem is not None:
            raise ValueError(problem)
        object.__setattr__(self, "music_level", float(level))
        if self.music is not None and not self.finish:
            raise ValueError(
                "the music is heard only in the finished short: ask for it as well "
                "(finish=True, --finish)"
            )
        if self.timeline_format not in TIMELINE_FORMATS:
            raise ValueError(
                f"unknown timeline format {self.timeline_format!r}: choose one of "
                f"{', '.join(TIMELINE_FORMATS)}"
            )
        if self.caption_style not in CAPTION_STYLES:
            raise ValueError(
                f"unknown caption style {self.caption_style!r}: choose one of "
                f"{', '.join(CAPTION_STYLES)}"
            )

    @property
    def needs_voice(self) -> bool:
        """The speech service is chosen and no voice is named."""
        return self.speech == "service" and not self.voice

    def require_voice(self) -> None:
        if self.needs_voice:
            raise ValueError("the speech service needs a voice name (voice=)")

    @classmethod
    def field_names(cls) -> tuple[str, ...]:
        return tuple(f.name for f in fields(cls))

    def replace(self, **changes: Any) -> JobOptions:
        """A copy with ``changes`` made (and validated again)."""
        values = {name: getattr(self, name) for name in self.field_names()}
        values.update(changes)
        return JobOptions(**values)


# what each field accepts from a plain dict (a queue job's spec): types, and how to say it
FIELD_TYPES: dict[str, tuple[tuple[type, ...], str]] = {
    f.name: {
        "str": ((str,), "a path string" if f.name in PATH_FIELDS else "a string"),
        "str | None": ((str,), "a path string" if f.name in PATH_FIELDS else "a string"),
        "float": ((int, float), "a number"),
        "bool": ((bool,), "true or false"),
        "int": ((int,), "a whole number of bytes"),
    }[str(f.type)]
    for f in fields(JobOptions)
}

# the run's options as flags: the field of JobOptions each one sets
RUN_FLAGS = {
    "link": "LINK",
    "segments_file": "SEGMENTS",
    "speed": "--speed",
    "source": "--source",
    "speech": "--speech",
    "voice": "--voice",
    "voice_dir": "--voice-dir",
    "output_dir": "--output-dir",
    "cache_dir": "--cache-dir",
    "use_cache": "--no-cache",
    "cache_limit": "--cache-limit",
    "check": "--no-check",
    "captions": "--no-captions",
    "burn_captions": "--burn-captions",
    "finish": "--finish",
    "caption_style": "--caption-style",
    "exact_joins": "--stream-copy",
    "music": "--music",
    "music_level": "--music-level",
    "timeline": "--timeline",
    "timeline_format": "--timeline-format",
    "snap": "--snap",
}


def run_argv(options: JobOptions) -> list[str]:
    """The ``run`` command's arguments for ``options`` (how the studio starts a render)."""
    argv = ["run"] if options.link is None else ["run", options.link]
    argv += [options.segments_file, "--speed", repr(options.speed)]
    for field in ("source", "speech", "voice", "voice_dir", "output_dir", "cache_dir", "music"):
        value = getattr(options, field)
        if value is not None:
            argv += [RUN_FLAGS[field], value]
    if options.cache_limit != DEFAULT_LIMIT:
        argv += ["--cache-limit", str(options.cache_limit)]
    for field in ("use_cache", "check", "captions", "exact_joins"):
        if not getattr(options, field):
            argv.append(RUN_FLAGS[field])
    for field in ("burn_captions", "finish", "timeline", "snap"):
        if getattr(options, field):
            argv.append(RUN_FLAGS[field])
    if options.music_level != DEFAULT_MUSIC_LEVEL:
        argv += [RUN_FLAGS["music_level"], repr(options.music_level)]
    if options.caption_style != DEFAULT_CAPTION_STYLE:
        argv += [RUN_FLAGS["caption_style"], options.caption_style]
    if options.timeline_format != DEFAULT_TIMELINE_FORMAT:
        argv += [RUN_FLAGS["timeline_format"], options.timeline_format]
    return argv
