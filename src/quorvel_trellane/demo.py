"""A walk through both jobs of the library: ``python -m quorvel_trellane.demo``.

A test issuer signs a passport and publishes its key document and revocation
list on a loopback HTTP server. The agent presents the passport as an x402
header; the relying party fetches the issuer's keys and revocation list
once, then verifies offline: the genuine passport, and copies that were
tampered with, expired, revoked, or asked for a scope they do not grant.

Exit status 0 when every verdict came out as expected, 1 otherwise.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Callable
from datetime import datetime, timedelta, timezone
from typing import Any, TextIO

from quorvel_trellane import passport

try:
    from quorvel_trellane.testing import Issuer, IssuerServer, tamper
except ModuleNotFoundError as exc:
    if __name__ != "__main__":
        raise
    print(f"quorvel_trellane.demo: {exc}", file=sys.stderr)  # the install hint
    sys.exit(2)

AGENT_DID = "did:web:agents.example.com:shopper-7"
OTHER_AGENT_DID = "did:web:agents.example.com:intruder"
ISSUER_DID = "did:web:issuer.example.org"
SCOPES = ("payments:x402", "catalog:read")


def _short(text: str, keep: int = 48) -> str:
    return text if len(text) <= keep else f"{text[:keep]}... ({len(text)} chars)"


class _Report:
    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.failures: list[str] = []
        self._step = 0

    def step(self, title: str) -> None:
        self._step += 1
        self.out.write(f"\n{self._step}. {title}\n")

    def line(self, text: str = "") -> None:
        self.out.write(f"   {text}\n" if text else "\n")

    def verdict(
        self,
        label: str,
        verdict: passport.PassportVerdict,
        expect_status: str,
        expect_code: str | None,
    ) -> None:
        got = (verdict.status, verdict.error_code)
        ok = got == (expect_status, expect_code) and verdict.verified == (expect_code is None)
        mark = "ok " if ok else "!! "
        detail = "VERIFIED" if verdict.verified else f"{verdict.error_code}: {verdict.error_message}"
        self.line(f"{mark}{label:<30} {verdict.status:<13} {detail}")
        if not ok:
            self.failures.append(
                f"{label}: expected {expect_status}/{expect_code}, got {got[0]}/{got[1]}"
            )


def run(out: TextIO = sys.stdout) -> int:
    report = _Report(out)
    out.write("Quorvel Agent Passport demo (test issuer, loopback only)\n")

    report.step("The issuer signs a passport for the agent")
    issuer = Issuer(issuer_did=ISSUER_DID)
    credential = issuer.issue(
        agent_did=AGENT_DID,
        scopes=list(SCOPES),
        spend_limit_microusd=50_000_000,
        spend_window="P1D",
    )
    report.line(f"issuer     {ISSUER_DID}")
    report.line(f"kid        {issuer.kid}  (sha256 of the Falcon-1024 public key, 16 hex)")
    report.line(f"agent      {AGENT_DID}")
    report.line(f"scopes     {', '.join(SCOPES)}; up to $50.00 per day")
    report.line(f"credential {_short(credential)}")

    # Two more genuine passports for the negative cases: one that expired an
    # hour ago and one the issuer revokes below.
    expired = issuer.issue(
        agent_did=AGENT_DID,
        scopes=list(SCOPES),
        issued_at=datetime.now(timezone.utc).replace(microsecond=0) - timedelta(days=1),
        valid_for=timedelta(hours=23),
    )
    revoked = issuer.issue(agent_did=AGENT_DID, scopes=list(SCOPES))
    revoked_id = passport.decode_passport(revoked).payload["passport_id"]
    issuer.revoke(revoked_id)

    with IssuerServer(issuer, lifetime=60.0) as server:
        report.step("The issuer publishes its keys and revocation list")
        report.line(f"{server.url}/.well-known/pqc-keys.json")
        report.line(f"{server.url}/passport/crl/{issuer.kid}.json  (revokes {revoked_id})")

        report.step("The agent presents its passport on an x402 request")
        saved = os.environ.get(passport.PASSPORT_ENV_VAR)
        os.environ[passport.PASSPORT_ENV_VAR] = credential
        try:
            own = passport.load_credential()
        finally:
            if saved is None:
                del os.environ[passport.PASSPORT_ENV_VAR]
            else:
                os.environ[passport.PASSPORT_ENV_VAR] = saved
        headers = passport.x402_headers(own)
        for name, value in headers.items():
            report.line(f"{name}: {_short(value)}")
        metadata = passport.a2a_message_metadata(own, {"task_id": "t-1"})
        report.line(f"(on an A2A message: metadata[{passport.A2A_PASSPORT_METADATA_KEY!r}])")
        assert metadata[passport.A2A_PASSPORT_METADATA_KEY] == own

        report.step("The relying party fetches the trust material once")
        keys = passport.resolve_keys_from_wellknown(server.url, timeout=5.0)
        received = passport.decode_passport(headers[passport.X402_PASSPORT_HEADER])
        crl = passport.fetch_crl(server.url, str(received.kid), timeout=5.0)
        report.line(f"keys: {', '.join(f'{kid} ({len(pk)} bytes)' for kid, pk in keys.items())}")
        report.line(f"revocation list: {crl}")
    report.line("the issuer server is now stopped: everything below is offline")

    report.step("Offline verification")
    check: Callable[..., passport.PassportVerdict] = _checker(keys, crl)
    header_value = headers[passport.X402_PASSPORT_HEADER]
    verdict = check(header_value, required_scope="payments:x402", expected_agent_did=AGENT_DID)
    report.verdict("genuine passport", verdict, "active", None)
    limit = verdict.spend_limit_microusd
    report.line(
        f"   agent {verdict.agent_did}, scopes {', '.join(verdict.scopes)}, "
        f"limit {limit} micro-USD per {verdict.spend_window}, expires {verdict.expires_at}"
    )

    report.step("What the relying party refuses")
    report.verdict(
        "spend limit raised to $1M",
        check(tamper(credential, spend_limit_microusd=1_000_000_000_000)),
        "invalid",
        "TAMPERED_SIGNATURE",
    )
    report.verdict("expired passport", check(expired), "expired", "EXPIRED")
    report.verdict("revoked passport", check(revoked), "revoked", "REVOKED")
    report.verdict(
        "scope it was not granted",
        check(credential, required_scope="payments:refund"),
        "active",
        "SCOPE_NOT_GRANTED",
    )
    report.verdict(
        "presented by another agent",
        check(credential, expected_agent_did=OTHER_AGENT_DID),
        "active",
        "AGENT_MISMATCH",
    )
    report.verdict(
        "no revocation list at hand",
        passport.verify_passport(credential, issuer_keys=keys),
        "unverifiable",
        "REVOCATION_CHECK_FAILED",
    )
    report.verdict(
        "no issuer key at hand",
        passport.verify_passport(credential, crl=crl),
        "unverifiable",
        "UNRESOLVED_ISSUER_KEY",
    )

    out.write("\n")
    if report.failures:
        out.write("UNEXPECTED VERDICTS:\n")
        for failure in report.failures:
            out.write(f"  {failure}\n")
        return 1
    out.write("All verdicts as expected.\n")
    return 0


def _checker(keys: dict[str, bytes], crl: dict[str, Any]) -> Callable[..., passport.PassportVerdict]:
    def check(credential: str, **options: Any) -> passport.PassportVerdict:
        return passport.verify_passport(credential, issuer_keys=keys, crl=crl, **options)

    return check


def main() -> int:
    return run(sys.stdout)


if __name__ == "__main__":
    sys.exit(main())
