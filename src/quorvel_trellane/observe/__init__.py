"""What an on-call engineer sees: metrics, spans and readiness.

Give an observer to the trusts, the spend ledger and the x402 paywall, and
scrape or export it:

    metrics = PrometheusMetrics()                 # or OpenTelemetryMetrics()
    trust = IssuerTrust(url, issuer_did=did, observer=metrics)
    ledger = SpendLedger(trust, "sqlite:///spend.sqlite3", observer=metrics)
    app = PassportPaywall(app, ..., ledger=ledger, observer=metrics)

and let a load balancer ask whether the server can verify right now:

    app = PassportMiddleware(app, trust=trust, readiness_path="/readyz")

Without an observer, nothing is counted and nothing costs more than a test
for None. Importing this package imports neither prometheus_client nor
OpenTelemetry: each observer imports its own when made.

Modules:

- ``_base``: the verdict tally and the documents' readings both observers share
- ``_prometheus``: PrometheusMetrics, families on a prometheus_client registry
- ``_otel``: OpenTelemetryMetrics, instruments on a meter and spans on a tracer
- ``_readiness``: Readiness, the probe's answer (ASGI and WSGI application)
- ``alerts.yml``: Prometheus alert rules over these metrics, each with its
  runbook (``quorvel-passport alerts``), unit-tested by ``alerts.test.yml``
- ``dashboard.json``: a Grafana dashboard of them (``quorvel-passport dashboard``)

The interface a trust and a ledger call is ``Observer``, a leaf both import.
"""

from __future__ import annotations

from quorvel_trellane._internal.exports import claim
from quorvel_trellane._internal.observing import Observer as Observer
from quorvel_trellane.observe._otel import OpenTelemetryMetrics as OpenTelemetryMetrics
from quorvel_trellane.observe._prometheus import PrometheusMetrics as PrometheusMetrics
from quorvel_trellane.observe._readiness import Readiness as Readiness
from quorvel_trellane.observe._readiness import ReadinessAnswer as ReadinessAnswer

__all__ = ["Observer", "OpenTelemetryMetrics", "PrometheusMetrics", "Readiness", "ReadinessAnswer"]

# The public names belong to this package, as help() and pickling show them.
claim(__name__, globals(), __all__)
