"""The relying party's side of x402: the passport, then the budget, then
x402's own payment middleware.

Imported through :mod:`quorvel_trellane.x402`.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, MutableMapping
from typing import TYPE_CHECKING, Any

from quorvel_trellane._gate import Answer, Gate, scan_headers, send_answer, with_verdict
from quorvel_trellane._internal.observing import Observer, PaymentsObserver, checked_observer
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict
from quorvel_trellane.x402._amounts import (
    PAYMENT_HEADER_REPEATED,
    PAYMENT_NOT_PRICED,
    Stablecoin,
    Stablecoins,
    as_stablecoins,
    payment_identifier,
)
from quorvel_trellane.x402._book import Flight, PaymentBook, PendingPayment, Refusal
from quorvel_trellane.x402._challenge import challenge_checked, forbidden
from quorvel_trellane.x402._declare import PAYMENT_HEADERS, DeclaredX402, IdentifiedRoutes, passport_declaration
from quorvel_trellane.x402._hooks import SettlementHooks

if TYPE_CHECKING:
    from x402 import x402ResourceServer
    from x402.http import HTTPRequestContext, RoutesConfig, x402HTTPResourceServer

    from quorvel_trellane.asgi import ASGIApp, Receive, Scope, Send
    from quorvel_trellane.spend import SpendLedger


class PassportPaywall:
    """x402's payment middleware behind a passport check and a spend budget (ASGI).

    For a request to a route in ``routes`` (x402's own route table; a HEAD
    request is priced and checked as its GET), in order:

    0. Without the ``header`` request header: x402's 402 challenge,
       declaring the passport in ``extensions["agent-passport"]``
       (``header``, ``scopes`` and, when the trust binds every issuer to its
       DID, ``issuers``); with a payment, the passport middleware's 401 with
       that challenge in its body (``"payment_required"``), nothing held or
       settled. The handler never runs.
    1. The passport in the ``header`` request header is verified with the
       ledger's trust and ``required_scope``; without a valid one the answer
       is the passport middleware's own: 401 (or 403 for another agent or a
       missing scope) with ``{"status", "error_code", "error_message"}``,
       and no payment challenge.
    2. A request carrying the payment header ("PAYMENT-SIGNATURE" or
       "X-PAYMENT") more than once, in any spelling, is refused with 400
       "PAYMENT_HEADER_REPEATED" before anything is held or settled.
    3. Unpaid, x402 builds its 402 challenge; it is sent only when the
       budget left in the passport's window covers the cheapest option
       priced in a listed stablecoin. Otherwise 403 "SPEND_LIMIT_EXCEEDED"
       (or "SPEND_TERMS_UNSUPPORTED" for a passport without a readable
       bound, "PAYMENT_NOT_PRICED" when no option is in a listed
       stablecoin), so the agent never signs.
    4. Paid, the payment's amount is reserved in ``ledger`` under its
       :func:`payment_key` (the signature, the terms it accepted and the
       route) before x402 verifies and settles it; refused, 403 with the
       decision's code ("PAYMENT_KEY_REUSED" for a signature in flight here
       for other terms). On a route declaring x402's payment-identifier
       extension, a payment's identifier is its key, once per passport:
       another payment under it is neither charged nor settled (409
       "PAYMENT_KEY_REUSED"; 403 "IDEMPOTENCY_KEY_REUSED" for another
       amount) while the first one counts. The hold is committed once settlement succeeds (at
       the settled amount when lower) and released only when the payment is
       known not to have happened: refused before settling, the handler
       failing before it, or a facilitator answer that it was not made. A
       pending or unknown outcome keeps the hold counting and is reported
       to ``on_pending`` (called, or awaited, with a :class:`PendingPayment`)
       and the log; settle it with :meth:`commit_pending` or
       :meth:`release_pending`, or it counts until it leaves the window.

    Other routes, and lifespan and websocket scopes, go to x402's middleware
    untouched. The verdict is stored in ``scope["state"]["agent_passport"]``.
    The hooks that commit, and the extension that declares the passport,
    are registered on ``server`` (an async ``x402ResourceServer``).
    ``observer`` reads the pending payments when scraped.
    """

    def __init__(
        self,
        app: ASGIApp,
        *,
        routes: RoutesConfig,
        server: x402ResourceServer,
        ledger: SpendLedger,
        stablecoins: Stablecoins | Iterable[Stablecoin],
        required_scope: str | None = None,
        header: str = X402_PASSPORT_HEADER,
        on_pending: Callable[[PendingPayment], object] | None = None,
        observer: Observer | None = None,
    ) -> None:
        watcher = checked_observer(observer)  # before anything is registered on the server
        from x402.http import x402HTTPResourceServer

        self.ledger = ledger
        self.stablecoins = as_stablecoins(stablecoins)
        self.required_scope = required_scope
        self._routes = x402HTTPResourceServer(server, routes)
        self._identified = IdentifiedRoutes(server, routes)
        # The passport middleware's admission and refusals; the credential handed on with the verdict.
        self._gate: Gate[Any, Scope] = Gate(trust=ledger.trust, required_scope=required_scope, header=header)
        missing = self._gate.answer(None)
        assert missing is not None  # the paywall's gate is never optional
        declaration = passport_declaration(header, required_scope, ledger.trust)
        self._x402 = DeclaredX402(app, routes, server, declaration, missing)
        self._book = PaymentBook(ledger, self.stablecoins, required_scope, on_pending)
        SettlementHooks(self._book, header).register(server)
        if isinstance(watcher, PaymentsObserver):
            watcher.watch_payments(self._book)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self._x402(scope, receive, send)
            return
        if scope["method"] == "HEAD" and _priced(self._routes, scope, "GET"):
            # Starlette answers HEAD with the GET handler: x402 prices and
            # settles it as that GET, and the server sends no body.
            scope, send = {**scope, "method": "GET"}, _headless(send)
        elif not _priced(self._routes, scope, scope["method"]):
            await self._x402(scope, receive, send)
            return
        found, repeated = scan_headers(scope["headers"], self._gate.header_key)
        if found is None:
            await self._x402.unidentified(scope, receive, send)
            return
        admission = await self._gate.admit_async(found, scope, repeated=repeated)
        if admission.answer is not None:
            await send_answer(send, admission.answer)
            return
        verdict, credential = admission.verdict, admission.text
        assert verdict is not None and credential is not None  # verified
        await self._budgeted(with_verdict(scope, verdict), receive, send, credential, verdict)

    async def commit_pending(self, pending: PendingPayment, *, amount_microusd: int | None = None) -> bool:
        """Count a pending payment the facilitator now reports settled.

        Commits its hold (at ``amount_microusd`` when smaller) by its key,
        unverified; a hold released or pruned meanwhile is held anew, dated
        as it was, and committed. False, and logged, when the ledger cannot
        count it (held anew, the passport must verify, and the bound have room).
        """
        return await self._book.commit_pending(pending, amount_microusd)

    async def release_pending(self, pending: PendingPayment) -> None:
        """Free the hold of a pending payment the facilitator reports not made.

        By its key, unverified: an issuer outage keeps no money held. Raises
        HoldSettledError when the hold was committed meanwhile (it stays
        counted), and the store's error when it cannot be reached (it stays pending).
        """
        await self._book.release_pending(pending)

    async def _budgeted(
        self, scope: Scope, receive: Receive, send: Send, credential: str, verdict: PassportVerdict
    ) -> None:
        """Behind the passport check: the request carries one verified passport."""
        headers = [value for key, value in scope["headers"] if key.lower() in PAYMENT_HEADERS]
        if len(headers) > 1:
            # Servers that keep the client's spelling pass each copy: the
            # paywall would hold one while x402 settles another.
            message = "the request carries the payment header more than once"
            await send_answer(send, Answer(400, Answer.of(verdict.status, PAYMENT_HEADER_REPEATED, message).body))
            return
        payment = _payment(headers[0]) if headers else None
        if payment is None:
            await self._x402(
                scope, receive, challenge_checked(send, self.ledger, self.stablecoins, credential, verdict)
            )
        else:
            await self._paid(scope, receive, send, credential, verdict, payment)

    # -- paid: hold, let x402 verify and settle, then commit, release or keep --

    async def _paid(
        self, scope: Scope, receive: Receive, send: Send, credential: str, verdict: PassportVerdict, payment: Any
    ) -> None:
        from x402 import PaymentPayload

        if not isinstance(payment, PaymentPayload):
            message = "an x402 version 1 payment names no requirement to price"
            await send_answer(send, forbidden(verdict.status, PAYMENT_NOT_PRICED, message))
            return
        try:
            amount = self.stablecoins.price(payment.accepted)
        except ValueError as exc:  # an unlisted asset, or an amount that is none
            await send_answer(send, forbidden(verdict.status, PAYMENT_NOT_PRICED, str(exc)))
            return
        if amount == 0:
            await self._x402(scope, receive, send)
            return
        identifier = payment_identifier(payment)
        if identifier is not None and not self._identified.declared(_context(scope, scope["method"])):
            identifier = None  # the route did not offer the extension: the payment's own key
        route = f"{scope['method']} {_route_path(scope)}"
        flight = await self._book.open(credential, payment, route, amount, identifier)
        if isinstance(flight, Refusal):
            refusal = Answer.of(verdict.status, flight.code, flight.message)
            await send_answer(send, Answer(flight.status, refusal.body))
        else:
            await self._settling(scope, receive, send, flight)

    async def _settling(self, scope: Scope, receive: Receive, send: Send, flight: Flight) -> None:
        closed = False

        async def close() -> None:
            nonlocal closed
            if not closed:
                closed = True
                await self._book.close(flight)

        async def ending(message: MutableMapping[str, Any]) -> None:
            # x402 settles before the response starts, and never after: by
            # then the payment has settled or will not, and the ledger is
            # up to date before the agent reads the answer.
            if message["type"] == "http.response.start":
                await close()
            await send(message)

        try:
            await self._x402(scope, receive, ending)
        finally:
            await close()


def _priced(routes: x402HTTPResourceServer, scope: Scope, method: str) -> bool:
    """Whether x402's own route table prices the request, read as ``method``."""
    return routes.requires_payment(_context(scope, method))


def _context(scope: Scope, method: str) -> HTTPRequestContext:
    """The request as x402's route matching reads it."""
    from starlette.requests import Request
    from x402.http import HTTPRequestContext
    from x402.http.middleware.fastapi import FastAPIAdapter

    request = Request(scope)
    raw = scope.get("raw_path") or scope["path"].encode("utf-8")
    return HTTPRequestContext(
        adapter=FastAPIAdapter(request),
        path=raw.decode("latin-1").split("?")[0],
        decoded_path=_route_path(scope),
        method=method,
    )


def _payment(value: bytes) -> Any:
    """The request's x402 payment, decoded as x402's middleware decodes it, or None."""
    from x402.http import decode_payment_signature_header

    try:
        return decode_payment_signature_header(value.decode("latin-1"))
    except Exception:
        return None  # x402 treats it as no payment: the challenge


def _headless(send: Send) -> Send:
    """``send`` for a HEAD request: the GET's headers, none of its body."""

    async def headless(message: MutableMapping[str, Any]) -> None:
        if message["type"] == "http.response.body" and message.get("body"):
            message = {**message, "body": b""}
        await send(message)

    return headless


def _route_path(scope: Scope) -> str:
    """The path as Starlette routes it: without the ASGI root_path of a mount."""
    path: str = scope["path"]
    root: str = scope.get("root_path", "")
    if root and path.startswith(root) and (len(path) == len(root) or path[len(root)] == "/"):
        return path[len(root) :]
    return path
