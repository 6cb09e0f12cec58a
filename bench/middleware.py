"""What the ASGI passport middleware adds to a request, in nanoseconds per call.

Run from the repository root:

    PYTHONPATH=src .venv/bin/python bench/middleware.py [--rounds R] [--target-ms T]

The middleware is called directly, without a server or an event loop: each
call's coroutine is driven to completion with ``send(None)`` (nothing in it
suspends). The trust answers with a verdict built beforehand, and the
application does nothing, so what is left is the middleware's own work:
finding the header among the request's headers, decoding it, resolving the
scope, building the state, or answering a refusal. Measured beside it, with
the same driving, are the trust's ``verify_async`` alone and the application
alone; the middleware's added cost is its figure minus those two.

The request carries twelve headers, as a browser or an HTTP client library
sends, the passport among the last. Method as in ``bench/run.py``: every
case calibrated to a batch of about --target-ms, R rounds of interleaved
batches in shuffled order, the median over rounds of batch time / N.
"""

from __future__ import annotations

import argparse
import os
import random
import statistics
import timeit
from typing import Any

from quorvel_trellane import asgi, passport
from quorvel_trellane.testing import Issuer

LIMIT_NS = 10_000  # the middleware may add at most 10 µs per request


def drive(coroutine: Any) -> None:
    try:
        coroutine.send(None)
    except StopIteration:
        pass
    else:  # pragma: no cover - nothing awaited here may suspend
        raise RuntimeError("coroutine suspended")


class FixedTrust:
    def __init__(self, verdict: passport.PassportVerdict) -> None:
        self.verdict = verdict

    async def verify_async(self, credential: str, *, required_scope: str | None = None) -> passport.PassportVerdict:
        return self.verdict


async def app(scope: Any, receive: Any, send: Any) -> None:
    pass


async def receive() -> dict[str, Any]:
    return {"type": "http.request", "body": b"", "more_body": False}


async def send(message: Any) -> None:
    pass


def fixtures() -> dict[str, Any]:
    issuer = Issuer(issuer_did="did:web:issuer.example.org")
    credential = issuer.issue(agent_did="did:web:agents.example.com:shopper-7", scopes=["payments:x402"])
    keys = {issuer.kid: issuer.keypair.public_key}
    good = passport.verify_passport(credential, issuer_keys=keys, crl=[], required_scope="payments:x402")
    refused = passport.verify_passport(credential, issuer_keys=keys, crl=[], required_scope="payments:refund")
    assert good.verified and refused.error_code == "SCOPE_NOT_GRANTED"
    common = [
        (b"host", b"api.example.com"),
        (b"user-agent", b"python-httpx/0.28.1"),
        (b"accept", b"*/*"),
        (b"accept-encoding", b"gzip, deflate"),
        (b"connection", b"keep-alive"),
        (b"content-type", b"application/json"),
        (b"content-length", b"143"),
        (b"x-request-id", b"4f1c2e9a-5b8d-4c1e-9a7f-0d3b6e2a1c44"),
        (b"traceparent", b"00-4bf92f3577b34da6a3ce929d0e0e4736-00f067aa0ba902b7-01"),
        (b"x-forwarded-for", b"203.0.113.7"),
        (b"authorization", b"Bearer not-a-passport"),
    ]
    with_header = common + [(b"x-agent-passport", credential.encode("ascii"))]

    def scope(headers: list[tuple[bytes, bytes]]) -> dict[str, Any]:
        return {
            "type": "http",
            "asgi": {"version": "3.0"},
            "http_version": "1.1",
            "method": "POST",
            "scheme": "http",
            "path": "/pay",
            "raw_path": b"/pay",
            "query_string": b"",
            "root_path": "",
            "headers": headers,
            "client": ("127.0.0.1", 50000),
            "server": ("127.0.0.1", 8000),
            "state": {"pool": object()},
        }

    return {
        "drive": drive,
        "app": app,
        "receive": receive,
        "send": send,
        "credential": credential,
        "trust_ok": FixedTrust(good),
        "trust_refused": FixedTrust(refused),
        "scope": scope(with_header),
        "scope_missing": scope(common),
        "mw_ok": asgi.PassportMiddleware(app, trust=FixedTrust(good), required_scope="payments:x402"),
        "mw_route": asgi.PassportMiddleware(
            app, trust=FixedTrust(good), required_scope=lambda s: "payments:x402" if s["path"] == "/pay" else None
        ),
        "mw_refused": asgi.PassportMiddleware(app, trust=FixedTrust(refused), required_scope="payments:refund"),
    }


CASES = {
    "trust.verify_async alone (fixed verdict)": "drive(trust_ok.verify_async(credential, required_scope='payments:x402'))",
    "application alone": "drive(app(scope, receive, send))",
    "middleware  verified, fixed scope": "drive(mw_ok(scope, receive, send))",
    "middleware  verified, per-route scope": "drive(mw_route(scope, receive, send))",
    "middleware  403 refusal": "drive(mw_refused(scope, receive, send))",
    "middleware  401 missing header": "drive(mw_ok(scope_missing, receive, send))",
}


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--target-ms", type=float, default=20.0)
    args = ap.parse_args()
    env = fixtures()
    timers = {name: timeit.Timer(stmt, globals=env) for name, stmt in CASES.items()}
    numbers = {}
    for name, timer in timers.items():
        number = 1
        while timer.timeit(number) < args.target_ms / 1000:
            number *= 2
        numbers[name] = number
    samples: dict[str, list[float]] = {name: [] for name in CASES}
    rng = random.Random(13)
    order = list(CASES)
    for _ in range(args.rounds):
        rng.shuffle(order)
        for name in order:
            samples[name].append(timers[name].timeit(numbers[name]) / numbers[name] * 1e9)
    median = {name: statistics.median(values) for name, values in samples.items()}
    print(f"load average {os.getloadavg()[0]:.2f}; median of {args.rounds} rounds, ns per call")
    for name in CASES:
        print(f"  {name:<44} {median[name]:>8,.0f}   (min {min(samples[name]):,.0f})")
    base = median["trust.verify_async alone (fixed verdict)"] + median["application alone"]
    print()
    for name in ("middleware  verified, fixed scope", "middleware  verified, per-route scope"):
        added = median[name] - base
        print(f"  added by the middleware, {name.split('  ')[1]:<24} {added:>8,.0f} ns  (limit {LIMIT_NS:,})")


if __name__ == "__main__":
    main()
