"""Every path of the four functions, a thousand times over: the allocated blocks
and the reference counts of the objects the module shares stay where they were.

Services, child processes, sleeps and the two step functions are in-process
fakes bound in the module namespace, so nothing here touches the network or
starts a process.  Fakes raise a fresh exception on every call (a re-raised
instance would grow its own traceback and look like a leak).
"""

import binascii
import builtins
import gc
import json
import os
import subprocess
import sys
import tracemalloc
from types import SimpleNamespace

import pytest
import requests

CALLS = 1000
WARMUP = 100
WARMUP_ROUNDS = 20
ATTEMPTS = 3
BLOCK_SLACK = 50

API = "https://api.fetchbox.example/"
PROGRESS_URL = "https://api.fetchbox.example/progress?id=7"
FILE_URL = "https://files.fetchbox.example/7.mp4"
AUDIO = "data:audio/mpeg;base64,SUQzBAAAAAAA"
TWO = [
    {"start": "00:00:01", "end": "00:00:02", "voiceover": "one"},
    {"start": "00:00:03", "end": "00:00:04", "voiceover": "two"},
]

DELTAS = {}  # case id -> block delta, shown at the end of the module


class Sink:
    """sys.stdout while measuring: the module prints progress lines."""

    def __init__(self, fail=False):
        self.fail = fail

    def write(self, text):
        if self.fail:
            raise OSError(5, "Input/output error")
        return len(text)

    def flush(self):
        pass


class Counter:
    """Allocated blocks: the interpreter's own count, or, when its allocator
    does not count them (PYTHONMALLOC=malloc, as under the sanitizers), the
    number of blocks tracemalloc traces."""

    def __init__(self):
        self.native = sys.getallocatedblocks() > 0

    def __enter__(self):
        if not self.native:
            tracemalloc.start()
        return self

    def __exit__(self, *exc):
        if not self.native:
            tracemalloc.stop()

    def __call__(self):
        gc.collect()
        if self.native:
            return sys.getallocatedblocks()
        return len(tracemalloc.take_snapshot().traces)


# --------------------------------------------------------------------------
# fakes
# --------------------------------------------------------------------------


class Answer:
    """A response: its status, raise_for_status and json; `raises` maps the
    method name to a factory for the exception it raises."""

    def __init__(self, body=None, status=200, raises=None):
        self.body = body
        self.status_code = status
        self.raises = raises or {}

    def raise_for_status(self):
        if "raise_for_status" in self.raises:
            raise self.raises["raise_for_status"]()

    def json(self):
        if "json" in self.raises:
            raise self.raises["json"]()
        return self.body


def bad_json():
    return requests.exceptions.JSONDecodeError("Expecting value", "<html>", 0)


class Service:
    """The module's `requests`: the job request, the polls and the speech POST
    answered from canned values; `fail` names a request whose sending raises."""

    def __init__(self, job=None, poll=None, speech=None, fail=None):
        self.job = job or Answer({"success": True, "id": 7, "progress_url": PROGRESS_URL})
        self.poll = poll or Answer({"success": True, "progress": 1000, "download_url": FILE_URL})
        self.speech = speech or Answer({"audio_data": AUDIO})
        self.fail = fail

    def get(self, url, headers, timeout):
        if url.startswith(API + "ajax/"):
            if self.fail == "job":
                raise requests.exceptions.ConnectionError("connection refused")
            return self.job
        if self.fail == "poll":
            raise requests.exceptions.ReadTimeout("read timed out")
        return self.poll

    def post(self, url, json, headers, timeout):
        if self.fail == "post":
            raise requests.exceptions.ConnectionError("connection refused")
        return self.speech


class Processes:
    """The module's `subprocess`: run() answers with a completed process, or
    raises CalledProcessError for the first vector containing `fail_on`."""

    CalledProcessError = subprocess.CalledProcessError

    def __init__(self, fail_on=None, gpu_returncode=1, error=None):
        self.fail_on = fail_on
        self.gpu_returncode = gpu_returncode
        self.error = error
        self.done = SimpleNamespace(returncode=0)
        self.gpu = SimpleNamespace(returncode=gpu_returncode)

    def run(self, argv, check=False, capture_output=False):
        if self.fail_on is not None and self.fail_on in argv:
            if self.error is not None:
                raise self.error()
            raise subprocess.CalledProcessError(1, argv)
        return self.gpu if capture_output else self.done


def launcher_checks(argv, **kwargs):
    """What the process launcher does first: every element must be a path-like text."""
    for arg in argv:
        os.fsencode(arg)
    return SimpleNamespace(returncode=0)


def no_sleep(seconds):
    pass


def interrupted_sleep(seconds):
    raise KeyboardInterrupt


def quiet_download(url, output_file):
    pass


def failing_download(url, output_file):
    raise Exception("Download timed out after 3 minutes")


def quiet_tts(text, output_file, voice):
    pass


def failing_tts(text, output_file, voice):
    raise Exception("TTS failed for voice " + voice + ": HTTP 500")


def failing_chain(speed):
    raise ValueError("no chain")


class Sub(str):
    pass


class AsFloat:
    def __float__(self):
        return 1.5


class AsIndex:
    def __index__(self):
        return 3


class BadFloat:
    def __float__(self):
        raise ArithmeticError("no float")


# --------------------------------------------------------------------------
# the paths
# --------------------------------------------------------------------------


class Env:
    """What a case needs: the module, monkeypatch, a scratch directory."""

    def __init__(self, kc, monkeypatch, tmp_path):
        self.kc = kc
        self.mp = monkeypatch
        self.tmp = tmp_path
        self.out = tmp_path / "out"
        self.out.mkdir()

    def bind(self, **names):
        for name, value in names.items():
            self.mp.setattr(self.kc, name, value)

    def segments(self, content, name="segments.json"):
        path = self.tmp / name
        path.write_text(
            content if isinstance(content, str) else json.dumps(content), encoding="utf-8"
        )
        return str(path)

    def pipeline(self, segments=TWO, out=None, **names):
        """run_kestro with every collaborator a fake, overridable by name."""
        fakes = dict(
            _download_video=quiet_download,
            _generate_tts=quiet_tts,
            subprocess=Processes(),
            time=SimpleNamespace(sleep=no_sleep),
        )
        fakes.update(names)
        self.bind(**fakes)
        seg = self.segments(segments)
        out = str(self.out) if out is None else out
        return lambda: self.kc.run_kestro("https://youtu.be/x", seg, 1.5, "voice", out)


def atempo(*args, **kwargs):
    return lambda e: lambda: e.kc._build_atempo_chain(*args, **kwargs)


def download(
    service=None, sleep=no_sleep, processes=None, args=("https://youtu.be/x", None), kwargs=None
):
    def setup(e):
        e.bind(
            requests=service or Service(),
            time=SimpleNamespace(sleep=sleep),
            subprocess=processes or Processes(),
        )
        a = tuple(str(e.tmp / "movie.mp4") if x is None else x for x in args)
        return lambda: e.kc._download_video(*a, **(kwargs or {}))

    return setup


def tts(service=None, output=None, args=None, kwargs=None):
    def setup(e):
        e.bind(requests=service or Service())
        target = str(e.tmp / "voice.mp3") if output is None else output
        a = ("narration", target, "voice") if args is None else args
        return lambda: e.kc._generate_tts(*a, **(kwargs or {}))

    return setup


def pipeline(**kw):
    return lambda e: e.pipeline(**kw)


def run_args(*args, **kwargs):
    def setup(e):
        e.bind(
            _download_video=quiet_download,
            _generate_tts=quiet_tts,
            subprocess=Processes(),
            time=SimpleNamespace(sleep=no_sleep),
        )
        return lambda: e.kc.run_kestro(*args, **kwargs)

    return setup


def special(name):
    """Cases that need the scratch directory to be laid out first."""

    def setup(e):
        if name == "segments missing":
            e.pipeline()
            return lambda: e.kc.run_kestro("u", str(e.tmp / "absent.json"), 1.5, "v", str(e.out))
        if name == "bad json in with-block":
            e.pipeline()
            seg = e.segments("[{", "broken.json")
            return lambda: e.kc.run_kestro("u", seg, 1.5, "v", str(e.out))
        if name == "line break in path":
            nl = e.tmp / "a\nb"
            nl.mkdir()
            return e.pipeline(out=str(nl))
        if name == "list file cannot be opened":
            return e.pipeline(out=str(e.tmp / "missing"))
        if name == "list file close fails":
            os.symlink("/dev/full", e.out / "filelist.txt")
            return e.pipeline()
        if name == "list file write fails in with-block":
            # lines longer than the text and byte buffers: write() fails inside
            # the block, and the entry for the with statement is added as it leaves
            deep = e.tmp
            for c in "abcdefghij":
                deep = deep / (c * 240)
            deep.mkdir(parents=True)
            os.symlink("/dev/full", deep / "filelist.txt")
            return e.pipeline(segments=TWO * 4, out=str(deep))
        if name == "removal refused":
            (e.out / "merged_0.mp4").mkdir()
            return e.pipeline()
        if name == "print fails":
            call = e.pipeline()
            e.sink = Sink(fail=True)
            return call
        raise AssertionError(name)

    return setup


KI = KeyboardInterrupt
CPE = subprocess.CalledProcessError

CASES = [
    # _build_atempo_chain: success, conversions, binding failures, the body's refusal
    ("atempo 1.5", atempo(1.5), None),
    ("atempo 10.0", atempo(10.0), None),
    ("atempo int", atempo(3), None),
    ("atempo __float__", atempo(AsFloat()), None),
    ("atempo __index__", atempo(AsIndex()), None),
    ("atempo keyword", atempo(speed=1.5), None),
    ("atempo keyword by value", atempo(**{"".join(["sp", "eed"]): 1.5}), None),
    ("atempo keyword str subclass", atempo(**{Sub("speed"): 1.5}), None),
    ("atempo no argument", atempo(), TypeError),
    ("atempo two arguments", atempo(1.0, 2.0), TypeError),
    ("atempo multiple values", atempo(1.0, speed=2.0), TypeError),
    ("atempo unexpected keyword", atempo(tempo=2.0), TypeError),
    ("atempo unexpected keyword str subclass", atempo(**{Sub("tempo"): 2.0}), TypeError),
    ("atempo conversion str", atempo("2"), TypeError),
    ("atempo conversion None", atempo(None), TypeError),
    ("atempo __float__ raises", atempo(BadFloat()), ArithmeticError),
    ("atempo int too large", atempo(10**400), OverflowError),
    ("atempo inf", atempo(float("inf")), ValueError),
    # _download_video
    ("download ok", download(), None),
    (
        "download keywords",
        download(args=(), kwargs={"url": "https://youtu.be/x", "output_file": "m.mp4"}),
        None,
    ),
    ("download one argument", download(args=("u",)), TypeError),
    ("download three arguments", download(args=("u", "o", "x")), TypeError),
    ("download multiple values", download(args=("u", "o"), kwargs={"url": "u"}), TypeError),
    ("download unexpected keyword", download(args=("u", "o"), kwargs={"link": "u"}), TypeError),
    ("download first missing slot", download(args=(), kwargs={"output_file": "o"}), TypeError),
    ("download output None", download(args=("u", 3)), TypeError),
    ("download url str subclass (note)", download(args=(Sub("u"), "o")), TypeError),
    ("download job request", download(Service(fail="job")), requests.exceptions.ConnectionError),
    (
        "download raise_for_status",
        download(
            Service(
                job=Answer(
                    raises={
                        "raise_for_status": lambda: requests.exceptions.HTTPError(
                            "500 Server Error"
                        )
                    }
                )
            )
        ),
        requests.exceptions.HTTPError,
    ),
    (
        "download job json",
        download(Service(job=Answer(raises={"json": bad_json}))),
        requests.exceptions.JSONDecodeError,
    ),
    (
        "download success false",
        download(Service(job=Answer({"success": False, "msg": "no"}))),
        Exception,
    ),
    (
        "download missing id",
        download(Service(job=Answer({"success": True, "progress_url": PROGRESS_URL}))),
        KeyError,
    ),
    (
        "download missing progress_url",
        download(Service(job=Answer({"success": True, "id": 7}))),
        KeyError,
    ),
    ("download poll request", download(Service(fail="poll")), requests.exceptions.ReadTimeout),
    (
        "download poll json",
        download(Service(poll=Answer(raises={"json": bad_json}))),
        requests.exceptions.JSONDecodeError,
    ),
    (
        "download progress null",
        download(Service(poll=Answer({"success": True, "progress": None}))),
        TypeError,
    ),
    (
        "download 60 polls",
        download(Service(poll=Answer({"success": False, "progress": 1000}))),
        Exception,
    ),
    (
        "download missing download_url",
        download(Service(poll=Answer({"success": True, "progress": 1000}))),
        KeyError,
    ),
    (
        "download refused url",
        download(
            Service(poll=Answer({"success": True, "progress": 1000, "download_url": "--execute=x"}))
        ),
        Exception,
    ),
    (
        "download refused non-str url",
        download(Service(poll=Answer({"success": True, "progress": 1000, "download_url": 42}))),
        Exception,
    ),
    ("download wget fails", download(processes=Processes(fail_on="wget")), CPE),
    (
        "download wget missing",
        download(
            processes=Processes(
                fail_on="wget",
                error=lambda: FileNotFoundError(2, "No such file or directory", "wget"),
            )
        ),
        FileNotFoundError,
    ),
    ("download sleep interrupted", download(sleep=interrupted_sleep), KI),
    # _generate_tts
    ("tts ok", tts(), None),
    (
        "tts keywords",
        tts(args=(), kwargs={"voice": "v", "text": "t", "output_file": os.devnull}),
        None,
    ),
    ("tts first missing slot", tts(args=(), kwargs={"text": "t", "voice": "v"}), TypeError),
    ("tts voice int", tts(args=("t", "o", 5)), TypeError),
    ("tts text str subclass (note)", tts(args=(Sub("t"), "o", "v")), TypeError),
    ("tts post", tts(Service(fail="post")), requests.exceptions.ConnectionError),
    ("tts status 500", tts(Service(speech=Answer({"audio_data": AUDIO}, status=500))), Exception),
    (
        "tts json",
        tts(Service(speech=Answer(raises={"json": bad_json}))),
        requests.exceptions.JSONDecodeError,
    ),
    ("tts missing audio_data", tts(Service(speech=Answer({"audio": AUDIO}))), KeyError),
    ("tts audio_data null", tts(Service(speech=Answer({"audio_data": None}))), TypeError),
    (
        "tts bad base64 in with-block",
        tts(Service(speech=Answer({"audio_data": "SUQ"}))),
        binascii.Error,
    ),
    ("tts open fails", tts(output="/nonexistent-dir/voice.mp3"), FileNotFoundError),
    ("tts close fails", tts(output="/dev/full"), OSError),
    (
        "tts write fails in with-block",
        tts(Service(speech=Answer({"audio_data": "QUFB" * 4000})), output="/dev/full"),
        OSError,
    ),
    # run_kestro: binding
    ("run three arguments", run_args("u", "s", 1.5), TypeError),
    ("run six arguments", run_args("u", "s", 1.5, "v", ".", "x"), TypeError),
    ("run speed str", run_args("u", "s", "2", "v"), TypeError),
    ("run speed str and voice None", run_args("u", "s", "2", None), TypeError),
    ("run voice None", run_args("u", "s", 1.5, None), TypeError),
    ("run output_dir str subclass (note)", run_args("u", "s", 1.5, "v", Sub(".")), TypeError),
    ("run multiple values", run_args("u", "s", 1.5, "v", youtube_url="u"), TypeError),
    ("run unexpected keyword", run_args("u", "s", 1.5, "v", voice="v"), TypeError),
    ("run first missing slot", run_args("u", speed_factor=1.5, tts_voice="v"), TypeError),
    # run_kestro: the body
    ("run ok (gpu fails, cpu runs)", pipeline(), None),
    ("run ok (gpu works)", pipeline(subprocess=Processes(gpu_returncode=0)), None),
    ("run ok, no segments", pipeline(segments=[]), None),
    ("run download fails", pipeline(_download_video=failing_download), Exception),
    ("run segments missing", special("segments missing"), FileNotFoundError),
    ("run bad json in with-block", special("bad json in with-block"), json.JSONDecodeError),
    ("run segments not a list of objects", pipeline(segments={"start": 1}), TypeError),
    ("run missing start", pipeline(segments=[{"end": "1", "voiceover": "x"}]), KeyError),
    ("run missing voiceover", pipeline(segments=[{"start": "0", "end": "1"}]), KeyError),
    ("run narration fails", pipeline(_generate_tts=failing_tts), Exception),
    ("run pause interrupted", pipeline(time=SimpleNamespace(sleep=interrupted_sleep)), KI),
    (
        "run number start",
        pipeline(
            segments=[{"start": 0, "end": 1, "voiceover": "x"}],
            subprocess=SimpleNamespace(run=launcher_checks),
        ),
        TypeError,
    ),
    ("run cut fails", pipeline(subprocess=Processes(fail_on="-ss")), CPE),
    ("run merge fails", pipeline(subprocess=Processes(fail_on="-shortest")), CPE),
    ("run line break in path", special("line break in path"), ValueError),
    ("run list file cannot be opened", special("list file cannot be opened"), FileNotFoundError),
    ("run list file close fails", special("list file close fails"), OSError),
    (
        "run list file write fails in with-block",
        special("list file write fails in with-block"),
        OSError,
    ),
    ("run concat fails", pipeline(subprocess=Processes(fail_on="concat")), CPE),
    ("run tempo chain fails", pipeline(_build_atempo_chain=failing_chain), ValueError),
    ("run export fails", pipeline(subprocess=Processes(fail_on="libx264")), CPE),
    (
        "run gpu attempt cannot start",
        pipeline(
            subprocess=Processes(
                fail_on="h264_nvenc",
                error=lambda: FileNotFoundError(2, "No such file or directory", "ffmpeg"),
            )
        ),
        FileNotFoundError,
    ),
    ("run removal refused", special("removal refused"), IsADirectoryError),
    ("run print fails", special("print fails"), OSError),
]


def shared_objects(kc):
    """What every call reaches: the "." default and its tuple, the cached
    builtins, the imported modules, the functions, the namespace."""
    objs = {
        "'.' default": kc.run_kestro.__defaults__[0],
        "defaults tuple": kc.run_kestro.__defaults__,
        "print": builtins.print,
        "open": builtins.open,
        "namespace": kc.__dict__,
        "module": kc,
    }
    for name in (
        "json",
        "subprocess",
        "requests",
        "base64",
        "re",
        "time",
        "os",
        "quote",
        "_download_video",
        "_generate_tts",
        "_build_atempo_chain",
        "run_kestro",
    ):
        objs[name] = getattr(kc, name)
    return objs


@pytest.fixture(scope="module", autouse=True)
def report(request):
    yield
    if not DELTAS:
        return
    plugins = request.config.pluginmanager
    tr = plugins.get_plugin("terminalreporter")
    capture = plugins.get_plugin("capturemanager")
    if tr is None or capture is None:
        return
    kind = "allocated blocks" if sys.getallocatedblocks() > 0 else "blocks traced by tracemalloc"
    with capture.global_and_fixture_disabled():
        tr.write_line("")
        tr.write_line(f"{kind} gained over {CALLS} calls, per path:")
        for name, deltas in DELTAS.items():
            tr.write_line(f"  {' then '.join(f'{d:+d}' for d in deltas):>12}  {name}")


def measure(once, watched):
    """Warm `once` up, then call it CALLS times (again, up to ATTEMPTS times,
    while the blocks gained reach BLOCK_SLACK). Returns the blocks gained per
    attempt and the reference-count changes of `watched` per attempt."""
    deltas, drifts = [], []
    with Counter() as count:
        # warm up until the interpreter's own caches and free lists stop growing:
        # two rounds in a row that add at most two blocks each
        quiet = 0
        for _ in range(WARMUP_ROUNDS):
            start = count()
            for _ in range(WARMUP):
                once()
            quiet = quiet + 1 if count() - start <= 2 else 0
            if quiet == 2:
                break
        # The interpreter's file layer alone (open + json.load in plain Python)
        # now and then keeps a few dozen blocks more for good; such a step does
        # not come back in the next thousand calls, a leak does.
        for _ in range(ATTEMPTS):
            gc.collect()  # garbage of earlier tests may hold references
            refs = {key: sys.getrefcount(obj) for key, obj in watched.items()}
            before = count()
            for _ in range(CALLS):
                once()
            after = count()
            refs_after = {key: sys.getrefcount(obj) for key, obj in watched.items()}
            drifts.append(
                {key: refs_after[key] - refs[key] for key in refs if refs_after[key] != refs[key]}
            )
            deltas.append(after - before)
            if abs(deltas[-1]) < BLOCK_SLACK:
                break
    return deltas, drifts


@pytest.mark.parametrize("name,setup,expected", CASES, ids=[c[0] for c in CASES])
def test_no_growth(kc, monkeypatch, tmp_path, name, setup, expected):
    # the real objects, whatever the case rebinds afterwards
    watched = shared_objects(kc)
    env = Env(kc, monkeypatch, tmp_path)
    env.sink = Sink()
    call = setup(env)
    # and the fakes the case bound in the namespace
    for key in (
        "requests",
        "subprocess",
        "time",
        "_download_video",
        "_generate_tts",
        "_build_atempo_chain",
    ):
        current = getattr(kc, key)
        if current is not watched[key]:
            watched["bound " + key] = current

    def once():
        if expected is None:
            call()
            return
        try:
            call()
        except expected:
            return
        raise AssertionError(f"{name}: {expected.__name__} not raised")

    monkeypatch.setattr(sys, "stdout", env.sink)
    once()  # the outcome is right before anything is counted
    deltas, drifts = measure(once, watched)
    monkeypatch.undo()
    DELTAS[name] = deltas
    assert all(d == {} for d in drifts), f"reference counts drifted over {CALLS} calls: {drifts}"
    assert abs(deltas[-1]) < BLOCK_SLACK, f"blocks gained per {CALLS} calls: {deltas}"


def test_the_count_sees_a_leak(kc, monkeypatch, tmp_path):
    """The measurement itself: a narration fake that keeps one new object and
    one reference to the module's `json` per call is caught on both counts."""
    kept = []

    def hoarding_tts(text, output_file, voice):
        kept.append((text, kc.json))

    call = Env(kc, monkeypatch, tmp_path).pipeline(segments=TWO[:1], _generate_tts=hoarding_tts)
    monkeypatch.setattr(sys, "stdout", Sink())
    deltas, drifts = measure(call, {"json": kc.json})
    monkeypatch.undo()
    assert len(deltas) == ATTEMPTS and min(deltas) >= CALLS
    assert [d["json"] for d in drifts] == [CALLS] * ATTEMPTS


def test_arguments_are_released(kc, monkeypatch, tmp_path):
    """The argument objects themselves: fresh, non-immortal values passed to
    every function on success and on failure keep their reference counts."""
    env = Env(kc, monkeypatch, tmp_path)
    seg = env.segments(TWO)
    env.bind(requests=Service(), time=SimpleNamespace(sleep=no_sleep), subprocess=Processes())
    monkeypatch.setattr(sys, "stdout", Sink())
    link = "".join(["https://youtu.be/", "abc"])
    out = str(env.out) + "/"
    voice = "".join(["vo", "ice"])
    speed = float("1.75")
    bad = [None]
    args = [link, out, voice, speed, seg]
    before = [sys.getrefcount(a) for a in args]
    for _ in range(200):
        kc._build_atempo_chain(speed)
        kc._build_atempo_chain(speed=speed)
        kc._generate_tts(link, os.devnull, voice)
        kc._download_video(link, os.devnull)
        kc.run_kestro(link, seg, speed, voice, out)
        kc.run_kestro(
            youtube_url=link, segments_file=seg, speed_factor=speed, tts_voice=voice, output_dir=out
        )
        with pytest.raises(TypeError):
            kc.run_kestro(link, seg, speed, voice, bad)
        with pytest.raises(TypeError):
            kc._generate_tts(link, out, voice, voice)
    after = [sys.getrefcount(a) for a in args]
    assert after == before
