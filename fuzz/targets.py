"""Fuzz targets for quorvel_trellane.passport.

Each target takes the raw bytes a fuzzer produced, turns them into a call
of one module function, and checks that the call ends only in a result or
an exception the function is documented to give. Anything else (another
exception type, a wrong message, a verdict that contradicts its inputs, an
input object changed by the call) is an AssertionError, which the fuzzer
reports as a crash; a memory error in the extension is caught by the
sanitizers around it.

The targets depend on nothing but the package and its real components, so
the same code runs under atheris (fuzz/fuzz_passport.py) and under
hypothesis (tests/native/test_hardening.py).
"""

from __future__ import annotations

import base64
import copy
import json
import os
import tempfile
from datetime import UTC, datetime, timedelta, timezone
from pathlib import Path

import rfc8785

from quorvel_trellane import passport as P
from quorvel_trellane import testing
from quorvel_trellane.testing import ALG, b64u
from quorvel_trellane.testing import b64u_decode as ref_b64u_decode

NOW = datetime(2030, 1, 1, tzinfo=UTC)
STATUSES = {
    "INVALID_CREDENTIAL": "invalid",
    "UNSUPPORTED_ALG": "invalid",
    "UNRESOLVED_ISSUER_KEY": "unverifiable",
    "BAD_ISSUER_KEY": "invalid",
    "KID_KEY_MISMATCH": "invalid",
    "TAMPERED_SIGNATURE": "invalid",
    "EXPIRED": "expired",
    "REVOCATION_CHECK_FAILED": "unverifiable",
    "REVOCATION_ID_MISSING": "unverifiable",
    "REVOKED": "revoked",
    "AGENT_MISMATCH": "active",
    "SCOPE_NOT_GRANTED": "active",
}
DECODE_MESSAGES = (
    "credential must be a non-empty string",
    "credential envelope is not an object",
    "credential payload is not an object",
)
DECODE_PREFIXES = (
    "malformed credential envelope: ",
    "credential signature is not base64url: ",
    "credential payload cannot be canonicalised: ",
)
NOT_KEY = "issuer key must be bytes or base64 text"
BAD_CRL = "crl must be a mapping with 'revoked', a list, or None"
NO_OBJECT = " did not return a JSON object"


# --------------------------------------------------------------------------
# Reading structured choices out of raw bytes


class Input:
    """Choices drawn from fuzz bytes; running out yields zeros and empties."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.pos = 0

    def byte(self) -> int:
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def pick(self, options):
        return options[self.byte() % len(options)]

    def chunk(self, limit: int = 255) -> bytes:
        n = min(self.byte(), limit)
        out = self.data[self.pos : self.pos + n]
        self.pos += len(out)
        return out

    def text(self, limit: int = 255) -> str:
        # surrogateescape keeps every byte: invalid UTF-8 becomes lone
        # surrogates, which are hostile text in their own right.
        return self.chunk(limit).decode("utf-8", "surrogateescape")

    def rest(self) -> bytes:
        out = self.data[self.pos :]
        self.pos = len(self.data)
        return out

    def json_value(self, depth: int = 0):
        kind = self.byte() % (9 if depth < 4 else 6)
        if kind == 0:
            return None
        if kind == 1:
            return bool(self.byte() & 1)
        if kind == 2:
            return int.from_bytes(self.chunk(12), "big", signed=True) if self.byte() & 1 else self.byte()
        if kind == 3:
            return self.pick([0.5, -0.0, 1e308, float("inf"), float("nan"), 2.0**53 + 1])
        if kind in (4, 5):
            return self.text(40)
        if kind == 6:
            return [self.json_value(depth + 1) for _ in range(self.byte() % 5)]
        return {self.text(12): self.json_value(depth + 1) for _ in range(self.byte() % 5)}


# --------------------------------------------------------------------------
# A real issuer, made once per process


class Issuer:
    """The package's test issuer key pair, under the short names the targets use."""

    def __init__(self) -> None:
        self.keypair = testing.generate_keypair()
        self.pk, self.kid = self.keypair.public_key, self.keypair.kid
        self.signed = self.keypair.signatures  # canonical payload -> signature

    def envelope(self, payload: dict) -> dict:
        return testing.make_envelope(payload, self.keypair)

    def issue(self, payload: dict) -> str:
        return testing.issue_credential(payload, self.keypair)


def base_payloads() -> list[dict]:
    base = {
        "passport_id": "pp_fuzz_1",
        "agent_did": "did:web:agents.example.com:fuzz",
        "issuer_did": "did:web:issuer.example.org",
        "scopes": ["payments:write", "catalog:read"],
        "spend_limit_microusd": 25_000_000,
        "spend_window": "P1D",
        "issued_at": "2026-01-01T00:00:00Z",
        "expires_at": "2099-12-31T23:59:59Z",
    }
    expired = dict(base, passport_id="pp_fuzz_2", expires_at="2020-01-01T00:00:00Z")
    bare = {"passport_id": 7, "issuer_did": "did:web:issuer.example.org", "expires_at": "2099-01-01T00:00:00Z"}
    return [base, expired, bare]


_ISSUER: Issuer | None = None
_CREDENTIALS: list[str] = []


def issuer() -> Issuer:
    global _ISSUER
    if _ISSUER is None:
        _ISSUER = Issuer()
        _CREDENTIALS.extend(_ISSUER.issue(p) for p in base_payloads())
    return _ISSUER


def seed_credentials() -> list[str]:
    issuer()
    return list(_CREDENTIALS)


# --------------------------------------------------------------------------
# Oracles shared by the targets


def snapshot(obj):
    """Structure and leaves of an input, to tell whether a call changed it:
    containers by content, text, bytes and numbers by value (NaN-safe),
    anything else by identity."""
    if isinstance(obj, dict):
        return (type(obj), [(snapshot(k), snapshot(v)) for k, v in dict.items(obj)])
    if isinstance(obj, (list, tuple)):
        return (type(obj), [snapshot(x) for x in obj])
    if isinstance(obj, str):
        return (type(obj), str.__str__(obj))
    if isinstance(obj, (bytes, bytearray)):
        return (type(obj), bytes(memoryview(obj)))
    if isinstance(obj, (int, float)):
        return (type(obj), repr(obj))
    return (type(obj), id(obj))


def check_verdict(v) -> None:
    assert type(v) is P.PassportVerdict, type(v)
    assert type(v.verified) is bool
    if v.error_code is None:
        assert v.verified and v.status == "active" and v.error_message is None, v
    else:
        assert not v.verified, v
        assert STATUSES[v.error_code] == v.status, v
        assert isinstance(v.error_message, str) and v.error_message, v
    assert bool(v) is v.verified


def check_decode_error(exc: BaseException) -> None:
    assert type(exc) is P.PassportError, repr(exc)
    msg = str(exc)
    if msg in DECODE_MESSAGES:
        assert exc.__cause__ is None, repr(exc)
    else:
        assert msg.startswith(DECODE_PREFIXES), msg
        assert isinstance(exc.__cause__, Exception), repr(exc)


def canonical_error(payload):
    """The canonicaliser's own error for a payload, or None."""
    try:
        rfc8785.dumps(payload)
    except Exception as exc:
        return exc
    return None


def reference_envelope(credential):
    """What the decoder must make of a text: ('ok', env) or ('bad', error)."""
    try:
        env = json.loads(ref_b64u_decode(credential))
    except Exception as exc:
        return "bad", exc
    return "ok", env


def reference_sig_error(env: dict):
    """The error decoding the envelope's "sig" gives, or None."""
    try:
        ref_b64u_decode(env["sig"])
    except Exception as exc:
        return exc
    return None


def outcome_of(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as exc:
        return ("raised", type(exc), str(exc))


# --------------------------------------------------------------------------
# decode_passport


def credential_from(inp: Input) -> str:
    mode = inp.byte() % 4
    if mode == 0:
        return inp.rest().decode("utf-8", "surrogateescape")
    if mode == 1:  # envelope JSON bytes, possibly in another UTF
        encoding = inp.pick(["utf-8", "utf-16", "utf-32", "utf-8"])
        raw = inp.rest().decode("utf-8", "surrogateescape").encode(encoding, "surrogatepass")
        return b64u(raw)
    if mode == 2:  # a structured envelope
        env = {}
        for name in ("payload", "alg", "kid", "sig"):
            choice = inp.byte() % 4
            if choice == 0:
                continue
            if name == "payload" and choice > 1:
                env[name] = {inp.text(12): inp.json_value() for _ in range(inp.byte() % 6)}
            elif name == "sig" and choice > 1:
                env[name] = b64u(inp.chunk())
            else:
                env[name] = inp.json_value()
        text = json.dumps(env, allow_nan=True)
        return b64u(text.encode("utf-8", "surrogatepass")) + inp.pick(["", "=", "==", "\n", "  "])
    # a real credential with bytes of it changed
    creds = seed_credentials()
    cred = bytearray(inp.pick(creds).encode())
    for _ in range(1 + inp.byte() % 4):
        if cred:
            cred[(inp.byte() << 8 | inp.byte()) % len(cred)] = inp.byte()
    return cred.decode("latin-1")


def target_decode(data: bytes) -> None:
    inp = Input(data)
    credential = credential_from(inp)
    kind, env = reference_envelope(credential) if credential.strip() else ("bad", None)
    try:
        dec = P.decode_passport(credential)
    except P.PassportError as exc:
        check_decode_error(exc)
        msg = str(exc)
        if msg.startswith("malformed credential envelope: "):
            assert kind == "bad" and msg == "malformed credential envelope: " + str(env), (msg, env)
            assert type(exc.__cause__) is type(env), repr(exc.__cause__)
        elif msg.startswith("credential payload cannot be canonicalised: "):
            # Checked before the signature: a payload is canonicalised only
            # once the signature has decoded.
            assert kind == "ok" and reference_sig_error(env) is None, msg
            ref = canonical_error(env["payload"])
            assert ref is not None and type(exc.__cause__) is type(ref), (repr(exc.__cause__), repr(ref))
            assert msg == "credential payload cannot be canonicalised: " + str(ref), (msg, ref)
        elif kind == "ok" and isinstance(env, dict) and isinstance(env.get("payload"), dict):
            # Only the signature can still be at fault, and exactly so.
            ref = reference_sig_error(env)
            assert ref is not None and msg == "credential signature is not base64url: " + str(ref), (msg, ref)
            assert type(exc.__cause__) is type(ref), repr(exc.__cause__)
        return
    assert kind == "ok" and isinstance(env, dict)
    assert type(dec) is P.DecodedPassport
    assert json.dumps(dec.payload) == json.dumps(env["payload"])  # NaN-safe equality
    assert dec.signed_bytes == rfc8785.dumps(dec.payload)
    assert dec.sig == ref_b64u_decode(env["sig"])
    assert repr(dec.alg) == repr(env.get("alg", ""))
    assert repr(dec.kid) == repr(env.get("kid"))
    try:
        scopes = dec.scopes
    except TypeError:
        assert dec.payload.get("scopes") and not hasattr(dec.payload["scopes"], "__iter__")
    else:
        assert isinstance(scopes, tuple)


# --------------------------------------------------------------------------
# verify_passport with the real canonicaliser and verifier


def mutate_envelope(inp: Input, env: dict) -> None:
    for _ in range(1 + inp.byte() % 3):
        op = inp.byte() % 8
        payload = env["payload"]
        if op == 0:  # replace or add a payload member
            payload[inp.pick(list(payload) + ["extra", "scopes", "expires_at"])] = inp.json_value()
        elif op == 1 and payload:
            payload.pop(inp.pick(list(payload)))
        elif op == 2:  # change a byte of the signature
            sig = bytearray(ref_b64u_decode(env["sig"]))
            if sig:
                sig[(inp.byte() << 8 | inp.byte()) % len(sig)] ^= 1 + inp.byte() % 255
            env["sig"] = b64u(bytes(sig))
        elif op == 3:
            env["kid"] = inp.pick([None, "", inp.text(20), str(env.get("kid") or "").upper(), 7])
        elif op == 4:
            env["alg"] = inp.pick([None, "", "falcon-1024", "Falcon-1024", "Ed25519", 0, 5])
        elif op == 5:  # a member name that occurs twice, or reordering
            env["payload"] = dict(reversed(list(payload.items())))
        elif op == 6:
            env.pop(inp.pick(["alg", "kid"]), None)
        else:  # truncate or extend the signature
            sig = ref_b64u_decode(env["sig"])
            env["sig"] = b64u(sig[: inp.byte() * 8] if inp.byte() & 1 else sig + inp.chunk(8))


def key_source(inp: Input, iss: Issuer):
    """Trust material, and whether it yields the issuer's true key."""
    return inp.pick(
        [
            ({iss.kid: iss.pk}, True),
            (iss.pk, True),
            (base64.b64encode(iss.pk).decode(), True),
            (base64.urlsafe_b64encode(iss.pk).decode(), True),
            (lambda kid, did: iss.pk, True),
            ({"did:web:issuer.example.org": bytearray(iss.pk)}, True),
            (None, False),
            (iss.pk[:-1], False),
        ]
    )


def bad_scopes(payload) -> bool:
    """A true "scopes" member that the scopes property cannot make a tuple of."""
    scopes = payload.get("scopes")
    return bool(scopes) and not hasattr(scopes, "__iter__")


def target_verify(data: bytes) -> None:
    iss = issuer()
    inp = Input(data)
    base = inp.pick(base_payloads())
    env = copy.deepcopy(iss.envelope(base))
    mode = inp.byte() % 3
    if mode == 0:
        mutate_envelope(inp, env)
        credential = b64u(json.dumps(env, allow_nan=True).encode("utf-8", "surrogatepass"))
    elif mode == 1:  # transport-level changes only: padding and whitespace
        credential = inp.pick(["", " ", "\n", "\t"]) + iss.issue(base) + inp.pick(["", "=", "==", "\r\n", " "])
    else:
        credential = credential_from(inp)
    keys, true_key = key_source(inp, iss)
    crl = inp.pick([None, [], {"revoked": []}, ["pp_fuzz_1"], {"revoked": ["7"]}, ("x",)])
    scope = inp.pick([None, "", "payments:write", "admin"])
    agent = inp.pick([None, "", "did:web:agents.example.com:fuzz", "did:other"])
    require = inp.pick([True, False])
    kind, ref = reference_envelope(credential)
    try:
        v = P.verify_passport(
            credential,
            issuer_keys=keys,
            crl=crl,
            required_scope=scope,
            expected_agent_did=agent,
            require_revocation_check=require,
            now=NOW,
        )
    except Exception as exc:
        # Nothing a credential carries may make verification raise.
        raise AssertionError(f"verify_passport raised {exc!r}") from exc
    check_verdict(v)
    if (
        kind == "ok"
        and isinstance(ref, dict)
        and isinstance(ref.get("payload"), dict)
        and reference_sig_error(ref) is None
    ):
        if canonical_error(ref["payload"]) is not None:
            assert v.error_message.startswith("credential payload cannot be canonicalised: "), v
        elif bad_scopes(ref["payload"]):
            assert v.error_message.startswith("malformed credential payload: "), v
    if (
        v.verified
        or v.status in ("expired", "revoked")
        or v.error_code in ("REVOCATION_CHECK_FAILED", "REVOCATION_ID_MISSING", "AGENT_MISMATCH", "SCOPE_NOT_GRANTED")
    ):
        # Past the signature check: the payload must be one the issuer signed,
        # with that very signature.
        dec = P.decode_passport(credential)
        assert dec.signed_bytes in iss.signed, dec.payload
        signed = iss.signed[dec.signed_bytes]
        # pqcrypto's Falcon-1024 also accepts a signature zero-padded to
        # exactly 1280 bytes: the same signature in its padded form.
        assert dec.sig in (signed, signed.ljust(1280, b"\0")), dec.sig
    if mode == 1 and true_key:
        # Padding and surrounding whitespace are transport, not content.
        assert v.status != "invalid" and v.error_code != "UNRESOLVED_ISSUER_KEY", v


# --------------------------------------------------------------------------
# verify_passport with substituted components


class Interrupt(BaseException):
    """Stands for an interrupt: outside the Exception family."""


class Falsy:
    def __bool__(self):
        raise ValueError("no truth value")


def target_verify_substituted(data: bytes) -> None:
    issuer()
    inp = Input(data)
    pk = bytes(inp.chunk(64)).ljust(1793, b"\x01")[:1793]
    kid = testing.key_id(pk)
    payload = {inp.text(10): inp.json_value() for _ in range(inp.byte() % 4)}
    payload.update(passport_id=inp.pick(["p1", "", 0, 7]), expires_at=inp.pick(["2099-01-01T00:00:00Z", "x"]))
    env = {"payload": payload, "alg": ALG, "kid": kid, "sig": b64u(inp.chunk(16))}
    credential = b64u(json.dumps(env, allow_nan=True).encode("utf-8", "surrogatepass"))
    canon_mode = inp.byte() % 3
    verdict_mode = inp.byte() % 7
    calls = []

    class Canon:
        @staticmethod
        def dumps(value):
            calls.append("dumps")
            if canon_mode == 1:
                raise ValueError("canonicaliser refuses")
            if canon_mode == 2:
                return b"fixed"
            return json.dumps(value, sort_keys=True, allow_nan=True).encode("utf-8", "surrogatepass")

    def verify(public_key, message, signature):
        # Checked after the call: an AssertionError here would be taken
        # for a verifier that reports a bad signature by raising.
        calls.append(("verify", public_key, signature))
        outcome = [True, False, 0, "", Falsy(), KeyError("k"), Interrupt()][verdict_mode]
        if isinstance(outcome, BaseException):
            raise outcome
        return outcome

    original = P._load_crypto
    P._load_crypto = lambda: (Canon, verify)
    try:
        try:
            v = P.verify_passport(credential, issuer_keys={kid: pk}, crl=[], now=NOW)
        except Interrupt:
            assert verdict_mode == 6 and calls[-1][0] == "verify"
            return
    finally:
        P._load_crypto = original
    check_verdict(v)
    # What the canonicaliser refuses, and a payload whose working values
    # cannot be read, are refused as invalid credentials, never raised.
    if canon_mode == 1:
        assert v.error_message == "credential payload cannot be canonicalised: canonicaliser refuses", v
        return
    if bad_scopes(payload):
        assert v.error_code == "INVALID_CREDENTIAL", v
        assert v.error_message.startswith("malformed credential payload: "), v
        return
    assert calls[0] == "dumps"
    for call in calls[1:]:
        assert call == ("verify", pk, ref_b64u_decode(env["sig"])), call
    if verdict_mode != 0:
        assert v.error_code == "TAMPERED_SIGNATURE", v
    else:
        assert v.error_code != "TAMPERED_SIGNATURE", v


# --------------------------------------------------------------------------
# The compiled Falcon-1024 check against pqcrypto's verify


def mutate_bytes(inp: Input, data: bytes, limit: int) -> bytes:
    """``data`` changed as the input says: bits flipped, bytes set, cut,
    extended (with zeros, padded to 1280 bytes, or input bytes), or replaced."""
    out = bytearray(data)
    for _ in range(inp.byte() % 4):
        op = inp.byte() % 7
        where = (inp.byte() << 8 | inp.byte()) % max(len(out), 1)
        if op in (0, 1) and out:
            out[where] ^= 1 << inp.byte() % 8
        elif op == 2 and out:
            out[where] = inp.byte()
        elif op == 3:
            del out[where:]
        elif op == 4:
            out += bytes(inp.byte() % 9)
        elif op == 5:
            out = out.ljust(1280, b"\0")
        else:
            out += inp.chunk(16)
    if inp.byte() % 16 == 0:
        out = bytearray(inp.chunk(limit))
    return bytes(out)


def target_falcon_check(data: bytes) -> None:
    from pqcrypto.sign import falcon_1024

    iss = issuer()
    inp = Input(data)
    # The components as the module first loads them, so that it may run
    # pqcrypto's verify past its wrapper.
    P.verify_passport(_CREDENTIALS[0], issuer_keys=iss.pk, crl=[], now=NOW)
    message, sig = inp.pick(list(iss.signed.items()))
    pk = mutate_bytes(inp, iss.pk, 255)
    message = mutate_bytes(inp, message, 255)
    sig = mutate_bytes(inp, sig, 255)
    canonicaliser = type("Canonicaliser", (), {"dumps": staticmethod(lambda body: message)})
    credential = testing.issue_credential(base_payloads()[0], iss.keypair, kid=testing.OMIT, sig=sig)
    verdicts = []
    original = P._load_crypto
    try:
        # pqcrypto's verify itself, then a stand-in calling it: the module
        # may not tell them apart by what they decide.
        for verify in (falcon_1024.verify, lambda *a: falcon_1024.verify(*a)):
            P._load_crypto = lambda verify=verify: (canonicaliser, verify)
            verdicts.append(P.verify_passport(credential, issuer_keys=pk, crl=[], now=NOW))
    finally:
        P._load_crypto = original
    assert verdicts[0] == verdicts[1], (verdicts, len(pk), len(sig))
    check_verdict(verdicts[0])
    if len(pk) == 1793 and len(sig) <= 1462:
        assert verdicts[0].verified is falcon_1024.verify(pk, message, sig), verdicts[0]
    else:
        assert not verdicts[0].verified


# --------------------------------------------------------------------------
# _coerce_key


def reference_coerce(value):
    if isinstance(value, (bytes, bytearray)):
        return bytes(memoryview(value))
    if not isinstance(value, str):
        return P.PassportError(NOT_KEY)
    s = value.strip()
    padded = s + "=" * (-len(s) % 4)
    try:
        if "-" in s or "_" in s:
            return base64.urlsafe_b64decode(padded)
        try:
            return base64.b64decode(padded, validate=True)
        except Exception:
            return base64.urlsafe_b64decode(padded)
    except Exception as exc:
        return exc


class Bytes(bytes):
    def __bytes__(self):
        raise AssertionError("bytes subclass content must be read directly")


class Text(str):
    def __str__(self):
        raise AssertionError("str subclass must not be converted")


def key_value(inp: Input):
    alphabet = "ABCZabcz0189+/-_=  \n\t.\u00e9"
    kind = inp.byte() % 8
    if kind == 0:
        return bytes(inp.chunk())
    if kind == 1:
        return bytearray(inp.chunk())
    if kind == 2:
        return Bytes(inp.chunk())
    if kind in (3, 4):
        return "".join(alphabet[b % len(alphabet)] for b in inp.chunk())
    if kind == 5:
        return base64.b64encode(inp.chunk()).decode() if inp.byte() & 1 else b64u(inp.chunk())
    if kind == 6:
        return Text(inp.text())
    return inp.pick([None, 0, 1.5, [], {}, memoryview(b"ab"), True, object()])


def target_coerce_key(data: bytes) -> None:
    inp = Input(data)
    value = key_value(inp)
    before = snapshot(value)
    expected = reference_coerce(value)
    try:
        got = P._coerce_key(value)
    except Exception as exc:
        assert isinstance(expected, Exception), (value, repr(exc), expected)
        assert type(exc) is type(expected) and str(exc) == str(expected), (value, repr(exc), repr(expected))
        if type(exc) is P.PassportError:
            assert str(exc) == NOT_KEY and exc.__cause__ is None
        else:
            assert isinstance(exc, ValueError), repr(exc)
    else:
        assert type(got) is bytes and got == expected, (value, got, expected)
    assert snapshot(value) == before


# --------------------------------------------------------------------------
# _revoked_ids


class Midway(Exception):
    pass


class Shown(str):
    """Text of a str subclass, shown differently: ids are converted by str()."""

    def __str__(self):
        return "shown:" + str.__str__(self)


class Strange:
    def __init__(self, err):
        self.err = err

    def __str__(self):
        raise self.err


class Revoked(dict):
    def get(self, key, default=None):
        return ["from-get"]


def crl_value(inp: Input):
    def element():
        k = inp.byte() % 8
        if k < 3:
            return inp.text(12)
        if k == 3:
            return inp.json_value(3)
        if k == 4:
            return Shown(inp.text(4)) if inp.byte() & 1 else int.from_bytes(inp.chunk(4), "big")
        if k == 5:
            return Strange(inp.pick([TypeError("t"), ValueError("v"), Midway("m")]))
        if k == 6:
            return bytes(inp.chunk(4))
        return (inp.byte(), inp.text(3))

    items = [element() for _ in range(inp.byte() % 8)]
    shape = inp.byte() % 10
    if shape == 0:
        return None
    if shape == 1:
        return items
    if shape == 2:
        return {"revoked": items, "extra": inp.json_value()}
    if shape == 3:
        return {"revoked": inp.json_value()}
    if shape == 4:
        return {}
    if shape == 5:
        stop = inp.byte() % (len(items) + 1)

        def gen():
            for i, item in enumerate(items):
                if i == stop:
                    raise Midway("generator failed")
                yield item

        return gen()
    if shape == 6:
        return inp.text()
    if shape == 7:
        return bytes(inp.chunk())
    if shape == 8:
        return Revoked(revoked=items)
    return inp.pick([0, 42, 1.5, True, object(), frozenset(x for x in items if isinstance(x, str))])


def reference_revoked(crl):
    if crl is None:
        return ("ok", None)
    if isinstance(crl, dict):
        crl = crl.get("revoked", [])
    if isinstance(crl, (str, bytes, bytearray)):  # a single id, never its characters
        return ("raise", P.PassportError)
    out = set()
    try:
        for item in crl:
            out.add(item if type(item) is str else str(item))
    except TypeError:
        return ("raise", P.PassportError)
    except Exception as exc:
        return ("raise", type(exc))
    return ("ok", out)


def target_revoked_ids(data: bytes) -> None:
    crl = crl_value(Input(data))
    if hasattr(crl, "__next__"):  # a generator runs once: replay a copy of it
        expected = "generator"
    else:
        before = snapshot(crl)
        expected = reference_revoked(crl)
    try:
        got = P._revoked_ids(crl)
    except P.PassportError as exc:
        assert str(exc) == BAD_CRL and isinstance(exc.__cause__, TypeError), repr(exc)
        assert expected in ("generator", ("raise", P.PassportError)), (crl, expected)
        return
    except (ValueError, Midway) as exc:
        assert expected in ("generator", ("raise", type(exc))), (crl, repr(exc), expected)
        return
    if expected != "generator":
        assert expected == ("ok", got) and (got is None or type(got) is set), (crl, got, expected)
        assert snapshot(crl) == before
    assert got is None or all(type(x) is str for x in got)


def revocation_case(data: bytes):
    """A credential and a crl drawn from data, the same on every call."""
    inp = Input(data)
    credential = inp.pick(seed_credentials()[0:1] + seed_credentials()[2:3])
    crl = crl_value(inp)
    listed = inp.pick(["pp_fuzz_1", "7", "pp_other"])
    if isinstance(crl, list):
        if inp.byte() & 1:
            crl.insert(inp.byte() % (len(crl) + 1), listed)
        kind = inp.byte() % 4
        try:
            crl = [crl, tuple(crl), set(crl), frozenset(crl)][kind]
        except TypeError:  # unhashable elements stay in the list
            pass
    return credential, crl


def target_revocation(data: bytes) -> None:
    """verify_passport decides revocation as with the set _revoked_ids builds."""
    iss = issuer()
    credential, crl = revocation_case(data)

    def decide(crl):
        out = outcome_of(lambda: P.verify_passport(credential, issuer_keys=iss.pk, crl=crl, now=NOW))
        return out if out[0] != "ok" else ("ok", out[1].status, out[1].error_code)

    native = decide(crl)
    # The same object again (a set's order is its own), but a generator
    # runs once: a fresh one from the same bytes.
    again = revocation_case(data)[1] if hasattr(crl, "__next__") else crl
    original = P._revoked_ids
    P._revoked_ids = lambda crl: original(crl)
    try:
        assert native == decide(again), (crl, native)
    finally:
        P._revoked_ids = original


# --------------------------------------------------------------------------
# resolve_keys_from_wellknown through a fetcher


def reference_wellknown(doc: dict) -> dict:
    out = {}
    for entry in doc.get("keys", []) or []:
        if entry.get("alg") != ALG:
            continue
        key_b64, kid = entry.get("public_key_b64"), entry.get("kid")
        if not key_b64 or not kid:
            continue
        try:
            out[kid if isinstance(kid, str) else str(kid)] = base64.b64decode(key_b64)
        except Exception:
            pass
    return out


def target_wellknown(data: bytes) -> None:
    inp = Input(data)
    url = inp.pick(["https://issuer.example", "https://issuer.example/", "https://i.example/base//", ""])
    mode = inp.byte() % 3
    if mode == 0:
        body = inp.rest()
    else:
        entries = []
        for _ in range(inp.byte() % 6):
            entry = {}
            for name in ("alg", "kid", "public_key_b64"):
                c = inp.byte() % 4
                if c == 1 and name == "alg":
                    entry[name] = ALG
                elif c == 1 and name == "kid":
                    entry[name] = inp.text(16)
                elif c == 1:
                    raw = inp.chunk(40)
                    entry[name] = base64.b64encode(raw).decode() if inp.byte() & 1 else inp.text(40)
                elif c == 2:
                    entry[name] = inp.json_value(3)
            entries.append(entry if inp.byte() % 8 else inp.json_value(3))
        doc = {"keys": entries} if mode == 1 else inp.json_value()
        body = json.dumps(doc, allow_nan=True).encode(inp.pick(["utf-8", "utf-16", "utf-32"]), "surrogatepass")
    seen = []

    def fetch(u):
        seen.append(u)
        return body

    try:
        ref_doc = json.loads(body)
    except Exception as exc:
        ref = exc
    else:
        if not isinstance(ref_doc, dict):
            ref = P.PassportError(url.rstrip("/") + "/.well-known/pqc-keys.json" + NO_OBJECT)
        else:
            try:
                ref = reference_wellknown(ref_doc)
            except Exception as exc:
                ref = exc
    try:
        got = P.resolve_keys_from_wellknown(url, fetch=fetch, timeout=object())
    except Exception as exc:
        assert isinstance(ref, Exception) and type(ref) is type(exc), (repr(exc), repr(ref))
        if type(exc) is P.PassportError:
            assert str(exc) == str(ref) and exc.__cause__ is None
    else:
        assert got == ref and type(got) is dict, (got, ref)
        assert all(type(k) is str and type(v) is bytes for k, v in got.items())
    assert seen == [url.rstrip("/") + "/.well-known/pqc-keys.json"], seen


# --------------------------------------------------------------------------
# _get_json against the host's json.loads (the module parses documents
# natively and must build exactly what json.loads builds)


def json_body(inp: Input):
    mode = inp.byte() % 5
    if mode == 0:
        return inp.rest()
    value = inp.json_value()
    if inp.byte() & 1:
        value = {inp.text(8): value, inp.text(8): inp.json_value()}
    text = json.dumps(
        value,
        allow_nan=True,
        ensure_ascii=bool(inp.byte() & 1),
        indent=inp.pick([None, None, 0, 2, "\t"]),
        separators=inp.pick([None, (",", ":"), (" ,\r\n", " :\t")]),
    )
    raw = bytearray(text.encode("utf-8", "surrogatepass"))
    for _ in range(inp.byte() % 3 if mode == 4 else 0):  # a few bytes changed
        if raw:
            raw[(inp.byte() << 8 | inp.byte()) % len(raw)] = inp.byte()
    kind = inp.byte() % 4
    if kind == 0:
        return bytes(raw)
    if kind == 1:
        return bytearray(raw)
    if kind == 2:
        return raw.decode("utf-8", "surrogateescape")
    return inp.pick([b"\xef\xbb\xbf", b" ", b"\n\t"]) + bytes(raw)


def target_get_json(data: bytes) -> None:
    inp = Input(data)
    body = json_body(inp)

    def reference(b):
        doc = json.loads(b)
        if not isinstance(doc, dict):
            raise P.PassportError("u did not return a JSON object")
        return doc

    expected = outcome_of(reference, body)
    got = outcome_of(P._get_json, "u", lambda url: body, None)
    if got[0] == "ok" and expected[0] == "ok":
        # repr tells 1 from 1.0 from True, keeps member order, and shows NaN.
        assert type(got[1]) is dict and repr(got[1]) == repr(expected[1]), (body, got, expected)
    else:
        assert got == expected, (body, got, expected)


# --------------------------------------------------------------------------
# The signed bytes against rfc8785.dumps (the module writes the RFC 8785
# bytes of the JSON values it can natively and hands anything else, whole,
# to the canonicaliser)


CANON_PREFIX = "credential payload cannot be canonicalised: "
# Pieces of member names that stress the order: shared prefixes, code points
# either side of the surrogate block, non-BMP characters (whose first UTF-16
# unit sorts below U+E000..U+FFFF), characters that are escaped.
NAME_PIECES = [
    "",
    "a",
    "b",
    "ab",
    "\x00",
    "\x1f",
    '"',
    "\\",
    "\x7f",
    "\u00e9",
    "\u0100",
    "\u2028",
    "\ud7ff",
    "\ue000",
    "\uff61",
    "\ufffd",
    "\U00010000",
    "\U0001f600",
    "\U0010ffff",
]
TEXT_PIECES = NAME_PIECES + [chr(i) for i in range(0x20)] + ["\u2029", "/", "'", " "]
INT_EDGES = [2**53 - 1, -(2**53 - 1), 2**53, -(2**53), 0, -1, 10**30]
# What the canonicaliser must decide for itself: floats, ints out of range,
# lone surrogates, and (handed over as objects) subclasses, tuples, keys
# that are not text, values that are not JSON.
SPOILERS = [0.5, -0.0, 1e21, 2.0**53 + 1, float("inf"), float("nan"), 2**53, -(2**53), "\ud800", "a\udfff"]


class Label(str):
    pass


class Count(int):
    pass


class Members(dict):
    pass


def canon_text(inp: Input, pieces) -> str:
    return "".join(inp.pick(pieces) for _ in range(inp.byte() % 6))


def canon_value(inp: Input, objects: bool, depth: int = 0):
    k = inp.byte() % (16 if depth < 5 else 10)
    if k == 0:
        return None
    if k == 1:
        return bool(inp.byte() & 1)
    if k == 2:
        return inp.pick(INT_EDGES[:2] + [0, 1, -1, 2**31, -(2**63)])
    if k == 3:
        return int.from_bytes(inp.chunk(7), "big", signed=True)
    if k in (4, 5, 6):
        return canon_text(inp, TEXT_PIECES)
    if k == 7:
        return inp.text(40)  # surrogateescape: lone surrogates now and then
    if k == 8:
        return inp.pick(SPOILERS)
    if k == 9:
        if not objects:
            return inp.pick(INT_EDGES)
        return inp.pick([Label("x"), Count(3), (1, "t"), Members(a=1), {1: "n"}, b"b", object()])
    if k in (10, 11, 12):
        return [canon_value(inp, objects, depth + 1) for _ in range(inp.byte() % 5)]
    return canon_members(inp, objects, depth + 1)


def canon_members(inp: Input, objects: bool, depth: int = 0) -> dict:
    out = {}
    for _ in range(inp.byte() % 7):
        name = canon_text(inp, NAME_PIECES) if inp.byte() % 8 else inp.pick(["\ud800", "\udc00x", "a\udfff"])
        out[name] = canon_value(inp, objects, depth)
    return out


def signed_outcome(credential: str):
    """decode_passport's signed bytes, or the canonicaliser's error, which
    reaches the caller itself or as the cause of the PassportError naming it."""
    try:
        return ("ok", P.decode_passport(credential).signed_bytes)
    except P.PassportError as exc:
        if not str(exc).startswith(CANON_PREFIX):
            return ("passport error", str(exc))
        cause = exc.__cause__
        assert str(exc) == CANON_PREFIX + str(cause), repr(exc)
        return ("raised", type(cause), str(cause))
    except Exception as exc:
        return ("raised", type(exc), str(exc))


def target_canonical(data: bytes) -> None:
    inp = Input(data)
    objects = bool(inp.byte() & 1)
    payload = canon_members(inp, objects)
    if inp.byte() % 16 == 15:  # either side of the native writer's nesting limit
        deep = inp.pick([None, 1.5])
        for _ in range(190 + inp.byte() % 20):
            deep = [deep]
        payload["deep"] = deep
    before = snapshot(payload)
    if objects:
        # The payload object itself, handed over by the module's json binding.
        saved = P.json
        P.json = type("Loader", (), {"loads": staticmethod(lambda raw: {"payload": payload, "sig": ""})})
        try:
            got = signed_outcome("e30")
        finally:
            P.json = saved
        expected = outcome_of(rfc8785.dumps, payload)
        assert snapshot(payload) == before
    else:
        # The same payload as JSON text inside a real envelope.
        text = json.dumps({"payload": payload, "sig": ""}, ensure_ascii=bool(inp.byte() & 1))
        raw = text.encode("utf-8", "surrogatepass")
        got = signed_outcome(b64u(raw))
        try:
            parsed = json.loads(raw)["payload"]
        except ValueError:  # unpaired surrogates written raw are not UTF-8
            assert got[0] == "passport error" and got[1].startswith("malformed credential envelope: "), got
            return
        expected = outcome_of(rfc8785.dumps, parsed)
    assert got == expected, (payload, got, expected)


# --------------------------------------------------------------------------
# load_credential on generated files


def target_load_credential(data: bytes) -> None:
    inp = Input(data)
    as_path = inp.byte() & 1
    content = inp.rest()
    fd, name = tempfile.mkstemp(prefix="qt-fuzz-")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(content)
        try:
            expected = Path(name).read_text(encoding="utf-8").strip()
        except UnicodeDecodeError as exc:
            expected = exc
        try:
            got = P.load_credential(Path(name) if as_path else name)
        except UnicodeDecodeError as exc:
            assert isinstance(expected, UnicodeDecodeError), repr(exc)
        else:
            assert got == expected and type(got) is str, (content, got)
    finally:
        os.unlink(name)


# --------------------------------------------------------------------------
# _b64u_decode against the host's decoder (the module decodes text natively)


B64_ALPHABET = "AQZaqz09+/-_=  \n\t.*\x00\u00e9"


def b64_text(inp: Input) -> str:
    mode = inp.byte() % 3
    if mode == 0:
        return "".join(B64_ALPHABET[b % len(B64_ALPHABET)] for b in inp.rest())
    if mode == 1:  # real base64url, then a few characters changed
        text = list(b64u(inp.chunk()) + inp.pick(["", "=", "==", "==="]))
        for _ in range(inp.byte() % 4):
            if text:
                text[inp.byte() % len(text)] = B64_ALPHABET[inp.byte() % len(B64_ALPHABET)]
        return "".join(text)
    return inp.rest().decode("utf-8", "surrogateescape")


def target_b64u_decode(data: bytes) -> None:
    text = b64_text(Input(data))
    expected = outcome_of(ref_b64u_decode, text)
    got = outcome_of(P._b64u_decode, text)
    assert got == expected, (text, got, expected)
    if got[0] == "ok":
        assert type(got[1]) is bytes


# --------------------------------------------------------------------------
# _is_expired against the host's strptime (the module reads stamps natively)


DIGITS = "0123456789" * 3 + "\u0660\u0669\uff10\uff19\u0966\U0001d7ce "
SEPARATORS = "--::TTZZtz x+.\n"


def stamp_text(inp: Input) -> str:
    if inp.byte() % 8 == 0:
        return inp.text(40)
    out = []
    for width, sep in ((4, "-"), (2, "-"), (2, "T"), (2, ":"), (2, ":"), (2, "Z")):
        n = width if inp.byte() % 4 else inp.byte() % 4
        out.extend(DIGITS[inp.byte() % len(DIGITS)] if inp.byte() % 3 else str(inp.byte() % 10) for _ in range(n))
        out.append(sep if inp.byte() % 5 else SEPARATORS[inp.byte() % len(SEPARATORS)])
    return "".join(out) + inp.pick(["", "", "", " ", "Z", "0"])


def reference_parse(stamp):
    try:
        return datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%SZ").replace(tzinfo=UTC)
    except Exception:
        return None


def target_is_expired(data: bytes) -> None:
    inp = Input(data)
    stamp = stamp_text(inp)
    exp = reference_parse(stamp)
    shift = timedelta(seconds=inp.pick([-1, 0, 1, -86400, 3600]))
    now = (exp + shift if exp is not None else NOW).astimezone(inp.pick([UTC, timezone(timedelta(hours=5))]))
    expected = True if exp is None else now >= exp
    got = P._is_expired(stamp, now)
    assert got is expected, (stamp, now, got, expected)
    if exp is not None:  # a naive time can be compared with no stamp
        try:
            P._is_expired(stamp, now.replace(tzinfo=None))
        except TypeError:
            pass
        else:
            raise AssertionError(f"naive now compared with {stamp!r}")


def _listed_targets() -> dict:
    """The targets in the order of fuzz/targets.txt, the one list of them
    (fuzz/run and fuzz/coverage read it too); a target_ function left out
    of it, or a name without its function, fails here."""
    names = (Path(__file__).with_name("targets.txt")).read_text().split()
    defined = sorted(name[len("target_") :] for name in globals() if name.startswith("target_"))
    if sorted(names) != defined:
        raise RuntimeError(f"fuzz/targets.txt lists {sorted(names)}, targets.py defines {defined}")
    return {name: globals()[f"target_{name}"] for name in names}


TARGETS = _listed_targets()


def seeds(name: str) -> list[bytes]:
    """A small starting corpus for a target."""
    creds = [c.encode() for c in seed_credentials()]
    common = [b"", b"\x00", b"\x01" * 8, b"\xff" * 64, bytes(range(256))]
    if name == "decode":
        return common + [b"\x00" + c for c in creds] + [b'\x01{"payload":{},"sig":""}', b"\x03\x00\x05"]
    if name == "load_credential":
        return common + [b"\x00" + creds[0] + b"\r\n", b"\x01\xef\xbb\xbf" + creds[0], b"\x00\xc3\x28"]
    return common + [bytes([i]) * 40 for i in range(1, 12)]
