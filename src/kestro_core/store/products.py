"""The names of what a job leaves in its output directory, and of its working files; the
frame of its vertical videos."""

from __future__ import annotations

import re

__all__ = [
    "FRAME_WIDTH",
    "FRAME_HEIGHT",
    "HORIZONTAL",
    "VERTICAL",
    "HORIZONTAL_CAPTIONS",
    "VERTICAL_CAPTIONS",
    "CAPTIONED",
    "FINISHED",
    "HORIZONTAL_WORDS",
    "VERTICAL_WORDS",
    "PRODUCTS",
    "TIMELINE",
    "TIMELINE_SOURCE",
    "NARRATIONS",
    "timeline_file",
    "SOURCE",
    "FILELIST",
    "WORKING_FILES",
    "is_working_file",
    "numbered_working_file",
]

# the vertical videos' frame in pixels (9:16): the export's, the burned copy's and the
# finished short's
FRAME_WIDTH, FRAME_HEIGHT = 1080, 1920

HORIZONTAL = "horizontal_final.mp4"  # the joined 16:9 video
VERTICAL = "FINAL_KESTRO.mp4"  # the vertical 1080x1920 video at the chosen speed
HORIZONTAL_CAPTIONS = "horizontal_final.srt"
VERTICAL_CAPTIONS = "FINAL_KESTRO.srt"
CAPTIONED = "FINAL_KESTRO.captioned.mp4"  # the vertical video with its captions drawn in
FINISHED = "FINAL_KESTRO.finished.mp4"  # the finished short: framed, word captions
HORIZONTAL_WORDS = "horizontal_final.words.json"  # when each word is heard in each video
VERTICAL_WORDS = "FINAL_KESTRO.words.json"
PRODUCTS = (
    HORIZONTAL,
    VERTICAL,
    HORIZONTAL_CAPTIONS,
    VERTICAL_CAPTIONS,
    CAPTIONED,
    FINISHED,
    HORIZONTAL_WORDS,
    VERTICAL_WORDS,
)

# the cut as a timeline for an editor: horizontal_final.otio (.fcpxml, .edl), the files it
# plays from narrations/ (each named by its cache key), and for a downloaded source the
# download itself (movie.mp4 is removed by the run)
TIMELINE = "horizontal_final"
TIMELINE_SOURCE = "horizontal_final.source.mp4"
NARRATIONS = "narrations"


def timeline_file(fmt: str) -> str:
    """The timeline's file name in the format ``fmt`` (otio, fcpxml, edl)."""
    return f"{TIMELINE}.{fmt}"


SOURCE = "movie.mp4"  # the job's source video, while it runs
FILELIST = "filelist.txt"  # the concat list
# The names a job writes, overwrites or deletes in its output directory.
WORKING_FILES = (SOURCE, HORIZONTAL, VERTICAL, FILELIST)
_NUMBERED = re.compile(r"(clip|voice|merged)_(\d+)\.(mp4|mp3)")
_NUMBERED_EXT = {"clip": "mp4", "voice": "mp3", "merged": "mp4"}


def numbered_working_file(name: str) -> tuple[int, str] | None:
    """(index, kind) of a Segment's working file ("clip_3.mp4" -> (3, "clip")), else None."""
    m = _NUMBERED.fullmatch(name)
    if m is None or _NUMBERED_EXT[m.group(1)] != m.group(3):
        return None
    return int(m.group(2)), m.group(1)


def is_working_file(name: str) -> bool:
    """True for a file name that a job writes or deletes in its output directory."""
    return name in WORKING_FILES or numbered_working_file(name) is not None
