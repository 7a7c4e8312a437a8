"""run_kestro with every outside effect replaced: the ffmpeg vectors, the
printed lines, the working files and what a failure leaves behind."""

import json
import os
import traceback
from types import SimpleNamespace

import pytest

from tests.support.media import RecordingSubprocess, kind_of

FFMPEG = ["ffmpeg", "-y", "-loglevel", "error"]
VF_TAIL = "*PTS,scale=1080:1920:force_original_aspect_ratio=increase,crop=1080:1920"
TWO = [
    {"start": "00:00:05", "end": "00:00:12.5", "voiceover": "A stranger walks into the town."},
    {"start": "00:03:40", "end": "00:03:52", "voiceover": "Nobody expects what happens next."},
]


class OsSpy:
    """The real os module, with exists/remove calls written to the event log;
    removing a file named in ``refuse`` fails."""

    def __init__(self, log, refuse=()):
        class PathSpy:
            def exists(self, p):
                found = os.path.exists(p)
                log.append(("exists", p, found))
                return found

            def __getattr__(self, name):
                return getattr(os.path, name)

        self.path = PathSpy()
        self._log = log
        self._refuse = refuse

    def remove(self, p, *args, **kw):
        self._log.append(("remove", p))
        if os.path.basename(p) in self._refuse:
            raise PermissionError(13, "Permission denied", p)
        return os.remove(p, *args, **kw)

    def __getattr__(self, name):
        return getattr(os, name)


class Pipeline:
    """One run_kestro call with the services, ``time``, ``subprocess`` (and,
    on request, ``os``) replaced; every call lands in ``log`` in order.

    ``out`` defaults to an absolute directory under tmp_path; a given ``out``
    is used as it stands (relative to the working directory)."""

    def __init__(
        self,
        kc,
        monkeypatch,
        tmp_path,
        segments=TWO,
        *,
        out=None,
        gpu_returncode=1,
        fail=None,
        os_spy=None,
        tts_fails_at=None,
    ):
        self.kc = kc
        self.log = []
        self.out = str(tmp_path / "out") if out is None else out
        os.makedirs(self.out, exist_ok=True)
        self.segments = str(tmp_path / "segments.json")
        with open(self.segments, "w", encoding="utf-8") as f:
            json.dump(segments, f, ensure_ascii=False)
        self.lists = []  # the concat list as the concat command found it
        self.proc = RecordingSubprocess(
            self.log, gpu_returncode=gpu_returncode, fail=fail, before=self._read_list
        )
        self.tts_fails_at = tts_fails_at
        self.tts_error = None
        monkeypatch.setattr(kc, "subprocess", self.proc)
        monkeypatch.setattr(
            kc, "time", SimpleNamespace(sleep=lambda s: self.log.append(("sleep", s)))
        )
        monkeypatch.setattr(kc, "_download_video", self._download)
        monkeypatch.setattr(kc, "_generate_tts", self._tts)
        if os_spy is not None:
            monkeypatch.setattr(kc, "os", OsSpy(self.log, **os_spy))

    def path(self, name):
        return os.path.join(self.out, name)

    def _read_list(self, argv):
        if "concat" in argv:
            with open(argv[argv.index("-i") + 1], newline="") as f:
                self.lists.append(f.read())

    def _download(self, url, output_file):
        self.log.append(("download", url, output_file, os.path.exists(output_file)))
        with open(output_file, "wb") as f:
            f.write(b"fresh source")

    def _tts(self, text, output_file, voice):
        self.log.append(("tts", text, output_file, voice))
        if self.tts_fails_at is not None and output_file.endswith(f"voice_{self.tts_fails_at}.mp3"):
            self.tts_error = RuntimeError("speech service down")
            raise self.tts_error
        with open(output_file, "wb") as f:
            f.write(b"mp3")

    def __call__(self, speed=1.5, voice="Brian"):
        return self.kc.run_kestro("https://youtu.be/abc", self.segments, speed, voice, self.out)

    def left(self):
        return sorted(os.listdir(self.out))


def cut_vector(start, end, video, clip):
    return FFMPEG + ["-ss", start, "-to", end, "-i", video, "-c", "copy", "-an", clip]


def merge_vector(clip, voice, merged):
    return FFMPEG + [
        "-i",
        clip,
        "-i",
        voice,
        "-map",
        "0:v",
        "-map",
        "1:a",
        "-c:v",
        "copy",
        "-c:a",
        "aac",
        "-shortest",
        merged,
    ]


def export_vectors(src, vf, af, final):
    base = FFMPEG + ["-i", src, "-vf", vf, "-af", af, "-c:a", "aac"]
    return (
        base + ["-c:v", "h264_nvenc", "-preset", "p1", "-cq", "23", final],
        base + ["-c:v", "libx264", "-preset", "ultrafast", "-crf", "23", final],
    )


def test_vectors_and_keywords(kc, monkeypatch, tmp_path, capsys):
    p = Pipeline(kc, monkeypatch, tmp_path)
    p(1.5)
    j = p.path
    gpu, cpu = export_vectors(
        j("horizontal_final.mp4"), "setpts=0.666667" + VF_TAIL, "atempo=1.5", j("FINAL_KESTRO.mp4")
    )
    expected = [
        (cut_vector("00:00:05", "00:00:12.5", j("movie.mp4"), j("clip_0.mp4")), {"check": True}),
        (merge_vector(j("clip_0.mp4"), j("voice_0.mp3"), j("merged_0.mp4")), {"check": True}),
        (cut_vector("00:03:40", "00:03:52", j("movie.mp4"), j("clip_1.mp4")), {"check": True}),
        (merge_vector(j("clip_1.mp4"), j("voice_1.mp3"), j("merged_1.mp4")), {"check": True}),
        (
            FFMPEG
            + [
                "-f",
                "concat",
                "-safe",
                "0",
                "-i",
                j("filelist.txt"),
                "-c",
                "copy",
                j("horizontal_final.mp4"),
            ],
            {"check": True},
        ),
        (gpu, {"capture_output": True}),
        (cpu, {"check": True}),
    ]
    assert p.proc.calls == expected
    assert set(p.proc.argv_types) == {list}
    assert [len(v) for v, _ in p.proc.calls] == [14, 18, 14, 18, 13, 19, 19]


def test_printed_lines_and_result(kc, monkeypatch, tmp_path, capsys):
    p = Pipeline(kc, monkeypatch, tmp_path)
    result = p(1.5)
    assert result == p.path("FINAL_KESTRO.mp4")
    assert capsys.readouterr().out.splitlines() == [
        "🎬 Processing 2 segments...",
        "  Segment 1/2: 00:00:05 → 00:00:12.5",
        "  Segment 2/2: 00:03:40 → 00:03:52",
        "🔗 Concatenating segments...",
        "📐 Converting to 9:16 vertical at 1.5x speed...",
        "  (GPU unavailable, using CPU encoder...)",
        "🧹 Cleaning up...",
        "✅ Done! Horizontal Output: " + p.path("horizontal_final.mp4"),
        "✅ Done! Vertical Output: " + p.path("FINAL_KESTRO.mp4"),
    ]
    assert p.left() == ["FINAL_KESTRO.mp4", "horizontal_final.mp4"]


@pytest.mark.parametrize(
    "speed,factor,af,shown",
    [
        (1.0, "1.000000", "atempo=1.0", "1.0"),
        (1.25, "0.800000", "atempo=1.25", "1.25"),
        (1.5, "0.666667", "atempo=1.5", "1.5"),
        (2.0, "0.500000", "atempo=2.0", "2.0"),
        (2, "0.500000", "atempo=2.0", "2.0"),
        (3.0, "0.333333", "atempo=2.0,atempo=1.5000", "3.0"),
        (0.5, "2.000000", "atempo=0.5", "0.5"),
        (0, "inf", "atempo=0.0", "0.0"),
        (-1, "-1.000000", "atempo=-1.0", "-1.0"),
    ],
)
def test_export_filters_by_speed(kc, monkeypatch, tmp_path, capsys, speed, factor, af, shown):
    p = Pipeline(kc, monkeypatch, tmp_path, TWO[:1])
    p(speed)
    gpu, cpu = p.proc.vectors("gpu")[0], p.proc.vectors("cpu")[0]
    for vector in (gpu, cpu):
        assert vector[6:10] == ["-vf", f"setpts={factor}" + VF_TAIL, "-af", af]
    assert (
        f"📐 Converting to 9:16 vertical at {shown}x speed..."
        in capsys.readouterr().out.splitlines()
    )


@pytest.mark.parametrize("returncode", [0, 1, 255, -11])
def test_software_export_only_after_a_failed_attempt(kc, monkeypatch, tmp_path, capsys, returncode):
    p = Pipeline(kc, monkeypatch, tmp_path, TWO[:1], gpu_returncode=returncode)
    p()
    out = capsys.readouterr().out.splitlines()
    export = out.index("📐 Converting to 9:16 vertical at 1.5x speed...")
    if returncode == 0:
        assert p.proc.kinds()[-1] == "gpu"
        assert out[export + 1] == "🧹 Cleaning up..."
    else:
        assert p.proc.kinds()[-2:] == ["gpu", "cpu"]
        assert out[export + 1 : export + 3] == [
            "  (GPU unavailable, using CPU encoder...)",
            "🧹 Cleaning up...",
        ]
    assert "  (GPU unavailable, using CPU encoder...)" not in out[:export]


def test_tempo_chain_comes_from_the_namespace(kc, monkeypatch, tmp_path, capsys):
    seen = []

    def chain(speed):
        seen.append(speed)
        return "atempo=MARK"

    monkeypatch.setattr(kc, "_build_atempo_chain", chain)
    p = Pipeline(kc, monkeypatch, tmp_path, TWO[:1])
    p(2)
    assert seen == [2.0] and type(seen[0]) is float
    assert [v[9] for v in p.proc.vectors("gpu") + p.proc.vectors("cpu")] == ["atempo=MARK"] * 2


def test_order_of_calls_and_deletions(kc, monkeypatch, tmp_path, capsys):
    p = Pipeline(kc, monkeypatch, tmp_path, os_spy={})
    p(voice="Amy")
    j = p.path
    steps = []
    for e in p.log:
        if e[0] == "run":
            steps.append(("run", e[1], os.path.basename(e[2][-1])))
        elif e[0] in ("exists", "remove"):
            steps.append((e[0], os.path.relpath(e[1], p.out)) + e[2:])
        elif e[0] == "tts":
            steps.append(("tts", os.path.basename(e[2]), e[3]))
        else:
            steps.append(e[:2])
    per_segment = lambda i: [
        ("tts", f"voice_{i}.mp3", "Amy"),
        ("sleep", 0.5),
        ("run", "cut", f"clip_{i}.mp4"),
        ("run", "merge", f"merged_{i}.mp4"),
        ("exists", f"clip_{i}.mp4", True),
        ("remove", f"clip_{i}.mp4"),
        ("exists", f"voice_{i}.mp3", True),
        ("remove", f"voice_{i}.mp3"),
    ]
    assert steps == [
        ("exists", "movie.mp4", False),
        ("download", "https://youtu.be/abc"),
        *per_segment(0),
        *per_segment(1),
        ("run", "concat", "horizontal_final.mp4"),
        ("run", "gpu", "FINAL_KESTRO.mp4"),
        ("run", "cpu", "FINAL_KESTRO.mp4"),
        ("exists", "merged_0.mp4", True),
        ("remove", "merged_0.mp4"),
        ("exists", "merged_1.mp4", True),
        ("remove", "merged_1.mp4"),
        ("exists", "filelist.txt", True),
        ("remove", "filelist.txt"),
        ("exists", "movie.mp4", True),
        ("remove", "movie.mp4"),
    ]
    assert p.log[1][2] == j("movie.mp4")


def test_stale_source_is_removed_before_the_download(kc, monkeypatch, tmp_path, capsys):
    p = Pipeline(kc, monkeypatch, tmp_path, TWO[:1], os_spy={})
    with open(p.path("movie.mp4"), "wb") as f:
        f.write(b"stale, maybe even the right video")
    p()
    movie = p.path("movie.mp4")
    assert p.log[:3] == [
        ("exists", movie, True),
        ("remove", movie),
        ("download", "https://youtu.be/abc", movie, False),
    ]


def test_missing_working_file_is_skipped_at_clean_up(kc, monkeypatch, tmp_path, capsys):
    p = Pipeline(kc, monkeypatch, tmp_path, TWO[:1], os_spy={})
    # a narration stand-in that writes nothing, and a merge whose output vanishes
    monkeypatch.setattr(kc, "_generate_tts", lambda text, output_file, voice: None)
    p.proc.after = lambda argv: "-shortest" in argv and os.remove(argv[-1])
    p()
    removed = [os.path.basename(e[1]) for e in p.log if e[0] == "remove"]
    assert removed == ["clip_0.mp4", "filelist.txt", "movie.mp4"]
    assert "✅ Done! Vertical Output: " + p.path("FINAL_KESTRO.mp4") in capsys.readouterr().out


@pytest.mark.parametrize("output_dir", [None, "out", os.path.join("a", "..", "out")])
def test_relative_output_dir_stays_relative(kc, monkeypatch, tmp_path, capsys, output_dir):
    monkeypatch.chdir(tmp_path)
    os.makedirs("a", exist_ok=True)
    p = Pipeline(kc, monkeypatch, tmp_path, TWO[:1], out=output_dir or ".")
    if output_dir is None:
        result = kc.run_kestro("https://youtu.be/abc", p.segments, 1.5, "Brian")
    else:
        result = kc.run_kestro("https://youtu.be/abc", p.segments, 1.5, "Brian", output_dir)
    d = output_dir or "."
    assert result == os.path.join(d, "FINAL_KESTRO.mp4")
    assert not os.path.isabs(result)
    cut = p.proc.vectors("cut")[0]
    assert (cut[9], cut[-1]) == (os.path.join(d, "movie.mp4"), os.path.join(d, "clip_0.mp4"))
    # only the list entries are made absolute (and normalised)
    real_dir = os.getcwd() if output_dir is None else os.path.join(os.getcwd(), "out")
    assert p.lists == [f"file '{os.path.join(real_dir, 'merged_0.mp4')}'\n"]
    assert capsys.readouterr().out.splitlines()[-2:] == [
        "✅ Done! Horizontal Output: " + os.path.join(d, "horizontal_final.mp4"),
        "✅ Done! Vertical Output: " + result,
    ]


def test_empty_segment_list(kc, monkeypatch, tmp_path, capsys):
    p = Pipeline(kc, monkeypatch, tmp_path, [])
    p()
    assert capsys.readouterr().out.splitlines()[:2] == [
        "🎬 Processing 0 segments...",
        "🔗 Concatenating segments...",
    ]
    assert p.lists == [""]
    assert p.proc.kinds() == ["concat", "gpu", "cpu"]


def test_eleventh_segment_uses_index_10(kc, monkeypatch, tmp_path, capsys):
    segs = [{"start": str(i), "end": str(i + 1), "voiceover": f"n{i}"} for i in range(11)]
    p = Pipeline(kc, monkeypatch, tmp_path, segs)
    p()
    out = capsys.readouterr().out.splitlines()
    assert out[11] == "  Segment 11/11: 10 → 11"
    assert p.proc.vectors("cut")[10][-1] == p.path("clip_10.mp4")
    assert p.proc.vectors("merge")[10][5:8] == [p.path("clip_10.mp4"), "-i", p.path("voice_10.mp3")]
    assert p.lists == ["".join(f"file '{p.path(f'merged_{i}.mp4')}'\n" for i in range(11))]


def _is(kind, output=None):
    return lambda argv: kind_of(argv) == kind and (output is None or argv[-1].endswith(output))


FAILURES = {
    "narration": ({"tts_fails_at": 1}, ["merged_0.mp4", "movie.mp4"]),
    "cut": ({"fail": _is("cut", "clip_1.mp4")}, ["merged_0.mp4", "movie.mp4", "voice_1.mp3"]),
    "merge": (
        {"fail": _is("merge", "merged_1.mp4")},
        ["clip_1.mp4", "merged_0.mp4", "movie.mp4", "voice_1.mp3"],
    ),
    "concat": (
        {"fail": _is("concat")},
        ["filelist.txt", "merged_0.mp4", "merged_1.mp4", "movie.mp4"],
    ),
    "export": (
        {"fail": _is("cpu")},
        ["filelist.txt", "horizontal_final.mp4", "merged_0.mp4", "merged_1.mp4", "movie.mp4"],
    ),
}


@pytest.mark.parametrize("how,left", FAILURES.values(), ids=FAILURES.keys())
def test_what_a_failure_leaves_on_disk(kc, monkeypatch, tmp_path, capsys, how, left):
    p = Pipeline(kc, monkeypatch, tmp_path, **how)
    with pytest.raises(Exception) as info:
        p()
    assert info.value is (p.tts_error or p.proc.raised)  # unchanged, not wrapped
    assert p.left() == left
    out = capsys.readouterr().out
    assert "🧹" not in out and "✅" not in out
    # nothing ran after the failing step
    if "fail" in how:
        assert how["fail"](p.proc.calls[-1][0])
    else:
        assert p.log[-1][0] == "tts" and p.proc.kinds() == ["cut", "merge"]


def test_refused_removal_at_clean_up(kc, monkeypatch, tmp_path, capsys):
    p = Pipeline(kc, monkeypatch, tmp_path, os_spy={"refuse": ("filelist.txt",)})
    with pytest.raises(PermissionError):
        p()
    assert p.left() == ["FINAL_KESTRO.mp4", "filelist.txt", "horizontal_final.mp4", "movie.mp4"]
    assert "✅" not in capsys.readouterr().out


def _open_fds_on(path):
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == path:
                found.append(fd)
        except OSError:  # the descriptor of the listing itself
            pass
    return found


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")
def test_failure_while_writing_the_list(kc, monkeypatch, tmp_path, capsys):
    # a directory name that is not valid UTF-8 reaches Python with a lone
    # surrogate, which the list file's text encoding refuses to write
    out = os.path.join(tmp_path, os.fsdecode(b"bad\xff"))
    p = Pipeline(kc, monkeypatch, tmp_path, out=out)
    with pytest.raises(UnicodeEncodeError) as info:
        p()
    # closed before the exception left
    assert _open_fds_on(p.path("filelist.txt")) == []
    names = [fs.name for fs in traceback.extract_tb(info.value.__traceback__)]
    assert names.count("kestro_core.kestro_core.run_kestro") == 2
    assert "concat" not in p.proc.kinds()
    assert p.left() == ["filelist.txt", "merged_0.mp4", "merged_1.mp4", "movie.mp4"]


def test_merged_files_of_an_earlier_run_beyond_the_count(kc, monkeypatch, tmp_path, capsys):
    p = Pipeline(kc, monkeypatch, tmp_path, TWO[:1], os_spy={})
    for i in (1, 2):
        with open(p.path(f"merged_{i}.mp4"), "wb") as f:
            f.write(b"from an earlier run")
    p()
    assert p.lists == [f"file '{p.path('merged_0.mp4')}'\n"]
    touched = {os.path.basename(e[1]) for e in p.log if e[0] in ("exists", "remove")}
    assert not touched & {"merged_1.mp4", "merged_2.mp4"}
    assert p.left() == ["FINAL_KESTRO.mp4", "horizontal_final.mp4", "merged_1.mp4", "merged_2.mp4"]
