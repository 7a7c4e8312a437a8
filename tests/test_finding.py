"""Finding the moment: dialogue search, shot changes, and ranges snapped onto the changes.

A film of three coloured shots with hard cuts at 3.00 s and 5.04 s (25 fps, a keyframe
every 2 s) and its subtitles muxed in as mov_text; real ffmpeg and espeak-ng.
"""

import json
import os
import shutil
import subprocess
import sys

import pytest

import kestro_core
from kestro_core.finding.dialogue import subtitle_lines
from kestro_core.finding.shots import shot_changes
from kestro_core.store.cache import Cache

pytestmark = pytest.mark.skipif(
    not all(shutil.which(p) for p in ("ffmpeg", "ffprobe", "espeak-ng")),
    reason="needs ffmpeg, ffprobe and espeak-ng",
)

SRT = """1
00:00:01,000 --> 00:00:02,500
A stranger came to town last night.

2
00:00:04,000 --> 00:00:05,500
<i>Nobody</i> knew
his name.

3
00:00:06,000 --> 00:00:07,000
The café was closed.
"""
CUTS = [3.0, 5.04]


def _ffmpeg(*args):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", *args], check=True, timeout=120)


def _film(folder, name="film.mp4", subtitles=True):
    colours = [("red", 3), ("green", 2.04), ("blue", 2.96)]
    argv = []
    for colour, seconds in colours:
        argv += ["-f", "lavfi", "-i", f"color={colour}:s=320x240:r=25:d={seconds}"]
    argv += ["-f", "lavfi", "-i", "sine=f=440:d=8"]
    graph = "[0][1][2]concat=n=3:v=1:a=0[v]"
    maps = ["-map", "[v]", "-map", "3"]
    if subtitles:
        (folder / "lines.srt").write_text(SRT, encoding="utf-8")
        argv += ["-i", str(folder / "lines.srt")]
        maps += ["-map", "4", "-c:s", "mov_text"]
    path = folder / name
    _ffmpeg(*argv, "-filter_complex", graph, *maps, "-c:v", "libx264", "-g", "50", str(path))
    return str(path)


@pytest.fixture(scope="module")
def film(tmp_path_factory):
    return _film(tmp_path_factory.mktemp("finding"))


def _cli(*args, env=None):
    return subprocess.run(
        [sys.executable, "-P", "-m", "kestro_core", *args],
        capture_output=True,
        text=True,
        timeout=300,
        env=dict(env or os.environ, PYTHONIOENCODING="utf-8"),
    )


def _first_colour(video):
    """The colour of the video's first frame: the strongest of red, green and blue."""
    done = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", video, "-frames:v", "1", "-vf", "scale=1:1"]
        + ["-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
        capture_output=True,
        check=True,
        timeout=60,
    )
    rgb = list(done.stdout)
    return ("red", "green", "blue")[rgb.index(max(rgb))]


@pytest.mark.parametrize(
    "words, status, shown",
    [
        ("TOWN stranger", 0, "00:00:01.000 → 00:00:02.500  A stranger came to town last night.\n"),
        ("cafe", 0, "00:00:06.000 → 00:00:07.000  The café was closed.\n"),
        ("own", 1, ""),  # a word finds the words it begins, not those it lies inside
    ],
)
def test_find_prints_each_line_that_holds_every_word(film, words, status, shown):
    done = _cli("find", film, words)
    assert (done.returncode, done.stdout) == (status, shown)
    assert ("holds" in done.stderr) == (status == 1)


def test_find_as_json_takes_the_markup_and_line_breaks_out(film):
    done = _cli("find", film, "his nobody", "--json")
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [{"start": 4.0, "end": 5.5, "text": "Nobody knew his name."}]


def test_subtitles_are_the_given_file_then_one_beside_the_film_then_its_own(tmp_path, film):
    folder = tmp_path / "films"
    folder.mkdir()
    video = folder / "f.mp4"
    os.link(film, video)
    cache = Cache(str(tmp_path / "cache"))

    def first():
        return subtitle_lines(str(video), cache=cache)[0].text

    assert first() == "A stranger came to town last night."
    for name in ("f.fr.srt", "f.en.srt", "f.vtt", "f.srt"):
        (folder / name).write_text(f"1\n00:00:01,000 --> 00:00:02,000\nfrom {name}\n")
    (folder / "f.vtt").write_text("WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nfrom f.vtt\n")
    seen = []
    for name in ("f.srt", "f.vtt", "f.en.srt"):
        seen.append(first())
        (folder / name).unlink()
    assert seen == ["from f.srt", "from f.vtt", "from f.en.srt"]
    given = str(folder / "f.fr.srt")
    assert subtitle_lines(str(video), subtitles=given)[0].text == "from f.fr.srt"


def test_the_films_own_subtitles_are_extracted_once(tmp_path, film):
    # an ffmpeg that notes each run, then runs the real one
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    runs = tmp_path / "runs.txt"
    (bin_dir / "ffmpeg").write_text(
        f'#!/bin/sh\necho run >> {runs}\nexec {shutil.which("ffmpeg")} "$@"\n'
    )
    (bin_dir / "ffmpeg").chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}")
    cache = str(tmp_path / "cache")
    for _ in range(2):
        assert _cli("find", film, "name", "--cache-dir", cache, env=env).returncode == 0
    assert runs.read_text().count("run") == 1


def test_no_text_subtitles_say_where_they_were_looked_for_and_what_to_do(tmp_path):
    bare = _film(tmp_path, "bare.mp4", subtitles=False)
    done = _cli("find", bare, "town")
    assert done.returncode == 2
    said = " ".join(done.stderr.split())
    assert f"none beside it in {tmp_path} (bare.srt," in said and "--subtitles FILE" in said
    # subtitles that are pictures: a VobSub index declares a DVD subtitle stream
    (tmp_path / "p.idx").write_text(
        "# VobSub index file, v7 (do not modify this line!)\nsize: 720x480\n"
        f"palette: {', '.join(['000000'] * 16)}\nid: en, index: 0\n"
        "timestamp: 00:00:01:000, filepos: 000000000\n"
    )
    (tmp_path / "p.sub").write_bytes(b"")
    pictures = str(tmp_path / "pictures.mkv")
    _ffmpeg(
        "-i",
        bare,
        "-i",
        str(tmp_path / "p.idx"),
        "-map",
        "0:v",
        "-map",
        "1",
        "-c",
        "copy",
        pictures,
    )
    done = _cli("find", pictures, "town")
    assert done.returncode == 2
    assert "dvd_subtitle), which cannot be searched as text" in " ".join(done.stderr.split())


@pytest.mark.parametrize(
    "raw, problem",
    [
        # a broken time line: that block is left out and named, the rest is read
        (
            b"1\n00:00:01,000 --> 00:00:02,000\nOne caf\xc3\xa9\n\n"
            b"2\n00:00:03,000 -> 00:00:04\nlost\n\n3\n00:00:06,000 --> 00:00:07,000\nTwo caf\xc3\xa9\n",
            "line 6: '00:00:03,000 -> 00:00:04' is not a 'start --> end' time",
        ),
        # Windows-1252, as older subtitle files are
        (
            b"1\r\n00:00:01,000 --> 00:00:02,000\r\nOne caf\xe9\r\n\r\n"
            b"2\r\n00:00:06,000 --> 00:00:07,000\r\nTwo caf\xe9 \x96 \x93quoted\x94\r\n",
            None,
        ),
    ],
)
def test_a_damaged_or_windows_1252_file_gives_the_lines_it_can(tmp_path, film, raw, problem):
    path = tmp_path / "lines.srt"
    path.write_bytes(raw)
    done = _cli("find", film, "café", "--subtitles", str(path), "--json")
    assert done.returncode == 0, done.stderr
    found = json.loads(done.stdout)
    assert [(line["start"], line["text"].split()[0]) for line in found] == [
        (1.0, "One"),
        (6.0, "Two"),
    ]
    if problem is None:
        assert found[1]["text"] == "Two café \u2013 \u201cquoted\u201d" and done.stderr == ""
    else:
        assert problem in done.stderr and "left out" in done.stderr


@pytest.mark.parametrize(
    "start, end, changes",
    [
        (0.0, None, CUTS),
        (3.0, 5.0, [3.0]),  # a change on the window's first frame
        (3.04, 5.04, [5.04]),
        (6.0, 7.5, []),
        (60.0, 70.0, []),  # past the end of the film
    ],
)
def test_shot_changes_are_the_first_frames_of_the_new_shots(film, start, end, changes):
    assert shot_changes(film, start, end) == changes


def test_shots_prints_each_change_and_refuses_a_window_past_the_end(film):
    done = _cli("shots", film, "--from", "1", "--to", "00:00:07")
    assert (done.returncode, done.stdout) == (0, "00:00:03.000\n00:00:05.040\n")
    assert json.loads(_cli("shots", film, "--to", "4", "--json").stdout) == [3.0]
    done = _cli("shots", film, "--from", "60")
    assert done.returncode == 2 and "lies at or after the end of" in done.stderr


SEGMENTS = [
    {"start": "2.8", "end": "4.9", "voiceover": "Green."},  # 0.2 s of red, then green
    {"start": "0.5", "end": "1.5", "voiceover": "Red."},  # no change near
]


def test_plan_notes_the_edges_off_a_change_and_snap_moves_them(tmp_path, film):
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps(SEGMENTS), encoding="utf-8")
    base = ["plan", str(segments), "--speed", "1", "--source", film, "--speech", "espeak-ng"]
    done = _cli(*base)
    assert done.returncode == 0, done.stderr
    assert (
        "note: Segment 1 starts 0.20 s before a shot change (00:00:03.000): it opens on a "
        "flash of the shot before" in done.stdout
    )
    assert "Segment 2" not in done.stdout.split("note:", 1)[1]
    planned = json.loads(_cli(*base, "--json").stdout)["segments"]
    assert [(s["snap_start"], s["snap_end"]) for s in planned] == [(3.0, 5.04), (None, None)]
    snapped = json.loads(_cli(*base, "--json", "--snap").stdout)["segments"]
    # half a frame before each change; where no change is near, nothing moves
    assert [(s["start"], s["end"]) for s in snapped] == [(2.98, 5.02), (0.5, 1.5)]
    assert json.loads(segments.read_text(encoding="utf-8")) == SEGMENTS


def test_a_snapped_run_opens_on_the_new_shot(tmp_path, film):
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps(SEGMENTS[:1]), encoding="utf-8")
    before = segments.read_bytes()
    made = {}
    for snap in (False, True):
        out = tmp_path / f"out-{snap}"
        out.mkdir()
        short = kestro_core.make_short(
            segments, 1, source=film, speech="espeak-ng", output_dir=out, snap=snap
        )
        made[snap] = _first_colour(short.horizontal)
    assert made == {False: "red", True: "green"}
    assert segments.read_bytes() == before
