"""The SQLite spend store's schema: its tables, their upgrade, and the statements the store runs."""

from __future__ import annotations

import sqlite3
from typing import Final

from quorvel_trellane.spend._store import schema_to_build

__all__ = [
    "BETWEEN",
    "BUDGET",
    "BUDGET_NEW",
    "COMMIT_WHOLE",
    "DETACH",
    "DROP_BUDGET",
    "DROP_HOLDS",
    "EMPTY",
    "EXPIRED",
    "FIND",
    "FIND_KEY",
    "HOLD",
    "LOWER",
    "OLDEST",
    "PRUNE_OLD",
    "READ",
    "READ_KEYED",
    "SETTLE",
    "TOTAL",
    "TOTAL_KEEP",
    "create_schema",
]

# 2: hold ids are never reused; 3: a budget is kept two windows past its
# latest reservation, not one; 4: ids kept unique without AUTOINCREMENT (the
# table's newest hold is never deleted), sparing each reservation the write
# of SQLite's sequence table; 5: a hold names its budget by the budget's row
# id, not by the issuer DID and passport id again, so a hold's row and its
# index entries are a few integers.
SCHEMA_VERSION: Final = 5

_SCHEMA: Final = """
CREATE TABLE IF NOT EXISTS quorvel_spend_schema (version INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS quorvel_spend_budget (
    id INTEGER PRIMARY KEY,
    issuer_did TEXT NOT NULL,
    passport_id TEXT NOT NULL,
    cutoff INTEGER NOT NULL,        -- the last reservation's window start (µs since the epoch)
    total INTEGER NOT NULL,         -- what the holds dated after cutoff count
    keep_until INTEGER,             -- at least the latest reservation's at + 2 windows; NULL: the whole life
    oldest INTEGER                  -- at most its oldest hold's at: no prune is due before
);
CREATE UNIQUE INDEX IF NOT EXISTS quorvel_spend_budget_passport ON quorvel_spend_budget (issuer_did, passport_id);
CREATE INDEX IF NOT EXISTS quorvel_spend_budget_keep
    ON quorvel_spend_budget (keep_until) WHERE keep_until IS NOT NULL;
CREATE TABLE IF NOT EXISTS quorvel_spend_hold (
    -- Never reused: SQLite gives a new row the largest id plus one, and the
    -- newest hold is never deleted (see _NEWEST), so a pruned hold's
    -- decision never settles a later one.
    id INTEGER PRIMARY KEY,
    budget INTEGER NOT NULL,        -- its budget's id; a budget goes only once it has no hold
    key TEXT,
    at INTEGER NOT NULL,            -- µs since the epoch
    requested INTEGER NOT NULL,     -- the amount held at first
    remaining INTEGER NOT NULL,     -- what was left after it, for replays
    amount INTEGER NOT NULL,        -- what counts: lowered by commit, 0 once released
    state INTEGER NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS quorvel_spend_hold_budget ON quorvel_spend_hold (budget, at);
CREATE UNIQUE INDEX IF NOT EXISTS quorvel_spend_hold_key ON quorvel_spend_hold (budget, key) WHERE key IS NOT NULL;
"""

_NEWEST: Final = "id < (SELECT max(id) FROM quorvel_spend_hold)"

# All a reservation reads, in one statement: the budget, what the holds
# between its cutoff and this window's start count (subtracted when the
# window moved on, added when it moved back) and, when keyed, the key's hold.
_READ: Final = (
    "SELECT b.id, b.cutoff, b.total, b.keep_until, b.oldest,"
    " (SELECT coalesce(sum(h.amount), 0) FROM quorvel_spend_hold h"
    "  WHERE h.budget = b.id AND h.at > min(b.cutoff, ?3) AND h.at <= max(b.cutoff, ?3)),"
    " {key}"
    " FROM quorvel_spend_budget b WHERE b.issuer_did = ?1 AND b.passport_id = ?2"
)
READ: Final = _READ.format(key="NULL, NULL, NULL, NULL")
READ_KEYED: Final = _READ.format(key="k.id, k.requested, k.remaining, k.state").replace(
    " FROM quorvel_spend_budget b WHERE",
    " FROM quorvel_spend_budget b LEFT JOIN quorvel_spend_hold k ON k.budget = b.id AND k.key = ?4 WHERE",
)
BUDGET: Final = "SELECT id, cutoff, total FROM quorvel_spend_budget WHERE issuer_did = ? AND passport_id = ?"
BETWEEN: Final = "SELECT coalesce(sum(amount), 0) FROM quorvel_spend_hold WHERE budget = ? AND at > ? AND at <= ?"
PRUNE_OLD: Final = (
    "DELETE FROM quorvel_spend_hold WHERE id IN (SELECT id FROM quorvel_spend_hold"
    f" WHERE budget = ? AND at <= ? LIMIT 256) AND {_NEWEST}"
)
# The key's released hold gives up the key (keeping its id), so that its
# decision still settles as released and never touches the new hold.
DETACH: Final = "UPDATE quorvel_spend_hold SET key = NULL WHERE id = ?"
HOLD: Final = "INSERT INTO quorvel_spend_hold (budget, key, at, requested, remaining, amount) VALUES (?, ?, ?, ?, ?, ?)"
BUDGET_NEW: Final = (
    "INSERT INTO quorvel_spend_budget (cutoff, total, keep_until, oldest, issuer_did, passport_id)"
    " VALUES (?, ?, ?, ?, ?, ?)"
)
OLDEST: Final = "SELECT min(at) FROM quorvel_spend_hold WHERE budget = ?"
TOTAL: Final = "UPDATE quorvel_spend_budget SET cutoff = ?, total = ?, oldest = ? WHERE id = ?"
# keep_until moves only when it would fall short, a window further than
# needed: the expiry index is then rewritten once a window, not at every reservation.
TOTAL_KEEP: Final = "UPDATE quorvel_spend_budget SET cutoff = ?, total = ?, oldest = ?, keep_until = ? WHERE id = ?"
# A commit of the whole amount held, the usual settlement: one statement.
COMMIT_WHOLE: Final = "UPDATE quorvel_spend_hold SET state = 1 WHERE id = ? AND state = 0 AND requested = ?"
FIND: Final = "SELECT budget, at, state, amount, requested FROM quorvel_spend_hold WHERE id = ?"
SETTLE: Final = "UPDATE quorvel_spend_hold SET state = ?, amount = ? WHERE id = ?"
FIND_KEY: Final = (
    "SELECT h.id FROM quorvel_spend_budget b JOIN quorvel_spend_hold h ON h.budget = b.id"
    " WHERE b.issuer_did = ? AND b.passport_id = ? AND h.key = ?"
)
LOWER: Final = "UPDATE quorvel_spend_budget SET total = total - ? WHERE id = ? AND cutoff < ?"
EXPIRED: Final = "SELECT id FROM quorvel_spend_budget WHERE keep_until < ? LIMIT 64"
# Its total is zero past keep_until (no hold is dated later), so a
# reservation meeting a budget half swept reads it right.
EMPTY: Final = "UPDATE quorvel_spend_budget SET cutoff = keep_until, total = 0 WHERE id = ?"
DROP_HOLDS: Final = f"DELETE FROM quorvel_spend_hold WHERE id IN (SELECT id FROM quorvel_spend_hold WHERE budget = ? LIMIT ?) AND {_NEWEST}"
# A budget goes with its last hold (the table's newest one stays, and its budget with it).
DROP_BUDGET: Final = (
    "DELETE FROM quorvel_spend_budget WHERE id = ?1 AND NOT EXISTS (SELECT 1 FROM quorvel_spend_hold WHERE budget = ?1)"
)
# An older budget was kept one window past its latest reservation (at +
# window, its cutoff at most at - window): moved on by its own span, it is
# kept at least two windows past, as a reservation now keeps it.
_KEEP_LONGER: Final = (
    "UPDATE quorvel_spend_budget SET keep_until = CASE"
    " WHEN keep_until >= 4611686018427387904 OR keep_until - cutoff >= 4611686018427387904"
    " THEN 9223372036854775807 ELSE keep_until + (keep_until - cutoff) END WHERE keep_until IS NOT NULL"
)
# Versions 1 to 4 named a hold's budget by its texts: each hold moves to its
# budget's id (a hold without a budget gets an empty one), ids kept; ids an
# AUTOINCREMENT sequence gave and that were pruned since stay given, by a
# released placeholder under the last one.
_UPGRADE: Final = (
    "ALTER TABLE quorvel_spend_hold RENAME TO quorvel_spend_hold_old",
    "ALTER TABLE quorvel_spend_budget RENAME TO quorvel_spend_budget_old",
    "DROP INDEX IF EXISTS quorvel_spend_hold_budget",
    "DROP INDEX IF EXISTS quorvel_spend_hold_key",
    "DROP INDEX IF EXISTS quorvel_spend_budget_keep",
    *[statement for statement in _SCHEMA.split(";\n") if statement.strip()],
    "INSERT INTO quorvel_spend_budget (issuer_did, passport_id, cutoff, total, keep_until, oldest)"
    " SELECT issuer_did, passport_id, cutoff, total, keep_until, -9223372036854775808 FROM quorvel_spend_budget_old",
    "INSERT OR IGNORE INTO quorvel_spend_budget (issuer_did, passport_id, cutoff, total, keep_until, oldest)"
    " SELECT issuer_did, passport_id, max(at), 0, NULL, min(at) FROM quorvel_spend_hold_old"
    " GROUP BY issuer_did, passport_id",
    "INSERT INTO quorvel_spend_hold (id, budget, key, at, requested, remaining, amount, state)"
    " SELECT h.id, b.id, h.key, h.at, h.requested, h.remaining, h.amount, h.state FROM quorvel_spend_hold_old h"
    " JOIN quorvel_spend_budget b ON b.issuer_did = h.issuer_did AND b.passport_id = h.passport_id",
)
_PLACEHOLDER: Final = (
    "INSERT INTO quorvel_spend_hold (id, budget, key, at, requested, remaining, amount, state)"
    " SELECT seq, 0, NULL, -9223372036854775808, 0, 0, 0, 2 FROM sqlite_sequence"
    " WHERE name = 'quorvel_spend_hold_old' AND seq > (SELECT coalesce(max(id), 0) FROM quorvel_spend_hold)"
)


def create_schema(conn: sqlite3.Connection) -> None:
    """Create the tables, or bring an older version's up to this one (inside the caller's transaction)."""
    found = None
    if conn.execute("SELECT 1 FROM sqlite_master WHERE name = 'quorvel_spend_schema'").fetchone():
        found = conn.execute("SELECT version FROM quorvel_spend_schema").fetchone()
    version = None if found is None else found[0]
    if not schema_to_build(version, SCHEMA_VERSION):
        return
    if version is None:
        # Not executescript, which would commit the open transaction.
        for statement in _SCHEMA.split(";\n"):
            if statement.strip():
                conn.execute(statement)
        conn.execute("INSERT INTO quorvel_spend_schema (version) VALUES (?)", (SCHEMA_VERSION,))
        return
    if version < 3:
        conn.execute(_KEEP_LONGER)
    for statement in _UPGRADE:
        conn.execute(statement)
    if conn.execute("SELECT 1 FROM sqlite_master WHERE name = 'sqlite_sequence'").fetchone():
        conn.execute(_PLACEHOLDER)
        conn.execute("DELETE FROM sqlite_sequence WHERE name = 'quorvel_spend_hold_old'")
    conn.execute("DROP TABLE quorvel_spend_hold_old")
    conn.execute("DROP TABLE quorvel_spend_budget_old")
    conn.execute("UPDATE quorvel_spend_schema SET version = ?", (SCHEMA_VERSION,))
