"""What ``quorvel-passport`` prints: the verdict table, what was verified of each field, JSON.

Imported through :mod:`quorvel_trellane.cli`.
"""

from __future__ import annotations

import base64
import dataclasses
import json
from collections.abc import Sequence
from typing import Any, Final, TextIO

from quorvel_trellane import passport
from quorvel_trellane._internal.display import dollars, duration_words
from quorvel_trellane._internal.text import plain_reason


def shown(value: object) -> str:
    if value is None:
        return "-"
    if isinstance(value, str):
        # The text is the sender's: control characters in it could redraw the
        # terminal (a "VERIFIED" over the real verdict). Such a claim is shown
        # as a quoted JSON string, its boundaries plain to see.
        return value if value.isprintable() else json.dumps(value)
    if isinstance(value, tuple):
        return ", ".join(shown(v) for v in value) if value else "-"
    return json.dumps(value)


def print_table(rows: Sequence[tuple[str, str]], out: TextIO) -> None:
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        out.write(f"{name.ljust(width)}  {value}\n")


def wellknown_of(keys: dict[str, bytes]) -> dict[str, Any]:
    return {
        "keys": [
            {
                "alg": "Falcon-1024",
                "kid": kid,
                "public_key_b64": base64.b64encode(pk).decode("ascii"),
            }
            for kid, pk in keys.items()
        ]
    }


def emit_json(doc: object, out: TextIO) -> None:
    out.write(json.dumps(doc, indent=2) + "\n")


def verdict_fields(verdict: passport.PassportVerdict) -> dict[str, Any]:
    fields = {f.name: getattr(verdict, f.name) for f in dataclasses.fields(verdict)}
    fields["scopes"] = list(fields["scopes"])
    return fields


# The verdicts reached before the signature check succeeded: fields of such a
# credential are whatever its sender wrote. Every later check runs on a
# passport the issuer's key signed. An unknown code counts as unverified.
_SIGNATURE_VERIFIED: Final = frozenset(
    {
        "EXPIRED",
        "REVOCATION_CHECK_FAILED",
        "REVOCATION_ID_MISSING",
        "REVOKED",
        "AGENT_MISMATCH",
        "SCOPE_NOT_GRANTED",
    }
)

# What a signed passport that is not in force is, after its fields.
_NOT_IN_FORCE: Final = {
    "expired": "issuer-signed, expired",
    "revoked": "issuer-signed, revoked",
    "unverifiable": "issuer-signed, revocation unconfirmed",
}


# Why a passport is not verified, in words, first on the verdict line: a
# genuine passport refused for its scope has the status "active", which
# read alone looks like an admission.
_REASONS: Final = {
    "INVALID_CREDENTIAL": "malformed credential",
    "UNSUPPORTED_ALG": "unsupported algorithm",
    "UNRESOLVED_ISSUER_KEY": "no issuer key for its kid",
    "BAD_ISSUER_KEY": "unusable issuer key",
    "KID_KEY_MISMATCH": "key does not match the kid",
    "TAMPERED_SIGNATURE": "signature does not verify",
    "EXPIRED": "expired",
    "REVOCATION_CHECK_FAILED": "revocation status unconfirmed",
    "REVOCATION_ID_MISSING": "no passport id to check against the revocation list",
    "REVOKED": "revoked",
    "AGENT_MISMATCH": "another agent's passport",
    "SCOPE_NOT_GRANTED": "scope not granted",
}


def headline(verdict: passport.PassportVerdict) -> str:
    """ "VERIFIED", or "NOT VERIFIED: " and the reason in words."""
    if verdict.verified is True:
        return "VERIFIED"
    code = verdict.error_code
    reason = _REASONS.get(code) if isinstance(code, str) else None
    return f"NOT VERIFIED: {reason or shown(verdict.status)}"


def missing_input_hint(verdict: passport.PassportVerdict, *, keys_given: bool, crl_given: bool) -> str | None:
    """What to pass when a verdict comes from what the command was not given.

    Failing closed without a key or a revocation list is the library's rule,
    and the first thing anyone verifying offline runs into.
    """
    if verdict.error_code == "UNRESOLVED_ISSUER_KEY" and not keys_given:
        return (
            "no issuer key was given: pin the issuer's public key with --key FILE, "
            "its key set with --keys FILE, or fetch them with --issuer URL"
        )
    if verdict.error_code == "REVOCATION_CHECK_FAILED" and not crl_given:
        return (
            "no revocation list was given: pass the issuer's list for this kid "
            "with --crl FILE|URL, or accept the passport without one with "
            "--no-revocation-check"
        )
    return None


def print_verdict(verdict: passport.PassportVerdict, out: TextIO) -> None:
    verified = verdict.verified is True
    signed = verified or verdict.error_code in _SIGNATURE_VERIFIED
    rows = [
        ("verdict", headline(verdict)),
        ("status", shown(verdict.status)),
    ]
    if verdict.error_code is not None:
        rows.append(("error", f"{shown(verdict.error_code)}: {shown(plain_reason(verdict.error_message))}"))
    rows.append(("signature", "verified with the issuer key" if signed else "not verified"))
    claims = [
        ("agent_did", shown(verdict.agent_did)),
        ("scopes", shown(tuple(verdict.scopes))),
        ("spend_limit", _spend(verdict.spend_limit_microusd, verdict.spend_window)),
        ("issuer_did", shown(verdict.issuer_did)),
        ("kid", shown(verdict.kid)),
        ("issued_at", shown(verdict.issued_at)),
        ("expires_at", shown(verdict.expires_at)),
    ]
    label = _field_label(verdict, signed)
    if label is not None:
        claims = [(name, value if value == "-" else f"{value}  ({label})") for name, value in claims]
    print_table(rows + claims, out)


def _field_label(verdict: passport.PassportVerdict, signed: bool) -> str | None:
    """What was verified of the fields, to show after each (None: all of it).

    Unsigned, a field is the sender's claim, and a spend limit shown plainly
    would read as a grant. Signed, it is the issuer's word, though a passport
    no longer in force grants nothing. A genuine passport refused for its
    agent or scope ("active") is shown plainly: the error row says why.
    """
    if not signed:
        return "unverified claim"
    if verdict.status == "active":
        return None
    return _NOT_IN_FORCE.get(str(verdict.status), "issuer-signed")


def _spend(limit: object, window: object) -> str:
    """The spend bound for people: "50000000 micro-USD ($50.00) per day"."""
    if limit is None:
        return "-"
    if isinstance(limit, int) and not isinstance(limit, bool):
        amount = f"{limit} micro-USD ({dollars(limit)})"
    else:
        amount = shown(limit)
    if window is None:
        return amount
    words = duration_words(window) if isinstance(window, str) else None
    return f"{amount} per {words if words is not None else shown(window)}"
