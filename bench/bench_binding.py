"""Cost of a call across the module boundary, and of importing the module.

Calls: _build_atempo_chain against a pure-Python function with the same body, timed in this
one process, interleaved, best of several repeats; the figure is the ratio native / Python.
Import: the import of kestro_core.kestro_core in fresh interpreters whose dependencies are
already imported (the import time of the module minus that of its dependencies), median of
many runs; and, for comparison, how much of it the dynamic loader alone takes.

    python bench/bench_binding.py [--repeats 5] [--runs 15]
"""

import argparse
import statistics
import subprocess
import sys
import tempfile
import timeit

import kestro_core.kestro_core as kc

CALL_TARGETS = {"positional 1.5": 0.7, "keyword 1.5": 0.7, "positional 10.0": 0.35}
IMPORT_TARGET_MS = 2.0
DEPENDENCIES = "json, subprocess, requests, base64, re, time, os, urllib.parse, zlib"


def _build_atempo_chain(speed: float) -> str:
    """
    Build ffmpeg atempo filter chain.
    atempo is limited to 0.5-2.0 range per filter, so we chain for higher speeds.
    """
    if speed <= 2.0:
        return f"atempo={speed}"
    filters = []
    remaining = speed
    while remaining > 2.0:
        filters.append("atempo=2.0")
        remaining /= 2.0
    filters.append(f"atempo={remaining:.4f}")
    return ",".join(filters)


CASES = {  # label: (statement, speed)
    "positional 1.5": ("f(1.5)", 1.5),
    "keyword 1.5": ("f(speed=1.5)", 1.5),
    "positional 10.0": ("f(10.0)", 10.0),
}


def time_calls(repeats):
    rows = []
    for label, (stmt, speed) in CASES.items():
        assert kc._build_atempo_chain(speed) == _build_atempo_chain(speed), label
        native = timeit.Timer(stmt, globals={"f": kc._build_atempo_chain})
        python = timeit.Timer(stmt, globals={"f": _build_atempo_chain})
        number, _ = python.autorange()  # about 0.2 s of the Python function per repeat
        best_native = best_python = float("inf")
        for _ in range(repeats):
            best_native = min(best_native, native.timeit(number))
            best_python = min(best_python, python.timeit(number))
        rows.append((label, best_native / number, best_python / number))
    return rows


CHILD = """
import time
{pre}
start = time.perf_counter()
{timed}
print(time.perf_counter() - start)
"""


def child_seconds(pre, timed, cwd):
    code = CHILD.format(pre=pre, timed=timed)
    out = subprocess.run(
        [sys.executable, "-P", "-c", code], cwd=cwd, capture_output=True, text=True, check=True
    )
    return float(out.stdout.strip().splitlines()[-1])


# The dependencies and the (empty) package are imported first: what is timed is finding and
# loading the extension and its create and execute steps.
PRE = f"import {DEPENDENCIES}\nimport kestro_core"
# The shared object alone (the dynamic loader, with the C++ runtime it links).
PRE_LOAD = (
    PRE
    + "\nimport ctypes, importlib.util\npath = importlib.util.find_spec('kestro_core.kestro_core').origin"
)


def time_import(runs):
    with tempfile.TemporaryDirectory() as cwd:
        module, load = [], []
        for _ in range(runs):  # interleaved, so that a noisy moment hits both alike
            module.append(child_seconds(PRE, "import kestro_core.kestro_core", cwd))
            load.append(child_seconds(PRE_LOAD, "ctypes.PyDLL(path)", cwd))
    return statistics.median(module) * 1000.0, statistics.median(load) * 1000.0


def verdict(value, target):
    return "ok" if value <= target else "MISSED"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--repeats", type=int, default=5, help="timing repeats per call case (best is kept)"
    )
    parser.add_argument(
        "--runs", type=int, default=15, help="fresh interpreters per import figure (median)"
    )
    args = parser.parse_args()

    print(
        f"Python {sys.version.split()[0]}; best of {args.repeats} repeats; {args.runs} import runs"
    )
    print()
    print(
        f"{'_build_atempo_chain call':<28}{'native ns':>11}{'python ns':>11}{'ratio':>8}{'target':>10}"
    )
    for label, native, python in time_calls(args.repeats):
        ratio = native / python
        target = CALL_TARGETS[label]
        print(
            f"{label:<28}{native * 1e9:>11.1f}{python * 1e9:>11.1f}{ratio:>7.2f}x"
            f"{'<= %.2fx' % target:>10}  {verdict(ratio, target)}"
        )

    module, load = time_import(args.runs)
    print()
    print(
        f"import overhead (dependencies already imported), median: {module:6.3f} ms"
        f"  target <= {IMPORT_TARGET_MS:.1f} ms  {verdict(module, IMPORT_TARGET_MS)}"
    )
    print(f"  loading the shared object alone (dlopen), median:       {load:6.3f} ms")


if __name__ == "__main__":
    main()
