"""Small media inputs made with ffmpeg's lavfi sources, ffprobe readers, and a
recording stand-in for the ``subprocess`` module.

Everything here runs the real ``subprocess`` module: tests rebind the name
``subprocess`` inside kestro_core only, never here.
"""

import json
import os
import shutil
import subprocess
from types import SimpleNamespace

FPS = 25


def have_ffmpeg():
    return shutil.which("ffmpeg") is not None and shutil.which("ffprobe") is not None


def _ffmpeg(*args):
    argv = ["ffmpeg", "-y", "-hide_banner", "-loglevel", "error", *args]
    done = subprocess.run(argv, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"ffmpeg failed ({done.returncode}): {argv}\n{done.stderr}")


def make_source_video(path, duration=6, size="320x180", fps=FPS, keyint_seconds=1):
    """H.264 video with a keyframe every ``keyint_seconds`` plus an AAC sine
    tone, like a downloaded source video."""
    gop = str(int(fps * keyint_seconds))
    _ffmpeg(
        "-f",
        "lavfi",
        "-i",
        f"testsrc2=size={size}:rate={fps}:duration={duration}",
        "-f",
        "lavfi",
        "-i",
        f"sine=frequency=440:sample_rate=44100:duration={duration}",
        "-c:v",
        "libx264",
        "-preset",
        "ultrafast",
        "-pix_fmt",
        "yuv420p",
        "-g",
        gop,
        "-keyint_min",
        gop,
        "-sc_threshold",
        "0",
        "-c:a",
        "aac",
        "-shortest",
        str(path),
    )
    return str(path)


def make_clock_video(path, duration=40, keyint_seconds=10, fps=FPS, offset=0):
    """A 160x90 H.264 video (with a sine tone) whose every frame shows its own number:
    the left half's luma steps by 8 with the frame within its second, the right half's by 3
    with the second; ``offset`` frames are added to every number (a different film)."""
    gop = str(int(fps * keyint_seconds))
    n = f"(N+{offset})"
    lum = f"if(lt(X,W/2),16+8*mod({n},{fps}),16+3*floor({n}/{fps}))"
    _ffmpeg(
        "-f",
        "lavfi",
        "-i",
        f"color=c=gray:s=160x90:r={fps}:d={duration},format=yuv420p,geq=lum='{lum}':cb=128:cr=128",
        "-f",
        "lavfi",
        "-i",
        f"sine=frequency=440:sample_rate=44100:duration={duration}",
        "-c:v",
        "libx264",
        "-preset",
        "ultrafast",
        "-crf",
        "10",
        "-g",
        gop,
        "-keyint_min",
        gop,
        "-sc_threshold",
        "0",
        "-c:a",
        "aac",
        "-shortest",
        str(path),
    )
    return str(path)


def clock_frames(video, fps=FPS):
    """The number each frame of a clock video shows, in order."""
    argv = ["ffmpeg", "-v", "error", "-i", str(video), "-map", "0:v:0"]
    # 2x2 pictures in yuv420p: four luma bytes (the top row first) and two chroma bytes
    argv += ["-vf", "scale=2:2:flags=area", "-pix_fmt", "yuv420p", "-f", "rawvideo", "-"]
    raw = subprocess.run(argv, capture_output=True, timeout=120, check=True).stdout
    return [
        round((raw[i] - 16) / 8) + fps * round((raw[i + 1] - 16) / 3)
        for i in range(0, len(raw) - 5, 6)
    ]


def make_narration(path, duration):
    """An MP3 sine tone of about ``duration`` seconds (the encoder pads a
    few tens of milliseconds), standing in for a spoken narration."""
    _ffmpeg(
        "-f",
        "lavfi",
        "-i",
        f"sine=frequency=330:sample_rate=44100:duration={duration}",
        "-c:a",
        "libmp3lame",
        str(path),
    )
    return str(path)


class MediaCache:
    """Makes each distinct input once per directory (use one per session)."""

    def __init__(self, directory):
        self.directory = str(directory)
        self._made = {}

    def _get(self, key, name, maker):
        if key not in self._made:
            self._made[key] = maker(os.path.join(self.directory, name))
        return self._made[key]

    def source(self, duration=6, size="320x180"):
        return self._get(
            ("src", duration, size),
            f"src_{duration}_{size}.mp4",
            lambda p: make_source_video(p, duration, size),
        )

    def narration(self, duration):
        return self._get(
            ("mp3", duration), f"narration_{duration}.mp3", lambda p: make_narration(p, duration)
        )


def probe(
    path, entries="format=duration:stream=index,codec_type,codec_name,width,height,duration", *extra
):
    """Parsed JSON of ``ffprobe -show_entries ENTRIES``."""
    argv = ["ffprobe", "-v", "error", *extra, "-show_entries", entries, "-of", "json", str(path)]
    done = subprocess.run(argv, capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def duration(path):
    """Container duration in seconds."""
    return float(probe(path, "format=duration")["format"]["duration"])


def dimensions(path):
    """(width, height) of the first video stream."""
    stream = probe(path, "stream=width,height", "-select_streams", "v:0")["streams"][0]
    return stream["width"], stream["height"]


def codec_names(path):
    """{"video": [...], "audio": [...], ...}: codec names by stream type, in stream order."""
    names = {}
    for stream in probe(path, "stream=codec_type,codec_name")["streams"]:
        names.setdefault(stream["codec_type"], []).append(stream["codec_name"])
    return names


def stream_counts(path):
    """{"video": n, "audio": m, ...}"""
    return {kind: len(names) for kind, names in codec_names(path).items()}


def video_packet_count(path):
    """Number of video packets actually stored (an edit list can hide some of
    them from the reported duration)."""
    stream = probe(path, "stream=nb_read_packets", "-count_packets", "-select_streams", "v:0")[
        "streams"
    ][0]
    return int(stream["nb_read_packets"])


_nvenc = None


def nvenc_usable():
    """Whether h264_nvenc can actually encode on this machine (cached)."""
    global _nvenc
    if _nvenc is None:
        done = subprocess.run(
            [
                "ffmpeg",
                "-hide_banner",
                "-loglevel",
                "error",
                "-f",
                "lavfi",
                "-i",
                "color=size=256x256:duration=0.2",
                "-c:v",
                "h264_nvenc",
                "-f",
                "null",
                "-",
            ],
            capture_output=True,
        )
        _nvenc = done.returncode == 0
    return _nvenc


# --- a stand-in for the subprocess module -----------------------------------


def kind_of(argv):
    """Which of the pipeline's ffmpeg runs an argument vector is."""
    if "h264_nvenc" in argv:
        return "gpu"
    if "libx264" in argv:
        return "cpu"
    if "concat" in argv:
        return "concat"
    if "-shortest" in argv:
        return "merge"
    if "-ss" in argv:
        return "cut"
    return "other"


class RecordingSubprocess:
    """Replaces ``subprocess`` in the module namespace.

    ``run(argv, **kw)`` records ``(list(argv), kw)`` in ``calls`` (and the
    type of ``argv`` in ``argv_types``) and, as
    ``("run", kind, argv)``, in the shared event list ``log``.  Then:

    * ``before(argv)`` is called if given (e.g. to read the concat list);
    * if ``fail(argv)`` is true, a CalledProcessError is raised (kept in
      ``raised``) and no output is made;
    * with ``real=True`` the real ``subprocess.run`` does the work;
    * otherwise the output file (the last element) is created when the run
      "succeeds", and an object with ``returncode`` is returned: 0, or
      ``gpu_returncode`` for the hardware-encoder attempt.
    * ``after(argv)`` is called if given, once the run has returned.
    """

    def __init__(
        self, log=None, *, gpu_returncode=1, fail=None, before=None, after=None, real=False
    ):
        self.log = log if log is not None else []
        self.calls = []
        self.argv_types = []
        self.raised = None
        self.gpu_returncode = gpu_returncode
        self.fail = fail
        self.before = before
        self.after = after
        self.real = real

    def run(self, argv, **kw):
        self.calls.append((list(argv), kw))
        self.argv_types.append(type(argv))
        self.log.append(("run", kind_of(argv), list(argv)))
        if self.before is not None:
            self.before(argv)
        if self.fail is not None and self.fail(argv):
            self.raised = subprocess.CalledProcessError(1, argv)
            raise self.raised
        if self.real:
            result = subprocess.run(argv, **kw)
        else:
            code = self.gpu_returncode if kind_of(argv) == "gpu" else 0
            if code == 0:
                with open(argv[-1], "wb") as out:
                    out.write(b"fake " + kind_of(argv).encode())
            result = SimpleNamespace(args=argv, returncode=code, stdout=None, stderr=None)
        if self.after is not None:
            self.after(argv)
        return result

    def vectors(self, kind=None):
        return [argv for argv, _ in self.calls if kind is None or kind_of(argv) == kind]

    def kinds(self):
        return [kind_of(argv) for argv, _ in self.calls]
