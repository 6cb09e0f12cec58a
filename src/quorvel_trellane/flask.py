"""Flask: a view decorator that admits verified agents and puts the verdict on ``g``.

    from flask import Flask, g
    from quorvel_trellane.flask import Passport, passport_required

    app = Flask(__name__)
    Passport(app, trust=trust)

    @app.post("/pay")
    @passport_required(scope="payments:x402")
    def pay():
        return {"agent": g.agent_passport.agent_did}

Importing this module imports Flask; the rest of the package never does.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable
from typing import Any, Final, ParamSpec, TypeVar

from flask import Flask, Response, current_app, g, request

from quorvel_trellane._gate import Admission, Answer, Gate, SyncTrust
from quorvel_trellane._internal.components import require_components
from quorvel_trellane.passport import X402_PASSPORT_HEADER

__all__ = ["Passport", "passport_required", "EXTENSION_KEY", "G_KEY"]

#: The key of ``app.extensions`` holding the :class:`Passport`.
EXTENSION_KEY: Final = "quorvel_passport"
#: The attribute of ``flask.g`` holding the verdict.
G_KEY: Final = "agent_passport"

_P = ParamSpec("_P")
_R = TypeVar("_R")


class Passport:
    """The Flask extension: the trust (and header) the app's views verify with.

    ``Passport(app, trust=trust)``, or ``Passport(trust=trust)`` and later
    ``init_app(app)``, as Flask extensions do.
    """

    def __init__(self, app: Flask | None = None, *, trust: SyncTrust, header: str = X402_PASSPORT_HEADER) -> None:
        require_components("Passport")  # at start-up: its gates are made on first use
        self.trust = trust
        self.header = header
        self._gates: dict[tuple[str | None, bool], Gate[SyncTrust, None]] = {}
        if app is not None:
            self.init_app(app)

    def init_app(self, app: Flask) -> None:
        app.extensions[EXTENSION_KEY] = self

    def gate(self, scope: str | None, optional: bool) -> Gate[SyncTrust, None]:
        """The gate of the views asking for ``scope`` (made once)."""
        gate = self._gates.get((scope, optional))
        if gate is None:
            gate = Gate(trust=self.trust, required_scope=scope, optional=optional, header=self.header)
            self._gates[scope, optional] = gate
        return gate


def _judge(gate: Gate[SyncTrust, None]) -> Admission:
    values = request.headers.getlist(gate.header)
    # WSGI servers fold a repeated header into one value with commas, which the gate refuses.
    return gate.admit(values[0] if values else None, repeated=len(values) > 1)


async def _judge_async(gate: Gate[SyncTrust, None]) -> Admission:
    values = request.headers.getlist(gate.header)
    return await gate.admit_async(values[0] if values else None, repeated=len(values) > 1)


def _refusal(refused: Answer) -> Response:
    return Response(refused.body, status=refused.code, headers=list(refused.headers))


def passport_required(
    scope: str | None = None, *, trust: SyncTrust | None = None, optional: bool = False
) -> Callable[[Callable[_P, _R]], Callable[_P, _R | Response]]:
    """Admit the view's requests only with a verified passport holding ``scope``.

    The verdict goes to ``g.agent_passport``; a refused request is answered as
    the WSGI middleware answers (401 with ``WWW-Authenticate: AgentPassport``,
    or 403 for a genuine passport without the scope; the same JSON body),
    without calling the view. The trust is the app's :class:`Passport`
    extension's, or ``trust``. ``optional=True`` never refuses: the verdict,
    or None without a header, goes to ``g`` and the view decides.

    The decorated view keeps its kind: an ``async def`` view stays a
    coroutine function, which Flask awaits, and its passport is verified
    with the trust's ``verify_async``; a plain view stays plain.
    """

    own = None if trust is None else Passport(trust=trust).gate(scope, optional)

    def decorator(view: Callable[_P, _R]) -> Callable[_P, _R | Response]:
        if inspect.iscoroutinefunction(view):
            # An async view stays async, so that Flask awaits it (and the
            # trust's verify_async does the waiting).
            @functools.wraps(view)
            async def guarded_async(*args: _P.args, **kwargs: _P.kwargs) -> Any:
                verdict, _, refused = await _judge_async(own or _app_extension().gate(scope, optional))
                if refused is not None:
                    return _refusal(refused)
                setattr(g, G_KEY, verdict)
                return await view(*args, **kwargs)

            return guarded_async  # type: ignore[return-value]

        @functools.wraps(view)
        def guarded(*args: _P.args, **kwargs: _P.kwargs) -> _R | Response:
            verdict, _, refused = _judge(own or _app_extension().gate(scope, optional))
            if refused is not None:
                return _refusal(refused)
            setattr(g, G_KEY, verdict)
            return view(*args, **kwargs)

        return guarded

    return decorator


def _app_extension() -> Passport:
    found: Any = current_app.extensions.get(EXTENSION_KEY)
    if not isinstance(found, Passport):
        raise RuntimeError("passport_required needs Passport(app, trust=...) or a trust= argument")
    return found
