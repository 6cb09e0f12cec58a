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
    scan_headers,
    send_answer,
    with_verdict,
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
            found, repeated = scan_headers(scope["headers"], self.header_key)
            # Latin-1 maps every byte to one character, so no byte sequence can
            # make decoding fail; whatever is not base64url is judged invalid.
            begun = self.begin(None if found is None else found.decode("latin-1"), scope, repeated=repeated)
            admission = begun if type(begun) is Admission else await self.finish_async(begun)  # type: ignore[arg-type]
            answer = admission.answer
            if answer is not None:
                if kind == "http":
                    await send_answer(send, answer)
                else:
                    await refuse_handshake(scope, receive, send, answer)
                return
            verdict = admission.verdict
        await self.app(with_verdict(scope, verdict), receive, send)
