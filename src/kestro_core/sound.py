"""What each Segment sounds like in the finished short: the optional "sound" key of a Segment.

- "narration" (the default): the narration alone, as in every product;
- "original": the range plays with the source's own sound, start to end, and no narration
  is heard (its "voiceover" may be ""; the job speaks a silence as long as the range, so
  the piece keeps the whole range);
- "mix": the narration over the source's own sound, which gives way under the narration.

Only the finished short carries the source's sound: the horizontal and vertical videos
keep the narrations alone.
"""

from __future__ import annotations

import json
from typing import Any

__all__ = ["KEY", "NARRATION", "ORIGINAL", "MIX", "SOUNDS", "sound_problem", "sound_of"]

KEY = "sound"
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
    value = raw.get(KEY, NARRATION)
    return value if value in SOUNDS else NARRATION
