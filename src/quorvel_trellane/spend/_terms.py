"""The budget a verified passport names, and the checks on what callers pass."""

from __future__ import annotations

from collections.abc import Mapping
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


class Terms(NamedTuple):
    issuer_did: str
    passport_id: str
    limit: int
    window: int | None


class TermsReader:
    """Reads a verified passport's budget, keeping what it read for the next time.

    A trust has just verified the credential, so its verdict carries the
    issuer, bound and window text; only the passport id is in the payload.
    Both it (per credential) and the window's length (per text) are kept,
    so a repeated passport is never decoded or its window parsed again.
    """

    def __init__(self, windows: Mapping[str, timedelta]) -> None:
        self.windows = windows
        self._ids: dict[str, tuple[object, tuple[object, ...]]] = {}
        self._lengths: dict[str, int | None | str] = {}

    def read(self, verdict: PassportVerdict, credential: str) -> Terms | tuple[str | None, str] | None:
        """The budget; (passport id, why) when unreadable; None when unverified."""
        if not verdict:
            return None
        passport_id, named = self._passport_of(credential)
        verdict_named = (verdict.issuer_did, verdict.agent_did, verdict.kid, verdict.expires_at)
        # Only a verdict given to reserve can differ: one reached for another
        # credential must not charge this one's budget. (Compared as text
        # too, so that a member that never equals itself, a NaN, is no
        # difference.)
        if named != verdict_named and repr(named) != repr(verdict_named):
            raise ValueError(
                "the verdict given to reserve is not this credential's: issuer, agent, kid or expiry differ"
            )
        issuer_did = verdict.issuer_did
        limit = verdict.spend_limit_microusd
        if not isinstance(passport_id, str) or not passport_id:
            return None, "the passport has no passport id to keep a budget under"
        if not _storable(passport_id):
            return None, "the passport's id cannot be kept by the store (a NUL character, or over 1024 characters)"
        if not isinstance(issuer_did, str) or not issuer_did or not _storable(issuer_did):
            return passport_id, "the passport names no issuer DID the store can keep a budget under"
        if type(limit) is not int or limit < 0:
            return passport_id, f"the passport's spend_limit_microusd is not a non-negative integer: {limit!r}"
        window = self._window(verdict.spend_window)
        if isinstance(window, str):
            return passport_id, window
        # A bound past 2**62 micro-USD is no bound at all; capped, every
        # total and remainder stays a 64-bit integer in both stores.
        return Terms(issuer_did, passport_id, min(limit, LONGEST_US), window)

    def _passport_of(self, credential: str) -> tuple[object, tuple[object, ...]]:
        """The credential's passport id, and the issuer DID, agent DID, kid and expiry it names."""
        found = self._ids.get(credential)
        if found is None:
            decoded = passport.decode_passport(credential)
            payload = decoded.payload
            named = (decoded.issuer_did, decoded.agent_did, decoded.kid, payload.get("expires_at"))
            found = (payload.get("passport_id"), named)
            if len(credential) > _MEMO_CREDENTIAL:
                return found
            if len(self._ids) >= _MEMO_SIZE:
                self._ids.clear()
            self._ids[credential] = found
        return found

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
        now = datetime.now(UTC)
    elif not isinstance(now, datetime):
        raise TypeError(f"now must be a datetime, not {type(now).__name__}")
    elif now.tzinfo is None or now.utcoffset() is None:
        raise TypeError("now must be a timezone-aware datetime")
    return (now - _EPOCH) // _MICROSECOND
