"""run_kestro on real, generated media with the real ffmpeg, plus the concat
list it writes."""

import json
import math
import os
import shutil
from types import SimpleNamespace

import pytest

from tests.support import media
from tests.support.media import RecordingSubprocess, kind_of

FALLBACK = "  (GPU unavailable, using CPU encoder...)"
TOLERANCE = 0.15  # seconds: a frame, an AAC frame and the MP3 padding


@pytest.fixture(scope="session")
def inputs(tmp_path_factory):
    if not media.have_ffmpeg():
        pytest.skip("ffmpeg and ffprobe are needed on PATH")
    return media.MediaCache(tmp_path_factory.mktemp("media"))


class RealRun:
    """Services replaced by local stand-ins (copy the generated source, copy a
    generated narration chosen by its text), ``time`` made silent, and the
    real ``subprocess`` wrapped so that every clip and merged file is probed
    before the driver deletes it."""

    def __init__(self, kc, monkeypatch, inputs, out_dir, segments, narrations):
        self.kc = kc
        self.out = str(out_dir)
        os.makedirs(self.out, exist_ok=True)
        self.segments = os.path.join(os.path.dirname(self.out), "segments.json")
        with open(self.segments, "w", encoding="utf-8") as f:
            json.dump(segments, f)
        self.source = inputs.source()
        self.narrations = {text: inputs.narration(d) for text, d in narrations.items()}
        self.probed = {}  # file name -> (duration, video packets)
        self.lists = []
        self.proc = RecordingSubprocess(real=True, before=self._before, after=self._after)
        monkeypatch.setattr(kc, "subprocess", self.proc)
        monkeypatch.setattr(kc, "time", SimpleNamespace(sleep=lambda s: None))
        monkeypatch.setattr(
            kc, "_download_video", lambda url, out: shutil.copyfile(self.source, out)
        )
        monkeypatch.setattr(
            kc,
            "_generate_tts",
            lambda text, out, voice: shutil.copyfile(self.narrations[text], out),
        )

    def _before(self, argv):
        if kind_of(argv) == "concat":
            with open(argv[argv.index("-i") + 1], newline="") as f:
                self.lists.append(f.read())

    def _after(self, argv):
        if kind_of(argv) in ("cut", "merge"):
            self.probed[os.path.basename(argv[-1])] = (
                media.duration(argv[-1]),
                media.video_packet_count(argv[-1]),
            )

    def __call__(self, speed):
        return self.kc.run_kestro("https://youtu.be/local", self.segments, speed, "Brian", self.out)

    def path(self, name):
        return os.path.join(self.out, name)


def test_full_run(kc, monkeypatch, tmp_path, capfd, inputs):
    segments = [
        # starts on a keyframe; the narration outlasts the clip
        {"start": "1", "end": "3", "voiceover": "long"},
        # starts between keyframes; the narration is the shorter
        {"start": "2.5", "end": "5", "voiceover": "short"},
    ]
    run = RealRun(kc, monkeypatch, inputs, tmp_path / "out", segments, {"long": 3, "short": 1})
    result = run(1.5)
    assert result == run.path("FINAL_KESTRO.mp4")

    # a copied cut keeps every frame from the keyframe at or before "start"
    for i, seg in enumerate(segments):
        start, end = float(seg["start"]), float(seg["end"])
        _, packets = run.probed[f"clip_{i}.mp4"]
        assert packets == round((end - math.floor(start)) * media.FPS)

    # a merged file is as long as the shorter of clip and narration
    long_mp3, short_mp3 = run.narrations["long"], run.narrations["short"]
    expected = [min(2.0, media.duration(long_mp3)), min(2.5, media.duration(short_mp3))]
    merged = [run.probed[f"merged_{i}.mp4"][0] for i in range(2)]
    assert merged == pytest.approx(expected, abs=TOLERANCE)

    horizontal = run.path("horizontal_final.mp4")
    assert media.duration(horizontal) == pytest.approx(sum(merged), abs=TOLERANCE)
    assert media.dimensions(horizontal) == (320, 180)
    assert media.codec_names(horizontal) == {"video": ["h264"], "audio": ["aac"]}

    final = run.path("FINAL_KESTRO.mp4")
    assert media.dimensions(final) == (1080, 1920)
    assert media.codec_names(final) == {"video": ["h264"], "audio": ["aac"]}
    assert media.stream_counts(final) == {"video": 1, "audio": 1}
    assert media.duration(final) == pytest.approx(media.duration(horizontal) / 1.5, abs=TOLERANCE)

    out, err = capfd.readouterr()
    lines = out.splitlines()
    export = lines.index("📐 Converting to 9:16 vertical at 1.5x speed...")
    if media.nvenc_usable():
        assert lines[export + 1] == "🧹 Cleaning up..."
    else:
        assert lines[export + 1 : export + 3] == [FALLBACK, "🧹 Cleaning up..."]
        assert "nvenc" not in err.lower()  # the failed attempt's output is dropped
    assert sorted(os.listdir(run.out)) == ["FINAL_KESTRO.mp4", "horizontal_final.mp4"]


def test_single_quote_in_the_output_path(kc, monkeypatch, tmp_path, capfd, inputs):
    out_dir = tmp_path / "it's a 'test'"
    run = RealRun(
        kc, monkeypatch, inputs, out_dir, [{"start": "0", "end": "1", "voiceover": "n"}], {"n": 1}
    )
    run(2.0)
    escaped = os.path.abspath(run.path("merged_0.mp4")).replace("'", "'\\''")
    assert run.lists == [f"file '{escaped}'\n"]
    assert media.duration(run.path("horizontal_final.mp4")) == pytest.approx(1.0, abs=TOLERANCE)
    assert media.dimensions(run.path("FINAL_KESTRO.mp4")) == (1080, 1920)
    assert sorted(os.listdir(run.out)) == ["FINAL_KESTRO.mp4", "horizontal_final.mp4"]


def _recorded_run(kc, monkeypatch, tmp_path, out_dir, count):
    """A run with ffmpeg replaced by the recorder: returns the recorder and the
    concat list as the concat command found it."""
    lists = []

    def read_list(argv):
        if kind_of(argv) == "concat":
            with open(argv[argv.index("-i") + 1], newline="") as f:
                lists.append(f.read())

    proc = RecordingSubprocess(before=read_list)
    monkeypatch.setattr(kc, "subprocess", proc)
    monkeypatch.setattr(kc, "time", SimpleNamespace(sleep=lambda s: None))
    monkeypatch.setattr(kc, "_download_video", lambda url, out: open(out, "wb").close())
    monkeypatch.setattr(kc, "_generate_tts", lambda text, out, voice: open(out, "wb").close())
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps([{"start": "0", "end": "1", "voiceover": "n"}] * count))
    return proc, lists, lambda: kc.run_kestro("u", str(segments), 1.5, "v", out_dir)


def test_list_names_absolute_paths_in_order(kc, monkeypatch, tmp_path, capsys):
    monkeypatch.chdir(tmp_path)
    os.mkdir("out")
    proc, lists, run = _recorded_run(kc, monkeypatch, tmp_path, "out", 3)
    run()
    cwd = os.getcwd()
    assert lists == [
        "".join(f"file '{os.path.join(cwd, 'out', f'merged_{i}.mp4')}'\n" for i in range(3))
    ]
    # the vectors keep the relative paths
    assert proc.vectors("merge")[0][-1] == os.path.join("out", "merged_0.mp4")


@pytest.mark.parametrize("breaker", ["\n", "\r"], ids=["line feed", "carriage return"])
def test_line_break_in_the_output_path_is_refused(kc, monkeypatch, tmp_path, capsys, breaker):
    out_dir = tmp_path / f"two{breaker}lines"
    out_dir.mkdir()
    proc, lists, run = _recorded_run(kc, monkeypatch, tmp_path, str(out_dir), 2)
    with pytest.raises(ValueError):
        run()
    assert proc.kinds() == ["cut", "merge", "cut", "merge"]
    filelist = out_dir / "filelist.txt"
    assert not filelist.exists() or filelist.read_bytes() == b""
    left = set(os.listdir(out_dir)) - {"filelist.txt"}
    assert left == {"merged_0.mp4", "merged_1.mp4", "movie.mp4"}
