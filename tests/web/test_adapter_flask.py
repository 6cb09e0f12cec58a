"""Flask: ``passport_required`` answers as the middleware and puts the verdict on ``g``.

The real Flask application served by wsgiref on 127.0.0.1 (a real server
folds a repeated header into one value, which Flask's test client cannot
show); real credentials verified by a real IssuerTrust.
"""

from __future__ import annotations

from typing import Any

import pytest
from conftest import (
    ADAPTER_HEADER,
    ADAPTER_SCOPE,
    check_adapter_answer,
    each_adapter_case,
    readme_examples,
    readme_trust,
)
from flask import Flask, g
from test_middleware import WsgirefThread, call_wsgi

from quorvel_trellane.flask import Passport, passport_required


def make_app(trust: Any) -> Flask:
    app = Flask(__name__)
    Passport(app, trust=trust)

    @app.get("/pay")
    @passport_required(scope=ADAPTER_SCOPE)
    def pay() -> dict[str, Any]:
        return {"agent": g.agent_passport.agent_did}

    @app.get("/health")
    def health() -> dict[str, Any]:
        return {"ok": True}

    @app.get("/maybe")
    @passport_required(trust=trust, optional=True)
    def maybe() -> dict[str, Any]:
        return {"verified": None if g.agent_passport is None else g.agent_passport.verified}

    return app


@pytest.fixture(scope="module")
def url(adapter_trust: Any) -> Any:
    with WsgirefThread(make_app(adapter_trust)) as base:
        yield base


@each_adapter_case()
def test_the_decorator_answers_each_request_as_the_middleware_does(url, adapter_creds, case):
    check_adapter_answer(
        case, *call_wsgi(url + case.path, [(ADAPTER_HEADER, adapter_creds[n]) for n in case.presented])
    )


@pytest.mark.parametrize(("presented", "seen"), [((), None), (("genuine",), True), (("tampered",), False)])
def test_optional_never_refuses_and_a_trust_may_be_given_without_the_extension(url, adapter_creds, presented, seen):
    assert call_wsgi(url + "/maybe", [(ADAPTER_HEADER, adapter_creds[n]) for n in presented])[::2] == (
        200,
        {"verified": seen},
    )


def test_a_view_without_trust_or_extension_fails_loudly_instead_of_admitting(adapter_creds):
    app = Flask(__name__)

    @app.get("/pay")
    @passport_required()
    def pay() -> str:
        return "admitted"

    app.testing = True
    with pytest.raises(RuntimeError, match="Passport"):
        app.test_client().get("/pay", headers={ADAPTER_HEADER: adapter_creds["genuine"]})


@pytest.mark.parametrize(("presented", "code"), [(("genuine",), 200), ((), 401), (("revoked",), 401)])
def test_the_readme_example_protects_its_route(adapter_issuer, adapter_creds, presented, code):
    [example] = readme_examples("### Flask")
    namespace: dict[str, Any] = {"__name__": "readme_flask"}
    with readme_trust(adapter_issuer):
        exec(example, namespace)
    response = (
        namespace["app"].test_client().post("/pay", headers=[(ADAPTER_HEADER, adapter_creds[n]) for n in presented])
    )
    assert response.status_code == code
