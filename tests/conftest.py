"""Shared fixtures: real Falcon-1024 issuers and real credentials.

Credentials come from the package's own test issuer,
``quorvel_trellane.testing``: the payload is canonicalised with RFC 8785,
signed with Falcon-1024, wrapped in the envelope {"payload", "alg", "kid",
"sig"} and base64url-encoded without padding. The fixtures add the fixed
default payload the tests share and the damaged credentials they need
(missing or replaced envelope members, a signature over a different
payload, other text encodings of the envelope JSON).
"""

from __future__ import annotations

import base64
import copy
import importlib
import os
from dataclasses import dataclass
from datetime import datetime, timezone

import pytest
from hypothesis import settings

from quorvel_trellane import testing
from quorvel_trellane.testing import ALG, OMIT, b64u, b64u_decode, encode_envelope  # noqa: F401 (shared)

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
