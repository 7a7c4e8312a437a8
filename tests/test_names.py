"""Names a user meets: every kind of path the file system allows, as the source, the
segments file, the output directory and the cache directory, through the command line,
the plan, the check, make_short and the queue's task.

Real ffmpeg and espeak-ng on a small generated source.
"""

import json
import os
import shutil
import subprocess
import sys

import pytest

import kestro_core
from kestro_core import jobs
from tests.support.media import make_source_video

pytestmark = pytest.mark.skipif(
    not all(shutil.which(p) for p in ("ffmpeg", "ffprobe", "espeak-ng")),
    reason="needs ffmpeg, ffprobe and espeak-ng",
)

SEGMENTS = [{"start": "0.5", "end": "1.5", "voiceover": "One."}]
PRODUCTS = [
    "FINAL_KESTRO.mp4",
    "FINAL_KESTRO.srt",
    "FINAL_KESTRO.words.json",
    "horizontal_final.mp4",
    "horizontal_final.srt",
    "horizontal_final.words.json",
]

# each name is used for all four paths at once (with a suffix for the files)
NAMES = [
    "with space",
    "o3: x",  # ffmpeg would read "o3" as a protocol
    "o, d's: [x]%",  # a quote, which the join's list file cannot carry, and more
    "-lead",  # would read as an option
    "naïve ünï",
]


@pytest.fixture(scope="module")
def video(tmp_path_factory):
    return make_source_video(tmp_path_factory.mktemp("src") / "film.mp4", duration=3)


@pytest.fixture(params=NAMES)
def paths(request, tmp_path, video, monkeypatch):
    name = request.param
    monkeypatch.chdir(tmp_path)  # relative paths, as a user types them
    for folder in (name, f"{name} cache"):
        os.mkdir(folder)
    shutil.copyfile(video, f"{name}.mp4")
    with open(f"{name}.json", "w", encoding="utf-8") as f:
        json.dump(SEGMENTS, f)
    return name


def _cli(*args):
    return subprocess.run(
        [sys.executable, "-P", "-m", "kestro_core", *args],
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_the_command_line_takes_any_name(paths):
    name = paths
    # a name that starts with "-" is given as ./-name or as --option=-name
    seg, src = f"./{name}.json", f"./{name}.mp4"
    common = ["--speed", "2", f"--source={src}", "--speech", "espeak-ng"]
    checked = _cli("check", seg, *common[:3], f"--output-dir={name}")
    assert checked.returncode == 0, checked.stdout + checked.stderr
    planned = _cli("plan", seg, *common, f"--cache-dir={name} cache", "--json")
    assert planned.returncode == 0, planned.stderr
    assert len(json.loads(planned.stdout)["segments"]) == 1
    done = _cli("run", seg, *common, f"--output-dir={name}", f"--cache-dir={name} cache")
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(name)) == PRODUCTS
    assert os.listdir(f"{name} cache")


def test_make_short_and_the_queue_take_any_name(paths, tmp_path):
    name = paths
    short = kestro_core.make_short(
        f"{name}.json",
        2,
        source=f"{name}.mp4",
        speech="espeak-ng",
        output_dir=name,
        cache_dir=f"{name} cache",
    )
    assert short.vertical == os.path.join(os.path.abspath(name), "FINAL_KESTRO.mp4")
    assert sorted(os.listdir(name)) == PRODUCTS
    made = jobs.make_short_job(
        {
            "segments_file": os.path.abspath(f"{name}.json"),
            "speed": 2,
            "source": os.path.abspath(f"{name}.mp4"),
            "speech": "espeak-ng",
            "cache_dir": os.path.abspath(f"{name} cache"),
            "output_root": os.path.abspath(f"{name} root"),
        }
    )
    assert sorted(os.listdir(made["output_dir"])) == PRODUCTS
