"""What a route asks of a passport: a scope and a price, from the gateway's own config.

The requirement is read only from what the gateway's operator wrote: the
query of exactly ``/check`` (an HTTP check) or the ``context_extensions``
of a gRPC check. Never from a request header, which the client sets, and
never from the query of ``/check/<anything>``, to which Envoy's HTTP
flavour and Caddy append the client's own path and query. Of a key given
twice, the first occurrence wins: the operator's copy comes first, a
client's appended copy after it.
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass
from typing import Final
from urllib.parse import unquote_plus

__all__ = ["CHECK_PATH", "PRICE_KEY", "SCOPE_KEY", "Requirement", "RequirementError", "Requirements"]

#: The path of the HTTP check; ``/check/<anything>`` is answered too.
CHECK_PATH: Final = "/check"
#: The requirement's keys, in the query of ``/check`` and in ``context_extensions``.
SCOPE_KEY: Final = "scope"
PRICE_KEY: Final = "price_microusd"

# A requirement is never longer than this: a query past it is refused rather than cached.
_LONGEST: Final = 4096
# Distinct queries kept parsed; a gateway's config names a handful.
_KEPT: Final = 256
# A price is a whole number of micro-USD, at most what the ledger stores.
_HIGHEST_PRICE: Final = 2**63 - 1


class RequirementError(ValueError):
    """The gateway's config names a requirement that cannot be read (a price that is no number)."""


@dataclass(frozen=True, slots=True)
class Requirement:
    """The scope a route needs (None: any genuine passport) and its price (0: free)."""

    scope: str | None = None
    price_microusd: int = 0


class Requirements:
    """Reads requirements, the service's default scope standing in where a route names none.

    ``default_scope`` is the scope of a route whose requirement has no
    ``scope`` key; a route that gives ``scope=`` (empty) needs no scope.
    """

    def __init__(self, default_scope: str | None = None) -> None:
        self.default = Requirement(default_scope or None, 0)
        self._parsed: dict[bytes, Requirement | RequirementError] = {}

    def of_query(self, query: bytes) -> Requirement:
        """The requirement in the query of exactly ``/check`` (raw bytes, as sent)."""
        found = self._parsed.get(query)
        if found is None:
            found = self._read_query(query)
            if len(self._parsed) >= _KEPT:
                self._parsed.clear()
            self._parsed[query] = found
        if isinstance(found, RequirementError):
            raise found
        return found

    def of_extensions(self, extensions: Mapping[str, str]) -> Requirement:
        """The requirement in a gRPC check's ``context_extensions``."""
        return self._made(extensions.get(SCOPE_KEY), extensions.get(PRICE_KEY))

    def _read_query(self, query: bytes) -> Requirement | RequirementError:
        if len(query) > _LONGEST:
            return RequirementError(f"the check's query is longer than {_LONGEST} bytes")
        scope: str | None = None
        price: str | None = None
        for pair in query.decode("latin-1").split("&"):
            name, _, value = pair.partition("=")
            name = unquote_plus(name)
            # The first occurrence wins: later ones may be the client's.
            if name == SCOPE_KEY and scope is None:
                scope = unquote_plus(value)
            elif name == PRICE_KEY and price is None:
                price = unquote_plus(value)
        try:
            return self._made(scope, price)
        except RequirementError as exc:
            return exc

    def _made(self, scope: str | None, price: str | None) -> Requirement:
        if scope is None and price is None:
            return self.default
        return Requirement(self.default.scope if scope is None else scope or None, _price(price))


def _price(text: str | None) -> int:
    if text is None or text == "":
        return 0
    # Digits only: no sign, no spaces, no underscores that int() would accept.
    if not (text.isascii() and text.isdigit()) or len(text) > 19 or int(text) > _HIGHEST_PRICE:
        raise RequirementError(f"{PRICE_KEY} must be a whole number of micro-USD, not {text[:40]!r}")
    return int(text)
