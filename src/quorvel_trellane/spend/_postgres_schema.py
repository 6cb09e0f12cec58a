"""The PostgreSQL spend store's schema: its tables, the functions each operation calls, and their statements.

Each operation is one statement calling one of these functions, which runs
as one transaction. The schema is created on first use under an advisory
lock, and its version is kept in ``quorvel_spend_schema``; older versions
are upgraded in place.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Final

from quorvel_trellane.spend._store import schema_to_build

if TYPE_CHECKING:
    from psycopg import Connection

__all__ = ["RESERVE", "SETTLE", "SETTLE_KEY", "SPENT", "SWEEP", "create_schema"]

# 2: a reservation whose key's hold was released holds anew; 3: a key
# reused for another amount is told apart, a settle never exceeds the hold,
# and holds are deleted two windows behind (the tables are those of 1;
# only the functions changed); 4: the budget keeps a bound of its oldest
# hold (a column added) and is updated in place, a whole commit is one UPDATE.
SCHEMA_VERSION: Final = 4
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

-- Added by version 4: at most the budget's oldest hold's at (NULL: not
-- known), so that a reservation deletes old holds only when some are due.
ALTER TABLE quorvel_spend_budget ADD COLUMN IF NOT EXISTS oldest bigint;

-- The budget keeps the total of its holds dated after its cutoff (the last
-- reservation's window start). A reservation moves the cutoff to its own
-- window start and reads only the holds in between, so it reads a few rows,
-- never the window's history. A reservation dated earlier than the last
-- moves the cutoff back and adds the holds it finds there again: so a hold
-- is deleted only once it is a window behind this window's start, where no
-- reservation dated up to a window earlier counts it, a few at a time, and
-- only when the budget's oldest hold is that old. keep_until moves only when
-- it would fall short, a window further than needed: the budget's row is
-- otherwise updated in place (no indexed column changes, a HOT update), so
-- its indexes never grow with the reservations made under it.
-- Its statements keep one generic plan each: planning them anew at every
-- call (what a custom plan costs) took as long as running them.
DROP FUNCTION IF EXISTS quorvel_spend_reserve(text, text, text, bigint, bigint, bigint, bigint);
CREATE FUNCTION quorvel_spend_reserve(
    p_issuer text, p_passport text, p_key text, p_at bigint, p_amount bigint, p_limit bigint, p_window bigint,
    OUT hold bigint, OUT amount bigint, OUT remaining bigint, OUT replayed boolean, OUT reused boolean
) LANGUAGE plpgsql SET plan_cache_mode = force_generic_plan AS $$
DECLARE
    v_keep bigint := least(p_at::numeric + 2 * p_window, 9223372036854775807)::bigint;  -- NULL: the whole life
    v_since bigint := coalesce(p_at - p_window, -9223372036854775808);
    v_cutoff bigint;
    v_total bigint;
    v_kept bigint;
    v_oldest bigint;
    v_state smallint;
    v_released bigint;                  -- the key's released hold, when it had one
BEGIN
    replayed := false;
    reused := false;
    -- The budget's lock: every reservation for this passport queues here,
    -- and each statement below sees what the one before it committed.
    LOOP
        SELECT b.cutoff, b.total, b.keep_until, b.oldest INTO v_cutoff, v_total, v_kept, v_oldest
        FROM quorvel_spend_budget b
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
        IF p_window IS NOT NULL AND (v_oldest IS NULL OR v_oldest <= v_since - p_window) THEN
            DELETE FROM quorvel_spend_hold h WHERE h.id IN (
                SELECT o.id FROM quorvel_spend_hold o
                WHERE o.issuer_did = p_issuer AND o.passport_id = p_passport
                  AND o.at <= greatest(v_since::numeric - p_window, -9223372036854775808)::bigint
                LIMIT 256);
            SELECT min(h.at) INTO v_oldest FROM quorvel_spend_hold h
            WHERE h.issuer_did = p_issuer AND h.passport_id = p_passport;
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
        IF v_oldest IS NOT NULL THEN
            v_oldest := least(v_oldest, p_at);
        END IF;
    ELSE
        remaining := greatest(p_limit - v_total, 0);
    END IF;
    IF v_kept IS NOT NULL AND (v_keep IS NULL OR v_kept < v_keep) THEN
        UPDATE quorvel_spend_budget b
        SET cutoff = v_since, total = v_total, oldest = v_oldest,
            keep_until = least(v_keep::numeric + p_window, 9223372036854775807)::bigint
        WHERE b.issuer_did = p_issuer AND b.passport_id = p_passport;
    ELSE
        UPDATE quorvel_spend_budget b SET cutoff = v_since, total = v_total, oldest = v_oldest
        WHERE b.issuer_did = p_issuer AND b.passport_id = p_passport;
    END IF;
END
$$;

-- A commit of the whole amount held, the usual settlement, is one UPDATE of
-- the hold: the budget's total does not change, so its row is not locked
-- (a reservation takes the budget, then deletes holds: a settle that
-- changes the total takes the budget first too, so neither waits on the
-- other in turn).
DROP FUNCTION IF EXISTS quorvel_spend_settle(bigint, smallint, bigint);
CREATE FUNCTION quorvel_spend_settle(
    p_hold bigint, p_state smallint, p_amount bigint,
    OUT state smallint, OUT amount bigint, OUT requested bigint, OUT fresh boolean
) LANGUAGE plpgsql SET plan_cache_mode = force_generic_plan AS $$
DECLARE
    v_issuer text;
    v_passport text;
    v_at bigint;
    v_cutoff bigint;
BEGIN
    IF p_state = 1 AND p_amount IS NOT NULL THEN
        UPDATE quorvel_spend_hold h SET state = 1
        WHERE h.id = p_hold AND h.state = 0 AND h.requested = p_amount
        RETURNING h.state, h.amount, h.requested INTO state, amount, requested;
        fresh := FOUND;
        IF FOUND THEN
            RETURN;
        END IF;
    END IF;
    SELECT h.issuer_did, h.passport_id, h.at, h.requested INTO v_issuer, v_passport, v_at, requested
    FROM quorvel_spend_hold h WHERE h.id = p_hold;
    IF NOT FOUND THEN
        RETURN;  -- pruned: it left every window
    END IF;
    p_amount := coalesce(p_amount, requested);  -- NULL: the amount held
    -- The budget first, as a reservation takes it: no deadlock between them.
    SELECT b.cutoff INTO v_cutoff FROM quorvel_spend_budget b
    WHERE b.issuer_did = v_issuer AND b.passport_id = v_passport FOR UPDATE;
    -- Never above what is held: such a settle leaves the hold as it is.
    UPDATE quorvel_spend_hold h SET state = p_state, amount = p_amount
    WHERE h.id = p_hold AND h.state = 0 AND p_amount <= h.requested
    RETURNING h.state, h.amount, h.requested INTO state, amount, requested;
    fresh := FOUND;
    IF FOUND THEN
        IF v_at > v_cutoff AND requested <> p_amount THEN
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

RESERVE: Final = (
    "SELECT hold, amount, remaining, replayed, reused FROM quorvel_spend_reserve(%s, %s, %s, %s, %s, %s, %s)"
)
SETTLE: Final = "SELECT state, amount, requested, fresh FROM quorvel_spend_settle(%s, %s::smallint, %s)"
# By the key's hold; a row of NULLs when the key holds nothing.
SETTLE_KEY: Final = (
    "SELECT s.state, s.amount, s.requested, s.fresh FROM (SELECT) AS one"
    " LEFT JOIN quorvel_spend_hold h ON h.issuer_did = %s AND h.passport_id = %s AND h.key = %s"
    " LEFT JOIN LATERAL quorvel_spend_settle(h.id, %s::smallint, coalesce(%s, h.requested)) s ON true"
)
SPENT: Final = "SELECT quorvel_spend_spent(%s, %s, %s)"
SWEEP: Final = "SELECT quorvel_spend_sweep(%s)"


def create_schema(conn: Connection[tuple[Any, ...]]) -> None:
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
            return
        if version < 3:
            # An older budget was kept one window past its latest reservation
            # (at + window, its cutoff at most at - window): moved on by its own
            # span, it is kept at least two windows past, as a reservation now keeps it.
            conn.execute(
                "UPDATE quorvel_spend_budget SET keep_until = "
                "least(keep_until::numeric * 2 - cutoff, 9223372036854775807)::bigint WHERE keep_until IS NOT NULL"
            )
        conn.execute("UPDATE quorvel_spend_schema SET version = %s", (SCHEMA_VERSION,))
