"""Starlette: an authentication backend whose users are verified agents.

    from starlette.applications import Starlette
    from quorvel_trellane.starlette import passport_middleware, requires

    app = Starlette(routes=routes, middleware=[passport_middleware(trust)])

    @requires("payments:x402")
    async def pay(request): ...          # request.user.verdict, request.auth.scopes

Importing this module imports Starlette; the rest of the package never does.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable, Sequence
from typing import Any, ParamSpec

from starlette import authentication
from starlette.authentication import AuthCredentials, AuthenticationBackend, AuthenticationError, BaseUser
from starlette.middleware import Middleware
from starlette.middleware.authentication import AuthenticationMiddleware
from starlette.requests import HTTPConnection, Request
from starlette.responses import PlainTextResponse, Response

from quorvel_trellane._gate import Answer, AsyncTrust, Gate
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict

__all__ = [
    "PassportBackend",
    "PassportUser",
    "PassportAuthenticationError",
    "on_error",
    "passport_middleware",
    "requires",
    "refusal_response",
]

_P = ParamSpec("_P")


class PassportUser(BaseUser):
    """A verified agent: ``identity`` and ``display_name`` are its DID."""

    def __init__(self, verdict: PassportVerdict) -> None:
        self.verdict = verdict

    @property
    def is_authenticated(self) -> bool:
        return True

    @property
    def display_name(self) -> str:
        return self.verdict.agent_did or ""

    @property
    def identity(self) -> str:
        return self.verdict.agent_did or ""


class PassportAuthenticationError(AuthenticationError):
    """A passport was presented and did not verify; ``answer`` is the refusal to send."""

    def __init__(self, answer: Answer) -> None:
        super().__init__(answer.body.decode("utf-8"))
        self.answer = answer


class PassportBackend(AuthenticationBackend):
    """Authenticate a request by the passport in its ``header``.

    No header: None, so the request goes on unauthenticated and
    :func:`requires` (or the application) decides. A passport that does not
    verify, or the header sent twice: :class:`PassportAuthenticationError`,
    which :func:`on_error` answers exactly as the ASGI middleware would. A
    verified passport: the passport's scopes as ``request.auth.scopes`` and a
    :class:`PassportUser` as ``request.user``. Websockets are authenticated
    like HTTP requests.
    """

    def __init__(self, trust: AsyncTrust, *, header: str = X402_PASSPORT_HEADER) -> None:
        # Scopes are asked by requires(), per endpoint, not by the backend.
        self.gate: Gate[AsyncTrust, HTTPConnection] = Gate(trust=trust, header=header)

    async def authenticate(self, conn: HTTPConnection) -> tuple[AuthCredentials, BaseUser] | None:
        values = conn.headers.getlist(self.gate.header)
        verdict, _, answer = await self.gate.admit_async(values[0] if values else None, conn, repeated=len(values) > 1)
        if verdict is None:
            return None
        if answer is not None:
            raise PassportAuthenticationError(answer)
        return AuthCredentials(verdict.scopes), PassportUser(verdict)


def refusal_response(answer: Answer) -> Response:
    """The response for a refusal: its status code, JSON body and headers."""
    return Response(answer.body, status_code=answer.code, headers=dict(answer.headers))


def on_error(conn: HTTPConnection, exc: AuthenticationError) -> Response:
    """``AuthenticationMiddleware``'s ``on_error`` for :class:`PassportBackend`."""
    if isinstance(exc, PassportAuthenticationError):
        return refusal_response(exc.answer)
    return PlainTextResponse(str(exc), status_code=400)  # Starlette's own answer


def passport_middleware(trust: AsyncTrust, *, header: str = X402_PASSPORT_HEADER) -> Middleware:
    """``Middleware(AuthenticationMiddleware, backend=PassportBackend(...), on_error=on_error)``."""
    return Middleware(AuthenticationMiddleware, backend=PassportBackend(trust, header=header), on_error=on_error)


def _lacking(conn: HTTPConnection, scopes: Sequence[str], gate: Gate[None, None]) -> Answer | None:
    if not scopes:
        return None
    user = conn.scope.get("user")
    if not isinstance(user, PassportUser):
        # The backend lets only a request without the header through unauthenticated.
        return gate.answer(None)
    for scope in scopes:
        if scope not in user.verdict.scopes:
            # Worded as the verifier words a scope it was asked for.
            return Answer.of(user.verdict.status, "SCOPE_NOT_GRANTED", f"scope {scope!r} not granted")
    return None


def requires(
    scopes: str | Sequence[str],
    status_code: int = 403,
    redirect: str | None = None,
    *,
    header: str = X402_PASSPORT_HEADER,
) -> Callable[[Callable[_P, Any]], Callable[_P, Any]]:
    """Starlette's ``requires``, answering as the passport middleware does.

    An endpoint taking ``request`` answers a request without a passport with
    401 "MISSING_PASSPORT" and a verified passport lacking a scope with 403
    "SCOPE_NOT_GRANTED", with the middleware's JSON bodies and challenge.
    Websocket endpoints and ``redirect=`` behave as Starlette's own
    ``requires`` (which is used for them, with ``status_code``).
    """
    wanted = [scopes] if isinstance(scopes, str) else list(scopes)
    starlettes = authentication.requires(wanted, status_code, redirect)
    gate: Gate[None, None] = Gate(trust=None, header=header)

    def decorator(func: Callable[_P, Any]) -> Callable[_P, Any]:
        names = list(inspect.signature(func).parameters)
        if "request" not in names or redirect is not None:
            return starlettes(func)
        index = names.index("request")

        def request_of(args: tuple[Any, ...], kwargs: dict[str, Any]) -> Request:
            request = kwargs.get("request", args[index] if index < len(args) else None)
            if not isinstance(request, Request):
                raise TypeError(f"the 'request' argument must be a Request, not {type(request).__name__}")
            return request

        if inspect.iscoroutinefunction(func):

            @functools.wraps(func)
            async def async_wrapper(*args: _P.args, **kwargs: _P.kwargs) -> Any:
                refused = _lacking(request_of(args, kwargs), wanted, gate)
                if refused is not None:
                    return refusal_response(refused)
                return await func(*args, **kwargs)

            return async_wrapper

        @functools.wraps(func)
        def sync_wrapper(*args: _P.args, **kwargs: _P.kwargs) -> Any:
            refused = _lacking(request_of(args, kwargs), wanted, gate)
            if refused is not None:
                return refusal_response(refused)
            return func(*args, **kwargs)

        return sync_wrapper

    return decorator
