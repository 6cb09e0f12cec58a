"""What a tool needs of a passport (a scope, a price), and the refusals' codes.

Imported through :mod:`quorvel_trellane.mcp`.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, Final, TypedDict, TypeGuard

from mcp.shared.exceptions import MCPError

#: The tool ``_meta`` entry that says what a tool needs of a passport (see ``needs``).
NEEDS_META_KEY: Final = "quorvel.com/agent-passport"
#: The request ``_meta`` entry naming a metered call: the agent's
#: idempotency key, text of 1 to 256 characters, kept per passport. The
#: same key for the same call (tool and arguments) runs and is charged
#: once; for another call it is refused ("IDEMPOTENCY_KEY_REUSED").
IDEMPOTENCY_META_KEY: Final = "quorvel.com/idempotency-key"
#: The refusal of a metered call made again (the same idempotency key, or
#: in its session the same request id) while it runs or after it was
#: charged: it runs, and counts, once.
DUPLICATE_CALL: Final = "DUPLICATE_CALL"
#: The JSON-RPC error code of every refusal: at the door (in the HTTP
#: answer's body) and at a tool. The error's ``data`` is the refusal
#: document ``{"status", "error_code", "error_message"}``.
PASSPORT_REFUSED: Final = -32030

_PRICE_BOUND: Final = 2**63


class Needs(TypedDict, total=False):
    """What a tool needs of a passport: the ``scopes`` it must grant (named
    as the x402 challenge and the agent card name them; ``scope``, the
    first form, names one), a price in micro-USD per call."""

    scope: str
    scopes: list[str]
    price_microusd: int


def needs(scope: str | None = None, *, price_microusd: int | None = None) -> dict[str, Any]:
    """A tool's ``meta=``: the ``scope`` a passport must grant to see and call
    it, and the ``price_microusd`` each call reserves on the ledger (a
    positive int below 2**63, what a ledger can hold).

    ``@server.tool(meta=needs("catalog:read"))``; merge with other entries
    of your own as ``{**needs(...), "mine": 1}``.
    """
    if scope is not None and (not isinstance(scope, str) or not scope):
        raise TypeError(f"scope must be a non-empty str or None, not {scope!r}")
    if price_microusd is not None and not is_price(price_microusd):
        raise ValueError(f"price_microusd must be a positive int below 2**63 or None, not {price_microusd!r}")
    entry: Needs = {}
    if scope is not None:
        entry["scope"] = scope
        entry["scopes"] = [scope]
    if price_microusd is not None:
        entry["price_microusd"] = price_microusd
    return {NEEDS_META_KEY: dict(entry)}


def is_price(value: object) -> TypeGuard[int]:
    """Whether ``value`` is a price a ledger can hold: a positive int below 2**63 (a bool is none)."""
    return type(value) is int and 0 < value < _PRICE_BOUND


def needs_of(meta: Mapping[str, Any] | None) -> Needs | None:
    """What a tool's ``_meta`` says it needs, or None when it needs nothing."""
    entry = meta.get(NEEDS_META_KEY) if meta else None
    return entry if isinstance(entry, dict) and entry else None  # type: ignore[return-value]


def required_scopes(wanted: Needs) -> list[object]:
    """Every scope a tool's entry asks a passport to grant: its ``scope``
    and each of its ``scopes``. A value of another shape is kept as it is,
    a scope no passport grants: an entry written by hand fails closed."""
    found: list[object] = []
    if wanted.get("scope") is not None:
        found.append(wanted["scope"])
    scopes: object = wanted.get("scopes")
    if scopes is not None:
        found.extend(scopes if isinstance(scopes, list) else [scopes])
    return found


def refusal(status: str | None, code: str | None, message: str | None) -> MCPError:
    """The JSON-RPC error refusing a tool call, the refusal document as its data."""
    document = {"status": status, "error_code": code, "error_message": message}
    return MCPError(PASSPORT_REFUSED, f"{code}: {message}", document)
