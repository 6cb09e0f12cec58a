"""A verdict the trust could not reach for want of the issuer's documents.

An "unverifiable" verdict means one of two things to the agent that sent
the passport. Either its passport cannot be judged by anyone (its kid is
absent from a key set fetched just now): a refusal like any other. Or the
relying party could not obtain the issuer's key set or revocation list at
all (the issuer is down, the list is past its age and cannot be refetched):
the passport may be perfectly good, and the same request may succeed once
the issuer answers again. The trust tells the two apart by attaching the
time to wait to a copy of the verdict; the verdict's own fields are the
pipeline's, unchanged, and such a copy compares equal to the original.
"""

from __future__ import annotations

import dataclasses
import math
from typing import Final

from quorvel_trellane.passport import PassportVerdict

__all__ = ["mark_unavailable", "retry_after"]

_ATTRIBUTE: Final = "_quorvel_retry_after"


def mark_unavailable(verdict: PassportVerdict, seconds: float) -> PassportVerdict:
    """A copy of ``verdict`` that :func:`retry_after` answers with ``seconds`` (whole, at least 1)."""
    # A copy: the verdict given may be shared (memoised, or the caller's).
    copy = dataclasses.replace(verdict)
    wait = max(1, math.ceil(seconds)) if math.isfinite(seconds) else 1
    object.__setattr__(copy, _ATTRIBUTE, wait)
    return copy


def retry_after(verdict: object) -> int | None:
    """Seconds to wait before trying again, when the trust could not obtain
    the issuer's key set or revocation list to judge ``verdict``; None for
    every other verdict (and for anything that is not a verdict)."""
    value = getattr(verdict, _ATTRIBUTE, None)
    return value if type(value) is int else None
