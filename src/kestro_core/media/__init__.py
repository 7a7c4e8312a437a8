"""media: every run of ffmpeg and ffprobe, and what is read from them.

runner.py   the one runner (time limits, MediaError, MissingProgram, progress)
probe.py    what ffprobe says of a file: one Probe per file, packets read around ranges
audio.py    the first audio stream as PCM: where it sounds (the one gate of silence),
            how loud it is (the one R 128 meter)

May import store (its working directories); every folder above may import it. No module outside
this folder reads ffprobe's output.
"""

from kestro_core.media.probe import (
    AudioFrames,
    Packet,
    Probe,
    Probes,
    Stream,
    VideoInfo,
    decoded_audio,
    duration,
    frame_rate,
    keyframe_times,
    read_windows,
    video_info,
)
from kestro_core.media.runner import (
    INSTALL,
    MediaError,
    MissingProgram,
    child_options,
    follow,
    local_path,
    progress_options,
    read_progress,
    require,
    run,
    time_limit,
)

__all__ = [
    "child_options",
    "INSTALL",
    "MediaError",
    "MissingProgram",
    "AudioFrames",
    "Packet",
    "Probe",
    "Probes",
    "Stream",
    "VideoInfo",
    "decoded_audio",
    "duration",
    "follow",
    "frame_rate",
    "keyframe_times",
    "local_path",
    "progress_options",
    "read_progress",
    "read_windows",
    "require",
    "run",
    "time_limit",
    "video_info",
]
