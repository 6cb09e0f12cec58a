"""Where the package fetches from: an issuer's document URLs, and the addresses a fetch may reach.

Only https is fetched (plain http from loopback hosts, or when the caller
allows it). From an issuer that is not itself on this machine or a private
network, no connection ever reaches a loopback, private, link-local or
unspecified address: :class:`Reach` judges each address before connecting
and again as connected.
"""

from __future__ import annotations

import ipaddress
import threading
from typing import Any, Final
from urllib.parse import urlsplit

from quorvel_trellane._internal.text import escaped

__all__ = [
    "CRL_PREFIX",
    "WELLKNOWN_PATH",
    "Reach",
    "check_issuer_url",
    "check_scheme",
    "crl_url",
    "is_loopback_host",
    "key_set_url",
]

#: Where an issuer publishes its key set, and its revocation lists (one per kid).
WELLKNOWN_PATH: Final = "/.well-known/pqc-keys.json"
CRL_PREFIX: Final = "/passport/crl/"


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


class Reach:
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
