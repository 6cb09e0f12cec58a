"""A whole passport exchange on loopback: ``python -m quorvel_trellane.demo``.

A test issuer signs a passport and publishes its key document and revocation
list over HTTP. A relying party serves a small API under uvicorn behind the
ASGI passport middleware, which verifies each request through an
``IssuerTrust`` kept fresh from the issuer. An agent calls the API with httpx
and ``PassportAuth``: admitted where its passport grants the route's scope,
forbidden where it does not, and refused once the issuer revokes it.

Everything binds 127.0.0.1; nothing leaves the machine. Needs the
``passport`` and ``demo`` extras. Exit status 0 when every answer came out
as expected, 1 otherwise, 2 when an extra is missing.
"""

from __future__ import annotations

import json
import os
import socket
import sys
import threading
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from datetime import UTC, datetime, timedelta
from typing import Any, TextIO

from quorvel_trellane import passport
from quorvel_trellane._internal.components import DEMO_HINT
from quorvel_trellane._internal.components import PASSPORT_HINT as _INSTALL
from quorvel_trellane._internal.display import dollars, duration_words
from quorvel_trellane.asgi import STATE_KEY, PassportMiddleware, Receive, Scope, Send
from quorvel_trellane.http import PassportAuth
from quorvel_trellane.trust._addresses import crl_url, key_set_url

PASSPORT_HINT = f"the demo needs the passport components rfc8785 and pqcrypto: {_INSTALL}"

try:
    from quorvel_trellane.testing import Issuer, IssuerServer, tamper
except ImportError:
    if __name__ != "__main__":
        raise
    print(PASSPORT_HINT, file=sys.stderr)
    sys.exit(2)

AGENT_DID = "did:web:agents.example.com:shopper-7"
ISSUER_DID = "did:web:issuer.example.org"
SCOPES = ("payments:x402", "catalog:read")
#: The relying party's routes and the scope each one asks of a passport.
ROUTES = {
    ("GET", "/catalog"): "catalog:read",
    ("POST", "/pay"): "payments:x402",
    ("POST", "/refund"): "payments:refund",
}


def _spend(limit: object, window: object) -> str:
    """A spend bound for people: "up to $50.00 per day"."""
    if not isinstance(limit, int) or isinstance(limit, bool):
        return "without a limit"
    words = duration_words(window) if isinstance(window, str) else None
    return f"up to {dollars(limit)} per {words or window}" if window is not None else f"up to {dollars(limit)}"


def _short(text: str, keep: int = 48) -> str:
    return text if len(text) <= keep else f"{text[:keep]}... ({len(text)} chars)"


# -- the relying party ---------------------------------------------------------


def route_scope(scope: Scope) -> str | None:
    """The scope a request needs: by method and path, like a router would."""
    return ROUTES.get((scope["method"], scope["path"]))


async def api(scope: Scope, receive: Receive, send: Send) -> None:
    """The relying party's application: it runs only for a verified passport."""
    if scope["type"] == "lifespan":
        while (await receive())["type"] != "lifespan.shutdown":
            await send({"type": "lifespan.startup.complete"})
        await send({"type": "lifespan.shutdown.complete"})
        return
    verdict: passport.PassportVerdict = scope["state"][STATE_KEY]
    body = json.dumps(
        {
            "status": verdict.status,
            "agent_did": verdict.agent_did,
            "spend_limit_microusd": verdict.spend_limit_microusd,
            "spend_window": verdict.spend_window,
        }
    ).encode("utf-8")
    await send({"type": "http.response.start", "status": 200, "headers": [(b"content-type", b"application/json")]})
    await send({"type": "http.response.body", "body": body})


@contextmanager
def serve(app: Any) -> Iterator[str]:
    """Run ``app`` under uvicorn on 127.0.0.1 in a thread; yield its base URL."""
    import uvicorn

    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", access_log=False, lifespan="on"))
    thread = threading.Thread(target=server.run, kwargs={"sockets": [sock]}, name="relying-party", daemon=True)
    thread.start()
    try:
        for _ in range(1000):
            if server.started or not thread.is_alive():
                break
            thread.join(0.01)
        if not server.started:
            raise RuntimeError("the relying party's server did not start")
        yield f"http://127.0.0.1:{sock.getsockname()[1]}"
    finally:
        server.should_exit = True
        thread.join(10)
        sock.close()


# -- the report ----------------------------------------------------------------


class _Report:
    def __init__(self, out: TextIO) -> None:
        self.out = out
        self.failures: list[str] = []
        self._step = 0

    def step(self, title: str) -> None:
        self._step += 1
        self.out.write(f"\n{self._step}. {title}\n")

    def line(self, text: str = "") -> None:
        self.out.write(f"   {text}\n" if text else "\n")

    def table_head(self) -> None:
        self.line(f"   {'request':<38} {'HTTP':<5} {'status':<13} {'error code':<19} detail")

    def answer(self, label: str, code: int, body: dict[str, Any], expect: tuple[int, str, str | None]) -> None:
        got = (code, body.get("status"), body.get("error_code"))
        ok = got == expect
        if code == 200:
            detail = f"admitted, may spend {_spend(body.get('spend_limit_microusd'), body.get('spend_window'))}"
        else:
            detail = str(body.get("error_message"))
        mark = "ok " if ok else "!! "
        self.line(f"{mark}{label:<38} {code:<5} {got[1]!s:<13} {got[2] or '-':<19} {detail}")
        if not ok:
            self.failures.append(f"{label}: expected {expect}, got {got}")

    def verdict(self, label: str, verdict: passport.PassportVerdict, expect: tuple[str, str | None]) -> None:
        got = (verdict.status, verdict.error_code)
        ok = got == expect and verdict.verified == (expect[1] is None)
        detail = "verified" if verdict.verified else str(verdict.error_message)
        self.line(f"{'ok ' if ok else '!! '}{label:<38} {'-':<5} {got[0]:<13} {got[1] or '-':<19} {detail}")
        if not ok:
            self.failures.append(f"{label}: expected {expect}, got {got}")


def run(out: TextIO = sys.stdout) -> int:
    import httpx

    from quorvel_trellane.trust import IssuerTrust, passport_from_a2a_metadata

    report = _Report(out)
    out.write("Quorvel Agent Passport demo: issuer, relying party and agent, all on loopback\n")

    report.step("The issuer signs a passport for the agent")
    issuer = Issuer(issuer_did=ISSUER_DID)
    limit, window = 50_000_000, "P1D"
    credential = issuer.issue(agent_did=AGENT_DID, scopes=list(SCOPES), spend_limit_microusd=limit, spend_window=window)
    passport_id = passport.decode_passport(credential).payload["passport_id"]
    expired = issuer.issue(
        agent_did=AGENT_DID,
        scopes=list(SCOPES),
        issued_at=datetime.now(UTC).replace(microsecond=0) - timedelta(days=1),
        valid_for=timedelta(hours=23),
    )
    report.line(f"issuer     {ISSUER_DID}")
    report.line(f"kid        {issuer.kid}  (sha256 of the Falcon-1024 public key, 16 hex)")
    report.line(f"agent      {AGENT_DID}")
    report.line(f"scopes     {', '.join(SCOPES)}; {_spend(limit, window)}")
    report.line(f"passport   {passport_id}")
    report.line(f"credential {_short(credential)}")

    with IssuerServer(issuer, lifetime=120.0) as issuer_server:
        report.step("The issuer publishes its keys and revocation list")
        report.line(key_set_url(issuer_server.url))
        report.line(crl_url(issuer_server.url, issuer.kid))

        with IssuerTrust(issuer_server.url, issuer_did=ISSUER_DID) as trust:
            app = PassportMiddleware(api, trust=trust, required_scope=route_scope)
            with serve(app) as api_url:
                report.step("The relying party serves its API behind the passport middleware (uvicorn)")
                report.line(f"{api_url}  trusting {ISSUER_DID} via IssuerTrust")
                for (method, path), scope in ROUTES.items():
                    report.line(f"{method:<4} {path:<9} needs {scope}")

                report.step("The agent calls it with httpx, presenting its passport with PassportAuth")
                with _agent_environment(credential):
                    auth = PassportAuth()  # the agent's own passport, from the environment
                    report.line(f"{passport.X402_PASSPORT_HEADER}: {_short(auth.credential)}")
                report.line()
                report.table_head()

                def call(label: str, method: str, path: str, expect: tuple[int, str, str | None], **kw: Any) -> None:
                    with httpx.Client(base_url=api_url, timeout=30.0, **kw) as client:
                        response = client.request(method, path)
                    report.answer(label, response.status_code, response.json(), expect)

                call("GET  /catalog", "GET", "/catalog", (200, "active", None), auth=auth)
                call("POST /pay", "POST", "/pay", (200, "active", None), auth=auth)
                call(
                    "POST /refund (scope not granted)",
                    "POST",
                    "/refund",
                    (403, "active", "SCOPE_NOT_GRANTED"),
                    auth=auth,
                )
                call("POST /pay without a passport", "POST", "/pay", (401, "missing", "MISSING_PASSPORT"))
                raised = PassportAuth(tamper(credential, spend_limit_microusd=1_000_000_000_000))
                call(
                    "POST /pay, spend limit raised to $1M",
                    "POST",
                    "/pay",
                    (401, "invalid", "TAMPERED_SIGNATURE"),
                    auth=raised,
                )
                call(
                    "POST /pay, an expired passport",
                    "POST",
                    "/pay",
                    (401, "expired", "EXPIRED"),
                    auth=PassportAuth(expired),
                )

                # The same passport on an A2A task message: the trust verifies
                # the credential found under the namespaced metadata key.
                metadata = passport.a2a_message_metadata(auth.credential, {"task_id": "t-1"})
                carried = passport_from_a2a_metadata(metadata)
                verdict = trust.verify(carried or "", required_scope="payments:x402")
                report.line()
                report.line(f"on an A2A task message, metadata[{passport.A2A_PASSPORT_METADATA_KEY!r}]:")
                report.verdict("A2A task, payments:x402", verdict, ("active", None))

                report.step("The issuer revokes the passport; the relying party refreshes its list")
                issuer.revoke(passport_id)
                # On its own the trust refetches the list within crl_ttl (60 s);
                # refresh() does it now, as a push from the issuer would.
                trust.refresh()
                report.line(f"revoked {passport_id}; the list now holds {issuer.revocation_list()['revoked']}")
                report.line()
                report.table_head()
                call("POST /pay", "POST", "/pay", (401, "revoked", "REVOKED"), auth=auth)
                call("GET  /catalog", "GET", "/catalog", (401, "revoked", "REVOKED"), auth=auth)

    out.write("\n")
    if report.failures:
        out.write("UNEXPECTED ANSWERS:\n")
        for failure in report.failures:
            out.write(f"  {failure}\n")
        return 1
    out.write("All answers as expected.\n")
    return 0


@contextmanager
def _agent_environment(credential: str) -> Iterator[None]:
    """Give the agent its passport the usual way, then restore the environment."""
    saved = os.environ.get(passport.PASSPORT_ENV_VAR)
    os.environ[passport.PASSPORT_ENV_VAR] = credential
    try:
        yield
    finally:
        if saved is None:
            del os.environ[passport.PASSPORT_ENV_VAR]
        else:
            os.environ[passport.PASSPORT_ENV_VAR] = saved


USAGE = "usage: python -m quorvel_trellane.demo [--help]"


def main(argv: Sequence[str] = ()) -> int:
    """Run the demo and return its exit status; ``--help`` describes it instead."""
    if list(argv) in (["-h"], ["--help"]):
        print(f"{USAGE}\n\n{__doc__}", end="")
        return 0
    if argv:
        # The demo takes no options: anything else is a mistake, not a run.
        print(f"{USAGE}\nunrecognized arguments: {' '.join(argv)}", file=sys.stderr)
        return 2
    try:
        import rfc8785  # noqa: F401
        from pqcrypto.sign import falcon_1024  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        print(PASSPORT_HINT, file=sys.stderr)
        return 2
    try:
        import httpx  # noqa: F401
        import uvicorn  # noqa: F401
    except ImportError:
        print(f"the demo needs uvicorn and httpx: {DEMO_HINT}", file=sys.stderr)
        return 2
    return run(sys.stdout)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
