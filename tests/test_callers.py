"""Hostile callers: random argument mixes checked against a model of the
binding rules, calls from several threads, re-entrant calls, an interrupt in
the middle of a poll, and helpers rebound to return the wrong kind of value.

Bound values are observed without letting a body do real work: the names a
body uses first are rebound to recorders (`quote`, `subprocess`, `requests`,
`os`, the step functions), and text arguments are names of scratch files in
the working directory, so whatever a body opens stays inside tmp_path.
"""

import base64
import contextlib
import gc
import io
import json
import os
import pathlib
import subprocess
import sys
import threading
import traceback
import tracemalloc
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

PARAMS = {
    "_download_video": ("url", "output_file"),
    "_generate_tts": ("text", "output_file", "voice"),
    "_build_atempo_chain": ("speed",),
    "run_kestro": ("youtube_url", "segments_file", "speed_factor", "tts_voice", "output_dir"),
}
NUMBER = {"_build_atempo_chain": 0, "run_kestro": 2}
REQUIRED = {"run_kestro": 4}
LINE = {"_download_video": 23, "_generate_tts": 76, "_build_atempo_chain": 97, "run_kestro": 114}
CONVERSION_LINE = {"_build_atempo_chain": 97, "run_kestro": 117}
TOKENS = [f"arg-{i}.txt" for i in range(6)]  # the text values; also scratch file names
AUDIO = b"ABC"


# --------------------------------------------------------------------------
# the model
# --------------------------------------------------------------------------


class Sub(str):
    pass


class FloatSub(float):
    def __float__(self):  # never asked: a float subclass is read directly
        return 99.0


class AsFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"AsFloat({self.value!r})"


class AsIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"AsIndex({self.value!r})"


class Both(AsFloat):
    def __index__(self):
        return 7


class FloatGivesText:
    def __float__(self):
        return "1.5"


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("no value")


class Failure(Exception):
    """What the model says a call raises: the type, the message, whether the
    str-subclass note is added, and the line of the module's traceback entry
    (None: no entry of the module's)."""

    def __init__(self, kind, message, line=None, note=False):
        super().__init__(kind, message, line, note)
        self.kind, self.message, self.line, self.note = kind, message, line, note


MISSING = object()


def to_double(name, value):
    """The host's float conversion, as the module applies it."""
    line = CONVERSION_LINE[name]
    kind = type(value)
    if isinstance(value, float):
        return float.__float__(value) if kind is not float else value
    if hasattr(kind, "__float__"):
        try:
            result = kind.__float__(value)
        except Exception as exc:
            raise Failure(type(exc), str(exc), line)
        if type(result) is not float:
            raise Failure(
                TypeError,
                f"{kind.__name__}.__float__ returned non-float (type {type(result).__name__})",
                line,
            )
        return result
    if hasattr(kind, "__index__"):
        try:
            return float(kind.__index__(value))
        except OverflowError as exc:
            raise Failure(OverflowError, str(exc), line)
    raise Failure(TypeError, f"must be real number, not {kind.__name__}", line)


def model_bind(name, args, keywords):
    """The bound values, in parameter order (the number as a float), or the
    Failure the module must raise. `keywords` is a list of (name, value)."""
    params = PARAMS[name]
    P, R, n = len(params), REQUIRED.get(name, len(params)), len(args)
    line = LINE[name]

    def count(how, expected, given):
        s = "" if expected == 1 else "s"
        return Failure(
            TypeError,
            f"{name}() takes {how} {expected} positional argument{s} ({given} given)",
            line,
        )

    if any(not isinstance(k, str) for k, _ in keywords):
        # turned away by the interpreter before the function is reached
        raise Failure(TypeError, "keywords must be strings")
    if not keywords:
        if R == P and n != P:
            raise count("exactly", P, n)
        if n > P:
            raise count("at most", P, n)
        if n < R:
            raise count("at least", R, n)
    if n > P:
        raise count("exactly" if R == P else "at most", P, n)
    slots = list(args) + [MISSING] * (P - n)
    for key, value in keywords:
        at = next((i for i in range(n, P) if key == params[i]), None)
        if at is None:
            text = str.__str__(key)
            if any(key == params[i] for i in range(n)):
                raise Failure(
                    TypeError, f"{name}() got multiple values for keyword argument '{text}'", line
                )
            raise Failure(TypeError, f"{name}() got an unexpected keyword argument '{text}'", line)
        slots[at] = value
    if R < P and slots[P - 1] is MISSING:
        slots[P - 1] = "."
    for i in range(n, R):
        if slots[i] is MISSING:
            raise count("exactly" if R == P else "at least", R, i)
    if name in NUMBER:
        slots[NUMBER[name]] = to_double(name, slots[NUMBER[name]])
    for i, param in enumerate(params):
        if i == NUMBER.get(name):
            continue
        if type(slots[i]) is not str:
            raise Failure(
                TypeError,
                f"Argument '{param}' has incorrect type "
                f"(expected str, got {type(slots[i]).__name__})",
                note=isinstance(slots[i], str),
            )
    return slots


# --------------------------------------------------------------------------
# observing what a body received
# --------------------------------------------------------------------------


class Stop(Exception):
    """Raised by a recorder to end a body once it has shown its values."""


class Observer:
    """Rebinds the names each body uses so that a call reveals its bound
    values without network, child processes or files outside the cwd."""

    def __init__(self, kc, monkeypatch):
        self.kc = kc
        self.seen = {}
        answer = SimpleNamespace(status_code=200)
        job = SimpleNamespace(
            raise_for_status=lambda: None,
            json=lambda: {"success": True, "id": 1, "progress_url": "https://x/p"},
        )
        poll = SimpleNamespace(
            json=lambda: {"success": True, "progress": 1000, "download_url": "https://x/v"}
        )
        answer.json = lambda: {"audio_data": base64.b64encode(AUDIO).decode()}

        def post(url, json, headers, timeout):
            self.seen["payload"] = json
            return answer

        def quote(url, safe):
            self.seen["url"] = url
            return "quoted"

        def run(argv, **kwargs):
            if argv[0] == "wget":
                self.seen["argv"] = argv
                raise Stop
            return SimpleNamespace(returncode=0)

        def join(directory, name):
            self.seen.setdefault("dirs", set()).add(directory)
            return name

        def download(url, output_file):
            self.seen["youtube_url"] = url

        def tts(text, output_file, voice):
            self.seen["text"] = text  # the voiceover of the segments file that was opened
            self.seen["voice"] = voice

        def chain(speed):
            self.seen["speed"] = speed
            return "atempo=1.0"

        fake_os = SimpleNamespace(
            path=SimpleNamespace(join=join, exists=lambda p: False, abspath=os.path.abspath),
            remove=os.remove,
        )
        self.download_video = kc._download_video
        self.generate_tts = kc._generate_tts
        self.build_atempo_chain = kc._build_atempo_chain
        for attr, value in dict(
            quote=quote,
            os=fake_os,
            time=SimpleNamespace(sleep=lambda s: None),
            requests=SimpleNamespace(
                get=lambda url, headers, timeout: job if timeout == 30 else poll, post=post
            ),
            subprocess=SimpleNamespace(run=run),
        ).items():
            monkeypatch.setattr(kc, attr, value)
        self.step_fakes = dict(
            _download_video=download, _generate_tts=tts, _build_atempo_chain=chain
        )

    def reset(self):
        self.seen = {}
        for token in TOKENS:
            # each a segments file whose one narration names the file
            with open(token, "w", encoding="utf-8") as f:
                json.dump([{"start": "00:00:01", "end": "00:00:02", "voiceover": token}], f)

    def call(self, name, args, kwargs):
        """Calls the published function; returns ("ok", bound values) or
        ("error", exception)."""
        self.reset()
        if name == "run_kestro":
            for attr, value in self.step_fakes.items():
                setattr(self.kc, attr, value)
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                result = self._targets()[name](*args, **kwargs)
        except Stop:
            result = None
        except Exception as exc:
            return "error", exc
        finally:
            self.kc._download_video = self.download_video
            self.kc._generate_tts = self.generate_tts
            self.kc._build_atempo_chain = self.build_atempo_chain
        return "ok", self._bound(name, result)

    def _targets(self):
        # run_kestro is fetched from the namespace; the step functions it calls
        # there are the recorders, the published ones are called directly
        return {
            "_download_video": self.download_video,
            "_generate_tts": self.generate_tts,
            "_build_atempo_chain": self.build_atempo_chain,
            "run_kestro": self.kc.run_kestro,
        }

    def _bound(self, name, result):
        seen = self.seen
        if name == "_download_video":
            return [seen["url"], seen["argv"][3]]
        if name == "_generate_tts":
            written = [t for t in TOKENS if pathlib.Path(t).read_bytes() == AUDIO]
            assert len(written) == 1
            return [seen["payload"]["text"], written[0], seen["payload"]["voice"]]
        if name == "_build_atempo_chain":
            return result
        assert result == "FINAL_KESTRO.mp4"
        (directory,) = seen["dirs"]
        return [seen["youtube_url"], seen["text"], seen["speed"], seen["voice"], directory]


# --------------------------------------------------------------------------
# strategies
# --------------------------------------------------------------------------

texts = st.sampled_from(TOKENS)
wrong_texts = st.one_of(
    st.none(), st.integers(-3, 3), st.just(b"arg-0.txt"), texts.map(Sub), st.floats(0, 4)
)
numbers = st.one_of(
    st.floats(-1e6, 1e6, allow_nan=False),
    st.just(float("inf")),
    st.integers(-10, 10),
    st.booleans(),
    st.just(10**400),
    st.floats(0.1, 9).map(FloatSub),
    st.floats(0.1, 9).map(AsFloat),
    st.integers(-5, 5).map(AsIndex),
    st.just(AsIndex(10**400)),
    st.floats(0.1, 9).map(Both),
    st.just(FloatGivesText()),
    st.just(FloatRaises()),
)
wrong_numbers = st.one_of(texts, st.none(), st.just([1.5]))


def often(weight):
    return st.sampled_from([True] * weight + [False])


def value_for(name, index):
    if index == NUMBER.get(name):
        return often(4).flatmap(lambda right: numbers if right else wrong_numbers)
    return often(7).flatmap(lambda right: texts if right else wrong_texts)


NEAR_MISSES = ["speed_", "Output_file", "out", "voice_name", "URL", "x"]


def spelling(param):
    """The name as the interned constant, as a fresh equal str, or as a str
    subclass instance."""
    return st.sampled_from([param, "".join(list(param)), Sub(param)])


@st.composite
def calls(draw, name):
    """Positional arguments, then keywords for most of the remaining
    parameters in any order, sometimes a stray keyword, rarely a non-str one."""
    params = PARAMS[name]
    P = len(params)
    n = draw(st.integers(0, P + 1))
    args = [draw(value_for(name, min(i, P - 1))) for i in range(n)]
    keywords = [
        (draw(spelling(params[i])), draw(value_for(name, i))) for i in range(n, P) if draw(often(8))
    ]
    keywords = list(draw(st.permutations(keywords)))
    if not draw(often(4)):
        stray = draw(st.sampled_from(list(params) + NEAR_MISSES).flatmap(spelling))
        if all(str.__str__(stray) != str.__str__(k) for k, _ in keywords):
            index = params.index(stray) if stray in params else 0
            keywords.insert(
                draw(st.integers(0, len(keywords))), (stray, draw(value_for(name, index)))
            )
    if not draw(often(30)):
        keywords.append((1, "x"))
    return args, keywords


# --------------------------------------------------------------------------
# the property
# --------------------------------------------------------------------------


def module_lines(exc, name):
    return [
        fs.lineno
        for fs in traceback.extract_tb(exc.__traceback__)
        if fs.name == "kestro_core.kestro_core." + name
    ]


def canonical(observer, name, bound):
    """What the body makes of the bound values when they are passed plainly."""
    if name != "_build_atempo_chain":
        return bound
    try:
        return observer.build_atempo_chain(bound[0])
    except Exception as exc:
        return (type(exc), str(exc))


@pytest.fixture
def observer(kc, monkeypatch, tmp_path):
    monkeypatch.chdir(tmp_path)
    return Observer(kc, monkeypatch)


@pytest.mark.parametrize("name", list(PARAMS))
@settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)
@given(data=st.data())
def test_binding_matches_the_model(observer, name, data):
    args, keywords = data.draw(calls(name))
    try:
        bound = model_bind(name, args, keywords)
        expected = None
    except Failure as failure:
        expected = failure
    kwargs = dict(keywords)
    event(
        "binds"
        if expected is None
        else " ".join(expected.message.replace(name + "()", "").split()[:3])
    )
    outcome, got = observer.call(name, args, kwargs)
    if expected is not None:
        assert outcome == "error", (
            f"expected {expected.kind.__name__}: {expected.message}, got {got!r}"
        )
        assert type(got) is expected.kind and str(got) == expected.message, repr(got)
        assert len(getattr(got, "__notes__", [])) == (1 if expected.note else 0)
        assert module_lines(got, name) == ([] if expected.line is None else [expected.line])
        return
    if name == "_build_atempo_chain":
        want = canonical(observer, name, bound)
        if outcome == "error":
            assert (type(got), str(got)) == want
        else:
            assert got == want
        return
    assert outcome == "ok", repr(got)
    if name == "run_kestro":
        assert repr(got[2]) == repr(bound[2])  # the double itself, -0.0 and inf included
    assert got == bound


# --------------------------------------------------------------------------
# threads, re-entrancy, interrupts
# --------------------------------------------------------------------------


class Discard:
    """sys.stdout that keeps nothing."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def blocks():
    gc.collect()
    if sys.getallocatedblocks() > 0:
        return sys.getallocatedblocks()
    return len(tracemalloc.take_snapshot().traces)


def steady_growth(run, calls=300, slack=50):
    """Blocks gained over `calls` runs, once the interpreter's own caches have
    stopped growing (warm-up rounds until two in a row add at most two blocks
    each); measured again, up to three times, while the gain reaches `slack`:
    the file layer alone now and then keeps a few dozen blocks for good, a leak
    comes back."""
    native = sys.getallocatedblocks() > 0
    if not native:
        tracemalloc.start()
    try:
        quiet = 0
        for _ in range(15):
            start = blocks()
            for _ in range(100):
                run()
            quiet = quiet + 1 if blocks() - start <= 2 else 0
            if quiet == 2:
                break
        gained = []
        for _ in range(3):
            before = blocks()
            for _ in range(calls):
                run()
            gained.append(blocks() - before)
            if gained[-1] < slack:
                break
        return gained
    finally:
        if not native:
            tracemalloc.stop()


def test_threads(kc, monkeypatch, tmp_path):
    """4 threads x 200 calls, interleaved as finely as the interpreter allows:
    every chain and every failure message belongs to its own thread."""
    refused = SimpleNamespace(status_code=503)
    monkeypatch.setattr(
        kc, "requests", SimpleNamespace(post=lambda url, json, headers, timeout: refused)
    )
    speeds = [1.5, 3.0, 10.0, 0.75]
    want = [kc._build_atempo_chain(s) for s in speeds]
    out = str(tmp_path / "never.mp3")
    start = threading.Barrier(4)
    problems = []

    def worker(k):
        voice = f"voice-{k}"
        start.wait(timeout=10)
        for _ in range(200):
            got = kc._build_atempo_chain(speeds[k])
            if got != want[k]:
                problems.append((k, got))
            try:
                kc._generate_tts("text", out, voice)
                problems.append((k, "no exception"))
            except Exception as exc:
                if str(exc) != f"TTS failed for voice {voice}: HTTP 503":
                    problems.append((k, str(exc)))

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in threads)
    assert problems == []
    assert not os.path.exists(out)


def test_reentrant_calls(kc, monkeypatch, tmp_path, capsys):
    """run_kestro -> a rebound _download_video that runs a whole inner
    run_kestro; the narration step calls the module's own _generate_tts,
    whose service calls _build_atempo_chain and a failing _generate_tts.
    Every level gets its own values and nothing leaks across levels."""
    real_tts = kc._generate_tts
    chain_25, chain_4 = kc._build_atempo_chain(2.5), kc._build_atempo_chain(4.0)
    seg = tmp_path / "segments.json"
    seg.write_text(json.dumps([{"start": "1", "end": "2", "voiceover": "outer"}]), encoding="utf-8")
    outer, inner = tmp_path / "outer", tmp_path / "inner"
    outer.mkdir()
    inner.mkdir()
    depth = []
    results = []

    def post(url, json, headers, timeout):
        results.append(kc._build_atempo_chain(4.0))
        with pytest.raises(TypeError, match="takes exactly 3 positional arguments"):
            real_tts(json["text"])
        return SimpleNamespace(
            status_code=200, json=lambda: {"audio_data": base64.b64encode(AUDIO).decode()}
        )

    def download(url, output_file):
        open(output_file, "wb").close()
        if not depth:
            depth.append(url)
            results.append(kc.run_kestro("inner-link", str(seg), 3.0, "inner-voice", str(inner)))

    def narrate(text, output_file, voice):
        results.append((text, voice, kc._build_atempo_chain(2.5)))
        real_tts(text, output_file, voice)

    monkeypatch.setattr(kc, "requests", SimpleNamespace(post=post))
    monkeypatch.setattr(kc, "_download_video", download)
    monkeypatch.setattr(kc, "_generate_tts", narrate)
    monkeypatch.setattr(kc, "time", SimpleNamespace(sleep=lambda s: None))
    monkeypatch.setattr(
        kc, "subprocess", SimpleNamespace(run=lambda argv, **kw: SimpleNamespace(returncode=0))
    )

    def one_run():
        depth.clear()
        results.clear()
        return kc.run_kestro("outer-link", str(seg), 2.0, "outer-voice", str(outer))

    assert one_run() == str(outer / "FINAL_KESTRO.mp4")
    # the inner run, with its own voice, finished inside the outer download
    assert results == [
        ("outer", "inner-voice", chain_25),
        chain_4,
        str(inner / "FINAL_KESTRO.mp4"),
        ("outer", "outer-voice", chain_25),
        chain_4,
    ]
    out = capsys.readouterr().out
    assert out.count("✅ Done! Vertical Output: ") == 2
    assert out.index(str(inner / "FINAL_KESTRO.mp4")) < out.index(str(outer / "FINAL_KESTRO.mp4"))

    with contextlib.redirect_stdout(Discard()):
        gained = steady_growth(one_run)
    assert gained[-1] < 50, gained


def test_interrupt_during_poll_sleep(kc, monkeypatch, tmp_path, capsys):
    interrupt = KeyboardInterrupt()

    def sleep(seconds):
        raise interrupt

    job = SimpleNamespace(
        raise_for_status=lambda: None,
        json=lambda: {"success": True, "id": 3, "progress_url": "https://x/p"},
    )
    gets = []
    monkeypatch.setattr(
        kc, "requests", SimpleNamespace(get=lambda url, headers, timeout: gets.append(url) or job)
    )
    monkeypatch.setattr(kc, "time", SimpleNamespace(sleep=sleep))
    monkeypatch.setattr(
        kc, "subprocess", SimpleNamespace(run=lambda *a, **k: pytest.fail("wget started"))
    )
    out = tmp_path / "movie.mp4"
    with pytest.raises(KeyboardInterrupt) as info:
        kc._download_video("https://youtu.be/x", str(out))
    assert info.value is interrupt
    entries = traceback.extract_tb(info.value.__traceback__)
    # the caller, the module's entry, then the sleep that raised
    assert [e.name for e in entries[-3:]] == [
        "test_interrupt_during_poll_sleep",
        "kestro_core.kestro_core._download_video",
        "sleep",
    ]
    assert entries[-2].filename == kc._download_video.__code__.co_filename
    assert len(gets) == 1  # the job request; no poll was sent
    assert not out.exists()
    assert (
        capsys.readouterr().out == "📥 Requesting download from server...\n⏳ Processing job 3...\n"
    )
    # the module is usable at once afterwards
    assert kc._build_atempo_chain(3.0) == "atempo=2.0,atempo=1.5000"


# --------------------------------------------------------------------------
# helpers rebound to return the wrong kind of value
# --------------------------------------------------------------------------

REBOUND = {
    "quote gives an int": """
kc.quote = lambda url, safe: 12345
kc._download_video("https://youtu.be/x", "movie.mp4")
""",
    "os.path.join gives a path object": """
import json, pathlib, types
json.dump([], open("segments.json", "w"))
class P:
    join = staticmethod(lambda d, name: pathlib.PurePosixPath(d, name))
    exists = staticmethod(lambda p: False)
    abspath = staticmethod(str)
kc.os = types.SimpleNamespace(path=P, remove=lambda p: None)
kc._download_video = lambda url, out: None
kc.subprocess = types.SimpleNamespace(run=lambda *a, **k: types.SimpleNamespace(returncode=0))
kc.run_kestro("u", "segments.json", 1.5, "v", ".")
""",
}


@pytest.mark.parametrize("case", list(REBOUND))
def test_rebound_helper_returning_wrong_type(tmp_path, case):
    """A namespace name rebound to something that returns a non-str where the
    body builds text from it: a TypeError, as the same Python would give; not
    a crash and not an interpreter-internal error. Run in a child interpreter
    so that a crash is reported instead of taking the test run down."""
    script = (
        "import sys, kestro_core.kestro_core as kc\n"
        "try:\n"
        + "".join("    " + line + "\n" for line in REBOUND[case].strip().splitlines())
        + "except TypeError as exc:\n    print('TypeError', exc)\n"
    )
    child = subprocess.run(
        [sys.executable, "-P", "-c", script],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert child.returncode == 0, child.stderr[-3000:]
    assert child.stdout.splitlines()[-1].startswith("TypeError"), (
        child.stdout + child.stderr[-3000:]
    )
