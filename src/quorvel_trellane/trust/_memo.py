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
_MAX_ENTRIES: Final = 2048  # credentials of a few kB, each kept as text and as bytes
_wall: Final = time.time
_STAMP: Final = "%Y-%m-%dT%H:%M:%SZ"
# Refusals of a genuine passport that the same material and options give again.
_KEPT_REFUSALS: Final = frozenset({"REVOKED", "AGENT_MISMATCH", "SCOPE_NOT_GRANTED"})


class MemoEntry(NamedTuple):
    credential: str | bytes
    verdict: PassportVerdict
    expires: float  # the passport's expiry, POSIX seconds
    fresh_until: float  # the material's freshness, on ``clock``
    clock: Callable[[], float]


def memoisable(verdict: PassportVerdict) -> bool:
    """Whether the full check's verdict may be kept: an admission, or a refusal no fetch can lift."""
    return verdict.verified or verdict.error_code in _KEPT_REFUSALS


def _plain(option: object) -> bool:
    return option is None or type(option) is str


def _expiry(expires_at: Any) -> float | None:
    if type(expires_at) is not str:
        return None
    try:
        return datetime.strptime(expires_at, _STAMP).replace(tzinfo=UTC).timestamp()
    except ValueError:
        return None


class VerdictMemo:
    """Verdicts of one verifier, by credential and options; bounded, oldest out first.

    Each entry is found by the credential as text and as the bytes a server
    hands over (an ASCII credential is the same in both), so that a
    middleware never decodes a header it admits.
    """

    __slots__ = ("texts", "raws", "generation", "closed", "_lock", "__weakref__")

    def __init__(self) -> None:
        self.texts: dict[tuple[str, Any, Any, Any], MemoEntry] = {}
        self.raws: dict[tuple[bytes, Any, Any, Any], MemoEntry] = {}
        self.generation = 0  # bumped whenever the memo is emptied
        self.closed = False
        self._lock = threading.Lock()

    def find(
        self,
        credential: Any,
        required_scope: Any = None,
        expected_agent_did: Any = None,
        require_revocation_check: Any = True,
    ) -> PassportVerdict | None:
        """The kept verdict of exactly this credential (text or bytes) and these options, if it still holds."""
        kind = type(credential)
        entries: dict[Any, MemoEntry] = self.texts if kind is str else self.raws if kind is bytes else {}
        try:
            entry = entries.get((credential[_TAIL:], required_scope, expected_agent_did, require_revocation_check))
        except TypeError:  # an option that is no dict key: never kept
            return None
        if entry is None:
            return None
        kept, verdict, expires, fresh_until, clock = entry
        if kept != credential or _wall() >= expires or clock() >= fresh_until:
            return None
        return verdict

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
        if not (_plain(required_scope) and _plain(expected_agent_did) and type(require_revocation_check) is bool):
            return  # options of another kind are looked up, never kept
        expires = _expiry(verdict.expires_at)
        if expires is None or type(credential) is not str or not credential.isascii():
            return
        options = (required_scope, expected_agent_did, require_revocation_check)
        raw = credential.encode("ascii")
        text_key, raw_key = (credential[_TAIL:], *options), (raw[_TAIL:], *options)
        with self._lock:
            if self.closed or generation != self.generation:
                return
            texts, raws = self.texts, self.raws
            if len(texts) >= _MAX_ENTRIES and text_key not in texts:
                oldest = next(iter(texts))
                del texts[oldest]
                raws.pop((oldest[0].encode("ascii"), *oldest[1:]), None)
            texts[text_key] = MemoEntry(credential, verdict, expires, fresh_until, clock)
            raws[raw_key] = MemoEntry(raw, verdict, expires, fresh_until, clock)

    def clear(self) -> None:
        """Forget every verdict: the material they were reached with changed."""
        with self._lock:
            self.generation += 1
            self.texts, self.raws = {}, {}

    def close(self) -> None:
        """Forget every verdict and keep none from now on."""
        with self._lock:
            self.closed = True
            self.generation += 1
            self.texts, self.raws = {}, {}
