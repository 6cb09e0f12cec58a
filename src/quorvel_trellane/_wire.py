"""What the ASGI and WSGI middleware share: one header value, one verdict, one answer.

Neither middleware imports a web framework; this module imports only the
native module and ``json``.
"""

from __future__ import annotations

import json
import dataclasses
from collections.abc import Awaitable, Callable, Iterable, Sequence
from typing import Final, Protocol

from quorvel_trellane.passport import PassportVerdict

__all__ = [
    "AsyncTrust",
    "SyncTrust",
    "Refusal",
    "refusal",
    "repeated_header_verdict",
    "missing",
    "is_repeated",
    "CHALLENGE",
    "public_paths",
    "header_credential",
    "answer",
    "scope_refusal",
    "response_headers",
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


def missing(header: str, *, carrier: str = "header") -> Refusal:
    """The answer to a request without the header named ``header`` (or,
    with ``carrier``, another place a passport travels: A2A metadata)."""
    return Refusal(401, _body("missing", "MISSING_PASSPORT", f"no {header} {carrier}"))


def refusal(verdict: PassportVerdict) -> Refusal:
    """The answer to a request whose verdict is not verified."""
    code = 403 if verdict.error_code in _FORBIDDEN_CODES else 401
    return Refusal(code, _body(verdict.status, verdict.error_code, verdict.error_message))


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


def public_paths(paths: Iterable[str]) -> Callable[[str], bool] | None:
    """A test of a request path against ``paths``, the paths that need no passport.

    An entry ending in "/" matches every path under it (``"/docs/"`` matches
    "/docs/" and "/docs/oauth2-redirect"); any other entry matches exactly
    that path. None when ``paths`` is empty, so that a middleware without
    public paths pays nothing per request.
    """
    if isinstance(paths, (str, bytes)):
        raise TypeError("public_paths must be an iterable of paths, not a single str")
    exact: set[str] = set()
    prefixes: list[str] = []
    for path in paths:
        if not isinstance(path, str) or not path.startswith("/"):
            raise ValueError(f"a public path is a str starting with '/', not {path!r}")
        if path.endswith("/"):
            prefixes.append(path)
        else:
            exact.add(path)
    if not exact and not prefixes:
        return None
    starts = tuple(prefixes)
    frozen = frozenset(exact)

    def is_public(path: str) -> bool:
        return path in frozen or path.startswith(starts)

    return is_public



# -- what the framework adapters share -----------------------------------------
#
# The middlewares read one header from a raw request; the adapters get the
# values from their framework. From there on the rules are these, so that
# every adapter answers exactly as the middlewares do.


def header_credential(values: Sequence[str], header: str) -> str | PassportVerdict | None:
    """The credential among ``values``, the request's values of ``header``.

    None without any; the repeated-header verdict for several values or for
    one value holding several (folded with commas); else the one credential.
    """
    if not values:
        return None
    if len(values) > 1 or is_repeated(values[0]):
        return repeated_header_verdict(header)
    return values[0]


def answer(verdict: PassportVerdict | None, header: str) -> Refusal | None:
    """The refusal for ``verdict`` (None: the header was missing), or None to admit."""
    if verdict is None:
        return missing(header)
    return None if verdict.verified else refusal(verdict)


def scope_refusal(verdict: PassportVerdict, scopes: Iterable[str]) -> Refusal | None:
    """The 403 for a verified passport lacking one of ``scopes``, worded as the
    verifier words it; None when it holds them all."""
    for scope in scopes:
        if scope not in verdict.scopes:
            lacking = dataclasses.replace(
                verdict, verified=False, error_code="SCOPE_NOT_GRANTED", error_message=f"scope {scope!r} not granted"
            )
            return refusal(lacking)
    return None


def response_headers(refused: Refusal) -> dict[str, str]:
    """The headers of a refusal's response: JSON, and the challenge on a 401."""
    headers = {"Content-Type": "application/json"}
    if refused.challenge:
        headers["WWW-Authenticate"] = CHALLENGE
    return headers
