"""PassportCallContextBuilder: the ASGI middleware's verdict and agent in the SDK's call context.

Imported through :mod:`quorvel_trellane.a2a`.
"""

from __future__ import annotations

from a2a.auth.user import User
from a2a.server.context import ServerCallContext
from a2a.server.routes import DefaultServerCallContextBuilder
from starlette.requests import Request

from quorvel_trellane.a2a._agent import STATE_KEY, PassportUser
from quorvel_trellane.passport import PassportVerdict


class PassportCallContextBuilder(DefaultServerCallContextBuilder):
    """The SDK's call-context builder, plus the ASGI middleware's verdict.

    Behind ``quorvel_trellane.asgi.PassportMiddleware`` (the header route),
    the verdict it stored in the request state is copied to
    ``ServerCallContext.state["agent_passport"]``, where the executor (and
    :class:`PassportExecutor`) find it, and the verified agent becomes the
    call's user (a :class:`PassportUser`), under whom the SDK's task stores
    file every task: reading, listing, continuing, cancelling or
    subscribing to a task then needs a passport of the agent that created
    it. Pass it as ``context_builder=`` to the SDK's route factories.
    """

    def build(self, request: Request) -> ServerCallContext:
        context = super().build(request)
        state = request.scope.get("state")
        if state is not None and STATE_KEY in state:
            context.state[STATE_KEY] = state[STATE_KEY]
        return context

    def build_user(self, request: Request) -> User:
        state = request.scope.get("state")
        verdict = state.get(STATE_KEY) if state is not None else None
        if isinstance(verdict, PassportVerdict) and verdict.verified:
            return PassportUser(verdict)
        return super().build_user(request)
