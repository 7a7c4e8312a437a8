"""Exact joins (the default): every piece opens on its start, each range encoded on its own
and cached by the source's identity; stream-copy cuts and their warning; the local source
linked, never copied."""

import itertools
import json
import os
import shutil
import subprocess
import sys

import pytest

import kestro_core
from kestro_core.cuts.exact import RangeError
from kestro_core.cuts.sources import LocalSource
from kestro_core.planning import probe_source
from tests.support.media import clock_frames, duration, make_clock_video

pytestmark = pytest.mark.skipif(
    not all(shutil.which(p) for p in ("ffmpeg", "ffprobe", "espeak-ng")),
    reason="needs ffmpeg, ffprobe and espeak-ng",
)

FPS = 25
# the clock source has a keyframe every 10 s: the stream-copy pieces open 3.3, 4.6, 0.2 and
# 7.0 s before their starts
SEGMENTS = [
    {"start": "3.3", "end": "5.3", "voiceover": "One."},
    {"start": "00:00:14.6", "end": "16.6", "voiceover": "Two."},
    {"start": "20.2", "end": "22", "voiceover": "Three."},
    {"start": "27", "end": "29", "voiceover": "Four."},
]
STARTS = [3.3, 14.6, 20.2, 27.0]
RANGES = [(3.3, 5.3), (14.6, 16.6), (20.2, 22.0), (27.0, 29.0)]
WARNINGS = [
    "Segment 1 opens with 3.3 s of picture from before its start",
    "Segment 2 opens with 4.6 s of picture from before its start",
    "Segment 4 opens with 7.0 s of picture from before its start",
]


@pytest.fixture(scope="module")
def clock(tmp_path_factory):
    return make_clock_video(tmp_path_factory.mktemp("clock") / "film.mp4", 40)


@pytest.fixture
def segments(tmp_path):
    path = tmp_path / "segments.json"
    path.write_text(json.dumps(SEGMENTS), encoding="utf-8")
    return str(path)


def openings(video):
    """The frame each piece of a joined clock video opens on, and each piece's frames."""
    frames = clock_frames(video)
    pieces = [[frames[0]]]
    for before, now in itertools.pairwise(frames):
        if now < before or now > before + 2:
            pieces.append([])
        pieces[-1].append(now)
    return [p[0] for p in pieces], pieces


def encodes(cache_root):
    folder = os.path.join(cache_root, "encodes")
    names = (
        [n for n in os.listdir(folder) if not n.startswith(".")] if os.path.isdir(folder) else []
    )
    return {os.path.join(folder, n, "data") for n in names}


def job(segments, source, out, cache, **options):
    out.mkdir(exist_ok=True)
    events = []
    short = kestro_core.make_short(
        segments,
        1.5,
        source=source,
        speech="espeak-ng",
        output_dir=str(out),
        cache_dir=str(cache),
        captions=False,
        progress=events.append,
        **options,
    )
    return short, events


def in_a_range(frame, offset=0):
    """The clock frame ``frame`` lies inside one of the Segments' ranges."""
    return any(start * FPS + offset - 1e-6 <= frame <= end * FPS + offset for start, end in RANGES)


def assert_exact(horizontal, starts, offset=0):
    first, pieces = openings(horizontal)
    assert len(first) == len(starts), first
    for opened, frames, start in zip(first, pieces, starts, strict=True):
        wanted = start * FPS + offset
        # within one frame of the start, and nothing from before it
        assert wanted - 1e-6 <= opened <= wanted + 1, (first, starts)
        assert min(frames) >= wanted - 1e-6
    assert all(in_a_range(f, offset) for f in clock_frames(horizontal))


def test_every_piece_opens_on_its_start_and_only_the_ranges_are_cached(tmp_path, clock, segments):
    before = os.stat(clock)
    cache = tmp_path / "cache"
    short, events = job(segments, clock, tmp_path / "out", cache)
    assert_exact(short.horizontal, STARTS)
    cuts = [e for e in events if e.step == "cut"]
    assert {e.index for e in cuts} == {1, 2, 3, 4} and any(e.fraction == 1.0 for e in cuts)
    # the cache holds one clip per range, each as long as its range; the source is only read
    clips = encodes(cache)
    assert sorted(round(duration(c), 2) for c in clips) == [1.8, 2.0, 2.0, 2.0]
    after = os.stat(clock)
    assert (after.st_size, after.st_mtime_ns, after.st_nlink) == (
        before.st_size,
        before.st_mtime_ns,
        before.st_nlink,
    )
    assert not os.path.lexists(tmp_path / "out" / "movie.mp4")

    # a rerun takes every clip from the cache: the same pictures, no clip encoded
    stamps = {c: os.stat(c).st_mtime_ns for c in clips}
    again, _ = job(segments, clock, tmp_path / "again", cache)
    assert openings(again.horizontal)[0] == openings(short.horizontal)[0]
    assert {c: os.stat(c).st_mtime_ns for c in encodes(cache)} == stamps


def test_a_changed_source_never_meets_its_old_clips(tmp_path, clock, segments):
    film = tmp_path / "film.mp4"
    shutil.copyfile(clock, film)
    cache = tmp_path / "cache"
    job(segments, str(film), tmp_path / "one", cache)
    stamp = os.stat(film).st_mtime_ns
    # the same name, size class and modification time; other pictures (100 frames on)
    make_clock_video(film, 40, offset=100)
    os.utime(film, ns=(stamp, stamp))
    short, _ = job(segments, str(film), tmp_path / "two", cache)
    assert_exact(short.horizontal, STARTS, offset=100)
    assert len(encodes(cache)) == 8


def test_an_unwritable_cache_still_gives_exact_pictures(tmp_path, clock, segments):
    cache = tmp_path / "cache"
    cache.mkdir()
    (cache / "encodes").write_text("not a directory")  # no clip can be stored
    short, events = job(segments, clock, tmp_path / "out", cache)
    assert_exact(short.horizontal, STARTS)
    # said once, as the job's warning event, and the job went on
    warned = [e.message for e in events if e.step == "warning"]
    assert len(warned) == 1 and "kestro_core" in warned[0]
    assert not os.listdir(tmp_path / "out") or "clip_0.mp4" not in os.listdir(tmp_path / "out")


def test_a_range_past_the_end_of_the_source_is_named(tmp_path, clock):
    path = tmp_path / "segments.json"
    late = [SEGMENTS[0], {"start": "45", "end": "47", "voiceover": "Late."}]
    path.write_text(json.dumps(late), encoding="utf-8")
    before = os.stat(clock)
    with pytest.raises(RangeError) as caught:
        job(str(path), clock, tmp_path / "out", tmp_path / "cache", check=False)
    assert str(caught.value) == (
        "Segment 2: its range 45 → 47 starts at or after the end of the source video "
        '(0:00:40.000): move "start" and "end" inside the video'
    )
    assert os.stat(clock).st_mtime_ns == before.st_mtime_ns
    assert "merged_0.mp4" in os.listdir(tmp_path / "out")  # the work done so far stays


def test_stream_copy_warns_before_cutting_and_cuts_as_before(tmp_path, clock, segments):
    out = tmp_path / "out"
    out.mkdir()
    run = subprocess.run(
        [sys.executable, "-P", "-m", "kestro_core", "run", segments, "--source", clock]
        + ["--speed", "1.5", "--speech", "espeak-ng", "--output-dir", str(out), "--no-captions"]
        + ["--cache-dir", str(tmp_path / "cache"), "--stream-copy"],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert run.returncode == 0, run.stderr
    lines = run.stderr.splitlines()
    warned = [line for line in lines if "picture from before its start" in line]
    assert warned == WARNINGS
    first_cut = next(i for i, line in enumerate(lines) if line.startswith("cut "))
    assert lines.index(WARNINGS[-1]) < first_cut
    # the stream-copy cuts start on the keyframes before the starts, as they always did:
    # some picture from outside every range shows
    shown = clock_frames(out / "horizontal_final.mp4")
    assert [f for f in shown if not in_a_range(f)]
    assert not os.path.isdir(tmp_path / "cache" / "encodes") or not encodes(tmp_path / "cache")


def test_the_plan_reads_around_the_ranges_and_predicts_no_preroll_when_exact(clock, segments):
    ranges = [(s, s + 2) for s in STARTS]
    assert probe_source(clock, ranges).keyframes == [0.0, 10.0, 20.0]  # never the one at 30
    copied = kestro_core.plan(segments, 1.5, source=clock, speech="espeak-ng", exact_joins=False)
    assert [s.preroll for s in copied.segments] == pytest.approx([3.3, 4.6, 0.2, 7.0])
    exact = kestro_core.plan(segments, 1.5, source=clock, speech="espeak-ng")
    assert [s.preroll for s in exact.segments] == [0.0] * 4
    assert exact.notes[0].startswith("exact joins: 4 ranges encoded on their own (7.8 s")


@pytest.mark.parametrize("elsewhere", [False, True], ids=["same-fs", "other-fs"])
def test_a_local_source_is_linked_never_copied(tmp_path, clock, elsewhere):
    folder = "/dev/shm" if elsewhere else str(tmp_path)
    if elsewhere and (
        not os.path.isdir(folder) or os.stat(folder).st_dev == os.stat(tmp_path).st_dev
    ):
        pytest.skip("no second file system at /dev/shm")
    source = os.path.join(folder, f"kestro-film-{os.getpid()}.mp4")
    shutil.copyfile(clock, source)
    try:
        movie = tmp_path / "movie.mp4"
        movie.write_bytes(b"left by an earlier run")
        LocalSource(source)("unused", str(movie))
        if elsewhere:  # a symbolic link to the real file, not a copy
            assert os.readlink(movie) == os.path.realpath(source)
        else:
            assert not os.path.islink(movie) and os.path.samefile(movie, source)
        os.remove(movie)  # what the run's clean-up does: the link goes, the film stays
        assert os.path.getsize(source) == os.path.getsize(clock)
    finally:
        os.remove(source)
