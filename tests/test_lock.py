"""One output directory, one job: a second job is refused, a killed job's children die with
it, and the next job clears what it left."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

import pytest

import kestro_core
from kestro_core.job.lock import LOCK_NAME
from tests.support.media import make_source_video

pytestmark = pytest.mark.skipif(
    not all(shutil.which(p) for p in ("ffmpeg", "ffprobe", "espeak-ng")),
    reason="needs ffmpeg and espeak-ng",
)

SEGMENTS = [
    {"start": "0", "end": "3", "voiceover": "The first part of the story."},
    {"start": "4", "end": "7", "voiceover": "And then the second part."},
]


@pytest.fixture
def job(tmp_path):
    source = tmp_path / "film.mp4"
    make_source_video(source, duration=9, size="640x360", keyint_seconds=2)
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps(SEGMENTS))
    out = tmp_path / "out"
    out.mkdir()
    scratch = tmp_path / "tmp"
    scratch.mkdir()
    return str(source), str(segments), out, scratch


def _run(job, *extra, **popen):
    source, segments, out, scratch = job
    argv = [sys.executable, "-P", "-m", "kestro_core", "run", segments, "--speed", "1.25"]
    argv += ["--source", source, "--speech", "espeak-ng", "--output-dir", str(out), *extra]
    env = dict(os.environ, TMPDIR=str(scratch), PYTHONIOENCODING="utf-8")
    return subprocess.Popen(argv, env=env, text=True, **popen)


def _children(pid):
    """Every process below ``pid``, found in /proc."""
    parents = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    stat = f.read()
            except OSError:
                continue
            parents[int(entry)] = int(stat[stat.rfind(")") + 2 :].split()[1])
    found, todo = set(), [pid]
    while todo:
        at = todo.pop()
        for child, parent in parents.items():
            if parent == at and child not in found:
                found.add(child)
                todo.append(child)
    return found


def _running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rfind(")") + 2] not in "ZX"


def test_a_second_job_into_the_directory_is_refused(job):
    _, segments, out, _ = job
    # a lock file alone (left by a killed job, or by one on another machine) blocks nobody
    (out / LOCK_NAME).write_text("4242 another-machine\n")
    first = _run(job, "--no-cache", stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        deadline = time.monotonic() + 60
        while not _children(first.pid) and time.monotonic() < deadline:
            time.sleep(0.05)  # the first job is at work once it runs a program
        started = time.monotonic()
        with pytest.raises(
            kestro_core.DirectoryInUse, match=rf"in use by another job \(process {first.pid}\)"
        ):
            kestro_core.make_short(
                segments, 1.25, source=job[0], speech="espeak-ng", output_dir=str(out)
            )
        assert time.monotonic() - started < 1.0
        second = _run(job, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        said = second.communicate(timeout=60)[1]
        assert second.returncode == 1
        assert (
            f"kestro_core run: the output directory {str(out)!r} is in use by another job" in said
        )
        assert first.wait(timeout=300) == 0, first.stderr.read()
    finally:
        first.kill()
        first.wait()
    planned = kestro_core.plan(segments, 1.25, source=job[0], speech="espeak-ng")
    made = kestro_core.media.duration(str(out / "FINAL_KESTRO.mp4"))
    assert made == pytest.approx(planned.vertical, abs=0.1)
    assert not (out / LOCK_NAME).exists()


def test_a_killed_job_leaves_nothing_after_the_next(job):
    _, _, out, scratch = job
    killed = _run(job, "--finish", "--events", stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    children: set[int] = set()
    try:
        for line in killed.stdout:
            if json.loads(line)["step"] == "finish":
                break
        deadline = time.monotonic() + 60
        while not children and time.monotonic() < deadline:
            children = {p for p in _children(killed.pid) if _running(p)}
            time.sleep(0.02)
        assert children, "the finishing encode started no program"
        os.kill(killed.pid, signal.SIGKILL)
    finally:
        killed.kill()
        killed.wait()
    time.sleep(1.0)
    assert [p for p in children if _running(p)] == []
    left = list(scratch.rglob("kestro-*-*"))
    assert left, "the killed job left no working directory: the test proves nothing"
    rerun = _run(job, "--finish", stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    assert rerun.wait(timeout=300) == 0, rerun.stderr.read()
    rerun.stderr.close()
    assert [p.name for p in out.iterdir() if p.name.endswith(".part")] == []
    assert [p for p in scratch.rglob("*") if p.is_dir() and p.name.startswith("kestro-")] == [
        scratch / f"kestro-{os.getuid()}"
    ]


def test_a_directory_that_cannot_hold_a_lock_is_refused(job, tmp_path):
    _, segments, out, _ = job
    if os.geteuid() == 0:  # permissions do not stop root: a read-only file system does
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "ro", "tmpfs", str(out)]).returncode:
            pytest.skip("cannot mount a read-only file system here")
    else:
        out.chmod(0o555)
    try:
        with pytest.raises(kestro_core.DirectoryInUse) as refused:
            kestro_core.make_short(
                segments, 1.25, source=job[0], speech="espeak-ng", output_dir=str(out)
            )
    finally:
        if os.geteuid() == 0:
            subprocess.run(["umount", str(out)], check=True)
        else:
            out.chmod(0o755)
    message = str(refused.value)
    assert f"cannot take the output directory {str(out)!r}" in message
    assert "no lock file can be made there (Read-only file system)" in message or (
        "(Permission denied)" in message
    )
    assert not (tmp_path / "film.mp4").is_symlink() and os.listdir(out) == []


def test_a_program_the_package_runs_dies_with_it():
    # an ffmpeg that writes to no pipe would run on for its whole time limit without the
    # parent-death signal
    code = (
        "from kestro_core import media; media.run(['ffmpeg', '-v', 'error', '-re', '-f',"
        " 'lavfi', '-i', 'anullsrc', '-t', '120', '-f', 'null', '-'], media_seconds=120)"
    )
    parent = subprocess.Popen([sys.executable, "-P", "-c", code])
    children: set[int] = set()
    try:
        deadline = time.monotonic() + 30
        while not children and time.monotonic() < deadline:
            children = {p for p in _children(parent.pid) if _running(p)}
            time.sleep(0.02)
        assert children
        os.kill(parent.pid, signal.SIGKILL)
        time.sleep(1.0)
        assert [p for p in children if _running(p)] == []
    finally:
        parent.kill()
        parent.wait()
        for pid in children:
            if _running(pid):
                os.kill(pid, signal.SIGKILL)


def test_a_missing_output_directory_is_made_only_as_the_last_level(job, tmp_path):
    source, segments, _, _ = job
    out = tmp_path / "made"
    short = kestro_core.make_short(
        segments, 1.25, source=source, speech="espeak-ng", output_dir=str(out)
    )
    assert os.path.isfile(short.vertical) and os.path.dirname(short.vertical) == str(out)
    deeper = tmp_path / "typo" / "out"
    with pytest.raises(kestro_core.CheckFailed) as refused:
        kestro_core.make_short(
            segments, 1.25, source=source, speech="espeak-ng", output_dir=str(deeper)
        )
    assert f"cannot be made in {str(tmp_path / 'typo')!r}" in str(refused.value)
    assert not (tmp_path / "typo").exists()
