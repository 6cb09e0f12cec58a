"""``quorvel-passport serve``: the check service a gateway asks before routing."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from quorvel_trellane.cli._errors import UsageError

__all__ = ["add_serve_parser", "cmd_serve"]


def cmd_serve(args: argparse.Namespace, out: TextIO, err: TextIO, stdin: TextIO) -> int:
    try:
        from quorvel_trellane.gateway import ConfigError, ServiceConfig, serve
    except ImportError as exc:  # uvicorn (or grpcio) missing
        raise UsageError(f"serve needs the gateway extra: pip install 'quorvel-trellane[gateway]' ({exc})") from None
    try:
        config = ServiceConfig.of(
            args.config,
            issuer=args.issuer,
            issuer_did=args.issuer_did,
            listen=args.listen,
            grpc=args.grpc,
            ledger=args.ledger,
            scope=args.scope,
            fetch_timeout=args.fetch_timeout,
        )
        return serve(config, announce=err)
    except ConfigError as exc:
        raise UsageError(str(exc)) from None


def add_serve_parser(sub: Any) -> None:
    """The ``serve`` subcommand, on the command's subparsers."""
    p = sub.add_parser(
        "serve",
        help="answer a gateway's passport checks (nginx, Envoy, Traefik, Caddy)",
        description="Serve the check a gateway asks before routing: any method on /check "
        "(the route's scope= and price_microusd= in its query) and /check/<anything>; "
        "200 with X-Agent-Did, X-Agent-Issuer, X-Agent-Scopes and X-Agent-Expires, or "
        "401, 403, 503 with the refusal. GET /ready and GET /metrics beside it; with "
        "--grpc, Envoy's envoy.service.auth.v3.Authorization/Check too. Stops on SIGTERM "
        "once the checks in flight are answered.",
    )
    p.add_argument("--issuer", metavar="URL", help="the issuer's base URL (https; http only on loopback)")
    p.add_argument("--issuer-did", metavar="DID", help="the issuer's DID: only its passports get its keys")
    p.add_argument("--config", metavar="FILE", help="a TOML file: more issuers, and any option below")
    p.add_argument("--listen", metavar="HOST:PORT", help="where the HTTP check listens (default 127.0.0.1:9191)")
    p.add_argument("--grpc", metavar="HOST:PORT", help="serve Envoy's gRPC check there too")
    p.add_argument(
        "--ledger", metavar="URL", help="the spend ledger of priced routes (sqlite:///FILE or postgresql://)"
    )
    p.add_argument("--scope", metavar="SCOPE", help="the scope a route needs when its check names none")
    p.add_argument(
        "--fetch-timeout",
        type=float,
        metavar="SECONDS",
        help="how long one fetch of an issuer's document may take, all told (default 3)",
    )
    p.set_defaults(run=cmd_serve)
