"""Argument binding and the attributes of the four published functions."""

import inspect
import math
import pickle
import traceback
import types
import warnings

import pytest

MODULE = "kestro_core.kestro_core"
SOURCE = "kestro_core/kestro_core.cpp"
NAMES = ["_download_video", "_generate_tts", "_build_atempo_chain", "run_kestro"]
FIRST_LINE = {
    "_download_video": 23,
    "_generate_tts": 76,
    "_build_atempo_chain": 97,
    "run_kestro": 114,
}
RUN_ARGS = ("https://youtu.be/x", "segments.json", 1.5, "Brian")


class Stop(Exception):
    """Ends run_kestro's body at the first call it makes through the namespace."""


def last_entry(excinfo):
    return traceback.extract_tb(excinfo.tb)[-1]


def assert_module_entry(excinfo, name, line):
    entry = last_entry(excinfo)
    assert (entry.name, entry.filename, entry.lineno) == (f"{MODULE}.{name}", SOURCE, line)


# ---- counts and keywords -------------------------------------------------------------


def count(name, how, expected, given):
    plural = "" if expected == 1 else "s"
    return f"{name}() takes {how} {expected} positional argument{plural} ({given} given)"


BINDING_ERRORS = [
    # no keywords: the number given
    ("_download_video", ("u",), {}, count("_download_video", "exactly", 2, 1)),
    ("_download_video", (), {}, count("_download_video", "exactly", 2, 0)),
    ("_download_video", ("u", "o", "x"), {}, count("_download_video", "exactly", 2, 3)),
    ("_generate_tts", ("t", "o"), {}, count("_generate_tts", "exactly", 3, 2)),
    ("_build_atempo_chain", (), {}, count("_build_atempo_chain", "exactly", 1, 0)),
    ("_build_atempo_chain", (1.0, 2.0), {}, count("_build_atempo_chain", "exactly", 1, 2)),
    ("run_kestro", RUN_ARGS[:3], {}, count("run_kestro", "at least", 4, 3)),
    ("run_kestro", (), {}, count("run_kestro", "at least", 4, 0)),
    ("run_kestro", RUN_ARGS + (".", "x"), {}, count("run_kestro", "at most", 5, 6)),
    # keywords: the index of the first missing slot
    ("_generate_tts", (), {"text": "t", "voice": "v"}, count("_generate_tts", "exactly", 3, 1)),
    (
        "_generate_tts",
        (),
        {"output_file": "o", "voice": "v"},
        count("_generate_tts", "exactly", 3, 0),
    ),
    ("_generate_tts", ("t",), {"voice": "v"}, count("_generate_tts", "exactly", 3, 1)),
    ("_download_video", (), {"output_file": "o"}, count("_download_video", "exactly", 2, 0)),
    (
        "_build_atempo_chain",
        (),
        {"x": 1},
        "_build_atempo_chain() got an unexpected keyword argument 'x'",
    ),
    ("run_kestro", RUN_ARGS[:3], {"output_dir": "d"}, count("run_kestro", "at least", 4, 3)),
    (
        "run_kestro",
        (),
        {"youtube_url": "u", "speed_factor": 1.0, "tts_voice": "v"},
        count("run_kestro", "at least", 4, 1),
    ),
    # too many positional arguments: the count error before any keyword is looked at
    ("_download_video", ("u", "o", "x"), {"url": "u"}, count("_download_video", "exactly", 2, 3)),
    (
        "_build_atempo_chain",
        (1.0, 2.0),
        {"nonsense": 1},
        count("_build_atempo_chain", "exactly", 1, 2),
    ),
    (
        "run_kestro",
        RUN_ARGS + (".", "x"),
        {"output_dir": "d"},
        count("run_kestro", "at most", 5, 6),
    ),
    # names already bound, names of no parameter; the first failing keyword decides
    (
        "_download_video",
        ("u", "o"),
        {"url": "u"},
        "_download_video() got multiple values for keyword argument 'url'",
    ),
    (
        "_download_video",
        ("u",),
        {"url": "u"},
        "_download_video() got multiple values for keyword argument 'url'",
    ),
    (
        "_download_video",
        ("u",),
        {"output_file": "o", "url": "u"},
        "_download_video() got multiple values for keyword argument 'url'",
    ),
    (
        "_download_video",
        ("u", "o"),
        {"x": 1},
        "_download_video() got an unexpected keyword argument 'x'",
    ),
    (
        "_download_video",
        (),
        {"x": 1, "url": "u"},
        "_download_video() got an unexpected keyword argument 'x'",
    ),
    (
        "_download_video",
        ("u",),
        {"x": 1, "url": "u"},
        "_download_video() got an unexpected keyword argument 'x'",
    ),
    (
        "_download_video",
        ("u",),
        {"url": "u", "x": 1},
        "_download_video() got multiple values for keyword argument 'url'",
    ),
    (
        "run_kestro",
        RUN_ARGS + (".",),
        {"output_dir": "d"},
        "run_kestro() got multiple values for keyword argument 'output_dir'",
    ),
    (
        "run_kestro",
        RUN_ARGS,
        {"extra": 1},
        "run_kestro() got an unexpected keyword argument 'extra'",
    ),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(kc, name, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        getattr(kc, name)(*args, **kwargs)
    assert str(excinfo.value) == message
    assert_module_entry(excinfo, name, FIRST_LINE[name])


class Loose(str):
    """A keyword name compared case-insensitively, as its own == says."""

    def __eq__(self, other):
        return isinstance(other, str) and self.lower() == other.lower()

    __hash__ = str.__hash__


def test_keyword_names_matched_by_value_and_by_subclass_equality(kc):
    built = "".join(["sp", "eed"])  # equal to the parameter name, not the same object
    assert built == "speed"
    assert kc._build_atempo_chain(**{built: 1.5}) == "atempo=1.5"
    assert kc._build_atempo_chain(**{Loose("SPEED"): 3.0}) == "atempo=2.0,atempo=1.5000"
    assert kc._build_atempo_chain(1.5, **{}) == "atempo=1.5"
    with pytest.raises(TypeError) as excinfo:
        kc._download_video("u", **{Loose("URL"): "u"})
    assert str(excinfo.value) == "_download_video() got multiple values for keyword argument 'URL'"
    with pytest.raises(TypeError) as excinfo:
        kc._build_atempo_chain(**{Loose("pace"): 1.0})
    assert str(excinfo.value) == "_build_atempo_chain() got an unexpected keyword argument 'pace'"


@pytest.mark.parametrize(
    "args, kwargs", [((), {1: 2}), ((1.5,), {1: 2}), ((), {"speed": 1.5, 1: 2})]
)
def test_keyword_names_must_be_strings(kc, args, kwargs):
    with pytest.raises(TypeError, match=r"^keywords must be strings$"):
        kc._build_atempo_chain(*args, **kwargs)


# ---- the number and the text parameters ------------------------------------------------


class WithFloat:
    def __float__(self):
        return 2.5


class WithIndex:
    def __index__(self):
        return 3


class FloatSub(float):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (2, "atempo=2.0"),
        (True, "atempo=1.0"),
        (-3, "atempo=-3.0"),
        (WithFloat(), "atempo=2.0,atempo=1.2500"),
        (WithIndex(), "atempo=2.0,atempo=1.5000"),
        (FloatSub(1.5), "atempo=1.5"),
    ],
)
def test_speed_converted_to_float(kc, value, expected):
    assert kc._build_atempo_chain(value) == expected
    assert kc._build_atempo_chain(speed=value) == expected


@pytest.mark.parametrize(
    "name, args, kwargs, bad, line",
    [
        ("_build_atempo_chain", ("2",), {}, "2", 97),
        ("_build_atempo_chain", (None,), {}, None, 97),
        ("_build_atempo_chain", (), {"speed": 10**400}, 10**400, 97),
        ("run_kestro", ("u", "s", "2", "v"), {}, "2", 117),
        ("run_kestro", ("u", "s"), {"tts_voice": "v", "speed_factor": b"2"}, b"2", 117),
        # conversion comes before the text tests
        ("run_kestro", (None, "s", "2", 5), {}, "2", 117),
    ],
)
def test_failed_conversion_is_the_hosts_error(kc, name, args, kwargs, bad, line):
    # math.fabs goes through the same host conversion and says the same
    with pytest.raises((TypeError, OverflowError)) as host:
        math.fabs(bad)
    with pytest.raises(type(host.value)) as excinfo:
        getattr(kc, name)(*args, **kwargs)
    assert str(excinfo.value) == str(host.value)
    assert_module_entry(excinfo, name, line)


@pytest.mark.parametrize(
    "name, args, parameter, got",
    [
        ("_download_video", ("u", None), "output_file", "NoneType"),
        ("_download_video", (b"u", None), "url", "bytes"),
        ("_generate_tts", (1, 2, 3), "text", "int"),
        ("_generate_tts", ("t", "o", None), "voice", "NoneType"),
        ("run_kestro", ("u", "s", 1.5, 7), "tts_voice", "int"),
        ("run_kestro", ("u", ["s"], 1.5, "v"), "segments_file", "list"),
        ("run_kestro", ("u", "s", 1.5, "v", None), "output_dir", "NoneType"),
    ],
)
def test_text_parameters_must_be_exact_str(kc, name, args, parameter, got):
    with pytest.raises(TypeError) as excinfo:
        getattr(kc, name)(*args)
    assert (
        str(excinfo.value) == f"Argument '{parameter}' has incorrect type (expected str, got {got})"
    )
    assert not hasattr(excinfo.value, "__notes__")
    # no entry of the module's: the last frame is this test's
    assert last_entry(excinfo).filename == __file__


class Text(str):
    pass


def test_str_subclass_rejected_with_a_note(kc):
    with pytest.raises(TypeError) as excinfo:
        kc._download_video("u", Text("out.mp4"))
    assert (
        str(excinfo.value) == "Argument 'output_file' has incorrect type (expected str, got Text)"
    )
    notes = excinfo.value.__notes__
    assert len(notes) == 1 and "subclass" in notes[0]
    assert last_entry(excinfo).filename == __file__


@pytest.fixture
def stop_at_download(kc, monkeypatch, tmp_path):
    """run_kestro stops at its download call; returns the list of the calls' arguments."""
    calls = []

    def recorder(*args, **kwargs):
        calls.append((args, kwargs))
        raise Stop

    monkeypatch.setattr(kc, "_download_video", recorder)
    monkeypatch.chdir(tmp_path)
    return calls


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (RUN_ARGS, {}),
        ((), dict(zip(["youtube_url", "segments_file", "speed_factor", "tts_voice"], RUN_ARGS))),
        (RUN_ARGS[:2], {"tts_voice": "Brian", "speed_factor": 1.5}),
    ],
)
def test_output_dir_defaults_to_current_directory(kc, stop_at_download, args, kwargs):
    with pytest.raises(Stop):
        kc.run_kestro(*args, **kwargs)
    assert stop_at_download == [(("https://youtu.be/x", "./movie.mp4"), {})]


# ---- attributes ----------------------------------------------------------------------

DOCS = {
    "_download_video": "Download YouTube video via FetchBox API.",
    "_generate_tts": "Generate TTS audio using VoiceCast API.",
    "_build_atempo_chain": "\n    Build ffmpeg atempo filter chain.\n"
    "    atempo is limited to 0.5-2.0 range per filter, so we chain for higher speeds.\n    ",
    "run_kestro": "\n    Main kestro processing engine.\n    \n    1. Download YouTube video\n"
    "    2. Load segments.json\n    3. Generate TTS for each segment\n    4. Cut video clips\n"
    "    5. Merge clips with audio\n    6. Concatenate all clips\n"
    "    7. Convert to 9:16 vertical + apply speed\n    8. Cleanup temp files\n    \n"
    "    Returns path to FINAL_KESTRO.mp4\n    ",
}

VARNAMES = {
    "_download_video": (
        "url",
        "output_file",
        "HEADERS",
        "encoded_url",
        "api_url",
        "resp",
        "data",
        "job_id",
        "progress_url",
        "download_url",
        "attempt",
        "prog",
        "pct",
    ),
    "_generate_tts": (
        "text",
        "output_file",
        "voice",
        "url",
        "payload",
        "headers",
        "response",
        "data",
        "audio_base64",
        "f",
    ),
    "_build_atempo_chain": ("speed", "filters", "remaining"),
    "run_kestro": (
        "youtube_url",
        "segments_file",
        "speed_factor",
        "tts_voice",
        "output_dir",
        "VIDEO_FILE",
        "TEMP_OUTPUT",
        "FINAL_OUTPUT",
        "FILELIST",
        "f",
        "segments",
        "final_files",
        "i",
        "seg",
        "clip_file",
        "voice_file",
        "merged_file",
        "file",
        "vf_filter",
        "af_filter",
        "ffmpeg_base",
        "gpu_cmd",
        "cpu_cmd",
        "result",
        "merged",
        "path",
    ),
}
ARGCOUNT = {"_download_video": 2, "_generate_tts": 3, "_build_atempo_chain": 1, "run_kestro": 5}

ANNOTATIONS = {
    "_download_video": [("url", "str"), ("output_file", "str"), ("return", "None")],
    "_generate_tts": [
        ("text", "str"),
        ("output_file", "str"),
        ("voice", "str"),
        ("return", "None"),
    ],
    "_build_atempo_chain": [("speed", "float"), ("return", "str")],
    "run_kestro": [
        ("youtube_url", "str"),
        ("segments_file", "str"),
        ("speed_factor", "float"),
        ("tts_voice", "str"),
        ("output_dir", "str"),
        ("return", "str"),
    ],
}

SIGNATURES = {
    "_download_video": "(url: 'str', output_file: 'str') -> 'None'",
    "_generate_tts": "(text: 'str', output_file: 'str', voice: 'str') -> 'None'",
    "_build_atempo_chain": "(speed: 'float') -> 'str'",
    "run_kestro": "(youtube_url: 'str', segments_file: 'str', speed_factor: 'float', tts_voice: 'str', "
    "output_dir: 'str' = '.') -> 'str'",
}


@pytest.mark.parametrize("name", NAMES)
def test_function_attributes(kc, name):
    f = getattr(kc, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, MODULE)
    assert f.__doc__ == DOCS[name]
    assert f.__globals__ is vars(kc)
    assert f.__closure__ is None
    assert f.__defaults__ == ((".",) if name == "run_kestro" else None)
    assert f.__kwdefaults__ is None
    assert list(f.__annotations__.items()) == ANNOTATIONS[name]
    assert str(inspect.signature(f)) == SIGNATURES[name]


@pytest.mark.parametrize("name", NAMES)
def test_code_objects(kc, name):
    code = getattr(kc, name).__code__
    assert isinstance(code, types.CodeType)
    assert code.co_argcount == ARGCOUNT[name]
    assert code.co_varnames == VARNAMES[name]
    assert code.co_firstlineno == FIRST_LINE[name]
    assert code.co_filename.startswith("kestro_core/kestro_core")
    assert (code.co_name, code.co_qualname) == (name, name)
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)


def test_one_function_type_of_its_own(kc):
    kinds = {type(getattr(kc, name)) for name in NAMES}
    assert len(kinds) == 1
    kind = kinds.pop()
    assert kind is not types.FunctionType and kind is not types.BuiltinFunctionType
    assert not issubclass(kind, (types.FunctionType, types.BuiltinFunctionType))


@pytest.fixture
def restored(kc):
    """Puts back every attribute the test changes on the four functions."""
    saved = {
        name: {
            a: getattr(getattr(kc, name), a)
            for a in (
                "__name__",
                "__qualname__",
                "__defaults__",
                "__kwdefaults__",
                "__annotations__",
            )
        }
        for name in NAMES
    }
    yield
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for name, attrs in saved.items():
            for a, value in attrs.items():
                setattr(getattr(kc, name), a, value)


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_names_accept_only_str(kc, restored, attribute):
    f = kc._build_atempo_chain
    setattr(f, attribute, "renamed")
    assert getattr(f, attribute) == "renamed"
    for bad in (None, 3, b"x"):
        with pytest.raises(TypeError) as excinfo:
            setattr(f, attribute, bad)
        assert str(excinfo.value) == f"{attribute} must be set to a string object"
    with pytest.raises(TypeError):
        delattr(f, attribute)
    assert getattr(f, attribute) == "renamed"
    # the messages of binding keep the function's own name
    with pytest.raises(TypeError, match=r"^_build_atempo_chain\(\) takes exactly 1"):
        f()


@pytest.mark.parametrize(
    "attribute, accepted, refused, message",
    [
        (
            "__defaults__",
            [("elsewhere",), (), None],
            [["elsewhere"], "x", {}],
            "__defaults__ must be set to a tuple object",
        ),
        (
            "__kwdefaults__",
            [{"output_dir": "elsewhere"}, {}, None],
            [("x",), "x", []],
            "__kwdefaults__ must be set to a dict object",
        ),
    ],
)
def test_defaults_changes_warn_and_do_not_affect_calls(
    kc, restored, stop_at_download, attribute, accepted, refused, message
):
    f = kc.run_kestro
    for value in accepted:
        with pytest.warns(RuntimeWarning) as record:
            setattr(f, attribute, value)
        assert len(record) == 1
        assert getattr(f, attribute) == value
        stop_at_download.clear()
        with pytest.raises(Stop):
            f(*RUN_ARGS)
        assert stop_at_download[0][0][1] == "./movie.mp4"
    for value in refused:
        with warnings.catch_warnings(record=True), pytest.raises(TypeError) as excinfo:
            setattr(f, attribute, value)
        assert str(excinfo.value) == message
        assert getattr(f, attribute) == accepted[-1]


def test_annotations_accept_dict_or_none(kc, restored):
    f = kc._build_atempo_chain
    replacement = {"speed": int}
    f.__annotations__ = replacement
    assert f.__annotations__ is replacement
    f.__annotations__ = None
    assert f.__annotations__ == {}
    for bad in ([], ("speed", "float"), "float"):
        with pytest.raises(TypeError) as excinfo:
            f.__annotations__ = bad
        assert str(excinfo.value) == "__annotations__ must be set to a dict object"
    assert f(1.5) == "atempo=1.5"


@pytest.mark.parametrize("attribute", ["__globals__", "__closure__", "__code__"])
def test_read_only_attributes(kc, attribute):
    f = kc._generate_tts
    before = getattr(f, attribute)
    with pytest.raises(AttributeError):
        setattr(f, attribute, {} if attribute == "__globals__" else None)
    with pytest.raises(AttributeError):
        delattr(f, attribute)
    assert getattr(f, attribute) is before


def test_arbitrary_attributes(kc):
    f = kc._download_video
    f.marker = [1]
    try:
        assert f.__dict__["marker"] == [1] and f.marker == [1]
        assert "marker" not in kc._generate_tts.__dict__
    finally:
        del f.marker
    assert not hasattr(f, "marker")


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", NAMES)
def test_pickled_by_reference(kc, name, protocol):
    f = getattr(kc, name)
    assert pickle.loads(pickle.dumps(f, protocol)) is f


def test_method_binding(kc):
    class Holder:
        chain = kc._build_atempo_chain

    class Fast:
        chain = kc._build_atempo_chain

        def __float__(self):
            return 5.0

    assert Holder.chain is kc._build_atempo_chain
    with pytest.raises(TypeError) as excinfo:
        Holder().chain()
    assert str(excinfo.value) == "must be real number, not Holder"
    assert_module_entry(excinfo, "_build_atempo_chain", 97)
    assert Fast().chain() == "atempo=2.0,atempo=2.0,atempo=1.2500"
    bound = Fast().chain
    assert bound.__func__ is kc._build_atempo_chain
    with pytest.raises(TypeError, match=r"takes exactly 1 positional argument \(2 given\)"):
        bound(1.0)
