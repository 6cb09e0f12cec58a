"""ASGI middleware that admits a request only with a verified agent passport.

    from quorvel_trellane.asgi import PassportMiddleware
    from quorvel_trellane.trust import IssuerTrust

    app = PassportMiddleware(app, trust=IssuerTrust("https://issuer.example"),
                             required_scope="payments:x402")

Plain ASGI 3, so it wraps Starlette, FastAPI, Litestar or a bare ASGI
callable alike; importing this module imports no web framework.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any, TypeAlias

from quorvel_trellane._gate import (
    STATE_KEY,
    Admission,
    AsyncTrust,
    Middleware,
    refuse_handshake,
    send_answer,
)
from quorvel_trellane.passport import X402_PASSPORT_HEADER

__all__ = ["PassportMiddleware", "STATE_KEY", "Scope", "Receive", "Send", "ASGIApp", "X402_PASSPORT_HEADER"]

Scope: TypeAlias = MutableMapping[str, Any]
Message: TypeAlias = MutableMapping[str, Any]
Receive: TypeAlias = Callable[[], Awaitable[Message]]
Send: TypeAlias = Callable[[Message], Awaitable[None]]
ASGIApp: TypeAlias = Callable[[Scope, Receive, Send], Awaitable[None]]


class PassportMiddleware(Middleware[ASGIApp, AsyncTrust, Scope]):
    """Verify the passport on each HTTP request and websocket handshake first.

    The credential is read from the ``header`` request header (by default
    "X-Agent-Passport"), which may appear once, and verified with
    ``await trust.verify_async(credential, required_scope=...)``. A verified
    passport's verdict goes to ``scope["state"]["agent_passport"]`` and the
    application is called; otherwise the middleware sends the refusal
    itself (see ``Middleware``: 401 with ``WWW-Authenticate: AgentPassport``
    when the caller is not authenticated, 403 when a genuine passport lacks
    the agent or scope asked for, a JSON body with the verdict).

    A websocket handshake is judged the same way before the application
    sees it. Its refusal is the same HTTP answer where the server offers
    the "websocket.http.response" extension, and otherwise a close before
    accept with code 1008 (policy violation), which servers send as a 403.

    ``required_scope`` may be a callable taking the ASGI scope;
    ``public_paths`` (and ``readiness_path``) are matched against
    ``scope["path"]``. Lifespan scopes pass through untouched.
    """

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        kind = scope["type"]
        if kind != "http" and kind != "websocket":
            await self.app(scope, receive, send)
            return
        is_public = self.is_public
        if is_public is not None and is_public(scope["path"], scope.get("raw_path")):
            if self.readiness is not None and kind == "http" and scope["path"] == self.readiness_path:
                await send_answer(send, self.readiness.answer())
                return
            verdict = None
        else:
            # The header scanned once, the trust's memo asked once: a passport
            # judged before is admitted with no other coroutine made.
            name = self.header_key
            size = len(name)
            found: bytes | None = None
            repeated = False
            for key, value in scope["headers"]:
                # Servers send lower-case names; the second test is for one
                # that keeps the client's spelling.
                if key == name or (len(key) == size and key.lower() == name):
                    repeated = found is not None
                    if repeated:
                        break
                    found = value
            begun = self.begin(found, scope, repeated)
            if type(begun) is not Admission:
                begun = await self.finish_async(begun)  # type: ignore[arg-type]
            verdict, _, answer = begun
            if answer is not None:
                if kind == "http":
                    await send_answer(send, answer)
                else:
                    await refuse_handshake(scope, receive, send, answer)
                return
        # A copy, so that a server sharing its scope or lifespan state across
        # requests never sees one request's verdict in another.
        scope = dict(scope)
        state = scope.get("state")
        scope["state"] = {**state, STATE_KEY: verdict} if state else {STATE_KEY: verdict}
        await self.app(scope, receive, send)
