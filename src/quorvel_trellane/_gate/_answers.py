"""What a refused request is answered: the status code, the challenge, the JSON body.

A leaf: it imports only the native module's verdict, ``json`` and ``http``.
"""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Final

from quorvel_trellane._internal.outage import retry_after
from quorvel_trellane._internal.status import StatusLine
from quorvel_trellane._internal.text import plain_reason
from quorvel_trellane.passport import PassportVerdict

__all__ = ["CHALLENGE", "CLOSE_POLICY_VIOLATION", "Answer", "compact_json"]

#: The WWW-Authenticate challenge on every 401.
CHALLENGE: Final = "AgentPassport"

#: The websocket close code of a handshake refused without an HTTP answer
#: (the server offers no denial response): policy violation.
CLOSE_POLICY_VIOLATION: Final = 1008

# The two relying-party checks run on a genuine passport: the caller is
# known but not allowed, which is 403. A passport the trust could not judge
# for want of the issuer's documents is the server's trouble, not the
# caller's: 503 with Retry-After. Everything else (no header, invalid,
# expired, revoked, unverifiable) leaves the caller unauthenticated: 401.
_FORBIDDEN_CODES: Final = frozenset({"AGENT_MISMATCH", "SCOPE_NOT_GRANTED"})

# One encoder for every body: json.dumps with options builds a new one per call.
_ENCODER: Final = json.JSONEncoder(separators=(",", ":"))


def compact_json(document: object) -> str:
    """``document`` as JSON without spaces, as every answer's body is written."""
    return _ENCODER.encode(document)


@dataclass(frozen=True, slots=True)
class Answer(StatusLine):
    """The answer to a refused request: status code, headers, JSON body.

    ``headers`` are spelled as HTTP writes them; an ASGI adapter lower-cases
    and encodes them. Every 401 carries the challenge, no 403 does; a 503
    carries ``Retry-After`` with ``retry_after`` (whole seconds).
    """

    code: int
    body: bytes
    retry_after: int | None = None
    headers: tuple[tuple[str, str], ...] = field(init=False)

    def __post_init__(self) -> None:
        headers = [("Content-Type", "application/json"), ("Content-Length", str(len(self.body)))]
        if self.challenge:
            headers.append(("WWW-Authenticate", CHALLENGE))
        if self.retry_after is not None:
            headers.append(("Retry-After", str(self.retry_after)))
        object.__setattr__(self, "headers", tuple(headers))

    @classmethod
    def of(
        cls,
        status: str | None,
        error_code: str | None,
        error_message: str | None,
        *,
        retry_after: int | None = None,
    ) -> Answer:
        """The answer carrying this verdict: 503 with ``retry_after`` (the
        issuer's documents could not be obtained), 403 for a genuine passport
        refused by the relying party's own checks, else 401."""
        if retry_after is not None:
            code = 503
        else:
            code = 403 if error_code in _FORBIDDEN_CODES else 401
        document = {"status": status, "error_code": error_code, "error_message": plain_reason(error_message)}
        return cls(code, _ENCODER.encode(document).encode("utf-8"), retry_after)

    @classmethod
    def refusing(cls, verdict: PassportVerdict) -> Answer:
        """The answer to a verdict that does not admit: see :meth:`of`."""
        return cls.of(verdict.status, verdict.error_code, verdict.error_message, retry_after=retry_after(verdict))

    @property
    def challenge(self) -> bool:
        return self.code == 401
