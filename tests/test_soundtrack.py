"""Caption times against the sound of the products.

A stand-in voice speaks every narration as a tone of its own pitch; after a real job the
tones are found in the audio of both videos, and each narration's first cue must start within
50 ms of the moment its tone is first heard. The ranges start between keyframes (a keyframe
every 2 s), and one narration is longer than its range, so the sound drifts away from any
estimate made from the ranges.
"""

import array
import itertools
import json
import math
import os
import re
import subprocess

import pytest

import kestro_core
from kestro_core.job import run as api
from kestro_core.speech.base import Speaker
from tests.support.media import have_ffmpeg, make_source_video

pytestmark = pytest.mark.skipif(not have_ffmpeg(), reason="needs ffmpeg and ffprobe")

RATE = 16_000
BLOCK = 160  # 10 ms
SEGMENTS = [
    ("0.5", "2.9", 500, 1.2, "Alpha opens the story. It fits its range with room to spare."),
    (
        "3.3",
        "4.5",
        900,
        3.6,
        "Bravo speaks a long opening sentence that fills most of its time. Then this part is cut.",
    ),
    ("5.1", "7.6", 1300, 1.0, "Charlie is short."),
    ("8.7", "10.6", 1700, 1.4, "Delta closes: {braces}, <angles> and a back\\slash stay."),
]
TONES = {text: (freq, secs) for _, _, freq, secs, text in SEGMENTS}


class ToneVoice(Speaker):
    """Speaks each narration as a sine tone: its pitch and length are the narration's own."""

    identity = "tones"
    local = True
    name = "tones"

    def synthesize(self, text, output_file):
        freq, secs = TONES[text]
        subprocess.run(
            ["ffmpeg", "-y", "-v", "error", "-f", "lavfi", "-i"]
            + [f"sine=frequency={freq}:sample_rate=44100:duration={secs}"]
            + ["-c:a", "libmp3lame", "-f", "mp3", output_file],
            check=True,
            timeout=60,
        )


def pcm(path):
    done = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", path, "-vn", "-ac", "1", "-ar", str(RATE)]
        + ["-f", "s16le", "-"],
        capture_output=True,
        check=True,
        timeout=120,
    )
    samples = array.array("h")
    samples.frombytes(done.stdout)
    return samples


def tone_spans(samples, freq):
    """(first, last) second at which ``freq`` carries most of a 10 ms block's energy."""
    coeff = 2 * math.cos(2 * math.pi * freq / RATE)
    hits = []
    for at in range(0, len(samples) - BLOCK, BLOCK):
        s1 = s2 = 0.0
        energy = 0.0
        for x in samples[at : at + BLOCK]:
            s1, s2 = x + coeff * s1 - s2, s1
            energy += x * x
        power = s1 * s1 + s2 * s2 - coeff * s1 * s2
        if energy > BLOCK * 300**2 and power / (energy * BLOCK / 2) > 0.5:
            hits.append(at / RATE)
    assert hits, f"no {freq} Hz tone found"
    return hits[0], hits[-1] + BLOCK / RATE


def srt_cues(path):
    text = open(path, encoding="utf-8").read()
    cues = []
    for n, block in enumerate(text.strip().split("\n\n"), start=1):
        lines = block.split("\n")
        assert lines[0] == str(n)
        m = re.fullmatch(r"(\d\d):(\d\d):(\d\d),(\d{3}) --> (\d\d):(\d\d):(\d\d),(\d{3})", lines[1])
        assert m, lines[1]
        g = [int(x) for x in m.groups()]
        start = g[0] * 3600 + g[1] * 60 + g[2] + g[3] / 1000
        end = g[4] * 3600 + g[5] * 60 + g[6] + g[7] / 1000
        cues.append((start, end, " ".join(lines[2:])))
    return cues


def media_duration(path):
    done = subprocess.run(
        ["ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path],
        capture_output=True,
        text=True,
        check=True,
        timeout=60,
    )
    return float(done.stdout)


@pytest.fixture(scope="module")
def job(tmp_path_factory):
    root = tmp_path_factory.mktemp("tones")
    source = make_source_video(root / "film.mp4", duration=12, keyint_seconds=2)
    seg = root / "segments.json"
    seg.write_text(
        json.dumps([{"start": s, "end": e, "voiceover": t} for s, e, _, _, t in SEGMENTS]),
        encoding="utf-8",
    )
    out = root / "out"
    out.mkdir()
    patch = pytest.MonkeyPatch()
    patch.setattr(api, "open_speaker", lambda *args, **kwargs: ToneVoice())
    try:
        short = kestro_core.make_short(
            seg, 1.5, source=source, speech="espeak-ng", output_dir=out, use_cache=False
        )
    finally:
        patch.undo()
    return short


@pytest.mark.parametrize("video", ["horizontal", "vertical"])
def test_first_cue_of_each_narration_starts_when_it_is_heard(job, video):
    path = getattr(job, video)
    cues = srt_cues(getattr(job, f"{video}_captions"))
    samples = pcm(path)
    end = media_duration(path)
    for (a_start, a_end, _), (b_start, _, _) in itertools.pairwise(cues):
        assert a_start < a_end <= b_start
    assert cues[-1][1] <= end + 0.001
    for _, _, freq, _, text in SEGMENTS:
        first_word = text.split()[0]
        mine = [cue for cue in cues if cue[2].startswith(first_word)]
        assert len(mine) == 1, (first_word, cues)
        heard, _ = tone_spans(samples, freq)
        assert abs(mine[0][0] - heard) <= 0.05, (video, text, mine[0][0], heard)


def test_a_narration_cut_off_keeps_only_the_cues_heard(job):
    cues = srt_cues(job.horizontal_captions)
    _, _, freq, secs, text = SEGMENTS[1]
    heard_from, heard_to = tone_spans(pcm(job.horizontal), freq)
    assert heard_to - heard_from < secs - 0.5  # the piece really cut it off
    words = text.split()
    mine = [
        cue
        for cue in cues
        if heard_from - 0.05 <= cue[0] < heard_to and not cue[2].startswith("Charlie")
    ]
    shown = " ".join(cue[2] for cue in mine).split()
    assert shown == words[: len(shown)] and len(shown) < len(words)
    assert abs(mine[-1][1] - heard_to) <= 0.05


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-y", "-v", "error", *args], check=True, timeout=120)


@pytest.mark.parametrize("join", ["copy", "audio re-encoded"])
def test_recorder_finds_each_narration_however_the_pieces_were_joined(tmp_path, join):
    """A join that copies packets is read packet by packet; any other join falls back to the
    pieces' lengths, measured before the clean-up deletes them: good to a few audio frames,
    since a join that encodes again lays the sound end to end without the priming frames."""
    from kestro_core.sound.heard import Recorder

    film = make_source_video(tmp_path / "film.mp4", duration=8, keyint_seconds=2)
    tones = [("0.7", "2.9", 500, 1.0), ("3.3", "4.5", 900, 2.0), ("5.1", "7.0", 1300, 0.8)]
    recorder = Recorder()
    listing = tmp_path / "filelist.txt"
    try:
        for i, (start, end, freq, secs) in enumerate(tones):
            voice, clip = str(tmp_path / f"voice_{i}.mp3"), str(tmp_path / f"clip_{i}.mp4")
            merged = str(tmp_path / f"merged_{i}.mp4")
            ffmpeg("-f", "lavfi", "-i", f"sine=frequency={freq}:duration={secs}", voice)
            recorder.narration(f"tone {i}", voice)
            ffmpeg("-ss", start, "-to", end, "-i", film, "-c", "copy", "-an", clip)
            merge = ["-i", clip, "-i", voice, "-map", "0:v", "-map", "1:a", "-c:v", "copy"]
            merge += ["-c:a", "aac", "-shortest", merged]
            ffmpeg(*merge)
            recorder.ran(["ffmpeg", *merge])
            os.remove(voice)  # as the job does right after the merge
            with open(listing, "a", encoding="utf-8") as f:
                f.write(f"file '{merged}'\n")
        horizontal = str(tmp_path / "horizontal.mp4")
        codecs = ["-c", "copy"] if join == "copy" else ["-c:v", "copy", "-c:a", "aac"]
        concat = ["-f", "concat", "-safe", "0", "-i", str(listing), *codecs]
        ffmpeg(*concat, horizontal)
        recorder.ran(["ffmpeg", *concat, horizontal])
        heard = recorder.heard(horizontal)
    finally:
        recorder.close()
    samples = pcm(horizontal)
    assert [h.text for h in heard] == ["tone 0", "tone 1", "tone 2"]
    for narration, (_, _, freq, secs) in zip(heard, tones, strict=True):
        onset, _ = tone_spans(samples, freq)
        assert abs(narration.start - onset) <= (0.05 if join == "copy" else 0.1), (
            join,
            narration,
            onset,
        )
        assert not narration.silent and abs(narration.length - secs) <= 0.05


@pytest.mark.parametrize(
    ("captions", "burn", "products"),
    [
        (False, False, []),
        (False, True, ["FINAL_KESTRO.captioned.mp4"]),
        (
            True,
            True,
            [
                "FINAL_KESTRO.captioned.mp4",
                "FINAL_KESTRO.srt",
                "horizontal_final.srt",
                "FINAL_KESTRO.words.json",
                "horizontal_final.words.json",
            ],
        ),
    ],
)
def test_caption_switches_decide_what_is_written(tmp_path, monkeypatch, captions, burn, products):
    source = make_source_video(tmp_path / "film.mp4", duration=4)
    seg = tmp_path / "segments.json"
    text = SEGMENTS[0][4]
    seg.write_text(json.dumps([{"start": "0.5", "end": "2.5", "voiceover": text}]), "utf-8")
    out = tmp_path / "out"
    out.mkdir()
    monkeypatch.setattr(api, "open_speaker", lambda *args, **kwargs: ToneVoice())
    short = kestro_core.make_short(
        seg, 1.5, source=source, speech="espeak-ng", output_dir=out,
        captions=captions, burn_captions=burn,
    )  # fmt: skip
    videos = ["FINAL_KESTRO.mp4", "horizontal_final.mp4"]
    assert sorted(os.listdir(out)) == sorted(videos + products)
    assert (short.captioned is not None) == burn
    assert (short.vertical_captions is not None) == captions
    if burn:
        assert abs(media_duration(short.captioned) - media_duration(short.vertical)) <= 0.04
