"""The ffmpeg time syntax: what ffmpeg accepts after "-ss" and "-to", read and written.

``parse_time`` accepts exactly the strings ffmpeg's own parser accepts (the studio's page
accepts the same ones: a shared table of cases holds both to it); ``format_seconds`` writes
H:MM:SS.mmm for messages; ``format_like`` writes a new value in the form a user gave.
"""

from __future__ import annotations

import re

__all__ = ["parse_time", "format_seconds", "format_like"]

_INT64_MAX = (1 << 63) - 1
_INT64_MIN = -(1 << 63)
_C_SPACE = " \t\n\v\f\r"
_DIGITS = "0123456789"


def _number(text: str, i: int, max_value: int, max_len: int) -> tuple[int, int] | None:
    """Read 1..max_len ASCII digits at text[i:] (no backtracking), as ffmpeg's
    date field reader does; None when there is none or the value is too big."""
    j = i
    while j < len(text) and j - i < max_len and text[j] in _DIGITS:
        j += 1
    if j == i:
        return None
    value = int(text[i:j])
    if value > max_value:
        return None
    return value, j


def _clock(text: str, i: int, with_hours: bool) -> tuple[int, int] | None:
    """Match HOURS:MM:SS (hours up to 4 digits) or MM:SS at text[i:];
    give (seconds, index after the match)."""
    fields = [(9999, 4), (59, 2), (59, 2)] if with_hours else [(59, 2), (59, 2)]
    total = 0
    for n, (max_value, max_len) in enumerate(fields):
        if n:
            if i >= len(text) or text[i] != ":":
                return None
            i += 1
        got = _number(text, i, max_value, max_len)
        if got is None:
            return None
        value, i = got
        total = total * 60 + value
    return total, i


def _c_strtoll(text: str, i: int) -> tuple[int, int] | None:
    """C's strtoll in base 10: leading white space, a sign, digits."""
    j = i
    while j < len(text) and text[j] in _C_SPACE:
        j += 1
    sign = 1
    if j < len(text) and text[j] in "+-":
        sign = -1 if text[j] == "-" else 1
        j += 1
    k = j
    while k < len(text) and text[k] in _DIGITS:
        k += 1
    if k == j:
        return None
    value = sign * int(text[j:k])
    if not _INT64_MIN <= value <= _INT64_MAX:
        return None
    return value, k


def parse_time(text: str) -> int | None:
    """A time in ffmpeg's duration syntax, in microseconds; None if ffmpeg
    would refuse it.

    Accepted, as ffmpeg's own parser accepts them: ``[-][HH:]MM:SS[.m...]``
    (hours up to four digits, minutes and seconds below 60) and
    ``[-]S+[.m...]``, each optionally followed by "s", "ms" or "us".
    """
    if "\x00" in text:  # an argument vector cannot carry it
        return None
    i = 0
    negative = text.startswith("-")
    if negative:
        i = 1
    got = _clock(text, i, True) or _clock(text, i, False)
    if got is None:
        got = _c_strtoll(text, i)
        if got is None:
            return None
    whole, i = got

    micro = 0
    if i < len(text) and text[i] == ".":
        i += 1
        scale = 100000
        while i < len(text) and text[i] in _DIGITS:
            if scale >= 1:
                micro += scale * int(text[i])
                scale //= 10
            i += 1

    unit = 1000000
    rest = text[i:]
    if rest.startswith("ms"):
        unit, micro, i = 1000, micro // 1000, i + 2
    elif rest.startswith("us"):
        unit, micro, i = 1, 0, i + 2
    elif rest.startswith("s"):
        i += 1
    if i != len(text):
        return None

    # ffmpeg refuses what does not fit its 64-bit microsecond count
    if whole > _INT64_MAX // unit or whole < -(-_INT64_MIN // unit):
        return None
    value = whole * unit
    if value > _INT64_MAX - micro:
        return None
    value += micro
    return -value if negative else value


def format_seconds(us: int) -> str:
    """Microseconds as H:MM:SS.mmm (rounded to the millisecond)."""
    sign = "-" if us < 0 else ""
    ms = (abs(us) + 500) // 1000
    hours, ms = divmod(ms, 3600_000)
    minutes, ms = divmod(ms, 60_000)
    seconds, ms = divmod(ms, 1000)
    return f"{sign}{hours}:{minutes:02d}:{seconds:02d}.{ms:03d}"


_CLOCK = re.compile(r"(?P<h>\d{1,4}:)?(?P<m>\d{1,2}):(?P<s>\d{1,2})(?:\.(?P<f>\d*))?(?P<u>s?)")
_PLAIN = re.compile(r"(?P<s>\d+)(?:\.(?P<f>\d*))?(?P<u>s?)")


def format_like(original: str, us: int) -> str:
    """``us`` microseconds (a whole number of tenths) written in the form of ``original``:
    HH:MM:SS.fff, MM:SS.f or seconds, with as many fraction digits as it had where they
    hold the value. What the form cannot hold is written HH:MM:SS.fff."""
    tenths, rest = divmod(us, 100_000)
    if rest:
        raise ValueError("only whole tenths of a second are written")
    whole, tenth = divmod(tenths, 10)
    clock = _CLOCK.fullmatch(original)
    plain = _PLAIN.fullmatch(original)
    m = clock or plain
    digits = len((m.group("f") or "") if m else "")
    if tenth and digits == 0:
        digits = 1
    frac = f".{tenth}{'0' * (digits - 1)}" if digits else ""
    unit = m.group("u") if m else ""
    hours, rem = divmod(whole, 3600)
    minutes, seconds = divmod(rem, 60)
    if clock is not None and (clock.group("h") or hours == 0):
        if clock.group("h"):
            width = len(clock.group("h")) - 1
            if hours <= 9999:
                return f"{hours:0{width}d}:{minutes:02d}:{seconds:02d}{frac}{unit}"
        else:
            width_m = len(clock.group("m"))
            return f"{minutes:0{width_m}d}:{seconds:02d}{frac}{unit}"
    elif plain is not None:
        return f"{whole}{frac}{unit}"
    frac3 = f".{tenth}00"
    return f"{hours:02d}:{minutes:02d}:{seconds:02d}{frac3}"
