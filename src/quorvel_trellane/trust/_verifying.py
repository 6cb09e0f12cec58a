"""One verification through the trust layer, in order, for sync and async callers.

A verification reads top to bottom:

0. :meth:`Verifier.verify` looks the exact credential and options up in the
   verdict memo (not for a verification at another moment: ``now``,
   ``leeway``); the full check's verdict is offered to it at the end;
1. then it tries the direct material (every warm kid's key
   and revocation set, read by the pipeline without calling back);
2. :func:`_first_pass` runs the pipeline once with a resolver that learns
   the credential's kid and issuer DID and answers only from warm entries;
   most verdicts are final there;
3. :func:`_rest` obtains what is missing, in order: the key (waiting for the
   key set if need be), a verification with the key and no list (final
   unless the pipeline reached the revocation step), the revocation list,
   and the last verification with it.

Waiting is the driver's business (``_waiting``): :func:`_rest` yields each
fetch it needs to wait for; ``wait_sync`` blocks on it, ``wait_async``
waits off the event loop. No exception steers the flow through the pipeline's
callbacks.
"""

from __future__ import annotations

import functools
import time
from collections.abc import Callable
from datetime import UTC, datetime, timedelta
from typing import TYPE_CHECKING, Any, Final, NamedTuple, Self, TypeVar

from quorvel_trellane._internal.outage import mark_unavailable
from quorvel_trellane.passport import PassportVerdict, verify_passport
from quorvel_trellane.trust._memo import VerdictMemo, memoisable
from quorvel_trellane.trust._waiting import wait_async, wait_sync
from quorvel_trellane.trust._warm import Direct, KeySource, Steps, WarmCache, WarmEntry

if TYPE_CHECKING:
    from quorvel_trellane._internal.observing import Observer

_IDLE_PROBES: Final = 64  # idle probes kept per verifier
_NO_LIST: Final[frozenset[str]] = frozenset()  # stands in the revocation input while no key is given
_T = TypeVar("_T")


class Request(NamedTuple):
    """What one caller asked: the credential and the options of ``verify_passport``."""

    credential: str
    required_scope: str | None
    expected_agent_did: str | None
    require_revocation_check: bool
    now: datetime | None

    def judge(self, key: Any, crl: Any, require_revocation_check: bool) -> PassportVerdict:
        return verify_passport(
            self.credential,
            issuer_keys=key,
            crl=crl,
            required_scope=self.required_scope,
            expected_agent_did=self.expected_agent_did,
            require_revocation_check=require_revocation_check,
            now=self.now,
        )


# Request(...) without the Python frame of a named tuple's __new__: the
# first pass runs on every warm verification of a set of trusts.
_request: Final[Callable[[tuple[str, str | None, str | None, bool, datetime | None]], Request]] = functools.partial(
    tuple.__new__, Request
)


class Probe:
    """The resolver of a first pass, and what it learned.

    The pipeline calls ``resolve`` once, after decoding, with the
    credential's kid and issuer DID. A warm kid is answered at once: its key
    returned, its revocation set put into ``crl``, the revocation document
    handed over with it (a plain dict, read by the pipeline without calling
    back). Any other gets None, and the probe keeps the kid and DID for
    :func:`_rest`. Probes are pooled per verifier: taken for one first pass,
    given back right after it, so the steady state makes no objects.
    """

    __slots__ = ("owner", "crl", "resolve", "missed", "kid", "issuer_did")

    def __init__(self, owner: Verifier) -> None:
        self.owner = owner
        self.crl: dict[str, Any] = {"revoked": _NO_LIST}
        self.resolve: Callable[[Any, Any], bytes | None] = self._resolve
        self.missed = False
        self.kid: Any = None
        self.issuer_did: Any = None

    def _resolve(self, kid: Any, issuer_did: Any) -> bytes | None:
        hit = self.owner._warm_entry(kid, issuer_did)
        if hit is not None and (hit.bound is None or issuer_did == hit.bound):
            now = hit.source.clock()
            if now < hit.usable_until:
                if now >= hit.fresh_until:
                    hit.source.refresh_stale(kid)  # served while one refresh runs
                self.crl["revoked"] = hit.revoked
                return hit.key
        # No key given: the pipeline stops before the revocation step, so the
        # list it was handed is never read.
        self.crl["revoked"] = _NO_LIST
        self.missed = True
        self.kid = kid
        self.issuer_did = issuer_did
        return None


def _answers_directly(verdict: PassportVerdict, direct: Direct) -> bool:
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
        and kid in direct.keys
        and (direct.bound is None or verdict.issuer_did == direct.bound)
        and not (direct.several and verdict.status == "revoked")
    )


def _directly(
    direct: Direct,
    credential: str,
    required_scope: str | None,
    expected_agent_did: str | None,
    require_revocation_check: bool,
    now: datetime | None,
) -> PassportVerdict | None:
    # The warm path: no object made, no callback.
    try:
        verdict = verify_passport(
            credential,
            issuer_keys=direct.keys,
            crl=direct.revoked,
            required_scope=required_scope,
            expected_agent_did=expected_agent_did,
            require_revocation_check=require_revocation_check,
            now=now,
        )
    except TypeError:  # a kid or issuer DID that is no dict key: the resolver's case
        return None
    return verdict if _answers_directly(verdict, direct) else None


def _first_pass(owner: Verifier, request: Request) -> tuple[PassportVerdict, Steps[PassportVerdict] | None]:
    """The verdict from what is held, and the steps still to take (None: it is final)."""
    idle = owner._idle
    try:
        probe = idle.pop()
    except IndexError:
        probe = Probe(owner)
    probe.missed = False
    credential, required_scope, expected_agent_did, require_revocation_check, now = request
    try:
        # Request.judge, written out: this runs on every warm verification
        # the direct material cannot answer.
        verdict = verify_passport(
            credential,
            issuer_keys=probe.resolve,
            crl=probe.crl,
            required_scope=required_scope,
            expected_agent_did=expected_agent_did,
            require_revocation_check=require_revocation_check,
            now=now,
        )
        missed, kid, issuer_did = probe.missed, probe.kid, probe.issuer_did
    finally:
        probe.kid = probe.issuer_did = None
        if len(idle) < _IDLE_PROBES:
            idle.append(probe)
    if not missed:
        return verdict, None  # decided before the key, or with a warm kid
    return verdict, _rest(owner, request, kid, issuer_did, verdict)


def _rest(
    owner: Verifier, request: Request, kid: Any, issuer_did: Any, unresolved: PassportVerdict
) -> Steps[PassportVerdict]:
    found = yield from owner._obtain_key(kid, issuer_did)
    if found is None:
        # No key: either the key set held lacks the kid (the passport's
        # fault), or there is no key set to look in (the issuer's).
        wait = owner._key_set_retry(kid, issuer_did)
        return unresolved if wait is None else mark_unavailable(unresolved, wait)
    source, key = found
    # Judged with the revocation status unknown, any outcome but "the list
    # is needed" is final: every check before revocation decides alone.
    verdict = request.judge(key, None, True)
    if verdict.error_code != "REVOCATION_CHECK_FAILED":
        return verdict
    revoked = yield from source.obtain_list(kid)
    if revoked is not None:
        source.remember(kid)
    # With no usable list the status stays unknown: fail closed, unless the
    # caller waived the check.
    verdict = request.judge(key, revoked, request.require_revocation_check)
    if revoked is None and verdict.error_code == "REVOCATION_CHECK_FAILED":
        return mark_unavailable(verdict, source.list_retry(kid))
    return verdict


def _earlier(now: datetime | None, leeway: float) -> datetime:
    return (now or datetime.now(UTC)) - timedelta(seconds=leeway)


class Verifier:
    """``verify`` and ``verify_async``, shared by a trust and a set of trusts."""

    # Set by the subclasses on the instance (never as class attributes, which
    # would slow every read of them).
    _warm: WarmCache  # its direct material, when it has any
    _clock: Callable[[], float]
    _timeout: float  # the longest one verification waits on the network, real seconds
    _idle: list[Probe]
    _observer: Observer | None  # told every verdict
    _memo: VerdictMemo  # the verdicts a repeated credential gets again

    def _warm_entry(self, kid: Any, issuer_did: Any) -> WarmEntry | None:
        """The warm entry that may judge this kid and DID, if any; never starts anything."""
        raise NotImplementedError

    def _obtain_key(self, kid: Any, issuer_did: Any) -> Steps[tuple[KeySource, bytes] | None]:
        """The trust that judges this kid and DID and its key, fetching as needed; None when none."""
        raise NotImplementedError

    def _key_set_retry(self, kid: Any, issuer_did: Any) -> float | None:
        """Seconds until the key set that would judge this kid and DID may be
        fetched again, when none is usable; None when one is (or none would)."""
        raise NotImplementedError

    def close(self, wait: float = 0.0) -> bool:
        raise NotImplementedError

    def recall(
        self,
        credential: str | bytes,
        required_scope: str | None = None,
        expected_agent_did: str | None = None,
        require_revocation_check: bool = True,
    ) -> PassportVerdict | None:
        """The verdict :meth:`verify` would give from its memo, or None: then only it can tell.

        ``credential`` may also be the bytes of the header that carried it.
        Never decodes, fetches or waits. A verdict recalled counts as a
        verification (the observer sees it). The options may be given by
        position or keyword, whether or not an observer is attached.
        """
        verdict = self._memo.find(credential, required_scope, expected_agent_did, require_revocation_check)
        if verdict is not None and self._observer is not None:
            self._observer.verified(verdict)
        return verdict

    def _bind_recall(self) -> None:
        # Without an observer, recall is the memo's own lookup: no frame of
        # its own on the middleware's lean path.
        self._timed = getattr(self._observer, "verified_in", None)  # an observer told each full check's duration
        if self._observer is None:
            self.__dict__["recall"] = self._memo.find

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

        Waits on the network (at most ``timeout`` in all) only when no usable
        document exists or the kid is unknown; ``leeway`` verifies the expiry
        at ``now`` minus ``leeway`` seconds. A credential verified again with
        the same options and material is answered from a memo (never with
        ``now`` or ``leeway``), its expiry read against the current time.
        """
        if now is not None or leeway:
            generation = -1  # a verdict for another moment is never kept
            if leeway:
                now = _earlier(now, leeway)
        elif type(credential) is str:  # the memo also finds bytes, which verify_passport refuses
            verdict = self._memo.find(credential, required_scope, expected_agent_did, require_revocation_check)
            if verdict is not None:
                if self._observer is not None:
                    self._observer.verified(verdict)
                return verdict
            generation = self._memo.generation
        else:
            generation = -1
        began = time.perf_counter() if self._timed is not None else 0.0
        verdict, rest = self._judge(credential, required_scope, expected_agent_did, require_revocation_check, now)
        if rest is not None:
            verdict = wait_sync(rest, self._timeout)
        self._reached(
            generation, credential, required_scope, expected_agent_did, require_revocation_check, verdict, began
        )
        return verdict

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
        if now is not None or leeway:
            generation = -1
            if leeway:
                now = _earlier(now, leeway)
        elif type(credential) is str:  # the memo also finds bytes, which verify_passport refuses
            verdict = self._memo.find(credential, required_scope, expected_agent_did, require_revocation_check)
            if verdict is not None:
                if self._observer is not None:
                    self._observer.verified(verdict)
                return verdict
            generation = self._memo.generation
        else:
            generation = -1
        began = time.perf_counter() if self._timed is not None else 0.0
        verdict, rest = self._judge(credential, required_scope, expected_agent_did, require_revocation_check, now)
        if rest is not None:
            verdict = await wait_async(rest, self._timeout)
        self._reached(
            generation, credential, required_scope, expected_agent_did, require_revocation_check, verdict, began
        )
        return verdict

    def _judge(
        self,
        credential: str,
        required_scope: str | None,
        expected_agent_did: str | None,
        require_revocation_check: bool,
        now: datetime | None,
    ) -> tuple[PassportVerdict, Steps[PassportVerdict] | None]:
        """The verdict from what is held, and the steps still to take (None: it is final)."""
        direct = self._warm.direct
        if direct is not None and self._clock() < direct.until:
            verdict = _directly(direct, credential, required_scope, expected_agent_did, require_revocation_check, now)
            if verdict is not None:
                return verdict, None
        request = _request((credential, required_scope, expected_agent_did, require_revocation_check, now))
        return _first_pass(self, request)

    def _reached(
        self,
        generation: int,
        credential: str,
        required_scope: str | None,
        expected_agent_did: str | None,
        require_revocation_check: bool,
        verdict: PassportVerdict,
        began: float,
    ) -> None:
        # The full check's verdict: told to the observer (timed, when it takes a
        # duration), and kept when the warm material of its kid reached it and nothing changed meanwhile.
        if self._timed is not None:
            self._timed(verdict, time.perf_counter() - began)
        elif self._observer is not None:
            self._observer.verified(verdict)
        if generation < 0 or not memoisable(verdict):
            return
        warm = self._warm_entry(verdict.kid, verdict.issuer_did)
        if warm is None or (warm.bound is not None and verdict.issuer_did != warm.bound):
            return
        self._memo.keep(
            generation,
            credential,
            required_scope,
            expected_agent_did,
            require_revocation_check,
            verdict,
            warm.fresh_until,
            warm.source.clock,
        )

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
