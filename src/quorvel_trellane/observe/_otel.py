"""The observer for OpenTelemetry: instruments on a meter, spans on a tracer."""

from __future__ import annotations

import functools
from collections.abc import Iterable, Iterator
from typing import TYPE_CHECKING, Any, Final

from quorvel_trellane.observe._base import LATENCY_BUCKETS, Tally

if TYPE_CHECKING:
    from quorvel_trellane.passport import PassportVerdict

__all__ = ["OpenTelemetryMetrics"]

_INSTALL: Final = "OpenTelemetryMetrics needs opentelemetry-api: pip install 'quorvel-trellane[otel]'"
_SCOPE: Final = "quorvel_trellane"
_LIMITS: Final = (
    ("quorvel.passport.document_ttl", "ttl", "How long a copy of an issuer document is fresh, as configured."),
    ("quorvel.passport.document_max_age", "max_age", "How old an issuer document may grow before it is dropped."),
)
_PENDING: Final = (
    ("quorvel.spend.pending_payments", "{payment}", "x402 payments held with no final settlement."),
    ("quorvel.spend.pending_held", "{microUSD}", "Micro-USD the pending x402 payments hold."),
    ("quorvel.spend.pending_oldest", "s", "Seconds since the oldest pending x402 payment was held; 0 when none."),
)


class OpenTelemetryMetrics(Tally):
    """Metrics and spans of trusts and spend ledgers through OpenTelemetry.

    Give it as ``observer=`` to ``IssuerTrust``, ``TrustedIssuers``,
    ``SpendLedger`` and ``PassportPaywall``. ``meter_provider`` and
    ``tracer_provider`` default to the global ones (only
    ``opentelemetry-api`` is needed here; the SDK and its exporters are the
    application's). Instruments, the twins of the Prometheus families, with
    their labels as attributes: ``quorvel.passport.verifications``,
    ``quorvel.passport.verification.duration`` (s, full checks only),
    ``quorvel.passport.document_fetches``,
    ``quorvel.passport.document_fetch_duration`` (s),
    ``quorvel.passport.document_age``, ``quorvel.passport.document_ttl``,
    ``quorvel.passport.document_max_age`` (s) and
    ``quorvel.passport.document_usable`` (observable gauges, read from the
    trusts' status when collected), ``quorvel.passport.spend_reservations``,
    ``quorvel.passport.spend_settlements``,
    ``quorvel.passport.spend_settlement_errors``,
    ``quorvel.passport.spend_committed`` (micro-USD), and
    ``quorvel.spend.pending_payments``, ``quorvel.spend.pending_held``
    (micro-USD) and ``quorvel.spend.pending_oldest`` (s), read from the
    watched paywalls when collected. Spans, for what waits:
    ``quorvel.passport.fetch`` around each document fetch (issuer, document,
    outcome, ``http.response.status_code``) and ``quorvel.spend.reserve``,
    ``quorvel.spend.commit`` and ``quorvel.spend.release`` around each store
    operation (result, store). A verification makes no span.
    """

    def __init__(self, meter_provider: Any = None, tracer_provider: Any = None) -> None:
        try:
            from opentelemetry import metrics, trace
        except ImportError:
            raise ImportError(_INSTALL) from None
        super().__init__()
        self._observation = metrics.Observation
        self._error = trace.Status(trace.StatusCode.ERROR)
        meter = metrics.get_meter(_SCOPE, meter_provider=meter_provider)
        self._tracer = trace.get_tracer(_SCOPE, tracer_provider=tracer_provider)
        meter.create_observable_counter(
            "quorvel.passport.verifications",
            callbacks=[self._observe_verdicts],
            unit="{verification}",
            description="Verifications through a trust, by status and error code.",
        )
        self._latency = meter.create_histogram(
            "quorvel.passport.verification.duration",
            unit="s",
            description="How long each full check of a passport took (memo answers are not timed).",
            explicit_bucket_boundaries_advisory=list(LATENCY_BUCKETS),
        )
        self._fetches = meter.create_counter(
            "quorvel.passport.document_fetches", unit="{fetch}", description="Fetches of issuer documents."
        )
        self._fetch_duration = meter.create_histogram(
            "quorvel.passport.document_fetch_duration", unit="s", description="How long fetching a document took."
        )
        meter.create_observable_gauge(
            "quorvel.passport.document_age",
            callbacks=[self._observe_ages],
            unit="s",
            description="Seconds since the last good copy of an issuer document.",
        )
        meter.create_observable_gauge(
            "quorvel.passport.document_usable",
            callbacks=[self._observe_usable],
            unit="1",
            description="Whether verification may use an issuer document (1) or not (0).",
        )
        for name, limit, text in _LIMITS:
            meter.create_observable_gauge(
                name, callbacks=[functools.partial(self._observe_limit, limit)], unit="s", description=text
            )
        for index, (name, unit, text) in enumerate(_PENDING):
            meter.create_observable_gauge(
                name, callbacks=[functools.partial(self._observe_pending, index)], unit=unit, description=text
            )
        self._reservations = meter.create_counter(
            "quorvel.passport.spend_reservations", unit="{reservation}", description="Spend reservations."
        )
        self._settlements = meter.create_counter(
            "quorvel.passport.spend_settlements", unit="{settlement}", description="Commits and releases of holds."
        )
        self._settle_errors = meter.create_counter(
            "quorvel.passport.spend_settlement_errors",
            unit="{settlement}",
            description="Commits and releases of holds the store failed.",
        )
        for action in ("commit", "release"):  # at 0 from the start, as in Prometheus
            self._settle_errors.add(0, {"action": action})
        self._committed = meter.create_counter(
            "quorvel.passport.spend_committed", unit="{microUSD}", description="Micro-USD committed."
        )

    def __repr__(self) -> str:
        return "OpenTelemetryMetrics()"

    # -- observable instruments, read when the SDK collects --

    def _observe_verdicts(self, options: Any) -> Iterable[Any]:
        observation = self._observation
        return [
            observation(count, {"status": status, "error_code": code}) for status, code, count in self.verdict_counts()
        ]

    def _observe_ages(self, options: Any) -> Iterator[Any]:
        for reading in self.readings():
            if reading.age is not None:
                yield self._observation(reading.age, _document_attributes(reading))

    def _observe_usable(self, options: Any) -> Iterator[Any]:
        for reading in self.readings():
            yield self._observation(1 if reading.usable else 0, _document_attributes(reading))

    def _observe_limit(self, limit: str, options: Any) -> Iterator[Any]:
        for reading in self.readings():
            value = getattr(reading, limit)
            if value is not None:
                yield self._observation(value, _document_attributes(reading))

    def _observe_pending(self, index: int, options: Any) -> Iterator[Any]:
        pending = self.pending()
        if pending is not None:
            yield self._observation(pending[index])

    # -- events --

    def verified_in(self, verdict: PassportVerdict, seconds: float) -> None:
        self.verified(verdict)
        self._latency.record(max(0.0, seconds), {"status": verdict.status})

    def fetched(
        self, issuer: str, document: str, outcome: str, status_code: int | None, started: int, seconds: float
    ) -> None:
        seconds = max(0.0, seconds)
        attributes: dict[str, Any] = {"issuer": issuer, "document": document, "outcome": outcome}
        self._fetches.add(1, attributes)
        self._fetch_duration.record(seconds, {"issuer": issuer, "document": document})
        if status_code is not None:
            attributes["http.response.status_code"] = status_code
        self._span("quorvel.passport.fetch", attributes, started, seconds, outcome == "failed")

    def reserved(self, result: str, store: str, started: int | None, seconds: float) -> None:
        self._reservations.add(1, {"result": result})
        if started is not None:  # else refused before the store: nothing waited
            self._span("quorvel.spend.reserve", {"result": result, "store": store}, started, seconds, result == "error")

    def settled(self, action: str, result: str, store: str, amount_microusd: int, started: int, seconds: float) -> None:
        if result == "committed" or result == "released":  # a repeat changes nothing
            self._settlements.add(1, {"action": action})
            if amount_microusd > 0:
                self._committed.add(amount_microusd)
        elif result == "error":
            self._settle_errors.add(1, {"action": action})
        attributes = {"result": result, "store": store}
        self._span(f"quorvel.spend.{action}", attributes, started, seconds, result == "error")

    def _span(self, name: str, attributes: dict[str, Any], started: int, seconds: float, failed: bool) -> None:
        # Drawn once the operation is over, with its real start and end.
        span = self._tracer.start_span(name, attributes=attributes, start_time=started)
        if failed:
            span.set_status(self._error)
        span.end(end_time=started + int(max(0.0, seconds) * 1e9))


def _document_attributes(reading: Any) -> dict[str, str]:
    return {"issuer": reading.issuer, "document": reading.document, "kid": reading.kid}
