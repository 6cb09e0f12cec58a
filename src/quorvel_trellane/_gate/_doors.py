"""What the framework-free doors share: the ASGI header scan and senders, the WSGI sender,
and the middleware's options (public paths, the readiness path).
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable, Iterable, MutableMapping
from typing import TYPE_CHECKING, Any, Final, Generic, Protocol, TypeVar

from quorvel_trellane._gate._admission import Admission, Gate, RequiredScope
from quorvel_trellane._gate._answers import CLOSE_POLICY_VIOLATION, Answer
from quorvel_trellane._gate._paths import public_path_test
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict

if TYPE_CHECKING:
    from wsgiref.types import StartResponse

    from quorvel_trellane.observe import Readiness

__all__ = [
    "Middleware",
    "Reply",
    "admit_scope",
    "refuse_handshake",
    "scan_headers",
    "send_answer",
    "start_answer",
    "with_verdict",
]

#: The key of an ASGI scope's "state" that holds the verdict (Starlette's
#: ``request.state.agent_passport``).
STATE_KEY: Final = "agent_passport"

_Trust = TypeVar("_Trust")
_Context = TypeVar("_Context")
_App = TypeVar("_App")

_Send = Callable[[MutableMapping[str, Any]], Awaitable[None]]
_Receive = Callable[[], Awaitable[MutableMapping[str, Any]]]


def scan_headers(headers: Iterable[tuple[bytes, bytes]], name: bytes) -> tuple[bytes | None, bool]:
    """The value of header ``name`` (lower-case bytes) among an ASGI request's
    ``headers``, and whether it came more than once (then the first copy)."""
    size = len(name)
    found: bytes | None = None
    for key, value in headers:
        # Servers send lower-case names; the second test is for one that
        # keeps the client's spelling.
        if key == name or (len(key) == size and key.lower() == name):
            if found is not None:
                return found, True
            found = value
    return found, False


async def admit_scope(gate: Gate[Any, Any], scope: MutableMapping[str, Any]) -> Admission:
    """The admission of an ASGI request (HTTP or websocket): its header scanned once."""
    found, repeated = scan_headers(scope["headers"], gate.header_key)
    return await gate.admit_async(found, scope, repeated=repeated)


class Reply(Protocol):
    """What a door sends: an :class:`Answer`, or the readiness probe's."""

    @property
    def code(self) -> int: ...
    @property
    def body(self) -> bytes: ...
    @property
    def headers(self) -> tuple[tuple[str, str], ...]: ...
    @property
    def status_line(self) -> str: ...


def with_verdict(scope: MutableMapping[str, Any], verdict: PassportVerdict | None) -> dict[str, Any]:
    """A copy of an ASGI ``scope`` whose state holds ``verdict`` under :data:`STATE_KEY`.

    A copy, so that a server sharing its scope or lifespan state across
    requests never sees one request's verdict in another.
    """
    state = scope.get("state")
    return {**scope, "state": {**state, STATE_KEY: verdict} if state else {STATE_KEY: verdict}}


def _asgi_headers(answer: Reply) -> list[tuple[bytes, bytes]]:
    return [(name.lower().encode("latin-1"), value.encode("latin-1")) for name, value in answer.headers]


async def send_answer(send: _Send, answer: Reply) -> None:
    """Send ``answer`` as an ASGI HTTP response: the start, then the whole body."""
    await send({"type": "http.response.start", "status": answer.code, "headers": _asgi_headers(answer)})
    await send({"type": "http.response.body", "body": answer.body})


async def refuse_handshake(scope: MutableMapping[str, Any], receive: _Receive, send: _Send, answer: Answer) -> None:
    """Refuse an ASGI websocket handshake: ``answer`` where the server offers
    the denial response extension, else a close before accept (1008)."""
    # The server asks with "websocket.connect" before it takes an answer to
    # the handshake; a client gone already needs none.
    if (await receive())["type"] != "websocket.connect":
        return
    if "websocket.http.response" in (scope.get("extensions") or {}):
        start = {"type": "websocket.http.response.start", "status": answer.code, "headers": _asgi_headers(answer)}
        await send(start)
        await send({"type": "websocket.http.response.body", "body": answer.body})
    else:
        await send({"type": "websocket.close", "code": CLOSE_POLICY_VIOLATION})


def start_answer(start_response: StartResponse, answer: Reply) -> list[bytes]:
    """Answer a WSGI request with ``answer``: its status line and headers, then its body."""
    start_response(answer.status_line, list(answer.headers))
    return [answer.body]


class Middleware(Gate[_Trust, _Context], Generic[_App, _Trust, _Context]):
    """A gate in front of an application (``_App``), the ASGI and WSGI middleware.

    The application is called only for a verified passport, or always with
    ``optional=True`` (with the verdict, or None without a header).
    Otherwise the middleware answers itself: 401 with ``WWW-Authenticate:
    AgentPassport`` for a missing header and for an "invalid", "expired",
    "revoked" or "unverifiable" passport; 403 for a genuine passport of
    another agent or without the required scope; 503 with ``Retry-After``
    when the trust could not obtain the issuer's key set or revocation list
    to judge the passport (``quorvel_trellane.trust.retry_after``). The body
    is JSON: ``{"status", "error_code", "error_message"}``, the status
    "missing" with the code "MISSING_PASSPORT" when there is no header.

    ``public_paths`` are the paths that need no passport (docs, the OpenAPI
    schema, health, the agent card): a request for one reaches the
    application unchecked, with the verdict None. An entry ending in "/"
    matches every path under it; any other entry matches exactly (the ASGI
    ``scope["path"]``, the WSGI ``environ["PATH_INFO"]``). A path with a
    "." or ".." segment, raw or percent-encoded, or an encoded "/", is
    never public.

    ``readiness_path`` is one exact path (even one ending in "/") that the
    middleware answers itself, for a load balancer's readiness probe: 200,
    or 503 while the trust cannot verify, with the reasons as codes in JSON
    (``quorvel_trellane.observe.Readiness``).
    """

    def __init__(
        self,
        app: _App,
        *,
        trust: _Trust,
        required_scope: RequiredScope[_Context] = None,
        optional: bool = False,
        header: str = X402_PASSPORT_HEADER,
        public_paths: Iterable[str] = (),
        readiness_path: str | None = None,
    ) -> None:
        super().__init__(trust=trust, required_scope=required_scope, optional=optional, header=header)
        self.app = app
        #: The readiness probe served at ``readiness_path``, or None.
        self.readiness: Readiness | None = None
        self.readiness_path = readiness_path
        if readiness_path is not None:
            from quorvel_trellane.observe._readiness import Readiness  # only for a server that asks for it

            self.readiness = Readiness(trust)
        #: Whether a request path (decoded, and as sent) needs no passport;
        #: None when every path needs one.
        self.is_public = public_path_test(public_paths, () if readiness_path is None else (readiness_path,))
