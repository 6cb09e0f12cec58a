"""MCP servers that admit only verified agents, with per-tool scopes and metered tools.

    from mcp.server.mcpserver import MCPServer
    from quorvel_trellane.mcp import PassportAccess, needs

    access = PassportAccess(trust, ledger=ledger)
    server = MCPServer("shop", **access.server_options)

    @server.tool(meta=needs("payments:x402", price_microusd=250_000))
    def buy(item: str) -> str: ...

    app = access.app(server)              # serve this one (uvicorn)

And the agent's side, with the SDK's own client:

    async with Client(passport_transport("https://shop.example/mcp")) as client: ...

The server side plugs into the SDK's own auth: ``PassportAccess`` is its
token verifier, and the access token it makes names the agent (client id
and subject: the agent DID; the "iss" claim: the issuer DID), so the SDK
binds each session to the agent that opened it. ``app`` puts the passport
check in front of the SDK's streamable HTTP app: a request without a
verified passport is refused there, as the passport middleware refuses it,
before any MCP message is read. Inside the server, a middleware of the SDK
decides each tool's scope from the verified verdict, hides the tools a
passport may not call, and meters priced tools on a ``SpendLedger``.

Needs the ``mcp`` extra (the ``mcp`` package, 2.x).

Modules:

- ``_needs``: what a tool needs of a passport (``needs``), the refusals' codes
- ``_token``: the SDK's access token for a verified passport, the verdict read back
- ``_tools``: the SDK's server middleware: tool scopes, hidden tools, priced tools
- ``_metering``: metered calls, each charged once: their identity, the calls remembered
- ``_access``: PassportAccess and PassportApp, the passport check at the door
- ``_transport``: the agent's side, the SDK's transport presenting a passport
"""

from __future__ import annotations

from quorvel_trellane._internal.exports import claim
from quorvel_trellane.mcp._access import PassportAccess, PassportApp
from quorvel_trellane.mcp._needs import (
    DUPLICATE_CALL,
    IDEMPOTENCY_META_KEY,
    NEEDS_META_KEY,
    PASSPORT_REFUSED,
    Needs,
    needs,
)
from quorvel_trellane.mcp._token import PassportAccessToken, passport_verdict
from quorvel_trellane.mcp._transport import passport_transport

__all__ = [
    "NEEDS_META_KEY",
    "DUPLICATE_CALL",
    "IDEMPOTENCY_META_KEY",
    "PASSPORT_REFUSED",
    "PassportAccess",
    "PassportAccessToken",
    "PassportApp",
    "Needs",
    "needs",
    "passport_transport",
    "passport_verdict",
]

# The public names belong to this package, as help() and pickling show them.
claim(__name__, globals(), __all__)
