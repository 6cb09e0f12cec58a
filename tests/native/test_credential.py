"""Credential model and decoding: records, encodings, key coercion, the
lazily loaded primitives and envelope decoding."""

from __future__ import annotations

import base64
import binascii
import dataclasses
import hashlib
import importlib.abc
import importlib.util
import json
import os
import subprocess
import sys
import types
from pathlib import Path

import pytest
import rfc8785
from conftest import ALG, OMIT, VERDICT_FIELDS, b64u, b64u_decode, each_road, encode_envelope, payload, taking
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pqcrypto.sign import falcon_1024

import quorvel_trellane

INSTALL_HINT = "passport verification needs 'rfc8785' and 'pqcrypto' (pip install 'quorvel-trellane[passport]')"
NOT_KEY = "issuer key must be bytes or base64 text"
ROOT = Path(__file__).resolve().parents[2]


def error_of(fn, *args):
    """The exception ``fn(*args)`` raises: the reference for converted messages."""
    try:
        fn(*args)
    except Exception as exc:
        return exc
    raise AssertionError("reference call did not fail")


def reference_envelope_parse(text: str):
    return json.loads(b64u_decode(text))


# --------------------------------------------------------------------------
# Records


def verdict_args():
    return dict(
        verified=True,
        status="active",
        agent_did="did:web:a",
        scopes=("s1", "s2"),
        spend_limit_microusd=5,
        spend_window="P1D",
        issuer_did="did:web:i",
        kid="0123456789abcdef",
        issued_at="2026-01-01T00:00:00Z",
        expires_at="2099-01-01T00:00:00Z",
        error_code=None,
        error_message=None,
    )


def test_verdict_builds_alike_by_position_and_by_keyword(passport):
    args = verdict_args()
    assert passport.PassportVerdict(*args.values()) == passport.PassportVerdict(**args)


def test_verdict_defaults_leave_only_the_two_required_fields(passport):
    v = passport.PassportVerdict(verified=False, status="invalid")
    assert v.scopes == () and type(v.scopes) is tuple
    for name in VERDICT_FIELDS:
        if name not in {"verified", "status", "scopes"}:
            assert getattr(v, name) is None, name
    assert not v


def test_decoded_passport_requires_all_five_fields(passport):
    with pytest.raises(TypeError):
        passport.DecodedPassport({}, "", None, b"")


@pytest.mark.parametrize("action", ["set", "delete"])
@pytest.mark.parametrize("name", ["status", "verified", "error_code"])
def test_verdict_fields_cannot_be_changed(passport, action, name):
    v = passport.PassportVerdict(**verdict_args())
    with pytest.raises(dataclasses.FrozenInstanceError):
        if action == "set":
            setattr(v, name, "x")
        else:
            delattr(v, name)
    assert v == passport.PassportVerdict(**verdict_args())


@pytest.mark.parametrize("name", ["payload", "alg", "kid", "sig", "signed_bytes"])
def test_decoded_passport_fields_cannot_be_changed(passport, name):
    d = passport.DecodedPassport({}, ALG, None, b"s", b"{}")
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(d, name, None)


def test_equal_verdicts_have_equal_hashes(passport):
    a = passport.PassportVerdict(**verdict_args())
    b = passport.PassportVerdict(**verdict_args())
    assert a == b and hash(a) == hash(b)
    assert {a, b} == {a}


@pytest.mark.parametrize(
    "change",
    [{"status": "revoked"}, {"scopes": ("s1",)}, {"error_message": "x"}, {"verified": False}],
)
def test_verdicts_differing_in_one_field_are_unequal(passport, change):
    a = passport.PassportVerdict(**verdict_args())
    assert a != passport.PassportVerdict(**{**verdict_args(), **change})


def test_records_equal_only_records_of_their_own_class(passport):
    d = passport.DecodedPassport({}, ALG, None, b"", b"{}")
    assert d == passport.DecodedPassport({}, ALG, None, b"", b"{}")
    assert d != ({}, ALG, None, b"", b"{}")
    assert passport.PassportVerdict(True, "active") != (True, "active")


def test_decoded_passport_cannot_be_hashed_because_payload_is_a_dict(passport):
    with pytest.raises(TypeError):
        hash(passport.DecodedPassport({}, ALG, None, b"", b"{}"))


def test_verdict_holding_a_list_cannot_be_hashed(passport):
    with pytest.raises(TypeError):
        hash(passport.PassportVerdict(True, "active", spend_window=["x"]))


def test_record_repr_names_every_field_in_order(passport):
    d = passport.DecodedPassport({"a": 1}, ALG, None, b"s", b"{}")
    assert repr(d) == ("DecodedPassport(payload={'a': 1}, alg='Falcon-1024', kid=None, sig=b's', signed_bytes=b'{}')")
    v = passport.PassportVerdict(False, "invalid", error_code="EXPIRED")
    assert repr(v) == (
        "PassportVerdict(verified=False, status='invalid', agent_did=None, "
        "scopes=(), spend_limit_microusd=None, spend_window=None, issuer_did=None, "
        "kid=None, issued_at=None, expires_at=None, error_code='EXPIRED', "
        "error_message=None)"
    )


@pytest.mark.parametrize(
    "verified, status, code, truth",
    [
        (True, "active", None, True),
        (False, "invalid", "TAMPERED_SIGNATURE", False),
        (False, "active", "SCOPE_NOT_GRANTED", False),
        (False, "active", "AGENT_MISMATCH", False),
    ],
)
def test_verdict_truth_is_its_verified_field(passport, verified, status, code, truth):
    assert bool(passport.PassportVerdict(verified, status, error_code=code)) is truth


@pytest.mark.parametrize("verified", [1, "yes", None])
def test_verdict_truth_fails_for_a_non_boolean_verified_field(passport, verified):
    with pytest.raises(TypeError):
        bool(passport.PassportVerdict(verified, "active"))


@pytest.mark.parametrize("body", [{}, {"scopes": []}])
def test_decoded_passport_is_always_true(passport, body):
    assert bool(passport.DecodedPassport(body, "", None, b"", b""))


@pytest.mark.parametrize(
    "body, agent_did, issuer_did, scopes",
    [
        ({"agent_did": "did:web:a"}, "did:web:a", None, ()),
        ({"issuer_did": "did:web:i"}, None, "did:web:i", ()),
        ({"agent_did": 42, "issuer_did": None}, 42, None, ()),
        ({"scopes": None}, None, None, ()),
        ({"scopes": []}, None, None, ()),
        ({"scopes": ""}, None, None, ()),
        ({"scopes": 0}, None, None, ()),
        ({"scopes": False}, None, None, ()),
        ({"scopes": ["b", "a", "b"]}, None, None, ("b", "a", "b")),
        ({"scopes": ("x", "y")}, None, None, ("x", "y")),
        ({"scopes": "abc"}, None, None, ("a", "b", "c")),
        ({"scopes": {"r": 1, "w": 2}}, None, None, ("r", "w")),
        ({"scopes": [1, None]}, None, None, (1, None)),
    ],
)
def test_decoded_passport_properties_read_the_payload(passport, body, agent_did, issuer_did, scopes):
    d = passport.DecodedPassport(body, ALG, None, b"", b"")
    assert d.agent_did == agent_did and type(d.agent_did) is type(agent_did)
    assert d.issuer_did == issuer_did
    assert d.scopes == scopes and type(d.scopes) is tuple


@pytest.mark.parametrize("scopes", [5, True, 1.5])
def test_scopes_that_cannot_be_iterated_raise_type_error(passport, scopes):
    d = passport.DecodedPassport({"scopes": scopes}, ALG, None, b"", b"")
    with pytest.raises(TypeError):
        _ = d.scopes


def test_properties_follow_later_changes_to_the_payload(passport):
    body = {"agent_did": "did:web:a", "scopes": ["x"]}
    d = passport.DecodedPassport(body, ALG, None, b"", b"")
    assert d.payload is body
    body["agent_did"] = "did:web:b"
    body["scopes"].append("y")
    body["issuer_did"] = "did:web:i"
    assert (d.agent_did, d.issuer_did, d.scopes) == ("did:web:b", "did:web:i", ("x", "y"))


# --------------------------------------------------------------------------
# base64url and key ids


@pytest.mark.parametrize(
    "text, expected",
    [
        ("QQ", b"A"),
        ("QQ=", b"A"),
        ("QQ==", b"A"),
        ("QUJD", b"ABC"),
        ("", b""),
        ("  \n\t ", b""),
        ("====", b""),
        ("  QUJD\n", b"ABC"),
        ("QUJD\r\n", b"ABC"),
        ("QU\nJD", b"ABC"),
        ("\u2003QUJD\u3000", b"ABC"),  # Unicode white space is trimmed too
        ("\x1cQQ\x85", b"A"),
        ("-_-_", b"\xfb\xff\xbf"),
        ("+/+/", b"\xfb\xff\xbf"),
        ("-/+_", b"\xfb\xff\xbf"),
    ],
)
@each_road("base64")
def test_b64u_decode_accepts_padding_whitespace_and_both_alphabets(passport, road, text, expected):
    with taking(road):
        assert passport._b64u_decode(text) == expected


@pytest.mark.parametrize(
    "text",
    [
        "Q",  # a lone data character
        "QU\nJ",  # interior line break counts toward the padding
        "QUJDR",
        "QQé",  # non-ASCII
        "Q\u00a0Q",
    ],
)
@each_road("base64")
def test_b64u_decode_rejects_undecodable_text_with_value_error(passport, road, text):
    with taking(road), pytest.raises(ValueError):
        passport._b64u_decode(text)


@pytest.mark.parametrize(
    "value, error",
    [(b"QQ", TypeError), (5, AttributeError), (None, AttributeError), (["QQ"], AttributeError)],
)
@each_road("base64")
def test_b64u_decode_refuses_values_that_are_not_text(passport, road, value, error):
    with taking(road), pytest.raises(error):
        passport._b64u_decode(value)


@pytest.mark.parametrize(
    "data, expected",
    [
        (b"", ""),
        (b"A", "QQ"),
        (b"AB", "QUI"),
        (b"ABC", "QUJD"),
        (b"\xfb\xff\xbf", "-_-_"),
        (bytearray(b"\xff\xfe"), "__4"),
    ],
)
def test_b64u_encode_writes_unpadded_url_safe_text(passport, data, expected):
    assert passport._b64u_encode(data) == expected


def test_b64u_encode_refuses_text(passport):
    with pytest.raises(TypeError):
        passport._b64u_encode("ABC")


@settings(max_examples=200)
@given(data=st.binary(max_size=64))
def test_b64u_encoding_round_trips_every_byte_string(passport, data):
    text = passport._b64u_encode(data)
    assert type(text) is str
    assert not set(text) & set("=+/")
    assert len(text) == (len(data) * 4 + 2) // 3
    assert passport._b64u_decode(text) == data


@pytest.mark.parametrize(
    "key",
    [b"", b"\x00" * 1793, bytearray(b"key bytes"), memoryview(b"view")],
)
def test_kid_is_the_start_of_the_sha256_hex_digest(passport, key):
    kid = passport.kid_for_key(key)
    assert kid == hashlib.sha256(bytes(key)).hexdigest()[:16]
    assert len(kid) == 16 and kid == kid.lower()


def test_kid_of_an_issuer_key_matches_its_published_kid(passport, issuer):
    assert passport.kid_for_key(public_key=issuer.pk) == issuer.kid


@pytest.mark.parametrize("key", ["abc", None, 5])
def test_kid_for_key_refuses_values_that_are_not_bytes(passport, key):
    with pytest.raises(TypeError):
        passport.kid_for_key(key)


# --------------------------------------------------------------------------
# Key coercion


class BytesSub(bytes):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (b"\x01\x02", b"\x01\x02"),
        (bytearray(b"\x01\x02"), b"\x01\x02"),
        (BytesSub(b"\x03"), b"\x03"),
        ("", b""),
        ("   ", b""),
        ("QUJD", b"ABC"),
        ("QUI", b"AB"),
        ("QUI=", b"AB"),
        ("  QUJD\n", b"ABC"),
        ("\u2003QUJD\u3000", b"ABC"),
        ("+/+/", b"\xfb\xff\xbf"),
        ("-_-_", b"\xfb\xff\xbf"),
        ("-_8", b"\xfb\xff"),
        ("ab-c", b"i\xbf\x9c"),
        ("ab_c", b"i\xbf\xdc"),
        ("-+AA", b"\xfb\xe0\x00"),  # url-safe route: '+' decodes as 62 as well
        ("QU JD", b"ABC"),  # strict decode fails, lenient decode skips the blank
        ("QU\nJD", b"ABC"),
    ],
)
def test_coerce_key_accepts_bytes_and_both_base64_alphabets(passport, value, expected):
    got = passport._coerce_key(value)
    assert got == expected and type(got) is bytes


def test_coerce_key_returns_a_copy_of_a_bytearray(passport):
    raw = bytearray(b"abc")
    got = passport._coerce_key(raw)
    raw[0] = 0
    assert got == b"abc"


@pytest.mark.parametrize("form", ["pk_b64", "pk_b64url"])
@pytest.mark.parametrize("strip_padding", [False, True])
def test_coerce_key_decodes_a_real_issuer_key_from_text(passport, issuer, form, strip_padding):
    text = getattr(issuer, form)
    if strip_padding:
        text = text.rstrip("=")
    assert passport._coerce_key(f"\n {text} \t") == issuer.pk


def test_url_safe_key_never_loses_its_dash_and_underscore_characters(passport):
    # Blocks full of 62s and 63s: a decoder that dropped '-' and '_' would
    # return a much shorter key.
    key = bytes([0xFB, 0xFF, 0xBF]) * 600
    text = base64.urlsafe_b64encode(key).decode()
    assert set(text) == {"-", "_"}
    assert passport._coerce_key(text) == key
    assert passport._coerce_key(text.rstrip("=")) == key


@pytest.mark.parametrize(
    "value",
    [None, 5, 1.5, True, False, [b"k"], {"k": b"v"}, memoryview(b"abc"), types.MappingProxyType({"k": b"v"})],
)
def test_coerce_key_refuses_values_that_are_neither_bytes_nor_text(passport, value):
    with pytest.raises(passport.PassportError) as info:
        passport._coerce_key(value)
    assert str(info.value) == NOT_KEY
    assert info.value.__cause__ is None


@pytest.mark.parametrize("text", ["Q", "QUJDR", "Qé==", "-"])
def test_coerce_key_lets_the_decoder_error_through_for_undecodable_text(passport, text):
    with pytest.raises(ValueError) as info:
        passport._coerce_key(text)
    assert not isinstance(info.value, passport.PassportError)


# --------------------------------------------------------------------------
# Signature primitives


def test_load_crypto_returns_the_canonicaliser_and_falcon_verify(passport):
    first = passport._load_crypto()
    second = passport._load_crypto()
    assert type(first) is tuple and len(first) == 2
    assert first[0] is rfc8785 and first[1] is falcon_1024.verify
    assert second[0] is first[0] and second[1] is first[1]


@pytest.mark.parametrize("change", ["verify rebound", "verifier module replaced", "canonicaliser replaced"])
def test_load_crypto_sees_every_change_to_what_it_imports(passport, monkeypatch, change):
    passport._load_crypto()
    accept = lambda pk, msg, sig: True  # noqa: E731
    canonicaliser, verifier = rfc8785, accept
    if change == "verify rebound":
        monkeypatch.setattr(falcon_1024, "verify", accept)
    elif change == "verifier module replaced":
        module = types.ModuleType("pqcrypto.sign.falcon_1024")
        module.verify = accept
        monkeypatch.setitem(sys.modules, "pqcrypto.sign.falcon_1024", module)
    else:
        canonicaliser, verifier = types.ModuleType("rfc8785"), falcon_1024.verify
        monkeypatch.setitem(sys.modules, "rfc8785", canonicaliser)
    for _ in range(2):
        got = passport._load_crypto()
        assert got[0] is canonicaliser and got[1] is verifier
    monkeypatch.undo()
    got = passport._load_crypto()
    assert got[0] is rfc8785 and got[1] is falcon_1024.verify


class RecordingFinder(importlib.abc.MetaPathFinder):
    """Records every import the import system is asked to find, and finds nothing."""

    def __init__(self):
        self.asked = []

    def find_spec(self, name, path=None, target=None):
        self.asked.append(name)
        return None


@pytest.fixture
def without_pqcrypto(monkeypatch):
    """Forget the loaded pqcrypto modules, so that any import of them is seen."""
    for name in [n for n in sys.modules if n == "pqcrypto" or n.startswith("pqcrypto.")]:
        monkeypatch.delitem(sys.modules, name)
    finder = RecordingFinder()
    monkeypatch.setattr(sys, "meta_path", [finder, *sys.meta_path])
    return finder


def test_missing_canonicaliser_gives_install_hint_and_skips_the_verifier(passport, monkeypatch, without_pqcrypto):
    monkeypatch.setitem(sys.modules, "rfc8785", None)
    with pytest.raises(passport.PassportError) as info:
        passport._load_crypto()
    assert str(info.value) == INSTALL_HINT
    assert isinstance(info.value.__cause__, ImportError)
    assert not [n for n in without_pqcrypto.asked if n.startswith("pqcrypto")]
    assert "pqcrypto" not in sys.modules


class _BrokenLoader(importlib.abc.Loader):
    def __init__(self, error):
        self.error = error

    def create_module(self, module_spec):
        return None

    def exec_module(self, module):
        raise self.error


class _BreakingFinder(importlib.abc.MetaPathFinder):
    def __init__(self, name, error):
        self.name, self.error = name, error

    def find_spec(self, name, path=None, target=None):
        if name == self.name:
            return importlib.util.spec_from_loader(name, _BrokenLoader(self.error))
        return None


def _break_module(monkeypatch, name, error):
    monkeypatch.delitem(sys.modules, name, raising=False)
    monkeypatch.setattr(sys, "meta_path", [_BreakingFinder(name, error), *sys.meta_path])


def _hide_package(monkeypatch, package):
    for name in [n for n in sys.modules if n.startswith(package + ".")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, package, None)


def _no_verify_module():
    return types.ModuleType("pqcrypto.sign.falcon_1024")


@pytest.mark.parametrize(
    "setup, cause",
    [
        (lambda mp: mp.setitem(sys.modules, "rfc8785", None), ImportError),
        (lambda mp: mp.setitem(sys.modules, "pqcrypto.sign.falcon_1024", None), ImportError),
        (lambda mp: _hide_package(mp, "pqcrypto"), ImportError),
        (lambda mp: mp.setitem(sys.modules, "pqcrypto.sign.falcon_1024", _no_verify_module()), ImportError),
        (lambda mp: _break_module(mp, "rfc8785", RuntimeError("component failed to load")), RuntimeError),
    ],
    ids=["no-rfc8785", "no-falcon-module", "no-pqcrypto", "no-verify-name", "rfc8785-load-error"],
)
def test_unimportable_component_gives_install_hint_caused_by_the_import_error(passport, monkeypatch, setup, cause):
    setup(monkeypatch)
    with pytest.raises(passport.PassportError) as info:
        passport._load_crypto()
    assert str(info.value) == INSTALL_HINT
    assert isinstance(info.value.__cause__, cause)


def test_component_load_interrupt_is_not_turned_into_passport_error(passport, monkeypatch):
    class Interrupt(BaseException):
        pass

    _break_module(monkeypatch, "rfc8785", Interrupt())
    with pytest.raises(Interrupt):
        passport._load_crypto()


def test_decoding_needs_both_components_even_without_checking_a_signature(passport, issue, monkeypatch):
    cred = issue()
    monkeypatch.setitem(sys.modules, "pqcrypto.sign.falcon_1024", None)
    with pytest.raises(passport.PassportError) as info:
        passport.decode_passport(cred)
    assert str(info.value) == INSTALL_HINT
    assert isinstance(info.value.__cause__, ImportError)


def test_decoding_uses_the_canonicaliser_that_load_crypto_supplies(passport, issue, monkeypatch):
    seen = []
    fake = types.SimpleNamespace(dumps=lambda p: seen.append(p) or b"canonical")
    monkeypatch.setattr(passport, "_load_crypto", lambda: (fake, None))
    dec = passport.decode_passport(issue())
    assert dec.signed_bytes == b"canonical"
    assert seen == [dec.payload] and seen[0] is dec.payload


def test_importing_the_module_loads_no_optional_or_io_modules():
    probe = (
        "import sys\n"
        "import quorvel_trellane.passport as p\n"
        "assert p.FALCON_1024_PUBLIC_KEY_BYTES == 1793\n"
        "heavy = ['rfc8785', 'pqcrypto', 'pqcrypto.sign.falcon_1024',\n"
        "         'urllib.request', 'pathlib']\n"
        "print(','.join(m for m in heavy if m in sys.modules))\n"
    )
    # The package this run imports: the checkout's src/ in a developer build,
    # the installed copy under ./scripts/test.
    package_root = Path(quorvel_trellane.__file__).resolve().parent.parent
    # Without coverage's start-up in the child, which imports modules of its own.
    env = {name: value for name, value in os.environ.items() if not name.startswith("COVERAGE_")}
    env["PYTHONPATH"] = str(package_root)
    out = subprocess.run(
        [sys.executable, "-c", probe],
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == ""


# --------------------------------------------------------------------------
# Envelope decoding


def test_decoding_a_credential_yields_its_parts_and_signed_bytes(passport, issuer, issue):
    dec = passport.decode_passport(issue())
    assert type(dec) is passport.DecodedPassport
    assert dec.payload == payload() and type(dec.payload) is dict
    assert dec.alg == ALG and dec.kid == issuer.kid
    assert dec.signed_bytes == rfc8785.dumps(payload())
    assert falcon_1024.verify(issuer.pk, dec.signed_bytes, dec.sig)
    assert (dec.agent_did, dec.issuer_did, dec.scopes) == (
        payload()["agent_did"],
        payload()["issuer_did"],
        tuple(payload()["scopes"]),
    )


def test_decode_accepts_the_credential_keyword_and_text_subclasses(passport, issue):
    class Text(str):
        pass

    assert passport.decode_passport(credential=Text(issue())) == passport.decode_passport(issue())


@pytest.mark.parametrize(
    "credential",
    [None, b"eyJ9", 5, "", "   ", "\n\r\n\t", "\u2003\u3000", ["eyJ9"]],
    ids=["none", "bytes", "number", "empty", "spaces", "line-breaks", "unicode-spaces", "list"],
)
def test_credential_that_is_not_non_empty_text_is_refused(passport, credential):
    with pytest.raises(passport.PassportError) as info:
        passport.decode_passport(credential)
    assert str(info.value) == "credential must be a non-empty string"
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "credential, cause",
    [
        (b64u(b"foo"), json.JSONDecodeError),
        ("====", json.JSONDecodeError),
        ("Q", binascii.Error),
        ("eyJhIjoxfQé", ValueError),
        (b64u(b"\x80{}"), UnicodeDecodeError),
        (b64u(b'{"payload": {}'), json.JSONDecodeError),
        (b64u(b"{'payload': {}}"), json.JSONDecodeError),
    ],
    ids=["not-json", "only-padding", "one-character", "non-ascii", "bad-utf8", "truncated-json", "single-quotes"],
)
def test_undecodable_envelope_is_malformed_with_the_parser_error_as_cause(passport, credential, cause):
    expected = error_of(reference_envelope_parse, credential)
    with pytest.raises(passport.PassportError) as info:
        passport.decode_passport(credential)
    assert str(info.value) == "malformed credential envelope: " + str(expected)
    assert isinstance(info.value.__cause__, cause)
    assert type(info.value.__cause__) is type(expected)


@pytest.mark.parametrize("text", ["[1]", "null", '"payload"', "5", "true", "[]"])
def test_envelope_that_is_not_an_object_is_refused(passport, text):
    with pytest.raises(passport.PassportError) as info:
        passport.decode_passport(encode_envelope(text))
    assert str(info.value) == "credential envelope is not an object"
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "text",
    [
        "{}",
        '{"payload": null, "sig": ""}',
        '{"payload": [], "sig": ""}',
        '{"payload": "{}", "sig": ""}',
        '{"payload": 5, "sig": ""}',
        '{"Payload": {}, "sig": ""}',
    ],
)
def test_envelope_without_an_object_payload_is_refused(passport, text):
    with pytest.raises(passport.PassportError) as info:
        passport.decode_passport(encode_envelope(text))
    assert str(info.value) == "credential payload is not an object"
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "sig, cause, detail",
    [
        (OMIT, KeyError, "'sig'"),
        (5, AttributeError, "'int' object has no attribute 'strip'"),
        (None, AttributeError, "'NoneType' object has no attribute 'strip'"),
        (["abc"], AttributeError, "'list' object has no attribute 'strip'"),
        ({"a": 1}, AttributeError, "'dict' object has no attribute 'strip'"),
        ("Q", binascii.Error, None),
        ("QUJDR", binascii.Error, None),
        ("QUJDé", ValueError, None),
    ],
    ids=["missing", "number", "null", "list", "object", "one-character", "five-characters", "non-ascii"],
)
def test_signature_that_is_not_base64url_is_refused_with_its_cause(passport, issuer, sig, cause, detail):
    env = issuer.envelope(sig=sig)
    if detail is None:
        detail = str(error_of(b64u_decode, sig))
    with pytest.raises(passport.PassportError) as info:
        passport.decode_passport(encode_envelope(env))
    assert str(info.value) == "credential signature is not base64url: " + detail
    assert isinstance(info.value.__cause__, cause)


def test_empty_signature_decodes_to_empty_bytes(passport, issuer):
    dec = passport.decode_passport(issuer.issue(sig=""))
    assert dec.sig == b""


@pytest.mark.parametrize(
    "options, alg, kid",
    [
        ({"alg": OMIT}, "", "KID"),
        ({"alg": None}, None, "KID"),
        ({"alg": 5}, 5, "KID"),
        ({"alg": ["Falcon-1024"]}, ["Falcon-1024"], "KID"),
        ({"alg": "falcon-1024"}, "falcon-1024", "KID"),
        ({"kid": OMIT}, ALG, None),
        ({"kid": None}, ALG, None),
        ({"kid": 7}, ALG, 7),
        ({"kid": ""}, ALG, ""),
        ({"kid": {"k": 1}}, ALG, {"k": 1}),
    ],
)
def test_alg_and_kid_are_kept_exactly_as_parsed(passport, issuer, options, alg, kid):
    dec = passport.decode_passport(issuer.issue(**options))
    kid = issuer.kid if kid == "KID" else kid
    assert dec.alg == alg and type(dec.alg) is type(alg)
    assert dec.kid == kid and type(dec.kid) is type(kid)


def test_extra_envelope_members_are_ignored(passport, issuer):
    plain = passport.decode_passport(issuer.issue())
    extra = passport.decode_passport(issuer.issue(extra={"typ": "passport", "x5c": [1, 2], "payload2": {}}))
    assert extra == plain


def test_a_repeated_envelope_member_keeps_its_last_value(passport, issuer):
    env = issuer.envelope()
    text = '{"sig": "AAAA", ' + json.dumps(env)[1:]
    assert passport.decode_passport(encode_envelope(text)) == passport.decode_passport(encode_envelope(env))


@pytest.mark.parametrize(
    "dress",
    [
        lambda c: "  " + c,
        lambda c: c + "\n",
        lambda c: "\t\r\n" + c + " \r\n",
        lambda c: "\u2003" + c + "\u3000",
        lambda c: c.replace("-", "+").replace("_", "/"),
    ],
    ids=["leading-blanks", "trailing-newline", "surrounding-whitespace", "unicode-spaces", "standard-alphabet"],
)
def test_credential_spelling_does_not_change_what_decodes(passport, issue, dress):
    cred = issue()
    assert passport.decode_passport(dress(cred)) == passport.decode_passport(cred)


@pytest.mark.parametrize("filler", ["", "x", "xx", "xxx"])
def test_padded_and_unpadded_credentials_decode_alike(passport, issuer, filler):
    cred = issuer.issue(extra={"filler": filler})
    padded = cred + "=" * (-len(cred) % 4)
    assert passport.decode_passport(padded) == passport.decode_passport(cred)


@pytest.mark.parametrize("encoding", ["utf-16", "utf-16-le", "utf-16-be", "utf-32", "utf-8-sig"])
def test_envelope_in_another_unicode_encoding_decodes_like_utf8(passport, issuer, encoding):
    env = issuer.envelope()
    assert passport.decode_passport(encode_envelope(env, encoding=encoding)) == (
        passport.decode_passport(encode_envelope(env))
    )


def test_payload_spelling_does_not_change_the_signed_bytes(passport, issuer):
    env = issuer.envelope(payload(note="x", ratio=1.0, count=100))
    compact = encode_envelope(env)
    body = (
        '{ "ratio" : 1.0E0 , "count": 1e2, "note": "\\u0078",\n'
        + json.dumps(
            {k: v for k, v in env["payload"].items() if k not in ("note", "ratio", "count")},
            indent=3,
            ensure_ascii=True,
            sort_keys=True,
        )[1:]
    )
    respelled = (
        '{\n  "sig": '
        + json.dumps(env["sig"])
        + ',\n  "kid": '
        + json.dumps(env["kid"])
        + ',\n  "payload": '
        + body
        + ',\n  "alg": "Falcon-1024"\n}'
    )
    a = passport.decode_passport(compact)
    b = passport.decode_passport(encode_envelope(respelled))
    assert b.signed_bytes == a.signed_bytes == rfc8785.dumps(env["payload"])
    assert b.payload == a.payload


def test_repeated_payload_member_is_signed_with_its_last_value(passport, issuer):
    text = '{"payload": {"a": 1, "b": 2, "a": 3}, "alg": "Falcon-1024", "sig": ""}'
    dec = passport.decode_passport(encode_envelope(text))
    assert dec.payload == {"a": 3, "b": 2}
    assert dec.signed_bytes == b'{"a":3,"b":2}'


@pytest.mark.parametrize(
    "inner",
    [
        '{"x": NaN}',
        '{"x": Infinity}',
        '{"x": -Infinity}',
        '{"x": 123456789012345678901234567890}',
        '{"x": 9007199254740992}',
        '{"x": "\\ud800"}',
        '{"\\udc00": 1}',
        '{"a": [{"b": -9007199254740992}]}',
    ],
    ids=["nan", "inf", "-inf", "huge", "2**53", "lone-surrogate-value", "lone-surrogate-name", "nested-int"],
)
def test_payload_the_canonicaliser_refuses_is_a_passport_error_caused_by_its_error(passport, inner):
    with pytest.raises(passport.PassportError) as info:
        passport.decode_passport(encode_envelope('{"payload": ' + inner + ', "sig": ""}'))
    cause = info.value.__cause__
    with pytest.raises(type(cause)) as direct:
        rfc8785.dumps(json.loads(inner))
    assert str(info.value) == "credential payload cannot be canonicalised: " + str(direct.value)


def test_canonicaliser_interrupt_is_not_turned_into_passport_error(passport, monkeypatch):
    class Interrupt(BaseException):
        pass

    def interrupted(_payload):
        raise Interrupt

    real = passport._load_crypto()
    monkeypatch.setattr(passport, "_load_crypto", lambda: (types.SimpleNamespace(dumps=interrupted), real[1]))
    with pytest.raises(Interrupt):
        passport.decode_passport(encode_envelope('{"payload": {}, "sig": ""}'))


def test_decoding_interrupt_is_not_turned_into_passport_error(passport, issue, monkeypatch):
    class Interrupt(BaseException):
        pass

    def interrupted(_text):
        raise Interrupt

    monkeypatch.setattr(passport, "json", types.SimpleNamespace(loads=interrupted))
    with pytest.raises(Interrupt):
        passport.decode_passport(issue())


# --------------------------------------------------------------------------
# Mangled credentials


json_values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-(2**53) + 1, 2**53 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=12,
)


def _flip_bit(cred, data):
    try:
        raw = bytearray(base64.urlsafe_b64decode(cred + "=" * (-len(cred) % 4)))
    except ValueError:
        return cred
    if not raw:
        return cred
    pos = data.draw(st.integers(0, len(raw) * 8 - 1))
    raw[pos // 8] ^= 1 << (pos % 8)
    return b64u(bytes(raw))


def _truncate(cred, data):
    return cred[: data.draw(st.integers(0, len(cred) - 1))]


def _insert(cred, data):
    pos = data.draw(st.integers(0, len(cred)))
    junk = data.draw(st.text(alphabet=" \t\n\r\u00a0\u2028é€😀.=+/", min_size=1, max_size=3))
    return cred[:pos] + junk + cred[pos:]


def _replace_char(cred, data):
    pos = data.draw(st.integers(0, len(cred) - 1))
    char = data.draw(st.characters(codec="utf-8"))
    return cred[:pos] + char + cred[pos + 1 :]


def _random_envelope(cred, data):
    return encode_envelope(json.dumps(data.draw(json_values)))


def _random_members(cred, data):
    env = {
        name: data.draw(json_values) for name in data.draw(st.sets(st.sampled_from(["payload", "alg", "kid", "sig"])))
    }
    if data.draw(st.booleans()):
        env["payload"] = data.draw(st.dictionaries(st.text(max_size=6), json_values, max_size=4))
    return encode_envelope(env)


MANGLERS = [_flip_bit, _truncate, _insert, _replace_char, _random_envelope, _random_members]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_mangled_credentials_decode_or_raise_passport_error(passport, issue, data):
    cred = issue()
    for _ in range(data.draw(st.integers(1, 3))):
        cred = data.draw(st.sampled_from(MANGLERS))(cred, data)
        if not cred:
            break
    try:
        result = passport.decode_passport(cred)
    except passport.PassportError:
        return
    except rfc8785.CanonicalizationError:
        # A flip can spell an escape such as a lone surrogate into the payload;
        # the canonicaliser's refusal of that payload is passed on unchanged.
        with pytest.raises(rfc8785.CanonicalizationError):
            rfc8785.dumps(reference_envelope_parse(cred)["payload"])
        return
    assert type(result) is passport.DecodedPassport
    assert type(result.payload) is dict and type(result.sig) is bytes
    assert result.signed_bytes == rfc8785.dumps(result.payload)
