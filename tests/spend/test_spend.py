"""Spend budgets: the ledger's rules, through a real trust, on both real stores.

Every credential is a real one from the test issuer, verified by an
``IssuerTrust`` whose fetcher serves the issuer's documents from memory.
Each test runs on SQLite (a file in tmp_path) and on PostgreSQL (the
throwaway server ``scripts/postgres`` starts; skipped locally without it).
"""

from __future__ import annotations

import asyncio
import contextlib
import dataclasses
import json
import os
import pickle
import uuid
from datetime import UTC, datetime, timedelta

import pytest

from quorvel_trellane.spend import HoldSettledError, SpendDecision, SpendLedger, parse_window
from quorvel_trellane.testing import Issuer
from quorvel_trellane.trust import IssuerTrust

POSTGRES_URL = os.environ.get("QUORVEL_TEST_POSTGRES_URL")
T0 = datetime(2030, 1, 1, tzinfo=UTC)
BASE = "https://issuer.example"


def trust_for(issuer: Issuer) -> IssuerTrust:
    def fetch(url: str) -> str:
        if url == f"{BASE}/.well-known/pqc-keys.json":
            return json.dumps(issuer.wellknown_document())
        return json.dumps(issuer.revocation_list(url.rsplit("/", 1)[1].removesuffix(".json")))

    return IssuerTrust(BASE, issuer_did=issuer.issuer_did, fetch=fetch)


def postgres_url() -> str:
    if POSTGRES_URL:
        return POSTGRES_URL
    if os.environ.get("CI") == "true":
        pytest.fail("QUORVEL_TEST_POSTGRES_URL is not set: scripts/test starts the PostgreSQL server in CI")
    pytest.skip("no PostgreSQL server: run the tests with ./scripts/test")


def store_url(kind: str, tmp_path) -> str:
    return f"sqlite:///{tmp_path}/spend.sqlite3" if kind == "sqlite" else postgres_url()


STORES = pytest.mark.parametrize("kind", ["sqlite", "postgres"])


ISSUER_DID = "did:example:issuer"  # the module's own test issuer (conftest's issuer fixture)


@pytest.fixture(scope="module")
def trust(issuer):
    with trust_for(issuer) as made:
        yield made


@pytest.fixture(params=["sqlite", "postgres"])
def ledger(request, trust, tmp_path):
    with SpendLedger(trust, store_url(request.param, tmp_path)) as made:
        yield made


def issue(issuer: Issuer, limit: object = 10_000_000, window: object = "P1D", **members) -> str:
    # A fresh passport id each time: tests on the shared PostgreSQL database never meet.
    members.setdefault("passport_id", f"pp_{uuid.uuid4().hex}")
    return issuer.issue(
        spend_limit_microusd=limit,
        spend_window=window,
        issued_at=T0 - timedelta(days=1),
        valid_for=timedelta(days=400),
        **members,
    )


# -- windows -----------------------------------------------------------------------------

DAY = timedelta(days=1)


@pytest.mark.parametrize(
    ("text", "length"),
    [
        ("P1D", DAY),
        ("PT1H", timedelta(hours=1)),
        ("P30D", 30 * DAY),
        ("P1W", 7 * DAY),
        ("P1M", 31 * DAY),
        ("P1Y", 366 * DAY),
        ("PT1M", timedelta(minutes=1)),
        ("PT90S", timedelta(seconds=90)),
        ("P1DT12H", 1.5 * DAY),
        ("P1W2D", 9 * DAY),
        ("P1Y2M3DT4H5M6S", (366 + 62 + 3) * DAY + timedelta(hours=4, minutes=5, seconds=6)),
        ("PT0.5S", timedelta(milliseconds=500)),
        ("P0,5D", DAY / 2),
        ("P0DT1S", timedelta(seconds=1)),
        ("P999999999999Y", None),
    ],
)
def test_a_duration_is_read_with_calendar_units_taken_long(text, length):
    assert parse_window(text) == length


@pytest.mark.parametrize(
    "text",
    ["", "P", "PT", "P1DT", "1D", "p1d", "P1H", "PT1D", "P-1D", "P0D", "PT0S", "P1.5DT1H", "daily", " P1D", "P1D "],
)
def test_a_text_that_is_not_a_positive_duration_is_refused(text):
    with pytest.raises(ValueError):
        parse_window(text)


# -- the bound ---------------------------------------------------------------------------


def test_holds_count_until_released_and_commits_count_their_final_amount(ledger, issuer):
    credential = issue(issuer, limit=10_000_000)
    first = ledger.reserve(credential, 4_000_000, now=T0)
    assert first and first.remaining_microusd == 6_000_000 and first.passport_id.startswith("pp_")
    refused = ledger.reserve(credential, 7_000_000, now=T0)
    assert not refused and refused.error_code == "SPEND_LIMIT_EXCEEDED"
    assert refused.remaining_microusd == 6_000_000 and refused.amount_microusd == 7_000_000
    ledger.commit(first, amount_microusd=1_000_000)
    assert ledger.remaining(credential, now=T0) == 9_000_000
    second = ledger.reserve(credential, 7_000_000, now=T0)
    assert second and second.remaining_microusd == 2_000_000
    ledger.release(second)
    assert ledger.remaining(credential, now=T0) == 9_000_000
    # The exact remainder fits; one more micro-dollar does not.
    assert ledger.reserve(credential, 9_000_000, now=T0)
    assert not ledger.reserve(credential, 1, now=T0)


def test_the_bound_holds_over_every_rolling_window(ledger, issuer):
    credential = issue(issuer, limit=10, window="PT1H")
    hour = timedelta(hours=1)
    assert ledger.reserve(credential, 6, now=T0)
    assert ledger.reserve(credential, 4, now=T0 + hour / 2)
    # At T0 + 1h the first hold has left the window, the second has not.
    assert not ledger.reserve(credential, 7, now=T0 + hour)
    assert ledger.reserve(credential, 6, now=T0 + hour)
    # Dated before holds already made, a reservation still counts them.
    assert not ledger.reserve(credential, 1, now=T0 + hour / 4)
    assert ledger.remaining(credential, now=T0 + 1.5 * hour) == 4
    assert ledger.remaining(credential, now=T0 + 3 * hour) == 10


def test_without_a_window_the_bound_covers_the_whole_life(ledger, issuer):
    credential = issue(issuer, limit=5, window=None)
    assert ledger.reserve(credential, 5, now=T0)
    assert not ledger.reserve(credential, 1, now=T0 + timedelta(days=3000))


def test_two_passports_never_share_a_budget(ledger, issuer):
    one, other = issue(issuer, limit=5), issue(issuer, limit=5)
    assert ledger.reserve(one, 5, now=T0)
    assert ledger.reserve(other, 5, now=T0)


def test_a_mapped_window_text_is_read_as_the_relying_party_says(trust, issuer, tmp_path):
    credential = issue(issuer, limit=5, window="daily")
    with SpendLedger(trust, tmp_path / "spend.sqlite3") as plain:
        assert plain.reserve(credential, 1, now=T0).error_code == "SPEND_TERMS_UNSUPPORTED"
        assert plain.remaining(credential, now=T0) is None
    with SpendLedger(trust, tmp_path / "spend.sqlite3", windows={"daily": DAY}) as mapped:
        assert mapped.reserve(credential, 5, now=T0)
        assert mapped.remaining(credential, now=T0 + DAY) == 5
    # A window longer than any clock reaches back is the whole life.
    with SpendLedger(trust, tmp_path / "spend.sqlite3", windows={"daily": timedelta.max}) as mapped:
        assert mapped.remaining(credential, now=T0 + 300 * DAY) == 0


@pytest.mark.parametrize(
    ("members", "code"),
    [
        ({"limit": None}, "SPEND_TERMS_UNSUPPORTED"),
        ({"limit": -1}, "SPEND_TERMS_UNSUPPORTED"),
        ({"limit": 1.5}, "SPEND_TERMS_UNSUPPORTED"),
        ({"limit": True}, "SPEND_TERMS_UNSUPPORTED"),
        ({"limit": "10"}, "SPEND_TERMS_UNSUPPORTED"),
        ({"window": "P1Q"}, "SPEND_TERMS_UNSUPPORTED"),
        ({"window": 86400}, "SPEND_TERMS_UNSUPPORTED"),
        ({"passport_id": 42}, "SPEND_TERMS_UNSUPPORTED"),
        ({"passport_id": "pp_\x00nul"}, "SPEND_TERMS_UNSUPPORTED"),
        ({"window": "P" + "9" * 10**6 + "D"}, "SPEND_TERMS_UNSUPPORTED"),
        ({"scopes": ["catalog:read"]}, "SCOPE_NOT_GRANTED"),
        ({"valid_for": timedelta(days=-1)}, "EXPIRED"),
        ({"limit": 0}, "SPEND_LIMIT_EXCEEDED"),
    ],
)
def test_a_passport_that_cannot_be_charged_gives_a_false_decision_and_holds_nothing(ledger, issuer, members, code):
    members = dict(members)
    limit, window = members.pop("limit", 10), members.pop("window", "P1D")
    if "valid_for" in members:
        members["issued_at"] = T0 - timedelta(days=2)
        credential = issuer.issue(
            spend_limit_microusd=limit, spend_window=window, passport_id=f"pp_{uuid.uuid4().hex}", **members
        )
    else:
        credential = issue(issuer, limit, window, **members)
    decision = ledger.reserve(credential, 1, now=T0, required_scope="payments:x402")
    assert not decision and decision.error_code == code and decision.error_message
    assert decision.amount_microusd == 1
    with pytest.raises(ValueError, match="holds nothing"):
        ledger.commit(decision)
    ledger.release(decision)  # nothing held, nothing to free


def test_a_credential_from_an_unknown_issuer_is_never_charged(ledger):
    stranger = Issuer(issuer_did="did:example:issuer")
    decision = ledger.reserve(issue(stranger), 1, now=T0)
    assert not decision and decision.error_code == "UNRESOLVED_ISSUER_KEY" and decision.passport_id is None


# -- idempotency and settling ------------------------------------------------------------


def test_a_retried_reservation_returns_the_first_decision_and_charges_once(ledger, issuer):
    credential = issue(issuer, limit=10)
    first = ledger.reserve(credential, 6, key="order-42", now=T0)
    again = ledger.reserve(credential, 6, key="order-42", now=T0 + timedelta(minutes=1))
    assert again == first and again and again.remaining_microusd == 4
    assert ledger.remaining(credential, now=T0) == 4
    ledger.commit(again)
    ledger.commit(first)
    # The same key on another passport is another reservation.
    assert ledger.reserve(issue(issuer, limit=10), 6, key="order-42", now=T0)
    # A refused reservation held nothing: its key may be tried again.
    assert not ledger.reserve(credential, 5, key="order-43", now=T0)
    ledger.release(ledger.reserve(credential, 4, key="order-44", now=T0))
    assert ledger.reserve(credential, 4, key="order-43", now=T0)


def test_a_released_key_is_a_fresh_attempt_and_its_old_decision_never_settles_the_new_hold(ledger, issuer):
    credential = issue(issuer, limit=10)
    first = ledger.reserve(credential, 6, key="order-42", now=T0)
    ledger.release(first)
    other = ledger.reserve(credential, 5, now=T0)
    # Held anew, so it must fit the bound again: 5 are left, not 6.
    refused = ledger.reserve(credential, 6, key="order-42", now=T0)
    assert not refused and refused.error_code == "SPEND_LIMIT_EXCEEDED" and refused.remaining_microusd == 5
    ledger.release(other)
    again = ledger.reserve(credential, 6, key="order-42", now=T0)
    assert again and again._hold != first._hold and ledger.remaining(credential, now=T0) == 4
    ledger.release(first)  # the old decision: still released, and the new hold untouched
    with pytest.raises(ValueError, match="already released"):
        ledger.commit(first)
    assert ledger.remaining(credential, now=T0) == 4
    ledger.commit(again)
    # Committed now: a retry gets that decision and charges nothing.
    assert ledger.reserve(credential, 6, key="order-42", now=T0)._hold == again._hold
    assert ledger.remaining(credential, now=T0) == 4


def test_settling_a_pruned_holds_decision_never_touches_a_newer_hold(ledger, issuer):
    credential = issue(issuer, limit=10, window="PT1H")
    old = ledger.reserve(credential, 5, now=T0)
    new = ledger.reserve(credential, 5, now=T0 + timedelta(hours=2))  # prunes the old hold
    ledger.commit(old)
    ledger.release(new)
    assert ledger.remaining(credential, now=T0 + timedelta(hours=2)) == 10


def test_concurrent_retries_of_a_released_key_hold_it_once(ledger, issuer):
    import threading
    from concurrent.futures import ThreadPoolExecutor

    credential = issue(issuer, limit=10)
    ledger.release(ledger.reserve(credential, 4, key="order-42", now=T0))
    start = threading.Barrier(4)

    def retry(_: int) -> SpendDecision:
        start.wait()
        return ledger.reserve(credential, 4, key="order-42", now=T0)

    with ThreadPoolExecutor(4) as pool:
        decisions = list(pool.map(retry, range(4)))
    assert all(decisions) and len({d._hold for d in decisions}) == 1
    assert ledger.remaining(credential, now=T0) == 6


def _clocks_apart(ledger, url, credential):
    # One clock 1 s ahead of the other, window PT10S: the ahead one's reservation
    # must not delete the hold the other still counts.
    with SpendLedger(ledger.trust, url) as ahead:
        assert ledger.reserve(credential, 100, now=T0)
        assert ahead.reserve(credential, 1, now=T0 + timedelta(seconds=10.5))
        return ledger.reserve(credential, 99, now=T0 + timedelta(seconds=9.6)), None


def _settle_above(ledger, url, credential):
    held = ledger.reserve(credential, 100, now=T0)
    with pytest.raises(ValueError, match="only lower"):
        ledger.commit(dataclasses.replace(held, amount_microusd=900))
    ledger.commit(held)
    return held, 100


def _key_reused(ledger, url, credential):
    first = ledger.reserve(credential, 100, key="k", now=T0)
    reused = ledger.reserve(credential, 4_900, key="k", now=T0)
    assert reused.error_code == "IDEMPOTENCY_KEY_REUSED" and "new key" in reused.error_message
    assert ledger.reserve(credential, 100, key="k", now=T0) == first
    return reused, 100


def _settled_other_way(ledger, url, credential):
    paid, dropped = ledger.reserve(credential, 93, now=T0), ledger.reserve(credential, 7, now=T0)
    ledger.commit(paid)
    ledger.release(dropped)
    for settle, decision, state in ((ledger.release, paid, "committed"), (ledger.commit, dropped, "released")):
        with pytest.raises(HoldSettledError, match="already") as raised:
            settle(decision)
        assert isinstance(raised.value, ValueError) and raised.value.state == state
        assert pickle.loads(pickle.dumps(raised.value)).state == state  # it crosses processes whole
    return dropped, 93


def _server_ended_connections(ledger, url, credential):
    held = ledger.reserve(credential, 60, now=T0)
    if url.startswith("postgresql"):
        import psycopg

        with psycopg.connect(url, autocommit=True) as admin:
            admin.execute("SELECT pg_terminate_backend(pid, 5000) FROM pg_stat_activity WHERE pid <> pg_backend_pid()")
    after = ledger.reserve(credential, 40, now=T0)  # never repeated: it must find a live connection
    ledger.commit(held, amount_microusd=50)
    return after, 90


@pytest.mark.parametrize(
    ("edge", "held"),
    [
        (_clocks_apart, False),
        (_settle_above, True),
        (_key_reused, False),
        (_settled_other_way, True),
        (_server_ended_connections, True),
    ],
)
@STORES
def test_the_bound_holds_at_the_ledgers_edges(trust, issuer, tmp_path, kind, edge, held):
    # Each edge returns its last decision and what is then counted (None: unchecked).
    url, credential = store_url(kind, tmp_path), issue(issuer, limit=100, window="PT10S")
    with SpendLedger(trust, url) as ledger:
        decision, counted = edge(ledger, url, credential)
        assert bool(decision) is held
        if counted is not None:
            assert ledger.remaining(credential, now=T0) == 100 - counted


def test_commit_and_release_are_idempotent_and_never_contradict_each_other(ledger, issuer):
    credential = issue(issuer, limit=10)
    paid, dropped = ledger.reserve(credential, 3, now=T0), ledger.reserve(credential, 3, now=T0)
    ledger.commit(paid, amount_microusd=2)
    ledger.commit(paid, amount_microusd=2)
    ledger.release(dropped)
    ledger.release(dropped)
    assert ledger.remaining(credential, now=T0) == 8
    with pytest.raises(ValueError, match="already committed at 2"):
        ledger.commit(paid)
    with pytest.raises(ValueError, match="already committed"):
        ledger.release(paid)
    with pytest.raises(ValueError, match="already released"):
        ledger.commit(dropped)
    with pytest.raises(ValueError, match="only lower"):
        ledger.commit(ledger.reserve(credential, 3, now=T0), amount_microusd=4)


def test_the_async_twins_do_what_the_sync_operations_do(ledger, issuer):
    credential = issue(issuer, limit=10)

    async def run() -> None:
        first = await ledger.reserve_async(credential, 6, key="a", now=T0)
        assert first and await ledger.reserve_async(credential, 6, key="a", now=T0) == first
        assert not await ledger.reserve_async(credential, 6, now=T0)
        await ledger.commit_async(first, amount_microusd=5)
        second = await ledger.reserve_async(credential, 5, now=T0)
        await ledger.release_async(second)
        await ledger.release_async(second)

    asyncio.run(run())
    assert ledger.remaining(credential, now=T0) == 5


# -- misuse ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("amount", "error"),
    [
        (0, ValueError),
        (-5, ValueError),
        (True, TypeError),
        (1.0, TypeError),
        ("5", TypeError),
        (None, TypeError),
        (2**63, ValueError),
    ],
)
def test_an_amount_that_is_not_a_positive_int_raises_before_anything_is_verified(ledger, issuer, amount, error):
    credential = issue(issuer)
    with pytest.raises(error, match="amount"):
        ledger.reserve(credential, amount)
    held = ledger.reserve(credential, 5, now=T0)
    if amount is not None:  # None commits the amount held
        with pytest.raises(error, match="amount"):
            ledger.commit(held, amount_microusd=amount)


@pytest.mark.parametrize(
    ("call", "error", "match"),
    [
        (lambda ledger, cred, other: ledger.reserve(cred, 1, key=""), TypeError, "key"),
        (lambda ledger, cred, other: ledger.reserve(cred, 1, key=7), TypeError, "key"),
        (lambda ledger, cred, other: ledger.reserve(cred, 1, now=datetime(2030, 1, 1)), TypeError, "timezone-aware"),
        (lambda ledger, cred, other: ledger.reserve(cred, 1, now="2030-01-01"), TypeError, "datetime"),
        (lambda ledger, cred, other: ledger.commit("decision"), TypeError, "SpendDecision"),
        (lambda ledger, cred, other: ledger.release(None), TypeError, "SpendDecision"),
        (
            lambda ledger, cred, other: ledger.reserve(cred, 1, verdict=ledger.trust.verify(other)),
            ValueError,
            "not this",
        ),
    ],
)
def test_misuse_raises_at_once_with_a_clear_message(ledger, issuer, call, error, match):
    with pytest.raises(error, match=match):
        call(ledger, issue(issuer), issue(issuer, agent_did="did:example:another-agent"))


def test_a_decision_from_another_ledger_is_refused(trust, issuer, tmp_path):
    credential = issue(issuer)
    with SpendLedger(trust, tmp_path / "a.sqlite3") as one, SpendLedger(trust, tmp_path / "a.sqlite3") as other:
        decision = one.reserve(credential, 1, now=T0)
        for settle in (other.commit, other.release):
            with pytest.raises(ValueError, match="another ledger"):
                settle(decision)
        forged = SpendDecision(decision.verdict, decision.passport_id, 1, _hold=decision._hold)
        with pytest.raises(ValueError, match="another ledger"):
            one.commit(forged)


@pytest.mark.parametrize(
    ("url", "error"),
    [("mysql://db/app", ValueError), ("sqlite://relative", ValueError), ("", TypeError), (42, TypeError)],
)
def test_an_unknown_store_url_raises(trust, url, error):
    with pytest.raises(error):
        SpendLedger(trust, url)


@pytest.mark.parametrize(
    ("options", "error"),
    [
        ({"windows": {"daily": 86400}}, TypeError),
        ({"windows": {"daily": timedelta(0)}}, ValueError),
        ({"windows": ["daily"]}, TypeError),
        ({"timeout": 0}, ValueError),
        ({"pool_size": 0}, ValueError),
    ],
)
def test_unusable_options_raise(trust, tmp_path, options, error):
    with pytest.raises(error):
        SpendLedger(trust, tmp_path / "spend.sqlite3", **options)


def test_the_callers_window_mapping_is_copied_not_kept(trust, tmp_path, issuer):
    windows = {"daily": DAY}
    with SpendLedger(trust, tmp_path / "spend.sqlite3", windows=windows) as ledger:
        windows["daily"] = timedelta(seconds=1)
        credential = issue(issuer, limit=5, window="daily")
        assert ledger.reserve(credential, 5, now=T0)
        assert not ledger.reserve(credential, 5, now=T0 + timedelta(hours=2))
    assert windows == {"daily": timedelta(seconds=1)}


# -- the stores themselves ---------------------------------------------------------------


def test_postgres_answers_each_operation_in_one_round_trip(trust, issuer, tmp_path):
    # libpq's own trace of the wire: each round trip ends with one Sync (or
    # is one simple Query) sent by the client.
    credential = issue(issuer, limit=10)
    with SpendLedger(trust, postgres_url(), pool_size=1) as ledger:
        ledger.release(ledger.reserve(credential, 1, now=T0))
        pool = ledger._books.store._pool
        operations = [
            lambda: ledger.reserve(credential, 2, key="k", now=T0),
            lambda: ledger.reserve(credential, 2, key="k", now=T0),
            lambda: ledger.commit(ledger.reserve(credential, 2, key="k", now=T0), amount_microusd=1),
            lambda: ledger.release(ledger.reserve(credential, 3, now=T0)),
            lambda: ledger.reserve(credential, 99, now=T0),
            lambda: ledger.remaining(credential, now=T0),
            lambda: ledger.release(ledger.reserve(credential, 3, key="r", now=T0)),
            lambda: ledger.reserve(credential, 3, key="r", now=T0),  # released: held anew
        ]
        trips = []
        for operation in operations:
            trace = tmp_path / "trace"
            with open(trace, "w") as out:
                with pool.connection() as conn:
                    conn.pgconn.trace(out.fileno())
                operation()
                with pool.connection() as conn:
                    conn.pgconn.untrace()
            lines = trace.read_text().splitlines()
            trips.append(sum(1 for line in lines if line.split("\t")[1:4:2] in (["F", "Sync"], ["F", "Query"])))
    assert trips == [1, 1, 2, 2, 1, 1, 2, 1]


@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
def test_holds_past_their_window_are_pruned_and_whole_life_holds_kept(trust, issuer, tmp_path, kind, monkeypatch):
    from quorvel_trellane.spend import _postgres as _spend_postgres
    from quorvel_trellane.spend import _sqlite as _spend_sqlite

    credential, forever, idle = (
        issue(issuer, limit=10, window="PT1H"),
        issue(issuer, limit=10, window=None),
        issue(issuer, limit=10, window="PT1H"),
    )
    ids = [_passport_id(c) for c in (credential, forever, idle)]
    with SpendLedger(trust, store_url(kind, tmp_path)) as ledger:
        old = [ledger.reserve(c, 5, key="old", now=T0) for c in (credential, forever, idle)]
        ledger.reserve(credential, 5, now=T0 + timedelta(minutes=59))
        assert _rows(ledger, ids) == {ids[0]: 2, ids[1]: 1, ids[2]: 1}
        # A reservation prunes its own budget's holds two windows behind it...
        ledger.reserve(credential, 5, now=T0 + timedelta(minutes=61))
        assert _rows(ledger, ids) == {ids[0]: 3, ids[1]: 1, ids[2]: 1}
        ledger.reserve(credential, 5, now=T0 + timedelta(minutes=121))
        assert _rows(ledger, ids) == {ids[0]: 3, ids[1]: 1, ids[2]: 1}
        # ...and a periodic sweep every budget's, keeping whole-life holds.
        monkeypatch.setattr(_spend_sqlite, "_SWEEP_EVERY", 1)
        monkeypatch.setattr(_spend_postgres, "_SWEEP_EVERY", 1)
        for _ in range(2000):  # a sweep deletes a few hundred holds a call; others' may be in the way
            ledger.reserve(credential, 1, key="sweep", now=T0 + timedelta(hours=5))
            if ids[2] not in _rows(ledger, ids):
                break
        assert _rows(ledger, ids) == {ids[0]: 1, ids[1]: 1}
        # A pruned key is free again; settling a pruned hold does nothing.
        assert ledger.reserve(idle, 10, key="old", now=T0 + timedelta(hours=5)).remaining_microusd == 0
        ledger.commit(old[0])
        ledger.release(old[0])


def test_a_budget_swept_in_part_reads_right(trust, issuer, tmp_path, monkeypatch):
    from quorvel_trellane.spend import _sqlite as _spend_sqlite

    credential, other = issue(issuer, limit=10, window="PT10S"), issue(issuer, limit=10, window="PT10S")
    with SpendLedger(trust, store_url("sqlite", tmp_path)) as ledger:
        for _ in range(5):
            ledger.reserve(credential, 2, now=T0)
        monkeypatch.setattr(_spend_sqlite, "_SWEEP_EVERY", 1)
        monkeypatch.setattr(_spend_sqlite, "_SWEEP_HOLDS", 2)  # the sweep stops after two of the five holds
        ledger.reserve(other, 1, now=T0 + timedelta(minutes=1))
        assert ledger.reserve(credential, 10, now=T0 + timedelta(minutes=1))


def _passport_id(credential: str) -> str:
    from quorvel_trellane.passport import decode_passport

    return decode_passport(credential).payload["passport_id"]


def _rows(ledger: SpendLedger, ids: list[str]) -> dict[str, int]:
    query = "SELECT passport_id, count(*) FROM quorvel_spend_hold WHERE passport_id IN ({}) GROUP BY passport_id"
    store = ledger._books.store
    if hasattr(store, "_pool"):
        with store._pool.connection() as conn:
            return dict(conn.execute(query.format(",".join(["%s"] * len(ids))), ids).fetchall())
    import sqlite3

    query = query.replace("quorvel_spend_hold", "quorvel_spend_hold JOIN quorvel_spend_budget b ON b.id = budget")
    with contextlib.closing(sqlite3.connect(store.path)) as conn:
        return dict(conn.execute(query.format(",".join("?" * len(ids))), ids).fetchall())


def test_a_store_written_by_a_newer_schema_is_refused(trust, tmp_path):
    import sqlite3

    SpendLedger(trust, tmp_path / "spend.sqlite3").close()
    with contextlib.closing(sqlite3.connect(tmp_path / "spend.sqlite3")) as conn, conn:
        conn.execute("UPDATE quorvel_spend_schema SET version = 99")
    with pytest.raises(RuntimeError, match="schema is version 99"):
        SpendLedger(trust, tmp_path / "spend.sqlite3")


# The tables as versions 1 to 4 kept them: a hold named its budget by its texts.
_OLDER = """
CREATE TABLE hold AS SELECT h.id, b.issuer_did, b.passport_id, h.key, h.at, h.requested, h.remaining, h.amount,
    h.state FROM quorvel_spend_hold h JOIN quorvel_spend_budget b ON b.id = h.budget;
CREATE TABLE budget AS SELECT issuer_did, passport_id, cutoff, total, keep_until FROM quorvel_spend_budget;
DROP TABLE quorvel_spend_hold; DROP TABLE quorvel_spend_budget;
CREATE TABLE quorvel_spend_hold (id INTEGER PRIMARY KEY {increment}, issuer_did TEXT NOT NULL,
    passport_id TEXT NOT NULL, key TEXT, at INTEGER NOT NULL, requested INTEGER NOT NULL,
    remaining INTEGER NOT NULL, amount INTEGER NOT NULL, state INTEGER NOT NULL DEFAULT 0);
CREATE TABLE quorvel_spend_budget (issuer_did TEXT NOT NULL, passport_id TEXT NOT NULL, cutoff INTEGER NOT NULL,
    total INTEGER NOT NULL, keep_until INTEGER, PRIMARY KEY (issuer_did, passport_id)) WITHOUT ROWID;
INSERT INTO quorvel_spend_hold SELECT * FROM hold; INSERT INTO quorvel_spend_budget SELECT * FROM budget;
DROP TABLE hold; DROP TABLE budget;
"""


@pytest.mark.parametrize(("version", "increment"), [(1, ""), (3, "AUTOINCREMENT"), (4, "")])
def test_an_older_sqlite_store_is_upgraded_in_place_and_never_gives_an_id_twice(
    trust, issuer, tmp_path, version, increment
):
    import sqlite3

    path, credential = tmp_path / "spend.sqlite3", issue(issuer, limit=10)
    with SpendLedger(trust, path) as ledger:
        first = ledger.reserve(credential, 4, key="k", now=T0)
        gone = ledger.reserve(credential, 1, now=T0)
    with contextlib.closing(sqlite3.connect(path)) as conn:  # back to an older version, its newest hold deleted
        conn.executescript(
            _OLDER.format(increment=increment) + f"DELETE FROM quorvel_spend_hold WHERE id = {gone._hold};"
            f"UPDATE quorvel_spend_budget SET total = total - 1; UPDATE quorvel_spend_schema SET version = {version};"
        )
    with SpendLedger(trust, path) as ledger:
        assert ledger.reserve(credential, 4, key="k", now=T0)._hold == first._hold
        assert ledger.remaining(credential, now=T0) == 6
        later = ledger.reserve(credential, 1, now=T0)
        if increment:  # ids AUTOINCREMENT gave stay given, the deleted newest one too
            assert later._hold != gone._hold
    with contextlib.closing(sqlite3.connect(path)) as conn:
        assert conn.execute("SELECT version FROM quorvel_spend_schema").fetchone() == (5,)


def test_a_version_1_postgres_store_is_upgraded_in_place(trust, issuer):
    import psycopg

    url = postgres_url()
    SpendLedger(trust, url).close()
    with psycopg.connect(url, autocommit=True) as conn:
        conn.execute("UPDATE quorvel_spend_schema SET version = 1")
        conn.execute("DROP FUNCTION quorvel_spend_reserve")  # version 1's function goes
    credential = issue(issuer, limit=10)
    with SpendLedger(trust, url) as ledger:
        ledger.release(ledger.reserve(credential, 6, key="k", now=T0))
        assert ledger.reserve(credential, 6, key="k", now=T0) and ledger.remaining(credential, now=T0) == 4
    with psycopg.connect(url) as conn:
        assert conn.execute("SELECT version FROM quorvel_spend_schema").fetchone() == (4,)


def test_the_async_twins_leave_the_event_loop_free_while_the_store_waits(trust, issuer, tmp_path):
    import sqlite3

    credential = issue(issuer)
    with SpendLedger(trust, tmp_path / "spend.sqlite3") as ledger:
        ledger.reserve(credential, 1, now=T0)
        blocker = sqlite3.connect(tmp_path / "spend.sqlite3", isolation_level=None)
        blocker.execute("BEGIN IMMEDIATE")  # the file's write lock, held for 0.3 s

        async def run():
            asyncio.get_running_loop().call_later(0.3, blocker.execute, "COMMIT")
            task = asyncio.ensure_future(ledger.reserve_async(credential, 1, now=T0))
            ticks = 0
            while not task.done():
                ticks += 1
                await asyncio.sleep(0.01)
            return ticks, await task

        ticks, decision = asyncio.run(run())
        blocker.close()
    assert decision and ticks >= 10


@pytest.mark.parametrize(("kind", "hops"), [("sqlite", 2), ("postgres", 0)])
def test_the_async_twins_use_a_worker_thread_only_on_sqlite(trust, issuer, tmp_path, kind, hops):
    from concurrent.futures import ThreadPoolExecutor

    class Counted(ThreadPoolExecutor):
        def submit(self, *args, **kwargs):
            self.count += 1
            return super().submit(*args, **kwargs)

    credential, executor = issue(issuer), Counted(1)
    executor.count = 0
    assert trust.verify(credential)  # its documents fetched: only the store's hops remain

    async def run(ledger):
        asyncio.get_running_loop().set_default_executor(executor)
        await ledger.commit_async(await ledger.reserve_async(credential, 1, now=T0))

    with SpendLedger(trust, store_url(kind, tmp_path)) as ledger:
        asyncio.run(run(ledger))
    assert executor.count == hops


def test_a_thread_per_request_server_reuses_the_stores_connections(trust, issuer, tmp_path):
    import threading

    credential = issue(issuer, limit=1000)
    with SpendLedger(trust, tmp_path / "spend.sqlite3") as ledger:
        for _ in range(20):
            thread = threading.Thread(target=lambda: ledger.commit(ledger.reserve(credential, 1, now=T0)))
            thread.start()
            thread.join()
        assert len(ledger._books.store._idle) == 1
        assert ledger.remaining(credential, now=T0) == 980


@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
@pytest.mark.parametrize(
    "operation", [lambda ledger, cred: ledger.reserve(cred, 1), lambda ledger, cred: ledger.remaining(cred)]
)
def test_a_closed_ledger_says_so_on_either_store(trust, issuer, tmp_path, kind, operation):
    ledger = SpendLedger(trust, store_url(kind, tmp_path))
    ledger.close()
    with pytest.raises(ValueError, match="the spend ledger is closed"):
        operation(ledger, issue(issuer))


# -- the ledger's inputs -----------------------------------------------------------------


def _verdict_of_another_passport(url, trust, issuer, tmp_path):
    # The same agent, issuer, kid and expiry: only the bound (and the id) differ.
    mine, other = issue(issuer, limit=100), issue(issuer, limit=1_000_000)
    with SpendLedger(trust, url) as ledger:
        with pytest.raises(ValueError, match="not this credential"):
            ledger.reserve(mine, 5_000, verdict=trust.verify(other), now=T0)
        assert ledger.remaining(mine, now=T0) == 100
        assert ledger.reserve(mine, 100, verdict=trust.verify(mine), now=T0)


def _key_value_connection_string(url, trust, issuer, tmp_path):
    with pytest.raises(ValueError, match="postgresql://"):
        SpendLedger(trust, "host=db password=s3cret dbname=spend")
    assert os.listdir(tmp_path) == []


def _passwords_in_the_url(url, trust, issuer, tmp_path):
    scheme, _, rest = url.partition("://")
    user, _, host = rest.partition("@")
    for given in (f"{scheme}://{user}:s3cret@{host}", f"{url}?sslmode=disable&password=s3cret"):
        with SpendLedger(trust, given, pool_size=1) as ledger:
            assert "s3cret" not in repr(ledger) and "***" in repr(ledger)


def _a_link_planted_at_the_queue(url, trust, issuer, tmp_path):
    (tmp_path / "spend.sqlite3-queue").symlink_to(tmp_path / "elsewhere")
    with SpendLedger(trust, url) as ledger:
        assert ledger.reserve(issue(issuer), 1, now=T0)
    assert not (tmp_path / "elsewhere").exists()


def _the_queue_takes_the_files_mode(url, trust, issuer, tmp_path):
    (tmp_path / "spend.sqlite3").touch(mode=0o660)
    os.chmod(tmp_path / "spend.sqlite3", 0o660)
    SpendLedger(trust, url).close()
    assert (tmp_path / "spend.sqlite3-queue").stat().st_mode & 0o777 == 0o660


def _a_queue_held_elsewhere(url, trust, issuer, tmp_path):
    import fcntl
    import sqlite3
    import time

    credential = issue(issuer)
    with SpendLedger(trust, url, timeout=0.5) as ledger:
        fd = os.open(tmp_path / "spend.sqlite3-queue", os.O_RDWR)
        fcntl.flock(fd, fcntl.LOCK_EX)  # another process's writer, stuck
        try:
            for _ in range(2):  # the second behind a waiter abandoned by the first
                began = time.monotonic()
                with pytest.raises(sqlite3.OperationalError, match="database is locked"):
                    ledger.reserve(credential, 1, now=T0)
                assert 0.45 < time.monotonic() - began < 1.5
        finally:
            os.close(fd)
        assert ledger.reserve(credential, 1, now=T0)


def _writers_behind_an_outside_lock(url, trust, issuer, tmp_path):
    import sqlite3
    import time
    from concurrent.futures import ThreadPoolExecutor

    credential = issue(issuer)
    with SpendLedger(trust, url, timeout=0.5) as ledger:
        ledger.reserve(credential, 1, now=T0)
        outside = sqlite3.connect(tmp_path / "spend.sqlite3", isolation_level=None)
        outside.execute("BEGIN IMMEDIATE")  # the file's write lock, held for 3 s

        def attempt(_: int) -> float:
            began = time.monotonic()
            with pytest.raises(sqlite3.OperationalError, match="database is locked"):
                ledger.reserve(credential, 1, now=T0)
            return time.monotonic() - began

        try:
            with ThreadPoolExecutor(6) as pool:
                waits = list(pool.map(attempt, range(6)))
        finally:
            outside.execute("ROLLBACK")
            outside.close()
    assert max(waits) < 1.5  # each within its own timeout: they do not add up


@pytest.mark.parametrize(
    ("case", "kind"),
    [
        (_verdict_of_another_passport, "sqlite"),
        (_verdict_of_another_passport, "postgres"),
        (_key_value_connection_string, "sqlite"),
        (_passwords_in_the_url, "postgres"),
        (_a_link_planted_at_the_queue, "sqlite"),
        (_the_queue_takes_the_files_mode, "sqlite"),
        (_a_queue_held_elsewhere, "sqlite"),
        (_writers_behind_an_outside_lock, "sqlite"),
    ],
)
def test_the_ledger_keeps_to_what_its_inputs_allow(trust, issuer, tmp_path, monkeypatch, kind, case):
    monkeypatch.chdir(tmp_path)
    case(store_url(kind, tmp_path), trust, issuer, tmp_path)
