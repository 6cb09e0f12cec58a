"""Passports in front of any service: the check a gateway asks before routing.

``quorvel-passport serve`` answers nginx ``auth_request``, Envoy's
``ext_authz`` (HTTP and gRPC), Traefik ForwardAuth and Caddy
``forward_auth``: 200 with ``X-Agent-Did``, ``X-Agent-Issuer``,
``X-Agent-Scopes`` and ``X-Agent-Expires`` for a passport the route admits;
401 with ``WWW-Authenticate: AgentPassport``, 403, or 503 with
``Retry-After`` and the middleware's JSON body otherwise. A priced route is
charged on the passport's spend bound. docs/gateways.md has each gateway's
config.

    service = Service(ServiceConfig((IssuerConfig("https://issuer.example", "did:web:issuer.example"),)))
    app = service.app            # an ASGI application: /check, /check/<anything>, /ready, /metrics

Modules:

- ``_requirement``: what a route asks (scope, price), read from the gateway's config only
- ``_check``: Checker, one check's decision whichever door asked; the identity headers
- ``_http``: CheckApp, the HTTP door (an ASGI application)
- ``_grpc``: AuthorizationService, Envoy's gRPC door (needs the ``gateway`` extra)
- ``_config``: ServiceConfig, the command line's options and the TOML file
- ``_serve``: Service, its parts made from a config, and ``serve``, run until SIGTERM
"""

from __future__ import annotations

from quorvel_trellane._internal.exports import claim
from quorvel_trellane.gateway._check import (
    IDENTITY_HEADERS as IDENTITY_HEADERS,
)
from quorvel_trellane.gateway._check import (
    Allow as Allow,
)
from quorvel_trellane.gateway._check import (
    Checker as Checker,
)
from quorvel_trellane.gateway._config import (
    ConfigError as ConfigError,
)
from quorvel_trellane.gateway._config import (
    IssuerConfig as IssuerConfig,
)
from quorvel_trellane.gateway._config import (
    ServiceConfig as ServiceConfig,
)
from quorvel_trellane.gateway._http import (
    CheckApp as CheckApp,
)
from quorvel_trellane.gateway._requirement import (
    Requirement as Requirement,
)
from quorvel_trellane.gateway._requirement import (
    RequirementError as RequirementError,
)
from quorvel_trellane.gateway._requirement import (
    Requirements as Requirements,
)
from quorvel_trellane.gateway._serve import (
    Service as Service,
)
from quorvel_trellane.gateway._serve import (
    serve as serve,
)

__all__ = [
    "IDENTITY_HEADERS",
    "Allow",
    "CheckApp",
    "Checker",
    "ConfigError",
    "IssuerConfig",
    "Requirement",
    "RequirementError",
    "Requirements",
    "Service",
    "ServiceConfig",
    "serve",
]

# The public names belong to this package, as help() and pickling show them.
claim(__name__, globals(), __all__)
