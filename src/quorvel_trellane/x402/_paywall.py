"""The relying party's side of x402: the passport, then the budget, then
x402's own payment middleware.

Imported through :mod:`quorvel_trellane.x402`.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import Iterable, MutableMapping
from typing import TYPE_CHECKING, Any

from quorvel_trellane._refusal import Answer
from quorvel_trellane.asgi import STATE_KEY, PassportMiddleware, _answer
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict
from quorvel_trellane.x402._amounts import (
    PAYMENT_NOT_PRICED,
    SPEND_LIMIT_EXCEEDED,
    SPEND_TERMS_UNSUPPORTED,
    Stablecoin,
    Stablecoins,
    _table,
    payment_key,
)

if TYPE_CHECKING:
    from x402 import SettleResultContext, x402ResourceServer
    from x402.http import RoutesConfig

    from quorvel_trellane.asgi import ASGIApp, Receive, Scope, Send
    from quorvel_trellane.spend import SpendDecision, SpendLedger

logger = logging.getLogger("quorvel_trellane.x402")


class _Payment:
    """One signed payment in flight on this server, and what became of it."""

    __slots__ = ("credential", "decision", "requests", "settled")

    def __init__(self, credential: str, decision: SpendDecision) -> None:
        self.credential = credential
        self.decision = decision
        self.requests = 0
        self.settled = False


class PassportPaywall:
    """x402's payment middleware behind a passport check and a spend budget (ASGI).

    For a request to a route in ``routes`` (x402's own route table), in order:

    1. The passport in the ``header`` request header is verified with the
       ledger's trust and ``required_scope``; without a valid one the answer
       is the passport middleware's own: 401 (or 403 for another agent or a
       missing scope) with ``{"status", "error_code", "error_message"}``,
       and no payment challenge.
    2. Unpaid, x402 builds its 402 challenge; it is sent only when the
       budget left in the passport's window covers the cheapest option
       priced in a listed stablecoin. Otherwise 403 "SPEND_LIMIT_EXCEEDED"
       (or "SPEND_TERMS_UNSUPPORTED" for a passport without a readable
       bound, "PAYMENT_NOT_PRICED" when no option is in a listed
       stablecoin), so the agent never signs.
    3. Paid, the payment's amount is reserved in ``ledger`` under the
       payment's :func:`payment_key` before x402 verifies and settles it;
       refused, 403 with the decision's code. The hold is committed once
       settlement succeeds (at the settled amount when lower) and released
       when the payment is refused, the handler fails or settlement fails.
       A retried payment reserves under the same key and is never charged
       twice; one whose hold was released (its settlement failed) is held
       anew, and committed if it settles this time.

    Other routes, and lifespan and websocket scopes, go to x402's middleware
    untouched. The verdict is stored in ``scope["state"]["agent_passport"]``.
    The hooks that commit are registered on ``server`` (an async
    ``x402ResourceServer``).
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
    ) -> None:
        from x402.http import x402HTTPResourceServer
        from x402.http.middleware.fastapi import PaymentMiddlewareASGI

        self.ledger = ledger
        self.stablecoins = _table(stablecoins)
        self.required_scope = required_scope
        self._routes = x402HTTPResourceServer(server, routes)
        self._x402 = PaymentMiddlewareASGI(app, routes=routes, server=server)
        # The passport middleware itself, in front of the budget: the same
        # verification, the same refusals, the verdict in the scope's state.
        self._passport = PassportMiddleware(
            self._budgeted, trust=ledger.trust, required_scope=required_scope, header=header
        )
        self._payments: dict[str, _Payment] = {}
        server.on_after_settle(self._after_settle)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and self._priced(scope):
            await self._passport(scope, receive, send)
        else:
            await self._x402(scope, receive, send)

    async def _budgeted(self, scope: Scope, receive: Receive, send: Send) -> None:
        """Behind the passport check: the request carries one verified passport."""
        verdict: PassportVerdict = scope["state"][STATE_KEY]
        name = self._passport.header_key
        credential = next(value for key, value in scope["headers"] if key.lower() == name).decode("latin-1")
        payment = _payment(scope)
        if payment is None:
            await self._x402(scope, receive, self._challenge_checked(send, credential, verdict))
        else:
            await self._paid(scope, receive, send, credential, verdict, payment)

    # -- which requests: x402's own route table decides --

    def _priced(self, scope: Scope) -> bool:
        from starlette.requests import Request
        from x402.http import HTTPRequestContext
        from x402.http.middleware.fastapi import FastAPIAdapter

        request = Request(scope)
        raw = scope.get("raw_path") or scope["path"].encode("utf-8")
        context = HTTPRequestContext(
            adapter=FastAPIAdapter(request),
            path=raw.decode("latin-1").split("?")[0],
            decoded_path=_route_path(scope),
            method=scope["method"],
        )
        return self._routes.requires_payment(context)

    # -- unpaid: the challenge goes out only when the budget can pay it --

    def _challenge_checked(self, send: Send, credential: str, verdict: PassportVerdict) -> Send:
        replaced = False

        async def checked(message: MutableMapping[str, Any]) -> None:
            nonlocal replaced
            if replaced:
                return  # the body of the challenge we did not send
            if message["type"] == "http.response.start" and message["status"] == 402:
                answer = await self._budget_refusal(credential, verdict, message["headers"])
                if answer is not None:
                    replaced = True
                    await _answer(send, answer)
                    return
            await send(message)

        return checked

    async def _budget_refusal(
        self, credential: str, verdict: PassportVerdict, headers: Iterable[tuple[bytes, bytes]]
    ) -> Answer | None:
        from x402 import PaymentRequired
        from x402.http import decode_payment_required_header

        encoded = next((v for k, v in headers if k.lower() == b"payment-required"), None)
        try:
            required = decode_payment_required_header(encoded.decode("latin-1")) if encoded else None
        except Exception:
            required = None
        if not isinstance(required, PaymentRequired):
            # No challenge this server can read: it goes out, and a payment
            # made on it is still reserved before it settles.
            return None
        prices = []
        for option in required.accepts:
            try:
                prices.append(self.stablecoins.price(option))
            except ValueError:
                continue  # an option in an asset this server does not count
        if not prices:
            return _forbidden(
                verdict.status, PAYMENT_NOT_PRICED, "no payment option of this route is in a listed USD stablecoin"
            )
        cheapest = min(prices)
        if cheapest == 0:
            return None
        left = await asyncio.to_thread(self.ledger.remaining, credential)
        if left is None:
            return _forbidden(
                verdict.status, SPEND_TERMS_UNSUPPORTED, "the passport has no spend bound this server can read"
            )
        if left < cheapest:
            return _forbidden(
                verdict.status,
                SPEND_LIMIT_EXCEEDED,
                f"the price of {cheapest} micro-USD exceeds the {left} left in the passport's spend window",
            )
        return None

    # -- paid: reserve, let x402 verify and settle, commit or release --

    async def _paid(
        self, scope: Scope, receive: Receive, send: Send, credential: str, verdict: PassportVerdict, payment: Any
    ) -> None:
        from x402 import PaymentPayload

        if not isinstance(payment, PaymentPayload):
            await _answer(
                send,
                _forbidden(
                    verdict.status, PAYMENT_NOT_PRICED, "an x402 version 1 payment names no requirement to price"
                ),
            )
            return
        try:
            amount = self.stablecoins.price(payment.accepted)
        except ValueError as exc:
            await _answer(send, _forbidden(verdict.status, PAYMENT_NOT_PRICED, str(exc)))
            return
        if amount == 0:
            await self._x402(scope, receive, send)
            return
        key = payment_key(payment)
        decision = await self.ledger.reserve_async(credential, amount, key=key, required_scope=self.required_scope)
        if not decision:
            await _answer(
                send,
                _forbidden(verdict.status, decision.error_code or SPEND_LIMIT_EXCEEDED, decision.error_message or ""),
            )
            return
        # Two requests carrying one payment share one hold (the ledger answers
        # the second reserve with the first decision): it is released only
        # when the last of them ends and none has settled it.
        entry = self._payments.get(key)
        if entry is None:
            entry = self._payments[key] = _Payment(credential, decision)
        entry.requests += 1
        ended = False

        async def end() -> None:
            nonlocal ended
            if ended:
                return
            ended = True
            entry.requests -= 1
            if entry.requests == 0:
                del self._payments[key]
                if not entry.settled:
                    await self._release(entry.decision)

        async def ending(message: MutableMapping[str, Any]) -> None:
            # x402 settles before the response starts, and never after: by
            # then the payment has settled or will not, and the ledger is
            # up to date before the agent reads the answer.
            if message["type"] == "http.response.start":
                await end()
            await send(message)

        try:
            await self._x402(scope, receive, ending)
        finally:
            await end()

    async def _after_settle(self, context: SettleResultContext) -> None:
        """x402's after-settle hook: the money moved, so the hold is committed."""
        try:
            key = payment_key(context.payment_payload)  # type: ignore[arg-type]
        except Exception:
            return  # not a payment of ours (x402 version 1)
        entry = self._payments.get(key)
        if entry is None or entry.settled:
            return
        entry.settled = True
        decision = entry.decision
        final = decision.amount_microusd
        try:
            # A scheme may settle less than it verified (x402's settlement
            # overrides): the lower amount is what the agent paid.
            final = min(final, self.stablecoins.price(context.requirements))  # type: ignore[arg-type]
        except ValueError:
            pass
        # Nothing is raised into x402, which would answer a settled payment
        # as failed; a hold that cannot be committed keeps counting until it
        # leaves the window.
        try:
            await self.ledger.commit_async(decision, amount_microusd=final)
        except ValueError:
            await self._recount(entry, key, final)
        except Exception:
            logger.exception("x402: could not commit the hold of settled payment %s", key)

    async def _recount(self, entry: _Payment, key: str, amount: int) -> None:
        """Count a settled payment whose hold was released meanwhile.

        Another server carrying the same payment may have released the hold
        (its request failed) while this one settled it. The money has moved:
        the payment's key, released, is reserved again, which holds anew (or
        finds the hold a request made meanwhile), and that hold is committed.
        """
        try:
            again = await self.ledger.reserve_async(
                entry.credential, amount, key=key, required_scope=self.required_scope
            )
            if again:
                await self.ledger.commit_async(again, amount_microusd=min(amount, again.amount_microusd))
            else:
                logger.error("x402: settled payment %s could not be counted: %s", key, again.error_message)
        except Exception:
            logger.exception("x402: could not count settled payment %s", key)

    async def _release(self, decision: SpendDecision) -> None:
        try:
            await self.ledger.release_async(decision)
        except ValueError:
            pass  # committed meanwhile, through another server: it stays counted
        except Exception:
            logger.exception("x402: could not release a hold; it counts until it leaves the window")


def _payment(scope: Scope) -> Any:
    """The request's x402 payment, decoded as x402's middleware decodes it, or None."""
    from x402.http import decode_payment_signature_header

    for key, value in scope["headers"]:
        if key.lower() == b"payment-signature":
            try:
                return decode_payment_signature_header(value.decode("latin-1"))
            except Exception:
                return None  # x402 treats it as no payment: the challenge
    return None


def _route_path(scope: Scope) -> str:
    """The path as Starlette routes it: without the ASGI root_path of a mount."""
    path: str = scope["path"]
    root: str = scope.get("root_path", "")
    if root and path.startswith(root) and (len(path) == len(root) or path[len(root)] == "/"):
        return path[len(root) :]
    return path


def _forbidden(status: str | None, code: str, message: str) -> Answer:
    """A 403 for a genuine passport refused for its budget or an unpriced
    payment, in the passport middleware's JSON body."""
    return Answer(403, Answer.of(status, code, message).body)
