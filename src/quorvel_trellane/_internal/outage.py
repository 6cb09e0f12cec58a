"""A verdict the trust could not reach for want of the issuer's documents.

An "unverifiable" verdict means one of two things to the agent that sent
the passport. Either its passport cannot be judged by anyone (its kid is
absent from a key set fetched just now): a refusal like any other. Or the
relying party could not obtain the issuer's key set or revocation list at
all (the issuer is down, the list is past its age and cannot be refetched):
the passport may be perfectly good, and the same request may succeed once
the issuer answers again. The trust tells the two apart by answering the
second with an :class:`UnavailableVerdict`: a ``PassportVerdict`` whose own
fields are the pipeline's, unchanged, with one declared field more, the
seconds to wait. It shows in ``repr``, survives ``dataclasses.replace``,
copies and pickling, and :func:`retry_after` reads it.
"""

from __future__ import annotations

import dataclasses
import math

from quorvel_trellane.passport import PassportVerdict

__all__ = ["UnavailableVerdict", "mark_unavailable", "retry_after"]


@dataclasses.dataclass(frozen=True)
class UnavailableVerdict(PassportVerdict):
    """A verdict the trust could not reach: the issuer's key set or revocation
    list could not be obtained. ``retry_after``: whole seconds to wait, at least 1."""

    retry_after: int = 1


def mark_unavailable(verdict: PassportVerdict, seconds: float) -> UnavailableVerdict:
    """``verdict``'s fields, as an :class:`UnavailableVerdict` waiting ``seconds`` (whole, at least 1)."""
    wait = max(1, math.ceil(seconds)) if math.isfinite(seconds) else 1
    own = {field.name: getattr(verdict, field.name) for field in dataclasses.fields(PassportVerdict)}
    return UnavailableVerdict(**own, retry_after=wait)


def retry_after(verdict: object) -> int | None:
    """Seconds to wait before trying again, when the trust could not obtain
    the issuer's key set or revocation list to judge ``verdict``; None for
    every other verdict (and for anything that is not a verdict)."""
    return verdict.retry_after if isinstance(verdict, UnavailableVerdict) else None
