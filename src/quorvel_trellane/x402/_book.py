"""The paywall's payments in flight: one hold per passport and payment, and
what becomes of it once x402 has tried to settle the payment.

Imported through :mod:`quorvel_trellane.x402`.
"""

from __future__ import annotations

import logging
from collections.abc import Awaitable, Callable
from dataclasses import dataclass, field
from datetime import UTC, datetime
from enum import Enum
from typing import TYPE_CHECKING, Any, Final, NamedTuple

from quorvel_trellane.spend import SPEND_LIMIT_EXCEEDED, HoldSettledError
from quorvel_trellane.x402._amounts import (
    PAYMENT_KEY_REUSED,
    Stablecoins,
    identifier_key,
    payment_key,
    signature_key,
)

if TYPE_CHECKING:
    from x402 import PaymentPayload, PaymentRequirements

    from quorvel_trellane.spend import SpendDecision, SpendLedger

logger = logging.getLogger("quorvel_trellane.x402")

# Failed settlement answers that say nothing final: the transfer was sent
# but not confirmed, or the facilitator itself met an error.
_UNCERTAIN_REASONS: Final = frozenset({"settlement_pending", "unexpected_settle_error"})
# Pending payments remembered here, so that a retry failing here never
# releases one: the oldest are forgotten past this many.
_PENDING_KEPT: Final = 4096


@dataclass(frozen=True, slots=True)
class PendingPayment:
    """A payment whose settlement has no final answer: its hold keeps counting.

    ``credential`` is the passport it was reserved under, ``key`` its
    :func:`payment_key`, ``amount_microusd`` what is held, ``at`` when it
    was held and ``reason`` the settlement's last word ("settlement_pending",
    or "no answer: TimeoutError" for an error on the way). Settle it with
    :meth:`PassportPaywall.commit_pending` or :meth:`PassportPaywall.release_pending`
    once the facilitator knows; left alone, it counts until it leaves the
    passport's window.
    """

    credential: str = field(repr=False)
    key: str
    amount_microusd: int
    at: datetime
    reason: str


class Refusal(NamedTuple):
    """Why a payment is not held: the code and message of a 403 (or of ``status``)."""

    code: str
    message: str
    status: int = 403


class Committed(Enum):
    """What a commit found."""

    COUNTED = "counted"
    RELEASED_MEANWHILE = "released meanwhile"


class Flight:
    """One payment of one passport, in flight in one or more requests here."""

    __slots__ = (
        "credential",
        "key",
        "signature",
        "decision",
        "at",
        "requests",
        "attempted",
        "settled",
        "refused",
        "uncertain",
        "owned",
    )

    def __init__(self, credential: str, key: str, signature: str, decision: SpendDecision, at: datetime) -> None:
        self.credential = credential
        self.key = key
        self.signature = signature
        self.decision = decision
        self.at = at
        self.requests = 0
        self.attempted = False  # x402 began to settle it
        self.settled = False
        self.refused = False  # the facilitator answered that it was not made
        self.uncertain: str | None = None  # why its outcome is not final
        # False when the reservation found the payment's hold already made,
        # by a request on another server (or one here that ended): that
        # request settles it, and a failure here never releases it.
        self.owned = not decision.replayed


class PaymentBook:
    """The payments in flight on this server, by passport and payment.

    A hold is released only when its payment is known not to have happened:
    refused before settling, the handler failing before it, or a facilitator
    answer that the payment was not made. A pending or unknown outcome keeps
    the hold and is reported as a :class:`PendingPayment`.
    """

    def __init__(
        self,
        ledger: SpendLedger,
        stablecoins: Stablecoins,
        required_scope: str | None,
        on_pending: Callable[[PendingPayment], object] | None,
    ) -> None:
        self.ledger = ledger
        self.stablecoins = stablecoins
        self.required_scope = required_scope
        self.on_pending = on_pending
        self._flights: dict[tuple[str, str], Flight] = {}
        # Each signature in flight here, with the key of the terms it is
        # offered for and the requests carrying it.
        self._signatures: dict[str, tuple[str, int]] = {}
        # Payments whose outcome was not final: a later request carrying
        # one never releases its hold, whatever becomes of that request.
        self._pending: dict[tuple[str, str], PendingPayment] = {}

    async def open(
        self, credential: str, payment: PaymentPayload, route: str, amount: int, identifier: str | None = None
    ) -> Flight | Refusal:
        """Hold ``amount`` for a request carrying ``payment`` (under its
        payment ``identifier`` when the route takes one), or say why not."""
        key = payment_key(payment, route) if identifier is None else identifier_key(identifier)
        signature = signature_key(payment)
        offered = self._signatures.get(signature)
        if offered is not None and offered[0] != key:
            return Refusal(PAYMENT_KEY_REUSED, "this signed payment is in flight here for other terms")
        # Counted before the reservation awaits, so that no other request
        # offers the signature for other terms meanwhile.
        self._signatures[signature] = (key, (offered[1] if offered else 0) + 1)
        at = datetime.now(UTC)
        try:
            decision = await self.ledger.reserve_async(
                credential, amount, key=key, required_scope=self.required_scope, now=at
            )
        except BaseException:
            self._forget(signature)
            raise
        if not decision:
            self._forget(signature)
            return Refusal(decision.error_code or SPEND_LIMIT_EXCEEDED, decision.error_message or "")
        if identifier is not None and decision.replayed:
            # Another payment under an identifier already held or committed:
            # never settled too, whatever became of the first (the ledger
            # refuses another amount for it).
            self._forget(signature)
            message = "a payment under this identifier was made or is in flight: it is not made again"
            return Refusal(PAYMENT_KEY_REUSED, message, 409)
        # Two requests carrying one payment of one passport share its hold.
        flight = self._flights.get((credential, key))
        if flight is None:
            flight = self._flights[credential, key] = Flight(credential, key, signature, decision, at)
        flight.requests += 1
        return flight

    def find(self, credential: str | None, payment: Any) -> Flight | None:
        """The flight of ``payment`` for the passport ``credential``, as x402's hooks see it."""
        if credential is None:
            return None
        try:
            offered = self._signatures.get(signature_key(payment))
        except Exception:
            return None  # not a payment of ours (x402 version 1)
        return None if offered is None else self._flights.get((credential, offered[0]))

    async def settled(self, flight: Flight, requirements: PaymentRequirements) -> None:
        """The money moved: the hold is committed, at the settled amount when lower."""
        if flight.settled:
            return
        flight.settled = True
        self._pending.pop((flight.credential, flight.key), None)
        final = flight.decision.amount_microusd
        try:
            final = min(final, self.stablecoins.price(requirements))
        except ValueError:
            # Settled in an asset this server does not list (UnlistedAsset), or
            # for an amount that is no amount: the hold's amount counts.
            pass
        # Nothing is raised into x402, which would answer a settled payment
        # as failed; a hold that cannot be committed keeps counting until it
        # leaves the window.
        try:
            if await commit(self.ledger, flight.decision, final) is Committed.RELEASED_MEANWHILE:
                await recount(self.ledger, self.required_scope, flight, final)
        except Exception:
            logger.exception("x402: could not commit the hold of settled payment %s", flight.key)

    def failed(self, flight: Flight, error: BaseException) -> None:
        """x402 reports a failed settlement: an answer, or an error meanwhile."""
        # x402 hands a facilitator's failed answer over as a plain Exception
        # carrying its reason (or a SettleError); anything else was raised
        # on the way, and the transfer may have happened all the same.
        from x402 import SettleError

        if isinstance(error, SettleError):
            reason: str | None = error.error_reason
        else:
            reason = str(error) if type(error) is Exception else None
        if reason is None or reason in _UNCERTAIN_REASONS:
            flight.uncertain = reason or f"no answer: {type(error).__name__}"
        else:
            flight.refused = True

    async def close(self, flight: Flight) -> None:
        """One request carrying ``flight`` ended."""
        if flight.attempted and not flight.settled and not flight.refused and flight.uncertain is None:
            flight.uncertain = "no answer"  # x402 began to settle it and reported nothing
        flight.requests -= 1
        self._forget(flight.signature)
        if flight.requests:
            return
        del self._flights[flight.credential, flight.key]
        earlier = self._pending.get((flight.credential, flight.key))
        if flight.settled:
            return
        if flight.uncertain is not None or earlier is not None:
            await self._report(flight, flight.uncertain or (earlier.reason if earlier else ""))
            return
        if not flight.owned:
            return  # another request's hold: its outcome, pending or final, is that request's to settle
        await release(self.ledger, flight.decision)

    def pending_payments(self) -> tuple[PendingPayment, ...]:  # read when scraped, on any thread: one C call
        return tuple(self._pending.values())

    # -- settling later, by the payment's key --

    async def commit_pending(self, pending: PendingPayment, amount_microusd: int | None) -> bool:
        # By the payment's key, without verifying: the issuer may be down by now.
        try:
            counted = await self.ledger.commit_key_async(
                pending.credential, pending.key, amount_microusd=amount_microusd
            )
        except HoldSettledError as exc:
            counted = exc.state != "released"  # committed at another amount: counted already
        if not counted:
            decision = await held_anew(self.ledger, self.required_scope, pending)
            if not decision:
                logger.error("x402: pending payment %s could not be counted: %s", pending.key, decision.error_message)
                return False
            amount = decision.amount_microusd if amount_microusd is None else amount_microusd
            if await commit(self.ledger, decision, amount) is Committed.RELEASED_MEANWHILE:
                return False
        self._pending.pop((pending.credential, pending.key), None)
        return True

    async def release_pending(self, pending: PendingPayment) -> None:
        # By the payment's key, without verifying: an issuer outage never keeps
        # the money held. A store that cannot be reached raises, and the
        # payment stays pending; a hold already gone leaves nothing counted.
        await self.ledger.release_key_async(pending.credential, pending.key)
        self._pending.pop((pending.credential, pending.key), None)

    async def _report(self, flight: Flight, reason: str) -> None:
        pending = PendingPayment(flight.credential, flight.key, flight.decision.amount_microusd, flight.at, reason)
        self._pending[flight.credential, flight.key] = pending
        if len(self._pending) > _PENDING_KEPT:
            del self._pending[next(iter(self._pending))]  # the oldest: its hold still counts in the ledger
        logger.warning(
            "x402: payment %s of passport %s has no final settlement (%s); its hold keeps counting",
            flight.key,
            flight.decision.passport_id,
            reason,
        )
        if self.on_pending is None:
            return
        try:
            result = self.on_pending(pending)
            if isinstance(result, Awaitable):
                await result
        except Exception:
            logger.exception("x402: the on_pending callback failed for payment %s", flight.key)

    def _forget(self, signature: str) -> None:
        key, requests = self._signatures[signature]
        if requests > 1:
            self._signatures[signature] = (key, requests - 1)
        else:
            del self._signatures[signature]


async def recount(ledger: SpendLedger, required_scope: str | None, flight: Flight, amount: int) -> None:
    """Count a settled payment whose hold was released meanwhile.

    Another server carrying the same payment may have released the hold
    (its request failed) while this one settled it. The money has moved:
    the payment's key, released, is reserved again, which holds anew (or
    finds the hold a request made meanwhile), and that hold is committed.
    """
    again = await ledger.reserve_async(flight.credential, amount, key=flight.key, required_scope=required_scope)
    if again:
        await commit(ledger, again, min(amount, again.amount_microusd))
    else:
        logger.error("x402: settled payment %s could not be counted: %s", flight.key, again.error_message)


async def held_anew(ledger: SpendLedger, required_scope: str | None, pending: PendingPayment) -> SpendDecision:
    """A pending payment's hold, released or pruned meanwhile, held again dated as it was (verified)."""
    return await ledger.reserve_async(
        pending.credential, pending.amount_microusd, key=pending.key, required_scope=required_scope, now=pending.at
    )


async def commit(ledger: SpendLedger, decision: SpendDecision, amount: int) -> Committed:
    """Commit a hold, and say whether it was released meanwhile."""
    try:
        await ledger.commit_async(decision, amount_microusd=amount)
    except HoldSettledError as exc:
        # Committed at another amount: counted already.
        return Committed.RELEASED_MEANWHILE if exc.state == "released" else Committed.COUNTED
    return Committed.COUNTED


async def release(ledger: SpendLedger, decision: SpendDecision) -> None:
    """Release a hold, unless it was committed meanwhile; never raises."""
    try:
        await ledger.release_async(decision)
    except HoldSettledError:
        pass  # committed meanwhile, through another server: it stays counted
    except Exception:
        logger.exception("x402: could not release a hold; it counts until it leaves the window")
