"""The type stubs describe the native module exactly, and type-check clients.

The first tests compare passport.pyi with the live module without any type
checker; the rest need mypy (part of the test extra) and skip without it.
"""

from __future__ import annotations

import ast
import dataclasses
import importlib.util
import inspect
import os
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel_trellane
from quorvel_trellane import passport

ROOT = Path(__file__).resolve().parents[1]
# Type checkers read the stub in the checkout; stubtest compares it with the
# module this test run imports (the developer build or the installed copy).
PACKAGE_ROOT = Path(quorvel_trellane.__file__).resolve().parents[1]
STUB = ROOT / "src" / "quorvel_trellane" / "passport.pyi"
STUB_TREE = ast.parse(STUB.read_text(encoding="utf-8"))

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
CONSTANTS = [
    "FALCON_1024_PUBLIC_KEY_BYTES",
    "_ALG",
    "_TS_FMT",
    "X402_PASSPORT_HEADER",
    "A2A_PASSPORT_METADATA_KEY",
    "PASSPORT_ENV_VAR",
]


def stub_functions() -> dict[str, ast.FunctionDef]:
    return {n.name: n for n in STUB_TREE.body if isinstance(n, ast.FunctionDef)}


def stub_classes() -> dict[str, ast.ClassDef]:
    return {n.name: n for n in STUB_TREE.body if isinstance(n, ast.ClassDef)}


def stub_parameters(node: ast.FunctionDef) -> list[tuple[str, str, object]]:
    args = node.args
    positional = args.posonlyargs + args.args
    pos_defaults = [inspect.Parameter.empty] * (len(positional) - len(args.defaults)) + [
        ast.literal_eval(d) for d in args.defaults
    ]
    out = [(a.arg, "POSITIONAL_OR_KEYWORD", d) for a, d in zip(positional, pos_defaults, strict=True)]
    out += [
        (a.arg, "KEYWORD_ONLY", inspect.Parameter.empty if d is None else ast.literal_eval(d))
        for a, d in zip(args.kwonlyargs, args.kw_defaults, strict=True)
    ]
    return out


def runtime_parameters(func: object) -> list[tuple[str, str, object]]:
    return [(p.name, p.kind.name, p.default) for p in inspect.signature(func).parameters.values()]


def test_stub_declares_every_function_of_the_module_in_definition_order():
    assert list(stub_functions()) == FUNCTIONS
    assert all(callable(getattr(passport, name)) for name in FUNCTIONS)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_stub_signature_has_the_runtime_names_kinds_and_defaults(name):
    stubbed = stub_parameters(stub_functions()[name])
    actual = runtime_parameters(getattr(passport, name))
    assert stubbed == actual
    # 6.0, not 6: a float default must stay a float in both places.
    assert [type(d) for _, _, d in stubbed] == [type(d) for _, _, d in actual]


@pytest.mark.parametrize("name", CONSTANTS)
def test_stub_constants_carry_the_runtime_values(name):
    [node] = [
        n
        for n in STUB_TREE.body
        if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name) and n.target.id == name
    ]
    assert "Final" in ast.unparse(node.annotation)
    value = ast.literal_eval(node.value)
    assert value == getattr(passport, name)
    assert type(value) is type(getattr(passport, name))


@pytest.mark.parametrize("cls", ["DecodedPassport", "PassportVerdict"])
def test_stub_records_have_the_runtime_fields_defaults_and_properties(cls):
    node = stub_classes()[cls]
    fields = [
        (n.target.id, inspect.Parameter.empty if n.value is None else ast.literal_eval(n.value))
        for n in node.body
        if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)
    ]
    runtime = getattr(passport, cls)
    assert fields == [
        (f.name, inspect.Parameter.empty if f.default is dataclasses.MISSING else f.default)
        for f in dataclasses.fields(runtime)
    ]
    properties = [
        n.name
        for n in node.body
        if isinstance(n, ast.FunctionDef) and any(ast.unparse(d) == "property" for d in n.decorator_list)
    ]
    assert properties == [k for k, v in vars(runtime).items() if isinstance(v, property)]
    assert "dataclass(frozen=True)" in [ast.unparse(d) for d in node.decorator_list]


def test_stub_error_class_derives_from_exception_only():
    node = stub_classes()["PassportError"]
    assert [ast.unparse(b) for b in node.bases] == ["Exception"]
    assert passport.PassportError.__bases__ == (Exception,)


def test_typed_example_client_runs_against_the_real_module(tmp_path, capsys):
    spec = importlib.util.spec_from_file_location("typing_client", ROOT / "tests" / "typing_client.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module.main(tmp_path) == 0
    assert "Falcon-1024" in capsys.readouterr().out


# -- with mypy -----------------------------------------------------------------

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed (test extra)")


def run_mypy(*args: str, mypypath: Path, cache: Path) -> subprocess.CompletedProcess[str]:
    env = {**os.environ, "MYPYPATH": str(mypypath), "PYTHONPATH": str(PACKAGE_ROOT)}
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache), *args],
        capture_output=True,
        text=True,
        env=env,
        cwd=ROOT,
        timeout=300,
        check=False,
    )


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return tmp_path_factory.mktemp("mypy-cache")


@needs_mypy
def test_example_client_and_package_pass_mypy_strict(mypy_cache):
    result = run_mypy("tests/typing_client.py", "src/quorvel_trellane", mypypath=ROOT / "src", cache=mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = [
    ("second positional argument to verify", "passport.verify_passport('c', {})", "Too many positional"),
    ("third positional argument to fetch_crl", "passport.fetch_crl('u', 'k', None)", "Too many positional"),
    ("text given as key bytes", "passport.kid_for_key('abc')", "incompatible type"),
    ("assigning a verdict field", "v = passport.PassportVerdict(True, 'active')\nv.status = 'x'", "read-only"),
    ("assigning a decoded property", "d = passport.decode_passport('c')\nd.scopes = ()", "read-only"),
    (
        "verdict fields are optional text",
        "n: str = passport.PassportVerdict(True, 'active').error_code",
        "Incompatible types in assignment",
    ),
    ("header value is text", "h: dict[str, bytes] = passport.x402_headers('c')", "Incompatible types in assignment"),
    (
        "key map holds bytes",
        "k: dict[str, str] = passport.resolve_keys_from_wellknown('u')",
        "Incompatible types in assignment",
    ),
    ("arguments to the primitives loader", "passport._load_crypto(1)", "Too many arguments"),
    ("numeric time for now", "passport.verify_passport('c', now=5)", "incompatible type"),
    (
        "fetcher taking a timeout",
        "def f(u: str, t: float) -> bytes: ...\npassport.fetch_crl('u', 'k', fetch=f)",
        "incompatible type",
    ),
    (
        "trust options are keyword-only",
        "from quorvel_trellane.trust import IssuerTrust\nIssuerTrust('u', 'did')",
        "Too many positional",
    ),
    (
        "trust verify arguments",
        "from quorvel_trellane.trust import IssuerTrust\nIssuerTrust('u').verify('c', leeway='5')",
        "incompatible type",
    ),
    (
        "assigning a trust status field",
        "from quorvel_trellane.trust import IssuerTrust\nIssuerTrust('u').status().closed = True",
        "read-only",
    ),
    (
        "trust key map holds bytes",
        "from quorvel_trellane.trust import IssuerTrust\nk: dict[str, str] = IssuerTrust('u').keys()",
        "Incompatible types in assignment",
    ),
]


@needs_mypy
@pytest.mark.parametrize(("code", "error"), [m[1:] for m in MISUSE], ids=[m[0] for m in MISUSE])
def test_mypy_rejects_misuse_of_the_module(code, error, mypy_cache):
    program = "from quorvel_trellane import passport\n" + code + "\n"
    result = run_mypy("-c", program, mypypath=ROOT / "src", cache=mypy_cache)
    assert result.returncode == 1, program
    assert error in result.stdout


@needs_mypy
def test_stubtest_finds_the_stub_consistent_with_the_runtime(mypy_cache):
    env = {**os.environ, "MYPYPATH": str(ROOT / "src"), "PYTHONPATH": str(PACKAGE_ROOT)}
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quorvel_trellane.passport"],
        capture_output=True,
        text=True,
        env=env,
        cwd=ROOT,
        timeout=300,
        check=False,
    )
    assert result.returncode == 0, result.stdout + result.stderr


DRIFTS = [
    ("keyword-only lost", "kid: str, *, fetch", "kid: str, fetch", 'stub parameter "fetch" is not keyword-only'),
    (
        "default changed",
        "timeout: float = 6.0\n) -> dict[str, bytes]",
        "timeout: float = 5.0\n) -> dict[str, bytes]",
        "default value",
    ),
    ("parameter renamed", "def x402_headers(credential: str)", "def x402_headers(cred: str)", "differs from runtime"),
    (
        "function missing",
        "def kid_for_key(public_key: bytes | bytearray | memoryview) -> str: ...\n",
        "",
        "kid_for_key is not present in stub",
    ),
]


@needs_mypy
@pytest.mark.parametrize(("old", "new", "error"), [d[1:] for d in DRIFTS], ids=[d[0] for d in DRIFTS])
def test_stubtest_would_catch_a_stub_that_drifts(old, new, error, tmp_path):
    text = STUB.read_text(encoding="utf-8")
    assert old in text
    package = tmp_path / "quorvel_trellane"
    package.mkdir()
    (package / "__init__.pyi").write_text("")
    (package / "passport.pyi").write_text(text.replace(old, new, 1))
    env = {**os.environ, "MYPYPATH": str(tmp_path), "PYTHONPATH": str(PACKAGE_ROOT)}
    result = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "quorvel_trellane.passport"],
        capture_output=True,
        text=True,
        env=env,
        cwd=tmp_path,
        timeout=300,
        check=False,
    )
    assert result.returncode == 1
    assert error in result.stdout


# -- the middleware and client auth modules ------------------------------------

WIRE_CLIENT = """
from collections.abc import Iterable
from typing import Any

import httpx
from quorvel_trellane import asgi, wsgi
from quorvel_trellane.http import PassportAuth
from quorvel_trellane.passport import PassportVerdict


class Trust:
    def verify(self, credential: str, *, required_scope: str | None = None, leeway: float = 0.0) -> PassportVerdict:
        return PassportVerdict(False, "invalid")

    async def verify_async(self, credential: str, *, required_scope: str | None = None) -> PassportVerdict:
        return self.verify(credential, required_scope=required_scope)


async def app(scope: asgi.Scope, receive: asgi.Receive, send: asgi.Send) -> None: ...


def wsgi_app(environ: dict[str, Any], start_response: Any) -> Iterable[bytes]:
    return [b""]


def scope_of(scope: asgi.Scope) -> str | None:
    return "payments:x402" if scope["path"] == "/pay" else None


outer: asgi.ASGIApp = asgi.PassportMiddleware(app, trust=Trust(), required_scope=scope_of, optional=True)
wsgi.PassportMiddleware(wsgi_app, trust=Trust(), required_scope="payments:x402", header="X-Other")
httpx.Client(auth=PassportAuth())
httpx.AsyncClient(auth=PassportAuth("credential"))
hooked = PassportAuth("credential")
httpx.Client(auth=hooked, event_hooks=hooked.event_hooks, follow_redirects=True)
httpx.AsyncClient(auth=hooked, event_hooks=hooked.async_event_hooks, follow_redirects=True)
text: str = PassportAuth().credential
"""

WIRE_MISUSE = [
    ("a trust without verify_async", "asgi.PassportMiddleware(app, trust=object())", "incompatible type"),
    (
        "a trust whose verify takes no scope",
        "class T:\n    def verify(self, c: str) -> PassportVerdict: ...\nwsgi.PassportMiddleware(wsgi_app, trust=T())",
        "incompatible type",
    ),
    (
        "a scope callable returning a number",
        "asgi.PassportMiddleware(app, trust=Trust(), required_scope=lambda s: 5)",
        "incompatible",
    ),
    ("credential given as bytes", "PassportAuth(b'c')", "incompatible type"),
    ("the trust passed by position", "asgi.PassportMiddleware(app, Trust())", "Too many positional"),
]


@needs_mypy
def test_a_typed_server_and_agent_using_the_wire_modules_pass_mypy_strict(tmp_path, mypy_cache):
    (tmp_path / "wire_client.py").write_text(WIRE_CLIENT)
    result = run_mypy(str(tmp_path / "wire_client.py"), mypypath=ROOT / "src", cache=mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
@pytest.mark.parametrize(("code", "error"), [m[1:] for m in WIRE_MISUSE], ids=[m[0] for m in WIRE_MISUSE])
def test_mypy_rejects_misuse_of_the_wire_modules(code, error, tmp_path, mypy_cache):
    program = WIRE_CLIENT.split("\nouter:")[0] + "\n" + code + "\n"
    (tmp_path / "wire_misuse.py").write_text(program)
    result = run_mypy(str(tmp_path / "wire_misuse.py"), mypypath=ROOT / "src", cache=mypy_cache)
    assert result.returncode == 1, program
    assert error in result.stdout


# -- the framework adapters ----------------------------------------------------

ADAPTERS_CLIENT = """
from typing import Any

from a2a.server.agent_execution import AgentExecutor, RequestContext
from a2a.server.events import EventQueue
from a2a.types import AgentExtension
from django.http import HttpRequest, HttpResponse  # type: ignore[import-untyped]
from fastapi import FastAPI, Security
from flask import Flask
from starlette.requests import Request
from starlette.responses import JSONResponse

from quorvel_trellane import a2a, django, fastapi, flask, starlette
from quorvel_trellane.passport import PassportVerdict
from quorvel_trellane.trust import IssuerTrust

trust = IssuerTrust("https://issuer.example")
api = FastAPI(exception_handlers=fastapi.exception_handlers)


@api.get("/pay")
async def pay(verdict: PassportVerdict = Security(fastapi.require_passport(trust, scope="payments:x402"))) -> str | None:
    return verdict.agent_did


@starlette.requires("payments:x402")
async def pay_starlette(request: Request) -> JSONResponse:
    return JSONResponse({})


app = Flask(__name__)
flask.Passport(app, trust=trust)


@flask.passport_required(scope="payments:x402")
def pay_flask(order: int) -> str:
    return str(order)


@django.passport_required(scope="payments:x402")
def pay_django(request: HttpRequest, order: int) -> HttpResponse:
    return HttpResponse(str(order))


class Agent(AgentExecutor):
    async def execute(self, context: RequestContext, event_queue: EventQueue) -> None: ...
    async def cancel(self, context: RequestContext, event_queue: EventQueue) -> None: ...


executor: AgentExecutor = a2a.PassportExecutor(Agent(), trust=trust, required_scope="payments:x402")
extension: AgentExtension = a2a.passport_extension(issuers=["did:web:issuer.example"], scopes=["payments:x402"])
found: str | None = a2a.passport_from_a2a_message({"metadata": {}})
interceptor = a2a.PassportInterceptor(header=None)
middleware = starlette.passport_middleware(trust)
"""

ADAPTERS_MISUSE = [
    ("a Flask view called with the wrong argument", "pay_flask('1')", "incompatible type"),
    ("a Django view called without its own arguments", "pay_django(5)", "Missing positional argument"),
    ("an A2A executor wrapping no executor", "a2a.PassportExecutor(object(), trust=trust)", "incompatible type"),
    ("a scope given as a list to the dependency", "fastapi.require_passport(trust, scope=['a'])", "incompatible type"),
    ("a Starlette backend given no trust", "starlette.PassportBackend(None)", "incompatible type"),
]


@needs_mypy
def test_a_typed_application_using_each_adapter_passes_mypy_strict(tmp_path, mypy_cache):
    (tmp_path / "adapters_client.py").write_text(ADAPTERS_CLIENT)
    result = run_mypy(str(tmp_path / "adapters_client.py"), mypypath=ROOT / "src", cache=mypy_cache)
    assert result.returncode == 0, result.stdout + result.stderr


@needs_mypy
def test_mypy_rejects_each_misuse_of_the_adapters_on_its_own_line(tmp_path, mypy_cache):
    # One run for the whole table: each misuse on a line of its own, each error on its line.
    first = ADAPTERS_CLIENT.count("\n") + 1
    program = ADAPTERS_CLIENT + "".join(code + "\n" for _, code, _ in ADAPTERS_MISUSE)
    (tmp_path / "adapters_misuse.py").write_text(program)
    result = run_mypy(str(tmp_path / "adapters_misuse.py"), mypypath=ROOT / "src", cache=mypy_cache)
    errors: dict[int, str] = {}
    for line in result.stdout.splitlines():
        parts = line.split(":", 2)
        if len(parts) == 3 and parts[1].isdigit():
            errors[int(parts[1])] = errors.get(int(parts[1]), "") + parts[2]
    for offset, (name, _, error) in enumerate(ADAPTERS_MISUSE):
        assert error in errors.get(first + offset, ""), (name, result.stdout)
    assert set(errors) == set(range(first, first + len(ADAPTERS_MISUSE))), result.stdout
