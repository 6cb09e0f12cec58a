"""The test issuer: what it issues and serves is what the real verifier accepts."""

from __future__ import annotations

import base64
import hashlib
import json
import re
import urllib.error
import urllib.request
from datetime import UTC, datetime, timedelta, timezone

import pytest
import rfc8785
from conftest import DEFAULT_PAYLOAD
from pqcrypto.sign import falcon_1024

from quorvel_trellane import passport
from quorvel_trellane.testing import (
    OMIT,
    Issuer,
    IssuerServer,
    b64u,
    b64u_decode,
    encode_envelope,
    envelope_of,
    generate_keypair,
    issue_credential,
    key_id,
    make_envelope,
    make_payload,
    passport_id_of,
    revocation_list,
    sign_payload,
    stamp,
    tamper,
    wellknown_document,
)

ISSUER_DID = "did:example:test-issuer"  # the module's own test issuer (conftest's issuer fixture)


def verify(credential: str, issuer: Issuer, **options):
    options.setdefault("crl", issuer.revocation_list())
    # Keyed by kid, with the issuer DID as the fallback for a credential
    # that names no kid or a kid the issuer never published.
    keys = {pair.kid: pair.public_key for pair in issuer.keypairs}
    keys[issuer.issuer_did] = issuer.keypair.public_key
    return passport.verify_passport(credential, issuer_keys=keys, **options)


def test_key_pair_is_falcon_1024_and_its_kid_is_the_published_key_id():
    pair = generate_keypair()
    assert len(pair.public_key) == passport.FALCON_1024_PUBLIC_KEY_BYTES
    assert pair.kid == key_id(pair.public_key) == passport.kid_for_key(pair.public_key)
    assert pair.kid == hashlib.sha256(pair.public_key).hexdigest()[:16]
    assert base64.b64decode(pair.public_key_b64, validate=True) == pair.public_key
    assert "secret_key" not in repr(pair)


def test_credential_is_unpadded_base64url_of_the_four_member_envelope(issuer):
    credential = issuer.issue()
    assert "=" not in credential and "+" not in credential and "/" not in credential
    envelope = json.loads(base64.urlsafe_b64decode(credential + "=" * (-len(credential) % 4)))
    assert list(envelope) == ["payload", "alg", "kid", "sig"]
    assert (envelope["alg"], envelope["kid"]) == ("Falcon-1024", issuer.kid)
    sig = base64.urlsafe_b64decode(envelope["sig"] + "=" * (-len(envelope["sig"]) % 4))
    assert falcon_1024.verify(issuer.keypair.public_key, rfc8785.dumps(envelope["payload"]), sig)


def test_issued_credential_verifies_active_with_every_member_in_the_verdict(issuer):
    payload = issuer.payload(agent_did="did:example:a", scopes=["x", "y"], spend_limit_microusd=7)
    credential = issue_credential(payload, issuer.keypair)
    verdict = verify(credential, issuer, required_scope="y", expected_agent_did="did:example:a")
    assert (verdict.verified, verdict.status, verdict.error_code) == (True, "active", None)
    assert verdict.scopes == ("x", "y")
    assert verdict.spend_limit_microusd == 7
    assert verdict.issuer_did == "did:example:test-issuer"
    assert (verdict.issued_at, verdict.expires_at) == (payload["issued_at"], payload["expires_at"])
    assert passport.decode_passport(credential).signed_bytes == rfc8785.dumps(payload)


@pytest.mark.parametrize(
    ("options", "alg", "kid", "status", "code"),
    [
        ({}, "Falcon-1024", "issuer", "active", None),
        ({"alg": OMIT}, "", "issuer", "active", None),
        ({"alg": None}, None, "issuer", "active", None),
        ({"alg": "Ed25519"}, "Ed25519", "issuer", "invalid", "UNSUPPORTED_ALG"),
        ({"kid": OMIT}, "Falcon-1024", None, "active", None),
        ({"kid": "0123456789abcdef"}, "Falcon-1024", "0123456789abcdef", "invalid", "KID_KEY_MISMATCH"),
    ],
)
def test_alg_and_kid_overrides_reach_the_envelope(options, alg, kid, status, code, issuer):
    credential = issuer.issue(**options)
    decoded = passport.decode_passport(credential)
    assert decoded.alg == alg
    assert decoded.kid == (issuer.kid if kid == "issuer" else kid)
    verdict = verify(credential, issuer, crl=[])
    assert (verdict.status, verdict.error_code) == (status, code)


@pytest.mark.parametrize(
    ("changes", "status", "code"),
    [
        ({"spend_limit_microusd": 10**12}, "invalid", "TAMPERED_SIGNATURE"),
        ({"scopes": OMIT}, "invalid", "TAMPERED_SIGNATURE"),
        ({"envelope_kid": "0" * 16}, "invalid", "KID_KEY_MISMATCH"),
        ({"envelope_alg": "RS256"}, "invalid", "UNSUPPORTED_ALG"),
        ({"envelope_sig": ""}, "invalid", "TAMPERED_SIGNATURE"),
        ({}, "active", None),
    ],
)
def test_tamper_changes_members_but_keeps_the_signature(changes, status, code, issuer):
    original = issuer.issue()
    forged = tamper(original, **changes)
    if changes:
        assert forged != original
    if "envelope_sig" not in changes:
        assert envelope_of(forged)["sig"] == envelope_of(original)["sig"]
    verdict = verify(forged, issuer)
    assert (verdict.status, verdict.error_code) == (status, code)


@pytest.mark.parametrize(
    ("members", "status", "code"),
    [
        ({"valid_for": timedelta(seconds=-1)}, "expired", "EXPIRED"),
        ({"expires_at": None}, "expired", "EXPIRED"),
        ({"expires_at": "2999-01-01T00:00:00Z"}, "active", None),
        (
            {"issued_at": datetime(2000, 1, 1, tzinfo=UTC), "valid_for": timedelta(days=1)},
            "expired",
            "EXPIRED",
        ),
        ({"passport_id": "pp_known"}, "active", None),
        ({"expires_at": datetime(2999, 1, 1, tzinfo=UTC)}, "active", None),
        ({"issued_at": "2000-01-01T00:00:00Z", "valid_for": timedelta(days=1)}, "expired", "EXPIRED"),
        ({"issued_at": "2000-01-01T00:00:00Z", "expires_at": datetime(2999, 1, 1, tzinfo=UTC)}, "active", None),
    ],
)
def test_make_payload_controls_expiry_and_members_given_as_datetimes_or_text(members, status, code, issuer):
    verdict = verify(issuer.issue(**members), issuer)
    assert (verdict.status, verdict.error_code) == (status, code)


def test_make_payload_fills_every_member_the_verifier_reads():
    payload = make_payload(issued_at=datetime(2030, 5, 6, 7, 8, 9, tzinfo=UTC), color="blue")
    assert payload["issued_at"] == "2030-05-06T07:08:09Z"
    assert payload["expires_at"] == "2030-05-06T08:08:09Z"
    assert payload["color"] == "blue"
    assert set(payload) >= set(DEFAULT_PAYLOAD)
    assert make_payload()["passport_id"] != make_payload()["passport_id"]
    assert stamp(datetime(2030, 1, 1, 1, 0, tzinfo=timezone(timedelta(hours=1)))) == "2030-01-01T00:00:00Z"


def test_revoked_passport_is_listed_and_verifies_revoked():
    issuer = Issuer()
    credential = issuer.issue(passport_id="pp_gone")
    assert verify(credential, issuer).status == "active"
    issuer.revoke("pp_gone")
    issuer.revoke("pp_gone")
    assert issuer.revocation_list() == {"revoked": ["pp_gone"]}
    assert (verify(credential, issuer).error_code) == "REVOKED"


@pytest.mark.parametrize(
    ("given", "listed"),
    [("credential", "pp_gone"), ("pp_gone", "pp_gone"), (7, TypeError), ("", ValueError), ("pp gone", ValueError)]
    + [("credential without an id", ValueError), ("damaged credential", ValueError)],
)
def test_revoke_lists_the_id_of_a_credential_or_an_id_and_refuses_anything_else(given, listed):
    issuer = Issuer()
    credential = issuer.issue(passport_id="pp_gone")
    damaged, without_id = credential[:-300] + "!", tamper(credential, passport_id=OMIT)
    value = {"credential": credential, "credential without an id": without_id, "damaged credential": damaged}
    if isinstance(listed, type):
        with pytest.raises(listed):
            issuer.revoke(value.get(given, given))
    else:
        assert (issuer.revoke(value.get(given, given)), passport_id_of(credential)) == (listed, listed)
    assert verify(credential, issuer).error_code == ("REVOKED" if listed == "pp_gone" else None)


def test_documents_have_the_published_shapes(issuer):
    doc = wellknown_document(issuer.keypair, generate_keypair().public_key)
    assert [sorted(entry) for entry in doc["keys"]] == [["alg", "kid", "public_key_b64"]] * 2
    keys = passport.resolve_keys_from_wellknown("http://issuer", fetch=lambda url: json.dumps(doc))
    assert keys[issuer.kid] == issuer.keypair.public_key
    assert all(passport.kid_for_key(pk) == kid for kid, pk in keys.items())
    assert revocation_list(["a", 7]) == {"revoked": ["a", 7]}


def test_server_serves_key_document_and_revocation_list_to_the_library():
    issuer = Issuer()
    credential = issuer.issue(passport_id="pp_served")
    issuer.revoke("pp_served")
    with IssuerServer(issuer) as server:
        assert server.url.startswith("http://127.0.0.1:")
        keys = passport.resolve_keys_from_wellknown(server.url + "/", timeout=5.0)
        crl = passport.fetch_crl(server.url, issuer.kid, timeout=5.0)
    assert server.requests == ["/.well-known/pqc-keys.json", f"/passport/crl/{issuer.kid}.json"]
    verdict = passport.verify_passport(credential, issuer_keys=keys, crl=crl)
    assert (verdict.status, verdict.error_code) == ("revoked", "REVOKED")


def test_rotated_issuer_publishes_both_keys_and_old_passports_still_verify():
    issuer = Issuer()
    old = issuer.issue()
    old_kid = issuer.kid
    issuer.rotate()
    new = issuer.issue()
    assert issuer.kid != old_kid
    with IssuerServer(issuer) as server:
        keys = passport.resolve_keys_from_wellknown(server.url)
    assert list(keys) == [old_kid, issuer.kid]
    for credential in (old, new):
        assert passport.verify_passport(credential, issuer_keys=keys, crl=[]).verified


@pytest.mark.parametrize(
    ("path", "status"),
    [
        ("/passport/crl/0000000000000000.json", 404),
        ("/elsewhere", 404),
        ("/custom", 418),
    ],
)
def test_server_answers_404_for_unknown_paths_and_serves_routes(path, status, issuer):
    with IssuerServer(issuer, routes={"/custom": (418, {"teapot": True})}) as server:
        with pytest.raises(urllib.error.HTTPError) as caught:
            urllib.request.urlopen(server.url + path, timeout=5)
    caught.value.close()
    assert caught.value.code == status


def test_routes_override_the_issuer_documents(issuer):
    with IssuerServer(issuer, routes={"/.well-known/pqc-keys.json": b"[]"}) as server:
        with pytest.raises(passport.PassportError, match="did not return a JSON object"):
            passport.resolve_keys_from_wellknown(server.url)


@pytest.mark.parametrize("how", ["with block", "lifetime"])
def test_server_stops_by_itself(how):
    server = IssuerServer(Issuer(), lifetime=0.3 if how == "lifetime" else 60.0)
    with server:
        url = server.url
        with urllib.request.urlopen(url + "/.well-known/pqc-keys.json", timeout=5) as answer:
            answer.read()
        if how == "lifetime":
            assert server.stopped.wait(10)
            with pytest.raises(urllib.error.URLError):
                urllib.request.urlopen(url + "/.well-known/pqc-keys.json", timeout=2)
    with pytest.raises(urllib.error.URLError):
        urllib.request.urlopen(url + "/.well-known/pqc-keys.json", timeout=2)
    with pytest.raises(RuntimeError, match="not running"):
        _ = server.url


@pytest.mark.parametrize(
    ("options", "status", "code"),
    [
        ({"sig": None}, "active", None),
        ({"sig": b"\x00" * 600}, "invalid", "TAMPERED_SIGNATURE"),
        ({"sig": OMIT}, "invalid", "INVALID_CREDENTIAL"),
        ({"signed_payload": {"passport_id": "another"}}, "invalid", "TAMPERED_SIGNATURE"),
        ({"extra": {"typ": "passport"}}, "active", None),
        ({"encoding": "utf-16"}, "active", None),
        ({"encoding": "utf-32-le", "padded": True}, "active", None),
    ],
)
def test_envelope_options_give_the_credential_the_verifier_judges(options, status, code, issuer):
    payload = issuer.payload()
    credential = issue_credential(payload, issuer.keypair, **options)
    verdict = verify(credential, issuer, crl=[])
    assert (verdict.status, verdict.error_code) == (status, code)
    if options.get("padded"):
        assert len(credential) % 4 == 0
    envelope = json.loads(b64u_decode(credential).decode(options.get("encoding", "utf-8")))
    assert envelope["payload"] == payload
    assert list(envelope)[4:] == list(options.get("extra", {}))


def test_make_envelope_stores_a_replaced_signature_as_given_and_bytes_as_base64url(issuer):
    payload = issuer.payload()
    assert make_envelope(payload, issuer.keypair, sig=None)["sig"] is None
    assert make_envelope(payload, issuer.keypair, sig="not base64")["sig"] == "not base64"
    assert make_envelope(payload, issuer.keypair, sig=bytearray(b"\xff\xfe"))["sig"] == "__4"
    assert encode_envelope(make_envelope(payload, issuer.keypair)) == issue_credential(payload, issuer.keypair)


def test_a_key_pair_signs_each_message_once_and_remembers_the_signature():
    pair = generate_keypair()
    first = pair.sign(b"message")
    assert pair.sign(b"message") is first and pair.signatures == {b"message": first}
    assert falcon_1024.verify(pair.public_key, b"message", first)
    assert sign_payload({"a": 1}, pair.secret_key) != sign_payload({"a": 1}, pair.secret_key)  # fresh each time


@pytest.mark.parametrize("text", ["QUJD", " QUJDRA\n", "QUJDRA==", "-_-_", "QUJDR", "QU.J", "\u00e9"])
def test_b64u_decode_reads_as_the_host_decoder_and_inverts_b64u(text):
    stripped = text.strip()
    try:
        expected = base64.urlsafe_b64decode(stripped + "=" * (-len(stripped) % 4))
    except ValueError as exc:
        with pytest.raises(type(exc), match=re.escape(str(exc))):
            b64u_decode(text)
    else:
        assert b64u_decode(text) == expected
        assert b64u(expected) == stripped.rstrip("=")
