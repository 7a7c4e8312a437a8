"""How each Segment sits in the vertical frame: the optional "frame" key of a Segment.

- a number from 0 to 1: the crop's centre at that fraction of the picture's width (0.5,
  the default, is the vertical export's own centre crop);
- "fit": the whole picture across the width, centred, over a blurred, darkened copy of
  itself that fills the 9:16 frame;
- "auto": the crop follows what moves in the Segment's range, found from the picture
  alone (``track``), smoothed so it glides, never leaving the picture.

``video_filter`` turns the pieces of the joined video and their frames into one filter
graph for the finishing encode. The crop of a crop frame is the export's own (scaled to
cover 1080x1920, then cut), so a centre crop draws exactly what the export draws.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass

from kestro_core import media
from kestro_core.segments.keys import AUTO, CENTRE, FIT, Frame
from kestro_core.store.products import FRAME_HEIGHT, FRAME_WIDTH

__all__ = [
    "Piece",
    "track",
    "smooth",
    "video_filter",
    "frame_commands",
    "COMMANDS",
]

# the motion analysis: samples per second, the picture it looks at, the columns it weighs
_RATE = 10
_LOOK = (192, 108)
_COLUMNS = 48
_NOISE = 2.0  # column mean differences (0..255) below this are coding noise
_SMOOTH_SECONDS = 0.7  # each side of a sample, for the moving average
_KEY_STEP = 2  # every second sample becomes a point of the crop's path
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
# "auto": what moves
# ---------------------------------------------------------------------------------------


def _centre(columns: bytes) -> float | None:
    """Where the motion of one sample lies across the width (0..1), from each column's
    mean difference to the sample before; None when nothing moves."""
    values = sorted(columns)
    floor = values[len(values) // 2] + _NOISE
    weights = [max(0.0, v - floor) for v in columns]
    total = sum(weights)
    if total < _NOISE * 2:
        return None
    return sum((k + 0.5) * w for k, w in enumerate(weights)) / total / len(columns)


def smooth(samples: Sequence[tuple[float, float | None]]) -> list[tuple[float, float]]:
    """The crop's path from the motion samples (time, centre or None): a sample without
    motion keeps the centre before it (the first ones the first found, 0.5 when nothing
    moves at all), then a moving average over SMOOTH_SECONDS each side."""
    found = next((c for _, c in samples if c is not None), CENTRE)
    held: list[float] = []
    last = found
    for _, centre in samples:
        if centre is not None:
            last = centre
        held.append(last)
    reach = max(1, round(_SMOOTH_SECONDS * _RATE))
    out = []
    for k, (t, _) in enumerate(samples):
        window = held[max(0, k - reach) : k + reach + 1]
        out.append((t, sum(window) / len(window)))
    return out


def track(video: str, start: float, end: float) -> tuple[tuple[float, float], ...]:
    """The path of the crop's centre for ``video`` from ``start`` to ``end`` (seconds of
    its timeline): the motion in each tenth of a second, smoothed."""
    length = max(0.0, end - start)
    if length <= 0:
        return ()
    width, height = _LOOK
    chain = f"fps={_RATE},scale={width}:{height},format=gray,tblend=all_mode=difference,"
    chain += f"scale={_COLUMNS}:1:flags=area"
    argv = ["ffmpeg", "-nostdin", "-v", "error", "-ss", f"{start:.6f}", "-t", f"{length:.6f}"]
    argv += ["-i", media.local_path(video), "-an", "-vf", chain, "-f", "rawvideo", "-"]
    data = media.run(argv, media_seconds=length).stdout
    samples = []
    for k in range(len(data) // _COLUMNS):
        columns = data[k * _COLUMNS : (k + 1) * _COLUMNS]
        samples.append((start + (k + 1) / _RATE, _centre(columns)))
    if not samples:
        return ((start, CENTRE),)
    path = smooth(samples)
    return tuple(path[::_KEY_STEP] + ([path[-1]] if len(path) % _KEY_STEP == 0 else []))


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
