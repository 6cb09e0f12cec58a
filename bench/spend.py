"""The spend ledger against its stores' own floors, in one run.

Run from the repository root:

    PYTHONPATH=src .venv/bin/python bench/spend.py [--seconds S] [--rounds R] [--postgres URL]
    PYTHONPATH=src .venv/bin/python bench/spend.py --instructions [--pairs N]   # needs valgrind

Without ``--postgres`` (or ``QUORVEL_TEST_POSTGRES_URL``) a throwaway server
is started with ``scripts/postgres`` and stopped at the end.

- SQLite: ``reserve`` + ``commit`` against the hand-written ledger pair
  (``hand_pair``: the reservation's SELECT total, INSERT hold, UPDATE total
  synced, then its commit's UPDATE, not synced, as the ledger syncs) and a
  bare one-row write transaction on the same file, with the disk's sync
  latency measured in the same run. ``--instructions`` counts the pair and
  its floor with callgrind instead, for both drivers.
- PostgreSQL: ``reserve``, ``commit`` and ``release`` each against a bare
  single-statement round trip on the same pool (``SELECT 1``, and a one-row
  INSERT as the write floor); the round trips of every operation are
  counted on libpq's trace of the wire.
- Both: two processes against one, each process on its own passport,
  reserving and committing for S seconds.

The credentials are real and verified by a real ``IssuerTrust`` (its
fetcher serves the issuer's documents from memory; a warm verification
is part of every ``reserve``). Each figure is the median over R rounds of
interleaved batches; the bound is never reached.

Also, each side by side with its floor in the same run:

- the ledger's own Python per reservation (a store that does nothing
  stands in for the real one), against the passport decode it no longer
  repeats;
- the async twins against the sync calls (PostgreSQL: the async pool on
  the loop; SQLite: the worker thread);
- SQLite under contention: 1, 2 and 4 processes, wall and CPU time per
  pair, waiting in SQLite's busy handler;
- the one reservation whose window slides past 10^5 holds, and the next
  one that prunes, on both stores.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import multiprocessing
import os
import statistics
import subprocess
import tempfile
import time
from collections.abc import Callable
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import Any

from quorvel_trellane.passport import decode_passport
from quorvel_trellane.spend import SpendLedger
from quorvel_trellane.testing import Issuer
from quorvel_trellane.trust import IssuerTrust

BASE = "https://issuer.example"
BIG = 2**53 - 1  # a bound never reached (the largest integer JSON keeps exact)
ROOT = Path(__file__).resolve().parent.parent


def make_trust(documents: dict[str, str], issuer_did: str) -> IssuerTrust:
    return IssuerTrust(BASE, issuer_did=issuer_did, fetch=lambda url: documents[url])


def documents_of(issuer: Issuer) -> dict[str, str]:
    return {
        f"{BASE}/.well-known/pqc-keys.json": json.dumps(issuer.wellknown_document()),
        f"{BASE}/passport/crl/{issuer.kid}.json": json.dumps(issuer.revocation_list()),
    }


def timed(rounds: int, batch: int, cases: dict[str, Callable[[], None]]) -> dict[str, float]:
    """Median µs per call of each case, over interleaved batches."""
    samples: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(rounds):
        for name, case in cases.items():
            start = time.perf_counter()
            for _ in range(batch):
                case()
            samples[name].append((time.perf_counter() - start) / batch * 1e6)
    return {name: statistics.median(values) for name, values in samples.items()}


def timed_batches(rounds: int, batch: int, cases: dict[str, Callable[[int], None]]) -> dict[str, float]:
    """:func:`timed` for cases that run a whole batch themselves (an event loop's)."""
    samples: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(rounds):
        for name, case in cases.items():
            start = time.perf_counter()
            case(batch)
            samples[name].append((time.perf_counter() - start) / batch * 1e6)
    return {name: statistics.median(values) for name, values in samples.items()}


def async_pairs(ledger: SpendLedger, credential: str) -> tuple[Callable[[int], None], Callable[[int], None]]:
    """Batches of reserve+commit pairs: the sync calls, and the async twins on one event loop."""
    loop = asyncio.new_event_loop()

    def sync(n: int) -> None:
        for _ in range(n):
            ledger.commit(ledger.reserve(credential, 1))

    async def pairs(n: int) -> None:
        for _ in range(n):
            await ledger.commit_async(await ledger.reserve_async(credential, 1))

    return sync, lambda n: loop.run_until_complete(pairs(n))


def print_async(result: dict[str, float], how: str) -> None:
    sync, asynced = result["sync"], result["async"]
    print(f"  reserve + commit, sync             {sync:9.1f} µs")
    print(f"  reserve_async + commit_async       {asynced:9.1f} µs   {asynced / sync:.2f}x sync ({how})")


class NullStore:
    """A store that holds everything at once: what is left is the ledger's own Python."""

    def reserve(self, request: Any) -> Any:
        from quorvel_trellane.spend._store import Reserved

        return Reserved(1, request.amount, 0)

    def settle(self, hold: Any, state: int, amount: Any) -> Any:
        from quorvel_trellane.spend._store import Settled

        return Settled(state, amount, amount, True)

    def close(self) -> None:
        pass


def bench_python(issuer: Issuer, documents: dict[str, str], args: argparse.Namespace, directory: str) -> None:
    trust = make_trust(documents, issuer.issuer_did)
    credential = issuer.issue(spend_limit_microusd=BIG, spend_window="P1D")
    with SpendLedger(trust, os.path.join(directory, "python.sqlite3")) as ledger:
        ledger._books.store.close()
        ledger._books.store = NullStore()  # type: ignore[assignment]
        result = timed(
            args.rounds,
            args.batch * 5,
            {
                "reserve": lambda: ledger.reserve(credential, 1),
                "verify": lambda: trust.verify(credential),
                "decode": lambda: decode_passport(credential),
            },
        )
    own = result["reserve"] - result["verify"]
    print("The ledger's own Python (a store that does nothing)")
    print(f"  reserve, store excluded            {result['reserve']:9.1f} µs")
    print(f"  of which the warm verification     {result['verify']:9.1f} µs")
    print(f"  the ledger's own part              {own:9.1f} µs")
    print(f"  a passport decode, no longer done  {result['decode']:9.1f} µs   (was part of every reservation)")


def slide(url: str, issuer: Issuer, documents: dict[str, str], holds: int) -> None:
    """One reservation whose window slides past ``holds`` holds, then the next, which prunes."""
    trust = make_trust(documents, issuer.issuer_did)
    credential = issuer.issue(spend_limit_microusd=BIG, spend_window="PT1H", valid_for=timedelta(hours=4))
    passport_id = decode_passport(credential).payload["passport_id"]
    t0 = datetime.now(UTC)  # within the credential's life, as every reservation below
    at0 = (t0 - datetime(1970, 1, 1, tzinfo=UTC)) // timedelta(microseconds=1)
    with SpendLedger(trust, url) as ledger:
        ledger.reserve(credential, 1, now=t0)
        rows = [(issuer.issuer_did, passport_id, at0 + 1 + i) for i in range(holds)]
        insert = (
            "INSERT INTO quorvel_spend_hold (issuer_did, passport_id, at, requested, remaining, amount)"
            " VALUES ({0}, {0}, {0}, 1, 0, 1)"
        )
        total = "UPDATE quorvel_spend_budget SET total = total + {0} WHERE passport_id = {0}"
        store = ledger._books.store
        if hasattr(store, "_pool"):
            with store._pool.connection() as conn, conn.cursor() as cursor:
                cursor.executemany(insert.format("%s"), rows)
                cursor.execute(total.format("%s"), (holds, passport_id))
        else:  # a hold names its budget by the budget's id
            import sqlite3

            with sqlite3.connect(store.path) as conn:
                (budget,) = conn.execute(
                    "SELECT id FROM quorvel_spend_budget WHERE passport_id = ?", (passport_id,)
                ).fetchone()
                conn.executemany(
                    "INSERT INTO quorvel_spend_hold (budget, at, requested, remaining, amount) VALUES (?, ?, 1, 0, 1)",
                    [(budget, at) for _, _, at in rows],
                )
                conn.execute(total.format("?"), (holds, passport_id))
        times = []
        for later in (timedelta(hours=1, seconds=1), timedelta(hours=2, seconds=2), timedelta(hours=2, seconds=3)):
            start = time.perf_counter()
            assert ledger.reserve(credential, 1, now=t0 + later)
            times.append((time.perf_counter() - start) * 1e3)
    print(f"  the slide past {holds} holds         {times[0]:9.1f} ms   (counted, none deleted)")
    print(f"  the next two, deleting 256 each    {times[1]:9.1f} ms, {times[2]:.1f} ms")


# -- two processes against one -----------------------------------------------------------


def _child(
    url: str, documents: dict[str, str], issuer_did: str, credential: str, barrier: Any, seconds: float, out: Any
) -> None:
    trust = make_trust(documents, issuer_did)
    with SpendLedger(trust, url, pool_size=1) as ledger:
        ledger.commit(ledger.reserve(credential, 1))
        barrier.wait()
        done, end, cpu = 0, time.perf_counter() + seconds, time.process_time()
        while time.perf_counter() < end:
            ledger.commit(ledger.reserve(credential, 1))
            done += 1
        out.put((done / seconds, (time.process_time() - cpu) / done * 1e6))


def throughput(
    url: str, documents: dict[str, str], issuer_did: str, credentials: list[str], seconds: float
) -> tuple[float, float]:
    """Reserve+commit pairs per second of ``len(credentials)`` processes together, and CPU µs per pair."""
    context = multiprocessing.get_context("spawn")
    barrier, out = context.Barrier(len(credentials)), context.Queue()
    processes = [
        context.Process(target=_child, args=(url, documents, issuer_did, credential, barrier, seconds, out))
        for credential in credentials
    ]
    for process in processes:
        process.start()
    results = [out.get(timeout=120) for _ in processes]
    for process in processes:
        process.join()
    return sum(rate for rate, _ in results), statistics.mean(cpu for _, cpu in results)


def scaling(url: str, documents: dict[str, str], issuer: Issuer, args: argparse.Namespace) -> None:
    """One process against two, alternated, each on passports of its own; medians."""
    ones, twos = [], []
    for _ in range(args.scaling_rounds):
        fresh = [issuer.issue(spend_limit_microusd=BIG) for _ in range(3)]
        ones.append(throughput(url, documents, issuer.issuer_did, fresh[:1], args.seconds)[0])
        twos.append(throughput(url, documents, issuer.issuer_did, fresh[1:], args.seconds)[0])
    one, two = statistics.median(ones), statistics.median(twos)
    print(f"  one process   {one:9.0f} pairs/s   (runs: {', '.join(f'{x:.0f}' for x in ones)})")
    print(f"  two processes {two:9.0f} pairs/s   {two / one:.2f}x   (runs: {', '.join(f'{x:.0f}' for x in twos)})")


def contention(url: str, documents: dict[str, str], issuer: Issuer, args: argparse.Namespace) -> None:
    """1, 2 and 4 processes on one file: wall µs per pair per process, and CPU µs per pair."""
    for n in (1, 2, 4):
        fresh = [issuer.issue(spend_limit_microusd=BIG) for _ in range(n)]
        rate, cpu = throughput(url, documents, issuer.issuer_did, fresh, args.seconds)
        print(
            f"  {n} process(es): {rate:7.0f} pairs/s, {n / rate * 1e6:7.0f} µs per pair each, {cpu:5.0f} µs CPU per pair"
        )


# -- the stores --------------------------------------------------------------------------


def bench_sqlite(issuer: Issuer, documents: dict[str, str], args: argparse.Namespace, directory: str) -> None:
    import sqlite3

    path = os.path.join(directory, "spend.sqlite3")
    url = f"sqlite:///{path}"
    trust = make_trust(documents, issuer.issuer_did)
    credential = issuer.issue(spend_limit_microusd=BIG, spend_window="P1D")
    with SpendLedger(trust, url) as ledger:
        floor = sqlite3.connect(path, isolation_level=None)
        floor.execute("PRAGMA synchronous=FULL")
        floor.execute("CREATE TABLE IF NOT EXISTS bench_floor (id INTEGER PRIMARY KEY, x INTEGER)")

        def bare() -> None:
            floor.execute("BEGIN IMMEDIATE")
            floor.execute("INSERT INTO bench_floor (x) VALUES (?)", (1,))
            floor.execute("COMMIT")

        hand_reserve, hand_commit = hand_pair(path)

        def hand() -> None:
            hand_reserve()
            hand_commit()

        def pair() -> None:
            ledger.commit(ledger.reserve(credential, 1))

        def verify() -> None:
            trust.verify(credential)

        def reserve() -> None:
            ledger.reserve(credential, 1)

        synced = sync_latency(directory)
        result = timed(
            args.rounds,
            args.batch,
            {
                "floor": bare,
                "hand": hand,
                "pair": pair,
                "reserve": reserve,
                "verify": verify,
                "sync": synced_once(directory),
            },
        )
        floor.close()
    # The twins on a file in memory (/dev/shm where there is one): without the
    # disk's sync, whose time swings by milliseconds, the thread hop shows.
    memory = "/dev/shm" if os.path.isdir("/dev/shm") else directory
    with tempfile.TemporaryDirectory(dir=memory) as shm, SpendLedger(trust, f"sqlite:///{shm}/twins.sqlite3") as ledger:
        sync, asynced = async_pairs(ledger, credential)
        twins = timed_batches(args.rounds, args.batch, {"sync": sync, "async": asynced})
    print("SQLite (one file, WAL; reservations synchronous=FULL, settlements NORMAL)")
    print(f"  the disk's sync (write + fsync)    {result['sync']:9.1f} µs   (before the run: {synced:.1f} µs)")
    print(f"  bare one-row write transaction     {result['floor']:9.1f} µs")
    print(
        f"  hand-written pair (the floor)      {result['hand']:9.1f} µs   "
        f"ledger pair {result['pair'] / result['hand']:.2f}x it"
    )
    print(
        f"  reserve + commit                   {result['pair']:9.1f} µs   {result['pair'] / result['floor']:.2f}x the floor"
    )
    print(
        f"  reserve alone                      {result['reserve']:9.1f} µs   {result['reserve'] / result['floor']:.2f}x the floor"
    )
    print(f"  (of which the warm verification    {result['verify']:9.1f} µs)")
    print_async(twins, "a worker thread per call; the file in memory")
    slide(url, issuer, documents, args.holds)
    contention(url, documents, issuer, args)
    scaling(url, documents, issuer, args)


def synced_once(directory: str) -> Callable[[], None]:
    """One 4 kB write and fsync of a file in ``directory``: what a synced commit waits for at least."""
    fd = os.open(os.path.join(directory, "sync-probe"), os.O_RDWR | os.O_CREAT, 0o600)

    def sync() -> None:
        os.pwrite(fd, b"x" * 4096, 0)
        os.fsync(fd)

    return sync


def sync_latency(directory: str, n: int = 50) -> float:
    """The median µs of :func:`synced_once`."""
    sync, samples = synced_once(directory), []
    for _ in range(n):
        start = time.perf_counter()
        sync()
        samples.append((time.perf_counter() - start) * 1e6)
    return statistics.median(samples)


def round_trips(pool: Any, operation: Callable[[], object], directory: str) -> int:
    trace = os.path.join(directory, "trace")
    with open(trace, "w") as out:
        with pool.connection() as conn:
            conn.pgconn.trace(out.fileno())
        operation()
        with pool.connection() as conn:
            conn.pgconn.untrace()
    return sum(
        1 for line in Path(trace).read_text().splitlines() if line.split("\t")[1:4:2] in (["F", "Sync"], ["F", "Query"])
    )


def bench_postgres(
    issuer: Issuer, documents: dict[str, str], args: argparse.Namespace, url: str, directory: str
) -> None:
    trust = make_trust(documents, issuer.issuer_did)
    credential = issuer.issue(spend_limit_microusd=BIG, spend_window="P1D")
    with SpendLedger(trust, url, pool_size=1) as ledger:
        pool = ledger._books.store._pool  # type: ignore[attr-defined]
        with pool.connection() as conn:
            conn.execute("CREATE TABLE IF NOT EXISTS bench_floor (id bigint GENERATED ALWAYS AS IDENTITY, x int)")
        held = [ledger.reserve(credential, 1)]

        def select() -> None:
            with pool.connection() as conn:
                conn.execute("SELECT 1").fetchone()

        def insert() -> None:
            with pool.connection() as conn:
                conn.execute("INSERT INTO bench_floor (x) VALUES (%s)", (1,))

        def reserve() -> None:
            held.append(ledger.reserve(credential, 1))

        def commit() -> None:
            ledger.commit(held.pop())

        def release() -> None:
            ledger.release(ledger.reserve(credential, 1))

        trips = {
            "reserve": round_trips(pool, lambda: held.append(ledger.reserve(credential, 1)), directory),
            "commit": round_trips(pool, lambda: ledger.commit(held.pop()), directory),
            "release": round_trips(pool, lambda: ledger.release(held.pop()), directory),
            "replay": round_trips(pool, lambda: ledger.reserve(credential, 1, key="same"), directory),
        }
        # reserve and commit alternate, so that every commit has a hold.
        result = timed(
            args.rounds, args.batch, {"select": select, "insert": insert, "reserve": reserve, "commit": commit}
        )
        release_time = timed(args.rounds, args.batch // 2, {"reserve+release": release})["reserve+release"]
        sync, asynced = async_pairs(ledger, credential)
        twins = timed_batches(args.rounds, args.batch // 2, {"sync": sync, "async": asynced})
    floor = result["select"]
    print("PostgreSQL (loopback, autocommit pool, throwaway server: fsync off)")
    print(f"  bare round trip, SELECT 1          {floor:9.1f} µs")
    print(f"  bare one-row INSERT                {result['insert']:9.1f} µs")
    for name in ("reserve", "commit"):
        print(
            f"  {name:<34} {result[name]:9.1f} µs   {result[name] / floor:.2f}x SELECT 1, "
            f"{result[name] / result['insert']:.2f}x INSERT, {trips[name]} round trip(s)"
        )
    release_only = release_time - result["reserve"]
    print(
        f"  release                            {release_only:9.1f} µs   {release_only / floor:.2f}x SELECT 1, {trips['release']} round trip(s)"
    )
    print(f"  replayed reserve (same key)        {'':9}      {trips['replay']} round trip(s)")
    print_async(twins, "the async pool on the loop")
    slide(url, issuer, documents, args.holds)
    scaling(url, documents, issuer, args)


# -- instructions (callgrind) -----------------------------------------------------------


def hand_pair(path: str) -> tuple[Callable[[], None], Callable[[], None]]:
    """The hand-written ledger transaction pair on ``path``, as the ledger's own two transactions:
    a reservation (BEGIN IMMEDIATE; SELECT total; INSERT hold; UPDATE total; COMMIT, synced) and
    its commit (BEGIN IMMEDIATE; UPDATE hold; COMMIT, not synced)."""
    import sqlite3

    durable = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    quick = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
    for conn, sync in ((durable, "FULL"), (quick, "NORMAL")):
        conn.execute("PRAGMA journal_mode=WAL").fetchone()
        conn.execute(f"PRAGMA synchronous={sync}")
    durable.execute("CREATE TABLE IF NOT EXISTS hand_budget (id INTEGER PRIMARY KEY, total INTEGER NOT NULL)")
    durable.execute(
        "CREATE TABLE IF NOT EXISTS hand_hold (id INTEGER PRIMARY KEY, budget INTEGER, amount INTEGER, state INTEGER)"
    )
    durable.execute("INSERT OR IGNORE INTO hand_budget VALUES (1, 0)")
    held: list[int] = []

    def reserve() -> None:
        durable.execute("BEGIN IMMEDIATE")
        (total,) = durable.execute("SELECT total FROM hand_budget WHERE id = ?", (1,)).fetchone()
        held.append(durable.execute("INSERT INTO hand_hold (budget, amount, state) VALUES (?, ?, 0)", (1, 1)).lastrowid)
        durable.execute("UPDATE hand_budget SET total = ? WHERE id = ?", (total + 1, 1))
        durable.execute("COMMIT")

    def commit() -> None:
        quick.execute("BEGIN IMMEDIATE")
        quick.execute("UPDATE hand_hold SET state = 1 WHERE id = ?", (held.pop(),))
        quick.execute("COMMIT")

    return reserve, commit


def instruction_loops(path: str) -> None:
    """Under callgrind: run the named loop on each line of stdin ("case n"), answering "ok"."""
    issuer = Issuer(issuer_did="did:example:bench-issuer")
    documents = documents_of(issuer)
    trust = make_trust(documents, issuer.issuer_did)
    credential = issuer.issue(spend_limit_microusd=BIG, spend_window="P1D", valid_for=timedelta(days=2))
    ledger = SpendLedger(trust, f"sqlite:///{path}")
    reserve, commit = hand_pair(path)
    loop = asyncio.new_event_loop()

    async def pairs_async(n: int) -> None:
        for _ in range(n):
            await ledger.commit_async(await ledger.reserve_async(credential, 1))

    async def hand_async(n: int) -> None:
        for _ in range(n):
            await asyncio.to_thread(reserve)
            await asyncio.to_thread(commit)

    def pairs(n: int) -> None:
        for _ in range(n):
            ledger.commit(ledger.reserve(credential, 1))

    def hand(n: int) -> None:
        for _ in range(n):
            reserve()
            commit()

    from quorvel_trellane.spend._store import HoldState, Request

    store = ledger._books.store
    request = Request(issuer.issuer_did, "pp_store_only", None, 0, 1, BIG, 86_400_000_000)

    def store_only(n: int) -> None:
        for _ in range(n):
            store.settle(store.reserve(request._replace(at=time.time_ns() // 1000)).hold, HoldState.COMMITTED, 1)

    null = SpendLedger(trust, f"sqlite:///{path}-null")
    null._books.store = NullStore()  # type: ignore[assignment]

    def python_only(n: int) -> None:
        for _ in range(n):
            null.commit(null.reserve(credential, 1))

    cases: dict[str, Callable[[int], None]] = {
        "store": store_only,
        "python": python_only,
        "ledger": pairs,
        "hand": hand,
        "ledger-async": lambda n: loop.run_until_complete(pairs_async(n)),
        "hand-async": lambda n: loop.run_until_complete(hand_async(n)),
        "verify": lambda n: [trust.verify(credential) for _ in range(n)] and None,
    }
    for name in cases:  # warm: documents fetched, statements cached, the thread pool started
        cases[name](20)
    print("ready", flush=True)
    import sys

    for line in sys.stdin:
        name, n = line.split()
        cases[name](int(n))
        print("ok", flush=True)


def instructions(args: argparse.Namespace) -> None:
    """SQLite reserve + commit against the hand-written pair, in instructions (callgrind), both drivers."""
    import subprocess
    import sys

    sys.path.insert(0, str(ROOT / "bench"))
    from instructions import Counted

    with tempfile.TemporaryDirectory(prefix="qt-spend-") as name:
        directory = Path(name)
        counted = Counted.__new__(Counted)
        counted.directory, counted._dumps = directory, 0
        counted.process = subprocess.Popen(
            [
                "valgrind",
                "--tool=callgrind",
                "--instr-atstart=no",
                f"--callgrind-out-file={directory}/cg.%p",
                sys.executable,
                __file__,
                "--loops",
                str(directory / "spend.sqlite3"),
            ],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        stdin, stdout = counted.process.stdin, counted.process.stdout
        assert stdin is not None and stdout is not None
        if stdout.readline().strip() != "ready":
            raise SystemExit("the counted process did not start")

        def run(case: str) -> Callable[[int], None]:
            def work(n: int) -> None:
                stdin.write(f"{case} {n}\n")
                stdin.flush()
                if stdout.readline().strip() != "ok":
                    raise SystemExit(f"the loop {case} failed")

            return work

        figures = {}
        try:
            counted.instrument()
            for case in ("hand", "ledger", "hand-async", "ledger-async", "verify", "store", "python"):
                figures[case] = counted.per_operation(run(case), args.pairs)[0]
        finally:
            stdin.close()
            counted.stop()
    print("SQLite reserve + commit, instructions per pair (callgrind; N =", args.pairs, "pairs)")
    print(f"  hand-written pair                  {figures['hand']:>10,.0f}")
    print(
        f"  ledger reserve + commit            {figures['ledger']:>10,.0f}   {figures['ledger'] / figures['hand']:.2f}x"
    )
    print(f"  of which the warm verification     {figures['verify']:>10,.0f}")
    print(f"  the store alone (no ledger)        {figures['store']:>10,.0f}")
    print(f"  the ledger alone (a null store)    {figures['python']:>10,.0f}")
    print(f"  hand-written pair, two thread hops {figures['hand-async']:>10,.0f}")
    ratio = figures["ledger-async"] / figures["hand-async"]
    print(f"  reserve_async + commit_async       {figures['ledger-async']:>10,.0f}   {ratio:.2f}x")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="length of one throughput run")
    parser.add_argument("--scaling-rounds", type=int, default=3, help="alternated one- and two-process runs")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--batch", type=int, default=200)
    parser.add_argument("--postgres", default=os.environ.get("QUORVEL_TEST_POSTGRES_URL"))
    parser.add_argument("--only", choices=["sqlite", "postgres"])
    parser.add_argument("--holds", type=int, default=100_000, help="holds the slide passes")
    parser.add_argument("--instructions", action="store_true", help="count SQLite pairs with callgrind instead")
    parser.add_argument("--pairs", type=int, default=200, help="pairs in the smaller callgrind window")
    parser.add_argument("--loops", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.loops:
        instruction_loops(args.loops)
        return
    if args.instructions:
        instructions(args)
        return
    issuer = Issuer(issuer_did="did:example:bench-issuer")
    documents = documents_of(issuer)
    with tempfile.TemporaryDirectory() as directory:
        bench_python(issuer, documents, args, directory)
        if args.only != "postgres":
            bench_sqlite(issuer, documents, args, directory)
        if args.only == "sqlite":
            return
        url, started = args.postgres, None
        if not url:
            # Not inside the private temporary directory: the server's
            # unprivileged user must reach its own.
            started = os.path.join(tempfile.gettempdir(), f"quorvel-pg-bench-{os.getpid()}")
            url = subprocess.run(
                [str(ROOT / "scripts" / "postgres"), "start", started], check=True, capture_output=True, text=True
            ).stdout.strip()
        try:
            bench_postgres(issuer, documents, args, url, directory)
        finally:
            if started:
                subprocess.run([str(ROOT / "scripts" / "postgres"), "stop", started], check=False)


if __name__ == "__main__":
    main()
