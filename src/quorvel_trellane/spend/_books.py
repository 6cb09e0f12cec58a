"""The ledger's steps around its store, shared by the blocking and the async drivers.

:class:`Books` keeps what those steps read (the terms reader, the store,
the observer) and makes every decision, so a decision names the books
that made it and only they settle it.
"""

from __future__ import annotations

import logging
from collections.abc import Mapping
from datetime import timedelta
from typing import Final

from quorvel_trellane._internal.observing import Observer
from quorvel_trellane.passport import PassportVerdict
from quorvel_trellane.spend._decision import (
    IDEMPOTENCY_KEY_REUSED,
    SPEND_LIMIT_EXCEEDED,
    SPEND_TERMS_UNSUPPORTED,
    SpendDecision,
    held,
)
from quorvel_trellane.spend._observed import reservation_result
from quorvel_trellane.spend._store import (
    HoldSettledError,
    HoldState,
    Request,
    Reserved,
    Settled,
    Store,
    StoreValueError,
)
from quorvel_trellane.spend._terms import Terms, TermsReader, check_amount

__all__ = ["Books", "check_settled"]

_LOG: Final = logging.getLogger("quorvel_trellane.spend")


class Books:
    """One ledger's reading of passports and its store: requests in, decisions out."""

    def __init__(self, windows: Mapping[str, timedelta], store: Store, observer: Observer | None) -> None:
        self.terms = TermsReader(windows)
        self.store = store
        self.observer = observer

    # -- the operations, blocking and async --

    def reserve(self, verdict: PassportVerdict, request: Request) -> SpendDecision:
        try:
            return self._decide(verdict, request, self.store.reserve(request))
        except StoreValueError as exc:
            return self._unsupported(verdict, request, exc)

    async def reserve_async(self, verdict: PassportVerdict, request: Request) -> SpendDecision:
        try:
            return self._decide(verdict, request, await self.store.reserve_async(request))
        except StoreValueError as exc:
            return self._unsupported(verdict, request, exc)

    def settle(self, decision: SpendDecision, state: HoldState, amount: int | None) -> None:
        hold, final = self._to_settle(decision, state, amount)
        if hold is not None:
            check_settled(decision.passport_id, state, final, self.store.settle(hold, state, final))

    async def settle_async(self, decision: SpendDecision, state: HoldState, amount: int | None) -> None:
        hold, final = self._to_settle(decision, state, amount)
        if hold is not None:
            check_settled(decision.passport_id, state, final, await self.store.settle_async(hold, state, final))

    def settle_key(self, credential: str, key: str, state: HoldState, amount: int | None) -> bool:
        issuer_did, passport_id = self._budget_of(credential, key, state, amount)
        settled = self.store.settle_key(issuer_did, passport_id, key, state, amount)
        check_settled(passport_id, state, amount, settled)
        return settled is not None

    async def settle_key_async(self, credential: str, key: str, state: HoldState, amount: int | None) -> bool:
        issuer_did, passport_id = self._budget_of(credential, key, state, amount)
        settled = await self.store.settle_key_async(issuer_did, passport_id, key, state, amount)
        check_settled(passport_id, state, amount, settled)
        return settled is not None

    def remaining(self, verdict: PassportVerdict, credential: str, at: int) -> int | None:
        terms = self.terms.read(verdict, credential, False)
        if not isinstance(terms, Terms):
            return None
        return max(0, terms.limit - self.store.spent(terms.issuer_did, terms.passport_id, at, terms.window))

    # -- their steps --

    def request(
        self, verdict: PassportVerdict, credential: str, amount: int, key: str | None, at: int, given: bool
    ) -> Request | SpendDecision:
        """What to ask the store (then :meth:`reserve`), or the decision already reached without it."""
        terms = self.terms.read(verdict, credential, given)
        if type(terms) is Terms:
            return Request(terms.issuer_did, terms.passport_id, key, at, amount, terms.limit, terms.window)
        if terms is None:
            refused = SpendDecision(verdict, None, amount, None, verdict.error_code, verdict.error_message)
        else:
            passport_id, why = terms  # type: ignore[misc]
            refused = SpendDecision(verdict, passport_id, amount, None, SPEND_TERMS_UNSUPPORTED, why)
        if self.observer is not None:  # refused before the store
            self.observer.reserved(refused.error_code or "error", "", None, 0.0)
        return refused

    def _decide(self, verdict: PassportVerdict, request: Request, reserved: Reserved) -> SpendDecision:
        """The decision of the store's answer."""
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
            return held(
                verdict,
                request.passport_id,
                reserved.amount,
                reserved.remaining,
                reserved.replayed,
                reserved.hold,
                self,
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

    def _unsupported(self, verdict: PassportVerdict, request: Request, why: Exception) -> SpendDecision:
        """The decision when the store cannot keep what the passport names."""
        return SpendDecision(
            verdict,
            request.passport_id,
            request.amount,
            error_code=SPEND_TERMS_UNSUPPORTED,
            error_message=f"the store cannot keep this passport's budget: {why}",
        )

    def _to_settle(self, decision: SpendDecision, state: HoldState, amount: int | None) -> tuple[object, int]:
        """The hold of a decision these books made (None: it holds nothing) and its final amount."""
        if not isinstance(decision, SpendDecision):
            raise TypeError(f"expected a SpendDecision, not {type(decision).__name__}")
        hold = decision.held_by(self)
        if state == HoldState.RELEASED:
            return hold, 0
        if hold is None:
            raise ValueError(f"the decision holds nothing to commit ({decision.error_code})")
        if amount is None:
            return hold, decision.amount_microusd
        check_amount(amount)
        if amount > decision.amount_microusd:
            raise ValueError(f"a commit can only lower the held amount: {amount} > {decision.amount_microusd}")
        return hold, amount

    def _budget_of(self, credential: str, key: str, state: HoldState, amount: int | None) -> tuple[str, str]:
        """The issuer DID and passport id a key's hold is kept under, read from the credential unverified."""
        if not isinstance(key, str) or not key:
            raise TypeError(f"key must be a non-empty str, not {key!r}")
        if state == HoldState.COMMITTED and amount is not None:  # None: the amount held
            check_amount(amount)
        budget = self.terms.budget_of(credential)
        if budget is None:
            raise ValueError("the credential names no issuer DID and passport id to find a hold under")
        return budget


def check_settled(passport_id: str | None, state: HoldState, amount: int | None, settled: Settled | None) -> None:
    """Raise if the store found the hold settled otherwise than asked (None: the amount held)."""
    if settled is not None and settled.fresh:
        if _LOG.isEnabledFor(logging.DEBUG):
            name = state.name.lower()
            _LOG.debug(
                "hold %s at %d micro-USD", name, settled.amount, extra={"passport_id": passport_id, "outcome": name}
            )
        return
    # None: the hold was pruned, having left every window; nothing to do.
    if settled is None:
        return
    if amount is None:
        amount = settled.requested
    if settled.state == state and settled.amount == amount:
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
