"""The tempo filter chain of _build_atempo_chain."""

import math
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st


def reference(speed):
    """The chain rule, written out plainly for comparison."""
    if not speed > 2.0:
        return f"atempo={speed!r}"
    filters, remaining = [], speed
    while remaining > 2.0:
        filters.append("atempo=2.0")
        remaining *= 0.5
    filters.append(f"atempo={remaining:.4f}")
    return ",".join(filters)


@pytest.mark.parametrize(
    "speed, chain",
    [
        (0.25, "atempo=0.25"),
        (1.0, "atempo=1.0"),
        (1.5, "atempo=1.5"),
        (2.0, "atempo=2.0"),
        (2.2, "atempo=2.0,atempo=1.1000"),
        (2.5, "atempo=2.0,atempo=1.2500"),
        (3.0, "atempo=2.0,atempo=1.5000"),
        (4.0, "atempo=2.0,atempo=2.0000"),
        (5.0, "atempo=2.0,atempo=2.0,atempo=1.2500"),
        (8.0, "atempo=2.0,atempo=2.0,atempo=2.0000"),
        (10.0, "atempo=2.0,atempo=2.0,atempo=2.0,atempo=1.2500"),
        # the edges
        (math.nextafter(2.0, math.inf), "atempo=2.0,atempo=1.0000"),
        (0.3, "atempo=0.3"),
        (0.0, "atempo=0.0"),
        (-0.0, "atempo=-0.0"),
        (-1.0, "atempo=-1.0"),
        (0.0001, "atempo=0.0001"),
        (0.00001, "atempo=1e-05"),
        (5e-324, "atempo=5e-324"),
        (math.nan, "atempo=nan"),
        (-math.inf, "atempo=-inf"),
    ],
)
def test_chain(kc, speed, chain):
    assert kc._build_atempo_chain(speed) == chain
    assert type(kc._build_atempo_chain(speed)) is str


def test_largest_double_gives_1024_filters(kc):
    filters = kc._build_atempo_chain(sys.float_info.max).split(",")
    assert len(filters) == 1024
    assert filters[:-1] == ["atempo=2.0"] * 1023
    assert filters[-1] == "atempo=2.0000"


@settings(max_examples=300, deadline=None)
@given(
    st.floats(allow_infinity=False) | st.floats(min_value=1.0, max_value=64.0) | st.just(-math.inf)
)
def test_matches_the_rule(kc, speed):
    assert kc._build_atempo_chain(speed) == reference(speed)


def test_infinite_speed_is_refused_quickly(tmp_path):
    # A runaway halving loop would grow without bound: cap the child's memory and time.
    code = textwrap.dedent("""
        import math, os, resource
        import kestro_core.kestro_core as kc
        limit = 1536 * 1024 * 1024
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):  # the sanitizer maps terabytes of shadow
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for value in (math.inf, float("inf")):
            try:
                kc._build_atempo_chain(value)
            except ValueError as exc:
                print(type(exc).__name__, "|", exc)
            else:
                print("no error")
    """)
    proc = subprocess.run(
        [sys.executable, "-P", "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=20
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert len(lines) == 2 and lines[0] == lines[1]
    kind, message = lines[0].split(" | ", 1)
    assert kind == "ValueError"
    assert "inf" in message.lower()
