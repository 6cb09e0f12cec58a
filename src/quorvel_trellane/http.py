"""Client auth for agents: send the passport on every request, to its origin only.

    from quorvel_trellane.http import PassportAuth

    auth = PassportAuth()                        # from $QUORVEL_AGENT_PASSPORT
    requests.get(url, auth=auth)
    with httpx.Client(auth=auth, follow_redirects=True) as client: ...
    async with httpx.AsyncClient(auth=auth, follow_redirects=True) as client: ...

The passport is a bearer credential, and is kept like ``Authorization``: a
redirect to another origin (scheme, host and port) never carries it, nor
does any later hop of that redirect chain. The auth object sees to it
alone. httpx applies an auth object to the first request only and copies
its headers and extensions onto the redirects it follows; the auth puts a
``trace`` extension on the request, which httpx's transport calls with
every hop's wire request before writing its headers, and there the header
is taken off a hop that leaves the origin. The event hooks
(``event_hooks=auth.event_hooks``) do the same one step earlier, and may
still be passed.

Importing this module imports no HTTP client: the object works with any
client that calls its ``auth`` with a request carrying a mutable
``headers`` mapping and sends the request it returns, as ``requests`` and
``httpx`` (sync and async) do.
"""

from __future__ import annotations

import inspect
import sys
from collections.abc import Awaitable, Callable
from typing import Any, Final, Protocol, TypeAlias, TypeVar
from urllib.parse import urljoin, urlsplit

from quorvel_trellane._internal.presenting import checked, own_credential
from quorvel_trellane.passport import X402_PASSPORT_HEADER

__all__ = ["PassportAuth", "X402_PASSPORT_HEADER"]


class _HeaderMap(Protocol):
    def __setitem__(self, key: str, value: str, /) -> None: ...


class _Request(Protocol):
    @property
    def headers(self) -> _HeaderMap: ...


_R = TypeVar("_R", bound=_Request)

#: A request event hook of httpx.Client, and of httpx.AsyncClient.
SyncHook: TypeAlias = Callable[[Any], None]
AsyncHook: TypeAlias = Callable[[Any], Awaitable[None]]

_GIVEN: Final = "PassportAuth was given text that is not a credential"
_HINT: Final = "PassportAuth(load_credential(PATH))"

_Origin: TypeAlias = tuple[str, str, int]
_DEFAULT_PORTS: Final = {"http": 80, "https": 443}

#: The key of an httpx request's extensions that holds the origin the
#: passport was given for. httpx hands a request's extensions on to the
#: redirects it builds from it, so every hop carries it.
_ORIGIN_KEY: Final = "quorvel.passport_origin"


def _origin(url: str) -> _Origin | None:
    """The origin of an http(s) URL, or None when it has none or does not parse."""
    try:
        parts = urlsplit(url)
        port = parts.port
    except ValueError:
        return None
    scheme = parts.scheme.lower()
    host = parts.hostname
    if not host or scheme not in _DEFAULT_PORTS:
        return None
    return scheme, host, _DEFAULT_PORTS[scheme] if port is None else port


def _same_origin(url: str, origin: _Origin) -> bool:
    found = _origin(url)
    return found is not None and found == origin


def _requests_target(response: Any) -> str | None:
    """Where requests will go next after ``response``: its Location, read
    and resolved as requests reads it; None when that cannot be told."""
    location = response.headers.get("location")
    if not isinstance(location, str):
        return None
    try:
        location = location.encode("latin-1").decode("utf-8")
    except UnicodeError:
        return None
    # A character that URL parsers read differently (backslashes,
    # whitespace, controls) makes the target unknown, hence another origin.
    if any(c == "\\" or c.isspace() or ord(c) < 0x20 or ord(c) == 0x7F for c in location):
        return None
    return urljoin(str(response.url), location)


class _KeepToOrigin:
    """requests response hook: before requests builds the next hop of a
    redirect from the request just answered, take the passport off that
    request unless the hop stays at ``origin``. Once off, it stays off for
    the rest of the chain, as each hop is copied from the one before."""

    __slots__ = ("origin",)

    def __init__(self, origin: _Origin | None) -> None:
        self.origin = origin

    def __call__(self, response: Any, **kwargs: Any) -> None:
        if not getattr(response, "is_redirect", False):
            return
        target = _requests_target(response)
        if self.origin is None or target is None or not _same_origin(target, self.origin):
            response.request.headers.pop(X402_PASSPORT_HEADER, None)


def _keep_to_origin(request: Any) -> None:
    """httpx request hook: a hop away from the origin the passport was
    given for goes without it."""
    extensions = getattr(request, "extensions", None)
    if not isinstance(extensions, dict) or _ORIGIN_KEY not in extensions:
        return  # not a request this auth was applied to
    origin = extensions[_ORIGIN_KEY]
    if origin is None or not _same_origin(str(request.url), origin):
        request.headers.pop(X402_PASSPORT_HEADER, None)


async def _keep_to_origin_async(request: Any) -> None:
    _keep_to_origin(request)


_HEADER_BYTES: Final = X402_PASSPORT_HEADER.lower().encode("latin-1")


async def _traced() -> None:
    return None


class _OriginTrace:
    """httpx's transport ``trace`` extension: the one per-hop step that a
    client set up with ``auth=`` alone runs.

    httpx copies a request's headers and extensions onto every redirect it
    follows, and its transport calls the "trace" extension with each hop's
    wire request just before the headers are written. There, a hop that
    leaves the origin the passport was given for has the header taken off
    the wire request, as does every hop after it. A trace of the caller's
    own is called after, and its answer is the answer.
    """

    __slots__ = ("origin", "inner", "left")

    def __init__(self, origin: _Origin | None, inner: Any) -> None:
        self.origin = origin
        self.inner = inner
        self.left = False  # the chain has left the origin: no hop carries the passport again

    def __call__(self, name: str, info: dict[str, Any]) -> Any:
        if name.endswith(".send_request_headers.started"):
            self._keep(info.get("request"))
        if self.inner is not None:
            return self.inner(name, info)
        # The async transport awaits what its trace returns, the sync one
        # refuses an awaitable: answer as the caller's kind asks.
        if sys._getframe(1).f_code.co_flags & inspect.CO_COROUTINE:
            return _traced()
        return None

    def _keep(self, wire: Any) -> None:
        headers = getattr(wire, "headers", None)
        if not isinstance(headers, list):
            return
        if not self.left:
            self.left = self.origin is None or _wire_origin(getattr(wire, "url", None)) != self.origin
        if self.left:
            headers[:] = [(k, v) for k, v in headers if bytes(k).lower() != _HEADER_BYTES]


def _wire_origin(url: Any) -> _Origin | None:
    """The origin of a transport's request URL (scheme, host and port as bytes)."""
    try:
        scheme = bytes(url.scheme).decode("ascii").lower()
        host = bytes(url.host).decode("ascii").lower()
        port = url.port
    except (AttributeError, TypeError, UnicodeError):
        return None
    if scheme not in _DEFAULT_PORTS or not host:
        return None
    return scheme, host, _DEFAULT_PORTS[scheme] if port is None else port


class PassportAuth:
    """Add the "X-Agent-Passport" header to each request, for its origin only.

    ``credential`` is the passport to present, its text (surrounding
    whitespace is dropped); with None, the agent's own passport is loaded as
    ``load_credential()`` loads it, from the ``QUORVEL_AGENT_PASSPORT``
    environment variable, on the first request, and kept. The variable holds
    the credential's text itself, not the name of a file. Either way a value
    that cannot be a credential (characters outside base64url) raises
    ``PassportError`` with a hint, and nothing is sent; to present a file,
    pass ``load_credential(path)``. The header is set on each request this
    auth is applied to, replacing any value already there.

    A redirect to another origin (scheme, host or port; an http to https
    upgrade included) never carries the header, nor do the hops after it.
    Passing ``auth=`` is enough, with requests and with httpx (sync and
    async), whose transport calls the ``trace`` extension this auth puts on
    each request (a ``trace`` of the caller's own is still called). The
    ``event_hooks`` and ``async_event_hooks`` properties strip the header at
    httpx's own request hooks too, for transports that call no trace.
    """

    def __init__(self, credential: str | None = None) -> None:
        self._credential = None if credential is None else checked(credential, _GIVEN, _HINT)

    @property
    def credential(self) -> str:
        """The credential presented, loaded on first use when none was given."""
        credential = self._credential
        if credential is None:
            credential = self._credential = own_credential(None, _HINT)
        return credential

    @property
    def event_hooks(self) -> dict[str, list[SyncHook]]:
        """``event_hooks`` for an ``httpx.Client``: the same check at httpx's request hooks."""
        return {"request": [_keep_to_origin]}

    @property
    def async_event_hooks(self) -> dict[str, list[AsyncHook]]:
        """``event_hooks`` for an ``httpx.AsyncClient``: the same check at httpx's request hooks."""
        return {"request": [_keep_to_origin_async]}

    def __call__(self, request: _R) -> _R:
        request.headers[X402_PASSPORT_HEADER] = self.credential
        origin = _origin(str(getattr(request, "url", "")))
        register = getattr(request, "register_hook", None)
        if callable(register):  # requests
            hooks = getattr(request, "hooks", {}).get("response", [])
            if not any(isinstance(hook, _KeepToOrigin) for hook in hooks):
                register("response", _KeepToOrigin(origin))
        extensions = getattr(request, "extensions", None)
        if isinstance(extensions, dict):  # httpx
            # A new dict: the caller's own extensions are left as they were.
            trace = _OriginTrace(origin, extensions.get("trace"))
            request.extensions = {**extensions, _ORIGIN_KEY: origin, "trace": trace}  # type: ignore[attr-defined]
        return request

    def __repr__(self) -> str:
        # Never the credential itself: reprs end up in logs.
        state = "loaded" if self._credential is not None else "not loaded"
        return f"PassportAuth(<credential {state}>)"
