"""What a viewer looks at in a range of a video: faces, and the most salient region.

One ffmpeg run decodes the range alone (the loop filter and the frames nothing refers to
skipped) and takes RATE samples a second, or, where the range's keyframes lie close enough,
decodes those alone, each a sample; scaled in its filter graph: a small yuv444p picture
(SALIENT_WIDTH wide) for the salient region, and, when the face detector is installed, a
grey one (FACE_WIDTH wide) for it. Nothing else of the source is read.

- Faces: OpenCV's Haar cascades (the frontal one, and the profile one both ways round),
  which ship inside the optional package ``opencv-python-headless`` (the extra
  ``kestro_core[faces]``); nothing is fetched at run time. A face found in one sample
  alone, with none near it in the samples beside, is taken for a false find.
- The salient region, with the standard library alone: each pixel's distance in colour
  from the picture's mean colour (the small decode is the blur), the pixels well above the
  mean distance joined into regions, the regions that fill the picture's edges (sky,
  floor) left out; the strongest region wins, what moves (against the sample before) and
  what the sample before chose weighing a little more. Its top is the head of a figure.
- A shot change: the picture as a whole jumps between two samples.

Every place is a fraction of the picture's width (0 the left edge, 1 the right one).
"""

from __future__ import annotations

import importlib
import operator
import os
import threading
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from kestro_core import media
from kestro_core.store import scratch

__all__ = [
    "RATE",
    "FACES_EXTRA",
    "Region",
    "Sample",
    "FaceFinder",
    "face_finder",
    "salient",
    "look",
]

RATE = 4  # samples a second
FACE_EVERY = 2  # every this many samples are looked at for faces
FACES_EXTRA = "faces"  # the optional extra that installs the face detector
SALIENT_WIDTH = 96
FACE_WIDTH = 320
_MIN_SIDE = 8
_MAX_SALIENT_HEIGHT = 160
_MAX_FACE_HEIGHT = 480

# the salient region
_CHROMA = 2  # a step in U or V counts this many times a step in Y (squared distances)
_FLAT = 9.0  # mean squared distance below this: nothing stands out (black, one colour)
_FLOOR = 300.0  # a pixel stands out from this squared distance (about 17 steps) ...
_ABOVE_MEAN = 2.0  # ... and from this many times the mean
_MIN_PIXELS = 3
_WIDE = 0.9  # a region this wide is background, not a subject
_HEAD_SHARE = 0.25  # the top of a region taken as its head
_MOTION_BOOST = 0.5  # a region that moves by MOTION_FULL steps on average weighs this more
_MOTION_FULL = 16.0
_STAY_BOOST = 0.5  # the region under the one chosen before weighs this more
_CUT = 30.0  # a shot change: the mean step of Y between two samples (0..255)

# the faces
_FRONTAL = "haarcascade_frontalface_default.xml"
_PROFILE = "haarcascade_profileface.xml"
_SCALE_STEP = 1.25
_NEIGHBOURS = 5
_MIN_FACE = 20  # pixels of the grey picture
_HEAD_SIDE = 0.3  # the head reaches this share of the face's width past each side of it
_NEAR = 0.75  # faces of two samples this many widths apart (or nearer) are the same


@dataclass(frozen=True)
class Region:
    """Something to keep in the window: the span across the width it must not leave
    (``left``..``right``), where the window would rather have its centre, and how much of
    the picture it covers (to tell the larger of two)."""

    left: float
    right: float
    centre: float
    size: float


@dataclass(frozen=True)
class Sample:
    """One sample of a range: its time (seconds of the video), the faces in it (each as
    its head), its salient region, and whether the picture jumped since the sample before
    (a shot change)."""

    time: float
    faces: tuple[Region, ...] = ()
    salient: Region | None = None
    cut: bool = False


# ---------------------------------------------------------------------------------------
# the faces
# ---------------------------------------------------------------------------------------


class FaceFinder:
    """The Haar cascades, loaded once."""

    def __init__(self, cv2: Any, numpy: Any) -> None:
        root = cv2.data.haarcascades
        self._cv2 = cv2
        self._np = numpy
        self._frontal = cv2.CascadeClassifier(os.path.join(root, _FRONTAL))
        self._profile = cv2.CascadeClassifier(os.path.join(root, _PROFILE))
        if self._frontal.empty() or self._profile.empty():
            raise ImportError(f"the Haar cascades are missing from {root}")
        self._lock = threading.Lock()  # a cascade is not to be shared between threads

    def _boxes(self, cascade: Any, picture: Any) -> list[tuple[int, int, int, int]]:
        found = cascade.detectMultiScale(
            picture,
            scaleFactor=_SCALE_STEP,
            minNeighbors=_NEIGHBOURS,
            minSize=(_MIN_FACE, _MIN_FACE),
        )
        return [(int(x), int(y), int(w), int(h)) for x, y, w, h in found]

    def find(self, grey: bytes, width: int, height: int) -> tuple[Region, ...]:
        """The faces in one grey picture, each as its head: the face's box widened by
        HEAD_SIDE of its width on each side."""
        picture = self._np.frombuffer(grey, dtype=self._np.uint8).reshape(height, width)
        with self._lock:
            boxes = self._boxes(self._frontal, picture)
            if not boxes:
                boxes = self._boxes(self._profile, picture)
                flipped = self._cv2.flip(picture, 1)
                boxes += [
                    (width - x - w, y, w, h) for x, y, w, h in self._boxes(self._profile, flipped)
                ]
        heads = []
        for x, _, w, h in _distinct(boxes):
            left = max(0.0, (x - _HEAD_SIDE * w) / width)
            right = min(1.0, (x + w + _HEAD_SIDE * w) / width)
            heads.append(Region(left, right, (x + w / 2) / width, w * h / (width * height)))
        return tuple(heads)


def _distinct(boxes: list[tuple[int, int, int, int]]) -> list[tuple[int, int, int, int]]:
    """The boxes without those whose centre lies inside a larger one (the profile
    cascade, both ways round, may find one face twice)."""
    kept: list[tuple[int, int, int, int]] = []
    for box in sorted(boxes, key=lambda b: -b[2] * b[3]):
        x, y, w, h = box
        cx, cy = x + w / 2, y + h / 2
        if not any(a <= cx <= a + c and b <= cy <= b + d for a, b, c, d in kept):
            kept.append(box)
    return kept


_finder: list[FaceFinder | None] = []
_finder_lock = threading.Lock()


def face_finder() -> FaceFinder | None:
    """The face detector; None when its package (the extra FACES_EXTRA) is not installed
    or cannot be loaded."""
    with _finder_lock:
        if not _finder:
            try:
                cv2 = importlib.import_module("cv2")
                numpy = importlib.import_module("numpy")
                _finder.append(FaceFinder(cv2, numpy))
            except (ImportError, AttributeError, OSError):
                _finder.append(None)
        return _finder[0]


def _confirmed(found: Sequence[tuple[Region, ...]]) -> list[tuple[Region, ...]]:
    """Each sample's faces, without those that have no face near them in the sample
    before or after (a face on screen stays for more than a quarter of a second)."""
    if len(found) < 3:
        return list(found)

    def near(face: Region, others: tuple[Region, ...]) -> bool:
        reach = _NEAR * max(face.right - face.left, 1e-6)
        return any(abs(o.centre - face.centre) <= reach for o in others)

    out = []
    for k, faces in enumerate(found):
        beside = (found[k - 1] if k > 0 else ()) + (found[k + 1] if k + 1 < len(found) else ())
        out.append(tuple(f for f in faces if near(f, beside)))
    return out


# ---------------------------------------------------------------------------------------
# the salient region
# ---------------------------------------------------------------------------------------


def _squares(mean: float, weight: int) -> list[float]:
    return [weight * (v - mean) * (v - mean) for v in range(256)]


def salient(
    picture: bytes,
    width: int,
    height: int,
    before: bytes | None = None,
    stay: tuple[float, float] | None = None,
) -> Region | None:
    """The most salient region of one yuv444p picture (``width`` x ``height``), its head
    as the span to keep; None when nothing stands out. ``before``: the sample before (what
    moves weighs more); ``stay``: the span chosen there (a region under it weighs more)."""
    n = width * height
    y, u, v = picture[:n], picture[n : 2 * n], picture[2 * n : 3 * n]
    ty = _squares(sum(y) / n, 1)
    tu = _squares(sum(u) / n, _CHROMA)
    tv = _squares(sum(v) / n, _CHROMA)
    distance = [
        a + b + c
        for a, b, c in zip(
            map(ty.__getitem__, y), map(tu.__getitem__, u), map(tv.__getitem__, v), strict=True
        )
    ]
    mean = sum(distance) / n
    if mean < _FLAT:
        return None
    floor = max(_FLOOR, _ABOVE_MEAN * mean)
    mask = bytearray(1 if d > floor else 0 for d in distance)
    best: tuple[float, list[int]] | None = None
    for pixels in _regions(mask, width, height):
        if len(pixels) < _MIN_PIXELS:
            continue
        xs = [p % width for p in pixels]
        left, right = min(xs), max(xs) + 1
        if right - left >= _WIDE * width or _edges(pixels, xs, width, height) >= 3:
            continue
        mass = sum(distance[p] for p in pixels)
        if before is not None:
            motion = sum(abs(y[p] - before[p]) for p in pixels) / len(pixels)
            mass *= 1 + _MOTION_BOOST * min(1.0, motion / _MOTION_FULL)
        if stay is not None and left / width < stay[1] and right / width > stay[0]:
            mass *= 1 + _STAY_BOOST
        if best is None or mass > best[0]:
            best = (mass, pixels)
    if best is None:
        return None
    return _figure(best[1], distance, width, height)


def _regions(mask: bytearray, width: int, height: int) -> list[list[int]]:
    """The 8-connected regions of the set pixels of ``mask`` (each a list of indices)."""
    out = []
    for seed in range(len(mask)):
        if not mask[seed]:
            continue
        mask[seed] = 0
        stack, pixels = [seed], []
        while stack:
            p = stack.pop()
            pixels.append(p)
            py, px = divmod(p, width)
            for qy in (py - 1, py, py + 1):
                if qy < 0 or qy >= height:
                    continue
                row = qy * width
                for qx in (px - 1, px, px + 1):
                    if 0 <= qx < width and mask[row + qx]:
                        mask[row + qx] = 0
                        stack.append(row + qx)
        out.append(pixels)
    return out


def _edges(pixels: list[int], xs: list[int], width: int, height: int) -> int:
    """How many of the picture's four edges a region fills a third of."""
    ys = [p // width for p in pixels]
    sides = (
        sum(1 for x in xs if x == 0) / height,
        sum(1 for x in xs if x == width - 1) / height,
        sum(1 for y in ys if y == 0) / width,
        sum(1 for y in ys if y == height - 1) / width,
    )
    return sum(1 for share in sides if share >= 1 / 3)


def _figure(pixels: list[int], distance: list[float], width: int, height: int) -> Region:
    """A region as a figure: its top (HEAD_SHARE of its height) is the head, the span to
    keep; the window would rather be centred on the region weighted towards its top."""
    rows = [p // width for p in pixels]
    top, bottom = min(rows), max(rows) + 1
    head_rows = top + max(1, round(_HEAD_SHARE * (bottom - top)))
    head = [p % width for p, r in zip(pixels, rows, strict=True) if r < head_rows]
    total = centre = 0.0
    for p, r in zip(pixels, rows, strict=True):
        w = distance[p] * (1 + 2 * (bottom - r) / (bottom - top))
        total += w
        centre += w * (p % width + 0.5)
    return Region(
        min(head) / width,
        (max(head) + 1) / width,
        centre / total / width,
        len(pixels) / (width * height),
    )


# ---------------------------------------------------------------------------------------
# one range
# ---------------------------------------------------------------------------------------


def _scaled(width: int, height: int, wide: int, tallest: int) -> tuple[int, int]:
    """``wide`` pixels across (fewer for a tall picture), the height in proportion (even)."""
    w, h = wide, max(_MIN_SIDE, round(wide * height / max(1, width) / 2) * 2)
    if h > tallest:
        w, h = max(_MIN_SIDE, round(tallest * width / max(1, height) / 2) * 2), tallest
    return w, h


def _jump(a: bytes, b: bytes, n: int) -> float:
    """The mean step of Y between two yuv444p pictures."""
    steps: int = sum(map(abs, map(operator.sub, a[:n], b[:n])))
    return steps / n


def look(
    video: str,
    start: float,
    end: float,
    size: tuple[int, int],
    finder: FaceFinder | None = None,
    keyframes: Sequence[float] | None = None,
) -> list[Sample]:
    """Samples of ``video`` (its picture ``size``) from ``start`` to ``end`` (seconds):
    their faces (with ``finder``; every FACE_EVERY-th sample), salient regions and shot
    changes. RATE samples a second; or, given the range's ``keyframes`` (its times of
    them from ``start`` on), those pictures alone, each a sample and looked at for faces:
    nothing else of the range is decoded."""
    length = end - start
    if length <= 0:
        return []
    sw, sh = _scaled(*size, SALIENT_WIDTH, _MAX_SALIENT_HEIGHT)
    fw, fh = _scaled(*size, FACE_WIDTH, _MAX_FACE_HEIGHT)
    skip = "noref" if keyframes is None else "nokey"
    argv = ["ffmpeg", "-nostdin", "-v", "error", "-skip_loop_filter", "all", "-skip_frame", skip]
    argv += ["-ss", f"{start:.6f}", "-t", f"{length:.6f}", "-i", media.local_path(video)]
    argv += ["-an", "-sn", "-dn"]
    every = 1 if keyframes is not None else FACE_EVERY
    pick = "null" if keyframes is not None else f"fps={RATE}"
    output = ["-vsync", "passthrough", "-f", "rawvideo"]
    small = f"scale={sw}:{sh}:flags=area,format=yuv444p"
    greys = b""
    if finder is None:
        argv += ["-vf", f"{pick},{small}", *output, "-"]
        pictures = media.run(argv, media_seconds=length).stdout
    else:
        faces = f"scale={fw}:{fh}:flags=area,format=gray"
        if every > 1:
            faces = f"select='not(mod(n\\,{every}))',{faces}"
        graph = f"[0:v]{pick},split=2[s][f];[s]{small}[so];[f]{faces}[fo]"
        with scratch.directory("kestro-faces-") as work:
            faces_file = os.path.join(work, "faces.gray")
            argv += ["-filter_complex", graph, "-map", "[so]", *output, "-"]
            argv += ["-map", "[fo]", *output, faces_file]
            pictures = media.run(argv, media_seconds=length).stdout
            with open(faces_file, "rb") as f:
                greys = f.read()
    frame = sw * sh * 3
    count = len(pictures) // frame
    if keyframes is None:
        times = [start + k / RATE for k in range(count)]
    else:
        # the decoder gives the keyframes in order; the last ones when it gives fewer
        times = list(keyframes)[-count:] if count else []
        count = len(times)
    found: list[tuple[Region, ...]] = []
    if finder is not None:
        grey = fw * fh
        looked = min(len(greys) // grey, -(-count // every))
        found = _confirmed(
            [finder.find(greys[j * grey : (j + 1) * grey], fw, fh) for j in range(looked)]
        )
    samples: list[Sample] = []
    before: bytes | None = None
    stay: tuple[float, float] | None = None
    for k in range(count):
        picture = pictures[k * frame : (k + 1) * frame]
        cut = before is not None and _jump(before, picture, sw * sh) > _CUT
        if cut:
            before = stay = None
        region = salient(picture, sw, sh, before, stay)
        stay = None if region is None else (region.left, region.right)
        j, other = divmod(k, every)
        faces_in = found[j] if not other and j < len(found) else ()
        samples.append(Sample(times[k], faces_in, region, cut))
        before = picture
    return samples
