"""The trust layer's policy: :class:`IssuerTrust` for one issuer, :class:`TrustedIssuers` for several."""

from __future__ import annotations

import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from types import MappingProxyType
from typing import Any

from quorvel_trellane._internal.components import require_components
from quorvel_trellane._internal.observing import Observer, checked_observer
from quorvel_trellane.passport import A2A_PASSPORT_METADATA_KEY
from quorvel_trellane.trust._document import DocumentStatus, SteadyClock, status_of
from quorvel_trellane.trust._fetching import CheckedFetch, Fetch, Fetcher, HttpFetch
from quorvel_trellane.trust._material import IssuerMaterial
from quorvel_trellane.trust._options import TrustOptions
from quorvel_trellane.trust._verifying import Verifier
from quorvel_trellane.trust._waiting import wait_sync
from quorvel_trellane.trust._warm import KeySource, Steps, WarmCache, WarmEntry

__all__ = [
    "DocumentStatus",
    "Fetcher",
    "IssuerTrust",
    "TrustStatus",
    "TrustedIssuers",
    "passport_from_a2a_metadata",
]


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


# --- Status records -------------------------------------------------------------


@dataclass(frozen=True)
class TrustStatus:
    """A snapshot of an :class:`IssuerTrust`; ``revocation_lists`` is keyed by kid."""

    issuer_url: str
    issuer_did: str | None
    key_set: DocumentStatus
    revocation_lists: Mapping[str, DocumentStatus]
    closed: bool


# --- Routing ----------------------------------------------------------------------


class Routing:
    """The judges of a set of trusts: which issuer's material judges a kid and DID.

    A DID bound to one trust has that judge alone; any other credential goes
    to the unbound ones, the one whose key set holds its kid.
    """

    def __init__(self, materials: tuple[IssuerMaterial, ...]) -> None:
        self.by_did: dict[str, IssuerMaterial] = {}
        for material in materials:
            did = material.options.issuer_did
            if did is not None:
                if did in self.by_did:
                    raise ValueError(f"two trusts have the same issuer_did {did!r}")
                self.by_did[did] = material
        self.unbound = tuple(material for material in materials if material.options.issuer_did is None)

    def route(self, kid: Any, issuer_did: Any) -> IssuerMaterial | tuple[IssuerMaterial, ...]:
        # Any JSON value may stand for the kid or the issuer DID: only text
        # is looked up. A bound DID has one judge; the rest go to the unbound.
        bound = self.by_did.get(issuer_did) if type(issuer_did) is str else None
        if bound is not None:
            return bound
        return self.unbound if type(kid) is str else ()

    def warm_entry(self, kid: Any, issuer_did: Any) -> WarmEntry | None:
        # route, written out: this runs on every warm verification.
        bound = self.by_did.get(issuer_did) if type(issuer_did) is str else None
        if bound is not None:
            return bound.warm.get(kid)
        if type(kid) is str:
            for material in self.unbound:
                hit = material.warm.entries.get(kid)
                if hit is not None:
                    return hit
        return None

    def find_key(self, kid: Any, issuer_did: Any) -> Steps[tuple[KeySource, bytes] | None]:
        judges = self.route(kid, issuer_did)
        if isinstance(judges, IssuerMaterial):
            return (yield from judges.find_key(kid, issuer_did))
        # First the key sets held now, so that a kid one issuer holds never
        # makes another refetch; then each in turn, fetching as needed.
        for material in judges:
            if material.holds(kid):
                return (yield from material.find_key(kid, issuer_did))
        for material in judges:
            found = yield from material.find_key(kid, issuer_did)
            if found is not None:
                return found
        return None

    def key_set_retry(self, kid: Any, issuer_did: Any) -> float | None:
        # Any judge without a key set may hold the kid.
        judges = self.route(kid, issuer_did)
        if isinstance(judges, IssuerMaterial):
            return judges.key_set_retry(kid, issuer_did)
        waits = [wait for material in judges if (wait := material.key_set_retry(kid, issuer_did)) is not None]
        return min(waits, default=None)


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
        options = TrustOptions(
            issuer_url,
            issuer_did=issuer_did,
            key_ttl=key_ttl,
            key_max_stale=key_max_stale,
            crl_ttl=crl_ttl,
            crl_max_age=crl_max_age,
            unknown_kid_cooldown=unknown_kid_cooldown,
            timeout=timeout,
            max_document_bytes=max_document_bytes,
            allow_http=allow_http,
            fetch=fetch,
            clock=clock,
        )
        # Here, not at the first request: without them every agent would be
        # answered "invalid", the server's set-up blamed on its callers.
        require_components("IssuerTrust")
        self._options = options
        self.issuer_url = issuer_url
        self.issuer_did = issuer_did
        self.crl_ttl = crl_ttl
        self.crl_max_age = crl_max_age
        self.unknown_kid_cooldown = unknown_kid_cooldown
        self.timeout = timeout
        # The default clock never steps back; an injected one may, and is
        # read through a guard so that no age ever shrinks.
        steady = clock if clock is time.monotonic else SteadyClock(clock)
        self._fetch: Fetch = (
            HttpFetch(timeout, max_document_bytes, allow_http, issuer_url)
            if fetch is None
            else CheckedFetch(fetch, max_document_bytes)
        )
        checked = checked_observer(observer)
        warm = WarmCache()
        #: The issuer's documents and warm cache: what this trust's
        #: verifications, and a ``TrustedIssuers`` holding it, ask.
        self.material = IssuerMaterial(options, self._fetch, steady, warm, checked)
        super().__init__(self.material, warm, clock=steady, timeout=timeout, observer=checked)
        warm.feeds(self.memo)
        if observer is not None:
            observer.watch(self)

    def __repr__(self) -> str:
        return f"IssuerTrust({self.issuer_url!r}, issuer_did={self.issuer_did!r})"

    def keys(self) -> dict[str, bytes]:
        """The key map in use (a copy), fetching it if there is none; empty when none is usable."""
        keys: dict[str, bytes] | None = wait_sync(self.material.keyset.obtain(), self.timeout)
        return dict(keys) if keys else {}

    def refresh(self) -> None:
        """Fetch the key set and every known revocation list now, waiting up to ``timeout``.

        Failures are recorded in :meth:`status`, not raised; the last good
        copies stay in use.
        """
        material = self.material
        with material.lock:
            now = material.clock()
            flights = [doc.start(now, force=True) for doc in (material.keyset, *material.crls.values())]
        deadline = time.monotonic() + self.timeout
        for flight in flights:
            if flight is not None:
                flight.wait(max(0.0, deadline - time.monotonic()))

    def status(self) -> TrustStatus:
        """A frozen snapshot of every document's state."""
        material = self.material
        with material.lock:
            now = material.clock()
            return TrustStatus(
                issuer_url=self.issuer_url,
                issuer_did=self.issuer_did,
                key_set=status_of(material.keyset, now),
                revocation_lists=MappingProxyType({kid: status_of(doc, now) for kid, doc in material.crls.items()}),
                closed=material.closed,
            )

    def close(self, wait: float = 0.0) -> bool:
        """Stop fetching: running exchanges are cut short and waiting callers return at once.

        With ``wait`` (seconds), also wait that long at most for the fetch
        threads still running to end; returns whether none still runs. A
        process about to exit waits, so that no fetch is left inside the
        retrieval functions while the interpreter shuts down. Verification
        goes on with the documents held, and fails closed once they are past
        their usable age. No verdict is answered from the memo any more.
        """
        self.memo.close()
        return self.material.close(wait)


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
        # No warm cache of its own (its direct material stays None): each
        # trust's warm entries are reached through the routing. Its memo is
        # emptied with any of theirs.
        routing = Routing(tuple(trust.material for trust in trusts))
        timeout = max(trust.timeout for trust in trusts)
        super().__init__(
            routing, WarmCache(), clock=time.monotonic, timeout=timeout, observer=checked_observer(observer)
        )
        for trust in trusts:
            trust.material.warm.feeds(self.memo)
        if observer is not None:
            observer.watch(self)

    def __repr__(self) -> str:
        return f"TrustedIssuers{self.trusts!r}"

    def status(self) -> tuple[TrustStatus, ...]:
        return tuple(trust.status() for trust in self.trusts)

    def close(self, wait: float = 0.0) -> bool:
        """Close every trust; ``wait`` bounds the wait for all of their fetches together."""
        until = time.monotonic() + wait
        self.memo.close()
        return all([trust.close(max(0.0, until - time.monotonic())) for trust in self.trusts])
