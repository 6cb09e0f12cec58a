"""Credential presentation: loading the agent's own credential from a file or
the environment, and wrapping it for x402 requests and A2A messages."""

import subprocess
import sys
from collections import OrderedDict

import pytest

from quorvel_trellane import passport

CRED = "eyJwYXlsb2FkIjp7fSwiYWxnIjoiRmFsY29uLTEwMjQifQ"
ENV = "QUORVEL_AGENT_PASSPORT"
UNSET_MESSAGE = "no credential given and QUORVEL_AGENT_PASSPORT is unset"


@pytest.fixture
def no_env(monkeypatch):
    monkeypatch.delenv(ENV, raising=False)


# --- loading from a file -----------------------------------------------------


@pytest.mark.parametrize(
    "content, expected",
    [
        pytest.param(CRED.encode(), CRED, id="bare credential"),
        pytest.param(CRED.encode() + b"\n", CRED, id="trailing newline"),
        pytest.param(CRED.encode() + b"\r\n", CRED, id="trailing CRLF"),
        pytest.param(b"  \t" + CRED.encode() + b"  \n\n", CRED, id="surrounding whitespace"),
        pytest.param(b"abc def\r\nghi\n", "abc def\nghi", id="inner whitespace stays, CRLF becomes LF"),
        pytest.param(b"\xef\xbb\xbf" + CRED.encode() + b"\n", "\ufeff" + CRED, id="byte-order mark is kept"),
        pytest.param(b"", "", id="empty file gives empty text"),
        pytest.param(b" \n\t\r\n", "", id="whitespace-only file gives empty text"),
        pytest.param("caf\u00e9".encode(), "caf\u00e9", id="utf-8 is decoded"),
    ],
)
def test_file_content_is_the_stripped_credential(tmp_path, monkeypatch, content, expected):
    monkeypatch.setenv(ENV, "from-the-environment")
    path = tmp_path / "passport.txt"
    path.write_bytes(content)
    assert passport.load_credential(str(path)) == expected
    assert passport.load_credential(source=path) == expected


@pytest.mark.parametrize(
    "content, error",
    [
        pytest.param(b"\xff\xfe" + CRED.encode("utf-16-le"), UnicodeDecodeError, id="utf-16 file"),
        pytest.param(b"caf\xe9", UnicodeDecodeError, id="latin-1 byte"),
    ],
)
def test_file_that_is_not_utf8_raises_the_decoding_error(tmp_path, monkeypatch, content, error):
    monkeypatch.setenv(ENV, CRED)
    path = tmp_path / "passport.txt"
    path.write_bytes(content)
    with pytest.raises(error):
        passport.load_credential(path)


@pytest.mark.parametrize(
    "make_source, error",
    [
        pytest.param(lambda tmp: tmp / "missing.txt", FileNotFoundError, id="missing file"),
        pytest.param(lambda tmp: tmp, IsADirectoryError, id="directory"),
        pytest.param(lambda tmp: str(tmp).encode(), TypeError, id="bytes path"),
        pytest.param(lambda tmp: 42, TypeError, id="integer"),
    ],
)
def test_unreadable_source_fails_without_falling_back_to_environment(tmp_path, monkeypatch, make_source, error):
    monkeypatch.setenv(ENV, CRED)
    with pytest.raises(error):
        passport.load_credential(make_source(tmp_path))


# --- loading from the environment ----------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        pytest.param(CRED, CRED, id="bare value"),
        pytest.param(f"  {CRED}\n", CRED, id="surrounding whitespace and newline"),
        pytest.param(f"{CRED}\r\n", CRED, id="trailing CRLF"),
    ],
)
@pytest.mark.parametrize("source", [None, "", 0, False], ids=repr)
def test_falsy_source_reads_the_environment(monkeypatch, value, expected, source):
    monkeypatch.setenv(ENV, value)
    assert passport.load_credential(source) == expected


def test_source_defaults_to_the_environment(monkeypatch):
    monkeypatch.setenv(ENV, CRED)
    assert passport.load_credential() == CRED


@pytest.mark.parametrize("value", [None, "", "   ", "\n\t\r\n"], ids=repr)
def test_empty_or_unset_variable_raises_passport_error(monkeypatch, value):
    if value is None:
        monkeypatch.delenv(ENV, raising=False)
    else:
        monkeypatch.setenv(ENV, value)
    with pytest.raises(passport.PassportError) as caught:
        passport.load_credential()
    assert str(caught.value) == UNSET_MESSAGE
    assert caught.value.__cause__ is None


def test_variable_name_is_read_from_the_module_at_each_call(monkeypatch, no_env):
    monkeypatch.setenv("OTHER_PASSPORT", " other \n")
    monkeypatch.setattr(passport, "PASSPORT_ENV_VAR", "OTHER_PASSPORT")
    assert passport.load_credential() == "other"
    monkeypatch.delenv("OTHER_PASSPORT")
    with pytest.raises(passport.PassportError, match="^no credential given and OTHER_PASSPORT is unset$"):
        passport.load_credential()


def test_rebound_passport_error_is_raised(monkeypatch, no_env):
    class Replacement(Exception):
        pass

    monkeypatch.setattr(passport, "PassportError", Replacement)
    with pytest.raises(Replacement, match=UNSET_MESSAGE):
        passport.load_credential()


def test_file_and_environment_modules_load_only_on_first_use():
    script = (
        "import sys, tempfile, os\n"
        "sys.modules.pop('pathlib', None)\n"
        "from quorvel_trellane import passport\n"
        "assert 'pathlib' not in sys.modules, 'imported at load'\n"
        "os.environ['QUORVEL_AGENT_PASSPORT'] = 'c'\n"
        "assert passport.load_credential() == 'c'\n"
        "assert 'pathlib' not in sys.modules, 'imported by the environment path'\n"
        "with tempfile.NamedTemporaryFile('w', delete=False) as f:\n"
        "    f.write('f\\n')\n"
        "assert passport.load_credential(f.name) == 'f'\n"
        "assert 'pathlib' in sys.modules\n"
        "os.unlink(f.name)\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True, env={"PYTHONPATH": ":".join(sys.path)})


# --- x402 headers -------------------------------------------------------------


@pytest.mark.parametrize("credential", [CRED, "", "not base64 at all", None, b"bytes"], ids=repr)
def test_x402_headers_carry_the_credential_object_unchanged(credential):
    headers = passport.x402_headers(credential)
    assert list(headers) == ["X-Agent-Passport"]
    assert headers["X-Agent-Passport"] is credential
    assert type(headers) is dict


def test_x402_headers_are_a_new_dict_each_call():
    first = passport.x402_headers(CRED)
    first["Other"] = "x"
    assert passport.x402_headers(CRED) == {"X-Agent-Passport": CRED}


def test_x402_header_name_is_read_from_the_module(monkeypatch):
    monkeypatch.setattr(passport, "X402_PASSPORT_HEADER", "X-Other")
    assert passport.x402_headers(CRED) == {"X-Other": CRED}


# --- A2A metadata ---------------------------------------------------------------

KEY = passport.A2A_PASSPORT_METADATA_KEY


def test_a2a_key_is_namespaced():
    assert KEY.endswith("/agent-passport") and len(KEY) > len("/agent-passport")


@pytest.mark.parametrize(
    "args",
    [
        pytest.param((), id="omitted"),
        pytest.param((None,), id="none"),
        pytest.param(({},), id="empty dict"),
        pytest.param(([],), id="empty list"),
        pytest.param((0,), id="zero"),
        pytest.param((False,), id="false"),
        pytest.param(("",), id="empty text"),
    ],
)
def test_falsy_metadata_gives_a_fresh_mapping(args):
    result = passport.a2a_message_metadata(CRED, *args)
    assert result == {KEY: CRED}
    assert type(result) is dict
    if args and isinstance(args[0], dict):
        assert result is not args[0] and args[0] == {}


@pytest.mark.parametrize(
    "metadata, expected_keys",
    [
        pytest.param({"trace": "t1", "hop": 2}, ["trace", "hop", KEY], id="entries first, passport last"),
        pytest.param({"a": 1, KEY: "old", "b": 2}, ["a", KEY, "b"], id="existing passport keeps its place"),
        pytest.param([("a", 1), ("b", 2)], ["a", "b", KEY], id="list of pairs"),
        pytest.param(OrderedDict([("z", 1), ("a", 2)]), ["z", "a", KEY], id="ordered mapping"),
    ],
)
def test_metadata_is_copied_with_the_passport_entry(metadata, expected_keys):
    before = list(metadata.items()) if isinstance(metadata, dict) else list(metadata)
    result = passport.a2a_message_metadata(CRED, metadata)
    assert list(result) == expected_keys
    assert result[KEY] is CRED
    assert type(result) is dict and result is not metadata
    after = list(metadata.items()) if isinstance(metadata, dict) else list(metadata)
    assert after == before


def test_metadata_values_are_shared_not_copied():
    nested = {"deep": [1, 2]}
    metadata = {"context": nested}
    result = passport.a2a_message_metadata(CRED, metadata=metadata)
    assert result["context"] is nested
    assert KEY not in metadata


def test_credential_object_itself_is_stored():
    credential = "".join(["abc", "def"])
    assert passport.a2a_message_metadata(credential)[KEY] is credential


@pytest.mark.parametrize(
    "metadata, error",
    [
        pytest.param(5, TypeError, id="integer"),
        pytest.param(True, TypeError, id="true"),
        pytest.param("ab", ValueError, id="text of non-pairs"),
        pytest.param([("a", 1, 2)], ValueError, id="triples"),
    ],
)
def test_unreadable_metadata_raises_the_dict_constructor_error(metadata, error):
    with pytest.raises(error):
        passport.a2a_message_metadata(CRED, metadata)


def test_metadata_key_is_read_from_the_module(monkeypatch):
    monkeypatch.setattr(passport, "A2A_PASSPORT_METADATA_KEY", "example.test/agent-passport")
    assert passport.a2a_message_metadata(CRED, {"x": 1}) == {"x": 1, "example.test/agent-passport": CRED}


def test_loaded_credential_round_trips_into_both_transports(tmp_path, no_env):
    path = tmp_path / "agent.passport"
    path.write_text(CRED + "\n", encoding="utf-8")
    credential = passport.load_credential(path)
    assert passport.x402_headers(credential) == {"X-Agent-Passport": CRED}
    assert passport.a2a_message_metadata(credential, {"task": "t"}) == {"task": "t", KEY: CRED}
