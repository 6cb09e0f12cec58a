"""The agent's side of x402: x402's client signs no payment the passport
does not cover.

Imported through :mod:`quorvel_trellane.x402`.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterable, Mapping
from datetime import UTC, datetime, timedelta
from typing import TYPE_CHECKING, Any, Final

from quorvel_trellane.passport import decode_passport
from quorvel_trellane.x402._amounts import (
    PAYMENT_NOT_PRICED,
    SPEND_LIMIT_EXCEEDED,
    Stablecoin,
    Stablecoins,
    as_stablecoins,
    atomic_units,
    usd_text,
)

if TYPE_CHECKING:
    from x402 import SpendControls, x402Client, x402ClientSync
    from x402.schemas import AbortResult, PaymentCreationContext


class PassportBudget:
    """The agent's own passport bound, kept by x402's client before it signs.

    Built from the agent's credential (decoded, not verified: it is the
    agent's own) and the USD stablecoins the agent pays in.
    :meth:`install` gives an ``x402Client`` (or ``x402ClientSync``):

    - spend controls allowing only the listed coins, each capped per
      payment at the passport's whole ``spend_limit_microusd``;
    - a policy keeping only the options in a listed coin whose price fits
      what is left of the bound in the current ``spend_window``;
    - a before-payment hook that counts the chosen payment against the
      window, under a lock, or aborts it with "SPEND_LIMIT_EXCEEDED".

    Every signed payment counts, whatever the server does with it: a signed
    payment can still be settled later, so only leaving the window frees it.
    A clock that steps back or jumps ahead frees nothing for good: a payment
    is dated no earlier than the one before it, and is forgotten only on a
    reading less than a window after the previous one, so a step undone
    counts it again.
    The count lives in this object: one budget per passport per process
    (several processes spending one passport each count only their own
    payments; the relying parties' ledger still holds the bound). ``windows`` maps window texts the ledger cannot read to their
    length, as for the ledger; ``clock`` returns the current UTC time (by
    default: when the budget was made plus the time elapsed since on the
    monotonic clock, so that no step of the wall clock frees anything).

    Raises ValueError for a passport without a readable bound: such an
    agent pays nothing.
    """

    def __init__(
        self,
        credential: str,
        stablecoins: Stablecoins | Iterable[Stablecoin],
        *,
        windows: Mapping[str, timedelta] | None = None,
        clock: Callable[[], datetime] | None = None,
    ) -> None:
        payload = decode_passport(credential).payload
        limit = payload.get("spend_limit_microusd")
        if type(limit) is not int or limit < 0:
            raise ValueError(f"the passport's spend_limit_microusd is not a non-negative integer: {limit!r}")
        self.limit_microusd: Final = limit
        self.window: Final = _window(payload.get("spend_window"), windows)
        self.stablecoins = as_stablecoins(stablecoins)
        self._clock = clock or _elapsed_since(datetime.now(UTC))
        self._lock = threading.Lock()
        self._spent: list[tuple[datetime, int]] = []
        self._last: datetime | None = None

    def remaining(self) -> int:
        """What is left of the bound in the window ending now."""
        with self._lock:
            return max(0, self.limit_microusd - self._spent_now(self._read()))

    def spend_controls(self) -> SpendControls:
        """x402's spend controls: the listed coins only, each capped at the whole bound."""
        allowed: list[Any] = [
            {
                "network": coin.network,
                "asset": coin.asset,
                "max_amount_per_payment": str(atomic_units(self.limit_microusd, coin.decimals)),
            }
            for coin in self.stablecoins
        ]
        return {"allowed_assets": allowed, "max_amount_per_payment": usd_text(self.limit_microusd)}

    def policy(self, version: int, requirements: list[Any]) -> list[Any]:
        """x402 payment policy: the options in a listed coin that fit the window's remainder."""
        from x402.schemas import NoMatchingRequirementsError

        left = self.remaining()
        kept = [r for r in requirements if (price := self._price(r)) is not None and price <= left]
        if not kept:
            raise NoMatchingRequirementsError(
                f"no payment option fits the passport's spend bound: {left} micro-USD left in its window"
            )
        return kept

    def before_payment_creation(self, context: PaymentCreationContext) -> AbortResult | None:
        """x402 hook: count the chosen payment against the window, or abort it."""
        from x402 import AbortResult

        price = self._price(context.selected_requirements)
        if price is None:
            return AbortResult(reason=PAYMENT_NOT_PRICED, message="the payment is not in a listed USD stablecoin")
        with self._lock:
            now = self._read()
            left = max(0, self.limit_microusd - self._spent_now(now))
            if price > left:
                return AbortResult(
                    reason=SPEND_LIMIT_EXCEEDED,
                    message=f"{price} micro-USD exceeds the {left} left in the passport's spend window",
                )
            # Dated no earlier than the last payment: one signed while the
            # clock is behind is not forgotten when it comes back.
            self._spent.append((max(now, self._spent[-1][0]) if self._spent else now, price))
        return None

    def install(self, client: x402Client | x402ClientSync) -> None:
        """Set the spend controls, the policy and the hook on an x402 client."""
        client.set_spend_controls(self.spend_controls())
        client.register_policy(self.policy)
        client.on_before_payment_creation(self.before_payment_creation)

    def _price(self, requirement: Any) -> int | None:
        try:
            return self.stablecoins.price(requirement)
        except (ValueError, AttributeError):
            return None  # unlisted, or an x402 version 1 requirement

    def _read(self) -> datetime:
        """The clock, and whether the payments out of its window may be forgotten."""
        now = self._clock()
        last, self._last = self._last, now
        if self.window is not None and last is not None and last <= now <= last + self.window:
            # A step back, or forward by more than a window, may be undone
            # by the next reading: only a step within the window forgets.
            start = now - self.window
            self._spent = [(at, amount) for at, amount in self._spent if at > start]
        return now

    def _spent_now(self, now: datetime) -> int:
        if self.window is None:
            # A bound for the passport's whole life: one running total.
            self._spent[:] = [(now, sum(amount for _, amount in self._spent))] if self._spent else []
            return self._spent[0][1] if self._spent else 0
        start = now - self.window
        return sum(amount for at, amount in self._spent if at > start)

    def __repr__(self) -> str:
        return f"PassportBudget(limit_microusd={self.limit_microusd}, window={self.window!r})"


def _elapsed_since(start: datetime) -> Callable[[], datetime]:
    origin = time.monotonic()
    return lambda: start + timedelta(seconds=time.monotonic() - origin)


def _window(text: object, windows: Mapping[str, timedelta] | None) -> timedelta | None:
    """The passport's window as the ledger reads it; None for its whole life."""
    from quorvel_trellane.spend import parse_window

    if text is None:
        return None
    if isinstance(text, str):
        if windows and text in windows:
            return windows[text]
        try:
            return parse_window(text)
        except ValueError:
            pass
    raise ValueError(f"the passport's spend_window cannot be read: {text!r}")
