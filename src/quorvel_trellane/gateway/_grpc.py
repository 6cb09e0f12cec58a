"""The gRPC door: Envoy's ``envoy.service.auth.v3.Authorization/Check``.

The messages and the service stubs are the ``xds-protos`` package's (the
gRPC project's Python build of Envoy's data-plane API), served with
``grpcio``'s asyncio server: ``pip install 'quorvel-trellane[gateway]'``.
The route's requirement comes from the check's ``context_extensions``
(``scope``, ``price_microusd``), which only the gateway's config sets.
An allow sets the four identity headers, overwriting the client's; a
denial carries the gate's status, headers and JSON body, which Envoy
passes to the client as they are.
"""

from __future__ import annotations

from typing import Any, Final

import grpc  # type: ignore[import-untyped]
from envoy.config.core.v3 import base_pb2  # type: ignore[import-untyped]
from envoy.service.auth.v3 import external_auth_pb2, external_auth_pb2_grpc  # type: ignore[import-untyped]
from envoy.type.v3 import http_status_pb2  # type: ignore[import-untyped]
from google.rpc import code_pb2, status_pb2  # type: ignore[import-untyped]

from quorvel_trellane._gate import Answer
from quorvel_trellane.gateway._check import Allow, Checker, credential_of, refusal
from quorvel_trellane.gateway._requirement import RequirementError, Requirements

__all__ = ["AuthorizationService", "grpc_server"]

# The gRPC status of a denial, by its HTTP code: Envoy reads the HTTP answer
# from the denied response, the status only tells it the check said no.
_STATUS: Final = {400: code_pb2.INVALID_ARGUMENT, 401: code_pb2.UNAUTHENTICATED, 403: code_pb2.PERMISSION_DENIED}
_OVERWRITE: Final = base_pb2.HeaderValueOption.OVERWRITE_IF_EXISTS_OR_ADD
_KEPT: Final = 1024


def _option(name: str, value: str) -> Any:
    return base_pb2.HeaderValueOption(header=base_pb2.HeaderValue(key=name, value=value), append_action=_OVERWRITE)


def _header(value: str | None) -> list[bytes]:
    # Envoy joins a repeated header's values with commas, which the gate
    # reads as a repeated credential.
    return [] if value is None else [value.encode("utf-8", "surrogateescape")]


class AuthorizationService:
    """The ``Authorization`` service's ``Check``, answering with ``checker``'s decision."""

    def __init__(self, checker: Checker, requirements: Requirements | None = None) -> None:
        self.checker = checker
        self.requirements = requirements or Requirements()
        self._header = checker.gate.header.lower()
        self._allowed: dict[int, tuple[Allow, Any]] = {}

    async def Check(self, request: Any, context: Any) -> Any:
        headers = request.attributes.request.http.headers
        try:
            requirement = self.requirements.of_extensions(request.attributes.context_extensions)
        except RequirementError as exc:
            return _denied(refusal(500, "error", "REQUIREMENT_INVALID", str(exc)))
        credential, repeated = credential_of(_header(headers.get(self._header)), _header(headers.get("authorization")))
        key = headers.get("idempotency-key")
        if key is not None and "," in key:
            return _denied(refusal(400, "error", "IDEMPOTENCY_KEY_INVALID", "repeated Idempotency-Key"))
        answer = await self.checker.check(credential, requirement, repeated=repeated, idempotency_key=key or None)
        if isinstance(answer, Allow):
            return self._allow(answer)
        return _denied(answer)

    def _allow(self, allow: Allow) -> Any:
        made = self._allowed.get(id(allow))
        if made is not None and made[0] is allow:
            return made[1]
        response = external_auth_pb2.CheckResponse(
            status=status_pb2.Status(code=code_pb2.OK),
            ok_response=external_auth_pb2.OkHttpResponse(headers=[_option(n, v) for n, v in allow.headers]),
        )
        if len(self._allowed) >= _KEPT:
            self._allowed.clear()
        self._allowed[id(allow)] = (allow, response)
        return response


def _denied(answer: Answer) -> Any:
    return external_auth_pb2.CheckResponse(
        status=status_pb2.Status(code=_STATUS.get(answer.code, code_pb2.UNAVAILABLE)),
        denied_response=external_auth_pb2.DeniedHttpResponse(
            status=http_status_pb2.HttpStatus(code=answer.code),
            # Envoy counts the body itself.
            headers=[_option(n, v) for n, v in answer.headers if n != "Content-Length"],
            body=answer.body.decode("utf-8"),
        ),
    )


def grpc_server(service: AuthorizationService, address: str) -> tuple[Any, int]:
    """A ``grpc.aio`` server with ``service`` on ``address`` (HOST:PORT), not started yet, and its port."""
    server = grpc.aio.server()
    external_auth_pb2_grpc.add_AuthorizationServicer_to_server(service, server)
    port = server.add_insecure_port(address)
    if port == 0:
        raise OSError(f"cannot listen on {address} for gRPC")
    return server, port
