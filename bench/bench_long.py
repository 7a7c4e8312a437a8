"""Shorts cut from long films: what check, plan and a job cost as the source grows.

Makes a one-minute 1080p25 clip with a keyframe every 10 s (and a tone), joins it to itself
by stream copy (ffmpeg's concat demuxer) into sources of 20 and 120 minutes, and on six
6-second ranges spread over each (starts between keyframes) measures, with espeak-ng and a
fresh cache per source:

* ``check`` (the whole-job check with the source),
* ``plan`` (cold: every narration spoken into the cache; warm: again, only the probes),
* the job with stream-copy cuts, then the job with exact joins (the default), in that
  order, both after the plan (the narrations come from the cache);
* the cache's growth during the exact job against the source's size.

Targets: exact job <= 3x the stream-copy job's wall (same source, same run); cache growth
< 10 % of the source; the longer source against the shorter: exact job and warm plan
<= 1.25x; exact job on the two-hour source < 120 s.

    python -P bench/bench_long.py [--minutes 20 120] [--keep DIR]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import kestro_core
from kestro_core.job.check import check_job
from kestro_core.media import duration
from kestro_core.segments.timecode import format_seconds

RANGES = 6
RANGE_SECONDS = 6.0
SPEED = 1.5
EXACT_VS_COPY = 3.0
CACHE_SHARE = 0.10
LONGER_RATIO = 1.25
TWO_HOURS_WALL = 120.0
NARRATIONS = (
    "The boats slipped out past the old breakwater one by one.",
    "Nobody could remember a winter as long as this one.",
    "She read the letter twice and folded it away without a word.",
    "Across the valley the evening train whistled once.",
    "By noon the market square was full of voices and bread.",
    "The road along the coast was already under water.",
)


def ffmpeg(*args: str) -> None:
    argv = ["ffmpeg", "-nostdin", "-y", "-hide_banner", "-loglevel", "error", *args]
    subprocess.run(argv, check=True)


def make_clip(path: str) -> None:
    """One minute of 1080p25 with a keyframe every 10 s, and an AAC tone."""
    ffmpeg(
        "-f", "lavfi", "-i", "testsrc2=size=1920x1080:rate=25:duration=60",
        "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=60",
        "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
        "-g", "250", "-keyint_min", "250", "-sc_threshold", "0",
        "-c:a", "aac", "-shortest", path,
    )  # fmt: skip


def make_long(clip: str, minutes: int, path: str) -> None:
    """``minutes`` copies of the one-minute clip, joined by stream copy."""
    listing = path + ".txt"
    with open(listing, "w", encoding="utf-8") as f:
        f.writelines(f"file '{clip}'\n" for _ in range(minutes))
    ffmpeg("-f", "concat", "-safe", "0", "-i", listing, "-c", "copy", path)
    os.remove(listing)


def write_segments(path: str, length: float) -> list[float]:
    """Six ranges spread over ``length`` seconds, each starting between two keyframes."""
    spots = [max(0.0, length * (i + 0.5) / RANGES - 15) // 10 * 10 for i in range(RANGES)]
    starts = [round(spot + 3.3 + i, 3) for i, spot in enumerate(spots)]
    doc = [
        {
            "start": format_seconds(round(s * 1e6)),
            "end": format_seconds(round((s + RANGE_SECONDS) * 1e6)),
            "voiceover": text,
        }
        for s, text in zip(starts, NARRATIONS, strict=True)
    ]
    with open(path, "w", encoding="utf-8") as f:
        json.dump(doc, f, indent=2)
    return starts


def tree_bytes(root: str) -> int:
    total = 0
    for folder, _, names in os.walk(root):
        for name in names:
            try:
                total += os.lstat(os.path.join(folder, name)).st_size
            except OSError:
                pass
    return total


@dataclass
class Figures:
    minutes: int
    size: int
    check: float = 0.0
    plan_cold: float = 0.0
    plan_warm: float = 0.0
    copy_run: float = 0.0
    exact_run: float = 0.0
    growth: int = 0
    prerolls: tuple[float, ...] = ()


def timed_job(segments: str, source: str, out: str, cache: str, exact: bool) -> float:
    os.makedirs(out)
    began = time.perf_counter()
    kestro_core.make_short(
        segments,
        SPEED,
        source=source,
        speech="espeak-ng",
        output_dir=out,
        cache_dir=cache,
        exact_joins=exact,
    )
    return time.perf_counter() - began


def measure(work: str, clip: str, minutes: int) -> Figures:
    source = os.path.join(work, f"film-{minutes}.mp4")
    began = time.perf_counter()
    make_long(clip, minutes, source)
    print(f"  {minutes}-minute source made in {time.perf_counter() - began:.1f} s", flush=True)
    fig = Figures(minutes, os.path.getsize(source))
    segments = os.path.join(work, f"segments-{minutes}.json")
    write_segments(segments, duration(source))
    cache = os.path.join(work, f"cache-{minutes}")
    out = os.path.join(work, f"out-{minutes}")
    with open(os.devnull, "w") as quiet:
        saved = sys.stdout, sys.stderr
        sys.stdout = sys.stderr = quiet
        try:
            began = time.perf_counter()
            report = check_job(segments, SPEED, work, source=source, speech="espeak-ng")
            fig.check = time.perf_counter() - began
            if report:
                raise SystemExit(report.listing(segments))
            for attr in ("plan_cold", "plan_warm"):
                began = time.perf_counter()
                kestro_core.plan(
                    segments, SPEED, source=source, speech="espeak-ng", cache_dir=cache
                )
                setattr(fig, attr, time.perf_counter() - began)
            copied = kestro_core.plan(
                segments,
                SPEED,
                source=source,
                speech="espeak-ng",
                cache_dir=cache,
                exact_joins=False,
            )
            fig.prerolls = tuple(s.preroll or 0.0 for s in copied.segments)
            fig.copy_run = timed_job(segments, source, out + "-copy", cache, exact=False)
            before = tree_bytes(cache)
            fig.exact_run = timed_job(segments, source, out + "-exact", cache, exact=True)
            fig.growth = tree_bytes(cache) - before
        finally:
            sys.stdout, sys.stderr = saved
    os.remove(source)  # the next source needs the room
    return fig


def show(figs: list[Figures]) -> list[tuple[str, bool]]:
    print()
    print(f"{'source':>8} {'size':>9} {'check':>7} {'plan':>7} {'plan2':>7} "
          f"{'copy run':>9} {'exact run':>9} {'ratio':>6} {'cache+':>8} {'share':>7}")  # fmt: skip
    for f in figs:
        print(
            f"{f.minutes:>5} min {f.size / 2**30:>7.2f} G {f.check:>6.2f}s {f.plan_cold:>6.2f}s "
            f"{f.plan_warm:>6.2f}s {f.copy_run:>8.2f}s {f.exact_run:>8.2f}s "
            f"{f.exact_run / f.copy_run:>5.2f}x {f.growth / 2**20:>6.1f}M "
            f"{100 * f.growth / f.size:>6.2f}%"
        )
    for f in figs:
        shown = ", ".join(f"{p:.1f}" for p in f.prerolls)
        print(f"  {f.minutes} min: stream-copy pre-roll per Segment (s): {shown}")
    checks: list[tuple[str, bool]] = []
    first = figs[0]
    checks.append(
        (
            f"{first.minutes} min: exact run <= {EXACT_VS_COPY:g}x the stream-copy run "
            f"({first.exact_run / first.copy_run:.2f}x)",
            first.exact_run <= EXACT_VS_COPY * first.copy_run,
        )
    )
    for f in figs:
        checks.append(
            (
                f"{f.minutes} min: cache growth < {100 * CACHE_SHARE:g} % of the source "
                f"({100 * f.growth / f.size:.2f} %)",
                f.growth < CACHE_SHARE * f.size,
            )
        )
    if len(figs) > 1:
        last = figs[-1]
        for what, a, b in (
            ("exact run", first.exact_run, last.exact_run),
            ("plan (warm)", first.plan_warm, last.plan_warm),
            ("plan (cold)", first.plan_cold, last.plan_cold),
        ):
            checks.append(
                (
                    f"{last.minutes} min against {first.minutes} min: {what} <= "
                    f"{LONGER_RATIO:g}x ({b / a:.2f}x)",
                    b <= LONGER_RATIO * a,
                )
            )
    for f in figs:
        if f.minutes >= 120:
            checks.append(
                (
                    f"{f.minutes} min: exact run < {TWO_HOURS_WALL:g} s ({f.exact_run:.1f} s)",
                    f.exact_run < TWO_HOURS_WALL,
                )
            )
    return checks


def main() -> int:
    ap = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    ap.add_argument("--minutes", type=int, nargs="+", default=[20, 120])
    ap.add_argument("--keep", metavar="DIR", help="work in DIR and leave it there")
    args = ap.parse_args()
    for tool in ("ffmpeg", "ffprobe", "espeak-ng"):
        if shutil.which(tool) is None:
            ap.error(f"{tool} is not on PATH (make build installs it)")
    work = args.keep or tempfile.mkdtemp(prefix="bench_long_")
    os.makedirs(work, exist_ok=True)
    try:
        clip = os.path.join(work, "clip.mp4")
        began = time.perf_counter()
        make_clip(clip)
        print(f"one-minute 1080p25 clip made in {time.perf_counter() - began:.1f} s", flush=True)
        figs = [measure(work, clip, m) for m in sorted(args.minutes)]
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    checks = show(figs)
    print()
    for text, ok in checks:
        print(f"  [{'ok' if ok else 'MISSED'}] {text}")
    return 0 if all(ok for _, ok in checks) else 1


if __name__ == "__main__":
    sys.exit(main())
