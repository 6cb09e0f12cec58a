"""A store whose every operation an observer times and counts."""

from __future__ import annotations

import time
from typing import Final

from quorvel_trellane._internal.observing import Observer
from quorvel_trellane.spend._store import HoldState, Request, Reserved, Settled, Store

__all__ = ["ObservedStore", "reservation_result"]

_LIMIT: Final = "SPEND_LIMIT_EXCEEDED"
_REUSED: Final = "IDEMPOTENCY_KEY_REUSED"
_FAILED: Final = object()  # a settlement that raised


def reservation_result(reserved: Reserved) -> str:
    """What a reservation came to, as observers count it."""
    if reserved.hold is None:
        return _REUSED if reserved.reused else _LIMIT
    return "replayed" if reserved.replayed else "held"


class ObservedStore:
    """Wraps a store: each operation is timed and counted by ``observer``."""

    def __init__(self, store: Store, observer: Observer) -> None:
        self._store = store
        self._observer = observer
        self._kind = "postgresql" if type(store).__name__.startswith("Postgres") else "sqlite"

    def __repr__(self) -> str:
        return repr(self._store)

    def reserve(self, request: Request) -> Reserved:
        started, began, reserved = time.time_ns(), time.perf_counter(), None
        try:
            reserved = self._store.reserve(request)
            return reserved
        finally:
            self._reserved(reserved, started, began)

    async def reserve_async(self, request: Request) -> Reserved:
        started, began, reserved = time.time_ns(), time.perf_counter(), None
        try:
            reserved = await self._store.reserve_async(request)
            return reserved
        finally:
            self._reserved(reserved, started, began)

    def settle(self, hold: object, state: int, amount: int | None) -> Settled | None:
        started, began, settled = time.time_ns(), time.perf_counter(), _FAILED
        try:
            settled = self._store.settle(hold, state, amount)
            return settled
        finally:
            self._settled(state, settled, started, began)

    async def settle_async(self, hold: object, state: int, amount: int | None) -> Settled | None:
        started, began, settled = time.time_ns(), time.perf_counter(), _FAILED
        try:
            settled = await self._store.settle_async(hold, state, amount)
            return settled
        finally:
            self._settled(state, settled, started, began)

    def settle_key(self, issuer_did: str, passport_id: str, key: str, state: int, amount: int | None) -> Settled | None:
        started, began, settled = time.time_ns(), time.perf_counter(), _FAILED
        try:
            settled = self._store.settle_key(issuer_did, passport_id, key, state, amount)
            return settled
        finally:
            self._settled(state, settled, started, began)

    async def settle_key_async(
        self, issuer_did: str, passport_id: str, key: str, state: int, amount: int | None
    ) -> Settled | None:
        started, began, settled = time.time_ns(), time.perf_counter(), _FAILED
        try:
            settled = await self._store.settle_key_async(issuer_did, passport_id, key, state, amount)
            return settled
        finally:
            self._settled(state, settled, started, began)

    def _reserved(self, reserved: Reserved | None, started: int, began: float) -> None:
        result = "error" if reserved is None else reservation_result(reserved)
        self._observer.reserved(result, self._kind, started, time.perf_counter() - began)

    def _settled(self, state: int, settled: object, started: int, began: float) -> None:
        fresh = isinstance(settled, Settled) and settled.fresh
        result = "error" if settled is _FAILED else HoldState(state).name.lower() if fresh else "unchanged"
        final = settled.amount if isinstance(settled, Settled) and fresh else 0
        action = "commit" if state == HoldState.COMMITTED else "release"
        self._observer.settled(action, result, self._kind, final, started, time.perf_counter() - began)

    def spent(self, issuer_did: str, passport_id: str, at: int, window: int | None) -> int:
        return self._store.spent(issuer_did, passport_id, at, window)

    def close(self) -> None:
        self._store.close()
