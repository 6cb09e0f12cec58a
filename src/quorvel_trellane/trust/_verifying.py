"""One verification through the trust layer, in order, for sync and async callers.

A verification reads top to bottom, as one :class:`Request` passed along:

0. :meth:`Verifier.start` looks the exact credential and options up in the
   verdict memo (not for a verification at another moment: ``now``,
   ``leeway``) and answers a hit at once; a miss is the request to judge;
1. :meth:`Verifier.complete` (or ``complete_async``) judges it: first with
   the direct material (every warm kid's key and revocation set, read by
   the pipeline without calling back);
2. then :func:`_first_pass` runs the pipeline once with a resolver that
   learns the credential's kid and issuer DID and answers only from warm
   entries; most verdicts are final there;
3. :func:`_rest` obtains what is missing from the trust's :class:`Judges`,
   in order: the key (waiting for the key set if need be), a verification
   with the key and no list (final unless the pipeline reached the
   revocation step), the revocation list, and the last verification with it;
4. the end, shared by both drivers: the observer is told the verdict and the
   memo offered it.

Waiting is the driver's business (``_waiting``): :func:`_rest` yields each
fetch it needs to wait for; ``wait_sync`` blocks on it, ``wait_async``
waits off the event loop. No exception steers the flow through the pipeline's
callbacks. ``verify`` is ``start`` then ``complete``; a door that looked the
memo up itself (the gate) calls ``complete`` with the request it got, so a
miss is looked up once.
"""

from __future__ import annotations

import functools
import time
from abc import ABC, abstractmethod
from collections.abc import Callable
from datetime import UTC, datetime, timedelta
from typing import TYPE_CHECKING, Any, Final, NamedTuple, Self

from quorvel_trellane._internal.outage import mark_unavailable
from quorvel_trellane.passport import PassportVerdict, verify_passport
from quorvel_trellane.trust._memo import VerdictMemo, memoisable
from quorvel_trellane.trust._waiting import wait_async, wait_sync
from quorvel_trellane.trust._warm import Direct, Judges, Steps, WarmCache

if TYPE_CHECKING:
    from quorvel_trellane._internal.observing import Observer

__all__ = ["Request", "Verifier"]

_IDLE_PROBES: Final = 64  # idle probes kept per verifier
_NO_LIST: Final[frozenset[str]] = frozenset()  # stands in the revocation input while no key is given


class Request(NamedTuple):
    """What one caller asked: the credential and the options of ``verify_passport``.

    ``generation`` is the memo's generation when it missed (the verdict may
    then be kept), or -1: a verdict for another moment, never kept.
    """

    credential: str
    required_scope: str | None
    expected_agent_did: str | None
    require_revocation_check: bool
    now: datetime | None
    generation: int

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


# Request(...) without the Python frame of a named tuple's __new__: it is
# made on every verification the memo cannot answer.
_request: Final[Callable[[tuple[Any, str | None, str | None, bool, datetime | None, int]], Request]] = (
    functools.partial(tuple.__new__, Request)
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

    __slots__ = ("judges", "crl", "resolve", "missed", "kid", "issuer_did")

    def __init__(self, judges: Judges) -> None:
        self.judges = judges
        self.crl: dict[str, Any] = {"revoked": _NO_LIST}
        self.resolve: Callable[[Any, Any], bytes | None] = self._resolve
        self.missed = False
        self.kid: Any = None
        self.issuer_did: Any = None

    def _resolve(self, kid: Any, issuer_did: Any) -> bytes | None:
        hit = self.judges.warm_entry(kid, issuer_did)
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


def _directly(direct: Direct, request: Request) -> PassportVerdict | None:
    # The warm path: no object made, no callback.
    try:
        verdict = request.judge(direct.keys, direct.revoked, request.require_revocation_check)
    except TypeError:  # a kid or issuer DID that is no dict key: the resolver's case
        return None
    return verdict if _answers_directly(verdict, direct) else None


def _first_pass(
    judges: Judges, idle: list[Probe], request: Request
) -> tuple[PassportVerdict, Steps[PassportVerdict] | None]:
    """The verdict from what is held, and the steps still to take (None: it is final)."""
    try:
        probe = idle.pop()
    except IndexError:
        probe = Probe(judges)
    probe.missed = False
    try:
        verdict = request.judge(probe.resolve, probe.crl, request.require_revocation_check)
        missed, kid, issuer_did = probe.missed, probe.kid, probe.issuer_did
    finally:
        probe.kid = probe.issuer_did = None
        if len(idle) < _IDLE_PROBES:
            idle.append(probe)
    if not missed:
        return verdict, None  # decided before the key, or with a warm kid
    return verdict, _rest(judges, request, kid, issuer_did, verdict)


def _rest(
    judges: Judges, request: Request, kid: Any, issuer_did: Any, unresolved: PassportVerdict
) -> Steps[PassportVerdict]:
    found = yield from judges.find_key(kid, issuer_did)
    if found is None:
        # No key: either the key set held lacks the kid (the passport's
        # fault), or there is no key set to look in (the issuer's).
        wait = judges.key_set_retry(kid, issuer_did)
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


class Verifier(ABC):
    """``verify`` and ``verify_async``, shared by a trust and a set of trusts.

    What it asks of the trusts behind it goes through their :class:`Judges`
    (one issuer's material, or a set's routing), given at construction.
    """

    def __init__(
        self,
        judges: Judges,
        warm: WarmCache,
        *,
        clock: Callable[[], float],
        timeout: float,
        observer: Observer | None,
    ) -> None:
        self._judges = judges
        self._warm = warm  # its direct material, when it has any
        self._clock = clock
        self._timeout = timeout  # the longest one verification waits on the network, real seconds
        self._observer = observer  # told every verdict
        self._timed = getattr(observer, "verified_in", None)  # an observer told each full check's duration
        #: The verdicts a repeated credential gets again: ``memo.find`` is what
        #: a door asks first (a verdict found counts as a verification).
        self.memo = VerdictMemo(observer)
        self._idle: list[Probe] = []

    @abstractmethod
    def close(self, wait: float = 0.0) -> bool:
        """Stop fetching; see the trusts' own."""

    def start(
        self,
        credential: str,
        required_scope: str | None = None,
        expected_agent_did: str | None = None,
        require_revocation_check: bool = True,
        now: datetime | None = None,
        leeway: float = 0.0,
    ) -> PassportVerdict | Request:
        """The first half of :meth:`verify`: the verdict its memo holds, else the
        :class:`Request` that :meth:`complete` (or ``complete_async``) judges.

        Never decodes, fetches or waits; a verdict recalled counts as a
        verification (the observer sees it).
        """
        if now is not None or leeway:
            # A verdict for another moment is never looked up nor kept.
            if leeway:
                now = _earlier(now, leeway)
            return _request((credential, required_scope, expected_agent_did, require_revocation_check, now, -1))
        memo = self.memo
        if type(credential) is str:  # the memo also finds bytes, which verify_passport refuses
            verdict = memo.find(credential, required_scope, expected_agent_did, require_revocation_check)
            if verdict is not None:
                return verdict
            generation = memo.generation
        else:
            generation = -1
        return _request((credential, required_scope, expected_agent_did, require_revocation_check, None, generation))

    def request(self, credential: str, required_scope: str | None = None) -> Request:
        """The request :meth:`start` makes when its memo misses, for a door that
        asked :meth:`recall` itself (with the header's bytes) and missed."""
        return _request((credential, required_scope, None, True, None, self.memo.generation))

    def complete(self, request: Request) -> PassportVerdict:
        """The second half of :meth:`verify`: judge a request :meth:`start` made, blocking."""
        began = time.perf_counter() if self._timed is not None else 0.0
        verdict, rest = self._judge(request)
        if rest is not None:
            verdict = wait_sync(rest, self._timeout)
        return self._end(request, verdict, began)

    async def complete_async(self, request: Request) -> PassportVerdict:
        """:meth:`complete` for event loops: network waits off the loop."""
        began = time.perf_counter() if self._timed is not None else 0.0
        verdict, rest = self._judge(request)
        if rest is not None:
            verdict = await wait_async(rest, self._timeout)
        return self._end(request, verdict, began)

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
        return self.memo.find(credential, required_scope, expected_agent_did, require_revocation_check)

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
        asked = self.start(credential, required_scope, expected_agent_did, require_revocation_check, now, leeway)
        if isinstance(asked, Request):
            return self.complete(asked)
        return asked

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
        asked = self.start(credential, required_scope, expected_agent_did, require_revocation_check, now, leeway)
        if isinstance(asked, Request):
            return await self.complete_async(asked)
        return asked

    def _judge(self, request: Request) -> tuple[PassportVerdict, Steps[PassportVerdict] | None]:
        """The verdict from what is held, and the steps still to take (None: it is final)."""
        direct = self._warm.direct
        if direct is not None and self._clock() < direct.until:
            verdict = _directly(direct, request)
            if verdict is not None:
                return verdict, None
        return _first_pass(self._judges, self._idle, request)

    def _end(self, request: Request, verdict: PassportVerdict, began: float) -> PassportVerdict:
        # The full check's verdict: told to the observer (timed, when it takes
        # a duration), and kept when the warm material of its kid reached it
        # and nothing changed meanwhile.
        if self._timed is not None:
            self._timed(verdict, time.perf_counter() - began)
        elif self._observer is not None:
            self._observer.verified(verdict)
        if request.generation < 0 or not memoisable(verdict):
            return verdict
        warm = self._judges.warm_entry(verdict.kid, verdict.issuer_did)
        if warm is not None and (warm.bound is None or verdict.issuer_did == warm.bound):
            self.memo.keep(request, verdict, warm.fresh_until, warm.source.clock)
        return verdict

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()
