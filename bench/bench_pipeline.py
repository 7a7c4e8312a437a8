"""Where the time of a run_kestro run goes.

A run over a generated source video (1080p, a keyframe every second) with
the download and speech services replaced by local file copies, ffmpeg and
the pauses timed through stand-ins for ``subprocess`` and ``time`` in the
module namespace.  What is left of the wall time is the module's own work.

    python bench/bench_pipeline.py [--segments 20] [--source-seconds 30]
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
from types import SimpleNamespace

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import kestro_core.kestro_core as kc
from tests.support import media

PAUSE = 0.5
TARGET_SHARE = 1.0  # % of wall time
TARGET_PER_SEGMENT = 5.0  # ms


class TimedSubprocess:
    """Real subprocess.run, with the wall time of each child summed by kind."""

    def __init__(self):
        self.seconds = {}
        self.count = {}

    def run(self, argv, **kw):
        start = time.perf_counter()
        try:
            return subprocess.run(argv, **kw)
        finally:
            kind = media.kind_of(argv)
            self.seconds[kind] = self.seconds.get(kind, 0.0) + time.perf_counter() - start
            self.count[kind] = self.count.get(kind, 0) + 1

    def total(self):
        return sum(self.seconds.values())


class Stopwatch:
    def __init__(self):
        self.seconds = 0.0
        self.calls = 0

    def wrap(self, fn):
        def timed(*args):
            start = time.perf_counter()
            try:
                return fn(*args)
            finally:
                self.seconds += time.perf_counter() - start
                self.calls += 1

        return timed


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--segments", type=int, default=20)
    ap.add_argument("--source-seconds", type=int, default=30)
    ap.add_argument("--size", default="1920x1080")
    ap.add_argument("--speed", type=float, default=1.5)
    args = ap.parse_args()
    if args.segments > args.source_seconds:
        ap.error("needs a source second per Segment")

    work = tempfile.mkdtemp(prefix="bench_pipeline_")
    try:
        print(f"making a {args.source_seconds} s {args.size} source and a 1 s narration...")
        made = time.perf_counter()
        cache = media.MediaCache(work)
        source = cache.source(args.source_seconds, args.size)
        narration = cache.narration(1)
        print(f"  ({time.perf_counter() - made:.1f} s, not part of the figures)")

        out_dir = os.path.join(work, "out")
        os.mkdir(out_dir)
        segments_file = os.path.join(work, "segments.json")
        with open(segments_file, "w", encoding="utf-8") as f:
            json.dump(
                [
                    {"start": str(i), "end": str(i + 1), "voiceover": f"Segment number {i}."}
                    for i in range(args.segments)
                ],
                f,
            )

        procs = TimedSubprocess()
        pauses = Stopwatch()
        services = Stopwatch()
        kc.subprocess = procs
        kc.time = SimpleNamespace(sleep=pauses.wrap(time.sleep))
        kc._download_video = services.wrap(lambda url, out: shutil.copyfile(source, out))
        kc._generate_tts = services.wrap(lambda text, out, voice: shutil.copyfile(narration, out))

        devnull = open(os.devnull, "w")
        stdout, sys.stdout = sys.stdout, devnull
        start = time.perf_counter()
        try:
            kc.run_kestro("https://youtu.be/bench", segments_file, args.speed, "Brian", out_dir)
        finally:
            wall = time.perf_counter() - start
            sys.stdout = stdout
            devnull.close()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    n = args.segments
    child = procs.total()
    overhead = wall - child - pauses.seconds - services.seconds
    export = procs.seconds.get("gpu", 0.0) + procs.seconds.get("cpu", 0.0)
    share = 100.0 * overhead / wall
    per_segment = 1000.0 * overhead / n if n else float("nan")

    print(
        f"{n} Segments of 1 s from a {args.source_seconds} s {args.size} source, speed {args.speed}"
    )
    print(f"wall time                 {wall:9.3f} s")
    print(f"ffmpeg children           {child:9.3f} s")
    for kind in ("cut", "merge", "concat", "gpu", "cpu"):
        if kind in procs.seconds:
            print(f"  {kind:<6} x{procs.count[kind]:<3}             {procs.seconds[kind]:9.3f} s")
    print(f"pauses ({n} x {PAUSE} s = {n * PAUSE:.1f} s)  {pauses.seconds:9.3f} s measured")
    print(f"service stand-ins         {services.seconds:9.3f} s  (file copies)")
    print(
        f"module overhead           {1000 * overhead:9.1f} ms = {share:.3f} % of wall,"
        f" {per_segment:.2f} ms per Segment"
    )
    print(f"vertical export           {100.0 * export / wall:9.1f} % of wall")
    ok = share <= TARGET_SHARE and per_segment <= TARGET_PER_SEGMENT
    print(
        f"target (<= {TARGET_SHARE:g} % and <= {TARGET_PER_SEGMENT:g} ms per Segment): "
        f"{'met' if ok else 'NOT met'}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
