"""The SQLite spend store's schema: its tables, their upgrade, and the statements the store runs."""

from __future__ import annotations

import sqlite3
from typing import Final

from quorvel_trellane.spend._store import schema_to_build

__all__ = [
    "BETWEEN",
    "BUDGET",
    "BUDGET_HOLDS",
    "BUDGET_NEW",
    "DETACH",
    "DROP_BUDGET",
    "DROP_HOLDS",
    "EMPTY",
    "EXPIRED",
    "FIND",
    "FIND_KEY",
    "HOLD",
    "LOWER",
    "PRUNE_OLD",
    "READ",
    "READ_KEYED",
    "SETTLE",
    "TOTAL",
    "TOTAL_KEEP",
    "create_schema",
]

# 2: hold ids are never reused; 3: a budget is kept two windows past its
# latest reservation, not one; 4: ids are kept unique without AUTOINCREMENT
# (the table's newest hold is never deleted), which spares each reservation
# the write of SQLite's sequence table.
SCHEMA_VERSION: Final = 4

_SCHEMA: Final = """
CREATE TABLE IF NOT EXISTS quorvel_spend_schema (version INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS quorvel_spend_budget (
    issuer_did TEXT NOT NULL,
    passport_id TEXT NOT NULL,
    cutoff INTEGER NOT NULL,        -- the last reservation's window start (µs since the epoch)
    total INTEGER NOT NULL,         -- what the holds dated after cutoff count
    keep_until INTEGER,             -- at least the latest reservation's at + 2 windows; NULL: the whole life
    PRIMARY KEY (issuer_did, passport_id)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS quorvel_spend_hold (
    -- Never reused: SQLite gives a new row the largest id plus one, and the
    -- newest hold is never deleted (see NEWEST), so a pruned hold's
    -- decision never settles a later one.
    id INTEGER PRIMARY KEY,
    issuer_did TEXT NOT NULL,
    passport_id TEXT NOT NULL,
    key TEXT,
    at INTEGER NOT NULL,            -- µs since the epoch
    requested INTEGER NOT NULL,     -- the amount held at first
    remaining INTEGER NOT NULL,     -- what was left after it, for replays
    amount INTEGER NOT NULL,        -- what counts: lowered by commit, 0 once released
    state INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS quorvel_spend_hold_budget ON quorvel_spend_hold (issuer_did, passport_id, at);
CREATE UNIQUE INDEX IF NOT EXISTS quorvel_spend_hold_key
    ON quorvel_spend_hold (issuer_did, passport_id, key) WHERE key IS NOT NULL;
CREATE INDEX IF NOT EXISTS quorvel_spend_budget_keep
    ON quorvel_spend_budget (keep_until) WHERE keep_until IS NOT NULL;
"""

_NEWEST: Final = "id < (SELECT max(id) FROM quorvel_spend_hold)"

# All a reservation reads, in one statement: the budget, what the holds
# between its cutoff and this window's start count (subtracted when the
# window moved on, added when it moved back), the budget's oldest hold (a
# prune is due only when it is two windows old) and, when keyed, the key's hold.
_READ: Final = (
    "SELECT b.cutoff, b.total, b.keep_until,"
    " (SELECT coalesce(sum(h.amount), 0) FROM quorvel_spend_hold h"
    "  WHERE h.issuer_did = ?1 AND h.passport_id = ?2 AND h.at > min(b.cutoff, ?3) AND h.at <= max(b.cutoff, ?3)),"
    " (SELECT min(h.at) FROM quorvel_spend_hold h WHERE h.issuer_did = ?1 AND h.passport_id = ?2),"
    " {key}"
    " FROM (SELECT 1) AS one LEFT JOIN quorvel_spend_budget b ON b.issuer_did = ?1 AND b.passport_id = ?2"
)
READ: Final = _READ.format(key="NULL, NULL, NULL, NULL")
READ_KEYED: Final = (
    _READ.format(key="k.id, k.requested, k.remaining, k.state")
    + " LEFT JOIN quorvel_spend_hold k ON k.issuer_did = ?1 AND k.passport_id = ?2 AND k.key = ?4"
)
BUDGET: Final = "SELECT cutoff, total FROM quorvel_spend_budget WHERE issuer_did = ? AND passport_id = ?"
BUDGET_HOLDS: Final = (
    "SELECT coalesce(sum(amount), 0) FROM quorvel_spend_hold WHERE issuer_did = ? AND passport_id = ? AND at > ?"
)
BETWEEN: Final = (
    "SELECT coalesce(sum(amount), 0) FROM quorvel_spend_hold "
    "WHERE issuer_did = ? AND passport_id = ? AND at > ? AND at <= ?"
)
PRUNE_OLD: Final = (
    "DELETE FROM quorvel_spend_hold WHERE id IN (SELECT id FROM quorvel_spend_hold "
    f"WHERE issuer_did = ? AND passport_id = ? AND at <= ? LIMIT 256) AND {_NEWEST}"
)
# The key's released hold gives up the key (keeping its id), so that its
# decision still settles as released and never touches the new hold.
DETACH: Final = "UPDATE quorvel_spend_hold SET key = NULL WHERE id = ?"
HOLD: Final = (
    "INSERT INTO quorvel_spend_hold (issuer_did, passport_id, key, at, requested, remaining, amount)"
    " VALUES (?, ?, ?, ?, ?, ?, ?)"
)
BUDGET_NEW: Final = (
    "INSERT INTO quorvel_spend_budget (cutoff, total, keep_until, issuer_did, passport_id) VALUES (?, ?, ?, ?, ?)"
)
TOTAL: Final = "UPDATE quorvel_spend_budget SET cutoff = ?, total = ? WHERE issuer_did = ? AND passport_id = ?"
# keep_until moves only when it would fall short, a window further than
# needed: the expiry index is then rewritten once a window, not at every reservation.
TOTAL_KEEP: Final = (
    "UPDATE quorvel_spend_budget SET cutoff = ?, total = ?, keep_until = ? WHERE issuer_did = ? AND passport_id = ?"
)
# Never above what is held: such a settle leaves the hold as it is.
SETTLE: Final = (
    "UPDATE quorvel_spend_hold SET state = ?1, amount = coalesce(?2, requested)"
    " WHERE id = ?3 AND state = 0 AND coalesce(?2, requested) <= requested"
    " RETURNING issuer_did, passport_id, at, requested, amount"
)
FIND: Final = "SELECT state, amount, requested FROM quorvel_spend_hold WHERE id = ?"
FIND_KEY: Final = "SELECT id FROM quorvel_spend_hold WHERE issuer_did = ? AND passport_id = ? AND key = ?"
LOWER: Final = (
    "UPDATE quorvel_spend_budget SET total = total - ? WHERE issuer_did = ? AND passport_id = ? AND cutoff < ?"
)
EXPIRED: Final = "SELECT issuer_did, passport_id FROM quorvel_spend_budget WHERE keep_until < ? LIMIT 64"
# Its total is zero past keep_until (no hold is dated later), so a
# reservation meeting a budget half swept reads it right.
EMPTY: Final = "UPDATE quorvel_spend_budget SET cutoff = keep_until, total = 0 WHERE issuer_did = ? AND passport_id = ?"
DROP_HOLDS: Final = (
    "DELETE FROM quorvel_spend_hold WHERE id IN (SELECT id FROM quorvel_spend_hold "
    f"WHERE issuer_did = ? AND passport_id = ? LIMIT ?) AND {_NEWEST}"
)
# A budget goes with its last hold (the table's newest one stays, and its budget with it).
DROP_BUDGET: Final = (
    "DELETE FROM quorvel_spend_budget WHERE issuer_did = ?1 AND passport_id = ?2 AND NOT EXISTS"
    " (SELECT 1 FROM quorvel_spend_hold WHERE issuer_did = ?1 AND passport_id = ?2)"
)
# An older budget was kept one window past its latest reservation (at +
# window, its cutoff at most at - window): moved on by its own span, it is
# kept at least two windows past, as a reservation now keeps it.
_KEEP_LONGER: Final = (
    "UPDATE quorvel_spend_budget SET keep_until = CASE"
    " WHEN keep_until >= 4611686018427387904 OR keep_until - cutoff >= 4611686018427387904"
    " THEN 9223372036854775807 ELSE keep_until + (keep_until - cutoff) END WHERE keep_until IS NOT NULL"
)
_COLUMNS: Final = "id, issuer_did, passport_id, key, at, requested, remaining, amount, state"


def create_schema(conn: sqlite3.Connection) -> None:
    """Create the tables, or bring an older version's up to this one (inside the caller's transaction)."""
    found = None
    if conn.execute("SELECT 1 FROM sqlite_master WHERE name = 'quorvel_spend_schema'").fetchone():
        found = conn.execute("SELECT version FROM quorvel_spend_schema").fetchone()
    version = None if found is None else found[0]
    if not schema_to_build(version, SCHEMA_VERSION):
        return
    if version in (2, 3):
        # Its holds move to a table without AUTOINCREMENT (created below), ids kept.
        conn.execute("ALTER TABLE quorvel_spend_hold RENAME TO quorvel_spend_hold_old")
        conn.execute("DROP INDEX IF EXISTS quorvel_spend_hold_budget")
        conn.execute("DROP INDEX IF EXISTS quorvel_spend_hold_key")
    # Not executescript, which would commit the open transaction.
    for statement in _SCHEMA.split(";\n"):
        if statement.strip():
            conn.execute(statement)
    if version is None:
        conn.execute("INSERT INTO quorvel_spend_schema (version) VALUES (?)", (SCHEMA_VERSION,))
        return
    if version in (2, 3):
        conn.execute(f"INSERT INTO quorvel_spend_hold ({_COLUMNS}) SELECT {_COLUMNS} FROM quorvel_spend_hold_old")
        # Ids given before and since pruned stay given: a released placeholder
        # under the last one keeps the next ids above it.
        conn.execute(
            f"INSERT INTO quorvel_spend_hold ({_COLUMNS}) SELECT seq, '', '', NULL, -9223372036854775808, 0, 0, 0, 2"
            " FROM sqlite_sequence WHERE name = 'quorvel_spend_hold_old'"
            " AND seq > (SELECT coalesce(max(id), 0) FROM quorvel_spend_hold)"
        )
        conn.execute("DROP TABLE quorvel_spend_hold_old")
        conn.execute("DELETE FROM sqlite_sequence WHERE name IN ('quorvel_spend_hold', 'quorvel_spend_hold_old')")
    if version < 3:
        conn.execute(_KEEP_LONGER)
    conn.execute("UPDATE quorvel_spend_schema SET version = ?", (SCHEMA_VERSION,))
