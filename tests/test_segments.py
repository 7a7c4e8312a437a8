"""Reading the segments file inside run_kestro: what each fault raises, and when."""

import gc
import json
import os
import subprocess
import sys
import textwrap
import traceback
import warnings
from types import SimpleNamespace

import pytest

from tests.support.media import RecordingSubprocess

RUN_KESTRO = "kestro_core.kestro_core.run_kestro"
HEADER_1 = "🎬 Processing 1 segments..."


class Run:
    """One run_kestro call into tmp_path/out with the services, ``time`` and
    ``subprocess`` replaced; every call lands in ``log`` in order."""

    def __init__(self, kc, monkeypatch, tmp_path, *, real_tts=False, real_subprocess=False):
        self.kc = kc
        self.log = []
        self.out = tmp_path / "out"
        self.out.mkdir()
        self.segments = tmp_path / "segments.json"
        self.proc = RecordingSubprocess(self.log, real=real_subprocess)
        monkeypatch.setattr(kc, "subprocess", self.proc)
        monkeypatch.setattr(
            kc, "time", SimpleNamespace(sleep=lambda s: self.log.append(("sleep", s)))
        )
        monkeypatch.setattr(kc, "_download_video", self._download)
        if real_tts:
            # the real narration client's argument check is what is under test;
            # it must never get as far as a request
            monkeypatch.setattr(kc, "requests", None)
        else:
            monkeypatch.setattr(kc, "_generate_tts", self._tts)

    def _download(self, url, output_file):
        self.log.append(("download", url, output_file))
        with open(output_file, "wb") as f:
            f.write(b"source video")

    def _tts(self, text, output_file, voice):
        self.log.append(("tts", text, output_file, voice))
        with open(output_file, "wb") as f:
            f.write(b"mp3")

    def write(self, content):
        if isinstance(content, str):
            content = content.encode()
        self.segments.write_bytes(content)

    def __call__(self, speed=1.5):
        return self.kc.run_kestro(
            "https://youtu.be/x", str(self.segments), speed, "Brian", str(self.out)
        )

    def events(self, *names):
        return [e for e in self.log if e[0] in names]

    def left(self):
        return sorted(os.listdir(self.out))


def seg(start="00:00:01", end="00:00:02", voiceover="Hello.", **extra):
    return dict({"start": start, "end": end, "voiceover": voiceover}, **extra)


def module_entries(exc):
    return [fs.name for fs in traceback.extract_tb(exc.__traceback__)].count(RUN_KESTRO)


# Faults met while loading: nothing is printed, the download has happened
# already and "movie.mp4" stays.
LOAD_FAULTS = {
    "missing file": (None, FileNotFoundError, None),
    "invalid utf-8": (b'[{"start": "\xff\xfe"}]', UnicodeDecodeError, None),
    "byte-order mark": (
        b"\xef\xbb\xbf" + json.dumps([seg()]).encode(),
        json.JSONDecodeError,
        "BOM",
    ),
    "bad json": (b'[{"start": "1",}]', json.JSONDecodeError, None),
    "truncated": (b'[{"start": "1"', json.JSONDecodeError, None),
    "top-level number": (b"5", TypeError, "has no len"),
    "top-level true": (b"true", TypeError, "has no len"),
    "top-level false": (b"false", TypeError, "has no len"),
    "top-level null": (b"null", TypeError, "has no len"),
}


@pytest.mark.parametrize("content,exc_type,match", LOAD_FAULTS.values(), ids=LOAD_FAULTS.keys())
def test_fault_while_loading(kc, monkeypatch, tmp_path, capsys, content, exc_type, match):
    run = Run(kc, monkeypatch, tmp_path)
    if content is not None:
        run.write(content)
    with pytest.raises(exc_type, match=match):
        run()
    assert capsys.readouterr().out == ""
    assert [e[0] for e in run.log] == ["download"]
    assert run.left() == ["movie.mp4"]


# Faults met while walking the list: (content, exception, match, printed lines
# after the header).
WALK_FAULTS = {
    "object at top level": ({"start": "1", "end": "2"}, TypeError, "string indices", []),
    "string at top level": ("abc", TypeError, "string indices", []),
    "element is an array": ([["1", "2"]], TypeError, None, []),
    "element is a number": ([7], TypeError, None, []),
    "element is a string": (["00:00:01"], TypeError, None, []),
    "element is null": ([None], TypeError, None, []),
    "start missing": ([{"end": "2", "voiceover": "x"}], KeyError, "start", []),
    "end missing": ([{"start": "1", "voiceover": "x"}], KeyError, "end", []),
    "Start in capitals": (
        [{"Start": "1", "start ": "1", "end": "2", "voiceover": "x"}],
        KeyError,
        "'start'",
        [],
    ),
    "voiceover missing": (
        [{"start": "1", "end": "2", "Voiceover": "x"}],
        KeyError,
        "voiceover",
        ["  Segment 1/1: 1 → 2"],
    ),
}


@pytest.mark.parametrize("doc,exc_type,match,lines", WALK_FAULTS.values(), ids=WALK_FAULTS.keys())
def test_fault_while_walking(kc, monkeypatch, tmp_path, capsys, doc, exc_type, match, lines):
    run = Run(kc, monkeypatch, tmp_path)
    run.write(json.dumps(doc))
    with pytest.raises(exc_type, match=match) as info:
        run()
    if exc_type is KeyError:
        assert info.value.args == (match.strip("'"),)
    header = f"🎬 Processing {len(doc)} segments..."
    assert capsys.readouterr().out.splitlines() == [header] + lines
    # nothing was narrated or cut
    assert [e[0] for e in run.log] == ["download"]
    assert run.left() == ["movie.mp4"]


def test_fault_in_a_later_segment_comes_after_the_earlier_ones(kc, monkeypatch, tmp_path, capsys):
    run = Run(kc, monkeypatch, tmp_path)
    run.write(
        json.dumps(
            [seg("1", "2", "one"), seg("3", "4", "two"), {"start": "5", "voiceover": "three"}]
        )
    )
    with pytest.raises(KeyError, match="end"):
        run()
    assert capsys.readouterr().out.splitlines() == [
        "🎬 Processing 3 segments...",
        "  Segment 1/3: 1 → 2",
        "  Segment 2/3: 3 → 4",
    ]
    assert [e[1] for e in run.events("tts")] == ["one", "two"]
    assert run.proc.kinds() == ["cut", "merge", "cut", "merge"]
    assert run.left() == ["merged_0.mp4", "merged_1.mp4", "movie.mp4"]


@pytest.mark.parametrize(
    "voiceover,type_name", [(7, "int"), (None, "NoneType"), (["hi"], "list"), (1.5, "float")]
)
def test_voiceover_not_a_string(kc, monkeypatch, tmp_path, capsys, voiceover, type_name):
    run = Run(kc, monkeypatch, tmp_path, real_tts=True)
    run.write(json.dumps([seg("00:00:01", "00:00:03", voiceover)]))
    with pytest.raises(TypeError) as info:
        run()
    assert str(info.value) == f"Argument 'text' has incorrect type (expected str, got {type_name})"
    assert capsys.readouterr().out.splitlines() == [HEADER_1, "  Segment 1/1: 00:00:01 → 00:00:03"]
    assert run.events("sleep", "run") == []
    assert run.left() == ["movie.mp4"]


@pytest.mark.parametrize(
    "start,end,shown",
    [
        (65, "70", "65 → 70"),
        (65.5, "70", "65.5 → 70"),
        ("60", 70.25, "60 → 70.25"),
        (None, "70", "None → 70"),
        (True, "70", "True → 70"),
    ],
)
def test_non_string_time_fails_at_the_cut(kc, monkeypatch, tmp_path, capsys, start, end, shown):
    # the real launcher refuses the vector before any child starts
    run = Run(kc, monkeypatch, tmp_path, real_subprocess=True)
    run.write(json.dumps([seg(start, end, "Narrated anyway.")]))
    with pytest.raises(TypeError):
        run()
    assert capsys.readouterr().out.splitlines() == [HEADER_1, f"  Segment 1/1: {shown}"]
    voice = os.path.join(run.out, "voice_0.mp3")
    assert [e[0] for e in run.log] == ["download", "tts", "sleep", "run"]
    assert run.log[1] == ("tts", "Narrated anyway.", voice, "Brian")
    assert run.log[2] == ("sleep", 0.5)
    cut = run.log[3][2]
    assert (cut[5], cut[7]) == (start, end)  # passed on unconverted
    assert run.left() == ["movie.mp4", "voice_0.mp3"]


@pytest.mark.parametrize("doc", [[], {}, ""], ids=["array", "object", "string"])
def test_empty_document_runs_with_no_segments(kc, monkeypatch, tmp_path, capsys, doc):
    run = Run(kc, monkeypatch, tmp_path)
    run.write(json.dumps(doc))
    run()
    out = capsys.readouterr().out.splitlines()
    assert out[:2] == ["🎬 Processing 0 segments...", "🔗 Concatenating segments..."]
    assert run.events("tts", "sleep") == []
    assert run.proc.kinds() == ["concat", "gpu", "cpu"]


def test_worked_example(kc, monkeypatch, tmp_path, capsys):
    run = Run(kc, monkeypatch, tmp_path)
    doc = [
        {
            "comment": "opening",
            "voiceover": "A stranger walks into the town.",
            "end": "00:00:12.5",
            "start": "00:00:05",
        },
        {"start": "00:03:40", "end": "00:03:52", "voiceover": "Nobody expects what happens next."},
    ]
    run.write(json.dumps(doc, ensure_ascii=False))
    run()
    out = capsys.readouterr().out.splitlines()
    assert out[:3] == [
        "🎬 Processing 2 segments...",
        "  Segment 1/2: 00:00:05 → 00:00:12.5",
        "  Segment 2/2: 00:03:40 → 00:03:52",
    ]
    voices = [os.path.join(run.out, f"voice_{i}.mp3") for i in range(2)]
    assert run.events("tts") == [
        ("tts", "A stranger walks into the town.", voices[0], "Brian"),
        ("tts", "Nobody expects what happens next.", voices[1], "Brian"),
    ]
    cuts = run.proc.vectors("cut")
    assert [(c[5], c[7], os.path.basename(c[-1])) for c in cuts] == [
        ("00:00:05", "00:00:12.5", "clip_0.mp4"),
        ("00:03:40", "00:03:52", "clip_1.mp4"),
    ]


def test_time_texts_reach_the_cut_as_written(kc, monkeypatch, tmp_path, capsys):
    times = [("65.5", "70"), ("01:05.5", "01:10"), ("00:01:05.500", "00:01:10.000"), ("9", "3")]
    run = Run(kc, monkeypatch, tmp_path)
    run.write(json.dumps([seg(s, e, f"n{i}") for i, (s, e) in enumerate(times)]))
    run()
    lines = capsys.readouterr().out.splitlines()[1:5]
    assert lines == [f"  Segment {i + 1}/4: {s} → {e}" for i, (s, e) in enumerate(times)]
    assert [(c[5], c[7]) for c in run.proc.vectors("cut")] == times


def test_non_ascii_text_is_read_as_utf8(kc, monkeypatch, tmp_path, capsys):
    run = Run(kc, monkeypatch, tmp_path)
    run.write(json.dumps([seg("1", "2", "Ça coûte 5 €, 東京")], ensure_ascii=False).encode("utf-8"))
    run()
    assert run.events("tts")[0][1] == "Ça coûte 5 €, 東京"


def _open_fds_on(path):
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == str(path):
                found.append(fd)
        except OSError:
            pass
    return found


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc/self/fd")
@pytest.mark.parametrize(
    "content",
    [b"[1, 2", b'["\xc3\x28"]', b"\xef\xbb\xbf[]", b"42"],
    ids=["bad json", "invalid utf-8", "byte-order mark", "number"],
)
def test_segments_file_is_closed_on_failure(kc, monkeypatch, tmp_path, capsys, content):
    run = Run(kc, monkeypatch, tmp_path)
    run.write(content)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(Exception) as info:
            run()
        # checked while the exception and its traceback are still alive
        assert _open_fds_on(run.segments) == []
        del info
        gc.collect()
    assert [
        w
        for w in caught
        if issubclass(w.category, ResourceWarning) and str(run.segments) in str(w.message)
    ] == []


@pytest.mark.parametrize(
    "content,exc_type,entries",
    [
        (b"[1, 2", json.JSONDecodeError, 2),
        (b'["\xc3\x28"]', UnicodeDecodeError, 2),
        (b"\xef\xbb\xbf[]", json.JSONDecodeError, 2),
        (b"42", TypeError, 1),
        (b'[{"end": "1"}]', KeyError, 1),
    ],
    ids=["bad json", "invalid utf-8", "byte-order mark", "after closing", "in the loop"],
)
def test_traceback_entries(kc, monkeypatch, tmp_path, capsys, content, exc_type, entries):
    run = Run(kc, monkeypatch, tmp_path)
    run.write(content)
    with pytest.raises(exc_type) as info:
        run()
    frames = traceback.extract_tb(info.value.__traceback__)
    names = [fs.name for fs in frames]
    assert names.count(RUN_KESTRO) == entries
    first = names.index(RUN_KESTRO)
    # adjacent; for a parse failure the json module's own frames follow them
    assert names[first : first + entries] == [RUN_KESTRO] * entries
    if entries == 2:
        assert names[first + 2] == "load"
    assert all(fs.lineno and fs.lineno > 0 for fs in frames[first : first + entries])


def test_opener_that_swallows_the_parse_error(tmp_path):
    """`open` is taken from builtins at import; an opener whose __exit__ swallows the
    failure of json.load leaves no segments: the error Python itself would give."""
    script = textwrap.dedent("""
        import builtins, json, linecache, tokenize, traceback
        real_open = builtins.open
        class Swallowing:
            def __init__(self, *a, **k): self.f = real_open(*a, **k)
            def __enter__(self): return self.f
            def __exit__(self, *exc): self.f.close(); return True
        builtins.open = Swallowing
        import kestro_core.kestro_core as kc
        builtins.open = real_open
        real_open("bad.json", "w").write("[")
        kc._download_video = lambda url, out: None
        try:
            kc.run_kestro("u", "bad.json", 1.5, "v", ".")
        except UnboundLocalError as exc:
            print(exc)
            print([fs.name for fs in traceback.extract_tb(exc.__traceback__)][-1])
    """)
    child = subprocess.run(
        [sys.executable, "-P", "-c", script],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert child.returncode == 0, child.stderr[-2000:]
    assert child.stdout.splitlines() == [
        "cannot access local variable 'segments' where it is not associated with a value",
        "kestro_core.kestro_core.run_kestro",
    ]
