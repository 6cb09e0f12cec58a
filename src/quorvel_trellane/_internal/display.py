"""Values as the command and the demo show them to people."""

from __future__ import annotations

import re
from typing import Final

# Integers only, ASCII digits only: what an issuer writes for a spend window.
_DURATION: Final = re.compile(
    r"P(?:([0-9]+)Y)?(?:([0-9]+)M)?(?:([0-9]+)W)?(?:([0-9]+)D)?"
    r"(?:T(?:([0-9]+)H)?(?:([0-9]+)M)?(?:([0-9]+)S)?)?"
)
_UNITS: Final = ("year", "month", "week", "day", "hour", "minute", "second")


def duration_words(text: str) -> str | None:
    """An ISO 8601 duration in words, or None for any other text.

    ``"P1D"`` is ``"day"`` (so that "per day" reads naturally), ``"P7D"``
    ``"7 days"``, ``"P1DT12H"`` ``"1 day and 12 hours"``.
    """
    match = _DURATION.fullmatch(text)
    if match is None or text in ("P", "PT") or text.endswith("T"):
        return None
    parts = [(int(n), unit) for n, unit in zip(match.groups(), _UNITS, strict=True) if n is not None]
    if len(parts) == 1 and parts[0][0] == 1:
        return parts[0][1]
    words = [f"{n} {unit}{'' if n == 1 else 's'}" for n, unit in parts]
    return words[0] if len(words) == 1 else ", ".join(words[:-1]) + " and " + words[-1]


def dollars(microusd: int) -> str:
    """An amount of micro-US dollars as dollars and cents: ``"$50.00"``."""
    return f"${microusd / 1_000_000:,.2f}"
