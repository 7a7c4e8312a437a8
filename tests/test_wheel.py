"""The distribution: what the sdist holds, a wheel built from the sdist against one built
from the tree, and the dist/ wheel installed with pip alone into a fresh environment, with
no package index, then used offline.

The module fixture runs ``make wheel``; make rebuilds only what is older than the sources,
so the build lives in one place and an up-to-date dist/ costs nothing. Builds, venv
creation and pip run without the sanitizer's preload; the children that load the
extension keep the environment of the test run. Those children run with ``-P`` from a
temporary directory, so they can only import what pip installed.
"""

from __future__ import annotations

import fcntl
import json
import os
import shutil
import subprocess
import sys
import tarfile
import time
import zipfile
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import cast

import pytest

from tests.support import media

# the media helpers are untyped; these are the signatures used here
make_source_video = cast(Callable[[Path], str], media.make_source_video)
dimensions = cast(Callable[[str], tuple[int, int]], media.dimensions)
stream_counts = cast(Callable[[str], dict[str, int]], media.stream_counts)

ROOT = Path(__file__).resolve().parent.parent
WHEEL_DIR = ROOT / "build" / "wheel"
WHEELHOUSE = ROOT / "build" / "wheelhouse"
DIST = ROOT / "dist"
TOOLS = ("make", "ffmpeg", "ffprobe", "wget", "espeak-ng", "readelf")

pytestmark = pytest.mark.skipif(
    not all(shutil.which(t) for t in TOOLS), reason=f"needs {', '.join(TOOLS)}"
)


@dataclass(frozen=True)
class Built:
    wheel: Path  # dist/, repaired
    sdist: Path  # dist/
    tree_wheel: Path  # built from the tree, not repaired
    sdist_wheel: Path  # built from the unpacked sdist, not repaired


def _env(*, preload: bool = False, offline_pip: bool = False) -> dict[str, str]:
    """The test run's environment for a child, without the outer make's job server and
    without PYTHONPATH; ``preload=False`` drops the sanitizer preload; ``offline_pip``
    also drops pip's configuration (its local indices and find-links), so that only the
    command line says where packages come from."""
    drop = {"MAKEFLAGS", "MFLAGS", "MAKELEVEL", "PYTHONPATH", "PYTHONHOME"}
    if not preload:
        drop.add("LD_PRELOAD")
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in drop and not (offline_pip and k.startswith("PIP_"))
    }
    if offline_pip:
        env["PIP_CONFIG_FILE"] = os.devnull
    return env


def _run(
    argv: list[str | Path], *, timeout: float, cwd: Path, env: dict[str, str], ok: bool = True
) -> subprocess.CompletedProcess[str]:
    done = subprocess.run(
        [str(a) for a in argv], cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout
    )
    if ok and done.returncode != 0:
        pytest.fail(
            f"{' '.join(map(str, argv))} exited {done.returncode}:\n"
            f"{done.stdout[-3000:]}\n{done.stderr[-3000:]}"
        )
    return done


def _one(directory: Path, pattern: str) -> Path:
    found = sorted(directory.glob(pattern))
    assert len(found) == 1, f"expected one {pattern} in {directory}, found {found}"
    return found[0]


@pytest.fixture(scope="module")
def built() -> Iterator[Built]:
    """Runs ``make wheel``; holds a lock until the module is done, so that a second test
    run (the sanitizer suite, say) neither rebuilds under this one nor reads half a build."""
    (ROOT / "build").mkdir(exist_ok=True)
    with open(ROOT / "build" / "wheel.lock", "w") as lock:
        deadline = time.monotonic() + 1800
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    pytest.fail("another test run has held build/wheel.lock for 30 minutes")
                time.sleep(1)
        _run(["make", "--no-print-directory", "wheel"], cwd=ROOT, env=_env(), timeout=1800)
        yield Built(
            wheel=_one(DIST, "kestro_core-*.whl"),
            sdist=_one(DIST, "kestro_core-*.tar.gz"),
            tree_wheel=_one(WHEEL_DIR / "tree", "kestro_core-*.whl"),
            sdist_wheel=_one(WHEEL_DIR / "sdist", "kestro_core-*.whl"),
        )


def test_sdist_holds_the_build_inputs_and_nothing_local(built: Built) -> None:
    with tarfile.open(built.sdist) as tar:
        names = {name.partition("/")[2] for name in tar.getnames()}
    needed = {"CMakeLists.txt", "LICENSE", "README.md", "pyproject.toml", "PKG-INFO"}
    assert needed - names == set()
    if (ROOT / ".git").exists():
        listed = _run(["git", "ls-files", "src", "tools"], cwd=ROOT, env=_env(), timeout=60)
        tracked = set(listed.stdout.split())
        assert tracked, "git lists no file under src/ and tools/"
        assert tracked - names == set()
    local = sorted(
        n
        for n in names
        if n.split("/")[0] in {".venv", "build", "dist", "demo-output", ".git"}
        or "__pycache__" in n.split("/")
        or n.endswith(".so")
    )
    assert local == []


def _members(wheel: Path) -> dict[str, bytes]:
    with zipfile.ZipFile(wheel) as z:
        return {i.filename: z.read(i) for i in z.infolist() if not i.is_dir()}


def _elf_interface(data: bytes, scratch: Path) -> tuple[list[str], list[str]]:
    """(libraries needed, symbols defined for export) of a shared object."""
    scratch.write_bytes(data)
    out = _run(
        ["readelf", "-W", "--dynamic", "--dyn-syms", scratch],
        cwd=scratch.parent,
        env=_env(),
        timeout=60,
    ).stdout
    needed = sorted(
        line.rsplit("[", 1)[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line
    )
    exported = sorted(
        fields[7]
        for fields in (line.split() for line in out.splitlines())
        if len(fields) >= 8 and fields[4] in ("GLOBAL", "WEAK") and fields[6] != "UND"
    )
    return needed, exported


def test_wheel_from_sdist_matches_wheel_from_tree(built: Built, tmp_path: Path) -> None:
    """Same files; same bytes except RECORD (its hashes) and the extension, whose
    needed libraries and exported symbols must match (build paths may differ)."""
    tree, sdist = _members(built.tree_wheel), _members(built.sdist_wheel)
    assert sorted(tree) == sorted(sdist)
    assert any(name.endswith(".so") for name in tree)
    differ = [
        name
        for name in tree
        if not name.endswith((".so", ".dist-info/RECORD")) and tree[name] != sdist[name]
    ]
    assert differ == []
    for name in (n for n in tree if n.endswith(".so")):
        from_tree = _elf_interface(tree[name], tmp_path / "tree.so")
        assert from_tree[1] == ["PyInit_kestro_core"]
        assert _elf_interface(sdist[name], tmp_path / "sdist.so") == from_tree


SEGMENTS = [
    {"start": "00:00:01", "end": "00:00:03", "voiceover": "One."},
    {"start": "3", "end": "5", "voiceover": "Two."},
]

PROBE = """
import json, kestro_core.kestro_core as m
print(json.dumps({"file": m.__file__, "chain": m._build_atempo_chain(3.0)}))
"""

JOB = """
import json, sys
from kestro_core import make_short
s = make_short(sys.argv[1], 1.5, source=sys.argv[2], speech="espeak-ng",
               output_dir=sys.argv[3], cache_dir=sys.argv[4])
print(json.dumps([s.output_dir, s.horizontal, s.vertical]))
"""


def test_wheel_installs_offline_and_makes_a_short(built: Built, tmp_path: Path) -> None:
    venv = tmp_path / "venv"
    base = str(sys._base_executable)  # the interpreter behind any venv
    _run([base, "-m", "venv", venv], cwd=tmp_path, env=_env(), timeout=180)
    py = venv / "bin" / "python"
    _run(
        [
            py,
            "-m",
            "pip",
            "install",
            "-q",
            "--no-index",
            "--only-binary=:all:",
            "--find-links",
            WHEELHOUSE,
            built.wheel,
        ],
        cwd=tmp_path,
        env=_env(offline_pip=True),
        timeout=600,
    )

    env = _env(preload=True)
    probe = json.loads(_run([py, "-P", "-c", PROBE], cwd=tmp_path, env=env, timeout=120).stdout)
    assert Path(probe["file"]).is_relative_to(venv)
    assert probe["chain"] == "atempo=2.0,atempo=1.5000"

    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps(SEGMENTS), encoding="utf-8")
    checked = _run(
        [py, "-P", "-m", "kestro_core", "check", segments],
        cwd=tmp_path,
        env=env,
        timeout=120,
        ok=False,
    )
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert "OK, 2 Segments" in checked.stdout

    source = make_source_video(tmp_path / "source.mp4")
    out = tmp_path / "out"
    out.mkdir()
    made = _run(
        [py, "-P", "-c", JOB, segments, source, out, tmp_path / "cache"],
        cwd=tmp_path,
        env=env,
        timeout=600,
    )
    output_dir, horizontal, vertical = json.loads(made.stdout.strip().splitlines()[-1])
    assert (output_dir, horizontal, vertical) == (
        str(out),
        str(out / "horizontal_final.mp4"),
        str(out / "FINAL_KESTRO.mp4"),
    )
    assert dimensions(horizontal) == (320, 180)
    assert dimensions(vertical) == (1080, 1920)
    for product in (horizontal, vertical):
        assert stream_counts(product) == {"video": 1, "audio": 1}
