"""The "auto" frame's path: a drawn figure on a textured, changing background, a drawn face
beside something more salient than it, shot changes, black and still pictures.

Real ffmpeg; the face detector is the real one (a drawn face its frontal cascade finds),
and its absence is made by a child interpreter in which ``import cv2`` fails.
"""

import bisect
import itertools
import json
import os
import shutil
import subprocess
import sys

import pytest

from kestro_core.picture import framing, subject
from kestro_core.store.cache import Cache
from tests.support.media import have_ffmpeg

pytestmark = pytest.mark.skipif(not have_ffmpeg(), reason="needs ffmpeg")
HAVE_CV2 = subject.face_finder() is not None

W, H = 640, 360
SHARE = framing.window_share(W, H)
SPARE = 0.04  # of the picture's width, between the head and the window's edge
R = 22  # the figure's head's radius
LIFE = "life=s=640x360:mold=10:r=25:ratio=0.2:death_color=#{}:life_color=#{}:mold_color=#{}"


def _ffmpeg(*args):
    subprocess.run(["ffmpeg", "-y", "-v", "error", *args], check=True, timeout=120)


def _video(path, inputs, graph, duration=6, gop=250):
    argv = [*inputs, "-filter_complex", graph, "-map", "[v]", "-t", str(duration)]
    _ffmpeg(*argv, "-c:v", "libx264", "-preset", "ultrafast", "-g", str(gop), str(path))
    return str(path)


def _figure(path, x, second=None, gop=250):
    """A figure (a round head on a body) whose head's centre lies at ``x`` (an ffmpeg
    expression of t, in pixels) on a cellular automaton; ``second``: from t = 3 another
    shot, the figure at that place on a brighter automaton."""
    disc = f"if(lt(hypot(X-{R},Y-{R}),{R}),255,0)"
    head = f"color=c=0xe0b090:s={2 * R}x{2 * R}:r=25,format=rgba,geq=r=224:g=176:b=144:a='{disc}'"
    backs = [LIFE.format("304030", "708060", "405040")]
    if second is not None:
        backs.append(LIFE.format("a0b0c8", "e0e8f8", "c0c8d8"))
        x = f"if(lt(t,3),{x},{second})"
    inputs = [a for b in backs for a in ("-f", "lavfi", "-i", b)]
    inputs += ["-f", "lavfi", "-i", head, "-f", "lavfi", "-i", "color=c=0x2050c0:s=66x150:r=25"]
    n = len(backs)
    graph = "[0:v]null[bg];" if n == 1 else "[0:v][1:v]overlay=enable='gte(t,3)'[bg];"
    graph += f"[bg][{n + 1}:v]overlay=x='{x}-33':y=160:shortest=1[a];"
    graph += f"[a][{n}:v]overlay=x='{x}-{R}':y=116:shortest=1,format=yuv420p[v]"
    return _video(path, inputs, graph, gop=gop)


def _at(path, t):
    """The window's centre at ``t``, as the finishing encode moves it."""
    times = [p[0] for p in path]
    k = bisect.bisect_right(times, t) - 1
    if k < 0:
        return path[0][1]
    if k + 1 >= len(path):
        return path[-1][1]
    (a, ca), (b, cb) = path[k], path[k + 1]
    return ca + (cb - ca) * (t - a) / (b - a)


def _held(path, head, start=0.0, end=6.0, skip=()):
    """The share of the middle 70 % of the range (every 0.05 s, but the times ``skip``)
    in which the head (its span at t, in pixels) lies in the window with SPARE to spare."""
    length = end - start
    times = [start + length * (0.15 + 0.7 * k / 200) for k in range(201)]
    times = [t for t in times if not any(abs(t - s) < 0.2 for s in skip)]
    inside = 0
    for t in times:
        left, right = head(t)
        c = _at(path, t)
        if c - SHARE / 2 + SPARE <= left / W and right / W <= c + SHARE / 2 - SPARE:
            inside += 1
    return inside / len(times)


@pytest.mark.parametrize(
    "case",
    ["crossing", "crossing, keyframes alone decoded", "still, right of centre", "two shots"],
)
def test_the_window_keeps_the_figures_head(tmp_path, case):
    if case.startswith("crossing"):
        gop = 12 if "keyframes" in case else 250  # 0.48 s apart: those pictures are the samples
        video = _figure(tmp_path / "v.mp4", "120+t*70", gop=gop)
        head_x, cuts = (lambda t: 120 + 70 * t), ()
    elif case == "still, right of centre":
        video, head_x, cuts = _figure(tmp_path / "v.mp4", "560"), lambda t: 560, ()
    else:
        video = _figure(tmp_path / "v.mp4", "110", second="540")
        head_x, cuts = (lambda t: 110 if t < 3 else 540), (3.0,)
    path = framing.subject_path(video, 0.0, 6.0)
    assert [t for t, _ in path] == sorted(t for t, _ in path)
    assert _held(path, lambda t: (head_x(t) - R, head_x(t) + R), skip=cuts) >= 0.95
    if cuts:
        # the window moves at once at the shot change, not over the samples around it
        jumps = [(a, b) for (a, ca), (b, cb) in itertools.pairwise(path) if abs(cb - ca) > 0.3]
        assert len(jumps) == 1 and jumps[0][1] - jumps[0][0] <= 0.05
        assert abs(jumps[0][1] - 3.0) <= 0.2


@pytest.mark.parametrize(
    "source",
    [
        "color=c=black:s=160x90:r=25",
        "color=c=0x708090:s=160x90:r=25",
        "color=c=black:s=96x160:r=25",
    ],
)
def test_nothing_to_follow_stays_centred(tmp_path, source):
    video = _video(tmp_path / "v.mp4", ["-f", "lavfi", "-i", source], "[0:v]format=yuv420p[v]", 3)
    path = framing.subject_path(video, 0.5, 2.5)
    assert path and {c for _, c in path} == {0.5}


def test_a_range_is_analysed_once_per_source_and_range(tmp_path):
    video = _figure(tmp_path / "v.mp4", "560")
    cache = Cache(str(tmp_path / "cache"))
    first = framing.subject_path(video, 1.0, 4.0, cache=cache)
    memos = os.listdir(tmp_path / "cache" / "memo")
    assert len(memos) == 1 and first[0][1] > 0.6
    # a rerun reads the memo (made recognisable here) and decodes nothing
    with open(tmp_path / "cache" / "memo" / memos[0], "w", encoding="utf-8") as f:
        json.dump([[1.0, 0.25]], f)
    assert framing.subject_path(video, 1.0, 4.0, cache=cache) == ((1.0, 0.25),)
    assert framing.subject_path(video, 1.0, 4.5, cache=cache)[0][1] > 0.6


# --- faces first, and without the detector -----------------------------------------------

_FACE = (
    "190-150*exp(-(pow(X-W*0.32,2)+pow(Y-H*0.40,2))/(2*pow(W*0.07,2)))"
    "-150*exp(-(pow(X-W*0.68,2)+pow(Y-H*0.40,2))/(2*pow(W*0.07,2)))"
    "-90*exp(-(pow((X-W*0.5)/(W*0.17),2)+pow((Y-H*0.74)/(H*0.035),2)))"
    "-60*exp(-(pow((X-W*0.32)/(W*0.12),2)+pow((Y-H*0.31)/(H*0.02),2)))"
    "-60*exp(-(pow((X-W*0.68)/(W*0.12),2)+pow((Y-H*0.31)/(H*0.02),2)))"
    "-40*exp(-(pow((X-W*0.5)/(W*0.05),2)+pow((Y-H*0.6)/(H*0.03),2)))"
)
_OVAL = "if(lt(pow((X-W/2)/(W*0.48),2)+pow((Y-H*0.5)/(H*0.5),2),1),255,0)"
FACE_X = (80, 200)  # the drawn face's span across the picture, in pixels


def _face_video(path):
    """A drawn face (soft eyes, brows, nose and mouth on a grey oval) on the left, and on
    the right a large red square swaying: more salient than the face."""
    inputs = ["-f", "lavfi", "-i", "color=c=0x606060:s=640x360:r=25"]
    face = (
        f"color=c=gray:s=120x156:r=25,format=yuva444p,geq=lum='{_FACE}':cb=128:cr=128:a='{_OVAL}'"
    )
    inputs += ["-f", "lavfi", "-i", face, "-f", "lavfi", "-i", "color=c=red:s=130x130:r=25"]
    graph = "[0:v][1:v]overlay=x=80:y=100:shortest=1[a];"
    graph += "[a][2:v]overlay=x='430+40*sin(t*3)':y=120:shortest=1,format=yuv420p[v]"
    return _video(path, inputs, graph)


def _plan(tmp_path, video, blocked):
    """``kestro_core.plan`` of one "auto" Segment over ``video`` in a child interpreter
    (``blocked``: one in which the face detector's package cannot be imported)."""
    seg = tmp_path / "segments.json"
    seg.write_text(
        json.dumps([{"start": "0.5", "end": "5.5", "voiceover": "Look.", "frame": "auto"}])
    )
    code = (
        "import json, sys\n"
        + ("sys.modules['cv2'] = None\n" if blocked else "")
        + "import kestro_core\n"
        f"p = kestro_core.plan({str(seg)!r}, 1.0, source={video!r}, speech='espeak-ng', "
        f"cache_dir={str(tmp_path / 'cache')!r})\n"
        "print(json.dumps(p.to_json()))\nprint(p.table(), file=sys.stderr)\n"
    )
    done = subprocess.run(
        [sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=300, check=True
    )
    return json.loads(done.stdout), done.stderr


@pytest.mark.skipif(shutil.which("espeak-ng") is None, reason="needs espeak-ng")
@pytest.mark.parametrize(
    "blocked",
    [
        pytest.param(False, marks=pytest.mark.skipif(not HAVE_CV2, reason="needs the faces extra")),
        True,
    ],
    ids=["detector", "no detector"],
)
def test_faces_first_else_the_salient_region_and_the_plan_says_so(tmp_path, blocked):
    video = _face_video(tmp_path / "face.mp4")
    doc, table = _plan(tmp_path, video, blocked)
    path = doc["segments"][0]["path"]
    assert path[0][0] >= 0.5 and path[-1][0] <= 5.5
    centres = [c for _, c in path]
    notes = [n for n in doc["notes"] if "pip install 'kestro_core[faces]'" in n]
    assert 'Segment 1: "auto" frame, the window\'s centre between' in table
    if blocked:
        # the square, not the face
        assert notes and min(centres) > 0.5
    else:
        assert not notes
        face = (FACE_X[0] / W, FACE_X[1] / W)
        assert all(
            c - SHARE / 2 + SPARE <= face[0] and face[1] <= c + SHARE / 2 - SPARE for c in centres
        )
