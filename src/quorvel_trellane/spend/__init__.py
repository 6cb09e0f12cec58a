"""Spend budgets: the passport's bound, enforced over its rolling window.

A passport binds its agent to ``spend_limit_microusd`` over ``spend_window``.
:class:`SpendLedger` makes that bound true for every server that shares one
store: :meth:`SpendLedger.reserve` verifies the credential through a trust
and only then holds the amount, in one short transaction under a lock on
the passport's budget; :meth:`SpendLedger.commit` confirms a hold (possibly
lowering it) and :meth:`SpendLedger.release` frees it.

    ledger = SpendLedger(trust, "sqlite:///spend.sqlite3")
    decision = ledger.reserve(credential, 1_500_000, key="order-42", required_scope="payments:x402")
    if decision:
        ...                      # settle the payment
        ledger.commit(decision)

The rules the stores keep (``spend._sqlite``, ``spend._postgres``):

- A budget is keyed by the issuer DID and the passport id of the verified
  payload: two passports never share one.
- At any instant, what was held or committed in the preceding window is at
  most the limit. A reservation dated ``t`` counts every live hold dated
  after ``t - window`` (later ones included, so reservations dated out of
  order still keep the bound).
- A hold counts from ``reserve`` until it is released; a committed hold
  counts its final amount. A hold nobody settles keeps counting until it
  leaves the window.
- A ``key`` already used for the passport returns the first decision while
  its hold is held or committed, and never charges twice; once that hold
  is released, the key is a fresh attempt that holds anew (or is refused).

Modules:

- ``_ledger``: SpendLedger, SpendDecision and the spend window's reading
- ``_sqlite``: the store on one SQLite file
- ``_postgres``: the store on a PostgreSQL server
"""

from __future__ import annotations

from types import FunctionType

from quorvel_trellane.spend._ledger import (
    SPEND_LIMIT_EXCEEDED as SPEND_LIMIT_EXCEEDED,
)
from quorvel_trellane.spend._ledger import (
    SPEND_TERMS_UNSUPPORTED as SPEND_TERMS_UNSUPPORTED,
)
from quorvel_trellane.spend._ledger import (
    HoldSettledError as HoldSettledError,
)
from quorvel_trellane.spend._ledger import (
    SpendDecision as SpendDecision,
)
from quorvel_trellane.spend._ledger import (
    SpendLedger as SpendLedger,
)
from quorvel_trellane.spend._ledger import (
    parse_window as parse_window,
)

__all__ = [
    "SPEND_LIMIT_EXCEEDED",
    "SPEND_TERMS_UNSUPPORTED",
    "HoldSettledError",
    "SpendDecision",
    "SpendLedger",
    "parse_window",
]

# The public names belong to this package, as help() and pickling show them.
for _name in __all__:
    _value = globals()[_name]
    if isinstance(_value, (type, FunctionType)):
        _value.__module__ = __name__
del _name, _value
