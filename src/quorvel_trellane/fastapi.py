"""FastAPI: the passport as a security dependency, an API-key header in OpenAPI.

    from fastapi import FastAPI, Security
    from quorvel_trellane.fastapi import exception_handlers, require_passport

    app = FastAPI(exception_handlers=exception_handlers)

    @app.post("/pay")
    async def pay(passport=Security(require_passport(trust, scope="payments:x402"))):
        return {"agent": passport.agent_did}

Importing this module imports FastAPI; the rest of the package never does.
"""

from __future__ import annotations

import json
from collections.abc import Callable, Coroutine
from typing import Any, Final

from fastapi import Request
from fastapi.exceptions import HTTPException
from fastapi.security import APIKeyHeader
from starlette.responses import Response

from quorvel_trellane._gate import Answer, AsyncTrust, Gate
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict

__all__ = ["PassportHeader", "PassportRefused", "require_passport", "exception_handlers", "SCHEME_NAME"]

#: The name of the security scheme in the OpenAPI document.
SCHEME_NAME: Final = "AgentPassport"


class PassportRefused(HTTPException):
    """A request refused for its passport; ``answer`` is the refusal to send.

    An ``HTTPException``, so that without :data:`exception_handlers` FastAPI
    still answers with the status code and the challenge (the JSON body
    then sits under "detail").
    """

    def __init__(self, answer: Answer) -> None:
        headers = {name: value for name, value in answer.headers if name != "Content-Length"}
        super().__init__(answer.code, detail=json.loads(answer.body), headers=headers)
        self.answer = answer


async def _answer_refused(request: Request, exc: Any) -> Response:
    if not isinstance(exc, PassportRefused):  # pragma: no cover - registered for PassportRefused only
        raise exc
    answer: Answer = exc.answer
    return Response(answer.body, status_code=answer.code, headers=dict(answer.headers))


#: ``FastAPI(exception_handlers=exception_handlers)``: refusals answered with
#: the middleware's own JSON body. (FastAPI copies the dict it is given.)
exception_handlers: Final[dict[int | type[Exception], Callable[[Request, Any], Coroutine[Any, Any, Response]]]] = {
    PassportRefused: _answer_refused
}


class PassportHeader(APIKeyHeader):
    """A security dependency reading and verifying the passport header.

    Appears in OpenAPI as an API-key scheme in the header ``header`` (named
    "AgentPassport"). Called by FastAPI for each request of a route that
    depends on it: with a verified passport (holding ``scope``, when given)
    it returns the verdict; otherwise it raises :class:`PassportRefused`,
    answered as the ASGI middleware answers: 401 with
    ``WWW-Authenticate: AgentPassport`` for a missing, repeated, invalid,
    expired, revoked or unverifiable passport, 403 for a genuine passport
    without the scope. ``optional=True`` never refuses and returns the
    verdict, or None without a header.
    """

    def __init__(
        self,
        trust: AsyncTrust,
        *,
        scope: str | None = None,
        header: str = X402_PASSPORT_HEADER,
        optional: bool = False,
        scheme_name: str = SCHEME_NAME,
        description: str | None = "An agent passport (Falcon-1024 signed credential).",
    ) -> None:
        super().__init__(name=header, scheme_name=scheme_name, description=description, auto_error=not optional)
        self.gate: Gate[AsyncTrust, Request] = Gate(trust=trust, required_scope=scope, optional=optional, header=header)

    async def __call__(self, request: Request) -> PassportVerdict | None:  # type: ignore[override]
        values = request.headers.getlist(self.gate.header)
        verdict, _, answer = await self.gate.admit_async(
            values[0] if values else None, request, repeated=len(values) > 1
        )
        if answer is not None:
            raise PassportRefused(answer)
        return verdict


def require_passport(
    trust: AsyncTrust, scope: str | None = None, *, header: str = X402_PASSPORT_HEADER
) -> PassportHeader:
    """The dependency for a route that needs a verified passport (with ``scope``).

    Use it as ``Security(require_passport(trust, scope=...))`` or with
    ``Depends``; the handler receives the :class:`PassportVerdict`.
    """
    return PassportHeader(trust, scope=scope, header=header)
