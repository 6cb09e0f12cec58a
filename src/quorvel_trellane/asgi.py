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
from typing import Any, Final, TypeAlias

from quorvel_trellane._refusal import CLOSE_POLICY_VIOLATION, Answer, Ask, AsyncTrust, Middleware
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
        recall = self.recall
        if recall is not None and scope["type"] == "http":
            # The lean path: a passport the trust judged before, with the
            # same scope and material, is answered again from its memo, with
            # no other coroutine and no record made. Anything else (no
            # header, two, a public path, a memo miss) takes the full path.
            name = self.header_key
            size = len(name)
            found: bytes | None = None
            for key, value in scope["headers"]:
                if key == name or (len(key) == size and key.lower() == name):
                    if found is not None:
                        found = None
                        break
                    found = value
            is_public = self.is_public
            if found is not None and (is_public is None or not is_public(scope["path"], scope.get("raw_path"))):
                verdict = recall(found, self.required_scope)
                if verdict is not None:
                    answer = None if verdict.verified else self.answer(verdict)
                    if answer is not None:  # the answer the full path gives the same verdict
                        await _answer(send, answer)
                        return
                    scope = dict(scope)
                    state = scope.get("state")
                    scope["state"] = {**state, STATE_KEY: verdict} if state else {STATE_KEY: verdict}
                    await self.app(scope, receive, send)
                    return
        kind = scope["type"]
        if kind != "http" and kind != "websocket":
            await self.app(scope, receive, send)
            return
        is_public = self.is_public
        public = is_public is not None and is_public(scope["path"], scope.get("raw_path"))
        if public and self.readiness is not None and kind == "http" and scope["path"] == self.readiness_path:
            await self.readiness(scope, receive, send)
            return
        verdict = None if public else await self._verdict(scope)
        answer = None if public else self.answer(verdict)
        if answer is not None:
            if kind == "http":
                await _answer(send, answer)
            else:
                await _refuse_handshake(scope, receive, send, answer)
            return
        # A copy, so that a server sharing its scope or lifespan state across
        # requests never sees one request's verdict in another.
        scope = dict(scope)
        state = scope.get("state")
        scope["state"] = {**state, STATE_KEY: verdict} if state else {STATE_KEY: verdict}
        await self.app(scope, receive, send)

    async def _verdict(self, scope: Scope) -> PassportVerdict | None:
        name = self.header_key
        size = len(name)
        found: bytes | None = None
        repeated = False
        for key, value in scope["headers"]:
            # Servers send lower-case names; the second test is for one that
            # keeps the client's spelling.
            if key == name or (len(key) == size and key.lower() == name):
                repeated = found is not None
                if repeated:
                    break
                found = value
        # Latin-1 maps every byte to one character, so no byte sequence can
        # make decoding fail; whatever is not base64url is judged invalid.
        seen = self.examine(None if found is None else found.decode("latin-1"), scope, repeated=repeated)
        if not isinstance(seen, Ask):
            return seen
        # Whatever the trust raises (misuse of its arguments) propagates: the
        # server answers 500 and the application is still never called.
        return await self.trust.verify_async(seen.credential, required_scope=seen.required_scope)


def _headers(answer: Answer) -> list[tuple[bytes, bytes]]:
    return [(name.lower().encode("latin-1"), value.encode("latin-1")) for name, value in answer.headers]


async def _answer(send: Send, answer: Answer) -> None:
    await send({"type": "http.response.start", "status": answer.code, "headers": _headers(answer)})
    await send({"type": "http.response.body", "body": answer.body})


async def _refuse_handshake(scope: Scope, receive: Receive, send: Send, answer: Answer) -> None:
    # The server asks with "websocket.connect" before it takes an answer to
    # the handshake; a client gone already needs none.
    if (await receive())["type"] != "websocket.connect":
        return
    if "websocket.http.response" in (scope.get("extensions") or {}):
        start = {"type": "websocket.http.response.start", "status": answer.code, "headers": _headers(answer)}
        await send(start)
        await send({"type": "websocket.http.response.body", "body": answer.body})
    else:
        await send({"type": "websocket.close", "code": CLOSE_POLICY_VIOLATION})
