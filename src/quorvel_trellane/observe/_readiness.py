"""The readiness probe: whether this server can verify right now.

A server cannot verify while a trust has no usable key set, or while every
revocation list it fetched is past its usable age (verification fails
closed on them). The probe answers 503 with the reasons in JSON then, 200
otherwise; a set of trusts is ready while one of them is.

The probe is served without a passport, so its body names reasons by code
only ("KEY_SET_FETCHING", "KEY_SET_UNUSABLE", "REVOCATION_LISTS_UNUSABLE"):
no issuer address, no fetch error. The details (which issuer, what failed)
go to the log "quorvel_trellane.observe", and :meth:`Readiness.check` gives
them in-process.
"""

from __future__ import annotations

import json
import logging
from collections.abc import Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Final, NamedTuple

from quorvel_trellane._internal.status import StatusLine
from quorvel_trellane.observe._base import USABLE

if TYPE_CHECKING:
    from wsgiref.types import StartResponse, WSGIEnvironment

__all__ = ["Readiness", "ReadinessAnswer"]

_LOG: Final = logging.getLogger("quorvel_trellane.observe")


class _Unready(NamedTuple):
    code: str  # what the body says
    detail: str  # what the log and check() say


@dataclass(frozen=True, slots=True)
class ReadinessAnswer(StatusLine):
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


class Readiness:
    """A readiness probe over a trust (``IssuerTrust``) or a set of trusts (``TrustedIssuers``).

    ``check()`` lists why the server cannot verify now (empty when it
    can), in words naming each issuer; ``answer()`` is the probe's answer,
    whose body gives the reasons by code only. The object is itself an ASGI
    application, and ``wsgi`` a WSGI one, answering every request with it;
    the ASGI and WSGI ``PassportMiddleware`` serve it at ``readiness_path``.
    Each probe starts the fetch of every document that is due (never
    fetched, past its ttl or dropped), as a verification would, without
    waiting for it: a trust that never fetched its key set is ready once it
    has it, and a server without traffic keeps its documents fresh.
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
        return tuple(reason.detail for reason in self._reasons())

    def answer(self) -> ReadinessAnswer:
        reasons = self._reasons()
        for reason in reasons:
            _LOG.warning("not ready: %s", reason.detail, extra={"reason": reason.code})
        codes = [reason.code for reason in reasons]
        body = json.dumps({"ready": not codes, "reasons": codes}, separators=(",", ":"))
        return ReadinessAnswer(503 if codes else 200, body.encode("utf-8"))

    def _reasons(self) -> list[_Unready]:
        trusts = getattr(self.trust, "trusts", None) or (self.trust,)
        reasons: list[_Unready] = []
        for trust in trusts:
            reason = _unready(trust)
            if reason is None:
                return []
            reasons.append(reason)
        return reasons

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


def _unready(trust: Any) -> _Unready | None:
    # Each probe starts the fetch of any document due, as a request would:
    # a server kept out of traffic until ready becomes ready at all, and one
    # without traffic keeps its documents fresh instead of letting them
    # pass their usable age.
    material = getattr(trust, "material", None)
    if material is not None:
        material.prefetch()
    status = trust.status()
    issuer = status.issuer_url
    keys = status.key_set
    if keys.state not in USABLE:
        if keys.fetches == 0:
            return _Unready("KEY_SET_FETCHING", f"{issuer}: the key set is being fetched")
        return _Unready("KEY_SET_UNUSABLE", f"{issuer}: no usable key set ({keys.last_error or keys.state})")
    lists = status.revocation_lists.values()
    if lists and all(doc.fetches > 0 and doc.state not in USABLE for doc in lists):
        detail = f"{issuer}: no usable revocation list (each past its usable age or never fetched)"
        return _Unready("REVOCATION_LISTS_UNUSABLE", detail)
    return None
