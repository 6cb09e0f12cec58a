"""The SDK's access token for a verified passport, and the verdict read back from a request.

Imported through :mod:`quorvel_trellane.mcp`.
"""

from __future__ import annotations

from collections.abc import Mapping
from datetime import datetime
from typing import Any

from mcp.server.auth.middleware.bearer_auth import AuthenticatedUser
from mcp.server.auth.provider import AccessToken
from mcp.server.context import ServerRequestContext
from mcp.server.mcpserver import Context
from pydantic import ConfigDict

from quorvel_trellane.passport import PassportVerdict


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
        """The token of a verified verdict that names its principal (``unfit`` is None)."""
        why = unfit(verdict)
        agent = verdict.agent_did
        if why is not None or agent is None:
            raise ValueError(f"no MCP principal for this passport: {why}")
        return cls(
            token=credential,
            client_id=agent,
            subject=agent,
            scopes=list(verdict.scopes),
            expires_at=_unix(verdict.expires_at),
            claims={"iss": verdict.issuer_did},
            verdict=verdict,
        )


def unfit(verdict: PassportVerdict) -> str | None:
    """Why a genuine passport cannot be an MCP principal, or None when it can.

    The SDK binds sessions to the token's principal, the agent DID: a
    passport without one as text (absent, empty, a number, a list) would
    share its sessions with every such passport, and scopes that are not
    text have no meaning to a tool's scope.
    """
    agent = verdict.agent_did
    if not isinstance(agent, str) or not agent:
        return "the passport names no agent DID (text), to which MCP binds its sessions"
    if not all(isinstance(scope, str) for scope in verdict.scopes):
        return "the passport's scopes are not all text"
    return None


def passport_verdict(context: Context[Any] | ServerRequestContext[Any, Any]) -> PassportVerdict | None:
    """The verified verdict of the agent calling: from a tool's ``ctx:
    Context`` or the SDK's request context. None outside an admitted request."""
    request_context = context.request_context if isinstance(context, Context) else context
    token = token_of(request_context)
    return None if token is None else token.verdict


def token_of(ctx: ServerRequestContext[Any, Any]) -> PassportAccessToken | None:
    """The passport's access token the SDK's auth put on the request, or None."""
    request = ctx.request
    scope = getattr(request, "scope", None)
    user = scope.get("user") if isinstance(scope, Mapping) else None
    if isinstance(user, AuthenticatedUser) and isinstance(user.access_token, PassportAccessToken):
        return user.access_token
    return None


def _unix(text: str | None) -> int | None:
    if not text:
        return None
    try:
        return int(datetime.fromisoformat(text).timestamp())
    except (TypeError, ValueError):
        return None
