"""CPU instructions per request and per call, counted with callgrind: identical from run to run.

Run from the repository root (needs valgrind, and the `bench` extra):

    PYTHONPATH=src .venv/bin/python bench/instructions.py [--requests N] [--calls N] [--firsts N] [--calls-only]

Wall time on the project's shared 2-core machine swings by 2x; the count of
instructions a process executes does not. Every figure here is counted in
a process run under ``valgrind --tool=callgrind`` with instrumentation
switched on only once it is warm, and controlled from outside with
``callgrind_control``: counters zeroed, the work done, counters dumped.
Each figure is the difference between a window of 2N operations and one of
N, divided by N, so that what a window costs once (the control messages,
the client's first packet) cancels out.

The server: the bare ASGI application of ``bench/rps.py`` under uvicorn
(uvloop, httptools, one process, no access log), loaded over one keep-alive
loopback connection by a client in this process (not counted), in three
forms:

- "bare, no header": the application, requests without a passport;
- "bare, header unread": the application, requests carrying the passport
  header it never reads (the server parses the same bytes);
- "protected, one credential repeated": ``PassportMiddleware`` with a warm
  ``IssuerTrust`` (documents read once through an injected fetch, ttls that
  do not run out during the count) and a required scope;
- "protected, repeated, observer": the same with ``PrometheusMetrics`` as
  the trust's observer;
- "protected, distinct credentials": the same server as the first, every
  request carrying a passport it has never seen (a memo miss and a first
  verification each).

In one process, one call at a time:

- ``IssuerTrust.verify`` of one credential again and again (the warm trust);
- ``verify_passport`` of that credential with the same key and revocation
  set (its signature remembered by the module);
- ``verify_passport`` of credentials it has never seen (a first
  verification each), against ``rfc8785.dumps`` of each payload plus
  pqcrypto's Falcon-1024 ``verify`` of it: the two components.
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from datetime import timedelta
from pathlib import Path
from typing import Any

sys.path.insert(0, str(Path(__file__).resolve().parent))

import rps  # the bare application and its material

SCOPE = rps.SCOPE
HEADER = rps.HEADER
LONG = 1e9  # ttls and ages that never run out during a count


# -- the processes counted -----------------------------------------------------------------


class Counted:
    """A Python process under callgrind, instrumented from outside on demand."""

    def __init__(self, args: list[str], directory: Path, **popen: Any) -> None:
        self.directory = directory
        command = [
            "valgrind",
            "--tool=callgrind",
            "--instr-atstart=no",
            f"--callgrind-out-file={directory}/cg.%p",
            sys.executable,
            __file__,
            *args,
        ]
        self.process = subprocess.Popen(command, stderr=subprocess.DEVNULL, **popen)
        self._dumps = 0

    def _control(self, *options: str) -> None:
        subprocess.run(["callgrind_control", *options, str(self.process.pid)], check=True, capture_output=True)

    def instrument(self) -> None:
        self._control("--instr=on")

    def count(self, work: Any) -> int:
        """Instructions the process executes while ``work()`` runs (here)."""
        self._control("--zero")
        work()
        self._dumps += 1
        self._control(f"--dump=w{self._dumps}")
        dump = self.directory / f"cg.{self.process.pid}.{self._dumps}"
        for _ in range(600):
            if dump.exists():
                match = re.search(r"^totals: (\d+)", dump.read_text(), re.MULTILINE)
                if match:
                    return int(match.group(1))
            time.sleep(0.1)
        raise SystemExit(f"no callgrind dump {dump}")

    def per_operation(self, work: Any, n: int) -> tuple[float, int]:
        """Instructions per operation, (a window of 2n) - (a window of n) over n, and both windows' total."""
        single = self.count(lambda: work(n))
        double = self.count(lambda: work(2 * n))
        return (double - single) / n, single + double

    def stop(self) -> None:
        self.process.terminate()
        try:
            self.process.wait(60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


# -- the server side -------------------------------------------------------------------------


def serve(kind: str, port: int, material: Path) -> None:
    import uvicorn

    app: Any = rps._app
    if kind in ("protected", "observed"):
        from quorvel_trellane.asgi import PassportMiddleware
        from quorvel_trellane.trust import IssuerTrust

        observer = None
        if kind == "observed":
            from prometheus_client import CollectorRegistry

            from quorvel_trellane.observe import PrometheusMetrics

            observer = PrometheusMetrics(registry=CollectorRegistry())
        trust = IssuerTrust(
            "https://issuer.example",
            fetch=lambda url: (material / ("keys.json" if "pqc-keys" in url else "crl.json")).read_bytes(),
            key_ttl=LONG,
            key_max_stale=LONG,
            crl_ttl=LONG,
            crl_max_age=LONG,
            observer=observer,
        )
        warm = (material / "passport-repeated.txt").read_text().strip()
        assert trust.verify(warm, required_scope=SCOPE).verified
        app = PassportMiddleware(app, trust=trust, required_scope=SCOPE)
    uvicorn.run(
        app, host="127.0.0.1", port=port, loop="uvloop", http="httptools", log_level="warning", access_log=False
    )


def _requests(port: int, headers: dict[str, str], distinct: list[str] | None = None) -> Any:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=600)
    unseen = iter(distinct or ())

    def send(n: int) -> None:
        for _ in range(n):
            if distinct is not None:
                headers[HEADER] = next(unseen)
            connection.request("GET", "/", headers=headers)
            response = connection.getresponse()
            body = response.read()
            if response.status != 200:
                raise SystemExit(f"answered {response.status}: {body!r}")

    return send


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def server_figures(material: Path, directory: Path, n: int, n_distinct: int) -> dict[str, float]:
    credential = (material / "passport-repeated.txt").read_text().strip()
    distinct = (material / "passport-server.txt").read_text().split()
    cases: dict[str, tuple[str, dict[str, str], list[str] | None, int]] = {
        "bare, no header": ("bare", {}, None, n),
        "bare, header unread": ("bare", {HEADER: credential}, None, n),
        "protected, one credential repeated": ("protected", {HEADER: credential}, None, n),
        "protected, repeated, observer": ("observed", {HEADER: credential}, None, n),
        "protected, distinct credentials": ("protected", {HEADER: credential}, distinct, n_distinct),
    }
    figures: dict[str, float] = {}
    for name, (kind, headers, pool, count) in cases.items():
        port = _free_port()
        counted = Counted(["--serve", kind, "--port", str(port), "--material", str(material)], directory)
        try:
            rps.wait_for(port, deadline=600.0)
            send = _requests(port, headers, pool)
            send(20)  # uninstrumented warm-up: imports done, memo filled
            counted.instrument()
            send(20)
            figures[name] = counted.per_operation(send, count)[0]
        finally:
            counted.stop()
        print(f"  {name:<40} {figures[name]:>10,.0f} instructions/request", file=sys.stderr)
    return figures


# -- the calls ---------------------------------------------------------------------------------


def loops(material: Path) -> None:
    """Run the named loop on each line of stdin ("case n"), answering "ok" when done."""
    import rfc8785
    from pqcrypto.sign import falcon_1024

    from quorvel_trellane import passport
    from quorvel_trellane.trust import IssuerTrust

    documents = {
        "keys": (material / "keys.json").read_bytes(),
        "crl": (material / "crl.json").read_bytes(),
    }
    trust = IssuerTrust(
        "https://issuer.example",
        fetch=lambda url: documents["keys" if "pqc-keys" in url else "crl"],
        key_ttl=LONG,
        key_max_stale=LONG,
        crl_ttl=LONG,
        crl_max_age=LONG,
    )
    credential = (material / "passport-repeated.txt").read_text().strip()
    distinct = (material / "passport-distinct.txt").read_text().split()
    keys = trust.keys()
    revoked = frozenset(json.loads(documents["crl"])["revoked"])
    for _ in range(3):
        assert trust.verify(credential, required_scope=SCOPE).verified
        assert passport.verify_passport(credential, issuer_keys=keys, crl=revoked, required_scope=SCOPE).verified
    decoded = [passport.decode_passport(text) for text in distinct]
    pk = next(iter(keys.values()))
    # The four loops over distinct credentials take the same ones, in the
    # same order: a Falcon-1024 check's work varies from one signature to
    # the next.
    unseen = iter(distinct)
    parts = iter([(item.payload, item.sig) for item in decoded])
    payloads = iter([item.payload for item in decoded])
    signed = iter([(item.signed_bytes, item.sig) for item in decoded])
    verify_passport = passport.verify_passport
    dumps = rfc8785.dumps
    falcon_verify = falcon_1024.verify

    def warm_trust(n: int) -> None:
        for _ in range(n):
            trust.verify(credential, required_scope=SCOPE)

    def memoised(n: int) -> None:
        for _ in range(n):
            verify_passport(credential, issuer_keys=keys, crl=revoked, required_scope=SCOPE)

    def first(n: int) -> None:
        for _ in range(n):
            verify_passport(next(unseen), issuer_keys=keys, crl=revoked, required_scope=SCOPE)

    def components(n: int) -> None:
        for _ in range(n):
            payload, sig = next(parts)
            falcon_verify(pk, dumps(payload), sig)

    def canonical(n: int) -> None:
        for _ in range(n):
            dumps(next(payloads))

    def falcon(n: int) -> None:
        for _ in range(n):
            message, sig = next(signed)
            falcon_verify(pk, message, sig)

    cases = {
        "trust": warm_trust,
        "memoised": memoised,
        "first": first,
        "components": components,
        "canonical": canonical,
        "falcon": falcon,
    }
    for line in sys.stdin:
        name, n = line.split()
        cases[name](int(n))
        print("ok", flush=True)


def call_figures(material: Path, directory: Path, calls: int, firsts: int) -> dict[str, float]:
    counted = Counted(
        ["--loops", "--material", str(material)],
        directory,
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    stdin, stdout = counted.process.stdin, counted.process.stdout
    assert stdin is not None and stdout is not None

    def run(name: str) -> Any:
        def work(n: int) -> None:
            stdin.write(f"{name} {n}\n")
            stdin.flush()
            if stdout.readline().strip() != "ok":
                raise SystemExit(f"the loop {name} failed")

        return work

    figures: dict[str, float] = {}
    totals: dict[str, int] = {}
    try:
        run("trust")(1)  # waits until the process has read its material
        counted.instrument()
        for name, label, n in (
            ("trust", "IssuerTrust.verify, one credential repeated", calls),
            ("memoised", "verify_passport, same credential and material", calls),
            ("first", "verify_passport, first verification", firsts),
            ("components", "rfc8785.dumps + falcon_1024.verify", firsts),
            ("canonical", "rfc8785.dumps alone", firsts),
            ("falcon", "falcon_1024.verify alone", firsts),
        ):
            figures[label], totals[label] = counted.per_operation(run(name), n)
            print(f"  {label:<50} {figures[label]:>10,.0f} instructions/call", file=sys.stderr)
    finally:
        stdin.close()
        counted.stop()
    # The same credentials in both windows: their totals compare like with like.
    first, parts = totals["verify_passport, first verification"], totals["rfc8785.dumps + falcon_1024.verify"]
    figures["first / components, same credentials"] = first / parts
    return figures


def make_material(directory: Path, distinct: int, server: int) -> None:
    from quorvel_trellane.testing import Issuer

    issuer = Issuer(issuer_did="did:web:issuer.example")
    (directory / "keys.json").write_text(json.dumps(issuer.wellknown_document()))
    (directory / "crl.json").write_text(json.dumps(issuer.revocation_list()))
    passports = [
        issuer.issue(
            agent_did=f"did:web:agents.example:{i}", scopes=[SCOPE, "catalog:read"], valid_for=timedelta(hours=6)
        )
        for i in range(distinct + server + 1)
    ]
    (directory / "passport-repeated.txt").write_text(passports[0] + "\n")
    (directory / "passport-distinct.txt").write_text("\n".join(passports[1 : distinct + 1]) + "\n")
    (directory / "passport-server.txt").write_text("\n".join(passports[distinct + 1 :]) + "\n")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=300, help="requests in the smaller window (default 300)")
    parser.add_argument("--calls", type=int, default=2000, help="repeated calls in the smaller window (default 2000)")
    parser.add_argument("--firsts", type=int, default=40, help="first verifications in the smaller window (default 40)")
    parser.add_argument(
        "--distinct-requests",
        type=int,
        default=60,
        help="requests with distinct passports in the smaller window (default 60)",
    )
    parser.add_argument("--calls-only", action="store_true", help="count the calls in one process, not the server")
    parser.add_argument("--serve", choices=["bare", "protected", "observed"], help=argparse.SUPPRESS)
    parser.add_argument("--port", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--loops", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--material", type=Path, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.serve:
        serve(args.serve, args.port, args.material)
        return 0
    if args.loops:
        loops(args.material)
        return 0
    if shutil.which("valgrind") is None or shutil.which("callgrind_control") is None:
        raise SystemExit("needs valgrind (with callgrind_control) on PATH")
    with tempfile.TemporaryDirectory(prefix="qt-instructions-") as name:
        directory = Path(name)
        make_material(directory, 3 * args.firsts + 4, 3 * args.distinct_requests + 44)
        server: dict[str, float] = {}
        if not args.calls_only:
            print("in the server (instructions per request):", file=sys.stderr)
            server = server_figures(directory, directory, args.requests, args.distinct_requests)
        print("in one process (instructions per call):", file=sys.stderr)
        calls = call_figures(directory, directory, args.calls, args.firsts)
    trust = calls["IssuerTrust.verify, one credential repeated"]
    memoised = calls["verify_passport, same credential and material"]
    first = calls["verify_passport, first verification"]
    ratio = calls.pop("first / components, same credentials")
    if server:
        bare, unread = server["bare, no header"], server["bare, header unread"]
        protected = server["protected, one credential repeated"]
        print()
        print(f"{'server case':<40} {'instructions':>13} {'x no header':>12} {'x header unread':>16}")
        for label, value in server.items():
            print(f"{label:<40} {value:>13,.0f} {value / bare:>12.2f} {value / unread:>16.2f}")
        print(
            f"the check adds {protected - unread:,.0f} instructions per request over the app that receives the header"
        )
        observed = server["protected, repeated, observer"]
        print(f"the observer adds {observed - protected:,.0f} instructions per memoised request")
    print()
    print(f"{'call':<50} {'instructions':>13}")
    for label, value in calls.items():
        print(f"{label:<50} {value:>13,.0f}")
    print(f"warm IssuerTrust.verify / memoised verify_passport: {trust / memoised:.3f}")
    print(f"first verification / its two components, over the same {3 * args.firsts} credentials: {ratio:.3f}")
    print(f"repeated (warm trust) / first: {trust / first:.4f}")
    return 0


if __name__ == "__main__":
    os.environ.setdefault("PYTHONHASHSEED", "0")
    raise SystemExit(main())
