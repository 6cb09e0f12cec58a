"""The verdict memo answers a repeated credential, and never admits what the full check refuses."""

from __future__ import annotations

import base64
import time
from datetime import UTC, datetime, timedelta

import pytest

from quorvel_trellane.testing import Issuer, IssuerServer, generate_keypair, wellknown_document
from quorvel_trellane.trust import IssuerTrust, TrustedIssuers
from quorvel_trellane.trust._memo import expiry

KEYS = "/.well-known/pqc-keys.json"
SCOPE = "payments:x402"


class Clock:
    now = 1000.0

    def __call__(self) -> float:
        return self.now


def rotated(env):
    env.server.routes[KEYS] = wellknown_document(generate_keypair())  # the kid retired
    env.trust.refresh()


def revoked(env):
    env.issuer.revoke("pp_memo")
    env.trust.refresh()


def list_past_its_age(env):
    env.server.inject(f"/passport/crl/{env.issuer.kid}.json", status=503)
    env.clock.now += 601  # crl_max_age 600: the list is dropped, nothing replaces it


def expiry_crossed(env):
    expiry = datetime.strptime(env.verdict.expires_at, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=UTC)
    time.sleep(max(0.0, (expiry - datetime.now(UTC)).total_seconds()) + 0.05)


def stale(env):
    env.clock.now += 61  # crl_ttl 60: past its freshness, served while refreshed


def closed(env):
    env.trust.close()


def another_trust(env):
    other = Issuer(issuer_did="did:example:memo-other")
    with IssuerServer(other) as elsewhere:
        env.trust = IssuerTrust(elsewhere.url, issuer_did=other.issuer_did, timeout=2.0)
        env.trust.close()


def as_bytes(env):
    env.asked = env.asked.encode()  # the memo finds a header's bytes; verify takes text only


def revoked_under_a_set(env):
    trusts = TrustedIssuers(env.trust)
    for _ in range(2):
        trusts.verify(env.asked, required_scope=SCOPE)
    assert trusts.recall(env.asked, required_scope=SCOPE) is not None  # the set's own memo
    revoked(env)
    env.trust = trusts


def a_set_of_trusts(env):
    env.trust = TrustedIssuers(env.trust)
    env.trust.close()


# (case, change between the first check and the repeat, options of the repeat, what the repeat gets)
CASES = [
    ("a revoked passport", revoked, {}, ("revoked", "REVOKED")),
    ("a revoked passport, judged by a set of trusts", revoked_under_a_set, {}, ("revoked", "REVOKED")),
    ("a rotated key set without the kid", rotated, {}, ("unverifiable", "UNRESOLVED_ISSUER_KEY")),
    ("a revocation list past its age", list_past_its_age, {}, ("unverifiable", "REVOCATION_CHECK_FAILED")),
    ("an expiry crossed while memoised", expiry_crossed, {}, ("expired", "EXPIRED")),
    ("another scope asked", None, {"required_scope": "admin"}, ("active", "SCOPE_NOT_GRANTED")),
    ("another agent expected", None, {"expected_agent_did": "did:example:x"}, ("active", "AGENT_MISMATCH")),
    ("another moment asked", None, {"now": datetime.now(UTC) + timedelta(days=9)}, ("expired", "EXPIRED")),
    ("a leeway asked", None, {"leeway": -86400 * 9}, ("expired", "EXPIRED")),
    ("the credential under another trust", another_trust, {}, ("unverifiable", "UNRESOLVED_ISSUER_KEY")),
    ("a stale revocation list", stale, {}, ("active", None)),
    ("a closed trust", closed, {}, ("active", None)),
    ("the credential as bytes", as_bytes, {}, ("invalid", "INVALID_CREDENTIAL")),
    ("a set of trusts judging it first", a_set_of_trusts, {}, ("active", None)),
]


@pytest.mark.parametrize(("change", "options", "expected"), [case[1:] for case in CASES], ids=[c[0] for c in CASES])
def test_the_memo_never_answers_for_a_verdict_the_full_check_would_not_give(change, options, expected):
    class Env:
        issuer = Issuer(issuer_did="did:example:memo")
        clock = Clock()

    env = Env()
    valid_for = timedelta(seconds=2) if change is expiry_crossed else timedelta(hours=1)
    credential = env.issuer.issue(passport_id="pp_memo", scopes=[SCOPE], valid_for=valid_for)
    with IssuerServer(env.issuer) as env.server:
        env.trust = IssuerTrust(env.server.url, issuer_did=env.issuer.issuer_did, clock=env.clock, timeout=2.0)
        env.trust.verify(credential, required_scope=SCOPE)  # fetches: the material changes meanwhile
        env.verdict = env.trust.verify(credential, required_scope=SCOPE)
        assert env.verdict.verified
        assert env.trust.recall(credential, required_scope=SCOPE) == env.verdict  # memoised
        first = env.trust
        ask = {"required_scope": SCOPE, **options}
        remembered = {k: v for k, v in ask.items() if k not in ("now", "leeway")}
        env.asked = credential
        if change is not None:
            change(env)
        if change not in (None, as_bytes) or remembered != {"required_scope": SCOPE}:
            assert env.trust.recall(credential, **remembered) is None  # only the full check answers
        verdict = env.trust.verify(env.asked, **ask)
        assert (verdict.status, verdict.error_code) == expected
        first.close()


def padded(credential, size):
    """The same genuine passport, its envelope padded with spaces to about ``size`` characters."""
    envelope = base64.urlsafe_b64decode(credential + "=" * (-len(credential) % 4))
    spaces = b" " * max(0, (size - len(credential)) * 3 // 4)
    return base64.urlsafe_b64encode(envelope[:1] + spaces + envelope[1:]).decode().rstrip("=")


# (case, the credential's size, the ways it is asked, kept at least, kept at most)
BOUNDS = [
    ("a real passport asked 2,100 ways keeps the newest 2,048", 0, 2100, 2048, 2048),
    ("a passport padded to 15 KiB keeps at most 16 MiB of entries", 15 * 1024, 700, 400, 16 * 2**20 // (2 * 15 * 1024)),
    ("a passport padded past 16 KiB is never kept", 17 * 1024, 3, 0, 0),
]


@pytest.mark.parametrize(("size", "asked", "least", "most"), [b[1:] for b in BOUNDS], ids=[b[0] for b in BOUNDS])
def test_the_memo_is_bounded_in_entries_and_in_bytes(size, asked, least, most):
    issuer = Issuer(issuer_did="did:example:memo")
    credential = padded(issuer.issue(scopes=[SCOPE]), size)
    scopes = [f"scope:{n}" for n in range(asked)]  # each a kept refusal: SCOPE_NOT_GRANTED
    with IssuerServer(issuer) as server, IssuerTrust(server.url, timeout=2.0) as trust:
        assert trust.verify(credential, required_scope=SCOPE).verified
        for scope in scopes:
            trust.verify(credential, required_scope=scope)
        kept = [scope for scope in scopes if trust.recall(credential, required_scope=scope) is not None]
    assert least <= len(kept) <= most
    assert kept == scopes[len(scopes) - len(kept) :]  # the oldest went first


STAMPS = [
    "2026-12-08T01:02:03Z",
    "1970-01-01T00:00:00Z",
    "2024-02-29T23:59:59Z",
    "2023-02-29T00:00:00Z",
    "2100-02-29T00:00:00Z",
    "0001-01-01T00:00:00Z",
    "9999-12-31T23:59:59Z",
    "0000-01-01T00:00:00Z",
    "2026-12-08T24:00:00Z",
    "2026-12-08T00:00:60Z",
    "2026-1-08T00:00:00Z",
    "2026-12-08 00:00:00Z",
    "２026-12-08T00:00:00Z",
    "2026-12-08T00:00:00z",
    "2026-12-08T00:00:00",
]


@pytest.mark.parametrize("stamp", STAMPS)
def test_the_memo_reads_an_expiry_stamp_exactly_as_strptime_does(stamp):
    try:
        expected = datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=UTC).timestamp()
    except ValueError:
        expected = None
    assert expiry(stamp) == expected
