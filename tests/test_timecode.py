"""The time syntax's shared table (tests/support/timecodes.json): every case read by
``timecode.parse_time``. The studio's page reads the same table in a browser
(tests/test_studio.py), so the two parsers cannot drift apart."""

import json
from pathlib import Path

import pytest

from kestro_core.segments.timecode import parse_time

TIMECODES = json.loads((Path(__file__).parent / "support" / "timecodes.json").read_text())


@pytest.mark.parametrize("case", TIMECODES, ids=[repr(c["text"]) for c in TIMECODES])
def test_time_table(case):
    assert parse_time(case["text"]) == case["us"]
