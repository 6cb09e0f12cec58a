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
import types
from dataclasses import dataclass
from datetime import datetime, timezone

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

NOW = datetime(2030, 1, 1, tzinfo=timezone.utc)

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

    utc = timezone.utc


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
def issuer() -> Issuer:
    return Issuer(testing.generate_keypair())


@pytest.fixture(scope="session")
def other_issuer() -> Issuer:
    return Issuer(testing.generate_keypair())


@pytest.fixture(scope="session")
def issue(issuer):
    """Issue a credential signed by ``issuer``: ``issue(payload, **options)``."""
    return issuer.issue


@pytest.fixture(scope="session")
def passport():
    return importlib.import_module("quorvel_trellane.passport")


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
