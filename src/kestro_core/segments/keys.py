"""The optional keys of a Segment that say how it looks and sounds in the finished short:
what each accepts, the message for a value it does not, and its value once checked.

"sound": what the finished short plays under the Segment.

- "narration" (the default): the narration alone, as in every product;
- "original": the range plays with the source's own sound, start to end, and no narration
  is heard (its "voiceover" may be ""; the job speaks a silence as long as the range, so
  the piece keeps the whole range);
- "mix": the narration over the source's own sound, which gives way under the narration.

Only the finished short carries the source's sound: the horizontal and vertical videos
keep the narrations alone.

"frame": how the Segment sits in the vertical frame.

- a number from 0 to 1: the crop's centre at that fraction of the picture's width (0.5,
  the default, is the vertical export's own centre crop);
- "fit": the whole picture across the width, centred, over a blurred, darkened copy of
  itself that fills the 9:16 frame;
- "auto": the crop follows the picture (see ``picture.framing``).
"""

from __future__ import annotations

import json
import math
from typing import Any

__all__ = [
    "SOUND_KEY",
    "NARRATION",
    "ORIGINAL",
    "MIX",
    "SOUNDS",
    "sound_problem",
    "sound_of",
    "FRAME_KEY",
    "FIT",
    "AUTO",
    "CENTRE",
    "Frame",
    "frame_problem",
    "frame_of",
]

SOUND_KEY = "sound"
NARRATION = "narration"
ORIGINAL = "original"
MIX = "mix"
SOUNDS = (NARRATION, ORIGINAL, MIX)


def sound_problem(value: Any) -> str | None:
    """What is wrong with a Segment's "sound" value, said so it can be fixed; None when
    it is one of the accepted values."""
    accepted = (
        '"narration" (the narration alone), "original" (the source\'s own sound, no '
        'narration) or "mix" (the narration over the source\'s sound)'
    )
    if isinstance(value, str):
        if value in SOUNDS:
            return None
        return f'"{value}" is not a sound: write {accepted}'
    if isinstance(value, list):
        shown = "an array"
    elif isinstance(value, dict):
        shown = "an object"
    else:
        shown = (
            json.dumps(value)
            if value is None or isinstance(value, (bool, int, float))
            else repr(value)
        )
    return f"{shown} is not a sound: write {accepted}"


def sound_of(raw: dict[str, Any]) -> str:
    """The sound of a Segment that passed the check (its JSON object)."""
    value = raw.get(SOUND_KEY, NARRATION)
    return value if value in SOUNDS else NARRATION


FRAME_KEY = "frame"
FIT = "fit"
AUTO = "auto"
CENTRE = 0.5

Frame = float | str  # a crop centre (0..1), FIT or AUTO


def frame_problem(value: Any) -> str | None:
    """What is wrong with a Segment's "frame" value, said so it can be fixed; None when
    it is one of the accepted values."""
    accepted = (
        "write a number from 0 to 1 (the crop's centre across the picture: 0.5 is the "
        'middle), "fit" or "auto"'
    )
    if value is None or isinstance(value, (bool, list, dict)):
        if isinstance(value, list):
            shown = "an array"
        elif isinstance(value, dict):
            shown = "an object"
        else:
            shown = json.dumps(value)
        return f"{shown} is not a frame: {accepted}"
    if isinstance(value, (int, float)):
        if not math.isfinite(value) or not 0 <= value <= 1:
            return f"{value!r} lies outside 0 to 1: {accepted}"
        return None
    if isinstance(value, str):
        if value in (FIT, AUTO):
            return None
        return f'"{value}" is not a frame: {accepted}'
    return f"{value!r} is not a frame: {accepted}"


def frame_of(raw: dict[str, Any]) -> Frame:
    """The frame of a Segment that passed the check (its JSON object)."""
    value = raw.get(FRAME_KEY, CENTRE)
    if isinstance(value, str):
        return value
    return float(value)
