"""What both metrics observers share: the verdict tally and the readings taken when scraped.

Verdicts are tallied in counters that need no lock (the request path
pays one small call) and reported as cumulative counts when scraped; the documents'
age, usability and limits are read from the watched trusts' own status at the same
moment, and the pending payments from the watched paywalls, so they cost
nothing per request.
"""

from __future__ import annotations

import itertools
import threading
import weakref
from collections.abc import Iterator
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any, Final, NamedTuple

from quorvel_trellane._internal.observing import PaymentsWatched, Watched

if TYPE_CHECKING:
    from quorvel_trellane.passport import PassportVerdict

__all__ = ["LATENCY_BUCKETS", "Pending", "Reading", "Tally", "readings", "statuses"]

#: The states of a document that verification may use.
USABLE: Final = frozenset({"fresh", "stale"})
#: The bounds of the verification histogram, seconds: a check from held
#: documents takes well under a millisecond, one that waits on an issuer up
#: to its timeout (6 s by default).
LATENCY_BUCKETS: Final = (
    0.0001,
    0.00025,
    0.0005,
    0.001,
    0.0025,
    0.005,
    0.01,
    0.025,
    0.05,
    0.1,
    0.25,
    0.5,
    1,
    2.5,
    5,
    10,
)


class Reading(NamedTuple):
    """One document of one issuer at the moment of a scrape."""

    issuer: str
    document: str  # "keys" or "revocation"
    kid: str  # "" for the key set
    age: float | None  # seconds since its last good copy; None when never fetched
    usable: bool
    ttl: float | None  # the configured limits, seconds; None from a status that lacks them
    max_age: float | None


class Pending(NamedTuple):
    """The pending payments of the watched paywalls at the moment of a scrape."""

    payments: int
    held_microusd: int
    oldest_seconds: float  # 0 when none is pending


def statuses(sources: list[Watched]) -> Iterator[Any]:
    """Every watched trust's status, a set of trusts giving one per trust."""
    for source in sources:
        status = source.status()
        if isinstance(status, tuple):
            yield from status
        else:
            yield status


def readings(sources: list[Watched]) -> Iterator[Reading]:
    seen: set[tuple[str, str, str]] = set()
    for status in statuses(sources):
        issuer = status.issuer_url
        documents = [("keys", "", status.key_set)]
        documents += [("revocation", kid, doc) for kid, doc in status.revocation_lists.items()]
        for document, kid, doc in documents:
            # A trust watched on its own and again through a set is read once.
            if (issuer, document, kid) in seen:
                continue
            seen.add((issuer, document, kid))
            limits = getattr(doc, "ttl", None), getattr(doc, "max_age", None)
            yield Reading(issuer, document, kid, doc.age, doc.state in USABLE, *limits)


class Tally:
    """The verdict counts, the watched trusts and the watched paywalls."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        # One itertools.count per status and code: next() on it is one C
        # call, atomic without a lock, and its repr tells how often it was
        # called. Added to under the lock only.
        self._verdicts: dict[str, dict[str | None, itertools.count[int]]] = {}
        self._sources: weakref.WeakSet[Watched] = weakref.WeakSet()
        self._paywalls: weakref.WeakSet[PaymentsWatched] = weakref.WeakSet()

    def watch(self, source: Watched) -> None:
        # Weakly: a trust dropped by its application is no longer reported.
        with self._lock:
            self._sources.add(source)

    def watch_payments(self, source: PaymentsWatched) -> None:
        with self._lock:
            self._paywalls.add(source)

    def verified(self, verdict: PassportVerdict) -> None:
        # On every verification: two lookups by text (hashes cached) and one
        # C call, no lock and no object made.
        try:
            next(self._verdicts[verdict.status][verdict.error_code])
        except KeyError:  # the first of its kind
            with self._lock:
                codes = self._verdicts.setdefault(verdict.status, {})
                counter = codes.setdefault(verdict.error_code, itertools.count())
            next(counter)

    def verdict_counts(self) -> list[tuple[str, str, int]]:
        """(status, error code, count) of every verdict so far; the code "none" for a verified one."""
        with self._lock:
            counters = [
                (status, code, counter) for status, codes in self._verdicts.items() for code, counter in codes.items()
            ]
        # repr(count) is "count(N)": N calls of next() so far.
        return [(status, code or "none", int(repr(counter)[6:-1])) for status, code, counter in counters]

    def readings(self) -> list[Reading]:
        with self._lock:
            sources = list(self._sources)
        return list(readings(sources))

    def pending(self) -> Pending | None:
        """The watched paywalls' pending payments, all told; None when no paywall is watched."""
        with self._lock:
            paywalls = list(self._paywalls)
        if not paywalls:
            return None
        payments = [payment for paywall in paywalls for payment in paywall.pending_payments()]
        oldest = min((payment.at for payment in payments), default=None)
        age = 0.0 if oldest is None else max(0.0, (datetime.now(UTC) - oldest).total_seconds())
        return Pending(len(payments), sum(payment.amount_microusd for payment in payments), age)
