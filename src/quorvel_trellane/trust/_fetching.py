"""The package's HTTP client: one GET of an issuer document, within bounds.

Both the trust layer and the command fetch through :class:`HttpFetch`:

- one deadline for the whole exchange (connecting, the TLS handshake,
  every read), so a server that trickles its answer is cut off;
- a size cap applied while the body is read, never after;
- https only (plain http from loopback hosts, or when the caller allows it);
  redirects are followed to https only, and at most five of them;
- from an issuer that is not itself on this machine or a private network,
  no connection (a redirect's, or the issuer's own name resolving
  elsewhere later) ever reaches a loopback, private, link-local or
  unspecified address: the address is checked before connecting and again
  as connected.

The document paths and the issuer URL's shape are decided in
``_addresses``, one connection under its deadline in ``_connection``.
"""

from __future__ import annotations

import http.client
import socket
import ssl
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Final, TypeAlias
from urllib.parse import urljoin, urlsplit

from quorvel_trellane._internal.text import escaped
from quorvel_trellane.trust._addresses import Reach, check_scheme
from quorvel_trellane.trust._connection import Connection, DeadlineSSLSocket
from quorvel_trellane.trust._errors import FetchError

__all__ = ["CheckedFetch", "Fetch", "Fetcher", "HttpFetch"]

#: The library's Fetcher: URL in, document body out.
Fetcher: TypeAlias = Callable[[str], bytes | bytearray | str]

_MAX_REDIRECTS: Final = 5
_READ_CHUNK: Final = 64 * 1024
_REDIRECTS: Final = frozenset({301, 302, 303, 307, 308})


def _max_age(cache_control: str | None) -> float | None:
    for directive in (cache_control or "").split(","):
        name, _, value = directive.strip().partition("=")
        if name.lower() == "max-age":
            try:
                return float(int(value.strip().strip('"')))
            except ValueError:
                return None
    return None


@dataclass
class _Cached:
    body: bytes
    etag: str | None
    last_modified: str | None
    max_age: float | None


class Fetch:
    """The Fetcher the trust layer hands to the retrieval functions.

    ``settle(url, ok)`` follows each retrieval: it keeps (or drops) what the
    exchange for ``url`` left behind and returns the document's max-age, if
    the server named one.
    """

    def __call__(self, url: str) -> bytes | bytearray | str:
        raise NotImplementedError

    def settle(self, url: str, ok: bool) -> float | None:
        return None

    def last_status(self, url: str) -> int | None:
        """The HTTP status of the last answer for ``url``, when this fetcher knows it."""
        return None

    def forget(self, url: str) -> None:
        pass

    def close(self) -> None:
        pass


class CheckedFetch(Fetch):
    """A caller's Fetcher, with the size cap applied to what it returns."""

    def __init__(self, fetch: Fetcher, max_bytes: int) -> None:
        self._fetch = fetch
        self._max_bytes = max_bytes

    def __call__(self, url: str) -> bytes | bytearray | str:
        body = self._fetch(url)
        size = len(body.encode("utf-8")) if isinstance(body, str) else len(body)
        if size > self._max_bytes:
            raise FetchError(url, f"body of {size} bytes exceeds max_document_bytes ({self._max_bytes})")
        return body


class HttpFetch(Fetch):
    """The built-in client: one GET with a whole-exchange deadline and a size cap.

    HTTPS only (plain http from loopback hosts, or with ``allow_http``),
    redirects followed to https only, connections kept off internal
    addresses unless the issuer is itself internal (see :class:`Reach`).
    With ``conditional``, the last good copy of each URL makes the next
    request conditional (a 304 answers with that copy) and the
    Cache-Control max-age is reported through :meth:`settle`.
    """

    def __init__(
        self,
        timeout: float,
        max_bytes: int,
        allow_http: bool,
        issuer_url: str | None = None,
        *,
        conditional: bool = True,
    ) -> None:
        self._timeout = timeout
        self._max_bytes = max_bytes
        self._allow_http = allow_http
        self._reach = Reach(issuer_url)
        self._conditional = conditional
        self._tls: ssl.SSLContext | None = None
        self._lock = threading.Lock()
        self._good: dict[str, _Cached] = {}  # last good copy of each URL
        self._pending: dict[str, _Cached] = {}  # what the running exchange of each URL got
        self._statuses: dict[str, int] = {}  # the HTTP status of each URL's last answer
        self._open: set[Connection] = set()
        self._closed = False

    def _tls_context(self) -> ssl.SSLContext:
        with self._lock:
            if self._tls is None:
                context = ssl.create_default_context()
                context.sslsocket_class = DeadlineSSLSocket
                self._tls = context
            return self._tls

    def __call__(self, url: str) -> bytes:
        deadline = time.monotonic() + self._timeout
        with self._lock:
            good = self._good.get(url)
            self._statuses.pop(url, None)
        target = url
        for _ in range(_MAX_REDIRECTS + 1):
            try:
                check_scheme(target, self._allow_http)
            except ValueError as exc:
                raise FetchError(target, str(exc)) from None
            status, reason, headers, body = self._exchange(target, deadline, good)
            with self._lock:
                self._statuses[url] = status
            if status in _REDIRECTS:
                location = headers.get("Location")
                if not location:
                    raise FetchError(target, f"HTTP {status} without a Location")
                following = urljoin(target, location)
                if urlsplit(following).scheme.lower() != "https":
                    raise FetchError(target, f"refusing a redirect to {escaped(following)} (https only)")
                target = following
                continue
            max_age = _max_age(headers.get("Cache-Control"))
            if status == 304 and good is not None:
                got = _Cached(
                    good.body, good.etag, good.last_modified, max_age if max_age is not None else good.max_age
                )
            elif status == 200:
                got = _Cached(body, headers.get("ETag"), headers.get("Last-Modified"), max_age)
            else:
                raise FetchError(target, f"HTTP {status} {escaped(reason)}".rstrip())
            if self._conditional:
                with self._lock:
                    self._pending[url] = got
            return got.body
        raise FetchError(url, f"more than {_MAX_REDIRECTS} redirects")

    def _exchange(
        self, url: str, deadline: float, good: _Cached | None
    ) -> tuple[int, str, http.client.HTTPMessage, bytes]:
        parts = urlsplit(url)
        tls = self._tls_context() if parts.scheme.lower() == "https" else None
        path = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        connection = Connection(
            url, parts.hostname or "", parts.port, deadline, tls, self._reach, lambda: self._check_open(url)
        )
        with self._lock:
            if self._closed:
                raise FetchError(url, "the trust is closed")
            self._open.add(connection)
        try:
            headers = {"Accept": "application/json", "Connection": "close"}
            if good is not None and good.etag:
                headers["If-None-Match"] = good.etag
            if good is not None and good.last_modified:
                headers["If-Modified-Since"] = good.last_modified
            connection.request("GET", path, headers=headers)
            response = connection.getresponse()
            if response.status != 200:
                return response.status, response.reason, response.headers, b""
            declared = response.getheader("Content-Length")
            if declared and declared.isdigit() and int(declared) > self._max_bytes:
                raise FetchError(url, f"body of {declared} bytes exceeds max_document_bytes ({self._max_bytes})")
            chunks: list[bytes] = []
            size = 0
            while chunk := response.read(_READ_CHUNK):
                size += len(chunk)
                if size > self._max_bytes:
                    raise FetchError(url, f"body exceeds max_document_bytes ({self._max_bytes})")
                chunks.append(chunk)
            return response.status, response.reason, response.headers, b"".join(chunks)
        finally:
            with self._lock:
                self._open.discard(connection)
            connection.close()

    def _check_open(self, url: str) -> None:
        # Called once a connection has its socket: close() either saw that
        # socket (and shut it down) or is seen here.
        with self._lock:
            if self._closed:
                raise FetchError(url, "the trust is closed")

    def settle(self, url: str, ok: bool) -> float | None:
        with self._lock:
            got = self._pending.pop(url, None)
            if got is None:
                return None
            if ok:
                self._good[url] = got
            return got.max_age

    def last_status(self, url: str) -> int | None:
        with self._lock:
            return self._statuses.get(url)

    def forget(self, url: str) -> None:
        with self._lock:
            self._good.pop(url, None)
            self._statuses.pop(url, None)

    def close(self) -> None:
        # Cut running exchanges short: shutting the socket down wakes a
        # thread blocked reading it.
        with self._lock:
            self._closed = True
            connections = list(self._open)
        for connection in connections:
            sock = connection.sock
            if sock is not None:
                try:
                    socket.socket.shutdown(sock, socket.SHUT_RDWR)
                except OSError:
                    pass
