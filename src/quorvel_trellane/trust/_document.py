"""The state of one fetched document: fresh, stale, gone; one fetch at a time.

A :class:`Document` is the key set or one revocation list of an issuer. It
knows when its copy is fresh (serve it), stale (serve it, refresh it in the
background), past its usable age (drop it: fail closed) or missing (fetch
it, letting one caller or many wait for the one fetch), and how long to
back off after a failure. It knows nothing of credentials or of the trust
that owns it: it is told what to load, and tells its owner through one
callback when its value changes.
"""

from __future__ import annotations

import logging
import math
import threading
import time
from collections.abc import Callable, Generator, Mapping
from dataclasses import dataclass
from datetime import UTC, datetime
from types import MappingProxyType
from typing import Any, Final

from quorvel_trellane._internal.text import escaped

__all__ = ["Document", "DocumentStatus", "SteadyClock", "status_of"]

# The trust layer's logger: what happens to its documents is its story.
_LOG: Final = logging.getLogger("quorvel_trellane.trust")
_MIN_RETRY: Final = 10.0  # seconds before the first retry after a failed fetch
_MIN_MAX_AGE: Final = 10.0  # a Cache-Control max-age never shortens the ttl below this
# A copy is fresh for at most this share of its usable age, whatever the
# issuer's max-age (or the configured ttl) says: the rest is the window in
# which it is refreshed in the background while still served. A ttl equal to
# the usable age would leave no such window: the first request past it would
# wait for a fetch, and fail closed if the issuer hiccups.
_FRESH_SHARE: Final = 0.75


class SteadyClock:
    """An injected clock, read so that it never runs backwards.

    Only its forward steps count: a step back is skipped, not undone, so
    no document's age ever shrinks and no deadline measured on it moves away.
    """

    __slots__ = ("_clock", "_lock", "_last", "_now")

    def __init__(self, clock: Callable[[], float]) -> None:
        self._clock = clock
        self._lock = threading.Lock()
        self._last: float | None = None
        self._now = 0.0

    def __call__(self) -> float:
        with self._lock:
            raw = self._clock()
            if self._last is None:
                self._now = raw
            elif raw > self._last:
                self._now += raw - self._last
            self._last = raw
            return self._now


@dataclass(frozen=True)
class DocumentStatus:
    """One document (the key set or one revocation list) at one moment.

    ``state`` is "fresh" (within its ttl), "stale" (past it, still served
    while a refresh runs), "unusable" (past its usable age: dropped) or
    "missing" (never fetched successfully). ``last_success`` is wall-clock
    time; ``age`` is seconds of the trust's clock since then. ``fetches``
    counts the attempts, ``failures`` those that failed, and ``last_error``
    describes the latest failure (kept after a later success). ``ttl`` and
    ``max_age`` are the configured limits, in seconds: how long a copy is
    fresh (an issuer's Cache-Control max-age may shorten or lengthen it, to
    at most three quarters of ``max_age``) and how old it may grow before
    it is dropped.
    """

    url: str
    state: str
    last_success: datetime | None
    age: float | None
    last_error: str | None
    fetches: int
    failures: int
    ttl: float | None = None
    max_age: float | None = None


class Document:
    """A fetched document (key set or one revocation list) and its fetch state.

    ``load`` fetches and reads the document, returning its value and the
    max-age the server named (or None). Fields change under ``lock``, which
    the owner shares between its documents; the verification hot path reads
    ``value`` and ``fresh_until`` without it (each read is atomic, and a value
    replaced between the two reads was good a moment ago). ``changed`` is
    called, with the lock held, whenever the value is replaced (with the new
    value) or dropped (with None). Once ``closed`` is set, no fetch starts.

    ``fields`` go with every log record as its ``extra`` (the owner's names
    for the document: issuer, document, kid), with the record's ``outcome``.
    ``observed``, when given, follows every fetch with whether it succeeded,
    its start (nanoseconds of the epoch) and its length in seconds.
    """

    def __init__(
        self,
        url: str,
        ttl: float,
        max_age: float,
        load: Callable[[], tuple[Any, float | None]],
        what: str,
        *,
        lock: threading.Lock,
        clock: Callable[[], float],
        changed: Callable[[Any], None],
        fields: Mapping[str, object] = MappingProxyType({}),
        observed: Callable[[Document, bool, int, float], None] | None = None,
    ) -> None:
        self.url = url
        self.ttl = ttl
        self.max_age = max_age
        self.load = load
        self.what = what
        self.value: Any = None
        self.fetched_at: float | None = None
        self.fetched_wall: datetime | None = None
        self.fresh_until = -math.inf
        self.usable_until = -math.inf
        self.retry_at = -math.inf
        self.delay = 0.0
        self.flight: threading.Event | None = None
        self.fetches = 0
        self.failures = 0
        self.last_error: str | None = None
        self.closed = False
        self._lock = lock
        self._clock = clock
        self._changed = changed
        self.fields = fields
        self.observed = observed
        self._thread: threading.Thread | None = None

    def begin(self) -> tuple[Any, threading.Event | None]:
        """The usable value and None, or None and the fetch to wait for.

        A stale value is returned at once and refreshed in the background.
        With no usable value, the (single) fetch is started or joined; (None,
        None) when none can start (backing off, or closed): fail closed.
        """
        with self._lock:
            now = self._clock()
            self._expire(now)
            value = self.value
            refreshing = value is not None and now >= self.fresh_until and self.flight is None
            flight = self.start(now) if value is None or refreshing else None
        if value is not None:
            if refreshing and flight is not None:
                _LOG.warning(
                    "serving the stale %s (age %.0f s) while it is refreshed",
                    self.what,
                    self.age(now),
                    extra={**self.fields, "outcome": "stale"},
                )
            return value, None
        return None, flight

    def current(self) -> Any:
        """The usable value now, or None."""
        with self._lock:
            self._expire(self._clock())
            return self.value

    def obtain(self) -> Generator[threading.Event, None, Any]:
        """:meth:`begin`, as steps: yields the fetch to wait for, if any; returns the usable value or None."""
        value, flight = self.begin()
        if flight is None:
            return value
        yield flight
        return self.current()

    def retry_in(self, now: float) -> float:
        """Seconds until a fetch may start again (the backoff left), at least 1."""
        return max(self.retry_at - now, 1.0)

    def age(self, now: float) -> float:
        return now - self.fetched_at if self.fetched_at is not None else math.inf

    def _expire(self, now: float) -> None:
        # Past its usable age a document is gone: a stale key set or
        # revocation list must not be served forever.
        if self.value is not None and now >= self.usable_until:
            self.value = None
            self._changed(None)
            _LOG.warning(
                "dropping the %s: not refreshed for %.0f s",
                self.what,
                self.age(now),
                extra={**self.fields, "outcome": "dropped"},
            )

    def start(self, now: float, *, force: bool = False) -> threading.Event | None:
        """The running fetch, or a new one; None in backoff or once closed. Lock held."""
        if self.flight is not None:
            return self.flight
        if self.closed or (now < self.retry_at and not force):
            return None
        flight = self.flight = threading.Event()
        thread = threading.Thread(target=self._run, args=(flight,), name=f"quorvel-trust {self.what}", daemon=True)
        try:
            thread.start()
            self._thread = thread
        except RuntimeError:  # no thread to be had (interpreter shutting down)
            self.flight = None
            flight.set()
            return None
        return flight

    def join(self, until: float) -> bool:
        """Wait, until ``until`` (monotonic) at the latest, for the fetch thread to end; whether it has."""
        with self._lock:
            thread = self._thread
        if thread is not None:
            thread.join(max(0.0, until - time.monotonic()))
            if thread.is_alive():
                return False
        return True

    def _run(self, flight: threading.Event) -> None:
        started, began = time.time_ns(), time.perf_counter()
        try:
            value, max_age = self.load()
        except Exception as exc:
            error = escaped(f"{type(exc).__name__}: {exc}")
            with self._lock:
                self.fetches += 1
                self.failures += 1
                self.last_error = error
                # Back off: at least 10 s, doubling up to the ttl.
                delay = self.delay = min(max(self.delay * 2, _MIN_RETRY), max(self.ttl, _MIN_RETRY))
                self.retry_at = self._clock() + delay
                self.flight = None
                kept = "keeping the last good copy" if self.value is not None else "none held"
            _LOG.warning(
                "fetching the %s from %s failed (%s); %s, next attempt in %.0f s",
                self.what,
                escaped(self.url),
                error,
                kept,
                delay,
                extra={**self.fields, "outcome": "failed"},
            )
            if self.observed is not None:
                self.observed(self, False, started, time.perf_counter() - began)
        else:
            ttl = self.ttl if max_age is None else max(max_age, _MIN_MAX_AGE)
            ttl = min(ttl, self.max_age * _FRESH_SHARE)
            with self._lock:
                now = self._clock()
                self.fetches += 1
                self.value = value
                self.fetched_at = now
                self.fetched_wall = datetime.now(UTC)
                self.fresh_until = now + ttl
                self.usable_until = now + self.max_age
                self.delay = 0.0
                self.retry_at = -math.inf
                self.flight = None
                self._changed(value)
            _LOG.info(
                "fetched the %s from %s (%d entries, fresh for %.0f s)",
                self.what,
                escaped(self.url),
                len(value),
                ttl,
                extra={**self.fields, "outcome": "fetched"},
            )
            if self.observed is not None:
                self.observed(self, True, started, time.perf_counter() - began)
        finally:
            flight.set()
            with self._lock:
                if self.flight is flight:
                    self.flight = None


def status_of(doc: Document, now: float) -> DocumentStatus:
    """What ``doc`` is at ``now`` (the owner's clock), for a status snapshot. Lock held."""

    if doc.value is not None and now < doc.usable_until:
        state = "fresh" if now < doc.fresh_until else "stale"
    else:
        state = "missing" if doc.fetched_at is None else "unusable"
    return DocumentStatus(
        url=doc.url,
        state=state,
        last_success=doc.fetched_wall,
        age=None if doc.fetched_at is None else now - doc.fetched_at,
        last_error=doc.last_error,
        fetches=doc.fetches,
        failures=doc.failures,
        ttl=doc.ttl,
        max_age=doc.max_age,
    )
