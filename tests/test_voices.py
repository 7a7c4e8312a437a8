"""Local voices: real espeak-ng, real piper with the bundled voice, real ffmpeg."""

import json
import os
import shutil
import subprocess
import sys
from array import array

import pytest

from kestro_core.speech.base import Speaker, VoiceError
from kestro_core.speech.piper import default_piper_voice, piper_voices
from kestro_core.speech.voices import open_voice, voice_problems
from kestro_core.store.cache import Cache
from kestro_core.studio.session import Narrations, VoiceChoice


def _piper_importable():
    try:
        import piper  # noqa: F401
    except ImportError:
        return False
    return default_piper_voice() is not None


needs_piper = pytest.mark.skipif(
    not _piper_importable(), reason="piper or its bundled voice cannot be imported"
)
ENGINES = ["espeak-ng", pytest.param("piper", marks=needs_piper)]


@pytest.fixture(scope="module")
def opened():
    made = {}
    yield made
    for voice in made.values():
        voice.close()


@pytest.fixture(params=ENGINES)
def voice(request, opened):
    if request.param not in opened:
        opened[request.param] = open_voice(request.param, None)
    return opened[request.param]


def probe(path):
    """(codec, seconds, peak sample) of an audio file, read back through ffprobe/ffmpeg."""
    info = json.loads(
        subprocess.run(
            [
                "ffprobe",
                "-v",
                "error",
                "-show_entries",
                "format=duration:stream=codec_name",
                "-of",
                "json",
                str(path),
            ],
            capture_output=True,
            text=True,
            timeout=30,
            check=True,
        ).stdout
    )
    pcm = subprocess.run(
        ["ffmpeg", "-v", "error", "-nostdin", "-i", str(path), "-f", "s16le", "-ac", "1", "-"],
        capture_output=True,
        timeout=30,
        check=True,
    ).stdout
    samples = array("h", pcm[: len(pcm) // 2 * 2])
    peak = max((abs(s) for s in samples), default=0)
    return info["streams"][0]["codec_name"], float(info["format"]["duration"]), peak


def test_speaks_a_real_mp3(voice, tmp_path):
    out = tmp_path / "voice_0.mp3"
    voice.synthesize("The quick brown fox jumps over the lazy dog, then rests.", str(out))
    codec, seconds, peak = probe(out)
    assert codec == "mp3"
    assert 1.5 < seconds < 8, seconds
    assert peak > 1000, "the narration is silent"
    assert os.listdir(tmp_path) == ["voice_0.mp3"]


@pytest.mark.parametrize(
    "text",
    [
        "🎬🎉 a clapper board",
        "tab\there\x00nul\x07bell\x1b[31m escape",
        "[[ h ə l oʊ ]] in brackets",
        "\u202eright to left\u200d joined",
        "lone \ud800 surrogate",
        "﷽ 𒀀 \U000e0001 \U0010fffd",
        "...",
    ],
)
def test_odd_text_still_makes_an_mp3(voice, tmp_path, text):
    out = tmp_path / "odd.mp3"
    voice.synthesize(text, str(out))
    codec, seconds, _ = probe(out)
    assert codec == "mp3" and seconds > 0


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "the narration is empty"),
        (" \n\t ", "the narration is empty"),
        ("\x00\x01\x1b", "nothing to speak"),
    ],
)
def test_nothing_to_speak_is_refused(voice, tmp_path, text, message):
    out = tmp_path / "voice_0.mp3"
    with pytest.raises(VoiceError, match=message):
        voice.synthesize(text, str(out))
    assert os.listdir(tmp_path) == []


def test_interrupt_and_hard_link_leave_other_files_alone(opened, tmp_path, monkeypatch):
    voice = opened.setdefault("espeak-ng", open_voice("espeak-ng", None))
    keep, out = tmp_path / "cached.mp3", tmp_path / "voice_0.mp3"
    keep.write_bytes(b"older narration")
    os.link(keep, out)
    real_run = subprocess.run

    def interrupted(argv, *args, **kwargs):
        done = real_run(argv, *args, **kwargs)
        if os.path.basename(argv[0]) == "ffmpeg":
            assert os.path.exists(argv[-1].removeprefix("file:"))
            raise KeyboardInterrupt
        return done

    monkeypatch.setattr(subprocess, "run", interrupted)
    with pytest.raises(KeyboardInterrupt):
        voice.synthesize("Interrupted while encoding.", str(out))
    assert sorted(os.listdir(tmp_path)) == ["cached.mp3", "voice_0.mp3"]
    assert out.read_bytes() == b"older narration"

    monkeypatch.setattr(subprocess, "run", real_run)
    voice.synthesize("Spoken over the link.", str(out))
    assert keep.read_bytes() == b"older narration"
    assert probe(out)[0] == "mp3"


@needs_piper
def test_piper_model_is_loaded_once_per_voice(tmp_path, monkeypatch):
    import onnxruntime

    loads = []
    real_session = onnxruntime.InferenceSession

    def counting(*args, **kwargs):
        loads.append(args[0] if args else kwargs.get("path_or_bytes"))
        return real_session(*args, **kwargs)

    monkeypatch.setattr(onnxruntime, "InferenceSession", counting)
    with open_voice("piper", None) as voice:
        for n in range(3):
            voice.synthesize(f"Narration number {n}.", str(tmp_path / f"voice_{n}.mp3"))
    assert len(loads) == 1
    with pytest.raises(RuntimeError, match="closed"):
        voice.synthesize("After closing.", str(tmp_path / "late.mp3"))


@needs_piper
def test_piper_identity_follows_the_model_bytes(tmp_path):
    bundled = default_piper_voice()
    vdir = tmp_path / "voices"
    vdir.mkdir()
    model = vdir / "copy.onnx"
    shutil.copyfile(bundled, model)
    shutil.copyfile(bundled + ".json", str(model) + ".json")
    memo = tmp_path / "memo" / "hashes.json"

    with open_voice("piper", "copy", str(vdir), hash_memo=str(memo)) as voice:
        first = voice.identity
        assert voice.name == "copy"
    (entry,) = json.loads(memo.read_text()).values()
    assert entry["sha256"] in first.split("\0")

    # a byte in the middle of the weights: the model still loads, but sounds different
    with open(model, "r+b") as f:
        f.seek(os.path.getsize(model) // 2)
        byte = f.read(1)
        f.seek(-1, os.SEEK_CUR)
        f.write(bytes([byte[0] ^ 0x01]))
    with open_voice("piper", str(model), hash_memo=str(memo)) as voice:
        second = voice.identity
    assert second != first

    # an unchanged file (same path, size and time) is not hashed again
    stat = os.stat(model)
    memo.write_text(
        json.dumps(
            {
                os.path.realpath(model): {
                    "size": stat.st_size,
                    "mtime_ns": stat.st_mtime_ns,
                    "sha256": "remembered",
                }
            }
        )
    )
    with open_voice("piper", str(model), hash_memo=str(memo)) as voice:
        assert "remembered" in voice.identity.split("\0")


def _no_config(tmp):
    (tmp / "lone.onnx").write_bytes(b"model")
    return str(tmp / "lone.onnx"), None


def _bad_config(content):
    def setup(tmp):
        (tmp / "odd.onnx").write_bytes(b"model")
        (tmp / "odd.onnx.json").write_text(content)
        return str(tmp / "odd.onnx"), None

    return setup


def _name_not_in_dir(tmp):
    for name in ("other.onnx", "other.onnx.json"):
        (tmp / name).write_text("{}")
    return "missing", str(tmp)


def _no_espeak(monkeypatch, tmp):
    monkeypatch.setenv("PATH", str(tmp))


def _no_piper(monkeypatch, tmp):
    monkeypatch.setitem(sys.modules, "piper", None)


@pytest.mark.parametrize(
    "engine, setup, patch, message",
    [
        ("festival", lambda t: (None, None), None, "unknown speech engine 'festival': choose one"),
        ("piper", lambda t: (str(t / "gone.onnx"), None), None, "gone.onnx' does not exist"),
        ("piper", _no_config, None, "has no lone.onnx.json beside"),
        ("piper", _bad_config("{"), None, "not valid JSON"),
        (
            "piper",
            _bad_config(
                json.dumps(
                    {
                        "audio": {"sample_rate": 16000},
                        "espeak": {"voice": "zh"},
                        "phoneme_id_map": {},
                        "num_symbols": 1,
                        "num_speakers": 1,
                        "phoneme_type": "pinyin",
                    }
                )
            ),
            None,
            "phoneme type 'pinyin'",
        ),
        ("piper", _name_not_in_dir, None, "'missing' is not in .* it holds: other"),
        ("piper", lambda t: ("missing", None), None, "no voices directory was given"),
        ("piper", lambda t: (None, None), _no_piper, r"pip install 'kestro_core\[piper\]'"),
        ("espeak-ng", lambda t: ("xx-nowhere", None), None, "does not know the voice 'xx-nowhere'"),
        ("espeak-ng", lambda t: ("-x", None), None, "not an espeak-ng voice name"),
        ("espeak-ng", lambda t: (None, None), _no_espeak, "apt-get install espeak-ng"),
    ],
)
def test_unusable_voice_is_one_clear_problem(tmp_path, monkeypatch, engine, setup, patch, message):
    voice, voice_dir = setup(tmp_path)
    if patch is not None:
        patch(monkeypatch, tmp_path)
    (problem,) = voice_problems(engine, voice, voice_dir)
    assert "\n" not in problem
    with pytest.raises(VoiceError, match=message):
        open_voice(engine, voice, voice_dir)


def test_module_imports_without_the_piper_extra():
    code = (
        "import sys; sys.modules.update(piper=None, onnxruntime=None, numpy=None); "
        "import kestro_core.speech.voices as v; print(v.voice_problems('piper', None))"
    )
    done = subprocess.run(
        [sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert "pip install 'kestro_core[piper]'" in done.stdout


def test_piper_voices_lists_complete_voices(tmp_path):
    for name in (
        "b.onnx",
        "b.onnx.json",
        "a.onnx",
        "a.onnx.json",
        "half.onnx",
        "only.onnx.json",
        "notes.txt",
    ):
        (tmp_path / name).write_text("")
    assert piper_voices(str(tmp_path)) == ["a", "b"]
    assert piper_voices(str(tmp_path / "absent")) == []


class Held(Speaker):
    """A speaker that only records whether it was let go."""

    closed = False

    def synthesize(self, text, output_file):
        raise AssertionError("nothing is spoken here")

    def close(self):
        self.closed = True


def test_speakers_are_closed_by_with_and_by_the_studio_stopping(tmp_path, monkeypatch):
    with Held() as held:
        assert (held.local, held.name, held.last_timing) == (True, "", None)
    assert held.closed

    opened = []
    monkeypatch.setattr(
        "kestro_core.studio.session.open_speaker",
        lambda *a, **k: opened.append(Held()) or opened[-1],
    )
    choices = [VoiceChoice("espeak-ng", None, None, "a"), VoiceChoice("espeak-ng", "de", None, "b")]
    narrations = Narrations(choices, Cache(str(tmp_path), enabled=False))
    for index in (0, 1):
        assert (
            narrations.submit(lambda i=index: narrations.length(i, "Not cached.", False)).result()
            is None
        )
    assert [s.closed for s in opened] == [False, False]
    narrations.close(wait=True)
    assert [s.closed for s in opened] == [True, True]


@needs_piper
def test_plan_notes_estimated_timings_only_for_a_narration_that_has_them(tmp_path):
    pytest.importorskip("onnx", reason="piper tells word timings only with onnx")
    import kestro_core
    from tests.support.media import make_source_video

    source = tmp_path / "source.mp4"
    make_source_video(source, duration=4)
    doc = [
        {"start": "0", "end": "2", "voiceover": "Hello there.", "sound": "original"},
        {"start": "2", "end": "4", "voiceover": "The second one speaks."},
    ]
    seg = tmp_path / "segments.json"
    seg.write_text(json.dumps(doc))
    planned = kestro_core.plan(
        str(seg), 1.0, source=str(source), speech="piper", cache_dir=str(tmp_path / "c")
    )
    assert planned.segments[1].word_timing == "voice"
    assert not [n for n in planned.notes if "word timings are estimated" in n]
