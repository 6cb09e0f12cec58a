"""What both metrics observers share: the verdict tally and the documents' readings.

Verdicts are tallied in counters that need no lock (the request path
pays one small call) and reported as cumulative counts when scraped; the documents'
age and usability are read from the watched trusts' own status at the same
moment, so they cost nothing per request.
"""

from __future__ import annotations

import itertools
import threading
import weakref
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Final, NamedTuple

from quorvel_trellane._internal.observing import Watched

if TYPE_CHECKING:
    from quorvel_trellane.passport import PassportVerdict

__all__ = ["Reading", "Tally", "readings", "statuses"]

#: The states of a document that verification may use.
USABLE: Final = frozenset({"fresh", "stale"})


class Reading(NamedTuple):
    """One document of one issuer at the moment of a scrape."""

    issuer: str
    document: str  # "keys" or "revocation"
    kid: str  # "" for the key set
    age: float | None  # seconds since its last good copy; None when never fetched
    usable: bool


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
            yield Reading(issuer, document, kid, doc.age, doc.state in USABLE)


class Tally:
    """The verdict counts and the watched trusts."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        # One itertools.count per status and code: next() on it is one C
        # call, atomic without a lock, and its repr tells how often it was
        # called. Added to under the lock only.
        self._verdicts: dict[str, dict[str | None, itertools.count[int]]] = {}
        self._sources: weakref.WeakSet[Watched] = weakref.WeakSet()

    def watch(self, source: Watched) -> None:
        # Weakly: a trust dropped by its application is no longer reported.
        with self._lock:
            self._sources.add(source)

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
