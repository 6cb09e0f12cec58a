"""The SQLite spend store: one file, several processes on one host.

Every reservation is one write transaction (``BEGIN IMMEDIATE``: the
file's write lock is taken before the budget is read, so no two
reservations ever read the same total). The file is in WAL mode, so a
process killed mid-transaction leaves nothing half-written: its frames
have no commit record and are ignored.

Reservations are written with ``synchronous=FULL`` (on disk before
``reserve`` returns); commits and releases with ``synchronous=NORMAL``.
Losing one of those in a power failure can only leave a hold counting its
full amount, never less, and the next reservation's sync makes it durable
anyway (the WAL is one file, synced in order).

Connections are pooled in pairs (one per synchronous setting), as many
as operations ever ran at once. Writers queue on a kernel lock of a file
beside the database (``<file>-queue``), each woken as the one before it
finishes, with no CPU spent waiting; SQLite's own busy handler, up to the
ledger's timeout, waits for any other writer of the file.
The async twins run on a worker thread (SQLite has no async interface).
"""

from __future__ import annotations

import asyncio
import os
import sqlite3
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Final, NamedTuple, TypeVar

try:
    import fcntl
except ModuleNotFoundError:  # not on Windows: SQLite's busy handler waits alone
    fcntl = None  # type: ignore[assignment]

from quorvel_trellane.spend._store import (
    ALL,
    NEVER,
    HoldState,
    Request,
    Reserved,
    Settled,
    schema_to_build,
)

__all__ = ["SqliteStore"]

# 2: hold ids are never reused (AUTOINCREMENT); a version 1 file is rebuilt.
# 3: a budget is kept two windows past its latest reservation, not one.
SCHEMA_VERSION: Final = 3
_T = TypeVar("_T")
_SWEEP_EVERY: Final = 64  # reservations between two sweeps of expired budgets
_SWEEP_HOLDS: Final = 256  # holds one sweep deletes at most
_SWEEP_BUDGETS: Final = 64  # expired budgets one sweep looks at
_PRUNE: Final = 256  # old holds of its own budget one reservation deletes at most

_SCHEMA: Final = """
CREATE TABLE IF NOT EXISTS quorvel_spend_schema (version INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS quorvel_spend_budget (
    issuer_did TEXT NOT NULL,
    passport_id TEXT NOT NULL,
    cutoff INTEGER NOT NULL,        -- the last reservation's window start (µs since the epoch)
    total INTEGER NOT NULL,         -- what the holds dated after cutoff count
    keep_until INTEGER,             -- the latest reservation's at + 2 windows; NULL: the whole life
    PRIMARY KEY (issuer_did, passport_id)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS quorvel_spend_hold (
    -- Never reused: a plain rowid would give a pruned newest hold's id to the
    -- next one, and the pruned hold's decision would then settle that one.
    id INTEGER PRIMARY KEY AUTOINCREMENT,
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

_BUDGET: Final = "SELECT cutoff, total FROM quorvel_spend_budget WHERE issuer_did = ? AND passport_id = ?"
_REPLAY: Final = (
    "SELECT id, requested, remaining, state FROM quorvel_spend_hold "
    "WHERE issuer_did = ? AND passport_id = ? AND key = ?"
)
_DETACH: Final = "UPDATE quorvel_spend_hold SET key = NULL WHERE id = ?"
_BETWEEN: Final = (
    "SELECT coalesce(sum(amount), 0) FROM quorvel_spend_hold "
    "WHERE issuer_did = ? AND passport_id = ? AND at > ? AND at <= ?"
)
_PRUNE_OLD: Final = (
    "DELETE FROM quorvel_spend_hold WHERE id IN (SELECT id FROM quorvel_spend_hold "
    f"WHERE issuer_did = ? AND passport_id = ? AND at <= ? LIMIT {_PRUNE})"
)
_HOLD: Final = (
    "INSERT INTO quorvel_spend_hold (issuer_did, passport_id, key, at, requested, remaining, amount)"
    " VALUES (?, ?, ?, ?, ?, ?, ?)"
)
_KEEP: Final = (
    "INSERT INTO quorvel_spend_budget (issuer_did, passport_id, cutoff, total, keep_until) VALUES (?, ?, ?, ?, ?)"
    " ON CONFLICT (issuer_did, passport_id) DO UPDATE SET cutoff = excluded.cutoff, total = excluded.total,"
    " keep_until = CASE WHEN keep_until IS NULL OR excluded.keep_until IS NULL THEN NULL"
    " ELSE max(keep_until, excluded.keep_until) END"
)
_FIND: Final = "SELECT issuer_did, passport_id, at, state, amount, requested FROM quorvel_spend_hold WHERE id = ?"
_SETTLE: Final = "UPDATE quorvel_spend_hold SET state = ?, amount = ? WHERE id = ?"
_LOWER: Final = (
    "UPDATE quorvel_spend_budget SET total = total - ? WHERE issuer_did = ? AND passport_id = ? AND cutoff < ?"
)
# An older budget was kept one window past its latest reservation (at +
# window, its cutoff at most at - window): moved on by its own span, it is
# kept at least two windows past, as a reservation now keeps it.
_KEEP_LONGER: Final = (
    "UPDATE quorvel_spend_budget SET keep_until = CASE"
    " WHEN keep_until >= 4611686018427387904 OR keep_until - cutoff >= 4611686018427387904"
    " THEN 9223372036854775807 ELSE keep_until + (keep_until - cutoff) END WHERE keep_until IS NOT NULL"
)
_EXPIRED: Final = (
    f"SELECT issuer_did, passport_id FROM quorvel_spend_budget WHERE keep_until < ? LIMIT {_SWEEP_BUDGETS}"
)
# Its total is zero past keep_until (no hold is dated later), so a
# reservation meeting a budget half swept reads it right.
_EMPTY: Final = (
    "UPDATE quorvel_spend_budget SET cutoff = keep_until, total = 0 WHERE issuer_did = ? AND passport_id = ?"
)
_DROP_HOLDS: Final = (
    "DELETE FROM quorvel_spend_hold WHERE id IN (SELECT id FROM quorvel_spend_hold "
    "WHERE issuer_did = ? AND passport_id = ? LIMIT ?)"
)
_DROP_BUDGET: Final = "DELETE FROM quorvel_spend_budget WHERE issuer_did = ? AND passport_id = ?"


class _Pair(NamedTuple):
    """One connection for reservations (synced), one for settlements and reads,
    and this pair's own descriptor of the writers' queue (-1: none)."""

    durable: sqlite3.Connection
    quick: sqlite3.Connection
    queue: int

    def close(self) -> None:
        self.durable.close()
        self.quick.close()
        if self.queue >= 0:
            os.close(self.queue)


class SqliteStore:
    """The spend tables in one SQLite file."""

    def __init__(self, path: str, timeout: float) -> None:
        self.path = path
        self.timeout = timeout
        self._lock = threading.Lock()
        # Idle connection pairs, reused by whichever thread comes next: as
        # many as operations ever ran at once, never one per thread.
        self._idle: list[_Pair] = []
        self._inherited: list[_Pair] = []
        self._pid = os.getpid()
        self._closed = False
        self._reserves = 0
        with self._borrow() as pair:
            _write(pair, pair.durable, _create_schema)

    def __repr__(self) -> str:
        return f"SqliteStore({self.path!r})"

    # -- connections --

    def _connect(self, synchronous: str) -> sqlite3.Connection:
        # SQLite's busy handler waits for the file's lock (autocommit outside BEGIN).
        conn = sqlite3.connect(self.path, timeout=self.timeout, isolation_level=None, check_same_thread=False)
        try:
            conn.execute("PRAGMA journal_mode=WAL").fetchone()
            conn.execute(f"PRAGMA synchronous={synchronous}")
        except BaseException:
            conn.close()
            raise
        return conn

    @contextmanager
    def _borrow(self) -> Iterator[_Pair]:
        with self._lock:
            if self._closed:
                raise ValueError("the spend ledger is closed")
            if self._pid != os.getpid():
                # A child made by fork must neither use its parent's
                # connections nor close them: they are kept, unused.
                self._inherited += self._idle
                self._idle, self._pid = [], os.getpid()
            pair = self._idle.pop() if self._idle else None
        if pair is None:
            pair = _Pair(self._connect("FULL"), self._connect("NORMAL"), self._open_queue())
        try:
            yield pair
        finally:
            with self._lock:
                keep = not self._closed and self._pid == os.getpid()
                if keep:
                    self._idle.append(pair)
            if not keep:
                pair.close()

    def _open_queue(self) -> int:
        # Writers wait for the file in the kernel, on a lock of a file beside
        # it: woken the moment the writer before them is done, taking no CPU
        # meanwhile. SQLite's busy handler alone sleeps in growing steps (up to
        # 100 ms) and lets the writer that just finished take the file again,
        # so a process could starve for seconds. The lock goes with a writer
        # that dies; without one (another OS, a read-only directory), the busy
        # handler waits alone.
        if fcntl is None or self.path == ":memory:" or self.path.startswith("file:"):
            return -1
        try:
            return os.open(self.path + "-queue", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        except OSError:
            return -1

    # -- the store's operations --

    def reserve(self, request: Request) -> Reserved:
        with self._borrow() as pair:
            reserved = _write(pair, pair.durable, lambda c: _reserve(c, request))
            self._reserves += 1  # unlocked: only the sweep's rhythm depends on it
            if self._reserves % _SWEEP_EVERY == 0:
                _write(pair, pair.durable, lambda c: _sweep(c, request.at))
        return reserved

    def settle(self, hold: int, state: int, amount: int) -> Settled | None:
        with self._borrow() as pair:
            return _write(pair, pair.quick, lambda c: _settle(c, hold, state, amount))

    async def reserve_async(self, request: Request) -> Reserved:
        return await asyncio.to_thread(self.reserve, request)

    async def settle_async(self, hold: int, state: int, amount: int) -> Settled | None:
        return await asyncio.to_thread(self.settle, hold, state, amount)

    def spent(self, issuer_did: str, passport_id: str, at: int, window: int | None) -> int:
        since = ALL if window is None else at - window
        with self._borrow() as pair:
            conn = pair.quick
            # One read transaction, so that the budget and the holds agree.
            conn.execute("BEGIN")
            try:
                return _spent(conn, issuer_did, passport_id, since)
            finally:
                conn.execute("COMMIT")

    def close(self) -> None:
        with self._lock:
            self._closed = True
            idle, self._idle = self._idle, []
        for pair in idle:
            pair.close()


def _write(pair: _Pair, conn: sqlite3.Connection, work: Callable[[sqlite3.Connection], _T]) -> _T:
    """``work`` in one write transaction, the write lock taken first, in the writers' queue."""
    if pair.queue >= 0:
        fcntl.flock(pair.queue, fcntl.LOCK_EX)
    try:
        conn.execute("BEGIN IMMEDIATE")
        try:
            result = work(conn)
            conn.execute("COMMIT")
        except BaseException:
            if conn.in_transaction:
                conn.execute("ROLLBACK")
            raise
        return result
    finally:
        if pair.queue >= 0:
            fcntl.flock(pair.queue, fcntl.LOCK_UN)


def _create_schema(conn: sqlite3.Connection) -> None:
    found = None
    if conn.execute("SELECT 1 FROM sqlite_master WHERE name = 'quorvel_spend_schema'").fetchone():
        found = conn.execute("SELECT version FROM quorvel_spend_schema").fetchone()
    version = None if found is None else found[0]
    if not schema_to_build(version, SCHEMA_VERSION):
        return
    if version == 1:
        # Its holds move to a table whose ids are never reused (created below).
        conn.execute("ALTER TABLE quorvel_spend_hold RENAME TO quorvel_spend_hold_v1")
        conn.execute("DROP INDEX IF EXISTS quorvel_spend_hold_budget")
        conn.execute("DROP INDEX IF EXISTS quorvel_spend_hold_key")
    # Not executescript, which would commit the open transaction.
    for statement in _SCHEMA.split(";\n"):
        if statement.strip():
            conn.execute(statement)
    if version is None:
        conn.execute("INSERT INTO quorvel_spend_schema (version) VALUES (?)", (SCHEMA_VERSION,))
        return
    columns = "id, issuer_did, passport_id, key, at, requested, remaining, amount, state"
    if version == 1:
        conn.execute(f"INSERT INTO quorvel_spend_hold ({columns}) SELECT {columns} FROM quorvel_spend_hold_v1")
        conn.execute("DROP TABLE quorvel_spend_hold_v1")
    conn.execute(_KEEP_LONGER)
    conn.execute("UPDATE quorvel_spend_schema SET version = ?", (SCHEMA_VERSION,))


def _spent(conn: sqlite3.Connection, issuer_did: str, passport_id: str, since: int) -> int:
    """What the holds dated after ``since`` count, without changing anything."""
    row = conn.execute(_BUDGET, (issuer_did, passport_id)).fetchone()
    if row is None:
        return int(conn.execute(_BETWEEN, (issuer_did, passport_id, since, NEVER)).fetchone()[0])
    cutoff, total = row
    if since > cutoff:
        return int(total - conn.execute(_BETWEEN, (issuer_did, passport_id, cutoff, since)).fetchone()[0])
    return int(total + conn.execute(_BETWEEN, (issuer_did, passport_id, since, cutoff)).fetchone()[0])


def _reserve(conn: sqlite3.Connection, request: Request) -> Reserved:
    # The budget keeps the total of its holds dated after its cutoff (the
    # last reservation's window start). A reservation moves the cutoff to
    # its own window start and reads only the holds in between, so it reads
    # a few rows, never the window's history. One dated earlier than the
    # last moves the cutoff back and adds the holds it finds there again:
    # so a hold is deleted only once it is a window behind this window's
    # start, where no reservation dated up to a window earlier counts it.
    issuer_did, passport_id, key, at, amount, limit, window = request
    released = None
    if key is not None:
        replay = conn.execute(_REPLAY, (issuer_did, passport_id, key)).fetchone()
        if replay is not None and replay[3] != HoldState.RELEASED:
            if replay[1] != amount:
                return Reserved(None, replay[1], 0, reused=True)
            return Reserved(replay[0], replay[1], replay[2], replayed=True)
        if replay is not None:
            released = replay[0]
    since = ALL if window is None else at - window
    row = conn.execute(_BUDGET, (issuer_did, passport_id)).fetchone()
    if row is None:
        spent = conn.execute(_BETWEEN, (issuer_did, passport_id, since, NEVER)).fetchone()[0]
    else:
        cutoff, spent = row
        if since > cutoff:
            spent -= conn.execute(_BETWEEN, (issuer_did, passport_id, cutoff, since)).fetchone()[0]
            if window is not None:
                conn.execute(_PRUNE_OLD, (issuer_did, passport_id, max(ALL, since - window)))
        elif since < cutoff:
            spent += conn.execute(_BETWEEN, (issuer_did, passport_id, since, cutoff)).fetchone()[0]
    left = limit - spent
    hold = None
    if amount <= left:
        if released is not None:
            # The key's hold was released: this is a fresh attempt. The old
            # row gives up the key but keeps its id, so its decision still
            # settles as released and never touches the new hold.
            conn.execute(_DETACH, (released,))
        cursor = conn.execute(_HOLD, (issuer_did, passport_id, key, at, amount, left - amount, amount))
        hold = cursor.lastrowid
        assert hold is not None
        spent += amount
    keep = None if window is None else min(NEVER, at + 2 * window)
    conn.execute(_KEEP, (issuer_did, passport_id, since, spent, keep))
    return Reserved(hold, amount, max(0, limit - spent))


def _settle(conn: sqlite3.Connection, hold: int, state: int, amount: int) -> Settled | None:
    row = conn.execute(_FIND, (hold,)).fetchone()
    if row is None:
        return None  # pruned: it left every window
    issuer_did, passport_id, at, was, counted, requested = row
    if was != HoldState.HELD or amount > requested:
        # Settled before, or a final amount above the hold: left as it is.
        return Settled(was, counted, requested)
    conn.execute(_SETTLE, (state, amount, hold))
    conn.execute(_LOWER, (counted - amount, issuer_did, passport_id, at))
    return Settled(state, amount, requested, fresh=True)


def _sweep(conn: sqlite3.Connection, at: int) -> None:
    # Budgets whose every hold is two windows behind go, holds and all, a
    # few hundred rows at a time; the write lock is never held for long.
    left = _SWEEP_HOLDS
    for issuer_did, passport_id in conn.execute(_EXPIRED, (at,)).fetchall():
        conn.execute(_EMPTY, (issuer_did, passport_id))
        left -= conn.execute(_DROP_HOLDS, (issuer_did, passport_id, left)).rowcount
        if left <= 0:
            return
        conn.execute(_DROP_BUDGET, (issuer_did, passport_id))
