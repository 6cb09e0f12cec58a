"""What an observer reports: a real prometheus_client registry and the OpenTelemetry SDK's in-memory reader and exporter.

Each event runs against a fresh trust on a loopback issuer (and a SQLite
spend ledger), and the samples of the families it names must be exactly
those expected, in Prometheus's names; OpenTelemetry's instruments are read
under the same names, and its spans compared too.
"""

from __future__ import annotations

import functools
import os
import socket
import threading
import uuid
from wsgiref.simple_server import WSGIRequestHandler, make_server

import pytest
import requests
import uvicorn
from opentelemetry.sdk.metrics import MeterProvider
from opentelemetry.sdk.metrics.export import InMemoryMetricReader
from opentelemetry.sdk.trace import TracerProvider
from opentelemetry.sdk.trace.export import SimpleSpanProcessor
from opentelemetry.sdk.trace.export.in_memory_span_exporter import InMemorySpanExporter
from prometheus_client import CollectorRegistry

from quorvel_trellane import asgi, passport, wsgi
from quorvel_trellane.observe import OpenTelemetryMetrics, PrometheusMetrics
from quorvel_trellane.spend import SpendLedger
from quorvel_trellane.testing import Issuer, IssuerServer
from quorvel_trellane.trust import IssuerTrust, TrustedIssuers

V, F, S, U = (
    "quorvel_passport_verifications_total",
    "quorvel_passport_document_fetches_total",
    "quorvel_passport_document_fetch_seconds_count",
    "quorvel_passport_document_usable",
)
R, T, C, E = (
    "quorvel_passport_spend_reservations_total",
    "quorvel_passport_spend_settlements_total",
    "quorvel_passport_spend_committed_microusd_total",
    "quorvel_passport_spend_settlement_errors_total",
)
H, TTL, MAX = (
    "quorvel_passport_verification_seconds_count",
    "quorvel_passport_document_ttl_seconds",
    "quorvel_passport_document_max_age_seconds",
)
OTEL_NAMES = {
    "quorvel.passport.spend_reservations": R,
    "quorvel.passport.spend_settlements": T,
    "quorvel.passport.spend_committed": C,
    "quorvel.passport.verifications": V,
    "quorvel.passport.document_fetches": F,
    "quorvel.passport.document_fetch_duration": S,
    "quorvel.passport.document_usable": U,
    "quorvel.passport.spend_settlement_errors": E,
    "quorvel.passport.verification.duration": H,
    "quorvel.passport.document_ttl": TTL,
    "quorvel.passport.document_max_age": MAX,
}
ACTIVE, REVOKED = ("active", "none"), ("revoked", "REVOKED")
KEYS, LIST = ("keys", ""), ("revocation", "KID")


def verdicts(*pairs):
    return {(V, (("error_code", code), ("status", status))): n for (status, code), n in pairs}


def fetches(*rows):
    return {(F, (("document", doc), ("issuer", "URL"), ("outcome", out))): n for doc, out, n in rows}


def usable(*rows, family=U):
    return {(family, (("document", doc), ("issuer", "URL"), ("kid", kid))): n for (doc, kid), n in rows}


def timed(*pairs):
    """Full checks timed, by status."""
    return {(H, (("status", status),)): n for status, n in pairs}


def good(c):
    c.trust.verify(c.creds["good"])


def spend(c, *steps):
    """Reserve (amount, key), commit or release the last hold, in turn."""
    held = None
    for step in steps:
        if step == "commit":
            c.ledger.commit(held)
        elif step == "release":
            c.ledger.release(held)
        else:
            held = c.ledger.reserve(c.creds.get(step[1], c.spender), step[0], key=step[1])


def after_close(c):
    held = c.ledger.reserve(c.spender, 1_000)
    c.ledger.close()
    for step in (lambda: c.ledger.reserve(c.spender, 1_000), lambda: c.ledger.commit(held)):
        with pytest.raises(Exception):  # noqa: B017 - each store its own error for "closed"
            step()


def counts(name, label, **values):
    return {(name, ((label, value),)): n for value, n in values.items()}


FETCHED = [("quorvel.passport.fetch", "updated", 200)] * 2
RESERVE, COMMIT, RELEASE = (f"quorvel.spend.{name}" for name in ("reserve", "commit", "release"))


# name: (what happens, expected samples of the families named, expected spans (name, outcome, status code))
EVENTS = {
    "a good passport is counted and timed, its documents fetched": (
        good,
        {
            **verdicts((ACTIVE, 1)),
            **timed(("active", 1)),
            **fetches(("keys", "updated", 1), ("revocation", "updated", 1)),
        },
        [("quorvel.passport.fetch", "updated", 200)] * 2,
    ),
    "a memoised repeat is counted, not timed, and makes no span": (
        lambda c: [c.trust.verify(c.creds["good"]) for _ in range(3)],
        # the first verdict, reached while the documents arrived, is not kept: the second checks again
        {**verdicts((ACTIVE, 3)), **timed(("active", 2))},
        [("quorvel.passport.fetch", "updated", 200)] * 2,
    ),
    "revoked and garbage credentials are counted by code": (
        lambda c: [c.trust.verify(x) for x in (c.creds["revoked"], "garbage", "")],
        verdicts((REVOKED, 1), (("invalid", "INVALID_CREDENTIAL"), 2)),
        [("quorvel.passport.fetch", "updated", 200)] * 2,
    ),
    "a refresh answered 304 is not_modified": (
        lambda c: (good(c), c.trust.refresh()),
        fetches(
            ("keys", "updated", 1),
            ("revocation", "updated", 1),
            ("keys", "not_modified", 1),
            ("revocation", "not_modified", 1),
        ),
        [("quorvel.passport.fetch", "updated", 200)] * 2 + [("quorvel.passport.fetch", "not_modified", 304)] * 2,
    ),
    "an issuer down fails its fetch and leaves no usable key set": (
        lambda c: (c.server.inject(status=503), good(c)),
        {
            **verdicts((("unverifiable", "UNRESOLVED_ISSUER_KEY"), 1)),
            **fetches(("keys", "failed", 1)),
            **usable((KEYS, 0)),
            (S, (("document", "keys"), ("issuer", "URL"))): 1,
        },
        [("quorvel.passport.fetch", "failed", 503)],
    ),
    "documents read usable when scraped, with their configured limits": (
        good,
        {
            **usable((KEYS, 1), (LIST, 1)),
            **usable((KEYS, 300.0), (LIST, 60.0), family=TTL),
            **usable((KEYS, 86400.0), (LIST, 600.0), family=MAX),
        },
        None,
    ),
    "a hold committed counts its amount": (
        lambda c: spend(c, (1_500_000, "k"), "commit"),
        {**counts(R, "result", held=1), **counts(T, "action", commit=1), (C, ()): 1_500_000},
        FETCHED + [(RESERVE, "held", "STORE"), (COMMIT, "committed", "STORE")],
    ),
    "a retried key is replayed and a repeated commit counts once": (
        lambda c: spend(c, (1_000_000, "k"), (1_000_000, "k"), "commit", "commit"),
        {**counts(R, "result", held=1, replayed=1), **counts(T, "action", commit=1), (C, ()): 1_000_000},
        FETCHED
        + [(RESERVE, "held", "STORE"), (RESERVE, "replayed", "STORE")]
        + [(COMMIT, "committed", "STORE"), (COMMIT, "unchanged", "STORE")],
    ),
    "a released hold commits nothing": (
        lambda c: spend(c, (1_000_000, None), "release"),
        {**counts(R, "result", held=1), **counts(T, "action", release=1)},
        FETCHED + [(RESERVE, "held", "STORE"), (RELEASE, "released", "STORE")],
    ),
    "past the bound and revoked are refused by code, the revoked before the store": (
        lambda c: spend(c, (9_000_000, None), (1, "revoked")),
        counts(R, "result", SPEND_LIMIT_EXCEEDED=1, REVOKED=1),
        FETCHED + [(RESERVE, "SPEND_LIMIT_EXCEEDED", "STORE")],
    ),
    "store operations that fail are errors": (
        after_close,
        {**counts(R, "result", held=1, error=1), **counts(T, "action"), **counts(E, "action", commit=1, release=0)},
        FETCHED + [(RESERVE, "held", "STORE"), (RESERVE, "error", "STORE"), (COMMIT, "error", "STORE")],
    ),
    "a set of trusts counts its verdicts once": (
        lambda c: TrustedIssuers(c.trust, observer=c.observer).verify(c.creds["good"]),
        verdicts((ACTIVE, 1)),
        None,
    ),
}


class Case:
    def __init__(self, backend, server, issuer, creds, store="sqlite", tmp_path=None):
        self.backend, self.server, self.creds, self.store, self.tmp_path = backend, server, creds, store, tmp_path
        self.kid = issuer.keypair.kid
        # a passport of its own: the PostgreSQL database is shared
        self.spender = issuer.issue(passport_id=uuid.uuid4().hex, spend_limit_microusd=5_000_000, spend_window="P1D")
        if backend == "prometheus":
            self.registry = CollectorRegistry()
            self.observer = PrometheusMetrics(registry=self.registry)
        else:
            self.reader, self.spans = InMemoryMetricReader(), InMemorySpanExporter()
            tracer_provider = TracerProvider()
            tracer_provider.add_span_processor(SimpleSpanProcessor(self.spans))
            self.observer = OpenTelemetryMetrics(MeterProvider(metric_readers=[self.reader]), tracer_provider)
        self.trust = IssuerTrust(server.url, observer=self.observer)

    @functools.cached_property
    def ledger(self):
        url = os.environ.get("QUORVEL_TEST_POSTGRES_URL")
        if self.store == "postgresql" and not url:
            pytest.skip("no PostgreSQL server: run the tests with ./scripts/test")
        url = url if self.store == "postgresql" else f"sqlite:///{self.tmp_path}/spend.sqlite3"
        return SpendLedger(self.trust, url, observer=self.observer)

    def samples(self):
        found = {}
        if self.backend == "prometheus":
            for family in self.registry.collect():
                for s in family.samples:
                    found[(s.name, tuple(sorted(s.labels.items())))] = s.value
            return found
        for resource in self.reader.get_metrics_data().resource_metrics:
            for scope in resource.scope_metrics:
                for metric in scope.metrics:
                    for point in metric.data.data_points:
                        value = getattr(point, "count", None) or getattr(point, "value", 0)
                        found[(OTEL_NAMES.get(metric.name), tuple(sorted(point.attributes.items())))] = value
        return found


@pytest.fixture(scope="module")
def issuer():
    issuer = Issuer(issuer_did="did:web:issuer.example.org")
    revoked = issuer.issue()
    issuer.revoke(passport.decode_passport(revoked).payload["passport_id"])
    return issuer, {"good": issuer.issue(), "revoked": revoked}


@pytest.mark.parametrize(("backend", "store"), [("prometheus", "sqlite"), ("otel", "postgresql")])
@pytest.mark.parametrize("event", EVENTS.values(), ids=EVENTS.keys())
def test_each_event_leaves_exactly_its_samples(backend, store, event, issuer, tmp_path):
    happen, expected, spans = event
    with IssuerServer(issuer[0]) as server:
        case = Case(backend, server, issuer[0], issuer[1], store, tmp_path)
        happen(case)
        case.trust.close(wait=5)
        if "ledger" in vars(case):
            case.ledger.close()
        found, swap = case.samples(), {"URL": server.url, "KID": case.kid, "STORE": store}
    names = {name for name, _ in expected}
    got = {key: value for key, value in found.items() if key[0] in names}
    assert got == {(n, tuple((k, swap.get(v, v)) for k, v in labels)): x for (n, labels), x in expected.items()}
    if backend == "otel" and spans is not None:
        drawn = [
            (
                s.name,
                s.attributes.get("outcome", s.attributes.get("result")),
                s.attributes.get("http.response.status_code", s.attributes.get("store")),
            )
            for s in case.spans.get_finished_spans()
        ]
        assert sorted(drawn) == sorted((name, x, swap.get(y, y)) for name, x, y in spans)


class Quiet(WSGIRequestHandler):
    def log_message(self, *args):
        pass


def serving(kind, trust, path="/readyz"):
    """The middleware with a readiness path on a loopback server (uvicorn or wsgiref); its URL and a stop."""
    module = asgi if kind == "asgi" else wsgi
    app = module.PassportMiddleware(lambda *a: None, trust=trust, readiness_path=path)
    if kind == "wsgi":
        server = make_server("127.0.0.1", 0, app, handler_class=Quiet)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        return f"http://127.0.0.1:{server.server_port}", lambda: (server.shutdown(), server.server_close())
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="off"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, daemon=True)
    thread.start()
    while not server.started and thread.is_alive():
        thread.join(0.01)
    return f"http://127.0.0.1:{sock.getsockname()[1]}", lambda: (setattr(server, "should_exit", True), thread.join(5))


# name: (what happens before probing, the probes' answers: code and the reason's code)
READINESS = {
    "a trust never fetched starts its fetch and is then ready": (
        lambda c: None,
        [(503, "KEY_SET_FETCHING"), (200, None)],
    ),
    "a trust with its documents is ready": (good, [(200, None)]),
    "an issuer down is not ready": (
        lambda c: (c.server.inject(status=503), good(c)),
        [(503, "KEY_SET_UNUSABLE")],
    ),
}


@pytest.mark.parametrize("path", ["/readyz", "/readyz/"])  # one exact path, even with a trailing slash
@pytest.mark.parametrize("kind", ["asgi", "wsgi"])
@pytest.mark.parametrize("event", READINESS.values(), ids=READINESS.keys())
def test_the_readiness_path_answers_whether_the_server_can_verify_by_code_and_only_there(kind, event, issuer, path):
    happen, probes = event
    with IssuerServer(issuer[0]) as server:
        case = Case("prometheus", server, issuer[0], issuer[1])
        happen(case)
        url, stop = serving(kind, case.trust, path)
        try:
            assert requests.get(url + "/readyz/admin", timeout=10).status_code == 401
            for code, reason in probes:
                answer = requests.get(url + path, timeout=10)
                body = answer.json()
                assert (answer.status_code, body["ready"], body["reasons"]) == (
                    code,
                    code == 200,
                    [reason] * bool(reason),
                )
                assert server.url.partition("//")[2] not in answer.text  # the issuer's address only in the logs
                case.trust.refresh()  # the fetch a probe started is over before the next
        finally:
            stop()
            case.trust.close(wait=5)
