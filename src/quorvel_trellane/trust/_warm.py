"""What a verification reads without waiting: the warm cache of one trust.

A kid is warm while its key and its revocation set are both held and
usable. The cache keeps one :class:`WarmEntry` per warm kid and the
:class:`Direct` material built from them all, and is emptied whenever a
document changes. :class:`KeySource` is what a verification asks of the
trust behind an entry, and :class:`Judges` what it asks of whoever routes a
credential to that trust (one issuer's material, or a set's routing);
nothing here knows the trusts themselves.
"""

from __future__ import annotations

import threading
import weakref
from collections.abc import Callable, Generator, Mapping
from typing import Any, NamedTuple, Protocol, TypeVar

__all__ = ["Clearable", "Direct", "Judges", "KeySource", "Steps", "WarmCache", "WarmEntry", "direct_material"]

_T = TypeVar("_T")

#: A flow that may wait: it yields each fetch to wait for, and returns its result.
Steps = Generator[threading.Event, None, _T]


class Clearable(Protocol):
    """What the warm cache empties with itself: a verdict memo."""

    def clear(self) -> None: ...


class KeySource(Protocol):
    """The trust behind a key, as one verification needs it."""

    #: The trust's clock: what ``fresh_until`` and ``usable_until`` are read on.
    clock: Callable[[], float]

    def refresh_stale(self, kid: str) -> None:
        """Start refreshing the documents of a kid served past their freshness."""
        ...

    def obtain_list(self, kid: str) -> Steps[frozenset[str] | None]:
        """The kid's revocation set, fetching as needed; None when none is usable."""
        ...

    def remember(self, kid: str) -> None:
        """Make the kid warm from the documents held now, if both are usable."""
        ...

    def list_retry(self, kid: str) -> float:
        """Seconds until the kid's revocation list may be fetched again, at least 1."""
        ...


class Judges(Protocol):
    """Who judges a credential, by the kid and issuer DID it names: what a verification asks.

    Any JSON value may stand for the kid or the DID; only text is looked up.
    """

    def warm_entry(self, kid: Any, issuer_did: Any) -> WarmEntry | None:
        """The warm entry that may judge this kid and DID, if any; never starts anything."""
        ...

    def find_key(self, kid: Any, issuer_did: Any) -> Steps[tuple[KeySource, bytes] | None]:
        """The source that judges this kid and DID and its key, fetching as needed; None when none."""
        ...

    def key_set_retry(self, kid: Any, issuer_did: Any) -> float | None:
        """Seconds until the key set that would judge this kid and DID may be
        fetched again, when none is usable; None when one is (or none would)."""
        ...


class WarmEntry(NamedTuple):
    """A kid ready to verify: its key and revocation set, both held."""

    fresh_until: float  # both documents fresh until then (the source's clock)
    usable_until: float  # both usable until then: served while refreshed
    key: bytes
    revoked: frozenset[str]
    bound: str | None  # the issuer DID the trust is bound to
    source: KeySource


class Direct(NamedTuple):
    """Every warm kid of one trust at once, for the pipeline to read without calling back."""

    until: float
    keys: dict[str, bytes]
    revoked: frozenset[str]  # the union of the kids' sets when there are several
    several: bool
    bound: str | None


def direct_material(warm: Mapping[str | None, WarmEntry]) -> Direct:
    entries = [(kid, entry) for kid, entry in warm.items() if kid is not None]
    first = entries[0][1]
    several = len(entries) > 1
    return Direct(
        until=min(entry.fresh_until for _, entry in entries),
        keys={kid: entry.key for kid, entry in entries},
        revoked=frozenset().union(*(entry.revoked for _, entry in entries)) if several else first.revoked,
        several=several,
        bound=first.bound,
    )


class WarmCache:
    """One trust's warm kids and their direct material.

    Written by the trust under its lock; read by verifications without it
    (each read is of one attribute, replaced whole or updated in one step).
    """

    __slots__ = ("entries", "direct", "_memos")

    def __init__(self) -> None:
        self.entries: dict[str | None, WarmEntry] = {}
        self.direct: Direct | None = None
        self._memos: weakref.WeakSet[Clearable] = weakref.WeakSet()

    def get(self, kid: Any) -> WarmEntry | None:
        """The warm entry of ``kid``; None for any other value, even one that is no dict key."""
        try:
            return self.entries.get(kid)
        except TypeError:
            return None

    def put(self, kid: str, entry: WarmEntry) -> None:
        self.entries[kid] = entry
        self.direct = direct_material(self.entries)

    def forget(self) -> None:
        """A document changed: nothing warm stays, nor any verdict reached with it."""
        self.entries = {}
        self.direct = None
        for memo in list(self._memos):
            memo.clear()

    def feeds(self, memo: Clearable) -> None:
        """Empty ``memo`` (with the trust's lock held) whenever this cache is emptied; held weakly."""
        self._memos.add(memo)
