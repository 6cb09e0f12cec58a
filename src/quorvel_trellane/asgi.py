"""ASGI middleware that admits a request only with a verified agent passport.

    from quorvel_trellane.asgi import PassportMiddleware
    from quorvel_trellane.trust import IssuerTrust

    app = PassportMiddleware(app, trust=IssuerTrust("https://issuer.example"),
                             required_scope="payments:x402")

Plain ASGI 3, so it wraps Starlette, FastAPI, Litestar or a bare ASGI
callable alike; importing this module imports no web framework.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable, Iterable, MutableMapping
from typing import Any, Final, TypeAlias

from quorvel_trellane._wire import CHALLENGE, AsyncTrust, Refusal, is_repeated, missing, refusal, repeated_header_verdict
from quorvel_trellane._wire import public_paths as _public_paths
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict

__all__ = ["PassportMiddleware", "STATE_KEY", "Scope", "Receive", "Send", "ASGIApp", "X402_PASSPORT_HEADER"]

Scope: TypeAlias = MutableMapping[str, Any]
Message: TypeAlias = MutableMapping[str, Any]
Receive: TypeAlias = Callable[[], Awaitable[Message]]
Send: TypeAlias = Callable[[Message], Awaitable[None]]
ASGIApp: TypeAlias = Callable[[Scope, Receive, Send], Awaitable[None]]

#: The key of ``scope["state"]`` that holds the verdict (Starlette's
#: ``request.state.agent_passport``).
STATE_KEY: Final = "agent_passport"


class PassportMiddleware:
    """Verify the passport on each HTTP request before the application sees it.

    The credential is read from the ``header`` request header (by default
    "X-Agent-Passport"), which may appear once, and verified with
    ``await trust.verify_async(credential, required_scope=...)``. A verified
    passport's verdict goes to ``scope["state"]["agent_passport"]`` and the
    application is called. Otherwise the middleware answers itself, without
    calling the application: 401 for a missing header and for an "invalid",
    "expired", "revoked" or "unverifiable" passport, with
    ``WWW-Authenticate: AgentPassport``; 403 for a genuine passport of
    another agent or without the required scope. The body is JSON:
    ``{"status", "error_code", "error_message"}``, the status "missing" with
    the code "MISSING_PASSPORT" when there is no header.

    ``required_scope`` is a scope text, or a callable taking the ASGI scope
    and returning one (or None for no scope), for per-route scopes.
    ``optional=True`` never refuses: the verdict, or None without a header,
    is stored and the application decides. Lifespan and websocket scopes
    pass through untouched.

    ``public_paths`` are the paths that need no passport (docs, the OpenAPI
    schema, health, the agent card): a request for one reaches the
    application unchecked, with the verdict None. An entry ending in "/"
    matches every path under it; any other entry matches ``scope["path"]``
    exactly.
    """

    def __init__(
        self,
        app: ASGIApp,
        *,
        trust: AsyncTrust,
        required_scope: str | Callable[[Scope], str | None] | None = None,
        optional: bool = False,
        header: str = X402_PASSPORT_HEADER,
        public_paths: Iterable[str] = (),
    ) -> None:
        self.app = app
        self.trust = trust
        self.required_scope = required_scope
        self.optional = optional
        self.header = header
        self._name = header.lower().encode("latin-1")
        self._missing = missing(header)
        # -- public paths --
        self._is_public = _public_paths(public_paths)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        is_public = self._is_public
        public = is_public is not None and is_public(scope["path"])
        verdict = None if public else await self._verdict(scope)
        if not self.optional and not public:
            if verdict is None:
                await _answer(send, self._missing)
                return
            if not verdict.verified:
                await _answer(send, refusal(verdict))
                return
        # A copy, so that a server sharing its scope or lifespan state across
        # requests never sees one request's verdict in another.
        scope = dict(scope)
        state = scope.get("state")
        scope["state"] = {**state, STATE_KEY: verdict} if state else {STATE_KEY: verdict}
        await self.app(scope, receive, send)

    async def _verdict(self, scope: Scope) -> PassportVerdict | None:
        name = self._name
        size = len(name)
        found: bytes | None = None
        for key, value in scope["headers"]:
            # Servers send lower-case names; the second test is for one that
            # keeps the client's spelling.
            if key == name or (len(key) == size and key.lower() == name):
                if found is not None:
                    return repeated_header_verdict(self.header)
                found = value
        if found is None:
            return None
        # Latin-1 maps every byte to one character, so no byte sequence can
        # make decoding fail; whatever is not base64url is judged invalid.
        credential = found.decode("latin-1")
        if is_repeated(credential):
            return repeated_header_verdict(self.header)
        required = self.required_scope
        if callable(required):
            required = required(scope)
        # Whatever the trust raises (misuse of its arguments) propagates: the
        # server answers 500 and the application is still never called.
        return await self.trust.verify_async(credential, required_scope=required)


_CHALLENGE: Final = CHALLENGE.encode("ascii")


async def _answer(send: Send, answer: Refusal) -> None:
    headers = [
        (b"content-type", b"application/json"),
        (b"content-length", str(len(answer.body)).encode("ascii")),
    ]
    if answer.challenge:
        headers.append((b"www-authenticate", _CHALLENGE))
    await send({"type": "http.response.start", "status": answer.code, "headers": headers})
    await send({"type": "http.response.body", "body": answer.body})
