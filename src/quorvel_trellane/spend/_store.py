"""What the ledger and its stores share: the store's interface, its records and its errors.

A leaf: it imports nothing of the spend package, so both stores import it
and the ledger picks one of them.
"""

from __future__ import annotations

from enum import IntEnum
from typing import Final, NamedTuple, Protocol

__all__ = [
    "ALL",
    "NEVER",
    "HoldSettledError",
    "HoldState",
    "Request",
    "Reserved",
    "Settled",
    "Store",
    "StoreValueError",
    "schema_to_build",
]

# Before and after every timestamp: a window of the whole life counts everything.
ALL: Final = -(2**63)
NEVER: Final = 2**63 - 1


class HoldState(IntEnum):
    """A hold's state as both stores keep it (the numbers are in their rows)."""

    HELD = 0
    COMMITTED = 1
    RELEASED = 2


class HoldSettledError(ValueError):
    """A commit or release of a hold that was already settled the other way.

    Raised by ``SpendLedger.commit`` on a hold already released (or
    committed at another amount) and by ``SpendLedger.release`` on a
    committed one. ``state`` is what the hold already is ("committed" or
    "released") and ``amount_microusd`` what it counts.
    """

    def __init__(self, message: str, state: str, amount_microusd: int) -> None:
        super().__init__(message)
        self.state = state
        self.amount_microusd = amount_microusd

    def __reduce__(self) -> tuple[type[HoldSettledError], tuple[str, str, int]]:
        # Pickled whole (across processes), not as its message alone.
        return type(self), (str(self), self.state, self.amount_microusd)


class StoreValueError(ValueError):
    """A value the store cannot keep (a text it refuses, a number past its range)."""


class Request(NamedTuple):
    """One reservation as the store sees it; times and windows in µs since the epoch."""

    issuer_did: str
    passport_id: str
    key: str | None
    at: int
    amount: int
    limit: int
    window: int | None  # None: the whole life


class Reserved(NamedTuple):
    """A store's answer to a reservation.

    ``hold`` is None when refused; ``replayed`` is True when the key's
    hold is returned again; ``reused`` is True when the key was already
    held for another amount (``amount`` is then the first one).
    """

    hold: object
    amount: int
    remaining: int
    replayed: bool = False
    reused: bool = False


class Settled(NamedTuple):
    """A hold's state after commit or release: state, counted amount, amount held at first."""

    state: int
    amount: int
    requested: int
    fresh: bool = False  # settled by this call, not before


class Store(Protocol):
    """A store's operations. A hold is named by whatever ``reserve`` returned
    for it; ``amount`` None settles at the amount held."""

    def reserve(self, request: Request) -> Reserved: ...

    async def reserve_async(self, request: Request) -> Reserved: ...

    def settle(self, hold: object, state: int, amount: int | None) -> Settled | None: ...

    async def settle_async(self, hold: object, state: int, amount: int | None) -> Settled | None: ...

    def settle_key(
        self, issuer_did: str, passport_id: str, key: str, state: int, amount: int | None
    ) -> Settled | None: ...

    async def settle_key_async(
        self, issuer_did: str, passport_id: str, key: str, state: int, amount: int | None
    ) -> Settled | None: ...

    def spent(self, issuer_did: str, passport_id: str, at: int, window: int | None) -> int: ...

    def close(self) -> None: ...


def schema_to_build(version: object, known: int) -> bool:
    """Whether a store whose schema is at ``version`` (None: none yet) must
    build it to version ``known``. Both stores build from anything older
    than ``known``; a newer version was written by a library this one does
    not know, and is an error."""
    if version == known:
        return False
    if version is not None and not (type(version) is int and 1 <= version < known):
        raise RuntimeError(f"the spend store's schema is version {version}; this library knows {known}")
    return True
