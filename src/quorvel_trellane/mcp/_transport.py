"""The agent's side: the SDK's streamable HTTP transport presenting a passport.

Imported through :mod:`quorvel_trellane.mcp`.
"""

from __future__ import annotations

import contextlib
from collections.abc import AsyncIterator
from typing import Any

import httpx2
from mcp.client.streamable_http import streamable_http_client

from quorvel_trellane.http import PassportAuth


@contextlib.asynccontextmanager
async def passport_transport(
    url: str, credential: str | None = None, *, timeout: float = 30.0, read_timeout: float = 300.0
) -> AsyncIterator[Any]:
    """The SDK's streamable HTTP transport to ``url``, presenting a passport.

    ``async with Client(passport_transport(url)) as client``: ``credential``
    is the passport's text, by default the agent's own
    (``$QUORVEL_AGENT_PASSPORT``), sent in the "X-Agent-Passport" header of
    every request to the server, and never to another origin: the SDK
    follows a redirect (a trailing slash) only within the server's origin,
    and the auth keeps the passport to it on each hop. ``timeout`` and
    ``read_timeout`` (seconds) are the HTTP client's.
    """
    auth = PassportAuth(credential)
    http = httpx2.AsyncClient(
        auth=auth, event_hooks=auth.async_event_hooks, timeout=httpx2.Timeout(timeout, read=read_timeout)
    )
    async with http, streamable_http_client(url, http_client=http) as streams:
        yield streams
