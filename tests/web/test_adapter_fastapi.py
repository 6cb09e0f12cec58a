"""FastAPI: the passport dependency answers as the middleware, and shows in OpenAPI.

The real FastAPI application through its own test client; real credentials
verified by a real IssuerTrust.
"""

from __future__ import annotations

from typing import Any

import pytest
from conftest import (
    ADAPTER_CASES,
    ADAPTER_HEADER,
    ADAPTER_SCOPE,
    check_adapter_answer,
    each_adapter_case,
    readme_examples,
    readme_trust,
)
from fastapi import FastAPI, Security
from fastapi.testclient import TestClient

from quorvel_trellane.fastapi import PassportHeader, exception_handlers, require_passport


def make_app(trust: Any, **options: Any) -> FastAPI:
    app = FastAPI(**options)
    passport = require_passport(trust, scope=ADAPTER_SCOPE)

    @app.get("/pay")
    async def pay(verdict: Any = Security(passport)) -> dict[str, Any]:
        return {"agent": verdict.agent_did}

    @app.get("/health")
    def health() -> dict[str, bool]:
        return {"ok": True}

    return app


@pytest.fixture(scope="module")
def client(adapter_trust: Any) -> TestClient:
    return TestClient(make_app(adapter_trust, exception_handlers=exception_handlers))


def ask(client: TestClient, creds: dict[str, str], case: Any) -> tuple[int, dict[str, str], Any]:
    response = client.get(case.path, headers=[(ADAPTER_HEADER, creds[name]) for name in case.presented])
    return response.status_code, {k.lower(): v for k, v in response.headers.items()}, response.json()


@each_adapter_case()
def test_the_dependency_answers_each_request_as_the_middleware_does(client, adapter_creds, case):
    check_adapter_answer(case, *ask(client, adapter_creds, case))


def test_without_the_handlers_the_code_and_challenge_stay_and_the_body_moves_under_detail(adapter_trust, adapter_creds):
    plain = TestClient(make_app(adapter_trust))
    code, headers, body = ask(plain, adapter_creds, ADAPTER_CASES["an expired passport"])
    assert (code, headers["www-authenticate"], body["detail"]["error_code"]) == (401, "AgentPassport", "EXPIRED")


def test_openapi_shows_an_api_key_header_scheme_on_the_protected_route_only(client):
    document = client.get("/openapi.json").json()
    assert document["components"]["securitySchemes"]["AgentPassport"] == {
        "type": "apiKey",
        "in": "header",
        "name": ADAPTER_HEADER,
        "description": "An agent passport (Falcon-1024 signed credential).",
    }
    assert document["paths"]["/pay"]["get"]["security"] == [{"AgentPassport": []}]
    assert "security" not in document["paths"]["/health"]["get"]


@pytest.mark.parametrize(("presented", "seen"), [((), None), (("genuine",), True), (("revoked",), False)])
def test_an_optional_dependency_never_refuses_and_hands_over_the_verdict_or_none(
    adapter_trust, adapter_creds, presented, seen
):
    app = FastAPI()
    optional = PassportHeader(adapter_trust, optional=True)

    @app.get("/")
    async def look(verdict: Any = Security(optional)) -> dict[str, Any]:
        return {"verified": None if verdict is None else verdict.verified}

    response = TestClient(app).get("/", headers=[(ADAPTER_HEADER, adapter_creds[n]) for n in presented])
    assert (response.status_code, response.json()) == (200, {"verified": seen})


@pytest.mark.parametrize(("presented", "code"), [(("genuine",), 200), ((), 401), (("narrow",), 403)])
def test_the_readme_example_protects_its_route(adapter_issuer, adapter_creds, presented, code):
    [example] = readme_examples("### FastAPI")
    namespace: dict[str, Any] = {}
    with readme_trust(adapter_issuer):
        exec(example, namespace)
    response = TestClient(namespace["app"]).post(
        "/pay", headers=[(ADAPTER_HEADER, adapter_creds[n]) for n in presented]
    )
    assert response.status_code == code
