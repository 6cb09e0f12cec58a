"""The module's native shortcuts give exactly what the host's own functions give.

Base64 decoding, the expiry stamp, the JSON reader, the RFC 8785 bytes and
the records are handled natively while the module's bindings (``base64``,
``datetime``, ``timezone``, ``json``, ``_TS_FMT``, ``_load_crypto``, the
record classes) and everything the host functions behind them read are the
ones of import. Rebinding any of them sends the same call through the
host's function instead. As CPython's ``test_bisect`` runs one table
against its C and its Python module, each table of a fast path runs through
every road (``ROADS``: the native path with the originals in place, and
each rebinding that forces the host function) and checks the answer against
the reference (``binascii``, ``strptime``, ``json.loads``,
``rfc8785.dumps``); where the host's own error or verdict is the reference,
the native answer is compared with the host road's. The other tests check
that a patch of a host function is honoured.
"""

from __future__ import annotations

import base64
import binascii
import collections
import contextlib
import dataclasses
import enum
import json
import os
import subprocess
import sys
import textwrap
import types
from contextlib import contextmanager
from datetime import UTC, datetime, timedelta
from pathlib import Path
from unittest import mock

import pytest
import rfc8785
from conftest import NOW, OMIT, ROADS, each_road, payload, taking
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st
from rfc8785 import _impl as rfc8785_impl

from quorvel_trellane import passport
from quorvel_trellane.testing import b64u, b64u_decode

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "fuzz"))
import targets as fuzz_targets

FMT = "%Y-%m-%dT%H:%M:%SZ"


def outcome(fn, *args):
    try:
        return ("ok", fn(*args))
    except Exception as exc:
        return ("error", type(exc), str(exc))


def typed_outcome(fn, *args):
    """As outcome(), with the type of a result too (bytes, not a subclass)."""
    result = outcome(fn, *args)
    return ("ok", type(result[1]), result[1]) if result[0] == "ok" else result


# --- expiry stamps ------------------------------------------------------------

STAMP_PIECES = list("0123456789-:TtZz ") + ["\u0663", "\u0669", "\uff11", "\u00b2", "\u0660", "\u2075", "x", "\n", "+"]
TEMPLATES = [
    "2049-12-31T23:59:59Z",
    "2050-6-1T0:0:0Z",
    "2050-06-01t00:00:00z",
    "2048-02-29T12:00:00Z",
    "2049-02-29T12:00:00Z",
    "2051-1- 1T1:1:1Z",
    "2050-12-31T23:59:60Z",
    "0000-01-01T00:00:00Z",
    "9999-12-31T23:59:59Z",
    "2050-04-31T00:00:00Z",
    "2050-01-01T24:00:00Z",
]


@st.composite
def mangled_stamps(draw):
    chars = list(draw(st.sampled_from(TEMPLATES)))
    for _ in range(draw(st.integers(0, 3))):
        pos = draw(st.integers(0, len(chars)))
        op = draw(st.sampled_from(["replace", "insert", "delete"]))
        piece = draw(st.sampled_from(STAMP_PIECES))
        if op == "insert" or not chars:
            chars.insert(pos, piece)
        elif op == "replace":
            chars[min(pos, len(chars) - 1)] = piece
        else:
            del chars[min(pos, len(chars) - 1)]
    return "".join(chars)


STAMP_DIGITS = st.sampled_from("0123456789\u0660\u0669\uff10\uff19\U0001d7ce ")
# Field by field: digits of any script and width, separators of either case or wrong.
FIELDED_STAMPS = st.builds(
    lambda parts, seps, tail: "".join(p + s for p, s in zip(parts, seps, strict=True)) + tail,
    st.tuples(
        *(
            st.text(STAMP_DIGITS, min_size=1, max_size=w + 1)
            | st.integers(0, 10**w - 1).map(lambda v, w=w: str(v).zfill(w))
            for w in (4, 2, 2, 2, 2, 2)
        )
    ),
    st.tuples(*(st.sampled_from([sep, sep, sep.lower(), " ", "+"]) for sep in "--T::Z")),
    st.sampled_from(["", "", " ", "Z", "\n"]),
) | st.text(max_size=25)


@each_road("stamp")
@pytest.mark.parametrize("seconds, expired", [(-2, True), (3, False)])
def test_the_default_verification_time_is_the_current_utc_time(issuer, monkeypatch, road, seconds, expired):
    """The clock is read in UTC whatever the local zone (UTC+14 here)."""
    import time

    monkeypatch.setenv("TZ", "Pacific/Kiritimati")
    time.tzset()
    try:
        stamp = (datetime.now(UTC) + timedelta(seconds=seconds)).strftime(FMT)
        credential = issuer.issue(payload(expires_at=stamp))
        with taking(road):
            verdict = passport.verify_passport(credential, issuer_keys=issuer.pk, crl=[])
    finally:
        monkeypatch.undo()
        time.tzset()
    assert (verdict.error_code == "EXPIRED") is expired


@each_road("stamp")
@settings(max_examples=3000, deadline=None)
@given(stamp=mangled_stamps() | FIELDED_STAMPS)
@example(stamp="2050-\u0661\u0662-01T00:00:00Z")  # Unicode digits where only ASCII is allowed
@example(stamp="\u0662\u0660\u0665\u0660-01-01T0\u0665:0\u0665:0\u0665Z")  # ... and where \d allows them
@example(stamp="2050-01-01T00:00:00Z ")
def test_expiry_stamp_reads_exactly_as_strptime_reads_it(road, stamp):
    instant = fuzz_targets.reference_parse(stamp)
    nows = [datetime(2050, 6, 1, tzinfo=UTC)]
    if instant is not None:
        nows.append(instant)
        if instant.year > 1:
            nows.append(instant - timedelta(seconds=1))
        if instant.year < 9999:
            nows.append(instant + timedelta(seconds=1))
    with taking(road):
        for now in nows:
            expected = True if instant is None else now >= instant
            assert outcome(passport._is_expired, stamp, now) == ("ok", expected), (stamp, now)


def test_a_rebound_stamp_pattern_is_honoured(monkeypatch):
    monkeypatch.setattr(passport, "_TS_FMT", "%Y-%m-%d")
    now = datetime(2050, 6, 1, tzinfo=UTC)
    assert passport._is_expired("2099-01-01", now) is False
    assert passport._is_expired("2099-01-01T00:00:00Z", now) is True


# --- base64 -------------------------------------------------------------------------

B64_TEXT = st.text(alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefgxyz0123456789+/-_= \n.\u00e9", max_size=40)
# Real base64url with any padding, and texts over the fuzz target's alphabet (NUL, tab, '*').
B64_MORE = st.text(alphabet=fuzz_targets.B64_ALPHABET, max_size=40) | st.builds(
    lambda raw, pad: b64u(raw) + pad, st.binary(max_size=30), st.sampled_from(["", "=", "==", "==="])
)


def coerce_reference(text):
    """The documented decoding order of key text, as typed_outcome() shows it."""
    expected = fuzz_targets.reference_coerce(text)
    if isinstance(expected, bytes):
        return ("ok", bytes, expected)
    return ("error", type(expected), str(expected))


@each_road("base64")
@settings(max_examples=3000, deadline=None, suppress_health_check=list(HealthCheck))
@given(text=B64_TEXT | B64_MORE)
@example(text="A")
@example(text="AB=C")
@example(text="QUJD=DEF")
@example(text="==")
@example(text="QQ=\u00e9")
def test_base64url_decoding_matches_the_host_decoder(road, text):
    expected = typed_outcome(b64u_decode, text)
    with taking(road):
        assert typed_outcome(passport._b64u_decode, text) == expected


@each_road("base64")
@settings(max_examples=3000, deadline=None, suppress_health_check=list(HealthCheck))
@given(text=B64_TEXT | B64_MORE | st.text(alphabet="ABab09+/= \n", max_size=12))
@example(text="QUJD RA==")
@example(text="QUJD\nRA")
@example(text="QUJDRA===")
@example(text="=QUJD")
def test_key_text_decoding_matches_the_host_decoders_in_the_documented_order(road, text):
    expected = coerce_reference(text)
    with taking(road):
        assert typed_outcome(passport._coerce_key, text) == expected


@each_road("base64")
@settings(max_examples=1500, deadline=None)
@given(
    data=st.binary(min_size=20, max_size=300),
    urlsafe=st.booleans(),
    pos=st.integers(0, 400),
    piece=st.sampled_from(["", "=", "==", " ", "\n", ".", "\u00e9", "-", "+", "A"]),
)
@example(data=bytes(range(48)), urlsafe=True, pos=0, piece="")
def test_long_base64_texts_decode_as_the_host_decodes_them(road, data, urlsafe, pos, piece):
    text = (base64.urlsafe_b64encode if urlsafe else base64.b64encode)(data).decode()
    text = text[:pos] + piece + text[pos:]
    with taking(road):
        assert typed_outcome(passport._b64u_decode, text) == typed_outcome(b64u_decode, text)
        assert typed_outcome(passport._coerce_key, text) == coerce_reference(text)


@each_road("base64")
@pytest.mark.parametrize(
    ("text", "error", "message"),
    [
        ("QU.JDRA", binascii.Error, "Incorrect padding"),
        ("QUJDR", binascii.Error, r"number of data characters \(5\)"),
        ("QUJD\u00e9", ValueError, "only ASCII"),
    ],
)
def test_base64_errors_are_the_host_error_classes(road, text, error, message):
    with taking(road), pytest.raises(error, match=message):
        passport._b64u_decode(text)


# The AVX2 blocks of the base64 decoder and the text scan (behind the JSON
# reader and the RFC 8785 writer) against the portable loops that replace
# them on other architectures: QUORVEL_TRELLANE_PORTABLE turns the AVX2 paths
# off for a process, and both must answer every input alike. The inputs put
# every kind of stop character at each offset around the 32-byte blocks.
PORTABLE_PROBE = r"""
import base64, json, random
from quorvel_trellane import passport

def outcome(fn, *args):
    try:
        return repr(fn(*args))
    except Exception as exc:
        return repr((type(exc), str(exc)))

def answers():
    rng = random.Random(8)
    texts = []
    for n in list(range(0, 70)) + [95, 96, 97, 191, 192, 300]:
        raw = rng.randbytes(n)
        for encode in (base64.urlsafe_b64encode, base64.b64encode):
            text = encode(raw).decode()
            texts.append(text)
            for pos in {0, 31, 32, 33, 63, len(text) // 2, len(text)}:
                for piece in ("=", ".", " ", "\n", "-", "_", "+", "/", "\u00e9", "\x00"):
                    texts.append(text[:pos] + piece + text[pos:])
    out = [outcome(passport._b64u_decode, t) + outcome(passport._coerce_key, t) for t in texts]
    for n in (31, 32, 33, 64, 100):
        for pos in range(0, n, 3):
            for piece in ('"', "\\", "\x01", "\x1f", " ", "\x7f", "\u00e9", "\U0001f600"):
                value = "a" * pos + piece + "b" * (n - pos)
                for ascii_only in (True, False):
                    body = json.dumps({"v": value}, ensure_ascii=ascii_only).encode()
                    out.append(outcome(passport._get_json, "https://issuer.example/doc", lambda url: body, 6.0))
                    broken = body[:pos + 7] + b"\x05" + body[pos + 7:]
                    out.append(outcome(passport._get_json, "https://issuer.example/doc", lambda url: broken, 6.0))
                envelope = json.dumps({"payload": {"k" * pos: value}, "sig": ""}).encode()
                credential = base64.urlsafe_b64encode(envelope).decode().rstrip("=")
                out.append(outcome(lambda: passport.decode_passport(credential).signed_bytes))
    return out

print(json.dumps(answers()))
"""


def test_the_portable_loops_answer_exactly_as_the_vector_paths_do():
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    runs = {}
    for portable in ("1", "0"):
        done = subprocess.run(
            [sys.executable, "-c", PORTABLE_PROBE],
            capture_output=True,
            text=True,
            timeout=120,
            env={**env, "QUORVEL_TRELLANE_PORTABLE": portable},
            check=False,
        )
        assert done.returncode == 0, done.stderr
        runs[portable] = json.loads(done.stdout)
    assert len(runs["1"]) > 10_000
    assert runs["1"] == runs["0"]


# --- records ---------------------------------------------------------------------


def test_verdicts_built_natively_equal_verdicts_built_by_the_class(issuer):
    credential = issuer.issue()
    verdict = passport.verify_passport(credential, issuer_keys=issuer.pk, crl=[])
    rebuilt = passport.PassportVerdict(**{f.name: getattr(verdict, f.name) for f in dataclasses.fields(verdict)})
    assert verdict == rebuilt and hash(verdict) == hash(rebuilt) and repr(verdict) == repr(rebuilt)
    assert vars(verdict) == vars(rebuilt) and list(vars(verdict)) == list(vars(rebuilt))
    bad = passport.verify_passport("not a credential")
    assert list(vars(bad)) == [f.name for f in dataclasses.fields(bad)]
    assert bad.scopes == () and bad.agent_did is None


def test_a_replaced_record_constructor_is_used(monkeypatch, issuer):
    seen = []
    original = passport.PassportVerdict.__init__

    def spying_init(self, *args, **kwargs):
        seen.append(sorted(kwargs))
        original(self, *args, **kwargs)

    monkeypatch.setattr(passport.PassportVerdict, "__init__", spying_init)
    passport.verify_passport("not a credential")
    assert seen == [sorted(["verified", "status", "error_code", "error_message"])]


# --- JSON -------------------------------------------------------------------------

JSON_VALUES = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(min_value=-(10**25), max_value=10**25)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text(max_size=12),
    lambda children: st.lists(children, max_size=4) | st.dictionaries(st.text(max_size=6), children, max_size=4),
    max_leaves=12,
)
JSON_PIECES = [
    b"{",
    b"}",
    b"[",
    b"]",
    b",",
    b":",
    b'"',
    b"\\",
    b"\\u",
    b"\\ud83d",
    b"\\ude00",
    b"\\x",
    b" ",
    b"\t",
    b"\x00",
    b"\x1f",
    b"\xc3",
    b"\xa9",
    b"\xed\xa0\x80",
    b"\xef\xbb\xbf",
    b"1",
    b"-",
    b".",
    b"e",
    b"E+",
    b"0",
    b"NaN",
    b"-Infinity",
    b"true",
    b"nul",
]


@st.composite
def json_documents(draw):
    value = {"v": draw(JSON_VALUES)}
    ensure_ascii = draw(st.booleans())
    text = json.dumps(value, ensure_ascii=ensure_ascii, indent=draw(st.sampled_from([None, 1])))
    doc = text.encode(draw(st.sampled_from(["utf-8", "utf-8", "utf-8", "utf-16", "utf-32-le"])), "surrogatepass")
    for _ in range(draw(st.integers(0, 2))):
        pos = draw(st.integers(0, len(doc)))
        piece = draw(st.sampled_from(JSON_PIECES))
        if draw(st.booleans()):
            doc = doc[:pos] + piece + doc[pos:]
        else:
            doc = doc[:pos] + doc[pos + 1 :]
    kind = draw(st.sampled_from(["bytes", "bytes", "bytearray", "str"]))
    if kind == "bytearray":
        return bytearray(doc)
    if kind == "str":
        return doc.decode("utf-8", "replace")
    return doc


def typed(value):
    """A representation that tells 1, 1.0 and True apart and keeps key order."""
    if isinstance(value, dict):
        return ("dict", [(typed(k), typed(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [typed(v) for v in value])
    return (type(value).__name__, repr(value))


DOC_URL = "https://issuer.example/doc"


def fetch_outcome(body):
    return outcome(lambda: typed(passport._get_json(DOC_URL, lambda url: body, 6.0)))


def loads_outcome(body):
    """What _get_json must give for this body: json.loads's object, or its error."""

    def reference():
        doc = json.loads(body)
        if not isinstance(doc, dict):
            raise passport.PassportError(f"{DOC_URL} did not return a JSON object")
        return typed(doc)

    return outcome(reference)


@each_road("json")
@settings(max_examples=2000, deadline=None)
@given(doc=json_documents())
@example(doc=b'{"a": 1, "b": 2, "a": 3}')
@example(doc=b'{"v": "\\ud83d\\ude00 \\u00e9 \\/"}')
@example(doc=b'{"v": [1.5e999, -0.0, 1E5, 12345678901234567890]}')
@example(doc=b'{"v": 01}')
@example(doc=b'\xef\xbb\xbf{"v": 1}')
@example(doc=b' \n{"v": "caf\xc3\xa9"} \r\n')
@example(doc='{"v": "\u00e9"}')
def test_json_documents_parse_exactly_as_json_loads_parses_them(road, doc):
    expected = loads_outcome(doc)
    with taking(road):
        assert fetch_outcome(doc) == expected


@each_road("json")
@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(data=st.binary(max_size=400))
def test_fuzzed_json_bodies_parse_exactly_as_json_loads_parses_them(road, data):
    # The fuzz target builds a body from the bytes (any JSON value, odd
    # separators, changed bytes, text or bytes) and compares what _get_json
    # makes of it with json.loads, value types and order included.
    with taking(road):
        fuzz_targets.target_get_json(data)


@each_road("json")
@pytest.mark.parametrize("depth", [99, 100, 101, 3000])
def test_deeply_nested_documents_give_what_json_loads_gives(road, depth):
    deep = b'{"v": ' + b"[" * depth + b"]" * depth + b"}"
    expected = loads_outcome(deep)
    with taking(road):
        assert fetch_outcome(deep)[:2] == expected[:2]


@each_road("json")
@pytest.mark.parametrize(
    "number",
    [
        "999999999999999999",
        "-99999999999999999",
        "-999999999999999999",
        "9223372036854775807",
        "9223372036854775808",
        "-9223372036854775808",
        "-9223372036854775809",
        "9999999999999999999",
        "18446744073709551616",
        "-18446744073709551617",
        "1" + "0" * 40,
    ],
)
def test_integers_at_and_beyond_64_bits_parse_exactly_as_json_loads_parses_them(road, number):
    doc = b'{"v": [' + number.encode() + b"]}"
    with taking(road):
        assert fetch_outcome(doc) == loads_outcome(doc) == ("ok", typed({"v": [int(number)]}))


SIG_ENVELOPES = [
    '{"payload": {}, "sig": "QUJD"}',
    '{"payload": {}, "sig": "  QUJDRA "}',
    '{"payload": {}, "sig": "QU JD"}',
    '{"payload": {}, "sig": "QUJ\\u0044"}',
    '{"payload": {}, "sig": "QUJ\\/"}',
    '{"payload": {}, "sig": "QUJD\u00e9"}',
    '{"payload": {}, "sig": 5}',
    '{"payload": {}, "sig": "QUJD", "sig": 5}',
    '{"payload": {}, "sig": 5, "sig": "QUJD"}',
    '{"sig": "QUJD", "payload": {}, "sig": "QQ"}',
    '{"payload": {"sig": "QQ"}}',
    '{"payload": {}, "sig": "Q"}',
    '{"payload": {}, "sig": ""}',
    '{"payload": {}, "sig": "QUJD===="}',
    '{"payload": {}, "sig": "QUJD", "x": NaN}',
    '{"payload": {}, "sig": "QUJD"} x',
    '{"payload": {}, "sig": "QUJD",}',
    '{"payload": {}, "sig": "QU.JD-_"}',
]


@pytest.mark.parametrize("envelope", SIG_ENVELOPES)
def test_the_signature_member_decodes_as_through_the_parsed_envelope(envelope):
    credential = base64.urlsafe_b64encode(envelope.encode()).decode()

    def decoded():
        result = outcome(passport.decode_passport, credential)
        return result if result[0] == "error" else ("ok", result[1].sig, result[1].payload)

    native = decoded()
    with taking(ROADS["json"]["host json"]):
        assert native == decoded()


def test_a_rebound_b64u_decode_receives_the_signature_text(monkeypatch):
    seen = []
    original = passport._b64u_decode
    monkeypatch.setattr(passport, "_b64u_decode", lambda s: seen.append(s) or original(s))
    credential = base64.urlsafe_b64encode(b'{"payload": {}, "sig": " QUJD"}').decode()
    assert passport.decode_passport(credential).sig == b"ABC"
    assert seen == [credential, " QUJD"]


def json_error_state(doc):
    try:
        passport._get_json("https://i.example/", lambda url: doc, 6.0)
    except json.JSONDecodeError as err:
        return (
            type(err),
            err.args,
            err.msg,
            err.doc,
            err.pos,
            err.lineno,
            err.colno,
            vars(err),
            type(err.__context__),
            err.__suppress_context__,
            err.__cause__,
        )
    raise AssertionError("no error")


@pytest.mark.parametrize(
    "doc",
    [
        b"",
        b" \n ",
        b"foo",
        b"  \n\t nul",
        b"-x",
        b"-",
        b"{} x",
        b'[1, "a"] \n\n ]',
        b"1.5e",
        b"01",
        b'"a" "b"',
        "\n\nfalsey",
        bytearray(b"true false"),
        b"\x00abc",
        b"tru\xc3\xa9",
        b"-Infinity x",
        b"Nan",
    ],
)
def test_whole_document_json_errors_are_the_hosts_own(doc):
    native = json_error_state(doc)
    with taking(ROADS["json"]["host json"]):
        assert native == json_error_state(doc)


# --- patches of the host functions behind the fast paths ------------------------------

CREDENTIAL_TEXT = base64.urlsafe_b64encode(b'{"v": [1, "two"]}').decode().rstrip("=")


def stamp_module():
    import _strptime

    return _strptime


# (owner, attribute, the call that must reach the patched object). Each
# patch wraps the original, so the result must not change either.
HOST_PATCHES = [
    (lambda: base64, "urlsafe_b64decode", lambda: passport._b64u_decode(CREDENTIAL_TEXT)),
    (lambda: base64, "b64decode", lambda: passport._b64u_decode(CREDENTIAL_TEXT)),
    (lambda: base64, "_bytes_from_decode_data", lambda: passport._b64u_decode(CREDENTIAL_TEXT)),
    (lambda: binascii, "a2b_base64", lambda: passport._b64u_decode(CREDENTIAL_TEXT)),
    (lambda: base64, "b64decode", lambda: passport._coerce_key("QUJD")),
    (lambda: json, "loads", lambda: passport._get_json("https://i.example/", lambda url: b'{"a": [1]}', 6.0)),
    (lambda: json, "detect_encoding", lambda: passport._get_json("https://i.example/", lambda url: b'{"a": 1}', 6.0)),
    (lambda: json, "_default_decoder", lambda: passport._get_json("https://i.example/", lambda url: b'{"a": 1}', 6.0)),
    (
        lambda: json.decoder.JSONDecoder,
        "decode",
        lambda: passport._get_json("https://i.example/", lambda url: b"{}", 6.0),
    ),
    (
        stamp_module,
        "_strptime_datetime",
        lambda: passport._is_expired("2050-01-01T00:00:00Z", datetime(2050, 6, 1, tzinfo=UTC)),
    ),
]


@pytest.mark.parametrize(
    ("owner", "name", "run"), HOST_PATCHES, ids=[f"{i}-{p[1]}" for i, p in enumerate(HOST_PATCHES)]
)
def test_a_patched_host_function_is_called_by_the_next_call(owner, name, run):
    expected = run()
    target = owner()
    original = getattr(target, name)
    # A class attribute needs a patch that binds like a function.
    options = {"autospec": True, "side_effect": original} if isinstance(target, type) else {"wraps": original}
    with mock.patch.object(target, name, **options) as spy:
        assert run() == expected
    assert spy.mock_calls
    assert run() == expected


def test_a_default_decoder_refusing_repeated_members_is_honoured(issue):
    class Strict(json.JSONDecoder):
        def __init__(self):
            super().__init__(object_pairs_hook=self.pairs)

        @staticmethod
        def pairs(pairs):
            if len({k for k, _ in pairs}) != len(pairs):
                raise ValueError("repeated member")
            return dict(pairs)

    envelope = json.dumps(json.loads(base64.urlsafe_b64decode(issue() + "===")))
    credential = base64.urlsafe_b64encode(('{"alg": "x", ' + envelope[1:]).encode()).decode()
    assert passport.decode_passport(credential).alg == "Falcon-1024"
    with mock.patch("json._default_decoder", Strict()):
        with pytest.raises(passport.PassportError, match="malformed credential envelope: repeated member"):
            passport.decode_passport(credential)


#: json._default_decoder as the module finds it at its first import, and
#: whether the native reader may stand in for it: only for a decoder
#: configured exactly as the default one.
PREIMPORT_DECODERS = [
    ("a fresh default decoder", "json.JSONDecoder()", True),
    ("refusing repeated members", "json.JSONDecoder(object_pairs_hook=refuse_repeats)", False),
    ("decimal floats", "json.JSONDecoder(parse_float=decimal.Decimal)", False),
    ("an object hook", "json.JSONDecoder(object_hook=lambda d: {'hooked': d})", False),
    ("text integers", "json.JSONDecoder(parse_int=str)", False),
    ("its own constants", "json.JSONDecoder(parse_constant=str)", False),
    ("lenient strings", "json.JSONDecoder(strict=False)", False),
    ("options put back after its scanner was built", "reset(json.JSONDecoder(parse_float=decimal.Decimal))", False),
    ("a subclass", "type('Sub', (json.JSONDecoder,), {'decode': lambda self, s: {'sub': s}})()", False),
]

PREIMPORT_PROBE = textwrap.dedent(
    """
    import decimal, json, sys

    def refuse_repeats(pairs):
        if len({k for k, _ in pairs}) != len(pairs):
            raise ValueError("repeated member")
        return dict(pairs)

    def reset(decoder):
        decoder.parse_float = float
        return decoder

    json._default_decoder = eval(sys.argv[1])
    from quorvel_trellane import passport

    def outcome(fn):
        try:
            return ["ok", repr(fn())]
        except Exception as exc:
            return ["error", repr(exc)]

    docs = [b'{"a": 1, "a": 2}', b'{"x": 1.5, "n": [10, {"k": 2.0}]}', b'{"c": NaN}', b'{"s": "a\\\\tb\\tc"}']
    roads = [[outcome(lambda: passport._get_json("https://i.example/", lambda url: doc, 6.0)),
              outcome(lambda: json.loads(doc))] for doc in docs]
    host = []
    sys.setprofile(lambda frame, event, arg: event == "call" and "json" in frame.f_code.co_filename and host.append(1))
    outcome(lambda: passport._get_json("https://i.example/", lambda url: docs[0], 6.0))
    sys.setprofile(None)
    print(json.dumps({"roads": roads, "native": not host}))
    """
)


@pytest.mark.parametrize(
    ("decoder", "native"), [d[1:] for d in PREIMPORT_DECODERS], ids=[d[0] for d in PREIMPORT_DECODERS]
)
def test_a_default_decoder_configured_before_import_is_used_unless_it_is_the_default(decoder, native):
    env = {**os.environ, "PYTHONPATH": str(Path(passport.__file__).resolve().parent.parent)}
    done = subprocess.run(
        [sys.executable, "-c", PREIMPORT_PROBE, decoder], capture_output=True, text=True, env=env, timeout=60
    )
    assert done.returncode == 0, done.stderr
    seen = json.loads(done.stdout)
    for through_module, through_json in seen["roads"]:
        assert through_module == through_json
    assert seen["native"] is native


def test_records_made_by_a_dataclass_that_returns_no_class_are_built_by_calling_them(issuer):
    script = textwrap.dedent(
        """
        import dataclasses, sys

        host_dataclass = dataclasses.dataclass

        class Wrapper:
            def __init__(self, cls):
                self.cls = cls

            def __call__(self, *args, **kwargs):
                return self.cls(*args, **kwargs)

        def dataclass(*args, **kwargs):
            decorate = host_dataclass(*args, **kwargs)
            return lambda cls: Wrapper(decorate(cls))

        dataclasses.dataclass = dataclass
        from quorvel_trellane import passport

        assert isinstance(passport.PassportVerdict, Wrapper)
        bad = passport.verify_passport("not a credential")
        good = passport.verify_passport(sys.argv[1], issuer_keys=sys.argv[2], crl=[])
        print(bad.status, bad.error_code, good.status, good.verified, good.scopes, type(good).__name__)
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script, issuer.issue(), issuer.pk_b64],
        capture_output=True,
        text=True,
        timeout=120,
        env={"PYTHONPATH": ":".join(sys.path)},
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == [
        "invalid",
        "INVALID_CREDENTIAL",
        "active",
        "True",
        "('payments:write',",
        "'catalog:read')",
        "PassportVerdict",
    ]


# --- revocation membership ---------------------------------------------------------


class TextForm:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class NoText:
    def __str__(self):
        raise TypeError("no text form")


class ClaimsEverything(str):
    """A text that says it equals anything hashing like the revoked id."""

    def __eq__(self, other):
        return True

    def __hash__(self):
        return hash("pp_1")


class LoggedCrl(dict):
    def __init__(self, answer):
        super().__init__()
        self.answer, self.calls = answer, []

    def get(self, key, default=None):
        self.calls.append(key)
        return self.answer


IDS = ["pp_0", "pp_1", "pp_2"]
# (crl factory, the payload's passport_id; OMIT drops it)
REVOCATION_CASES = [
    (lambda: IDS, "pp_1"),
    (lambda: IDS, "pp_9"),
    (lambda: tuple(IDS), "pp_1"),
    (lambda: set(IDS), "pp_1"),
    (lambda: set(IDS), "pp_9"),
    (lambda: frozenset(IDS), "pp_1"),
    (lambda: frozenset(IDS), "pp_9"),
    (lambda: {"revoked": IDS}, "pp_1"),
    (lambda: {"revoked": frozenset(IDS)}, "pp_1"),
    (lambda: {}, "pp_1"),
    (lambda: {"revoked": None}, "pp_1"),
    (lambda: {"revoked": "pp_1"}, "p"),
    (lambda: 42, "pp_1"),
    (lambda: ["pp_0", 7], 7),
    (lambda: frozenset({7}), 7),
    (lambda: {"7"}, 7),
    (lambda: IDS, 0),
    (lambda: IDS, OMIT),
    (lambda: [TextForm("pp_1")], "pp_1"),
    (lambda: frozenset({TextForm("pp_1")}), "pp_1"),
    (lambda: [NoText()], "pp_1"),
    (lambda: {NoText(), "pp_1"}, "pp_1"),
    (lambda: frozenset({ClaimsEverything("x")}), "pp_1"),
    (lambda: [ClaimsEverything("x")], "pp_1"),
    (lambda: iter(IDS), "pp_1"),
    (lambda: LoggedCrl(frozenset(IDS)), "pp_1"),
    (lambda: LoggedCrl(IDS), "pp_9"),
    (lambda: LoggedCrl(None), "pp_1"),
    (lambda: ["pp_1", "\u00e9\U0001f600"], "\u00e9\U0001f600"),
]


@pytest.mark.parametrize(("make_crl", "passport_id"), REVOCATION_CASES)
def test_revocation_is_decided_as_by_the_set_of_revoked_ids(issuer, monkeypatch, make_crl, passport_id):
    credential = issuer.issue(payload(passport_id=passport_id))

    def run():
        crl = make_crl()
        result = outcome(lambda: passport.verify_passport(credential, issuer_keys=issuer.pk, crl=crl, now=NOW))
        if result[0] == "ok":
            result = ("ok", result[1].status, result[1].error_code)
        return result, getattr(crl, "calls", None)

    native = run()
    original = passport._revoked_ids
    monkeypatch.setattr(passport, "_revoked_ids", lambda crl: original(crl))
    assert native == run()


# --- the signature memo ------------------------------------------------------------


def verifier_calls(run):
    """The result of run() and how many times pqcrypto's verify ran in it."""
    from pqcrypto.sign import falcon_1024

    code = falcon_1024.verify.__code__
    calls = []
    sys.setprofile(lambda frame, event, arg: calls.append(1) if event == "call" and frame.f_code is code else None)
    try:
        result = run()
    finally:
        sys.setprofile(None)
    return result, len(calls)


def fields(verdict):
    return (verdict.status, verdict.error_code, verdict.agent_did)


def test_a_genuine_signature_is_checked_once_and_a_bad_one_every_time(issuer, other_issuer):
    body = payload(passport_id="pp_memo_1")
    good = issuer.issue(body)
    forged = issuer.issue(body, sig=b"\x00" * 600)
    other_key = issuer.issue(body, kid=OMIT)
    verify = lambda cred, key=issuer.pk: fields(passport.verify_passport(cred, issuer_keys=key, crl=[], now=NOW))  # noqa: E731

    assert verifier_calls(lambda: verify(good))[0] == ("active", None, body["agent_did"])
    assert verifier_calls(lambda: verify(good)) == (("active", None, body["agent_did"]), 0)
    for _ in range(2):
        assert verifier_calls(lambda: verify(forged)) == (("invalid", "TAMPERED_SIGNATURE", body["agent_did"]), 1)
    # The same signed bytes and signature under another key are checked.
    assert verifier_calls(lambda: verify(other_key, other_issuer.pk)) == (
        ("invalid", "TAMPERED_SIGNATURE", body["agent_did"]),
        1,
    )


def test_a_rebound_verifier_is_asked_even_for_a_remembered_signature(issuer, monkeypatch):
    credential = issuer.issue(payload(passport_id="pp_memo_2"))
    verify = lambda: passport.verify_passport(credential, issuer_keys=issuer.pk, crl=[], now=NOW)  # noqa: E731
    assert verify().verified and verify().verified
    rfc8785, _ = passport._load_crypto()
    asked = []
    monkeypatch.setattr(passport, "_load_crypto", lambda: (rfc8785, lambda *args: asked.append(args) and False))
    assert fields(verify()) == ("invalid", "TAMPERED_SIGNATURE", payload()["agent_did"])
    assert len(asked) == 1


def test_the_memo_keeps_the_most_recent_signatures_within_its_bytes(issuer):
    """About 60 kB a credential: some sixty fit in the memo's few MiB."""
    credentials = [issuer.issue(payload(passport_id=f"pp_big_{i}", note="n" * 60_000)) for i in range(90)]

    def calls(selection):
        verdicts, n = verifier_calls(
            lambda: [passport.verify_passport(c, issuer_keys=issuer.pk, crl=[], now=NOW).status for c in selection]
        )
        assert set(verdicts) == {"active"}
        return n

    assert calls(credentials) == 90
    assert calls(credentials[-40:]) == 0
    assert calls(credentials[:10]) == 10
    assert calls(credentials[-40:][::-1]) == 0


@contextmanager
def profiled():
    """A profile function on the thread: pqcrypto's verify then runs as
    Python code, where profilers and tracers see it."""
    sys.setprofile(lambda frame, event, arg: None)
    try:
        yield
    finally:
        sys.setprofile(None)


def credentials_to_check(issuer, tag):
    """(credential, expected status/code) pairs; genuine ones are fresh."""
    body = payload(passport_id=f"pp_{tag}")
    sig = issuer.sign(rfc8785.dumps(body))
    return [
        (issuer.issue(body), ("active", None)),
        (issuer.issue(body, sig=sig[:-1] + bytes([sig[-1] ^ 1])), ("invalid", "TAMPERED_SIGNATURE")),
        (issuer.issue(body, sig=b"\x00" * 600), ("invalid", "TAMPERED_SIGNATURE")),
        (issuer.issue(body, sig=b""), ("invalid", "TAMPERED_SIGNATURE")),
        (issuer.issue(body, sig=sig + b"\x00" * 1462), ("invalid", "TAMPERED_SIGNATURE")),  # the wrapper refuses it
        (issuer.issue(payload(passport_id=f"pp_{tag}_other"), sig=sig), ("invalid", "TAMPERED_SIGNATURE")),
    ]


@pytest.mark.parametrize("road", ["compiled check", "pqcrypto's verify"])
def test_the_compiled_check_and_pqcryptos_verify_agree(issuer, road):
    checks = credentials_to_check(issuer, road.replace(" ", "_").replace("'", ""))
    with profiled() if road == "pqcrypto's verify" else contextlib.nullcontext():
        for credential, expected in checks * 2:
            verdict = passport.verify_passport(credential, issuer_keys=issuer.pk, crl=[], now=NOW)
            assert (verdict.status, verdict.error_code) == expected


def test_a_rebound_library_behind_pqcryptos_verify_decides(issuer, monkeypatch):
    """The compiled check stands in for verify only while verify still
    closes over the library it was loaded with."""
    from pqcrypto.sign import falcon_1024

    forged = issuer.issue(payload(passport_id="pp_lib"), sig=b"\x00" * 600)
    verify = lambda: passport.verify_passport(forged, issuer_keys=issuer.pk, crl=[], now=NOW).status  # noqa: E731
    assert verify() == "invalid"
    cell = falcon_1024.verify.__closure__[0]
    real = cell.cell_contents
    accepting = types.SimpleNamespace(
        PQCLEAN_FALCON1024_CLEAN_CRYPTO_PUBLICKEYBYTES=real.PQCLEAN_FALCON1024_CLEAN_CRYPTO_PUBLICKEYBYTES,
        PQCLEAN_FALCON1024_CLEAN_CRYPTO_BYTES=real.PQCLEAN_FALCON1024_CLEAN_CRYPTO_BYTES,
        PQCLEAN_FALCON1024_CLEAN_crypto_sign_verify=lambda *args: 0,
    )
    monkeypatch.setattr(cell, "cell_contents", accepting)
    assert verify() == "active"
    monkeypatch.undo()
    assert verify() == "invalid"  # the rebound library's answer was not remembered


@pytest.mark.parametrize(
    "name, value, seen",
    [
        ("agent_did", property(lambda self: "did:web:someone-else"), ("active", "did:web:someone-else")),
        # The record can no longer be built: the host's error, as for a direct call.
        ("kid", property(lambda self: "0" * 16), AttributeError),
        (
            "__getattribute__",
            lambda self, name: {} if name == "payload" else object.__getattribute__(self, name),
            ("expired", None),
        ),
    ],
    ids=["property", "field shadowed", "__getattribute__"],
)
def test_verification_reads_the_decoded_record_as_its_class_now_reads(issuer, monkeypatch, name, value, seen):
    """Verification never shows the decoded record to anyone, but reads its
    fields back through the class: a change to the class is honoured."""
    credential = issuer.issue(payload(passport_id="pp_record"))
    verify = lambda: passport.verify_passport(credential, issuer_keys=issuer.pk, crl=[], now=NOW)  # noqa: E731
    assert (verify().status, verify().agent_did) == ("active", payload()["agent_did"])
    monkeypatch.setattr(passport.DecodedPassport, name, value, raising=False)
    if isinstance(seen, type):
        with pytest.raises(seen):
            verify()
    else:
        verdict = verify()
        assert (verdict.status, verdict.agent_did if seen[1] else None) == seen
    monkeypatch.undo()
    assert verify().verified


def test_a_patched_hash_decides_the_key_binding_even_for_a_key_seen_before(issuer):
    import hashlib

    credential = issuer.issue(payload(passport_id="pp_kid"))
    verify = lambda: passport.verify_passport(credential, issuer_keys=issuer.pk, crl=[], now=NOW)  # noqa: E731
    assert verify().verified and verify().verified
    original = hashlib.sha256
    with mock.patch("hashlib.sha256", side_effect=lambda data: original(b"another key")):
        assert verify().error_code == "KID_KEY_MISMATCH"
    assert verify().verified


# --- the function objects ------------------------------------------------------------


def test_keyword_defaults_behave_like_a_python_functions(monkeypatch):
    """__kwdefaults__ is the live dict, as for a Python function: changing it
    changes later calls, and clearing it during a call is harmless."""
    import gc

    defaults = passport.fetch_crl.__kwdefaults__
    saved = dict(defaults)
    seen = []

    def fetch(url):
        defaults.clear()
        gc.collect()
        seen.append(url)
        return b'{"revoked": []}'

    try:
        assert passport.fetch_crl("https://issuer.example/", "k", fetch=fetch) == {"revoked": []}
        with pytest.raises(TypeError, match=r"missing 2 required keyword-only arguments: 'fetch' and 'timeout'"):
            passport.fetch_crl("https://issuer.example/", "k")
        defaults.update(saved, fetch=lambda url: b"{}")
        assert passport.fetch_crl("https://issuer.example/", "k") == {}
    finally:
        defaults.clear()
        defaults.update(saved)
    assert seen == ["https://issuer.example/passport/crl/k.json"]
    assert passport.fetch_crl.__kwdefaults__ == {"fetch": None, "timeout": 6.0}


# --- RFC 8785 bytes -----------------------------------------------------------------

CANON_PREFIX = "credential payload cannot be canonicalised: "


def signed_bytes_of(payload, watch=True):
    """decode_passport's signed bytes for this payload object, handed over
    by the module's json binding, and whether rfc8785's own code ran."""
    ran = []

    def profile(frame, event, arg):
        if event == "call" and frame.f_code.co_filename == rfc8785_impl.__file__:
            ran.append(frame.f_code.co_name)

    with pytest.MonkeyPatch.context() as m:
        m.setattr(passport, "json", types.SimpleNamespace(loads=lambda raw: {"payload": payload, "sig": ""}))
        sys.setprofile(profile if watch else None)
        try:
            return ("ok", passport.decode_passport("e30").signed_bytes), bool(ran)
        except passport.PassportError as exc:
            # A refusal may reach the caller as the cause of a PassportError.
            assert str(exc) == CANON_PREFIX + str(exc.__cause__)
            return ("error", type(exc.__cause__), str(exc.__cause__)), bool(ran)
        except Exception as exc:
            return ("error", type(exc), str(exc)), bool(ran)
        finally:
            sys.setprofile(None)


def host_bytes_of(payload):
    return outcome(rfc8785.dumps, payload)


class Label(str):
    pass


class Size(enum.IntEnum):
    ONE = 1


def nested(depth):
    value = "leaf"
    for _ in range(depth):
        value = [value]
    return {"v": value}


# (payload, whether the module writes it natively)
CANONICAL_CASES = {
    "members ordered by code unit, shorter prefix first": (
        {"b": 1, "a": 2, "aa": 3, "": 4, "a\x00": 5, "B": 6, "\u00e9": 7, "\u0100": 8},
        True,
    ),
    "non-BMP names sort below U+E000..U+FFFF, by surrogate pair": (
        {"\U0001f600": 1, "\uff61": 2, "\ue000": 3, "\ud7ff": 4, "\U00010000": 5, "\U0010ffff": 6, "\ufffd": 7},
        True,
    ),
    "every control character escaped, short forms where JSON has them": (
        {"c": "".join(map(chr, range(32))), "".join(map(chr, range(32))): 0},
        True,
    ),
    "quote and backslash escaped; slash, DEL, U+2028/2029 and non-ASCII literal": (
        {"s": '"\\/\x7f\u2028\u2029\u00e9\u20ac\U0001f600'},
        True,
    ),
    "integers at the safe bounds": ({"max": 2**53 - 1, "min": -(2**53 - 1), "zero": 0, "neg": -7}, True),
    "nested arrays and objects, empty ones too": ({"a": [{"b": [[], {}]}, None, True, False], "e": {}}, True),
    "nesting below the native limit": (nested(150), True),
    "nesting beyond the native limit": (nested(260), False),
    "a float": ({"f": 1.0, "g": -0.0, "h": 1e21}, False),
    "NaN": ({"f": float("nan")}, False),
    "an integer one beyond the bound": ({"n": 2**53}, False),
    "a negative integer one beyond the bound": ({"n": -(2**53)}, False),
    "a lone surrogate in a value": ({"s": "a\ud800"}, False),
    "a lone surrogate in a member name": ({"\udc00": 1, "a": 2}, False),
    "a str subclass": ({"s": Label("x")}, False),
    "an int subclass": ({"n": Size.ONE}, False),
    "a dict subclass": ({"d": collections.OrderedDict(b=1, a=2)}, False),
    "a tuple": ({"t": (1, "x")}, False),
    "a member name that is not text": ({1: "x"}, False),
    "a value that is not JSON": ({"o": b"bytes"}, False),
}


@each_road("canonical")
@pytest.mark.parametrize("payload, native", CANONICAL_CASES.values(), ids=CANONICAL_CASES)
def test_signed_bytes_are_exactly_what_rfc8785_gives(road, payload, native):
    with taking(road):
        got, hosted = signed_bytes_of(payload)
    assert got == host_bytes_of(payload)
    assert hosted is (bool(road) or not native)


NAME_PIECES = [
    "a",
    "b",
    "ab",
    "\x00",
    "\x1f",
    '"',
    "\\",
    "\x7f",
    "\u00e9",
    "\u2028",
    "\ud7ff",
    "\ue000",
    "\uff61",
    "\ufffd",
    "\U00010000",
    "\U0001f600",
    "\U0010ffff",
]
NAMES = st.lists(st.sampled_from(NAME_PIECES), max_size=4).map("".join)
TEXTS = st.lists(st.sampled_from(NAME_PIECES + [chr(i) for i in range(32)] + ["\u2029", "/"]), max_size=8).map(
    "".join
) | st.text(max_size=8)
SAFE_INTS = st.sampled_from([2**53 - 1, -(2**53 - 1), 0, -1]) | st.integers(-(2**53 - 1), 2**53 - 1)
NATIVE_VALUES = st.recursive(
    st.none() | st.booleans() | SAFE_INTS | TEXTS,
    lambda children: st.lists(children, max_size=4) | st.dictionaries(NAMES, children, max_size=4),
    max_leaves=10,
)
SPOILERS = st.sampled_from([0.5, -0.0, float("inf"), float("nan"), 2**53, -(2**53), 10**20, "\ud800", "x\udfff"])


@st.composite
def payloads(draw):
    """A payload of JSON values the module writes natively, or one with a
    value put somewhere in it (or a name) that the canonicaliser must decide."""
    payload = draw(st.dictionaries(NAMES, NATIVE_VALUES, max_size=6))
    spoiled = draw(st.integers(0, 3)) == 0
    if spoiled:
        spoiler = draw(SPOILERS)
        where = draw(st.sampled_from(["value", "name", "in a list", "in an object"]))
        if where == "name" and isinstance(spoiler, str):
            payload[spoiler] = 1
        elif where == "in a list":
            payload[draw(NAMES)] = [1, spoiler]
        elif where == "in an object":
            payload[draw(NAMES)] = {"x": [{draw(NAMES): spoiler}]}
        else:
            payload[draw(NAMES)] = spoiler
    return payload, spoiled


@each_road("canonical")
@settings(max_examples=400, deadline=None)
@given(case=payloads())
@example(case=({"\U0001f600": 1, "\uffff": 2, "\ue000\U00010000": 3, "\ue000": 4}, False))
@example(case=({"a": '\u2028\x7f\x1f"\\', "b": [2**53 - 1, -(2**53 - 1)]}, False))
@example(case=({"a": [2**53]}, True))
def test_signed_bytes_match_rfc8785_on_generated_payloads(road, case):
    payload, spoiled = case
    with taking(road):
        got, hosted = signed_bytes_of(payload)
    assert got == host_bytes_of(payload)
    assert hosted is (bool(road) or spoiled)


def dumps_one_frame_down(payload):
    """rfc8785.dumps called from the depth at which signed_bytes_of calls it."""
    return rfc8785.dumps(payload)


def test_nesting_is_left_to_rfc8785_wherever_its_recursion_limit_could_stop_it():
    payload = nested(40)
    depth = 0
    frame = sys._getframe()
    while frame is not None:
        depth, frame = depth + 1, frame.f_back
    saved = sys.getrecursionlimit()
    seen = set()
    try:
        for limit in range(depth + 20, depth + 80):
            sys.setrecursionlimit(limit)
            got, _ = signed_bytes_of(payload, watch=False)
            try:
                expected = ("ok", dumps_one_frame_down(payload))
            except RecursionError as exc:
                expected = ("error", RecursionError, str(exc))
            assert got == expected, limit
            seen.add(got[0])
    finally:
        sys.setrecursionlimit(saved)
    assert seen == {"ok", "error"}


def substitute_dumps(calls):
    def dumps(payload):
        calls.append(payload)
        return b"substitute"

    return dumps


CANONICALISER_SUBSTITUTES = {
    "rfc8785.dumps patched": lambda m, fake: m.setattr(rfc8785, "dumps", fake),
    "another module imported as rfc8785": lambda m, fake: m.setitem(
        sys.modules, "rfc8785", types.SimpleNamespace(dumps=fake)
    ),
    "_load_crypto rebound": lambda m, fake: m.setattr(
        passport, "_load_crypto", lambda: (types.SimpleNamespace(dumps=fake), None)
    ),
    "the dump behind rfc8785.dumps patched": lambda m, fake: m.setattr(
        rfc8785_impl, "dump", lambda obj, sink: sink.write(fake(obj))
    ),
}


@pytest.mark.parametrize("substitute", CANONICALISER_SUBSTITUTES.values(), ids=CANONICALISER_SUBSTITUTES)
def test_a_substituted_canonicaliser_is_called_instead_of_the_native_writer(substitute):
    calls = []
    payload = {"a": 1}
    with pytest.MonkeyPatch.context() as m:
        substitute(m, substitute_dumps(calls))
        got, _ = signed_bytes_of(payload)
    assert got == ("ok", b"substitute") and calls == [payload] and calls[0] is payload


def test_a_changed_escape_of_rfc8785_is_honoured(monkeypatch):
    monkeypatch.setitem(rfc8785_impl._ESCAPE_DCT, "\n", "\\u000a")
    assert signed_bytes_of({"a": "\n"}) == (("ok", b'{"a":"\\u000a"}'), True)


def test_a_stand_in_present_at_the_first_import_is_never_taken_for_rfc8785():
    probe = (
        "import base64, json, sys, rfc8785\n"
        "import quorvel_trellane.passport as p\n"
        "genuine = rfc8785.dumps\n"
        "rfc8785.dumps = lambda payload: b'stand-in'\n"
        "env = json.dumps({'payload': {'a': 1}, 'sig': ''}).encode()\n"
        "cred = base64.urlsafe_b64encode(env).decode()\n"
        "first = p.decode_passport(cred).signed_bytes\n"
        "rfc8785.dumps = genuine\n"
        "ran = []\n"
        "sys.setprofile(lambda f, e, a: e == 'call' and 'rfc8785' in f.f_code.co_filename and ran.append(1))\n"
        "second = p.decode_passport(cred).signed_bytes\n"
        "sys.setprofile(None)\n"
        "print(first, second, len(ran))\n"
    )
    package_root = Path(passport.__file__).resolve().parent.parent
    env = {**os.environ, "PYTHONPATH": str(package_root)}
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, env=env, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["b'stand-in'", "b'{\"a\":1}'", "0"]
