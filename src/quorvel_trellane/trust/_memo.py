"""The verdict memo: a repeated credential answered without decoding it again.

An agent sends the same passport on every request. Once the full check has
judged it with a trust's warm material, the verdict is kept, keyed on the
last characters of the credential and the options asked, and compared on
the whole credential text at each hit. An entry never outlives what made
its verdict true:

- the material: every change of a key set or revocation list empties the
  memo (the warm cache tells it), and a verdict reached while one changed
  is never stored (``generation``);
- its freshness: an entry stops answering once the documents it was judged
  with are past their freshness on the trust's clock, so that the full
  check runs and starts their refresh;
- the passport's own expiry, read at every hit against the current time;
- ``close()``.

Only verdicts that cannot turn into an admission while the material stays
are kept: admissions, and genuine passports refused for revocation, for
another agent or for a missing scope. A verdict that depends on something
else (a fetch that failed, a key not held, a malformed credential) is
never kept, so a forger cannot fill the memo.

Its size is bounded twice, the oldest entry going first: at most 2,048
entries, and at most 24 MiB of entries weighed by what they hold (three
times the credential's length for its text, its bytes and the verdict read
from it, 64 bytes a scope, 1 KiB for the records), a weight above what
they take (measured with tracemalloc: a memo full of real passports of
2.7 kB holds 13 MiB; one full of passports padded to 15 KiB, 16 MiB). A
credential over 16 KiB is never kept. So no agent, however it pads its
passport, grows one memo past 24 MiB; a server holds one memo per trust
(and one per set of trusts).
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from datetime import UTC, datetime
from typing import TYPE_CHECKING, Any, Final, NamedTuple, Protocol

from quorvel_trellane.passport import PassportVerdict

if TYPE_CHECKING:
    from quorvel_trellane._internal.observing import Observer

__all__ = ["MAX_BYTES", "MAX_CREDENTIAL", "MAX_ENTRIES", "Asked", "MemoEntry", "VerdictMemo", "memoisable"]

#: The most entries a memo keeps.
MAX_ENTRIES: Final = 2048
#: The most a memo holds, entries weighed by :func:`weight`.
MAX_BYTES: Final = 24 * 1024 * 1024
#: The longest credential kept: several times a real one (about 3 kB).
MAX_CREDENTIAL: Final = 16 * 1024
_ENTRY: Final = 1024  # an entry's records (key, entry, tail) and the verdict's own, beyond the text
_SCOPE: Final = 64  # a scope's own object in the verdict, beyond its text
_TAIL: Final = -32  # the characters that find an entry: the signature's last ones
_wall: Final = time.time
_STAMP: Final = "%Y-%m-%dT%H:%M:%SZ"
# Refusals of a genuine passport that the same material and options give again.
_KEPT_REFUSALS: Final = frozenset({"REVOKED", "AGENT_MISMATCH", "SCOPE_NOT_GRANTED"})
_DAYS_BEFORE_MONTH: Final = (0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334)
_MONTH_DAYS: Final = (0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)
_EPOCH: Final = 719_163  # date(1970, 1, 1).toordinal()


class Asked(Protocol):
    """What a verification asked: the memo's key, and the generation it missed at."""

    @property
    def credential(self) -> str: ...
    @property
    def required_scope(self) -> str | None: ...
    @property
    def expected_agent_did(self) -> str | None: ...
    @property
    def require_revocation_check(self) -> bool: ...
    @property
    def generation(self) -> int: ...


class MemoEntry(NamedTuple):
    credential: str | bytes  # as text, or as a header's bytes: one entry each
    verdict: PassportVerdict
    expires: float  # the passport's expiry, POSIX seconds
    fresh_until: float  # the material's freshness, on ``clock``
    clock: Callable[[], float]
    weight: int  # what it counts against MAX_BYTES


def memoisable(verdict: PassportVerdict) -> bool:
    """Whether the full check's verdict may be kept: an admission, or a refusal no fetch can lift."""
    return verdict.verified or verdict.error_code in _KEPT_REFUSALS


def weight(credential: str, verdict: PassportVerdict) -> int:
    """What an entry counts against :data:`MAX_BYTES`: the credential's text and
    bytes, the verdict's fields read from it (their text never longer, each
    scope an object of its own), and the entry's records."""
    return 3 * len(credential) + _SCOPE * len(verdict.scopes) + _ENTRY


def _plain(option: object) -> bool:
    return option is None or type(option) is str


def expiry(expires_at: Any) -> float | None:
    """An expiry stamp as POSIX seconds, as ``strptime`` of ``%Y-%m-%dT%H:%M:%SZ`` reads it; None
    for anything it refuses.

    The form stamps are written in (twenty ASCII characters, each field in
    range) is read by arithmetic; any other text goes to ``strptime``,
    which decides exactly.
    """
    if type(expires_at) is not str:
        return None
    text = expires_at
    if (
        len(text) == 20
        and text.isascii()
        and text[4] == "-"
        and text[7] == "-"
        and text[10] == "T"
        and text[13] == ":"
        and text[16] == ":"
        and text[19] == "Z"
    ):
        digits = text[:4] + text[5:7] + text[8:10] + text[11:13] + text[14:16] + text[17:19]
        if digits.isdigit():
            year, month, day = int(text[:4]), int(text[5:7]), int(text[8:10])
            hour, minute, second = int(text[11:13]), int(text[14:16]), int(text[17:19])
            leap = year % 4 == 0 and (year % 100 != 0 or year % 400 == 0)
            if (
                year >= 1
                and 1 <= month <= 12
                and 1 <= day <= (29 if month == 2 and leap else _MONTH_DAYS[month])
                and hour < 24
                and minute < 60
                and second < 60
            ):
                y = year - 1
                days = y * 365 + y // 4 - y // 100 + y // 400 + _DAYS_BEFORE_MONTH[month] + day
                if month > 2 and leap:
                    days += 1
                return float((days - _EPOCH) * 86400 + hour * 3600 + minute * 60 + second)
    try:
        return datetime.strptime(text, _STAMP).replace(tzinfo=UTC).timestamp()
    except ValueError:
        return None


class VerdictMemo:
    """Verdicts of one verifier, by credential and options; bounded, oldest out first.

    Each entry is found by the credential as text and as the bytes a server
    hands over (an ASCII credential is the same in both), so that a door
    never decodes a header it admits.
    """

    __slots__ = ("texts", "raws", "held", "generation", "closed", "observer", "_lock", "__weakref__")

    def __init__(self, observer: Observer | None = None) -> None:
        self.texts: dict[tuple[str, Any, Any, Any], MemoEntry] = {}
        self.raws: dict[tuple[bytes, Any, Any, Any], MemoEntry] = {}
        self.held = 0  # the entries' weight
        self.generation = 0  # bumped whenever the memo is emptied
        self.closed = False
        self.observer = observer  # told every verdict found: a recalled verdict counts as a verification
        self._lock = threading.Lock()

    def find(
        self,
        credential: Any,
        required_scope: Any = None,
        expected_agent_did: Any = None,
        require_revocation_check: Any = True,
    ) -> PassportVerdict | None:
        """The kept verdict of exactly this credential (text or bytes) and these options, if it still holds.

        Never decodes, fetches or waits; the observer is told the verdict found.
        """
        kind = type(credential)
        entries: dict[Any, MemoEntry] = self.texts if kind is str else self.raws if kind is bytes else {}
        try:
            entry = entries.get((credential[_TAIL:], required_scope, expected_agent_did, require_revocation_check))
        except TypeError:  # an option that is no dict key: never kept
            return None
        if entry is None:
            return None
        kept, verdict, expires, fresh_until, clock, _ = entry
        if kept != credential or _wall() >= expires or clock() >= fresh_until:
            return None
        observer = self.observer
        if observer is not None:
            observer.verified(verdict)
        return verdict

    def keep(self, asked: Asked, verdict: PassportVerdict, fresh_until: float, clock: Callable[[], float]) -> None:
        """Keep a verdict the full check reached with material fresh until ``fresh_until``.

        Not kept when the memo was emptied since ``asked.generation`` was
        read (the material changed while the verdict was reached), once
        closed, or for a credential over :data:`MAX_CREDENTIAL`.
        """
        credential = asked.credential
        scope, agent, check = asked.required_scope, asked.expected_agent_did, asked.require_revocation_check
        if not (_plain(scope) and _plain(agent) and type(check) is bool):
            return  # options of another kind are looked up, never kept
        if type(credential) is not str or len(credential) > MAX_CREDENTIAL or not credential.isascii():
            return
        expires = expiry(verdict.expires_at)
        if expires is None:
            return
        raw = credential.encode("ascii")
        key, raw_key = (credential[_TAIL:], scope, agent, check), (raw[_TAIL:], scope, agent, check)
        entry = MemoEntry(credential, verdict, expires, fresh_until, clock, weight(credential, verdict))
        with self._lock:
            if self.closed or asked.generation != self.generation:
                return
            texts, raws = self.texts, self.raws
            if key in texts:
                self.held -= texts.pop(key).weight
            while texts and (len(texts) >= MAX_ENTRIES or self.held + entry.weight > MAX_BYTES):
                oldest = next(iter(texts))
                self.held -= texts.pop(oldest).weight
                raws.pop((oldest[0].encode("ascii"), *oldest[1:]), None)
            texts[key] = entry
            raws[raw_key] = MemoEntry(raw, *entry[1:])
            self.held += entry.weight

    def clear(self) -> None:
        """Forget every verdict: the material they were reached with changed."""
        with self._lock:
            self.generation += 1
            self.texts, self.raws, self.held = {}, {}, 0

    def close(self) -> None:
        """Forget every verdict and keep none from now on."""
        with self._lock:
            self.closed = True
            self.generation += 1
            self.texts, self.raws, self.held = {}, {}, 0
