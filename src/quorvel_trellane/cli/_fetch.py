"""How ``quorvel-passport`` fetches issuers' documents: the package's HTTP client, failures as one message.

Imported through :mod:`quorvel_trellane.cli`.
"""

from __future__ import annotations

import http.client
import json
import logging
import urllib.parse
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Final, TextIO

from quorvel_trellane import passport
from quorvel_trellane._internal.revocation import revocation_list_problem
from quorvel_trellane._internal.text import escaped
from quorvel_trellane.cli._errors import NetworkError, UsageError, one_line
from quorvel_trellane.trust import FetchError
from quorvel_trellane.trust._addresses import check_issuer_url, crl_url, is_loopback_host, key_set_url
from quorvel_trellane.trust._fetching import HttpFetch

if TYPE_CHECKING:
    from quorvel_trellane.trust import DocumentStatus, IssuerTrust

_MAX_DOCUMENT_BYTES: Final = 16 * 1024 * 1024  # as the trust layer's default


def checked_url(url: str, option: str, err: TextIO, *, issuer: bool = True) -> str:
    """An http or https URL to fetch from; warn when plain http leaves the host.

    An issuer base URL must hold no query, fragment or user name: the
    document paths are appended to it.
    """
    parts = urllib.parse.urlsplit(url)
    if parts.scheme.lower() not in ("http", "https") or not parts.hostname:
        raise UsageError(f"{option}: not an http or https URL: {url}")
    if issuer:
        try:
            check_issuer_url(url)
        except ValueError as exc:
            raise UsageError(f"{option}: {exc}") from None
    if parts.scheme.lower() == "http" and not is_loopback_host(parts.hostname):
        err.write(
            f"warning: {escaped(url)} is plain http: anyone on the way can change the "
            "keys or revocation list it serves; use https\n"
        )
    return url


def _client(url: str, timeout: float) -> HttpFetch:
    """The package's HTTP client for the documents of ``url``'s host.

    Plain http was asked for on the command line (and warned about), so it
    is allowed; redirects still go to https only.
    """
    return HttpFetch(timeout, _MAX_DOCUMENT_BYTES, True, url, conditional=False)


def _fetching(url: str, action: Callable[[], Any], err: TextIO) -> Any:
    """Run one fetch; turn transport failures into a message naming ``url``."""
    if err.isatty():
        err.write(f"fetching {escaped(url)} ...\n")
        err.flush()
    try:
        return action()
    except FetchError as exc:
        raise NetworkError(f"cannot fetch {url}: {exc.reason}") from exc
    except TimeoutError as exc:
        raise NetworkError(f"cannot fetch {url}: timed out") from exc
    except (OSError, http.client.HTTPException) as exc:
        raise NetworkError(f"cannot fetch {url}: {exc or type(exc).__name__}") from exc
    except json.JSONDecodeError as exc:
        raise NetworkError(f"cannot fetch {url}: response is not JSON ({exc})") from exc


def fetch_direct(url: str, timeout: float, err: TextIO) -> Any:
    client = _client(url, timeout)
    return _fetching(url, lambda: json.loads(client(url)), err)


def fetch_keys(issuer_url: str, timeout: float, err: TextIO) -> dict[str, bytes]:
    client = _client(issuer_url, timeout)
    keys: dict[str, bytes] = _fetching(
        key_set_url(issuer_url),
        lambda: passport.resolve_keys_from_wellknown(issuer_url, fetch=client),
        err,
    )
    return keys


def fetch_issuer_crl(issuer_url: str, kid: str, timeout: float, err: TextIO) -> dict[str, Any]:
    """The issuer's revocation list for ``kid``: a document without its list
    of ids is a failed fetch, as in the trust layer, never "none revoked"."""
    url = crl_url(issuer_url, kid)
    client = _client(issuer_url, timeout)
    fetched = _fetching(url, lambda: passport.fetch_crl(issuer_url, kid, fetch=client), err)
    problem = revocation_list_problem(fetched)
    if problem is not None:
        raise NetworkError(f"cannot fetch {url}: {problem}")
    doc: dict[str, Any] = fetched
    return doc


class CommandFetch:
    """The Fetcher the command gives ``IssuerTrust``: the package's client.

    It says what it fetches (on a terminal) and keeps each failure
    (transport, or a revocation list without its list) as the message the
    command reports.
    """

    def __init__(self, issuer_url: str, timeout: float, err: TextIO) -> None:
        self.wellknown_url = key_set_url(issuer_url)
        self.client = _client(issuer_url, timeout)
        self.timeout = timeout
        self.err = err
        self.failures: dict[str, NetworkError] = {}

    def __call__(self, url: str) -> bytes:
        try:
            body: bytes = _fetching(url, lambda: self.client(url), self.err)
            if url != self.wellknown_url:
                # The trust layer fails such a list too; keep the reason to report it.
                try:
                    missing = revocation_list_problem(json.loads(body))
                except ValueError:
                    missing = None  # the trust layer records it as not JSON
                if missing is not None:
                    raise NetworkError(f"cannot fetch {url}: {missing}")
        except NetworkError as exc:
            self.failures[url] = exc
            raise
        return body

    def failure(self, trust: IssuerTrust, verdict: passport.PassportVerdict) -> NetworkError | None:
        """The fetch that decided ``verdict``, if one failed: the key set or the kid's list."""
        status = trust.status()
        if verdict.error_code == "UNRESOLVED_ISSUER_KEY":
            return self.failed(status.key_set)
        if verdict.error_code == "REVOCATION_CHECK_FAILED" and verdict.kid is not None:
            return self.failed(status.revocation_lists.get(verdict.kid))
        return None

    def failed(self, doc: DocumentStatus | None) -> NetworkError | None:
        if doc is None or doc.state in ("fresh", "stale"):
            return None  # fetched fine: the kid is just not in the key set
        # No error yet means the fetch was still running when the wait ended.
        return self.failures.get(doc.url) or NetworkError(
            f"cannot fetch {doc.url}: {one_line(doc.last_error or 'timed out')}"
        )


def issuer_trust(issuer_url: str, fetch: CommandFetch, timeout: float) -> IssuerTrust:
    from quorvel_trellane.trust import IssuerTrust

    # The trust layer logs each failed fetch; the command reports it itself,
    # in one line, so keep Python's last-resort handler from printing those.
    log = logging.getLogger("quorvel_trellane.trust")
    if not any(isinstance(handler, logging.NullHandler) for handler in log.handlers):
        log.addHandler(logging.NullHandler())
    return IssuerTrust(issuer_url, timeout=timeout, fetch=fetch)
