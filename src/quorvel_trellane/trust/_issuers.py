"""The trust layer's policy: :class:`IssuerTrust` for one issuer, :class:`TrustedIssuers` for several."""

from __future__ import annotations

import logging
import math
import re
import threading
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any, Final

from quorvel_trellane import passport
from quorvel_trellane._internal.components import require_components
from quorvel_trellane._internal.observing import Observer
from quorvel_trellane._internal.text import escaped
from quorvel_trellane.passport import A2A_PASSPORT_METADATA_KEY
from quorvel_trellane.trust._addresses import check_issuer_url, check_scheme, crl_url, key_set_url
from quorvel_trellane.trust._document import Document, DocumentStatus, SteadyClock
from quorvel_trellane.trust._errors import FetchError
from quorvel_trellane.trust._fetching import CheckedFetch, Fetch, Fetcher, HttpFetch
from quorvel_trellane.trust._verifying import Steps, Verifier, WarmEntry, direct_material, wait_sync

__all__ = [
    "DocumentStatus",
    "Fetcher",
    "IssuerTrust",
    "TrustStatus",
    "TrustedIssuers",
    "passport_from_a2a_metadata",
]

_LOG: Final = logging.getLogger("quorvel_trellane.trust")
_KID_SHAPE: Final = re.compile(r"[0-9a-f]{16}")


def passport_from_a2a_metadata(metadata: object) -> str | None:
    """The credential an A2A message carries in its metadata, or None.

    Returns the text under ``A2A_PASSPORT_METADATA_KEY`` when ``metadata`` is a
    mapping holding text there (a dict, the A2A SDK's protobuf ``Struct``, any
    other ``Mapping``); None when it is not a mapping, the member is absent,
    it is not text, or the mapping fails to answer. Never raises.
    """
    if not isinstance(metadata, Mapping):
        return None
    # Membership and item, not .get: a protobuf Struct is a registered Mapping
    # without .get, and raises ValueError for an absent key. Whatever a
    # message carries is read as "no passport", never as an error.
    try:
        value = metadata[A2A_PASSPORT_METADATA_KEY] if A2A_PASSPORT_METADATA_KEY in metadata else None
    except Exception:
        return None
    return value if isinstance(value, str) else None


def _checked_observer(observer: object) -> Observer | None:
    # At set-up: an object without the observer's methods would fail at the
    # first verification or fetch instead.
    if observer is not None and not isinstance(observer, Observer):
        raise TypeError(f"observer must be an Observer (quorvel_trellane.observe), not {observer!r}")
    return observer


# --- Status records -------------------------------------------------------------


@dataclass(frozen=True)
class TrustStatus:
    """A snapshot of an :class:`IssuerTrust`; ``revocation_lists`` is keyed by kid."""

    issuer_url: str
    issuer_did: str | None
    key_set: DocumentStatus
    revocation_lists: Mapping[str, DocumentStatus]
    closed: bool


# --- Trusts -----------------------------------------------------------------------


class IssuerTrust(Verifier):
    """One issuer's key set and revocation lists, kept fresh for verification.

    ``issuer_url`` is the issuer base URL; the documents are read with
    ``resolve_keys_from_wellknown`` and ``fetch_crl``. With ``issuer_did``,
    only credentials naming exactly that issuer are offered its keys.
    ``fetch`` replaces the built-in HTTP client with a Fetcher (URL to body),
    which must bound its own time. ``clock`` measures ttls and ages.
    ``observer`` (``quorvel_trellane.observe``) counts every verdict and
    follows every fetch, and reads the documents' state when scraped.
    """

    def __init__(
        self,
        issuer_url: str,
        *,
        issuer_did: str | None = None,
        key_ttl: float = 300.0,
        key_max_stale: float = 86400.0,
        crl_ttl: float = 60.0,
        crl_max_age: float = 600.0,
        unknown_kid_cooldown: float = 60.0,
        timeout: float = 6.0,
        max_document_bytes: int = 16 * 1024 * 1024,
        allow_http: bool = False,
        fetch: Fetcher | None = None,
        clock: Callable[[], float] = time.monotonic,
        observer: Observer | None = None,
    ) -> None:
        if not isinstance(issuer_url, str) or not issuer_url:
            raise TypeError("issuer_url must be a non-empty str")
        for name, value in (
            ("key_ttl", key_ttl),
            ("key_max_stale", key_max_stale),
            ("crl_ttl", crl_ttl),
            ("crl_max_age", crl_max_age),
            ("timeout", timeout),
            ("max_document_bytes", max_document_bytes),
        ):
            if not value > 0:
                raise ValueError(f"{name} must be positive, not {value!r}")
        if not unknown_kid_cooldown >= 0:
            raise ValueError(f"unknown_kid_cooldown must not be negative, not {unknown_kid_cooldown!r}")
        check_issuer_url(issuer_url)
        if fetch is None:
            check_scheme(issuer_url, allow_http)
        # Here, not at the first request: without them every agent would be
        # answered "invalid", the server's set-up blamed on its callers.
        require_components("IssuerTrust")
        self.issuer_url = issuer_url
        self.issuer_did = issuer_did
        self.crl_ttl = crl_ttl
        self.crl_max_age = crl_max_age
        self.unknown_kid_cooldown = unknown_kid_cooldown
        self.timeout = self._timeout = timeout
        # The default clock never steps back; an injected one may, and is
        # read through a guard so that no age ever shrinks.
        self._clock = clock if clock is time.monotonic else SteadyClock(clock)
        self._fetch: Fetch = (
            HttpFetch(timeout, max_document_bytes, allow_http, issuer_url)
            if fetch is None
            else CheckedFetch(fetch, max_document_bytes)
        )
        self._base = issuer_url.rstrip("/")
        self._lock = threading.Lock()
        self._closed = False
        self._kid_refetch_at = -math.inf
        self._observer = _checked_observer(observer)
        self._keyset = self._document(
            key_set_url(self._base), key_ttl, key_max_stale, self._load_keys, "key set", "keys", None
        )
        self._crls: dict[str, Document] = {}
        self._dropped: list[Document] = []  # lists pruned while a fetch of theirs may still run
        # Per kid, what a verification needs while both documents are usable;
        # emptied whenever a document changes, filled again by the next
        # verification that reaches the revocation step.
        self._warm: dict[str | None, WarmEntry] = {}
        self._direct = None
        self._idle = []
        if observer is not None:
            observer.watch(self)

    def __repr__(self) -> str:
        return f"IssuerTrust({self.issuer_url!r}, issuer_did={self.issuer_did!r})"

    def _document(
        self,
        url: str,
        ttl: float,
        max_age: float,
        load: Callable[[], tuple[Any, float | None]],
        what: str,
        kind: str,
        kid: str | None,
    ) -> Document:
        return Document(
            url,
            ttl,
            max_age,
            load,
            what,
            lock=self._lock,
            clock=self._clock,
            changed=self._changed,
            fields=MappingProxyType({"issuer": self.issuer_url, "document": kind, "kid": kid}),
            observed=None if self._observer is None else self._observed,
        )

    def _observed(self, doc: Document, ok: bool, started: int, seconds: float) -> None:
        # After each fetch (on its thread): the HTTP status tells a 304 from a new copy.
        observer = self._observer
        if observer is not None:
            code = self._fetch.last_status(doc.url)
            outcome = "failed" if not ok else "not_modified" if code == 304 else "updated"
            kind = doc.fields["document"]
            observer.fetched(self.issuer_url, str(kind), outcome, code, started, seconds)

    def _prefetch(self) -> None:
        # A readiness probe on a trust that never fetched starts the key set's
        # fetch, without waiting for it.
        self._keyset.begin()

    def _changed(self, value: Any) -> None:
        # A document changed (lock held): the warm entries built from it go,
        # and a new key set takes the lists of the kids it dropped with it.
        self._forget_warm()
        if value is not None and self._keyset.value is value:
            self._prune(value)

    # -- loading (on fetch threads) --

    def _load_keys(self) -> tuple[dict[str, bytes], float | None]:
        url = self._keyset.url
        try:
            keys = passport.resolve_keys_from_wellknown(self.issuer_url, fetch=self._fetch)
            if not keys:
                raise FetchError(url, "no usable Falcon-1024 key")
        except BaseException:
            self._fetch.settle(url, False)
            raise
        return keys, self._fetch.settle(url, True)

    def _load_revocation_list(self, kid: str, url: str) -> tuple[frozenset[str], float | None]:
        try:
            document = passport.fetch_crl(self.issuer_url, kid, fetch=self._fetch)
            # A document without its list is an error page, a maintenance
            # notice or a mangled answer: read as "none revoked" it would make
            # revoked passports active again. It is a failed fetch, and the
            # last good list stays in use.
            revoked = document.get("revoked")
            if "revoked" not in document:
                raise FetchError(url, 'no "revoked" list')
            if not isinstance(revoked, list) or not all(isinstance(item, str) for item in revoked):
                raise FetchError(url, '"revoked" is not a list of text')
            ids = passport._revoked_ids(document)  # the set verify_passport would build
            assert ids is not None
        except BaseException:
            self._fetch.settle(url, False)
            raise
        return frozenset(ids), self._fetch.settle(url, True)

    def _remember(self, kid: str) -> None:
        # Only from documents read under the lock: an entry built from a
        # value replaced meanwhile would outlive the replacement.
        with self._lock:
            keyset, crl = self._keyset, self._crls.get(kid)
            if crl is None or keyset.value is None or crl.value is None:
                return
            key = keyset.value.get(kid)
            usable_until = min(keyset.usable_until, crl.usable_until)
            if key is not None and self._clock() < usable_until:
                fresh_until = min(keyset.fresh_until, crl.fresh_until, usable_until)
                self._warm[kid] = WarmEntry(fresh_until, usable_until, key, crl.value, self.issuer_did, self)
                self._direct = direct_material(self._warm)

    def _forget_warm(self) -> None:
        # A document changed. Lock held.
        self._warm = {}
        self._direct = None

    def _prune(self, keys: dict[str, bytes]) -> None:
        # Revocation lists are kept only for kids the key set holds. Lock held.
        for kid in [kid for kid in self._crls if kid not in keys]:
            doc = self._crls.pop(kid)
            self._fetch.forget(doc.url)
            if doc.flight is not None:
                self._dropped.append(doc)

    def _refresh_stale(self, kid: str) -> None:
        # A warm kid past its freshness is served while its documents refresh.
        self._keyset.begin()
        doc = self._crls.get(kid)
        if doc is not None:
            doc.begin()

    # -- lookups (on verifying threads) --

    def _warm_entry(self, kid: Any, issuer_did: Any) -> WarmEntry | None:
        # Any JSON value may stand for the kid: one that is no dict key is
        # simply not warm.
        try:
            return self._warm.get(kid)
        except TypeError:
            return None

    def _obtain_key(self, kid: Any, issuer_did: Any) -> Steps[tuple[IssuerTrust, bytes] | None]:
        # Issuer binding comes first: a credential naming another issuer is
        # never offered this issuer's keys, and causes no fetch.
        if (self.issuer_did is not None and issuer_did != self.issuer_did) or type(kid) is not str:
            return None
        doc = self._keyset
        keys: dict[str, bytes] | None = doc.value
        fetched_now = keys is None
        if keys is None or self._clock() >= doc.fresh_until:
            keys = yield from doc.obtain()
            if keys is None:
                return None
        key = keys.get(kid)
        if key is None and _KID_SHAPE.fullmatch(kid):
            if fetched_now:
                # The key set was just fetched for this caller: that fetch
                # counts as the unknown kid's refetch.
                with self._lock:
                    self._kid_refetch_at = max(self._kid_refetch_at, self._clock())
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
        doc = self._keyset
        with self._lock:
            flight = doc.flight
            if flight is None:
                now = self._clock()
                if now < self._kid_refetch_at + self.unknown_kid_cooldown:
                    return None
                flight = doc.start(now)
                if flight is None:
                    return None
                self._kid_refetch_at = now
                _LOG.info(
                    "unknown kid %s: refetching the key set",
                    kid,
                    extra={"issuer": self.issuer_url, "document": "keys", "kid": kid, "outcome": "unknown_kid"},
                )
        return flight

    def _obtain_list(self, kid: str) -> Steps[frozenset[str] | None]:
        doc = self._crls.get(kid)
        if doc is None:
            with self._lock:
                doc = self._crls.get(kid)
                if doc is None:
                    url = crl_url(self._base, kid)
                    doc = self._crls[kid] = self._document(
                        url,
                        self.crl_ttl,
                        self.crl_max_age,
                        lambda: self._load_revocation_list(kid, url),
                        f"revocation list for {escaped(kid)}",
                        "revocation",
                        kid,
                    )
                    doc.closed = self._closed
        revoked: frozenset[str] | None = yield from doc.obtain()
        return revoked

    def _key_set_retry(self, kid: Any, issuer_did: Any) -> float | None:
        if (self.issuer_did is not None and issuer_did != self.issuer_did) or type(kid) is not str:
            return None
        with self._lock:
            now = self._clock()
            doc = self._keyset
            return None if doc.value is not None and now < doc.usable_until else doc.retry_in(now)

    def _list_retry(self, kid: str) -> float:
        with self._lock:
            doc = self._crls.get(kid)
            return 1.0 if doc is None else doc.retry_in(self._clock())

    # -- public --

    def keys(self) -> dict[str, bytes]:
        """The key map in use (a copy), fetching it if there is none; empty when none is usable."""
        keys: dict[str, bytes] | None = wait_sync(self._keyset.obtain(), self.timeout)
        return dict(keys) if keys else {}

    def refresh(self) -> None:
        """Fetch the key set and every known revocation list now, waiting up to ``timeout``.

        Failures are recorded in :meth:`status`, not raised; the last good
        copies stay in use.
        """
        with self._lock:
            now = self._clock()
            flights = [doc.start(now, force=True) for doc in (self._keyset, *self._crls.values())]
        deadline = time.monotonic() + self.timeout
        for flight in flights:
            if flight is not None:
                flight.wait(max(0.0, deadline - time.monotonic()))

    def status(self) -> TrustStatus:
        """A frozen snapshot of every document's state."""
        with self._lock:
            now = self._clock()
            return TrustStatus(
                issuer_url=self.issuer_url,
                issuer_did=self.issuer_did,
                key_set=self._keyset.status(now),
                revocation_lists=MappingProxyType({kid: doc.status(now) for kid, doc in self._crls.items()}),
                closed=self._closed,
            )

    def close(self, wait: float = 0.0) -> bool:
        """Stop fetching: running exchanges are cut short and waiting callers return at once.

        With ``wait`` (seconds), also wait that long at most for the fetch
        threads still running to end; returns whether none still runs. A
        process about to exit waits, so that no fetch is left inside the
        retrieval functions while the interpreter shuts down. Verification
        goes on with the documents held, and fails closed once they are past
        their usable age.
        """
        until = time.monotonic() + wait
        with self._lock:
            self._closed = True
            documents = [self._keyset, *self._crls.values(), *self._dropped]
            self._dropped = [doc for doc in self._dropped if doc.flight is not None]
            for doc in documents:
                doc.closed = True
            flights = [doc.flight for doc in documents if doc.flight is not None]
        for flight in flights:
            flight.set()
        self._fetch.close()
        return all([doc.join(until) for doc in documents])


class TrustedIssuers(Verifier):
    """Several issuers behind one ``verify``.

    An issuer never speaks for another. A credential whose payload
    "issuer_did" is the ``issuer_did`` of a trust in the set is judged by
    that trust alone. Any other credential goes to the trusts without an
    ``issuer_did`` (unbound), the one whose key set holds its kid; with none
    unbound it is "unverifiable". Bound and unbound trusts may be mixed: the
    bound ones keep their DIDs to themselves, the unbound ones judge the rest.

    ``observer`` counts every verdict of the set and reads every trust's
    documents when scraped; the fetches are followed by each trust's own
    observer (give it to them too).
    """

    def __init__(self, *trusts: IssuerTrust, observer: Observer | None = None) -> None:
        if not trusts:
            raise ValueError("TrustedIssuers needs at least one IssuerTrust")
        for trust in trusts:
            if not isinstance(trust, IssuerTrust):
                raise TypeError(f"TrustedIssuers takes IssuerTrust objects, not {type(trust).__name__}")
        require_components("TrustedIssuers")
        self.trusts: tuple[IssuerTrust, ...] = trusts
        self._idle = []
        # No direct material of its own: each trust's warm entries are
        # reached through _warm_entry.
        self._direct = None
        self._clock = time.monotonic
        self._timeout = max(trust.timeout for trust in trusts)
        self._by_did: dict[str, IssuerTrust] = {}
        for trust in trusts:
            if trust.issuer_did is not None:
                if trust.issuer_did in self._by_did:
                    raise ValueError(f"two trusts have the same issuer_did {trust.issuer_did!r}")
                self._by_did[trust.issuer_did] = trust
        self._unbound = tuple(trust for trust in trusts if trust.issuer_did is None)
        self._observer = _checked_observer(observer)
        if observer is not None:
            observer.watch(self)

    def __repr__(self) -> str:
        return f"TrustedIssuers{self.trusts!r}"

    def _route(self, kid: Any, issuer_did: Any) -> IssuerTrust | tuple[IssuerTrust, ...]:
        # Any JSON value may stand for the kid or the issuer DID: only text
        # is looked up. A bound DID has one judge; the rest go to the unbound.
        bound = self._by_did.get(issuer_did) if type(issuer_did) is str else None
        if bound is not None:
            return bound
        return self._unbound if type(kid) is str else ()

    def _warm_entry(self, kid: Any, issuer_did: Any) -> WarmEntry | None:
        # _route, written out: this runs on every warm verification.
        bound = self._by_did.get(issuer_did) if type(issuer_did) is str else None
        if bound is not None:
            try:
                return bound._warm.get(kid)
            except TypeError:  # a kid that is no dict key is not warm
                return None
        if type(kid) is str:
            for trust in self._unbound:
                hit = trust._warm.get(kid)
                if hit is not None:
                    return hit
        return None

    def _obtain_key(self, kid: Any, issuer_did: Any) -> Steps[tuple[IssuerTrust, bytes] | None]:
        judges = self._route(kid, issuer_did)
        if isinstance(judges, IssuerTrust):
            return (yield from judges._obtain_key(kid, issuer_did))
        # First the key sets held now, so that a kid one issuer holds never
        # makes another refetch; then each in turn, fetching as needed.
        for trust in judges:
            keys = trust._keyset.value
            if keys is not None and kid in keys:
                return (yield from trust._obtain_key(kid, issuer_did))
        for trust in judges:
            found = yield from trust._obtain_key(kid, issuer_did)
            if found is not None:
                return found
        return None

    def _key_set_retry(self, kid: Any, issuer_did: Any) -> float | None:
        # Any judge without a key set may hold the kid.
        judges = self._route(kid, issuer_did)
        if isinstance(judges, IssuerTrust):
            return judges._key_set_retry(kid, issuer_did)
        waits = [wait for trust in judges if (wait := trust._key_set_retry(kid, issuer_did)) is not None]
        return min(waits, default=None)

    def status(self) -> tuple[TrustStatus, ...]:
        return tuple(trust.status() for trust in self.trusts)

    def close(self, wait: float = 0.0) -> bool:
        """Close every trust; ``wait`` bounds the wait for all of their fetches together."""
        until = time.monotonic() + wait
        return all([trust.close(max(0.0, until - time.monotonic())) for trust in self.trusts])
