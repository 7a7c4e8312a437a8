"""media.probe: one ffprobe document per file, packets read around ranges only."""

import json
import os
import subprocess

import pytest

from kestro_core import media
from tests.support.bframes import make_bframe_source
from tests.support.media import have_ffmpeg

pytestmark = pytest.mark.skipif(not have_ffmpeg(), reason="needs ffmpeg and ffprobe")

# apart, overlapping, one inside another, one starting between keyframes, one past the end
RANGES = [(0.0, 1.5), (1.0, 3.2), (2.1, 2.4), (7.3, 9.0), (13.0, 13.5), (40.0, 41.0)]


@pytest.fixture(scope="module")
def films(tmp_path_factory):
    d = tmp_path_factory.mktemp("films")
    mp4 = make_bframe_source(d / "film.mp4", duration=16)
    mkv = str(d / "film.mkv")
    subprocess.run(["ffmpeg", "-v", "error", "-i", mp4, "-c", "copy", mkv], check=True)
    return {"mp4": mp4, "mkv": mkv}


@pytest.mark.parametrize("kind", ["mp4", "mkv"])
@pytest.mark.parametrize("after", [0.0, 1.0])
def test_ranges_read_together_are_read_as_each_alone(films, kind, after):
    together = media.Probe.of(films[kind]).windows(RANGES, after)
    alone = [media.Probe.of(films[kind]).windows([r], after)[0] for r in RANGES]
    assert together == alone
    # each range's packets begin on the keyframe at or before its start (past the end: the
    # last one)
    assert [w[0].key for w in together] == [True] * len(RANGES)


def test_a_file_is_probed_once_whatever_names_it_until_it_changes(films, tmp_path):
    linked = tmp_path / "linked.mp4"
    os.link(films["mp4"], linked)
    probes = media.Probes()
    first = probes.get(films["mp4"])
    assert probes.get(str(linked)) is first
    with open(linked, "ab") as f:
        f.write(b"\0")
    assert probes.get(str(linked)) is not first


def test_the_first_audio_packet_is_found_past_the_first_packets(tmp_path):
    late = str(tmp_path / "late.mkv")
    argv = ["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=160x90:r=50:d=6"]
    argv += ["-f", "lavfi", "-i", "sine=d=6", "-itsoffset", "4", "-f", "lavfi", "-i", "sine=d=2"]
    argv += ["-map", "0:v", "-map", "2:a", "-c:v", "libx264", "-preset", "ultrafast", late]
    subprocess.run(argv, check=True)
    read = ["ffprobe", "-v", "error", "-select_streams", "a:0", "-read_intervals", "%+#1"]
    read += ["-show_entries", "packet=pts_time", "-of", "json", late]
    first = json.loads(subprocess.run(read, capture_output=True, check=True).stdout)
    probe = media.Probe.of(late)
    assert probe.audio_start() == pytest.approx(float(first["packets"][0]["pts_time"]))
    assert probe.audio_start() >= 3.9
