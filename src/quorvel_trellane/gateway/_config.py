"""The service's configuration: command-line options, and a TOML file for more issuers.

    # verifier.toml
    listen = "127.0.0.1:9191"        # the HTTP check, /ready and /metrics
    grpc = "127.0.0.1:9192"          # Envoy's gRPC check (optional)
    ledger = "postgresql://verifier@db/spend"   # prices charged here (optional)
    scope = "api:read"               # the scope of a route that names none (optional)
    fetch_timeout = 3.0              # seconds one issuer fetch may take, all told

    [[issuers]]
    url = "https://issuer.example"
    did = "did:web:issuer.example"

    [[issuers]]
    url = "https://other-issuer.example"
    did = "did:web:other-issuer.example"

An option given on the command line wins over the file's; ``--issuer``
adds its issuer to the file's.
"""

from __future__ import annotations

import tomllib
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Final

__all__ = ["DEFAULT_FETCH_TIMEOUT", "ConfigError", "IssuerConfig", "ServiceConfig", "parse_address"]

#: Seconds one fetch of an issuer's document may take, all told: under the
#: time gateways wait for a check (nginx, Traefik and Caddy: 30 s and more;
#: Envoy: the ``timeout`` its config sets, 200 ms unless set, which the
#: documented configs raise above this).
DEFAULT_FETCH_TIMEOUT: Final = 3.0
_KNOWN: Final = frozenset({"listen", "grpc", "ledger", "scope", "fetch_timeout", "issuers"})


class ConfigError(ValueError):
    """The configuration cannot be used: the message says which option and why."""


@dataclass(frozen=True, slots=True)
class IssuerConfig:
    """One trusted issuer: its base URL and its DID."""

    url: str
    did: str | None = None


@dataclass(frozen=True, slots=True)
class ServiceConfig:
    """Everything ``quorvel-passport serve`` runs with."""

    issuers: tuple[IssuerConfig, ...]
    listen: str = "127.0.0.1:9191"
    grpc: str | None = None
    ledger: str | None = None
    scope: str | None = None
    fetch_timeout: float = DEFAULT_FETCH_TIMEOUT

    def __post_init__(self) -> None:
        if not self.issuers:
            raise ConfigError("no issuer: give --issuer URL --issuer-did DID, or [[issuers]] in --config")
        dids = [issuer.did for issuer in self.issuers if issuer.did is not None]
        if len(dids) != len(set(dids)):
            raise ConfigError("two issuers have the same DID")
        parse_address(self.listen, "listen")
        if self.grpc is not None:
            parse_address(self.grpc, "grpc")
        timeout = self.fetch_timeout
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not 0 < timeout < 3600:
            raise ConfigError(f"fetch_timeout must be a number of seconds above 0 and under 3600, not {timeout!r}")

    @classmethod
    def of(cls, file: str | Path | None = None, **options: Any) -> ServiceConfig:
        """The file's settings (when given) with ``options`` over them.

        ``options`` are the fields; one of None is not given. ``issuer`` and
        ``issuer_did`` name one more issuer.
        """
        settings: dict[str, Any] = {} if file is None else read_file(file)
        issuers = [_issuer(entry, i) for i, entry in enumerate(settings.pop("issuers", []))]
        url, did = options.pop("issuer", None), options.pop("issuer_did", None)
        if url is not None:
            issuers.append(IssuerConfig(url, did))
        elif did is not None:
            raise ConfigError("--issuer-did needs --issuer")
        settings.update({name: value for name, value in options.items() if value is not None})
        for name in ("listen", "grpc", "ledger", "scope"):
            if name in settings and not isinstance(settings[name], str):
                raise ConfigError(f"{name} must be text, not {settings[name]!r}")
        return cls(tuple(issuers), **settings)


def read_file(file: str | Path) -> dict[str, Any]:
    """The settings of a TOML file, its keys checked."""
    try:
        with open(file, "rb") as handle:
            settings = tomllib.load(handle)
    except OSError as exc:
        raise ConfigError(f"cannot read {file}: {exc.strerror or exc}") from None
    except tomllib.TOMLDecodeError as exc:
        raise ConfigError(f"{file} is not TOML: {exc}") from None
    unknown = sorted(set(settings) - _KNOWN)
    if unknown:
        raise ConfigError(f"{file}: unknown setting {unknown[0]!r} (known: {', '.join(sorted(_KNOWN))})")
    if not isinstance(settings.get("issuers", []), list):
        raise ConfigError(f"{file}: issuers is a list of tables ([[issuers]])")
    return settings


def _issuer(entry: object, index: int) -> IssuerConfig:
    if not isinstance(entry, Mapping) or not isinstance(entry.get("url"), str) or set(entry) - {"url", "did"}:
        raise ConfigError(f"issuer {index + 1}: a table with url (text) and did (text, optional)")
    did = entry.get("did")
    if did is not None and not isinstance(did, str):
        raise ConfigError(f"issuer {index + 1}: did must be text")
    return IssuerConfig(entry["url"], did)


def parse_address(text: str, option: str) -> tuple[str, int]:
    """HOST:PORT (an IPv6 host in brackets) as a host and a port."""
    host, sep, port = text.rpartition(":")
    host = host[1:-1] if host.startswith("[") and host.endswith("]") else host
    if not sep or not host or not port.isdigit() or not 0 <= int(port) < 65536:
        raise ConfigError(f"{option} must be HOST:PORT, not {text!r}")
    return host, int(port)
