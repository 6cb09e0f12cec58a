"""x402 payments held to the passport: the paywall, the agent's budget, the amounts.

Real parts: the ``x402`` package's FastAPI middleware, resource server,
in-process facilitator and client, served by uvicorn on 127.0.0.1 and called
through x402's own requests adapter; passports from the test issuer, verified
by an IssuerTrust (documents from an injected fetch); a SpendLedger on a
SQLite file. The one stand-in is the payment scheme: "loopback", an
HMAC-signed IOU registered through x402's scheme interfaces on all three
sides, whose facilitator settles into a dictionary instead of a chain.
"""

from __future__ import annotations

import asyncio
import dataclasses
import hashlib
import hmac
import json
import os
import re
import socket
import subprocess
import sys
import threading
import uuid
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from datetime import UTC, datetime, timedelta
from importlib import resources
from pathlib import Path
from typing import Any

import httpx
import pytest
import requests
import uvicorn

pytest.importorskip("x402", reason="the x402 extra is not installed")

from fastapi import FastAPI, Request
from fastapi.responses import JSONResponse
from prometheus_client import CollectorRegistry
from starlette.applications import Starlette
from starlette.responses import PlainTextResponse
from starlette.routing import Route
from x402 import (
    AssetAmount,
    PaymentRequirements,
    SettleResponse,
    VerifyResponse,
    x402Client,
    x402ClientSync,
    x402Facilitator,
    x402ResourceServer,
)
from x402.extensions.payment_identifier import (
    PAYMENT_IDENTIFIER,
    append_payment_identifier_to_extensions,
    declare_payment_identifier_extension,
)
from x402.http import PaymentOption, RouteConfig
from x402.http.clients import x402_http_adapter, x402_httpx_transport, x402_requests
from x402.http.clients.httpx import PaymentError as HttpxPaymentError
from x402.http.clients.requests import PaymentError
from x402.http.middleware.fastapi import PaymentMiddlewareASGI
from x402.http.utils import (
    decode_payment_required_header,
    decode_payment_signature_header,
    encode_payment_signature_header,
)
from x402.payment_flow import AUTHORIZATION_PAYMENT_FLOW
from x402.schemas import NoMatchingRequirementsError, PaymentCreationContext

import quorvel_trellane
from quorvel_trellane.http import PassportAuth
from quorvel_trellane.observe import PrometheusMetrics
from quorvel_trellane.spend import SpendLedger
from quorvel_trellane.testing import Issuer, generate_keypair, issue_credential, wellknown_document
from quorvel_trellane.trust import IssuerTrust
from quorvel_trellane.x402 import (
    PassportBudget,
    PassportClientExtension,
    PassportPaywall,
    Stablecoin,
    Stablecoins,
    UnlistedAsset,
    atomic_units,
    microusd,
    payment_key,
)

NETWORK = "eip155:84532"
USDC = "0x036CbD53842c5426634e7929541eC2318f3dCF7e"  # 6 decimals
DAI = "0x50c5725949A6F0c72E6C4a641F24049A917DB0Cb"  # 18 decimals
UNLISTED = "0x0000000000000000000000000000000000000bad"
COINS = Stablecoins([Stablecoin(NETWORK, USDC, 6), Stablecoin(NETWORK, DAI, 18)])
SCOPE = "payments:x402"
PRICE = 10_000  # micro-USD: one cent


# -- "loopback": an offline x402 scheme, on the SDK's own interfaces ------------------

SECRET = b"loopback wallet key"


def _mac(body: dict[str, Any]) -> str:
    return hmac.new(SECRET, json.dumps(body, sort_keys=True).encode(), hashlib.sha256).hexdigest()


class LoopbackWallet:
    """Client side: signs an IOU for the requirement, and remembers each signature."""

    scheme = "loopback"

    def __init__(self) -> None:
        self.signed: list[str] = []

    def create_payment_payload(self, requirements: Any) -> dict[str, Any]:
        body = {"nonce": uuid.uuid4().hex, "amount": requirements.amount, "asset": requirements.asset}
        self.signed.append(requirements.amount)
        return {**body, "mac": _mac(body)}


class LoopbackPricing:
    """Resource-server side: prices are given as asset amounts."""

    scheme = "loopback"
    default_asset_transfer_method = "default"
    payment_flows = {"default": AUTHORIZATION_PAYMENT_FLOW}

    def parse_price(self, price: Any, network: str) -> AssetAmount:
        assert isinstance(price, AssetAmount), "loopback routes price in asset amounts"
        return price

    def enhance_payment_requirements(self, requirements: Any, supported_kind: Any, extensions: Any) -> Any:
        return requirements


class LoopbackChain:
    """Facilitator side: checks the IOU and settles it once, into a dictionary."""

    scheme = "loopback"
    caip_family = "eip155:*"

    def __init__(self) -> None:
        self.settled: dict[str, str] = {}
        self.fail_settlement = False
        self.mode: str | None = None  # "pending": sent, not confirmed; "timeout": moved, answer lost
        self.on_settle: Any = None  # called as settlement starts
        self.seen: list[str] = []  # every payment it was asked to verify, as JSON

    def get_extra(self, network: str) -> None:
        return None

    def get_signers(self, network: str) -> list[str]:
        return []

    def verify(self, payload: Any, requirements: Any, context: Any = None) -> VerifyResponse:
        self.seen.append(payload.model_dump_json())
        inner = dict(payload.payload)
        mac = inner.pop("mac", "")
        # An IOU pays up to its amount.
        if not hmac.compare_digest(mac, _mac(inner)) or int(inner["amount"]) < int(requirements.amount):
            return VerifyResponse(is_valid=False, invalid_reason="bad_iou")
        if inner["nonce"] in self.settled:
            return VerifyResponse(is_valid=False, invalid_reason="nonce_used")
        return VerifyResponse(is_valid=True, payer="agent")

    def settle(self, payload: Any, requirements: Any, context: Any = None) -> SettleResponse:
        nonce = payload.payload["nonce"]
        if self.on_settle is not None:
            self.on_settle()
        if self.mode is not None:
            self.settled[nonce] = requirements.amount
            if self.mode == "timeout":
                raise TimeoutError("the facilitator did not answer")
            return SettleResponse(
                success=False, error_reason="settlement_pending", transaction=nonce, network=requirements.network
            )
        if self.fail_settlement or nonce in self.settled:
            return SettleResponse(success=False, error_reason="refused", transaction="", network=requirements.network)
        self.settled[nonce] = requirements.amount
        return SettleResponse(success=True, transaction=nonce, network=requirements.network, payer="agent")


# -- the relying party on loopback ---------------------------------------------------


def route(asset: str, amount: int) -> RouteConfig:
    return RouteConfig(
        accepts=PaymentOption(
            scheme="loopback", pay_to="rp-1", price=AssetAmount(amount=str(amount), asset=asset), network=NETWORK
        )
    )


def identified(asset: str, amount: int) -> RouteConfig:
    return dataclasses.replace(
        route(asset, amount), extensions={PAYMENT_IDENTIFIER: declare_payment_identifier_extension()}
    )


ROUTES = {
    "GET /report": route(USDC, PRICE),
    "GET /id-report": identified(USDC, PRICE),
    "GET /id-other": identified(USDC, PRICE),
    "GET /id-dear": identified(USDC, 2 * PRICE),
    "GET /dai-report": route(DAI, PRICE * 10**12),
    "GET /odd-report": route(UNLISTED, PRICE),
    "GET /broken": route(USDC, PRICE),
    "GET /slow": route(USDC, PRICE),
    "GET /dear": route(USDC, 99 * PRICE),
    "GET /plain/report": route(USDC, PRICE),
}


class SLOW:
    entered = threading.Event()
    leave = threading.Event()
    inside = 0


PAYWALL: list[PassportPaywall] = []
BARE: list[Any] = []  # the request headers a seller without the passport declaration sees
METRICS = PrometheusMetrics(registry=CollectorRegistry())  # the trust's, the ledger's and the paywall's
PENDING: list[Any] = []  # what the paywall reports to on_pending
RAN: list[str] = []  # the Starlette handler's runs


async def plain(request: Any) -> PlainTextResponse:
    RAN.append(request.method)
    return PlainTextResponse("ready")


ISSUER_DID = "did:web:issuer.example.org"  # the module's own test issuer (conftest's issuer fixture)


UNREACHABLE = generate_keypair()  # published, but its revocation list cannot be fetched


@pytest.fixture(scope="module")
def trust(issuer: Issuer) -> Iterator[IssuerTrust]:
    def fetch(url: str) -> str:
        if url.endswith("/.well-known/pqc-keys.json"):
            return json.dumps(wellknown_document(*issuer.keypairs, UNREACHABLE))
        if url.endswith(f"/{UNREACHABLE.kid}.json"):
            raise OSError("the issuer is down")
        return json.dumps(issuer.revocation_list())

    with IssuerTrust("https://issuer.example.org", issuer_did=ISSUER_DID, fetch=fetch, observer=METRICS) as trust:
        yield trust


@pytest.fixture(scope="module")
def ledger(trust: IssuerTrust, tmp_path_factory: pytest.TempPathFactory) -> Iterator[SpendLedger]:
    with SpendLedger(trust, str(tmp_path_factory.mktemp("x402") / "spend.sqlite3"), observer=METRICS) as ledger:
        yield ledger


@pytest.fixture(scope="module")
def chain() -> LoopbackChain:
    return LoopbackChain()


@pytest.fixture(scope="module")
def url(ledger: SpendLedger, chain: LoopbackChain) -> Iterator[str]:
    app = FastAPI()

    @app.get("/report")
    @app.get("/id-report")
    @app.get("/id-other")
    @app.get("/id-dear")
    @app.get("/dai-report")
    @app.get("/odd-report")
    @app.get("/dear")
    async def report(request: Request) -> dict[str, str]:
        return {"report": "ready", "for": request.state.agent_passport.agent_did}

    @app.get("/broken")
    async def broken() -> JSONResponse:
        return JSONResponse({"error": "the handler failed"}, status_code=503)

    @app.get("/slow")
    async def slow() -> dict[str, str]:
        SLOW.inside += 1
        SLOW.entered.set()
        while not SLOW.leave.is_set():
            await asyncio.sleep(0.01)
        return {"report": "ready"}

    @app.get("/free")
    async def free() -> dict[str, str]:
        return {"free": "yes"}

    facilitator = x402Facilitator()
    facilitator.register([NETWORK], chain)
    server = x402ResourceServer(facilitator).register(NETWORK, LoopbackPricing())
    app.mount("/plain", Starlette(routes=[Route("/report", plain)]))

    async def seen(request: Any) -> PlainTextResponse:
        BARE.append(request.headers)
        return PlainTextResponse("ready")

    bare = Starlette(routes=[Route("/report", seen)])
    bare_server = x402ResourceServer(facilitator).register(NETWORK, LoopbackPricing())
    app.mount("/bare", PaymentMiddlewareASGI(bare, routes={"GET /report": route(USDC, PRICE)}, server=bare_server))
    paywall = PassportPaywall(
        app,
        routes=ROUTES,
        server=server,
        ledger=ledger,
        stablecoins=COINS,
        required_scope=SCOPE,
        on_pending=PENDING.append,
        observer=METRICS,
    )
    PAYWALL[:] = [paywall]
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    runner = uvicorn.Server(uvicorn.Config(paywall, log_level="warning", lifespan="off"))
    thread = threading.Thread(target=runner.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    for _ in range(3000):
        if runner.started:
            break
        thread.join(0.01)
    yield f"http://127.0.0.1:{sock.getsockname()[1]}"
    runner.should_exit = True
    thread.join(10)
    sock.close()


@pytest.fixture(autouse=True)
def settlement_works(chain: LoopbackChain) -> None:
    chain.fail_settlement = False
    chain.mode = None
    chain.on_settle = None


class Agent:
    """An agent with a loopback wallet on x402's requests client."""

    def __init__(self, credential: str | None, budget: PassportBudget | None = None) -> None:
        self.wallet = LoopbackWallet()
        client = x402ClientSync().register(NETWORK, self.wallet)
        client.set_spend_controls(False)
        if budget is not None:
            budget.install(client)
        self.headers: list[str] = []
        client.on_after_payment_creation(
            lambda context: self.headers.append(encode_payment_signature_header(context.payment_payload))
        )
        self.session = x402_requests(client)
        self.auth = PassportAuth(credential) if credential else None

    def get(self, url: str) -> requests.Response:
        return self.session.get(url, auth=self.auth, timeout=30)


def spent(ledger: SpendLedger, credential: str, limit: int) -> int:
    left = ledger.remaining(credential)
    assert left is not None
    return limit - left


def signed(url: str, credential: str, path: str) -> Any:
    """A payment signed for the challenge of ``path``."""
    challenge = requests.get(url + path, auth=PassportAuth(credential), timeout=30).headers["payment-required"]
    client = x402ClientSync().register(NETWORK, LoopbackWallet()).set_spend_controls(False)
    return client.create_payment_payload(decode_payment_required_header(challenge))


def moved(chain: LoopbackChain, before: dict[str, str]) -> int:
    """What the chain settled since ``before`` (USDC: atomic units are micro-USD)."""
    return sum(int(amount) for nonce, amount in chain.settled.items() if nonce not in before)


# -- the paywall -----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("passport", "status", "code"),
    [
        ({"valid_for_seconds": -1}, 401, "EXPIRED"),
        ({"scopes": ["catalog:read"]}, 403, "SCOPE_NOT_GRANTED"),
        ({"key": UNREACHABLE}, 503, "REVOCATION_CHECK_FAILED"),
    ],
    ids=["expired", "scope not granted", "revocation list unobtainable"],
)
def test_a_request_without_a_valid_passport_is_refused_before_any_payment_challenge(
    url, issuer, passport, status, code
):
    if "key" in passport:
        credential = issue_credential(issuer.payload(scopes=[SCOPE]), passport["key"])
    else:
        credential = issuer.issue(
            scopes=passport.get("scopes", [SCOPE]), valid_for=timedelta(seconds=passport.get("valid_for_seconds", 3600))
        )
    agent = Agent(credential)
    response = agent.get(url + "/report")
    assert (response.status_code, response.json()["error_code"]) == (status, code)
    assert "payment-required" not in response.headers
    assert agent.wallet.signed == []
    assert (response.headers.get("www-authenticate") == "AgentPassport") == (status == 401)
    assert ("retry-after" in response.headers) == (status == 503)


def test_unpriced_routes_pass_without_a_passport(url):
    assert requests.get(url + "/free", timeout=30).json() == {"free": "yes"}


@pytest.mark.parametrize(
    ("limit", "window", "code"),
    [
        (PRICE - 1, "P1D", "SPEND_LIMIT_EXCEEDED"),
        (0, None, "SPEND_LIMIT_EXCEEDED"),
        (PRICE, "daily", "SPEND_TERMS_UNSUPPORTED"),
    ],
    ids=["a cent short", "zero for life", "unreadable window"],
)
def test_a_budget_that_cannot_cover_the_price_is_refused_before_the_agent_signs(url, issuer, limit, window, code):
    credential = issuer.issue(spend_limit_microusd=limit, spend_window=window)
    agent = Agent(credential)
    response = agent.get(url + "/report")
    assert (response.status_code, response.json()["error_code"]) == (403, code)
    assert response.json()["status"] == "active"
    assert agent.wallet.signed == []


@pytest.mark.parametrize("path", ["/report", "/dai-report"])
def test_a_paid_request_is_served_and_its_price_committed_to_the_passport_budget(url, issuer, ledger, chain, path):
    credential = issuer.issue(spend_limit_microusd=3 * PRICE)
    agent = Agent(credential)
    held = []
    chain.on_settle = lambda: held.append(spent(ledger, credential, 3 * PRICE))
    for n in (1, 2):
        response = agent.get(url + path)
        assert response.status_code == 200, response.text
        assert response.json() == {"report": "ready", "for": "did:example:agent-1"}  # the verdict, in the state
        assert spent(ledger, credential, 3 * PRICE) == n * PRICE
    assert len(agent.wallet.signed) == 2
    assert held == [PRICE, 2 * PRICE]  # held before it settled
    # A third payment would fit; a fourth is refused before it is signed.
    assert agent.get(url + path).status_code == 200
    assert agent.get(url + path).status_code == 403
    assert len(agent.wallet.signed) == 3


@pytest.mark.parametrize(
    ("path", "mode", "status", "held", "later", "after"),
    [
        ("/report", "refuse", 402, 0, None, 0),
        ("/broken", None, 503, 0, None, 0),
        ("/report", "pending", 402, PRICE, "commit", PRICE),
        ("/report", "timeout", 402, PRICE, "release", 0),
    ],
    ids=["settlement refused", "handler fails", "pending, later settled", "no answer, later known not made"],
)
def test_a_hold_is_released_only_when_its_payment_is_known_not_to_have_happened(
    url, issuer, ledger, chain, path, mode, status, held, later, after
):
    credential = issuer.issue(spend_limit_microusd=PRICE)
    chain.fail_settlement, chain.mode = mode == "refuse", mode if mode in ("pending", "timeout") else None
    agent = Agent(credential)
    before = dict(chain.settled)
    assert agent.get(url + path).status_code == status
    assert len(agent.wallet.signed) == 1
    assert spent(ledger, credential, PRICE) == held == moved(chain, before)
    chain.fail_settlement, chain.mode = False, None
    if later:
        # The relying party learns the outcome and settles the hold by its key.
        settle = PAYWALL[0].commit_pending if later == "commit" else PAYWALL[0].release_pending
        asyncio.run(settle(PENDING[-1]))
    assert spent(ledger, credential, PRICE) == after
    assert agent.get(url + "/report").status_code == (200 if after == 0 else 403)  # the bound is free only then


@pytest.mark.parametrize("later", ["commit", "release"])
def test_a_pending_payment_settles_by_its_key_while_the_issuer_cannot_be_reached(url, issuer, ledger, later):
    from quorvel_trellane.passport import verify_passport
    from quorvel_trellane.x402 import PendingPayment

    # Its key's revocation list cannot be fetched: the passport no longer verifies.
    credential = issue_credential(issuer.payload(scopes=[SCOPE], spend_limit_microusd=PRICE), UNREACHABLE)
    assert not ledger.trust.verify(credential, required_scope=SCOPE)
    # Held while it still could (its verdict reached without the list).
    verdict = verify_passport(
        credential, issuer_keys={UNREACHABLE.kid: UNREACHABLE.public_key}, require_revocation_check=False
    )
    assert ledger.reserve(credential, PRICE, key="pay-1", verdict=verdict)
    pending = PendingPayment(credential, "pay-1", PRICE, datetime.now(UTC), "settlement_pending")
    settle = PAYWALL[0].commit_pending if later == "commit" else PAYWALL[0].release_pending
    assert asyncio.run(settle(pending)) is not False  # commit_pending's True, release_pending's None
    # Released, the bound has room again; committed, it has none.
    assert bool(ledger.reserve(credential, PRICE, verdict=verdict)) is (later == "release")


def test_a_scrape_after_a_pending_payment_holds_every_family_the_alert_rules_and_dashboard_name(url, issuer, chain):
    def scraped():
        """Every sample, and every family by its name."""
        families = list(METRICS.registry.collect())
        return {family.name: None for family in families} | {s.name: s.value for f in families for s in f.samples}

    assert Agent(issuer.issue(spend_limit_microusd=PRICE)).get(url + "/report").status_code == 200  # committed
    before = scraped()
    chain.mode = "pending"
    assert Agent(issuer.issue(spend_limit_microusd=PRICE)).get(url + "/report").status_code == 402
    after = scraped()
    pending = ("quorvel_spend_pending_payments", "quorvel_spend_pending_held_microusd")
    assert [after[name] - before.get(name, 0) for name in pending] == [1, PRICE]
    shipped = resources.files("quorvel_trellane.observe")
    text = shipped.joinpath("alerts.yml").read_text() + shipped.joinpath("dashboard.json").read_text()
    named = set(re.findall(r"\bquorvel_\w+", re.sub(r"\w*:\w+:\w+", "", text)))  # recorded series aside
    assert len(named) > 15 and named - after.keys() == set()


def test_a_payment_that_failed_to_settle_is_counted_when_it_settles_on_a_retry(url, issuer, ledger, chain):
    credential = issuer.issue(spend_limit_microusd=PRICE)
    agent = Agent(credential)
    chain.fail_settlement = True
    assert agent.get(url + "/report").status_code == 402
    assert spent(ledger, credential, PRICE) == 0
    chain.fail_settlement = False
    retry = requests.get(url + "/report", headers={"PAYMENT-SIGNATURE": agent.headers[-1]}, auth=agent.auth, timeout=30)
    assert retry.status_code == 200
    assert spent(ledger, credential, PRICE) == PRICE


def test_a_payment_whose_hold_another_server_released_is_counted_when_it_settles(url, issuer, ledger, chain):
    credential = issuer.issue(spend_limit_microusd=PRICE)
    agent = Agent(credential)

    def released_elsewhere() -> None:
        # Another server carrying the same payment failed and released the hold.
        key = payment_key(decode_payment_signature_header(agent.headers[-1]))
        ledger.release(ledger.reserve(credential, PRICE, key=key))

    chain.on_settle = released_elsewhere
    assert agent.get(url + "/report").status_code == 200
    assert spent(ledger, credential, PRICE) == PRICE


def test_a_hold_another_server_made_is_never_released_by_a_request_failing_here(url, issuer, ledger, chain):
    credential = issuer.issue(spend_limit_microusd=PRICE)
    payment = signed(url, credential, "/report")
    # Another server holds this payment and has no final answer yet.
    assert ledger.reserve(credential, PRICE, key=payment_key(payment, "GET /report"), required_scope=SCOPE)
    chain.fail_settlement = True
    headers = {"PAYMENT-SIGNATURE": encode_payment_signature_header(payment)}
    assert requests.get(url + "/report", headers=headers, auth=PassportAuth(credential), timeout=30).status_code == 402
    assert spent(ledger, credential, PRICE) == PRICE


def test_a_retried_payment_is_never_charged_twice(url, issuer, ledger):
    credential = issuer.issue(spend_limit_microusd=PRICE)
    agent = Agent(credential)
    assert agent.get(url + "/report").status_code == 200
    # The response was lost; the agent sends the same signed payment again. A
    # second hold would not fit the bound (403): the ledger answers with the
    # first, and x402's facilitator refuses the spent nonce (402).
    retry = requests.get(url + "/report", headers={"PAYMENT-SIGNATURE": agent.headers[-1]}, auth=agent.auth, timeout=30)
    assert retry.status_code == 402
    assert spent(ledger, credential, PRICE) == PRICE
    assert len(agent.wallet.signed) == 1


def test_a_payment_failing_in_one_request_stays_held_while_another_carrying_it_settles(url, issuer, ledger):
    SLOW.entered.clear()
    SLOW.leave.clear()
    credential = issuer.issue(spend_limit_microusd=PRICE)
    auth = PassportAuth(credential)
    required = decode_payment_required_header(
        requests.get(url + "/slow", auth=auth, timeout=30).headers["payment-required"]
    )
    payment = (
        x402ClientSync().register(NETWORK, LoopbackWallet()).set_spend_controls(False).create_payment_payload(required)
    )
    headers = {"PAYMENT-SIGNATURE": encode_payment_signature_header(payment)}  # good for both routes: same terms
    with ThreadPoolExecutor(1) as pool:
        settling = pool.submit(requests.get, url + "/slow", headers=headers, auth=auth, timeout=30)
        assert SLOW.entered.wait(10)
        # The same payment offered for another route meanwhile: refused, and
        # the hold stays the one the first request will commit.
        refused = requests.get(url + "/broken", headers=headers, auth=auth, timeout=30)
        assert (refused.status_code, refused.json()["error_code"]) == (403, "PAYMENT_KEY_REUSED")
        SLOW.leave.set()
        assert settling.result().status_code == 200
    assert spent(ledger, credential, PRICE) == PRICE


@pytest.mark.parametrize(
    ("method", "path", "passport", "payment", "status", "held"),
    [
        ("GET", "/report", True, ["PAYMENT-SIGNATURE", "payment-signature"], 400, 0),
        ("GET", "/report", True, ["payment-signature", "X-PAYMENT"], 400, 0),
        ("GET", "/report", True, ["X-PAYMENT"], 402, 0),
        ("HEAD", "/plain/report", False, [], 402, 0),
        ("HEAD", "/plain/report", True, [], 402, 0),
        ("HEAD", "/plain/report", True, ["PAYMENT-SIGNATURE"], 200, PRICE),
        ("HEAD", "/report", True, [], 402, 0),
        ("HEAD", "/report", True, ["PAYMENT-SIGNATURE"], 200, PRICE),
    ],
    ids=[
        "payment header twice",
        "payment header in both spellings",
        "payment in the other spelling",
        "starlette HEAD without a passport",
        "starlette HEAD unpaid",
        "starlette HEAD paid",
        "fastapi HEAD unpaid",
        "fastapi HEAD paid",
    ],
)
def test_odd_requests_move_no_money_past_the_ledger(
    url, issuer, ledger, chain, method, path, passport, payment, status, held
):
    credential = issuer.issue(spend_limit_microusd=PRICE)
    header = encode_payment_signature_header(signed(url, credential, path))
    headers = [(name, header) for name in payment] + ([("X-Agent-Passport", credential)] if passport else [])
    before, runs = dict(chain.settled), len(RAN)
    response = httpx.request(method, url + path, headers=headers, timeout=30)
    assert (response.status_code, response.content == b"") == (status, method == "HEAD")
    assert spent(ledger, credential, PRICE) == held == moved(chain, before)
    assert len(RAN) - runs == (status == 200 and path.startswith("/plain"))  # no handler ran unpaid


@pytest.mark.parametrize("second", ["passport", "route"])
def test_one_signature_in_flight_twice_is_counted_as_it_settles(url, issuer, ledger, chain, second):
    SLOW.entered.clear()
    SLOW.leave.clear()
    SLOW.inside = 0
    credential = issuer.issue(spend_limit_microusd=100 * PRICE)
    other = issuer.issue(spend_limit_microusd=100 * PRICE) if second == "passport" else credential
    # An IOU for up to 99 cents, offered for the one-cent /slow and, at once, for /dear.
    dear = signed(url, credential, "/dear")
    cheap = dear.model_copy(update={"accepted": signed(url, credential, "/slow").accepted})
    path, payment = ("/slow", cheap) if second == "passport" else ("/dear", dear)
    before = dict(chain.settled)
    with ThreadPoolExecutor(2) as pool:
        get = lambda path, payment, credential: requests.get(  # noqa: E731
            url + path,
            headers={"PAYMENT-SIGNATURE": encode_payment_signature_header(payment)},
            auth=PassportAuth(credential),
            timeout=30,
        )
        first = pool.submit(get, "/slow", cheap, credential)
        assert SLOW.entered.wait(10)
        again = pool.submit(get, path, payment, other)
        if second == "route":
            assert (again.result().status_code, again.result().json()["error_code"]) == (403, "PAYMENT_KEY_REUSED")
        while second == "passport" and SLOW.inside < 2:
            threading.Event().wait(0.01)
        SLOW.leave.set()
        assert sorted([first.result().status_code, again.result().status_code]) == [
            200,
            402 if second == "passport" else 403,
        ]
    total = spent(ledger, credential, 100 * PRICE) + (spent(ledger, other, 100 * PRICE) if other != credential else 0)
    assert total == moved(chain, before) == PRICE


def test_a_payment_in_an_asset_not_listed_is_refused(url, issuer):
    credential = issuer.issue(spend_limit_microusd=10 * PRICE)
    agent = Agent(credential)
    response = agent.get(url + "/odd-report")
    assert (response.status_code, response.json()["error_code"]) == (403, "PAYMENT_NOT_PRICED")
    assert agent.wallet.signed == []


# -- the passport declared in the challenge, and presented where declared --------------


class Identifier:
    """The SDK's payment-identifier, sent by a client extension with one fixed id."""

    key = PAYMENT_IDENTIFIER

    def __init__(self, identifier: str) -> None:
        self.identifier = identifier

    def enrich_payment_payload(self, payload: Any, required: Any) -> Any:
        extensions = append_payment_identifier_to_extensions(dict(payload.extensions or {}), self.identifier)
        return payload.model_copy(update={"extensions": extensions})


def calls(url: str, client: str, paths: list[str], credential: str, identifier: str | None) -> list[Any]:
    """The agent's calls, on x402's own clients: "probe" sends nothing but
    the request; "sdk" is x402's requests client without the extension,
    "extension only" with it but without what carries it to the paid retry.
    A call the client gave up on is its error's text."""
    if client == "probe":
        return [httpx.get(url + path, timeout=30) for path in paths]
    passport, wallet = PassportClientExtension(credential), LoopbackWallet()
    x402 = (x402Client() if client == "httpx" else x402ClientSync()).register(NETWORK, wallet)
    PassportBudget(credential, COINS).install(x402)  # the agent's own bound, beside the extension
    if client != "sdk":
        x402.register_extension(passport)
    if identifier:
        x402.register_extension(Identifier(identifier))
    if client == "httpx":

        async def run() -> list[Any]:
            transport = x402_httpx_transport(x402, transport=passport.httpx_transport())
            async with httpx.AsyncClient(transport=transport, timeout=30) as http:
                return [await attempt(http.get, url + path) for path in paths]

        return asyncio.run(run())
    session = requests.Session()
    session.mount("http://", passport.requests_adapter(x402) if client == "requests" else x402_http_adapter(x402))
    return [asyncio.run(attempt(session.get, url + path, timeout=30)) for path in paths]


async def attempt(get: Any, *args: Any, **kwargs: Any) -> Any:
    try:
        response = get(*args, **kwargs)
        return await response if asyncio.iscoroutine(response) else response
    except (PaymentError, HttpxPaymentError) as gave_up:
        return str(gave_up)


MISSING, REUSED, WITHHELD = "401 MISSING_PASSPORT", "409 PAYMENT_KEY_REUSED", "withheld"


@pytest.mark.parametrize(
    ("client", "paths", "given", "statuses", "charged", "settled"),
    [
        ("probe", ["/id-report"], {}, [402], 0, 0),
        ("httpx", ["/report"], {}, [200], PRICE, PRICE),
        ("requests", ["/report"], {}, [200], PRICE, PRICE),
        ("httpx", ["/bare/report"], {}, [200], 0, PRICE),
        ("requests", ["/bare/report"], {}, [200], 0, PRICE),
        ("sdk", ["/report"], {}, [MISSING], 0, 0),
        ("extension only", ["/report"], {}, [MISSING], 0, 0),
        ("httpx", ["/report"], {"issuer_did": "did:web:elsewhere.example"}, [WITHHELD], 0, 0),
        ("requests", ["/report"], {"scopes": ["catalog:read"]}, [WITHHELD], 0, 0),
        ("httpx", ["/id-report", "/id-report"], {"identifier": "pay_" + uuid.uuid4().hex}, [200, REUSED], PRICE, PRICE),
        (
            "requests",
            ["/id-report", "/id-other", "/id-dear"],
            {"identifier": "pay_" + uuid.uuid4().hex},
            [200, REUSED, "403 IDEMPOTENCY_KEY_REUSED"],
            PRICE,
            PRICE,
        ),
    ],
    ids=[
        "a cold probe gets the challenge declaring the passport",
        "the extension's httpx client pays once",
        "the extension's requests client pays once",
        "a seller not declaring it never sees the passport (httpx)",
        "a seller not declaring it never sees the passport (requests)",
        "a payment without a passport is refused, nothing settled",
        "the extension without its transport: the passport is dropped, nothing settled",
        "a seller naming other issuers never sees the passport, nothing signed",
        "a seller asking for scopes not granted never sees the passport, nothing signed",
        "a payment identifier sent twice is charged once",
        "a payment identifier for other terms is refused",
    ],
)
def test_the_challenge_declares_the_passport_and_the_agent_presents_it_only_where_declared(
    url, issuer, ledger, chain, client, paths, given, statuses, charged, settled
):
    members = {key: value for key, value in given.items() if key != "identifier"}
    credential = issuer.issue(spend_limit_microusd=10 * PRICE, **({"scopes": [SCOPE]} | members))
    before, seen, verified = dict(chain.settled), len(BARE), len(chain.seen)
    responses = calls(url, client, paths, credential, given.get("identifier"))
    assert [
        WITHHELD
        if isinstance(r, str) and "the passport is not sent" in r
        else r.status_code
        if r.status_code in (200, 402)
        else f"{r.status_code} {r.json()['error_code']}"
        for r in responses
    ] == statuses
    assert (len(chain.seen) - verified > 0) == (settled > 0)  # withheld: nothing signed reached the facilitator
    left = ledger.remaining(credential)  # None: a passport the ledger's trust refuses
    assert (10 * PRICE - (10 * PRICE if left is None else left), moved(chain, before)) == (charged, settled)
    assert len(BARE) - seen == paths.count("/bare/report")
    assert not any(credential in payment for payment in chain.seen)  # never inside the signed payment
    assert all("x-agent-passport" not in headers for headers in BARE[seen:])
    if statuses[0] in (MISSING, 402):
        # The challenge, in the header (and, refused, again in the body).
        required = decode_payment_required_header(responses[0].headers["payment-required"])
        assert required.extensions["agent-passport"] == {
            "header": "X-Agent-Passport",
            "scopes": [SCOPE],
            "issuers": [ISSUER_DID],
        }
        assert (PAYMENT_IDENTIFIER in required.extensions) == (paths[0] == "/id-report")  # left as declared
        if statuses[0] == MISSING:
            assert (
                responses[0].json()["payment_required"]["extensions"]
                == required.model_dump(by_alias=True)["extensions"]
            )


# -- the agent's own budget -----------------------------------------------------------


def test_the_agent_signs_nothing_its_passport_does_not_cover(url, issuer, chain):
    credential = issuer.issue(spend_limit_microusd=2 * PRICE + 1, spend_window="PT1H")
    now = [datetime(2030, 1, 1, tzinfo=UTC)]
    budget = PassportBudget(credential, COINS, clock=lambda: now[0])
    agent = Agent(credential, budget)
    assert agent.get(url + "/report").status_code == 200
    chain.fail_settlement = True
    # The server releases a payment that did not settle; the agent keeps
    # counting what it signed, which could still be settled.
    assert agent.get(url + "/dai-report").status_code == 402
    chain.fail_settlement = False
    with pytest.raises(PaymentError, match="spend bound: 1 micro-USD left"):
        agent.get(url + "/report")  # the server would take it: it challenges
    assert len(agent.wallet.signed) == 2 and budget.remaining() == 1
    now[0] += timedelta(hours=1)
    assert budget.remaining() == 2 * PRICE + 1


def test_the_agent_budget_keeps_only_listed_coins_and_needs_a_readable_bound(issuer):
    budget = PassportBudget(issuer.issue(spend_limit_microusd=PRICE), COINS)
    options = [
        PaymentRequirements(
            scheme="loopback", network=NETWORK, asset=a, amount=str(PRICE), pay_to="rp", max_timeout_seconds=60
        )
        for a in (UNLISTED, USDC)
    ]
    assert [r.asset for r in budget.policy(2, options)] == [USDC]
    with pytest.raises(NoMatchingRequirementsError):
        budget.policy(2, options[:1])
    assert budget.spend_controls()["allowed_assets"] == [
        {"network": NETWORK, "asset": USDC, "max_amount_per_payment": str(PRICE)},
        {"network": NETWORK, "asset": DAI, "max_amount_per_payment": str(PRICE * 10**12)},
    ]
    for members in ({"spend_window": "daily"}, {"spend_limit_microusd": "10"}, {"spend_limit_microusd": None}):
        with pytest.raises(ValueError, match="spend_"):
            PassportBudget(issuer.issue(**members), COINS)


@pytest.mark.parametrize(
    ("readings", "signed"),
    [
        ([(0, 4), (2, 0), (0, 4)], 4),
        ([(0, 2), (-2, 2), (0, 4)], 4),
        ([(0, 4), (1.01, 4)], 8),
    ],
    ids=["stepped ahead and back", "stepped back and ahead", "an hour passing"],
)
def test_the_agent_budget_frees_nothing_for_a_clock_step_undone(issuer, readings, signed):
    quarter = 250_000
    now = [datetime(2030, 1, 1, tzinfo=UTC)]
    budget = PassportBudget(
        issuer.issue(spend_limit_microusd=4 * quarter, spend_window="PT1H"), COINS, clock=lambda: now[-1]
    )
    option = PaymentRequirements(
        scheme="loopback", network=NETWORK, asset=USDC, amount=str(quarter), pay_to="rp", max_timeout_seconds=60
    )
    count = 0
    for hours, tries in readings:
        now.append(now[0] + timedelta(hours=hours))
        budget.remaining()
        count += sum(budget.before_payment_creation(PaymentCreationContext(None, option)) is None for _ in range(tries))
    assert count == signed


# -- amounts ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("amount", "decimals", "micro"),
    [
        ("1500000", 6, 1_500_000),
        ("1", 6, 1),
        ("0", 6, 0),
        ("1000000000000", 18, 1),
        ("1000000000001", 18, 2),  # a fraction of a micro-USD counts whole
        ("1", 18, 1),
        ("25000000000000000000", 18, 25_000_000),
        ("3", 0, 3_000_000),
        ("12", 7, 2),
        (12, 7, 2),
    ],
)
def test_amounts_convert_to_micro_usd_exactly_rounding_up(amount, decimals, micro):
    assert microusd(amount, decimals) == micro
    assert microusd(str(atomic_units(micro, decimals)), decimals) <= micro  # a cap never buys more


@pytest.mark.parametrize("amount", ["-1", "1.5", "1e6", " 1", "١", "", True, 1.0, "9" * 79])
def test_anything_but_whole_smallest_units_is_refused(amount):
    with pytest.raises(ValueError):
        microusd(amount, 6)


def test_an_asset_not_listed_is_refused_never_guessed():
    assert COINS.microusd("1000000", network=NETWORK, asset=USDC.lower()) == 1_000_000  # EVM case is a checksum
    for network, asset in [(NETWORK, UNLISTED), ("eip155:8453", USDC), (NETWORK, "USDC")]:
        with pytest.raises(UnlistedAsset):
            COINS.microusd("1", network=network, asset=asset)
    with pytest.raises(ValueError, match="6 and 18 decimals"):
        Stablecoins([Stablecoin(NETWORK, USDC, 6), Stablecoin(NETWORK, USDC.lower(), 18)])


def test_importing_the_module_imports_neither_x402_nor_a_web_framework():
    code = (
        "import sys, quorvel_trellane.x402\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in {'x402', 'fastapi', 'starlette', 'pydantic'}))\n"
    )
    env = {**os.environ, "PYTHONPATH": str(Path(quorvel_trellane.__file__).resolve().parents[1])}
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60, check=True
    )
    assert result.stdout.strip() == "[]"
