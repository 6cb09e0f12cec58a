"""What on-call is handed with the package: runbooks that resolve, the shipped files, observers old and new, a probe that refreshes.

promtool checks and unit-tests the alert rules themselves
(``scripts/alert-rules``); the scrape that must hold every family the
rules and the dashboard name is in ``tests/x402``, beside a real paywall
with a payment pending.
"""

from __future__ import annotations

import io
import re
import time
import unicodedata
from importlib import resources
from pathlib import Path

import pytest

from quorvel_trellane.cli import main
from quorvel_trellane.observe import Readiness
from quorvel_trellane.testing import Issuer, IssuerServer
from quorvel_trellane.trust import IssuerTrust

SHIPPED = resources.files("quorvel_trellane.observe")
OPERATIONS = Path(__file__).resolve().parents[2] / "docs" / "operations.md"


def anchors(markdown: str) -> set[str]:
    """The anchors MkDocs gives a page's headings (Python-Markdown's toc slugs), code blocks aside."""
    found = set()
    for heading in re.findall(r"^#{1,6} (.+?)\s*$", re.sub(r"```.*?```", "", markdown, flags=re.S), re.M):
        text = unicodedata.normalize("NFKD", heading).encode("ascii", "ignore").decode()
        found.add(re.sub(r"[-\s]+", "-", re.sub(r"[^\w\s-]", "", text).strip().lower()))
    return found


def runbooks_resolve(issuer):
    rules, page = SHIPPED.joinpath("alerts.yml").read_text(), OPERATIONS.read_text()
    assert rules.count("- alert:") == rules.count("runbook_url:") == rules.count("summary:") == 8
    links = re.findall(r"operations\.md#([\w-]+)", rules) + re.findall(r"\]\(#([\w-]+)\)", page)
    assert set(links) <= anchors(page)


def the_command_prints_what_is_shipped(issuer):
    for command, name in (("alerts", "alerts.yml"), ("dashboard", "dashboard.json")):
        out = io.StringIO()
        assert main([command], stdout=out) == 0
        assert out.getvalue() == SHIPPED.joinpath(name).read_text()


class OldObserver:
    """An observer written before durations and payments were told."""

    def __init__(self):
        self.verdicts = []

    def watch(self, source):
        pass

    def verified(self, verdict):
        self.verdicts.append(verdict.status)

    def fetched(self, issuer, document, outcome, status_code, started, seconds):
        pass

    def reserved(self, result, store, started, seconds):
        pass

    def settled(self, action, result, store, amount_microusd, started, seconds):
        pass


def an_old_observer_is_told_every_verdict(issuer):
    observer = OldObserver()
    with IssuerServer(issuer) as server, IssuerTrust(server.url, observer=observer) as trust:
        for credential in (issuer.issue(),) * 3 + ("garbage",):
            trust.verify(credential)
    assert observer.verdicts == ["active"] * 3 + ["invalid"]


def a_probe_refreshes_what_no_traffic_let_age(issuer):
    now = [0.0]
    with IssuerServer(issuer) as server, IssuerTrust(server.url, clock=lambda: now[0]) as trust:
        assert trust.verify(issuer.issue()).verified
        now[0] += 700  # past the revocation list's usable age (600 s) and the key set's ttl
        readiness = Readiness(trust)
        assert readiness.check()  # the list is dropped: not ready, and its fetch started
        deadline = time.monotonic() + 10
        while (reasons := readiness.check()) and time.monotonic() < deadline:
            time.sleep(0.01)
        status = trust.status()
    assert reasons == ()
    assert [doc.fetches for doc in (status.key_set, *status.revocation_lists.values())] == [2, 2]


CASES = [runbooks_resolve, the_command_prints_what_is_shipped, an_old_observer_is_told_every_verdict]
CASES += [a_probe_refreshes_what_no_traffic_let_age]


@pytest.fixture(scope="module")
def issuer():
    return Issuer(issuer_did="did:web:issuer.example.org")


@pytest.mark.parametrize("case", CASES, ids=[case.__name__.replace("_", " ") for case in CASES])
def test_what_on_call_is_handed(case, issuer):
    case(issuer)
