"""The test issuer's loopback HTTP server, with fault injection. Test only.

Imported through :mod:`quorvel_trellane.testing`; see :class:`IssuerServer`.
"""

from __future__ import annotations

import hashlib
import json
import threading
from collections.abc import Mapping
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import TracebackType
from typing import TYPE_CHECKING, Any, Final

from quorvel_trellane.trust._addresses import CRL_PREFIX as _CRL_PREFIX
from quorvel_trellane.trust._addresses import WELLKNOWN_PATH as _WELLKNOWN_PATH

if TYPE_CHECKING:
    from quorvel_trellane.testing._issuer import Issuer

__all__ = ["Fault", "IssuerServer"]


@dataclass
class Fault:
    """What :class:`IssuerServer` does wrong when answering one path.

    ``status`` replaces the answer with that status code (and a small JSON
    error body); ``hang`` waits that many seconds before answering;
    ``trickle`` sends the body one byte at a time, that many seconds apart;
    ``size`` pads the body with spaces to that many bytes (still valid
    JSON); ``declare_length=False`` leaves out Content-Length, so the body
    ends only when the connection closes; ``body`` replaces the body.
    ``times`` limits the fault to that many requests (None: until cleared).
    """

    status: int | None = None
    hang: float = 0.0
    trickle: float = 0.0
    size: int | None = None
    declare_length: bool = True
    body: bytes | None = None
    times: int | None = None


class _Handler(BaseHTTPRequestHandler):
    server: _LoopbackServer

    def do_GET(self) -> None:
        owner = self.server.owner
        path = self.path.split("?", 1)[0]
        owner.requests.append(path)
        status, body, headers, fault = owner.reply(path, self.headers)
        owner.exchanges.append((path, status))
        if fault.hang and owner.pause(fault.hang):
            return
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            if fault.declare_length:
                self.send_header("Content-Length", str(len(body)))
            for name, value in headers.items():
                self.send_header(name, value)
            self.end_headers()
            if not fault.trickle:
                self.wfile.write(body)
                return
            for i in range(len(body)):
                self.wfile.write(body[i : i + 1])
                self.wfile.flush()
                if owner.pause(fault.trickle):
                    return
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up, as it should with a slow server

    def log_message(self, format: str, *args: Any) -> None:
        pass  # keep test and demo output clean


class _LoopbackServer(ThreadingHTTPServer):
    daemon_threads = True
    owner: IssuerServer


_NO_FAULT: Final = Fault()


class IssuerServer:
    """Serve an issuer's documents over HTTP on 127.0.0.1 (a context manager).

    ``url`` is the issuer base URL. ``routes`` maps extra paths to a body
    (bytes, or a JSON value) or to a ``(status, body)`` or ``(status, body,
    headers)`` tuple, and overrides the issuer's own documents; tests use it
    to serve broken documents or redirects. Every request path is appended
    to ``requests``, and ``(path, status)`` to ``exchanges`` (see
    :meth:`count`). The server thread is a daemon and the server stops on
    leaving the ``with`` block, or after ``lifetime`` seconds at the latest,
    so a forgotten server never outlives its test.

    Fault injection: :meth:`inject` makes one path (or every path) fail,
    hang, trickle or grow (see :class:`Fault`). Key rotation and revocations
    go through the issuer (``issuer.rotate()``, ``issuer.revoke(id)``) and
    are served from the next request on. Answers carry an ``ETag`` and a
    ``Last-Modified`` and honour ``If-None-Match`` / ``If-Modified-Since``
    with a 304 (unless ``conditional`` is false), and a ``Cache-Control``
    header when ``cache_control`` is set.
    """

    def __init__(
        self,
        issuer: Issuer | None = None,
        *,
        routes: Mapping[str, object] | None = None,
        lifetime: float = 300.0,
    ) -> None:
        self.issuer = issuer
        self.routes: dict[str, object] = dict(routes or {})
        self.requests: list[str] = []
        self.exchanges: list[tuple[str, int]] = []
        self.faults: dict[str | None, Fault] = {}
        self.cache_control: str | None = None
        self.conditional = True
        self.lifetime = lifetime
        self._server: _LoopbackServer | None = None
        self._thread: threading.Thread | None = None
        self._timer: threading.Timer | None = None
        self._lock = threading.Lock()
        self._halt = threading.Event()  # cuts hangs and trickles short on stop
        self._versions: dict[str, tuple[str, str]] = {}  # path -> (ETag, Last-Modified)
        #: Set once the server has stopped and closed its socket.
        self.stopped = threading.Event()

    @property
    def url(self) -> str:
        if self._server is None:
            raise RuntimeError("issuer server is not running")
        host, port = self._server.server_address[:2]
        return f"http://{host!s}:{port}"

    def inject(self, path: str | None = None, **fault: Any) -> Fault:
        """Make requests for ``path`` (None: every path) misbehave; see :class:`Fault`."""
        made = Fault(**fault)
        with self._lock:
            self.faults[path] = made
        return made

    def clear_faults(self) -> None:
        with self._lock:
            self.faults.clear()

    def count(self, path: str | None = None, status: int | None = None) -> int:
        """Requests answered so far, for ``path`` and ``status`` when given."""
        return sum(
            1 for p, s in list(self.exchanges) if (path is None or p == path) and (status is None or s == status)
        )

    def respond(self, path: str) -> tuple[int, bytes]:
        status, body, _ = self._document(path)
        return status, body

    def _document(self, path: str) -> tuple[int, bytes, dict[str, str]]:
        if path in self.routes:
            found = self.routes[path]
            status, body, *extra = found if isinstance(found, tuple) else (200, found)
            if not isinstance(body, (bytes, bytearray)):
                body = json.dumps(body).encode("utf-8")
            return int(status), bytes(body), dict(extra[0]) if extra else {}
        issuer = self.issuer
        if issuer is not None:
            if path == _WELLKNOWN_PATH:
                return 200, json.dumps(issuer.wellknown_document()).encode("utf-8"), {}
            if path.startswith(_CRL_PREFIX) and path.endswith(".json"):
                kid = path[len(_CRL_PREFIX) : -len(".json")]
                if issuer.knows_kid(kid):
                    return 200, json.dumps(issuer.revocation_list(kid)).encode("utf-8"), {}
        return 404, b'{"error": "not found"}', {}

    def pause(self, seconds: float) -> bool:
        """Wait ``seconds`` as a fault asks; True when the server stops meanwhile."""
        return self._halt.wait(seconds)

    def reply(self, path: str, request: Any) -> tuple[int, bytes, dict[str, str], Fault]:
        """The answer to a GET of ``path`` (status, body, headers) and the fault
        that shapes its sending; ``request`` is the request's header message."""
        with self._lock:
            fault = self.faults.get(path) or self.faults.get(None) or _NO_FAULT
            if fault.times is not None:
                fault.times -= 1
                if fault.times <= 0:
                    self.faults = {k: v for k, v in self.faults.items() if v is not fault}
        headers: dict[str, str]
        if fault.status is not None:
            status, body, headers = fault.status, b'{"error": "injected"}', {}
        else:
            status, body, headers = self._document(path)
        if fault.body is not None:
            body = fault.body
        if fault.size is not None and fault.size > len(body):
            body += b" " * (fault.size - len(body))
        if status == 200 and self.cache_control is not None:
            headers.setdefault("Cache-Control", self.cache_control)
        if status == 200 and self.conditional:
            etag, modified = self._version(path, body)
            headers.setdefault("ETag", etag)
            headers.setdefault("Last-Modified", modified)
            match = request.get("If-None-Match")
            since = request.get("If-Modified-Since")
            if (match is not None and match == etag) or (match is None and since == modified):
                return 304, b"", headers, fault
        return status, body, headers, fault

    def _version(self, path: str, body: bytes) -> tuple[str, str]:
        # The ETag names the content; Last-Modified is when this content was
        # first served (HTTP dates have whole seconds, so If-None-Match wins).
        from email.utils import formatdate

        etag = '"' + hashlib.sha256(body).hexdigest()[:20] + '"'
        with self._lock:
            known = self._versions.get(path)
            if known is None or known[0] != etag:
                known = self._versions[path] = (etag, formatdate(usegmt=True))
        return known

    def start(self) -> IssuerServer:
        self.stopped.clear()
        self._halt.clear()
        server = _LoopbackServer(("127.0.0.1", 0), _Handler)
        server.owner = self
        self._server = server
        self._thread = threading.Thread(target=server.serve_forever, args=(0.05,), name="test-issuer", daemon=True)
        self._thread.start()
        self._timer = threading.Timer(self.lifetime, self.stop)
        self._timer.daemon = True
        self._timer.start()
        return self

    def stop(self) -> None:
        # Called by the `with` block and by the lifetime timer, maybe both.
        with self._lock:
            server, self._server = self._server, None
        if self._timer is not None and self._timer is not threading.current_thread():
            self._timer.cancel()
        if server is None:
            return
        self._halt.set()
        server.shutdown()
        server.server_close()
        if self._thread is not None:
            self._thread.join(timeout=5)
        self.stopped.set()

    def __enter__(self) -> IssuerServer:
        return self.start()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.stop()
