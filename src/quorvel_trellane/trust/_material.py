"""One issuer's documents: the key set and a revocation list per kid, fetched and kept.

:class:`IssuerMaterial` owns the documents of one issuer and the fetch that
reads them: which kid's key to offer (issuer binding, one refetch of the
key set per cooldown for an unknown kid of the published shape), which
list to load, and the warm cache it fills once both documents of a kid are
usable. It is the :class:`KeySource` a verification asks, and the
:class:`Judges` of a trust for one issuer.
"""

from __future__ import annotations

import logging
import math
import re
import threading
import time
from collections.abc import Callable
from types import MappingProxyType
from typing import Any, Final, TypeVar

from quorvel_trellane._internal.observing import Observer
from quorvel_trellane._internal.text import escaped
from quorvel_trellane.trust._addresses import crl_url, key_set_url
from quorvel_trellane.trust._document import Document
from quorvel_trellane.trust._fetching import Fetch
from quorvel_trellane.trust._loaders import load_key_set, load_revocation_list
from quorvel_trellane.trust._options import TrustOptions
from quorvel_trellane.trust._warm import KeySource, Steps, WarmCache, WarmEntry

__all__ = ["IssuerMaterial"]

_LOG: Final = logging.getLogger("quorvel_trellane.trust")
_KID_SHAPE: Final = re.compile(r"[0-9a-f]{16}")
_V = TypeVar("_V")


#: What a document is read with: its value, and the max-age the server named.
Loader = Callable[[], tuple[Any, float | None]]


class _FetchReport:
    """Tells an observer how each fetch of a document went (on the fetch's thread)."""

    __slots__ = ("observer", "fetch", "issuer")

    def __init__(self, observer: Observer, fetch: Fetch, issuer: str) -> None:
        self.observer, self.fetch, self.issuer = observer, fetch, issuer

    def __call__(self, doc: Document, ok: bool, started: int, seconds: float) -> None:
        # The HTTP status tells a 304 from a new copy.
        code = self.fetch.last_status(doc.url)
        outcome = "failed" if not ok else "not_modified" if code == 304 else "updated"
        self.observer.fetched(self.issuer, str(doc.fields["document"]), outcome, code, started, seconds)


def _settled(fetch: Fetch, url: str, load: Callable[[], _V]) -> tuple[_V, float | None]:
    """A document loaded, and the max-age its server named; a failed or
    malformed fetch raises, and the last good copy stays in use."""
    try:
        value = load()
    except BaseException:
        fetch.settle(url, False)
        raise
    return value, fetch.settle(url, True)


class IssuerMaterial:
    """The key set and revocation lists of one issuer, and the warm cache built from them."""

    def __init__(
        self,
        options: TrustOptions,
        fetch: Fetch,
        clock: Callable[[], float],
        warm: WarmCache,
        observer: Observer | None = None,
    ) -> None:
        self.options = options
        self._report = None if observer is None else _FetchReport(observer, fetch, options.issuer_url)
        self.fetch = fetch
        self.clock = clock
        self.warm = warm
        self.lock = threading.Lock()
        self.closed = False
        self._base = options.base
        self._kid_refetch_at = -math.inf
        self.keyset = self._document(
            key_set_url(self._base), options.key_ttl, options.key_max_stale, self._load_keys, "key set", "keys", None
        )
        self.crls: dict[str, Document] = {}
        self._dropped: list[Document] = []  # lists pruned while a fetch of theirs may still run

    def _document(
        self, url: str, ttl: float, max_age: float, load: Loader, what: str, kind: str, kid: str | None
    ) -> Document:
        fields = MappingProxyType({"issuer": self.options.issuer_url, "document": kind, "kid": kid})
        return Document(
            url, ttl, max_age, load, what, lock=self.lock, clock=self.clock, changed=self._changed, fields=fields,
            observed=self._report,
        )  # fmt: skip

    def _changed(self, value: Any) -> None:
        # A document changed (lock held): the warm entries built from it go,
        # and a new key set takes the lists of the kids it dropped with it.
        self.warm.forget()
        if value is not None and self.keyset.value is value:
            self._prune(value)

    # -- loading (on fetch threads) --

    def _load_keys(self) -> tuple[dict[str, bytes], float | None]:
        return _settled(self.fetch, self.keyset.url, lambda: load_key_set(self.options.issuer_url, self.fetch))

    def _load_revocation_list(self, kid: str, url: str) -> tuple[frozenset[str], float | None]:
        return _settled(self.fetch, url, lambda: load_revocation_list(self.options.issuer_url, kid, self.fetch))

    def _prune(self, keys: dict[str, bytes]) -> None:
        # Revocation lists are kept only for kids the key set holds. Lock held.
        for kid in [kid for kid in self.crls if kid not in keys]:
            doc = self.crls.pop(kid)
            self.fetch.forget(doc.url)
            if doc.flight is not None:
                self._dropped.append(doc)

    # -- what a verification asks (KeySource) --

    def remember(self, kid: str) -> None:
        # Only from documents read under the lock: an entry built from a
        # value replaced meanwhile would outlive the replacement.
        with self.lock:
            keyset, crl = self.keyset, self.crls.get(kid)
            if crl is None or keyset.value is None or crl.value is None:
                return
            key = keyset.value.get(kid)
            usable_until = min(keyset.usable_until, crl.usable_until)
            if key is not None and self.clock() < usable_until:
                fresh_until = min(keyset.fresh_until, crl.fresh_until, usable_until)
                entry = WarmEntry(fresh_until, usable_until, key, crl.value, self.options.issuer_did, self)
                self.warm.put(kid, entry)

    def refresh_stale(self, kid: str) -> None:
        # A warm kid past its freshness is served while its documents refresh.
        self.keyset.begin()
        doc = self.crls.get(kid)
        if doc is not None:
            doc.begin()

    # -- what a verification asks of its judges (Judges) --

    def warm_entry(self, kid: Any, issuer_did: Any) -> WarmEntry | None:
        return self.warm.get(kid)

    def key_set_retry(self, kid: Any, issuer_did: Any) -> float | None:
        bound = self.options.issuer_did
        if (bound is not None and issuer_did != bound) or type(kid) is not str:
            return None
        with self.lock:
            now = self.clock()
            doc = self.keyset
            return None if doc.value is not None and now < doc.usable_until else doc.retry_in(now)

    def prefetch(self) -> None:
        """Start fetching each document due (never fetched, past its ttl or dropped), not waiting: a readiness probe."""
        for doc in (self.keyset, *self.crls.values()):
            doc.begin()

    def holds(self, kid: Any) -> bool:
        """Whether the key set held now has this kid (no fetch)."""
        keys = self.keyset.value
        return keys is not None and kid in keys

    def find_key(self, kid: Any, issuer_did: Any) -> Steps[tuple[KeySource, bytes] | None]:
        """This material and the key of ``kid`` for a credential naming ``issuer_did``, fetching as needed."""
        # Issuer binding comes first: a credential naming another issuer is
        # never offered this issuer's keys, and causes no fetch.
        bound = self.options.issuer_did
        if (bound is not None and issuer_did != bound) or type(kid) is not str:
            return None
        doc = self.keyset
        keys: dict[str, bytes] | None = doc.value
        fetched_now = keys is None
        if keys is None or self.clock() >= doc.fresh_until:
            keys = yield from doc.obtain()
            if keys is None:
                return None
        key: bytes | None = keys.get(kid)
        if key is None and _KID_SHAPE.fullmatch(kid):
            if fetched_now:
                # The key set was just fetched for this caller: that fetch
                # counts as the unknown kid's refetch.
                with self.lock:
                    self._kid_refetch_at = max(self._kid_refetch_at, self.clock())
            else:
                flight = self._refetch_for(kid)
                if flight is not None:
                    yield flight
                    keys = doc.value
                    key = None if keys is None else keys.get(kid)
        return None if key is None else (self, key)

    def _refetch_for(self, kid: str) -> threading.Event | None:
        # An unknown kid of the published shape may be a newly rotated key:
        # one refetch of the key set per cooldown, shared by every caller.
        # Any other shape never causes a fetch.
        doc = self.keyset
        with self.lock:
            flight = doc.flight
            if flight is None:
                now = self.clock()
                if now < self._kid_refetch_at + self.options.unknown_kid_cooldown:
                    return None
                flight = doc.start(now)
                if flight is None:
                    return None
                self._kid_refetch_at = now
                _LOG.info(
                    "unknown kid %s: refetching the key set",
                    kid,
                    extra={"issuer": self.options.issuer_url, "document": "keys", "kid": kid, "outcome": "unknown_kid"},
                )
        return flight

    def obtain_list(self, kid: str) -> Steps[frozenset[str] | None]:
        doc = self.crls.get(kid)
        if doc is None:
            with self.lock:
                doc = self.crls.get(kid)
                if doc is None:
                    url = crl_url(self._base, kid)
                    doc = self.crls[kid] = self._document(
                        url,
                        self.options.crl_ttl,
                        self.options.crl_max_age,
                        lambda: self._load_revocation_list(kid, url),
                        f"revocation list for {escaped(kid)}",
                        "revocation",
                        kid,
                    )
                    doc.closed = self.closed
        revoked: frozenset[str] | None = yield from doc.obtain()
        return revoked

    def list_retry(self, kid: str) -> float:
        with self.lock:
            doc = self.crls.get(kid)
            return 1.0 if doc is None else doc.retry_in(self.clock())

    # -- the trust's own calls --

    def close(self, wait: float) -> bool:
        """Stop every fetch; wait up to ``wait`` seconds for their threads; whether none runs."""
        until = time.monotonic() + wait
        with self.lock:
            self.closed = True
            documents = [self.keyset, *self.crls.values(), *self._dropped]
            self._dropped = [doc for doc in self._dropped if doc.flight is not None]
            for doc in documents:
                doc.closed = True
            flights = [doc.flight for doc in documents if doc.flight is not None]
        for flight in flights:
            flight.set()
        self.fetch.close()
        return all([doc.join(until) for doc in documents])
