"""The running service: its parts made from the configuration, served until SIGTERM.

The HTTP door runs under uvicorn, the gRPC door (when asked for) under
``grpc.aio``, both on one event loop. SIGTERM or SIGINT stops taking new
connections, answers the checks in flight, then closes the trusts and the
ledger.
"""

from __future__ import annotations

import asyncio
import contextlib
import importlib
import logging
import signal
import sys
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Final, TextIO

from quorvel_trellane.gateway._check import Checker
from quorvel_trellane.gateway._config import ConfigError, ServiceConfig, parse_address
from quorvel_trellane.gateway._http import CheckApp
from quorvel_trellane.gateway._requirement import Requirements

if TYPE_CHECKING:
    from quorvel_trellane.observe import PrometheusMetrics
    from quorvel_trellane.spend import SpendLedger
    from quorvel_trellane.trust import IssuerTrust

__all__ = ["Service", "run", "serve"]

_LOG: Final = logging.getLogger("quorvel_trellane.gateway")
# How long a stop waits for the checks in flight.
_GRACE: Final = 10.0


class Service:
    """The service's parts: trusts, ledger, metrics, the HTTP app and the gRPC service."""

    def __init__(self, config: ServiceConfig) -> None:
        from quorvel_trellane.observe import Readiness
        from quorvel_trellane.trust import IssuerTrust, TrustedIssuers

        self.config = config
        self.metrics = _metrics()
        try:
            self.trusts: tuple[IssuerTrust, ...] = tuple(
                IssuerTrust(issuer.url, issuer_did=issuer.did, timeout=config.fetch_timeout, observer=self.metrics)
                for issuer in config.issuers
            )
        except ValueError as exc:  # an issuer URL that is not https, nor http on loopback
            raise ConfigError(str(exc)) from None
        self.trust: Any = self.trusts[0] if len(self.trusts) == 1 else TrustedIssuers(*self.trusts)
        self.ledger: SpendLedger | None = None
        if config.ledger is not None:
            from quorvel_trellane.spend import SpendLedger

            self.ledger = SpendLedger(self.trust, config.ledger, observer=self.metrics)
        self.checker = Checker(self.trust, ledger=self.ledger)
        self.requirements = Requirements(config.scope)
        self.app = CheckApp(self.checker, self.requirements, readiness=Readiness(self.trust), metrics=self.metrics)

    def warm(self) -> None:
        """Fetch every issuer's key set now (blocking, at most the fetch timeout)."""
        for trust in self.trusts:
            trust.refresh()

    def close(self) -> None:
        self.trust.close(wait=self.config.fetch_timeout)
        if self.ledger is not None:
            self.ledger.close()


def _metrics() -> PrometheusMetrics | None:
    try:
        from prometheus_client import CollectorRegistry
    except ImportError:
        return None  # /metrics answers 404
    from quorvel_trellane.observe import PrometheusMetrics

    return PrometheusMetrics(registry=CollectorRegistry())


def _uvicorn_server(app: Any, address: str) -> Any:
    import uvicorn

    class Server(uvicorn.Server):
        # The service owns the signals: one stop for both doors.
        @contextlib.contextmanager
        def capture_signals(self) -> Iterator[None]:
            yield

        def install_signal_handlers(self) -> None:
            pass

    host, port = parse_address(address, "listen")
    config = uvicorn.Config(
        app,
        host=host,
        port=port,
        lifespan="off",
        access_log=False,
        log_level="warning",
        timeout_graceful_shutdown=int(_GRACE),
    )
    return Server(config)


async def run(service: Service, *, announce: TextIO | None = None) -> None:
    """Serve ``service`` until SIGTERM or SIGINT; ``announce`` gets one line naming the addresses."""
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, stop.set)
    server = _uvicorn_server(service.app, service.config.listen)
    grpc_server = None
    grpc_port = None
    if service.config.grpc is not None:
        from quorvel_trellane.gateway._grpc import AuthorizationService
        from quorvel_trellane.gateway._grpc import grpc_server as make_grpc_server

        service_grpc = AuthorizationService(service.checker, service.requirements)
        grpc_server, grpc_port = make_grpc_server(service_grpc, service.config.grpc)
        await grpc_server.start()
    warming = asyncio.create_task(asyncio.to_thread(service.warm))
    serving = asyncio.create_task(server.serve())
    while not server.started and not serving.done():
        await asyncio.sleep(0.01)
    if server.started and announce is not None:
        host, port = server.servers[0].sockets[0].getsockname()[:2]
        grpc_host = parse_address(service.config.grpc, "grpc")[0] if service.config.grpc is not None else ""
        grpc_note = f", gRPC on {grpc_host}:{grpc_port}" if grpc_port is not None else ""
        announce.write(f"quorvel-passport serve: checks on http://{host}:{port}{grpc_note}\n")
        announce.flush()
    stopping = asyncio.create_task(stop.wait())
    await asyncio.wait({serving, stopping}, return_when=asyncio.FIRST_COMPLETED)
    _LOG.info("stopping: answering the checks in flight")
    server.should_exit = True
    if grpc_server is not None:
        await grpc_server.stop(_GRACE)
    await serving
    stopping.cancel()
    await warming
    # Closed on this loop, whose async pools (PostgreSQL) close only on it.
    service.close()
    others = asyncio.all_tasks() - {asyncio.current_task()}
    if others:
        await asyncio.wait(others, timeout=_GRACE)


def serve(config: ServiceConfig, *, announce: TextIO | None = None) -> int:
    """Run the service in this process until it is told to stop; its exit status."""
    service = Service(config)  # a configuration it cannot use raises before anything is set up
    if not logging.getLogger().handlers:
        logging.basicConfig(
            stream=sys.stderr, level=logging.INFO, format="%(asctime)s %(levelname)s %(name)s: %(message)s"
        )
    try:
        asyncio.run(run(service, announce=announce), loop_factory=_loop_factory(config))
    finally:
        service.close()  # again, should the loop have ended early: closing twice does nothing
    return 0


def _loop_factory(config: ServiceConfig) -> Any:
    # uvloop where installed, for the HTTP door alone; grpc.aio keeps asyncio's own loop.
    if config.grpc is not None:
        return None
    try:
        uvloop = importlib.import_module("uvloop")
    except ImportError:
        return None
    return uvloop.new_event_loop
