"""A fleet on one store: several processes, each with several threads, and a kill -9.

Each server is a real process (``tests/spend/spend_worker.py``) with its own
``IssuerTrust`` and ``SpendLedger``; they reserve random amounts against a
few passports with small bounds, settle some, and then fill the budgets
until refused. The test then reads the store itself and the servers'
logs, and checks what the ledger promises:

- no rolling window of any passport ever held more than its bound, at any
  instant of the run (a hold later released counts while it was held);
- where demand exceeded a bound, the granted total reaches the bound less
  the largest single amount (no lost update, no starvation);
- every hold a server was told it holds is in the store, settled as it was
  told, also for the server killed with SIGKILL mid-run; no row is
  half-written, and a retried key never charged twice.
"""

from __future__ import annotations

import contextlib
import json
import signal
import sqlite3
import subprocess
import sys
import time
import uuid
from pathlib import Path

import pytest
from test_spend import BASE, postgres_url

from quorvel_trellane.testing import Issuer

WORKER = Path(__file__).with_name("spend_worker.py")
WORKERS, THREADS = 3, 3
MAX_AMOUNT = 100
SECONDS = 1.0
# (limit, window, window in µs, filled until refused)
BUDGETS = [
    (2_000, "P1D", 86_400_000_000, True),
    (3_000, "P1D", 86_400_000_000, True),
    (1_000, "PT1S", 1_000_000, False),
]


ISSUER_DID = "did:example:fleet-issuer"  # the module's own test issuer (conftest's issuer fixture)


def run_fleet(issuer: Issuer, url: str, directory: Path, *, kill: bool) -> tuple[list[str], dict[str, list[dict]]]:
    """Run the fleet; the passport ids and each surviving or killed server's log."""
    ids = [f"pp_{uuid.uuid4().hex}" for _ in BUDGETS]
    documents = {
        f"{BASE}/.well-known/pqc-keys.json": json.dumps(issuer.wellknown_document()),
        f"{BASE}/passport/crl/{issuer.kid}.json": json.dumps(issuer.revocation_list()),
    }
    config = {
        "url": url,
        "dir": str(directory),
        "issuer_url": BASE,
        "issuer_did": issuer.issuer_did,
        "documents": documents,
        "threads": THREADS,
        "max_amount": MAX_AMOUNT,
        "seed": 20,
        "passports": [
            {"credential": issuer.issue(passport_id=pid, spend_limit_microusd=limit, spend_window=window), "fill": fill}
            for pid, (limit, window, _, fill) in zip(ids, BUDGETS, strict=True)
        ],
    }
    (directory / "config.json").write_text(json.dumps(config))
    names = [f"w{i}" for i in range(WORKERS)]
    errors = {name: (directory / f"{name}.err").open("wb") for name in names}
    workers = {
        name: subprocess.Popen([sys.executable, str(WORKER), str(directory / "config.json"), name], stderr=errors[name])
        for name in names
    }
    try:
        wait_for(lambda: all((directory / f"{name}.ready").exists() for name in names), workers, directory)
        switch_at = time.time() + SECONDS
        (directory / "go.tmp").write_text(json.dumps(switch_at))
        (directory / "go.tmp").rename(directory / "go")
        live = list(names)
        if kill:
            time.sleep(SECONDS / 2)
            workers["w0"].send_signal(signal.SIGKILL)
            assert workers["w0"].wait(10) == -signal.SIGKILL
            live.remove("w0")
        wait_for(lambda: all((directory / f"{name}.phase1").exists() for name in live), workers, directory)
        (directory / "fill").touch()
        for name in live:
            assert workers[name].wait(60) == 0, (directory / f"{name}.err").read_text()
    finally:
        for process in workers.values():
            if process.poll() is None:
                process.kill()
                process.wait()
        for file in errors.values():
            file.close()
    logs = {name: [json.loads(line) for line in (directory / f"{name}.log").read_text().splitlines()] for name in names}
    for name, entries in logs.items():
        assert not [entry for entry in entries if entry["op"] == "error"], entries
        if name in live:
            assert entries[-1] == {"op": "done"}
    return ids, logs


def wait_for(condition, workers, directory: Path, seconds: float = 60.0) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        for name, process in workers.items():
            if process.poll() not in (None, 0, -signal.SIGKILL):
                pytest.fail(f"{name} failed: {(directory / f'{name}.err').read_text()}")
        assert time.monotonic() < deadline, "the fleet did not reach its next step"
        time.sleep(0.01)


def store_rows(kind: str, url: str, ids: list[str]) -> list[tuple]:
    """Every hold of the fleet's passports: (passport index, key, at, requested, amount, state)."""
    query = "SELECT passport_id, key, at, requested, amount, state FROM quorvel_spend_hold WHERE passport_id IN ({})"
    if kind == "sqlite":  # a hold names its budget by the budget's id
        query = query.replace("quorvel_spend_hold", "quorvel_spend_hold JOIN quorvel_spend_budget b ON b.id = budget")
        with contextlib.closing(sqlite3.connect(url.removeprefix("sqlite:///"))) as conn:
            assert conn.execute("PRAGMA integrity_check").fetchone() == ("ok",)
            rows = conn.execute(query.format(",".join("?" * len(ids))), ids).fetchall()
    else:
        import psycopg

        with psycopg.connect(url) as conn:
            rows = conn.execute(query.format(",".join(["%s"] * len(ids))), ids).fetchall()
    return [(ids.index(row[0]), *row[1:]) for row in rows]


def most_ever_held(holds: list[dict], window: int) -> int:
    """The most the holds ever counted together in one window, never overstated.

    A hold counts from when ``reserve`` returned (it took effect before)
    until its commit or release was called (it took effect after), over the
    window ending at that instant, by the date it was held at. Both ends
    err towards counting less, so a total over the bound is a real
    overspend, one later released included.
    """
    best = 0
    for instant in sorted({hold["t"] for hold in holds}):
        total = 0
        for hold in holds:
            if hold["t"] <= instant and hold["at"] > instant - window:
                settled_at = hold.get("settled_at")
                if settled_at is None or instant < settled_at:
                    total += hold["amount"]
                elif hold["state"] == 1:
                    total += hold["final"]
        best = max(best, total)
    return best


@pytest.mark.parametrize("kill", [False, True], ids=["all live", "one killed"])
@pytest.mark.parametrize("kind", ["sqlite", "postgres"])
def test_a_fleet_never_overspends_never_starves_and_a_killed_server_loses_no_hold(issuer, tmp_path, kind, kill):
    url = f"sqlite:///{tmp_path}/spend.sqlite3" if kind == "sqlite" else postgres_url()
    ids, logs = run_fleet(issuer, url, tmp_path, kill=kill)
    rows = store_rows(kind, url, ids)

    # No row is half-written: each is a hold, a commit at most its amount, or a release.
    for _, _, _, requested, amount, state in rows:
        assert (state, amount) in {(0, requested), (2, 0)} or (state == 1 and 0 < amount <= requested)

    # What each server was told is what the store holds; the killed one
    # may have holds it never logged, the others may not.
    told: dict[str, dict] = {}
    for name, entries in logs.items():
        for entry in entries:
            if entry["op"] == "hold":
                told[entry["key"]] = {**entry, "final": entry["amount"], "state": 0, "name": name}
            elif entry["op"] == "commit":
                told[entry["key"]].update(final=entry["amount"], state=1, settled_at=entry["t"])
            elif entry["op"] == "release":
                told[entry["key"]].update(final=0, state=2, settled_at=entry["t"])
    stored = {key: (pp, at, requested, amount, state) for pp, key, at, requested, amount, state in rows}
    assert len(stored) == len(rows)  # one row per key: no retry charged twice
    for key, hold in told.items():
        if BUDGETS[hold["pp"]][1] != "P1D":
            continue  # short windows are pruned as they pass
        pp, at, requested, amount, state = stored[key]
        assert (pp, at, requested) == (hold["pp"], hold["at"], hold["amount"])
        if hold["state"]:  # settled and told so; a hold the killed server never settled stays held
            assert (state, amount) == (hold["state"], hold["final"])
        elif hold["name"] != "w0" or not kill:
            assert (state, amount) == (0, hold["amount"])
    for key, hold in told.items():
        if kill and hold["name"] == "w0" and "settled_at" not in hold:
            # The killed server may have settled it without saying so: from
            # the earliest it could have been, it counts what the store
            # holds (nothing once pruned).
            stored_hold = stored.get(key)
            hold.update(settled_at=hold["t"], state=1, final=0 if stored_hold is None else stored_hold[3])
    unlogged = {key for key, row in stored.items() if key not in told}
    assert all(key.startswith("w0-") for key in unlogged) and (kill or not unlogged)

    for index, (limit, _, window, fill) in enumerate(BUDGETS):
        holds = [hold for hold in told.values() if hold["pp"] == index]
        assert len(holds) >= limit / MAX_AMOUNT  # the budget was really used up
        assert most_ever_held(holds, window) <= limit
        if fill:
            # Complete in the store: the whole run is inside one window.
            total = sum(amount for pp, _, _, _, amount, _ in rows if pp == index)
            refused = [
                e
                for entries in logs.values()
                for e in entries
                if e["op"] == "refused" and e["pp"] == index and e["phase"] == 2
            ]
            assert refused, "demand never exceeded the bound"
            assert limit - MAX_AMOUNT < total <= limit
