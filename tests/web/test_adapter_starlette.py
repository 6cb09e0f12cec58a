"""Starlette: the authentication backend and ``requires`` answer as the middleware.

The real Starlette application through its test client (HTTP and a
websocket); real credentials verified by a real IssuerTrust.
"""

from __future__ import annotations

from typing import Any

import pytest
from conftest import (
    ADAPTER_AGENT,
    ADAPTER_HEADER,
    ADAPTER_SCOPE,
    check_adapter_answer,
    each_adapter_case,
    readme_examples,
    readme_trust,
)
from starlette import authentication
from starlette.applications import Starlette
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route, WebSocketRoute
from starlette.testclient import TestClient
from starlette.websockets import WebSocket, WebSocketDisconnect

from quorvel_trellane.starlette import PassportUser, passport_middleware, requires


@requires(ADAPTER_SCOPE)
async def pay(request: Request) -> JSONResponse:
    assert isinstance(request.user, PassportUser) and request.user.verdict.verified
    return JSONResponse({"agent": request.user.identity})


@requires([ADAPTER_SCOPE])
def pay_sync(request: Request) -> JSONResponse:
    return JSONResponse({"agent": request.user.display_name})


@authentication.requires(ADAPTER_SCOPE)
async def pay_starlettes(request: Request) -> JSONResponse:
    return JSONResponse({"agent": request.user.identity})


async def health(request: Request) -> JSONResponse:
    return JSONResponse({"ok": True})


async def whoami(request: Request) -> JSONResponse:
    return JSONResponse({"authenticated": request.user.is_authenticated, "scopes": request.auth.scopes})


async def socket(websocket: WebSocket) -> None:
    await websocket.accept()
    await websocket.send_json({"agent": websocket.user.identity})
    await websocket.close()


@pytest.fixture(scope="module")
def client(adapter_trust: Any) -> TestClient:
    routes = [
        Route("/pay", pay),
        Route("/pay-sync", pay_sync),
        Route("/pay-starlettes", pay_starlettes),
        Route("/health", health),
        Route("/whoami", whoami),
        WebSocketRoute("/socket", socket),
    ]
    return TestClient(Starlette(routes=routes, middleware=[passport_middleware(adapter_trust)]))


def ask(
    client: TestClient, creds: dict[str, str], path: str, presented: tuple[str, ...]
) -> tuple[int, dict[str, str], Any]:
    response = client.get(path, headers=[(ADAPTER_HEADER, creds[name]) for name in presented])
    return response.status_code, {k.lower(): v for k, v in response.headers.items()}, response.json()


@pytest.mark.parametrize("endpoint", ["async", "sync"])
@each_adapter_case()
def test_the_backend_and_requires_answer_each_request_as_the_middleware_does(client, adapter_creds, case, endpoint):
    path = case.path + ("-sync" if endpoint == "sync" and case.path == "/pay" else "")
    check_adapter_answer(case, *ask(client, adapter_creds, path, case.presented))


@pytest.mark.parametrize(
    ("presented", "seen"),
    [
        ((), {"authenticated": False, "scopes": []}),
        (("genuine",), {"authenticated": True, "scopes": [ADAPTER_SCOPE, "catalog:read"]}),
    ],
)
def test_a_route_without_requires_sees_the_agent_and_its_scopes_or_an_anonymous_caller(
    client, adapter_creds, presented, seen
):
    assert ask(client, adapter_creds, "/whoami", presented)[::2] == (200, seen)


@pytest.mark.parametrize(("presented", "code"), [(("genuine",), 200), (("narrow",), 403), ((), 403)])
def test_starlettes_own_requires_works_on_the_passport_scopes(client, adapter_creds, presented, code):
    response = client.get("/pay-starlettes", headers=[(ADAPTER_HEADER, adapter_creds[n]) for n in presented])
    assert response.status_code == code


@pytest.mark.parametrize(("presented", "accepted"), [(("genuine",), True), (("revoked",), False)])
def test_websockets_are_authenticated_like_http(client, adapter_creds, presented, accepted):
    headers = {ADAPTER_HEADER: adapter_creds[presented[0]]}
    if accepted:
        with client.websocket_connect("/socket", headers=headers) as ws:
            assert ws.receive_json() == {"agent": ADAPTER_AGENT}
    else:
        with pytest.raises(WebSocketDisconnect), client.websocket_connect("/socket", headers=headers) as ws:
            ws.receive_json()


@pytest.mark.parametrize(("presented", "code"), [(("genuine",), 200), ((), 401), (("expired",), 401)])
def test_the_readme_example_protects_its_route(adapter_issuer, adapter_creds, presented, code):
    [example] = readme_examples("### Starlette")
    namespace: dict[str, Any] = {}
    with readme_trust(adapter_issuer):
        exec(example, namespace)
    response = TestClient(namespace["app"]).get("/pay", headers=[(ADAPTER_HEADER, adapter_creds[n]) for n in presented])
    assert response.status_code == code
