"""Requests per second of one app: unchecked, behind the passport middleware, behind a JWT check.

Run from the repository root (needs the `bench` extra and Debian's `wrk`):

    PYTHONPATH=src .venv/bin/python bench/rps.py [--rounds R] [--seconds S] [--distinct N]

Three copies of one ASGI application run under uvicorn (uvloop, httptools,
one process, no access log), each on its own port on 127.0.0.1 and all
pinned with taskset to core 0; wrk runs pinned to core 1. The application
answers every GET with a 15-byte JSON body: a bare ASGI callable, or with
``--app fastapi`` a one-route FastAPI application. In front of it:

- "unchecked": nothing, loaded twice: with requests that carry no passport
  ("no header") and with the passport header it never reads ("header
  unread": the server parses the same bytes as a checked one);
- "passport": ``quorvel_trellane.asgi.PassportMiddleware`` with a warm
  ``IssuerTrust`` (its key set and revocation list read once, at start, from
  files through an injected fetch) and a required scope;
- "jwt": the bearer check users write today with PyJWT: read
  ``Authorization: Bearer``, ``jwt.decode(token, key, algorithms=["EdDSA"],
  audience=...)`` with an Ed25519 public key, a scope claim checked, 401
  otherwise.

Each checked server is loaded twice: with one credential repeated on every
request (an agent presenting its passport, or its token, again and again)
and with distinct credentials, cycled from a pool larger than the
verifier's memo of genuine signatures, so that every passport is checked
in full. One wrk Lua script sends every load, reading its header values
from a file (one line for the repeated case). Each round runs every case
once, in a shuffled order, so that a slow spell of the shared machine hits
all alike; reported is the median over rounds of requests per second, and
the ratio to both unchecked baselines, with the machine's noise: each case's
spread over rounds (half its range over its median) and the load average
before and after. Beside it, the server process's CPU time
(user and system, from /proc) per request, which a busy machine disturbs
less than the rate: the share of core 0 that other processes take away
slows every case, but does not add CPU time to the server's requests.
"""

from __future__ import annotations

import argparse
import base64
import json
import os
import random
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import UTC, datetime, timedelta
from pathlib import Path
from typing import Any

SCOPE = "payments:x402"
AUDIENCE = "https://merchant.example"
HEADER = "X-Agent-Passport"
SERVER_CORE = "0"
LOAD_CORE = "1"

LUA = r"""
local values = {}
for line in io.lines(os.getenv("BENCH_VALUES")) do values[#values + 1] = line end
local header = os.getenv("BENCH_HEADER")
local i = 0
request = function()
  if header == "" then return wrk.format("GET", "/") end
  i = i + 1
  if i > #values then i = 1 end
  return wrk.format("GET", "/", {[header] = values[i]})
end
"""


# -- the servers ------------------------------------------------------------------


async def _app(scope: dict[str, Any], receive: Any, send: Any) -> None:
    if scope["type"] == "lifespan":
        while (await receive())["type"] != "lifespan.shutdown":
            await send({"type": "lifespan.startup.complete"})
        await send({"type": "lifespan.shutdown.complete"})
        return
    await send(
        {
            "type": "http.response.start",
            "status": 200,
            "headers": [(b"content-type", b"application/json"), (b"content-length", b"15")],
        }
    )
    await send({"type": "http.response.body", "body": b'{"agent":"ok"}\n'})


class JwtBearer:
    """A PyJWT EdDSA bearer check, as an ASGI middleware."""

    def __init__(self, app: Any, key: Any) -> None:
        import jwt

        self.app = app
        self.key = key
        self.jwt = jwt

    async def __call__(self, scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        token = None
        for name, value in scope["headers"]:
            if name == b"authorization" and value.startswith(b"Bearer "):
                token = value[7:].decode("latin-1")
        try:
            if token is None:
                raise self.jwt.InvalidTokenError("no token")
            claims = self.jwt.decode(token, self.key, algorithms=["EdDSA"], audience=AUDIENCE)
            if SCOPE not in claims.get("scope", "").split():
                raise self.jwt.InvalidTokenError("scope")
        except self.jwt.InvalidTokenError:
            await send(
                {
                    "type": "http.response.start",
                    "status": 401,
                    "headers": [(b"www-authenticate", b"Bearer"), (b"content-length", b"0")],
                }
            )
            await send({"type": "http.response.body", "body": b""})
            return
        await self.app(scope, receive, send)


def _fastapi_app() -> Any:
    from fastapi import FastAPI

    app = FastAPI()

    @app.get("/")
    async def root() -> dict[str, str]:
        return {"agent": "ok"}

    return app


def serve(kind: str, port: int, material: Path, application: str) -> None:
    import uvicorn

    app: Any = _app if application == "asgi" else _fastapi_app()
    if kind == "passport":
        from quorvel_trellane.asgi import PassportMiddleware
        from quorvel_trellane.trust import IssuerTrust

        def fetch(url: str) -> bytes:
            name = "keys.json" if url.endswith("/.well-known/pqc-keys.json") else "crl.json"
            return (material / name).read_bytes()

        trust = IssuerTrust("https://issuer.example", fetch=fetch)
        warm = (material / "passport-repeated.txt").read_text().strip()
        assert trust.verify(warm, required_scope=SCOPE).verified
        app = PassportMiddleware(app, trust=trust, required_scope=SCOPE)
    elif kind in ("given", "decoded"):
        # The breakdown: the middleware with a trust that answers a verdict
        # built beforehand, without ("given") or after ("decoded") decoding
        # the credential.
        from quorvel_trellane.asgi import PassportMiddleware
        from quorvel_trellane.passport import PassportVerdict, decode_passport

        verdict = PassportVerdict(verified=True, status="active", agent_did="did:web:agents.example:0", scopes=(SCOPE,))
        decode = kind == "decoded"

        class Given:
            async def verify_async(self, credential: str, *, required_scope: str | None = None) -> PassportVerdict:
                if decode:
                    decode_passport(credential)
                return verdict

        app = PassportMiddleware(app, trust=Given(), required_scope=SCOPE)
    elif kind == "jwt":
        from cryptography.hazmat.primitives.serialization import load_pem_public_key

        app = JwtBearer(app, load_pem_public_key((material / "jwt.pem").read_bytes()))
    uvicorn.run(
        app,
        host="127.0.0.1",
        port=port,
        loop="uvloop",
        http="httptools",
        log_level="warning",
        access_log=False,
        lifespan="on",
    )


# -- the credentials -----------------------------------------------------------------


def make_material(directory: Path, distinct: int) -> None:
    import jwt
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
    from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

    from quorvel_trellane.testing import Issuer

    issuer = Issuer(issuer_did="did:web:issuer.example")
    (directory / "keys.json").write_text(json.dumps(issuer.wellknown_document()))
    (directory / "crl.json").write_text(json.dumps(issuer.revocation_list()))

    def passport(i: int) -> str:
        return issuer.issue(
            agent_did=f"did:web:agents.example:{i}", scopes=[SCOPE, "catalog:read"], valid_for=timedelta(hours=6)
        )

    started = time.monotonic()
    passports = [passport(i) for i in range(distinct)]
    print(f"signed {distinct} distinct passports in {time.monotonic() - started:.0f} s", file=sys.stderr)
    (directory / "passport-repeated.txt").write_text(passports[0] + "\n")
    (directory / "passport-distinct.txt").write_text("\n".join(passports) + "\n")

    key = Ed25519PrivateKey.generate()
    (directory / "jwt.pem").write_bytes(key.public_key().public_bytes(Encoding.PEM, PublicFormat.SubjectPublicKeyInfo))
    now = datetime.now(UTC)

    def token(i: int) -> str:
        claims = {
            "sub": f"did:web:agents.example:{i}",
            "aud": AUDIENCE,
            "scope": f"{SCOPE} catalog:read",
            "iat": now,
            "exp": now + timedelta(hours=6),
            "jti": base64.urlsafe_b64encode(os.urandom(9)).decode(),
        }
        return "Bearer " + str(jwt.encode(claims, key, algorithm="EdDSA"))

    tokens = [token(i) for i in range(distinct)]
    (directory / "jwt-repeated.txt").write_text(tokens[0] + "\n")
    (directory / "jwt-distinct.txt").write_text("\n".join(tokens) + "\n")


# -- the load ----------------------------------------------------------------------------


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def wait_for(port: int, deadline: float = 60.0) -> None:
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    raise RuntimeError(f"server on port {port} did not start")


_TICK = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid: int) -> float:
    """User and system CPU time the process has used so far."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / _TICK


def load(
    port: int, values: Path, header: str, seconds: int, connections: int, script: Path, pid: int
) -> tuple[float, float, int]:
    """One wrk run: (requests/s, server CPU µs per request, non-2xx answers)."""
    env = {**os.environ, "BENCH_VALUES": str(values), "BENCH_HEADER": header}
    cpu_before = cpu_seconds(pid)
    out = subprocess.run(
        [
            "taskset",
            "-c",
            LOAD_CORE,
            "wrk",
            "-t1",
            f"-c{connections}",
            f"-d{seconds}s",
            "-s",
            str(script),
            f"http://127.0.0.1:{port}/",
        ],
        capture_output=True,
        text=True,
        env=env,
        check=True,
    ).stdout
    cpu = cpu_seconds(pid) - cpu_before
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))  # type: ignore[union-attr]
    count = int(re.search(r"(\d+) requests in", out).group(1))  # type: ignore[union-attr]
    bad = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    return rate, cpu / count * 1e6, int(bad.group(1)) if bad else 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=5)
    parser.add_argument("--connections", type=int, default=32)
    parser.add_argument(
        "--distinct",
        type=int,
        default=2800,
        help="distinct credentials cycled (more than twice what the signature memo keeps)",
    )
    parser.add_argument(
        "--material",
        type=Path,
        help="keep the keys and credentials in this directory and reuse them (valid for 6 hours)",
    )
    parser.add_argument(
        "--breakdown",
        action="store_true",
        help="also the middleware with a verdict given, and with decoding only (repeated credential)",
    )
    parser.add_argument(
        "--app",
        choices=["asgi", "fastapi"],
        default="asgi",
        help="the application: a bare ASGI callable (default) or a one-route FastAPI app",
    )
    parser.add_argument("--serve", nargs=4, metavar=("KIND", "PORT", "DIR", "APP"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve[0], int(args.serve[1]), Path(args.serve[2]), args.serve[3])
        return 0
    if shutil.which("wrk") is None:
        print("wrk is not installed (apt-get install wrk)", file=sys.stderr)
        return 2

    with tempfile.TemporaryDirectory(prefix="qt-http-bench-") as scratch:
        material = args.material or Path(scratch)
        material.mkdir(parents=True, exist_ok=True)
        tmp = str(material)
        made = material / "jwt-distinct.txt"
        if not made.exists() or len(made.read_text().splitlines()) != args.distinct:
            make_material(material, args.distinct)
        script = material / "values.lua"
        script.write_text(LUA)
        servers: dict[str, tuple[subprocess.Popen[bytes], int]] = {}
        try:
            kinds = ["unchecked", "passport", "jwt"] + (["given", "decoded"] if args.breakdown else [])
            for kind in kinds:
                port = free_port()
                process = subprocess.Popen(
                    ["taskset", "-c", SERVER_CORE, sys.executable, __file__, "--serve", kind, str(port), tmp, args.app],
                    env={**os.environ},
                    start_new_session=True,
                )
                servers[kind] = (process, port)
            for _, port in servers.values():
                wait_for(port)
            cases = {
                "unchecked, no header": ("unchecked", "passport-repeated.txt", ""),
                "unchecked, header unread": ("unchecked", "passport-repeated.txt", HEADER),
                "passport, one credential repeated": ("passport", "passport-repeated.txt", HEADER),
                "passport, distinct credentials": ("passport", "passport-distinct.txt", HEADER),
                "jwt EdDSA, one token repeated": ("jwt", "jwt-repeated.txt", "Authorization"),
                "jwt EdDSA, distinct tokens": ("jwt", "jwt-distinct.txt", "Authorization"),
            }
            if args.breakdown:
                cases["middleware, verdict given"] = ("given", "passport-repeated.txt", HEADER)
                cases["middleware, decoding only"] = ("decoded", "passport-repeated.txt", HEADER)
            # Warm every server (and uvicorn's first-request paths) before measuring.
            for kind, values, header in cases.values():
                load(servers[kind][1], material / values, header, 1, args.connections, script, servers[kind][0].pid)
            load_before = os.getloadavg()
            rates: dict[str, list[float]] = {name: [] for name in cases}
            costs: dict[str, list[float]] = {name: [] for name in cases}
            for round_number in range(args.rounds):
                order = list(cases)
                random.shuffle(order)
                for name in order:
                    kind, values, header = cases[name]
                    process, port = servers[kind]
                    rate, cost, bad = load(
                        port, material / values, header, args.seconds, args.connections, script, process.pid
                    )
                    if bad:
                        raise RuntimeError(f"{name}: {bad} refused requests")
                    rates[name].append(rate)
                    costs[name].append(cost)
                print(f"round {round_number + 1}/{args.rounds} done", file=sys.stderr)
        finally:
            for process, _ in servers.values():
                os.killpg(process.pid, signal.SIGTERM)
                process.wait(30)

    load_after = os.getloadavg()
    bare = statistics.median(rates["unchecked, no header"])
    base = statistics.median(rates["unchecked, header unread"])
    base_cost = statistics.median(costs["unchecked, header unread"])
    print(f"load average {load_before[0]:.2f} before, {load_after[0]:.2f} after, on {os.cpu_count()} cores")
    print(
        f"{'case':<36} {'req/s':>8} {'spread':>7} {'x no header':>11} {'x unread':>9}"
        f" {'CPU µs/req':>11} {'x unread':>9}"
    )
    for name, measured in rates.items():
        median, cost = statistics.median(measured), statistics.median(costs[name])
        spread = (max(measured) - min(measured)) / 2 / median
        print(
            f"{name:<36} {median:>8.0f} {spread:>6.0%} {median / bare:>11.2f} {median / base:>9.2f}"
            f" {cost:>11.1f} {base_cost / cost:>9.2f}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
