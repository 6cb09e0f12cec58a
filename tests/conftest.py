"""Shared fixtures: real Falcon-1024 issuers and real credentials.

Credentials are built the way an issuer builds them: the payload is
canonicalised with RFC 8785, signed with Falcon-1024, wrapped in the
envelope {"payload", "alg", "kid", "sig"} and base64url-encoded without
padding.  The builder can also produce every kind of damaged credential
the tests need (missing or replaced envelope members, a signature over a
different payload, other text encodings of the envelope JSON).
"""

from __future__ import annotations

import base64
import copy
import hashlib
import importlib
import json
import os
from dataclasses import dataclass, field
from datetime import datetime, timezone

import pytest
import rfc8785
from hypothesis import settings
from pqcrypto.sign import falcon_1024

# Property tests explore with fresh random seeds on a developer's machine;
# CI selects the "ci" profile so that a run of unchanged code can never
# fail on a newly drawn example.
settings.register_profile("ci", derandomize=True, database=None, print_blob=True)
settings.register_profile("dev", print_blob=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))

ALG = "Falcon-1024"
NOW = datetime(2030, 1, 1, tzinfo=timezone.utc)

#: Marks an envelope member that the builder must leave out.
OMIT = object()
_DEFAULT = object()

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


def b64u(data: bytes) -> str:
    """Unpadded base64url text, as the issuer writes it."""
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def b64u_decode(text: str) -> bytes:
    text = text.strip()
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def payload(**changes) -> dict:
    """A fresh copy of the default payload; a value of OMIT drops that member."""
    out = copy.deepcopy(DEFAULT_PAYLOAD)
    for name, value in changes.items():
        if value is OMIT:
            out.pop(name, None)
        else:
            out[name] = value
    return out


def encode_envelope(envelope, *, encoding: str = "utf-8", padded: bool = False) -> str:
    """Serialise an envelope (dict or ready JSON text) into credential text."""
    text = envelope if isinstance(envelope, str) else json.dumps(envelope)
    raw = text.encode(encoding)
    cred = b64u(raw)
    return cred + "=" * (-len(cred) % 4) if padded else cred


@dataclass
class Issuer:
    """A Falcon-1024 issuer key pair with its published key id."""

    pk: bytes
    sk: bytes
    _signatures: dict = field(default_factory=dict, repr=False)

    @property
    def kid(self) -> str:
        return hashlib.sha256(self.pk).hexdigest()[:16]

    @property
    def pk_b64(self) -> str:
        return base64.b64encode(self.pk).decode("ascii")

    @property
    def pk_b64url(self) -> str:
        return base64.urlsafe_b64encode(self.pk).decode("ascii")

    def sign(self, message: bytes) -> bytes:
        # Falcon signing costs milliseconds; tests re-issue the same payloads
        # many times, and any valid signature over the bytes will do.
        sig = self._signatures.get(message)
        if sig is None:
            sig = self._signatures[message] = falcon_1024.sign(self.sk, message)
        return sig

    def envelope(
        self,
        body=None,
        *,
        alg=_DEFAULT,
        kid=_DEFAULT,
        sig=_DEFAULT,
        signed_payload=None,
        extra=None,
    ) -> dict:
        """The envelope dict for ``body`` (default payload when None).

        ``signed_payload`` signs a different payload than the one embedded
        (a tampered credential).  ``alg``/``kid``/``sig`` replace the member
        (raw signature bytes are base64url-encoded, anything else is stored
        as given) or drop it when OMIT.  ``extra`` adds envelope members.
        """
        body = payload() if body is None else body
        signed = body if signed_payload is None else signed_payload
        env = {"payload": body}
        members = {
            "alg": ALG if alg is _DEFAULT else alg,
            "kid": self.kid if kid is _DEFAULT else kid,
        }
        if sig is _DEFAULT:
            members["sig"] = b64u(self.sign(rfc8785.dumps(signed)))
        elif isinstance(sig, (bytes, bytearray)):
            members["sig"] = b64u(bytes(sig))
        else:
            members["sig"] = sig
        for name, value in members.items():
            if value is not OMIT:
                env[name] = value
        env.update(extra or {})
        return env

    def issue(self, body=None, *, encoding="utf-8", padded=False, **options) -> str:
        """A credential text; options as for :meth:`envelope`."""
        return encode_envelope(
            self.envelope(body, **options), encoding=encoding, padded=padded
        )


def _new_issuer() -> Issuer:
    pk, sk = falcon_1024.generate_keypair()
    return Issuer(pk=pk, sk=sk)


@pytest.fixture(scope="session")
def issuer() -> Issuer:
    return _new_issuer()


@pytest.fixture(scope="session")
def other_issuer() -> Issuer:
    return _new_issuer()


@pytest.fixture(scope="session")
def issue(issuer):
    """Issue a credential signed by ``issuer``: ``issue(payload, **options)``."""
    return issuer.issue


@pytest.fixture(scope="session")
def passport():
    return importlib.import_module("quorvel_trellane.passport")
