"""Metered tool calls: each call charged once, however it is retried, cancelled or resumed.

Imported through :mod:`quorvel_trellane.mcp`.

A call is its tool, its arguments (as canonical JSON) and its price. Its
identity, what makes a message "the same call made again", is the agent's
idempotency key (the request's ``_meta``, ``IDEMPOTENCY_META_KEY``) when it
sends one, else the session with the request id; a sessionless call
without a key has none, and is charged each time it is made.

The ledger key of a call with an idempotency key is the key alone (the
ledger keeps keys per passport): a key made again for another call, on any
server sharing the ledger, finds the first call's hold and is refused.
With a session, the ledger key is the session, the request id and the
call: a request id used again for another call is a new call.

The calls this process served are remembered (``Calls``), each bound to
its call: running, charged, held after a cancel, or waiting for the
agent's input. A hold the ledger returns again (``replayed``) runs the
tool only for the retry of a call this process saw cancelled, once.
"""

from __future__ import annotations

import asyncio
import contextlib
import enum
import hashlib
import json
from collections import OrderedDict
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Final

import anyio
from mcp.server.context import CallNext, HandlerResult, ServerRequestContext
from mcp.shared.exceptions import MCPError
from mcp_types import INVALID_PARAMS, CallToolResult
from mcp_types.methods import is_input_required

from quorvel_trellane.mcp._needs import DUPLICATE_CALL, IDEMPOTENCY_META_KEY, refusal
from quorvel_trellane.mcp._token import PassportAccessToken
from quorvel_trellane.passport import decode_passport
from quorvel_trellane.spend import IDEMPOTENCY_KEY_REUSED, HoldSettledError, SpendDecision, SpendLedger

_SESSION_HEADER: Final = "mcp-session-id"
# How many metered calls a server remembers, to run and charge a retry once.
_REMEMBERED: Final = 65_536
#: The longest idempotency key taken, in characters.
MAX_KEY_LENGTH: Final = 256


class _State(enum.Enum):
    RUNNING = "is already running"
    CHARGED = "was already made and charged"
    HELD = "was cancelled: its hold stays, for a retry of the same call"
    SPENT = "was cancelled again after a retry: its hold stands, a new call needs a new key or request"
    AWAITING = "waits for the agent's input"


@dataclass(eq=False)
class _Entry:
    call: str
    state: _State = _State.RUNNING
    retried: bool = False  # a retry already reused this call's hold


@dataclass(frozen=True)
class Identity:
    """Who a metered call is: the slot it is remembered in, its ledger key, and the call itself."""

    slot: str | None
    key: str | None
    call: str


def identify(ctx: ServerRequestContext[Any, Any], token: PassportAccessToken, name: str, price: int) -> Identity:
    """The identity of a ``tools/call``; ``MCPError`` for an idempotency key that cannot be one."""
    params = ctx.params or {}
    call = _digest([name, price, params.get("arguments")])
    meta = params.get("_meta")
    named = meta.get(IDEMPOTENCY_META_KEY) if isinstance(meta, Mapping) else None
    if named is not None:
        if not isinstance(named, str) or not 0 < len(named) <= MAX_KEY_LENGTH:
            message = (
                f"Invalid idempotency key: _meta {IDEMPOTENCY_META_KEY!r} is text of 1 to {MAX_KEY_LENGTH} characters"
            )
            raise MCPError(INVALID_PARAMS, message)
        slot = _digest(["key", *_passport(token), named])
        return Identity(slot, "mcp:key:" + _digest([named]), call)
    request = ctx.request
    session = request.headers.get(_SESSION_HEADER) if request is not None else None
    if not session or ctx.request_id is None:
        return Identity(None, None, call)
    slot = _digest(["session", *_passport(token), session, ctx.request_id, call])
    return Identity(slot, "mcp:" + slot, call)


class Calls:
    """The metered calls of this process, by slot, each bound to its call.

    Sessions live in one process, so a call on a session is never made on
    another; a call named by an idempotency key may be, and the ledger,
    shared, keeps those apart.
    """

    def __init__(self) -> None:
        self._entries: OrderedDict[str, _Entry] = OrderedDict()

    def claim(self, identity: Identity, name: str) -> _Entry | None:
        """Mark the call running, or refuse it (``MCPError``) as a copy or a
        key used for another call. None: nothing to remember."""
        if identity.slot is None:
            return None
        # Checked and claimed with no await between: one of two copies arriving together runs.
        entry = self._entries.get(identity.slot)
        if entry is not None and entry.call != identity.call:
            raise refusal(
                "active",
                IDEMPOTENCY_KEY_REUSED,
                "this idempotency key was used for another call (another tool or other arguments): "
                "a new call needs a new key",
            )
        if entry is None or entry.state is _State.AWAITING:
            entry = self._entries[identity.slot] = _Entry(identity.call)
            self._entries.move_to_end(identity.slot)
            while len(self._entries) > _REMEMBERED:
                self._entries.popitem(last=False)
            return entry
        if entry.state is not _State.HELD:
            raise refusal("active", DUPLICATE_CALL, f"this call of tool '{name}' {entry.state.value}")
        entry.state, entry.retried = _State.RUNNING, True
        return entry

    def settle(self, identity: Identity, entry: _Entry | None, state: _State | None) -> None:
        """The call's state after this attempt; None forgets it (nothing held)."""
        if entry is None or identity.slot is None or self._entries.get(identity.slot) is not entry:
            return  # not remembered, or pushed out meanwhile
        if state is None:
            del self._entries[identity.slot]
        elif state is _State.HELD and entry.retried:
            entry.state = _State.SPENT  # a hold backs one retry: never unlimited runs
        else:
            entry.state = state


async def metered(
    calls: Calls,
    ledger: SpendLedger,
    ctx: ServerRequestContext[Any, Any],
    call_next: CallNext,
    token: PassportAccessToken,
    name: str,
    price: int,
) -> HandlerResult:
    """Run a priced tool call: hold its price, run it, then charge or free the hold."""
    identity = identify(ctx, token, name, price)
    entry = calls.claim(identity, name)
    state: _State | None = None
    try:
        # Shielded: a hold made is known, even when the call is cancelled meanwhile.
        with anyio.CancelScope(shield=True):
            decision = await ledger.reserve_async(token.token, price, key=identity.key, verdict=token.verdict)
        if not decision:
            raise refusal(decision.verdict.status, decision.error_code, decision.error_message)
        if decision.replayed and not (entry is not None and entry.retried):
            # Another attempt's hold: running, charged, or made on another
            # server. It is that attempt's to settle, and this copy runs nothing.
            raise refusal("active", DUPLICATE_CALL, f"this call of tool '{name}' was already made")
        try:
            result = await call_next(ctx)
        except asyncio.CancelledError:
            # The tool may have done its work before it was cancelled: an
            # uncertain outcome stays held, and counts until it leaves the
            # window; one retry of the same call may reuse the hold.
            state = _State.HELD
            raise
        except Exception:
            with anyio.CancelScope(shield=True):
                await _settle(ledger, decision, charge=False)
            raise
        # The tool returned: its outcome is known, and settled even if the
        # call is cancelled now (a sync tool's cancel lands once it is done).
        with anyio.CancelScope(shield=True):
            if _is_error(result):
                # The SDK turns what a tool raises into an error result.
                await _settle(ledger, decision, charge=False)
            elif is_input_required(result):
                # A round that asks the agent for input has not made the call:
                # the round that completes it is charged, once.
                await _settle(ledger, decision, charge=False)
                state = _State.AWAITING
            else:
                await _settle(ledger, decision, charge=True)
                state = _State.CHARGED
        return result
    finally:
        calls.settle(identity, entry, state)


async def _settle(ledger: SpendLedger, decision: SpendDecision, *, charge: bool) -> None:
    if charge:
        await ledger.commit_async(decision)
        return
    # A retry of a call an earlier attempt committed: that attempt's charge stands.
    with contextlib.suppress(HoldSettledError):
        await ledger.release_async(decision)


def _passport(token: PassportAccessToken) -> tuple[object, object]:
    """The passport a call is charged to (issuer DID, passport id): what keys are scoped to."""
    payload = decode_passport(token.token).payload
    return token.verdict.issuer_did, payload.get("passport_id") if isinstance(payload, dict) else None


def _digest(parts: list[Any]) -> str:
    text = json.dumps(parts, sort_keys=True, separators=(",", ":"), ensure_ascii=True, default=repr)
    return hashlib.sha256(text.encode("ascii")).hexdigest()


def _is_error(result: HandlerResult) -> bool:
    """Whether a ``tools/call`` result, as a model or in its wire form, is an error."""
    if isinstance(result, CallToolResult):
        return bool(result.is_error)
    return isinstance(result, Mapping) and bool(result.get("isError"))
