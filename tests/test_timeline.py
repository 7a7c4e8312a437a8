"""The cut written as .otio, .fcpxml and .edl, and read back through the same adapters."""

import contextlib
import json
import os
import re
import shutil
from fractions import Fraction
from pathlib import Path
from xml.etree import ElementTree

import pytest

otio = pytest.importorskip("opentimelineio")

import kestro_core  # noqa: E402
from kestro_core.timeline import export  # noqa: E402
from kestro_core.timeline.model import FORMATS, Clip, Cut, Marker  # noqa: E402
from tests.support.media import make_source_video  # noqa: E402

RATE = 25.0
FRAME = 1 / RATE


def _cut(folder, rate=RATE):
    # nothing here reads the media: the files need not exist
    src = str(folder / 'clip "l\'été" 100%.mp4')
    narrations = [folder / f"narration {i}.mp3" for i in (1, 2)]
    music = folder / "musique.mp3"
    return Cut(
        "horizontal_final",
        rate,
        7.48,
        pieces=(
            Clip(src, "Segment 1", 0.0, 12.0, 4.0, rate),
            Clip(src, "Segment 2", 4.0, 40.3, 3.48, rate),
        ),
        narrations=(
            Clip(str(narrations[0]), "Narration 1", 0.2, 0.0, 3.0, rate),
            Clip(str(narrations[1]), "Narration 2", 4.1, 0.0, 3.0, rate),
        ),
        originals=(Clip(src, "Segment 2", 4.0, 40.3, 3.48, rate, -6.0, (("sound", "mix"),)),),
        music=(Clip(str(music), "Music", 0.0, 0.0, 7.48, rate, -12.0),),
        markers=(Marker(0.5, 2.0, "First line\nsecond"), Marker(4.5, 6.0, "it's here")),
    )


def _clips(track):
    return [item for item in track if isinstance(item, otio.schema.Clip)]


def _resolves(url, fmt):
    # an EDL names its media by plain path, the others by file URL
    return url if fmt == "edl" else otio.url_utils.filepath_from_url(url)


@pytest.mark.parametrize("fmt", FORMATS)
def test_each_format_reads_back_as_the_pieces(tmp_path, fmt):
    cut = _cut(tmp_path)
    path = export.write(cut, str(tmp_path / "horizontal_final"), fmt)
    assert path == str(tmp_path / "horizontal_final") + "." + fmt
    read = otio.adapters.read_from_file(path, **({"rate": RATE} if fmt == "edl" else {}))
    (video,) = [t for t in read.tracks if t.kind == otio.schema.TrackKind.Video]
    clips = _clips(video)
    assert len(clips) == len(cut.pieces)
    for clip, piece in zip(clips, cut.pieces):
        got = clip.source_range
        assert got.start_time.to_seconds() == pytest.approx(piece.source_start, abs=FRAME)
        assert got.duration.to_seconds() == pytest.approx(piece.duration, abs=FRAME)
        placed = clip.range_in_parent().start_time.to_seconds()
        assert placed == pytest.approx(piece.at, abs=FRAME)
        assert _resolves(clip.media_reference.target_url, fmt) == piece.media
    assert video.duration().to_seconds() == pytest.approx(7.48, abs=FRAME)
    if fmt != "edl":  # an EDL carries no captions
        names = [m.name for m in video.markers] + [m.name for c in clips for m in c.markers]
        assert sorted(names) == sorted(m.text for m in cut.markers)


def test_otio_holds_every_track_in_order(tmp_path):
    cut = _cut(tmp_path)
    read = otio.adapters.read_from_file(export.write(cut, str(tmp_path / "t"), "otio"))
    tracks = list(read.tracks)
    assert [(t.name, t.kind, len(_clips(t))) for t in tracks] == [
        ("Picture", "Video", 2),
        ("Narration", "Audio", 2),
        ("Source sound", "Audio", 1),
        ("Music", "Audio", 1),
    ]
    assert read.duration().to_seconds() == pytest.approx(7.48, abs=FRAME)
    for track, wanted in zip(tracks[1:], (cut.narrations, cut.originals, cut.music)):
        for clip, plan in zip(_clips(track), wanted):
            assert clip.range_in_parent().start_time.to_seconds() == pytest.approx(
                plan.at, abs=FRAME
            )
            assert clip.duration().to_seconds() == pytest.approx(plan.duration, abs=FRAME)
            assert otio.url_utils.filepath_from_url(clip.media_reference.target_url) == plan.media
    assert dict(_clips(tracks[2])[0].metadata["kestro_core"]) == {"level_db": -6.0, "sound": "mix"}
    assert dict(_clips(tracks[3])[0].metadata["kestro_core"]) == {"level_db": -12.0}
    marks = [(m.metadata["kestro_core"]["text"], m.marked_range) for m in tracks[0].markers]
    assert [(text, r.start_time.to_seconds(), r.duration.to_seconds()) for text, r in marks] == [
        ("First line\nsecond", 0.52, 1.48),  # whole frames: 0.5 s is frame 12.5
        ("it's here", 4.52, 1.48),
    ]


def test_joins_gaps_and_overlaps(tmp_path):
    media = str(tmp_path / "a.mp4")
    cut = Cut(
        "t",
        RATE,
        6.0,
        pieces=(
            # 0.7 - 0.4 falls just short of the half frame that 0.3 is: still one join
            Clip(media, "1", 0.0, 0.0, 0.7 - 0.4, RATE),
            Clip(media, "2", 0.3, 10.0, 2.7, RATE),
            Clip(media, "3", 4.0, 20.0, 2.0, RATE),
        ),
        narrations=(
            Clip(media, "n1", 0.0, 0.0, 3.0, RATE),
            Clip(media, "n2", 1.0, 0.0, 1.0, RATE),
            Clip(media, "n3", 5.0, 0.0, 9.0, RATE),  # runs past the end of the cut
        ),
    )
    picture, *narration = export.build(cut).tracks
    assert [type(i).__name__ for i in picture] == ["Clip", "Clip", "Gap", "Clip"]
    assert picture.range_of_child_at_index(3).start_time.to_seconds() == 4.0
    assert [(t.name, [c.name for c in _clips(t)]) for t in narration] == [
        ("Narration", ["n1", "n3"]),
        ("Narration 2", ["n2"]),
    ]
    assert narration[0].duration().to_seconds() == 6.0


def test_fcpxml_counts_ntsc_frames_exactly(tmp_path):
    path = export.write(_cut(tmp_path, rate=1 / 0.0417083), str(tmp_path / "t"), "fcpxml")
    root = ElementTree.parse(path).getroot()
    assert {f.get("frameDuration") for f in root.iter("format")} == {"1001/24000s"}
    frame = Fraction(1001, 24000)
    # the sound clips hung under them are the adapter's to place, at whole 1/23 s
    (spine,) = root.iter("spine")
    pieces = spine.findall("clip")
    assert len(pieces) == 2
    for value in (p.get(key, "0s") for p in pieces for key in ("offset", "duration", "start")):
        assert (Fraction(value.rstrip("s")) / frame).denominator == 1, value


@pytest.mark.parametrize("fmt", ["fcpxml", "edl"])
def test_a_rate_the_format_cannot_count_in(tmp_path, fmt):
    with pytest.raises(ValueError, match="write the timeline as otio"):
        export.write(_cut(tmp_path, rate=12.0), str(tmp_path / "t"), fmt)
    assert list(tmp_path.glob("t*")) == []


def test_missing_library_and_unknown_format(tmp_path, monkeypatch):
    assert [export.missing(fmt) for fmt in FORMATS] == [None] * len(FORMATS)
    with pytest.raises(ValueError, match="avi"):
        export.write(_cut(tmp_path), str(tmp_path / "t"), "avi")
    monkeypatch.setattr(export, "otio", None)
    assert export.missing("edl") == export.EXTRA_MISSING
    with pytest.raises(RuntimeError, match=re.escape("kestro_core[timeline]")):
        export.write(_cut(tmp_path), str(tmp_path / "t"), "otio")


# ------------------------------------------------------------------------------------------
# a whole job with --timeline: what it wrote, read back against the product and the plan
# ------------------------------------------------------------------------------------------

SEGMENTS = [
    {"start": "0", "end": "2", "voiceover": "One two three."},
    {"start": "2.5", "end": "4.5", "voiceover": "Then four.", "sound": "mix"},
    {"start": "6", "end": "8", "voiceover": "", "sound": "original"},
]
needs_tools = pytest.mark.skipif(
    not all(shutil.which(p) for p in ("ffmpeg", "ffprobe", "espeak-ng")),
    reason="needs ffmpeg and espeak-ng",
)


@pytest.fixture
def film(tmp_path):
    folder = tmp_path / "l'été des films"
    folder.mkdir()
    path = folder / "a film, 1.mp4"
    make_source_video(path, duration=9, size="320x180", keyint_seconds=2)
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps(SEGMENTS))
    out = tmp_path / "out"
    (out / "narrations").mkdir(parents=True)
    return str(path), str(segments), out


@needs_tools
@pytest.mark.parametrize("origin", ["local", "link"])
def test_a_job_hands_over_exactly_what_it_made(kc, film, tmp_path, monkeypatch, origin):
    from demo.standin import RoutedRequests, ShortSleepTime, StandIn
    from tests.support.media import make_narration

    source, segments, out = film
    earlier = out / "narrations" / ("0" * 64 + ".mp3")
    earlier.write_bytes(b"another job's narration")
    voice = {"speech": "espeak-ng"}
    with contextlib.ExitStack() as stack:
        if origin == "link":
            tone = Path(make_narration(tmp_path / "tone.mp3", 1)).read_bytes()
            standin = stack.enter_context(StandIn(source, make_mp3=lambda text, voice: tone))
            monkeypatch.setattr(kc, "requests", RoutedRequests(standin))
            monkeypatch.setattr(kc, "time", ShortSleepTime(long=0, short=0))
            where = {"link": "https://www.youtube.com/watch?v=cut"}
            voice = {"voice": "v1"}
        else:
            where = {"source": source}
        planned = kestro_core.plan(segments, 1.25, **where, **voice)
        short = kestro_core.make_short(
            segments, 1.25, **where, **voice, output_dir=str(out), timeline=True
        )
    assert short.timeline == str(out / "horizontal_final.otio")
    timeline = otio.adapters.read_from_file(short.timeline)
    picture, narration, own = timeline.tracks
    assert [t.name for t in timeline.tracks] == ["Picture", "Narration", "Source sound"]
    media = source if origin == "local" else str(out / "horizontal_final.source.mp4")
    length = kestro_core.media.duration(short.horizontal)
    assert timeline.duration().to_seconds() == pytest.approx(length, abs=0.1)
    clips = list(picture.find_clips())
    assert len(clips) == len(SEGMENTS)
    for clip, seg, plan in zip(clips, SEGMENTS, planned.segments, strict=True):
        assert otio.url_utils.filepath_from_url(clip.media_reference.target_url) == media
        assert clip.source_range.start_time.to_seconds() == pytest.approx(
            float(seg["start"]), abs=FRAME
        )
        assert clip.source_range.duration.to_seconds() == pytest.approx(
            plan.piece, abs=FRAME + 1e-6
        )
    assert os.path.isfile(media)
    spoken = list(narration.find_clips())
    assert len(spoken) == 2  # the "original" Segment speaks nothing
    for clip in spoken:
        path = otio.url_utils.filepath_from_url(clip.media_reference.target_url)
        assert os.path.dirname(path) == str(out / "narrations")
        lasts = kestro_core.media.duration(path)
        assert clip.source_range.duration.to_seconds() <= lasts + FRAME
    assert spoken[0].source_range.duration.to_seconds() == pytest.approx(
        planned.segments[0].narration, abs=0.1
    )
    assert [c.metadata["kestro_core"]["level_db"] for c in own.find_clips()] == [-15.0, 0.0]
    assert earlier.read_bytes() == b"another job's narration"


@needs_tools
def test_without_the_extra_the_job_is_refused_before_it_starts(film, monkeypatch):
    source, segments, out = film
    monkeypatch.setattr(export, "otio", None)
    with pytest.raises(
        kestro_core.CheckFailed, match=re.escape('pip install "kestro_core[timeline]"')
    ):
        kestro_core.make_short(
            segments, 1.25, source=source, speech="espeak-ng", output_dir=str(out), timeline=True
        )
    assert os.listdir(out) == ["narrations"]
