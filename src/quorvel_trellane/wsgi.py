"""WSGI middleware that admits a request only with a verified agent passport.

    from quorvel_trellane.trust import IssuerTrust
    from quorvel_trellane.wsgi import PassportMiddleware

    app = PassportMiddleware(app, trust=IssuerTrust("https://issuer.example"),
                             required_scope="payments:x402")

Plain WSGI (PEP 3333), so it wraps Flask, Django or a bare WSGI callable
alike; importing this module imports no web framework.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Final

from quorvel_trellane._wire import CHALLENGE, SyncTrust, is_repeated, missing, refusal, repeated_header_verdict
from quorvel_trellane._wire import public_paths as _public_paths
from quorvel_trellane.passport import X402_PASSPORT_HEADER

if TYPE_CHECKING:
    from wsgiref.types import StartResponse, WSGIApplication, WSGIEnvironment

__all__ = ["PassportMiddleware", "ENVIRON_KEY", "X402_PASSPORT_HEADER"]

#: The environ key that holds the verdict.
ENVIRON_KEY: Final = "quorvel.agent_passport"


class PassportMiddleware:
    """Verify the passport on each request before the application sees it.

    The credential is read from the ``header`` request header (by default
    "X-Agent-Passport"), which may appear once, and verified with
    ``trust.verify(credential, required_scope=...)``. A verified passport's
    verdict goes to ``environ["quorvel.agent_passport"]`` and the
    application is called. Otherwise the middleware answers itself, without
    calling the application: 401 for a missing header and for an "invalid",
    "expired", "revoked" or "unverifiable" passport, with
    ``WWW-Authenticate: AgentPassport``; 403 for a genuine passport of
    another agent or without the required scope. The body is JSON:
    ``{"status", "error_code", "error_message"}``, the status "missing" with
    the code "MISSING_PASSPORT" when there is no header.

    ``required_scope`` is a scope text, or a callable taking the WSGI
    environ and returning one (or None for no scope), for per-route scopes.
    ``optional=True`` never refuses: the verdict, or None without a header,
    is stored and the application decides.

    WSGI servers join a repeated header into one value with commas; a
    credential never holds a comma, so such a value is refused as a repeated
    header.

    ``public_paths`` are the paths that need no passport (docs, the OpenAPI
    schema, health, the agent card): a request for one reaches the
    application unchecked, with the verdict None. An entry ending in "/"
    matches every path under it; any other entry matches
    ``environ["PATH_INFO"]`` exactly.
    """

    def __init__(
        self,
        app: WSGIApplication,
        *,
        trust: SyncTrust,
        required_scope: str | Callable[[WSGIEnvironment], str | None] | None = None,
        optional: bool = False,
        header: str = X402_PASSPORT_HEADER,
        public_paths: Iterable[str] = (),
    ) -> None:
        self.app = app
        self.trust = trust
        self.required_scope = required_scope
        self.optional = optional
        self.header = header
        self._key = "HTTP_" + header.upper().replace("-", "_")
        self._missing = missing(header)
        # -- public paths --
        self._is_public = _public_paths(public_paths)

    def __call__(self, environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        is_public = self._is_public
        public = is_public is not None and is_public(environ.get("PATH_INFO", ""))
        credential = None if public else environ.get(self._key)
        if credential is None:
            verdict = None
        elif is_repeated(credential):
            verdict = repeated_header_verdict(self.header)
        else:
            required = self.required_scope
            if callable(required):
                required = required(environ)
            # Whatever the trust raises (misuse of its arguments) propagates:
            # the server answers 500 and the application is never called.
            verdict = self.trust.verify(credential, required_scope=required)
        if not self.optional and not public:
            answer = self._missing if verdict is None else None if verdict.verified else refusal(verdict)
            if answer is not None:
                headers = [
                    ("Content-Type", "application/json"),
                    ("Content-Length", str(len(answer.body))),
                ]
                if answer.challenge:
                    headers.append(("WWW-Authenticate", CHALLENGE))
                start_response(f"{answer.code} {answer.reason}", headers)
                return [answer.body]
        environ[ENVIRON_KEY] = verdict
        return self.app(environ, start_response)
