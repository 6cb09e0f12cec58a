"""Hardening: reference leaks, concurrent use, hostile inputs, and the
fail-closed property over real signatures.

These tests aim at faults a native module can have that a behavioural test
rarely sees: a reference dropped or kept on an error path, a borrowed
pointer used after the caller's object changed under it, unbounded work
on a large input, or a verdict that lets a changed credential through.
The whole suite also runs under AddressSanitizer and UBSan
(scripts/sanitize), where the leak counts are skipped (they need pymalloc)
but every other test doubles as a memory-safety check.
"""

from __future__ import annotations

import gc
import inspect
import json
import re
import resource
import subprocess
import sys
import threading
import time
from datetime import UTC, datetime
from pathlib import Path

import pytest
import rfc8785
from conftest import (
    DEFAULT_PAYLOAD,
    NOW,
    OMIT,
    HostTimezone,
    b64u,
    b64u_decode,
    encode_envelope,
    host_base64,
    payload,
)
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from quorvel_trellane.testing import make_envelope, sign_payload

DEFAULT_DID = DEFAULT_PAYLOAD["issuer_did"]

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "fuzz"))
import targets as fuzz_targets  # noqa: E402  (the fuzz targets, replayed below)

NOT_KEY = "issuer key must be bytes or base64 text"
BAD_CRL = "crl must be a mapping with 'revoked', a list, or None"
LEAK_CALLS = 10_000
LEAK_SLACK = LEAK_CALLS // 10  # a leak of one block per call shows as >= LEAK_CALLS


class Midway(Exception):
    """Raised by hostile callables and generators part of the way through."""


def fresh(text: str) -> str:
    """A new, non-interned (so not immortal) copy of a text."""
    return "".join(list(text))


# --------------------------------------------------------------------------
# Reference leaks


def fast_crypto(result=True):
    """The real canonicaliser with a verifier that answers at once."""

    def verify(pk, message, sig):
        if isinstance(result, type) and issubclass(result, BaseException):
            # A fresh error each time: raising one instance again and again
            # grows its traceback, which would read as a leak here.
            raise result("bad signature")
        return result

    return lambda: (rfc8785, verify)


class Ctx:
    """What a leak case needs: the module, a real issuer, its credentials."""

    def __init__(self, passport, issuer, monkeypatch, tmp_path):
        self.P = passport
        self.iss = issuer
        self.mp = monkeypatch
        self.tmp = tmp_path

    def cred(self, **changes):
        options = {k: changes.pop(k) for k in ("alg", "kid", "sig") if k in changes}
        return fresh(self.iss.issue(payload(**changes), **options))

    def keys(self):
        return {fresh(self.iss.kid): bytes(self.iss.pk)}

    def fast(self, result=True):
        self.mp.setattr(self.P, "_load_crypto", fast_crypto(result))

    def verify(self, cred, **options):
        options.setdefault("issuer_keys", self.keys())
        options.setdefault("crl", [])
        options.setdefault("now", NOW)
        return lambda: self.P.verify_passport(cred, **options)

    def fetcher(self, body):
        return lambda url: body


def _wellknown_doc(c: Ctx) -> bytes:
    return json.dumps(
        {
            "keys": [
                {"alg": "Falcon-1024", "kid": c.iss.kid, "public_key_b64": c.iss.pk_b64},
                {"alg": "Falcon-512", "kid": "x", "public_key_b64": "AAAA"},
                {"alg": "Falcon-1024", "kid": 7, "public_key_b64": "!!"},
            ]
        }
    ).encode()


def _gen_raising():
    yield "a"
    raise Midway("midway")


class _StrRaises:
    def __init__(self, exc):
        self.exc = exc

    def __str__(self):
        raise self.exc


# name -> builder(ctx) -> (zero-argument call, the exception it raises or None)
LEAK_CASES = {
    # encodings and keys
    "b64u_decode of text": lambda c: (lambda: c.P._b64u_decode(fresh(" AAEC== ")), None),
    "b64u_decode of one data character": lambda c: (lambda: c.P._b64u_decode(fresh("A")), ValueError),
    "b64u_decode of non-ascii text": lambda c: (lambda: c.P._b64u_decode(fresh("AA\u00e9A")), ValueError),
    "b64u_decode of a number": lambda c: (lambda: c.P._b64u_decode(5), AttributeError),
    "b64u_decode of bytes": lambda c: (lambda: c.P._b64u_decode(b"AAEC"), TypeError),
    "b64u_encode of bytes": lambda c: (lambda: c.P._b64u_encode(b"\x00\x01\x02\x03"), None),
    "b64u_encode of text": lambda c: (lambda: c.P._b64u_encode("text"), TypeError),
    "kid_for_key of bytes": lambda c: (lambda: c.P.kid_for_key(c.iss.pk), None),
    "kid_for_key of text": lambda c: (lambda: c.P.kid_for_key("text"), TypeError),
    "coerce_key of bytes": lambda c: (lambda: c.P._coerce_key(c.iss.pk), None),
    "coerce_key of a bytearray": lambda c: (lambda: c.P._coerce_key(bytearray(b"abc")), None),
    "coerce_key of standard base64": lambda c: (lambda: c.P._coerce_key(fresh(c.iss.pk_b64)), None),
    "coerce_key of url-safe base64": lambda c: (lambda: c.P._coerce_key(fresh("-_-_")), None),
    "coerce_key falling back to url-safe": lambda c: (lambda: c.P._coerce_key(fresh("AA AA")), None),
    "coerce_key of None": lambda c: (lambda: c.P._coerce_key(None), c.P.PassportError),
    "coerce_key of one character": lambda c: (lambda: c.P._coerce_key(fresh("A")), ValueError),
    "load_crypto": lambda c: (c.P._load_crypto, None),
    "load_crypto with an argument": lambda c: (lambda: c.P._load_crypto(1), TypeError),
    "load_crypto without the canonicaliser": lambda c: (
        c.mp.setitem(sys.modules, "rfc8785", None) or c.P._load_crypto,
        c.P.PassportError,
    ),
    "b64u_decode through the host decoder": lambda c: (
        c.mp.setattr(c.P, "base64", host_base64()) or (lambda: c.P._b64u_decode(fresh("AAEC"))),
        None,
    ),
    "b64u_decode through the host decoder, failing": lambda c: (
        c.mp.setattr(c.P, "base64", host_base64()) or (lambda: c.P._b64u_decode(fresh("A"))),
        ValueError,
    ),
    "coerce_key through the host decoders": lambda c: (
        c.mp.setattr(c.P, "base64", host_base64()) or (lambda: c.P._coerce_key(fresh("AA AA"))),
        None,
    ),
    # decoding and the records
    "decode_passport of a credential": lambda c: (lambda: c.P.decode_passport(c.cred()), None),
    "decode_passport of None": lambda c: (lambda: c.P.decode_passport(None), c.P.PassportError),
    "decode_passport of whitespace": lambda c: (lambda: c.P.decode_passport(fresh(" \n")), c.P.PassportError),
    "decode_passport of non-JSON": lambda c: (lambda: c.P.decode_passport(fresh(b64u(b"foo"))), c.P.PassportError),
    "decode_passport of an array": lambda c: (lambda: c.P.decode_passport(fresh(b64u(b"[1]"))), c.P.PassportError),
    "decode_passport without payload": lambda c: (lambda: c.P.decode_passport(fresh(b64u(b"{}"))), c.P.PassportError),
    "decode_passport without sig": lambda c: (
        lambda: c.P.decode_passport(fresh(b64u(b'{"payload": {}}'))),
        c.P.PassportError,
    ),
    "decode_passport with a numeric sig": lambda c: (
        lambda: c.P.decode_passport(fresh(b64u(b'{"payload": {}, "sig": 5}'))),
        c.P.PassportError,
    ),
    "decode_passport with an undecodable sig": lambda c: (
        lambda: c.P.decode_passport(fresh(b64u(b'{"payload": {}, "sig": "A"}'))),
        c.P.PassportError,
    ),
    "decode_passport without the verifier": lambda c: (
        c.mp.setitem(sys.modules, "pqcrypto.sign.falcon_1024", None) or (lambda: c.P.decode_passport(c.cred())),
        c.P.PassportError,
    ),
    "decode_passport of a NaN payload": lambda c: (
        lambda: c.P.decode_passport(fresh(b64u(b'{"payload": {"a": NaN}, "sig": ""}'))),
        c.P.PassportError,
    ),
    "decoded passport properties": lambda c: (
        (lambda d: lambda: (d.agent_did, d.issuer_did, d.scopes))(c.P.decode_passport(c.cred())),
        None,
    ),
    "decoded passport with uniterable scopes": lambda c: (
        (lambda d: lambda: d.scopes)(c.P.decode_passport(c.cred(scopes=5))),
        TypeError,
    ),
    "verdict truth value": lambda c: (
        (lambda v: lambda: bool(v))(c.P.PassportVerdict(verified=True, status="active")),
        None,
    ),
    "verdict truth value of a non-bool": lambda c: (
        (lambda v: lambda: bool(v))(c.P.PassportVerdict(verified="yes", status="active")),
        TypeError,
    ),
    # expiry and revocation inputs
    "is_expired with a stamp": lambda c: (lambda: c.P._is_expired(fresh("2099-01-01T00:00:00Z"), NOW), None),
    "is_expired without a stamp": lambda c: (lambda: c.P._is_expired(None, NOW), None),
    "is_expired with a bad stamp": lambda c: (lambda: c.P._is_expired(fresh("2099-13-01T00:00:00Z"), NOW), None),
    "is_expired through the host's strptime": lambda c: (
        c.mp.setattr(c.P, "timezone", HostTimezone) or (lambda: c.P._is_expired(fresh("2099-01-01T00:00:00Z"), NOW)),
        None,
    ),
    "is_expired through the host's strptime, unparseable": lambda c: (
        c.mp.setattr(c.P, "timezone", HostTimezone) or (lambda: c.P._is_expired(fresh("2099-1-1"), NOW)),
        None,
    ),
    "is_expired with a naive now": lambda c: (
        lambda: c.P._is_expired(fresh("2099-01-01T00:00:00Z"), datetime(2030, 1, 1)),
        TypeError,
    ),
    "revoked_ids of None": lambda c: (lambda: c.P._revoked_ids(None), None),
    "revoked_ids of a document": lambda c: (lambda: c.P._revoked_ids({"revoked": [fresh("a"), 7]}), None),
    "revoked_ids of text": lambda c: (lambda: c.P._revoked_ids(fresh("abc")), c.P.PassportError),
    "revoked_ids of a number": lambda c: (lambda: c.P._revoked_ids(42), c.P.PassportError),
    "revoked_ids of a failing generator": lambda c: (lambda: c.P._revoked_ids(_gen_raising()), Midway),
    "revoked_ids of an id whose str raises TypeError": lambda c: (
        lambda: c.P._revoked_ids([_StrRaises(TypeError("t"))]),
        c.P.PassportError,
    ),
    "revoked_ids of an id whose str raises ValueError": lambda c: (
        lambda: c.P._revoked_ids([_StrRaises(ValueError("v"))]),
        ValueError,
    ),
    # key resolution
    "resolve_key without keys": lambda c: (lambda: c.P._resolve_key(None, "k", "d"), None),
    "resolve_key through a resolver": lambda c: (lambda: c.P._resolve_key(lambda k, d: c.iss.pk_b64, "k", "d"), None),
    "resolve_key by kid": lambda c: (lambda: c.P._resolve_key(c.keys(), c.iss.kid, "d"), None),
    "resolve_key by issuer DID": lambda c: (lambda: c.P._resolve_key({"d": c.iss.pk}, "k", fresh("d")), None),
    "resolve_key of a single key": lambda c: (lambda: c.P._resolve_key(fresh(c.iss.pk_b64), None, None), None),
    "resolve_key with a raising resolver": lambda c: (
        lambda: c.P._resolve_key(lambda k, d: (_ for _ in ()).throw(Midway()), "k", "d"),
        Midway,
    ),
    "resolve_key of a list": lambda c: (lambda: c.P._resolve_key([1], "k", "d"), c.P.PassportError),
    # verification, one case per outcome and per escaping error
    "verify to active with the real verifier": lambda c: (c.verify(c.cred()), None),
    "verify an undecodable credential": lambda c: (c.verify(fresh("@@@@")), None),
    "verify an unsupported alg": lambda c: (c.fast() or c.verify(c.cred(alg="RS256")), None),
    "verify without a key": lambda c: (c.fast() or c.verify(c.cred(), issuer_keys=None), None),
    "verify with a short key": lambda c: (c.fast() or c.verify(c.cred(), issuer_keys=c.iss.pk[:-1]), None),
    "verify with a mismatched kid": lambda c: (
        c.fast() or c.verify(c.cred(kid="0123456789abcdef"), issuer_keys=c.iss.pk),
        None,
    ),
    "verify with a key of the wrong kind": lambda c: (c.fast() or c.verify(c.cred(), issuer_keys=[1]), None),
    "verify a tampered signature": lambda c: (c.fast(False) or c.verify(c.cred()), None),
    "verify with a raising verifier": lambda c: (c.fast(Midway) or c.verify(c.cred()), None),
    "verify an expired credential": lambda c: (c.fast() or c.verify(c.cred(expires_at="2020-01-01T00:00:00Z")), None),
    "verify without revocation data": lambda c: (c.fast() or c.verify(c.cred(), crl=None), None),
    "verify without a passport id": lambda c: (c.fast() or c.verify(c.cred(passport_id=OMIT)), None),
    "verify a revoked credential": lambda c: (
        c.fast() or c.verify(c.cred(), crl={"revoked": [fresh("pp_01HZX3K9Q7T5")]}),
        None,
    ),
    "verify with another agent expected": lambda c: (
        c.fast() or c.verify(c.cred(), expected_agent_did=fresh("did:x")),
        None,
    ),
    "verify with a scope not granted": lambda c: (c.fast() or c.verify(c.cred(), required_scope=fresh("x")), None),
    "verify with an unusable crl": lambda c: (c.fast() or c.verify(c.cred(), crl=42), c.P.PassportError),
    "verify with a naive now": lambda c: (c.fast() or c.verify(c.cred(), now=datetime(2030, 1, 1)), TypeError),
    "verify with a raising resolver": lambda c: (
        c.fast() or c.verify(c.cred(), issuer_keys=lambda k, d: (_ for _ in ()).throw(Midway())),
        Midway,
    ),
    "verify building verdicts through a substituted class": lambda c: (
        c.fast()
        or c.mp.setattr(c.P, "PassportVerdict", type("Verdict", (c.P.PassportVerdict,), {}))
        or c.verify(c.cred(), crl=None),
        None,
    ),
    "verify a credential with no kid and no alg": lambda c: (
        c.fast() or c.verify(c.cred(kid=OMIT, alg=OMIT), issuer_keys=c.iss.pk),
        None,
    ),
    "verify with a second positional argument": lambda c: (lambda: c.P.verify_passport(c.cred(), c.keys()), TypeError),
    "verify with a misspelt keyword": lambda c: (lambda: c.P.verify_passport(c.cred(), isuer_keys=c.keys()), TypeError),
    # retrieval through a fetcher
    "wellknown keys": lambda c: (
        lambda: c.P.resolve_keys_from_wellknown(fresh("https://i.example/"), fetch=c.fetcher(_wellknown_doc(c))),
        None,
    ),
    "wellknown keys of a JSON array": lambda c: (
        lambda: c.P.resolve_keys_from_wellknown("https://i.example", fetch=c.fetcher(b"[]")),
        c.P.PassportError,
    ),
    "wellknown keys of non-JSON": lambda c: (
        lambda: c.P.resolve_keys_from_wellknown("https://i.example", fetch=c.fetcher(b"<html>")),
        ValueError,
    ),
    "wellknown keys with a text entry": lambda c: (
        lambda: c.P.resolve_keys_from_wellknown("https://i.example", fetch=c.fetcher(b'{"keys": ["x"]}')),
        AttributeError,
    ),
    "wellknown keys with numeric keys": lambda c: (
        lambda: c.P.resolve_keys_from_wellknown("https://i.example", fetch=c.fetcher(b'{"keys": 5}')),
        TypeError,
    ),
    "wellknown keys with a raising fetcher": lambda c: (
        lambda: c.P.resolve_keys_from_wellknown("https://i.example", fetch=lambda u: (_ for _ in ()).throw(Midway())),
        Midway,
    ),
    "fetch_crl": lambda c: (
        lambda: c.P.fetch_crl(fresh("https://i.example"), 7, fetch=c.fetcher(b'{"revoked": ["a"]}')),
        None,
    ),
    "get_json of an object": lambda c: (lambda: c.P._get_json(fresh("u"), c.fetcher(b"{}"), 1.0), None),
    "get_json through the standard opener": lambda c: (
        (lambda url: lambda: c.P._get_json(url, None, 5.0))(_write(c.tmp / "doc.json", b'{"a": [1]}', url=True)),
        None,
    ),
    "get_json through the standard opener, missing": lambda c: (
        lambda: c.P._get_json((c.tmp / "missing.json").as_uri(), None, 5.0),
        OSError,
    ),
    "fetch_crl of an array": lambda c: (
        lambda: c.P.fetch_crl("https://i.example", "k", fetch=c.fetcher(b"[]")),
        c.P.PassportError,
    ),
    "get_json of null": lambda c: (lambda: c.P._get_json(fresh("u"), c.fetcher(b"null"), 1.0), c.P.PassportError),
    # presentation
    "load_credential from a file": lambda c: (
        (lambda p: lambda: c.P.load_credential(p))(_write(c.tmp / "cred", b" cred\r\n")),
        None,
    ),
    "load_credential of a missing file": lambda c: (
        lambda: c.P.load_credential(str(c.tmp / "missing")),
        FileNotFoundError,
    ),
    "load_credential of bad UTF-8": lambda c: (
        (lambda p: lambda: c.P.load_credential(p))(_write(c.tmp / "bad", b"\xc3\x28")),
        UnicodeDecodeError,
    ),
    "load_credential from the environment": lambda c: (
        c.mp.setenv("QUORVEL_AGENT_PASSPORT", " cred\n") or (lambda: c.P.load_credential()),
        None,
    ),
    "load_credential from an unset environment": lambda c: (
        c.mp.delenv("QUORVEL_AGENT_PASSPORT", raising=False) or (lambda: c.P.load_credential()),
        c.P.PassportError,
    ),
    "x402_headers": lambda c: (lambda: c.P.x402_headers(fresh("cred")), None),
    "a2a_message_metadata": lambda c: (lambda: c.P.a2a_message_metadata(fresh("cred"), {"a": [1]}), None),
    "a2a_message_metadata of a number": lambda c: (lambda: c.P.a2a_message_metadata("cred", 5), TypeError),
}


def _write(path: Path, data: bytes, url: bool = False) -> str:
    path.write_bytes(data)
    return path.as_uri() if url else str(path)


def repeat(fn, expected, n: int) -> None:
    if expected is None:
        for _ in range(n):
            fn()
    else:
        for _ in range(n):
            try:
                fn()
            except expected:
                pass


@pytest.mark.parametrize("case", list(LEAK_CASES))
def test_repeated_calls_leak_no_memory(passport, issuer, monkeypatch, tmp_path, case):
    if sys.getallocatedblocks() == 0:
        pytest.skip("block counts need the pymalloc allocator (not PYTHONMALLOC=malloc)")
    fn, expected = LEAK_CASES[case](Ctx(passport, issuer, monkeypatch, tmp_path))
    # The case must really take the path it names.
    if expected is None:
        fn()
    else:
        with pytest.raises(expected):
            fn()
    repeat(fn, expected, 500)  # warm caches, interned names, lazy imports
    gc.collect()
    before = sys.getallocatedblocks()
    repeat(fn, expected, LEAK_CALLS)
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown < LEAK_SLACK, f"{grown} blocks left after {LEAK_CALLS} calls"


def test_arguments_keep_their_reference_counts(passport, issuer, issue, monkeypatch):
    """Every argument object is held only for the call, on success and on failure."""
    monkeypatch.setattr(passport, "_load_crypto", fast_crypto(True))
    cred = fresh(issue())
    keys = {fresh(issuer.kid): bytes(issuer.pk)}
    crl = [fresh("pp_01HZX3K9Q7T5")]
    scope = fresh("payments:write")
    agent = fresh("did:web:agents.example.com:shopper-7")
    now = datetime(2030, 1, 1, tzinfo=UTC)
    bad = fresh("@@@@")
    meta = {fresh("k"): fresh("v")}
    watched = [cred, keys, crl, scope, agent, now, bad, meta]
    counts = [sys.getrefcount(o) for o in watched]
    for _ in range(1000):
        passport.verify_passport(
            cred, issuer_keys=keys, crl=crl, required_scope=scope, expected_agent_did=agent, now=now
        )
        passport.verify_passport(
            cred, issuer_keys=keys, crl=[], required_scope=scope, expected_agent_did=agent, now=now
        )
        passport.verify_passport(bad, issuer_keys=keys, crl=crl, now=now)
        with pytest.raises(passport.PassportError):
            passport.verify_passport(cred, issuer_keys=keys, crl=7, now=now)
        with pytest.raises(TypeError):
            passport.verify_passport(cred, keys)
        passport.decode_passport(cred)
        passport.a2a_message_metadata(cred, meta)
        passport.x402_headers(cred)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == counts


# --------------------------------------------------------------------------
# Concurrent use


def _workload(passport, issuer, creds):
    doc = json.dumps({"keys": [{"alg": "Falcon-1024", "kid": issuer.kid, "public_key_b64": issuer.pk_b64}]})

    def fetch(url):
        time.sleep(0)  # let another thread in mid-call
        return doc.encode() if url.endswith("pqc-keys.json") else b'{"revoked": ["pp_revoked"]}'

    out = []
    for cred in creds:
        keys = passport.resolve_keys_from_wellknown("https://issuer.example/", fetch=fetch)
        crl = passport.fetch_crl("https://issuer.example", issuer.kid, fetch=fetch)
        verdict = passport.verify_passport(cred, issuer_keys=keys, crl=crl, now=NOW, required_scope="payments:write")
        try:
            decoded = repr(passport.decode_passport(cred))
        except passport.PassportError as exc:
            decoded = f"PassportError({exc})"
        out.append(
            (
                verdict,
                decoded,
                passport.x402_headers(cred),
                passport.a2a_message_metadata(cred, {"trace": "t"}),
                sorted(keys),
                crl,
            )
        )
    return out


_DAEMONS_AT_EXIT = """
import sys, threading, time
from quorvel_trellane import passport as P
sys.setswitchinterval(1e-5)
started = threading.Event()
def fetch(url):
    started.set()
    time.sleep(%s)
    return b'{"keys": []}'
def spin():
    while True:
        P.resolve_keys_from_wellknown("https://issuer.example", fetch=fetch)
for _ in range(4):
    threading.Thread(target=spin, daemon=True).start()
started.wait()
"""


@pytest.mark.parametrize("pause", ["0", "0.001", "0.05"])
def test_daemon_threads_inside_native_calls_do_not_crash_the_exit(pause):
    # The interpreter ends such threads mid-call on its way out; their
    # unwinding must pass through the module without touching objects.
    for _ in range(4):
        result = subprocess.run(
            [sys.executable, "-c", _DAEMONS_AT_EXIT % pause], capture_output=True, text=True, timeout=60, check=False
        )
        assert (result.returncode, result.stderr) == (0, "")


def test_eight_threads_at_once_get_the_single_threaded_results(passport, issuer, issue):
    creds = [
        issue(),
        issue(payload(passport_id="pp_revoked")),
        issue(payload(expires_at="2020-01-01T00:00:00Z")),
        issue(payload(scopes=["catalog:read"])),
        issue(payload(agent_did="did:web:other")),
        issue(kid="0123456789abcdef"),
        encode_envelope({"payload": [], "sig": ""}),
        issue()[:-7] + "AAAAAAA",
    ]
    expected = _workload(passport, issuer, creds)
    assert {v.status for v, *_ in expected} == {"active", "revoked", "expired", "invalid", "unverifiable"}
    results, errors = [], []
    start = threading.Barrier(8)
    deadline = time.monotonic() + 3.0

    def worker(offset):
        try:
            start.wait()
            rounds = 0
            while time.monotonic() < deadline or rounds == 0:
                order = creds[offset:] + creds[:offset]
                got = _workload(passport, issuer, order)
                results.append(got[len(creds) - offset :] + got[: len(creds) - offset])
                rounds += 1
        except BaseException as exc:
            errors.append(exc)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as the host allows
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
    finally:
        sys.setswitchinterval(interval)
    assert not errors, errors
    assert len(results) >= 8
    for got in results:
        assert got == expected


# --------------------------------------------------------------------------
# Hostile inputs
#
# Each case builds its inputs, snapshots them, makes the call and returns
# what happened; the test checks the outcome, that the inputs are unchanged
# and that the call stayed within time and memory.


class HostileCtx(Ctx):
    def verify_with(self, cred, **options):
        options.setdefault("issuer_keys", self.keys())
        options.setdefault("crl", [])
        options.setdefault("now", NOW)
        return self.P.verify_passport(cred, **options)


def outcome(fn):
    try:
        return ("ok", fn())
    except Exception as exc:
        return ("raised", exc)


def _big_signed(c):
    # Signed here rather than through the issuer, whose signature cache
    # would keep the 10 MB payload for the rest of the session.
    body = payload(notes="x" * 7_500_000)
    cred = encode_envelope(make_envelope(body, c.iss.keypair, sig=sign_payload(body, c.iss.sk)))
    assert len(cred) > 10_000_000
    return cred


def _nested(depth):
    return b64u(('{"payload": {"a": ' + "[" * depth + "]" * depth + '}, "sig": ""}').encode())


class Eq:
    """A key object equal (by hash) to a text, whose comparison raises."""

    def __init__(self, text):
        self.text = text

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        raise Midway("eq")


class EqClears:
    """A stored key equal by hash to a text, whose comparison empties the mapping."""

    def __init__(self, text):
        self.text = text
        self.owner = None

    def __hash__(self):
        return hash(self.text)

    def __eq__(self, other):
        if self.owner is not None:
            self.owner.clear()
        return False


def _clearing_keys(c):
    key = EqClears(c.iss.kid)
    keys = {key: c.iss.pk}
    key.owner = keys
    return keys


class HashRaises:
    def __hash__(self):
        raise Midway("hash")

    def __str__(self):
        return "hashless"


class RaisingGet(dict):
    def get(self, key, default=None):
        raise Midway("get")


class ClearingGet(dict):
    def get(self, key, default=None):
        value = super().get(key, default)
        self.clear()
        return value


class ClearingResolver(dict):
    def __call__(self, kid, issuer_did):
        value = self.get(kid)
        self.clear()
        return value


class Str(str):
    pass


class Bytes(bytes):
    def __len__(self):
        return 5


class Dict(dict):
    pass


class RaisingNow:
    def __bool__(self):
        return True

    def __ge__(self, other):
        raise Midway("cannot compare")

    __le__ = __gt__ = __lt__ = __ge__


class BoolRaises:
    def __bool__(self):
        raise Midway("no truth value")


class StrMutates:
    """An id whose text conversion empties the list being read."""

    def __init__(self, owner):
        self.owner = owner

    def __str__(self):
        self.owner.clear()
        return "mutated"


def _mutating_list():
    ids = ["a", "b"]
    ids.insert(1, StrMutates(ids))
    return ids


def _gen(items, fail_at):
    for i, item in enumerate(items):
        if i == fail_at:
            raise Midway("generator failed")
        yield item


def _pairs_then_fail():
    yield ("a", 1)
    raise Midway("pairs failed")


def is_verdict(status, code=None):
    def check(c, out):
        kind, v = out
        assert kind == "ok", v
        assert (v.status, v.error_code) == (status, code), v

    return check


def raises(exc_type, text=None):
    def check(c, out):
        kind, exc = out
        assert kind == "raised" and type(exc) is exc_type, exc
        if text is not None:
            assert text in str(exc), str(exc)

    return check


def returns(expected):
    def check(c, out):
        kind, got = out
        assert kind == "ok", got
        assert got == expected

    return check


def passport_error(text, cause=None):
    def check(c, out):
        kind, exc = out
        assert kind == "raised" and type(exc) is c.P.PassportError, exc
        assert str(exc) == text
        assert (exc.__cause__ is None) if cause is None else isinstance(exc.__cause__, cause), exc.__cause__

    return check


def verdict_message(status, code, message):
    def check(c, out):
        is_verdict(status, code)(c, out)
        assert out[1].error_message == message, out[1].error_message

    return check


def canonicaliser_error(c, out):
    kind, exc = out
    assert kind == "raised" and isinstance(exc, c.P.PassportError), exc
    assert str(exc).startswith("credential payload cannot be canonicalised: ") and exc.__cause__ is not None


def malformed(c, out):
    kind, v = out
    assert kind == "ok" and v.error_code == "INVALID_CREDENTIAL", v
    assert v.error_message.startswith("malformed credential envelope: "), v.error_message


def _nested_outcome(depth):
    """What the parser and the canonicaliser make of a nesting depth."""

    def check(c, out):
        text = "[" * depth + "]" * depth
        try:
            value = json.loads(text)
        except RecursionError:
            return malformed(c, out)
        try:
            rfc8785.dumps({"a": value})
        except RecursionError:
            is_verdict("invalid", "INVALID_CREDENTIAL")(c, out)
            assert out[1].error_message.startswith("credential payload cannot be canonicalised: ")
            return None
        return is_verdict("invalid", "TAMPERED_SIGNATURE")(c, out)

    return check


# name -> (builder(ctx) -> (call, inputs to snapshot), check(ctx, outcome), seconds allowed)
HOSTILE = {
    "10 MB signed credential verifies": (
        lambda c: (lambda cred: (lambda: c.verify_with(cred), [cred]))(_big_signed(c)),
        is_verdict("active"),
        60,
    ),
    "10 MB of junk is a malformed credential": (
        lambda c: (lambda cred: (lambda: c.verify_with(cred), [cred]))("A" * 10_000_001),
        malformed,
        30,
    ),
    "10 MB of whitespace is not a credential": (
        lambda c: (lambda cred: (lambda: c.P.decode_passport(cred), [cred]))(" \n" * 5_000_000),
        passport_error("credential must be a non-empty string"),
        30,
    ),
    "payload nested past the parser's limit": (
        lambda c: (lambda cred: (lambda: c.verify_with(cred, issuer_keys=c.iss.pk), [cred]))(_nested(100_000)),
        _nested_outcome(100_000),
        30,
    ),
    "payload nested past the canonicaliser's limit": (
        lambda c: (lambda cred: (lambda: c.verify_with(cred, issuer_keys=c.iss.pk), [cred]))(_nested(3000)),
        _nested_outcome(3000),
        30,
    ),
    # The envelope and the payload add two levels to the arrays nested inside.
    "envelope nested 100 levels deep": (
        lambda c: (lambda cred: (lambda: c.verify_with(cred, issuer_keys=c.iss.pk), [cred]))(_nested(98)),
        _nested_outcome(98),
        30,
    ),
    "envelope nested 101 levels deep": (
        lambda c: (lambda cred: (lambda: c.verify_with(cred, issuer_keys=c.iss.pk), [cred]))(_nested(99)),
        _nested_outcome(99),
        30,
    ),
    "payload nested within both limits": (
        lambda c: (lambda cred: (lambda: c.verify_with(cred, issuer_keys=c.iss.pk), [cred]))(_nested(200)),
        _nested_outcome(200),
        30,
    ),
    "1 MB payload key verifies": (
        lambda c: (lambda cred: (lambda: c.verify_with(cred), [cred]))(c.iss.issue(payload(**{"k" * 1_000_000: 1}))),
        is_verdict("active"),
        30,
    ),
    "non-BMP payload keys verify": (
        lambda c: (lambda cred: (lambda: c.verify_with(cred), [cred]))(
            c.iss.issue(payload(**{"\U0001f600": "\U0010ffff", "\u00e9\U0001d518": [1], "\ufffe": 0}))
        ),
        is_verdict("active"),
        30,
    ),
    "lone surrogate in a payload key is refused as uncanonicalisable": (
        lambda c: (lambda cred: (lambda: c.P.decode_passport(cred), [cred]))(
            b64u(b'{"payload": {"\\ud800": 1}, "sig": ""}')
        ),
        canonicaliser_error,
        30,
    ),
    "1 MB of base64 key text is a bad key size": (
        lambda c: (lambda keys: (lambda: c.verify_with(c.cred(), issuer_keys=keys), [keys]))("A" * 1_000_000),
        verdict_message("invalid", "BAD_ISSUER_KEY", "issuer key is 750000 bytes, expected 1793"),
        30,
    ),
    "1 MB of non-base64 key text decodes to nothing": (
        lambda c: (lambda keys: (lambda: c.verify_with(c.cred(), issuer_keys=keys), [keys]))("!" * 1_000_000),
        verdict_message("invalid", "BAD_ISSUER_KEY", "issuer key is 0 bytes, expected 1793"),
        30,
    ),
    "1 MB url-safe key text in a mapping": (
        lambda c: (lambda keys: (lambda: c.verify_with(c.cred(), issuer_keys=keys), [keys]))(
            {c.iss.kid: "-" * 1_000_000}
        ),
        is_verdict("invalid", "BAD_ISSUER_KEY"),
        30,
    ),
    "CRL of a million ids without the passport": (
        lambda c: (lambda crl: (lambda: c.verify_with(c.cred(), crl=crl), [crl]))(
            {"revoked": [f"pp_{i}" for i in range(1_000_000)]}
        ),
        is_verdict("active"),
        30,
    ),
    "CRL of a million ids ending with the passport": (
        lambda c: (lambda crl: (lambda: c.verify_with(c.cred(), crl=crl), [crl]))(
            list(range(999_999)) + ["pp_01HZX3K9Q7T5"]
        ),
        is_verdict("revoked", "REVOKED"),
        30,
    ),
    "CRL generator of a million ids": (
        lambda c: (lambda: c.verify_with(c.cred(passport_id=999_999), crl=(i for i in range(1_000_000))), []),
        is_verdict("revoked", "REVOKED"),
        30,
    ),
    "CRL generator raising midway": (
        lambda c: (lambda: c.verify_with(c.cred(), crl=_gen(["a", "b", "c"], 2)), []),
        raises(Midway, "generator failed"),
        30,
    ),
    "CRL generator is not read for an expired credential": (
        lambda c: (
            lambda g: (
                lambda: (c.verify_with(c.cred(expires_at="2020-01-01T00:00:00Z"), crl=g), inspect.getgeneratorstate(g)),
                [],
            )
        )(_gen(["a"], 0)),
        lambda c, out: (
            is_verdict("expired", "EXPIRED")(c, ("ok", out[1][0])),
            returns(inspect.GEN_CREATED)(c, ("ok", out[1][1])),
        ),
        30,
    ),
    "CRL generator raising midway in revoked_ids": (
        lambda c: (lambda: c.P._revoked_ids(_gen([1, 2, 3], 1)), []),
        raises(Midway),
        30,
    ),
    "metadata pairs raising midway": (
        lambda c: (lambda: c.P.a2a_message_metadata("cred", _pairs_then_fail()), []),
        raises(Midway, "pairs failed"),
        30,
    ),
    "CRL id whose str raises TypeError": (
        lambda c: (lambda crl: (lambda: c.verify_with(c.cred(), crl=crl), [crl]))([_StrRaises(TypeError("t"))]),
        passport_error(BAD_CRL, TypeError),
        30,
    ),
    "CRL id whose str raises another error": (
        lambda c: (lambda crl: (lambda: c.verify_with(c.cred(), crl=crl), [crl]))([_StrRaises(Midway("s"))]),
        raises(Midway),
        30,
    ),
    "CRL id whose str empties the list being read": (
        lambda c: (lambda crl: (lambda: c.P._revoked_ids(crl), []))(_mutating_list()),
        returns({"a", "mutated"}),
        30,
    ),
    "key mapping whose stored key's comparison raises": (
        lambda c: (lambda keys: (lambda: c.verify_with(c.cred(), issuer_keys=keys), []))({Eq(c.iss.kid): c.iss.pk}),
        raises(Midway, "eq"),
        30,
    ),
    "key mapping whose stored key's comparison empties it": (
        lambda c: (lambda: c.verify_with(c.cred(), issuer_keys=_clearing_keys(c)), []),
        is_verdict("unverifiable", "UNRESOLVED_ISSUER_KEY"),
        30,
    ),
    "CRL id whose hash raises is read by its text": (
        lambda c: (lambda crl: (lambda: c.P._revoked_ids(crl), [crl]))([HashRaises(), "a"]),
        returns({"hashless", "a"}),
        30,
    ),
    "metadata key whose hash raises": (
        lambda c: (lambda meta: (lambda: c.P.a2a_message_metadata("cred", meta), [meta]))([(HashRaises(), 1)]),
        raises(Midway, "hash"),
        30,
    ),
    "key mapping whose get raises": (
        lambda c: (lambda keys: (lambda: c.verify_with(c.cred(), issuer_keys=keys), [keys]))(
            RaisingGet({c.iss.kid: c.iss.pk})
        ),
        raises(Midway, "get"),
        30,
    ),
    "key mapping whose get empties it": (
        lambda c: (lambda: c.verify_with(c.cred(), issuer_keys=ClearingGet({c.iss.kid: c.iss.pk})), []),
        is_verdict("active"),
        30,
    ),
    "resolver that empties the mapping it is": (
        lambda c: (lambda: c.verify_with(c.cred(), issuer_keys=ClearingResolver({c.iss.kid: c.iss.pk})), []),
        is_verdict("active"),
        30,
    ),
    "resolver raising PassportError": (
        lambda c: (
            lambda: c.verify_with(
                c.cred(), issuer_keys=lambda k, d: (_ for _ in ()).throw(c.P.PassportError("no such issuer"))
            ),
            [],
        ),
        verdict_message("invalid", "INVALID_CREDENTIAL", "no such issuer"),
        30,
    ),
    "resolver raising another error": (
        lambda c: (lambda: c.verify_with(c.cred(), issuer_keys=lambda k, d: (_ for _ in ()).throw(Midway("r"))), []),
        raises(Midway, "r"),
        30,
    ),
    "fetcher raising": (
        lambda c: (
            lambda: c.P.resolve_keys_from_wellknown(
                "https://i.example", fetch=lambda u: (_ for _ in ()).throw(Midway("f"))
            ),
            [],
        ),
        raises(Midway, "f"),
        30,
    ),
    "expected agent whose comparison raises": (
        lambda c: (lambda: c.verify_with(c.cred(), expected_agent_did=Eq("did:x")), []),
        raises(Midway, "eq"),
        30,
    ),
    "required scope whose comparison raises": (
        lambda c: (lambda: c.verify_with(c.cred(), required_scope=Eq("s")), []),
        raises(Midway, "eq"),
        30,
    ),
    "require_revocation_check whose truth raises": (
        lambda c: (lambda: c.verify_with(c.cred(), crl=None, require_revocation_check=BoolRaises()), []),
        raises(Midway, "no truth value"),
        30,
    ),
    "now whose comparison raises": (
        lambda c: (lambda: c.verify_with(c.cred(), now=RaisingNow()), []),
        raises(Midway, "cannot compare"),
        30,
    ),
    "now whose comparison raises is not compared without a stamp": (
        lambda c: (lambda: c.verify_with(c.cred(expires_at=OMIT), now=RaisingNow()), []),
        is_verdict("expired", "EXPIRED"),
        30,
    ),
    "now whose truth raises": (
        lambda c: (lambda: c.verify_with(c.cred(), now=BoolRaises()), []),
        raises(Midway, "no truth value"),
        30,
    ),
    "str subclass credential verifies": (
        lambda c: (lambda cred: (lambda: c.verify_with(cred), [cred]))(Str(c.iss.issue())),
        is_verdict("active"),
        30,
    ),
    "bytes subclass key is read byte for byte": (
        lambda c: (lambda key: (lambda: c.verify_with(c.cred(), issuer_keys=key), [key]))(Bytes(c.iss.pk)),
        is_verdict("active"),
        30,
    ),
    "dict subclass key mapping and CRL": (
        lambda c: (lambda keys, crl: (lambda: c.verify_with(c.cred(), issuer_keys=keys, crl=crl), [keys, crl]))(
            Dict({c.iss.kid: c.iss.pk}), Dict(revoked=["pp_01HZX3K9Q7T5"])
        ),
        is_verdict("revoked", "REVOKED"),
        30,
    ),
    "dict subclass metadata gives a plain dict": (
        lambda c: (lambda meta: (lambda: type(c.P.a2a_message_metadata("cred", meta)), [meta]))(Dict(a=1)),
        returns(dict),
        30,
    ),
    "str and bytes subclass fetcher bodies": (
        lambda c: (
            lambda: (
                c.P._get_json("u", lambda u: Str('{"a": 1}'), 1.0),
                c.P._get_json("u", lambda u: Bytes(b'{"b": 2}'), 1.0),
            ),
            [],
        ),
        returns(({"a": 1}, {"b": 2})),
        30,
    ),
}


def snapshot(obj):
    """Structure and leaves of an input: containers by content, other objects by identity."""
    if isinstance(obj, dict):
        return (type(obj), [(snapshot(k), snapshot(v)) for k, v in dict.items(obj)])
    if isinstance(obj, (list, tuple)):
        return (type(obj), [snapshot(x) for x in obj])
    if isinstance(obj, (str, bytes, bytearray, int, float)):
        return (
            type(obj),
            str.__str__(obj)
            if isinstance(obj, str)
            else bytes(memoryview(obj))
            if isinstance(obj, (bytes, bytearray))
            else obj,
        )
    return (type(obj), id(obj))


@pytest.mark.parametrize("case", list(HOSTILE))
def test_hostile_input_gives_the_documented_outcome_in_bounded_time(passport, issuer, monkeypatch, tmp_path, case):
    build, check, seconds = HOSTILE[case]
    ctx = HostileCtx(passport, issuer, monkeypatch, tmp_path)
    call, inputs = build(ctx)
    before = [snapshot(i) for i in inputs]
    rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.monotonic()
    out = outcome(call)
    elapsed = time.monotonic() - start
    grown_mb = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss) / 1024
    check(ctx, out)
    assert [snapshot(i) for i in inputs] == before, "an input was changed"
    assert elapsed < seconds, f"took {elapsed:.1f}s"
    assert grown_mb < 2048, f"peak memory grew by {grown_mb:.0f} MB"


# --------------------------------------------------------------------------
# Fail closed: no change to a signed credential makes it verify, except
# transport-level ones


def verify_real(passport, issuer, cred):
    return passport.verify_passport(cred, issuer_keys={issuer.kid: issuer.pk}, crl=[], now=NOW)


def original_parts(passport, cred):
    dec = passport.decode_passport(cred)
    return dec.signed_bytes, dec.sig


def assert_fails_closed(passport, issuer, original, mutant):
    verdict = verify_real(passport, issuer, mutant)
    if verdict.verified:
        # Only a credential carrying exactly what was signed may verify.
        assert original_parts(passport, mutant) == original_parts(passport, original), mutant
    return verdict


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-(2**53) + 1, 2**53 - 1)
    | st.text(max_size=20)
    | st.floats(allow_nan=False, allow_infinity=False),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=8), inner, max_size=3),
    max_leaves=8,
)
PROPERTY = settings(max_examples=60, deadline=None, suppress_health_check=list(HealthCheck))


@PROPERTY
@given(member=st.sampled_from(sorted(payload())) | st.text(min_size=1, max_size=10), value=json_values)
def test_changed_payload_member_never_verifies(passport, issuer, member, value):
    env = issuer.envelope()
    assume(env["payload"].get(member, OMIT) != value or type(env["payload"].get(member)) is not type(value))
    env["payload"][member] = value
    verdict = verify_real(passport, issuer, encode_envelope(env))
    # A member the working values cannot read (a "scopes" of true) is
    # refused before the signature is checked.
    assert not verdict.verified and verdict.error_code in ("TAMPERED_SIGNATURE", "INVALID_CREDENTIAL"), verdict


@PROPERTY
@given(member=st.sampled_from(sorted(payload())))
def test_removed_payload_member_never_verifies(passport, issuer, member):
    env = issuer.envelope()
    del env["payload"][member]
    verdict = verify_real(passport, issuer, encode_envelope(env))
    assert not verdict.verified and verdict.error_code == "TAMPERED_SIGNATURE", verdict


@PROPERTY
@given(data=st.data())
def test_changed_signature_bytes_never_verify(passport, issuer, data):
    env = issuer.envelope()
    sig = bytearray(b64u_decode(env["sig"]))
    how = data.draw(st.sampled_from(["flip", "truncate", "extend", "replace"]))
    if how == "flip":
        i = data.draw(st.integers(0, len(sig) - 1))
        sig[i] ^= data.draw(st.integers(1, 255))
    elif how == "truncate":
        del sig[data.draw(st.integers(0, len(sig) - 1)) :]
    elif how == "extend":
        sig += data.draw(st.binary(min_size=1, max_size=16))
    else:
        sig = bytearray(data.draw(st.binary(max_size=1400)))
    env["sig"] = b64u(bytes(sig))
    verdict = verify_real(passport, issuer, encode_envelope(env))
    assert not verdict.verified, verdict
    assert verdict.error_code in ("TAMPERED_SIGNATURE", "INVALID_CREDENTIAL"), verdict


@PROPERTY
@given(
    kid=st.text(min_size=1, max_size=20) | st.integers(1) | st.lists(st.integers(), min_size=1, max_size=2),
    alg=st.text(min_size=1, max_size=12),
)
def test_changed_kid_or_alg_never_verifies(passport, issuer, kid, alg):
    assume(kid != issuer.kid)
    cred = issuer.issue(kid=kid)
    # The true key pinned (any kid), and a key set keyed by the true kid.
    for keys in (issuer.pk, {issuer.kid: issuer.pk}):
        kid_verdict = passport.verify_passport(cred, issuer_keys=keys, crl=[], now=NOW)
        assert not kid_verdict.verified, kid_verdict
    assume(alg != "Falcon-1024")
    alg_verdict = verify_real(passport, issuer, issuer.issue(alg=alg))
    assert not alg_verdict.verified and alg_verdict.error_code == "UNSUPPORTED_ALG", alg_verdict


# Any JSON a credential can carry, including what the canonicaliser refuses:
# non-finite numbers, integers past its range, lone surrogates, long text and
# arrays nested either side of the JSON reader's depth limit.
hostile_json = st.recursive(
    st.none()
    | st.booleans()
    | st.integers()
    | st.integers(2**53 - 2, 2**70)
    | st.floats()
    | st.text(max_size=12)
    | st.text(st.characters(min_codepoint=0xD7FF, max_codepoint=0xE000), max_size=3)
    | st.text(min_size=5000, max_size=20000, alphabet='ab"\\\u00e9'),
    lambda inner: (
        st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=6) | st.just("\ud800"), inner, max_size=3)
    ),
    max_leaves=6,
) | st.builds(
    lambda depth, leaf: json.loads("[" * depth + json.dumps(leaf) + "]" * depth),
    st.integers(90, 1100),
    st.integers() | st.text(max_size=3),
)


def _canonical_or_none(body):
    try:
        return rfc8785.dumps(body)
    except Exception:
        return None


@settings(max_examples=80, deadline=None, suppress_health_check=list(HealthCheck))
@given(
    where=st.sampled_from(sorted(payload()) + ["alg", "kid", "extra"]),
    value=hostile_json,
    signed=st.booleans(),
    source=st.sampled_from(["mapping", "bytes", "text", "resolver", "none", "did"]),
)
def test_nothing_a_credential_carries_makes_verification_raise(passport, issuer, where, value, signed, source):
    body = payload()
    options = {}
    if where in ("alg", "kid"):
        options[where] = value
    else:
        body[where] = value
    # Signed by the real issuer where the canonicaliser accepts the payload,
    # so the checks after the signature see the value too.
    canonical = _canonical_or_none(body) if signed else None
    try:
        env = issuer.envelope(body, signed_payload=None if canonical else payload(), **options)
        cred = b64u(json.dumps(env, allow_nan=True).encode("utf-8"))
    except (RecursionError, rfc8785.CanonicalizationError, UnicodeError):
        assume(False)
    keys = {
        "mapping": {issuer.kid: issuer.pk},
        "bytes": issuer.pk,
        "text": issuer.pk_b64,
        "resolver": lambda kid, did: issuer.pk,
        "none": None,
        "did": {DEFAULT_DID: bytearray(issuer.pk)},
    }[source]
    for crl in ([], None, {"revoked": [str(value)[:50]]}):
        verdict = passport.verify_passport(
            cred,
            issuer_keys=keys,
            crl=crl,
            required_scope="payments:write",
            expected_agent_did="did:web:agents.example.com:shopper-7",
            now=NOW,
        )
        assert type(verdict) is passport.PassportVerdict
        assert verdict.status in ("active", "revoked", "expired", "invalid", "unverifiable"), verdict


@PROPERTY
@given(data=st.data())
def test_changed_credential_characters_verify_only_when_they_decode_to_the_signed_bytes(passport, issuer, issue, data):
    original = issue()
    text = list(original)
    for _ in range(data.draw(st.integers(1, 3))):
        i = data.draw(st.integers(0, len(text) - 1))
        text[i] = data.draw(st.sampled_from("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_+/=. "))
    assert_fails_closed(passport, issuer, original, "".join(text))


@PROPERTY
@given(
    lead=st.sampled_from(["", " ", "\n", "\t ", "\r\n"]),
    trail=st.sampled_from(["", " ", "\n", "\r\n", "\t"]),
    pad=st.integers(0, 2),
    utf=st.sampled_from(["utf-8", "utf-16", "utf-32"]),
)
def test_padding_whitespace_and_text_encoding_keep_a_credential_valid(passport, issuer, lead, trail, pad, utf):
    cred = encode_envelope(issuer.envelope(), encoding=utf)
    padded = cred + "=" * (-len(cred) % 4 if pad else 0)
    verdict = verify_real(passport, issuer, lead + padded + trail)
    assert verdict.verified and verdict.status == "active", verdict


@PROPERTY
@given(indent=st.sampled_from([None, 0, 2]), reverse=st.booleans(), ascii_only=st.booleans())
def test_reformatted_payload_text_keeps_a_credential_valid(passport, issuer, indent, reverse, ascii_only):
    env = issuer.envelope(payload(note="caf\u00e9 \U0001f600"))
    env["payload"] = dict(reversed(list(env["payload"].items()))) if reverse else env["payload"]
    text = json.dumps(env, indent=indent, ensure_ascii=ascii_only)
    verdict = verify_real(passport, issuer, encode_envelope(text))
    assert verdict.verified, verdict


# --------------------------------------------------------------------------
# The fuzz targets, driven by hypothesis: the same contracts atheris checks
# in fuzz/, on a budget that fits the test run


@pytest.mark.parametrize("target", sorted(fuzz_targets.TARGETS))
def test_fuzz_target_contract_holds_for_seeds_and_random_bytes(target):
    run = fuzz_targets.TARGETS[target]
    for seed in fuzz_targets.seeds(target):
        run(seed)

    @settings(max_examples=150, deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(st.binary(max_size=2048))
    def random_bytes(data):
        run(data)

    random_bytes()


# --- interpreter internals ---------------------------------------------------------

NATIVE = Path(__file__).resolve().parents[2] / "src" / "native"
INTERNALS = [
    r"\b_Py[A-Za-z]",
    r"\bPyUnstable_",
    r"\bPySetObject\b",
    r"\bsetentry\b",
    r"tp_version_tag",
    r"c_profilefunc",
    r"c_tracefunc",
    r"py_recursion_remaining",
]


@pytest.mark.parametrize("pattern", INTERNALS)
def test_interpreter_internals_are_used_only_through_the_compatibility_header(pattern):
    # internals.hpp is the one file to check, and widen its version bound,
    # when a new CPython version is supported.
    users = sorted(p.name for p in NATIVE.glob("*.[ch]pp") if re.search(pattern, p.read_text()))
    assert users == ["internals.hpp"]
