"""media: every run of ffmpeg and ffprobe, and what is read from them.

runner.py   the one runner (time limits, MediaError, MissingProgram, progress) and the probes
audio.py    the first audio stream as PCM, and where it sounds

Imports nothing of the package's: every other folder may import it.
"""

from kestro_core.media.runner import (
    INSTALL,
    MediaError,
    MissingProgram,
    VideoInfo,
    duration,
    follow,
    frame_rate,
    local_path,
    probe,
    progress_options,
    read_intervals,
    read_progress,
    require,
    run,
    time_limit,
    video_info,
)

__all__ = [
    "INSTALL",
    "MediaError",
    "MissingProgram",
    "VideoInfo",
    "duration",
    "follow",
    "frame_rate",
    "local_path",
    "probe",
    "progress_options",
    "read_intervals",
    "read_progress",
    "require",
    "run",
    "time_limit",
    "video_info",
]
