"""Django: the settings-configured middleware and the view decorator answer as the middleware.

The real Django request handler served by wsgiref on 127.0.0.1, once with
the middleware (site-wide scope, a public path) and once with only the
view decorator; real credentials verified by a real IssuerTrust.
"""

from __future__ import annotations

from typing import Any

import django
import pytest
from django.conf import settings

if not settings.configured:
    settings.configure(
        DEBUG=False,
        ALLOWED_HOSTS=["*"],
        ROOT_URLCONF=__name__,
        INSTALLED_APPS=[],
        MIDDLEWARE=[],
        SECRET_KEY="test-only",
        USE_TZ=True,
    )
    django.setup()

from conftest import (
    ADAPTER_HEADER,
    ADAPTER_SCOPE,
    check_adapter_answer,
    each_adapter_case,
    readme_examples,
    readme_trust,
)
from django.core.handlers.wsgi import WSGIHandler
from django.http import HttpRequest, JsonResponse
from django.test import override_settings
from django.urls import path
from test_middleware import WsgirefThread, call_wsgi

from quorvel_trellane.django import PassportMiddleware, passport_required

MIDDLEWARE = "quorvel_trellane.django.PassportMiddleware"


def plain_pay(request: HttpRequest) -> JsonResponse:
    return JsonResponse({"agent": request.agent_passport.agent_did})


decorated_pay = passport_required(scope=ADAPTER_SCOPE)(plain_pay)


def pay(request: HttpRequest) -> JsonResponse:
    return (decorated_pay if request.META["test.mode"] == "decorator" else plain_pay)(request)


def health(request: HttpRequest) -> JsonResponse:
    assert request.META["test.mode"] == "decorator" or request.agent_passport is None
    return JsonResponse({"ok": True})


urlpatterns = [path("pay", pay), path("health", health)]


def mounted(handlers: dict[str, WSGIHandler]) -> Any:
    """/middleware/... and /decorator/... to their handler, each seeing the path below."""

    def app(environ: dict[str, Any], start_response: Any) -> Any:
        _, mode, rest = environ["PATH_INFO"].split("/", 2)
        environ = {**environ, "SCRIPT_NAME": "/" + mode, "PATH_INFO": "/" + rest, "test.mode": mode}
        return handlers[mode](environ, start_response)

    return app


@pytest.fixture(scope="module")
def url(adapter_trust: Any) -> Any:
    options = {"TRUST": adapter_trust, "REQUIRED_SCOPE": ADAPTER_SCOPE, "PUBLIC_PATHS": ["/health"]}
    with override_settings(QUORVEL_PASSPORT=options):
        with override_settings(MIDDLEWARE=[MIDDLEWARE]):
            with_middleware = WSGIHandler()
        with WsgirefThread(mounted({"middleware": with_middleware, "decorator": WSGIHandler()})) as base:
            yield base


@pytest.mark.parametrize("mode", ["middleware", "decorator"])
@each_adapter_case()
def test_middleware_and_decorator_answer_each_request_as_the_wsgi_middleware_does(url, adapter_creds, case, mode):
    headers = [(ADAPTER_HEADER, adapter_creds[n]) for n in case.presented]
    check_adapter_answer(case, *call_wsgi(f"{url}/{mode}{case.path}", headers))


@pytest.mark.parametrize(
    ("options", "error"),
    [
        pytest.param(None, "must be a dict", id="no setting"),
        pytest.param(
            {"TRUST": "quorvel_trellane.passport.X402_PASSPORT_HEADER"}, "IssuerTrust", id="a path to no trust"
        ),
        pytest.param({"TRUST": object(), "SCOPE": "x"}, "unknown keys", id="a misspelt key"),
    ],
)
def test_a_wrong_setting_stops_the_middleware_at_start_up(options, error):
    with override_settings(QUORVEL_PASSPORT=options), pytest.raises((TypeError, ValueError), match=error):
        PassportMiddleware(lambda request: JsonResponse({}))


@pytest.mark.parametrize(("presented", "code"), [(("genuine",), 200), ((), 401), (("narrow",), 403)])
def test_the_readme_example_protects_its_view(adapter_issuer, adapter_creds, presented, code):
    [example] = readme_examples("### Django")
    namespace: dict[str, Any] = {}
    with readme_trust(adapter_issuer):
        exec(example, namespace)
        from quorvel_trellane.trust import IssuerTrust

        trust = IssuerTrust("https://issuer.example")
    request = HttpRequest()
    request.method = "GET"
    if presented:
        request.META[f"HTTP_{ADAPTER_HEADER.upper().replace('-', '_')}"] = adapter_creds[presented[0]]
    with override_settings(QUORVEL_PASSPORT={"TRUST": trust}):
        assert namespace["pay"](request).status_code == code
