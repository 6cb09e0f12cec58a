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

The document paths and the issuer URL's shape are decided here too.
"""

from __future__ import annotations

import http.client
import ipaddress
import math
import socket
import ssl
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Final, TypeAlias
from urllib.parse import urljoin, urlsplit

from quorvel_trellane._internal.text import escaped

__all__ = [
    "CRL_PREFIX",
    "WELLKNOWN_PATH",
    "CheckedFetch",
    "Fetch",
    "Fetcher",
    "HttpFetch",
    "_FetchError",
    "check_issuer_url",
    "check_scheme",
    "crl_url",
    "is_loopback_host",
    "key_set_url",
]

#: The library's Fetcher: URL in, document body out.
Fetcher: TypeAlias = Callable[[str], bytes | bytearray | str]

#: Where an issuer publishes its key set, and its revocation lists (one per kid).
WELLKNOWN_PATH: Final = "/.well-known/pqc-keys.json"
CRL_PREFIX: Final = "/passport/crl/"

_MAX_REDIRECTS: Final = 5
_READ_CHUNK: Final = 64 * 1024
_REDIRECTS: Final = frozenset({301, 302, 303, 307, 308})


class _FetchError(Exception):
    """A document could not be fetched or does not have the published shape.

    ``url`` is the document's URL; ``reason`` says what went wrong, with
    any text the server sent escaped.
    """

    def __init__(self, url: str, reason: str) -> None:
        super().__init__(f"{escaped(url)}: {reason}")
        self.url = url
        self.reason = reason


def key_set_url(issuer_url: str) -> str:
    """The key set's URL under an issuer base URL."""
    return issuer_url.rstrip("/") + WELLKNOWN_PATH


def crl_url(issuer_url: str, kid: str) -> str:
    """The URL of the revocation list for ``kid`` under an issuer base URL."""
    return f"{issuer_url.rstrip('/')}{CRL_PREFIX}{kid}.json"


def is_loopback_host(host: str | None) -> bool:
    """Whether a URL's host names this machine: "localhost", a "*.localhost" name, a loopback address."""
    if not host:
        return False
    name = host.lower().rstrip(".")
    if name == "localhost" or name.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(name.partition("%")[0]).is_loopback
    except ValueError:
        return False


def check_scheme(url: str, allow_http: bool) -> None:
    """Refuse (ValueError) a URL that is neither https nor allowed plain http."""
    parts = urlsplit(url)
    scheme = parts.scheme.lower()
    if scheme == "https" or (scheme == "http" and (allow_http or is_loopback_host(parts.hostname))):
        return
    raise ValueError(
        f"refusing {escaped(url)!r}: only https is fetched (plain http only from a loopback host, "
        "or with allow_http=True)"
    )


def check_issuer_url(url: str) -> None:
    """Refuse (ValueError) an issuer base URL with a query, a fragment or a user name.

    The document paths are appended to the base URL, so a query or a
    fragment would swallow them; credentials in the URL would be dropped
    on the wire and shown in every status and log line.
    """
    parts = urlsplit(url)
    for present, what in (
        ("?" in url, "a query"),
        ("#" in url, "a fragment"),
        ("@" in parts.netloc, "a user name or password"),
    ):
        if present:
            raise ValueError(
                f"refusing the issuer URL {escaped(url)!r}: it holds {what}; "
                "give the issuer's base URL, such as https://issuer.example"
            )


# --- Addresses --------------------------------------------------------------------


def _internal_address(sockaddr: tuple[Any, ...]) -> bool:
    """Whether a socket address is on this machine or a private network.

    Loopback, private, link-local and unspecified addresses count, in
    either family (an IPv4 address mapped into IPv6 counts as itself).
    """
    try:
        address = ipaddress.ip_address(str(sockaddr[0]).partition("%")[0])
    except ValueError:
        return True  # not an IP address at all: refuse rather than guess
    if isinstance(address, ipaddress.IPv6Address) and address.ipv4_mapped is not None:
        address = address.ipv4_mapped
    return address.is_loopback or address.is_private or address.is_link_local or address.is_unspecified


class _Reach:
    """Which addresses one issuer's fetches may connect to.

    An issuer named by a loopback or private address, or by "localhost",
    is local, and may send its client anywhere. One named otherwise is
    judged by the address its own name first connects to; from a public
    issuer, no connection reaches an internal address.
    """

    def __init__(self, issuer_url: str | None) -> None:
        parts = urlsplit(issuer_url or "")
        host = parts.hostname
        self.host = (host or "").lower()
        self.local: bool | None = None
        if host is not None and _is_ip(host):
            try:
                port = parts.port or (443 if parts.scheme.lower() == "https" else 80)
            except ValueError:
                port = 0
            self.local = _internal_address((host, port))
        elif is_loopback_host(host):
            self.local = True
        self._lock = threading.Lock()

    def admits(self, host: str, sockaddr: tuple[Any, ...]) -> bool:
        internal = _internal_address(sockaddr)
        with self._lock:
            if self.local is None and host.lower() == self.host:
                self.local = internal
            return bool(self.local) or not internal


def _is_ip(host: str) -> bool:
    try:
        ipaddress.ip_address(host.partition("%")[0])
    except ValueError:
        return False
    return True


# --- Sockets with one deadline -------------------------------------------------------


def _left(deadline: float) -> float:
    remaining = deadline - time.monotonic()
    if remaining <= 0:
        raise TimeoutError("the fetch deadline has passed")
    return remaining


class _DeadlineSocket(socket.socket):
    # Every receive waits at most until the deadline of the whole exchange,
    # so a server that trickles its answer is cut off; a plain socket timeout
    # would bound each read only.
    deadline = math.inf

    def recv_into(self, buffer: Any, nbytes: int = 0, flags: int = 0) -> int:
        self.settimeout(_left(self.deadline))
        return super().recv_into(buffer, nbytes, flags)


class _DeadlineSSLSocket(ssl.SSLSocket):
    deadline = math.inf

    def recv_into(self, buffer: Any, nbytes: int | None = None, flags: int = 0) -> int:
        self.settimeout(_left(self.deadline))
        return super().recv_into(buffer, nbytes, flags)


def _connect(url: str, host: str, port: int, deadline: float, reach: _Reach) -> socket.socket:
    # socket.create_connection, with each address checked before and as connected.
    refused: _FetchError | None = None
    error: OSError | None = None
    for family, kind, proto, _, sockaddr in socket.getaddrinfo(host, port, type=socket.SOCK_STREAM):
        if not reach.admits(host, sockaddr):
            refused = _FetchError(url, f"refusing to connect to {sockaddr[0]}, an internal address")
            continue
        sock = socket.socket(family, kind, proto)
        try:
            sock.settimeout(_left(deadline))
            sock.connect(sockaddr)
            peer = sock.getpeername()
            if not reach.admits(host, peer):
                raise _FetchError(url, f"refusing the connection to {peer[0]}, an internal address")
            return sock
        except OSError as exc:
            sock.close()
            error = exc
        except BaseException:
            sock.close()
            raise
    if refused is not None:
        raise refused
    raise error or OSError(f"no address for {host}")


class _Connection(http.client.HTTPConnection):
    def __init__(
        self,
        url: str,
        host: str,
        port: int | None,
        deadline: float,
        tls: ssl.SSLContext | None,
        reach: _Reach,
        connected: Callable[[], None],
    ) -> None:
        # The port is always given, so that an IPv6 literal is never parsed for one.
        super().__init__(host, port or (80 if tls is None else 443), timeout=_left(deadline))
        self._url = url
        self._deadline = deadline
        self._tls = tls
        self._reach = reach
        self._connected = connected

    def connect(self) -> None:
        raw = _connect(self._url, self.host, self.port, self._deadline, self._reach)
        try:
            if self._tls is None:
                plain = _DeadlineSocket(fileno=raw.detach())
                plain.deadline = self._deadline
                self.sock = plain
                self._connected()
            else:
                # The handshake is bounded by the socket timeout as a whole,
                # and runs once the socket is where close() can cut it short.
                raw.settimeout(_left(self._deadline))
                wrapped = self._tls.wrap_socket(raw, server_hostname=self.host, do_handshake_on_connect=False)
                assert isinstance(wrapped, _DeadlineSSLSocket)
                wrapped.deadline = self._deadline
                self.sock = wrapped
                self._connected()
                wrapped.do_handshake()
        except BaseException:
            raw.close()
            raise


# --- Fetchers ---------------------------------------------------------------------------


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
            raise _FetchError(url, f"body of {size} bytes exceeds max_document_bytes ({self._max_bytes})")
        return body


class HttpFetch(Fetch):
    """The built-in client: one GET with a whole-exchange deadline and a size cap.

    HTTPS only (plain http from loopback hosts, or with ``allow_http``),
    redirects followed to https only, connections kept off internal
    addresses unless the issuer is itself internal (see :class:`_Reach`).
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
        self._reach = _Reach(issuer_url)
        self._conditional = conditional
        self._tls: ssl.SSLContext | None = None
        self._lock = threading.Lock()
        self._good: dict[str, _Cached] = {}  # last good copy of each URL
        self._pending: dict[str, _Cached] = {}  # what the running exchange of each URL got
        self._open: set[_Connection] = set()
        self._closed = False

    def _tls_context(self) -> ssl.SSLContext:
        with self._lock:
            if self._tls is None:
                context = ssl.create_default_context()
                context.sslsocket_class = _DeadlineSSLSocket
                self._tls = context
            return self._tls

    def __call__(self, url: str) -> bytes:
        deadline = time.monotonic() + self._timeout
        with self._lock:
            good = self._good.get(url)
        target = url
        for _ in range(_MAX_REDIRECTS + 1):
            try:
                check_scheme(target, self._allow_http)
            except ValueError as exc:
                raise _FetchError(target, str(exc)) from None
            status, reason, headers, body = self._exchange(target, deadline, good)
            if status in _REDIRECTS:
                location = headers.get("Location")
                if not location:
                    raise _FetchError(target, f"HTTP {status} without a Location")
                following = urljoin(target, location)
                if urlsplit(following).scheme.lower() != "https":
                    raise _FetchError(target, f"refusing a redirect to {escaped(following)} (https only)")
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
                raise _FetchError(target, f"HTTP {status} {escaped(reason)}".rstrip())
            if self._conditional:
                with self._lock:
                    self._pending[url] = got
            return got.body
        raise _FetchError(url, f"more than {_MAX_REDIRECTS} redirects")

    def _exchange(
        self, url: str, deadline: float, good: _Cached | None
    ) -> tuple[int, str, http.client.HTTPMessage, bytes]:
        parts = urlsplit(url)
        tls = self._tls_context() if parts.scheme.lower() == "https" else None
        path = (parts.path or "/") + (f"?{parts.query}" if parts.query else "")
        connection = _Connection(
            url, parts.hostname or "", parts.port, deadline, tls, self._reach, lambda: self._check_open(url)
        )
        with self._lock:
            if self._closed:
                raise _FetchError(url, "the trust is closed")
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
                raise _FetchError(url, f"body of {declared} bytes exceeds max_document_bytes ({self._max_bytes})")
            chunks: list[bytes] = []
            size = 0
            while chunk := response.read(_READ_CHUNK):
                size += len(chunk)
                if size > self._max_bytes:
                    raise _FetchError(url, f"body exceeds max_document_bytes ({self._max_bytes})")
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
                raise _FetchError(url, "the trust is closed")

    def settle(self, url: str, ok: bool) -> float | None:
        with self._lock:
            got = self._pending.pop(url, None)
            if got is None:
                return None
            if ok:
                self._good[url] = got
            return got.max_age

    def forget(self, url: str) -> None:
        with self._lock:
            self._good.pop(url, None)

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
