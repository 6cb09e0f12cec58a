"""Client auth for agents: send the passport on every request, to its origin only.

    from quorvel_trellane.http import PassportAuth

    auth = PassportAuth()                        # from $QUORVEL_AGENT_PASSPORT
    requests.get(url, auth=auth)
    with httpx.Client(auth=auth, event_hooks=auth.event_hooks, follow_redirects=True) as client: ...
    async with httpx.AsyncClient(auth=auth, event_hooks=auth.async_event_hooks, follow_redirects=True) as client: ...

The passport is a bearer credential, and is kept like ``Authorization``: a
redirect to another origin (scheme, host and port) never carries it, nor
does any later hop of that redirect chain. Each client is held to it
through its own documented hooks:

- requests copies the request it just sent to build the next hop, and
  calls the request's response hooks before: the auth registers one that
  takes the passport off a request whose next hop leaves its origin.
- httpx (and httpx2) apply an auth to the first request of a chain only,
  and copy its headers and extensions onto the redirects the client
  follows itself; its request event hooks see every hop. The auth marks
  the first request with the chain's origin (an extension, which httpx
  hands on to each hop), and ``auth.event_hooks`` (``async_event_hooks``)
  take the passport off a hop away from it. A redirect followed by hand,
  sending ``response.next_request`` (as the MCP SDK does), passes the auth
  again, which reads the same mark.

Importing this module imports no HTTP client: the object works with any
client that calls its ``auth`` with a request carrying a mutable
``headers`` mapping and sends the request it returns, as ``requests`` and
``httpx`` (sync and async) do.
"""

from __future__ import annotations

from collections.abc import Awaitable, Callable
from typing import Any, Final, Protocol, TypeAlias, TypeVar
from urllib.parse import urljoin, urlsplit

from quorvel_trellane._internal.presenting import Presented
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

#: The key of an httpx request's extensions that holds its redirect chain
#: (``_Chain``). httpx hands a request's extensions on to the redirects it
#: builds from it, so every hop carries the same one.
_CHAIN_KEY: Final = "quorvel.passport_chain"


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


class _Chain:
    """An httpx redirect chain: the origin the passport was given for, and
    whether a hop has left it (then no later hop carries the passport,
    even one back at the origin)."""

    __slots__ = ("left", "origin")

    def __init__(self, origin: _Origin | None) -> None:
        self.origin = origin
        self.left = origin is None

    def keeps(self, url: str) -> bool:
        """Whether the hop to ``url`` may carry the passport."""
        if not self.left and self.origin is not None and not _same_origin(url, self.origin):
            self.left = True
        return not self.left


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
    given for goes without it, as does every hop after it."""
    extensions = getattr(request, "extensions", None)
    chain = extensions.get(_CHAIN_KEY) if isinstance(extensions, dict) else None
    if isinstance(chain, _Chain) and not chain.keeps(str(request.url)):
        request.headers.pop(X402_PASSPORT_HEADER, None)


async def _keep_to_origin_async(request: Any) -> None:
    _keep_to_origin(request)


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
    With requests, ``auth=`` is enough. httpx applies an auth to the first
    request only: a client that follows redirects itself
    (``follow_redirects=True``) also takes ``event_hooks=auth.event_hooks``
    (``auth.async_event_hooks`` for an ``AsyncClient``), the request hooks
    httpx runs on every hop. A redirect followed by hand (sending
    ``response.next_request``) passes this auth again and keeps the rule.
    """

    def __init__(self, credential: str | None = None) -> None:
        self._presented = Presented(credential, _GIVEN, _HINT)

    @property
    def credential(self) -> str:
        """The credential presented, loaded on first use when none was given."""
        return self._presented.text

    @property
    def event_hooks(self) -> dict[str, list[SyncHook]]:
        """``event_hooks`` for an ``httpx.Client``: each hop of a redirect checked at httpx's request hooks."""
        return {"request": [_keep_to_origin]}

    @property
    def async_event_hooks(self) -> dict[str, list[AsyncHook]]:
        """``event_hooks`` for an ``httpx.AsyncClient``: each hop of a redirect checked at httpx's request hooks."""
        return {"request": [_keep_to_origin_async]}

    def __call__(self, request: _R) -> _R:
        credential = self.credential
        url = str(getattr(request, "url", ""))
        extensions = getattr(request, "extensions", None)
        if isinstance(extensions, dict):  # httpx
            chain = extensions.get(_CHAIN_KEY)
            if not isinstance(chain, _Chain):
                # A new dict: the caller's own extensions are left as they were.
                chain = _Chain(_origin(url))
                request.extensions = {**extensions, _CHAIN_KEY: chain}  # type: ignore[attr-defined]
            if not chain.keeps(url):
                # A hop of a redirect followed by hand, away from the origin.
                request.headers.pop(X402_PASSPORT_HEADER, None)  # type: ignore[attr-defined]
                return request
        request.headers[X402_PASSPORT_HEADER] = credential
        register = getattr(request, "register_hook", None)
        if callable(register):  # requests
            hooks = getattr(request, "hooks", {}).get("response", [])
            if not any(isinstance(hook, _KeepToOrigin) for hook in hooks):
                register("response", _KeepToOrigin(_origin(url)))
        return request

    def __repr__(self) -> str:
        return f"PassportAuth(<credential {self._presented.state}>)"
