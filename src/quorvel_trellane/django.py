"""Django: a middleware configured from settings, and a view decorator for scopes.

    # settings.py
    MIDDLEWARE = [..., "quorvel_trellane.django.PassportMiddleware"]
    QUORVEL_PASSPORT = {"TRUST": "myproject.passports.trust", "PUBLIC_PATHS": ["/health"]}

    # views.py
    from quorvel_trellane.django import passport_required

    @passport_required(scope="payments:x402")
    def pay(request):
        return JsonResponse({"agent": request.agent_passport.agent_did})

Importing this module imports Django; the rest of the package never does.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any, Concatenate, Final, ParamSpec

from django.conf import settings  # type: ignore[import-untyped]
from django.http import HttpRequest, HttpResponse  # type: ignore[import-untyped]
from django.utils.module_loading import import_string  # type: ignore[import-untyped]

from quorvel_trellane._gate import Admission, Answer, Gate, SyncTrust, public_path_test, raw_target
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict

__all__ = ["PassportMiddleware", "passport_required", "SETTING", "REQUEST_ATTRIBUTE"]

#: The settings name of the configuration mapping.
SETTING: Final = "QUORVEL_PASSPORT"
#: The request attribute holding the verdict.
REQUEST_ATTRIBUTE: Final = "agent_passport"

_P = ParamSpec("_P")
_OPTIONS: Final = frozenset({"TRUST", "REQUIRED_SCOPE", "HEADER", "PUBLIC_PATHS", "OPTIONAL"})


@dataclass(frozen=True)
class _Config:
    gate: Gate[SyncTrust, HttpRequest]  # the middleware's: REQUIRED_SCOPE, OPTIONAL
    is_public: Callable[[str, str | bytes | None], bool] | None
    scoped: dict[str | None, Gate[SyncTrust, HttpRequest]]  # the decorators', by scope

    def for_scope(self, scope: str | None) -> Gate[SyncTrust, HttpRequest]:
        gate = self.scoped.get(scope)
        if gate is None:
            gate = self.scoped[scope] = Gate(trust=self.gate.trust, required_scope=scope, header=self.gate.header)
        return gate


_read: tuple[object, _Config] | None = None


def _config() -> _Config:
    """``settings.QUORVEL_PASSPORT``, read and checked once per value of the setting."""
    global _read
    options: Any = getattr(settings, SETTING, None)
    read = _read
    if read is not None and read[0] is options:
        return read[1]
    config = _parse(options)
    _read = (options, config)
    return config


def _parse(options: Any) -> _Config:
    if not isinstance(options, Mapping):
        raise TypeError(f"settings.{SETTING} must be a dict with at least 'TRUST'")
    unknown = set(options) - _OPTIONS
    if unknown:
        raise ValueError(f"settings.{SETTING} has unknown keys {sorted(unknown)}; known: {sorted(_OPTIONS)}")
    trust: Any = options.get("TRUST")
    if isinstance(trust, str):
        trust = import_string(trust)
    if not callable(getattr(trust, "verify", None)):
        raise TypeError(f"settings.{SETTING}['TRUST'] must be an IssuerTrust or TrustedIssuers, or its dotted path")
    gate: Gate[SyncTrust, HttpRequest] = Gate(
        trust=trust,
        required_scope=options.get("REQUIRED_SCOPE"),
        optional=bool(options.get("OPTIONAL", False)),
        header=options.get("HEADER", X402_PASSPORT_HEADER),
    )
    return _Config(gate=gate, is_public=public_path_test(options.get("PUBLIC_PATHS", ())), scoped={})


def _judge(
    request: HttpRequest, gate: Gate[SyncTrust, HttpRequest]
) -> tuple[PassportVerdict | None, HttpResponse | None]:
    # WSGI servers fold a repeated header into one value joined by commas,
    # which the gate refuses as a repeated header.
    return _decided(gate.admit(request.headers.get(gate.header), request))


async def _judge_async(
    request: HttpRequest, gate: Gate[SyncTrust, HttpRequest]
) -> tuple[PassportVerdict | None, HttpResponse | None]:
    return _decided(await gate.admit_async(request.headers.get(gate.header), request))


def _decided(admission: Admission) -> tuple[PassportVerdict | None, HttpResponse | None]:
    answer = admission.answer
    return admission.verdict, None if answer is None else _response(answer)


def _response(answer: Answer) -> HttpResponse:
    return HttpResponse(answer.body, status=answer.code, headers=dict(answer.headers))


class PassportMiddleware:
    """Admit a request only with a verified passport, configured by ``settings.QUORVEL_PASSPORT``.

    Keys: "TRUST" (an ``IssuerTrust``/``TrustedIssuers``, or the dotted path
    of one), "REQUIRED_SCOPE", "HEADER" (default "X-Agent-Passport"),
    "PUBLIC_PATHS" (matched against ``request.path_info``: exactly, or every
    path under an entry ending in "/"), "OPTIONAL". The verdict goes to
    ``request.agent_passport`` (None on a public path or, when optional,
    without a header); refusals are answered as the WSGI middleware answers.
    """

    sync_capable = True
    async_capable = False

    def __init__(self, get_response: Callable[[HttpRequest], HttpResponse]) -> None:
        self.get_response = get_response
        self.config = _config()

    def __call__(self, request: HttpRequest) -> HttpResponse:
        config = self.config
        if config.is_public is not None and config.is_public(request.path_info, raw_target(request.META)):
            setattr(request, REQUEST_ATTRIBUTE, None)
            return self.get_response(request)
        verdict, refused = _judge(request, config.gate)
        if refused is not None:
            return refused
        setattr(request, REQUEST_ATTRIBUTE, verdict)
        return self.get_response(request)


def passport_required(
    scope: str | None = None,
) -> Callable[
    [Callable[Concatenate[HttpRequest, _P], HttpResponse]], Callable[Concatenate[HttpRequest, _P], HttpResponse]
]:
    """Admit the view's requests only with a verified passport holding ``scope``.

    The passport is verified with the trust of ``settings.QUORVEL_PASSPORT``
    (with or without :class:`PassportMiddleware` installed); the verdict goes
    to ``request.agent_passport`` and a refused request is answered as the
    middleware answers, without calling the view. The decorated view keeps
    its kind: an ``async def`` view stays a coroutine function, which
    Django awaits, and its passport is verified with the trust's
    ``verify_async``; a plain view stays plain.
    """

    def decorator(
        view: Callable[Concatenate[HttpRequest, _P], HttpResponse],
    ) -> Callable[Concatenate[HttpRequest, _P], HttpResponse]:
        if inspect.iscoroutinefunction(view):
            # An async view stays async: Django awaits it (under ASGI, in
            # the server's loop, where the trust's verify_async waits).
            @functools.wraps(view)
            async def guarded_async(request: HttpRequest, /, *args: _P.args, **kwargs: _P.kwargs) -> HttpResponse:
                verdict, refused = await _judge_async(request, _config().for_scope(scope))
                if refused is not None:
                    return refused
                setattr(request, REQUEST_ATTRIBUTE, verdict)
                response: HttpResponse = await view(request, *args, **kwargs)
                return response

            return guarded_async

        @functools.wraps(view)
        def guarded(request: HttpRequest, /, *args: _P.args, **kwargs: _P.kwargs) -> HttpResponse:
            verdict, refused = _judge(request, _config().for_scope(scope))
            if refused is not None:
                return refused
            setattr(request, REQUEST_ATTRIBUTE, verdict)
            return view(request, *args, **kwargs)

        return guarded

    return decorator
