"""x402's settlement hooks for the paywall: which passport's payment is
settling, read from the request, and what becomes of its hold.

Imported through :mod:`quorvel_trellane.x402`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from x402 import SettleContext, SettleFailureContext, SettleResultContext, x402ResourceServer

    from quorvel_trellane.x402._book import Flight, PaymentBook


class SettlementHooks:
    """The hooks registered on x402's resource server: each finds the
    payment's flight in ``book`` by the passport in the ``header`` request
    header, and tells the book what x402 did with it."""

    def __init__(self, book: PaymentBook, header: str) -> None:
        self._book = book
        self._header = header

    def register(self, server: x402ResourceServer) -> None:
        server.on_before_settle(self.before_settle)
        server.on_after_settle(self.after_settle)
        server.on_settle_failure(self.settle_failed)

    def _flight(self, context: SettleContext | SettleResultContext | SettleFailureContext) -> Flight | None:
        request = getattr(context.transport_context, "request", None)
        adapter = getattr(request, "adapter", None)
        if adapter is None:
            return None  # settled outside an HTTP request of this paywall
        return self._book.find(adapter.get_header(self._header), context.payment_payload)

    async def before_settle(self, context: SettleContext) -> None:
        flight = self._flight(context)
        if flight is not None:
            flight.attempted = True

    async def settle_failed(self, context: SettleFailureContext) -> None:
        flight = self._flight(context)
        if flight is not None:
            self._book.failed(flight, context.error)

    async def after_settle(self, context: SettleResultContext) -> None:
        """The money moved: the hold is committed."""
        flight = self._flight(context)
        if flight is not None:
            await self._book.settled(flight, context.requirements)  # type: ignore[arg-type]
