"""A source video with B-frames, as most downloaded videos are."""

import subprocess


def make_bframe_source(path, duration=40, size="320x180", fps=25, keyint_seconds=2):
    """H.264 with up to three B-frames between references and a keyframe every
    ``keyint_seconds``, plus an AAC tone."""
    gop = str(int(fps * keyint_seconds))
    argv = [
        "ffmpeg", "-y", "-hide_banner", "-loglevel", "error",
        "-f", "lavfi", "-i", f"testsrc2=size={size}:rate={fps}:duration={duration}",
        "-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=44100:duration={duration}",
        "-c:v", "libx264", "-preset", "veryfast", "-bf", "3", "-pix_fmt", "yuv420p",
        "-g", gop, "-keyint_min", gop, "-sc_threshold", "0",
        "-c:a", "aac", "-shortest", str(path),
    ]  # fmt: skip
    subprocess.run(argv, check=True, capture_output=True, timeout=300)
    return str(path)
