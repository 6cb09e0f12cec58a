"""The SDK's server middleware: each tool's scope and price, from the verified verdict.

Imported through :mod:`quorvel_trellane.mcp`.
"""

from __future__ import annotations

import asyncio
import contextlib
import hashlib
from collections import OrderedDict
from collections.abc import Mapping
from typing import Any, Final, Protocol

from mcp.server.context import CallNext, HandlerResult, ServerRequestContext
from mcp.server.mcpserver import MCPServer
from mcp_types import CallToolResult, ListToolsResult

from quorvel_trellane._refusal import compact_json
from quorvel_trellane.mcp._needs import DUPLICATE_CALL, Needs, needs_of, refusal
from quorvel_trellane.mcp._token import PassportAccessToken, token_of
from quorvel_trellane.spend import HoldSettledError, SpendDecision, SpendLedger

_SESSION_HEADER: Final = "mcp-session-id"
# How many metered calls a server remembers, to run and charge a retry once.
_REMEMBERED: Final = 65_536


class Access(Protocol):
    """What the tool checks read of the ``PassportAccess`` that installs them."""

    @property
    def ledger(self) -> SpendLedger | None: ...


class ToolChecks:
    """The SDK's server middleware: tool scopes and prices, from the verified verdict."""

    def __init__(self, access: Access, server: MCPServer[Any]) -> None:
        self.access = access
        self.server = server
        # The metered calls of this process's sessions by ledger key: True
        # once charged, False while running. Sessions live in one process,
        # so their calls are never made on another.
        self._calls: OrderedDict[str, bool] = OrderedDict()

    async def __call__(self, ctx: ServerRequestContext[Any, Any], call_next: CallNext) -> HandlerResult:
        if ctx.method == "tools/list":
            return _visible(await call_next(ctx), token_of(ctx))
        if ctx.method != "tools/call":
            return await call_next(ctx)
        params = ctx.params or {}
        name = params.get("name")
        wanted = await self._needs(name)
        if not wanted:
            return await call_next(ctx)
        token = token_of(ctx)
        if token is None:
            raise refusal("missing", "MISSING_PASSPORT", "no verified passport")
        scope = wanted.get("scope")
        if scope is not None and scope not in token.verdict.scopes:
            raise refusal("active", "SCOPE_NOT_GRANTED", f"scope '{scope}' not granted")
        price = wanted.get("price_microusd")
        if price is None:
            return await call_next(ctx)
        return await self._metered(ctx, call_next, token, str(name), price)

    async def _needs(self, name: object) -> Needs | None:
        # Looked up at every call: tools may be added and removed while serving.
        for tool in await self.server.list_tools():
            if tool.name == name:
                return needs_of(tool.meta)
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
            raise refusal("active", "SPEND_TERMS_UNSUPPORTED", f"tool '{name}' has a price and the server no ledger")
        key = _call_key(ctx, name, price)
        if key is not None:
            # Checked and claimed with no await between: one of two copies
            # arriving together runs.
            done = self._calls.get(key)
            if done is not None:
                why = "was already made and charged" if done else "is already running"
                raise refusal("active", DUPLICATE_CALL, f"this call of tool '{name}' {why}")
            self._calls[key] = False
            while len(self._calls) > _REMEMBERED:
                self._calls.popitem(last=False)
        charged = False
        try:
            # The door's verdict: the ledger does not verify the passport again.
            decision = await ledger.reserve_async(token.token, price, key=key, verdict=token.verdict)
            if not decision:
                raise refusal(decision.verdict.status, decision.error_code, decision.error_message)
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
    return "mcp:" + hashlib.sha256(compact_json(parts).encode("utf-8")).hexdigest()


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
        scope = (needs_of(meta) or {}).get("scope")
        return scope is None or scope in granted

    # The list is this passport's: never one a shared cache may hand another agent.
    if isinstance(result, ListToolsResult):
        tools = [tool for tool in result.tools if allowed(tool.meta)]
        return result.model_copy(update={"tools": tools, "cache_scope": "private"})
    if isinstance(result, Mapping) and isinstance(result.get("tools"), list):
        tools = [tool for tool in result["tools"] if not isinstance(tool, Mapping) or allowed(tool.get("_meta"))]
        return {**result, "tools": tools, **({"cacheScope": "private"} if "cacheScope" in result else {})}
    return result
