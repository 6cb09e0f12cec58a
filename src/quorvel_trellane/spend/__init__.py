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
  order still keep the bound). A hold is deleted only once it is two
  windows behind a reservation: clocks that disagree by less than one
  window keep the bound.
- A hold counts from ``reserve`` until it is released; a committed hold
  counts its final amount, never more than it held. A hold nobody settles
  keeps counting until it leaves the window.
- A ``key`` already used for the passport returns the first decision while
  its hold is held or committed, and never charges twice; for another
  amount the decision is false ("IDEMPOTENCY_KEY_REUSED"). Once that hold
  is released, the key is a fresh attempt that holds anew (or is refused).

Modules:

- ``_store``: the leaf both stores import: their interface, records and errors
- ``_window``: the spend window's reading
- ``_terms``: the trust the ledger asks, the budget a credential names, the checks on arguments
- ``_decision``: SpendDecision and the codes of a refusal
- ``_books``: the ledger's steps around its store, shared by both drivers
- ``_ledger``: SpendLedger, which picks a store
- ``_observed``: a store timed and counted by an observer
- ``_sqlite``: the store on one SQLite file
- ``_sqlite_schema``: its tables, their upgrade and its statements
- ``_queue``: the writers' queue of a SQLite file, within a timeout
- ``_postgres``: the store on a PostgreSQL server, sync and async pools
- ``_postgres_schema``: its tables, functions and statements
"""

from __future__ import annotations

from quorvel_trellane._internal.exports import claim
from quorvel_trellane.spend._decision import (
    IDEMPOTENCY_KEY_REUSED as IDEMPOTENCY_KEY_REUSED,
)
from quorvel_trellane.spend._decision import (
    SPEND_LIMIT_EXCEEDED as SPEND_LIMIT_EXCEEDED,
)
from quorvel_trellane.spend._decision import (
    SPEND_TERMS_UNSUPPORTED as SPEND_TERMS_UNSUPPORTED,
)
from quorvel_trellane.spend._decision import (
    SpendDecision as SpendDecision,
)
from quorvel_trellane.spend._ledger import (
    SpendLedger as SpendLedger,
)
from quorvel_trellane.spend._store import (
    HoldSettledError as HoldSettledError,
)
from quorvel_trellane.spend._window import (
    parse_window as parse_window,
)

__all__ = [
    "IDEMPOTENCY_KEY_REUSED",
    "SPEND_LIMIT_EXCEEDED",
    "SPEND_TERMS_UNSUPPORTED",
    "HoldSettledError",
    "SpendDecision",
    "SpendLedger",
    "parse_window",
]

# The public names belong to this package, as help() and pickling show them.
claim(__name__, globals(), __all__)
