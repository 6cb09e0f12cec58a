"""Shared by the gateway tests: one issuer, one running ``quorvel-passport serve`` and one table of requests for
the check service and every gateway in front of it.

The routes are those of docs/gateways.md: ``/orders`` needs the scope
``orders:write``; ``/pay`` needs it too and costs ``PRICE`` micro-USD.
"""

from __future__ import annotations

import contextlib
import os
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass, field
from datetime import timedelta
from pathlib import Path

import httpx
import pytest

from quorvel_trellane import testing

ISSUER_DID = "did:web:issuer.gateway.test"
AGENT = "did:web:agents.gateway.test:buyer-1"
SCOPE = "orders:write"
PRICE = 250_000
#: What a priced route is told per route, as each gateway's config pins it.
ROUTES = {"/orders": {"scope": SCOPE, "price_microusd": "0"}, "/pay": {"scope": SCOPE, "price_microusd": str(PRICE)}}
IDENTITY = {"x-agent-did": AGENT, "x-agent-issuer": ISSUER_DID, "x-agent-scopes": f"{SCOPE} catalog:read"}


@dataclass(frozen=True)
class Case:
    """A request to a route and the answer due: 200 reaches the upstream with the identity."""

    route: str
    headers: dict[str, str]  # values naming a credential of ``creds``: "{valid}"
    code: int
    error_code: str | None = None


CASES = {
    "a valid passport reaches the upstream with its identity": Case("/orders", {"X-Agent-Passport": "{valid}"}, 200),
    "a bearer token is a passport too": Case("/orders", {"Authorization": "Bearer {valid}"}, 200),
    "forged identity headers are overwritten": Case(
        "/orders", {"X-Agent-Passport": "{valid}", "X-Agent-Did": "did:web:evil", "X-Agent-Scopes": "admin"}, 200
    ),
    "no passport is challenged": Case("/orders", {}, 401, "MISSING_PASSPORT"),
    "garbage is challenged": Case("/orders", {"X-Agent-Passport": "garbage"}, 401, "INVALID_CREDENTIAL"),
    "an expired passport is challenged": Case("/orders", {"X-Agent-Passport": "{expired}"}, 401, "EXPIRED"),
    "a passport without the scope is forbidden": Case(
        "/orders", {"X-Agent-Passport": "{unscoped}"}, 403, "SCOPE_NOT_GRANTED"
    ),
    "a scope in the client's own query is never the route's": Case(
        "/orders?scope=catalog:read&_=&scope=catalog:read", {"X-Agent-Passport": "{unscoped}"}, 403, "SCOPE_NOT_GRANTED"
    ),
    "an issuer outage asks to retry": Case("/orders", {"X-Agent-Passport": "{outage}"}, 503, "REVOCATION_CHECK_FAILED"),
}

#: A priced route, one fresh passport bound to three charges: (Idempotency-Key, code).
#: Key "a" twice is one charge; past the bound, SPEND_LIMIT_EXCEEDED.
PRICED_STEPS = [("a", 200), ("a", 200), ("b", 200), (None, 200), ("c", 403), (None, 403)]


def headers_of(case: Case, creds: dict[str, str]) -> dict[str, str]:
    return {name: value.format(**creds) for name, value in case.headers.items()}


def check_answer(case: Case, response: httpx.Response, *, body: bool = True, retry_after: bool = True) -> None:
    """The gate's answer (``body`` and ``retry_after`` False where a gateway drops them)."""
    assert response.status_code == case.code, response.text
    if case.code == 200:
        return
    assert response.headers.get("www-authenticate") == ("AgentPassport" if case.code == 401 else None)
    if case.code == 503 and retry_after:
        assert response.headers["retry-after"].isdigit()
    if body:
        assert response.json()["error_code"] == case.error_code


def run_priced(send, credential: str) -> None:
    """PRICED_STEPS through ``send(headers) -> response``: charged once per key, refused past the bound."""
    got = []
    for key, _ in PRICED_STEPS:
        headers = {"X-Agent-Passport": credential} | ({"Idempotency-Key": key} if key else {})
        got.append((key, send(headers).status_code))
    assert got == PRICED_STEPS


@dataclass
class Verifier:
    """A running ``quorvel-passport serve``: its addresses and what it logged."""

    process: subprocess.Popen[str]
    url: str
    grpc: str
    log: list[str] = field(default_factory=list)

    def stop(self) -> int:
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(30)


def start_verifier(issuer_url: str, *options: str) -> Verifier:
    argv = [sys.executable, "-m", "quorvel_trellane", "serve", "--issuer", issuer_url, "--issuer-did", ISSUER_DID]
    argv += ["--listen", "127.0.0.1:0", "--grpc", "127.0.0.1:0", *options]
    env = {**os.environ, "PYTHONUNBUFFERED": "1"}
    process = subprocess.Popen(argv, stderr=subprocess.PIPE, text=True, env=env)
    log: list[str] = []
    announced = threading.Event()

    def read() -> None:
        assert process.stderr is not None
        with process.stderr:
            for line in process.stderr:
                log.append(line)
                if "checks on " in line:
                    announced.set()

    threading.Thread(target=read, daemon=True).start()
    if not announced.wait(30):
        process.kill()
        pytest.fail("the verifier did not start: " + "".join(log))
    line = next(line for line in log if "checks on " in line)
    url = line.split("checks on ")[1].split(",")[0].strip()
    verifier = Verifier(process, url, line.split("gRPC on ")[1].strip(), log)
    deadline = time.monotonic() + 30
    while httpx.get(url + "/ready").status_code != 200:
        assert time.monotonic() < deadline, "the verifier never became ready"
        time.sleep(0.05)
    return verifier


@dataclass
class World:
    """The issuer, its server, the table's credentials and a running verifier."""

    issuer: testing.Issuer
    server: testing.IssuerServer
    creds: dict[str, str]
    verifier: Verifier

    def priced(self) -> str:
        """A fresh passport whose bound is three charges of PRICE."""
        return self.issuer.issue(agent_did=AGENT, scopes=[SCOPE], spend_limit_microusd=3 * PRICE)


@contextlib.contextmanager
def world(ledger_dir: Path) -> Iterator[World]:
    """A world for one test module: the verifier stops (with SIGTERM, exit 0) when it ends."""
    issuer = testing.Issuer(issuer_did=ISSUER_DID)
    issuer.keypairs.insert(0, testing.generate_keypair())  # published, its revocation list unobtainable
    valid = issuer.issue(agent_did=AGENT, scopes=[SCOPE, "catalog:read"])
    creds = {
        "valid": valid,
        "expired": issuer.issue(agent_did=AGENT, scopes=[SCOPE], valid_for=timedelta(seconds=-1)),
        "unscoped": issuer.issue(agent_did=AGENT, scopes=["catalog:read"]),
        "outage": testing.issue_credential(issuer.payload(agent_did=AGENT, scopes=[SCOPE]), issuer.keypairs[0]),
    }
    with testing.IssuerServer(issuer, lifetime=3600) as server:
        server.inject(f"/passport/crl/{issuer.keypairs[0].kid}.json", status=503)
        config = ledger_dir / "verifier.toml"
        config.write_text(f'ledger = "sqlite:///{ledger_dir / "spend.sqlite3"}"\nfetch_timeout = 2.5\n')
        verifier = start_verifier(server.url, "--config", str(config))
        try:
            yield World(issuer, server, creds, verifier)
        finally:
            assert verifier.stop() == 0, "".join(verifier.log)
