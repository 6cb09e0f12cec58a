"""The ledger: verifies through a trust, then holds, commits and releases on a store."""

from __future__ import annotations

import asyncio
import logging
import os
import re
import time
from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import UTC, datetime, timedelta
from decimal import Decimal
from types import MappingProxyType, TracebackType
from typing import Any, Final, NamedTuple, Protocol, Self

from quorvel_trellane import passport
from quorvel_trellane._internal.observing import Observer
from quorvel_trellane.passport import PassportVerdict

__all__ = [
    "SPEND_LIMIT_EXCEEDED",
    "SPEND_TERMS_UNSUPPORTED",
    "HoldSettledError",
    "SpendDecision",
    "SpendLedger",
    "parse_window",
]

#: The amount would take the window's spend past the passport's bound.
SPEND_LIMIT_EXCEEDED: Final = "SPEND_LIMIT_EXCEEDED"
#: The passport has no bound this ledger can read.
SPEND_TERMS_UNSUPPORTED: Final = "SPEND_TERMS_UNSUPPORTED"

_EPOCH: Final = datetime(1970, 1, 1, tzinfo=UTC)
_MICROSECOND: Final = timedelta(microseconds=1)
# Calendar units read long, so that the reading never grants more than the
# issuer meant: a month is 31 days, a year 366.
_UNIT_US: Final = {
    "Y": 366 * 86_400_000_000,
    "M": 31 * 86_400_000_000,
    "W": 7 * 86_400_000_000,
    "D": 86_400_000_000,
    "H": 3_600_000_000,
    "TM": 60_000_000,
    "S": 1_000_000,
}
_NUMBER: Final = r"(\d+(?:[.,]\d+)?)"
_DURATION: Final = re.compile(
    rf"P(?:{_NUMBER}Y)?(?:{_NUMBER}M)?(?:{_NUMBER}W)?(?:{_NUMBER}D)?"
    rf"(?:T(?:{_NUMBER}H)?(?:{_NUMBER}M)?(?:{_NUMBER}S)?)?"
)
_UNITS: Final = ("Y", "M", "W", "D", "H", "TM", "S")
# Longer than any store's timestamps reach back (2**62 µs is about 146,000
# years): such a window is the passport's whole life.
_LONGEST_US: Final = 2**62
_HELD, _COMMITTED, _RELEASED = 0, 1, 2
_STATE_NAMES: Final = {_HELD: "held", _COMMITTED: "committed", _RELEASED: "released"}
_LOG: Final = logging.getLogger("quorvel_trellane.spend")


def parse_window(text: str) -> timedelta | None:
    """The length of the ISO 8601 duration ``text`` as the ledger reads it.

    "P1D", "PT1H", "P30D", "P1W" and combinations ("P1DT12H", "P1W2D"); a
    decimal fraction is allowed on the last part only. A month counts 31
    days and a year 366. None for a duration too long to matter (the whole
    life). Raises ValueError for any other text, a zero duration included.
    """
    if not isinstance(text, str):
        raise TypeError(f"a spend window is a str, not {type(text).__name__}")
    us = _window_us(text)
    return None if us is None else timedelta(microseconds=us)


def _window_us(text: str) -> int | None:
    match = _DURATION.fullmatch(text)
    if match is None or text in ("P", "") or text.endswith("T"):
        raise ValueError(f"not an ISO 8601 duration: {text!r}")
    parts = match.groups()
    given = [i for i, part in enumerate(parts) if part is not None]
    total = Decimal(0)
    for i in given:
        number = parts[i]
        assert number is not None
        if ("." in number or "," in number) and i != given[-1]:
            raise ValueError(f"only the last part of a duration may have a fraction: {text!r}")
        total += Decimal(number.replace(",", ".")) * _UNIT_US[_UNITS[i]]
    # A fraction of a microsecond still counts: round up, never down.
    us = int(total.to_integral_value(rounding="ROUND_CEILING"))
    if us <= 0:
        raise ValueError(f"a spend window must be longer than zero: {text!r}")
    return None if us > _LONGEST_US else us


class HoldSettledError(ValueError):
    """A commit or release of a hold that was already settled the other way.

    Raised by ``SpendLedger.commit`` on a hold already released (or
    committed at another amount) and by ``SpendLedger.release`` on a
    committed one. ``state`` is what the hold already is ("committed" or
    "released") and ``amount_microusd`` what it counts.
    """

    def __init__(self, message: str, state: str, amount_microusd: int) -> None:
        super().__init__(message)
        self.state = state
        self.amount_microusd = amount_microusd


@dataclass(frozen=True)
class SpendDecision:
    """The answer of :meth:`SpendLedger.reserve`: true only when the amount is held.

    ``remaining_microusd`` is what is left in the window after this hold
    (or, refused for the bound, what is left without it); None when not
    known. ``error_code`` is the verdict's code, "SPEND_LIMIT_EXCEEDED" or
    "SPEND_TERMS_UNSUPPORTED"; None on success.
    """

    verdict: PassportVerdict
    passport_id: str | None
    amount_microusd: int
    remaining_microusd: int | None = None
    error_code: str | None = None
    error_message: str | None = None
    # The hold in its store, and the ledger that made it: only that ledger
    # settles it.
    _hold: int | None = field(default=None, repr=False, compare=False)
    _ledger: object = field(default=None, repr=False, compare=False)

    def __bool__(self) -> bool:
        return self._hold is not None


class _Request(NamedTuple):
    """One reservation as the store sees it; times and windows in µs since the epoch."""

    issuer_did: str
    passport_id: str
    key: str | None
    at: int
    amount: int
    limit: int
    window: int | None  # None: the whole life


class _Reserved(NamedTuple):
    """A store's answer to a reservation: the hold (None when refused) and what is left."""

    hold: int | None
    amount: int
    remaining: int
    replayed: bool = False  # the hold a key already had, returned again


class _Settled(NamedTuple):
    """A hold's state after commit or release: state, counted amount, amount held at first."""

    state: int
    amount: int
    requested: int
    fresh: bool = False  # settled by this call, not before


class _Store(Protocol):
    def reserve(self, request: _Request) -> _Reserved: ...

    def settle(self, hold: int, state: int, amount: int) -> _Settled | None: ...

    def spent(self, issuer_did: str, passport_id: str, at: int, window: int | None) -> int: ...

    def close(self) -> None: ...


def _schema_to_build(version: object, known: int) -> bool:
    """Whether a store whose schema is at ``version`` (None: none yet) must
    build it to version ``known``. Both stores build from nothing or from
    version 1; any other version was written by a library this one does not
    know, and is an error."""
    if version == known:
        return False
    if version not in (None, 1):
        raise RuntimeError(f"the spend store's schema is version {version}; this library knows {known}")
    return True


class _Trust(Protocol):
    """What the ledger needs of a trust: ``IssuerTrust``, ``TrustedIssuers``."""

    def verify(
        self,
        credential: str,
        *,
        required_scope: str | None = ...,
        expected_agent_did: str | None = ...,
        now: datetime | None = ...,
        leeway: float = ...,
    ) -> PassportVerdict: ...

    async def verify_async(
        self,
        credential: str,
        *,
        required_scope: str | None = ...,
        expected_agent_did: str | None = ...,
        now: datetime | None = ...,
        leeway: float = ...,
    ) -> PassportVerdict: ...


class _Terms(NamedTuple):
    issuer_did: str
    passport_id: str
    limit: int
    window: int | None


class SpendLedger:
    """Spend budgets per passport, in SQLite or PostgreSQL.

    ``trust`` verifies every credential before anything is charged (an
    ``IssuerTrust`` or ``TrustedIssuers``). ``url`` names the store: a file
    path or "sqlite:///path" (relative) or "sqlite:////path" (absolute) for
    SQLite, "postgresql://..." for PostgreSQL (``pip install
    'quorvel-trellane[postgres]'``). ``windows`` maps spend window texts the
    ledger cannot read (such as "daily") to their length. ``timeout`` is how
    long, in seconds, an operation waits for the store's lock or a pooled
    connection; ``pool_size`` bounds the PostgreSQL connections.
    ``observer`` (``quorvel_trellane.observe``) counts every reservation and
    settlement and times each store operation.
    """

    def __init__(
        self,
        trust: _Trust,
        url: str | os.PathLike[str],
        *,
        windows: Mapping[str, timedelta] | None = None,
        timeout: float = 10.0,
        pool_size: int = 10,
        observer: Observer | None = None,
    ) -> None:
        if not callable(getattr(trust, "verify", None)):
            raise TypeError(f"trust must have a verify method (an IssuerTrust or TrustedIssuers), not {trust!r}")
        self.trust = trust
        self.windows = _copy_windows(windows)
        if not (isinstance(timeout, (int, float)) and not isinstance(timeout, bool) and timeout > 0):
            raise ValueError(f"timeout must be a positive number of seconds, not {timeout!r}")
        if type(pool_size) is not int or pool_size < 1:
            raise ValueError(f"pool_size must be a positive int, not {pool_size!r}")
        if observer is not None and not isinstance(observer, Observer):
            raise TypeError(f"observer must be an Observer (quorvel_trellane.observe), not {observer!r}")
        self._observer = observer
        self._store = _open_store(url, timeout, pool_size)
        if observer is not None:
            self._store = _ObservedStore(self._store, observer)

    # -- the three operations --

    def reserve(
        self,
        credential: str,
        amount_microusd: int,
        *,
        key: str | None = None,
        required_scope: str | None = None,
        expected_agent_did: str | None = None,
        now: datetime | None = None,
        leeway: float = 0.0,
    ) -> SpendDecision:
        """Verify ``credential`` and hold ``amount_microusd`` against its budget.

        The keyword arguments are ``verify``'s; ``now`` also dates the hold.
        A ``key`` already used for this passport returns the first decision
        and charges nothing while its hold is held or committed; a key whose
        hold was released is tried afresh: held anew under the bound, or
        refused. The old decision then stays released.
        """
        at = _check_reserve(amount_microusd, key, now)
        verdict = self.trust.verify(
            credential,
            required_scope=required_scope,
            expected_agent_did=expected_agent_did,
            now=now,
            leeway=leeway,
        )
        request = self._request(verdict, credential, amount_microusd, key, at)
        if isinstance(request, SpendDecision):
            if self._observer is not None:  # refused before the store
                self._observer.reserved(request.error_code or "error", "", None, 0.0)
            return request
        return self._decide(verdict, request, self._store.reserve(request))

    def commit(self, decision: SpendDecision, *, amount_microusd: int | None = None) -> None:
        """Confirm the payment of ``decision``'s hold, at ``amount_microusd`` when smaller.

        Idempotent: committing again at the same amount does nothing. Raises
        HoldSettledError (a ValueError) for a hold already released or
        committed at another amount. A hold already pruned (it left the window) is not an error.
        """
        hold, final = self._check_commit(decision, amount_microusd)
        self._after(decision, _COMMITTED, final, self._store.settle(hold, _COMMITTED, final))

    def release(self, decision: SpendDecision) -> None:
        """Free ``decision``'s hold: the payment did not happen.

        Idempotent; releasing a refused decision does nothing. Raises
        HoldSettledError (a ValueError) for a committed hold.
        """
        hold = self._check_release(decision)
        if hold is not None:
            self._after(decision, _RELEASED, 0, self._store.settle(hold, _RELEASED, 0))

    def remaining(self, credential: str, *, now: datetime | None = None) -> int | None:
        """What is left of the credential's bound in the window ending at ``now``.

        None for a passport that does not verify, has no bound, or has a
        bound the ledger cannot read.
        """
        at = _at(now)
        verdict = self.trust.verify(credential, now=now)
        terms = self._terms(verdict, credential)
        if not isinstance(terms, _Terms):
            return None
        return max(0, terms.limit - self._store.spent(terms.issuer_did, terms.passport_id, at, terms.window))

    # -- async twins: the store's work runs on a worker thread --

    async def reserve_async(
        self,
        credential: str,
        amount_microusd: int,
        *,
        key: str | None = None,
        required_scope: str | None = None,
        expected_agent_did: str | None = None,
        now: datetime | None = None,
        leeway: float = 0.0,
    ) -> SpendDecision:
        """:meth:`reserve` for event loops: the store is used off the loop."""
        at = _check_reserve(amount_microusd, key, now)
        verdict = await self.trust.verify_async(
            credential,
            required_scope=required_scope,
            expected_agent_did=expected_agent_did,
            now=now,
            leeway=leeway,
        )
        request = self._request(verdict, credential, amount_microusd, key, at)
        if isinstance(request, SpendDecision):
            if self._observer is not None:  # refused before the store
                self._observer.reserved(request.error_code or "error", "", None, 0.0)
            return request
        return self._decide(verdict, request, await asyncio.to_thread(self._store.reserve, request))

    async def commit_async(self, decision: SpendDecision, *, amount_microusd: int | None = None) -> None:
        """:meth:`commit` for event loops."""
        hold, final = self._check_commit(decision, amount_microusd)
        settled = await asyncio.to_thread(self._store.settle, hold, _COMMITTED, final)
        self._after(decision, _COMMITTED, final, settled)

    async def release_async(self, decision: SpendDecision) -> None:
        """:meth:`release` for event loops."""
        hold = self._check_release(decision)
        if hold is not None:
            settled = await asyncio.to_thread(self._store.settle, hold, _RELEASED, 0)
            self._after(decision, _RELEASED, 0, settled)

    # -- lifecycle --

    def close(self) -> None:
        """Close the store's connections; the ledger is unusable afterwards."""
        self._store.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"SpendLedger({self.trust!r}, {self._store!r})"

    # -- the steps both drivers share --

    def _terms(self, verdict: PassportVerdict, credential: str) -> _Terms | tuple[str | None, str] | None:
        """The budget a verified passport names; (passport id, why) when unreadable; None when unverified."""
        if not verdict:
            return None
        # The verdict does not carry the passport id: read it from the payload
        # that was just verified (a cheap decode, the signature not checked again).
        passport_id = passport.decode_passport(credential).payload.get("passport_id")
        issuer_did = verdict.issuer_did
        limit = verdict.spend_limit_microusd
        text = verdict.spend_window
        if not isinstance(passport_id, str) or not passport_id:
            return None, "the passport has no passport id to keep a budget under"
        if not isinstance(issuer_did, str) or not issuer_did:
            return passport_id, "the passport names no issuer DID to keep a budget under"
        if type(limit) is not int or limit < 0:
            return passport_id, f"the passport's spend_limit_microusd is not a non-negative integer: {limit!r}"
        window: int | None = None
        if text is not None:
            mapped = self.windows.get(text) if isinstance(text, str) else None
            if mapped is not None:
                window = mapped // _MICROSECOND
                window = None if window > _LONGEST_US else window
            else:
                try:
                    window = _window_us(text) if isinstance(text, str) else _unreadable(text)
                except ValueError:
                    return passport_id, f"the passport's spend_window cannot be read: {text!r}"
        # A bound past 2**62 micro-USD is no bound at all; capped, every
        # total and remainder stays a 64-bit integer in both stores.
        return _Terms(issuer_did, passport_id, min(limit, _LONGEST_US), window)

    def _request(
        self, verdict: PassportVerdict, credential: str, amount: int, key: str | None, at: int
    ) -> _Request | SpendDecision:
        terms = self._terms(verdict, credential)
        if terms is None:
            return SpendDecision(
                verdict, None, amount, error_code=verdict.error_code, error_message=verdict.error_message
            )
        if not isinstance(terms, _Terms):
            return SpendDecision(verdict, terms[0], amount, error_code=SPEND_TERMS_UNSUPPORTED, error_message=terms[1])
        return _Request(terms.issuer_did, terms.passport_id, key, at, amount, terms.limit, terms.window)

    def _decide(self, verdict: PassportVerdict, request: _Request, reserved: _Reserved) -> SpendDecision:
        if _LOG.isEnabledFor(logging.INFO):
            outcome = "refused" if reserved.hold is None else "replayed" if reserved.replayed else "held"
            _LOG.log(
                logging.INFO if reserved.hold is None else logging.DEBUG,
                "reservation of %d micro-USD %s",
                request.amount,
                outcome,
                extra={"issuer": request.issuer_did, "passport_id": request.passport_id, "outcome": outcome},
            )
        if reserved.hold is None:
            return SpendDecision(
                verdict,
                request.passport_id,
                request.amount,
                reserved.remaining,
                error_code=SPEND_LIMIT_EXCEEDED,
                error_message=(
                    f"{request.amount} micro-USD would take the passport past its bound of "
                    f"{request.limit}: {reserved.remaining} left in the window"
                ),
            )
        return SpendDecision(
            verdict,
            request.passport_id,
            reserved.amount,
            reserved.remaining,
            _hold=reserved.hold,
            _ledger=self,
        )

    def _own(self, decision: SpendDecision) -> None:
        if not isinstance(decision, SpendDecision):
            raise TypeError(f"expected a SpendDecision, not {type(decision).__name__}")
        if decision and decision._ledger is not self:
            raise ValueError("the decision was made by another ledger")

    def _check_commit(self, decision: SpendDecision, amount: int | None) -> tuple[int, int]:
        self._own(decision)
        if decision._hold is None:
            raise ValueError(f"the decision holds nothing to commit ({decision.error_code})")
        if amount is None:
            return decision._hold, decision.amount_microusd
        _check_amount(amount)
        if amount > decision.amount_microusd:
            raise ValueError(f"a commit can only lower the held amount: {amount} > {decision.amount_microusd}")
        return decision._hold, amount

    def _check_release(self, decision: SpendDecision) -> int | None:
        self._own(decision)
        return decision._hold

    def _after(self, decision: SpendDecision, state: int, amount: int, settled: _Settled | None) -> None:
        if settled is not None and settled.fresh:
            _LOG.debug(
                "hold %s at %d micro-USD",
                _STATE_NAMES[state],
                amount,
                extra={"passport_id": decision.passport_id, "outcome": _STATE_NAMES[state]},
            )
        # None: the hold was pruned, having left every window; nothing to do.
        if settled is None or (settled.state == state and settled.amount == amount):
            return
        name = _STATE_NAMES[settled.state]
        if settled.state == state:
            raise HoldSettledError(
                f"the hold was already committed at {settled.amount} micro-USD, not {amount}", name, settled.amount
            )
        raise HoldSettledError(f"the hold was already {name}", name, settled.amount)


class _ObservedStore:
    """A store whose every operation its observer times and counts."""

    def __init__(self, store: Any, observer: Observer) -> None:
        self._store = store
        self._observer = observer
        self._kind = "postgresql" if type(store).__name__.startswith("Postgres") else "sqlite"

    def __repr__(self) -> str:
        return repr(self._store)

    def reserve(self, request: _Request) -> _Reserved:
        started, began = time.time_ns(), time.perf_counter()
        result = "error"
        try:
            reserved: _Reserved = self._store.reserve(request)
            result = SPEND_LIMIT_EXCEEDED if reserved.hold is None else "replayed" if reserved.replayed else "held"
            return reserved
        finally:
            self._observer.reserved(result, self._kind, started, time.perf_counter() - began)

    def settle(self, hold: int, state: int, amount: int) -> _Settled | None:
        started, began = time.time_ns(), time.perf_counter()
        result, final = "error", 0
        try:
            settled: _Settled | None = self._store.settle(hold, state, amount)
            fresh = settled is not None and settled.fresh
            result = _STATE_NAMES[state] if fresh else "unchanged"
            final = settled.amount if settled is not None and fresh else 0
            return settled
        finally:
            action = "commit" if state == _COMMITTED else "release"
            self._observer.settled(action, result, self._kind, final, started, time.perf_counter() - began)

    def spent(self, issuer_did: str, passport_id: str, at: int, window: int | None) -> int:
        spent: int = self._store.spent(issuer_did, passport_id, at, window)
        return spent

    def close(self) -> None:
        self._store.close()


def _unreadable(value: object) -> int:
    raise ValueError(f"not a text: {value!r}")


def _copy_windows(windows: Mapping[str, timedelta] | None) -> Mapping[str, timedelta]:
    if windows is None:
        return MappingProxyType({})
    if not isinstance(windows, Mapping):
        raise TypeError(f"windows must be a mapping of text to timedelta, not {type(windows).__name__}")
    copied: dict[str, timedelta] = {}
    for text, length in windows.items():
        if not isinstance(text, str) or not isinstance(length, timedelta):
            raise TypeError(f"windows must map text to timedelta, not {text!r} to {length!r}")
        if length < _MICROSECOND:
            raise ValueError(f"the window for {text!r} must be at least a microsecond long, not {length!r}")
        copied[text] = length
    return MappingProxyType(copied)


def _check_amount(amount: object) -> None:
    # A bool is an int to Python, never an amount.
    if type(amount) is not int:
        raise TypeError(f"an amount in micro-USD is a positive int, not {type(amount).__name__}")
    if amount <= 0:
        raise ValueError(f"an amount in micro-USD must be positive, not {amount}")
    if amount >= 2**63:
        raise ValueError(f"an amount in micro-USD must be below 2**63, not {amount}")


def _check_reserve(amount: object, key: object, now: datetime | None) -> int:
    _check_amount(amount)
    if key is not None and (not isinstance(key, str) or not key):
        raise TypeError(f"key must be a non-empty str or None, not {key!r}")
    return _at(now)


def _at(now: datetime | None) -> int:
    """``now`` (default: the current UTC time) in µs since the epoch."""
    if now is None:
        now = datetime.now(UTC)
    elif not isinstance(now, datetime):
        raise TypeError(f"now must be a datetime, not {type(now).__name__}")
    elif now.tzinfo is None or now.utcoffset() is None:
        raise TypeError("now must be a timezone-aware datetime")
    return (now - _EPOCH) // _MICROSECOND


def _open_store(url: str | os.PathLike[str], timeout: float, pool_size: int) -> _Store:
    if isinstance(url, os.PathLike):
        url = os.fspath(url)
    if not isinstance(url, str) or not url:
        raise TypeError(f"url must be a non-empty str or a path, not {url!r}")
    scheme, sep, rest = url.partition("://")
    if not sep:
        scheme, rest = "sqlite", "/" + url
    if scheme == "sqlite":
        if not rest.startswith("/") or rest == "/":
            raise ValueError(f"a SQLite url is sqlite:///relative/path or sqlite:////absolute/path, not {url!r}")
        from quorvel_trellane.spend._sqlite import SqliteStore

        return SqliteStore(rest[1:], timeout)
    if scheme in ("postgresql", "postgres"):
        from quorvel_trellane.spend._postgres import PostgresStore

        return PostgresStore(url, timeout, pool_size)
    raise ValueError(f"unknown spend store {scheme!r} in {url!r}: use sqlite:/// or postgresql://")
