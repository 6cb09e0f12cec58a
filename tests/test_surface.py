"""The module as the interpreter sees it.

What importing ``quorvel_trellane.passport`` binds and loads, the exact
signatures, documentation and identity of every function and class, the
host's own ``TypeError`` for a bad call, and the rule that every function
looks its module-level names up at each call.

Signatures and argument errors are compared with plain Python reference
functions of the same name and signature, so the expected texts are exactly
the ones CPython itself produces.
"""

from __future__ import annotations

import base64
import contextlib
import dataclasses
import datetime as datetime_module
import hashlib
import importlib
import inspect
import json
import os
import pickle
import pydoc
import subprocess
import sys
import textwrap
from datetime import datetime, timedelta, timezone
from pathlib import Path
from types import SimpleNamespace

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from quorvel_trellane.testing import b64u

MODULE_NAME = "quorvel_trellane.passport"

STANDARD_NAMES = ["base64", "hashlib", "json", "dataclass", "datetime", "timezone"]
CONSTANTS = [
    "FALCON_1024_PUBLIC_KEY_BYTES",
    "_ALG",
    "_TS_FMT",
    "X402_PASSPORT_HEADER",
    "A2A_PASSPORT_METADATA_KEY",
    "PASSPORT_ENV_VAR",
]
CLASSES = ["PassportError", "DecodedPassport", "PassportVerdict"]
FUNCTIONS = [
    "_b64u_decode",
    "_b64u_encode",
    "_load_crypto",
    "kid_for_key",
    "_coerce_key",
    "decode_passport",
    "_is_expired",
    "_revoked_ids",
    "verify_passport",
    "_resolve_key",
    "resolve_keys_from_wellknown",
    "fetch_crl",
    "_get_json",
    "load_credential",
    "x402_headers",
    "a2a_message_metadata",
]
PUBLIC_FUNCTIONS = [name for name in FUNCTIONS if not name.startswith("_")]
PRIVATE_FUNCTIONS = [name for name in FUNCTIONS if name.startswith("_")]
PUBLIC_NAMES = (
    set(STANDARD_NAMES)
    | {name for name in CONSTANTS if not name.startswith("_")}
    | set(CLASSES)
    | set(PUBLIC_FUNCTIONS)
)

INSTALL_HINT = "passport verification needs 'rfc8785' and 'pqcrypto' (pip install 'quorvel-trellane[passport]')"

# The reference: each function and record written out in plain Python with
# the declared signature (annotations stay text under the future import).
# Bodies are never run.
REFERENCE_SOURCE = """
from __future__ import annotations
from dataclasses import dataclass


def _b64u_decode(s: str) -> bytes: ...
def _b64u_encode(b: bytes) -> str: ...
def _load_crypto(): ...
def kid_for_key(public_key: bytes) -> str: ...
def _coerce_key(value) -> bytes: ...
def decode_passport(credential: str) -> DecodedPassport: ...
def _is_expired(expires_at: str | None, now: datetime) -> bool: ...
def _revoked_ids(crl) -> set[str] | None: ...
def verify_passport(
    credential: str,
    *,
    issuer_keys=None,
    crl=None,
    required_scope: str | None = None,
    expected_agent_did: str | None = None,
    require_revocation_check: bool = True,
    now: datetime | None = None,
) -> PassportVerdict: ...
def _resolve_key(issuer_keys, kid, issuer_did) -> bytes | None: ...
def resolve_keys_from_wellknown(
    issuer_url: str, *, fetch=None, timeout: float = 6.0
) -> dict: ...
def fetch_crl(
    issuer_url: str, kid: str, *, fetch=None, timeout: float = 6.0
) -> dict: ...
def _get_json(url: str, fetch, timeout: float) -> dict: ...
def load_credential(source: str | None = None) -> str: ...
def x402_headers(credential: str) -> dict: ...
def a2a_message_metadata(credential: str, metadata: dict | None = None) -> dict: ...


@dataclass(frozen=True)
class DecodedPassport:
    payload: dict
    alg: str
    kid: str | None
    sig: bytes
    signed_bytes: bytes


@dataclass(frozen=True)
class PassportVerdict:
    verified: bool
    status: str
    agent_did: str | None = None
    scopes: tuple[str, ...] = ()
    spend_limit_microusd: int | None = None
    spend_window: str | None = None
    issuer_did: str | None = None
    kid: str | None = None
    issued_at: str | None = None
    expires_at: str | None = None
    error_code: str | None = None
    error_message: str | None = None
"""
REFERENCE: dict = {"__name__": __name__}
exec(compile(REFERENCE_SOURCE, "<reference surface>", "exec"), REFERENCE)


def _ref(name):
    return REFERENCE[name]


def _subprocess_env() -> dict:
    import quorvel_trellane

    src = str(Path(quorvel_trellane.__file__).resolve().parent.parent)
    # Without coverage's start-up in the child (a CI run measures the
    # processes it starts), which imports modules of its own.
    env = {name: value for name, value in os.environ.items() if not name.startswith("COVERAGE_")}
    env["PYTHONPATH"] = os.pathsep.join([src] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


def _run_fresh(script: str) -> dict:
    """Run ``script`` in a fresh interpreter; it prints one JSON object."""
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        env=_subprocess_env(),
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


# --------------------------------------------------------------------------
# The namespace
# --------------------------------------------------------------------------


def _own_names(module) -> list[str]:
    return [n for n in vars(module) if not (n.startswith("__") and n.endswith("__"))]


def test_namespace_holds_exactly_the_designed_names(passport):
    assert sorted(_own_names(passport)) == sorted(STANDARD_NAMES + CONSTANTS + CLASSES + FUNCTIONS)


def test_namespace_is_bound_in_import_order(passport):
    assert _own_names(passport) == STANDARD_NAMES + CONSTANTS + CLASSES + FUNCTIONS


def test_no_export_list_so_wildcard_import_brings_every_public_name(passport):
    assert not hasattr(passport, "__all__")
    namespace: dict = {}
    exec(f"from {MODULE_NAME} import *", namespace)
    namespace.pop("__builtins__", None)
    assert set(namespace) == PUBLIC_NAMES


@pytest.mark.parametrize(
    "name, expected",
    [
        ("base64", base64),
        ("hashlib", hashlib),
        ("json", json),
        ("dataclass", dataclasses.dataclass),
        ("datetime", datetime_module.datetime),
        ("timezone", datetime_module.timezone),
    ],
)
def test_standard_names_are_bound_to_the_standard_objects(passport, name, expected):
    assert getattr(passport, name) is expected


@pytest.mark.parametrize(
    "name, value",
    [
        ("FALCON_1024_PUBLIC_KEY_BYTES", 1793),
        ("_ALG", "Falcon-1024"),
        ("_TS_FMT", "%Y-%m-%dT%H:%M:%SZ"),
        ("X402_PASSPORT_HEADER", "X-Agent-Passport"),
        ("PASSPORT_ENV_VAR", "QUORVEL_AGENT_PASSPORT"),
    ],
)
def test_constants_have_their_fixed_values_and_exact_types(passport, name, value):
    got = getattr(passport, name)
    assert got == value
    assert type(got) is type(value)


def test_a2a_metadata_key_is_a_domain_namespaced_agent_passport_key(passport):
    key = passport.A2A_PASSPORT_METADATA_KEY
    assert type(key) is str
    assert key.endswith("/agent-passport")
    domain = key[: -len("/agent-passport")]
    assert domain and "/" not in domain and domain == domain.strip()
    assert "." in domain


def test_module_identity_attributes(passport):
    import quorvel_trellane

    assert passport.__name__ == MODULE_NAME
    assert passport.__spec__.name == MODULE_NAME
    assert passport.__package__ == "quorvel_trellane"
    assert quorvel_trellane.passport is passport
    assert sys.modules[MODULE_NAME] is passport


# --------------------------------------------------------------------------
# Function signatures, identity and documentation
# --------------------------------------------------------------------------


def _param_table(sig: inspect.Signature):
    return [(p.name, p.kind, p.default, type(p.default), p.annotation) for p in sig.parameters.values()]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_introspected_signature_matches_the_declared_one(passport, name):
    native = inspect.signature(getattr(passport, name))
    reference = inspect.signature(_ref(name))
    assert str(native) == str(reference)
    assert _param_table(native) == _param_table(reference)
    assert native.return_annotation == reference.return_annotation


@pytest.mark.parametrize("name", FUNCTIONS)
def test_annotations_are_kept_as_source_text(passport, name):
    got = inspect.get_annotations(getattr(passport, name))
    want = _ref(name).__annotations__
    assert list(got.items()) == list(want.items())
    assert all(type(v) is str for v in got.values())


@pytest.mark.parametrize(
    "name, parameter, default",
    [
        ("resolve_keys_from_wellknown", "timeout", 6.0),
        ("fetch_crl", "timeout", 6.0),
        ("resolve_keys_from_wellknown", "fetch", None),
        ("fetch_crl", "fetch", None),
        ("verify_passport", "require_revocation_check", True),
        ("verify_passport", "issuer_keys", None),
        ("load_credential", "source", None),
        ("a2a_message_metadata", "metadata", None),
    ],
)
def test_defaults_are_the_declared_objects(passport, name, parameter, default):
    got = inspect.signature(getattr(passport, name)).parameters[parameter].default
    assert got == default
    assert type(got) is type(default)


@pytest.mark.parametrize(
    "name, undeclared",
    [
        ("verify_passport", {"issuer_keys", "crl"}),
        ("resolve_keys_from_wellknown", {"fetch"}),
        ("fetch_crl", {"fetch"}),
        ("_get_json", {"fetch"}),
        ("_resolve_key", {"issuer_keys", "kid", "issuer_did"}),
        ("_coerce_key", {"value"}),
        ("_revoked_ids", {"crl"}),
        ("_load_crypto", {"return"}),
    ],
)
def test_undeclared_parameters_carry_no_annotation(passport, name, undeclared):
    assert not undeclared & set(inspect.get_annotations(getattr(passport, name)))


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_names_record_the_full_module(passport, name):
    fn = getattr(passport, name)
    assert fn.__module__ == MODULE_NAME
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert callable(fn)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_pickle_by_reference_like_python_functions(passport, name):
    fn = getattr(passport, name)
    assert pickle.loads(pickle.dumps(fn)) is fn


# name -> (how the documentation begins, or None for none; the points the
# rest makes, in order; its shape: "line" (one line), "exact" (only the
# beginning), "long" (several paragraphs) or "" (no constraint)).
FUNCTION_DOCS = {
    "decode_passport": ("Parse a credential envelope without verifying it. Raises :class:`PassportError`.", [], ""),
    "verify_passport": ("Verify a passport OFFLINE and return a :class:`PassportVerdict`.", [], "long"),
    "kid_for_key": ("The key id an issuer publishes for a public key: ``sha256(pk)[:16]`` (hex).", [], ""),
    "resolve_keys_from_wellknown": (
        "Fetch ``<issuer_url>/.well-known/pqc-keys.json`` and return ``{kid: pk_bytes}``.",
        ["online", "offline", "pin", "verify_passport", "fetch", "http"],
        "long",
    ),
    "fetch_crl": ("Fetch the revocation list ``<issuer_url>/passport/crl/<kid>.json``.", [], "line"),
    "load_credential": (
        "Load an agent's own passport credential.",
        ["source", "path", "file", "environment", ("PASSPORT_ENV_VAR", "QUORVEL_AGENT_PASSPORT")],
        "",
    ),
    "x402_headers": ("HTTP header(s) that present a passport on an x402 request.", [], "exact"),
    "a2a_message_metadata": (
        "Return A2A message metadata carrying the passport under a namespaced key.",
        ["metadata", "copy", "mutat", "fresh"],
        "",
    ),
    "_load_crypto": ("Lazily import the stock verification primitives.", [], ""),
    "_coerce_key": ("Accept a Falcon public key as raw bytes or (standard or url-safe) base64 text.", [], ""),
    "_revoked_ids": ("Normalise a CRL argument to a set of revoked passport ids, or None if absent.", [], ""),
    **{name: (None, [], "") for name in ["_b64u_decode", "_b64u_encode", "_is_expired", "_resolve_key", "_get_json"]},
}


def _find_in_order(text: str, anchors) -> list:
    """Anchors that do not occur in ``text`` in the given order.

    An anchor is a text or a tuple of alternative texts. Upper-case anchors
    (names such as PRESENT or RFC 8785) match exactly, others ignoring case.
    """
    pos, missing = 0, []
    for anchor in anchors:
        hits = []
        for alt in anchor if isinstance(anchor, tuple) else (anchor,):
            haystack, needle = (text, alt) if alt.isupper() else (text.lower(), alt.lower())
            at = haystack.find(needle, pos)
            if at >= 0:
                hits.append((at, len(alt)))
        if hits:
            at, size = min(hits)
            pos = at + size
        else:
            missing.append(anchor)
    return missing


def _paragraphs(doc: str) -> list[str]:
    return [p for p in inspect.cleandoc(doc).split("\n\n") if p.strip()]


def test_every_function_has_a_documentation_entry(passport):
    assert sorted(FUNCTION_DOCS) == sorted(FUNCTIONS)


MODULE_DOC_FIRST_LINE = "quorvel_trellane.passport -- offline client for Quorvel Agent Passports."
MODULE_DOC_POINTS = [
    ("what a passport is", ["Falcon-1024", "FIPS 206", "DID", "scope", "spend", "expir", "operator"]),
    (
        "the two jobs",
        [
            "client",
            "PRESENT",
            "x402_headers",
            "a2a_message_metadata",
            "load_credential",
            "VERIFY",
            "verify_passport",
            "offline",
            "rfc8785",
            "pqcrypto",
            "standard library",
            "Quorvel",
        ],
    ),
    ("the credential format", ["base64url", "payload", "alg", "kid", "sig"]),
    ("signature and key binding", ["RFC 8785", "kid", ("SHA-256", "sha256"), "mismatch"]),
    (
        "the five outcomes",
        ["active", "revoked", "expired", "invalid", "unverifiable", ("fail-closed", "fail closed")],
    ),
]


# --------------------------------------------------------------------------
# Classes
# --------------------------------------------------------------------------

CLASS_DOCS = {
    "PassportError": "A passport credential is structurally malformed (not merely invalid).",
    "DecodedPassport": "The parsed envelope of a passport, before any cryptographic check.",
    "PassportVerdict": ("The outcome of verifying a passport. ``verified`` is True only for ``active``."),
}


@pytest.mark.parametrize("name", CLASSES)
def test_classes_record_the_full_module_and_plain_names(passport, name):
    cls = getattr(passport, name)
    assert isinstance(cls, type)
    assert cls.__module__ == MODULE_NAME
    assert cls.__name__ == name
    assert cls.__qualname__ == name


# Every docstring of the module in one table: the module's (its title line,
# then its five points in order), the functions' and the classes' (exact).
DOCS = {
    "module": (MODULE_DOC_FIRST_LINE, [a for _, point in MODULE_DOC_POINTS for a in point], ""),
    **FUNCTION_DOCS,
    **{name: (doc, [], "exact") for name, doc in CLASS_DOCS.items()},
}


@pytest.mark.parametrize("name, beginning, anchors, shape", [(n, *v) for n, v in sorted(DOCS.items())])
def test_documentation_begins_as_declared_and_makes_its_points(passport, name, beginning, anchors, shape):
    doc = (passport if name == "module" else getattr(passport, name)).__doc__
    if beginning is None:
        assert doc is None
        return
    assert isinstance(doc, str) and doc.startswith(beginning)
    assert _find_in_order(doc[len(beginning) :], anchors) == []
    if shape == "line":
        assert "\n" not in doc.strip()
    elif shape == "exact":
        assert inspect.cleandoc(doc) == beginning
    elif shape == "long":
        assert len(_paragraphs(doc)) >= 2


@pytest.mark.parametrize(
    "name, bases",
    [
        ("PassportError", (Exception,)),
        ("DecodedPassport", (object,)),
        ("PassportVerdict", (object,)),
    ],
)
def test_class_bases(passport, name, bases):
    assert getattr(passport, name).__bases__ == bases


def test_passport_error_is_not_a_record_and_carries_its_message(passport):
    assert not dataclasses.is_dataclass(passport.PassportError)
    err = passport.PassportError("credential must be a non-empty string")
    assert str(err) == "credential must be a non-empty string"
    assert err.args == ("credential must be a non-empty string",)


def _field_table(cls):
    return [
        (f.name, f.type, f.default, f.default_factory, f.init, f.repr, f.compare, f.kw_only)
        for f in dataclasses.fields(cls)
    ]


@pytest.mark.parametrize("name", ["DecodedPassport", "PassportVerdict"])
def test_records_are_frozen_dataclasses_with_the_declared_fields(passport, name):
    cls = getattr(passport, name)
    reference = _ref(name)
    assert dataclasses.is_dataclass(cls)
    assert _field_table(cls) == _field_table(reference)
    assert all(type(f.type) is str for f in dataclasses.fields(cls))


@pytest.mark.parametrize("name", ["DecodedPassport", "PassportVerdict"])
def test_record_options_are_frozen_and_otherwise_default(passport, name):
    params = getattr(passport, name).__dataclass_params__
    reference = _ref(name).__dataclass_params__
    for option in ("init", "repr", "eq", "order", "unsafe_hash", "frozen", "match_args", "kw_only", "slots"):
        assert getattr(params, option) == getattr(reference, option), option
    assert params.frozen is True


@pytest.mark.parametrize("name", ["DecodedPassport", "PassportVerdict"])
def test_record_constructor_signature_and_match_args(passport, name):
    cls = getattr(passport, name)
    reference = _ref(name)
    assert str(inspect.signature(cls)) == str(inspect.signature(reference))
    assert cls.__match_args__ == reference.__match_args__
    assert cls.__match_args__ == tuple(f.name for f in dataclasses.fields(cls))


def test_verdict_scopes_default_is_the_empty_tuple_itself(passport):
    scopes = {f.name: f for f in dataclasses.fields(passport.PassportVerdict)}["scopes"]
    assert scopes.default == () and type(scopes.default) is tuple
    assert scopes.default_factory is dataclasses.MISSING


@pytest.mark.parametrize("prop", ["agent_did", "issuer_did", "scopes"])
def test_decoded_passport_properties_are_read_only(passport, prop):
    attr = inspect.getattr_static(passport.DecodedPassport, prop)
    assert isinstance(attr, property)
    assert attr.fset is None and attr.fdel is None
    record = passport.DecodedPassport({"agent_did": "did:a"}, "", None, b"", b"")
    with pytest.raises(AttributeError):
        setattr(record, prop, "x")


def test_verdict_defines_its_own_truth_value(passport):
    assert "__bool__" in vars(passport.PassportVerdict)
    assert "__bool__" not in vars(passport.DecodedPassport)


@pytest.mark.parametrize(
    "name, args",
    [
        ("PassportVerdict", (True, "active")),
        ("DecodedPassport", ({"a": 1}, "Falcon-1024", "0" * 16, b"s", b"{}")),
    ],
)
def test_assigning_a_record_field_raises_frozen_instance_error(passport, name, args):
    record = getattr(passport, name)(*args)
    field = dataclasses.fields(record)[0].name
    with pytest.raises(dataclasses.FrozenInstanceError):
        setattr(record, field, None)
    with pytest.raises(dataclasses.FrozenInstanceError):
        delattr(record, field)


def test_replace_builds_a_new_verdict_and_leaves_the_old_one(passport):
    old = passport.PassportVerdict(verified=True, status="active", agent_did="did:a", scopes=("pay",), kid="k")
    new = dataclasses.replace(old, verified=False, status="revoked", error_code="REVOKED")
    assert type(new) is passport.PassportVerdict
    assert (new.verified, new.status, new.error_code) == (False, "revoked", "REVOKED")
    assert (new.agent_did, new.scopes, new.kid) == ("did:a", ("pay",), "k")
    assert (old.verified, old.status, old.error_code) == (True, "active", None)


def test_replace_on_a_decoded_passport_keeps_the_payload_object(passport):
    payload = {"agent_did": "did:a"}
    old = passport.DecodedPassport(payload, "Falcon-1024", None, b"s", b"b")
    new = dataclasses.replace(old, kid="k")
    assert new.kid == "k" and new.payload is payload and old.kid is None


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_verdict_survives_a_pickle_round_trip(passport, protocol):
    verdict = passport.PassportVerdict(
        verified=False,
        status="active",
        agent_did="did:a",
        scopes=("pay", "read"),
        spend_limit_microusd=25_000_000,
        spend_window="P1D",
        issuer_did="did:i",
        kid="0123456789abcdef",
        issued_at="2026-01-01T00:00:00Z",
        expires_at="2099-01-01T00:00:00Z",
        error_code="SCOPE_NOT_GRANTED",
        error_message="scope 'x' not granted",
    )
    back = pickle.loads(pickle.dumps(verdict, protocol=protocol))
    assert type(back) is passport.PassportVerdict
    assert back == verdict and hash(back) == hash(verdict)


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_decoded_passport_and_error_survive_a_pickle_round_trip(passport, protocol):
    decoded = passport.DecodedPassport({"a": [1]}, "Falcon-1024", None, b"s", b"b")
    back = pickle.loads(pickle.dumps(decoded, protocol=protocol))
    assert type(back) is passport.DecodedPassport and back == decoded
    err = pickle.loads(pickle.dumps(passport.PassportError("bad"), protocol=protocol))
    assert type(err) is passport.PassportError and str(err) == "bad"


# --------------------------------------------------------------------------
# Wrong calls: the host's TypeError, raised before any work
# --------------------------------------------------------------------------


class _Reached(Exception):
    """Raised by a trap: the function got past its argument check."""


class _Trap:
    """Stands in for a module name; any use of it is logged."""

    def __init__(self, name, log):
        object.__setattr__(self, "_trap_name", name)
        object.__setattr__(self, "_trap_log", log)

    def __call__(self, *args, **kwargs):
        self._trap_log.append(self._trap_name)
        raise _Reached(self._trap_name)

    def __getattr__(self, attr):
        self._trap_log.append(f"{self._trap_name}.{attr}")
        raise _Reached(self._trap_name)


def _fetch_trap(log):
    return _Trap("fetch", log)


# Each case: function, positional args, keyword args. A value "FETCH" is
# replaced by a trap standing in for a caller's fetcher.
BAD_CALLS = [
    # decode_passport(credential)
    ("decode_passport", (), {}),
    ("decode_passport", ("c", "d"), {}),
    ("decode_passport", ("c",), {"credentials": "d"}),
    ("decode_passport", (), {"credentials": "c"}),
    ("decode_passport", (), {"cred": "c"}),
    ("decode_passport", ("c",), {"credential": "d"}),
    # verify_passport(credential, *, ...)
    ("verify_passport", (), {}),
    ("verify_passport", ("c", {}), {}),
    ("verify_passport", ("c", None, None), {}),
    ("verify_passport", ("c", {}), {"crl": []}),
    ("verify_passport", ("c",), {"isuer_keys": {}}),
    ("verify_passport", ("c",), {"required_scopes": "pay"}),
    ("verify_passport", ("c",), {"expected_agent": "did:a"}),
    ("verify_passport", ("c",), {"require_revocation": False}),
    ("verify_passport", ("c",), {"timeout": 1.0}),
    ("verify_passport", (), {"issuer_keys": {}}),
    ("verify_passport", ("c",), {"credential": "d"}),
    # kid_for_key(public_key)
    ("kid_for_key", (), {}),
    ("kid_for_key", (b"k", b"k"), {}),
    ("kid_for_key", (), {"public_keys": b"k"}),
    ("kid_for_key", (), {"key": b"k"}),
    ("kid_for_key", (b"k",), {"public_key": b"k"}),
    # resolve_keys_from_wellknown(issuer_url, *, fetch=None, timeout=6.0)
    ("resolve_keys_from_wellknown", (), {}),
    ("resolve_keys_from_wellknown", ("https://i", "FETCH"), {}),
    ("resolve_keys_from_wellknown", ("https://i", "FETCH", 1.0), {}),
    ("resolve_keys_from_wellknown", ("https://i", "FETCH"), {"timeout": 1.0}),
    ("resolve_keys_from_wellknown", ("https://i",), {"fetcher": "FETCH"}),
    ("resolve_keys_from_wellknown", ("https://i",), {"fetch": "FETCH", "timout": 1.0}),
    ("resolve_keys_from_wellknown", (), {"issuer_uri": "https://i", "fetch": "FETCH"}),
    ("resolve_keys_from_wellknown", ("https://i",), {"issuer_url": "https://j", "fetch": "FETCH"}),
    # fetch_crl(issuer_url, kid, *, fetch=None, timeout=6.0)
    ("fetch_crl", (), {}),
    ("fetch_crl", ("https://i",), {"fetch": "FETCH"}),
    ("fetch_crl", ("https://i", "k", "FETCH"), {}),
    ("fetch_crl", ("https://i", "k", "FETCH", 1.0), {}),
    ("fetch_crl", ("https://i", "k", "FETCH"), {"timeout": 1.0}),
    ("fetch_crl", ("https://i",), {"kids": "k", "fetch": "FETCH"}),
    ("fetch_crl", ("https://i", "k"), {"fetch": "FETCH", "timeouts": 1.0}),
    ("fetch_crl", ("https://i", "k"), {"kid": "k", "fetch": "FETCH"}),
    ("fetch_crl", (), {"kid": "k", "fetch": "FETCH"}),
    # load_credential(source=None)
    ("load_credential", ("a", "b"), {}),
    ("load_credential", (), {"sources": "a"}),
    ("load_credential", (), {"path": "a"}),
    ("load_credential", ("a",), {"source": "b"}),
    # x402_headers(credential)
    ("x402_headers", (), {}),
    ("x402_headers", ("c", "d"), {}),
    ("x402_headers", (), {"credentials": "c"}),
    ("x402_headers", ("c",), {"credential": "d"}),
    # a2a_message_metadata(credential, metadata=None)
    ("a2a_message_metadata", (), {}),
    ("a2a_message_metadata", ("c", {}, {}), {}),
    ("a2a_message_metadata", ("c",), {"meta_data": {}}),
    ("a2a_message_metadata", ("c", {}), {"metadata": {}}),
    ("a2a_message_metadata", (), {"metadata": {}}),
    # _b64u_decode(s)
    ("_b64u_decode", (), {}),
    ("_b64u_decode", ("a", "b"), {}),
    ("_b64u_decode", (), {"text": "a"}),
    ("_b64u_decode", ("a",), {"s": "b"}),
    # _b64u_encode(b)
    ("_b64u_encode", (), {}),
    ("_b64u_encode", (b"a", b"b"), {}),
    ("_b64u_encode", (), {"data": b"a"}),
    ("_b64u_encode", (b"a",), {"b": b"b"}),
    # _load_crypto()
    ("_load_crypto", (1,), {}),
    ("_load_crypto", (None, None), {}),
    ("_load_crypto", (), {"name": "rfc8785"}),
    # _coerce_key(value)
    ("_coerce_key", (), {}),
    ("_coerce_key", (b"k", b"k"), {}),
    ("_coerce_key", (), {"values": b"k"}),
    ("_coerce_key", (b"k",), {"value": b"k"}),
    # _is_expired(expires_at, now)
    ("_is_expired", (), {}),
    ("_is_expired", ("2099-01-01T00:00:00Z",), {}),
    ("_is_expired", ("x", None, None), {}),
    ("_is_expired", ("x",), {"nowt": None}),
    ("_is_expired", (), {"expire_at": "x", "now": None}),
    ("_is_expired", ("x", None), {"now": None}),
    # _revoked_ids(crl)
    ("_revoked_ids", (), {}),
    ("_revoked_ids", ([], []), {}),
    ("_revoked_ids", (), {"crls": []}),
    ("_revoked_ids", ([],), {"crl": []}),
    # _resolve_key(issuer_keys, kid, issuer_did)
    ("_resolve_key", (), {}),
    ("_resolve_key", (None,), {}),
    ("_resolve_key", (None, None, None, None), {}),
    ("_resolve_key", (None, None), {"issuer_dids": None}),
    ("_resolve_key", (None, None, None), {"kid": None}),
    # _get_json(url, fetch, timeout)
    ("_get_json", (), {}),
    ("_get_json", ("https://i", "FETCH"), {}),
    ("_get_json", ("https://i", "FETCH", 1.0, None), {}),
    ("_get_json", ("https://i", "FETCH"), {"timout": 1.0}),
    ("_get_json", (), {"urls": "https://i", "fetch": "FETCH", "timeout": 1.0}),
    ("_get_json", ("https://i", "FETCH", 1.0), {"url": "https://j"}),
    # Several faults at once: the host reports them in its own order.
    ("decode_passport", ("c", "d"), {"foo": 1}),
    ("verify_passport", ("c", {}), {"credential": "d"}),
    ("verify_passport", ("c", {}), {"crl": [], "now": None}),
    ("verify_passport", ("c", {}, []), {"issuer_keys": {}}),
    ("verify_passport", (), {"not a name": 1}),
    ("fetch_crl", ("https://i", "k", "FETCH"), {"fetch": "FETCH"}),
    ("load_credential", ("a", "b"), {"source": "c"}),
    ("a2a_message_metadata", ("c", {}, {}), {"metadata": {}, "extra": 1}),
    ("_load_crypto", (1,), {"name": "rfc8785"}),
]


def _bad_call_id(case):
    name, args, kwargs = case
    parts = [repr(a) if a != "FETCH" else "fetch" for a in args]
    parts += [f"{k}=" + (repr(v) if v != "FETCH" else "fetch") for k, v in kwargs.items()]
    return f"{name}({', '.join(parts)})"


def _expected_type_error(name, args, kwargs) -> str:
    with pytest.raises(TypeError) as info:
        _ref(name)(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize("case", BAD_CALLS, ids=[_bad_call_id(c) for c in BAD_CALLS])
def test_bad_call_raises_the_hosts_type_error_before_any_work(passport, monkeypatch, case):
    name, args, kwargs = case
    function = getattr(passport, name)
    log: list = []
    args = tuple(_fetch_trap(log) if a == "FETCH" else a for a in args)
    kwargs = {k: _fetch_trap(log) if v == "FETCH" else v for k, v in kwargs.items()}
    expected = _expected_type_error(name, args, kwargs)
    for other in _own_names(passport):
        if other != name:
            monkeypatch.setattr(passport, other, _Trap(other, log))
    monkeypatch.setenv("QUORVEL_AGENT_PASSPORT", "from-the-environment")

    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)

    assert type(info.value) is TypeError
    assert str(info.value) == expected
    assert log == []


@contextlib.contextmanager
def _all_names_trapped(module, keep, log):
    saved = {name: getattr(module, name) for name in _own_names(module) if name != keep}
    try:
        for name in saved:
            setattr(module, name, _Trap(name, log))
        yield
    finally:
        for name, value in saved.items():
            setattr(module, name, value)


def _near_misses(names):
    out = set(names)
    for name in names:
        out |= {name + "s", name[:-1], name.replace("_", "")}
    return sorted(n for n in out if n)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_any_call_the_signature_refuses_fails_exactly_as_python_would(passport, data):
    name = data.draw(st.sampled_from(FUNCTIONS), label="function")
    reference = _ref(name)
    params = list(inspect.signature(reference).parameters)
    args = tuple(range(data.draw(st.integers(0, len(params) + 2), label="positional")))
    names = data.draw(
        st.lists(st.sampled_from(_near_misses(params) + ["x"]), unique=True, max_size=4),
        label="keywords",
    )
    kwargs = {key: index for index, key in enumerate(names)}
    try:
        inspect.signature(reference).bind(*args, **kwargs)
    except TypeError:
        pass
    else:
        assume(False)  # a call the signature accepts is not a wrong call
    expected = _expected_type_error(name, args, kwargs)
    function = getattr(passport, name)
    log: list = []
    with _all_names_trapped(passport, name, log):
        with pytest.raises(TypeError) as info:
            function(*args, **kwargs)
    assert (type(info.value), str(info.value)) == (TypeError, expected)
    assert log == []


def test_near_miss_keyword_gets_the_did_you_mean_suggestion(passport):
    with pytest.raises(TypeError) as info:
        passport.verify_passport("c", isuer_keys={})
    assert str(info.value).endswith(". Did you mean 'issuer_keys'?")


def test_bad_call_does_not_load_the_signature_primitives(passport, monkeypatch):
    calls = []
    monkeypatch.setattr(passport, "_load_crypto", lambda: calls.append(1))
    for call in (
        lambda: passport.verify_passport("c", {}),
        lambda: passport.decode_passport("c", "d"),
        lambda: passport.verify_passport("c", issuer_key={}),
    ):
        with pytest.raises(TypeError):
            call()
    assert calls == []


GOOD_KEYWORD_CALLS = [
    ("kid_for_key", {"public_key": b""}, hashlib.sha256(b"").hexdigest()[:16]),
    ("x402_headers", {"credential": "c"}, {"X-Agent-Passport": "c"}),
    ("_b64u_encode", {"b": b"\xfb\xff"}, "-_8"),
    ("_b64u_decode", {"s": "-_8"}, b"\xfb\xff"),
    ("_coerce_key", {"value": bytearray(b"k")}, b"k"),
    ("_revoked_ids", {"crl": None}, None),
    ("_resolve_key", {"issuer_keys": None, "kid": "k", "issuer_did": "d"}, None),
    ("_is_expired", {"expires_at": "", "now": datetime(2030, 1, 1, tzinfo=datetime_module.UTC)}, True),
    ("_get_json", {"url": "u", "fetch": lambda url: b'{"a": 1}', "timeout": "ignored"}, {"a": 1}),
    ("fetch_crl", {"issuer_url": "u", "kid": "k", "fetch": lambda url: b"{}", "timeout": 1}, {}),
    ("resolve_keys_from_wellknown", {"issuer_url": "u", "fetch": lambda url: b"{}"}, {}),
]


@pytest.mark.parametrize("name, kwargs, expected", GOOD_KEYWORD_CALLS, ids=[c[0] for c in GOOD_KEYWORD_CALLS])
def test_every_parameter_can_be_given_by_name(passport, name, kwargs, expected):
    assert getattr(passport, name)(**kwargs) == expected


def test_a2a_and_load_credential_accept_their_parameters_by_name(passport, tmp_path):
    got = passport.a2a_message_metadata(credential="c", metadata={"x": 1})
    assert got == {"x": 1, passport.A2A_PASSPORT_METADATA_KEY: "c"}
    path = tmp_path / "cred"
    path.write_text("cred-text\n", encoding="utf-8")
    assert passport.load_credential(source=str(path)) == "cred-text"


def test_verify_and_decode_accept_their_parameters_by_name(passport, issuer):
    cred = issuer.issue()
    assert passport.decode_passport(credential=cred).kid == issuer.kid
    verdict = passport.verify_passport(
        credential=cred,
        issuer_keys={issuer.kid: issuer.pk},
        crl={"revoked": []},
        required_scope="payments:write",
        expected_agent_did="did:web:agents.example.com:shopper-7",
        require_revocation_check=True,
        now=datetime(2030, 1, 1, tzinfo=datetime_module.UTC),
    )
    assert (verdict.verified, verdict.status, verdict.error_code) == (True, "active", None)


# --------------------------------------------------------------------------
# Import in a fresh interpreter
# --------------------------------------------------------------------------

LAZY_MODULES = ["rfc8785", "pqcrypto", "urllib.request", "pathlib", "http.client"]


def test_import_loads_only_the_standard_modules_it_binds():
    got = _run_fresh(
        f"""
        import json, sys
        lazy = {LAZY_MODULES!r}
        before = [m for m in lazy if m in sys.modules]
        events = []
        def hook(event, args):
            if event.startswith(("socket.", "urllib.", "subprocess.")):
                events.append(event)
            elif event == "open" and not str(args[0]).endswith((".py", ".pyc", ".so")):
                # Loading the standard modules opens their code; nothing else
                # may be read.
                events.append(f"open {{args[0]}}")
        sys.addaudithook(hook)
        import {MODULE_NAME}
        after = [m for m in lazy if m in sys.modules]
        std = [m for m in ("base64", "hashlib", "json", "dataclasses", "datetime")
               if m in sys.modules]
        p = sys.modules["{MODULE_NAME}"]
        import os
        os.environ[p.PASSPORT_ENV_VAR] = "cred"
        p.x402_headers(p.load_credential())
        p.a2a_message_metadata("cred", {{"x": 1}})
        p.kid_for_key(b"key")
        presenting = [m for m in lazy if m in sys.modules]
        print(json.dumps({{"before": before, "after": after, "std": std,
                          "events": events, "presenting": presenting}}))
        """
    )
    assert got["before"] == []
    assert got["after"] == []
    assert got["presenting"] == []
    assert got["std"] == ["base64", "hashlib", "json", "dataclasses", "datetime"]
    assert got["events"] == []


@pytest.mark.parametrize(
    "blocked",
    [["rfc8785", "pqcrypto"], ["rfc8785"], ["pqcrypto"], ["pqcrypto.sign.falcon_1024"]],
    ids=lambda b: "+".join(b),
)
def test_without_the_verification_dependencies_presenting_works_and_decoding_explains(blocked):
    envelope = {"payload": {"agent_did": "did:a"}, "alg": "Falcon-1024", "sig": "AAAA"}
    cred = b64u(json.dumps(envelope).encode())
    got = _run_fresh(
        f"""
        import json, os, sys
        for name in {blocked!r}:
            sys.modules[name] = None
        import {MODULE_NAME} as p
        out = {{}}
        out["headers"] = p.x402_headers("cred")
        out["kid"] = p.kid_for_key(b"abc")
        out["meta"] = p.a2a_message_metadata("cred", {{"x": 1}})
        os.environ[p.PASSPORT_ENV_VAR] = " cred\\n"
        out["loaded"] = p.load_credential()
        try:
            p.decode_passport({cred!r})
        except p.PassportError as e:
            out["error"] = [type(e).__name__, str(e),
                            isinstance(e.__cause__, ImportError)]
        v = p.verify_passport({cred!r})
        out["verdict"] = [v.verified, v.status, v.error_code, v.error_message]
        print(json.dumps(out))
        """
    )
    assert got["headers"] == {"X-Agent-Passport": "cred"}
    assert got["kid"] == hashlib.sha256(b"abc").hexdigest()[:16]
    assert list(got["meta"].items())[0] == ("x", 1) and len(got["meta"]) == 2
    assert got["loaded"] == "cred"
    assert got.get("error") == ["PassportError", INSTALL_HINT, True]
    assert got["verdict"] == [False, "invalid", "INVALID_CREDENTIAL", INSTALL_HINT]


def test_reload_never_runs_the_module_body_twice():
    got = _run_fresh(
        f"""
        import importlib, json
        import {MODULE_NAME} as p
        cls, fn = p.PassportVerdict, p.verify_passport
        try:
            again = importlib.reload(p)
        except Exception as e:
            print(json.dumps({{"raised": type(e).__name__}}))
        else:
            print(json.dumps({{"same_module": again is p,
                              "same_class": p.PassportVerdict is cls,
                              "same_function": p.verify_passport is fn}}))
        """
    )
    if "raised" not in got:
        assert got == {"same_module": True, "same_class": True, "same_function": True}


def test_importing_again_gives_the_same_module_object(passport):
    import quorvel_trellane.passport as again

    assert again is passport
    assert importlib.import_module(MODULE_NAME) is passport
    assert __import__(MODULE_NAME, fromlist=["x402_headers"]) is passport


# --------------------------------------------------------------------------
# pydoc
# --------------------------------------------------------------------------


def _squeeze(text: str) -> str:
    # pydoc folds a long signature over several lines; compare without
    # the layout whitespace (and the trailing comma the folding adds).
    return "".join(text.split()).replace(",)", ")")


def _rendered_signature(name):
    return _squeeze(f"{name}{inspect.signature(_ref(name))}")


def test_module_help_lists_every_public_function_with_its_signature(passport):
    text = _squeeze(pydoc.render_doc(passport, renderer=pydoc.plaintext))
    for name in PUBLIC_FUNCTIONS:
        assert _rendered_signature(name) in text, name
    for name in CLASSES:
        assert f"class{name}(" in text, name


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_help_shows_its_signature_and_documentation(passport, name):
    fn = getattr(passport, name)
    text = _squeeze(pydoc.render_doc(fn, renderer=pydoc.plaintext))
    assert _rendered_signature(name) in text
    if fn.__doc__:
        assert _squeeze(fn.__doc__.strip().splitlines()[0]) in text


# --------------------------------------------------------------------------
# Module names are looked up at every call
# --------------------------------------------------------------------------

NOW = datetime(2030, 1, 1, tzinfo=datetime_module.UTC)
REBIND_CASES = []


def _rebind_case(description):
    def register(fn):
        REBIND_CASES.append(pytest.param(fn, id=description))
        return fn

    return register


@_rebind_case("a substitute _load_crypto supplies the canonicaliser and verifier")
def _(p, monkeypatch, issuer):
    calls = []

    def verify(pk, message, sig):
        calls.append((pk, message, sig))
        return True

    canon = SimpleNamespace(dumps=lambda payload: b"substitute bytes")
    monkeypatch.setattr(p, "_load_crypto", lambda: (canon, verify))
    cred = issuer.issue(sig=b"not a signature")
    verdict = p.verify_passport(cred, issuer_keys=issuer.pk, crl=[], now=NOW)
    assert (verdict.status, verdict.error_code) == ("active", None)
    assert calls == [(issuer.pk, b"substitute bytes", b"not a signature")]
    assert p.decode_passport(cred).signed_bytes == b"substitute bytes"


@_rebind_case("a substitute verifier that refuses makes a genuine passport tampered")
def _(p, monkeypatch, issuer):
    import rfc8785

    monkeypatch.setattr(p, "_load_crypto", lambda: (rfc8785, lambda pk, m, s: False))
    verdict = p.verify_passport(issuer.issue(), issuer_keys=issuer.pk, crl=[], now=NOW)
    assert verdict.error_code == "TAMPERED_SIGNATURE"


@_rebind_case("a substitute _resolve_key decides the issuer key")
def _(p, monkeypatch, issuer):
    calls = []
    marker = object()

    def resolve(issuer_keys, kid, issuer_did):
        calls.append((issuer_keys, kid, issuer_did))
        return issuer.pk

    monkeypatch.setattr(p, "_resolve_key", resolve)
    verdict = p.verify_passport(issuer.issue(), issuer_keys=marker, crl=[], now=NOW)
    assert (verdict.status, verdict.error_code) == ("active", None)
    assert calls == [(marker, issuer.kid, "did:web:issuer.example.org")]


@_rebind_case("a substitute _is_expired decides expiry")
def _(p, monkeypatch, issuer):
    calls = []

    def is_expired(expires_at, now):
        calls.append((expires_at, now))
        return True

    monkeypatch.setattr(p, "_is_expired", is_expired)
    verdict = p.verify_passport(issuer.issue(), issuer_keys=issuer.pk, crl=[], now=NOW)
    assert (verdict.status, verdict.error_code) == ("expired", "EXPIRED")
    assert calls == [("2099-12-31T23:59:59Z", NOW)]


@_rebind_case("a substitute kid_for_key decides the key binding")
def _(p, monkeypatch, issuer):
    monkeypatch.setattr(p, "kid_for_key", lambda pk: "0" * 16)
    verdict = p.verify_passport(issuer.issue(), issuer_keys=issuer.pk, crl=[], now=NOW)
    assert verdict.error_code == "KID_KEY_MISMATCH"


@_rebind_case("a rebound PASSPORT_ENV_VAR names the variable that is read")
def _(p, monkeypatch, issuer):
    monkeypatch.setattr(p, "PASSPORT_ENV_VAR", "QT_SURFACE_OTHER_VAR")
    monkeypatch.setenv("QUORVEL_AGENT_PASSPORT", "from-the-usual-variable")
    monkeypatch.setenv("QT_SURFACE_OTHER_VAR", "  from-the-other-variable\n")
    assert p.load_credential() == "from-the-other-variable"
    monkeypatch.delenv("QT_SURFACE_OTHER_VAR")
    with pytest.raises(p.PassportError) as info:
        p.load_credential()
    assert str(info.value) == "no credential given and QT_SURFACE_OTHER_VAR is unset"


@_rebind_case("a substitute PassportVerdict builds every verdict, by keyword")
def _(p, monkeypatch, issuer):
    built = []

    def verdict(*args, **kwargs):
        built.append((args, kwargs))
        return ("substitute", len(built))

    monkeypatch.setattr(p, "PassportVerdict", verdict)
    assert p.verify_passport(issuer.issue(), issuer_keys=issuer.pk, crl=[], now=NOW) == (
        "substitute",
        1,
    )
    assert p.verify_passport("", now=NOW) == ("substitute", 2)
    assert all(args == () for args, _ in built)
    assert built[0][1]["verified"] is True and built[0][1]["status"] == "active"
    assert set(built[1][1]) == {"verified", "status", "error_code", "error_message"}


@_rebind_case("a substitute decode_passport is what verification decodes with")
def _(p, monkeypatch, issuer):
    def decode(credential):
        raise p.PassportError(f"substitute refused {credential}")

    monkeypatch.setattr(p, "decode_passport", decode)
    verdict = p.verify_passport(issuer.issue(), issuer_keys=issuer.pk, crl=[], now=NOW)
    assert verdict.error_code == "INVALID_CREDENTIAL"
    assert verdict.error_message.startswith("substitute refused ")


@_rebind_case("a substitute _revoked_ids decides revocation")
def _(p, monkeypatch, issuer):
    monkeypatch.setattr(p, "_revoked_ids", lambda crl: {"pp_01HZX3K9Q7T5"})
    verdict = p.verify_passport(issuer.issue(), issuer_keys=issuer.pk, crl=None, now=NOW)
    assert (verdict.status, verdict.error_code) == ("revoked", "REVOKED")


@_rebind_case("a rebound _ALG is the algorithm an envelope must name")
def _(p, monkeypatch, issuer):
    monkeypatch.setattr(p, "_ALG", "Falcon-512")
    verdict = p.verify_passport(issuer.issue(), issuer_keys=issuer.pk, crl=[], now=NOW)
    assert verdict.error_code == "UNSUPPORTED_ALG"
    assert verdict.error_message == "unsupported alg 'Falcon-1024'"


@_rebind_case("a rebound FALCON_1024_PUBLIC_KEY_BYTES is the required key size")
def _(p, monkeypatch, issuer):
    monkeypatch.setattr(p, "FALCON_1024_PUBLIC_KEY_BYTES", 1792)
    verdict = p.verify_passport(issuer.issue(), issuer_keys=issuer.pk, crl=[], now=NOW)
    assert verdict.error_code == "BAD_ISSUER_KEY"
    assert verdict.error_message == "issuer key is 1793 bytes, expected 1792"


@_rebind_case("rebound transport constants name the header and the metadata key")
def _(p, monkeypatch, issuer):
    monkeypatch.setattr(p, "X402_PASSPORT_HEADER", "X-Other-Passport")
    monkeypatch.setattr(p, "A2A_PASSPORT_METADATA_KEY", "example.test/other")
    assert p.x402_headers("c") == {"X-Other-Passport": "c"}
    assert p.a2a_message_metadata("c") == {"example.test/other": "c"}


@_rebind_case("a substitute _get_json is what retrieval fetches with")
def _(p, monkeypatch, issuer):
    calls = []

    def get_json(url, fetch, timeout):
        calls.append((url, fetch, timeout))
        return {"revoked": ["x"], "keys": []}

    monkeypatch.setattr(p, "_get_json", get_json)
    assert p.resolve_keys_from_wellknown("https://i.example/") == {}
    assert p.fetch_crl("https://i.example", "k", timeout=2) == {"revoked": ["x"], "keys": []}
    p.fetch_crl("https://i.example//", "k")
    assert calls == [
        ("https://i.example/.well-known/pqc-keys.json", None, 6.0),
        ("https://i.example/passport/crl/k.json", None, 2),
        ("https://i.example/passport/crl/k.json", None, 6.0),
    ]
    assert type(calls[0][2]) is float and type(calls[2][2]) is float


@_rebind_case("a substitute DecodedPassport builds the decoded record, by keyword")
def _(p, monkeypatch, issuer):
    built = []

    def record(*args, **kwargs):
        built.append((args, kwargs))
        return "substitute record"

    monkeypatch.setattr(p, "DecodedPassport", record)
    assert p.decode_passport(issuer.issue()) == "substitute record"
    ((args, kwargs),) = built
    assert args == ()
    assert set(kwargs) == {"payload", "alg", "kid", "sig", "signed_bytes"}


@_rebind_case("a substitute PassportError is the class raised")
def _(p, monkeypatch, issuer):
    class Substitute(Exception):
        pass

    monkeypatch.setattr(p, "PassportError", Substitute)
    with pytest.raises(Substitute) as info:
        p.decode_passport("")
    assert str(info.value) == "credential must be a non-empty string"


@_rebind_case("a substitute _coerce_key is what key resolution coerces with")
def _(p, monkeypatch, issuer):
    monkeypatch.setattr(p, "_coerce_key", lambda value: b"coerced " + repr(value).encode())
    assert p._resolve_key("text key", None, None) == b"coerced 'text key'"


@_rebind_case("a substitute _b64u_decode is what decoding reads text with")
def _(p, monkeypatch, issuer):
    envelope = json.dumps({"payload": {"a": 1}, "sig": "inner"}).encode()
    monkeypatch.setattr(p, "_b64u_decode", lambda s: envelope if s == "outer" else b"sig:" + s.encode())
    assert p.decode_passport("outer").sig == b"sig:inner"


@_rebind_case("a rebound json is what fetched documents are parsed with")
def _(p, monkeypatch, issuer):
    monkeypatch.setattr(p, "json", SimpleNamespace(loads=lambda body: {"parsed": body}))
    assert p._get_json("u", lambda url: b"[]", 1.0) == {"parsed": b"[]"}


@_rebind_case("a rebound hashlib is what key ids are hashed with")
def _(p, monkeypatch, issuer):
    digest = SimpleNamespace(hexdigest=lambda: "f" * 64)
    monkeypatch.setattr(p, "hashlib", SimpleNamespace(sha256=lambda data: digest))
    assert p.kid_for_key(b"x") == "f" * 16


@_rebind_case("a rebound base64 is what base64url text is written with")
def _(p, monkeypatch, issuer):
    monkeypatch.setattr(p, "base64", SimpleNamespace(urlsafe_b64encode=lambda b: b"QUJD=="))
    assert p._b64u_encode(b"zzz") == "QUJD"


@_rebind_case("a rebound datetime supplies the default verification time")
def _(p, monkeypatch, issuer):
    class Later(datetime):
        @classmethod
        def now(cls, tz=None):
            return datetime(2100, 1, 1, tzinfo=tz)

    monkeypatch.setattr(p, "datetime", Later)
    verdict = p.verify_passport(issuer.issue(), issuer_keys=issuer.pk, crl=[])
    assert verdict.error_code == "EXPIRED"


@_rebind_case("a rebound timezone is the zone expiry stamps are read in")
def _(p, monkeypatch, issuer):
    now = datetime(2098, 12, 31, 20, 0, tzinfo=datetime_module.UTC)
    assert p._is_expired("2099-01-01T00:00:00Z", now) is False
    plus_five = timezone(timedelta(hours=5))
    monkeypatch.setattr(p, "timezone", SimpleNamespace(utc=plus_five))
    assert p._is_expired("2099-01-01T00:00:00Z", now) is True


@_rebind_case("a rebound _TS_FMT is the pattern expiry stamps are read with")
def _(p, monkeypatch, issuer):
    monkeypatch.setattr(p, "_TS_FMT", "%Y/%m/%d")
    assert p._is_expired("2099/01/01", NOW) is False
    assert p._is_expired("2099-01-01T00:00:00Z", NOW) is True


@pytest.mark.parametrize("case", REBIND_CASES)
def test_rebinding_a_module_name_changes_the_next_call(passport, monkeypatch, issuer, case):
    case(passport, monkeypatch, issuer)


def test_genuine_passport_is_active_without_substitutes(passport, issuer):
    # The baseline the substitutes above are measured against.
    verdict = passport.verify_passport(issuer.issue(), issuer_keys=issuer.pk, crl=[], now=NOW)
    assert (verdict.verified, verdict.status) == (True, "active")
