"""Where the time of a whole local job goes.

``make_short`` over a generated 1080p source on disk with the bundled piper voice, a fresh
cache and a fresh output directory; then the same job again from that cache into another
fresh output directory; the rerun also burns the captions into a copy. ffmpeg children, the
pauses, the speech set-up (import of piper, model load, model hash), the syntheses and the
caption step after the job are timed through stand-ins; what is left of the wall time is the
job's own work. The captioned copy's encode is compared with the vertical export's.

The extension's ``subprocess`` and ``time`` are replaced in its namespace for the length of
the benchmark (it looks both up at every use); the voices' MP3 encodes are timed through
the media runner's ``subprocess`` and counted as synthesis time, since they are part of
making each narration. The ffprobe runs of the whole-job check are timed on their own.

Then a plan of 20 Segments (``kestro_core.plan`` with piper, fresh cache): its wall time,
model loads and seconds of speech made per second of wall; the job run after it from the
same cache, which should speak nothing, with the plan's lengths against its products.
The jobs cut by stream copy, as they did before exact joins became the default (what exact
joins cost on long sources is bench_long's).

    python -P bench/bench_local.py [--segments 10] [--source-seconds 120] [--speed 1.5]
                                   [--plan-segments 20]
"""

from __future__ import annotations

import argparse
import contextlib
import importlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from types import ModuleType
from typing import Any

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import kestro_core
import kestro_core.job.events as events
import kestro_core.job.run as api
import kestro_core.kestro_core as extension
import kestro_core.media.runner as media_module
import kestro_core.picture.finish as finishing
import kestro_core.picture.framing as framing
import kestro_core.sound.mix as mixdown
import kestro_core.speech.piper as piper
import kestro_core.store.hashing as hashing
from tests.support import media
from tests.support.media import make_source_video

CHILD_TIMEOUT = 1800.0  # s, any child of the job that was started without a limit
OWN_SHARE_TARGET = 2.0  # % of wall
EVENTS_SHARE_TARGET = 0.1  # % of wall: making and delivering the events
RERUN_SLACK = 0.05
BURN_RATIO_TARGET = 1.25  # captioned copy's encode / vertical export's  # rerun wall <= (first wall - first synthesis) * (1 + this)

# Ten narrations meant to take 5 to 10 s each when spoken.
NARRATIONS = (
    "The morning light crept slowly over the harbour while the fishing boats slipped out "
    "past the old stone breakwater one by one, heading for the open sea.",
    "Nobody in the village could remember a winter as long as this one, and even the "
    "oldest people had long since stopped counting the grey days.",
    "She opened the letter slowly, read the first line twice over, and then folded it "
    "carefully back into its envelope without saying a single word.",
    "Far across the valley the evening train whistled once, a thin sound that carried "
    "all the way up to the quiet farmhouse on the hill.",
    "By noon the market square was full of voices, carts and the warm smell of bread "
    "that had come out of the bakery ovens an hour before.",
    "He had promised to be back home before the storm arrived, but the road along the "
    "coast was already under water by the middle of the afternoon.",
    "The children ran ahead to the dark edge of the forest and waited there together, "
    "listening closely for the sound of footsteps behind them.",
    "In the little workshop every tool hung in its proper place, cleaned and oiled, "
    "exactly as their grandfather had left them so many years ago.",
    "When the lights finally came back on, the whole street cheered at once, and "
    "somebody started playing loud music from an open upstairs window.",
    "That evening they sat together on the front steps and watched the last boats come "
    "home, their small lanterns swaying gently on the dark water.",
)


# ---------------------------------------------------------------------------------------
# the source
# ---------------------------------------------------------------------------------------


def write_segments(path: str, count: int, source_seconds: int) -> None:
    """``count`` Segments of 6 to 10 s spread over the source, each with its narration."""
    stride = source_seconds // count
    segments = []
    for i in range(count):
        length = 6 + i % 5
        if length > stride:
            raise SystemExit(
                f"the source is too short for {count} Segments of up to 10 s: "
                f"give --source-seconds of at least {count * 10}"
            )
        start = i * stride
        segments.append(
            {
                "start": str(start),
                "end": str(start + length),
                "voiceover": NARRATIONS[i % len(NARRATIONS)],
            }
        )
    with open(path, "w", encoding="utf-8") as f:
        json.dump(segments, f, indent=1)


# ---------------------------------------------------------------------------------------
# the stand-ins
# ---------------------------------------------------------------------------------------


def kind_of(argv: list[str]) -> str:
    """Which of the pipeline's ffmpeg runs (or the voices' MP3 encodes, or a probe) an
    argument vector is."""
    kind: str = media.kind_of(argv)
    if kind != "other":
        return kind
    if "libmp3lame" in argv:
        return "mp3"
    if argv and os.path.basename(str(argv[0])) == "ffprobe":
        return "probe"
    return "other"


class TimedSubprocess:
    """Stands in for the ``subprocess`` module: ``run`` is the real one, timed and summed
    by kind; everything else is the real module's."""

    def __init__(self) -> None:
        self.seconds: dict[str, float] = {}
        self.count: dict[str, int] = {}
        self.pcm_seconds: list[float] = []  # audio handed to the MP3 encoder
        self.paused = False  # while the caption step, timed as a whole, runs

    def run(self, argv: Any, **kw: Any) -> Any:
        """subprocess.run, timed; a child started without a limit gets CHILD_TIMEOUT."""
        if kw.get("timeout") is None:
            kw["timeout"] = CHILD_TIMEOUT
        if self.paused or threading.current_thread() is not threading.main_thread():
            # the caption step is timed as a whole; the probes made beside the job on
            # another thread overlap its own time
            return subprocess.run(argv, **kw)
        kind = kind_of([str(a) for a in argv])
        if kind == "mp3" and isinstance(kw.get("input"), bytes) and "-ar" in argv:
            rate = int(argv[list(argv).index("-ar") + 1])
            self.pcm_seconds.append(len(kw["input"]) / 2 / rate)
        start = time.perf_counter()
        try:
            return subprocess.run(argv, **kw)
        finally:
            self.seconds[kind] = self.seconds.get(kind, 0.0) + time.perf_counter() - start
            self.count[kind] = self.count.get(kind, 0) + 1

    def total(self, *but: str) -> float:
        """Seconds spent in children (but those of the kinds named)."""
        return sum(s for kind, s in self.seconds.items() if kind not in but)

    def __getattr__(self, name: str) -> Any:
        return getattr(subprocess, name)


class TimedTime:
    """Stands in for the ``time`` module: ``sleep`` is timed."""

    def __init__(self) -> None:
        self.seconds = 0.0
        self.calls = 0

    def sleep(self, seconds: float) -> None:
        """time.sleep, timed."""
        start = time.perf_counter()
        try:
            time.sleep(seconds)
        finally:
            self.seconds += time.perf_counter() - start
            self.calls += 1

    def __getattr__(self, name: str) -> Any:
        return getattr(time, name)


@dataclass
class Figures:
    """What one job measured."""

    wall: float = 0.0
    children: TimedSubprocess = field(default_factory=TimedSubprocess)  # extension's
    # the package's own: the probes, and the voices' MP3 encodes (kind "mp3")
    probes: TimedSubprocess = field(default_factory=TimedSubprocess)
    pauses: TimedTime = field(default_factory=TimedTime)
    imports: float = 0.0
    loads: int = 0
    load: float = 0.0
    hash: float = 0.0
    memo_hit: bool | None = None
    synthesis: float = 0.0
    syntheses_timed: int = 0
    downloads: int = 0
    narrations_made: int = 0
    downloaded: bool = False
    captions: float = 0.0  # after the job: the sound measured, the caption files, the burn
    burn: float = 0.0  # of which the captioned copy's encode
    events: float = 0.0  # making and delivering the job's events, inside the job
    event_count: int = 0
    progress: Callable[[Any], None] | None = None

    def setup(self) -> float:
        """Speech set-up: import of piper, model load, model hash."""
        return self.imports + self.load + self.hash

    def own(self) -> float:
        """The job's own time: wall minus every child, the set-up, synthesis and pauses.
        The MP3 encodes are inside the synthesis time."""
        return (
            self.wall
            - self.children.total()
            - self.probes.total("mp3")  # the MP3 encodes are inside the synthesis
            - self.setup()
            - self.synthesis
            - self.pauses.seconds
            - self.captions
        )

    def export(self) -> float:
        """The vertical export: the hardware attempt and the software encode."""
        return self.children.seconds.get("gpu", 0.0) + self.children.seconds.get("cpu", 0.0)


def _timed(fn: Callable[..., Any], add: Callable[[float], None]) -> Callable[..., Any]:
    def timed(*args: Any, **kwargs: Any) -> Any:
        start = time.perf_counter()
        try:
            return fn(*args, **kwargs)
        finally:
            add(time.perf_counter() - start)

    return timed


@contextlib.contextmanager
def instrumented(fig: Figures) -> Iterator[Figures]:
    """Put the stand-ins in place for one job and take them out again."""
    saved: list[tuple[Any, str, Any]] = []

    def put(owner: ModuleType | type, name: str, value: Any) -> None:
        saved.append((owner, name, getattr(owner, name)))
        setattr(owner, name, value)

    real_load = piper._load_piper
    real_hash = piper.file_sha256
    real_write_memo = hashing._write_memo
    real_reporter = events.Reporter
    real_synth = piper.PiperVoice.synthesize
    real_download = extension._download_video
    real_captions = api._captions
    real_burn = finishing.burn

    def timed_captions(*args: Any, **kwargs: Any) -> Any:
        start = time.perf_counter()
        fig.probes.paused = True
        try:
            return real_captions(*args, **kwargs)
        finally:
            fig.probes.paused = False
            fig.captions += time.perf_counter() - start

    class Reporter(real_reporter):
        """The job's reporter, its time kept for the figures."""

        def close(self) -> None:
            fig.events = self.spent
            super().close()

    def count_event(event: Any) -> None:
        fig.event_count += 1

    def timed_burn(*args: Any, **kwargs: Any) -> Any:
        start = time.perf_counter()
        try:
            return real_burn(*args, **kwargs)
        finally:
            fig.burn += time.perf_counter() - start

    def load(model: Any, config: Any) -> Any:
        # the imports first, on their own clock; the real loader then finds them loaded
        start = time.perf_counter()
        importlib.import_module("onnxruntime")
        importlib.import_module("piper")
        middle = time.perf_counter()
        try:
            return real_load(model, config)
        finally:
            end = time.perf_counter()
            fig.imports += middle - start
            fig.load += end - middle
            fig.loads += 1

    def file_hash(path: Any, memo_file: Any) -> str:
        fig.memo_hit = True
        start = time.perf_counter()
        try:
            return real_hash(path, memo_file)
        finally:
            fig.hash += time.perf_counter() - start

    def write_memo(memo_file: str, memo: dict[str, Any]) -> None:
        fig.memo_hit = False  # only a miss hashes the file and writes the memo
        real_write_memo(memo_file, memo)

    def synthesize(self: Any, text: str, output_file: str) -> None:
        start = time.perf_counter()
        try:
            real_synth(self, text, output_file)
        finally:
            fig.synthesis += time.perf_counter() - start
            fig.syntheses_timed += 1

    def download(url: str, output_file: str) -> Any:
        fig.downloads += 1
        return real_download(url, output_file)

    try:
        put(extension, "subprocess", fig.children)
        put(extension, "time", fig.pauses)
        put(extension, "_download_video", download)
        put(media_module, "subprocess", fig.probes)
        put(piper, "_load_piper", load)
        put(piper, "file_sha256", file_hash)
        put(hashing, "_write_memo", write_memo)
        put(api, "Reporter", Reporter)
        put(piper.PiperVoice, "synthesize", synthesize)
        put(api, "_captions", timed_captions)
        put(finishing, "burn", timed_burn)
        fig.progress = count_event
        yield fig
    finally:
        for owner, name, value in reversed(saved):
            setattr(owner, name, value)


def run_job(
    source: str, segments: str, speed: float, out_dir: str, cache_dir: str, burn: bool = False
) -> Figures:
    """One make_short job from ``source`` with the bundled piper voice, measured; ``burn``
    also makes the captioned copy."""
    os.mkdir(out_dir)
    fig = Figures()
    with instrumented(fig), open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        start = time.perf_counter()
        try:
            short = kestro_core.make_short(
                segments,
                speed,
                source=source,
                speech="piper",
                output_dir=out_dir,
                cache_dir=cache_dir,
                burn_captions=burn,
                exact_joins=False,
                progress=fig.progress,
            )
        finally:
            fig.wall = time.perf_counter() - start
    for product in (short.horizontal, short.vertical):
        if not os.path.isfile(product) or os.path.getsize(product) == 0:
            raise SystemExit(f"the job made no {product}")
    fig.narrations_made = short.narrations_made
    fig.downloaded = short.downloaded
    return fig


FINISH_CROP_TARGET = 1.25  # finished short's encode / vertical export's, crop frames
FINISH_FIT_TARGET = 1.6  # the same, every Segment "fit"
AUTO_ANALYSIS_TARGET = 0.3  # "auto" frames' analysis / vertical export's encode
SOUND_TARGET = 1.35  # the finished short with music and two original Segments (its sound's
# measures included) / vertical export's encode
LOUDNESS_TARGET = (-14.0, 1.0)  # LUFS integrated, and how far off it may be
PEAK_TARGET = -1.0  # dBTP at most


@dataclass
class FinishFigures:
    """One job with the finished short: its export, its finishing encode, its analysis."""

    export: float
    encode: float
    track: float
    narrations_made: int
    sound: float = 0.0  # the finished short's sound measured (before its encode)
    loudness: tuple[float, float] | None = None  # of the product: LUFS, dBTP


def run_finish(
    source: str, segments: str, speed: float, work: str, cache_dir: str, kind: str
) -> FinishFigures:
    """One job with ``finish=True`` from the cache of the runs before, every Segment framed
    as ``kind`` says: "crop" (0.2, 0.5 and 0.8 in turn), "fit" or "auto"; or "sound": the
    centre crop, the second and fourth Segments with their own sound, and music."""
    with open(segments, encoding="utf-8") as f:
        doc = json.load(f)
    crops = (0.2, 0.5, 0.8)
    music = None
    for i, seg in enumerate(doc):
        if kind == "sound":
            if i in (1, 3):
                seg["sound"] = "original"
            continue
        seg["frame"] = crops[i % 3] if kind == "crop" else kind
    if kind == "sound":
        music = os.path.join(work, "music.mp3")
        tone = "aevalsrc=0.3*sin(2*PI*220*t)*(0.6+0.4*sin(2*PI*1.5*t)):s=44100:d=8"
        argv = ["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i", tone, music]
        subprocess.run(argv, check=True, timeout=120)
    framed = os.path.join(work, f"finish-{kind}.json")
    with open(framed, "w", encoding="utf-8") as f:
        json.dump(doc, f)
    out_dir = os.path.join(work, f"finish-{kind}")
    os.mkdir(out_dir)
    fig = Figures()
    spent = {"encode": 0.0, "track": 0.0, "sound": 0.0}
    real_encode, real_track, real_sound = finishing.encode, framing.subject_path, mixdown.soundtrack

    def sound(*args: Any, **kwargs: Any) -> Any:
        start = time.perf_counter()
        try:
            return real_sound(*args, **kwargs)
        finally:
            spent["sound"] += time.perf_counter() - start

    def encode(*args: Any, **kwargs: Any) -> Any:
        start = time.perf_counter()
        try:
            return real_encode(*args, **kwargs)
        finally:
            spent["encode"] += time.perf_counter() - start

    def track(*args: Any, **kwargs: Any) -> Any:
        start = time.perf_counter()
        try:
            return real_track(*args, **kwargs)
        finally:
            spent["track"] += time.perf_counter() - start

    finishing.encode, framing.subject_path, mixdown.soundtrack = encode, track, sound
    try:
        with (
            instrumented(fig),
            open(os.devnull, "w") as devnull,
            contextlib.redirect_stdout(devnull),
        ):
            short = kestro_core.make_short(
                framed,
                speed,
                source=source,
                speech="piper",
                output_dir=out_dir,
                cache_dir=cache_dir,
                finish=True,
                music=music,
            )
    finally:
        finishing.encode, framing.subject_path, mixdown.soundtrack = (
            real_encode,
            real_track,
            real_sound,
        )
    if short.finished is None or media.dimensions(short.finished) != (1080, 1920):
        raise SystemExit(f"the job made no 1080x1920 finished short ({kind})")
    return FinishFigures(
        fig.export(),
        spent["encode"],
        spent["track"],
        short.narrations_made,
        spent["sound"],
        loudness(short.finished) if kind == "sound" else None,
    )


def loudness(path: str) -> tuple[float, float]:
    """Integrated loudness (LUFS) and true peak (dBTP) of a product, by ffmpeg's meter."""
    argv = ["ffmpeg", "-hide_banner", "-nostats", "-i", path, "-map", "0:a:0"]
    argv += ["-af", "ebur128=peak=true", "-f", "null", "-"]
    text = subprocess.run(argv, capture_output=True, text=True, check=True).stderr
    summary = text[text.rfind("Summary:") :]
    integrated = float(summary.split("I:")[1].split("LUFS")[0])
    return integrated, float(summary.split("Peak:")[1].split("dBFS")[0])


def finish_checks(runs: dict[str, FinishFigures]) -> list[tuple[str, bool]]:
    """The finished short's figures and targets."""
    print("\nthe finished short (same cache: every narration taken from it)")
    for kind, f in runs.items():
        print(
            f"  {kind:<5} export {f.export:7.3f} s, finishing encode {f.encode:7.3f} s "
            f"({f.encode / f.export:.2f}x), auto analysis {f.track:6.3f} s, "
            f"narrations made {f.narrations_made}"
        )
    crop, fit, auto, sound = runs["crop"], runs["fit"], runs["auto"], runs["sound"]
    with_sound = sound.encode + sound.sound
    assert sound.loudness is not None
    lufs, peak = sound.loudness
    print(
        f"  sound: its measures {sound.sound:.3f} s; the product {lufs:.1f} LUFS, "
        f"true peak {peak:.1f} dBTP"
    )
    return [
        (
            f"finished short with music and two original Segments <= {SOUND_TARGET:g}x the "
            f"export's encode, its sound's measures included ({sound.encode:.3f} s + "
            f"{sound.sound:.3f} s / {sound.export:.3f} s = {with_sound / sound.export:.2f}x)",
            with_sound / sound.export <= SOUND_TARGET,
        ),
        (
            f"its loudness {LOUDNESS_TARGET[0]:g} +- {LOUDNESS_TARGET[1]:g} LUFS ({lufs:.1f}), "
            f"true peak <= {PEAK_TARGET:g} dBTP ({peak:.1f})",
            abs(lufs - LOUDNESS_TARGET[0]) <= LOUDNESS_TARGET[1] and peak <= PEAK_TARGET,
        ),
        (
            f"finished short's encode <= {FINISH_CROP_TARGET:g}x the export's, crop frames "
            f"({crop.encode / crop.export:.2f}x)",
            crop.encode / crop.export <= FINISH_CROP_TARGET,
        ),
        (
            f"finished short's encode <= {FINISH_FIT_TARGET:g}x the export's, all fit "
            f"({fit.encode / fit.export:.2f}x)",
            fit.encode / fit.export <= FINISH_FIT_TARGET,
        ),
        (
            f'"auto" analysis <= {AUTO_ANALYSIS_TARGET:g}x the export '
            f"({auto.track:.3f} s / {auto.export:.3f} s = {auto.track / auto.export:.2f}x)",
            auto.track / auto.export <= AUTO_ANALYSIS_TARGET,
        ),
        (
            "word timings speak nothing: every finishing run took its narrations from the "
            f"cache ({[f.narrations_made for f in runs.values()]})",
            all(f.narrations_made == 0 for f in runs.values()),
        ),
    ]


# ---------------------------------------------------------------------------------------
# the report
# ---------------------------------------------------------------------------------------


def verdict(ok: bool) -> str:
    """PASS or FAIL."""
    return "PASS" if ok else "FAIL"


def show(title: str, fig: Figures) -> None:
    """The breakdown of one job's wall time."""
    c = fig.children
    encodes = fig.probes.seconds.get("mp3", 0.0)
    mp3s = fig.probes.count.get("mp3", 0)
    memo = {True: "memo hit", False: "memo miss, hashed", None: "not hashed"}[fig.memo_hit]
    print(title)
    print(f"  wall time                    {fig.wall:9.3f} s")
    print(f"  ffmpeg children (extension)  {c.total():9.3f} s")
    for kind in ("cut", "merge", "concat", "gpu", "cpu", "other"):
        if kind in c.seconds:
            print(f"    {kind:<6} x{c.count[kind]:<3}                {c.seconds[kind]:9.3f} s")
    print(
        f"  package's probes  x{sum(fig.probes.count.values()) - mp3s:<3}       "
        f"{fig.probes.total('mp3'):9.3f} s"
    )
    print(
        f"  speech set-up                {fig.setup():9.3f} s  (import of piper "
        f"{fig.imports:.3f} s, model load {fig.load:.3f} s, model hash {fig.hash:.3f} s "
        f"({memo}))"
    )
    print(
        f"  speech synthesis x{fig.syntheses_timed:<3}        {fig.synthesis:9.3f} s  "
        f"(incl. {mp3s} MP3 encodes in ffmpeg, {encodes:.3f} s)"
    )
    print(f"  pauses x{fig.pauses.calls:<3}                  {fig.pauses.seconds:9.3f} s")
    print(
        f"  captions after the job       {fig.captions:9.3f} s  (sound measured and SRT "
        f"written {fig.captions - fig.burn:.3f} s = "
        f"{100 * (fig.captions - fig.burn) / fig.wall:.2f} % of wall; captioned copy "
        f"{fig.burn:.3f} s)"
    )
    own = fig.own()
    print(f"  job's own time               {own:9.3f} s = {100 * own / fig.wall:.2f} % of wall")
    print(f"  model loads                  {fig.loads:9d}")
    print(f"  narrations made              {fig.narrations_made:9d}")
    print(f"  downloads                    {fig.downloads:9d}  (Short.downloaded {fig.downloaded})")
    print(
        f"  events x{fig.event_count:<4}                {fig.events:9.4f} s = "
        f"{100 * fig.events / fig.wall:.4f} % of wall"
    )
    if fig.probes.pcm_seconds:
        spoken = fig.probes.pcm_seconds
        print(
            f"  narration lengths            {min(spoken):.1f} to {max(spoken):.1f} s "
            "(written for 5 to 10 s)"
        )


def write_plan_segments(path: str, count: int, source_seconds: int) -> None:
    """``count`` Segments spread over the source, each starting half-way between two of its
    keyframes (one a second), with narrations of 5 to 10 s in ranges of 5 to 9 s, so some
    are cut off; every narration is different."""
    stride = source_seconds / count
    segments = []
    for i in range(count):
        start = round(i * stride + 0.5, 1)
        end = min(start + 5 + i % 5, source_seconds - 0.1)  # ranges may overlap
        text = NARRATIONS[i % len(NARRATIONS)]
        if i >= len(NARRATIONS):
            text += " Then it was quiet again."
        segments.append({"start": f"{start:.1f}", "end": f"{end:.1f}", "voiceover": text})
    with open(path, "w", encoding="utf-8") as f:
        json.dump(segments, f, indent=1)


@dataclass
class PlanFigures:
    """What the plan benchmark measured."""

    wall: float
    loads: int
    syntheses: int
    speech: float  # seconds of narration made
    plan: Any
    job: Figures
    horizontal: float  # the job's real lengths
    vertical: float


def run_plan(source: str, segments: str, speed: float, work: str) -> PlanFigures:
    """The plan and the job after it, measured."""
    cache_dir = os.path.join(work, "plan-cache")
    fig = Figures()
    with instrumented(fig), open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        start = time.perf_counter()
        planned = kestro_core.plan(
            segments, speed, source=source, speech="piper", cache_dir=cache_dir, exact_joins=False
        )
        wall = time.perf_counter() - start
    job = run_job(source, segments, speed, os.path.join(work, "plan-out"), cache_dir)
    horizontal = media.duration(os.path.join(work, "plan-out", "horizontal_final.mp4"))
    vertical = media.duration(os.path.join(work, "plan-out", "FINAL_KESTRO.mp4"))

    return PlanFigures(
        wall=wall,
        loads=fig.loads,
        syntheses=fig.syntheses_timed,
        speech=sum(s.narration for s in planned.segments),
        plan=planned,
        job=job,
        horizontal=horizontal,
        vertical=vertical,
    )


def show_plan(count: int, pf: PlanFigures) -> list[tuple[str, bool]]:
    """The plan benchmark's figures; its targets."""
    p = pf.plan
    print(f"\nplan of {count} Segments (piper, bundled voice, fresh cache)")
    print(f"  wall time                    {pf.wall:9.3f} s")
    print(f"  model loads                  {pf.loads:9d}")
    print(f"  narrations made              {pf.syntheses:9d}  ({pf.speech:.1f} s of speech)")
    print(f"  speech per second of wall    {pf.speech / pf.wall:9.2f}")
    cut = sum(1 for s in p.segments if s.cut_off > 0)
    print(f"  narrations cut off           {cut:9d}")
    print(f"  horizontal planned / real    {p.horizontal:9.3f} / {pf.horizontal:.3f} s")
    print(f"  vertical planned / real      {p.vertical:9.3f} / {pf.vertical:.3f} s")
    print("the job after the plan (same cache)")
    print(f"  wall time                    {pf.job.wall:9.3f} s")
    print(f"  narrations made              {pf.job.narrations_made:9d}")
    real_v = pf.vertical
    return [
        (f"plan: one model load ({pf.loads})", pf.loads == 1),
        (
            f"job after the plan: zero syntheses ({pf.job.narrations_made})",
            pf.job.narrations_made == 0 and pf.job.syntheses_timed == 0,
        ),
        (
            f"vertical within 2 % or 0.25 s ({p.vertical - real_v:+.3f} s)",
            abs(p.vertical - real_v) <= max(0.02 * real_v, 0.25),
        ),
    ]


def main() -> int:
    """Run the two jobs and print the figures; 0 when every target is met."""
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--segments", type=int, default=10)
    ap.add_argument("--source-seconds", type=int, default=120)
    ap.add_argument("--size", default="1920x1080")
    ap.add_argument("--speed", type=float, default=1.5)
    ap.add_argument("--plan-segments", type=int, default=20)
    args = ap.parse_args()
    if args.segments < 1:
        ap.error("--segments must be at least 1")
    for tool in ("ffmpeg", "ffprobe"):
        if shutil.which(tool) is None:
            ap.error(f"{tool} is not on PATH: install ffmpeg (make build does)")
    if piper.default_piper_voice() is None:
        ap.error(f"the bundled piper voice is not installed: {piper.PIPER_INSTALL}")

    with tempfile.TemporaryDirectory(prefix="bench_local_") as work:
        source = os.path.join(work, "source.mp4")
        segments = os.path.join(work, "segments.json")
        cache_dir = os.path.join(work, "cache")
        write_segments(segments, args.segments, args.source_seconds)
        print(f"making a {args.source_seconds} s {args.size} source...", flush=True)
        made = time.perf_counter()
        make_source_video(source, args.source_seconds, args.size)
        print(f"  ({time.perf_counter() - made:.1f} s, not part of the figures)", flush=True)

        first = run_job(source, segments, args.speed, os.path.join(work, "out1"), cache_dir)
        rerun = run_job(
            source, segments, args.speed, os.path.join(work, "out2"), cache_dir, burn=True
        )

        finishing = {
            kind: run_finish(source, segments, args.speed, work, cache_dir, kind)
            for kind in ("crop", "fit", "auto", "sound")
        }

        planned = None
        if args.plan_segments > 0:
            plan_segments = os.path.join(work, "plan-segments.json")
            write_plan_segments(plan_segments, args.plan_segments, args.source_seconds)
            planned = run_plan(source, plan_segments, args.speed, work)

    print(
        f"\n{args.segments} Segments of 6 to 10 s from a {args.source_seconds} s {args.size} "
        f"source on disk, speed {args.speed}, speech piper (bundled voice)\n"
    )
    show("first run (fresh cache, fresh output directory)", first)
    show("rerun (same cache, fresh output directory)", rerun)

    print("\ntargets")
    checks: list[tuple[str, bool]] = []
    for name, fig in (("first run", first), ("rerun", rerun)):
        share = 100 * fig.own() / fig.wall
        checks.append(
            (
                f"job's own time <= {OWN_SHARE_TARGET:g} % of wall ({name}: {share:.2f} %)",
                share <= OWN_SHARE_TARGET,
            )
        )
    for name, fig in (("first run", first), ("rerun", rerun)):
        share = 100 * fig.events / fig.wall
        checks.append(
            (
                f"events' own time < {EVENTS_SHARE_TARGET:g} % of wall ({name}: "
                f"{fig.event_count} events, {share:.4f} %)",
                share < EVENTS_SHARE_TARGET and fig.event_count > 0,
            )
        )
    checks.append(
        (
            f"one model load per job ({first.loads}, {rerun.loads})",
            first.loads == 1 and rerun.loads == 1,
        )
    )
    checks.append(
        (
            f"rerun: zero syntheses ({rerun.narrations_made}) and zero downloads "
            f"({rerun.downloads})",
            rerun.narrations_made == 0
            and rerun.syntheses_timed == 0
            and rerun.downloads == 0
            and not rerun.downloaded,
        )
    )
    # the rerun also burns the captions: compared without the caption step on both sides
    bound = (first.wall - first.synthesis - first.captions) * (1 + RERUN_SLACK)
    again = rerun.wall - rerun.captions
    checks.append(
        (
            f"rerun wall <= (first wall - first synthesis) + {100 * RERUN_SLACK:g} %, "
            f"both without the captions ({again:.3f} s <= {bound:.3f} s)",
            again <= bound,
        )
    )
    ratio = rerun.burn / rerun.export()
    checks.append(
        (
            f"captioned copy's encode <= {BURN_RATIO_TARGET:g}x the vertical export's "
            f"({rerun.burn:.3f} s / {rerun.export():.3f} s = {ratio:.2f}x)",
            ratio <= BURN_RATIO_TARGET,
        )
    )
    checks += finish_checks(finishing)
    if planned is not None:
        plan_checks = show_plan(args.plan_segments, planned)
        print("\nplan targets")
        for text, ok in plan_checks:
            print(f"  {verdict(ok)}  {text}")
        checks += plan_checks
    print("\ntargets (all)")
    for text, ok in checks:
        print(f"  {verdict(ok)}  {text}")
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
