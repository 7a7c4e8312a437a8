"""The package's shape: its imports run down the layers, and what one job costs in probes and
reads, counted from outside."""

import ast
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kestro_core

PACKAGE = Path(kestro_core.__file__).parent
# each folder (or top-level module) of the package and its layer: a module imports only from
# its own folder or from a lower layer
LAYERS = {
    "__main__": 11,
    "cli": 10,
    "__init__": 9,
    "studio": 9,
    "jobs": 9,
    "planning": 8,
    "job": 7,
    "options": 6,
    "picture": 5,
    "sound": 4,
    "speech": 3,
    "cuts": 3,
    "timeline": 3,
    "finding": 3,
    "segments": 2,
    "media": 2,
    "store": 1,
    "kestro_core": 0,  # the extension
}


def _imports():
    """(importing module, imported module) for every import of the package's own modules,
    those made only for the type checker left out."""
    edges = set()
    for path in PACKAGE.rglob("*.py"):
        name = ".".join(("kestro_core", *path.relative_to(PACKAGE).with_suffix("").parts))
        name = name.removesuffix(".__init__")
        tree = ast.parse(path.read_text(encoding="utf-8"))
        checking = {
            id(node)
            for guard in ast.walk(tree)
            if isinstance(guard, ast.If) and "TYPE_CHECKING" in ast.unparse(guard.test)
            for node in ast.walk(guard)
        }
        for node in ast.walk(tree):
            if id(node) in checking:
                continue
            if isinstance(node, ast.ImportFrom) and (node.module or "").startswith("kestro_core"):
                for alias in node.names:
                    target = f"{node.module}.{alias.name}"
                    module = target if _is_module(target) else node.module
                    edges.add((name, module))
            elif isinstance(node, ast.Import):
                edges |= {(name, a.name) for a in node.names if a.name.startswith("kestro_core")}
    return edges


def _is_module(dotted):
    parts = dotted.split(".")[1:]
    base = PACKAGE.joinpath(*parts)
    return (
        base.with_suffix(".py").exists()
        or (base / "__init__.py").exists()
        or (len(parts) == 1 and parts[0] == "kestro_core")
    )


def _layer(module):
    parts = module.split(".")
    top = parts[1] if len(parts) > 1 else "__init__"
    return top, LAYERS[top]


def test_imports_run_down_the_layers():
    upward = []
    for source, target in sorted(_imports()):
        (own, mine), (theirs, its) = _layer(source), _layer(target)
        if own != theirs and its >= mine:
            upward.append(f"{source} -> {target}")
    assert upward == [], upward


def test_no_import_cycle():
    graph = {}
    for source, target in _imports():
        if source != target:
            graph.setdefault(source, set()).add(target)
    seen, stack, cycles = set(), [], []

    def visit(node):
        if node in stack:
            cycles.append(stack[stack.index(node) :] + [node])
            return
        if node in seen:
            return
        seen.add(node)
        stack.append(node)
        for nxt in sorted(graph.get(node, ())):
            visit(nxt)
        stack.pop()

    for node in sorted(graph):
        visit(node)
    assert cycles == []


HAVE_TOOLS = all(shutil.which(p) for p in ("ffmpeg", "ffprobe", "espeak-ng"))

SEGMENTS = [
    {"start": "0", "end": "2", "voiceover": "One."},
    {"start": "2", "end": "4", "voiceover": "Two.", "sound": "mix"},
    {"start": "5", "end": "7", "voiceover": "Three."},
    {"start": "8", "end": "10", "voiceover": "Four."},
]

# An audit hook cannot be taken off again, so the job runs in a child of its own.
COUNTED_JOB = """
import json, os, sys
source, segments, out = sys.argv[1:4]
counts = {"ffprobe": 0, "opens": 0}

def hook(event, args):
    if event == "subprocess.Popen":
        argv = args[1]
        if isinstance(argv, (list, tuple)) and argv and os.path.basename(str(argv[0])) == "ffprobe":
            counts["ffprobe"] += 1
    elif event == "open" and isinstance(args[0], (str, bytes, os.PathLike)):
        if os.path.realpath(os.fsdecode(args[0])) == os.path.realpath(segments):
            counts["opens"] += 1

sys.addaudithook(hook)
import kestro_core
short = kestro_core.make_short(
    segments, 1.25, source=source, speech="espeak-ng", output_dir=out, finish=True
)
print(json.dumps({**counts, "finished": short.finished}))
"""


@pytest.mark.skipif(not HAVE_TOOLS, reason="needs ffmpeg, ffprobe and espeak-ng")
def test_a_job_probes_each_file_once_and_reads_its_segments_once(tmp_path):
    source = tmp_path / "film.mp4"
    lavfi = ["-f", "lavfi", "-i", "testsrc2=s=320x180:r=25:d=14"]
    lavfi += ["-f", "lavfi", "-i", "sine=f=440:sample_rate=48000:d=14"]
    subprocess.run(
        ["ffmpeg", "-v", "error", "-y", *lavfi, "-c:v", "libx264", "-preset", "ultrafast"]
        + ["-g", "50", "-c:a", "aac", str(source)],
        check=True,
        timeout=120,
    )
    segments = tmp_path / "segments.json"
    segments.write_text(json.dumps(SEGMENTS), encoding="utf-8")
    out = tmp_path / "out"
    out.mkdir()
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(kestro_core.__file__)))
    done = subprocess.run(
        [sys.executable, "-P", "-c", COUNTED_JOB, str(source), str(segments), str(out)],
        capture_output=True,
        text=True,
        timeout=600,
        env=env,
    )
    assert done.returncode == 0, done.stderr
    counts = json.loads(done.stdout.splitlines()[-1])
    assert os.path.isfile(counts["finished"])
    # the source (its streams, then the packets around every range at once), the joined
    # video, the vertical one and each Segment's piece
    assert counts["ffprobe"] <= 4 + len(SEGMENTS)
    # the job's own read, and the extension's
    assert counts["opens"] <= 2
