"""The SDK's server middleware: each tool's scope and price, from the verified verdict.

Imported through :mod:`quorvel_trellane.mcp`.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Protocol

from mcp.server.context import CallNext, HandlerResult, ServerRequestContext
from mcp.server.mcpserver import MCPServer
from mcp_types import ListToolsResult

from quorvel_trellane.mcp._metering import Calls, metered
from quorvel_trellane.mcp._needs import Needs, is_price, needs_of, refusal, required_scopes
from quorvel_trellane.mcp._token import PassportAccessToken, token_of
from quorvel_trellane.spend import SpendLedger


class Access(Protocol):
    """What the tool checks read of the ``PassportAccess`` that installs them."""

    @property
    def ledger(self) -> SpendLedger | None: ...


class ToolChecks:
    """The SDK's server middleware: tool scopes and prices, from the verified verdict."""

    def __init__(self, access: Access, server: MCPServer[Any]) -> None:
        self.access = access
        self.server = server
        # The metered calls this process served, to run and charge each once.
        self._calls = Calls()

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
        for scope in required_scopes(wanted):
            if scope not in token.verdict.scopes:
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
        price: object,
    ) -> HandlerResult:
        ledger = self.access.ledger
        if ledger is None:
            raise refusal("active", "SPEND_TERMS_UNSUPPORTED", f"tool '{name}' has a price and the server no ledger")
        if not is_price(price):
            # A _meta written by hand: needs() refuses such a price when the tool is declared.
            raise refusal("active", "SPEND_TERMS_UNSUPPORTED", f"tool '{name}' has no price a ledger can hold")
        return await metered(self._calls, ledger, ctx, call_next, token, name, price)


def _visible(result: HandlerResult, token: PassportAccessToken | None) -> HandlerResult:
    """The tool list, as a model or in its wire form, less the tools whose
    scope the passport does not grant."""
    granted = () if token is None else token.verdict.scopes

    def allowed(meta: Mapping[str, Any] | None) -> bool:
        return all(scope in granted for scope in required_scopes(needs_of(meta) or {}))

    # The list is this passport's: never one a shared cache may hand another agent.
    if isinstance(result, ListToolsResult):
        tools = [tool for tool in result.tools if allowed(tool.meta)]
        return result.model_copy(update={"tools": tools, "cache_scope": "private"})
    if isinstance(result, Mapping) and isinstance(result.get("tools"), list):
        tools = [tool for tool in result["tools"] if not isinstance(tool, Mapping) or allowed(tool.get("_meta"))]
        return {**result, "tools": tools, **({"cacheScope": "private"} if "cacheScope" in result else {})}
    return result
