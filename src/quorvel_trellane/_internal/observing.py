"""What the trust and the spend ledger tell an observer, and how they tell it.

The trust layer and the ledger import this leaf; it imports neither. Each
keeps its observer (or None) and, where something happened, tests it for
None and calls one method with plain values: no observer costs that test
and nothing else. Times are given as a start in nanoseconds of the epoch
(``time.time_ns()``) and a length in seconds, so that an observer can draw
a span after the fact with its real start and end.

Methods added to the interface later are optional (``Timed``,
``PaymentsObserver``): whoever calls one looks for it once, at set-up, so an
observer written before it keeps working and simply is not told.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Protocol, runtime_checkable

if TYPE_CHECKING:
    from quorvel_trellane.passport import PassportVerdict

__all__ = ["Observer", "PaymentsObserver", "PaymentsWatched", "Timed", "Watched", "checked_observer"]


class Watched(Protocol):
    """What an observer reads when it is scraped: ``IssuerTrust``, ``TrustedIssuers``."""

    def status(self) -> object: ...


class PaymentsWatched(Protocol):
    """What an observer reads of an x402 paywall when scraped: its pending payments.

    Each has ``amount_microusd`` (what it holds) and ``at`` (an aware
    datetime: when it was held).
    """

    def pending_payments(self) -> tuple[Any, ...]: ...


@runtime_checkable
class Observer(Protocol):
    """The events of a trust (and of a set of trusts) and of a spend ledger.

    ``watch`` is called once by each trust given the observer, so that the
    state of its documents can be read when the observer is scraped (never
    per request). ``verified`` sees every verdict of ``verify``,
    ``verify_async`` and ``recall``, memoised ones included (a full check's
    goes to ``verified_in`` instead, when the observer has it: ``Timed``):
    it runs on the request path and must stay cheap. ``fetched`` follows each fetch of an issuer document
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


@runtime_checkable
class Timed(Protocol):
    """An observer told how long each full check took (optional).

    A trust calls ``verified_in`` instead of ``verified`` for a verdict it
    reached by checking (the signature, the documents, a fetch waited for),
    with the seconds from the call to the verdict. A verdict answered from
    the memo is only ``verified``: it is not timed, so that a memoised check
    pays no clock reading, and a latency read from these durations is the
    latency of the checks that do work.
    """

    def verified_in(self, verdict: PassportVerdict, seconds: float) -> None: ...


@runtime_checkable
class PaymentsObserver(Protocol):
    """An observer of an x402 paywall's pending payments (optional).

    The paywall calls ``watch_payments`` once with itself, so that its
    pending payments can be read when the observer is scraped.
    """

    def watch_payments(self, source: PaymentsWatched) -> None: ...


def checked_observer(observer: object) -> Observer | None:
    """``observer`` (or None), checked when it is given: a wrong object fails at set-up, not at the first event."""
    if observer is not None and not isinstance(observer, Observer):
        raise TypeError(f"observer must be an Observer (quorvel_trellane.observe), not {observer!r}")
    return observer
