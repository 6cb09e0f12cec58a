"""The readiness probe: whether this server can verify right now.

A server cannot verify while a trust has no usable key set, or while every
revocation list it fetched is past its usable age (verification fails
closed on them). The probe answers 503 with the reasons in JSON then, 200
otherwise; a set of trusts is ready while one of them is.
"""

from __future__ import annotations

import json
from collections.abc import Iterable
from dataclasses import dataclass, field
from http import HTTPStatus
from typing import TYPE_CHECKING, Any

from quorvel_trellane.observe._base import USABLE

if TYPE_CHECKING:
    from wsgiref.types import StartResponse, WSGIEnvironment

__all__ = ["Readiness", "ReadinessAnswer"]


@dataclass(frozen=True, slots=True)
class ReadinessAnswer:
    """The probe's answer: 200 or 503, a JSON body ``{"ready", "reasons"}``.

    ``headers`` are spelled as HTTP writes them; never to be cached.
    """

    code: int
    body: bytes
    headers: tuple[tuple[str, str], ...] = field(init=False)

    def __post_init__(self) -> None:
        headers = (
            ("Content-Type", "application/json"),
            ("Content-Length", str(len(self.body))),
            ("Cache-Control", "no-store"),
        )
        object.__setattr__(self, "headers", headers)

    @property
    def reason(self) -> str:
        return HTTPStatus(self.code).phrase

    @property
    def status_line(self) -> str:
        """``"503 Service Unavailable"``, as WSGI's ``start_response`` takes it."""
        return f"{self.code} {self.reason}"


class Readiness:
    """A readiness probe over a trust (``IssuerTrust``) or a set of trusts (``TrustedIssuers``).

    ``check()`` lists why the server cannot verify now (empty when it
    can); ``answer()`` is the probe's answer. The object is itself an ASGI
    application, and ``wsgi`` a WSGI one, answering every request with it;
    the ASGI and WSGI ``PassportMiddleware`` serve it at ``readiness_path``.
    A trust that never fetched its key set starts that fetch when probed, and
    is ready once it has it.
    """

    def __init__(self, trust: Any) -> None:
        if not callable(getattr(trust, "status", None)):
            raise TypeError(
                f"readiness needs a trust with a status method (IssuerTrust, TrustedIssuers), not {trust!r}"
            )
        self.trust = trust

    def __repr__(self) -> str:
        return f"Readiness({self.trust!r})"

    def check(self) -> tuple[str, ...]:
        """Why no trust can verify now; empty when one can."""
        trusts = getattr(self.trust, "trusts", None) or (self.trust,)
        reasons: list[str] = []
        ready = False
        for trust in trusts:
            reason = _unready(trust)
            if reason is None:
                ready = True
            else:
                reasons.append(reason)
        return () if ready else tuple(reasons)

    def answer(self) -> ReadinessAnswer:
        reasons = self.check()
        body = json.dumps({"ready": not reasons, "reasons": list(reasons)}, separators=(",", ":"))
        return ReadinessAnswer(503 if reasons else 200, body.encode("utf-8"))

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        answer = self.answer()
        headers = [(name.lower().encode("latin-1"), value.encode("latin-1")) for name, value in answer.headers]
        await send({"type": "http.response.start", "status": answer.code, "headers": headers})
        await send({"type": "http.response.body", "body": answer.body})

    def wsgi(self, environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        """The probe as a WSGI application."""
        answer = self.answer()
        start_response(answer.status_line, list(answer.headers))
        return [answer.body]


def _unready(trust: Any) -> str | None:
    status = trust.status()
    issuer = status.issuer_url
    keys = status.key_set
    if keys.state not in USABLE:
        if keys.fetches == 0:
            # Probed before any request needed it: fetch it now, so that a
            # server kept out of traffic until ready becomes ready at all.
            start = getattr(trust, "_prefetch", None)
            if start is not None:
                start()
            return f"{issuer}: the key set is being fetched"
        return f"{issuer}: no usable key set ({keys.last_error or keys.state})"
    lists = status.revocation_lists.values()
    if lists and all(doc.fetches > 0 and doc.state not in USABLE for doc in lists):
        return f"{issuer}: no usable revocation list (each past its usable age or never fetched)"
    return None
