"""A2A tasks belong to the verified agent that created them, on both routes.

The real SDK (request handler, in-memory task store, JSON-RPC routes,
client) under uvicorn on 127.0.0.1; real credentials of two agents of one
issuer, verified by a real IssuerTrust.
"""

from __future__ import annotations

import asyncio
from collections.abc import Iterator
from typing import Any

import pytest
from a2a.client import ClientConfig, create_client
from a2a.server.agent_execution import AgentExecutor, RequestContext
from a2a.server.events import EventQueue
from a2a.server.request_handlers import DefaultRequestHandler
from a2a.server.routes import create_agent_card_routes, create_jsonrpc_routes
from a2a.server.tasks import InMemoryTaskStore
from a2a.types import (
    AgentCapabilities,
    CancelTaskRequest,
    GetTaskRequest,
    ListTasksRequest,
    SendMessageRequest,
    SubscribeToTaskRequest,
    Task,
    TaskState,
    TaskStatus,
    TaskStatusUpdateEvent,
)
from a2a.utils.constants import AGENT_CARD_WELL_KNOWN_PATH
from conftest import ADAPTER_SCOPE
from starlette.applications import Starlette
from test_adapter_a2a import agent_card, user_message
from test_middleware import UvicornThread

from quorvel_trellane import a2a
from quorvel_trellane.asgi import PassportMiddleware

WAITING = TaskState.TASK_STATE_INPUT_REQUIRED


class Keeper(AgentExecutor):
    """Keeps every task open, waiting for the next message."""

    async def execute(self, context: RequestContext, event_queue: EventQueue) -> None:
        status = TaskStatus(state=WAITING)
        if context.current_task is None:
            task = Task(id=context.task_id, context_id=context.context_id, status=status, history=[context.message])
            await event_queue.enqueue_event(task)
        else:
            update = TaskStatusUpdateEvent(task_id=context.task_id, context_id=context.context_id, status=status)
            await event_queue.enqueue_event(update)

    async def cancel(self, context: RequestContext, event_queue: EventQueue) -> None:
        status = TaskStatus(state=TaskState.TASK_STATE_CANCELED)
        await event_queue.enqueue_event(
            TaskStatusUpdateEvent(task_id=context.task_id, context_id=context.context_id, status=status)
        )


def serve(trust: Any, route: str) -> tuple[UvicornThread, str]:
    holder: dict[str, Any] = {}

    async def app(scope: Any, receive: Any, send: Any) -> None:
        await holder["app"](scope, receive, send)

    server = UvicornThread(app)
    url = f"http://127.0.0.1:{server.sock.getsockname()[1]}"
    card = agent_card(url)
    card.capabilities.CopyFrom(AgentCapabilities(streaming=True))
    executor = a2a.PassportExecutor(Keeper(), trust=trust, required_scope=ADAPTER_SCOPE)
    handler = DefaultRequestHandler(executor, InMemoryTaskStore(), card)
    if route == "metadata":
        routes = create_jsonrpc_routes(a2a.PassportRequestHandler(handler, trust=trust), "/")
        holder["app"] = Starlette(routes=create_agent_card_routes(card) + routes)
    else:  # the builder alone: the SDK's store scopes tasks by the call's user
        routes = create_jsonrpc_routes(handler, "/", context_builder=a2a.PassportCallContextBuilder())
        holder["app"] = PassportMiddleware(
            Starlette(routes=create_agent_card_routes(card) + routes),
            trust=trust,
            public_paths=[AGENT_CARD_WELL_KNOWN_PATH],
        )
    return server, url


@pytest.fixture(scope="module")
def agents(adapter_trust: Any) -> Iterator[dict[str, str]]:
    servers = {route: serve(adapter_trust, route) for route in ("metadata", "header")}
    for server, _ in servers.values():
        server.__enter__()
    yield {route: url for route, (_, url) in servers.items()}
    for server, _ in servers.values():
        server.__exit__(None, None, None)


@pytest.fixture(scope="module")
def callers(adapter_issuer: Any, adapter_creds: dict[str, str]) -> dict[str, list[Any]]:
    other = adapter_issuer.issue(agent_did="did:web:agents.example.com:someone-else", scopes=[ADAPTER_SCOPE])
    return {
        "the owner": [a2a.PassportInterceptor(adapter_creds["genuine"])],
        "another agent": [a2a.PassportInterceptor(other)],
        "no passport": [],
    }


async def operate(url: str, interceptors: list[Any], operation: str, task: Task | None) -> str:
    """What the caller sees of ``task``: "seen", "not found", or "refused" (no answer at all)."""
    client = await create_client(url, client_config=ClientConfig(streaming=True), interceptors=interceptors)
    try:
        if operation == "create":
            async for event in client.send_message(SendMessageRequest(message=user_message())):
                return event.task  # type: ignore[no-any-return]
        assert task is not None
        if operation == "get":
            found = await client.get_task(GetTaskRequest(id=task.id))
            return "seen" if found.id == task.id and found.history else "wrong"
        if operation == "list":
            listed = await client.list_tasks(ListTasksRequest())
            return "seen" if task.id in [t.id for t in listed.tasks] else "not found"
        if operation == "cancel":
            cancelled = await client.cancel_task(CancelTaskRequest(id=task.id))
            return "seen" if cancelled.status.state == TaskState.TASK_STATE_CANCELED else "wrong"
        if operation == "subscribe":
            async for event in client.subscribe(SubscribeToTaskRequest(id=task.id)):
                return "seen" if event.task.id == task.id else "wrong"
        message = user_message()
        message.task_id, message.context_id = task.id, task.context_id
        async for event in client.send_message(SendMessageRequest(message=message)):
            return "seen" if event.WhichOneof("payload") in ("task", "status_update") else "wrong"
        return "wrong"
    except Exception as exc:  # the SDK client's error for the server's answer
        text = f"{type(exc).__name__}: {exc}"
        return "not found" if "TaskNotFound" in text or "not found" in text.lower() else f"refused: {text}"[:200]
    finally:
        await client.close()


OPERATIONS = ["get", "list", "continue", "cancel", "subscribe"]


@pytest.mark.parametrize("route", ["metadata", "header"])
@pytest.mark.parametrize("caller", ["the owner", "another agent", "no passport"])
@pytest.mark.parametrize("operation", OPERATIONS)
def test_a_task_is_seen_only_by_the_agent_that_created_it(agents, callers, route, caller, operation):
    url = agents[route]
    task = asyncio.run(operate(url, callers["the owner"], "create", None))
    assert isinstance(task, Task) and task.status.state == WAITING
    seen = asyncio.run(operate(url, callers[caller], operation, task))
    if caller == "the owner":
        assert seen == "seen"
    elif caller == "no passport" and route == "header":  # the middleware answers 401 before the SDK
        assert seen.startswith("refused") and "401" in seen
    else:
        assert seen == "not found"
    # Whatever a stranger tried, the owner still finds the task as it was.
    if caller != "the owner":
        assert asyncio.run(operate(url, callers["the owner"], "get", task)) == "seen"
