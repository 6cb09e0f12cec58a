"""Client auth for agents: send the passport on every request, to its origin only.

    from quorvel_trellane.http import PassportAuth

    auth = PassportAuth()                        # from $QUORVEL_AGENT_PASSPORT
    requests.get(url, auth=auth)
    with httpx.Client(auth=auth, event_hooks=auth.event_hooks, follow_redirects=True) as client: ...
    async with httpx.AsyncClient(auth=auth, event_hooks=auth.async_event_hooks) as client: ...

The passport is a bearer credential, and is kept like ``Authorization``: a
redirect to another origin (scheme, host and port) never carries it, nor
does any later hop of that redirect chain. With requests the auth object
sees to it alone. httpx applies an auth object to the first request only
and copies its headers onto the redirects it follows, so with
``follow_redirects=True`` the client also needs the event hooks, which
see every hop.

Importing this module imports no HTTP client: the object works with any
client that calls its ``auth`` with a request carrying a mutable
``headers`` mapping and sends the request it returns, as ``requests`` and
``httpx`` (sync and async) do.
"""

from __future__ import annotations

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
    requests: passing ``auth=`` is enough. httpx: a client that follows
    redirects also takes ``event_hooks=auth.event_hooks`` (``httpx.Client``)
    or ``event_hooks=auth.async_event_hooks`` (``httpx.AsyncClient``);
    without them it would copy the header to every hop.
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
        """The ``event_hooks`` of an ``httpx.Client`` that follows redirects."""
        return {"request": [_keep_to_origin]}

    @property
    def async_event_hooks(self) -> dict[str, list[AsyncHook]]:
        """The ``event_hooks`` of an ``httpx.AsyncClient`` that follows redirects."""
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
            request.extensions = {**extensions, _ORIGIN_KEY: origin}  # type: ignore[attr-defined]
        return request

    def __repr__(self) -> str:
        # Never the credential itself: reprs end up in logs.
        state = "loaded" if self._credential is not None else "not loaded"
        return f"PassportAuth(<credential {state}>)"
