"""The observer for Prometheus: families on a ``prometheus_client`` registry."""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING, Any

from quorvel_trellane.observe._base import LATENCY_BUCKETS, Tally

if TYPE_CHECKING:
    from prometheus_client import CollectorRegistry

    from quorvel_trellane.passport import PassportVerdict

__all__ = ["PrometheusMetrics"]

_INSTALL = "PrometheusMetrics needs prometheus_client: pip install 'quorvel-trellane[prometheus]'"
_DOCUMENT = ["issuer", "document", "kid"]
_LIMITS = (
    ("quorvel_passport_document_ttl_seconds", "How long a copy of an issuer document is fresh, as configured."),
    ("quorvel_passport_document_max_age_seconds", "How old an issuer document may grow before it is dropped."),
)
_PENDING = (
    ("quorvel_spend_pending_payments", "x402 payments held with no final settlement."),
    ("quorvel_spend_pending_held_microusd", "Micro-USD the pending x402 payments hold."),
    ("quorvel_spend_pending_oldest_seconds", "Seconds since the oldest pending x402 payment was held; 0 when none."),
)


class PrometheusMetrics(Tally):
    """Metrics of trusts and spend ledgers, registered on a ``prometheus_client`` registry.

    Give it as ``observer=`` to ``IssuerTrust``, ``TrustedIssuers``,
    ``SpendLedger`` and ``PassportPaywall``; ``registry`` defaults to
    prometheus_client's default registry (one ``PrometheusMetrics`` per
    registry). Families:

    - ``quorvel_passport_verifications_total{status, error_code}``: every
      verdict of a trust, the code "none" for a verified one;
    - ``quorvel_passport_verification_seconds{status}``: a histogram of how
      long each full check took, waits on the network included (a verdict
      answered from the memo is counted above, not timed);
    - ``quorvel_passport_document_fetches_total{issuer, document, outcome}``:
      ``document`` "keys" or "revocation", ``outcome`` "updated",
      "not_modified" or "failed";
    - ``quorvel_passport_document_fetch_seconds{issuer, document}``: a histogram;
    - ``quorvel_passport_document_age_seconds{issuer, document, kid}`` and
      ``quorvel_passport_document_usable{issuer, document, kid}`` (1 or 0),
      read from the trusts' status when scraped (``kid`` "" for the key set;
      no age for a document never fetched), beside each document's
      configured limits ``quorvel_passport_document_ttl_seconds`` and
      ``quorvel_passport_document_max_age_seconds`` (the same labels);
    - ``quorvel_passport_spend_reservations_total{result}``: "held",
      "replayed" or the refusal code;
    - ``quorvel_passport_spend_settlements_total{action}``: "commit" or
      "release", each hold settled once (a repeat is not counted);
    - ``quorvel_passport_spend_settlement_errors_total{action}``: commits
      and releases the store failed;
    - ``quorvel_passport_spend_committed_microusd_total``;
    - ``quorvel_spend_pending_payments``, ``quorvel_spend_pending_held_microusd``
      and ``quorvel_spend_pending_oldest_seconds``: the payments the watched
      paywalls hold with no final settlement, what they hold and the age of
      the oldest (0 when none), read when scraped (absent without a paywall).

    ``issuer`` is the issuer URL a trust was given.
    """

    def __init__(self, *, registry: CollectorRegistry | None = None) -> None:
        try:
            import prometheus_client
            from prometheus_client import core
        except ImportError:
            raise ImportError(_INSTALL) from None
        super().__init__()
        if registry is None:
            registry = prometheus_client.REGISTRY
        self.registry = registry
        self._families = core
        self._fetches = prometheus_client.Counter(
            "quorvel_passport_document_fetches",
            "Fetches of issuer documents, by outcome.",
            ["issuer", "document", "outcome"],
            registry=registry,
        )
        self._fetch_seconds = prometheus_client.Histogram(
            "quorvel_passport_document_fetch_seconds",
            "How long fetching an issuer document took.",
            ["issuer", "document"],
            registry=registry,
        )
        self._reservations = prometheus_client.Counter(
            "quorvel_passport_spend_reservations",
            "Spend reservations, by result.",
            ["result"],
            registry=registry,
        )
        self._settlements = prometheus_client.Counter(
            "quorvel_passport_spend_settlements",
            "Commits and releases of spend holds.",
            ["action"],
            registry=registry,
        )
        self._settle_errors = prometheus_client.Counter(
            "quorvel_passport_spend_settlement_errors",
            "Commits and releases of spend holds the store failed.",
            ["action"],
            registry=registry,
        )
        for action in ("commit", "release"):
            # At 0 from the start: a rate or increase misses a series' first sample.
            self._settle_errors.labels(action)
        self._latency = prometheus_client.Histogram(
            "quorvel_passport_verification_seconds",
            "How long each full check of a passport took (memo answers are not timed).",
            ["status"],
            buckets=LATENCY_BUCKETS,
            registry=registry,
        )
        self._latency_by_status: dict[str, Any] = {}
        self._committed = prometheus_client.Counter(
            "quorvel_passport_spend_committed_microusd",
            "Micro-USD committed through spend ledgers.",
            registry=registry,
        )
        # The families read at scrape time: verdicts and documents.
        registry.register(self)

    def __repr__(self) -> str:
        return f"PrometheusMetrics(registry={self.registry!r})"

    def collect(self) -> Iterator[Any]:
        """The scrape-time families (prometheus_client's collector interface)."""
        core = self._families
        verifications = core.CounterMetricFamily(
            "quorvel_passport_verifications",
            "Verifications through a trust, by status and error code.",
            labels=["status", "error_code"],
        )
        for status, code, count in self.verdict_counts():
            verifications.add_metric([status, code], count)
        age = core.GaugeMetricFamily(
            "quorvel_passport_document_age_seconds",
            "Seconds since the last good copy of an issuer document.",
            labels=_DOCUMENT,
        )
        usable = core.GaugeMetricFamily(
            "quorvel_passport_document_usable",
            "Whether verification may use an issuer document (1) or not (0).",
            labels=_DOCUMENT,
        )
        ttl, max_age = (core.GaugeMetricFamily(name, text, labels=_DOCUMENT) for name, text in _LIMITS)
        for reading in self.readings():
            labels = [reading.issuer, reading.document, reading.kid]
            if reading.age is not None:
                age.add_metric(labels, reading.age)
            usable.add_metric(labels, 1.0 if reading.usable else 0.0)
            if reading.ttl is not None and reading.max_age is not None:
                ttl.add_metric(labels, reading.ttl)
                max_age.add_metric(labels, reading.max_age)
        yield from (verifications, age, usable, ttl, max_age)
        pending = self.pending()
        if pending is not None:
            for (name, text), value in zip(_PENDING, pending, strict=True):
                yield core.GaugeMetricFamily(name, text, value=value)

    def describe(self) -> list[Any]:
        # Described without reading any trust: registering checks the names only.
        core = self._families
        names = ["quorvel_passport_document_age_seconds", "quorvel_passport_document_usable"]
        names += [name for name, _ in _LIMITS]
        return [
            core.CounterMetricFamily("quorvel_passport_verifications", "", labels=["status", "error_code"]),
            *(core.GaugeMetricFamily(name, "", labels=_DOCUMENT) for name in names),
            *(core.GaugeMetricFamily(name, "") for name, _ in _PENDING),
        ]

    def verified_in(self, verdict: PassportVerdict, seconds: float) -> None:
        self.verified(verdict)
        status = verdict.status
        try:
            child = self._latency_by_status[status]
        except KeyError:  # the first of its status: prometheus_client's labels() is slow
            child = self._latency_by_status.setdefault(status, self._latency.labels(status))
        child.observe(max(0.0, seconds))

    def fetched(
        self, issuer: str, document: str, outcome: str, status_code: int | None, started: int, seconds: float
    ) -> None:
        self._fetches.labels(issuer, document, outcome).inc()
        self._fetch_seconds.labels(issuer, document).observe(max(0.0, seconds))

    def reserved(self, result: str, store: str, started: int | None, seconds: float) -> None:
        self._reservations.labels(result).inc()

    def settled(self, action: str, result: str, store: str, amount_microusd: int, started: int, seconds: float) -> None:
        if result == "committed" or result == "released":  # a repeat changes nothing
            self._settlements.labels(action).inc()
            if amount_microusd > 0:
                self._committed.inc(amount_microusd)
        elif result == "error":
            self._settle_errors.labels(action).inc()
