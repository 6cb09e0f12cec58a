"""The HTTP door: ``/check`` for nginx ``auth_request``, Traefik ForwardAuth, Caddy
``forward_auth`` and Envoy's HTTP ``ext_authz``, beside ``/ready`` and ``/metrics``.

An ASGI 3 application: any method on ``/check`` and ``/check/<anything>``
is a check; the answer is 200 with the identity headers, or the gate's
refusal. Nothing else of the request is read: no body, no client-set header
but the credential and the ``Idempotency-Key``.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable, MutableMapping
from typing import TYPE_CHECKING, Any, Final

from quorvel_trellane._gate import Answer, send_answer
from quorvel_trellane.gateway._check import Allow, Checker, credential_of, refusal
from quorvel_trellane.gateway._requirement import CHECK_PATH, RequirementError, Requirements

if TYPE_CHECKING:
    from quorvel_trellane.observe import PrometheusMetrics, Readiness

__all__ = ["CheckApp"]

_Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]
_Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]

_CHECK_UNDER: Final = CHECK_PATH + "/"
_AUTHORIZATION: Final = b"authorization"
_IDEMPOTENCY_KEY: Final = b"idempotency-key"
_EMPTY: Final = {"type": "http.response.body", "body": b""}


class CheckApp:
    """The check service as an ASGI application.

    ``checker`` decides; ``requirements`` reads the route's requirement from
    the query of exactly ``/check`` (``/check/<anything>`` gets the default
    requirement whatever its query says). ``readiness`` answers ``GET
    /ready``, ``metrics`` ``GET /metrics`` (404 without them).
    """

    def __init__(
        self,
        checker: Checker,
        requirements: Requirements | None = None,
        *,
        readiness: Readiness | None = None,
        metrics: PrometheusMetrics | None = None,
    ) -> None:
        self.checker = checker
        self.requirements = requirements or Requirements()
        self.readiness = readiness
        self.metrics = metrics
        self._header_key = checker.gate.header_key

    async def __call__(self, scope: MutableMapping[str, Any], receive: _Receive, send: _Send) -> None:
        if scope["type"] != "http":
            if scope["type"] == "lifespan":
                await _lifespan(receive, send)
            return
        path = scope["path"]
        if path == CHECK_PATH:
            try:
                requirement = self.requirements.of_query(scope["query_string"])
            except RequirementError as exc:
                await send_answer(send, refusal(500, "error", "REQUIREMENT_INVALID", str(exc)))
                return
        elif path.startswith(_CHECK_UNDER):
            requirement = self.requirements.default
        else:
            await self._other(path, send)
            return
        # One pass over the headers; a name is lowered only when its length
        # matches one of the three (servers send lower-case names).
        name = self._header_key
        size = len(name)
        passport: list[bytes] = []
        authorization: list[bytes] = []
        keys: list[bytes] = []
        for key, value in scope["headers"]:
            length = len(key)
            if length == size and (key == name or key.lower() == name):
                passport.append(value)
            elif length == 13 and (key == _AUTHORIZATION or key.lower() == _AUTHORIZATION):
                authorization.append(value)
            elif length == 15 and (key == _IDEMPOTENCY_KEY or key.lower() == _IDEMPOTENCY_KEY):
                keys.append(value)
        if len(passport) == 1 and not keys:
            credential: bytes | None = passport[0]
            repeated = False
        else:
            credential, repeated = credential_of(passport, authorization)
        checker = self.checker
        answer = checker.begin(credential, requirement, repeated=repeated)
        if type(answer) is not Allow and type(answer) is not Answer:
            idempotency_key = None
            if keys:
                if len(keys) > 1 or b"," in keys[0]:
                    refused = refusal(400, "error", "IDEMPOTENCY_KEY_INVALID", "repeated Idempotency-Key")
                    await send_answer(send, refused)
                    return
                idempotency_key = keys[0].decode("latin-1").strip() or None
            answer = await checker.finish(answer, requirement, idempotency_key)  # type: ignore[arg-type]
        if type(answer) is Allow:
            await send({"type": "http.response.start", "status": 200, "headers": answer.raw})
            await send(_EMPTY)
        else:
            await send_answer(send, answer)  # type: ignore[arg-type]

    async def _other(self, path: str, send: _Send) -> None:
        if path == "/ready" and self.readiness is not None:
            ready = self.readiness.answer()
            await _send(send, ready.code, list(ready.headers), ready.body)
        elif path == "/metrics" and self.metrics is not None:
            from prometheus_client import CONTENT_TYPE_LATEST, generate_latest  # installed: metrics were made

            body = generate_latest(self.metrics.registry)
            await _send(send, 200, [("Content-Type", CONTENT_TYPE_LATEST)], body)
        else:
            await send_answer(send, refusal(404, "error", "NOT_FOUND", f"nothing at {path[:200]!r}"))


async def _send(send: _Send, code: int, headers: list[tuple[str, str]], body: bytes) -> None:
    raw = [(name.lower().encode("latin-1"), value.encode("latin-1")) for name, value in headers]
    if not any(name == b"content-length" for name, _ in raw):
        raw.append((b"content-length", str(len(body)).encode("ascii")))
    await send({"type": "http.response.start", "status": code, "headers": raw})
    await send({"type": "http.response.body", "body": body})


async def _lifespan(receive: _Receive, send: _Send) -> None:
    while True:
        message = await receive()
        if message["type"] == "lifespan.startup":
            await send({"type": "lifespan.startup.complete"})
        elif message["type"] == "lifespan.shutdown":
            await send({"type": "lifespan.shutdown.complete"})
            return
