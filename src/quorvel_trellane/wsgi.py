"""WSGI middleware that admits a request only with a verified agent passport.

    from quorvel_trellane.trust import IssuerTrust
    from quorvel_trellane.wsgi import PassportMiddleware

    app = PassportMiddleware(app, trust=IssuerTrust("https://issuer.example"),
                             required_scope="payments:x402")

Plain WSGI (PEP 3333), so it wraps Flask, Django or a bare WSGI callable
alike; importing this module imports no web framework.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Final

from quorvel_trellane._gate import Middleware, SyncTrust, raw_target, start_answer
from quorvel_trellane.passport import X402_PASSPORT_HEADER

if TYPE_CHECKING:
    from wsgiref.types import StartResponse, WSGIApplication, WSGIEnvironment  # noqa: F401 (named in quotes)

__all__ = ["PassportMiddleware", "ENVIRON_KEY", "X402_PASSPORT_HEADER"]

#: The environ key that holds the verdict.
ENVIRON_KEY: Final = "quorvel.agent_passport"


class PassportMiddleware(Middleware["WSGIApplication", SyncTrust, "WSGIEnvironment"]):
    """Verify the passport on each request before the application sees it.

    The credential is read from the ``header`` request header (by default
    "X-Agent-Passport") and verified with ``trust.verify(credential,
    required_scope=...)``. A verified passport's verdict goes to
    ``environ["quorvel.agent_passport"]`` and the application is called;
    otherwise the middleware answers itself, as ``Middleware`` says.
    ``required_scope`` may be a callable taking the WSGI environ;
    ``public_paths`` (and ``readiness_path``) are matched against
    ``environ["PATH_INFO"]``.

    WSGI servers join a repeated header into one value with commas; a
    credential never holds a comma, so such a value is refused as a repeated
    header.
    """

    def __call__(self, environ: WSGIEnvironment, start_response: StartResponse) -> Iterable[bytes]:
        is_public = self.is_public
        if is_public is not None and is_public(environ.get("PATH_INFO", ""), raw_target(environ)):
            if self.readiness is not None and environ.get("PATH_INFO") == self.readiness_path:
                return start_answer(start_response, self.readiness.answer())
            verdict = None
        else:
            admission = self.admit(environ.get(self.environ_key), environ)
            if admission.answer is not None:
                return start_answer(start_response, admission.answer)
            verdict = admission.verdict
        environ[ENVIRON_KEY] = verdict
        return self.app(environ, start_response)
