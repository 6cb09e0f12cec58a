"""The agent's side of the passport declaration: x402's client presents the
passport to the sellers whose 402 asks for it, and to no other.

Imported through :mod:`quorvel_trellane.x402`.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Final

from quorvel_trellane._internal.presenting import checked, own_credential
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportError, decode_passport
from quorvel_trellane.x402._declare import PASSPORT_EXTENSION

if TYPE_CHECKING:
    import httpx
    from x402 import PaymentPayload, PaymentRequired, PaymentRequiredContext, x402ClientSync
    from x402.http import x402HTTPClientSync
    from x402.http.clients.requests import x402HTTPAdapter
    from x402.schemas import PaymentRequiredHeadersResult

_GIVEN: Final = "PassportClientExtension was given text that is not a credential"
_HINT: Final = "PassportClientExtension(load_credential(PATH))"
# A header name (an HTTP token) a seller may ask the passport in; never one
# that carries the payment or frames the request.
_TOKEN: Final = re.compile(r"[!#$%&'*+.^_`|~0-9A-Za-z-]{1,64}", re.ASCII)
_NOT_A_PASSPORT_HEADER: Final = frozenset(
    {"payment-signature", "x-payment", "host", "content-length", "transfer-encoding", "connection", "cookie"}
)


class PassportClientExtension:
    """x402 client extension: the agent's passport, for the sellers that ask.

    Register it on x402's client (``client.register_extension(extension)``,
    on an ``x402Client`` or ``x402ClientSync``). To a 402 whose
    payment-required document declares ``extensions["agent-passport"]`` it
    answers with the passport in the declared ``header`` (by default
    "X-Agent-Passport"): x402's HTTP clients send the request again with it,
    before anything is signed, and the seller checks the passport and its
    budget. A request to a seller that declared nothing never carries it,
    and the passport never goes into the signed payment (which reaches the
    facilitator).

    A seller whose declaration names issuers, or scopes, that the passport
    does not have would refuse it: it is not sent, and the call raises
    (x402's clients report it as their ``PaymentError``) before anything is
    signed.

    x402's own HTTP clients (its httpx transport and requests adapter) then
    sign the payment and send the request again *as it first was*, with the
    payment and without the passport, which the seller refuses (401). To pay
    in one call, send their requests through :meth:`httpx_transport` (as the
    ``transport=`` under x402's own) or use :meth:`requests_adapter`: each
    adds the passport to a paid request whose payment answers a 402 that
    declared it.

    ``credential`` is the passport's text; with None, the agent's own is
    loaded as ``load_credential()`` loads it, from ``QUORVEL_AGENT_PASSPORT``,
    when first needed. A value that cannot be a credential raises
    ``PassportError``.
    """

    key: Final = PASSPORT_EXTENSION

    def __init__(self, credential: str | None = None) -> None:
        self._credential = None if credential is None else checked(credential, _GIVEN, _HINT)
        self.transport_hooks: Final = _TransportHooks(self)
        self.hooks: Final = None

    @property
    def credential(self) -> str:
        """The credential presented, loaded on first use when none was given."""
        credential = self._credential
        if credential is None:
            credential = self._credential = own_credential(None, _HINT)
        return credential

    def enrich_payment_payload(self, payment_payload: PaymentPayload, payment_required: PaymentRequired) -> Any:
        """The payment as it is: the passport travels in a request header only."""
        return payment_payload

    def on_payment_required(self, declaration: Any, context: PaymentRequiredContext) -> PaymentRequiredHeadersResult:
        """x402's HTTP hook, for a 402 declaring the extension: the request
        again, with the passport; ``PassportError`` (and nothing signed) when
        the seller declares issuers or scopes this passport does not have."""
        from x402.schemas import PaymentRequiredHeadersResult

        refusal = self._unfit(declaration)
        if refusal is not None:
            raise PassportError(f"{refusal}: the passport is not sent to {context.request_url}")
        return PaymentRequiredHeadersResult(headers={passport_header(declaration): self.credential})

    def passport_for(self, headers: Mapping[str, str]) -> tuple[str, str] | None:
        """The header and passport to add to an outgoing request with these
        ``headers``: a paid request whose payment echoes the seller's
        declaration and carries no passport yet; else None."""
        from x402.http import decode_payment_signature_header

        value = headers.get("payment-signature") or headers.get("x-payment")
        if not value:
            return None
        try:
            payment = decode_payment_signature_header(value)
        except Exception:
            return None  # not a payment this client made
        extensions = getattr(payment, "extensions", None)
        declaration = extensions.get(PASSPORT_EXTENSION) if isinstance(extensions, dict) else None
        if not isinstance(declaration, dict) or self._unfit(declaration) is not None:
            return None  # the seller did not ask for a passport, or not for this one
        name = passport_header(declaration)
        return None if headers.get(name) else (name, self.credential)

    def _unfit(self, declaration: Any) -> str | None:
        """Why the seller would refuse this passport, by what it declares; None if it may take it.

        The passport is a bearer credential: a seller that names other
        issuers, or scopes it does not grant, never sees it.
        """
        if not isinstance(declaration, dict):
            return None
        payload = decode_passport(self.credential).payload
        issuers, scopes = declaration.get("issuers"), declaration.get("scopes")
        if isinstance(issuers, list) and payload.get("issuer_did") not in issuers:
            return "the seller accepts passports of other issuers"
        granted = payload.get("scopes")
        if isinstance(scopes, list) and not (isinstance(granted, list) and all(s in granted for s in scopes)):
            return f"the seller asks for scopes the passport does not grant: {scopes!r}"
        return None

    def httpx_transport(self, transport: httpx.AsyncBaseTransport | None = None) -> httpx.AsyncBaseTransport:
        """An httpx transport (over ``transport``, by default httpx's own)
        adding the passport to each paid request that answers a declaration.

        Pass it under x402's: ``x402_httpx_transport(client, transport=...)``
        or ``x402AsyncTransport(client, transport=...)``, then
        ``httpx.AsyncClient(transport=that)``.
        """
        import httpx

        made: httpx.AsyncBaseTransport = _transport_class()(self, transport or httpx.AsyncHTTPTransport())
        return made

    def requests_adapter(self, client: x402ClientSync | x402HTTPClientSync, **kwargs: Any) -> x402HTTPAdapter:
        """x402's requests adapter for ``client`` (``kwargs`` as for it),
        whose paid requests carry the passport where the seller declared it.

        Mount it on a session: ``session.mount("https://", adapter)``.
        """
        adapter: x402HTTPAdapter = _adapter_class()(self, client, **kwargs)
        return adapter

    def __repr__(self) -> str:
        state = "loaded" if self._credential is not None else "not loaded"
        return f"PassportClientExtension(<credential {state}>)"


def passport_header(declaration: Any) -> str:
    """The request header a declaration asks the passport in (the default
    when it names none, or a name no passport goes in)."""
    name = declaration.get("header") if isinstance(declaration, dict) else None
    if isinstance(name, str) and _TOKEN.fullmatch(name) and name.lower() not in _NOT_A_PASSPORT_HEADER:
        return name
    return X402_PASSPORT_HEADER


class _TransportHooks:
    """x402's transport hooks of the extension: HTTP only."""

    def __init__(self, extension: PassportClientExtension) -> None:
        self.http: Final = extension


@functools.cache
def _transport_class() -> type[Any]:
    import httpx

    class PassportTransport(httpx.AsyncBaseTransport):
        """Adds the passport to paid requests that answer a declaration."""

        def __init__(self, extension: PassportClientExtension, inner: httpx.AsyncBaseTransport) -> None:
            self._extension = extension
            self._inner = inner

        async def handle_async_request(self, request: httpx.Request) -> httpx.Response:
            adding = self._extension.passport_for(request.headers)
            if adding is not None:
                request.headers[adding[0]] = adding[1]
            return await self._inner.handle_async_request(request)

        async def aclose(self) -> None:
            await self._inner.aclose()

    return PassportTransport


@functools.cache
def _adapter_class() -> type[Any]:
    from requests.adapters import HTTPAdapter
    from x402.http.clients.requests import x402HTTPAdapter

    class Carrying(HTTPAdapter):
        """Below x402's adapter: each request it sends passes here."""

        extension: PassportClientExtension

        def send(self, request: Any, *args: Any, **kwargs: Any) -> Any:
            adding = self.extension.passport_for(request.headers)
            if adding is not None:
                request.headers[adding[0]] = adding[1]
            return super().send(request, *args, **kwargs)

    class PassportAdapter(x402HTTPAdapter, Carrying):
        """x402's requests adapter whose paid requests carry the passport where declared."""

        def __init__(self, extension: PassportClientExtension, client: Any, **kwargs: Any) -> None:
            self.extension = extension
            super().__init__(client, **kwargs)

    return PassportAdapter
