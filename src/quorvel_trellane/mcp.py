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
"""

from __future__ import annotations

import asyncio
import contextlib
import contextvars
import hashlib
import json
from collections import OrderedDict
from collections.abc import AsyncIterator, Mapping
from datetime import datetime
from typing import Any, Final, TypedDict

import httpx2
from mcp.client.streamable_http import streamable_http_client
from mcp.server.auth.middleware.bearer_auth import AuthenticatedUser
from mcp.server.auth.provider import AccessToken
from mcp.server.auth.settings import AuthSettings
from mcp.server.context import CallNext, HandlerResult, ServerRequestContext
from mcp.server.mcpserver import Context, MCPServer
from mcp.shared.exceptions import MCPError
from mcp_types import CallToolResult, ListToolsResult
from pydantic import ConfigDict
from starlette.applications import Starlette

from quorvel_trellane._refusal import CLOSE_POLICY_VIOLATION, Answer, Ask, AsyncTrust, Gate, RequiredScope
from quorvel_trellane.asgi import STATE_KEY, Receive, Scope, Send
from quorvel_trellane.http import PassportAuth
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict
from quorvel_trellane.spend import HoldSettledError, SpendDecision, SpendLedger

__all__ = [
    "NEEDS_META_KEY",
    "DUPLICATE_CALL",
    "PASSPORT_REFUSED",
    "PassportAccess",
    "PassportAccessToken",
    "PassportApp",
    "Needs",
    "needs",
    "passport_transport",
    "passport_verdict",
]

#: The tool ``_meta`` entry that says what a tool needs of a passport (see ``needs``).
NEEDS_META_KEY: Final = "quorvel.com/agent-passport"
#: The refusal of a metered call made again in its session (a request id
#: used before) while it runs or after it was charged: it runs, and counts, once.
DUPLICATE_CALL: Final = "DUPLICATE_CALL"
#: The JSON-RPC error code of every refusal: at the door (in the HTTP
#: answer's body) and at a tool. The error's ``data`` is the refusal
#: document ``{"status", "error_code", "error_message"}``.
PASSPORT_REFUSED: Final = -32030

# Unused by the SDK when it serves no OAuth routes, yet required by its
# settings: a reserved name that can never be fetched.
_NO_AUTHORIZATION_SERVER: Final = "https://authorization.invalid"
_BEARER: Final = b"bearer "
_AUTHORIZATION: Final = b"authorization"
_SESSION_HEADER: Final = "mcp-session-id"
_ENCODER: Final = json.JSONEncoder(separators=(",", ":"))
# How many metered calls a server remembers, to run and charge a retry once.
_REMEMBERED: Final = 65_536

# The verdict the door reached for the credential of the request being
# served, so that the SDK's token check, called further in on the same
# request, does not verify it a second time.
_admitted: contextvars.ContextVar[tuple[str, PassportVerdict] | None] = contextvars.ContextVar(
    "quorvel_mcp_admitted", default=None
)


class Needs(TypedDict, total=False):
    """What a tool needs of a passport: a scope, a price in micro-USD per call."""

    scope: str
    price_microusd: int


def needs(scope: str | None = None, *, price_microusd: int | None = None) -> dict[str, Any]:
    """A tool's ``meta=``: the ``scope`` a passport must grant to see and call
    it, and the ``price_microusd`` each call reserves on the ledger.

    ``@server.tool(meta=needs("catalog:read"))``; merge with other entries
    of your own as ``{**needs(...), "mine": 1}``.
    """
    if scope is not None and (not isinstance(scope, str) or not scope):
        raise TypeError(f"scope must be a non-empty str or None, not {scope!r}")
    if price_microusd is not None and (type(price_microusd) is not int or price_microusd <= 0):
        raise ValueError(f"price_microusd must be a positive int or None, not {price_microusd!r}")
    entry: Needs = {}
    if scope is not None:
        entry["scope"] = scope
    if price_microusd is not None:
        entry["price_microusd"] = price_microusd
    return {NEEDS_META_KEY: dict(entry)}


class PassportAccessToken(AccessToken):
    """The SDK's access token for a verified passport, with its ``verdict``.

    ``client_id`` and ``subject`` are the agent DID and ``claims["iss"]`` the
    issuer DID: the principal the SDK binds a session to. ``scopes`` are the
    passport's, ``expires_at`` its expiry (Unix seconds).
    """

    model_config = ConfigDict(arbitrary_types_allowed=True)

    verdict: PassportVerdict

    @classmethod
    def of(cls, credential: str, verdict: PassportVerdict) -> PassportAccessToken:
        agent = verdict.agent_did or ""
        return cls(
            token=credential,
            client_id=agent,
            subject=agent,
            scopes=list(verdict.scopes),
            expires_at=_unix(verdict.expires_at),
            claims={"iss": verdict.issuer_did},
            verdict=verdict,
        )


def passport_verdict(context: Context[Any] | ServerRequestContext[Any, Any]) -> PassportVerdict | None:
    """The verified verdict of the agent calling: from a tool's ``ctx:
    Context`` or the SDK's request context. None outside an admitted request."""
    request_context = context.request_context if isinstance(context, Context) else context
    token = _token(request_context)
    return None if token is None else token.verdict


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
        if not any(isinstance(each, _ToolChecks) and each.access is self for each in server.middleware):
            server.middleware.append(_ToolChecks(self, server))
        return PassportApp(self, server.streamable_http_app(**options))

    async def verify_token(self, token: str) -> PassportAccessToken | None:
        """The SDK's token check: the access token of a verified passport, else None."""
        admitted = _admitted.get()
        if admitted is not None and admitted[0] == token:
            verdict = admitted[1]
        else:
            verdict = await self.trust.verify_async(token)
        return PassportAccessToken.of(token, verdict) if verdict.verified else None


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
        credential, repeated = _credential(scope, self.access.header_key)
        seen = self.access.examine(credential, scope, repeated=repeated)
        verdict: PassportVerdict | None
        if isinstance(seen, Ask):
            verdict = await self.access.trust.verify_async(seen.credential, required_scope=seen.required_scope)
        else:
            verdict = seen
        answer = self.access.answer(verdict)
        if answer is not None:
            await _refuse(send, answer)
            return
        # Admitted: the header held a credential that verified.
        assert credential is not None and isinstance(verdict, PassportVerdict)
        headers = [(k, v) for k, v in scope["headers"] if k.lower() != _AUTHORIZATION]
        headers.append((_AUTHORIZATION, b"Bearer " + credential.encode("latin-1")))
        state = scope.get("state")
        scope = {**scope, "headers": headers, "state": {**state, STATE_KEY: verdict} if state else {STATE_KEY: verdict}}
        admitted = _admitted.set((credential, verdict))
        try:
            await self.app(scope, receive, send)
        finally:
            _admitted.reset(admitted)


class _ToolChecks:
    """The SDK's server middleware: tool scopes and prices, from the verified verdict."""

    def __init__(self, access: PassportAccess, server: MCPServer[Any]) -> None:
        self.access = access
        self.server = server
        # The metered calls of this process's sessions by ledger key: True
        # once charged, False while running. Sessions live in one process,
        # so their calls are never made on another.
        self._calls: OrderedDict[str, bool] = OrderedDict()

    async def __call__(self, ctx: ServerRequestContext[Any, Any], call_next: CallNext) -> HandlerResult:
        if ctx.method == "tools/list":
            return _visible(await call_next(ctx), _token(ctx))
        if ctx.method != "tools/call":
            return await call_next(ctx)
        params = ctx.params or {}
        name = params.get("name")
        wanted = await self._needs(name)
        if not wanted:
            return await call_next(ctx)
        token = _token(ctx)
        if token is None:
            raise _refusal("missing", "MISSING_PASSPORT", "no verified passport")
        scope = wanted.get("scope")
        if scope is not None and scope not in token.verdict.scopes:
            raise _refusal("active", "SCOPE_NOT_GRANTED", f"scope '{scope}' not granted")
        price = wanted.get("price_microusd")
        if price is None:
            return await call_next(ctx)
        return await self._metered(ctx, call_next, token, str(name), price)

    async def _needs(self, name: object) -> Needs | None:
        # Looked up at every call: tools may be added and removed while serving.
        for tool in await self.server.list_tools():
            if tool.name == name:
                return _needs_of(tool.meta)
        return None

    async def _metered(
        self,
        ctx: ServerRequestContext[Any, Any],
        call_next: CallNext,
        token: PassportAccessToken,
        name: str,
        price: int,
    ) -> HandlerResult:
        ledger = self.access.ledger
        if ledger is None:
            raise _refusal("active", "SPEND_TERMS_UNSUPPORTED", f"tool '{name}' has a price and the server no ledger")
        key = _call_key(ctx, name, price)
        if key is not None:
            # Checked and claimed with no await between: one of two copies
            # arriving together runs.
            done = self._calls.get(key)
            if done is not None:
                why = "was already made and charged" if done else "is already running"
                raise _refusal("active", DUPLICATE_CALL, f"this call of tool '{name}' {why}")
            self._calls[key] = False
            while len(self._calls) > _REMEMBERED:
                self._calls.popitem(last=False)
        charged = False
        try:
            # The door's verdict: the ledger does not verify the passport again.
            decision = await ledger.reserve_async(token.token, price, key=key, verdict=token.verdict)
            if not decision:
                raise _refusal(decision.verdict.status, decision.error_code, decision.error_message)
            try:
                result = await call_next(ctx)
            except asyncio.CancelledError:
                # The tool may have done its work before it was cancelled: an
                # uncertain outcome stays held, and counts until it leaves the
                # window; a retry reuses the hold.
                raise
            except Exception:
                await _release(ledger, decision)
                raise
            if _is_error(result):
                # The SDK turns what a tool raises into an error result.
                await _release(ledger, decision)
            else:
                await ledger.commit_async(decision)
                charged = True
            return result
        finally:
            if key is not None:
                if charged:
                    self._calls[key] = True
                else:
                    self._calls.pop(key, None)


async def _release(ledger: SpendLedger, decision: SpendDecision) -> None:
    # A retry of a call an earlier attempt committed: that attempt's charge stands.
    with contextlib.suppress(HoldSettledError):
        await ledger.release_async(decision)


def _call_key(ctx: ServerRequestContext[Any, Any], name: str, price: int) -> str | None:
    """The ledger key of a tool call, so that its retries count once.

    The session (the server chose it, and only its agent may use it) with
    the request id, which a client never uses twice in a session but starts
    again on every connection, so is never a key alone. None without a
    session: such a call is charged each time it is made.
    """
    request = ctx.request
    session = request.headers.get(_SESSION_HEADER) if request is not None else None
    if not session or ctx.request_id is None:
        return None
    parts = [name, price, session, ctx.request_id]
    return "mcp:" + hashlib.sha256(_ENCODER.encode(parts).encode("utf-8")).hexdigest()


def _token(ctx: ServerRequestContext[Any, Any]) -> PassportAccessToken | None:
    request = ctx.request
    scope = getattr(request, "scope", None)
    user = scope.get("user") if isinstance(scope, Mapping) else None
    if isinstance(user, AuthenticatedUser) and isinstance(user.access_token, PassportAccessToken):
        return user.access_token
    return None


def _needs_of(meta: Mapping[str, Any] | None) -> Needs | None:
    entry = meta.get(NEEDS_META_KEY) if meta else None
    return entry if isinstance(entry, dict) and entry else None  # type: ignore[return-value]


def _is_error(result: HandlerResult) -> bool:
    """Whether a ``tools/call`` result, as a model or in its wire form, is an error."""
    if isinstance(result, CallToolResult):
        return bool(result.is_error)
    return isinstance(result, Mapping) and bool(result.get("isError"))


def _visible(result: HandlerResult, token: PassportAccessToken | None) -> HandlerResult:
    """The tool list, as a model or in its wire form, less the tools whose
    scope the passport does not grant."""
    granted = () if token is None else token.verdict.scopes

    def allowed(meta: Mapping[str, Any] | None) -> bool:
        scope = (_needs_of(meta) or {}).get("scope")
        return scope is None or scope in granted

    # The list is this passport's: never one a shared cache may hand another agent.
    if isinstance(result, ListToolsResult):
        tools = [tool for tool in result.tools if allowed(tool.meta)]
        return result.model_copy(update={"tools": tools, "cache_scope": "private"})
    if isinstance(result, Mapping) and isinstance(result.get("tools"), list):
        tools = [tool for tool in result["tools"] if not isinstance(tool, Mapping) or allowed(tool.get("_meta"))]
        return {**result, "tools": tools, **({"cacheScope": "private"} if "cacheScope" in result else {})}
    return result


def _refusal(status: str | None, code: str | None, message: str | None) -> MCPError:
    document = {"status": status, "error_code": code, "error_message": message}
    return MCPError(PASSPORT_REFUSED, f"{code}: {message}", document)


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
    body = _ENCODER.encode(document).encode("utf-8")
    headers = [
        (name.lower().encode("latin-1"), (str(len(body)) if name.lower() == "content-length" else value).encode())
        for name, value in answer.headers
    ]
    await send({"type": "http.response.start", "status": answer.code, "headers": headers})
    await send({"type": "http.response.body", "body": body})


def _unix(text: str | None) -> int | None:
    if not text:
        return None
    try:
        return int(datetime.fromisoformat(text).timestamp())
    except (TypeError, ValueError):
        return None


@contextlib.asynccontextmanager
async def passport_transport(
    url: str, credential: str | None = None, *, timeout: float = 30.0, read_timeout: float = 300.0
) -> AsyncIterator[Any]:
    """The SDK's streamable HTTP transport to ``url``, presenting a passport.

    ``async with Client(passport_transport(url)) as client``: ``credential``
    is the passport's text, by default the agent's own
    (``$QUORVEL_AGENT_PASSPORT``), sent in the "X-Agent-Passport" header of
    every request to the server, and never to another origin: the SDK
    follows no redirect away from it. ``timeout`` and ``read_timeout``
    (seconds) are the HTTP client's.
    """
    auth = PassportAuth(credential)
    http = httpx2.AsyncClient(auth=auth, timeout=httpx2.Timeout(timeout, read=read_timeout))
    async with http, streamable_http_client(url, http_client=http) as streams:
        yield streams
