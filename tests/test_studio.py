"""The studio: the real server as a child process (``python -m kestro_core studio``) on
127.0.0.1, driven over HTTP, and once through a real browser (Debian's Chromium, driven by
Playwright) from marking two ranges to playing the rendered video.
"""

import json
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from importlib import resources
from pathlib import Path
from urllib.parse import parse_qs, urlsplit

import pytest

from tests.support.media import have_ffmpeg, make_source_video

requests = pytest.importorskip("requests")
pytest.importorskip("starlette", reason="the studio needs starlette (kestro_core[studio])")
pytest.importorskip("uvicorn", reason="the studio needs uvicorn (kestro_core[studio])")

from kestro_core.segments.timecode import parse_time  # noqa: E402
from kestro_core.speech.piper import default_piper_voice  # noqa: E402
from kestro_core.store import products  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
pytestmark = [
    pytest.mark.skipif(not have_ffmpeg(), reason="needs ffmpeg and ffprobe"),
    # espeak-ng hangs under the sanitizer preload: the studio speaks with piper here
    pytest.mark.skipif(default_piper_voice() is None, reason="needs the bundled piper voice"),
]

SEGMENTS = [
    {"start": "00:00:01.000", "end": "00:00:03.000", "voiceover": "One.", "note": "kept"},
    {"start": "00:00:04.000", "end": "00:00:06.500", "voiceover": "Two."},
]


class Studio:
    """A studio server run as a child process; its address and token from what it prints."""

    def __init__(self, cwd, *args, port=None):
        argv = [sys.executable, "-P", "-m", "kestro_core", "studio", *map(str, args)]
        argv += ["--no-browser", "--speech", "piper"]
        if port is not None:
            argv += ["--port", str(port)]
        self.proc = subprocess.Popen(
            argv, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        self.printed = []
        self.url = self.token = None
        lines = queue.Queue()
        threading.Thread(target=lambda: lines.put(self.proc.stdout.readline()), daemon=True).start()
        deadline = time.monotonic() + 60
        while self.token is None and time.monotonic() < deadline:
            try:
                line = lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                break
            self.printed.append(line)
            if "?token=" in line:
                self.url, self.token = line.split()[1].split("?token=")
            elif line:
                threading.Thread(
                    target=lambda: lines.put(self.proc.stdout.readline()), daemon=True
                ).start()
            else:
                break  # it exited
        if self.token is None:
            self.stop()
            raise AssertionError(f"no address printed: {self.printed} {self.proc.stderr.read()}")
        self.port = int(self.url.rstrip("/").rsplit(":", 1)[1])
        self.cookies = {f"kestro_studio_{self.port}": self.token}

    def get(self, path, cookie=True, **kw):
        return requests.get(
            self.url.rstrip("/") + path,
            cookies=self.cookies if cookie else None,
            timeout=kw.pop("timeout", 60),
            **kw,
        )

    def post(self, path, body=None, header=True, **kw):
        headers = kw.pop("headers", {})
        if header:
            headers["X-Studio-Token"] = self.token
        return requests.post(
            self.url.rstrip("/") + path,
            json=body if "data" not in kw else None,
            cookies=self.cookies,
            headers=headers,
            timeout=120,
            **kw,
        )

    def save(self, segments, overwrite=False):
        return self.post("/api/save", {"segments": segments, "overwrite": overwrite})

    def stop(self, timeout=15):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(10)
            raise


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    return make_source_video(tmp_path_factory.mktemp("src") / "source.mp4", duration=8)


@pytest.fixture
def studio(tmp_path, source):
    """A studio on a segments file holding SEGMENTS, output into tmp_path/out."""
    seg = tmp_path / "segments.json"
    seg.write_text(json.dumps(SEGMENTS, indent=1))
    (tmp_path / "out").mkdir()
    server = Studio(tmp_path, source, seg, "--output-dir", tmp_path / "out")
    server.segments = seg
    yield server
    server.stop()


def page_rows(state):
    return [{k: s[k] for k in ("id", "start", "end", "voiceover")} for s in state["segments"]]


# --------------------------------------------------------------------------
# the guard: token, Host, Origin, body size
# --------------------------------------------------------------------------


def test_guard(studio):
    port = studio.port
    assert studio.get("/api/state", cookie=False).status_code == 403
    assert studio.get("/?token=" + "x" * len(studio.token), cookie=False).status_code == 403
    first = studio.get("/?token=" + studio.token, cookie=False)
    assert first.status_code == 200
    cookie = first.headers["set-cookie"]
    assert cookie.startswith(f"kestro_studio_{port}={studio.token};")
    assert "HttpOnly" in cookie and "SameSite=Strict" in cookie
    assert "script-src 'self'" in first.headers["content-security-policy"]
    assert "unsafe-inline" not in first.headers["content-security-policy"]
    assert not any(h.lower().startswith("access-control") for h in first.headers)

    assert studio.get("/api/state").status_code == 200
    assert studio.get("/api/state", headers={"Host": f"localhost:{port}"}).status_code == 200
    for host in (f"attacker.example:{port}", "127.0.0.1", f"127.0.0.1:{port + 1}"):
        assert studio.get("/api/state", headers={"Host": host}).status_code == 403, host
    # a page elsewhere that learned the token still cannot change anything
    assert studio.post("/api/reload", {}).status_code == 200
    assert studio.post("/api/reload", {}, header=False).status_code == 403
    evil = {"Origin": "http://attacker.example"}
    assert studio.post("/api/reload", {}, headers=evil).status_code == 403
    own = {"Origin": f"http://127.0.0.1:{port}"}
    assert studio.post("/api/reload", {}, headers=own).status_code == 200


def test_big_bodies_are_refused(studio):
    big = b"[" + b" " * (1 << 20) + b"]"
    assert studio.post("/api/save", data=big).status_code == 413

    def chunks():  # no length announced
        for _ in range(20):
            yield b" " * 65536

    assert studio.post("/api/save", data=chunks()).status_code == 413
    assert json.loads(studio.segments.read_text()) == SEGMENTS


def test_keyframes_are_read_for_a_window_only(studio):
    # the source has a keyframe every second: the one at or before "from", then those before "to"
    answer = studio.get("/api/keyframes?from=2.5&to=5.2").json()
    assert answer["keyframes"] == pytest.approx([2.0, 3.0, 4.0, 5.0], abs=1e-3)
    too_long = "from=0&to=300.002"  # the server reads at most 300 s at once
    for query in (too_long, "from=5&to=4", "from=-1&to=2", "from=x&to=2", "to=2", "from=nan&to=1"):
        assert studio.get(f"/api/keyframes?{query}").status_code == 400, query
    assert studio.get("/api/keyframes?from=0&to=300").status_code == 200


def test_video_range_request(studio, source):
    whole = Path(source).read_bytes()
    part = studio.get("/media/video", headers={"Range": "bytes=1000-1999"})
    assert part.status_code == 206
    assert part.content == whole[1000:2000]
    assert part.headers["content-range"] == f"bytes 1000-1999/{len(whole)}"


@pytest.mark.parametrize(
    "path",
    [
        "/media/output/..%2Fsegments.json",
        "/media/output/%2Fetc%2Fpasswd",
        "/media/output/movie.mp4",
        "/static/..%2Fsession.py",
        "/static/index.html%00.js",
        "/media/narration/1",  # nothing spoken yet
    ],
)
def test_paths_from_the_page_are_never_opened(studio, path):
    answer = studio.get(path)
    assert answer.status_code == 404
    assert b"kept" not in answer.content and b"root:" not in answer.content


def test_a_path_in_a_request_body_is_not_opened(studio, tmp_path):
    elsewhere = tmp_path / "elsewhere.json"
    rows = page_rows(studio.get("/api/state").json())
    body = {"segments": rows, "path": str(elsewhere), "segments_file": str(elsewhere)}
    assert studio.post("/api/save", body).status_code == 200
    assert not elsewhere.exists()
    assert json.loads(studio.segments.read_text()) == SEGMENTS


# --------------------------------------------------------------------------
# saving
# --------------------------------------------------------------------------


def test_save_keeps_keys_writes_bak_once_and_loads_back(studio):
    original = studio.segments.read_bytes()
    rows = page_rows(studio.get("/api/state").json())
    rows[1]["voiceover"] = 'Two, said "again" <img src=x onerror=alert(1)>'
    rows.insert(0, {"id": None, "start": "0.5", "end": "00:00:00.900", "voiceover": "Zero."})
    answer = studio.save(rows)
    assert answer.status_code == 200, answer.text
    saved = json.loads(studio.segments.read_text())
    assert saved[1] == SEGMENTS[0]  # the extra key came along, in its place
    assert saved[2]["voiceover"] == rows[2]["voiceover"]
    assert saved[0] == {"start": "0.5", "end": "00:00:00.900", "voiceover": "Zero."}
    bak = Path(str(studio.segments) + ".bak")
    assert bak.read_bytes() == original

    # the saved file loads back as the page had it
    again = studio.post("/api/reload", {}).json()
    assert [{k: r[k] for k in ("start", "end", "voiceover")} for r in again["segments"]] == [
        {k: r[k] for k in ("start", "end", "voiceover")} for r in rows
    ]
    # a second save leaves the .bak as the file was when the studio opened it
    assert studio.save(page_rows(again)[:1]).status_code == 200
    assert bak.read_bytes() == original
    assert len(json.loads(studio.segments.read_text())) == 1


def test_save_refused_on_problems_and_on_changes_made_elsewhere(studio):
    rows = page_rows(studio.get("/api/state").json())
    bad = [dict(rows[0], end="00:00:00.500")]
    answer = studio.save(bad)
    assert answer.status_code == 422
    assert 'Segment 1 "end"' in answer.json()["problems"]
    assert json.loads(studio.segments.read_text()) == SEGMENTS

    time.sleep(0.01)
    elsewhere = json.dumps(SEGMENTS[:1])
    studio.segments.write_text(elsewhere)
    answer = studio.save(rows)
    assert answer.status_code == 409 and answer.json()["conflict"]
    assert studio.segments.read_text() == elsewhere
    assert not Path(str(studio.segments) + ".bak").exists()
    assert studio.save(rows, overwrite=True).status_code == 200
    assert json.loads(studio.segments.read_text()) == SEGMENTS


def test_unparsable_segments_file_opens_with_its_problems(tmp_path, source):
    seg = tmp_path / "segments.json"
    seg.write_text('[{"start": "1", "end": "2", "voiceover": "x"},]')
    server = Studio(tmp_path, source, seg)
    try:
        state = server.get("/api/state").json()
        assert state["blocked"] and state["segments"] == []
        assert "not valid JSON" in state["problems"]
        rows = [{"id": None, "start": "1", "end": "2", "voiceover": "New."}]
        answer = server.save(rows)
        assert answer.status_code == 409
        assert seg.read_text().endswith("},]")
        assert server.save(rows, overwrite=True).status_code == 200
        assert json.loads(seg.read_text()) == [{"start": "1", "end": "2", "voiceover": "New."}]
        assert Path(str(seg) + ".bak").read_text().endswith("},]")
    finally:
        server.stop()


@pytest.mark.parametrize(
    "path, change, refused",
    [
        ("/api/save", {"frame": 1.5}, 422),
        ("/api/save", {"frame": None}, 422),
        ("/api/save", {"frame": "left"}, 422),
        ("/api/save", {"sound": "loud"}, 422),
        ("/api/render", {"frame": [0.5]}, 422),
        ("/api/render", {"sound": None}, 422),
        ("/api/render", {"caption_style": "bold"}, 400),
    ],
)
def test_bad_frames_sounds_and_caption_styles_are_refused(studio, path, change, refused):
    rows = page_rows(studio.get("/api/state").json())
    style = change.get("caption_style", "words")
    rows[0].update({k: v for k, v in change.items() if k in ("frame", "sound")})
    body = {"segments": rows, "speed": 1.0, "voice": 0, "options": {"caption_style": style}}
    answer = studio.post(path, body)
    assert answer.status_code == refused, answer.text
    if refused == 422:
        (key,) = change
        assert f'Segment 1 "{key}"' in answer.json()["problems"]
    assert json.loads(studio.segments.read_text()) == SEGMENTS
    assert studio.get("/api/progress").text.startswith("event: idle")


# --------------------------------------------------------------------------
# refusals at start
# --------------------------------------------------------------------------


def run_studio(cwd, *args, timeout=60):
    argv = [sys.executable, "-P", "-m", "kestro_core", "studio", *map(str, args), "--no-browser"]
    return subprocess.run(argv, cwd=cwd, capture_output=True, text=True, timeout=timeout)


def test_refused_at_start(tmp_path, source):
    text = tmp_path / "notes.mp4"
    text.write_text("not a video")
    done = run_studio(tmp_path, text)
    assert done.returncode == 1
    assert "is not a video ffmpeg can read" in done.stderr

    # a codec the browser does not play: refused with the command for a preview copy
    mpeg4 = tmp_path / "old.avi"
    subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=size=160x90:duration=1"]
        + ["-c:v", "mpeg4", str(mpeg4)],
        check=True,
        timeout=60,
    )
    done = run_studio(tmp_path, mpeg4, "--speech", "piper")
    assert done.returncode == 1
    assert "the browser cannot play the source video" in done.stderr
    assert f"ffmpeg -i {mpeg4} -c:v libx264" in done.stderr

    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        done = run_studio(tmp_path, source, "--port", port, "--speech", "piper")
    assert done.returncode == 1
    assert f"port {port} on 127.0.0.1 is in use" in done.stderr
    assert not (Path(source).parent / "segments.json").exists()

    for music, why in (
        (text, f"the music file {str(text)!r} holds no sound ffmpeg can read"),
        (tmp_path / "gone.mp3", "does not exist: give the path of an audio file"),
    ):
        done = run_studio(tmp_path, source, "--speech", "piper", "--music", music)
        assert done.returncode == 1 and why in done.stderr, done.stderr
    done = run_studio(tmp_path, source, "--speech", "piper", "--music-level", "30")
    assert done.returncode == 1 and "music level 30 dB is out of reach" in done.stderr


def test_next_free_port_when_none_was_given():
    from kestro_core.studio.server import DEFAULT_PORT, bind

    with socket.socket() as held:
        held.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # past earlier TIME_WAITs
        try:
            held.bind(("127.0.0.1", DEFAULT_PORT))
            held.listen(1)
        except OSError:
            pass  # another program listens there: just as good
        sock = bind(None)
        with sock:
            assert DEFAULT_PORT < sock.getsockname()[1] < DEFAULT_PORT + 50


# --------------------------------------------------------------------------
# render: one at a time; Ctrl-C ends the child's whole process group
# --------------------------------------------------------------------------


def group_members(pgid):
    members = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path(f"/proc/{entry}/stat").read_text()
            except OSError:
                continue
            fields = stat.rsplit(")", 1)[1].split()
            if int(fields[2]) == pgid and fields[0] != "Z":
                members.append(int(entry))
    return members


def children(pid):
    # a child belongs to the thread that started it
    found = []
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            found += [int(c) for c in (task / "children").read_text().split()]
        except OSError:
            pass
    return found


def test_ctrl_c_during_a_render(studio):
    before = studio.segments.read_bytes()
    rows = page_rows(studio.get("/api/state").json())
    body = {"segments": rows, "speed": 1.5, "voice": 0, "options": {}}
    assert studio.post("/api/render", body).status_code == 200, "render refused"
    second = studio.post("/api/render", body)
    assert second.status_code == 409 and "running" in second.json()["message"]

    (child,) = children(studio.proc.pid)
    stream = studio.get("/api/progress", stream=True)
    lines = stream.iter_lines()
    assert next(line for line in lines if line.startswith(b"data:"))
    kept_open = threading.Thread(target=lambda: [None for _ in lines], daemon=True)
    kept_open.start()

    assert group_members(child), "the render ended before Ctrl-C"
    started = time.monotonic()
    studio.proc.send_signal(signal.SIGINT)
    assert studio.proc.wait(10) == 130
    assert time.monotonic() - started < 5
    assert group_members(child) == []  # the job and every ffmpeg it started
    assert studio.segments.read_bytes() == before


def follow_render(studio):
    """The render's server-sent events up to its outcome: (events, outcome)."""
    events, kind = [], "message"
    with studio.get("/api/progress", stream=True, timeout=600) as stream:
        for line in stream.iter_lines(decode_unicode=True):
            if line.startswith("event:"):
                kind = line.split(":", 1)[1].strip()
            elif line.startswith("data:"):
                data = json.loads(line.split(":", 1)[1])
                if kind == "done":
                    return events, data
                events.append(data)
    raise AssertionError(f"the progress stream ended without an outcome after {events}")


def test_render_follows_events_and_burns_without_srt_files(studio):
    rows = page_rows(studio.get("/api/state").json())
    out = studio.segments.parent / "out"
    stale = out / products.VERTICAL_CAPTIONS  # left by an earlier run: not this render's
    stale.write_text("stale")
    os.utime(stale, (946684800, 946684800))
    options = {"captions": False, "burn": True, "timeline": True}
    body = {"segments": rows, "speed": 1.5, "voice": 0, "options": options}
    assert studio.post("/api/render", body).status_code == 200
    events, done = follow_render(studio)
    assert done["ok"], done["message"]
    assert (out / products.timeline_file("otio")).is_file()  # the render's timeline box
    made = {products.VERTICAL, products.HORIZONTAL, products.CAPTIONED}
    assert set(done["products"]) == made
    assert made <= set(os.listdir(out))
    assert not (out / products.HORIZONTAL_CAPTIONS).exists()
    assert not stale.exists() or stale.read_text() == "stale"
    captioned = studio.get(f"/media/output/{products.CAPTIONED}")
    assert (
        captioned.status_code == 200
        and captioned.content == (out / products.CAPTIONED).read_bytes()
    )

    # every event as the run sent it, named in words, stamped in order
    assert {e["step"] for e in events} >= {"narrate", "cut", "join", "export", "burn"}
    assert [e["t"] for e in events] == sorted(e["t"] for e in events)
    for e in events:
        assert e["fraction"] is None or 0 <= e["fraction"] <= 1, e
    second = [e for e in events if e["step"] == "narrate" and e["index"] == 2]
    assert second and second[0]["total"] == 2
    assert second[0]["label"] == "Segment 2 of 2, the narration"


@pytest.fixture(scope="module")
def music(tmp_path_factory):
    path = tmp_path_factory.mktemp("music") / "tune.m4a"
    subprocess.run(
        ["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=frequency=330:duration=3"]
        + ["-c:a", "aac", str(path)],
        check=True,
        timeout=60,
    )
    return path


def music_flags(argv):
    """What a run's arguments say of the music and the finished short."""
    flags = {f: argv[argv.index(f) + 1] for f in ("--music", "--music-level") if f in argv}
    return {**flags, "--finish": "--finish" in argv}


@pytest.mark.parametrize(
    "options, level, finish",
    [  # the music asks for the finished short even when the page did not
        ({"finish": False}, "-12.5", True),
        ({"finish": True, "music_level": -60}, "-60.0", True),
        ({"music": False}, None, False),
    ],
)
def test_render_lays_the_music_under_the_finished_short(
    tmp_path, source, music, options, level, finish
):
    seg = tmp_path / "segments.json"
    seg.write_text(json.dumps(SEGMENTS))
    server = Studio(tmp_path, source, seg, "--music", music, "--music-level", "-12.5")
    try:
        state = server.get("/api/state").json()
        assert state["music"] == {"name": "tune.m4a", "level": -12.5, "levels": [-60, 20]}
        body = {"segments": page_rows(state), "speed": 1.0, "voice": 0}
        for bad in (20.5, "loud"):
            answer = server.post("/api/render", {**body, "options": {"music_level": bad}})
            assert answer.status_code == 400 and "music level" in answer.json()["message"]
        answer = server.post("/api/render", {**body, "options": options})
        assert answer.status_code == 200, answer.text
        assert bool(answer.json()["note"]) == (options == {"finish": False})
        (child,) = children(server.proc.pid)
        argv = Path(f"/proc/{child}/cmdline").read_text().split("\0")
        music_on = {"--music": str(music), "--music-level": level} if level else {}
        assert music_flags(argv) == {**music_on, "--finish": finish}
    finally:
        assert server.stop() == 130


# --------------------------------------------------------------------------
# the page in a real browser
# --------------------------------------------------------------------------

SHOT = ROOT / "build" / "studio.png"
FITTED = re.compile("fits|cut off|dropped|stands still")


def without_preload():
    """The environment without the sanitizer preload: Chromium spins with it, and the
    Playwright driver (node) must not carry it either."""
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


@pytest.fixture
def browser():
    chromium = shutil.which("chromium")
    if chromium is None:
        pytest.skip("Debian's chromium is not installed (make test installs it)")
    sync_api = pytest.importorskip("playwright.sync_api", reason="needs playwright from PyPI")
    # Chromium spins with the sanitizer preload, and the Playwright driver (node) must not
    # carry it either; the studio and its render child keep it
    preload = os.environ.pop("LD_PRELOAD", None)
    # a check waits as long as an action may: under the sanitizers the studio's planning
    # of a row outlasts the default five seconds
    sync_api.expect.set_options(timeout=60_000)
    try:
        pw = sync_api.sync_playwright().start()
        b = pw.chromium.launch(
            executable_path=chromium,
            env=dict(os.environ),
            args=["--no-sandbox", "--autoplay-policy=no-user-gesture-required"],
            timeout=60_000,
        )
    finally:
        if preload is not None:
            os.environ["LD_PRELOAD"] = preload
    try:
        yield b
    finally:
        b.close()
        pw.stop()


def test_mark_hear_save_render_in_the_browser(tmp_path, source, browser):
    from playwright.sync_api import expect

    seg = tmp_path / "segments.json"  # made by the first save
    out = tmp_path / "out"
    out.mkdir()
    server = Studio(tmp_path, source, seg, "--output-dir", out, "--speed", "1.25")
    dialogs = []
    try:
        page = browser.new_page(viewport={"width": 1280, "height": 800})
        page.on("dialog", lambda d: (dialogs.append(d.message), d.dismiss()))
        page.set_default_timeout(60_000)
        page.goto(f"{server.url}?token={server.token}")
        page.wait_for_function(
            "() => document.querySelector('[data-testid=video]').readyState >= 1"
        )
        video = page.get_by_test_id("video")
        narrations = ["The first range.", "Second <img src=x onerror=alert(1)> one."]
        for n, (t0, t1) in enumerate([(1.0, 3.0), (4.0, 6.48)]):
            if n:
                page.keyboard.press("n")
            for t, key in ((t0, "i"), (t1, "o")):
                video.evaluate("(v, t) => { v.currentTime = t; }", t)
                page.wait_for_function(
                    "t => document.querySelector('[data-testid=time]').textContent === t",
                    arg=f"00:00:0{t:.3f}",
                )
                page.keyboard.press(key)
            page.get_by_test_id("segment").nth(n).get_by_test_id("narration").fill(narrations[n])
            page.get_by_test_id("time").click()  # the field loses focus: spoken now
        rows = page.get_by_test_id("segment")
        assert rows.count() == 2
        for n in range(2):
            expect(rows.nth(n).get_by_test_id("fit")).to_have_text(FITTED)
        assert rows.nth(1).get_by_test_id("end").input_value() == "00:00:06.480"

        # hear Segment 1: its range plays muted, with its narration over it, up to its end
        with page.expect_response("**/media/narration/1?*") as heard:
            rows.nth(0).get_by_title("hear the range as it will sound").click()
        assert heard.value.status in (200, 206)  # the audio element asks for a range
        assert heard.value.headers["content-type"] == "audio/mpeg"
        page.wait_for_function(
            "() => { const v = document.querySelector('video'); "
            "return v.paused && !v.muted && v.currentTime >= 3; }"
        )

        page.get_by_test_id("save").click()
        page.wait_for_function(
            "() => document.getElementById('message').textContent.startsWith('saved')"
        )
        assert json.loads(seg.read_text()) == [
            {"start": "00:00:01.000", "end": "00:00:03.000", "voiceover": narrations[0]},
            {"start": "00:00:04.000", "end": "00:00:06.480", "voiceover": narrations[1]},
        ]

        # an event half-way through a step: its name, its bar, the time it has left
        started = {"step": "cut", "message": "", "index": 2, "total": 3, "t": 10.0}
        for fraction, t in ((0.0, 10.0), (0.25, 12.0)):
            page.evaluate(
                "e => showEvent(e)",
                {**started, "fraction": fraction, "t": t, "label": "Segment 2 of 3, the clip cut"},
            )
        assert page.locator("#progress-line").inner_text() == "Segment 2 of 3, the clip cut"
        assert page.locator("#bar-fill").evaluate("e => e.style.width") == "25%"
        assert page.locator("#eta").inner_text() == "about 6 s left in this step"

        page.get_by_test_id("render").click()
        page.wait_for_function(
            "() => document.getElementById('progress-log').textContent.includes('of 2,')",
            timeout=120_000,
        )
        page.reload()  # the progress is picked up again
        result = page.get_by_test_id("result")
        page.wait_for_function(
            "() => document.querySelector('[data-testid=result]').currentTime > 0.3",
            timeout=300_000,
        )
        assert "Segment 2 of 2" in page.get_by_test_id("progress").inner_text()
        assert page.locator("#bar-fill").evaluate("e => e.style.width") == "100%"
        assert rows.nth(1).get_by_test_id("narration").input_value() == narrations[1]
        assert page.locator("img").count() == 0 and dialogs == []
        assert result.evaluate("v => v.textTracks.length") == 1
        assert result.evaluate("v => v.getBoundingClientRect().height") >= 360  # to judge it
        result.evaluate("v => v.pause()")
        SHOT.parent.mkdir(exist_ok=True)
        page.screenshot(path=str(SHOT))
    finally:
        assert server.stop() == 130


FRAMED = [  # the second Segment starts 0.8 s after a keyframe: a stream-copy warning
    {"start": "00:00:01.000", "end": "00:00:03.000", "voiceover": "One.", "note": "kept"},
    {"start": "00:00:04.800", "end": "00:00:06.500", "voiceover": "Two.", "frame": 0.7},
]


def test_frame_finished_short_and_warnings_in_the_browser(tmp_path, source, browser):
    seg = tmp_path / "segments.json"
    seg.write_text(json.dumps(FRAMED))
    out = tmp_path / "out"
    out.mkdir()
    server = Studio(tmp_path, source, seg, "--output-dir", out)
    try:
        page = browser.new_page(viewport={"width": 1280, "height": 800})
        page.set_default_timeout(60_000)
        page.goto(f"{server.url}?token={server.token}")
        page.wait_for_function("() => !document.getElementById('frame-box').hidden")
        rows = page.get_by_test_id("segment")
        box, grip = page.get_by_test_id("frame-box"), page.get_by_test_id("frame-grip")
        video = page.get_by_test_id("video").bounding_box()
        # the 320x180 picture fills the 680x383 element: the 9:16 box is its height tall
        picture_width = video["width"]
        width = video["height"] * 9 / 16

        def drag(dx):
            at = grip.bounding_box()
            x, y = at["x"] + at["width"] / 2, at["y"] + at["height"] / 2
            page.mouse.move(x, y)
            page.mouse.down()
            page.mouse.move(x + dx, y, steps=5)
            page.mouse.up()
            return box.bounding_box()

        def save():
            page.evaluate("() => { document.getElementById('message').textContent = ''; }")
            page.get_by_test_id("save").click()
            page.wait_for_function(
                "() => document.getElementById('message').textContent.startsWith('saved')"
            )
            return json.loads(seg.read_text())

        # Segment 1 has no frame: the box stands in the middle; dragged far left, it stops
        # at the picture's edge, and its centre is saved as the frame
        first = box.bounding_box()
        assert first["x"] + first["width"] / 2 == pytest.approx(
            video["x"] + video["width"] / 2, abs=2
        )
        left = drag(-1000)
        assert left["x"] == pytest.approx(video["x"], abs=2)
        edge = width / 2 / picture_width
        assert save()[0] == dict(FRAMED[0], frame=pytest.approx(edge, abs=2e-3))
        drag(picture_width * 0.2)
        assert rows.nth(0).get_by_test_id("frame").evaluate("m => m.selectedOptions[0].text") == (
            f"crop at {edge + 0.2:.3f}"
        )
        assert save()[0]["frame"] == pytest.approx(edge + 0.2, abs=3e-3)

        # Segment 2, at 0.7 in the file: its box right of the middle; the menu writes fit, auto
        rows.nth(1).get_by_test_id("narration").click()
        second = box.bounding_box()
        assert second["x"] + second["width"] / 2 == pytest.approx(
            video["x"] + 0.7 * picture_width, abs=2
        )
        for choice in ("fit", "auto"):
            rows.nth(1).get_by_test_id("frame").select_option(choice)
            assert save()[1] == dict(FRAMED[1], frame=choice)
        assert save()[0]["note"] == "kept"

        # stream copy, the finished short with line captions: the job's warning is shown,
        # and the finished short plays at a size to judge it
        page.locator("#exact").uncheck()
        page.get_by_test_id("finish").check()
        page.get_by_test_id("caption-style").select_option("lines")
        page.get_by_test_id("render").click()
        warnings = page.get_by_test_id("warnings")
        page.wait_for_function(
            "() => document.querySelector('[data-testid=warnings]').textContent.length > 0",
            timeout=120_000,
        )
        assert warnings.inner_text() == (
            "Segment 2 opens with 0.8 s of picture from before its start"
        )
        page.wait_for_function(
            "() => document.querySelector('[data-testid=result]').currentTime > 0.3",
            timeout=300_000,
        )
        result = page.get_by_test_id("result")
        assert products.FINISHED in result.evaluate("v => v.currentSrc")
        assert result.evaluate("v => [v.videoWidth, v.videoHeight]") == [1080, 1920]
        assert result.evaluate("v => v.getBoundingClientRect().height") >= 360
        assert (out / products.FINISHED).is_file()
        assert page.locator("#link-finished").is_visible()

        # the words files are downloads, served as JSON
        assert page.locator("#link-words-vertical").is_visible()
        words = server.get(f"/media/output/{products.VERTICAL_WORDS}")
        assert words.headers["content-type"] == "application/json"
        assert {w["segment"] for w in words.json()} == {1, 2}
    finally:
        assert server.stop() == 130


SOUNDED = [
    {"start": "00:00:01.000", "end": "00:00:03.000", "voiceover": "One.", "note": "kept"},
    {"start": "00:00:04.000", "end": "00:00:06.000", "voiceover": "Two.", "sound": "narration"},
    {"start": "00:00:06.200", "end": "00:00:07.800", "voiceover": "Three."},
]


def test_sound_menu_and_hearing_each_sound_in_the_browser(tmp_path, source, browser):
    from playwright.sync_api import expect

    seg = tmp_path / "segments.json"
    seg.write_text(json.dumps(SOUNDED))
    server = Studio(tmp_path, source, seg)
    fetched = []  # the narrations the page asked for
    try:
        page = browser.new_page(viewport={"width": 1280, "height": 800})
        page.on("request", lambda r: "/media/narration/" in r.url and fetched.append(r.url))
        page.set_default_timeout(60_000)
        page.goto(f"{server.url}?token={server.token}")
        rows = page.get_by_test_id("segment")
        expect(rows.nth(2).get_by_test_id("fit")).to_have_text(FITTED)

        # Segment 2 mixed, Segment 3 its own sound with no narration; Segment 1 untouched
        rows.nth(1).get_by_test_id("sound").select_option("mix")
        rows.nth(2).get_by_test_id("sound").select_option("original")
        rows.nth(2).get_by_test_id("narration").fill("")
        expect(rows.nth(2).get_by_test_id("fit")).to_have_text(
            "plays with its own sound, start to end"
        )
        page.get_by_test_id("save").click()
        page.wait_for_function(
            "() => document.getElementById('message').textContent.startsWith('saved')"
        )
        assert json.loads(seg.read_text()) == [
            SOUNDED[0],
            dict(SOUNDED[1], sound="mix"),
            dict(SOUNDED[2], voiceover="", sound="original"),
        ]

        def hear(n):
            rows.nth(n).get_by_title("hear the range as it will sound").click()

        def heard_to(end):
            page.wait_for_function(
                f"() => !hearing && video.paused && video.currentTime >= {end} "
                "&& !video.muted && video.volume === 1"
            )

        # the original: the source's own sound, nothing spoken
        hear(2)
        page.wait_for_function("() => hearing && !video.paused && !video.muted")
        assert page.evaluate("() => [hearing.audio, video.volume]") == [None, 1]
        heard_to(7.8)
        assert fetched == []

        # the mix: the source's sound lowered while the narration is heard, then restored
        hear(1)
        during = page.wait_for_function(
            "() => hearing?.audio?.currentTime > 0 && !hearing.audio.ended "
            "&& [video.muted, video.volume]"
        ).json_value()
        assert during == [False, pytest.approx(0.2)]
        after = page.wait_for_function(
            "() => hearing?.audio?.ended && !video.paused && [video.muted, video.volume]"
        ).json_value()
        assert after == [False, 1]
        heard_to(6.0)
        assert len(fetched) == 1 and "/media/narration/2?" in fetched[0]
    finally:
        assert server.stop() == 130


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y", *map(str, args)], check=True, timeout=300)


@pytest.fixture(scope="module")
def film(tmp_path_factory):
    """A two-hour 1080p25 film with a keyframe every 10 s: a 20-second clip of a still
    picture joined to itself by stream copy (seconds to make, about 170 MB)."""
    folder = tmp_path_factory.mktemp("film")
    clip, listing, film = folder / "clip.mp4", folder / "clips.txt", folder / "film.mp4"
    ffmpeg(
        *("-f", "lavfi", "-i", "smptehdbars=size=1920x1080:rate=25:duration=20"),
        *("-f", "lavfi", "-i", "sine=frequency=440:duration=20", "-c:v", "libx264"),
        *("-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "250", "-sc_threshold", "0"),
        *("-c:a", "aac", clip),
    )
    listing.write_text(f"file '{clip}'\n" * 360)
    ffmpeg("-f", "concat", "-safe", "0", "-i", listing, "-c", "copy", film)
    yield film
    film.unlink()


FILM_SEGMENTS = [  # a clock time and plain seconds: the fit writes each in its own form
    {"start": "01:00:00.000", "end": "01:00:00.500", "voiceover": "The harbour at first light."},
    {"start": "5400", "end": "5400.5", "voiceover": "Boats come in with the tide."},
]


def test_a_two_hour_film_in_the_browser(tmp_path, film, browser):
    from playwright.sync_api import expect

    seg = tmp_path / "segments.json"
    seg.write_text(json.dumps(FILM_SEGMENTS))
    server = Studio(tmp_path, film, seg)
    asked = []  # the windows the page asked keyframes for

    def keyframe_request(request):
        if "/api/keyframes" in request.url:
            query = parse_qs(urlsplit(request.url).query)
            asked.append((float(query["from"][0]), float(query["to"][0])))

    try:
        page = browser.new_page(viewport={"width": 1280, "height": 800})
        page.on("request", keyframe_request)
        page.set_default_timeout(60_000)
        page.goto(f"{server.url}?token={server.token}")
        # the first frame: a sanity bound only (bench_studio.py measures it against 2 s)
        page.wait_for_function(
            "() => document.querySelector('[data-testid=video]').readyState >= 2", timeout=10_000
        )
        line = page.get_by_test_id("timeline")
        width = line.evaluate("e => e.clientWidth")

        def shown():
            return page.evaluate("() => [view.from, view.span]")

        def seek_by_click(fraction):
            x = round(fraction * width)
            start, span = shown()
            line.click(position={"x": x, "y": 5})
            wanted = start + span * x / width
            page.wait_for_function(
                "t => Math.abs(parseTime(document.querySelector('[data-testid=time]')"
                ".textContent) - t) <= 1 / 25",
                arg=wanted,
            )
            return wanted

        def zoom(key):
            before = shown()[1]
            page.keyboard.press(key)
            return shown()[1] / before

        def ticks_read():
            """The window the page last asked keyframes for, once they are drawn: the
            window shown, at most 300 s."""
            page.wait_for_function(
                "() => Math.abs(keyframes.from - view.from) < 2e-3 && "
                "Math.abs(keyframes.to - view.from - view.span) < 2e-3"
            )
            start, span = shown()
            assert asked[-1] == pytest.approx((start, start + span), abs=1e-3)
            return span

        # the whole film: both ranges readable as blocks, no ticks read; a click seeks
        assert shown() == [0, pytest.approx(7200.024)]
        assert page.get_by_test_id("view-to").inner_text() == "02:00:00.024"
        blocks = page.evaluate(
            "() => [...document.querySelectorAll('.block')].map(b => b.offsetWidth)"
        )
        assert len(blocks) == 2 and min(blocks) >= 3
        far = seek_by_click(0.3)
        assert asked == [] and page.locator(".tick").count() == 0

        # + and - zoom about the playhead; at 300 s across or less, ticks are read for it
        assert [zoom("+") for _ in range(8)] == pytest.approx([1 / 1.5] * 8)
        assert zoom("-") == pytest.approx(1.5) and zoom("+") == pytest.approx(1 / 1.5)
        start, span = shown()
        assert start < far < start + span and ticks_read() <= 300
        assert abs(page.locator(".tick").count() - span / 10) <= 1  # one every 10 s

        # down to 2 s across; a drag pans (ticks read for the new window); the wheel zooms
        for _ in range(14):
            zoom("+")
        start, span = shown()
        assert span == pytest.approx(2) and ticks_read() == span
        box = line.bounding_box()
        page.mouse.move(box["x"] + 300, box["y"] + 5)
        page.mouse.down()
        page.mouse.move(box["x"] + 400, box["y"] + 5, steps=4)
        page.mouse.up()
        assert shown() == pytest.approx([start - 100 / width * span, span])
        assert ticks_read() == span and all(t - f <= 300 for f, t in asked)
        seek_by_click(0.61)
        page.mouse.move(box["x"] + 200, box["y"] + 5)
        page.mouse.wheel(0, 300)
        page.wait_for_function(f"() => view.span > {span}")

        # the one-click fit: end = start + narration, rounded up to a tenth, in the end's form
        rows = page.get_by_test_id("segment")
        for n, form in enumerate((r"01:00:0\d\.\d00", r"540\d\.\d")):
            row = rows.nth(n)
            row.get_by_title("end = start + narration, as plan --fit writes it").click()
            expect(row.get_by_test_id("end")).not_to_have_value(FILM_SEGMENTS[n]["end"])
            expect(row.get_by_test_id("fit")).to_have_text(re.compile("^fits"))
            end = row.get_by_test_id("end").input_value()
            assert re.fullmatch(form, end), end
            narration = float(re.search(r"\d+\.\d+", row.locator(".nlen").inner_text())[0])
            length = parse_time(end) - parse_time(FILM_SEGMENTS[n]["start"])
            assert length % 100_000 == 0 and -1e-3 <= length / 1e6 - narration < 0.1 + 1e-3
    finally:
        assert server.stop() == 130


TIMECODES = json.loads((ROOT / "tests" / "support" / "timecodes.json").read_text())


def test_the_page_reads_times_as_the_run_does(browser):
    """Every case of the shared time table, read by the page's own parser."""
    page = browser.new_page()
    script = resources.files("kestro_core.studio") / "static" / "timecode.js"
    page.add_script_tag(content=script.read_text())
    texts = [case["text"] for case in TIMECODES]
    got = page.evaluate(
        "texts => texts.map(t => { const us = parseMicros(t); return us === null ? null : String(us); })",
        texts,
    )
    expected = [None if case["us"] is None else str(case["us"]) for case in TIMECODES]
    assert dict(zip(texts, got, strict=True)) == dict(zip(texts, expected, strict=True))


def test_browser_is_opened_on_a_private_file(tmp_path, monkeypatch):
    """The token goes into a file only its owner can read, never onto a command line."""
    import webbrowser

    from kestro_core.studio import server

    opened = []
    monkeypatch.setattr(webbrowser, "open", opened.append)
    path = server._open_browser("http://127.0.0.1:8717/", "TOKEN123", str(tmp_path))
    deadline = time.monotonic() + 10
    while not opened and time.monotonic() < deadline:
        time.sleep(0.01)
    assert opened == [f"file://{path}"]
    assert os.stat(path).st_mode & 0o777 == 0o600
    assert "http://127.0.0.1:8717/?token=TOKEN123" in Path(path).read_text()


# --------------------------------------------------------------------------
# finding the moment: dialogue, shot changes, the filmstrip, the auto frame
# --------------------------------------------------------------------------

CUTS = [2.0, 4.4]  # the coloured shots' hard cuts, on frame boundaries
SHOT_COLOURS = {"red": (255, 0, 0), "yellow": (255, 255, 0), "blue": (0, 0, 255)}  # apart in luma
LINES = [  # the source's own subtitles (mov_text)
    (0.5, 1.8, "Where is the harbour?"),
    (2.5, 4.0, "The boats come in at first light."),
    (5.0, 6.5, "Meet me by the old bridge."),
]


def srt_time(t):
    return f"00:00:{int(t):02d},{round(t % 1 * 1000):03d}"


@pytest.fixture(scope="module")
def shots_source(tmp_path_factory):
    """7 s of red, yellow and blue shots with hard cuts at CUTS; in the blue one a white
    square moves from left to right. Subtitles as a mov_text stream, a tone as its sound."""
    folder = tmp_path_factory.mktemp("shots")
    srt = folder / "lines.srt"
    srt.write_text(
        "".join(
            f"{n}\n{srt_time(a)} --> {srt_time(b)}\n{text}\n\n"
            for n, (a, b, text) in enumerate(LINES, 1)
        )
    )
    bounds = [0.0, *CUTS, 7.0]
    graph = [
        f"color={colour}:size=320x180:rate=25:duration={b - a}[c{k}]"
        for k, (colour, a, b) in enumerate(zip(SHOT_COLOURS, bounds[:-1], bounds[1:], strict=True))
    ]
    graph += [
        "color=white:size=24x24:rate=25:duration=2.6[sq]",
        "[c2][sq]overlay=x='20+100*t':y=78[moving]",
        "[c0][c1][moving]concat=n=3:v=1:a=0[v]",
    ]
    path = folder / "shots.mp4"
    ffmpeg(
        *("-filter_complex", ";".join(graph), "-f", "lavfi", "-i", "sine=duration=7"),
        *("-i", srt, "-map", "[v]", "-map", "0:a", "-map", "1:s", "-c:v", "libx264"),
        *("-preset", "ultrafast", "-pix_fmt", "yuv420p", "-g", "25", "-c:a", "aac"),
        *("-c:s", "mov_text", path),
    )
    return path


def open_page(browser, server):
    page = browser.new_page(viewport={"width": 1280, "height": 800})
    page.set_default_timeout(60_000)
    page.goto(f"{server.url}?token={server.token}")
    return page


def wait_for_time(page, text):
    page.wait_for_function(
        "t => document.querySelector('[data-testid=time]').textContent === t", arg=text
    )


def test_finding_routes_refuse_bad_windows(studio, tmp_path, source):
    assert studio.get("/api/dialogue?q=" + "x" * 201).status_code == 400
    assert studio.get("/api/dialogue?q=%20").json()["lines"] == []
    for query in ("from=5&to=4", "from=0&to=300.5", "from=x&to=2", "to=2"):
        assert studio.get(f"/api/shots?{query}").status_code == 400, query
    for query in ("from=0&to=2&count=0", "from=0&to=2&count=61", "from=0&to=2&count=x"):
        assert studio.get(f"/api/filmstrip?{query}").status_code == 400, query
    assert studio.get("/api/filmstrip?from=0&to=20&count=4").status_code == 400  # past the end
    strip = studio.get("/api/filmstrip?from=1&to=7&count=4")
    assert strip.headers["content-type"] == "image/jpeg" and strip.content[:2] == b"\xff\xd8"
    assert studio.get("/api/path?from=3&to=3").status_code == 400
    done = run_studio(tmp_path, source, "--speech", "piper", "--subtitles", tmp_path / "gone.srt")
    assert done.returncode == 1 and "the subtitles file" in done.stderr, done.stderr


def test_dialogue_search_in_the_browser(tmp_path, shots_source, source, browser):
    from playwright.sync_api import expect

    seg = tmp_path / "segments.json"
    seg.write_text(json.dumps([{"start": "0.2", "end": "1.0", "voiceover": "One."}]))
    dialogs = []
    server = Studio(tmp_path, shots_source, seg)
    try:
        page = open_page(browser, server)
        page.on("dialog", lambda d: (dialogs.append(d.message), d.dismiss()))
        page.get_by_test_id("dialogue-search").fill("boats")
        page.get_by_test_id("dialogue-search").press("Enter")
        line = page.get_by_test_id("dialogue-line")
        expect(line).to_have_count(1)
        expect(line).to_contain_text(LINES[1][2])
        assert line.get_by_test_id("dialogue-time").inner_text() == "00:00:02.500"

        line.locator(".text").click()  # the line seeks to its start
        wait_for_time(page, "00:00:02.500")
        line.get_by_test_id("dialogue-use").click()  # the selected Segment takes its span
        row = page.get_by_test_id("segment").nth(0)
        expect(row.get_by_test_id("start")).to_have_value("00:00:02.500")
        expect(row.get_by_test_id("end")).to_have_value("00:00:04.000")
    finally:
        assert server.stop() == 130

    # a video without subtitles (and no --subtitles): the panel says what to do
    server = Studio(tmp_path, source, seg)
    try:
        page = open_page(browser, server)
        page.on("dialog", lambda d: (dialogs.append(d.message), d.dismiss()))
        page.get_by_test_id("dialogue-search").fill("boats")
        page.get_by_test_id("dialogue-search").press("Enter")
        note = page.get_by_test_id("dialogue-note")
        expect(note).to_have_class(re.compile(r"\bbad\b"))
        assert note.inner_text().strip() and page.get_by_test_id("dialogue-line").count() == 0
        assert dialogs == []
    finally:
        assert server.stop() == 130


def colour_of(rgb):
    return min(SHOT_COLOURS, key=lambda c: sum((a - b) ** 2 for a, b in zip(rgb, SHOT_COLOURS[c])))


def test_shots_filmstrip_and_the_auto_frame_in_the_browser(tmp_path, shots_source, browser):
    from playwright.sync_api import expect

    seg = tmp_path / "segments.json"
    rows = [
        {"start": "0.2", "end": "1.0", "voiceover": "One."},
        {"start": "4.6", "end": "6.9", "voiceover": "Three.", "frame": "auto"},
    ]
    seg.write_text(json.dumps(rows))
    server = Studio(tmp_path, shots_source, seg)
    try:
        page = open_page(browser, server)
        # the whole 7 s is in view: its shot changes become ticks
        expect(page.get_by_test_id("shot")).to_have_count(len(CUTS))
        assert page.evaluate("() => shotTimes") == pytest.approx(CUTS, abs=0.041)

        # ] and [ jump from change to change; I and O snap onto one within 0.3 s
        video = page.get_by_test_id("video")
        video.evaluate("v => { v.currentTime = 0.3; }")
        wait_for_time(page, "00:00:00.300")
        for key, at in (("]", "00:00:02.000"), ("]", "00:00:04.400"), ("[", "00:00:02.000")):
            page.keyboard.press(key)
            wait_for_time(page, at)
        segment = page.get_by_test_id("segment").nth(0)
        for t, key, written in ((2.2, "i", "00:00:02.000"), (3.5, "o", "00:00:03.500")):
            video.evaluate("(v, t) => { v.currentTime = t; }", t)
            wait_for_time(page, f"00:00:0{t:.3f}")
            page.keyboard.press(key)
            expect(segment.get_by_test_id("start" if key == "i" else "end")).to_have_value(written)

        # the filmstrip: one tile per slot of the window, each the shot at the slot's middle
        tiles = page.get_by_test_id("filmstrip-image").evaluate(
            "c => [...Array(c.width / 160).keys()].map(k => "
            "[...c.getContext('2d').getImageData(k * 160 + 80, 10, 1, 1).data].slice(0, 3))"
        )
        duration = page.evaluate("() => state.video.duration")
        assert len(tiles) >= 4
        for k, rgb in enumerate(tiles):
            middle = (k + 0.5) * duration / len(tiles)
            if min(abs(middle - c) for c in CUTS) > 0.1:
                shot = list(SHOT_COLOURS)[sum(middle > c for c in CUTS)]
                assert colour_of(rgb) == shot, (k, middle, rgb)

        # the auto frame follows the white square across the blue shot; a drag makes it a crop
        page.get_by_test_id("segment").nth(1).get_by_test_id("narration").click()
        page.wait_for_function("() => rows[1].path?.points?.length > 0")
        box = page.get_by_test_id("frame-box")
        centres = []
        for t in (4.8, 6.7):
            video.evaluate("(v, t) => { v.currentTime = t; }", t)
            wait_for_time(page, f"00:00:0{t:.3f}")
            at = box.bounding_box()
            centres.append(at["x"] + at["width"] / 2)
        assert centres[1] - centres[0] > 100, centres
        grip = page.get_by_test_id("frame-grip").bounding_box()
        page.mouse.move(grip["x"] + grip["width"] / 2, grip["y"] + 20)
        page.mouse.down()
        page.mouse.move(grip["x"] + grip["width"] / 2 - 60, grip["y"] + 20, steps=4)
        page.mouse.up()
        picture = video.bounding_box()  # the 16:9 picture fills the element
        dragged = (centres[1] - 60 - picture["x"]) / picture["width"]
        assert page.evaluate("() => rows[1].frame") == pytest.approx(dragged, abs=0.01)

        # snap to shots goes to the render's command line
        page.get_by_test_id("snap").check()
        with page.expect_response("**/api/render") as answer:
            page.get_by_test_id("render").click()
        assert answer.value.ok, answer.value.text()
        argvs = [
            Path(f"/proc/{c}/cmdline").read_text().split("\0") for c in children(server.proc.pid)
        ]
        (render,) = [argv for argv in argvs if "--events" in argv]  # (ffmpeg may run beside it)
        assert "--snap" in render
    finally:
        assert server.stop() == 130
