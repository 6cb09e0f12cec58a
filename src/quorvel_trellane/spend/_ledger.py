"""The ledger: verifies through a trust, then holds, commits and releases on a store."""

from __future__ import annotations

import logging
import os
from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import datetime, timedelta
from types import TracebackType
from typing import Final, Self

from quorvel_trellane._internal.observing import Observer
from quorvel_trellane.passport import PassportVerdict
from quorvel_trellane.spend._observed import ObservedStore, reservation_result
from quorvel_trellane.spend._store import (
    HoldSettledError,
    HoldState,
    Request,
    Reserved,
    Settled,
    Store,
    StoreValueError,
)
from quorvel_trellane.spend._terms import (
    Terms,
    TermsReader,
    Trust,
    at_of,
    check_amount,
    check_reserve,
    copy_windows,
    given_verdict,
)

__all__ = [
    "IDEMPOTENCY_KEY_REUSED",
    "SPEND_LIMIT_EXCEEDED",
    "SPEND_TERMS_UNSUPPORTED",
    "SpendDecision",
    "SpendLedger",
]

#: The amount would take the window's spend past the passport's bound.
SPEND_LIMIT_EXCEEDED: Final = "SPEND_LIMIT_EXCEEDED"
#: The passport has no bound this ledger can read (or the store can keep).
SPEND_TERMS_UNSUPPORTED: Final = "SPEND_TERMS_UNSUPPORTED"
#: The key already holds another amount for this passport.
IDEMPOTENCY_KEY_REUSED: Final = "IDEMPOTENCY_KEY_REUSED"
_LOG: Final = logging.getLogger("quorvel_trellane.spend")


@dataclass(frozen=True)
class SpendDecision:
    """The answer of :meth:`SpendLedger.reserve`: true only when the amount is held.

    ``remaining_microusd`` is what is left in the window after this hold
    (or, refused for the bound, what is left without it); None when not
    known. ``error_code`` is the verdict's code, "SPEND_LIMIT_EXCEEDED",
    "SPEND_TERMS_UNSUPPORTED" or "IDEMPOTENCY_KEY_REUSED"; None on success.
    ``replayed`` is True when the key's hold was already held or committed:
    this reservation found it and held nothing new, so whoever made the
    hold settles it (a caller that did not make it should not release it).
    """

    verdict: PassportVerdict
    passport_id: str | None
    amount_microusd: int
    remaining_microusd: int | None = None
    error_code: str | None = None
    error_message: str | None = None
    replayed: bool = field(default=False, compare=False)
    # The hold in its store, and the ledger that made it: only that ledger
    # settles it.
    _hold: int | None = field(default=None, repr=False, compare=False)
    _ledger: object = field(default=None, repr=False, compare=False)

    def __bool__(self) -> bool:
        return self._hold is not None


class SpendLedger:
    """Spend budgets per passport, in SQLite or PostgreSQL.

    ``trust`` verifies every credential before anything is charged (an
    ``IssuerTrust`` or ``TrustedIssuers``). ``url`` names the store: a file
    path or "sqlite:///path" (relative) or "sqlite:////path" (absolute) for
    SQLite, "postgresql://..." for PostgreSQL (``pip install
    'quorvel-trellane[postgres]'``). ``windows`` maps spend window texts the
    ledger cannot read (such as "daily") to their length. ``timeout`` is how
    long, in seconds, an operation waits for the store's lock or a pooled
    connection; ``pool_size`` bounds the PostgreSQL connections.
    ``observer`` (``quorvel_trellane.observe``) counts every reservation and
    settlement and times each store operation.
    """

    def __init__(
        self,
        trust: Trust,
        url: str | os.PathLike[str],
        *,
        windows: Mapping[str, timedelta] | None = None,
        timeout: float = 10.0,
        pool_size: int = 10,
        observer: Observer | None = None,
    ) -> None:
        if not callable(getattr(trust, "verify", None)):
            raise TypeError(f"trust must have a verify method (an IssuerTrust or TrustedIssuers), not {trust!r}")
        self.trust = trust
        self.windows = copy_windows(windows)
        if not (isinstance(timeout, (int, float)) and not isinstance(timeout, bool) and timeout > 0):
            raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
        if type(pool_size) is not int or pool_size < 1:
            raise ValueError(f"pool_size must be a positive int, not {pool_size!r}")
        if observer is not None and not isinstance(observer, Observer):
            raise TypeError(f"observer must be an Observer (quorvel_trellane.observe), not {observer!r}")
        self._observer = observer
        self._terms = TermsReader(self.windows)
        self._store = _open_store(url, timeout, pool_size)
        if observer is not None:
            self._store = ObservedStore(self._store, observer)

    # -- the three operations --

    def reserve(
        self,
        credential: str,
        amount_microusd: int,
        *,
        key: str | None = None,
        required_scope: str | None = None,
        expected_agent_did: str | None = None,
        now: datetime | None = None,
        leeway: float = 0.0,
        verdict: PassportVerdict | None = None,
    ) -> SpendDecision:
        """Verify ``credential`` and hold ``amount_microusd`` against its budget.

        The keyword arguments are ``verify``'s; ``now`` also dates the hold.
        ``verdict`` is one a trust reached for this very ``credential`` a
        moment ago (a middleware's, say): the ledger then holds against it
        without verifying again, and takes none of ``verify``'s options (a
        verdict naming another issuer, agent, kid or expiry raises ``ValueError``).
        A ``key`` already used for this passport returns the first decision
        and charges nothing while its hold is held or committed, when the
        amount is the same; for another amount the decision is false with
        "IDEMPOTENCY_KEY_REUSED". A key whose hold was released is tried
        afresh: held anew under the bound, or refused. The old decision
        then stays released.
        """
        at = check_reserve(amount_microusd, key, now)
        verdict = given_verdict(verdict, required_scope, expected_agent_did, leeway)
        if verdict is None:
            verdict = self.trust.verify(
                credential,
                required_scope=required_scope,
                expected_agent_did=expected_agent_did,
                now=now,
                leeway=leeway,
            )
        request = _request(self, verdict, credential, amount_microusd, key, at)
        if isinstance(request, SpendDecision):
            return request
        try:
            reserved = self._store.reserve(request)
        except StoreValueError as exc:
            return _unsupported(verdict, request, exc)
        return _decide(self, verdict, request, reserved)

    def commit(self, decision: SpendDecision, *, amount_microusd: int | None = None) -> None:
        """Confirm the payment of ``decision``'s hold, at ``amount_microusd`` when smaller.

        Idempotent: committing again at the same amount does nothing. Raises
        :class:`HoldSettledError` for a hold already released or committed
        at another amount, and ValueError for an amount above the hold. A
        hold already pruned (it left the window) is not an error.
        """
        hold, final = _to_commit(self, decision, amount_microusd)
        _after(decision, HoldState.COMMITTED, final, self._store.settle(hold, HoldState.COMMITTED, final))

    def release(self, decision: SpendDecision) -> None:
        """Free ``decision``'s hold: the payment did not happen.

        Idempotent; releasing a refused decision does nothing. Raises
        :class:`HoldSettledError` for a committed hold.
        """
        hold = _held(self, decision)
        if hold is not None:
            _after(decision, HoldState.RELEASED, 0, self._store.settle(hold, HoldState.RELEASED, 0))

    def remaining(self, credential: str, *, now: datetime | None = None) -> int | None:
        """What is left of the credential's bound in the window ending at ``now``.

        None for a passport that does not verify, has no bound, or has a
        bound the ledger cannot read.
        """
        at = at_of(now)
        terms = self._terms.read(self.trust.verify(credential, now=now), credential)
        if not isinstance(terms, Terms):
            return None
        return max(0, terms.limit - self._store.spent(terms.issuer_did, terms.passport_id, at, terms.window))

    # -- async twins --

    async def reserve_async(
        self,
        credential: str,
        amount_microusd: int,
        *,
        key: str | None = None,
        required_scope: str | None = None,
        expected_agent_did: str | None = None,
        now: datetime | None = None,
        leeway: float = 0.0,
        verdict: PassportVerdict | None = None,
    ) -> SpendDecision:
        """:meth:`reserve` for event loops: the event loop is never blocked.

        PostgreSQL is used through an async connection pool on the loop;
        SQLite on a worker thread."""
        at = check_reserve(amount_microusd, key, now)
        verdict = given_verdict(verdict, required_scope, expected_agent_did, leeway)
        if verdict is None:
            verdict = await self.trust.verify_async(
                credential,
                required_scope=required_scope,
                expected_agent_did=expected_agent_did,
                now=now,
                leeway=leeway,
            )
        request = _request(self, verdict, credential, amount_microusd, key, at)
        if isinstance(request, SpendDecision):
            return request
        try:
            reserved = await self._store.reserve_async(request)
        except StoreValueError as exc:
            return _unsupported(verdict, request, exc)
        return _decide(self, verdict, request, reserved)

    async def commit_async(self, decision: SpendDecision, *, amount_microusd: int | None = None) -> None:
        """:meth:`commit` for event loops."""
        hold, final = _to_commit(self, decision, amount_microusd)
        settled = await self._store.settle_async(hold, HoldState.COMMITTED, final)
        _after(decision, HoldState.COMMITTED, final, settled)

    async def release_async(self, decision: SpendDecision) -> None:
        """:meth:`release` for event loops."""
        hold = _held(self, decision)
        if hold is not None:
            _after(decision, HoldState.RELEASED, 0, await self._store.settle_async(hold, HoldState.RELEASED, 0))

    # -- lifecycle --

    def close(self) -> None:
        """Close the store's connections; the ledger is unusable afterwards."""
        self._store.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"SpendLedger({self.trust!r}, {self._store!r})"

    # -- the steps both drivers share --


def _request(
    ledger: SpendLedger, verdict: PassportVerdict, credential: str, amount: int, key: str | None, at: int
) -> Request | SpendDecision:
    terms = ledger._terms.read(verdict, credential)
    if not isinstance(terms, Terms):
        if terms is None:
            refused = SpendDecision(verdict, None, amount, None, verdict.error_code, verdict.error_message)
        else:
            refused = SpendDecision(verdict, terms[0], amount, None, SPEND_TERMS_UNSUPPORTED, terms[1])
        if ledger._observer is not None:  # refused before the store
            ledger._observer.reserved(refused.error_code or "error", "", None, 0.0)
        return refused
    return Request(terms.issuer_did, terms.passport_id, key, at, amount, terms.limit, terms.window)


def _decide(ledger: SpendLedger, verdict: PassportVerdict, request: Request, reserved: Reserved) -> SpendDecision:
    if _LOG.isEnabledFor(logging.INFO):
        outcome = "refused" if reserved.hold is None else reservation_result(reserved)
        _LOG.log(
            logging.INFO if reserved.hold is None else logging.DEBUG,
            "reservation of %d micro-USD %s",
            request.amount,
            outcome,
            extra={"issuer": request.issuer_did, "passport_id": request.passport_id, "outcome": outcome},
        )
    if reserved.hold is not None:
        return SpendDecision(
            verdict,
            request.passport_id,
            reserved.amount,
            reserved.remaining,
            replayed=reserved.replayed,
            _hold=reserved.hold,
            _ledger=ledger,
        )
    if reserved.reused:
        code = IDEMPOTENCY_KEY_REUSED
        message = (
            f"the key {request.key!r} already holds {reserved.amount} micro-USD for this passport, "
            f"not {request.amount}: a new payment needs a new key"
        )
    else:
        code = SPEND_LIMIT_EXCEEDED
        message = (
            f"{request.amount} micro-USD would take the passport past its bound of "
            f"{request.limit}: {reserved.remaining} left in the window"
        )
    remaining = None if reserved.reused else reserved.remaining
    return SpendDecision(verdict, request.passport_id, request.amount, remaining, code, message)


def _held(ledger: SpendLedger, decision: SpendDecision) -> int | None:
    """The hold of a decision ``ledger`` made (None: it holds nothing)."""
    if not isinstance(decision, SpendDecision):
        raise TypeError(f"expected a SpendDecision, not {type(decision).__name__}")
    if decision and decision._ledger is not ledger:
        raise ValueError("the decision was made by another ledger")
    return decision._hold


def _to_commit(ledger: SpendLedger, decision: SpendDecision, amount: int | None) -> tuple[int, int]:
    hold = _held(ledger, decision)
    if hold is None:
        raise ValueError(f"the decision holds nothing to commit ({decision.error_code})")
    if amount is None:
        return hold, decision.amount_microusd
    check_amount(amount)
    if amount > decision.amount_microusd:
        raise ValueError(f"a commit can only lower the held amount: {amount} > {decision.amount_microusd}")
    return hold, amount


def _unsupported(verdict: PassportVerdict, request: Request, exc: StoreValueError) -> SpendDecision:
    return SpendDecision(
        verdict,
        request.passport_id,
        request.amount,
        error_code=SPEND_TERMS_UNSUPPORTED,
        error_message=f"the store cannot keep this passport's budget: {exc}",
    )


def _after(decision: SpendDecision, state: HoldState, amount: int, settled: Settled | None) -> None:
    if settled is not None and settled.fresh:
        name = state.name.lower()
        _LOG.debug(
            "hold %s at %d micro-USD", name, amount, extra={"passport_id": decision.passport_id, "outcome": name}
        )
    # None: the hold was pruned, having left every window; nothing to do.
    if settled is None or (settled.state == state and settled.amount == amount):
        return
    if settled.state == HoldState.HELD:
        # The store refused a final amount above what it holds.
        raise ValueError(f"a commit can only lower the held amount: {amount} > {settled.requested}")
    was = HoldState(settled.state).name.lower()
    if settled.state == state:
        message = f"the hold was already {was} at {settled.amount} micro-USD, not {amount}"
    else:
        message = f"the hold was already {was}"
    raise HoldSettledError(message, was, settled.amount)


def _open_store(url: str | os.PathLike[str], timeout: float, pool_size: int) -> Store:
    if isinstance(url, os.PathLike):
        url = os.fspath(url)
    if not isinstance(url, str) or not url:
        raise TypeError(f"url must be a non-empty str or a path, not {url!r}")
    scheme, sep, rest = url.partition("://")
    if not sep:
        scheme, rest = "sqlite", "/" + url
    if scheme == "sqlite":
        if not rest.startswith("/") or rest == "/":
            raise ValueError(f"a SQLite url is sqlite:///relative/path or sqlite:////absolute/path, not {url!r}")
        from quorvel_trellane.spend._sqlite import SqliteStore

        return SqliteStore(rest[1:], timeout)
    if scheme in ("postgresql", "postgres"):
        from quorvel_trellane.spend._postgres import PostgresStore

        return PostgresStore(url, timeout, pool_size)
    raise ValueError(f"unknown spend store {scheme!r} in {url!r}: use sqlite:/// or postgresql://")
