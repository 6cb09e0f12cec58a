"""Trust material retrieval: one JSON document by URL, the issuer's
well-known key set and its revocation list, over a real HTTP server on
127.0.0.1 or through an injected fetcher."""

import base64
import http.client
import json
import socket
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import SimpleNamespace

import pytest

from quorvel_trellane import passport
from quorvel_trellane.testing import b64u

ISSUER = "https://issuer.example"
WELL_KNOWN = ISSUER + "/.well-known/pqc-keys.json"


def std_b64(raw: bytes) -> str:
    return base64.b64encode(raw).decode()


def serving(document):
    """A fetcher that serves one JSON document and records the URLs asked for."""

    def fetch(url):
        fetch.urls.append(url)
        return json.dumps(document).encode()

    fetch.urls = []
    return fetch


@pytest.fixture
def site():
    """An HTTP server on 127.0.0.1 serving `routes` (path -> (status, body, extra headers))."""
    routes, requests = {}, []

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            requests.append((self.command, self.path))
            status, body, headers = routes.get(self.path, (404, b"not found", {}))
            self.send_response(status)
            for name, value in headers.items():
                self.send_header(name, value)
            self.send_header("Content-Length", headers.get("X-Claimed-Length", str(len(body))))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    # A short poll: shutdown() at teardown waits for the loop to notice.
    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
    thread.start()

    def serve(path, body, status=200, **headers):
        if not isinstance(body, bytes):
            body = json.dumps(body).encode()
        routes[path] = (status, body, {k.replace("_", "-"): v for k, v in headers.items()})

    yield SimpleNamespace(url=f"http://127.0.0.1:{server.server_port}", serve=serve, requests=requests)
    server.shutdown()
    server.server_close()
    thread.join(5)


@pytest.fixture
def silent_url():
    """A listening socket that accepts connections into its backlog and never answers."""
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        sock.listen(8)
        yield f"http://127.0.0.1:{sock.getsockname()[1]}"


# --- the key document and its entries ------------------------------------

GOOD = bytes(range(64))
OTHER = bytes(range(64, 128))
# "++++" in the standard alphabet is "----" in the url-safe one; the
# non-strict decoder discards the dashes and keeps only "YWJj".
URL_SAFE_ORIGINAL = b"\xfb\xef\xbeabc"


def entry(kid="k1", key=GOOD, alg="Falcon-1024", **extra):
    e = {"alg": alg, "kid": kid, "public_key_b64": std_b64(key) if isinstance(key, bytes) else key}
    e.update(extra)
    return e


def mixed_key_document():
    return {
        "issuer": "did:web:issuer.example",
        "keys": [
            entry("good", GOOD),
            entry("wrong-alg", GOOD, alg="Ed25519"),
            entry("", GOOD),
            entry("broken", "QUJDRA="),
            entry("urlsafe", b64u(URL_SAFE_ORIGINAL)),
            entry("again", GOOD),
            entry("good-2", OTHER),
            entry("again", OTHER),
        ],
    }


MIXED_KEY_MAP = {"good": GOOD, "urlsafe": b"abc", "again": OTHER, "good-2": OTHER}


@pytest.mark.parametrize(
    "entries, expected",
    [
        pytest.param([entry()], {"k1": GOOD}, id="a well-formed entry is kept"),
        pytest.param([entry(alg="falcon-1024")], {}, id="alg differing only in case is skipped"),
        pytest.param([entry(alg="Falcon-1024 ")], {}, id="alg with trailing space is skipped"),
        pytest.param([{"kid": "k1", "public_key_b64": std_b64(GOOD)}], {}, id="missing alg is skipped"),
        pytest.param([entry(kid="")], {}, id="empty kid is skipped"),
        pytest.param([entry(kid=None)], {}, id="null kid is skipped"),
        pytest.param([entry(kid=0)], {}, id="zero kid is skipped"),
        pytest.param([{"alg": "Falcon-1024", "public_key_b64": std_b64(GOOD)}], {}, id="missing kid is skipped"),
        pytest.param([entry(key="")], {}, id="empty key text is skipped"),
        pytest.param([{"alg": "Falcon-1024", "kid": "k1"}], {}, id="missing key is skipped"),
        pytest.param([entry(key="QUJDRA=")], {}, id="broken padding is skipped"),
        pytest.param([entry(key=12345)], {}, id="non-text key is skipped"),
        pytest.param([entry(kid=7)], {"7": GOOD}, id="integer kid is stored as its text"),
        pytest.param([entry(key=b64u(URL_SAFE_ORIGINAL))], {"k1": b"abc"}, id="url-safe characters are discarded"),
        pytest.param([entry(key="AAEC\nAw==")], {"k1": b"\x00\x01\x02\x03"}, id="whitespace in key text is ignored"),
        pytest.param([entry(key=std_b64(b"short"))], {"k1": b"short"}, id="key length is not checked here"),
        pytest.param(
            [entry("a", GOOD), entry("b", OTHER), entry("a", OTHER)],
            {"a": OTHER, "b": OTHER},
            id="a repeated kid takes the later key",
        ),
        pytest.param([entry(7, GOOD), entry("7", OTHER)], {"7": OTHER}, id="integer and text kid are the same id"),
        pytest.param(
            [entry("a", "QUJDRA="), entry("b", OTHER)], {"b": OTHER}, id="a bad entry does not stop later entries"
        ),
        pytest.param([entry(note="ignored")], {"k1": GOOD}, id="extra entry members are ignored"),
    ],
)
def test_key_entries_are_filtered_one_by_one(entries, expected):
    assert passport.resolve_keys_from_wellknown(ISSUER, fetch=serving({"keys": entries})) == expected


def test_repeated_kid_keeps_its_first_position():
    doc = {"keys": [entry("a", GOOD), entry("b", GOOD), entry("a", OTHER)]}
    assert list(passport.resolve_keys_from_wellknown(ISSUER, fetch=serving(doc))) == ["a", "b"]


@pytest.mark.parametrize(
    "document",
    [
        pytest.param({}, id="empty object"),
        pytest.param({"keys": None}, id="null keys"),
        pytest.param({"keys": []}, id="empty keys"),
        pytest.param({"keys": 0}, id="zero keys"),
        pytest.param({"keys": ""}, id="empty text keys"),
        pytest.param({"keys": [entry(alg="RS256")]}, id="no usable entry"),
    ],
)
def test_document_without_usable_keys_gives_empty_map(document):
    assert passport.resolve_keys_from_wellknown(ISSUER, fetch=serving(document)) == {}


@pytest.mark.parametrize(
    "document, error",
    [
        pytest.param({"keys": 5}, TypeError, id="non-iterable keys"),
        pytest.param({"keys": True}, TypeError, id="true keys"),
        pytest.param({"keys": [entry(), "text"]}, AttributeError, id="text entry"),
        pytest.param({"keys": [entry(), 3]}, AttributeError, id="number entry"),
        pytest.param({"keys": [None]}, AttributeError, id="null entry"),
    ],
)
def test_malformed_document_fails_the_whole_call(document, error):
    with pytest.raises(error):
        passport.resolve_keys_from_wellknown(ISSUER, fetch=serving(document))


# --- URLs --------------------------------------------------------------


@pytest.mark.parametrize(
    "issuer_url, key_url, crl_url",
    [
        pytest.param(ISSUER, WELL_KNOWN, ISSUER + "/passport/crl/abcd.json", id="no trailing slash"),
        pytest.param(ISSUER + "/", WELL_KNOWN, ISSUER + "/passport/crl/abcd.json", id="one trailing slash"),
        pytest.param(ISSUER + "//", WELL_KNOWN, ISSUER + "/passport/crl/abcd.json", id="two trailing slashes"),
        pytest.param(
            ISSUER + "/tenant/a/",
            ISSUER + "/tenant/a/.well-known/pqc-keys.json",
            ISSUER + "/tenant/a/passport/crl/abcd.json",
            id="base path is kept",
        ),
        pytest.param(
            "https://issuer.example/a b?x=1",
            "https://issuer.example/a b?x=1/.well-known/pqc-keys.json",
            "https://issuer.example/a b?x=1/passport/crl/abcd.json",
            id="nothing is percent-encoded",
        ),
    ],
)
def test_fetcher_receives_exactly_the_built_url(issuer_url, key_url, crl_url):
    keys_fetch, crl_fetch = serving({}), serving({})
    passport.resolve_keys_from_wellknown(issuer_url, fetch=keys_fetch)
    passport.fetch_crl(issuer_url, "abcd", fetch=crl_fetch)
    assert keys_fetch.urls == [key_url]
    assert crl_fetch.urls == [crl_url]


class Kid:
    def __format__(self, format_spec):
        return "formatted"

    def __str__(self):
        return "plain"


@pytest.mark.parametrize(
    "kid, path",
    [
        pytest.param(42, "/passport/crl/42.json", id="integer kid gives its digits"),
        pytest.param("a/b?c", "/passport/crl/a/b?c.json", id="kid is inserted verbatim"),
        pytest.param(Kid(), "/passport/crl/formatted.json", id="other kid uses its formatted form"),
    ],
)
def test_crl_url_holds_the_kid_text(kid, path):
    fetch = serving({"revoked": []})
    passport.fetch_crl(ISSUER, kid, fetch=fetch)
    assert fetch.urls == [ISSUER + path]


@pytest.mark.parametrize(
    "issuer_url, error",
    [
        pytest.param(b"https://issuer.example", TypeError, id="bytes"),
        pytest.param(42, AttributeError, id="integer"),
        pytest.param(None, AttributeError, id="none"),
    ],
)
def test_issuer_url_must_be_text(issuer_url, error):
    with pytest.raises(error):
        passport.resolve_keys_from_wellknown(issuer_url, fetch=serving({}))
    with pytest.raises(error):
        passport.fetch_crl(issuer_url, "abcd", fetch=serving({}))


# --- the fetcher path -----------------------------------------------------


@pytest.mark.parametrize(
    "body",
    [
        pytest.param(b'{"revoked": ["p1"]}', id="utf-8 bytes"),
        pytest.param('{"revoked": ["p1"]}', id="text"),
        pytest.param(bytearray(b'{"revoked": ["p1"]}'), id="bytearray"),
        pytest.param('{"revoked": ["p1"]}'.encode("utf-16"), id="utf-16 bytes"),
        pytest.param('{"revoked": ["p1"]}'.encode("utf-32-le"), id="utf-32 bytes"),
    ],
)
def test_fetched_body_in_any_json_loadable_form_is_parsed(body):
    assert passport.fetch_crl(ISSUER, "abcd", fetch=lambda url: body) == {"revoked": ["p1"]}


def test_empty_json_object_gives_empty_dict():
    assert passport._get_json("https://x.example/doc", lambda url: b"{}", 6.0) == {}


@pytest.mark.parametrize("timeout", [0, -1, None, "soon", object()], ids=repr)
def test_timeout_is_ignored_when_a_fetcher_is_given(timeout):
    fetch = serving({"revoked": []})
    assert passport.fetch_crl(ISSUER, "k", fetch=fetch, timeout=timeout) == {"revoked": []}
    assert passport.resolve_keys_from_wellknown(ISSUER, fetch=fetch, timeout=timeout) == {}


class Refused(Exception):
    pass


class Halt(BaseException):
    pass


@pytest.mark.parametrize("error", [Refused("no route"), OSError("down"), Halt()], ids=repr)
def test_fetcher_errors_reach_the_caller_unchanged(error):
    def fetch(url):
        raise error

    for call in (
        lambda: passport.resolve_keys_from_wellknown(ISSUER, fetch=fetch),
        lambda: passport.fetch_crl(ISSUER, "k", fetch=fetch),
    ):
        with pytest.raises(type(error)) as caught:
            call()
        assert caught.value is error


def test_fetcher_is_given_only_the_url():
    with pytest.raises(TypeError):
        passport.resolve_keys_from_wellknown(ISSUER, fetch=lambda url, timeout: b"{}")


def test_falsy_fetcher_is_still_used():
    class Quiet:
        def __bool__(self):
            return False

        def __call__(self, url):
            return b'{"revoked": ["x"]}'

    assert passport.fetch_crl(ISSUER, "k", fetch=Quiet()) == {"revoked": ["x"]}


@pytest.mark.parametrize(
    "body",
    [
        pytest.param(b"[]", id="array"),
        pytest.param(b"null", id="null"),
        pytest.param(b"7", id="number"),
        pytest.param(b'"text"', id="string"),
        pytest.param(b"true", id="true"),
    ],
)
def test_non_object_document_raises_passport_error_naming_the_url(body):
    with pytest.raises(passport.PassportError) as caught:
        passport.resolve_keys_from_wellknown(ISSUER + "/", fetch=lambda url: body)
    assert str(caught.value) == WELL_KNOWN + " did not return a JSON object"
    assert caught.value.__cause__ is None


def test_non_json_body_raises_the_json_error():
    with pytest.raises(json.JSONDecodeError):
        passport.fetch_crl(ISSUER, "k", fetch=lambda url: b"<html>oops</html>")


def test_crl_document_is_returned_as_fetched(monkeypatch):
    document = {"unexpected": True}
    monkeypatch.setattr(passport, "_get_json", lambda url, fetch, timeout: document)
    assert passport.fetch_crl(ISSUER, "k") is document


# --- module names read at call time --------------------------------------


def test_rebound_get_json_receives_url_fetch_and_timeout(monkeypatch):
    seen = []

    def fake(*args):
        seen.append(args)
        return {"keys": [entry()]}

    monkeypatch.setattr(passport, "_get_json", fake)
    marker = object()
    assert passport.resolve_keys_from_wellknown(ISSUER, fetch=marker, timeout=1.5) == {"k1": GOOD}
    passport.fetch_crl(ISSUER, "k1")
    assert seen == [(WELL_KNOWN, marker, 1.5), (ISSUER + "/passport/crl/k1.json", None, 6.0)]
    assert type(seen[1][2]) is float


def test_rebound_alg_constant_selects_entries(monkeypatch):
    monkeypatch.setattr(passport, "_ALG", "Falcon-512")
    doc = {"keys": [entry("old"), entry("new", alg="Falcon-512")]}
    assert passport.resolve_keys_from_wellknown(ISSUER, fetch=serving(doc)) == {"new": GOOD}


@pytest.mark.parametrize(
    "decoder_error, skipped",
    [
        pytest.param(ValueError("bad"), True, id="an Exception skips the entry"),
        pytest.param(Halt(), False, id="an error outside Exception escapes"),
    ],
)
def test_key_decoding_guard_catches_only_exceptions(monkeypatch, decoder_error, skipped):
    def b64decode(text):
        if text == std_b64(OTHER):
            raise decoder_error
        return base64.b64decode(text)

    monkeypatch.setattr(passport, "base64", SimpleNamespace(b64decode=b64decode))
    doc = {"keys": [entry("a", OTHER), entry("b", GOOD)]}
    if skipped:
        assert passport.resolve_keys_from_wellknown(ISSUER, fetch=serving(doc)) == {"b": GOOD}
    else:
        with pytest.raises(Halt):
            passport.resolve_keys_from_wellknown(ISSUER, fetch=serving(doc))


def test_rebound_json_module_parses_the_body(monkeypatch):
    monkeypatch.setattr(passport, "json", SimpleNamespace(loads=lambda body: {"parsed": body}))
    assert passport._get_json("u", lambda url: b"raw", 6.0) == {"parsed": b"raw"}


# --- the standard opener against a real server ----------------------------


def test_served_key_document_gives_the_usable_keys_in_order(site):
    site.serve("/.well-known/pqc-keys.json", mixed_key_document())
    keys = passport.resolve_keys_from_wellknown(site.url + "/")
    assert keys == MIXED_KEY_MAP
    assert list(keys) == ["good", "urlsafe", "again", "good-2"]
    assert site.requests == [("GET", "/.well-known/pqc-keys.json")]


def test_served_crl_is_returned_unchanged(site):
    crl = {"revoked": ["p-1", "p-2"], "issued": "2026-01-01T00:00:00Z"}
    site.serve("/passport/crl/abcd.json", crl)
    assert passport.fetch_crl(site.url, "abcd") == crl
    assert site.requests == [("GET", "/passport/crl/abcd.json")]


def test_redirect_is_followed_by_the_standard_opener(site):
    site.serve("/passport/crl/old.json", b"", status=302, Location="/passport/crl/new.json")
    site.serve("/passport/crl/new.json", {"revoked": ["moved"]})
    assert passport.fetch_crl(site.url, "old") == {"revoked": ["moved"]}


def test_http_error_status_reaches_the_caller(site):
    with pytest.raises(urllib.error.HTTPError) as caught:
        passport.fetch_crl(site.url, "missing")
    caught.value.close()  # the error carries the open response
    assert caught.value.code == 404


@pytest.mark.parametrize(
    "body, error",
    [
        pytest.param(b"<html>maintenance</html>", json.JSONDecodeError, id="html page"),
        pytest.param(b"", json.JSONDecodeError, id="empty body"),
    ],
)
def test_served_non_json_body_raises_the_json_error(site, body, error):
    site.serve("/.well-known/pqc-keys.json", body, Content_Type="text/html")
    with pytest.raises(error):
        passport.resolve_keys_from_wellknown(site.url)


def test_served_top_level_array_names_the_url(site):
    site.serve("/.well-known/pqc-keys.json", [entry()])
    with pytest.raises(passport.PassportError, match=r"^.* did not return a JSON object$") as caught:
        passport.resolve_keys_from_wellknown(site.url)
    assert str(caught.value) == site.url + "/.well-known/pqc-keys.json did not return a JSON object"


def test_truncated_body_error_reaches_the_caller(site):
    site.serve("/passport/crl/k.json", b'{"revoked": [', X_Claimed_Length="500")
    with pytest.raises(http.client.IncompleteRead):
        passport.fetch_crl(site.url, "k")


def test_unanswered_request_times_out_in_bounded_time(silent_url):
    started = time.monotonic()
    with pytest.raises(TimeoutError):
        passport.fetch_crl(silent_url, "k", timeout=0.3)
    assert time.monotonic() - started < 5


@pytest.mark.parametrize(
    "url, error",
    [
        pytest.param("not a url", ValueError, id="no scheme"),
        pytest.param("gopher2://x/y", urllib.error.URLError, id="unknown scheme"),
    ],
)
def test_opener_errors_for_unusable_urls_reach_the_caller(url, error):
    with pytest.raises(error):
        passport._get_json(url, None, 1.0)


# --- the response is held as a context -------------------------------------


class Response:
    """Records the context protocol a with statement drives."""

    def __init__(self, log, body=b"{}", read_error=None, suppress=False):
        self.log, self.body, self.read_error, self.suppress = log, body, read_error, suppress

    def __enter__(self):
        self.log.append("enter")
        return self

    def read(self, *args):
        self.log.append(("read", args))
        if self.read_error is not None:
            raise self.read_error
        return self.body

    def __exit__(self, *exc):
        self.log.append(("exit", exc))
        return self.suppress


def open_with(monkeypatch, response):
    calls = []

    def urlopen(*args, **kwargs):
        calls.append((args, kwargs))
        return response

    monkeypatch.setattr(urllib.request, "urlopen", urlopen)
    return calls


def test_response_is_read_once_and_closed(monkeypatch):
    log = []
    calls = open_with(monkeypatch, Response(log, body=b'{"revoked": []}'))
    assert passport.fetch_crl(ISSUER, "k", timeout=2.5) == {"revoked": []}
    assert calls == [((ISSUER + "/passport/crl/k.json",), {"timeout": 2.5})]
    assert log == ["enter", ("read", ()), ("exit", (None, None, None))]


def test_response_is_closed_when_reading_fails(monkeypatch):
    log, failure = [], ConnectionResetError("peer went away")
    open_with(monkeypatch, Response(log, read_error=failure))
    with pytest.raises(ConnectionResetError) as caught:
        passport.fetch_crl(ISSUER, "k")
    assert caught.value is failure
    exc_type, exc, tb = log[-1][1]
    assert (exc_type, exc) == (ConnectionResetError, failure)
    chain = []
    walk = failure.__traceback__
    while walk is not None:
        chain.append(walk)
        walk = walk.tb_next
    assert tb in chain  # the traceback as it stood when __exit__ ran


def test_suppressed_read_error_yields_no_document(monkeypatch):
    open_with(monkeypatch, Response([], read_error=OSError("gone"), suppress=True))
    with pytest.raises(UnboundLocalError):
        passport.fetch_crl(ISSUER, "k")


def test_response_without_context_protocol_is_refused(monkeypatch):
    class Bare:
        def read(self):
            return b"{}"

    open_with(monkeypatch, Bare())
    with pytest.raises(TypeError, match="context manager protocol"):
        passport.fetch_crl(ISSUER, "k")


def test_http_client_is_loaded_only_when_no_fetcher_is_given():
    script = (
        "import sys\n"
        "from quorvel_trellane import passport\n"
        "passport.fetch_crl('https://x.example', 'k', fetch=lambda u: b'{}')\n"
        "assert 'urllib.request' not in sys.modules\n"
        "try:\n"
        "    passport.fetch_crl('nowhere', 'k')\n"
        "except ValueError:\n"
        "    pass\n"
        "assert 'urllib.request' in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True, env={"PYTHONPATH": ":".join(sys.path)})


# --- end to end: served trust material drives offline verification ----------


def test_served_keys_verify_and_served_crl_revokes(site, issuer):
    """Keys from the well-known document verify a real credential offline, and
    the served revocation list then revokes it."""
    kid = issuer.kid
    credential = issuer.issue({"passport_id": "pp-0001", "expires_at": "2099-01-01T00:00:00Z"})
    site.serve(
        "/.well-known/pqc-keys.json",
        {"keys": [entry("0000000000000000", OTHER), entry(kid, issuer.pk)]},
    )
    site.serve(f"/passport/crl/{kid}.json", {"revoked": []})

    keys = passport.resolve_keys_from_wellknown(site.url)
    assert keys[kid] == issuer.pk
    active = passport.verify_passport(credential, issuer_keys=keys, crl=passport.fetch_crl(site.url, kid))
    assert (active.status, active.verified, active.kid) == ("active", True, kid)

    site.serve(f"/passport/crl/{kid}.json", {"revoked": ["pp-0001"]})
    revoked = passport.verify_passport(credential, issuer_keys=keys, crl=passport.fetch_crl(site.url, kid))
    assert (revoked.status, revoked.error_code, revoked.verified) == ("revoked", "REVOKED", False)
