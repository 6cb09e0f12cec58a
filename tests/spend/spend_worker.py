"""One server of a fleet, for tests/spend/test_spend_fleet.py: ``python spend_worker.py CONFIG NAME``.

It builds a real ``IssuerTrust`` (its fetcher serves the issuer's documents
from the config) and a ``SpendLedger`` on the config's store, tells the
test it is ready, waits for the start, then runs ``threads`` threads:

1. until ``switch_at``, each thread reserves random amounts against random
   passports, then commits (sometimes lower), releases, or leaves the hold;
2. once the test says every server is past step 1, each thread reserves and commits in full against every
   passport marked ``fill`` until it is refused once.

Every answer is appended to the worker's log as one JSON line, written
straight to the file (no buffer), so a ``kill -9`` loses no line already
written: "hold" once ``reserve`` held (``at`` the date it was held at,
``t`` the wall clock after it returned), "commit"/"release" once they
returned (``t`` the wall clock before they were called), "refused" for a
refusal. Times are µs since the epoch.
"""

from __future__ import annotations

import json
import os
import random
import sys
import threading
import time
from datetime import UTC, datetime
from pathlib import Path

from quorvel_trellane.spend import SpendLedger
from quorvel_trellane.trust import IssuerTrust


def main(config_path: str, name: str) -> None:
    config = json.loads(Path(config_path).read_text())
    documents = config["documents"]
    trust = IssuerTrust(config["issuer_url"], issuer_did=config["issuer_did"], fetch=lambda url: documents[url])
    ledger = SpendLedger(trust, config["url"], pool_size=config["threads"])
    passports = config["passports"]
    for passport in passports:  # warm the trust before the start
        assert trust.verify(passport["credential"])
    log = os.open(Path(config["dir"]) / f"{name}.log", os.O_WRONLY | os.O_CREAT | os.O_APPEND)
    go = Path(config["dir"]) / "go"
    (Path(config["dir"]) / f"{name}.ready").touch()
    while not go.exists():
        time.sleep(0.005)
    switch_at = json.loads(go.read_text())
    fill = Path(config["dir"]) / "fill"
    phase1_left = [config["threads"]]
    phase1_lock = threading.Lock()

    def write(**entry: object) -> None:
        os.write(log, (json.dumps(entry) + "\n").encode())

    def now() -> datetime:
        return datetime.now(UTC)

    def clock() -> int:
        return time.time_ns() // 1000

    def run(thread: int) -> None:
        rng = random.Random(f"{config['seed']}-{name}-{thread}")
        sequence = 0

        def reserve(index: int, amount: int, phase: int) -> str | None:
            nonlocal sequence
            sequence += 1
            key = f"{name}-{thread}-{sequence}"
            at = now()
            decision = ledger.reserve(passports[index]["credential"], amount, key=key, now=at)
            if not decision:
                assert decision.error_code == "SPEND_LIMIT_EXCEEDED", decision
                write(op="refused", pp=index, amount=amount, phase=phase)
                return None
            write(
                op="hold", key=key, pp=index, amount=amount, at=int(at.timestamp() * 1_000_000), t=clock(), phase=phase
            )
            return key

        while time.time() < switch_at:
            index = rng.randrange(len(passports))
            amount = rng.randint(1, config["max_amount"])
            key = reserve(index, amount, 1)
            if key is None:
                continue
            decision = ledger.reserve(passports[index]["credential"], amount, key=key)  # a retry: the first decision
            # Mostly released, so that the budgets hover at their bounds,
            # where a lost update would show.
            roll = rng.random()
            if roll < 0.2:
                final = amount if roll < 0.1 else rng.randint(1, amount)
                start = clock()
                ledger.commit(decision, amount_microusd=final)
                write(op="commit", key=key, amount=final, t=start)
            elif roll < 0.9:
                start = clock()
                ledger.release(decision)
                write(op="release", key=key, t=start)
        with phase1_lock:
            phase1_left[0] -= 1
            if phase1_left[0] == 0:
                (Path(config["dir"]) / f"{name}.phase1").touch()
        # Every server's frees are done before any fills: the test then
        # knows that a refusal in the fill saw a total that never fell.
        while not fill.exists():
            time.sleep(0.001)
        for index, passport in enumerate(passports):
            while passport["fill"]:
                amount = rng.randint(1, config["max_amount"])
                key = reserve(index, amount, 2)
                if key is None:
                    break
                decision = ledger.reserve(passport["credential"], amount, key=key)
                start = clock()
                ledger.commit(decision)
                write(op="commit", key=key, amount=amount, t=start)

    def guarded(thread: int) -> None:
        try:
            run(thread)
        except BaseException as exc:  # the test reads the log, not stderr
            write(op="error", error=repr(exc))
            raise

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(config["threads"])]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    ledger.close()
    write(op="done")


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
