"""View decorators keep the view's kind; real Flask on wsgiref, real Django under uvicorn (ASGI)."""

from __future__ import annotations

import inspect

import pytest
import test_adapter_django  # noqa: F401  (configures Django's settings)
from conftest import ADAPTER_AGENT, ADAPTER_HEADER, ADAPTER_SCOPE
from django.core.handlers.asgi import ASGIHandler
from django.http import JsonResponse
from django.test import override_settings
from django.urls import path
from flask import Flask, g
from test_middleware import UvicornThread, WsgirefThread, call_wsgi

from quorvel_trellane import django as on_django
from quorvel_trellane import flask as on_flask


def sync_flask():
    return {"agent": g.agent_passport.agent_did}


async def async_flask():
    return sync_flask()


def sync_django(request):
    return JsonResponse({"agent": request.agent_passport.agent_did})


async def async_django(request):
    return sync_django(request)


VIEWS = {
    (framework, kind): module.passport_required(scope=ADAPTER_SCOPE)(globals()[f"{kind}_{framework}"])
    for framework, module in (("flask", on_flask), ("django", on_django))
    for kind in ("sync", "async")
}
urlpatterns = [path(kind, view) for (framework, kind), view in VIEWS.items() if framework == "django"]


@pytest.fixture(scope="module")
def served(adapter_trust):
    app = Flask(__name__)
    on_flask.Passport(app, trust=adapter_trust)
    for kind in ("sync", "async"):
        app.add_url_rule(f"/{kind}", endpoint=kind, view_func=VIEWS["flask", kind])
    with override_settings(QUORVEL_PASSPORT={"TRUST": adapter_trust}, ROOT_URLCONF=__name__, MIDDLEWARE=[]):
        django = UvicornThread(ASGIHandler())
        django.server.config.lifespan = "off"  # which Django's handler does not take
        with WsgirefThread(app) as flask_url, django as django_url:
            yield {"flask": flask_url, "django": django_url}


@pytest.mark.parametrize("framework", ["flask", "django"])
@pytest.mark.parametrize("kind", ["sync", "async"])
@pytest.mark.parametrize(("presented", "code"), [("genuine", 200), (None, 401), ("narrow", 403), ("revoked", 401)])
def test_a_decorated_view_keeps_its_kind_and_answers_each_passport(
    served, adapter_creds, framework, kind, presented, code
):
    assert inspect.iscoroutinefunction(VIEWS[framework, kind]) == (kind == "async")
    headers = [] if presented is None else [(ADAPTER_HEADER, adapter_creds[presented])]
    got, _, body = call_wsgi(f"{served[framework]}/{kind}", headers)
    assert (got, body if code == 200 else None) == (code, {"agent": ADAPTER_AGENT} if code == 200 else None)
