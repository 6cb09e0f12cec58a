"""What the ASGI and WSGI middleware share: one header value, one verdict, one answer.

Neither middleware imports a web framework; this module imports only the
native module and ``json``.
"""

from __future__ import annotations

import json
from collections.abc import Awaitable
from typing import Final, Protocol

from quorvel_trellane.passport import PassportVerdict

__all__ = [
    "AsyncTrust",
    "SyncTrust",
    "Refusal",
    "refusal",
    "forbidden",
    "repeated_header_verdict",
    "missing",
    "is_repeated",
    "CHALLENGE",
]


class AsyncTrust(Protocol):
    """What the ASGI middleware needs of a trust: ``IssuerTrust``, ``TrustedIssuers``."""

    def verify_async(
        self, credential: str, /, *, required_scope: str | None = None
    ) -> Awaitable[PassportVerdict]: ...


class SyncTrust(Protocol):
    """What the WSGI middleware needs of a trust: ``IssuerTrust``, ``TrustedIssuers``."""

    def verify(self, credential: str, /, *, required_scope: str | None = None) -> PassportVerdict: ...


class Refusal:
    """A ready answer: status code, reason phrase, body, and whether to challenge."""

    __slots__ = ("code", "reason", "body", "challenge")

    def __init__(self, code: int, body: bytes) -> None:
        self.code = code
        self.reason = "Unauthorized" if code == 401 else "Forbidden"
        self.body = body
        self.challenge = code == 401


# The two relying-party checks run on a genuine passport: the caller is
# known but not allowed, which is 403. Everything else (no header, invalid,
# expired, revoked, unverifiable) leaves the caller unauthenticated: 401.
_FORBIDDEN_CODES: Final = frozenset({"AGENT_MISMATCH", "SCOPE_NOT_GRANTED"})

#: The WWW-Authenticate challenge on every 401.
CHALLENGE: Final = "AgentPassport"


# One encoder for every body: json.dumps with options builds a new one per call.
_ENCODER: Final = json.JSONEncoder(separators=(",", ":"))


def _body(status: str | None, code: str | None, message: str | None) -> bytes:
    document = {"status": status, "error_code": code, "error_message": message}
    return _ENCODER.encode(document).encode("utf-8")


def missing(header: str) -> Refusal:
    """The answer to a request without the header named ``header``."""
    return Refusal(401, _body("missing", "MISSING_PASSPORT", f"no {header} header"))


def refusal(verdict: PassportVerdict) -> Refusal:
    """The answer to a request whose verdict is not verified."""
    code = 403 if verdict.error_code in _FORBIDDEN_CODES else 401
    return Refusal(code, _body(verdict.status, verdict.error_code, verdict.error_message))


def forbidden(status: str | None, code: str, message: str) -> Refusal:
    """A 403 for a genuine caller refused for a reason of the relying party's
    own (a spend bound, a payment it cannot price), in the same JSON body."""
    return Refusal(403, _body(status, code, message))


def is_repeated(value: str) -> bool:
    """Whether one header value holds several: a server or proxy folds a
    repeated header into one value joined by commas, and base64url text
    never holds a comma."""
    return "," in value


def repeated_header_verdict(header: str) -> PassportVerdict:
    """The verdict for a header sent more than once, judged as malformed.

    Two credentials in one request are ambiguous; picking either would let a
    proxy or client bug decide which passport the application sees.
    """
    return PassportVerdict(
        verified=False,
        status="invalid",
        error_code="INVALID_CREDENTIAL",
        error_message=f"repeated {header} header",
    )
