"""Shared fixtures: real Falcon-1024 issuers and real credentials.

Credentials come from the package's own test issuer,
``quorvel_trellane.testing``: the payload is canonicalised with RFC 8785,
signed with Falcon-1024, wrapped in the envelope {"payload", "alg", "kid",
"sig"} and base64url-encoded without padding. The fixtures add the fixed
default payload the tests share and the damaged credentials they need
(missing or replaced envelope members, a signature over a different
payload, other text encodings of the envelope JSON). ``ROADS``,
``each_road`` and ``taking`` run a table of cases through a native fast
path and through the host function it stands in for.
"""

from __future__ import annotations

import base64
import contextlib
import copy
import importlib
import json
import os
import re
import types
from dataclasses import dataclass
from datetime import UTC, datetime, timedelta

import pytest
import rfc8785
from hypothesis import settings

from quorvel_trellane import testing

# Shared with the test files, which import them from here.
from quorvel_trellane.testing import ALG, OMIT, b64u, b64u_decode, encode_envelope  # noqa: F401

# Property tests explore with fresh random seeds on a developer's machine;
# CI selects the "ci" profile so that a run of unchanged code can never
# fail on a newly drawn example.
settings.register_profile("ci", derandomize=True, database=None, print_blob=True)
settings.register_profile("dev", print_blob=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))

NOW = datetime(2030, 1, 1, tzinfo=UTC)

DEFAULT_PAYLOAD = {
    "passport_id": "pp_01HZX3K9Q7T5",
    "agent_did": "did:web:agents.example.com:shopper-7",
    "issuer_did": "did:web:issuer.example.org",
    "scopes": ["payments:write", "catalog:read"],
    "spend_limit_microusd": 25_000_000,
    "spend_window": "P1D",
    "issued_at": "2026-01-01T00:00:00Z",
    "expires_at": "2099-12-31T23:59:59Z",
}


#: A verdict's fields, in order, and those of them a genuine credential's payload fills.
VERDICT_FIELDS = (
    "verified",
    "status",
    "agent_did",
    "scopes",
    "spend_limit_microusd",
    "spend_window",
    "issuer_did",
    "kid",
    "issued_at",
    "expires_at",
    "error_code",
    "error_message",
)
VERDICT_CLAIMS = tuple(name for name in VERDICT_FIELDS if name in DEFAULT_PAYLOAD)


def payload(**changes) -> dict:
    """A fresh copy of the default payload; a value of OMIT drops that member."""
    out = copy.deepcopy(DEFAULT_PAYLOAD)
    for name, value in changes.items():
        if value is OMIT:
            out.pop(name, None)
        else:
            out[name] = value
    return out


class HostDatetime(datetime):
    """A datetime that is not the module's own: the host's strptime is used."""


class HostTimezone:
    """A timezone binding that is not the module's own: the host's strptime is used."""

    utc = UTC


def host_base64():
    """The base64 functions, bound under a namespace that is not base64 itself."""
    return types.SimpleNamespace(
        urlsafe_b64decode=base64.urlsafe_b64decode,
        b64decode=base64.b64decode,
        urlsafe_b64encode=base64.urlsafe_b64encode,
    )


# --- the roads through a native fast path ------------------------------------
#
# The module takes a native fast path while its bindings are the ones of
# import, and calls the host function otherwise. A table of cases
# parametrised with each_road(...) runs through every road, as CPython's
# test_bisect runs one table against its C and its Python module.

#: For each fast path, its roads: the native path (no rebinding) and every
#: rebinding of the module's names that makes it call the host function.
ROADS = {
    "base64": {"native": {}, "host base64": {"base64": host_base64()}},
    "stamp": {
        "native": {},
        "host datetime": {"datetime": HostDatetime},
        "host timezone": {"timezone": HostTimezone},
    },
    "json": {"native": {}, "host json": {"json": types.SimpleNamespace(loads=json.loads)}},
    # The RFC 8785 writer: a stand-in _load_crypto handing out rfc8785's own dumps.
    "canonical": {
        "native": {},
        "host canonicaliser": {"_load_crypto": lambda: (types.SimpleNamespace(dumps=rfc8785.dumps), None)},
    },
}


def each_road(fast_path):
    """Parametrise a test over the roads of one fast path (argument ``road``)."""
    roads = ROADS[fast_path]
    return pytest.mark.parametrize("road", list(roads.values()), ids=list(roads))


# --- the example budget of a property table on the host roads -----------------
#
# The native road runs a property table's full example budget. The host
# roads hand the same calls to the host's own functions, so a smoke budget
# shows the road is taken and agrees with the reference; every explicit
# @example still runs on every road.

HOST_ROAD_EXAMPLES = 100

_HOST_ROADS = [road for roads in ROADS.values() for name, road in roads.items() if name != "native"]


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    """A property test on a host road runs at most HOST_ROAD_EXAMPLES examples."""
    test = getattr(item, "obj", None)
    road = getattr(getattr(item, "callspec", None), "params", {}).get("road")
    # Hypothesis reads a test's settings from this attribute at every call;
    # should that ever change, the table simply runs its full budget again.
    full = getattr(test, "_hypothesis_internal_use_settings", None)
    if full is None or full.max_examples <= HOST_ROAD_EXAMPLES or not any(road is host for host in _HOST_ROADS):
        return (yield)
    test._hypothesis_internal_use_settings = settings(full, max_examples=HOST_ROAD_EXAMPLES)
    try:
        return (yield)
    finally:
        test._hypothesis_internal_use_settings = full


@contextlib.contextmanager
def taking(road):
    """Within the block, the module's names are rebound as ``road`` says."""
    with pytest.MonkeyPatch.context() as m:
        module = importlib.import_module("quorvel_trellane.passport")
        for name, value in road.items():
            m.setattr(module, name, value)
        yield


@dataclass
class Issuer:
    """A test issuer's key pair, issuing the default payload unless told otherwise."""

    keypair: testing.IssuerKeyPair

    @property
    def pk(self) -> bytes:
        return self.keypair.public_key

    @property
    def sk(self) -> bytes:
        return self.keypair.secret_key

    @property
    def kid(self) -> str:
        return self.keypair.kid

    @property
    def pk_b64(self) -> str:
        return self.keypair.public_key_b64

    @property
    def pk_b64url(self) -> str:
        return base64.urlsafe_b64encode(self.pk).decode("ascii")

    def sign(self, message: bytes) -> bytes:
        return self.keypair.sign(message)

    def envelope(self, body=None, **options) -> dict:
        """The envelope for ``body`` (default payload when None); options as
        for ``testing.make_envelope`` (alg, kid, sig, signed_payload, extra)."""
        return testing.make_envelope(payload() if body is None else body, self.keypair, **options)

    def issue(self, body=None, *, encoding="utf-8", padded=False, **options) -> str:
        """A credential text; options as for :meth:`envelope`."""
        return encode_envelope(self.envelope(body, **options), encoding=encoding, padded=padded)


@pytest.fixture(scope="session")
def keypair_issuer() -> Issuer:
    return Issuer(testing.generate_keypair())


@pytest.fixture(scope="module")
def issuer(request: pytest.FixtureRequest, keypair_issuer: Issuer) -> Issuer | testing.Issuer:
    """The module's issuer.

    A module that sets ``ISSUER_DID`` gets a test issuer of its own with that
    DID (``quorvel_trellane.testing.Issuer``: it publishes its documents, and
    what the module revokes stays within the module); any other module gets
    the shared key pair issuing the default payload.
    """
    issuer_did = getattr(request.module, "ISSUER_DID", None)
    return keypair_issuer if issuer_did is None else testing.Issuer(issuer_did=issuer_did)


@pytest.fixture(scope="session")
def other_issuer() -> Issuer:
    return Issuer(testing.generate_keypair())


@pytest.fixture(scope="session")
def issue(keypair_issuer):
    """Issue a credential signed by ``issuer``: ``issue(payload, **options)``."""
    return keypair_issuer.issue


@pytest.fixture(scope="session")
def passport():
    return importlib.import_module("quorvel_trellane.passport")


# --- the framework adapters ----------------------------------------------------
#
# One table of requests for every adapter (tests/web/test_adapter_*.py), and the
# answers the passport middleware gives to each: each adapter must answer
# alike. The trust is a real IssuerTrust reading the test issuer's documents
# through an injected fetch.

ADAPTER_ISSUER_DID = "did:web:issuer.example.org"
ADAPTER_AGENT = "did:web:agents.example.com:shopper-7"
ADAPTER_SCOPE = "payments:x402"
ADAPTER_HEADER = "X-Agent-Passport"


@dataclass(frozen=True)
class AdapterCase:
    """A request to a protected route (or a public one) and the answer due."""

    presented: tuple[str, ...]  # credentials by name, one header value each
    path: str  # "/pay" (protected, needs ADAPTER_SCOPE) or "/health" (public)
    code: int
    status: str | None = None
    error_code: str | None = None
    error_message: str | None = None


ADAPTER_CASES = {
    "a valid passport is admitted": AdapterCase(("genuine",), "/pay", 200),
    "an expired passport": AdapterCase(("expired",), "/pay", 401, "expired", "EXPIRED", "credential has expired"),
    "a revoked passport": AdapterCase(("revoked",), "/pay", 401, "revoked", "REVOKED", "credential has been revoked"),
    "a passport without the scope": AdapterCase(
        ("narrow",), "/pay", 403, "active", "SCOPE_NOT_GRANTED", f"scope '{ADAPTER_SCOPE}' not granted"
    ),
    "no passport": AdapterCase((), "/pay", 401, "missing", "MISSING_PASSPORT", f"no {ADAPTER_HEADER} header"),
    "a tampered passport": AdapterCase(("tampered",), "/pay", 401, "invalid", "TAMPERED_SIGNATURE"),
    "the header twice": AdapterCase(
        ("genuine", "genuine"), "/pay", 401, "invalid", "INVALID_CREDENTIAL", f"repeated {ADAPTER_HEADER} header"
    ),
    "a public path needs no passport": AdapterCase((), "/health", 200),
    "a kid absent from the fresh key set": AdapterCase(
        ("unknown kid",), "/pay", 401, "unverifiable", "UNRESOLVED_ISSUER_KEY"
    ),
    "the issuer's revocation list cannot be fetched": AdapterCase(
        ("outage",), "/pay", 503, "unverifiable", "REVOCATION_CHECK_FAILED"
    ),
}


def each_adapter_case(*skip: str):
    """Parametrise a test over ADAPTER_CASES (argument ``case``), less ``skip``."""
    names = [n for n in ADAPTER_CASES if n not in skip]
    return pytest.mark.parametrize("case", [ADAPTER_CASES[n] for n in names], ids=names)


def check_adapter_answer(case: AdapterCase, code: int, headers, body) -> None:
    """The answer is the middleware's: code, JSON body, challenge on a 401.

    ``headers`` maps lower-case names to values; ``body`` is the parsed JSON.
    An admitted request's body is what the test routes answer:
    {"agent": DID} on /pay, {"ok": true} on /health.
    """
    if case.code == 200:
        assert (code, body) == (200, {"agent": ADAPTER_AGENT} if case.path == "/pay" else {"ok": True})
        return
    assert code == case.code, body
    assert set(body) == {"status", "error_code", "error_message"}
    assert (body["status"], body["error_code"]) == (case.status, case.error_code)
    assert case.error_message is None or body["error_message"] == case.error_message
    assert headers["content-type"].startswith("application/json")
    assert headers.get("www-authenticate") == ("AgentPassport" if code == 401 else None)
    assert headers.get("retry-after", "").isdigit() == (code == 503)


@pytest.fixture(scope="session")
def adapter_issuer() -> testing.Issuer:
    issuer = testing.Issuer(issuer_did=ADAPTER_ISSUER_DID)
    issuer.keypairs.insert(0, testing.generate_keypair())  # published, its revocation list unobtainable
    return issuer


@pytest.fixture(scope="session")
def adapter_creds(adapter_issuer) -> dict[str, str]:
    """The credentials of ADAPTER_CASES, by name, from one test issuer."""
    from quorvel_trellane import passport as native

    issuer = adapter_issuer
    genuine = issuer.issue(agent_did=ADAPTER_AGENT, scopes=[ADAPTER_SCOPE, "catalog:read"])
    genuine_payload = native.decode_passport(genuine).payload
    revoked = issuer.issue(agent_did=ADAPTER_AGENT, scopes=[ADAPTER_SCOPE])
    issuer.revoke(native.decode_passport(revoked).payload["passport_id"])
    return {
        "genuine": genuine,
        "revoked": revoked,
        "expired": issuer.issue(agent_did=ADAPTER_AGENT, scopes=[ADAPTER_SCOPE], valid_for=timedelta(seconds=-1)),
        "narrow": issuer.issue(agent_did=ADAPTER_AGENT, scopes=["catalog:read"]),
        "tampered": testing.tamper(genuine, spend_limit_microusd=10**12),
        "unknown kid": testing.issue_credential(genuine_payload, testing.generate_keypair()),
        "outage": testing.issue_credential(genuine_payload, issuer.keypairs[0]),
    }


def issuer_fetch(issuer: testing.Issuer, routes=None):
    """A Fetcher answering from ``issuer``'s documents (and ``routes``), as its server would."""
    from urllib.parse import urlsplit

    documents = testing.IssuerServer(issuer, routes=routes)

    def fetch(url: str) -> bytes:
        status, body = documents.respond(urlsplit(url).path)
        if status != 200:
            raise OSError(f"{url}: {status}")
        return body

    return fetch


@pytest.fixture(scope="session")
def adapter_trust(adapter_issuer, adapter_creds):
    """A real IssuerTrust on the test issuer's documents, warmed by one verification."""
    from quorvel_trellane.trust import IssuerTrust

    down = {f"/passport/crl/{adapter_issuer.keypairs[0].kid}.json": (503, b"{}")}
    fetch = issuer_fetch(adapter_issuer, down)
    trust = IssuerTrust("https://issuer.example.org", issuer_did=ADAPTER_ISSUER_DID, fetch=fetch)
    assert trust.verify(adapter_creds["genuine"]).verified
    yield trust
    trust.close()


def readme_examples(heading: str) -> list[str]:
    """The ```python blocks under the heading ``heading`` (a line "### FastAPI",
    say) of the README or the first docs page holding it, up to the next heading."""
    from pathlib import Path

    root = Path(__file__).resolve().parents[1]
    pages = [page.read_text(encoding="utf-8") for page in [root / "README.md", *sorted(root.glob("docs/*.md"))]]
    [text, *_] = [page for page in pages if f"\n{heading}\n" in page]
    section = text.split(f"\n{heading}\n", 1)[1]
    section = re.split(r"\n#{2,3} ", section, maxsplit=1)[0]
    return [block.split("\n```", 1)[0] for block in section.split("```python\n")[1:]]


@contextlib.contextmanager
def readme_trust(issuer: testing.Issuer):
    """While the block runs, ``IssuerTrust("https://issuer.example")`` in a README
    example is a real IssuerTrust that reads ``issuer``'s documents."""
    from quorvel_trellane import trust as trust_module

    real = trust_module.IssuerTrust

    def issuer_trust(url: str, **options):
        if options.get("issuer_did") is not None:  # the example's issuer is the test issuer
            options["issuer_did"] = issuer.issuer_did
        return real(url, fetch=issuer_fetch(issuer), **options)

    with pytest.MonkeyPatch.context() as m:
        m.setattr(trust_module, "IssuerTrust", issuer_trust)
        yield


# -- a hostile server: any bytes on the wire ---------------------------------------


@pytest.fixture
def raw_server():
    """``serve(answer, then=b"")``: a loopback server giving every connection the bytes ``answer``.

    For answers the issuer test server cannot send: a reason phrase or a
    header holding control characters, a status line of any shape, a body
    without end (``then`` is sent again and again until the client leaves).
    ``answer`` may hold "{port}", replaced by the server's own port.
    Returns the server's base URL.
    """
    import socket
    import threading

    listeners: list[socket.socket] = []

    def serve(answer: bytes, then: bytes = b"") -> str:
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen()
        listeners.append(listener)
        port = listener.getsockname()[1]
        reply = answer.replace(b"{port}", str(port).encode())

        def run() -> None:
            while True:
                try:
                    connection, _ = listener.accept()
                except OSError:
                    return
                with connection:
                    connection.settimeout(5)
                    request = b""
                    with contextlib.suppress(OSError):
                        while b"\r\n\r\n" not in request and (chunk := connection.recv(4096)):
                            request += chunk
                        connection.sendall(reply)
                        while then:
                            connection.sendall(then)

        threading.Thread(target=run, daemon=True).start()
        return f"http://127.0.0.1:{port}"

    yield serve
    for listener in listeners:
        with contextlib.suppress(OSError):
            listener.shutdown(socket.SHUT_RDWR)  # wakes the accepting thread
        listener.close()
