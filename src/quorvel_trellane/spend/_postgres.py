"""The PostgreSQL spend store: one database, any number of servers.

Each operation is one statement, so one round trip, on an autocommit
connection from a psycopg 3 pool: the statement calls a function created
with the schema, which runs as one transaction. A reservation takes the
passport's budget row ``FOR UPDATE`` (an upsert, which locks the row it
inserts or finds) before it reads the window's total, so two servers
reserving for one passport queue on that row and the second reads the
first's hold: no overspend and no lost update under READ COMMITTED, where
each statement inside the function sees what committed before it began.
Passports never wait for each other.

The schema is created on first use under an advisory lock, and its
version is kept in ``quorvel_spend_schema``; a version 1 store is
upgraded in place.
"""

from __future__ import annotations

import asyncio
import select
import threading
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Final

from quorvel_trellane.spend._store import ALL, Request, Reserved, Settled, StoreValueError, schema_to_build

if TYPE_CHECKING:
    from psycopg import Connection
    from psycopg_pool import ConnectionPool

__all__ = ["PostgresStore"]

# 2: a reservation whose key's hold was released holds anew; 3: a key
# reused for another amount is told apart, a settle never exceeds the hold,
# and holds are deleted two windows behind (the tables are those of 1;
# only the functions changed).
SCHEMA_VERSION: Final = 3
_SWEEP_EVERY: Final = 64  # reservations between two sweeps of expired budgets
_SCHEMA_LOCK: Final = 0x71756F7276656C  # the advisory lock key of schema creation

_SCHEMA: Final = """
CREATE TABLE IF NOT EXISTS quorvel_spend_schema (version integer NOT NULL);

CREATE TABLE IF NOT EXISTS quorvel_spend_budget (
    issuer_did text NOT NULL,
    passport_id text NOT NULL,
    cutoff bigint NOT NULL,             -- the last reservation's window start (µs since the epoch)
    total bigint NOT NULL,              -- what the holds dated after cutoff count
    keep_until bigint,                  -- the latest hold's at + 2 windows; NULL: the whole life
    PRIMARY KEY (issuer_did, passport_id)
);
CREATE INDEX IF NOT EXISTS quorvel_spend_budget_keep
    ON quorvel_spend_budget (keep_until) WHERE keep_until IS NOT NULL;

CREATE TABLE IF NOT EXISTS quorvel_spend_hold (
    id bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    issuer_did text NOT NULL,
    passport_id text NOT NULL,
    key text,
    at bigint NOT NULL,                 -- µs since the epoch
    requested bigint NOT NULL,          -- the amount held at first
    remaining bigint NOT NULL,          -- what was left after it, for replays
    amount bigint NOT NULL,             -- what counts: lowered by commit, 0 once released
    state smallint NOT NULL DEFAULT 0   -- 0 held, 1 committed, 2 released
);
CREATE INDEX IF NOT EXISTS quorvel_spend_hold_budget ON quorvel_spend_hold (issuer_did, passport_id, at);
CREATE UNIQUE INDEX IF NOT EXISTS quorvel_spend_hold_key
    ON quorvel_spend_hold (issuer_did, passport_id, key) WHERE key IS NOT NULL;

-- The budget keeps the total of its holds dated after its cutoff (the last
-- reservation's window start). A reservation moves the cutoff to its own
-- window start and reads only the holds in between, so it reads a few rows,
-- never the window's history. A reservation dated earlier than the last
-- moves the cutoff back and adds the holds it finds there again: so a hold
-- is deleted only once it is a window behind this window's start, where no
-- reservation dated up to a window earlier counts it, a few at a time.
DROP FUNCTION IF EXISTS quorvel_spend_reserve(text, text, text, bigint, bigint, bigint, bigint);
CREATE FUNCTION quorvel_spend_reserve(
    p_issuer text, p_passport text, p_key text, p_at bigint, p_amount bigint, p_limit bigint, p_window bigint,
    OUT hold bigint, OUT amount bigint, OUT remaining bigint, OUT replayed boolean, OUT reused boolean
) LANGUAGE plpgsql AS $$
DECLARE
    v_keep bigint := least(p_at::numeric + 2 * p_window, 9223372036854775807)::bigint;  -- NULL: the whole life
    v_since bigint := coalesce(p_at - p_window, -9223372036854775808);
    v_cutoff bigint;
    v_total bigint;
    v_state smallint;
    v_released bigint;                  -- the key's released hold, when it had one
BEGIN
    replayed := false;
    reused := false;
    -- The budget's lock: every reservation for this passport queues here,
    -- and each statement below sees what the one before it committed.
    LOOP
        SELECT b.cutoff, b.total INTO v_cutoff, v_total FROM quorvel_spend_budget b
        WHERE b.issuer_did = p_issuer AND b.passport_id = p_passport FOR UPDATE;
        EXIT WHEN FOUND;
        INSERT INTO quorvel_spend_budget (issuer_did, passport_id, cutoff, total, keep_until)
        SELECT p_issuer, p_passport, v_since, coalesce(sum(h.amount), 0), v_keep
        FROM quorvel_spend_hold h
        WHERE h.issuer_did = p_issuer AND h.passport_id = p_passport AND h.at > v_since
        ON CONFLICT DO NOTHING;
    END LOOP;
    IF p_key IS NOT NULL THEN
        SELECT h.id, h.requested, h.remaining, h.state INTO hold, amount, remaining, v_state
        FROM quorvel_spend_hold h
        WHERE h.issuer_did = p_issuer AND h.passport_id = p_passport AND h.key = p_key;
        IF FOUND AND v_state <> 2 THEN
            IF amount <> p_amount THEN
                -- Another amount under a held key: refused, nothing held.
                hold := NULL;
                remaining := 0;
                reused := true;
            ELSE
                replayed := true;
            END IF;
            RETURN;  -- held or committed: the first decision
        END IF;
        -- Released: a fresh attempt, as if the key were new.
        v_released := hold;
        hold := NULL;
    END IF;
    IF v_since > v_cutoff THEN
        SELECT v_total - coalesce(sum(h.amount), 0) INTO v_total FROM quorvel_spend_hold h
        WHERE h.issuer_did = p_issuer AND h.passport_id = p_passport AND h.at > v_cutoff AND h.at <= v_since;
        IF p_window IS NOT NULL THEN
            DELETE FROM quorvel_spend_hold h WHERE h.id IN (
                SELECT o.id FROM quorvel_spend_hold o
                WHERE o.issuer_did = p_issuer AND o.passport_id = p_passport
                  AND o.at <= greatest(v_since::numeric - p_window, -9223372036854775808)::bigint
                LIMIT 256);
        END IF;
    ELSIF v_since < v_cutoff THEN
        SELECT v_total + coalesce(sum(h.amount), 0) INTO v_total FROM quorvel_spend_hold h
        WHERE h.issuer_did = p_issuer AND h.passport_id = p_passport AND h.at > v_since AND h.at <= v_cutoff;
    END IF;
    amount := p_amount;
    IF p_amount <= p_limit - v_total THEN
        remaining := p_limit - v_total - p_amount;
        -- The released row gives up the key but keeps its id: its decision
        -- still settles as released and never touches the new hold.
        IF v_released IS NOT NULL THEN
            UPDATE quorvel_spend_hold h SET key = NULL WHERE h.id = v_released;
        END IF;
        INSERT INTO quorvel_spend_hold AS h
            (issuer_did, passport_id, key, at, requested, remaining, amount)
        VALUES (p_issuer, p_passport, p_key, p_at, p_amount, remaining, p_amount)
        RETURNING h.id INTO hold;
        v_total := v_total + p_amount;
    ELSE
        remaining := greatest(p_limit - v_total, 0);
    END IF;
    UPDATE quorvel_spend_budget b
    SET cutoff = v_since, total = v_total,
        keep_until = CASE WHEN b.keep_until IS NULL OR v_keep IS NULL THEN NULL
                          ELSE greatest(b.keep_until, v_keep) END
    WHERE b.issuer_did = p_issuer AND b.passport_id = p_passport;
END
$$;

DROP FUNCTION IF EXISTS quorvel_spend_settle(bigint, smallint, bigint);
CREATE FUNCTION quorvel_spend_settle(
    p_hold bigint, p_state smallint, p_amount bigint,
    OUT state smallint, OUT amount bigint, OUT requested bigint, OUT fresh boolean
) LANGUAGE plpgsql AS $$
DECLARE
    v_issuer text;
    v_passport text;
    v_at bigint;
    v_cutoff bigint;
BEGIN
    SELECT h.issuer_did, h.passport_id, h.at INTO v_issuer, v_passport, v_at
    FROM quorvel_spend_hold h WHERE h.id = p_hold;
    IF NOT FOUND THEN
        RETURN;  -- pruned: it left every window
    END IF;
    -- The budget first, as a reservation takes it: no deadlock between them.
    SELECT b.cutoff INTO v_cutoff FROM quorvel_spend_budget b
    WHERE b.issuer_did = v_issuer AND b.passport_id = v_passport FOR UPDATE;
    -- Never above what is held: such a settle leaves the hold as it is.
    UPDATE quorvel_spend_hold h SET state = p_state, amount = p_amount
    WHERE h.id = p_hold AND h.state = 0 AND p_amount <= h.requested
    RETURNING h.state, h.amount, h.requested INTO state, amount, requested;
    fresh := FOUND;
    IF FOUND THEN
        IF v_at > v_cutoff THEN
            UPDATE quorvel_spend_budget b SET total = b.total - (requested - p_amount)
            WHERE b.issuer_did = v_issuer AND b.passport_id = v_passport;
        END IF;
    ELSE
        -- Settled before, above the hold (or pruned meanwhile: all NULL).
        SELECT h.state, h.amount, h.requested INTO state, amount, requested
        FROM quorvel_spend_hold h WHERE h.id = p_hold;
    END IF;
END
$$;

CREATE OR REPLACE FUNCTION quorvel_spend_spent(p_issuer text, p_passport text, p_since bigint)
RETURNS bigint LANGUAGE sql STABLE AS $$
    SELECT CASE
        WHEN b.cutoff IS NULL THEN (
            SELECT coalesce(sum(h.amount), 0)::bigint FROM quorvel_spend_hold h
            WHERE h.issuer_did = p_issuer AND h.passport_id = p_passport AND h.at > p_since)
        WHEN p_since > b.cutoff THEN b.total - (
            SELECT coalesce(sum(h.amount), 0)::bigint FROM quorvel_spend_hold h
            WHERE h.issuer_did = p_issuer AND h.passport_id = p_passport AND h.at > b.cutoff AND h.at <= p_since)
        ELSE b.total + (
            SELECT coalesce(sum(h.amount), 0)::bigint FROM quorvel_spend_hold h
            WHERE h.issuer_did = p_issuer AND h.passport_id = p_passport AND h.at > p_since AND h.at <= b.cutoff)
    END
    FROM (SELECT) AS one
    LEFT JOIN quorvel_spend_budget b ON b.issuer_did = p_issuer AND b.passport_id = p_passport
$$;

-- Budgets whose every hold is two windows behind go, holds and all, a few
-- hundred rows a call; each is locked first (a budget being reserved is
-- skipped) and emptied (its total is zero past keep_until, no hold being
-- dated later), so a reservation meeting one half swept reads it right.
DROP FUNCTION IF EXISTS quorvel_spend_sweep(bigint);
CREATE FUNCTION quorvel_spend_sweep(p_at bigint) RETURNS void LANGUAGE plpgsql AS $$
DECLARE
    r record;
    v_left integer := 256;
    v_gone integer;
BEGIN
    FOR r IN SELECT b.issuer_did, b.passport_id FROM quorvel_spend_budget b
             WHERE b.keep_until < p_at LIMIT 64 FOR UPDATE SKIP LOCKED LOOP
        UPDATE quorvel_spend_budget b SET cutoff = b.keep_until, total = 0
        WHERE b.issuer_did = r.issuer_did AND b.passport_id = r.passport_id;
        DELETE FROM quorvel_spend_hold h WHERE h.id IN (
            SELECT o.id FROM quorvel_spend_hold o
            WHERE o.issuer_did = r.issuer_did AND o.passport_id = r.passport_id LIMIT v_left);
        GET DIAGNOSTICS v_gone = ROW_COUNT;
        v_left := v_left - v_gone;
        EXIT WHEN v_left <= 0;
        DELETE FROM quorvel_spend_budget b WHERE b.issuer_did = r.issuer_did AND b.passport_id = r.passport_id;
    END LOOP;
END
$$;
"""

_RESERVE: Final = (
    "SELECT hold, amount, remaining, replayed, reused FROM quorvel_spend_reserve(%s, %s, %s, %s, %s, %s, %s)"
)
_SETTLE: Final = "SELECT state, amount, requested, fresh FROM quorvel_spend_settle(%s, %s::smallint, %s)"
_SPENT: Final = "SELECT quorvel_spend_spent(%s, %s, %s)"
_SWEEP: Final = "SELECT quorvel_spend_sweep(%s)"


class PostgresStore:
    """The spend tables in one PostgreSQL database, through a connection pool."""

    def __init__(self, url: str, timeout: float, pool_size: int) -> None:
        try:
            import psycopg  # noqa: F401 (the clear error below when missing)
            from psycopg_pool import ConnectionPool
        except ModuleNotFoundError as exc:
            raise ModuleNotFoundError(
                "the PostgreSQL spend store needs psycopg 3 and psycopg_pool: pip install 'quorvel-trellane[postgres]'",
                name=exc.name,
            ) from exc
        self.url = url
        self.timeout = timeout
        self._lock = threading.Lock()
        self._reserves = 0
        self._pool: ConnectionPool[Connection[tuple[Any, ...]]] = ConnectionPool(
            url,
            min_size=1,
            max_size=pool_size,
            timeout=timeout,
            open=False,
            # One statement is one transaction: no BEGIN or COMMIT round trips.
            # Never prepared: preparing costs a round trip of its own, and
            # the functions keep their own plans anyway.
            kwargs={"autocommit": True, "prepare_threshold": None},
            configure=_configure,
            name="quorvel-spend",
        )
        self._pool.open(wait=True, timeout=timeout)
        try:
            with self._pool.connection() as conn:
                _create_schema(conn)
        except BaseException:
            self._pool.close()
            raise

    def __repr__(self) -> str:
        return f"PostgresStore({_redacted(self.url)!r})"

    def reserve(self, request: Request) -> Reserved:
        # A reservation with a key may run twice (the second returns the
        # first's decision); one without never does.
        row = self._run(_RESERVE, request, repeatable=request.key is not None)
        with self._lock:
            self._reserves += 1
            sweep = self._reserves % _SWEEP_EVERY == 0
        if sweep:
            self._run(_SWEEP, (request.at,), repeatable=True)
        return Reserved(row[0], row[1], row[2], row[3], row[4])

    def settle(self, hold: int, state: int, amount: int) -> Settled | None:
        # Settling again at the same state and amount changes nothing.
        row = self._run(_SETTLE, (hold, state, amount), repeatable=True)
        return None if row[0] is None else Settled(row[0], row[1], row[2], row[3])

    async def reserve_async(self, request: Request) -> Reserved:
        return await asyncio.to_thread(self.reserve, request)

    async def settle_async(self, hold: int, state: int, amount: int) -> Settled | None:
        return await asyncio.to_thread(self.settle, hold, state, amount)

    def spent(self, issuer_did: str, passport_id: str, at: int, window: int | None) -> int:
        since = ALL if window is None else at - window
        return int(self._run(_SPENT, (issuer_did, passport_id, since), repeatable=True)[0])

    def _run(self, query: str, params: Sequence[object], *, repeatable: bool) -> tuple[Any, ...]:
        """One statement's row.

        A pooled connection the server has ended is replaced before anything
        is sent on it (it provably never ran the statement). A connection lost
        under the statement is replaced and the statement sent once more only
        when running it twice changes nothing."""
        from psycopg import OperationalError

        value_errors = _value_errors()
        sent = False
        for _ in range(self._pool.max_size + 2):
            with self._pool.connection() as conn:
                if _ended(conn):
                    conn.close()  # closed, the pool replaces it
                    continue
                try:
                    row = conn.execute(query, params).fetchone()
                except value_errors as exc:
                    raise StoreValueError(str(exc).splitlines()[0]) from exc
                except OperationalError:
                    if sent or not repeatable or not conn.broken:
                        raise
                    sent = True
                    continue
            assert row is not None
            return row
        raise OperationalError("no live connection to the spend store")

    def close(self) -> None:
        self._pool.close()


def _value_errors() -> tuple[type[Exception], ...]:
    """What the store cannot keep: a NUL in a text, a number out of range, an
    index row too long. The ledger answers these with a false decision."""
    from psycopg import DataError, errors

    return (DataError, errors.ProgramLimitExceeded)


def _ended(conn: Connection[tuple[Any, ...]]) -> bool:
    """Whether the server has ended a pooled connection (a restart, an idle
    timeout, a failover): an idle connection has nothing to read, an ended
    one its end. No round trip."""
    if conn.closed or conn.broken:
        return True
    poll = select.poll()
    poll.register(conn.pgconn.socket, select.POLLIN)
    return bool(poll.poll(0))


def _configure(conn: Connection[tuple[Any, ...]]) -> None:
    # The lock on the budget row is what keeps the bound; a stricter default
    # isolation would only add serialization failures.
    conn.execute("SET default_transaction_isolation = 'read committed'")


def _create_schema(conn: Connection[tuple[Any, ...]]) -> None:
    with conn.transaction():
        # Servers starting together: one creates, the others wait and find it.
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (_SCHEMA_LOCK,))
        found = conn.execute("SELECT to_regclass('quorvel_spend_schema') IS NOT NULL").fetchone()
        version = None
        if found is not None and found[0]:
            row = conn.execute("SELECT version FROM quorvel_spend_schema").fetchone()
            version = None if row is None else row[0]
        if not schema_to_build(version, SCHEMA_VERSION):
            return
        # Every statement of the schema is idempotent (IF NOT EXISTS, OR
        # REPLACE): over version 1 it keeps the tables and replaces the functions.
        conn.execute(_SCHEMA)
        if version is None:
            conn.execute("INSERT INTO quorvel_spend_schema (version) VALUES (%s)", (SCHEMA_VERSION,))
        else:
            conn.execute("UPDATE quorvel_spend_schema SET version = %s", (SCHEMA_VERSION,))


def _redacted(url: str) -> str:
    # Never show a password in a repr.
    scheme, sep, rest = url.partition("://")
    credentials, at, host = rest.rpartition("@")
    if not at or ":" not in credentials:
        return url
    return f"{scheme}{sep}{credentials.split(':', 1)[0]}:***@{host}"
