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

import threading
from typing import TYPE_CHECKING, Any, Final

from quorvel_trellane.spend._ledger import _Request, _Reserved, _schema_to_build, _Settled

if TYPE_CHECKING:
    from psycopg import Connection
    from psycopg_pool import ConnectionPool

__all__ = ["PostgresStore"]

# 2: a reservation whose key's hold was released holds anew (the tables
# are those of 1; only the functions changed).
SCHEMA_VERSION: Final = 2
_SWEEP_EVERY: Final = 4096  # reservations between two sweeps of every budget
_SCHEMA_LOCK: Final = 0x71756F7276656C  # the advisory lock key of schema creation

_SCHEMA: Final = """
CREATE TABLE IF NOT EXISTS quorvel_spend_schema (version integer NOT NULL);

CREATE TABLE IF NOT EXISTS quorvel_spend_budget (
    issuer_did text NOT NULL,
    passport_id text NOT NULL,
    cutoff bigint NOT NULL,             -- the last reservation's window start (µs since the epoch)
    total bigint NOT NULL,              -- what the holds dated after cutoff count
    keep_until bigint,                  -- the latest hold's at + window; NULL: the whole life
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
-- window start and reads only the holds in between: those leaving the
-- window are subtracted and deleted, so it reads a few rows, never the
-- window's history. A reservation dated earlier than the last moves the
-- cutoff back and adds the holds it finds there again.
CREATE OR REPLACE FUNCTION quorvel_spend_reserve(
    p_issuer text, p_passport text, p_key text, p_at bigint, p_amount bigint, p_limit bigint, p_window bigint,
    OUT hold bigint, OUT amount bigint, OUT remaining bigint
) LANGUAGE plpgsql AS $$
DECLARE
    v_keep bigint := p_at + p_window;   -- NULL for the whole life
    v_since bigint := coalesce(p_at - p_window, -9223372036854775808);
    v_cutoff bigint;
    v_total bigint;
    v_state smallint;
    v_released bigint;                  -- the key's released hold, when it had one
BEGIN
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
            RETURN;  -- held or committed: the first decision
        END IF;
        -- Released: a fresh attempt, as if the key were new.
        v_released := hold;
        hold := NULL;
    END IF;
    IF v_since > v_cutoff THEN
        WITH gone AS (
            DELETE FROM quorvel_spend_hold h
            WHERE h.issuer_did = p_issuer AND h.passport_id = p_passport AND h.at > v_cutoff AND h.at <= v_since
            RETURNING h.amount
        )
        SELECT v_total - coalesce(sum(gone.amount), 0) INTO v_total FROM gone;
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

CREATE OR REPLACE FUNCTION quorvel_spend_settle(
    p_hold bigint, p_state smallint, p_amount bigint,
    OUT state smallint, OUT amount bigint, OUT requested bigint
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
    UPDATE quorvel_spend_hold h SET state = p_state, amount = p_amount
    WHERE h.id = p_hold AND h.state = 0
    RETURNING h.state, h.amount, h.requested INTO state, amount, requested;
    IF FOUND THEN
        IF v_at > v_cutoff THEN
            UPDATE quorvel_spend_budget b SET total = b.total - (requested - p_amount)
            WHERE b.issuer_did = v_issuer AND b.passport_id = v_passport;
        END IF;
    ELSE
        -- Settled before (or pruned meanwhile: all NULL).
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

-- Budgets whose every hold has left its window go, holds and all; each is
-- locked first (a budget being reserved is skipped), so no reservation
-- ever sees half of one swept.
CREATE OR REPLACE FUNCTION quorvel_spend_sweep(p_at bigint) RETURNS void LANGUAGE sql AS $$
    WITH expired AS (
        SELECT b.issuer_did, b.passport_id FROM quorvel_spend_budget b
        WHERE b.keep_until < p_at
        LIMIT 10000
        FOR UPDATE SKIP LOCKED
    ), holds AS (
        DELETE FROM quorvel_spend_hold h USING expired e
        WHERE h.issuer_did = e.issuer_did AND h.passport_id = e.passport_id
    )
    DELETE FROM quorvel_spend_budget b USING expired e
    WHERE b.issuer_did = e.issuer_did AND b.passport_id = e.passport_id;
$$;
"""

# The subqueries read the holds as they were when the statement began (its
# snapshot does not see what the function writes): a hold found there was a
# key's replay, not a new one; a hold held there was settled by this call.
_RESERVE: Final = (
    "SELECT r.hold, r.amount, r.remaining, EXISTS (SELECT 1 FROM quorvel_spend_hold h WHERE h.id = r.hold) "
    "FROM quorvel_spend_reserve(%s, %s, %s, %s, %s, %s, %s) r"
)
_SETTLE: Final = (
    "SELECT s.state, s.amount, s.requested, (SELECT h.state FROM quorvel_spend_hold h WHERE h.id = %s) = 0 "
    "FROM quorvel_spend_settle(%s, %s::smallint, %s) s"
)
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

    def reserve(self, request: _Request) -> _Reserved:
        with self._pool.connection() as conn:
            row = conn.execute(_RESERVE, request).fetchone()
        assert row is not None
        with self._lock:
            self._reserves += 1
            sweep = self._reserves % _SWEEP_EVERY == 0
        if sweep:
            with self._pool.connection() as conn:
                conn.execute(_SWEEP, (request.at,))
        return _Reserved(row[0], row[1], row[2], bool(row[3]))

    def settle(self, hold: int, state: int, amount: int) -> _Settled | None:
        with self._pool.connection() as conn:
            row = conn.execute(_SETTLE, (hold, hold, state, amount)).fetchone()
        return None if row is None or row[0] is None else _Settled(row[0], row[1], row[2], bool(row[3]))

    def spent(self, issuer_did: str, passport_id: str, at: int, window: int | None) -> int:
        with self._pool.connection() as conn:
            since = -(2**63) if window is None else at - window
            row = conn.execute(_SPENT, (issuer_did, passport_id, since)).fetchone()
        assert row is not None
        return int(row[0])

    def close(self) -> None:
        self._pool.close()


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
        if not _schema_to_build(version, SCHEMA_VERSION):
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
