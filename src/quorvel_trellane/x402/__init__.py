"""x402 payments held to the agent's passport: priced in micro-USD, charged to its spend budget.

A relying party puts :class:`PassportPaywall` around its application: it
wraps the ``x402`` package's own FastAPI/Starlette payment middleware and
checks the passport first, so an agent without a valid passport, or whose
budget cannot cover the price, is refused before it ever signs a payment::

    app = PassportPaywall(app, routes=routes, server=server, ledger=ledger,
                          stablecoins=Stablecoins([Stablecoin("eip155:8453", USDC_ON_BASE, 6)]),
                          required_scope="payments:x402")

Its 402 challenge declares the passport (``extensions["agent-passport"]``),
and an agent's x402 client presents it to such a seller, and to no other,
with :class:`PassportClientExtension`::

    passport = PassportClientExtension()            # $QUORVEL_AGENT_PASSPORT
    client.register_extension(passport)
    http = httpx.AsyncClient(transport=x402_httpx_transport(client, transport=passport.httpx_transport()))

An agent hands its passport's bound to x402's client with
:class:`PassportBudget`, so that the client signs no payment the passport
does not cover::

    PassportBudget(credential, stablecoins).install(client)

Amounts are converted with exact integer arithmetic from the asset's
smallest units to micro-USD for the USD stablecoins the caller lists (one
token unit counts one US dollar); an asset not listed is refused, never
guessed. A payment whose settlement has no final answer keeps its hold
counting, reported as a :class:`PendingPayment` to settle later by its key.
The ``x402`` package (``pip install 'quorvel-trellane[x402]'``) is
imported on first use, not with this module.

Modules:

- ``_amounts``: stablecoins, exact conversions, the payment key and the refusal codes
- ``_paywall``: PassportPaywall, the ASGI side of the relying party
- ``_challenge``: the unpaid side, the challenge sent only when the budget can pay it
- ``_declare``: the passport's declaration in the challenge, and the routes taking a payment identifier
- ``_book``: the payments in flight by passport and payment, and PendingPayment
- ``_hooks``: x402's settlement hooks, telling the book what became of a payment
- ``_budget``: PassportBudget, the agent's side
- ``_client``: PassportClientExtension, the agent's passport for the sellers that declare it
"""

from __future__ import annotations

from quorvel_trellane.x402._amounts import (
    PAYMENT_HEADER_REPEATED,
    PAYMENT_KEY_REUSED,
    PAYMENT_NOT_PRICED,
    SPEND_LIMIT_EXCEEDED,
    SPEND_TERMS_UNSUPPORTED,
    Stablecoin,
    Stablecoins,
    UnlistedAsset,
    atomic_units,
    microusd,
    payment_key,
)
from quorvel_trellane.x402._book import PendingPayment
from quorvel_trellane.x402._budget import PassportBudget
from quorvel_trellane.x402._client import PassportClientExtension
from quorvel_trellane.x402._paywall import PassportPaywall

__all__ = [
    "PAYMENT_HEADER_REPEATED",
    "PAYMENT_KEY_REUSED",
    "PAYMENT_NOT_PRICED",
    "SPEND_LIMIT_EXCEEDED",
    "SPEND_TERMS_UNSUPPORTED",
    "Stablecoin",
    "Stablecoins",
    "UnlistedAsset",
    "microusd",
    "atomic_units",
    "payment_key",
    "PassportPaywall",
    "PassportBudget",
    "PassportClientExtension",
    "PendingPayment",
]

# The public names belong to this module, as help() and pickling show them.
for _name in (
    "Stablecoin",
    "Stablecoins",
    "UnlistedAsset",
    "PassportPaywall",
    "PassportBudget",
    "PassportClientExtension",
    "PendingPayment",
    "microusd",
    "atomic_units",
    "payment_key",
):
    globals()[_name].__module__ = __name__
del _name
