"""Command line: ``python -m kestro_core check|run|plan|cache|studio|find|shots``.

Parsing and showing only: ``run`` builds a ``JobOptions`` and hands it to the job, whose
events it shows as a progress bar (``kestro_core.cli.display``).

check   looks at a segments file (and optionally the speed, the output
        directory, the source video, the speech engine and voice) and lists
        every problem that would make a run fail late.
run     runs the job (which checks first); on a failure it says in one paragraph
        which step failed (the last its events started), why, and which working
        files stayed.
plan    speaks the narrations (into the cache) and predicts the length of
        every piece and product, and what each Segment loses; --fit writes a
        copy of the segments file whose ranges hold their whole narrations.
cache   prints where the cache is and how big; ``cache clear`` empties it.
studio  serves a page on 127.0.0.1 to mark the ranges on the video, hear each
        narration over its range, see the fit and render (kestro_core.studio).
find    prints the subtitle lines of a video that hold given words, with their times.
shots   prints where the shots of a video change, within a window of it.

Exit status: 0 success, 1 a problem or a failed run, 2 a usage error,
130 interrupted; ``find`` and ``shots`` as grep: 1 no line matches, 2 nothing
could be searched (no subtitles, an unreadable video, a window past its end).
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import sys
import textwrap
from typing import Any, TextIO

from kestro_core.cli.display import Display
from kestro_core.cuts.sources import SourceError
from kestro_core.finding.dialogue import SubtitleError, matching, read_subtitles
from kestro_core.finding.shots import clock, shot_changes
from kestro_core.job.check import CheckFailed, Report, check_job
from kestro_core.job.events import Event, describe_step
from kestro_core.job.lock import DirectoryInUse
from kestro_core.job.run import run_job
from kestro_core.media import MediaError, Probes
from kestro_core.options import (
    DEFAULT_CAPTION_STYLE,
    DEFAULT_MUSIC_LEVEL,
    DEFAULT_TIMELINE_FORMAT,
    MUSIC_DUCK_DB,
    TIMELINE_FORMATS,
    JobOptions,
)
from kestro_core.picture.captions import STYLES as CAPTION_STYLES
from kestro_core.planning import PlanError, fit, plan_job
from kestro_core.segments.timecode import format_seconds, parse_time
from kestro_core.speech.base import VoiceError
from kestro_core.speech.voices import SPEECH_ENGINES
from kestro_core.store import products
from kestro_core.store.cache import DEFAULT_LIMIT, Cache
from kestro_core.store.products import numbered_working_file
from kestro_core.studio import StudioError, serve

__all__ = ["main", "failure_paragraph", "PROG"]

PROG = "python -m kestro_core"

# Working files a run leaves behind when it stops early, in the order a run
# makes them; the numbered ones are matched by pattern.
_FIXED_FILES = (products.SOURCE, products.FILELIST, products.HORIZONTAL, products.VERTICAL)


# --------------------------------------------------------------------------
# argument parsing
# --------------------------------------------------------------------------


def _speed(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None


def _add_speech(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--speech",
        choices=SPEECH_ENGINES,
        metavar="ENGINE",
        help="who speaks the narrations: service (the speech service, needs "
        "--voice), piper (the neural engine of the optional extra "
        "kestro_core[piper]) or espeak-ng",
    )
    p.add_argument(
        "--voice",
        metavar="NAME",
        help="the service's voice name; for piper a model path (.onnx) or a "
        "voice name in --voice-dir (default: the bundled voice); for "
        "espeak-ng a voice such as en-us",
    )
    p.add_argument("--voice-dir", metavar="DIR", help="piper's voices directory")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Check a segments file, or run a whole narrated-video job."
    )
    sub = parser.add_subparsers(
        dest="command", required=True, metavar="{check,run,plan,cache,studio,find,shots}"
    )

    p = sub.add_parser(
        "check",
        help="list every problem that would make a run fail late",
        description="Check a segments file (and the settings of a run) before anything "
        "is downloaded. Lists every problem with its Segment number and key "
        "and exits 1; with none, prints the Segment count and the length of "
        "the chosen ranges and exits 0.",
    )
    p.add_argument("segments", metavar="SEGMENTS", help="the segments file (JSON)")
    p.add_argument(
        "--speed", type=_speed, metavar="X", help="speed factor of the vertical export to check"
    )
    p.add_argument(
        "--output-dir", default=".", metavar="DIR", help="output directory of the run (default: .)"
    )
    p.add_argument(
        "--source",
        metavar="VIDEO",
        help="the source video on disk (or a local copy of the linked one): it "
        "must be a video, and every range must lie inside it",
    )
    _add_speech(p)

    p = sub.add_parser(
        "run",
        help="check, then run the whole job",
        description="Check the job, then fetch (or take the local video), narrate, cut, "
        "join and export it. Give exactly one of LINK and --source.",
        usage=f"{PROG} run [-h] [LINK] SEGMENTS --speed X [--source VIDEO] [options]",
    )
    p.add_argument(
        "positional",
        nargs="+",
        metavar="[LINK] SEGMENTS",
        help="link of the source video (not with --source), and the segments file (JSON)",
    )
    p.add_argument(
        "--speed",
        type=_speed,
        required=True,
        metavar="X",
        help="speed factor of the vertical export",
    )
    p.add_argument(
        "--source",
        metavar="VIDEO",
        help="a video file on disk instead of a link: hard-linked (or copied) "
        "into the output directory, never changed",
    )
    _add_speech(p)
    p.add_argument(
        "--output-dir",
        default=".",
        metavar="DIR",
        help="output directory, made when missing (default: .)",
    )
    p.add_argument(
        "--cache-dir",
        metavar="DIR",
        help="the cache (default: $XDG_CACHE_HOME/kestro_core or ~/.cache/kestro_core)",
    )
    p.add_argument(
        "--no-cache",
        action="store_true",
        help="neither use nor fill the cache (a cached download is otherwise "
        "not checked with the service again)",
    )
    p.add_argument("--no-check", action="store_true", help="start without checking first")
    p.add_argument(
        "--no-captions",
        action="store_true",
        help='do not write "horizontal_final.srt" and "FINAL_KESTRO.srt"',
    )
    p.add_argument(
        "--burn-captions",
        action="store_true",
        help='also write "FINAL_KESTRO.captioned.mp4", the vertical video with its captions '
        "drawn in",
    )
    p.add_argument(
        "--finish",
        action="store_true",
        help='also write "FINAL_KESTRO.finished.mp4", the finished short: each Segment in its '
        '"frame", the captions drawn in (see --caption-style)',
    )
    p.add_argument(
        "--caption-style",
        choices=CAPTION_STYLES,
        default=DEFAULT_CAPTION_STYLE,
        help="the finished short's captions: words (the spoken word highlighted, the "
        "default) or lines",
    )
    p.add_argument(
        "--music",
        metavar="FILE",
        help="music under the finished short (with --finish): any audio ffmpeg reads, "
        "looped or cut to the short's length and faded out at its end",
    )
    p.add_argument(
        "--music-level",
        type=float,
        default=DEFAULT_MUSIC_LEVEL,
        metavar="DB",
        help=f"the music's loudness against the voice, in dB (default: {DEFAULT_MUSIC_LEVEL:g}); "
        f"it gives way by {MUSIC_DUCK_DB:g} dB more wherever a narration or the source's "
        "own sound is heard",
    )
    p.add_argument(
        "--timeline",
        action="store_true",
        help='also write "horizontal_final.otio", the cut as a timeline an editor opens '
        '(its narrations in "narrations/"; needs the extra kestro_core[timeline])',
    )
    p.add_argument(
        "--timeline-format",
        choices=TIMELINE_FORMATS,
        default=DEFAULT_TIMELINE_FORMAT,
        help="the timeline's file: otio (the default), fcpxml or edl (the picture only)",
    )
    _add_cuts(p)
    _add_snap(p)
    p.add_argument(
        "--cache-limit",
        type=int,
        default=DEFAULT_LIMIT,
        metavar="BYTES",
        help="bytes the cache may keep (default: 10 GiB)",
    )
    p.add_argument(
        "--verbose",
        action="store_true",
        help="on a terminal, also show the run's own lines above the progress bar",
    )
    p.add_argument(
        "--events",
        action="store_true",
        help="write each step's event as a line of JSON on stdout (the run's own lines go "
        "to stderr)",
    )

    p = sub.add_parser(
        "plan",
        help="the lengths of the pieces and products, before rendering",
        description="Check the job, speak every narration (into the cache, so the run "
        "speaks nothing again) and print how long each piece, horizontal_final.mp4 and "
        "FINAL_KESTRO.mp4 will be, and what each Segment loses. Exits 1 when a narration "
        "would be cut off or another problem was found.",
    )
    p.add_argument("segments", metavar="SEGMENTS", help="the segments file (JSON)")
    p.add_argument(
        "--speed", type=_speed, required=True, metavar="X", help="speed of the vertical export"
    )
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--source", metavar="VIDEO", help="the source video on disk")
    where.add_argument(
        "--link",
        metavar="LINK",
        help="link of the video (its keyframes are read when the download is in the cache)",
    )
    _add_speech(p)
    p.add_argument("--cache-dir", metavar="DIR", help="the cache directory")
    p.add_argument("--no-cache", action="store_true", help="neither use nor fill the cache")
    p.add_argument(
        "--max-duration",
        type=_speed,
        metavar="S",
        help="flag a vertical video longer than S seconds as a problem",
    )
    p.add_argument(
        "--fit",
        metavar="OUT.json",
        help="write a copy of SEGMENTS in which every cut-off narration gets a late enough "
        '"end" (never over SEGMENTS itself)',
    )
    p.add_argument("--json", action="store_true", help="print the plan as JSON only")
    _add_cuts(p)
    _add_snap(p)

    p = sub.add_parser(
        "cache",
        help="where the cache is and how big; empty it",
        description="Print where the cache is and what it holds; 'clear' empties it.",
    )
    p.add_argument("action", nargs="?", choices=("clear",), help="empty the cache")
    p.add_argument("--cache-dir", metavar="DIR", help="the cache directory")
    p.add_argument("--downloads", action="store_true", help="clear only the downloads")
    p.add_argument("--narrations", action="store_true", help="clear only the narrations")
    p.add_argument("--encodes", action="store_true", help="clear only the encodes (of exact joins)")
    _add_studio_parser(sub)
    _add_finding_parsers(sub)
    for command in sub.choices.values():  # a usage error is said in its command's usage
        command.set_defaults(command_parser=command)
    return parser


def _add_cuts(p: argparse.ArgumentParser) -> None:
    """--exact-joins (the default) and --stream-copy."""
    cuts = p.add_mutually_exclusive_group()
    cuts.add_argument(
        "--exact-joins",
        dest="exact_joins",
        action="store_true",
        default=True,
        help="the default: every range is encoded on its own (cached), so every piece "
        "opens exactly at its start",
    )
    cuts.add_argument(
        "--stream-copy",
        dest="exact_joins",
        action="store_false",
        help="cut by stream copy (no encode of the ranges): a piece opens on the keyframe at "
        "or before its start, with the picture from before it (warned about, per Segment)",
    )


# --------------------------------------------------------------------------
# check
# --------------------------------------------------------------------------


def _list_problems(problems: Report, out: TextIO, what: str) -> None:
    print(problems.listing(what), file=out)


def _cmd_check(args: argparse.Namespace) -> int:
    report = check_job(
        args.segments,
        args.speed,
        args.output_dir,
        source=args.source,
        speech=args.speech,
        voice=args.voice,
        voice_dir=args.voice_dir,
    )
    if report:
        _list_problems(report, sys.stdout, args.segments)
        return 1
    n = report.segment_count
    seconds = report.narrated_us / 1e6
    print(
        f"{args.segments}: OK, {n} Segment{'' if n == 1 else 's'}, "
        f"{seconds:g} s ({format_seconds(report.narrated_us)}) of chosen ranges; "
        f"run `{PROG} plan` for the lengths of the products"
    )
    return 0


# --------------------------------------------------------------------------
# plan
# --------------------------------------------------------------------------


def _cmd_plan(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    speech = args.speech or "service"
    if speech == "service" and not args.voice:
        parser.error(
            "plan: the speech service needs --voice NAME (or choose a local "
            "engine with --speech piper or --speech espeak-ng)"
        )
    if args.max_duration is not None and not args.max_duration > 0:
        parser.error(f"plan: --max-duration must be a positive number, not {args.max_duration:g}")
    options = JobOptions(
        args.segments,
        args.speed,
        link=args.link,
        source=args.source,
        speech=speech,
        voice=args.voice,
        voice_dir=args.voice_dir,
        cache_dir=args.cache_dir,
        use_cache=not args.no_cache,
        exact_joins=args.exact_joins,
        snap=args.snap,
    )
    mode = "bar" if sys.stderr.isatty() else "quiet"
    try:
        # whatever the voice prints goes to stderr: stdout holds the plan only
        with (
            Display(sys.stderr, mode, notes=sys.stderr) as display,
            contextlib.redirect_stdout(sys.stderr),
        ):
            planned = plan_job(options, max_duration=args.max_duration, progress=display)
    except CheckFailed as exc:
        print(exc)
        return 1
    except (PlanError, SourceError, VoiceError) as exc:
        print(f"kestro_core plan: {exc}", file=sys.stderr)
        return 1
    problems = list(planned.problems)
    fitted = None
    if args.fit is not None:
        try:
            fitted = fit(args.segments, planned, args.fit)
        except (OSError, ValueError) as exc:
            print(f"kestro_core plan: --fit: {exc}", file=sys.stderr)
            return 1
        problems += fitted.problems
    if args.json:
        doc = planned.to_json()
        if fitted is not None:
            doc["fit"] = {"file": args.fit, "moved": fitted.moved, "problems": fitted.problems}
        print(json.dumps(doc, ensure_ascii=False, indent=2))
    else:
        print(planned.table())
        if fitted is not None:
            print()
            print(f"--fit: wrote {args.fit}")
            for line in fitted.moved + fitted.problems:
                print(f"  {line}")
            if not fitted.moved and not fitted.problems:
                print("  (no narration is cut off: the copy is unchanged)")
    # the status is that of SEGMENTS as it is; plan the fitted copy to see it pass
    return 1 if problems else 0


# --------------------------------------------------------------------------
# run
# --------------------------------------------------------------------------

# what a failure of a known cause needs said besides its message
_ADVICE = (
    (UnicodeEncodeError, "The terminal cannot show the run's lines: set PYTHONIOENCODING=utf-8."),
)


def _left_behind(output_dir: str) -> list[str]:
    try:
        names = os.listdir(output_dir or ".")
    except OSError:
        return []
    fixed = [n for n in _FIXED_FILES if n in names]
    numbered = []
    for name in names:
        found = numbered_working_file(name)
        if found is not None:
            numbered.append((found[0], ("clip", "voice", "merged").index(found[1]), name))
    return fixed[:1] + [n for _, _, n in sorted(numbered)] + fixed[1:]


def failure_paragraph(exc: BaseException, last: Event | None, output_dir: str) -> str:
    """The short paragraph printed when a run fails: the step it was at (the last one
    its events started), the error, what to do for a known cause, and the files left."""
    text = (str(exc) or "(no message)").strip()
    if not text.endswith((".", "!", "?")):
        text += "."
    for kind, advice in _ADVICE:
        if isinstance(exc, kind):
            text += " " + advice
    files = _left_behind(output_dir)
    where = os.path.abspath(output_dir)
    if files:
        left = (
            f"Working files left in {where}: {', '.join(files)}. They stay until you "
            f"remove them; a new run into this directory overwrites them."
        )
    else:
        left = f"No working file was left in {where}."
    step = describe_step(last)
    paragraph = f"kestro_core run failed at {step}: {type(exc).__name__}: {text} {left}"
    return textwrap.fill(paragraph, width=100, break_long_words=False, break_on_hyphens=False)


def _run_arguments(
    parser: argparse.ArgumentParser, args: argparse.Namespace
) -> tuple[str | None, str]:
    """LINK and SEGMENTS from the positionals; usage errors exit 2."""
    given = args.positional
    if len(given) > 2:
        parser.error(f"run: too many arguments: {' '.join(given[2:])}")
    link, segments = (given[0], given[1]) if len(given) == 2 else (None, given[0])
    if (link is None) == (args.source is None):
        parser.error("run: give exactly one of LINK and --source VIDEO")
    if (args.speech or "service") == "service" and not args.voice:
        parser.error(
            "run: the speech service needs --voice NAME (or choose a local "
            "engine with --speech piper or --speech espeak-ng)"
        )
    return link, segments


def _display_mode(args: argparse.Namespace) -> str:
    if args.events:
        return "json"
    return "bar" if sys.stderr.isatty() else "lines"


def _run_options(args: argparse.Namespace, link: str | None, segments: str) -> JobOptions:
    return JobOptions(
        segments,
        args.speed,
        link=link,
        source=args.source,
        speech=args.speech or "service",
        voice=args.voice,
        voice_dir=args.voice_dir,
        output_dir=args.output_dir,
        cache_dir=args.cache_dir,
        use_cache=not args.no_cache,
        cache_limit=args.cache_limit,
        check=not args.no_check,
        captions=not args.no_captions,
        burn_captions=args.burn_captions,
        finish=args.finish,
        caption_style=args.caption_style,
        exact_joins=args.exact_joins,
        music=args.music,
        music_level=args.music_level,
        timeline=args.timeline,
        timeline_format=args.timeline_format,
        snap=args.snap,
    )


def _cmd_run(args: argparse.Namespace, link: str | None, segments: str) -> int:
    try:
        options = _run_options(args, link, segments)
    except (TypeError, ValueError) as exc:  # options that do not go together
        args.command_parser.error(str(exc))
    mode = _display_mode(args)
    # the run's own lines: on stdout, unless the bar has the terminal (then with --verbose,
    # above the bar) or the events have stdout (then on stderr)
    lines: TextIO = sys.stdout
    if mode == "json":
        lines = sys.stderr
    elif mode == "bar" and sys.stdout.isatty():
        lines = sys.stderr if args.verbose else open(os.devnull, "w")  # noqa: SIM115
    events = sys.stdout if mode == "json" else sys.stderr
    display = Display(events, mode, notes=lines)
    try:
        with display, contextlib.redirect_stdout(lines):
            short = run_job(options, progress=display)
    except CheckFailed as exc:
        print(exc, file=sys.stderr)
        print("The run was not started.", file=sys.stderr)
        return 1
    except (SourceError, VoiceError, DirectoryInUse) as exc:
        print(f"kestro_core run: {exc}", file=sys.stderr)
        return 1
    except (Exception, KeyboardInterrupt) as exc:
        sys.stdout.flush()
        print(failure_paragraph(exc, display.last, args.output_dir), file=sys.stderr)
        return 130 if isinstance(exc, KeyboardInterrupt) else 1
    finally:
        if lines not in (sys.stdout, sys.stderr):
            lines.close()
    if lines not in (sys.stdout, sys.stderr):  # the job's own lines were hidden: say what it made
        made = [short.horizontal, short.vertical, short.vertical_captions, short.captioned]
        made.append(short.finished)
        print("Made: " + ", ".join(path for path in made if path is not None))
    return 0


def _size(n: int) -> str:
    size: float = n
    for unit in ("B", "KiB", "MiB", "GiB"):
        if size < 1024 or unit == "GiB":
            return f"{n} B" if unit == "B" else f"{size:.1f} {unit}"
        size /= 1024
    raise AssertionError


def _cmd_cache(args: argparse.Namespace) -> int:
    kinds = {"downloads": args.downloads, "narrations": args.narrations, "encodes": args.encodes}
    if args.action != "clear" and any(kinds.values()):
        chosen = " ".join(f"--{kind}" for kind, wanted in kinds.items() if wanted)
        args.command_parser.error(f"{chosen} chooses what 'cache clear' empties: add clear")
    cache = Cache(args.cache_dir, warn=lambda line: print(line, file=sys.stderr))
    if args.action == "clear":
        every = not any(kinds.values())
        freed = cache.clear(
            downloads=every or args.downloads,
            narrations=every or args.narrations,
            encodes=every or args.encodes,
        )
        print(f"{cache.root}: cleared, {_size(freed)} freed")
        return 0
    usage = cache.usage()
    total = sum(size for _, size in usage.values())
    print(f"cache: {cache.root}")
    for kind, (count, size) in usage.items():
        print(f"  {kind}: {count} entr{'y' if count == 1 else 'ies'}, {_size(size)}")
    print(f"  total: {_size(total)} of {_size(cache.limit)} allowed")
    return 0


def _add_studio_parser(sub: Any) -> None:
    p = sub.add_parser(
        "studio",
        help="mark the ranges on the video in a browser page, hear them, render",
        description="Serve a page on 127.0.0.1 where the Segments are marked on the video "
        "itself, each narration is heard over its range, the fit is shown as it is typed, "
        "and the job is rendered. SEGMENTS (default: segments.json beside the video, or in "
        "the current directory with --link) is loaded when it exists and written on save.",
        usage=f"{PROG} studio [-h] (VIDEO | --link LINK) [SEGMENTS] [options]",
    )
    p.add_argument("positional", nargs="*", metavar="[VIDEO] [SEGMENTS]", help=argparse.SUPPRESS)
    p.add_argument(
        "--link",
        metavar="LINK",
        help="a video link instead of VIDEO: downloaded once, through the cache",
    )
    p.add_argument(
        "--speed",
        type=_speed,
        default=1.0,
        metavar="X",
        help="speed factor of the vertical export (default: 1)",
    )
    _add_speech(p)
    p.add_argument(
        "--output-dir",
        default=".",
        metavar="DIR",
        help="output directory of the render, made when missing (default: .)",
    )
    p.add_argument(
        "--port",
        type=int,
        metavar="N",
        help="port on 127.0.0.1 (default: the first free one from 8717)",
    )
    p.add_argument(
        "--no-browser",
        action="store_true",
        help="print the address with its token instead of opening a browser",
    )
    p.add_argument(
        "--music",
        metavar="FILE",
        help="music under the finished short: a render with it also makes the finished short",
    )
    p.add_argument(
        "--music-level",
        type=float,
        default=DEFAULT_MUSIC_LEVEL,
        metavar="DB",
        help=f"the music's loudness against the voice, in dB (default: {DEFAULT_MUSIC_LEVEL:g})",
    )
    p.add_argument(
        "--subtitles",
        metavar="FILE",
        help="the timed lines (an .srt) the dialogue search reads (default: the video's own "
        "subtitles)",
    )


def _cmd_studio(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    given = list(args.positional)
    if args.link is None and not given:
        parser.error("studio: give VIDEO, or --link LINK")
    video = None if args.link is not None else given.pop(0)
    if len(given) > 1:
        parser.error(f"studio: too many arguments: {' '.join(given[1:])}")
    if args.port is not None and not 0 < args.port < 65536:
        parser.error(f"studio: --port {args.port} is not a port number")
    try:
        return serve(
            video,
            given[0] if given else None,
            link=args.link,
            speed=args.speed,
            speech=args.speech,
            voice=args.voice,
            voice_dir=args.voice_dir,
            output_dir=args.output_dir,
            port=args.port,
            open_browser=not args.no_browser,
            music=args.music,
            music_level=args.music_level,
            subtitles=args.subtitles,
        )
    except StudioError as exc:
        print(f"kestro_core studio: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


# --------------------------------------------------------------------------
# find, shots
# --------------------------------------------------------------------------


def _add_snap(p: argparse.ArgumentParser) -> None:
    p.add_argument(
        "--snap",
        action="store_true",
        help="move each range's start and end that lies within 0.5 s of a shot change onto "
        "it, to the frame, so a piece opens on its shot's first frame and ends on its last "
        "(SEGMENTS itself is never changed)",
    )


def _seconds(text: str) -> float:
    us = parse_time(text)
    if us is None:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a time: write seconds (65.5) or [HH:]MM:SS[.fraction] (00:01:05.5)"
        )
    if us < 0:
        raise argparse.ArgumentTypeError(f"{text!r} lies before the start of the video")
    return us / 1e6


def _add_finding_parsers(sub: Any) -> None:
    p = sub.add_parser(
        "find",
        help="the subtitle lines of a video that hold given words",
        description="Print every subtitle line of VIDEO that holds all of WORDS (in any order; "
        "case and accents ignored; a word also finds the longer words it begins), with its "
        "start and end. The subtitles are --subtitles FILE, else a file beside VIDEO named "
        "after it (.srt, .<language>.srt, .vtt, .ass), else the video's own text subtitle "
        "stream (extracted once, into the cache). Exits 1 when no line holds them.",
    )
    p.add_argument("source", metavar="VIDEO", help="the video")
    p.add_argument("words", metavar="WORDS", help='the words to look for, e.g. "stranger town"')
    p.add_argument(
        "--subtitles", metavar="FILE", help="the subtitle file to read (.srt, .vtt, .ass)"
    )
    p.add_argument("--json", action="store_true", help="print the lines as JSON")
    p.add_argument("--cache-dir", metavar="DIR", help="the cache directory")
    p.add_argument("--no-cache", action="store_true", help="neither use nor fill the cache")

    p = sub.add_parser(
        "shots",
        help="where the shots of a video change",
        description="Print where the shots of VIDEO change from --from to --to: the time of "
        "the first frame of each new shot. Only that window is decoded (from the keyframe "
        "before it), small; what is found is kept in the cache.",
    )
    p.add_argument("source", metavar="VIDEO", help="the video")
    p.add_argument(
        "--from",
        dest="start",
        type=_seconds,
        default=0.0,
        metavar="T",
        help="where to start: seconds or [HH:]MM:SS[.fraction] (default: the beginning)",
    )
    p.add_argument(
        "--to", dest="end", type=_seconds, metavar="T", help="where to stop (default: the end)"
    )
    p.add_argument("--json", action="store_true", help="print the times as a JSON list of seconds")
    p.add_argument("--cache-dir", metavar="DIR", help="the cache directory")
    p.add_argument("--no-cache", action="store_true", help="neither use nor fill the cache")


def _finding_cache(args: argparse.Namespace) -> Cache:
    return Cache(
        args.cache_dir,
        enabled=not args.no_cache,
        warn=lambda line: print(line, file=sys.stderr),
    )


def _cmd_find(args: argparse.Namespace) -> int:
    try:
        matching([], args.words)
    except ValueError as exc:
        args.command_parser.error(str(exc))
    try:
        found = read_subtitles(args.source, subtitles=args.subtitles, cache=_finding_cache(args))
    except SubtitleError as exc:
        print(f"kestro_core find: {exc}", file=sys.stderr)
        return 2
    for problem in found.problems:  # what was left out of a damaged file
        print(f"kestro_core find: {problem}", file=sys.stderr)
    lines = matching(found.lines, args.words)
    if args.json:
        doc = [{"start": line.start, "end": line.end, "text": line.text} for line in lines]
        print(json.dumps(doc, ensure_ascii=False, indent=2))
    else:
        for line in lines:
            print(f"{clock(line.start)} → {clock(line.end)}  {line.text}")
    if not lines:
        count = len(found.lines)
        print(
            f"kestro_core find: none of the {count} line{'' if count == 1 else 's'} of "
            f"{found.origin} holds {args.words!r}",
            file=sys.stderr,
        )
        return 1
    return 0


def _cmd_shots(args: argparse.Namespace) -> int:
    if args.end is not None and args.end <= args.start:
        args.command_parser.error(f"shots: --to {args.end:g} must lie after --from {args.start:g}")
    if not os.path.isfile(args.source):
        print(f"kestro_core shots: {args.source} is not a file: give the video", file=sys.stderr)
        return 2
    cache = _finding_cache(args)
    try:
        length = Probes().get(args.source).duration
        if length is not None and args.start >= length:
            print(
                f"kestro_core shots: --from {clock(args.start)} lies at or after the end of "
                f"{args.source} ({clock(length)}): give a time inside the video",
                file=sys.stderr,
            )
            return 2
        changes = shot_changes(args.source, args.start, args.end, cache=cache)
    except MediaError as exc:
        print(f"kestro_core shots: {exc}", file=sys.stderr)
        return 2
    if args.json:
        print(json.dumps(changes))
    else:
        for t in changes:
            print(clock(t))
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = _parser()
    args, unknown = parser.parse_known_args(argv)
    if unknown:  # said in the usage of the command they were given to
        args.command_parser.error(f"unrecognized arguments: {' '.join(unknown)}")
    if args.command == "check":
        return _cmd_check(args)
    if args.command == "cache":
        return _cmd_cache(args)
    if args.command == "plan":
        return _cmd_plan(parser, args)
    if args.command == "studio":
        return _cmd_studio(parser, args)
    if args.command == "find":
        return _cmd_find(args)
    if args.command == "shots":
        return _cmd_shots(args)
    link, segments = _run_arguments(parser, args)
    return _cmd_run(args, link, segments)
