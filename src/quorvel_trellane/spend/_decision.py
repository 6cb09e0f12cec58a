"""A reservation's answer, and the codes of a refused one."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Final

from quorvel_trellane.passport import PassportVerdict

__all__ = ["IDEMPOTENCY_KEY_REUSED", "SPEND_LIMIT_EXCEEDED", "SPEND_TERMS_UNSUPPORTED", "SpendDecision", "held"]

#: The amount would take the window's spend past the passport's bound.
SPEND_LIMIT_EXCEEDED: Final = "SPEND_LIMIT_EXCEEDED"
#: The passport has no bound this ledger can read (or the store can keep).
SPEND_TERMS_UNSUPPORTED: Final = "SPEND_TERMS_UNSUPPORTED"
#: The key already holds another amount for this passport.
IDEMPOTENCY_KEY_REUSED: Final = "IDEMPOTENCY_KEY_REUSED"


@dataclass(frozen=True)
class SpendDecision:
    """The answer of :meth:`SpendLedger.reserve`: true only when the amount is held.

    ``remaining_microusd`` is what is left in the window after this hold
    (or, refused for the bound, what is left without it); None when not
    known. ``error_code`` is the verdict's code, "SPEND_LIMIT_EXCEEDED",
    "SPEND_TERMS_UNSUPPORTED" or "IDEMPOTENCY_KEY_REUSED"; None on success.
    ``replayed`` is True when the key's hold was already held or committed:
    this reservation found it and held nothing new, so whoever made the
    hold settles it (a caller that did not make it should not release it).
    """

    verdict: PassportVerdict
    passport_id: str | None
    amount_microusd: int
    remaining_microusd: int | None = None
    error_code: str | None = None
    error_message: str | None = None
    replayed: bool = field(default=False, compare=False)
    # The hold in its store, and the ledger that made it: only that ledger
    # settles it.
    _hold: object = field(default=None, repr=False, compare=False)
    _ledger: object = field(default=None, repr=False, compare=False)

    def __bool__(self) -> bool:
        return self._hold is not None

    def held_by(self, ledger: object) -> object:
        """The hold this decision keeps in ``ledger``'s store (an opaque value), None when it holds nothing.

        Raises ValueError for a decision that holds something in another
        ledger. A ledger asks this before it settles; callers settle through
        ``SpendLedger.commit`` and ``SpendLedger.release``.
        """
        if self._hold is not None and self._ledger is not ledger:
            raise ValueError("the decision was made by another ledger")
        return self._hold


def held(
    verdict: PassportVerdict,
    passport_id: str,
    amount: int,
    remaining: int,
    replayed: bool,
    hold: object,
    books: object,
) -> SpendDecision:
    """A true decision, as ``SpendDecision(...)`` makes it.

    Every reservation makes one: its fields are set as the generated
    ``__init__`` sets them, without its nine ``object.__setattr__`` calls
    (a frozen dataclass has no ``__post_init__`` here to run).
    """
    decision = object.__new__(SpendDecision)
    decision.__dict__.update(
        verdict=verdict,
        passport_id=passport_id,
        amount_microusd=amount,
        remaining_microusd=remaining,
        error_code=None,
        error_message=None,
        replayed=replayed,
        _hold=hold,
        _ledger=books,
    )
    return decision
