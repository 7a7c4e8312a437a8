"""The finished short's sound, judged from the product: the source's own sound is a steady
440 Hz tone (silent from 9 s to 11 s), every narration a 660 Hz tone, the music 1500 Hz.
Each tone's level is read back by frequency over windows of the finished short."""

import array
import json
import math
import subprocess
import sys

import pytest

import kestro_core
from kestro_core.job import check
from kestro_core.sound import mix as mixdown
from tests.support.media import have_ffmpeg

pytestmark = pytest.mark.skipif(not have_ffmpeg(), reason="needs ffmpeg")

SOURCE_HZ, VOICE_HZ, MUSIC_HZ = 440, 660, 1500
RATE = 16_000
SPEED = 1.25
NARRATION = 1.5  # seconds of each narration
# the "original" Segment first: its silence is made before any narration is heard, at the
# rate the service's narrations turn out to have (24 kHz here, not the local voices' rate)
SEGMENTS = [
    {"start": "8", "end": "12", "voiceover": "", "sound": "original"},
    {"start": "0", "end": "2", "voiceover": "Two."},
    {"start": "2", "end": "5", "voiceover": "Three.", "sound": "mix"},
]


def _ffmpeg(*args):
    subprocess.run(["ffmpeg", "-y", "-v", "error", *args], check=True, timeout=120)


def _source(path, with_sound=True):
    sound = ["-f", "lavfi", "-i", f"sine=f={SOURCE_HZ}:sample_rate=48000:d=14"]
    shaped = ["-af", "volume='if(between(t,9,11),0,0.5)':eval=frame", "-c:a", "aac"]
    _ffmpeg(
        "-f",
        "lavfi",
        "-i",
        "testsrc2=s=320x180:r=25:d=14",
        *(sound if with_sound else []),
        *(shaped if with_sound else ["-an"]),
        "-c:v",
        "libx264",
        "-preset",
        "ultrafast",
        "-g",
        "50",
        str(path),
    )
    return str(path)


def _tone_mp3(path, hz, seconds, rate=44100):
    _ffmpeg("-f", "lavfi", "-i", f"sine=f={hz}:sample_rate={rate}:d={seconds}", str(path))
    return str(path)


def _pcm(path):
    argv = ["ffmpeg", "-v", "error", "-i", str(path), "-map", "0:a:0", "-ac", "1"]
    argv += ["-ar", str(RATE), "-f", "s16le", "-"]
    samples = array.array("h")
    samples.frombytes(subprocess.run(argv, check=True, capture_output=True, timeout=60).stdout)
    return samples


def _level(samples, hz, start, end):
    """dB of the ``hz`` component over [start, end) seconds (Goertzel)."""
    a, b = int(start * RATE), int(end * RATE)
    coeff = 2 * math.cos(2 * math.pi * hz / RATE)
    s1 = s2 = 0.0
    for x in samples[a:b]:
        s1, s2 = x + coeff * s1 - s2, s1
    power = max(s1 * s1 + s2 * s2 - coeff * s1 * s2, 1e-9) / (b - a) ** 2
    return 10 * math.log10(power)


def _loudness(path):
    argv = ["ffmpeg", "-hide_banner", "-nostats", "-i", str(path), "-map", "0:a:0"]
    argv += ["-af", "ebur128=peak=true", "-f", "null", "-"]
    text = subprocess.run(argv, capture_output=True, text=True, timeout=120).stderr
    summary = text[text.rfind("Summary:") :]
    integrated = float(summary.split("I:")[1].split("LUFS")[0])
    peak = float(summary.split("Peak:")[1].split("dBFS")[0])
    return integrated, peak


@pytest.fixture(scope="module")
def finished(tmp_path_factory, kc):
    from demo.standin import RoutedRequests, ShortSleepTime, StandIn

    work = tmp_path_factory.mktemp("sound")
    source = _source(work / "film.mp4")
    voice = open(_tone_mp3(work / "voice.mp3", VOICE_HZ, NARRATION, 24000), "rb").read()
    music = _tone_mp3(work / "music.mp3", MUSIC_HZ, 0.5)  # looped
    seg = work / "segments.json"
    seg.write_text(json.dumps(SEGMENTS), encoding="utf-8")
    out = work / "out"
    out.mkdir()
    with (
        StandIn(source, make_mp3=lambda text, v: voice) as server,
        pytest.MonkeyPatch.context() as mp,
    ):
        mp.setattr(kc, "requests", RoutedRequests(server))
        mp.setattr(kc, "time", ShortSleepTime(long=0.5, short=0))
        short = kestro_core.make_short(
            seg,
            SPEED,
            source=source,
            voice="v",
            output_dir=out,
            cache_dir=work / "cache",
            finish=True,
            music=music,
            music_level=-10,
        )
        spoken = [h.json()["text"] for h in server.speech_hits]
    return short, spoken


def test_each_segment_sounds_as_asked(finished):
    short, spoken = finished
    assert spoken == ["Two.", "Three."]  # the "original" Segment is not spoken
    pcm = _pcm(short.finished)
    # pieces on the finished short's timeline: the 4 s range, 1.5 s narration, 1.5 s
    two, one, three = 0.0, 4.0 / SPEED, (NARRATION + 4.0) / SPEED

    def at(piece, a, b):
        return piece + a / SPEED, piece + b / SPEED

    # "original": the source's tone over the range (8-9 s, 11-12 s), no narration
    original = _level(pcm, SOURCE_HZ, *at(two, 0.2, 0.8))
    assert original > _level(pcm, SOURCE_HZ, *at(one, 0.2, 1.2)) + 30
    assert _level(pcm, SOURCE_HZ, *at(two, 3.2, 3.8)) > original - 3
    voice = _level(pcm, VOICE_HZ, *at(one, 0.3, 1.2))
    assert _level(pcm, VOICE_HZ, *at(two, 0.2, 3.8)) < voice - 30
    # "mix": the narration, and the source's tone at least 12 dB under it
    assert _level(pcm, VOICE_HZ, *at(three, 0.3, 1.2)) > voice - 3
    under = _level(pcm, SOURCE_HZ, *at(three, 0.3, 1.2))
    assert original - 25 < under <= original - 12
    # the music: back in the source's silence inside the original range, 10 dB and more
    # lower under a narration
    music_free = _level(pcm, MUSIC_HZ, *at(two, 1.6, 2.6))  # source silent 9-11 s
    assert _level(pcm, MUSIC_HZ, *at(one, 0.3, 1.2)) <= music_free - 10
    assert _level(pcm, MUSIC_HZ, *at(two, 0.2, 0.8)) <= music_free - 10


def test_loudness_and_the_other_products(finished):
    short, _ = finished
    integrated, peak = _loudness(short.finished)
    assert -15 <= integrated <= -13 and peak <= -1.0
    # the vertical video keeps the narrations alone
    pcm = _pcm(short.vertical)
    voice = _level(pcm, VOICE_HZ, 3.5, 4.2)
    assert _level(pcm, SOURCE_HZ, 0.2, 3.0) < voice - 30
    assert _level(pcm, MUSIC_HZ, 3.5, 4.2) < voice - 30


@pytest.mark.parametrize(
    "value, said",
    [
        ("both", '"both" is not a sound'),
        (1, "1 is not a sound"),
        (None, "null is not a sound"),
    ],
)
def test_a_bad_sound_is_named(tmp_path, value, said):
    seg = tmp_path / "s.json"
    seg.write_text(json.dumps([{"start": "0", "end": "1", "voiceover": "a", "sound": value}]))
    report = check.check(str(seg), 1.5, str(tmp_path), programs=())
    assert [(p.segment, p.key) for p in report] == [(1, "sound")]
    assert said in str(report[0]) and '"original"' in str(report[0])


def test_problems_before_anything_runs(tmp_path):
    source = _source(tmp_path / "mute.mp4", with_sound=False)
    seg = tmp_path / "s.json"
    seg.write_text(json.dumps([{**SEGMENTS[0], "start": "1", "end": "3"}, SEGMENTS[1]]))
    not_audio = tmp_path / "notes.txt"
    not_audio.write_text("la la la")
    for music, expected in (
        (tmp_path / "missing.mp3", "does not exist"),
        (not_audio, "holds no sound"),
    ):
        report = check.check_job(
            str(seg), 1.5, str(tmp_path), source=source, speech=None, music=str(music)
        )
        lines = [str(p) for p in report]
        assert any("has no sound track" in line and "Segment 1" in line for line in lines)
        assert any(expected in line for line in lines), lines
    with pytest.raises(ValueError, match="--finish"):
        kestro_core.JobOptions(str(seg), 1.5, source=source, music=str(not_audio))
    argv = [sys.executable, "-P", "-m", "kestro_core", "run", str(seg), "--speed", "1.5"]
    argv += ["--source", source, "--speech", "espeak-ng", "--music", str(not_audio)]
    argv += ["--music-level", "-70"]
    done = subprocess.run(argv, capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and "out of reach" in done.stderr
    assert "Traceback" not in done.stderr


def test_silence_is_left_silent(tmp_path):
    video = tmp_path / "quiet.mp4"
    _ffmpeg(
        *("-f", "lavfi", "-i", "color=s=64x64:d=2", "-f", "lavfi", "-i", "anullsrc=r=44100"),
        *("-t", "2", "-c:v", "libx264", "-c:a", "aac", str(video)),
    )
    made = mixdown.soundtrack(str(video), 2.0, 1.0, [], str(tmp_path))
    assert made.level is not None and made.level.silent
    assert any("left silent" in note for note in made.notes)


def test_a_long_music_file_is_cut(tmp_path):
    """An hour of music under a 2 s short: read as far as the short needs."""
    second = _tone_mp3(tmp_path / "s.mp3", MUSIC_HZ, 1)
    listing = tmp_path / "list.txt"
    listing.write_text("".join(f"file '{second}'\n" for _ in range(3700)))
    hour = tmp_path / "hour.mp3"
    _ffmpeg("-f", "concat", "-safe", "0", "-i", str(listing), "-c", "copy", str(hour))
    video = tmp_path / "v.mp4"
    _ffmpeg(
        *("-f", "lavfi", "-i", "color=s=64x64:d=2", "-f", "lavfi", "-i", f"sine=f={VOICE_HZ}"),
        *("-t", "2", "-c:v", "libx264", "-c:a", "aac", str(video)),
    )
    made = mixdown.soundtrack(str(video), 2.0, 1.0, [], str(tmp_path), str(hour), -20)
    assert made.level is not None and -40 < made.level.integrated < 0
