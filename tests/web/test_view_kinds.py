"""Flask and Django view decorators keep the view's kind: async views are awaited, sync views stay sync.

Real Flask on wsgiref and real Django under uvicorn (ASGI, so an async
view runs in the server's loop) on 127.0.0.1, real credentials.
"""

from __future__ import annotations

import inspect
from typing import Any

import pytest
import test_adapter_django  # noqa: F401  (configures Django's settings)
from conftest import ADAPTER_AGENT, ADAPTER_HEADER, ADAPTER_SCOPE
from django.core.handlers.asgi import ASGIHandler
from django.http import HttpRequest, JsonResponse
from django.test import override_settings
from django.urls import path
from flask import Flask, g
from test_middleware import UvicornThread, WsgirefThread, call_wsgi

from quorvel_trellane import django as on_django
from quorvel_trellane import flask as on_flask


def answer(verdict: Any) -> dict[str, Any]:
    return {"agent": verdict.agent_did}


def flask_views() -> dict[str, Any]:
    def sync_view() -> dict[str, Any]:
        return answer(g.agent_passport)

    async def async_view() -> dict[str, Any]:
        return answer(g.agent_passport)

    return {
        kind: on_flask.passport_required(scope=ADAPTER_SCOPE)(view)
        for kind, view in [("sync", sync_view), ("async", async_view)]
    }


def django_views() -> dict[str, Any]:
    def sync_view(request: HttpRequest) -> JsonResponse:
        return JsonResponse(answer(request.agent_passport))

    async def async_view(request: HttpRequest) -> JsonResponse:
        return JsonResponse(answer(request.agent_passport))

    return {
        kind: on_django.passport_required(scope=ADAPTER_SCOPE)(view)
        for kind, view in [("sync", sync_view), ("async", async_view)]
    }


DJANGO_VIEWS = django_views()
urlpatterns = [path(kind, view) for kind, view in DJANGO_VIEWS.items()]


def without_lifespan(handler: ASGIHandler) -> Any:
    """Django's handler takes no lifespan scope, which the test server sends."""

    async def app(scope: dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] == "lifespan":
            while (await receive())["type"] != "lifespan.shutdown":
                await send({"type": "lifespan.startup.complete"})
            await send({"type": "lifespan.shutdown.complete"})
            return
        await handler(scope, receive, send)

    return app


@pytest.fixture(scope="module")
def served(adapter_trust: Any) -> Any:
    app = Flask(__name__)
    on_flask.Passport(app, trust=adapter_trust)
    flask = flask_views()
    for kind, view in flask.items():
        app.add_url_rule(f"/{kind}", endpoint=kind, view_func=view)
    options = {"TRUST": adapter_trust}
    with override_settings(QUORVEL_PASSPORT=options, ROOT_URLCONF=__name__, MIDDLEWARE=[]):
        with WsgirefThread(app) as flask_url, UvicornThread(without_lifespan(ASGIHandler())) as django_url:
            yield {"flask": (flask_url, flask), "django": (django_url, DJANGO_VIEWS)}


@pytest.mark.parametrize("framework", ["flask", "django"])
@pytest.mark.parametrize("kind", ["sync", "async"])
@pytest.mark.parametrize(("presented", "code"), [("genuine", 200), (None, 401), ("narrow", 403), ("revoked", 401)])
def test_a_decorated_view_keeps_its_kind_and_answers_each_passport(
    served, adapter_creds, framework, kind, presented, code
):
    url, views = served[framework]
    assert inspect.iscoroutinefunction(views[kind]) == (kind == "async")
    headers = [] if presented is None else [(ADAPTER_HEADER, adapter_creds[presented])]
    got, _, body = call_wsgi(f"{url}/{kind}", headers)
    assert (got, body if code == 200 else got) == (code, {"agent": ADAPTER_AGENT} if code == 200 else code)
