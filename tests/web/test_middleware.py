"""Passports on the wire: the ASGI and WSGI middleware and the agents' client auth.

Real parts throughout: uvicorn serving the ASGI middleware and the standard
library's wsgiref serving the WSGI one, both on 127.0.0.1, called with httpx
and requests; credentials from the test issuer, verified with Falcon-1024.
"""

from __future__ import annotations

import asyncio
import http.client
import http.server
import json
import os
import socket
import subprocess
import sys
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterator
from datetime import timedelta
from pathlib import Path
from typing import Any
from wsgiref.simple_server import WSGIRequestHandler, WSGIServer, make_server
from wsgiref.validate import validator

import httpx
import pytest
import requests
import uvicorn
from websockets.exceptions import InvalidStatus
from websockets.sync.client import connect as websocket_connect

import quorvel_trellane
from quorvel_trellane import asgi, passport, wsgi
from quorvel_trellane.http import PassportAuth
from quorvel_trellane.testing import Issuer, IssuerServer, tamper
from quorvel_trellane.trust import IssuerTrust

PACKAGE_ROOT = Path(quorvel_trellane.__file__).resolve().parents[1]
ISSUER_DID = "did:web:issuer.example.org"
AGENT = "did:web:agents.example.com:shopper-7"
HEADER = "X-Agent-Passport"


@pytest.fixture(scope="module")
def creds(issuer: Issuer) -> dict[str, str]:
    genuine = issuer.issue(agent_did=AGENT, scopes=["payments:write", "catalog:read"])
    revoked = issuer.issue(agent_did=AGENT, scopes=["payments:write"])
    issuer.revoke(passport.decode_passport(revoked).payload["passport_id"])
    return {
        "genuine": genuine,
        "revoked": revoked,
        "expired": issuer.issue(agent_did=AGENT, valid_for=timedelta(seconds=-1)),
        "tampered": tamper(genuine, spend_limit_microusd=10**12),
        "foreign": Issuer(issuer_did=ISSUER_DID).issue(agent_did=AGENT),
    }


@pytest.fixture(scope="module")
def trust(issuer: Issuer, creds: dict[str, str]) -> Iterator[IssuerTrust]:
    """The issuer's keys and revocation list served on loopback, through an IssuerTrust."""
    with IssuerServer(issuer) as issuer_server, IssuerTrust(issuer_server.url, issuer_did=ISSUER_DID) as trust:
        yield trust


# -- the applications behind the middleware -----------------------------------


def verdict_json(verdict: passport.PassportVerdict | None) -> dict[str, Any] | None:
    if verdict is None:
        return None
    return {"verified": verdict.verified, "status": verdict.status, "agent_did": verdict.agent_did}


async def echo_asgi(scope: dict[str, Any], receive: Any, send: Any) -> None:
    if scope["type"] == "lifespan":
        while (await receive())["type"] != "lifespan.shutdown":
            await send({"type": "lifespan.startup.complete"})
        await send({"type": "lifespan.shutdown.complete"})
        return
    body = json.dumps({"passport": verdict_json(scope["state"][asgi.STATE_KEY])}).encode()
    if scope["type"] == "websocket":
        assert (await receive())["type"] == "websocket.connect"
        await send({"type": "websocket.accept"})
        await send({"type": "websocket.send", "text": body.decode()})
        await send({"type": "websocket.close", "code": 1000})
        return
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"application/json")]})
    await send({"type": "http.response.body", "body": body})


def echo_wsgi(environ: dict[str, Any], start_response: Any) -> list[bytes]:
    start_response("200 OK", [("Content-Type", "application/json")])
    return [json.dumps({"passport": verdict_json(environ[wsgi.ENVIRON_KEY])}).encode()]


def route_scope(path: str) -> str | None:
    return {"/routes/pay": "payments:write", "/routes/catalog": "catalog:read", "/routes/admin": "admin"}.get(path)


def mounted(prefixes: dict[str, Any], kind: str) -> Any:
    """One app per first path segment, so one server hosts every configuration."""
    if kind == "asgi":

        async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
            if scope["type"] == "lifespan":  # through a middleware, which passes it on
                await prefixes["strict"](scope, receive, send)
                return
            await prefixes[scope["path"].split("/")[1]](scope, receive, send)

        return app

    def wsgi_app(environ: dict[str, Any], start_response: Any) -> Any:
        return prefixes[environ["PATH_INFO"].split("/")[1]](environ, start_response)

    return wsgi_app


def configurations(module: Any, echo: Any, trust: Any, route_key: str) -> dict[str, Any]:
    return {
        "strict": module.PassportMiddleware(echo, trust=trust),
        "scoped": module.PassportMiddleware(echo, trust=trust, required_scope="payments:write"),
        "routes": module.PassportMiddleware(echo, trust=trust, required_scope=lambda s: route_scope(s[route_key])),
        "optional": module.PassportMiddleware(echo, trust=trust, optional=True),
        "public": module.PassportMiddleware(echo, trust=trust, public_paths=["/public/health", "/public/docs/"]),
    }


# -- servers on loopback -------------------------------------------------------


def loopback_socket() -> socket.socket:
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    return sock


class UvicornThread:
    def __init__(self, app: Any) -> None:
        self.sock = loopback_socket()
        self.server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="on"))
        self.thread = threading.Thread(target=self.server.run, kwargs={"sockets": [self.sock]}, daemon=True)

    def __enter__(self) -> str:
        self.thread.start()
        for _ in range(3000):  # up to 30 s on a loaded machine
            if self.server.started:
                break
            self.thread.join(0.01)
        assert self.server.started
        return f"http://127.0.0.1:{self.sock.getsockname()[1]}"

    def __exit__(self, *exc: object) -> None:
        self.server.should_exit = True
        self.thread.join(10)
        self.sock.close()


class _QuietHandler(WSGIRequestHandler):
    def log_message(self, format: str, *args: Any) -> None:
        pass


class WsgirefThread:
    def __init__(self, app: Any) -> None:
        # The validator fails the request on any breach of the WSGI protocol,
        # by the middleware's own answers as much as by the application.
        self.server: WSGIServer = make_server("127.0.0.1", 0, validator(app), handler_class=_QuietHandler)
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)

    def __enter__(self) -> str:
        self.thread.start()
        return f"http://127.0.0.1:{self.server.server_port}"

    def __exit__(self, *exc: object) -> None:
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(10)


def without_extensions(app: Any) -> Any:
    """The app as served by a server that offers no ASGI extension."""

    async def plain(scope: dict[str, Any], receive: Any, send: Any) -> None:
        await app({k: v for k, v in scope.items() if k != "extensions"}, receive, send)

    return plain


@pytest.fixture(scope="module")
def asgi_url(trust: IssuerTrust) -> Iterator[str]:
    apps = configurations(asgi, echo_asgi, trust, "path")
    apps["plain"] = without_extensions(apps["strict"])
    with UvicornThread(mounted(apps, "asgi")) as url:
        yield url


@pytest.fixture(scope="module")
def wsgi_url(trust: IssuerTrust) -> Iterator[str]:
    with WsgirefThread(mounted(configurations(wsgi, echo_wsgi, trust, "PATH_INFO"), "wsgi")) as url:
        yield url


def call_asgi(url: str, headers: list[tuple[str, str | bytes]]) -> tuple[int, dict[str, str], Any]:
    response = httpx.get(url, headers=headers, timeout=30)
    return response.status_code, {k.lower(): v for k, v in response.headers.items()}, response.json()


def call_wsgi(url: str, headers: list[tuple[str, str | bytes]]) -> tuple[int, dict[str, str], Any]:
    names = [name for name, _ in headers]
    if len(set(names)) == len(names):
        response = requests.get(url, headers=dict(headers), timeout=30)
        return response.status_code, {k.lower(): v for k, v in response.headers.items()}, response.json()
    # requests sends each header name once; a repeated header needs a raw request.
    return call_raw(url, headers)


def call_raw(url: str, headers: list[tuple[str, str | bytes]]) -> tuple[int, dict[str, str], Any]:
    host, port = url.removeprefix("http://").split("/")[0].split(":")
    conn = http.client.HTTPConnection(host, int(port), timeout=30)
    conn.putrequest("GET", "/" + url.split("/", 3)[3])
    for name, value in headers:
        conn.putheader(name, value)
    conn.endheaders()
    raw = conn.getresponse()
    result = raw.status, {k.lower(): v for k, v in raw.getheaders()}, json.loads(raw.read())
    conn.close()
    return result


@pytest.fixture(params=["asgi", "wsgi"])
def server(
    request: pytest.FixtureRequest,
) -> Callable[[str, list[tuple[str, str | bytes]]], tuple[int, dict[str, str], Any]]:
    """``server(path, headers)`` -> (status code, headers, JSON body) from either middleware."""
    url = request.getfixturevalue(f"{request.param}_url")
    call = call_asgi if request.param == "asgi" else call_wsgi

    def send(path: str, headers: list[tuple[str, str | bytes]], raw: bool = False) -> tuple[int, dict[str, str], Any]:
        return (call_raw if raw else call)(url + path, headers)

    send.kind = request.param  # type: ignore[attr-defined]

    return send


# -- statuses and bodies -------------------------------------------------------

PLAIN = "malformed credential envelope: not the base64url text of a JSON object"  # never a codec's words
REFUSALS = [
    ("no header", None, 401, "missing", "MISSING_PASSPORT", f"no {HEADER} header"),
    ("not a credential", "not-a-credential!", 401, "invalid", "INVALID_CREDENTIAL", PLAIN),
    ("an empty header", "", 401, "invalid", "INVALID_CREDENTIAL", "credential must be a non-empty string"),
    ("a raised spend limit", "tampered", 401, "invalid", "TAMPERED_SIGNATURE", "signature verification failed"),
    ("an expired passport", "expired", 401, "expired", "EXPIRED", "credential has expired"),
    ("a revoked passport", "revoked", 401, "revoked", "REVOKED", "credential has been revoked"),
    ("another issuer's key", "foreign", 401, "unverifiable", "UNRESOLVED_ISSUER_KEY", None),
]


@pytest.mark.parametrize(
    ("value", "code", "status", "error", "message"), [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS]
)
def test_a_passport_that_does_not_verify_is_refused_with_a_challenge_and_the_verdict(
    server, creds, value, code, status, error, message
):
    headers = [] if value is None else [(HEADER, creds.get(value, value))]
    got_code, got_headers, body = server("/strict/x", headers)
    assert (got_code, body["status"], body["error_code"]) == (code, status, error)
    assert set(body) == {"status", "error_code", "error_message"}
    assert message is None or body["error_message"] == message
    assert got_headers["www-authenticate"] == "AgentPassport"
    assert got_headers["content-type"] == "application/json"


def test_a_verified_passport_reaches_the_application_with_its_verdict(server, creds):
    code, _, body = server("/scoped/x", [(HEADER, creds["genuine"])])
    assert code == 200
    assert body == {"passport": {"verified": True, "status": "active", "agent_did": AGENT}}


def test_a_genuine_passport_without_the_scope_is_forbidden_without_a_challenge(server, creds, issuer):
    narrow = issuer.issue(agent_did=AGENT, scopes=["catalog:read"])
    code, headers, body = server("/scoped/x", [(HEADER, narrow)])
    assert code == 403
    assert body == {
        "status": "active",
        "error_code": "SCOPE_NOT_GRANTED",
        "error_message": "scope 'payments:write' not granted",
    }
    assert "www-authenticate" not in headers


@pytest.mark.parametrize(
    "values",
    [
        pytest.param(["genuine", "genuine"], id="the same passport twice"),
        pytest.param(["genuine", "revoked"], id="two passports"),
    ],
)
@pytest.mark.parametrize("prefix", ["strict", "optional"])
def test_a_repeated_header_is_refused_as_malformed_even_when_each_copy_verifies(server, creds, values, prefix):
    code, _, body = server(f"/{prefix}/x", [(HEADER, creds[v]) for v in values])
    refusal = {"status": "invalid", "error_code": "INVALID_CREDENTIAL", "error_message": f"repeated {HEADER} header"}
    if prefix == "strict":
        assert (code, body) == (401, refusal)
    else:
        assert (code, body["passport"]) == (200, {"verified": False, "status": "invalid", "agent_did": None})


ROUTES = [("/routes/pay", 200), ("/routes/catalog", 200), ("/routes/admin", 403), ("/routes/open", 200)]


@pytest.mark.parametrize(("path", "code"), ROUTES)
def test_a_per_route_scope_is_asked_of_the_request_itself(server, creds, path, code):
    assert server(path, [(HEADER, creds["genuine"])])[0] == code


OPTIONAL = [
    ("no header", None, None),
    ("a genuine passport", "genuine", {"verified": True, "status": "active", "agent_did": AGENT}),
    ("a revoked passport", "revoked", {"verified": False, "status": "revoked", "agent_did": AGENT}),
    ("garbage", "%%%", {"verified": False, "status": "invalid", "agent_did": None}),
]


@pytest.mark.parametrize(("value", "seen"), [o[1:] for o in OPTIONAL], ids=[o[0] for o in OPTIONAL])
def test_optional_mode_never_refuses_and_hands_the_verdict_or_none_to_the_application(server, creds, value, seen):
    headers = [] if value is None else [(HEADER, creds.get(value, value))]
    assert server("/optional/x", headers)[::2] == (200, {"passport": seen})


PUBLIC = [
    ("/public/health", 200),
    ("/public/docs/", 200),
    ("/public/docs/oauth2-redirect", 200),
    ("/public/healthz", 401),
    ("/public/health/x", 401),
    ("/public/docs", 401),
    ("/public/other", 401),
    ("/public/docs/v1.2/..x", 200),
    ("/public/docs/../pay", 401),
    ("/public/docs/./pay", 401),
    ("/public/docs/%2e%2e/pay", 401),
    ("/public/docs/%2E/pay", 401),
    ("/public/docs/..%2fpay", 401),
    ("/public/docs/a%2Fb", {"asgi": 401, "wsgi": 200}),  # wsgiref hands on no raw target
    ("/public/docs/%252e%252e/pay", 401),
    ("/public/docs/..", 401),
]


@pytest.mark.parametrize(("path", "code"), PUBLIC)
def test_public_paths_match_exactly_or_under_a_trailing_slash_without_dot_segments_and_reach_the_app_unchecked(
    server, creds, path, code
):
    # A revoked passport on a public path is not even looked at: the verdict is None.
    got, _, body = server(path, [(HEADER, creds["revoked"])], raw=True)  # the path as written, unresolved
    code = code[server.kind] if isinstance(code, dict) else code
    assert (got, body if code == 200 else body["status"]) == (code, {"passport": None} if code == 200 else "revoked")


@pytest.mark.parametrize(
    ("paths", "error"),
    [("/health", TypeError), (["health"], ValueError), ([b"/health"], ValueError), ([None], ValueError)],
)
@pytest.mark.parametrize("module", [asgi, wsgi])
def test_public_paths_that_are_not_absolute_path_texts_are_refused_at_construction(module, paths, error):
    with pytest.raises(error):
        module.PassportMiddleware(echo_wsgi, trust=Untouchable(), public_paths=paths)


def test_header_bytes_that_are_not_text_give_an_invalid_verdict_not_a_crash(asgi_url):
    for raw in (b"\xff\xfe\x80", "é".encode("latin-1"), "é".encode(), b"\x80" * 5000):
        code, _, body = call_asgi(asgi_url + "/strict/x", [(HEADER, raw)])
        assert (code, body["status"], body["error_code"]) == (401, "invalid", "INVALID_CREDENTIAL")


# -- the ASGI middleware called directly ---------------------------------------


class Recorder:
    def __init__(self) -> None:
        self.scopes: list[dict[str, Any]] = []
        self.sent: list[dict[str, Any]] = []

    async def app(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        self.scopes.append(scope)

    async def receive(self) -> dict[str, Any]:
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(self, message: dict[str, Any]) -> None:
        self.sent.append(message)


def http_scope(*headers: tuple[bytes, bytes], **extra: Any) -> dict[str, Any]:
    return {"type": "http", "path": "/x", "headers": list(headers), **extra}


def test_lifespan_scopes_pass_through_untouched(creds):
    rec = Recorder()
    headers = [(b"x-agent-passport", creds["revoked"].encode())]
    scope = {"type": "lifespan", "headers": headers, "state": {"db": 1}}
    asyncio.run(asgi.PassportMiddleware(rec.app, trust=Untouchable())(scope, rec.receive, rec.send))
    assert rec.scopes == [scope] and rec.scopes[0] is scope
    assert scope == {"type": "lifespan", "headers": headers, "state": {"db": 1}}
    assert rec.sent == []


# (prefix, passport, the handshake's refusal status and body status, or the
# verdict the accepted connection reports). "plain" is the strict
# middleware under a server offering no denial response: a close before
# accept, which the server sends as a 403 without a body.
WEBSOCKETS = [
    ("no header", "/strict/x", None, (401, "missing")),
    ("a revoked passport", "/strict/x", "revoked", (401, "revoked")),
    ("a tampered passport", "/strict/x", "tampered", (401, "invalid")),
    ("a genuine passport without the scope", "/routes/admin", "genuine", (403, "active")),
    ("a genuine passport", "/scoped/x", "genuine", {"verified": True, "status": "active", "agent_did": AGENT}),
    ("no header, optional", "/optional/x", None, None),
    (
        "a revoked passport, optional",
        "/optional/x",
        "revoked",
        {"verified": False, "status": "revoked", "agent_did": AGENT},
    ),
    ("a revoked passport, no denial response", "/plain/x", "revoked", (403, None)),
    (
        "a genuine passport, no denial response",
        "/plain/x",
        "genuine",
        {"verified": True, "status": "active", "agent_did": AGENT},
    ),
]


@pytest.mark.parametrize(("path", "value", "outcome"), [w[1:] for w in WEBSOCKETS], ids=[w[0] for w in WEBSOCKETS])
def test_a_websocket_handshake_is_judged_by_its_passport_as_a_request_is(asgi_url, creds, path, value, outcome):
    url = asgi_url.replace("http://", "ws://") + path
    headers = {} if value is None else {HEADER: creds[value]}
    try:
        with websocket_connect(url, additional_headers=headers, open_timeout=30) as ws:
            seen: Any = json.loads(ws.recv(timeout=30))["passport"]
    except InvalidStatus as refused:
        response = refused.response
        body = json.loads(response.body) if response.body else None
        seen = (response.status_code, body and body["status"])
        assert (response.headers.get("www-authenticate") == "AgentPassport") == (
            response.status_code == 401 and body is not None
        )
    assert seen == outcome


class Handshake(Recorder):
    """A websocket handshake as a server hands it over, and what came of it."""

    def __init__(self, first: str = "websocket.connect") -> None:
        super().__init__()
        self.first = first

    async def receive(self) -> dict[str, Any]:
        return {"type": self.first}


HANDSHAKES = [
    # (extensions offered, the first message received, what the middleware sends)
    (
        "a denial response offered",
        {"websocket.http.response": {}},
        "websocket.connect",
        ["websocket.http.response.start", "websocket.http.response.body"],
    ),
    ("no extensions", {}, "websocket.connect", ["websocket.close"]),
    ("no extensions key", None, "websocket.connect", ["websocket.close"]),
    ("the client gone before the answer", {"websocket.http.response": {}}, "websocket.disconnect", []),
]


@pytest.mark.parametrize(("extensions", "first", "sent"), [h[1:] for h in HANDSHAKES], ids=[h[0] for h in HANDSHAKES])
def test_a_refused_handshake_is_answered_before_accept_in_the_way_the_server_offers(creds, extensions, first, sent):
    rec = Handshake(first)
    scope: dict[str, Any] = {
        "type": "websocket",
        "path": "/x",
        "headers": [(b"x-agent-passport", creds["revoked"].encode())],
    }
    if extensions is not None:
        scope["extensions"] = extensions
    verdict = passport.PassportVerdict(verified=False, status="revoked", error_code="REVOKED", error_message="m")
    asyncio.run(asgi.PassportMiddleware(rec.app, trust=FixedTrust(verdict))(scope, rec.receive, rec.send))
    assert rec.scopes == [] and [m["type"] for m in rec.sent] == sent
    if sent == ["websocket.close"]:
        assert rec.sent[0]["code"] == 1008
    if sent and sent[0] == "websocket.http.response.start":
        assert rec.sent[0]["status"] == 401 and (b"www-authenticate", b"AgentPassport") in rec.sent[0]["headers"]
        assert json.loads(rec.sent[1]["body"]) == {"status": "revoked", "error_code": "REVOKED", "error_message": "m"}


def test_an_admitted_handshake_reaches_the_application_unanswered_with_its_verdict(trust, creds):
    rec = Handshake()
    scope = {
        "type": "websocket",
        "path": "/x",
        "headers": [(b"x-agent-passport", creds["genuine"].encode())],
        "state": {"db": 1},
    }
    asyncio.run(asgi.PassportMiddleware(rec.app, trust=trust)(scope, rec.receive, rec.send))
    [seen] = rec.scopes
    assert seen["state"][asgi.STATE_KEY].verified and seen["state"]["db"] == 1
    assert rec.sent == [] and scope["state"] == {"db": 1}


def test_the_verdict_joins_the_lifespan_state_without_changing_the_servers_copy(trust, creds):
    rec = Recorder()
    lifespan_state = {"db": "pool"}
    scope = http_scope((b"x-agent-passport", creds["genuine"].encode()), state=lifespan_state)
    asyncio.run(asgi.PassportMiddleware(rec.app, trust=trust)(scope, rec.receive, rec.send))
    [seen] = rec.scopes
    assert seen["state"]["db"] == "pool" and seen["state"][asgi.STATE_KEY].verified
    assert lifespan_state == {"db": "pool"} and "agent_passport" not in scope.get("state", {})


@pytest.mark.parametrize(
    ("headers", "verified"),
    [
        pytest.param([(b"X-Agent-Passport", "genuine")], True, id="a server that keeps the client's case"),
        pytest.param([(b"x-passport", "genuine")], None, id="a similar header name"),
        pytest.param([(b"x-agent-passport", "genuine,genuine")], False, id="copies folded into one value"),
    ],
)
def test_the_header_is_found_by_its_name_alone(trust, creds, headers, verified):
    rec = Recorder()
    raw = [(name, ",".join(creds[v] for v in value.split(",")).encode()) for name, value in headers]
    middleware = asgi.PassportMiddleware(rec.app, trust=trust, optional=True)
    asyncio.run(middleware(http_scope(*raw), rec.receive, rec.send))
    verdict = rec.scopes[0]["state"][asgi.STATE_KEY]
    assert (None if verdict is None else verdict.verified) == verified


class Untouchable:
    async def verify_async(self, credential: str, *, required_scope: str | None = None) -> passport.PassportVerdict:
        raise AssertionError("the trust was asked")


class FixedTrust:
    def __init__(self, verdict: passport.PassportVerdict) -> None:
        self.verdict = verdict

    async def verify_async(self, credential: str, *, required_scope: str | None = None) -> passport.PassportVerdict:
        return self.verdict

    def verify(self, credential: str, *, required_scope: str | None = None) -> passport.PassportVerdict:
        return self.verdict


STATUS_CODES = [
    ("invalid", "TAMPERED_SIGNATURE", 401),
    ("expired", "EXPIRED", 401),
    ("revoked", "REVOKED", 401),
    ("unverifiable", "REVOCATION_CHECK_FAILED", 401),
    ("active", "AGENT_MISMATCH", 403),
    ("active", "SCOPE_NOT_GRANTED", 403),
]


@pytest.mark.parametrize(("status", "error", "code"), STATUS_CODES)
@pytest.mark.parametrize("kind", ["asgi", "wsgi"])
def test_each_refusing_verdict_maps_to_its_status_code(kind, status, error, code):
    verdict = passport.PassportVerdict(verified=False, status=status, error_code=error, error_message="m")
    body = {"status": status, "error_code": error, "error_message": "m"}
    if kind == "asgi":
        rec = Recorder()
        scope = http_scope((b"x-agent-passport", b"c"))
        asyncio.run(asgi.PassportMiddleware(rec.app, trust=FixedTrust(verdict))(scope, rec.receive, rec.send))
        start, sent_body = rec.sent
        assert (start["status"], json.loads(sent_body["body"]), rec.scopes) == (code, body, [])
        assert ((b"www-authenticate", b"AgentPassport") in start["headers"]) == (code == 401)
    else:
        started: list[tuple[str, list[tuple[str, str]]]] = []
        environ = {"HTTP_X_AGENT_PASSPORT": "c"}
        out = wsgi.PassportMiddleware(echo_wsgi, trust=FixedTrust(verdict))(
            environ, lambda s, h: started.append((s, h))
        )
        [(line, headers)] = started
        assert (int(line.split()[0]), json.loads(b"".join(out))) == (code, body)
        assert (("WWW-Authenticate", "AgentPassport") in headers) == (code == 401)


def test_a_custom_header_name_is_read_instead_of_the_x402_one(trust, creds):
    rec = Recorder()
    middleware = asgi.PassportMiddleware(rec.app, trust=trust, header="Agent-Credential")
    asyncio.run(middleware(http_scope((b"x-agent-passport", creds["genuine"].encode())), rec.receive, rec.send))
    assert json.loads(rec.sent[1]["body"])["error_message"] == "no Agent-Credential header"
    environ = {"HTTP_AGENT_CREDENTIAL": creds["genuine"]}
    wsgi.PassportMiddleware(echo_wsgi, trust=trust, header="Agent-Credential")(environ, lambda s, h: None)
    assert environ[wsgi.ENVIRON_KEY].verified


# -- client auth ---------------------------------------------------------------


def presented(url: str, client: str, auth: PassportAuth) -> Any:
    target = url + "/optional/x"
    if client == "requests":
        return requests.get(target, auth=auth, timeout=30).json()
    if client == "httpx":
        with httpx.Client(auth=auth, timeout=30) as http_client:
            return http_client.get(target).json()

    async def go() -> Any:
        async with httpx.AsyncClient(auth=auth, timeout=30) as http_client:
            return (await http_client.get(target)).json()

    return asyncio.run(go())


@pytest.mark.parametrize("client", ["requests", "httpx", "httpx async"])
def test_client_auth_presents_the_passport_on_each_request(asgi_url, creds, client):
    auth = PassportAuth(creds["genuine"])
    for _ in range(2):
        assert presented(asgi_url, client, auth)["passport"]["verified"] is True


def test_client_auth_loads_the_agents_own_passport_once(wsgi_url, creds, monkeypatch):
    monkeypatch.setenv(passport.PASSPORT_ENV_VAR, creds["genuine"] + "\n")
    auth = PassportAuth()
    assert "genuine" not in repr(auth) and creds["genuine"] not in repr(auth)
    assert presented(wsgi_url, "requests", auth)["passport"]["status"] == "active"
    monkeypatch.setenv(passport.PASSPORT_ENV_VAR, creds["revoked"])
    assert presented(wsgi_url, "httpx", auth)["passport"]["status"] == "active"
    assert auth.credential == creds["genuine"]


class Origin:
    """A loopback server of its own origin: ``/seen`` answers which passport
    arrived, ``/hop?status=..&to=..`` redirects; every request is logged
    with the passport it carried."""

    def __init__(self) -> None:
        log = self.log = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self) -> None:
                url = urllib.parse.urlsplit(self.path)
                passport_header = self.headers.get(HEADER)
                log.append((url.path, passport_header))
                query = dict(urllib.parse.parse_qsl(url.query))
                body = json.dumps({"passport": passport_header}).encode()
                self.send_response(int(query.get("status", 200)))
                if "to" in query:
                    self.send_header("Location", query["to"])
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, format: str, *args: Any) -> None:
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_port
        self.url = f"http://127.0.0.1:{self.port}"
        threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()


@pytest.fixture(scope="module")
def origins() -> Iterator[tuple[Origin, Origin]]:
    pair = Origin(), Origin()
    yield pair
    for origin in pair:
        origin.server.shutdown()
        origin.server.server_close()


def hop(status: int, to: str) -> str:
    return f"/hop?status={status}&to={urllib.parse.quote(to, safe='')}"


# (status, where the first origin sends the client, whether the passport
# reaches the page the chain ends on). The second origin is the same host
# on another port.
REDIRECT_TARGETS = [
    ("the same origin", 302, lambda a, b: f"{a.url}/seen", True),
    ("a path on the same origin", 302, lambda a, b: "/seen", True),
    ("a relative path", 303, lambda a, b: "seen", True),
    ("another port", 302, lambda a, b: f"{b.url}/seen", False),
    ("another port, method kept", 307, lambda a, b: f"{b.url}/seen", False),
    ("another port, permanently", 308, lambda a, b: f"{b.url}/seen", False),
    ("another port without a scheme", 301, lambda a, b: f"//127.0.0.1:{b.port}/seen", False),
    ("another port and back again", 302, lambda a, b: b.url + hop(302, f"{a.url}/seen"), False),
    ("the same origin, then another port", 302, lambda a, b: hop(302, f"{b.url}/seen"), False),
]


def follow(client: str, auth: PassportAuth, url: str) -> Any:
    """GET ``url`` following redirects, the client set up the documented way
    ("by hand": ``auth=`` alone, sending each ``next_request``)."""
    if client == "requests":
        return requests.get(url, auth=auth, timeout=30).json()
    if client == "requests session":
        with requests.Session() as session:
            session.auth = auth
            return session.get(url, timeout=30).json()
    if client == "httpx":
        with httpx.Client(auth=auth, event_hooks=auth.event_hooks, follow_redirects=True, timeout=30) as http_client:
            return http_client.get(url).json()

    async def go() -> Any:
        if client == "httpx async":
            hooks = auth.async_event_hooks
            async with httpx.AsyncClient(auth=auth, event_hooks=hooks, follow_redirects=True) as http_client:
                return (await http_client.get(url, timeout=30)).json()
        async with httpx.AsyncClient(auth=auth, timeout=30) as http_client:
            response = await http_client.get(url)
            while response.next_request is not None:
                response = await http_client.send(response.next_request)
            return response.json()

    return asyncio.run(go())


@pytest.mark.parametrize(
    ("status", "target", "arrives"), [r[1:] for r in REDIRECT_TARGETS], ids=[r[0] for r in REDIRECT_TARGETS]
)
@pytest.mark.parametrize(
    "client",
    ["requests", "requests session", "httpx", "httpx async", "httpx async, by hand"],
)
def test_the_passport_never_follows_a_redirect_to_another_origin(origins, client, status, target, arrives):
    a, b = origins
    a.log.clear()
    b.log.clear()
    body = follow(client, PassportAuth("the-credential"), a.url + hop(status, target(a, b)))
    assert a.log[0] == ("/hop", "the-credential")
    assert [seen for _, seen in b.log] == [None] * len(b.log)
    assert body == {"passport": "the-credential" if arrives else None}


def test_client_auth_leaves_the_callers_request_extensions_as_they_were(origins):
    extensions: dict[str, Any] = {}
    auth = PassportAuth("the-credential")
    with httpx.Client(auth=auth, event_hooks=auth.event_hooks, follow_redirects=True) as http_client:
        http_client.get(origins[0].url + "/seen", extensions=extensions)
    assert extensions == {}


def test_client_auth_without_any_passport_raises_the_loading_error(monkeypatch):
    monkeypatch.delenv(passport.PASSPORT_ENV_VAR, raising=False)
    with pytest.raises(passport.PassportError, match="QUORVEL_AGENT_PASSPORT is unset"):
        httpx.Client(auth=PassportAuth()).get("http://127.0.0.1:9/")


@pytest.mark.parametrize(
    ("given", "names_file"),
    [("passport.txt", True), ("./missing/passport.txt", False), ('{"payload": {}}', False), ("eyJh bGc", False)],
)
@pytest.mark.parametrize("source", ["environment", "argument"])
@pytest.mark.parametrize("client", ["PassportAuth", "PassportInterceptor"])
def test_client_auth_and_the_a2a_interceptor_refuse_what_cannot_be_a_credential_before_sending_it(
    given, names_file, source, client, creds, tmp_path, monkeypatch
):
    from quorvel_trellane.a2a import PassportInterceptor

    (tmp_path / "passport.txt").write_text(creds["genuine"])
    monkeypatch.chdir(tmp_path)
    kind = {"PassportAuth": PassportAuth, "PassportInterceptor": PassportInterceptor}[client]
    if source == "environment":
        monkeypatch.setenv(passport.PASSPORT_ENV_VAR, given)
        make, opening = kind, "QUORVEL_AGENT_PASSPORT does not hold a credential"
    else:
        make, opening = (lambda: kind(given)), f"{client} was given text that is not a credential"
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        listener.settimeout(0.2)
        with pytest.raises(passport.PassportError) as info:
            presenter = make()
            if client == "PassportAuth":
                httpx.Client(auth=presenter).get(f"http://127.0.0.1:{listener.getsockname()[1]}/")
            assert not presenter.credential  # what the interceptor puts into each message
        with pytest.raises(TimeoutError):
            listener.accept()  # nothing was sent
    message = str(info.value)
    assert message.startswith(f"{opening} (base64url text: letters, digits, '-' and '_')")
    assert message.endswith(f"{client}(load_credential(PATH))")
    assert (": it names the file passport.txt;" in message) is names_file
    assert given not in message or names_file


def test_client_auth_presents_a_credential_given_with_surrounding_whitespace_as_the_bare_credential(asgi_url, creds):
    auth = PassportAuth(f"  {creds['genuine']}\n")
    assert auth.credential == creds["genuine"]
    assert presented(asgi_url, "httpx", auth)["passport"]["verified"] is True


# -- set-up -------------------------------------------------------------------------


def _set_up(made: str, trust: IssuerTrust) -> object:
    from quorvel_trellane.trust import TrustedIssuers

    if made == "IssuerTrust":
        return IssuerTrust("http://127.0.0.1:9")
    if made == "TrustedIssuers":
        return TrustedIssuers(trust)
    if made == "ASGI PassportMiddleware":
        return asgi.PassportMiddleware(lambda *a: None, trust=trust)  # type: ignore[arg-type]
    if made == "WSGI PassportMiddleware":
        return wsgi.PassportMiddleware(lambda *a: [], trust=trust)  # type: ignore[arg-type]
    if made == "FastAPI PassportHeader":
        from quorvel_trellane.fastapi import PassportHeader

        return PassportHeader(trust)
    if made == "Starlette PassportBackend":
        from quorvel_trellane.starlette import PassportBackend

        return PassportBackend(trust)
    if made == "Flask Passport":
        from quorvel_trellane.flask import Passport

        return Passport(trust=trust)
    from quorvel_trellane.a2a import PassportExecutor

    return PassportExecutor(object(), trust=trust)  # type: ignore[arg-type]


@pytest.mark.parametrize("blocked", ["rfc8785", "pqcrypto"])
@pytest.mark.parametrize(
    ("made", "named"),
    [
        ("IssuerTrust", "IssuerTrust"),
        ("TrustedIssuers", "TrustedIssuers"),
        ("ASGI PassportMiddleware", "PassportMiddleware"),
        ("WSGI PassportMiddleware", "PassportMiddleware"),
        ("FastAPI PassportHeader", "the passport check"),
        ("Starlette PassportBackend", "the passport check"),
        ("Flask Passport", "Passport"),
        ("A2A PassportExecutor", "PassportExecutor"),
    ],
)
def test_a_relying_party_without_the_components_fails_when_set_up_not_on_each_request(
    made, named, blocked, monkeypatch
):
    from quorvel_trellane._internal.components import PASSPORT_HINT

    with IssuerTrust("http://127.0.0.1:9") as trust:
        _set_up(made, trust)  # with the components: fine
        for module in [name for name in sys.modules if name.split(".")[0] == blocked]:
            monkeypatch.setitem(sys.modules, module, None)
        with pytest.raises(passport.PassportError) as info:
            _set_up(made, trust)
    assert str(info.value) == f"{named} needs the passport components rfc8785 and pqcrypto: {PASSPORT_HINT}"
    assert isinstance(info.value.__cause__, passport.PassportError)


def test_importing_the_wire_modules_imports_no_web_framework_or_http_client():
    code = (
        "import sys\n"
        "import quorvel_trellane.asgi, quorvel_trellane.wsgi, quorvel_trellane.http\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in {"
        "'httpx', 'requests', 'urllib3', 'uvicorn', 'starlette', 'fastapi', 'litestar', 'anyio', 'h11',"
        " 'flask', 'werkzeug', 'django', 'aiohttp', 'wsgiref'} or m in {'http.client', 'urllib.request'}))\n"
    )
    env = {**os.environ, "PYTHONPATH": str(PACKAGE_ROOT)}
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60, check=True
    )
    assert result.stdout.strip() == "[]"


# -- through an IssuerTrust, while the issuer changes --------------------------


class Clock:
    """The trust's clock, moved by the test instead of by sleeping."""

    def __init__(self) -> None:
        self.now = 1000.0

    def __call__(self) -> float:
        return self.now


def poll(send: Callable[[], tuple[int, Any]], want: int, seconds: float = 10.0) -> list[int]:
    """Ask until the answer is ``want`` (a stale document is refreshed in the
    background, so the change may take a request or two); the codes seen."""
    seen: list[int] = []
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        code, body = send()
        seen.append(code)
        if code == want:
            return seen
        time.sleep(0.02)
    return seen


@pytest.fixture
def live(issuer: Issuer) -> Iterator[tuple[IssuerServer, Clock, Callable[[str], tuple[int, Any]]]]:
    """A fresh issuer server, an IssuerTrust on it with a test clock, and the
    ASGI middleware under uvicorn: ``(server, clock, send(credential))``."""
    clock = Clock()
    with (
        IssuerServer(issuer) as issuer_server,
        IssuerTrust(issuer_server.url, issuer_did=ISSUER_DID, clock=clock) as trust,
    ):
        with UvicornThread(asgi.PassportMiddleware(echo_asgi, trust=trust)) as url:

            def send(credential: str) -> tuple[int, Any]:
                response = httpx.get(url + "/x", headers={HEADER: credential}, timeout=30)
                return response.status_code, response.json()

            yield issuer_server, clock, send


def test_a_passport_revoked_while_the_server_runs_is_refused_once_the_list_is_refetched(live, issuer):
    issuer_server, clock, send = live
    credential = issuer.issue(agent_did=AGENT)
    assert send(credential)[0] == 200
    issuer.revoke(passport.decode_passport(credential).payload["passport_id"])
    clock.now += 30  # within the revocation list's ttl: the list at hand still serves
    assert send(credential)[0] == 200
    clock.now += 31
    assert poll(lambda: send(credential), 401)[-1] == 401
    assert send(credential) == (
        401,
        {"status": "revoked", "error_code": "REVOKED", "error_message": "credential has been revoked"},
    )


def test_an_issuer_outage_is_survived_on_the_last_lists_then_answered_unavailable_past_their_usable_age(live, issuer):
    issuer_server, clock, send = live
    credential = issuer.issue(agent_did=AGENT)
    assert send(credential)[0] == 200
    issuer_server.stop()
    clock.now += 300  # stale, refetch fails, the last good list is still usable
    assert [send(credential)[0] for _ in range(3)] == [200, 200, 200]
    clock.now += 301  # past the revocation list's usable age
    code, body = send(credential)
    assert (code, body["status"], body["error_code"]) == (503, "unverifiable", "REVOCATION_CHECK_FAILED")
    clock.now += 86400  # past the key set's usable age too
    code, body = send(credential)
    assert (code, body["status"], body["error_code"]) == (503, "unverifiable", "UNRESOLVED_ISSUER_KEY")


REMEMBERED = [
    ("an admitted passport", "genuine", "/scoped/x", "payments:write"),
    ("a revoked passport", "revoked", "/strict/x", None),
    ("a passport without the scope", "narrow", "/scoped/x", "payments:write"),
]


@pytest.mark.parametrize(("value", "path", "scope"), [r[1:] for r in REMEMBERED], ids=[r[0] for r in REMEMBERED])
def test_a_passport_answered_from_the_memo_gets_the_full_checks_answer(
    server, creds, issuer, trust, value, path, scope
):
    credential = creds.get(value) or issuer.issue(agent_did=AGENT, scopes=["catalog:read"])
    answers = []
    for _ in range(3):
        code, headers, body = server(path, [(HEADER, credential)])
        answers.append((code, {k: v for k, v in headers.items() if k not in ("date", "server")}, body))
    assert trust.recall(credential, required_scope=scope) is not None  # remembered after the first
    assert answers[0] == answers[1] == answers[2]
