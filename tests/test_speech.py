"""_generate_tts against the local stand-in speech service.

The request goes through the real ``requests``, routed from the fixed https
origin to the loopback stand-in, which answers fixed MP3-looking bytes so no
synthesis runs.
"""

import base64
import binascii

import pytest
import requests

from demo.standin import OMIT, StandIn
from tests.support.entries import module_entries as entries_of

URL = "https://voicecast.example/api/generate-audio-frontend"
HEADERS = [
    ("accept", "*/*"),
    ("content-type", "application/json"),
    ("origin", "https://voicecast.example"),
    ("referer", "https://voicecast.example/text-to-speech/"),
    ("user-agent", "Mozilla/5.0"),
]
MP3 = b"ID3\x04\x00\x00\x00\x00\x00\x00\xff\xfb\x90\x64" + bytes(range(256)) * 4
B64 = base64.b64encode(MP3).decode("ascii")
OLD = b"an older narration, longer than some of the answers"
ENTRY_NAME = "kestro_core.kestro_core._generate_tts"


@pytest.fixture
def standin():
    with StandIn(make_mp3=lambda text, voice: MP3) as s:
        yield s


@pytest.fixture
def out(tmp_path):
    return tmp_path / "voice_0.mp3"


def module_entries(exc):
    import kestro_core.kestro_core as kc

    return entries_of(exc, kc._generate_tts)


@pytest.mark.parametrize(
    "text, voice",
    [
        ("A stranger walks into the town.", "en-US-AriaNeural"),
        ("", ""),
        ("  padded  \n second line\t", "de-DE voice"),
        ('Ünïcödé → 🎬 "quoted" \\ back', "ja-JP-ナナミ"),
    ],
)
def test_request_is_sent_exactly(kc, standin, routed, out, text, voice):
    assert kc._generate_tts(text, str(out), voice) is None

    (call,) = routed.calls
    assert (call.method, call.url, call.args) == ("post", URL, ())
    assert list(call.kwargs) == ["json", "headers", "timeout"]
    assert list(call.kwargs["json"].items()) == [("text", text), ("voice", voice)]
    assert list(call.kwargs["headers"].items()) == HEADERS
    assert type(call.kwargs["timeout"]) is int and call.kwargs["timeout"] == 60

    (hit,) = standin.speech_hits
    assert hit.target == "/api/generate-audio-frontend"
    assert hit.json(object_pairs_hook=list) == [("text", text), ("voice", voice)]
    assert [(name, hit.header(name)) for name, _ in HEADERS] == HEADERS
    assert out.read_bytes() == MP3


@pytest.mark.parametrize(
    "audio_data, expected",
    [
        (B64, MP3),
        ("data:audio/mpeg;base64," + B64, MP3),
        ("data:audio/wav;base64," + B64, MP3),
        ("data:audio/x-anything+else;base64," + B64, MP3),
        # greedy: everything up to the last ";base64," of the first line goes
        ("data:audio/mpeg;base64,data:audio/mpeg;base64," + B64, MP3),
        ("data:audio/mpeg;base64,", b""),
        ("", b""),
        # not an audio data URL: the prefix's letters are decoded with the audio
        ("data:text/plain;base64," + B64, base64.b64decode("datatext/plainbase64") + MP3),
        ("DATA:AUDIO/MPEG;BASE64," + B64, base64.b64decode("DATAAUDIO/MPEGBASE64") + MP3),
        ("data:audio/;base64," + B64, base64.b64decode("dataaudio/base64") + MP3),
        # the prefix must stand at the very start of the text
        ("\ndata:audio/mpeg;base64," + B64, base64.b64decode("dataaudio/mpegbase64") + MP3),
        # characters outside the Base64 alphabet are skipped, not rejected
        ("\n".join(B64[i : i + 76] for i in range(0, len(B64), 76)), MP3),
        (
            "data:audio/mpeg;base64,"
            + "\r\n".join(B64[i : i + 64] for i in range(0, len(B64), 64)),
            MP3,
        ),
        (" \t" + " ".join(B64[i : i + 4] for i in range(0, len(B64), 4)) + " !*#", MP3),
    ],
)
def test_audio_data_is_decoded_into_the_file(kc, standin, routed, out, audio_data, expected):
    out.write_bytes(OLD)
    standin.audio_data = audio_data
    kc._generate_tts("Hello.", str(out), "en-US")
    assert out.read_bytes() == expected


@pytest.mark.parametrize("audio_data", ["QUJDR", "QQ", "data:audio/mpeg;base64,QUJ", "Q==="])
@pytest.mark.parametrize("existing", [False, True])
def test_malformed_base64_leaves_an_empty_file(kc, standin, routed, out, audio_data, existing):
    if existing:
        out.write_bytes(OLD)
    standin.audio_data = audio_data
    with pytest.raises(binascii.Error) as ei:
        kc._generate_tts("Hello.", str(out), "en-US")

    assert out.read_bytes() == b""
    # one entry for the failing statement, one for the with-statement it left
    assert len(module_entries(ei.value)) == 2


@pytest.mark.parametrize("status", [201, 202, 204, 206, 404, 500, 503])
def test_only_status_200_is_accepted(kc, standin, routed, out, status):
    standin.speech_status = status
    with pytest.raises(Exception) as ei:
        kc._generate_tts("Hello.", str(out), "en-GB-RyanNeural")

    assert type(ei.value) is Exception
    assert ei.value.args == (f"TTS failed for voice en-GB-RyanNeural: HTTP {status}",)
    assert not out.exists()
    assert len(module_entries(ei.value)) == 1


@pytest.mark.parametrize("voice", ["", 'it\'s "quoted"', "Ünï 🎬", "  spaced  "])
def test_failure_message_carries_the_voice_verbatim(kc, standin, routed, out, voice):
    standin.speech_status = 500
    with pytest.raises(Exception) as ei:
        kc._generate_tts("Hello.", str(out), voice)
    assert ei.value.args == ("TTS failed for voice " + voice + ": HTTP 500",)


@pytest.mark.parametrize(
    "switches, exc",
    [
        (dict(speech_status=500), Exception),
        (dict(speech_status=201), Exception),
        (dict(speech_raw="<html>rate limited</html>"), requests.exceptions.JSONDecodeError),
        (dict(speech_raw=""), requests.exceptions.JSONDecodeError),
        (dict(audio_data=OMIT), KeyError),
        (dict(audio_data=None), TypeError),
        (dict(audio_data=12345), TypeError),
        (dict(audio_data=["data:audio/mpeg;base64,", B64]), TypeError),
        (dict(speech_answer=[B64]), TypeError),
    ],
)
def test_early_failure_leaves_an_existing_file_untouched(kc, standin, routed, out, switches, exc):
    out.write_bytes(OLD)
    standin.configure(**switches)
    with pytest.raises(exc) as ei:
        kc._generate_tts("Hello.", str(out), "en-US")

    if exc is KeyError:
        assert ei.value.args == ("audio_data",)
    assert out.read_bytes() == OLD
    assert len(module_entries(ei.value)) == 1
    assert len(standin.speech_hits) == 1


def test_unopenable_output_file_raises_os_error(kc, standin, routed, tmp_path):
    with pytest.raises(FileNotFoundError) as ei:
        kc._generate_tts("Hello.", str(tmp_path / "missing" / "voice.mp3"), "en-US")
    assert len(module_entries(ei.value)) >= 1
    assert not (tmp_path / "missing").exists()
