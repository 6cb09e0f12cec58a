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
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from datetime import UTC, datetime
from typing import Any, Final, NamedTuple

from quorvel_trellane.passport import PassportVerdict

__all__ = ["MemoEntry", "VerdictMemo", "memoisable"]

_TAIL: Final = -32  # the characters that find an entry: the signature's last ones
_MAX_ENTRIES: Final = 4096
_STAMP: Final = "%Y-%m-%dT%H:%M:%SZ"
# Refusals of a genuine passport that the same material and options give again.
_KEPT_REFUSALS: Final = frozenset({"REVOKED", "AGENT_MISMATCH", "SCOPE_NOT_GRANTED"})


class MemoEntry(NamedTuple):
    credential: str
    verdict: PassportVerdict
    expires: float  # the passport's expiry, POSIX seconds
    fresh_until: float  # the material's freshness, on ``clock``
    clock: Callable[[], float]


def memoisable(verdict: PassportVerdict) -> bool:
    """Whether the full check's verdict may be kept: an admission, or a refusal no fetch can lift."""
    return verdict.verified or verdict.error_code in _KEPT_REFUSALS


def _expiry(expires_at: Any) -> float | None:
    if type(expires_at) is not str:
        return None
    try:
        return datetime.strptime(expires_at, _STAMP).replace(tzinfo=UTC).timestamp()
    except ValueError:
        return None


class VerdictMemo:
    """Verdicts of one verifier, by credential and options; bounded, oldest out first."""

    __slots__ = ("entries", "generation", "closed", "_lock", "__weakref__")

    def __init__(self) -> None:
        self.entries: dict[tuple[str, Any, Any, Any], MemoEntry] = {}
        self.generation = 0  # bumped whenever the memo is emptied
        self.closed = False
        self._lock = threading.Lock()

    def find(
        self, credential: Any, required_scope: Any, expected_agent_did: Any, require_revocation_check: Any
    ) -> PassportVerdict | None:
        """The kept verdict of exactly this credential and these options, if it still holds."""
        if type(credential) is not str:
            return None
        try:
            entry = self.entries.get((credential[_TAIL:], required_scope, expected_agent_did, require_revocation_check))
        except TypeError:  # an option that is no dict key: never kept
            return None
        if (
            entry is None
            or entry.credential != credential
            or time.time() >= entry.expires
            or entry.clock() >= entry.fresh_until
        ):
            return None
        return entry.verdict

    def keep(
        self,
        generation: int,
        credential: str,
        required_scope: str | None,
        expected_agent_did: str | None,
        require_revocation_check: bool,
        verdict: PassportVerdict,
        fresh_until: float,
        clock: Callable[[], float],
    ) -> None:
        """Keep a verdict the full check reached with material fresh until ``fresh_until``.

        Not kept when the memo was emptied since ``generation`` was read (the
        material changed while the verdict was reached), or once closed.
        """
        expires = _expiry(verdict.expires_at)
        if expires is None or type(credential) is not str:
            return
        key = (credential[_TAIL:], required_scope, expected_agent_did, require_revocation_check)
        entry = MemoEntry(credential, verdict, expires, fresh_until, clock)
        with self._lock:
            if self.closed or generation != self.generation:
                return
            entries = self.entries
            if len(entries) >= _MAX_ENTRIES and key not in entries:
                del entries[next(iter(entries))]
            entries[key] = entry

    def clear(self) -> None:
        """Forget every verdict: the material they were reached with changed."""
        with self._lock:
            self.generation += 1
            self.entries = {}

    def close(self) -> None:
        """Forget every verdict and keep none from now on."""
        with self._lock:
            self.closed = True
            self.generation += 1
            self.entries = {}
