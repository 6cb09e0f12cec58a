"""What the trust and the spend ledger tell an observer, and how they tell it.

The trust layer and the ledger import this leaf; it imports neither. Each
keeps its observer (or None) and, where something happened, tests it for
None and calls one method with plain values: no observer costs that test
and nothing else. Times are given as a start in nanoseconds of the epoch
(``time.time_ns()``) and a length in seconds, so that an observer can draw
a span after the fact with its real start and end.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Protocol, runtime_checkable

if TYPE_CHECKING:
    from quorvel_trellane.passport import PassportVerdict

__all__ = ["Observer", "Watched"]


class Watched(Protocol):
    """What an observer reads when it is scraped: ``IssuerTrust``, ``TrustedIssuers``."""

    def status(self) -> object: ...


@runtime_checkable
class Observer(Protocol):
    """The events of a trust (and of a set of trusts) and of a spend ledger.

    ``watch`` is called once by each trust given the observer, so that the
    state of its documents can be read when the observer is scraped (never
    per request). ``verified`` sees every verdict of ``verify`` and
    ``verify_async``, memoised ones included: it runs on the request path and
    must stay cheap. ``fetched`` follows each fetch of an issuer document
    ("keys" or "revocation"; outcome "updated", "not_modified" or "failed";
    the HTTP status code when there was one). ``reserved`` follows each
    reservation (result "held", "replayed", the refusal code, or "error"
    when the store failed; ``started`` None when it was refused before
    reaching the store), ``settled`` each commit or release of a hold
    (result "committed", "released", "unchanged" for a repeat or a hold
    already pruned, or "error"; ``amount_microusd`` what a commit made
    final) in the store ``store`` ("sqlite" or "postgresql"). None of them
    may raise.
    """

    def watch(self, source: Watched) -> None: ...

    def verified(self, verdict: PassportVerdict) -> None: ...

    def fetched(
        self, issuer: str, document: str, outcome: str, status_code: int | None, started: int, seconds: float
    ) -> None: ...

    def reserved(self, result: str, store: str, started: int | None, seconds: float) -> None: ...

    def settled(
        self, action: str, result: str, store: str, amount_microusd: int, started: int, seconds: float
    ) -> None: ...
