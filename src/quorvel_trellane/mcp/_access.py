"""The door: PassportAccess (the SDK's token verifier and auth settings) and
PassportApp, the passport check in front of the SDK's streamable HTTP app.

Imported through :mod:`quorvel_trellane.mcp`.
"""

from __future__ import annotations

import contextvars
import json
from typing import Any, Final

from mcp.server.auth.settings import AuthSettings
from mcp.server.mcpserver import MCPServer
from starlette.applications import Starlette

from quorvel_trellane._gate import (
    CLOSE_POLICY_VIOLATION,
    Answer,
    AsyncTrust,
    Gate,
    RequiredScope,
    compact_json,
    with_verdict,
)
from quorvel_trellane.asgi import Receive, Scope, Send
from quorvel_trellane.mcp._needs import PASSPORT_REFUSED
from quorvel_trellane.mcp._token import PassportAccessToken, unfit
from quorvel_trellane.mcp._tools import ToolChecks
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict
from quorvel_trellane.spend import SpendLedger

# Unused by the SDK when it serves no OAuth routes, yet required by its
# settings: a reserved name that can never be fetched.
_NO_AUTHORIZATION_SERVER: Final = "https://authorization.invalid"
_BEARER: Final = b"bearer "
_AUTHORIZATION: Final = b"authorization"

# The verdict the door reached for the credential of the request being
# served, so that the SDK's token check, called further in on the same
# request, does not verify it a second time.
_admitted: contextvars.ContextVar[tuple[str, PassportVerdict] | None] = contextvars.ContextVar(
    "quorvel_mcp_admitted", default=None
)


class PassportAccess(Gate[AsyncTrust, Scope]):
    """Admit verified agents to an MCP server, decide tool scopes, meter priced tools.

    ``trust`` verifies the passports (an ``IssuerTrust`` or
    ``TrustedIssuers``); ``ledger`` is the ``SpendLedger`` that priced tools
    charge (none: a priced tool is refused). ``required_scope`` is a scope
    every request needs, or a callable of the ASGI scope returning one;
    ``header`` names the request header.

    Build the server with ``**access.server_options`` and serve
    ``access.app(server)``. Each request must carry its passport in the
    header (or, for clients that only send bearer tokens, as
    ``Authorization: Bearer <credential>``); otherwise it is answered, as
    the passport middleware answers it, before the SDK reads it: 401 with
    ``WWW-Authenticate: AgentPassport``, 403 for a genuine passport refused
    by the relying party's checks, 503 with ``Retry-After`` while the
    issuer's documents cannot be obtained. The JSON body is the middleware's
    ``{"status", "error_code", "error_message"}`` and also a JSON-RPC error
    (``PASSPORT_REFUSED``, the code and message in its text, the document
    as its data), which the SDK's client raises as ``MCPError``.
    """

    def __init__(
        self,
        trust: AsyncTrust,
        *,
        ledger: SpendLedger | None = None,
        required_scope: RequiredScope[Scope] = None,
        header: str = X402_PASSPORT_HEADER,
    ) -> None:
        super().__init__(trust=trust, required_scope=required_scope, header=header)
        if ledger is not None and not isinstance(ledger, SpendLedger):
            raise TypeError(f"ledger must be a SpendLedger, not {type(ledger).__name__}")
        self.ledger = ledger
        issuer_url = getattr(trust, "issuer_url", None)
        if not (isinstance(issuer_url, str) and issuer_url.startswith(("https://", "http://"))):
            issuer_url = _NO_AUTHORIZATION_SERVER
        #: The SDK's auth settings: this access as token verifier, no OAuth routes.
        self.auth = AuthSettings(issuer_url=issuer_url, resource_server_url=None)  # type: ignore[arg-type]

    @property
    def server_options(self) -> dict[str, Any]:
        """``MCPServer(name, **access.server_options)``: its token verifier and auth."""
        return {"token_verifier": self, "auth": self.auth}

    def app(self, server: MCPServer[Any], **options: Any) -> PassportApp:
        """The ASGI app to serve: ``server.streamable_http_app(**options)``
        behind the passport check, with the tool checks in the server."""
        if server.settings.auth is not self.auth:
            # Without it the SDK would bind no session to its agent.
            raise ValueError("build the server as MCPServer(name, **access.server_options)")
        if not any(isinstance(each, ToolChecks) and each.access is self for each in server.middleware):
            server.middleware.append(ToolChecks(self, server))
        return PassportApp(self, server.streamable_http_app(**options))

    async def verify_token(self, token: str) -> PassportAccessToken | None:
        """The SDK's token check: the access token of a verified passport, else None."""
        admitted = _admitted.get()
        if admitted is not None and admitted[0] == token:
            verdict = admitted[1]
        else:
            verdict = await self.trust.verify_async(token)
        return PassportAccessToken.of(token, verdict) if verdict.verified and unfit(verdict) is None else None


class PassportApp:
    """The SDK's app behind the passport check (``PassportAccess.app``).

    An admitted request reaches the app with the verdict in
    ``scope["state"]["agent_passport"]`` and the credential as the bearer
    token the SDK's auth reads.
    """

    def __init__(self, access: PassportAccess, app: Starlette) -> None:
        self.access = access
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "websocket":
            # MCP has no websocket route here: a handshake is closed, never
            # handed to the app unchecked.
            if (await receive())["type"] == "websocket.connect":
                await send({"type": "websocket.close", "code": CLOSE_POLICY_VIOLATION})
            return
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        found, repeated = _credential(scope, self.access.header_key)
        admission = await self.access.admit_async(found, scope, repeated=repeated)
        verdict, credential, answer = admission.verdict, admission.text, admission.answer
        if answer is None and verdict is not None and (why := unfit(verdict)) is not None:
            answer = Answer.of("invalid", "INVALID_CREDENTIAL", why)
        if answer is not None:
            await _refuse(send, answer)
            return
        # Admitted: the header held a credential that verified.
        assert credential is not None and verdict is not None
        headers = [(k, v) for k, v in scope["headers"] if k.lower() != _AUTHORIZATION]
        headers.append((_AUTHORIZATION, b"Bearer " + credential.encode("latin-1")))
        scope = with_verdict({**scope, "headers": headers}, verdict)
        admitted = _admitted.set((credential, verdict))
        try:
            await self.app(scope, receive, send)
        finally:
            _admitted.reset(admitted)


def _credential(scope: Scope, name: bytes) -> tuple[str | None, bool]:
    """The passport the request carries, its header else a bearer token, and
    whether it came more than once (ambiguous: neither copy is chosen)."""
    found: list[bytes] = []
    bearers: list[bytes] = []
    for key, value in scope["headers"]:
        key = key.lower()
        if key == name:
            found.append(value)
        elif key == _AUTHORIZATION and value[:7].lower() == _BEARER:
            bearers.append(value[7:].strip())
    found = found or bearers
    # Latin-1 maps every byte to one character; what is not base64url is judged invalid.
    return (found[0].decode("latin-1") if found else None), len(found) > 1


async def _refuse(send: Send, answer: Answer) -> None:
    document = json.loads(answer.body)
    code, message = document.get("error_code"), document.get("error_message")
    # The middleware's document, and a JSON-RPC error the SDK's client reads.
    document.update(
        jsonrpc="2.0",
        id=None,
        error={"code": PASSPORT_REFUSED, "message": f"{code}: {message}", "data": dict(document)},
    )
    body = compact_json(document).encode("utf-8")
    headers = [
        (name.lower().encode("latin-1"), (str(len(body)) if name.lower() == "content-length" else value).encode())
        for name, value in answer.headers
    ]
    await send({"type": "http.response.start", "status": answer.code, "headers": headers})
    await send({"type": "http.response.body", "body": body})
