"""The gateway's check: nginx → verifier → upstream against nginx → a bare app → upstream.

Run from the repository root (needs nginx, Debian's `wrk` and valgrind, and
the `bench` and `gateway` extras):

    PYTHONPATH=src .venv/bin/python bench/gateway.py [--rounds R] [--seconds S] [--requests N]

Two figures, one credential repeated on every request (an agent presenting
its passport again and again):

- Requests per second through nginx with the auth_request config of
  docs/gateways.md, its check sent to ``quorvel-passport serve`` (one
  process, uvicorn on uvloop and httptools), side by side with the same
  nginx sending its check to a bare ASGI application answering 200 under
  the same server (uvicorn, uvloop, httptools). The upstream is a location
  of the same nginx answering 200. nginx and the Python server are pinned to
  core 0, wrk to core 1; each round runs both, in a shuffled order, and the
  median over rounds is reported with the ratio.
- Instructions per check inside the Python server, counted with callgrind
  (``bench/instructions.py``'s method: a window of 2N checks less one of
  N, over N) on one keep-alive connection: the verifier's HTTP check, the
  bare application, the verifier's gRPC check (Envoy's
  ``Authorization/Check``) and a gRPC servicer answering a constant OK.
"""

from __future__ import annotations

import argparse
import asyncio
import http.client
import os
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import instructions  # the callgrind method
import rps  # the bare application, ports, wrk's own parsing

SCOPE = "orders:write"
CHECK = f"/check?scope={SCOPE}&price_microusd=0"
ISSUER_DID = "did:web:issuer.bench.example"


# -- the servers -------------------------------------------------------------------------------


def serve(kind: str, port: int, issuer_url: str) -> None:
    """One server process: ``verifier`` (HTTP), ``verifier-grpc``, ``bare`` (HTTP) or ``bare-grpc``."""
    if kind.startswith("verifier"):
        from quorvel_trellane.gateway import IssuerConfig, ServiceConfig
        from quorvel_trellane.gateway import serve as run

        address = f"127.0.0.1:{port}"
        grpc = kind == "verifier-grpc"
        listen = f"127.0.0.1:{rps.free_port()}" if grpc else address
        config = ServiceConfig((IssuerConfig(issuer_url, ISSUER_DID),), listen=listen, grpc=address if grpc else None)
        run(config)
        return
    if kind == "bare-grpc":
        asyncio.run(_bare_grpc(port))
        return
    import uvicorn
    import uvloop

    # The verifier's own server settings (gateway._serve), around the bare application.
    config = uvicorn.Config(
        rps._app, host="127.0.0.1", port=port, lifespan="off", access_log=False, log_level="warning"
    )
    asyncio.run(uvicorn.Server(config).serve(), loop_factory=uvloop.new_event_loop)


async def _bare_grpc(port: int) -> None:
    import grpc
    from envoy.service.auth.v3 import external_auth_pb2, external_auth_pb2_grpc
    from google.rpc import status_pb2

    allow = external_auth_pb2.CheckResponse(status=status_pb2.Status(code=0))

    class Constant:
        async def Check(self, request: Any, context: Any) -> Any:
            return allow

    server = grpc.aio.server()
    external_auth_pb2_grpc.add_AuthorizationServicer_to_server(Constant(), server)
    server.add_insecure_port(f"127.0.0.1:{port}")
    await server.start()
    await server.wait_for_termination()


class Counted(instructions.Counted):
    """A server process of this script under callgrind."""

    def __init__(self, args: list[str], directory: Path) -> None:
        command = ["valgrind", "--tool=callgrind", "--instr-atstart=no", f"--callgrind-out-file={directory}/cg.%p"]
        self.directory = directory
        self.process = subprocess.Popen([*command, sys.executable, __file__, *args], stderr=subprocess.DEVNULL)
        self._dumps = 0


def _http_checks(port: int, credential: str) -> Any:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=600)

    def send(n: int) -> None:
        for _ in range(n):
            connection.request("GET", CHECK, headers={"X-Agent-Passport": credential})
            response = connection.getresponse()
            response.read()
            if response.status != 200:
                raise SystemExit(f"the check answered {response.status}")

    return send


def _grpc_checks(port: int, credential: str) -> Any:
    import grpc
    from envoy.service.auth.v3 import external_auth_pb2, external_auth_pb2_grpc

    stub = external_auth_pb2_grpc.AuthorizationStub(grpc.insecure_channel(f"127.0.0.1:{port}"))
    request = external_auth_pb2.CheckRequest()
    request.attributes.request.http.headers["x-agent-passport"] = credential
    request.attributes.context_extensions.update({"scope": SCOPE, "price_microusd": "0"})

    def send(n: int) -> None:
        for _ in range(n):
            if stub.Check(request, timeout=600).status.code != 0:
                raise SystemExit("the gRPC check refused")

    return send


def instruction_figures(issuer_url: str, credential: str, n: int, directory: Path) -> dict[str, float]:
    figures: dict[str, float] = {}
    for kind in ("bare", "verifier", "bare-grpc", "verifier-grpc"):
        port = rps.free_port()
        counted = Counted(["--serve", kind, "--port", str(port), "--issuer", issuer_url], directory)
        try:
            rps.wait_for(port, deadline=600.0)
            send = (_grpc_checks if "grpc" in kind else _http_checks)(port, credential)
            send(20)  # uninstrumented warm-up: imports done, the memo filled
            counted.instrument()
            send(20)
            figures[kind] = counted.per_operation(send, n)[0]
        finally:
            counted.stop()
        print(f"  {kind:<16} {figures[kind]:>10,.0f} instructions/check", file=sys.stderr)
    return figures


# -- requests per second through nginx ---------------------------------------------------------


def _nginx_conf(directory: Path, gateways: dict[str, tuple[int, int]], upstream: int) -> Path:
    servers = [f"server {{ listen 127.0.0.1:{upstream}; location / {{ return 200 'ok'; }} }}"]
    for port, check in gateways.values():
        servers.append(
            f"server {{ listen 127.0.0.1:{port};"
            f" location / {{ auth_request /_check; proxy_pass http://127.0.0.1:{upstream}; }}"
            f" location = /_check {{ internal; proxy_pass http://127.0.0.1:{check}{CHECK};"
            ' proxy_pass_request_body off; proxy_set_header Content-Length ""; } }'
        )
    temps = " ".join(
        f"{kind}_temp_path {directory / kind};" for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi")
    )
    conf = directory / "nginx.conf"
    conf.write_text(
        f"daemon off; worker_processes 1; pid {directory / 'nginx.pid'}; error_log stderr error;\n"
        f"events {{}}\nhttp {{ access_log off; {temps}\n" + "\n".join(servers) + "\n}\n"
    )
    return conf


def _wrk(port: int, credential: str, seconds: float) -> float:
    out = subprocess.run(
        [
            "taskset",
            "-c",
            "1",
            "wrk",
            "-t1",
            "-c8",
            f"-d{max(1, round(seconds))}s",
            "-H",
            f"X-Agent-Passport: {credential}",
            f"http://127.0.0.1:{port}/orders",
        ],
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    if "Non-2xx" in out:
        raise SystemExit(f"refusals under load:\n{out}")
    return float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))  # type: ignore[union-attr]


def rps_figures(issuer_url: str, credential: str, rounds: int, seconds: float, directory: Path) -> dict[str, float]:
    pin = ["taskset", "-c", "0"]
    ports = {name: (rps.free_port(), rps.free_port()) for name in ("bare", "verifier")}
    upstream = rps.free_port()
    servers = [
        subprocess.Popen(
            [*pin, sys.executable, __file__, "--serve", name, "--port", str(check), "--issuer", issuer_url],
            stderr=subprocess.DEVNULL,
        )
        for name, (_, check) in ports.items()
    ]
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"
    gateway = subprocess.Popen([*pin, nginx, "-p", str(directory), "-c", str(_nginx_conf(directory, ports, upstream))])
    try:
        for _, (port, check) in ports.items():
            rps.wait_for(check)
            rps.wait_for(port)
            _wrk(port, credential, 1)  # warm: the memo filled, the key set held
        results: dict[str, list[float]] = {name: [] for name in ports}
        for _ in range(rounds):
            for name in random.sample(list(ports), len(ports)):
                results[name].append(_wrk(ports[name][0], credential, seconds))
        return {name: statistics.median(values) for name, values in results.items()}
    finally:
        for process in (gateway, *servers):
            process.terminate()
            process.wait(30)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--serve")
    parser.add_argument("--port", type=int)
    parser.add_argument("--issuer")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--requests", type=int, default=400)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve, args.port, args.issuer)
        return 0
    from quorvel_trellane import testing

    issuer = testing.Issuer(issuer_did=ISSUER_DID)
    credential = issuer.issue(scopes=[SCOPE])
    with testing.IssuerServer(issuer, lifetime=7200) as server, tempfile.TemporaryDirectory() as tmp:
        load = os.getloadavg()[0]
        per_second = rps_figures(server.url, credential, args.rounds, args.seconds, Path(tmp))
        ratio = per_second["verifier"] / per_second["bare"]
        print(
            f"requests/s through nginx: bare app {per_second['bare']:,.0f}, verifier {per_second['verifier']:,.0f}"
            f" (ratio {ratio:.3f}; load average {load:.1f} before, {os.getloadavg()[0]:.1f} after)"
        )
        counts = instruction_figures(server.url, credential, args.requests, Path(tmp))
        print(
            f"instructions per check: bare app {counts['bare']:,.0f}, verifier {counts['verifier']:,.0f}"
            f" (+{counts['verifier'] - counts['bare']:,.0f})"
        )
        print(
            f"instructions per gRPC check: constant servicer {counts['bare-grpc']:,.0f},"
            f" verifier {counts['verifier-grpc']:,.0f} (+{counts['verifier-grpc'] - counts['bare-grpc']:,.0f})"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
