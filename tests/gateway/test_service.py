"""The check service itself, through its two doors: HTTP with httpx, gRPC with Envoy's stubs."""

from __future__ import annotations

import asyncio
import io
import os
import threading

import httpx
import pytest
from gateway_table import (
    CASES,
    IDENTITY,
    PRICE,
    ROUTES,
    SCOPE,
    check_answer,
    headers_of,
    run_priced,
    start_verifier,
    world,
)

from quorvel_trellane import testing
from quorvel_trellane.cli import EXIT_USAGE, main
from quorvel_trellane.gateway import IssuerConfig, Service, ServiceConfig
from quorvel_trellane.spend import SpendLedger

grpc = pytest.importorskip("grpc")
from envoy.service.auth.v3 import external_auth_pb2, external_auth_pb2_grpc  # noqa: E402


def over_http(verifier, route: str, headers: dict[str, str]) -> httpx.Response:
    query = "&".join(f"{name}={value}" for name, value in ROUTES[route.partition("?")[0]].items())
    return httpx.post(f"{verifier.url}/check?{query}", headers=headers)


def over_grpc(verifier, route: str, headers: dict[str, str]) -> httpx.Response:
    """Envoy's gRPC check, its answer read back as the HTTP answer Envoy would send."""
    request = external_auth_pb2.CheckRequest()
    request.attributes.request.http.headers.update({name.lower(): value for name, value in headers.items()})
    request.attributes.context_extensions.update(ROUTES[route.partition("?")[0]])
    with grpc.insecure_channel(verifier.grpc) as channel:
        answer = external_auth_pb2_grpc.AuthorizationStub(channel).Check(request, timeout=10)
    if answer.HasField("ok_response"):
        assert answer.status.code == 0
        return httpx.Response(200, headers=[(h.header.key, h.header.value) for h in answer.ok_response.headers])
    denied = answer.denied_response
    assert answer.status.code != 0
    headers = [(h.header.key, h.header.value) for h in denied.headers]
    return httpx.Response(denied.status.code, headers=headers, content=denied.body.encode())


@pytest.fixture(scope="module")
def w(tmp_path_factory):
    with world(tmp_path_factory.mktemp("ledger")) as made:
        yield made


DOORS = pytest.mark.parametrize("send", [over_http, over_grpc], ids=["http", "grpc"])


@DOORS
@pytest.mark.parametrize("case", list(CASES.values()), ids=list(CASES))
def test_each_door_answers_the_table(w, send, case):
    response = send(w.verifier, case.route, headers_of(case, w.creds))
    check_answer(case, response)
    if case.code == 200:
        assert {name: response.headers[name] for name in IDENTITY} == IDENTITY
        assert response.headers["x-agent-expires"].endswith("Z")


@DOORS
def test_a_priced_route_charges_once_per_request_and_once_per_key(w, send):
    run_priced(lambda headers: send(w.verifier, "/pay", headers), w.priced())


@pytest.mark.parametrize(
    ("target", "credential", "code"),
    [
        # The operator's key comes first: a client's copy appended after it is ignored.
        (f"/check?scope={SCOPE}&_=/orders?scope=catalog:read", "unscoped", 403),
        ("/check?scope=&price_microusd=0&scope=admin", "unscoped", 200),
        # Only the query of exactly /check is read: none of /check/<anything>.
        ("/check/orders?scope=admin&price_microusd=99999999999", "valid", 200),
        ("/check?price_microusd=-1", "valid", 500),
        ("/check?price_microusd=1_000", "valid", 500),
    ],
)
def test_the_requirement_comes_only_from_the_operators_query(w, target, credential, code):
    response = httpx.get(w.verifier.url + target, headers={"X-Agent-Passport": w.creds[credential]})
    assert response.status_code == code, response.text


def test_ready_and_metrics_are_served(w):
    assert httpx.get(w.verifier.url + "/ready").json() == {"ready": True, "reasons": []}
    assert "quorvel_passport_verifications_total" in httpx.get(w.verifier.url + "/metrics").text


def test_refusals_are_logged_with_their_code_never_the_credential(w):
    httpx.get(w.verifier.url + "/check", headers={"X-Agent-Passport": w.creds["expired"]})
    log = "".join(w.verifier.log)
    assert "check refused: 401 EXPIRED" in log
    assert not any(credential[-40:] in log for credential in w.creds.values())


@pytest.mark.parametrize(
    ("argv", "file", "message"),
    [
        ([], None, "no issuer"),
        (["--issuer-did", "did:web:x"], None, "--issuer-did needs --issuer"),
        (["--issuer", "http://issuer.example"], None, "only https is fetched"),
        (["--issuer", "https://i.example", "--listen", "nowhere"], None, "listen must be HOST:PORT"),
        (["--issuer", "https://i.example", "--fetch-timeout", "0"], None, "fetch_timeout must be"),
        ([], "listen = [", "is not TOML"),
        ([], "listn = '127.0.0.1:1'", "unknown setting 'listn'"),
        ([], "[[issuers]]\nurl = 1", "issuer 1: a table with url"),
        (
            [],
            "[[issuers]]\nurl = 'https://a.example'\ndid = 'd'\n[[issuers]]\nurl = 'https://b.example'\ndid = 'd'",
            "same DID",
        ),
    ],
)
def test_a_configuration_the_service_cannot_use_is_a_usage_error(tmp_path, argv, file, message):
    if file is not None:
        (tmp_path / "verifier.toml").write_text(file)
        argv = [*argv, "--config", str(tmp_path / "verifier.toml")]
    out, err = io.StringIO(), io.StringIO()
    assert main(["serve", *argv], stdout=out, stderr=err) == EXIT_USAGE
    assert message in err.getvalue()


def test_sigterm_answers_the_checks_in_flight(w):
    gateway_issuer = w.issuer
    with testing.IssuerServer(gateway_issuer) as slow:
        verifier = start_verifier(slow.url)
        # A new key: the next check waits on the key set, which takes a second.
        slow.inject("/.well-known/pqc-keys.json", hang=1.0)
        gateway_issuer.rotate()
        try:
            credential = gateway_issuer.issue(scopes=[SCOPE])
            answers: list[int] = []
            thread = threading.Thread(
                target=lambda: answers.append(
                    httpx.get(verifier.url + "/check", headers={"X-Agent-Passport": credential}, timeout=20).status_code
                )
            )
            thread.start()
            while not slow.count("/.well-known/pqc-keys.json") > 1:
                threading.Event().wait(0.02)
            assert verifier.stop() == 0
            thread.join(20)
        finally:
            gateway_issuer.keypairs.pop()
        assert answers == [200]


def test_two_replicas_sharing_postgresql_never_pass_a_bound(w):
    url = os.environ.get("QUORVEL_TEST_POSTGRES_URL")
    if not url:
        if os.environ.get("CI") == "true":
            pytest.fail("QUORVEL_TEST_POSTGRES_URL is not set: scripts/test starts the PostgreSQL server in CI")
        pytest.skip("no PostgreSQL server: run the tests with ./scripts/test")
    config = ServiceConfig((IssuerConfig(w.server.url, w.issuer.issuer_did),), ledger=url)
    replicas = [Service(config), Service(config)]
    agents = [w.issuer.issue(scopes=[SCOPE], spend_limit_microusd=5 * PRICE) for _ in range(8)]

    async def storm() -> list[int]:
        clients = [httpx.AsyncClient(transport=httpx.ASGITransport(app=r.app), base_url="http://v") for r in replicas]
        target = f"/check?scope={SCOPE}&price_microusd={PRICE}"
        calls = [clients[i % 2].get(target, headers={"X-Agent-Passport": agent}) for agent in agents for i in range(8)]
        answers = await asyncio.gather(*calls)
        for client in clients:
            await client.aclose()
        return [answer.status_code for answer in answers]

    loop = asyncio.new_event_loop()
    try:
        codes = loop.run_until_complete(storm())
        with SpendLedger(replicas[0].trust, url) as ledger:
            assert [ledger.remaining(agent) for agent in agents] == [0] * 8
        per_agent = [codes[i * 8 : i * 8 + 8] for i in range(8)]
        assert [sorted(c) for c in per_agent] == [[200] * 5 + [403] * 3] * 8
    finally:
        for replica in replicas:
            replica.close()  # its async pool closes on the idle loop
        loop.close()
