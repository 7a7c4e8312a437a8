"""How each Segment sits in the vertical frame: the optional "frame" key of a Segment.

- a number from 0 to 1: the crop's centre at that fraction of the picture's width (0.5,
  the default, is the vertical export's own centre crop);
- "fit": the whole picture across the width, centred, over a blurred, darkened copy of
  itself that fills the 9:16 frame;
- "auto": the crop keeps the subject in the window (``subject_path``): the faces where
  there are faces (with the optional detector), else the most salient region, its head
  kept inside with MARGIN of the picture's width to spare; smoothed so the window glides,
  moving at once at a shot change; centred when nothing stands out.

``video_filter`` turns the pieces of the joined video and their frames into one filter
graph for the finishing encode. The crop of a crop frame is the export's own (scaled to
cover 1080x1920, then cut), so a centre crop draws exactly what the export draws: the
window is always the picture's full height, sliding sideways.
"""

from __future__ import annotations

import hashlib
import itertools
import json
import math
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from kestro_core import media
from kestro_core.cuts.exact import source_range
from kestro_core.picture import subject
from kestro_core.picture.subject import RATE, Region, Sample
from kestro_core.segments.keys import AUTO, CENTRE, FIT, Frame
from kestro_core.store.cache import Cache
from kestro_core.store.files import read_json, write_json
from kestro_core.store.products import FRAME_HEIGHT, FRAME_WIDTH

__all__ = [
    "Piece",
    "MARGIN",
    "NO_FACES",
    "window_share",
    "glide",
    "subject_path",
    "video_filter",
    "frame_commands",
    "COMMANDS",
]

MARGIN = 0.05  # of the picture's width, kept free between the subject's head and the edge
NO_FACES = (
    '"auto" frames follow the most salient region, not faces: the face detector is not '
    f"installed (pip install 'kestro_core[{subject.FACES_EXTRA}]')"
)
_SMOOTH_SECONDS = 0.75  # each side of a sample, for the moving average
_HOLD_FACES = 1.0  # s: a sample this near one with faces keeps to the faces
_JUMP = 0.01  # s: how long the window takes to move at a shot change
# keyframes at most this far apart (and from the range's ends) are the samples themselves:
# nothing else is decoded
_KEY_GAP = 1.0
_AFTER = 1.0  # the packets are read this far past the range, as for the cache key
_SETTINGS = f"subject-path 1 rate{RATE} salient{subject.SALIENT_WIDTH} faces{subject.FACE_WIDTH}"
# the fit frame's backdrop: blurred at a small size, darkened, scaled up
_BACKDROP = (270, 480)
_BLUR = "boxblur=10:2"
_DARKEN = "lutyuv=y=val*0.45"


@dataclass(frozen=True)
class Piece:
    """One Segment's piece of the joined video: where its picture starts and ends there
    (seconds), its frame, and for "auto" the path of the crop's centre ((time, fraction)
    points, sorted)."""

    start: float
    end: float
    frame: Frame = CENTRE
    path: tuple[tuple[float, float], ...] = ()


# ---------------------------------------------------------------------------------------
# "auto": the subject
# ---------------------------------------------------------------------------------------

Path = tuple[tuple[float, float], ...]
_Aim = tuple[float, float, float]  # the centre wanted, the lowest and highest that keep it


def window_share(width: int, height: int) -> float:
    """The share of a ``width`` x ``height`` picture's width that the 9:16 window shows
    (the picture scaled to cover 1080x1920, full height): 1 when it shows all of it."""
    return min(1.0, FRAME_WIDTH * height / (FRAME_HEIGHT * max(1, width)))


def _clamp(value: float, lo: float, hi: float) -> float:
    return min(hi, max(lo, value))


def _aim(region: Region, share: float) -> _Aim:
    """Where the window's centre may go to hold ``region`` with MARGIN to spare (inside
    the picture); without the margin when that cannot be, its middle when even that
    cannot."""
    half = share / 2
    inside = (half, 1 - half)
    for margin in (MARGIN, 0.0):
        lo = max(inside[0], region.right + margin - half)
        hi = min(inside[1], region.left - margin + half)
        if lo <= hi:
            return _clamp(region.centre, lo, hi), lo, hi
    middle = _clamp((region.left + region.right) / 2, *inside)
    return middle, middle, middle


def _together(faces: Sequence[Region], share: float) -> Region:
    """The faces the window holds: the largest, and each next largest while all of them
    still fit with the margin; as one span, centred."""
    chosen: list[Region] = []
    for face in sorted(faces, key=lambda f: -f.size):
        left = min([face.left] + [c.left for c in chosen])
        right = max([face.right] + [c.right for c in chosen])
        if not chosen or right - left + 2 * MARGIN <= share:
            chosen.append(face)
    left, right = min(c.left for c in chosen), max(c.right for c in chosen)
    return Region(left, right, (left + right) / 2, sum(c.size for c in chosen))


def _shots(samples: Sequence[Sample]) -> list[list[int]]:
    """The samples' indices, one list per shot."""
    shots: list[list[int]] = []
    for k, sample in enumerate(samples):
        if not shots or sample.cut:
            shots.append([])
        shots[-1].append(k)
    return shots


def _shot_aims(samples: Sequence[Sample], shot: list[int], share: float) -> list[_Aim]:
    """Each sample's aim in one shot: its faces; else, near a sample with faces, between
    the faces before and after; else its salient region; else between the aims beside it
    (centred when the shot has none)."""
    faced = [samples[k].time for k in shot if samples[k].faces]
    aims: list[_Aim | None] = []
    for k in shot:
        sample = samples[k]
        if sample.faces:
            aims.append(_aim(_together(sample.faces, share), share))
        elif any(abs(sample.time - t) <= _HOLD_FACES for t in faced):
            aims.append(None)
        elif sample.salient is not None:
            aims.append(_aim(sample.salient, share))
        else:
            aims.append(None)
    known = [i for i, a in enumerate(aims) if a is not None]
    if not known:
        return [(CENTRE, CENTRE, CENTRE)] * len(shot)
    out: list[_Aim] = []
    for i, a in enumerate(aims):
        if a is not None:
            out.append(a)
            continue
        before = max((j for j in known if j < i), default=None)
        after = min((j for j in known if j > i), default=None)
        if before is None or after is None:
            held = aims[known[-1] if after is None else known[0]]
            assert held is not None
            out.append(held)
            continue
        a0, a1 = aims[before], aims[after]
        assert a0 is not None and a1 is not None
        f = (i - before) / (after - before)
        out.append(
            (
                a0[0] + (a1[0] - a0[0]) * f,
                a0[1] + (a1[1] - a0[1]) * f,
                a0[2] + (a1[2] - a0[2]) * f,
            )
        )
    return out


def _average(values: Sequence[float], reach: int) -> list[float]:
    out = []
    for k in range(len(values)):
        window = values[max(0, k - reach) : k + reach + 1]
        out.append(sum(window) / len(window))
    return out


def _reach(times: Sequence[float]) -> int:
    """How many samples each side the moving average takes: SMOOTH_SECONDS' worth, and
    at least the one beside (samples a second apart: keyframes)."""
    gaps = sorted(b - a for a, b in itertools.pairwise(times))
    gap = gaps[len(gaps) // 2] if gaps else 1.0 / RATE
    return max(1, round(_SMOOTH_SECONDS / max(gap, 1e-3)))


def glide(samples: Sequence[Sample], share: float) -> Path:
    """The window's path from the samples of a range (``share``: its width as a share of
    the picture's): each shot aimed at its subject, smoothed over SMOOTH_SECONDS each side
    and kept where it holds the subject; at a shot change the window moves at once."""
    out: list[tuple[float, float]] = []
    reach = _reach([s.time for s in samples])
    for shot in _shots(samples):
        aims = _shot_aims(samples, shot, share)
        centres = _average([a[0] for a in aims], reach)
        centres = [_clamp(c, a[1], a[2]) for c, a in zip(centres, aims, strict=True)]
        centres = _average(centres, 1)
        centres = [_clamp(c, a[1], a[2]) for c, a in zip(centres, aims, strict=True)]
        if out:
            # the change lies between the two samples: the old window holds until then
            at = (out[-1][0] + samples[shot[0]].time) / 2
            out.append((round(at - _JUMP, 3), out[-1][1]))
            out.append((round(at, 3), round(centres[0], 4)))
        out += [
            (round(samples[k].time, 3), round(c, 4)) for k, c in zip(shot, centres, strict=True)
        ]
    return tuple(out)


def _memo_name(identity: str, start: float, end: float, faces: bool) -> str:
    doc = {
        "source": identity,
        "start_us": round(start * 1e6),
        "end_us": round(end * 1e6),
        "settings": _SETTINGS,
        "faces": faces,
    }
    text = json.dumps(doc, sort_keys=True)
    return "frame-" + hashlib.sha256(b"kestro-frame\0" + text.encode()).hexdigest()


def _read_memo(path: str) -> Path | None:
    doc = read_json(path)
    if not isinstance(doc, list) or not doc:
        return None
    points = []
    for point in doc:
        if not (isinstance(point, list) and len(point) == 2):
            return None
        t, c = point
        if not all(isinstance(v, (int, float)) and math.isfinite(v) for v in (t, c)):
            return None
        points.append((float(t), float(c)))
    return tuple(points)


def _write_memo(path: str, points: Path) -> None:
    # a cache that cannot be written: the path is found again next time
    write_json(path, [list(p) for p in points])


def _keyframes(probe: media.Probe, start: float, end: float) -> list[float] | None:
    """The keyframes of the range, when they lie at most KEY_GAP apart, from its start to
    its end; else None (the range is sampled RATE times a second)."""
    packets = probe.windows([(start, end)], _AFTER)[0]
    keys = [t for t in media.keyframe_times(packets, probe.start_time) if start - 1e-6 <= t < end]
    marks = [start, *keys, end]
    if keys and max(b - a for a, b in itertools.pairwise(marks)) <= _KEY_GAP + 1e-6:
        return keys
    return None


def subject_path(
    source: str,
    start: float,
    end: float,
    *,
    cache: Cache | None = None,
    note: Callable[[str], object] | None = None,
    probes: media.Probes | None = None,
) -> tuple[tuple[float, float], ...]:
    """The path of the 9:16 window's centre for the range start..end of `source`:
    (time in seconds of the source, centre as a fraction 0..1 of the picture's width) points,
    sorted, smoothed; cached by source identity and range when a cache is given; `note` is told
    once when the face detector package is missing and the salient region is used instead.
    ``probes``: the caller's, when it has probed the source already."""
    finder = subject.face_finder()
    if finder is None and note is not None:
        note(NO_FACES)
    if not end > start:
        return ((round(start, 3), CENTRE),)
    path = os.path.abspath(source)
    probes = probes or media.Probes()
    probe = probes.get(path)
    info = probe.video_info()
    if info is None or info.width <= 0 or info.height <= 0:
        raise ValueError(f'{source!r} has no picture: an "auto" frame needs a video stream')
    memo = None
    if cache is not None:
        identity = source_range(path, start, end, probes).identity
        memo = cache.memo_path(_memo_name(identity, start, end, finder is not None))
        found = None if memo is None else _read_memo(memo)
        if found is not None:
            return found
    keys = _keyframes(probe, start, end)
    samples = subject.look(path, start, end, (info.width, info.height), finder, keys)
    share = window_share(info.width, info.height)
    points = glide(samples, share) or ((round(start, 3), CENTRE),)
    if memo is not None:
        _write_memo(memo, points)
    return points


# ---------------------------------------------------------------------------------------
# the filter graph
# ---------------------------------------------------------------------------------------


COMMANDS = "frames.cmd"  # the file of timed commands the graph reads (beside the graph)
_STEP = 0.04  # seconds between two positions of a moving crop
_CROP = "crop@frame"
_SWITCH = "overlay@fit"


def _number(value: float) -> str:
    return f"{value:.4f}".rstrip("0").rstrip(".") or "0"


def _x(centre: float) -> str:
    # the crop keeps itself inside the picture (x is clamped to 0 .. iw - ow)
    return f"{_number(centre)}*iw-ow/2"


def _centres(piece: Piece) -> list[tuple[float, float]]:
    """Where the crop's centre goes during ``piece``: (time, fraction) from its start."""
    if piece.frame == AUTO and piece.path:
        points = list(piece.path)
        out = [(piece.start, points[0][1])]
        stop = min(piece.end, points[-1][0])
        at = piece.start + _STEP
        k = 0
        while at < stop:
            while k + 1 < len(points) and points[k + 1][0] <= at:
                k += 1
            a, ca = points[k]
            b, cb = points[min(k + 1, len(points) - 1)]
            centre = ca if b <= a or at <= a else ca + (cb - ca) * (at - a) / (b - a)
            out.append((at, centre))
            at += _STEP
        return out
    return [(piece.start, piece.frame if isinstance(piece.frame, float) else CENTRE)]


def frame_commands(pieces: Sequence[Piece]) -> str:
    """The timed commands (``COMMANDS``) that move the crop and switch the fit frame on
    and off as the joined video plays (its own seconds)."""
    lines: list[str] = []
    fitting = any(p.frame == FIT for p in pieces)
    for piece in pieces:
        if fitting:
            lines.append(f"{piece.start:.4f} {_SWITCH} enable {int(piece.frame == FIT)};")
        if piece.frame != FIT:
            lines += [f"{at:.4f} {_CROP} x {_x(c)};" for at, c in _centres(piece)]
    return "\n".join(lines) + "\n"


def _crop_chain(pieces: Sequence[Piece]) -> str:
    first = next((p for p in pieces if p.frame != FIT), None)
    centre = CENTRE if first is None else _centres(first)[0][1]
    return (
        f"scale={FRAME_WIDTH}:{FRAME_HEIGHT}:force_original_aspect_ratio=increase,"
        f"{_CROP}={FRAME_WIDTH}:{FRAME_HEIGHT}:x={_x(centre)}"
    )


def _fit_graph(into: str, out: str) -> str:
    bw, bh = _BACKDROP
    return (
        f"[{into}]split=2[fb][ff];"
        f"[fb]scale={bw}:{bh}:force_original_aspect_ratio=increase,crop={bw}:{bh},"
        f"{_BLUR},{_DARKEN},scale={FRAME_WIDTH}:{FRAME_HEIGHT},setsar=1[bg];"
        f"[ff]scale={FRAME_WIDTH}:{FRAME_HEIGHT}:force_original_aspect_ratio=decrease:"
        f"force_divisible_by=2,setsar=1[fg];"
        f"[bg][fg]overlay=x=(W-w)/2:y=(H-h)/2[{out}]"
    )


def video_filter(pieces: Sequence[Piece], speed: float, tail: str = "") -> str:
    """The filter graph of the finishing encode (its input the joined video's picture,
    ``[0:v]``; its output ``[v]``): each piece in its frame, 1080x1920, played ``speed``
    times as fast, then ``tail`` (the captions' filter). It reads the file COMMANDS,
    which ``frame_commands`` writes, from its working directory."""
    end = f"setsar=1,setpts={1.0 / speed:.6f}*PTS,format=yuv420p"
    if tail:
        end += "," + tail
    fits = [p for p in pieces if p.frame == FIT]
    head = f"[0:v]sendcmd=f={COMMANDS}"
    if not fits:
        return f"{head},{_crop_chain(pieces)},{end}[v]"
    if len(fits) == len(pieces):
        return f"{head}[in];" + _fit_graph("in", "fit") + f";[fit]{end}[v]"
    return (
        f"{head},split=2[c][f];[c]{_crop_chain(pieces)},setsar=1[crop];"
        + _fit_graph("f", "fit")
        + f";[crop][fit]{_SWITCH}=enable=0[both];[both]{end}[v]"
    )
