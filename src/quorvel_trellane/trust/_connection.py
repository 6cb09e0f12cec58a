"""One HTTP connection under one deadline, its addresses checked before and as connected.

The deadline covers the whole exchange (connecting, the TLS handshake,
every read), so a server that trickles its answer is cut off.
"""

from __future__ import annotations

import http.client
import math
import socket
import ssl
import time
from collections.abc import Callable
from typing import Any

from quorvel_trellane.trust._addresses import Reach
from quorvel_trellane.trust._errors import FetchError

__all__ = ["Connection", "DeadlineSSLSocket"]


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


class DeadlineSSLSocket(ssl.SSLSocket):
    deadline = math.inf

    def recv_into(self, buffer: Any, nbytes: int | None = None, flags: int = 0) -> int:
        self.settimeout(_left(self.deadline))
        return super().recv_into(buffer, nbytes, flags)


def _connect(url: str, host: str, port: int, deadline: float, reach: Reach) -> socket.socket:
    # socket.create_connection, with each address checked before and as connected.
    refused: FetchError | None = None
    error: OSError | None = None
    for family, kind, proto, _, sockaddr in socket.getaddrinfo(host, port, type=socket.SOCK_STREAM):
        if not reach.admits(host, sockaddr):
            refused = FetchError(url, f"refusing to connect to {sockaddr[0]}, an internal address")
            continue
        sock = socket.socket(family, kind, proto)
        try:
            sock.settimeout(_left(deadline))
            sock.connect(sockaddr)
            peer = sock.getpeername()
            if not reach.admits(host, peer):
                raise FetchError(url, f"refusing the connection to {peer[0]}, an internal address")
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


class Connection(http.client.HTTPConnection):
    def __init__(
        self,
        url: str,
        host: str,
        port: int | None,
        deadline: float,
        tls: ssl.SSLContext | None,
        reach: Reach,
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
                assert isinstance(wrapped, DeadlineSSLSocket)
                wrapped.deadline = self._deadline
                self.sock = wrapped
                self._connected()
                wrapped.do_handshake()
        except BaseException:
            raw.close()
            raise
