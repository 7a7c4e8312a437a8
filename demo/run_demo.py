"""Offline demo: the whole kestro job against local stand-in services, then again with
no service at all.

    python -P demo/run_demo.py [--out demo-output]

1. makes a 30-second 1920x1080 test video with sound (ffmpeg lavfi);
2. writes a three-Segment segments.json;
3. starts the stand-in download and speech services on 127.0.0.1;
4. points the module's ``requests`` at them and shortens the 3-second poll
   sleeps (every other pause stays real);
5. runs ``run_kestro`` and prints a short ffprobe summary of both products;
6. makes the same Segments a second time, from the test video on disk and
   spoken by the bundled piper voice (espeak-ng where piper cannot be
   imported), into <out>/offline: first ``plan`` prints the timing plan, then
   ``make_short`` makes the videos, their captions, the copy with the captions burned
   in and the finished short (word-by-word captions, the second Segment framed left of
   centre, one more range that plays the video's own sound, and music under it all,
   brought to -14 LUFS); the planned lengths are printed beside the real ones.

The source video of the first job reaches the module exactly as a real one
would: the job is requested and polled through the real ``requests``, and the
file is fetched by the real ``wget`` from the stand-in's /files/ URL.

The second job keeps its narrations in the demo's own cache, <out>/cache, so
the user's cache is never read or written; a rerun of the demo takes its
narrations from there.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
import traceback

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if _ROOT not in sys.path:
    sys.path.append(_ROOT)

import kestro_core  # noqa: E402
from demo.standin import RoutedRequests, ShortSleepTime, StandIn, have_espeak  # noqa: E402

YOUTUBE_LINK = "https://www.youtube.com/watch?v=kestroDemo01&t=42s"
VOICE = "en-US-demo"
SPEED = 1.5
SOURCE_SECONDS = 30

SEGMENTS = [
    {
        "start": "00:00:02",
        "end": "00:00:08",
        "voiceover": "A test card wakes up in a quiet studio.",
    },
    {
        "start": "00:00:12",
        "end": "00:00:18",
        "voiceover": "Colours roll past while the tone keeps humming.",
        "frame": 0.25,  # the finished short keeps the left part of the picture here
    },
    {
        "start": "00:00:21",
        "end": "00:00:27.5",
        "voiceover": "And that is the whole story, now in vertical form.",
    },
]


# the offline job also plays one range with the video's own sound, between the first two
ORIGINAL_SEGMENT = {
    "start": "00:00:08.5",
    "end": "00:00:11",
    "voiceover": "",
    "sound": "original",  # the finished short plays the test card's own tone here
}
MUSIC_SECONDS = 6


def make_music(path: str) -> None:
    """Six seconds of a soft pulsing chord, looped under the finished short."""
    chord = "+".join(
        f"{a}*sin(2*PI*{hz}*t)" for a, hz in ((0.20, 220), (0.15, 277.2), (0.12, 329.6))
    )
    pulse = "(0.6+0.4*sin(2*PI*1.5*t))"
    cmd = ["ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "lavfi"]
    cmd += ["-i", f"aevalsrc={pulse}*({chord}):s=44100:d={MUSIC_SECONDS}", "-c:a", "libmp3lame"]
    subprocess.run([*cmd, path], check=True)


def loudness(path: str) -> str:
    """The integrated loudness and true peak of a product's sound, as the meter reads them."""
    cmd = ["ffmpeg", "-hide_banner", "-nostats", "-i", path, "-map", "0:a:0"]
    cmd += ["-af", "ebur128=peak=true", "-f", "null", "-"]
    text = subprocess.run(cmd, capture_output=True, text=True, check=True).stderr
    summary = text[text.rfind("Summary:") :]
    integrated = summary.split("I:")[1].split("LUFS")[0].strip()
    peak = summary.split("Peak:")[1].split("dBFS")[0].strip()
    return f"{integrated} LUFS integrated, true peak {peak} dBTP"


def make_source(path: str) -> None:
    """A 30 s 1080p test picture with a tone, a keyframe every second."""
    cmd = [
        "ffmpeg",
        "-hide_banner",
        "-loglevel",
        "error",
        "-y",
        "-f",
        "lavfi",
        "-i",
        f"testsrc2=size=1920x1080:rate=30:duration={SOURCE_SECONDS}",
        "-f",
        "lavfi",
        "-i",
        f"sine=frequency=330:sample_rate=44100:duration={SOURCE_SECONDS}",
        "-c:v",
        "libx264",
        "-preset",
        "ultrafast",
        "-crf",
        "30",
        "-g",
        "30",
        "-pix_fmt",
        "yuv420p",
        "-c:a",
        "aac",
        "-shortest",
        path,
    ]
    subprocess.run(cmd, check=True)


def probe(path: str) -> str:
    out = subprocess.run(
        [
            "ffprobe",
            "-v",
            "error",
            "-show_entries",
            "format=duration,size:stream=codec_type,codec_name,width,height",
            "-of",
            "json",
            path,
        ],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    info = json.loads(out)
    fmt = info.get("format", {})
    parts = [f"{int(fmt.get('size', 0)) / 1e6:.2f} MB", f"{float(fmt.get('duration', 0)):.2f} s"]
    for st in info.get("streams", []):
        if st.get("codec_type") == "video":
            parts.append(f"video {st.get('codec_name')} {st.get('width')}x{st.get('height')}")
        elif st.get("codec_type") == "audio":
            parts.append(f"audio {st.get('codec_name')}")
    return ", ".join(parts)


def probe_duration(path: str) -> float:
    out = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path],
        check=True,
        capture_output=True,
        text=True,
    ).stdout
    return float(out)


def offline_engine() -> str:
    """ "piper" when piper and its bundled voice can be used, else "espeak-ng" (said in
    one line)."""
    from kestro_core.speech.voices import voice_problems

    try:
        import piper  # noqa: F401  - only asked whether it imports
    except Exception as exc:
        reason = f"piper cannot be imported ({type(exc).__name__}: {exc})"
    else:
        problems = voice_problems("piper", None)
        if not problems:
            return "piper"
        reason = problems[0]
    print(f"[demo] {reason}; speaking with espeak-ng instead", flush=True)
    return "espeak-ng"


def summarise(*products: str) -> bool:
    """Prints one ffprobe line per product; False (and says so) when one is missing."""
    for path in products:
        if not os.path.isfile(path):
            print(f"[demo] FAILED: {path} was not produced", file=sys.stderr)
            return False
    for path in products:
        print(f"[demo] {_shown(path)}: {probe(path)}")
    return True


def _shown(path: str) -> str:
    """The path relative to the current directory when it lies below it."""
    rel = os.path.relpath(path)
    return path if rel == ".." or rel.startswith(".." + os.sep) else rel


def run_offline(
    segments_path: str, source: str, out_dir: str
) -> tuple[kestro_core.Short, str, float]:
    """The second job: the same Segments from the video on disk with a local voice, into
    <out_dir>/offline, with the demo's cache in <out_dir>/cache. Returns the products,
    the engine that spoke and the seconds the job took."""
    offline_dir = os.path.join(out_dir, "offline")
    cache_dir = os.path.join(out_dir, "cache")
    os.makedirs(offline_dir, exist_ok=True)  # make_short never creates it
    # the same Segments and one more that plays the video's own sound, with music
    with open(segments_path, encoding="utf-8") as f:
        offline = json.load(f)
    offline.insert(1, ORIGINAL_SEGMENT)
    segments_path = os.path.join(out_dir, "segments_offline.json")
    with open(segments_path, "w", encoding="utf-8") as f:
        json.dump(offline, f, indent=2, ensure_ascii=False)
        f.write("\n")
    music = os.path.join(out_dir, "music.mp3")
    make_music(music)
    print()
    print(f"[demo] second job, fully offline: the same Segments from {source}", flush=True)
    engine = offline_engine()
    print(
        f"[demo] voice: {engine}; cache: {cache_dir} (the demo's own; the user's cache "
        "is not touched)",
        flush=True,
    )
    t1 = time.monotonic()
    # the plan first: it speaks every narration into the cache and predicts the lengths,
    # so the job below speaks nothing again
    planned = kestro_core.plan(
        segments_path, SPEED, source=source, speech=engine, cache_dir=cache_dir
    )
    print("[demo] the plan:", flush=True)
    print(planned.table(), flush=True)
    short = kestro_core.make_short(
        segments_path,
        SPEED,
        source=source,
        speech=engine,
        output_dir=offline_dir,
        cache_dir=cache_dir,
        burn_captions=True,
        finish=True,
        music=music,
        timeline=True,
    )
    for predicted, product in (
        (planned.horizontal, short.horizontal),
        (planned.vertical, short.vertical),
    ):
        print(
            f"[demo] {os.path.basename(product)}: planned {predicted:.2f} s, "
            f"made {probe_duration(product):.2f} s",
            flush=True,
        )
    return short, engine, time.monotonic() - t1


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", default="demo-output", help="output directory (created if missing)")
    args = ap.parse_args(argv)

    # Everything stays on the loopback interface, proxies or not.
    for var in ("NO_PROXY", "no_proxy"):
        os.environ[var] = ",".join(filter(None, [os.environ.get(var), "127.0.0.1", "localhost"]))

    import kestro_core.kestro_core as kc

    t0 = time.monotonic()
    out_dir = args.out
    os.makedirs(out_dir, exist_ok=True)
    segments_path = os.path.join(out_dir, "segments.json")
    with open(segments_path, "w", encoding="utf-8") as f:
        json.dump(SEGMENTS, f, indent=2, ensure_ascii=False)
        f.write("\n")

    with tempfile.TemporaryDirectory(prefix="kestro-demo-") as work:
        source = os.path.join(work, "source_1080p.mp4")
        print(f"[demo] making a {SOURCE_SECONDS} s 1920x1080 source video ...", flush=True)
        make_source(source)
        print(f"[demo] source: {probe(source)}", flush=True)
        speaker = "espeak-ng" if have_espeak() else "a sine tone (espeak-ng not installed)"
        print(f"[demo] the stand-in speech service speaks with {speaker}", flush=True)

        saved = {name: getattr(kc, name) for name in ("requests", "time")}
        with StandIn(source) as standin:
            routed = RoutedRequests(standin)
            clock = ShortSleepTime(long=3, short=0.3)
            # stand-ins take the modules' places, so they are set by name
            kc.requests = routed
            kc.time = clock
            print(f"[demo] stand-in services on {standin.origin}", flush=True)
            try:
                t1 = time.monotonic()
                final = kc.run_kestro(YOUTUBE_LINK, segments_path, SPEED, VOICE, out_dir)
                t_run = time.monotonic() - t1
            finally:
                for name, value in saved.items():
                    setattr(kc, name, value)
            n_speech = len(standin.speech_hits)
            n_files = len(standin.file_hits)

        horizontal = os.path.join(out_dir, "horizontal_final.mp4")
        print()
        print(
            f"[demo] first job: {n_speech} narrations synthesised by the stand-in, "
            f"{n_files} video transfer(s) by wget"
        )
        if not summarise(horizontal, final):
            return 1
        print(f"[demo] run_kestro took {t_run:.1f} s")

        # the test video is still on disk here: the second job takes it as its source
        refused = (kestro_core.CheckFailed, kestro_core.SourceError, kestro_core.VoiceError)
        try:
            short, engine, t_offline = run_offline(segments_path, source, out_dir)
        except refused as exc:  # the set-up is wrong; an error of the run propagates
            print(f"[demo] FAILED: the offline job was refused:\n{exc}", file=sys.stderr)
            return 1

    cached = len(SEGMENTS) - short.narrations_made  # the original Segment speaks nothing
    print()
    print(
        f"[demo] second job: {short.narrations_made} narration(s) spoken by {engine}, "
        f"{cached} taken from the demo cache, no download"
    )
    captioned = short.captioned or "FINAL_KESTRO.captioned.mp4"
    finished = short.finished or "FINAL_KESTRO.finished.mp4"
    if not summarise(short.horizontal, short.vertical, captioned, finished):
        return 1
    print(
        f"[demo] captions: {_shown(short.horizontal_captions or '')}, "
        f"{_shown(short.vertical_captions or '')}"
    )
    print(f"[demo] {_shown(finished)}: its sound {loudness(finished)}")
    if short.timeline is None or not os.path.isfile(short.timeline):
        print("[demo] FAILED: the timeline was not written", file=sys.stderr)
        return 1
    print(f"[demo] the cut for an editor: {_shown(short.timeline)} (its narrations in narrations/)")
    print(f"[demo] plan and make_short took {t_offline:.1f} s")
    print()
    print(f"[demo] both jobs done; whole demo {time.monotonic() - t0:.1f} s")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        sys.exit(130)
    except Exception:
        traceback.print_exc()
        print("[demo] FAILED", file=sys.stderr)
        sys.exit(1)
