"""A store whose every operation an observer times and counts."""

from __future__ import annotations

import time
from typing import Final

from quorvel_trellane._internal.observing import Observer
from quorvel_trellane.spend._store import HoldState, Request, Reserved, Settled, Store

__all__ = ["ObservedStore", "reservation_result"]

_LIMIT: Final = "SPEND_LIMIT_EXCEEDED"
_REUSED: Final = "IDEMPOTENCY_KEY_REUSED"


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
        started, began, result = time.time_ns(), time.perf_counter(), "error"
        try:
            reserved = self._store.reserve(request)
            result = reservation_result(reserved)
            return reserved
        finally:
            self._observer.reserved(result, self._kind, started, time.perf_counter() - began)

    async def reserve_async(self, request: Request) -> Reserved:
        started, began, result = time.time_ns(), time.perf_counter(), "error"
        try:
            reserved = await self._store.reserve_async(request)
            result = reservation_result(reserved)
            return reserved
        finally:
            self._observer.reserved(result, self._kind, started, time.perf_counter() - began)

    def settle(self, hold: int, state: int, amount: int) -> Settled | None:
        started, began, settled, failed = time.time_ns(), time.perf_counter(), None, True
        try:
            settled = self._store.settle(hold, state, amount)
            failed = False
            return settled
        finally:
            self._settled(state, None if failed else settled, failed, started, began)

    async def settle_async(self, hold: int, state: int, amount: int) -> Settled | None:
        started, began, settled, failed = time.time_ns(), time.perf_counter(), None, True
        try:
            settled = await self._store.settle_async(hold, state, amount)
            failed = False
            return settled
        finally:
            self._settled(state, None if failed else settled, failed, started, began)

    def _settled(self, state: int, settled: Settled | None, failed: bool, started: int, began: float) -> None:
        fresh = settled is not None and settled.fresh
        result = "error" if failed else HoldState(state).name.lower() if fresh else "unchanged"
        final = settled.amount if settled is not None and fresh else 0
        action = "commit" if state == HoldState.COMMITTED else "release"
        self._observer.settled(action, result, self._kind, final, started, time.perf_counter() - began)

    def spent(self, issuer_did: str, passport_id: str, at: int, window: int | None) -> int:
        return self._store.spent(issuer_did, passport_id, at, window)

    def close(self) -> None:
        self._store.close()
