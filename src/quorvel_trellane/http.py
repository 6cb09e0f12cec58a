"""Client auth for agents: send the passport on every request.

    from quorvel_trellane.http import PassportAuth

    auth = PassportAuth()                        # from $QUORVEL_AGENT_PASSPORT
    requests.get(url, auth=auth)
    httpx.get(url, auth=auth)
    async with httpx.AsyncClient(auth=auth) as client: ...

Importing this module imports no HTTP client: the object works with any
client that calls its ``auth`` with a request carrying a mutable
``headers`` mapping and sends the request it returns, as ``requests`` and
``httpx`` (sync and async) do.
"""

from __future__ import annotations

from typing import Protocol, TypeVar

from quorvel_trellane.passport import X402_PASSPORT_HEADER, load_credential

__all__ = ["PassportAuth", "X402_PASSPORT_HEADER"]


class _HeaderMap(Protocol):
    def __setitem__(self, key: str, value: str, /) -> None: ...


class _Request(Protocol):
    @property
    def headers(self) -> _HeaderMap: ...


_R = TypeVar("_R", bound=_Request)


class PassportAuth:
    """Add the "X-Agent-Passport" header to each request.

    ``credential`` is the passport to present; with None, the agent's own
    passport is loaded as ``load_credential()`` loads it (from the
    ``QUORVEL_AGENT_PASSPORT`` environment variable), on the first request,
    and kept. The header is set on each request this auth is applied to,
    replacing any value already there.

    The header is a bearer credential: clients copy it onto the redirects
    they follow, including to other hosts, so leave following redirects off
    (the ``httpx`` default) when calling hosts that may redirect elsewhere.
    """

    def __init__(self, credential: str | None = None) -> None:
        self._credential = credential

    @property
    def credential(self) -> str:
        """The credential presented, loaded on first use when none was given."""
        credential = self._credential
        if credential is None:
            credential = self._credential = load_credential()
        return credential

    def __call__(self, request: _R) -> _R:
        request.headers[X402_PASSPORT_HEADER] = self.credential
        return request

    def __repr__(self) -> str:
        # Never the credential itself: reprs end up in logs.
        state = "loaded" if self._credential is not None else "not loaded"
        return f"PassportAuth(<credential {state}>)"
