"""Every server-side door, composed as users compose it.

Each door (the ASGI and WSGI middlewares, FastAPI, Starlette, Flask, Django
sync and async, both A2A routes, MCP, the x402 paywall, the gateway's
check) is served on loopback by a real server
in front of each trust (``IssuerTrust``, ``TrustedIssuers``) with each
observer (none, Prometheus, OpenTelemetry) attached, and a SQLite ledger
where the door takes one (every other combination for those). Each gets the
same requests: a valid passport three times (the third is answered from the
memo), garbage, none, one without the scope, and one whose issuer cannot be
reached. The observer, when there is one, is told of every verification.
The paywall asks an admitted passport, and a request without one, for
payment (402); the gateway's check charges its price on the ledger when
it has one.
"""

from __future__ import annotations

import itertools
import json
import sys
from collections.abc import Callable, Iterator
from contextlib import ExitStack, contextmanager
from pathlib import Path
from typing import Any

import django
import httpx
import pytest
from django.conf import settings

if not settings.configured:
    settings.configure(
        DEBUG=False, ALLOWED_HOSTS=["*"], ROOT_URLCONF=__name__, INSTALLED_APPS=[], MIDDLEWARE=[], USE_TZ=True
    )
    django.setup()

import test_adapter_a2a
from conftest import ADAPTER_HEADER, ADAPTER_ISSUER_DID, ADAPTER_SCOPE, issuer_fetch
from django.core.handlers.asgi import ASGIHandler
from django.core.handlers.wsgi import WSGIHandler
from django.http import HttpRequest, JsonResponse
from django.test import override_settings
from django.urls import path
from fastapi import FastAPI, Security
from flask import Flask, g
from mcp.server.mcpserver import MCPServer
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route
from test_middleware import UvicornThread, WsgirefThread

from quorvel_trellane import a2a, asgi, fastapi, flask, starlette, wsgi
from quorvel_trellane import django as django_door
from quorvel_trellane.gateway import CheckApp, Checker
from quorvel_trellane.mcp import PassportAccess
from quorvel_trellane.observe import OpenTelemetryMetrics, PrometheusMetrics
from quorvel_trellane.spend import SpendLedger
from quorvel_trellane.trust import IssuerTrust, TrustedIssuers

# -- the apps behind each door: /pay needs the scope and answers the agent ------


async def lifespan(receive: Any, send: Any) -> None:
    while (await receive())["type"] != "lifespan.shutdown":
        await send({"type": "lifespan.startup.complete"})
    await send({"type": "lifespan.shutdown.complete"})


def with_lifespan(app: Any) -> Any:
    async def served(scope: Any, receive: Any, send: Any) -> None:
        await (lifespan(receive, send) if scope["type"] == "lifespan" else app(scope, receive, send))

    return served


def plain_asgi(verdict_of: Callable[[Any], Any]) -> Any:
    async def app(scope: Any, receive: Any, send: Any) -> None:
        if scope["type"] == "lifespan":
            await lifespan(receive, send)
            return
        body = json.dumps({"agent": verdict_of(scope).agent_did}).encode()
        await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"application/json")]})
        await send({"type": "http.response.body", "body": body})

    return app


def plain_wsgi(environ: dict[str, Any], start_response: Any) -> list[bytes]:
    start_response("200 OK", [("Content-Type", "application/json")])
    return [json.dumps({"agent": environ[wsgi.ENVIRON_KEY].agent_did}).encode()]


def fastapi_app(trust: Any) -> FastAPI:
    app = FastAPI(exception_handlers=fastapi.exception_handlers)
    passport = fastapi.require_passport(trust, scope=ADAPTER_SCOPE)

    @app.get("/pay")
    async def pay(verdict: Any = Security(passport)) -> dict[str, Any]:
        return {"agent": verdict.agent_did}

    return app


def starlette_app(trust: Any) -> Starlette:
    @starlette.requires(ADAPTER_SCOPE)
    async def pay(request: Request) -> JSONResponse:
        return JSONResponse({"agent": request.user.identity})

    return Starlette(routes=[Route("/pay", pay)], middleware=[starlette.passport_middleware(trust)])


def flask_app(trust: Any) -> Flask:
    app = Flask(__name__)
    flask.Passport(app, trust=trust)

    @app.get("/pay")
    @flask.passport_required(scope=ADAPTER_SCOPE)
    def pay() -> dict[str, Any]:
        return {"agent": g.agent_passport.agent_did}

    return app


def django_sync_pay(request: HttpRequest) -> JsonResponse:
    return JsonResponse({"agent": request.agent_passport.agent_did})


@django_door.passport_required(scope=ADAPTER_SCOPE)
async def django_async_pay(request: HttpRequest) -> JsonResponse:
    return JsonResponse({"agent": request.agent_passport.agent_did})


urlpatterns = [path("pay", django_sync_pay), path("async/pay", django_async_pay)]


@contextmanager
def django_handler(trust: Any, kind: str) -> Iterator[Any]:
    options = {"TRUST": trust, "REQUIRED_SCOPE": ADAPTER_SCOPE}
    with override_settings(ROOT_URLCONF=__name__, QUORVEL_PASSPORT=options):
        if kind == "wsgi":
            with override_settings(MIDDLEWARE=["quorvel_trellane.django.PassportMiddleware"]):
                handler = WSGIHandler()
            yield handler
        else:
            yield ASGIHandler()


def paywall(ledger: Any) -> Any:
    """The x402 paywall on the loopback scheme of the x402 tests, /pay priced at one cent."""
    sys.path.insert(0, str(Path(__file__).parents[1] / "x402"))
    try:
        import test_x402 as x402_tests
    finally:
        sys.path.pop(0)
    from x402 import x402Facilitator, x402ResourceServer

    from quorvel_trellane.x402 import PassportPaywall

    facilitator = x402Facilitator()
    facilitator.register([x402_tests.NETWORK], x402_tests.LoopbackChain())
    server = x402ResourceServer(facilitator).register(x402_tests.NETWORK, x402_tests.LoopbackPricing())
    app = FastAPI()

    @app.get("/pay")
    async def pay() -> dict[str, str]:  # pragma: no cover - never reached unpaid
        return {}

    return PassportPaywall(
        app,
        routes={"GET /pay": x402_tests.route(x402_tests.USDC, x402_tests.PRICE)},
        server=server,
        ledger=ledger,
        stablecoins=x402_tests.COINS,
        required_scope=ADAPTER_SCOPE,
    )


def gateway_check(priced: bool) -> Ask:
    query = f"scope={ADAPTER_SCOPE}" + ("&price_microusd=1" if priced else "")

    def ask(url: str, credential: str | None) -> int:
        headers = {} if credential is None else {ADAPTER_HEADER: credential}
        return httpx.get(f"{url}/check?{query}", headers=headers, timeout=30).status_code

    return ask


# -- the doors: each serves an app and answers one request with a status -------

Ask = Callable[[str, str | None], int]


def get_pay(prefix: str = "") -> Ask:
    def ask(url: str, credential: str | None) -> int:
        headers = {} if credential is None else {ADAPTER_HEADER: credential}
        return httpx.get(f"{url}{prefix}/pay", headers=headers, timeout=30).status_code

    return ask


MCP_HEAD = {"accept": "application/json, text/event-stream", "content-type": "application/json"}
MCP_OPEN = {
    "jsonrpc": "2.0",
    "id": 1,
    "method": "initialize",
    "params": {"protocolVersion": "2025-11-25", "capabilities": {}, "clientInfo": {"name": "t", "version": "1"}},
}


def mcp_open(url: str, credential: str | None) -> int:
    headers = MCP_HEAD if credential is None else {**MCP_HEAD, ADAPTER_HEADER: credential}
    return httpx.post(f"{url}/mcp", headers=headers, json=MCP_OPEN, timeout=30).status_code


def a2a_header_route(url: str, credential: str | None) -> int:
    message = {"role": "ROLE_USER", "messageId": "m-1", "parts": [{"text": "hello"}]}
    call = {"jsonrpc": "2.0", "id": 1, "method": "SendMessage", "params": {"message": message}}
    headers = {"A2A-Version": "1.0"} if credential is None else {ADAPTER_HEADER: credential, "A2A-Version": "1.0"}
    return httpx.post(f"{url}/", headers=headers, json=call, timeout=30).status_code


STATES = {"TASK_STATE_AUTH_REQUIRED": 401, "TASK_STATE_FAILED": 503}


def a2a_metadata_route(agent: Any) -> Ask:
    def ask(url: str, credential: str | None) -> int:
        interceptors = [] if credential is None else [a2a.PassportInterceptor(credential, header=None)]
        answer, _ = agent.send(interceptors)
        if answer.DESCRIPTOR.name == "Message":
            return 200  # the agent's own message
        state = test_adapter_a2a.TaskState.Name(answer.status.state)
        if state in STATES:
            return STATES[state]
        [reason] = test_adapter_a2a.get_data_parts(answer.status.message.parts)
        return 403 if reason["error_code"] == "SCOPE_NOT_GRANTED" else 401

    return ask


@contextmanager
def door(name: str, trust: Any, ledger: Any) -> Iterator[tuple[str, Ask]]:
    """The door ``name`` served on loopback in front of ``trust``: its URL and its ask."""
    with ExitStack() as stack:
        if name == "asgi":
            app = asgi.PassportMiddleware(
                plain_asgi(lambda s: s["state"][asgi.STATE_KEY]), trust=trust, required_scope=ADAPTER_SCOPE
            )
            yield stack.enter_context(UvicornThread(app)), get_pay()
        elif name == "wsgi":
            app = wsgi.PassportMiddleware(plain_wsgi, trust=trust, required_scope=ADAPTER_SCOPE)
            yield stack.enter_context(WsgirefThread(app)), get_pay()
        elif name in ("fastapi", "starlette"):
            app = fastapi_app(trust) if name == "fastapi" else starlette_app(trust)
            yield stack.enter_context(UvicornThread(app)), get_pay()
        elif name == "flask":
            yield stack.enter_context(WsgirefThread(flask_app(trust))), get_pay()
        elif name == "django sync":
            handler = stack.enter_context(django_handler(trust, "wsgi"))
            yield stack.enter_context(WsgirefThread(handler)), get_pay()
        elif name == "django async":
            handler = stack.enter_context(django_handler(trust, "asgi"))
            yield stack.enter_context(UvicornThread(with_lifespan(handler))), get_pay("/async")
        elif name == "a2a header":
            agent = stack.enter_context(test_adapter_a2a.Agent(trust, "header"))
            yield agent.url, a2a_header_route
        elif name == "a2a metadata":
            agent = stack.enter_context(test_adapter_a2a.Agent(trust, "metadata"))
            yield agent.url, a2a_metadata_route(agent)
        elif name == "mcp":
            access = PassportAccess(trust, ledger=ledger, required_scope=ADAPTER_SCOPE)
            server = MCPServer("shop", **access.server_options)
            yield stack.enter_context(UvicornThread(access.app(server, json_response=True))), mcp_open
        elif name == "x402":
            yield stack.enter_context(UvicornThread(with_lifespan(paywall(ledger)))), get_pay()
        elif name == "gateway":
            app = CheckApp(Checker(trust, ledger=ledger))
            yield stack.enter_context(UvicornThread(app)), gateway_check(ledger is not None)
        else:  # pragma: no cover - a name missing from DOORS
            raise AssertionError(name)


DOORS = {
    "asgi": False,
    "wsgi": False,
    "fastapi": False,
    "starlette": False,
    "flask": False,
    "django sync": False,
    "django async": False,
    "a2a header": False,
    "a2a metadata": False,
    "mcp": True,  # takes a ledger
    "x402": "always",  # needs one
    "gateway": True,
}

# -- the trusts and observers ---------------------------------------------------


def observer(kind: str) -> tuple[Any, Callable[[], float]]:
    """A fresh observer of ``kind`` and a reader of how many verifications it was told of."""
    if kind == "none":
        return None, lambda: 0
    if kind == "prometheus":
        from prometheus_client import CollectorRegistry

        registry = CollectorRegistry()
        metrics = PrometheusMetrics(registry=registry)

        def counted() -> float:
            return sum(
                s.value
                for f in registry.collect()
                if f.name == "quorvel_passport_verifications"
                for s in f.samples
                if s.name.endswith("_total")
            )

        return metrics, counted
    from opentelemetry.sdk.metrics import MeterProvider
    from opentelemetry.sdk.metrics.export import InMemoryMetricReader

    reader = InMemoryMetricReader()
    metrics = OpenTelemetryMetrics(meter_provider=MeterProvider(metric_readers=[reader]))

    def read() -> float:
        data = reader.get_metrics_data()
        return sum(
            point.value
            for resource in (data.resource_metrics if data else ())
            for scope in resource.scope_metrics
            for metric in scope.metrics
            if metric.name == "quorvel.passport.verifications"
            for point in metric.data.data_points
        )

    return metrics, read


@contextmanager
def trust_of(kind: str, issuer: Any, watcher: Any) -> Iterator[Any]:
    down = {f"/passport/crl/{issuer.keypairs[0].kid}.json": (503, b"{}")}
    one = IssuerTrust(
        "https://issuer.example.org",
        issuer_did=ADAPTER_ISSUER_DID,
        fetch=issuer_fetch(issuer, down),
        observer=watcher if kind == "IssuerTrust" else None,
    )
    with one:
        if kind == "IssuerTrust":
            yield one
        else:
            with TrustedIssuers(one, observer=watcher) as trusts:
                yield trusts


# Every trust x observer for every door; the ledger alternates where a door takes one.
COMBINATIONS = [
    pytest.param(d, t, o, ledger, id=f"{d}-{t}-{o}{'-ledger' if ledger else ''}")
    for d, takes in DOORS.items()
    for i, (t, o) in enumerate(itertools.product(["IssuerTrust", "TrustedIssuers"], ["none", "prometheus", "otel"]))
    for ledger in [takes == "always" or (takes and i % 2 == 0)]
]

# What each request is answered: the valid passport three times (the last ones
# from the memo), then garbage, none, unscoped, and the issuer unreachable.
REQUESTS = [
    ("genuine", 200),
    ("genuine", 200),
    ("genuine", 200),
    ("garbage", 401),
    (None, 401),
    ("narrow", 403),
    ("outage", 503),
]
# Where a door answers otherwise: the paywall asks for payment.
DIFFERENT = {"x402": {"genuine": 402, None: 402}}


@pytest.mark.parametrize(("name", "trust_kind", "observer_kind", "with_ledger"), COMBINATIONS)
def test_every_door_answers_alike_whatever_trust_observer_and_ledger_stand_behind_it(
    name, trust_kind, observer_kind, with_ledger, adapter_issuer, adapter_creds, tmp_path
):
    creds = {**adapter_creds, "garbage": "not-a-passport"}
    watcher, told = observer(observer_kind)
    with ExitStack() as stack:
        trust = stack.enter_context(trust_of(trust_kind, adapter_issuer, watcher))
        ledger = None
        if with_ledger:
            ledger = stack.enter_context(SpendLedger(trust, tmp_path / "spend.sqlite3", observer=watcher))
        url, ask = stack.enter_context(door(name, trust, ledger))
        answers = [ask(url, None if which is None else creds[which]) for which, _ in REQUESTS]
    assert answers == [DIFFERENT.get(name, {}).get(which, code) for which, code in REQUESTS]
    if watcher is not None:  # every passport presented was counted, memo hits included
        assert told() >= sum(which is not None for which, _ in REQUESTS)
