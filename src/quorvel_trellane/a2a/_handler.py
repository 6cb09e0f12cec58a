"""PassportRequestHandler: the SDK's request handler, every task kept to the agent that created it.

Imported through :mod:`quorvel_trellane.a2a`.
"""

from __future__ import annotations

from collections.abc import AsyncGenerator
from typing import Any

from a2a.server.context import ServerCallContext
from a2a.server.events import Event
from a2a.server.request_handlers import RequestHandler
from a2a.types import (
    AgentCard,
    CancelTaskRequest,
    DeleteTaskPushNotificationConfigRequest,
    GetExtendedAgentCardRequest,
    GetTaskPushNotificationConfigRequest,
    GetTaskRequest,
    ListTaskPushNotificationConfigsRequest,
    ListTaskPushNotificationConfigsResponse,
    ListTasksRequest,
    ListTasksResponse,
    Message,
    SendMessageRequest,
    SubscribeToTaskRequest,
    Task,
    TaskPushNotificationConfig,
)
from a2a.utils.errors import TaskNotFoundError

from quorvel_trellane._gate import AsyncTrust, Gate
from quorvel_trellane.a2a._agent import PassportUser, passport_from_a2a_message
from quorvel_trellane.passport import X402_PASSPORT_HEADER


class PassportRequestHandler(RequestHandler):
    """The SDK's request handler, with every task kept to the agent that created it.

    Wraps ``handler`` (the SDK's ``DefaultRequestHandler`` over a
    :class:`PassportExecutor`). A call's agent is the user
    :class:`PassportCallContextBuilder` found (the header route), or else
    the agent of the passport in the message's metadata or, for a call
    without a message, in the ``header`` request header, verified with
    ``trust`` (the metadata route); it becomes the call's user, under whom
    the SDK's task store files and looks up tasks. Without a verified agent,
    a message may open a new task (the executor then refuses it) but
    continue none, and a read (get, list, cancel, subscribe, push
    configurations) finds nothing: every task "does not exist", an empty
    list. Another agent is told the same, so a task's existence is never
    shown to anyone but its owner.
    """

    def __init__(
        self, handler: RequestHandler, *, trust: AsyncTrust | None = None, header: str = X402_PASSPORT_HEADER
    ) -> None:
        self.handler = handler
        self.trust = trust
        self.header = header
        # No scope here: the executor checks its own on the same passport.
        self._gate: Gate[AsyncTrust, ServerCallContext] | None = (
            None if trust is None else Gate(trust=trust, header=header)
        )

    def __getattr__(self, name: str) -> Any:
        # The wrapped handler's other members (its aclose for a server's
        # shutdown, its agent card) stay reachable through the wrapper.
        return getattr(self.__dict__["handler"] if "handler" in self.__dict__ else None, name)

    async def _agent(self, context: ServerCallContext, message: Message | None = None) -> PassportUser | None:
        user = context.user
        if isinstance(user, PassportUser):
            return user
        gate = self._gate
        credential = passport_from_a2a_message(message) if message is not None else None
        folded = credential is None
        if folded:
            # A call without a message authenticates through the header,
            # which the SDK's context builder keeps in the call's state.
            headers = context.state.get("headers")
            value = headers.get(self.header.lower()) if isinstance(headers, dict) else None
            credential = value if isinstance(value, str) else None
        if credential is None or gate is None:
            return None
        # Copies of the header folded into one value by commas are ambiguous: none.
        verdict, _, refused = await gate.admit_async(credential, context, folded=folded)
        if verdict is None or refused is not None:
            return None
        context.user = agent = PassportUser(verdict)
        return agent

    async def _owner_only(self, context: ServerCallContext) -> None:
        if await self._agent(context) is None:
            raise TaskNotFoundError

    async def _message(self, params: SendMessageRequest, context: ServerCallContext) -> None:
        if await self._agent(context, params.message) is None and params.message.task_id:
            raise TaskNotFoundError

    async def on_message_send(self, params: SendMessageRequest, context: ServerCallContext) -> Task | Message:
        await self._message(params, context)
        return await self.handler.on_message_send(params, context)

    async def on_message_send_stream(
        self, params: SendMessageRequest, context: ServerCallContext
    ) -> AsyncGenerator[Event]:
        await self._message(params, context)
        async for event in self.handler.on_message_send_stream(params, context):
            yield event

    async def on_get_task(self, params: GetTaskRequest, context: ServerCallContext) -> Task | None:
        await self._owner_only(context)
        return await self.handler.on_get_task(params, context)

    async def on_list_tasks(self, params: ListTasksRequest, context: ServerCallContext) -> ListTasksResponse:
        if await self._agent(context) is None:
            return ListTasksResponse()
        return await self.handler.on_list_tasks(params, context)

    async def on_cancel_task(self, params: CancelTaskRequest, context: ServerCallContext) -> Task | None:
        await self._owner_only(context)
        return await self.handler.on_cancel_task(params, context)

    async def on_subscribe_to_task(
        self, params: SubscribeToTaskRequest, context: ServerCallContext
    ) -> AsyncGenerator[Event]:
        await self._owner_only(context)
        async for event in self.handler.on_subscribe_to_task(params, context):
            yield event

    async def on_create_task_push_notification_config(
        self, params: TaskPushNotificationConfig, context: ServerCallContext
    ) -> TaskPushNotificationConfig:
        await self._owner_only(context)
        return await self.handler.on_create_task_push_notification_config(params, context)

    async def on_get_task_push_notification_config(
        self, params: GetTaskPushNotificationConfigRequest, context: ServerCallContext
    ) -> TaskPushNotificationConfig:
        await self._owner_only(context)
        return await self.handler.on_get_task_push_notification_config(params, context)

    async def on_list_task_push_notification_configs(
        self, params: ListTaskPushNotificationConfigsRequest, context: ServerCallContext
    ) -> ListTaskPushNotificationConfigsResponse:
        await self._owner_only(context)
        return await self.handler.on_list_task_push_notification_configs(params, context)

    async def on_delete_task_push_notification_config(
        self, params: DeleteTaskPushNotificationConfigRequest, context: ServerCallContext
    ) -> None:
        await self._owner_only(context)
        await self.handler.on_delete_task_push_notification_config(params, context)

    async def on_get_extended_agent_card(
        self, params: GetExtendedAgentCardRequest, context: ServerCallContext
    ) -> AgentCard:
        return await self.handler.on_get_extended_agent_card(params, context)
