"""Which request paths need no passport: the public paths, matched so that no router reads another.

A leaf: it imports only ``urllib.parse``.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping
from typing import Final
from urllib.parse import unquote

__all__ = ["public_path_test", "raw_target"]


def public_path_test(
    paths: Iterable[str], exact: Iterable[str] = ()
) -> Callable[[str, str | bytes | None], bool] | None:
    """A test of a request path against ``paths``, the paths that need no passport.

    The test takes the decoded path a server hands on and, where the server
    gives it, the request target as sent (``raw``).

    An entry ending in "/" matches every path under it (``"/docs/"`` matches
    "/docs/" and "/docs/oauth2-redirect"); any other entry matches exactly
    that path. A path with a "." or ".." segment, raw or percent-encoded,
    or an encoded "/", is never public: a router that resolves it would
    serve another path. Each of ``exact`` (a readiness path) matches only
    itself, even one ending in "/". None when both are empty, so
    that a middleware without public paths pays nothing per request.
    """
    if isinstance(paths, (str, bytes)):
        raise TypeError("public_paths must be an iterable of paths, not a single str")
    exactly: set[str] = set()
    prefixes: list[str] = []
    for path, whole in [*((path, False) for path in paths), *((path, True) for path in exact)]:
        if not isinstance(path, str) or not path.startswith("/"):
            raise ValueError(f"a public path is a str starting with '/', not {path!r}")
        if path.endswith("/") and not whole:
            prefixes.append(path)
        else:
            exactly.add(path)
    if not exactly and not prefixes:
        return None
    starts = tuple(prefixes)
    frozen = frozenset(exactly)

    def is_public(path: str, raw: str | bytes | None = None) -> bool:
        if not (path in frozen or path.startswith(starts)) or _resolvable(path):
            return False
        # Servers decode the path they hand on ("%2F" becomes "/"); the
        # request's own text, where the server gives it, shows what they hid.
        return raw is None or not _resolvable(_path_of(raw))

    return is_public


# How many rounds of percent-decoding a path is looked through: a router or
# proxy that decodes twice still finds no dot segment in a public path.
_DECODING_ROUNDS: Final = 3


def raw_target(environ: Mapping[str, object]) -> str | None:
    """The request target as sent, where a WSGI server gives it (gunicorn's
    ``RAW_URI``, uWSGI's and mod_wsgi's ``REQUEST_URI``); None otherwise."""
    for key in ("RAW_URI", "REQUEST_URI"):
        value = environ.get(key)
        if isinstance(value, str):
            return value
    return None


def _path_of(raw: str | bytes) -> str:
    """The path part of a request target as sent (an ASGI ``raw_path``, a
    server's ``RAW_URI``), without its query."""
    text = raw.decode("latin-1") if isinstance(raw, bytes) else raw
    return text.partition("?")[0]


def _resolvable(path: str) -> bool:
    """Whether a router could read ``path`` as another path: it has a "." or
    ".." segment, raw or percent-encoded, or an encoded "/" (or "\\").

    "/docs/../pay" matches "/docs/" as text, yet a router that resolves dot
    segments serves "/pay": such a path is never public, whatever it
    matches. Asked only of a path that would otherwise be public.
    """
    for _ in range(_DECODING_ROUNDS):
        lowered = path.lower()
        if "%2f" in lowered or "%5c" in lowered:
            return True
        for segment in lowered.replace("\\", "/").split("/"):
            if segment.replace("%2e", ".") in (".", ".."):
                return True
        decoded = unquote(path)
        if decoded == path:
            return False
        path = decoded
    return True  # still encoded after every round: not a path to trust
