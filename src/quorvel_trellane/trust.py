"""Relying-party trust: an issuer's key set and revocation lists, kept fresh.

``verify_passport`` judges one credential against trust material the caller
supplies. :class:`IssuerTrust` is that caller for one issuer: it fetches the
key set and the revocation lists with the library's own retrieval functions,
keeps them fresh in the background, survives an issuer outage on the last
good copies for a bounded time and then fails closed, and never lets a
request, or an attacker, make it fetch more than once per interval.

    with IssuerTrust("https://issuer.example", issuer_did="did:web:issuer.example") as trust:
        verdict = trust.verify(credential, required_scope="payments:x402")

Times (ttls, ages, cooldowns) are seconds of ``clock``; ``timeout`` is real
seconds. Nothing here keeps the process alive: fetches run on daemon
threads started on demand, and an idle trust runs no thread at all.
"""

from __future__ import annotations

import logging
import math
import re
import threading
import time
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from types import MappingProxyType, TracebackType
from typing import Any, Final, Self, TypeAlias

from quorvel_trellane import passport
from quorvel_trellane._fetching import (
    CheckedFetch,
    Fetch,
    Fetcher,
    HttpFetch,
    _FetchError,
    check_issuer_url,
    check_scheme,
    crl_url,
    key_set_url,
)
from quorvel_trellane._document import Document, DocumentStatus, SteadyClock
from quorvel_trellane._document import NeedsNetwork as _NeedsNetwork
from quorvel_trellane._text import escaped
from quorvel_trellane.passport import A2A_PASSPORT_METADATA_KEY, PassportVerdict, verify_passport

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
_IDLE_CALLS: Final = 64  # idle verification links kept per verifier and kind


class _NeedsRevocationList(Exception):
    """Raised when the pipeline reaches the revocation step without the list at hand."""


def passport_from_a2a_metadata(metadata: object) -> str | None:
    """The credential an A2A message carries in its metadata, or None.

    Returns the text under ``A2A_PASSPORT_METADATA_KEY`` when ``metadata`` is a
    mapping holding text there; None when it is not a mapping, the member is
    absent, or it is not text.
    """
    if not isinstance(metadata, Mapping):
        return None
    value = metadata.get(A2A_PASSPORT_METADATA_KEY)
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


# --- Verification -----------------------------------------------------------------


#: A kid ready to verify: (valid until, key, revocation set, issuer DID bound to).
_WarmEntry: TypeAlias = tuple[float, bytes, frozenset[str], str | None]


#: Every warm kid at once, for the pipeline to read without calling back:
#: (valid until, key map, revocation set, several kids, issuer DID bound to).
_Direct: TypeAlias = tuple[float, dict[str, bytes], frozenset[str], bool, str | None]


def _direct_material(warm: Mapping[str | None, _WarmEntry]) -> _Direct:
    entries = [(kid, entry) for kid, entry in warm.items() if kid is not None]
    revoked = entries[0][1][2] if len(entries) == 1 else frozenset().union(*(e[2] for _, e in entries))
    return (
        min(entry[0] for _, entry in entries),
        {kid: entry[1] for kid, entry in entries},
        revoked,
        len(entries) > 1,
        entries[0][1][3],
    )


def _answers_directly(verdict: PassportVerdict, keys: dict[str, bytes], several: bool, bound: str | None) -> bool:
    """Whether a verdict reached with the direct material is the trust's own.

    It is when the pipeline found the key by the credential's own kid (not
    through the issuer DID fallback of a key map, and not for a kid that
    needs the resolver: unknown, malformed or missing), the credential names
    the bound issuer, and, when several kids' lists were merged, it is not
    revoked (another kid's list may have done that).
    """
    kid = verdict.kid
    return (
        type(kid) is str
        and kid in keys
        and (bound is None or verdict.issuer_did == bound)
        and not (several and verdict.status == "revoked")
    )


class _RevocationLater:
    """Stands in the revocation input until a usable list is known for the kid.

    The pipeline iterates it only once the signature and expiry have passed;
    it then raises :class:`_NeedsRevocationList`, and the trust layer obtains
    the list (a fetch, a wait, or none: fail closed) before the pipeline runs
    again with it.
    """

    __slots__ = ()

    def __iter__(self) -> Iterator[str]:
        raise _NeedsRevocationList


_LATER: Final = _RevocationLater()


class _Call:
    """One verification's link between its key resolver and its revocation input.

    ``resolve`` is handed to ``verify_passport`` as the key resolver: the
    pipeline calls it once, after decoding, with the credential's kid and
    issuer DID, so the trust layer learns them without decoding again. It
    then puts the ready frozenset of that kid into ``crl``, the revocation
    document handed over with it (a plain dict, read by the pipeline without
    calling back), or :data:`_LATER` when the list is not at hand.

    A verification takes an idle one from its verifier's pool and gives it
    back when it ends, so no two running verifications ever share one, and
    the steady state makes no objects.
    """

    __slots__ = ("owner", "wait", "until", "crl", "resolve", "trust", "kid", "key")

    def __init__(self, owner: _Verifier, wait: bool) -> None:
        self.owner = owner
        self.wait = wait
        # With ``wait``, the deadline (monotonic) of the whole verification:
        # the key set and the revocation list are waited for within it.
        self.until = math.inf
        self.crl: dict[str, Any] = {"revoked": _LATER}
        self.resolve: Callable[[str | None, str | None], bytes | None] = self._resolve
        self.trust: IssuerTrust | None = None
        self.kid: str | None = None
        self.key: bytes | None = None

    def _resolve(self, kid: str | None, issuer_did: str | None) -> bytes | None:
        owner = self.owner
        # Warm: the key and the revocation set of this kid, both fresh, in one
        # entry; one clock reading decides. A kid that cannot be a dict key
        # (any JSON value may stand there) is simply not warm.
        try:
            hit = owner._warm.get(kid)
        except TypeError:
            hit = None
        if hit is not None:
            until, key, revoked, bound = hit
            if (bound is None or issuer_did == bound) and owner._clock() < until:
                self.crl["revoked"] = revoked
                return key
        # Set first: a revocation set left from this object's last
        # verification must never stand for this one.
        self.crl["revoked"] = _LATER
        self.trust = None
        self.kid = kid
        found = self.key = owner._find(self, kid, issuer_did)
        return found


def _verify(
    owner: _Verifier,
    idle: list[_Call],
    wait: bool,
    deadline: float | None,
    credential: str,
    required_scope: str | None,
    expected_agent_did: str | None,
    require_revocation_check: bool,
    now: datetime | None,
    leeway: float,
) -> PassportVerdict:
    if leeway:
        now = (now or datetime.now(timezone.utc)) - timedelta(seconds=leeway)
    direct = owner._direct
    if direct is not None:
        until, keys, revoked, several, bound = direct
        if owner._clock() < until:
            try:
                verdict = verify_passport(
                    credential,
                    issuer_keys=keys,
                    crl=revoked,
                    required_scope=required_scope,
                    expected_agent_did=expected_agent_did,
                    require_revocation_check=require_revocation_check,
                    now=now,
                )
            except TypeError:  # a kid or issuer DID that is no dict key: the resolver's case
                pass
            else:
                if _answers_directly(verdict, keys, several, bound):
                    return verdict
    return _verify_linked(
        owner, idle, wait, deadline, credential, required_scope, expected_agent_did, require_revocation_check, now
    )


def _verify_linked(
    owner: _Verifier,
    idle: list[_Call],
    wait: bool,
    deadline: float | None,
    credential: str,
    required_scope: str | None,
    expected_agent_did: str | None,
    require_revocation_check: bool,
    now: datetime | None,
) -> PassportVerdict:
    try:
        call = idle.pop()
    except IndexError:
        call = _Call(owner, wait)
    if wait:
        call.until = time.monotonic() + owner._timeout if deadline is None else deadline
    try:
        return verify_passport(
            credential,
            issuer_keys=call.resolve,
            crl=call.crl,
            required_scope=required_scope,
            expected_agent_did=expected_agent_did,
            require_revocation_check=require_revocation_check,
            now=now,
        )
    except _NeedsRevocationList:
        return _with_revocation_list(
            call, wait, credential, required_scope, expected_agent_did, require_revocation_check, now
        )
    finally:
        if len(idle) < _IDLE_CALLS:
            idle.append(call)


def _with_revocation_list(
    call: _Call,
    wait: bool,
    credential: str,
    required_scope: str | None,
    expected_agent_did: str | None,
    require_revocation_check: bool,
    now: datetime | None,
) -> PassportVerdict:
    # The signature and expiry passed with the key found, and the revocation
    # list was not at hand: obtain it (None when none is usable) and let the
    # pipeline decide the rest with it or with the status unknown (fail
    # closed), so the order of its checks stays exactly its own.
    trust, kid = call.trust, call.kid
    revoked = None
    if trust is not None and kid is not None:  # always so once a key was found
        revoked = trust._revocation_list(kid, call.until if wait else None)
        if revoked is not None:
            trust._remember(kid)
    return verify_passport(
        credential,
        issuer_keys=call.key,
        crl=revoked,
        required_scope=required_scope,
        expected_agent_did=expected_agent_did,
        require_revocation_check=require_revocation_check,
        now=now,
    )


class _Verifier:
    """``verify`` and ``verify_async`` over :meth:`_find`, shared by both classes."""

    # Set by the subclasses on the instance (never as class attributes, which
    # would slow every read of them): the resolver's warm entries, the
    # direct material, the clock.
    _warm: Mapping[str | None, _WarmEntry]
    _direct: _Direct | None
    _clock: Callable[[], float]
    # The longest one verification waits on the network, in real seconds.
    _timeout: float
    # Idle calls for verify (which may wait on the network) and verify_async
    # (which may not); set by the subclasses.
    _idle_wait: list[_Call]
    _idle_nowait: list[_Call]

    def _find(self, call: _Call, kid: str | None, issuer_did: str | None) -> bytes | None:
        raise NotImplementedError

    def close(self, wait: float = 0.0) -> bool:
        raise NotImplementedError

    def verify(
        self,
        credential: str,
        *,
        required_scope: str | None = None,
        expected_agent_did: str | None = None,
        require_revocation_check: bool = True,
        now: datetime | None = None,
        leeway: float = 0.0,
    ) -> PassportVerdict:
        """Verify ``credential`` with this trust material; see ``verify_passport``.

        Waits on the network (bounded by ``timeout``) only when no usable
        document exists or the kid is unknown; ``leeway`` verifies the expiry
        at ``now`` minus ``leeway`` seconds.
        """
        return _verify(
            self, self._idle_wait, True, None,
            credential, required_scope, expected_agent_did, require_revocation_check, now, leeway,
        )

    async def verify_async(
        self,
        credential: str,
        *,
        required_scope: str | None = None,
        expected_agent_did: str | None = None,
        require_revocation_check: bool = True,
        now: datetime | None = None,
        leeway: float = 0.0,
    ) -> PassportVerdict:
        """:meth:`verify` for event loops: inline with usable documents, network waits off the loop."""
        args = (credential, required_scope, expected_agent_did, require_revocation_check, now, leeway)
        try:
            return _verify(self, self._idle_nowait, False, None, *args)
        except _NeedsNetwork:
            import asyncio  # here, so that importing this module does not load it

            # The deadline runs from here, not from when the thread starts.
            deadline = time.monotonic() + self._timeout
            return await asyncio.to_thread(_verify, self, self._idle_wait, True, deadline, *args)

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


class IssuerTrust(_Verifier):
    """One issuer's key set and revocation lists, kept fresh for verification.

    ``issuer_url`` is the issuer base URL; the documents are read with
    ``resolve_keys_from_wellknown`` and ``fetch_crl``. With ``issuer_did``,
    only credentials naming exactly that issuer are offered its keys.
    ``fetch`` replaces the built-in HTTP client with a Fetcher (URL to body),
    which must bound its own time. ``clock`` measures ttls and ages.
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
    ) -> None:
        if not isinstance(issuer_url, str) or not issuer_url:
            raise TypeError("issuer_url must be a non-empty str")
        for name, value in (
            ("key_ttl", key_ttl), ("key_max_stale", key_max_stale), ("crl_ttl", crl_ttl),
            ("crl_max_age", crl_max_age), ("timeout", timeout), ("max_document_bytes", max_document_bytes),
        ):
            if not value > 0:
                raise ValueError(f"{name} must be positive, not {value!r}")
        if not unknown_kid_cooldown >= 0:
            raise ValueError(f"unknown_kid_cooldown must not be negative, not {unknown_kid_cooldown!r}")
        check_issuer_url(issuer_url)
        if fetch is None:
            check_scheme(issuer_url, allow_http)
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
        self._keyset = self._document(key_set_url(self._base), key_ttl, key_max_stale, self._load_keys, "key set")
        self._crls: dict[str, Document] = {}
        self._dropped: list[Document] = []  # lists pruned while a fetch of theirs may still run
        # Per kid, what a verification needs while both documents are fresh;
        # emptied whenever a document changes, filled again by the next
        # verification that reaches the revocation step.
        self._warm: dict[str | None, _WarmEntry] = {}
        self._direct: _Direct | None = None
        self._idle_wait = []
        self._idle_nowait = []

    def __repr__(self) -> str:
        return f"IssuerTrust({self.issuer_url!r}, issuer_did={self.issuer_did!r})"

    def _document(
        self, url: str, ttl: float, max_age: float, load: Callable[[], tuple[Any, float | None]], what: str
    ) -> Document:
        is_key_set = what == "key set"

        def changed(value: Any) -> None:
            # A document changed (lock held): the warm entries built from it go.
            self._forget_warm()
            if is_key_set and value is not None:
                self._prune(value)

        return Document(url, ttl, max_age, load, what, lock=self._lock, clock=self._clock, changed=changed)

    # -- loading (on fetch threads) --

    def _load_keys(self) -> tuple[dict[str, bytes], float | None]:
        url = self._keyset.url
        try:
            keys = passport.resolve_keys_from_wellknown(self.issuer_url, fetch=self._fetch)
            if not keys:
                raise _FetchError(url, "no usable Falcon-1024 key")
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
                raise _FetchError(url, 'no "revoked" list')
            if not isinstance(revoked, list) or not all(isinstance(item, str) for item in revoked):
                raise _FetchError(url, '"revoked" is not a list of text')
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
            until = min(keyset.fresh_until, keyset.usable_until, crl.fresh_until, crl.usable_until)
            if key is not None and self._clock() < until:
                self._warm[kid] = (until, key, crl.value, self.issuer_did)
                self._direct = _direct_material(self._warm)

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

    # -- lookups (on verifying threads) --

    def _find(self, call: _Call, kid: str | None, issuer_did: str | None) -> bytes | None:
        # Issuer binding comes first: a credential naming another issuer is
        # never offered this issuer's keys, and causes no fetch.
        if self.issuer_did is not None and issuer_did != self.issuer_did:
            return None
        hit = self._warm.get(kid) if type(kid) is str else None
        if hit is not None and self._clock() < hit[0]:
            call.crl["revoked"] = hit[2]
            return hit[1]
        call.trust = self
        return self._key(kid, call.until if call.wait else None)

    def _key(self, kid: str | None, until: float | None) -> bytes | None:
        if type(kid) is not str:
            return None
        doc = self._keyset
        keys: dict[str, bytes] | None = doc.value
        fetched_now = keys is None
        if keys is None or self._clock() >= doc.fresh_until:
            keys = doc.obtain(until)
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
                key = self._refetch_for(kid, until)
        return key

    def _refetch_for(self, kid: str, until: float | None) -> bytes | None:
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
                _LOG.info("unknown kid %s: refetching the key set", kid)
        if until is None:
            raise _NeedsNetwork
        flight.wait(max(0.0, until - time.monotonic()))
        keys: dict[str, bytes] | None = doc.value
        return None if keys is None else keys.get(kid)

    def _revocation_list(self, kid: str, until: float | None) -> frozenset[str] | None:
        doc = self._crls.get(kid)
        if doc is None:
            with self._lock:
                doc = self._crls.get(kid)
                if doc is None:
                    url = crl_url(self._base, kid)
                    doc = self._crls[kid] = self._document(
                        url, self.crl_ttl, self.crl_max_age,
                        lambda: self._load_revocation_list(kid, url), f"revocation list for {escaped(kid)}",
                    )
                    doc.closed = self._closed
        revoked: frozenset[str] | None = doc.obtain(until)
        return revoked

    # -- public --

    def keys(self) -> dict[str, bytes]:
        """The key map in use (a copy), fetching it if there is none; empty when none is usable."""
        keys: dict[str, bytes] | None = self._keyset.obtain(time.monotonic() + self.timeout)
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


class TrustedIssuers(_Verifier):
    """Several issuers behind one ``verify``.

    An issuer never speaks for another. A credential whose payload
    "issuer_did" is the ``issuer_did`` of a trust in the set is judged by
    that trust alone. Any other credential goes to the trusts without an
    ``issuer_did`` (unbound), the one whose key set holds its kid; with none
    unbound it is "unverifiable". Bound and unbound trusts may be mixed: the
    bound ones keep their DIDs to themselves, the unbound ones judge the rest.
    """

    def __init__(self, *trusts: IssuerTrust) -> None:
        if not trusts:
            raise ValueError("TrustedIssuers needs at least one IssuerTrust")
        for trust in trusts:
            if not isinstance(trust, IssuerTrust):
                raise TypeError(f"TrustedIssuers takes IssuerTrust objects, not {type(trust).__name__}")
        self.trusts: tuple[IssuerTrust, ...] = trusts
        self._idle_wait = []
        self._idle_nowait = []
        # No warm entries or direct material of its own: each trust's are
        # reached through its _find.
        self._warm = MappingProxyType({})
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

    def __repr__(self) -> str:
        return f"TrustedIssuers{self.trusts!r}"

    def _find(self, call: _Call, kid: str | None, issuer_did: str | None) -> bytes | None:
        # Any JSON value may stand for the kid or the issuer DID: only text
        # is looked up.
        bound = self._by_did.get(issuer_did) if type(issuer_did) is str else None
        if bound is not None:
            return bound._find(call, kid, issuer_did)
        if type(kid) is not str:
            return None
        # First the key sets held now, so that a kid one issuer holds never
        # makes another refetch; then each in turn, fetching as needed.
        for trust in self._unbound:
            keys = trust._keyset.value
            if keys is not None and kid in keys:
                return trust._find(call, kid, issuer_did)
        for trust in self._unbound:
            key = trust._find(call, kid, issuer_did)
            if key is not None:
                return key
        return None

    def status(self) -> tuple[TrustStatus, ...]:
        return tuple(trust.status() for trust in self.trusts)

    def close(self, wait: float = 0.0) -> bool:
        """Close every trust; ``wait`` bounds the wait for all of their fetches together."""
        until = time.monotonic() + wait
        return all([trust.close(max(0.0, until - time.monotonic())) for trust in self.trusts])
