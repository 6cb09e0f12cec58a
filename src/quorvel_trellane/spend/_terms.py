"""The budget a verified passport names, and the checks on what callers pass."""

from __future__ import annotations

import time
from collections.abc import Awaitable, Callable, Mapping
from datetime import UTC, datetime, timedelta
from types import MappingProxyType
from typing import Final, NamedTuple, Protocol

from quorvel_trellane import passport
from quorvel_trellane.passport import PassportVerdict
from quorvel_trellane.spend._window import LONGEST_US, window_us

__all__ = ["Terms", "TermsReader", "Trust", "given_verdict", "at_of", "check_amount", "check_reserve", "copy_windows"]

_EPOCH: Final = datetime(1970, 1, 1, tzinfo=UTC)
_MICROSECOND: Final = timedelta(microseconds=1)
# Longer ids than this are refused on both stores alike (a PostgreSQL index
# row holds a few kB at most).
_LONGEST_ID: Final = 1024
# The passport ids read from credentials verified lately; the credential is
# the key, compared whole on a hit. Cleared when full; credentials and texts
# past the sizes below are read each time, never kept.
_MEMO_SIZE: Final = 1024
_MEMO_CREDENTIAL: Final = 16_384
_MEMO_TEXT: Final = 256


class Trust(Protocol):
    """What the ledger needs of a trust (``IssuerTrust``, ``TrustedIssuers``): ``verify`` and
    ``verify_async``, taking a credential and ``required_scope``, ``expected_agent_did``, ``now``
    and ``leeway`` by keyword."""

    @property
    def verify(self) -> Callable[..., PassportVerdict]: ...

    @property
    def verify_async(self) -> Callable[..., Awaitable[PassportVerdict]]: ...


class Terms(NamedTuple):
    issuer_did: str
    passport_id: str
    limit: int
    window: int | None


class TermsReader:
    """Reads a passport's budget from the credential, keeping what it read for the next time.

    The budget (issuer DID, passport id, bound and window) is read from the
    credential's own payload, never from a verdict: a verdict carries no
    passport id, and one reached for another credential must never set
    this one's bound. What the credential names is kept per credential,
    and the window's length per text, so a repeated passport is never
    decoded or its window parsed again.
    """

    def __init__(self, windows: Mapping[str, timedelta]) -> None:
        self.windows = windows
        self._named: dict[str, _Named] = {}
        self._lengths: dict[str, int | None | str] = {}

    def read(self, verdict: PassportVerdict, credential: str, given: bool) -> Terms | tuple[str | None, str] | None:
        """The budget; (passport id, why) when unreadable; None when unverified.

        ``given``: the verdict was handed in by the caller rather than reached
        here, so it must be this credential's: every field it carries equal
        to what the credential names, or ValueError.
        """
        if not verdict:
            return None
        named = self._named.get(credential) or self._named_by(credential)
        if given and not named.matches(verdict):
            raise ValueError(
                "the verdict given to reserve is not this credential's: "
                "its issuer, agent, kid, dates, scopes or spend terms differ"
            )
        return named.terms

    def budget_of(self, credential: str) -> tuple[str, str] | None:
        """The issuer DID and passport id the credential names, unverified; None when it names none."""
        return (self._named.get(credential) or self._named_by(credential)).budget

    def _named_by(self, credential: str) -> _Named:
        decoded = passport.decode_passport(credential)
        payload = decoded.payload
        passport_id, issuer_did = payload.get("passport_id"), decoded.issuer_did
        limit, window = payload.get("spend_limit_microusd"), payload.get("spend_window")
        named = _Named(
            (decoded.issuer_did, decoded.agent_did, decoded.kid, payload.get("issued_at"), payload.get("expires_at")),
            (decoded.scopes, limit, window),
            self._terms(passport_id, issuer_did, limit, window),
            (issuer_did, passport_id)
            if isinstance(issuer_did, str) and isinstance(passport_id, str) and issuer_did and passport_id
            else None,
        )
        if len(credential) <= _MEMO_CREDENTIAL:
            if len(self._named) >= _MEMO_SIZE:
                self._named.clear()
            self._named[credential] = named
        return named

    def _terms(
        self, passport_id: object, issuer_did: object, limit: object, window_text: object
    ) -> Terms | tuple[str | None, str]:
        if not isinstance(passport_id, str) or not passport_id:
            return None, "the passport has no passport id to keep a budget under"
        if not _storable(passport_id):
            return None, "the passport's id cannot be kept by the store (a NUL character, or over 1024 characters)"
        if not isinstance(issuer_did, str) or not issuer_did or not _storable(issuer_did):
            return passport_id, "the passport names no issuer DID the store can keep a budget under"
        if type(limit) is not int or limit < 0:
            return passport_id, f"the passport's spend_limit_microusd is not a non-negative integer: {limit!r}"
        window = self._window(window_text)
        if isinstance(window, str):
            return passport_id, window
        # A bound past 2**62 micro-USD is no bound at all; capped, every
        # total and remainder stays a 64-bit integer in both stores.
        return Terms(issuer_did, passport_id, min(limit, LONGEST_US), window)

    def _window(self, text: object) -> int | None | str:
        """The window in µs (None: the whole life), or why it cannot be read."""
        if text is None:
            return None
        if not isinstance(text, str):
            return f"the passport's spend_window cannot be read: {text!r}"
        length = self._lengths.get(text, "")
        if length != "":
            return length
        mapped = self.windows.get(text)
        if mapped is not None:
            us = mapped // _MICROSECOND
            length = None if us > LONGEST_US else us
        else:
            try:
                length = window_us(text)
            except ValueError:
                shown = text if len(text) <= 40 else text[:40] + "..."
                length = f"the passport's spend_window cannot be read: {shown!r}"
        if len(text) > _MEMO_TEXT:
            return length
        if len(self._lengths) >= _MEMO_SIZE:
            self._lengths.clear()
        self._lengths[text] = length
        return length


class _Named(NamedTuple):
    """What one credential names: every field a verdict of it carries, its budget's terms, its budget."""

    who: tuple[object, ...]  # issuer, agent, kid, issued, expires
    spends: tuple[object, ...]  # scopes, bound, window
    terms: Terms | tuple[str | None, str]
    budget: tuple[str, str] | None

    def matches(self, verdict: PassportVerdict) -> bool:
        carried = (
            (verdict.issuer_did, verdict.agent_did, verdict.kid, verdict.issued_at, verdict.expires_at),
            (verdict.scopes, verdict.spend_limit_microusd, verdict.spend_window),
        )
        fields = (self.who, self.spends)
        # Compared as text too, so that a member that never equals itself
        # (a NaN) is no difference.
        return carried == fields or repr(carried) == repr(fields)


def _storable(text: str) -> bool:
    return len(text) <= _LONGEST_ID and "\x00" not in text


def given_verdict(
    verdict: PassportVerdict | None, required_scope: str | None, expected_agent_did: str | None, leeway: float
) -> PassportVerdict | None:
    """The verdict a caller gave ``reserve``, checked; None to verify."""
    if verdict is None:
        return None
    if not isinstance(verdict, PassportVerdict):
        raise TypeError(f"verdict must be a PassportVerdict, not {type(verdict).__name__}")
    if required_scope is not None or expected_agent_did is not None or leeway:
        # They are checks of a verification, and the verdict given is one already reached.
        raise ValueError("a verdict given to reserve takes no required_scope, expected_agent_did or leeway")
    return verdict


def copy_windows(windows: Mapping[str, timedelta] | None) -> Mapping[str, timedelta]:
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


def check_amount(amount: object) -> None:
    # A bool is an int to Python, never an amount.
    if type(amount) is not int:
        raise TypeError(f"an amount in micro-USD is a positive int, not {type(amount).__name__}")
    if amount <= 0:
        raise ValueError(f"an amount in micro-USD must be positive, not {amount}")
    if amount >= 2**63:
        raise ValueError(f"an amount in micro-USD must be below 2**63, not {amount}")


def check_reserve(amount: object, key: object, now: datetime | None) -> int:
    check_amount(amount)
    if key is not None and (not isinstance(key, str) or not key):
        raise TypeError(f"key must be a non-empty str or None, not {key!r}")
    if key is not None and not _storable(key):
        raise ValueError("key must have at most 1024 characters and no NUL character")
    return at_of(now)


def at_of(now: datetime | None) -> int:
    """``now`` (default: the current UTC time) in µs since the epoch."""
    if now is None:
        return time.time_ns() // 1000
    if not isinstance(now, datetime):
        raise TypeError(f"now must be a datetime, not {type(now).__name__}")
    if now.tzinfo is None or now.utcoffset() is None:
        raise TypeError("now must be a timezone-aware datetime")
    return (now - _EPOCH) // _MICROSECOND
