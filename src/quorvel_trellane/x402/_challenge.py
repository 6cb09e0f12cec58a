"""The unpaid side of the paywall: x402's challenge goes out only when the
passport's budget can pay it.

Imported through :mod:`quorvel_trellane.x402`.
"""

from __future__ import annotations

import asyncio
from collections.abc import Iterable, MutableMapping
from typing import TYPE_CHECKING, Any

from quorvel_trellane._gate import Answer, send_answer
from quorvel_trellane.passport import PassportVerdict
from quorvel_trellane.x402._amounts import (
    PAYMENT_NOT_PRICED,
    SPEND_LIMIT_EXCEEDED,
    SPEND_TERMS_UNSUPPORTED,
    Stablecoins,
)

if TYPE_CHECKING:
    from quorvel_trellane.asgi import Send
    from quorvel_trellane.spend import SpendLedger


def challenge_checked(
    send: Send, ledger: SpendLedger, stablecoins: Stablecoins, credential: str, verdict: PassportVerdict
) -> Send:
    """``send`` for an unpaid request: x402's 402 challenge goes out only when
    the budget left in the passport's window can pay its cheapest option."""
    replaced = False

    async def checked(message: MutableMapping[str, Any]) -> None:
        nonlocal replaced
        if replaced:
            return  # the body of the challenge we did not send
        if message["type"] == "http.response.start" and message["status"] == 402:
            answer = await budget_refusal(ledger, stablecoins, credential, verdict, message["headers"])
            if answer is not None:
                replaced = True
                await send_answer(send, answer)
                return
        await send(message)

    return checked


async def budget_refusal(
    ledger: SpendLedger,
    stablecoins: Stablecoins,
    credential: str,
    verdict: PassportVerdict,
    headers: Iterable[tuple[bytes, bytes]],
) -> Answer | None:
    """The refusal to send instead of a challenge the budget cannot pay, or None."""
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
            prices.append(stablecoins.price(option))
        except ValueError:
            continue  # an option in an asset this server does not count, or no amount
    if not prices:
        return forbidden(
            verdict.status, PAYMENT_NOT_PRICED, "no payment option of this route is in a listed USD stablecoin"
        )
    cheapest = min(prices)
    if cheapest == 0:
        return None
    left = await asyncio.to_thread(ledger.remaining, credential)
    if left is None:
        return forbidden(
            verdict.status, SPEND_TERMS_UNSUPPORTED, "the passport has no spend bound this server can read"
        )
    if left < cheapest:
        return forbidden(
            verdict.status,
            SPEND_LIMIT_EXCEEDED,
            f"the price of {cheapest} micro-USD exceeds the {left} left in the passport's spend window",
        )
    return None


def forbidden(status: str | None, code: str, message: str) -> Answer:
    """A 403 for a genuine passport refused for its budget or an unpriced
    payment, in the passport middleware's JSON body."""
    return Answer(403, Answer.of(status, code, message).body)
