"""A typed client of the passport module, checked with ``mypy --strict``.

It uses every public name the way an agent and a relying party would, so a
stub that drifts from the runtime surface fails the type check, and it runs
(tests/test_typing.py calls ``main``) so that the code checked is code that works.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from datetime import UTC, datetime
from pathlib import Path

from quorvel_trellane import passport
from quorvel_trellane.passport import (
    A2A_PASSPORT_METADATA_KEY,
    FALCON_1024_PUBLIC_KEY_BYTES,
    PASSPORT_ENV_VAR,
    X402_PASSPORT_HEADER,
    DecodedPassport,
    PassportError,
    PassportVerdict,
    a2a_message_metadata,
    decode_passport,
    fetch_crl,
    kid_for_key,
    load_credential,
    resolve_keys_from_wellknown,
    verify_passport,
    x402_headers,
)
from quorvel_trellane.testing import Issuer, IssuerServer


def agent_side(credential_file: Path) -> tuple[dict[str, str], dict[str, object]]:
    credential: str = load_credential(credential_file)
    headers: dict[str, str] = x402_headers(credential)
    assert headers[X402_PASSPORT_HEADER] == credential
    metadata = a2a_message_metadata(credential, {"task": "quote"})
    assert metadata[A2A_PASSPORT_METADATA_KEY] == credential
    return headers, metadata


def describe(decoded: DecodedPassport) -> str:
    scopes: tuple[str, ...] = decoded.scopes
    agent: str | None = decoded.agent_did
    return f"{decoded.alg} {decoded.kid} {agent} {','.join(scopes)} {len(decoded.signed_bytes)}"


def relying_party(credential: str, keys: dict[str, bytes], crl: dict[str, object], now: datetime) -> PassportVerdict:
    verdict = verify_passport(
        credential,
        issuer_keys=keys,
        crl=crl,
        required_scope="payments:x402",
        expected_agent_did="did:example:typed-agent",
        now=now,
    )
    status: str = verdict.status
    code: str | None = verdict.error_code
    assert (status, code) == ("active", None), verdict
    return verdict


def with_resolver(credential: str, pinned: bytes) -> bool:
    def resolver(kid: str | None, issuer_did: str | None) -> bytes | None:
        return pinned if kid == kid_for_key(pinned) else None

    lookup: Callable[[str | None, str | None], bytes | None] = resolver
    return bool(verify_passport(credential, issuer_keys=lookup, require_revocation_check=False))


def main(workdir: Path) -> int:
    issuer = Issuer(issuer_did="did:example:typed-issuer")
    credential = issuer.issue(agent_did="did:example:typed-agent", scopes=["payments:x402"])
    path = workdir / "passport.txt"
    path.write_text(credential + "\n", encoding="utf-8")
    headers, _ = agent_side(path)

    saved = os.environ.get(PASSPORT_ENV_VAR)
    os.environ[PASSPORT_ENV_VAR] = credential
    try:
        assert load_credential() == credential
    finally:
        if saved is None:
            del os.environ[PASSPORT_ENV_VAR]
        else:
            os.environ[PASSPORT_ENV_VAR] = saved

    decoded = decode_passport(headers[X402_PASSPORT_HEADER])
    print(describe(decoded))
    with IssuerServer(issuer) as server:
        keys = resolve_keys_from_wellknown(server.url, timeout=2.0)
        crl = fetch_crl(server.url, issuer.kid, fetch=None)
    key: bytes = keys[issuer.kid]
    assert len(key) == FALCON_1024_PUBLIC_KEY_BYTES
    verdict = relying_party(credential, keys, crl, datetime.now(UTC))
    assert verdict and verdict.verified

    assert with_resolver(credential, key)
    pinned_text: str = issuer.keypair.public_key_b64
    assert verify_passport(credential, issuer_keys=pinned_text, crl=["other"]).verified

    try:
        decode_passport("")
    except PassportError as exc:
        message: str = str(exc)
        assert message == "credential must be a non-empty string"
    assert passport.PassportVerdict(verified=False, status="invalid").scopes == ()
    return 0


if __name__ == "__main__":
    import tempfile

    with tempfile.TemporaryDirectory() as tmp:
        raise SystemExit(main(Path(tmp)))
