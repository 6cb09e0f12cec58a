"""What an observer costs: instructions per memoised check, and the time of one scrape.

Run from the repository root (valgrind on the PATH):

    PYTHONPATH=src .venv/bin/python bench/observe.py [--calls N] [--issuers K] [--rounds R]

Check: a warm ``IssuerTrust`` verifies one credential again and again (the
repeated check of a memoised passport), without an observer, with
``PrometheusMetrics`` and with ``OpenTelemetryMetrics``; then the same with
``now=`` given, which the memo never answers: a full check each time, which
an observer also times (``verified_in``). Each case runs in
its own interpreter under ``valgrind --tool=callgrind`` twice, with N and 3N
calls driven from C (``deque(map(...), maxlen=0)``); the difference of the
two totals over 2N calls is the per-call figure, so set-up and start-up
cancel out. ``verify_passport`` with the same key map and list is counted
beside them.

Scrape: K trusts (each its own issuer URL, documents read through an
injected fetch, one key set and one revocation list each) watched by one
``PrometheusMetrics`` on a fresh registry; ``generate_latest`` of that
registry (every family, text exposition) is timed beside the observer's
own ``collect`` (the trusts' status read, the scrape-time families built)
and the OpenTelemetry reader's ``collect`` of the same trusts: R rounds,
the fastest and the median.
"""

from __future__ import annotations

import argparse
import functools
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from collections import deque
from datetime import UTC, datetime
from itertools import repeat
from urllib.parse import urlsplit

from quorvel_trellane import passport, testing
from quorvel_trellane.trust import IssuerTrust

WELLKNOWN = "/.well-known/pqc-keys.json"
CASES = ("verify_passport", "no observer", "PrometheusMetrics", "OpenTelemetryMetrics")
LIMIT_INSTRUCTIONS = 2_000  # an observer may add this much to a memoised check
LIMIT_SCRAPE_S = 0.001  # 100 issuers' status scraped in under a millisecond


def fetch_for(issuer: testing.Issuer):
    documents = testing.IssuerServer(issuer)

    def fetch(url: str) -> bytes:
        status, body = documents.respond(urlsplit(url).path)
        if status != 200:
            raise OSError(f"{url}: {status}")
        return body

    return fetch


def observer_for(case: str):
    if case == "PrometheusMetrics":
        from prometheus_client import CollectorRegistry

        from quorvel_trellane.observe import PrometheusMetrics

        return PrometheusMetrics(registry=CollectorRegistry())
    if case == "OpenTelemetryMetrics":
        from opentelemetry.sdk.metrics import MeterProvider
        from opentelemetry.sdk.metrics.export import InMemoryMetricReader
        from opentelemetry.sdk.trace import TracerProvider

        from quorvel_trellane.observe import OpenTelemetryMetrics

        return OpenTelemetryMetrics(MeterProvider(metric_readers=[InMemoryMetricReader()]), TracerProvider())
    return None


def fixture(directory: str) -> None:
    """The credential and the issuer's documents, written once: signing is not deterministic."""
    issuer = testing.Issuer(issuer_did="did:web:issuer.example")
    server = testing.IssuerServer(issuer)
    documents = {
        path: server.respond(path)[1].decode() for path in (WELLKNOWN, f"/passport/crl/{issuer.keypair.kid}.json")
    }
    with open(os.path.join(directory, "fixture.json"), "w", encoding="utf-8") as out:
        json.dump({"credential": issuer.issue(), "kid": issuer.keypair.kid, "documents": documents}, out)


def count(case: str, calls: int, directory: str) -> None:
    """The child: set up from the fixture, warm, then ``calls`` checks driven from C ("full ..." with ``now=``)."""
    full = case.startswith("full ")
    case = case.removeprefix("full ")
    with open(os.path.join(directory, "fixture.json"), encoding="utf-8") as file:
        loaded = json.load(file)
    credential, documents = loaded["credential"], loaded["documents"]

    def fetch(url: str) -> bytes:
        return documents[urlsplit(url).path].encode()

    trust = IssuerTrust("https://issuer.example", fetch=fetch, observer=observer_for(case))
    assert trust.verify(credential).verified
    if case == "verify_passport":
        keys, crl = trust.keys(), passport.fetch_crl("https://issuer.example", loaded["kid"], fetch=fetch)
        check = lambda c: passport.verify_passport(c, issuer_keys=keys, crl=crl)  # noqa: E731
    elif full:
        check = functools.partial(trust.verify, now=datetime.now(UTC))
    else:
        check = trust.verify
    for _ in range(50):
        assert check(credential).verified
    deque(map(check, repeat(credential, calls)), maxlen=0)


def instructions(case: str, calls: int, directory: str) -> int:
    out = os.path.join(directory, "callgrind.out")
    subprocess.run(
        ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, __file__]
        + ["--child", case, "--calls", str(calls), "--fixture", directory],
        check=True,
        capture_output=True,
        env={**os.environ, "PYTHONHASHSEED": "0"},
    )
    with open(out, encoding="utf-8") as profile:
        found = re.search(r"^summary: (\d+)", profile.read(), re.M)
    assert found is not None
    return int(found.group(1))


def scrape(issuers: int, rounds: int) -> dict[str, list[float]]:
    from opentelemetry.sdk.metrics import MeterProvider
    from opentelemetry.sdk.metrics.export import InMemoryMetricReader
    from prometheus_client import CollectorRegistry, generate_latest

    from quorvel_trellane.observe import OpenTelemetryMetrics, PrometheusMetrics

    issuer = testing.Issuer(issuer_did="did:web:issuer.example")
    credential, fetch = issuer.issue(), fetch_for(issuer)
    registry, reader = CollectorRegistry(), InMemoryMetricReader()
    prometheus = PrometheusMetrics(registry=registry)
    otel = OpenTelemetryMetrics(MeterProvider(metric_readers=[reader]))
    trusts = [IssuerTrust(f"https://issuer-{i}.example", fetch=fetch) for i in range(issuers)]
    for trust in trusts:
        assert trust.verify(credential).verified
        prometheus.watch(trust)
        otel.watch(trust)
    assert generate_latest(registry).count(b"quorvel_passport_document_usable{") == 2 * issuers
    cases = {
        "PrometheusMetrics.collect": lambda: list(prometheus.collect()),
        "prometheus generate_latest": lambda: generate_latest(registry),
        "opentelemetry reader collect": reader.collect,
    }
    times: dict[str, list[float]] = {name: [] for name in cases}
    for _ in range(rounds):
        for name, call in cases.items():
            began = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - began)
    return times


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=500)
    parser.add_argument("--issuers", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--fixture", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        count(args.child, args.calls, args.fixture)
        return
    print(f"memoised check, instructions per call (callgrind, {args.calls} vs {3 * args.calls} calls):")
    per_call = {}
    directory = tempfile.mkdtemp(prefix="quorvel-observe-bench.")
    fixture(directory)
    for case in CASES:
        low, high = instructions(case, args.calls, directory), instructions(case, 3 * args.calls, directory)
        per_call[case] = (high - low) / (2 * args.calls)
        extra = "" if case in CASES[:2] else f"   +{per_call[case] - per_call['no observer']:,.0f}"
        print(f"  {case:<22} {per_call[case]:>10,.0f}{extra}")
    print("full check (now= given, never memoised), instructions per call:")
    for case in CASES[1:]:
        full = f"full {case}"
        low, high = instructions(full, args.calls, directory), instructions(full, 3 * args.calls, directory)
        per_call[full] = (high - low) / (2 * args.calls)
        extra = "" if case == "no observer" else f"   +{per_call[full] - per_call['full no observer']:,.0f}"
        print(f"  {case:<22} {per_call[full]:>10,.0f}{extra}")
    shutil.rmtree(directory)
    print(f"scrape of {args.issuers} issuers' status ({args.rounds} rounds):")
    for name, times in scrape(args.issuers, args.rounds).items():
        print(f"  {name:<28} min {min(times) * 1e3:.3f} ms   median {statistics.median(times) * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
