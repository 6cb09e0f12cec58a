"""The spend window's reading: an ISO 8601 duration, calendar units taken long."""

from __future__ import annotations

import re
from datetime import timedelta
from typing import Final

__all__ = ["LONGEST_US", "parse_window", "window_us"]

# Calendar units read long, so that the reading never grants more than the
# issuer meant: a month is 31 days, a year 366.
_UNIT_US: Final = (
    366 * 86_400_000_000,
    31 * 86_400_000_000,
    7 * 86_400_000_000,
    86_400_000_000,
    3_600_000_000,
    60_000_000,
    1_000_000,
)
# A longer text is refused before it is matched or read, so a reading
# costs the same whatever the passport carries.
_MAX_TEXT: Final = 256
_NUMBER: Final = r"(\d+(?:[.,]\d+)?)"
_DURATION: Final = re.compile(
    rf"P(?:{_NUMBER}Y)?(?:{_NUMBER}M)?(?:{_NUMBER}W)?(?:{_NUMBER}D)?"
    rf"(?:T(?:{_NUMBER}H)?(?:{_NUMBER}M)?(?:{_NUMBER}S)?)?"
)
# Longer than any store's timestamps reach back (2**62 µs is about 146,000
# years): such a window is the passport's whole life.
LONGEST_US: Final = 2**62


def parse_window(text: str) -> timedelta | None:
    """The length of the ISO 8601 duration ``text`` as the ledger reads it.

    "P1D", "PT1H", "P30D", "P1W" and combinations ("P1DT12H", "P1W2D"); a
    decimal fraction is allowed on the last part only. A month counts 31
    days and a year 366. None for a duration too long to matter (the whole
    life). Raises ValueError for any other text, a zero duration and a text
    of more than 256 characters included.
    """
    if not isinstance(text, str):
        raise TypeError(f"a spend window is a str, not {type(text).__name__}")
    us = window_us(text)
    return None if us is None else timedelta(microseconds=us)


def window_us(text: str) -> int | None:
    """``text``'s length in µs, None for the whole life; ValueError when unreadable."""
    match = _DURATION.fullmatch(text) if len(text) <= _MAX_TEXT else None
    if match is None or text == "P" or text.endswith("T"):
        raise ValueError(f"not an ISO 8601 duration: {text[:40]!r}{'...' if len(text) > 40 else ''}")
    parts = match.groups()
    given = [i for i, part in enumerate(parts) if part is not None]
    # Exact rational arithmetic on integers: numerator over 10**scale.
    total, scale = 0, 0
    for i in given:
        whole, _, fraction = str(parts[i]).replace(",", ".").partition(".")
        if fraction and i != given[-1]:
            raise ValueError(f"only the last part of a duration may have a fraction: {text!r}")
        scale = len(fraction)
        total = total * 10**scale + int(whole + fraction) * _UNIT_US[i]
    # A fraction of a microsecond still counts: round up, never down.
    us = -(-total // 10**scale)
    if us <= 0:
        raise ValueError(f"a spend window must be longer than zero: {text!r}")
    return None if us > LONGEST_US else us
