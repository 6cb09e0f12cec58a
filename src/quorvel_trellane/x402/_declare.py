"""The seller's declaration that its priced routes need a passport: x402's
``agent-passport`` extension in the 402 challenge, and which routes take
x402's payment identifier.

Imported through :mod:`quorvel_trellane.x402`.
"""

from __future__ import annotations

import dataclasses
import json
from collections.abc import Iterator, MutableMapping
from typing import TYPE_CHECKING, Any, Final

from quorvel_trellane._gate import Answer, compact_json, send_answer
from quorvel_trellane.x402._amounts import PAYMENT_IDENTIFIER

if TYPE_CHECKING:
    from x402 import x402ResourceServer
    from x402.http import HTTPRequestContext, RoutesConfig
    from x402.schemas import ServerPaymentRequiredContext

    from quorvel_trellane.asgi import ASGIApp, Receive, Scope, Send

#: The key of the passport's extension in x402's payment-required document
#: (and in the payment that echoes it): ``{"header", "scopes", "issuers"}``.
PASSPORT_EXTENSION: Final = "agent-passport"
#: x402 reads a payment from either header; a request may carry one of them, once.
PAYMENT_HEADERS: Final = frozenset({b"payment-signature", b"x-payment"})
# Marks the scope of a request without a passport, which x402 answers with
# its challenge: the application behind x402 never runs for it.
_UNIDENTIFIED: Final = "quorvel_trellane.x402.unidentified"


def passport_declaration(header: str, required_scope: str | None, trust: object) -> dict[str, Any]:
    """What the 402 says a passport must be: the request ``header`` it goes
    in, the ``scopes`` it must grant and, when every issuer the trust accepts
    is bound to its DID, those ``issuers``."""
    declaration: dict[str, Any] = {"header": header, "scopes": [] if required_scope is None else [required_scope]}
    issuers = accepted_issuers(trust)
    if issuers is not None:
        declaration["issuers"] = issuers
    return declaration


def accepted_issuers(trust: object) -> list[str] | None:
    """The issuer DIDs ``trust`` accepts (an IssuerTrust, or each of a
    TrustedIssuers' trusts), or None when one of them takes any issuer its
    key set signs for."""
    dids = []
    for one in getattr(trust, "trusts", None) or (trust,):
        did = getattr(one, "issuer_did", None)
        if not isinstance(did, str):
            return None
        dids.append(did)
    return dids


class PassportDeclaration:
    """x402 resource-server extension: a route's ``agent-passport``
    declaration goes into its 402 challenge as it was declared."""

    key: Final = PASSPORT_EXTENSION

    def enrich_declaration(self, declaration: Any, transport_context: Any) -> Any:
        return declaration

    def enrich_payment_required_response(self, declaration: Any, context: ServerPaymentRequiredContext) -> Any:
        # A copy: x402 keeps the document it is given, and the route's
        # declaration must stay as it was for the next request.
        return json.loads(json.dumps(declaration))


class DeclaredX402:
    """x402's payment middleware (ASGI) over the routes declaring the
    passport, in front of an application it never calls for a request
    without one. ``missing`` is the refusal of such a request."""

    def __init__(
        self,
        app: ASGIApp,
        routes: RoutesConfig,
        server: x402ResourceServer,
        declaration: dict[str, Any],
        missing: Answer,
    ) -> None:
        from x402.http.middleware.fastapi import PaymentMiddlewareASGI

        self.app = app
        self.missing = missing
        server.register_extension(PassportDeclaration())  # type: ignore[arg-type]
        self._x402 = PaymentMiddlewareASGI(self._guarded, routes=declared_routes(routes, declaration), server=server)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        await self._x402(scope, receive, send)

    async def unidentified(self, scope: Scope, receive: Receive, send: Send) -> None:
        """A priced request without a passport: x402's challenge, declaring
        the passport; with a payment, the passport refusal carrying it."""
        headers = [(key, value) for key, value in scope["headers"] if key.lower() not in PAYMENT_HEADERS]
        marked = {**scope, "headers": headers, _UNIDENTIFIED: True}
        if len(headers) == len(scope["headers"]):
            await self._x402(marked, receive, send)
            return
        # Paid without a passport: nothing is held, and x402 only builds the
        # challenge (for the request without its payment), never settles.
        captured: list[MutableMapping[str, Any]] = []

        async def capture(message: MutableMapping[str, Any]) -> None:
            captured.append(message)

        await self._x402(marked, receive, capture)
        answer, extra = challenged(self.missing, captured)
        await send_answer(with_headers(send, extra), answer)

    async def _guarded(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope.get(_UNIDENTIFIED):
            # x402 let it through unpaid (a hook of the server's granted it):
            # the passport is still missing.
            await send_answer(send, self.missing)
            return
        await self.app(scope, receive, send)


def declared_routes(routes: RoutesConfig, declaration: dict[str, Any]) -> RoutesConfig:
    """A copy of x402's route table whose every route declares the passport
    extension beside its own extensions (the caller's table is left as it was)."""
    from x402.http import RouteConfig

    def declared(config: Any) -> Any:
        if isinstance(config, RouteConfig):
            extensions = {**(config.extensions or {}), PASSPORT_EXTENSION: declaration}
            return dataclasses.replace(config, extensions=extensions)
        extensions = {**(config.get("extensions") or {}), PASSPORT_EXTENSION: declaration}
        return {**config, "extensions": extensions}

    if isinstance(routes, RouteConfig) or "accepts" in routes:
        return declared(routes)  # type: ignore[no-any-return]
    return {pattern: declared(config) for pattern, config in routes.items()}


class IdentifiedRoutes:
    """Which priced routes declare x402's payment-identifier extension, read
    with x402's own route matching (its first matching route decides)."""

    def __init__(self, server: x402ResourceServer, routes: RoutesConfig) -> None:
        from x402.http import x402HTTPResourceServer

        entries = list(_entries(routes))
        self._matchers = (
            [(x402HTTPResourceServer(server, {pattern: config}), _declares(config)) for pattern, config in entries]
            if any(_declares(config) for _, config in entries)
            else []
        )

    def declared(self, context: HTTPRequestContext) -> bool:
        for matcher, declares in self._matchers:
            if matcher.requires_payment(context):
                return declares
        return False


def _entries(routes: RoutesConfig) -> Iterator[tuple[str, Any]]:
    from x402.http import RouteConfig

    if isinstance(routes, RouteConfig) or "accepts" in routes:
        yield "*", routes
    else:
        yield from routes.items()


def _declares(config: Any) -> bool:
    extensions = config.extensions if hasattr(config, "extensions") else config.get("extensions")
    return isinstance(extensions, dict) and PAYMENT_IDENTIFIER in extensions


def challenged(missing: Answer, captured: list[MutableMapping[str, Any]]) -> tuple[Answer, list[tuple[bytes, bytes]]]:
    """The 401 for a payment without a passport: the passport refusal, with
    x402's challenge (``captured``, what x402 answered the request without
    its payment) in the body as ``"payment_required"`` and its header."""
    from x402.http import decode_payment_required_header

    start = next((m for m in captured if m["type"] == "http.response.start"), None)
    header = None
    if start is not None and start["status"] == 402:
        header = next((v for k, v in start["headers"] if k.lower() == b"payment-required"), None)
    if header is None:
        return missing, []
    try:
        required = decode_payment_required_header(header.decode("latin-1"))
        document = required.model_dump(mode="json", by_alias=True, exclude_none=True)
    except Exception:
        return missing, []
    body = compact_json({**json.loads(missing.body), "payment_required": document})
    return Answer(missing.code, body.encode("utf-8")), [(b"payment-required", header)]


def with_headers(send: Send, extra: list[tuple[bytes, bytes]]) -> Send:
    """``send``, adding ``extra`` to the response's headers."""

    async def sending(message: MutableMapping[str, Any]) -> None:
        if message["type"] == "http.response.start" and extra:
            message = {**message, "headers": [*message["headers"], *extra]}
        await send(message)

    return sending
