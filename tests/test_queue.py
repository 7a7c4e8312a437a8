"""The job-queue task: spec validation, and four jobs run by two RQ workers on a real
Redis server (three good, one with a broken segments file)."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest

from kestro_core import jobs
from tests.support.media import dimensions, have_ffmpeg, make_source_video

REDIS_SERVER = shutil.which("redis-server")
TIMEOUT = shutil.which("timeout")
JOB_TIMEOUT = 600  # seconds RQ gives one job
WORKERS_TIMEOUT = 900  # seconds both burst workers get to empty the queue


# --- the spec -------------------------------------------------------------

GOOD = {"segments_file": "/data/s.json", "speed": 1.5, "output_root": "/data/out"}


@pytest.mark.parametrize(
    "spec, fragment",
    [
        ({**GOOD, "sped": 2}, "unknown key 'sped'"),
        ({**GOOD, "output_dir": "/x"}, "unknown key 'output_dir'"),
        ({"speed": 1.5, "output_root": "/o"}, "'segments_file' is missing"),
        ({"segments_file": "/s.json", "speed": 1.5}, "'output_root' is missing"),
        ({**GOOD, "speed": "1.5"}, "'speed' must be a number, not str"),
        ({**GOOD, "speed": True}, "'speed' must be a number, not bool"),
        ({**GOOD, "use_cache": "no"}, "'use_cache' must be true or false"),
        ({**GOOD, "cache_limit": True}, "'cache_limit' must be a whole number of bytes"),
        ({**GOOD, "segments_file": "s.json"}, "'segments_file' is the relative path 's.json'"),
        ({**GOOD, "source": "clips/a.mp4"}, "'source' is the relative path"),
        (["/s.json", 1.5], "a job spec must be a dict, not list"),
    ],
)
def test_bad_spec_is_refused_before_any_directory_is_made(tmp_path, spec, fragment):
    if isinstance(spec, dict):
        spec = {**spec, "output_root": str(tmp_path / "root")} if "output_root" in spec else spec
    with pytest.raises(ValueError, match=r"bad job spec|must be a dict") as info:
        jobs.make_short_job(spec)
    assert fragment in str(info.value)
    assert not (tmp_path / "root").exists()


def test_every_problem_is_named_at_once():
    with pytest.raises(ValueError) as info:
        jobs.make_short_job({"speed": "fast", "colour": 1, "extra": 2})
    text = str(info.value)
    for fragment in (
        "'colour', 'extra'",
        "'segments_file' is missing",
        "'output_root' is missing",
        "'speed' must be a number",
    ):
        assert fragment in text


def test_importing_the_task_loads_no_queue_library():
    code = (
        "import sys, kestro_core.jobs; "
        "print(sorted(m for m in ('rq', 'redis', 'kestro_core.kestro_core') "
        "if m in sys.modules))"
    )
    done = subprocess.run(
        [sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"


@pytest.mark.skipif(not have_ffmpeg(), reason="ffmpeg and ffprobe are needed")
@pytest.mark.skipif(shutil.which("espeak-ng") is None, reason="espeak-ng is needed")
def test_the_result_names_every_product(tmp_path):
    source = make_source_video(tmp_path / "source.mp4", duration=4)
    spec = {
        "segments_file": _segments(tmp_path / "s.json", ["One.", "Two."]),
        "speed": 1.5,
        "source": source,
        "speech": "espeak-ng",
        "output_root": str(tmp_path / "products"),
        "use_cache": False,
        "burn_captions": True,
        "finish": True,
    }
    result = jobs.make_short_job(spec)  # called without a queue
    products = {k: p for k, p in result.items() if k != "output_dir"}
    assert sorted(products) == [
        "captioned",
        "finished",
        "horizontal",
        "horizontal_captions",
        "horizontal_words",
        "vertical",
        "vertical_captions",
        "vertical_words",
    ]
    assert all(os.path.dirname(p) == result["output_dir"] for p in products.values())
    assert sorted(os.path.basename(p) for p in products.values()) == sorted(
        os.listdir(result["output_dir"])
    )


# --- a real queue -----------------------------------------------------------


def _limited(argv, seconds):
    """argv under coreutils' timeout when there is one: the child (and its process
    group) is stopped even if this test process dies first."""
    if TIMEOUT is None:
        return argv
    return [TIMEOUT, "-k", "10", str(seconds), *argv]


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _stop(proc):
    """Stop a child started in a session of its own, and everything it started."""
    if proc.poll() is None:
        try:
            os.killpg(proc.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            proc.wait(timeout=15)
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(proc.pid, signal.SIGKILL)  # work horses left behind, if any
    except (ProcessLookupError, PermissionError):
        pass
    proc.wait(timeout=15)


def _redis_argv(port, directory):
    """A server on loopback only that never writes its data to disk."""
    options = ["--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no"]
    return [REDIS_SERVER, *options, "--dir", str(directory)]


@pytest.fixture
def redis_url(tmp_path):
    """A throw-away Redis server on a free loopback port, never persisted."""
    if REDIS_SERVER is None:
        pytest.skip(
            "redis-server is not on PATH (the Makefile's system step installs "
            "the Debian package redis-server)"
        )
    from redis import Redis
    from redis.exceptions import ConnectionError as RedisConnectionError

    directory = tmp_path / "redis"
    directory.mkdir()
    # the sanitizer runtime is for our extension, not for the server
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    log = open(directory / "redis.log", "wb")
    proc = None
    try:
        for _attempt in range(3):  # the port may be taken between probe and start
            port = _free_port()
            proc = subprocess.Popen(
                _limited(_redis_argv(port, directory), WORKERS_TIMEOUT + 300),
                cwd=directory,
                env=env,
                stdout=log,
                stderr=subprocess.STDOUT,
                start_new_session=True,
            )
            client = Redis(host="127.0.0.1", port=port, socket_timeout=5)
            deadline = time.monotonic() + 30
            while proc.poll() is None and time.monotonic() < deadline:
                try:
                    client.ping()
                    break
                except RedisConnectionError:
                    time.sleep(0.05)
            client.close()
            if proc.poll() is None and time.monotonic() < deadline:
                break
            _stop(proc)
            proc = None
        if proc is None:
            pytest.fail(
                "redis-server did not start:\n"
                + (directory / "redis.log").read_text(errors="replace")
            )
        yield f"redis://127.0.0.1:{port}"
    finally:
        if proc is not None:
            _stop(proc)
        log.close()


def _wait_until_done(queued, workers, seconds):
    """The jobs' statuses once every job has finished or failed (or the workers are gone,
    or time is up).

    A burst worker's own exit is not waited for: with rq 3.0.0 and redis 8.2.0 its
    listener thread can miss the stop request and sleep out its 60-second poll after the
    last job; the jobs' results are all stored by then.
    """
    from rq.job import JobStatus

    final = {JobStatus.FINISHED, JobStatus.FAILED}
    deadline = time.monotonic() + seconds
    while True:
        statuses = [j.get_status() for j in queued]
        if set(statuses) <= final or time.monotonic() > deadline:
            return statuses
        if all(p.poll() is not None for p in workers):
            return [j.get_status() for j in queued]
        time.sleep(0.2)


def _segments(path, texts):
    segments = [
        {"start": f"{2 * i}", "end": f"{2 * i + 1.5}", "voiceover": text}
        for i, text in enumerate(texts)
    ]
    path.write_text(json.dumps(segments), encoding="utf-8")
    return str(path)


@pytest.mark.skipif(not have_ffmpeg(), reason="ffmpeg and ffprobe are needed")
@pytest.mark.skipif(shutil.which("espeak-ng") is None, reason="espeak-ng is needed")
def test_two_workers_four_jobs_one_broken(tmp_path, redis_url):
    from redis import Redis
    from rq import Queue
    from rq.job import JobStatus

    from kestro_core import CheckFailed, make_short

    source = make_source_video(tmp_path / "source.mp4", duration=6)
    source_bytes = (tmp_path / "source.mp4").read_bytes()
    root = tmp_path / "products"  # made by the first job
    cache = tmp_path / "cache"  # shared by the jobs, as on one machine
    good_files = [
        _segments(tmp_path / f"good{n}.json", [f"Job {n} begins.", f"Job {n} ends."])
        for n in range(3)
    ]
    broken = tmp_path / "broken.json"
    broken.write_text(
        json.dumps([{"start": "0", "end": "1", "voice_over": "typo"}]), encoding="utf-8"
    )
    # the text the same job gives in this process: the worker must report it as it is
    reference = tmp_path / "reference"
    reference.mkdir()
    with pytest.raises(CheckFailed) as expected:
        make_short(broken, 1.5, source=source, speech="espeak-ng", output_dir=reference)
    message = str(expected.value)
    assert '"voiceover": missing' in message

    def spec(segments_file):
        return {
            "segments_file": str(segments_file),
            "speed": 1.5,
            "source": source,
            "speech": "espeak-ng",
            "output_root": str(root),
            "cache_dir": str(cache),
        }

    connection = Redis.from_url(redis_url)
    workers = []
    try:
        queue = Queue("shorts", connection=connection)
        enqueued = [
            queue.enqueue(jobs.make_short_job, spec(f), job_timeout=JOB_TIMEOUT)
            for f in (good_files[0], broken, good_files[1], good_files[2])
        ]
        good_jobs = [enqueued[0], *enqueued[2:]]
        bad_job = enqueued[1]

        # workers run from an empty directory, without the repository on their path:
        # they find the task in the installed package
        workdir = tmp_path / "workers"
        workdir.mkdir()
        env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
        for n in range(2):
            argv = [sys.executable, "-P", "-m", "rq.cli", "worker", "--burst"]
            argv += ["--url", redis_url, "--name", f"worker{n}", "shorts"]
            out = open(workdir / f"worker{n}.log", "wb")
            proc = subprocess.Popen(
                _limited(argv, WORKERS_TIMEOUT),
                cwd=workdir,
                env=env,
                stdout=out,
                stderr=subprocess.STDOUT,
                start_new_session=True,
            )
            workers.append((out, proc))
        statuses = _wait_until_done(enqueued, [p for _, p in workers], WORKERS_TIMEOUT)
        worker_logs = [(workdir / f"worker{n}.log").read_text(errors="replace") for n in range(2)]
        for n, log in enumerate(worker_logs):
            assert f"Worker worker{n}: started" in log and "Listening on shorts" in log, log
        logs = "\n".join(worker_logs)
        assert statuses == [
            JobStatus.FINISHED,
            JobStatus.FAILED,
            JobStatus.FINISHED,
            JobStatus.FINISHED,
        ], logs

        # the broken job: in the failed registry, with the check's own text
        assert queue.failed_job_registry.get_job_ids() == [bad_job.id]
        failure = bad_job.latest_result()
        assert failure is not None and failure.exc_string is not None
        assert "CheckFailed" in failure.exc_string
        assert message in failure.exc_string

        # the good jobs: finished, each with both products in a directory of its own
        assert sorted(queue.finished_job_registry.get_job_ids()) == sorted(j.id for j in good_jobs)
        results = [j.return_value() for j in good_jobs]
        dirs = [r["output_dir"] for r in results]
        assert len(set(dirs)) == 3
        # the failed job left no directory behind
        assert sorted(os.path.join(root, d) for d in os.listdir(root)) == sorted(dirs)
        for r in results:
            assert os.path.basename(r["output_dir"]).startswith("job-")
            # every product the job left is in its result
            named = sorted(os.path.basename(p) for k, p in r.items() if k != "output_dir")
            assert named == sorted(os.listdir(r["output_dir"]))
            for product in (r["horizontal"], r["vertical"]):
                assert os.path.dirname(product) == r["output_dir"]
                assert os.path.getsize(product) > 0
            width, height = dimensions(r["vertical"])
            assert height > width
            width, height = dimensions(r["horizontal"])
            assert width > height
        assert (tmp_path / "source.mp4").read_bytes() == source_bytes  # only ever read
    finally:
        for out, proc in workers:
            _stop(proc)
            out.close()
        connection.close()
