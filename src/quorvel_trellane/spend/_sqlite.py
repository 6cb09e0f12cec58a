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
beside the database (``<file>-queue``, see ``_queue``), each woken as the
one before it finishes, with no CPU spent waiting; SQLite's own busy
handler waits for any other writer of the file. The queue and the busy
handler share one operation's timeout. The async twins run on a worker
thread (SQLite has no async interface).

A reservation is three statements in its transaction: one read (the
budget, the holds its window passes over, the key's hold, the oldest
hold), the hold's INSERT and the budget's UPDATE; a settlement is one
``UPDATE ... RETURNING``. Holds are named by their row id and date: a row
id may be given again once the newest hold is pruned, but never with the
same date (a hold is pruned two windows after it was made, so any later
one is dated later), so a pruned hold's decision never settles another.
"""

from __future__ import annotations

import asyncio
import os
import sqlite3
import threading
import time
from collections.abc import Callable
from typing import Final, TypeVar

from quorvel_trellane.spend._queue import Queue, QueueState
from quorvel_trellane.spend._sqlite_schema import (
    BETWEEN,
    BUDGET,
    BUDGET_NEW,
    COMMIT_WHOLE,
    DETACH,
    DROP_BUDGET,
    DROP_HOLDS,
    EMPTY,
    EXPIRED,
    FIND,
    FIND_KEY,
    HOLD,
    LOWER,
    OLDEST,
    PRUNE_OLD,
    READ,
    READ_KEYED,
    SETTLE,
    TOTAL,
    TOTAL_KEEP,
    create_schema,
)
from quorvel_trellane.spend._store import ALL, NEVER, HoldState, Request, Reserved, Settled

__all__ = ["SqliteStore"]

_SWEEP_EVERY: Final = 64  # reservations between two sweeps of expired budgets
_SWEEP_HOLDS: Final = 256  # holds one sweep deletes at most
_T = TypeVar("_T")


class _Pair:
    """One connection for reservations (synced), one for settlements and reads,
    and this pair's own place in the writers' queue."""

    __slots__ = ("durable", "quick", "queue")

    def __init__(self, durable: sqlite3.Connection, quick: sqlite3.Connection, queue: Queue) -> None:
        self.durable = durable
        self.quick = quick
        self.queue = queue

    def write(self, conn: sqlite3.Connection, timeout: float, work: Callable[..., _T], *args: object) -> _T:
        """``work(conn, *args)`` in one write transaction, the write lock taken first, in the writers' queue.

        The queue and SQLite's busy handler share ``timeout``: what the
        queue took is not waited for again at the file's lock."""
        queue = self.queue
        waited = not queue.enter()
        if waited:
            deadline = time.monotonic() + timeout
            queue.wait(deadline, timeout)
        try:
            if waited:
                conn.execute(f"PRAGMA busy_timeout = {max(1, int((deadline - time.monotonic()) * 1000))}")
            try:
                conn.execute("BEGIN IMMEDIATE")
                try:
                    result = work(conn, *args)
                    conn.execute("COMMIT")
                except BaseException:
                    if conn.in_transaction:
                        conn.execute("ROLLBACK")
                    raise
                return result
            finally:
                if waited:
                    conn.execute(f"PRAGMA busy_timeout = {int(timeout * 1000)}")
        finally:
            queue.leave()

    def close(self) -> None:
        self.durable.close()
        self.quick.close()
        self.queue.close()


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
        self._queues = QueueState(path)
        pair = self._take()
        try:
            pair.write(pair.durable, timeout, create_schema)
        except BaseException:
            pair.close()  # nothing else was opened: the store is never used
            raise
        self._give(pair)

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

    def _take(self) -> _Pair:
        with self._lock:
            if self._closed:
                raise ValueError("the spend ledger is closed")
            if self._pid != os.getpid():
                # A child made by fork must neither use its parent's
                # connections nor close them: they are kept, unused.
                self._inherited += self._idle
                self._idle, self._pid = [], os.getpid()
            if self._idle:
                return self._idle.pop()
        return _Pair(self._connect("FULL"), self._connect("NORMAL"), Queue(self._queues))

    def _give(self, pair: _Pair) -> None:
        with self._lock:
            if not self._closed and self._pid == os.getpid():
                self._idle.append(pair)
                return
        pair.close()

    # -- the store's operations --

    def reserve(self, request: Request) -> Reserved:
        self._reserves += 1  # unlocked: only the sweep's rhythm depends on it
        sweep = self._reserves % _SWEEP_EVERY == 0
        pair = self._take()
        try:
            return pair.write(pair.durable, self.timeout, _reserve, request, sweep)
        finally:
            self._give(pair)

    def settle(self, hold: object, state: int, amount: int | None) -> Settled | None:
        pair = self._take()
        try:
            return pair.write(pair.quick, self.timeout, _settle, hold, state, amount)
        finally:
            self._give(pair)

    def settle_key(self, issuer_did: str, passport_id: str, key: str, state: int, amount: int | None) -> Settled | None:
        def work(conn: sqlite3.Connection) -> Settled | None:
            found = conn.execute(FIND_KEY, (issuer_did, passport_id, key)).fetchone()
            return None if found is None else _settle(conn, found[0], state, amount)

        pair = self._take()
        try:
            return pair.write(pair.quick, self.timeout, work)
        finally:
            self._give(pair)

    async def reserve_async(self, request: Request) -> Reserved:
        return await asyncio.to_thread(self.reserve, request)

    async def settle_async(self, hold: object, state: int, amount: int | None) -> Settled | None:
        return await asyncio.to_thread(self.settle, hold, state, amount)

    async def settle_key_async(
        self, issuer_did: str, passport_id: str, key: str, state: int, amount: int | None
    ) -> Settled | None:
        return await asyncio.to_thread(self.settle_key, issuer_did, passport_id, key, state, amount)

    def spent(self, issuer_did: str, passport_id: str, at: int, window: int | None) -> int:
        since = ALL if window is None else at - window
        pair = self._take()
        try:
            conn = pair.quick
            # One read transaction, so that the budget and the holds agree.
            conn.execute("BEGIN")
            try:
                return _spent(conn, issuer_did, passport_id, since)
            finally:
                conn.execute("COMMIT")
        finally:
            self._give(pair)

    def close(self) -> None:
        with self._lock:
            self._closed = True
            idle, self._idle = self._idle, []
        for pair in idle:
            pair.close()


def _spent(conn: sqlite3.Connection, issuer_did: str, passport_id: str, since: int) -> int:
    """What the holds dated after ``since`` count, without changing anything."""
    row = conn.execute(BUDGET, (issuer_did, passport_id)).fetchone()
    if row is None:
        return 0  # a budget goes only once it has no hold
    budget, cutoff, total = row
    if since > cutoff:
        return int(total - conn.execute(BETWEEN, (budget, cutoff, since)).fetchone()[0])
    return int(total + conn.execute(BETWEEN, (budget, since, cutoff)).fetchone()[0])


def _reserve(conn: sqlite3.Connection, request: Request, sweep: bool) -> Reserved:
    # The budget keeps the total of its holds dated after its cutoff (the
    # last reservation's window start). A reservation moves the cutoff to
    # its own window start and reads only the holds in between, so it reads
    # a few rows, never the window's history. One dated earlier than the
    # last moves the cutoff back and adds the holds it finds there again:
    # so a hold is deleted only once it is a window behind this window's
    # start, where no reservation dated up to a window earlier counts it.
    issuer_did, passport_id, key, at, amount, limit, window = request
    since = ALL if window is None else at - window
    if key is None:
        row = conn.execute(READ, (issuer_did, passport_id, since)).fetchone()
    else:
        row = conn.execute(READ_KEYED, (issuer_did, passport_id, since, key)).fetchone()
    keep = None if window is None else min(NEVER, at + 2 * window)
    if row is None:  # the passport's first reservation (or its first since its budget was swept)
        if amount > limit:
            return Reserved(None, amount, limit)
        budget = conn.execute(BUDGET_NEW, (since, amount, keep, at, issuer_did, passport_id)).lastrowid
        hold = conn.execute(HOLD, (budget, key, at, amount, limit - amount, amount)).lastrowid
        return Reserved(hold, amount, limit - amount)
    budget, cutoff, spent, keep_until, oldest, moved, released, requested, remaining, state = row
    if released is not None and state != HoldState.RELEASED:
        if requested != amount:
            return Reserved(None, requested, 0, reused=True)
        return Reserved(released, requested, remaining, replayed=True)
    spent += -moved if since > cutoff else moved
    left = limit - spent
    hold = None
    if amount <= left:
        if released is not None:
            # The key's hold was released: this is a fresh attempt.
            conn.execute(DETACH, (released,))
        hold = conn.execute(HOLD, (budget, key, at, amount, left - amount, amount)).lastrowid
        spent += amount
        if oldest is None or at < oldest:
            oldest = at
    if since > cutoff and window is not None and oldest is not None and oldest <= since - window:
        # After the INSERT, so that the table's newest hold is this one, never pruned.
        conn.execute(PRUNE_OLD, (budget, max(ALL, since - window)))
        oldest = conn.execute(OLDEST, (budget,)).fetchone()[0]
    if keep_until is not None and (keep is None or keep_until < keep):
        # A window further than needed, so that it moves once a window.
        longer = None if keep is None else min(NEVER, keep + window)  # type: ignore[operator]
        conn.execute(TOTAL_KEEP, (since, spent, oldest, longer, budget))
    else:
        conn.execute(TOTAL, (since, spent, oldest, budget))
    if sweep:
        _sweep(conn, at)
    return Reserved(hold, amount, max(0, limit - spent))


def _settle(conn: sqlite3.Connection, hold: object, state: int, amount: int | None) -> Settled | None:
    """Settle ``hold`` at ``amount`` (None: the amount held)."""
    # The usual settlement, a commit of the whole amount held, is one
    # UPDATE that finds the hold held at that amount.
    if state == HoldState.COMMITTED and amount is not None and conn.execute(COMMIT_WHOLE, (hold, amount)).rowcount:
        return Settled(state, amount, amount, fresh=True)
    row = conn.execute(FIND, (hold,)).fetchone()
    if row is None:
        return None  # pruned: it left every window
    budget, at, was, counted, requested = row
    final = requested if amount is None else amount
    if was != HoldState.HELD or final > requested:
        # Settled before, or a final amount above the hold: left as it is.
        return Settled(was, counted, requested)
    conn.execute(SETTLE, (state, final, hold))
    if final != requested:
        conn.execute(LOWER, (requested - final, budget, at))
    return Settled(state, final, requested, fresh=True)


def _sweep(conn: sqlite3.Connection, at: int) -> None:
    # Budgets whose every hold is two windows behind go, holds and all, a
    # few hundred rows at a time; the write lock is never held for long.
    left = _SWEEP_HOLDS
    for (budget,) in conn.execute(EXPIRED, (at,)).fetchall():
        conn.execute(EMPTY, (budget,))
        left -= conn.execute(DROP_HOLDS, (budget, left)).rowcount
        if left <= 0:
            return
        conn.execute(DROP_BUDGET, (budget,))
