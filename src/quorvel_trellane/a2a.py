"""A2A (the ``a2a-sdk`` package, 1.x): passports in message metadata.

Server: wrap the agent executor, and every incoming message's passport is
verified before the agent runs::

    handler = DefaultRequestHandler(PassportExecutor(MyAgent(), trust=trust, required_scope="payments:x402"),
                                    InMemoryTaskStore(), card)

Client: one interceptor attaches the agent's passport to every message::

    client = await create_client(url, interceptors=[PassportInterceptor()])

Card: ``passport_extension(...)`` is the entry that advertises the
requirement in ``card.capabilities.extensions``.

Importing this module imports the A2A SDK; the rest of the package never
does (``passport_from_a2a_metadata`` lives in :mod:`quorvel_trellane.trust`).
"""

from __future__ import annotations

import hashlib
import json
from collections.abc import AsyncGenerator, Iterable, Mapping
from typing import Any, Final

from a2a.auth.user import User
from a2a.client import ClientCallContext
from a2a.client.interceptors import AfterArgs, BeforeArgs, ClientCallInterceptor
from a2a.helpers import new_data_part, new_message, new_text_part
from a2a.server.agent_execution import AgentExecutor, RequestContext
from a2a.server.context import ServerCallContext
from a2a.server.events import Event, EventQueue
from a2a.server.request_handlers import RequestHandler
from a2a.server.routes import DefaultServerCallContextBuilder
from a2a.types import (
    AgentCard,
    AgentExtension,
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
    TaskState,
    TaskStatus,
    TaskStatusUpdateEvent,
)
from a2a.utils.errors import TaskNotFoundError
from starlette.requests import Request

from quorvel_trellane import asgi
from quorvel_trellane._internal.components import require_components
from quorvel_trellane._internal.presenting import checked, own_credential
from quorvel_trellane._refusal import Answer, AsyncTrust
from quorvel_trellane.passport import (
    A2A_PASSPORT_METADATA_KEY,
    X402_PASSPORT_HEADER,
    PassportVerdict,
)
from quorvel_trellane.trust import passport_from_a2a_metadata

__all__ = [
    "PASSPORT_EXTENSION_URI",
    "STATE_KEY",
    "A2A_PASSPORT_METADATA_KEY",
    "passport_from_a2a_message",
    "PassportExecutor",
    "PassportCallContextBuilder",
    "PassportRequestHandler",
    "PassportUser",
    "PassportInterceptor",
    "passport_extension",
]

#: The URI of the agent-card extension saying "messages to this agent carry
#: an agent passport"; its parameters are described at :func:`passport_extension`.
PASSPORT_EXTENSION_URI: Final = "https://quorvel.com/a2a/extensions/agent-passport/v1"

#: The key of ``ServerCallContext.state`` holding the verdict, as the ASGI
#: middleware's key of the request state.
STATE_KEY: Final = asgi.STATE_KEY

_MESSAGE_METHODS: Final = frozenset({"send_message", "send_message_streaming"})
_GIVEN: Final = "PassportInterceptor was given text that is not a credential"
_HINT: Final = "PassportInterceptor(load_credential(PATH))"
_MISSING: Final = Answer.of("missing", "MISSING_PASSPORT", f"no {A2A_PASSPORT_METADATA_KEY} metadata member")


def passport_from_a2a_message(message: object) -> str | None:
    """The credential an A2A message carries in its metadata, or None.

    ``message`` is the SDK's ``Message`` (whose metadata is a protobuf
    ``Struct``) or a message as a JSON mapping with a "metadata" member.
    Never raises: what is not a readable passport is None.
    """
    if isinstance(message, Mapping):
        try:
            metadata = message["metadata"] if "metadata" in message else None
        except Exception:
            return None
    else:
        metadata = getattr(message, "metadata", None)
    return passport_from_a2a_metadata(metadata)


class PassportExecutor(AgentExecutor):
    """An agent executor that runs ``executor`` only for a verified passport.

    The passport is read from the incoming message's metadata (under
    "quorvel.com/agent-passport") and verified with
    ``trust.verify_async(credential, required_scope=required_scope)``. A
    message without one is admitted when the request came through the ASGI
    passport middleware (the header route) with a verified passport holding
    ``required_scope``: see :class:`PassportCallContextBuilder`.

    The passport is removed from the message before anything else sees it,
    so that the task's stored history never holds the credential. A message
    whose passport names another agent than the call's user (a
    :class:`PassportUser`, under whom the task is filed) is refused.

    Admitted: the verdict goes to ``context.call_context.state["agent_passport"]``
    and ``executor.execute`` runs. Refused, the executor never runs and the
    task ends in a refusal: no passport, ``TASK_STATE_AUTH_REQUIRED``; a
    passport that does not verify or lacks the scope, ``TASK_STATE_REJECTED``;
    a passport the trust could not judge because the issuer's key set or
    revocation list could not be obtained, ``TASK_STATE_FAILED`` with a
    message saying to try again and ``retry_after`` (seconds) in its data.
    The refusal's status message has a text part (the error message) and a
    data part with the machine-readable reason, the HTTP middleware's body:
    ``{"status", "error_code", "error_message"}``. ``cancel`` is passed on.
    """

    def __init__(self, executor: AgentExecutor, *, trust: AsyncTrust, required_scope: str | None = None) -> None:
        require_components("PassportExecutor")
        self.executor = executor
        self.trust = trust
        self.required_scope = required_scope

    async def execute(self, context: RequestContext, event_queue: EventQueue) -> None:
        verdict, refused = await self._check(context)
        if refused is not None:
            await _refuse(context, event_queue, refused)
            return
        context.call_context.state[STATE_KEY] = verdict
        await self.executor.execute(context, event_queue)

    async def cancel(self, context: RequestContext, event_queue: EventQueue) -> None:
        await self.executor.cancel(context, event_queue)

    async def _check(self, context: RequestContext) -> tuple[PassportVerdict | None, Answer | None]:
        credential = passport_from_a2a_message(context.message)
        if credential is not None:
            _forget_passport(context.message)
            verdict = await self.trust.verify_async(credential, required_scope=self.required_scope)
            if not verdict.verified:
                return verdict, _refused(verdict)
            user = context.call_context.user
            if isinstance(user, PassportUser) and PassportUser(verdict).user_name != user.user_name:
                # The task is filed under the call's agent: it must be the one that runs.
                return verdict, Answer.of(
                    verdict.status, "AGENT_MISMATCH", "the message's passport names another agent"
                )
            return verdict, None
        # The header route: the middleware verified the request's passport.
        carried = context.call_context.state.get(STATE_KEY)
        if isinstance(carried, PassportVerdict) and carried.verified:
            scope = self.required_scope
            if scope is not None and scope not in carried.scopes:
                # Worded as the verifier words a scope it was asked for.
                return carried, Answer.of(carried.status, "SCOPE_NOT_GRANTED", f"scope {scope!r} not granted")
            return carried, None
        return None, _MISSING


def _refused(verdict: PassportVerdict) -> Answer:
    return Answer.refusing(verdict)


def _forget_passport(message: Any) -> None:
    # The SDK saves the incoming message, metadata and all, in the task's
    # history, which tasks/get and push notifications hand out: a bearer
    # credential must not stay there. The request's own copy is changed,
    # before the task store sees it; the verdict carries what the agent needs.
    fields = message.metadata.fields
    if A2A_PASSPORT_METADATA_KEY in fields:
        del fields[A2A_PASSPORT_METADATA_KEY]


async def _refuse(context: RequestContext, event_queue: EventQueue, refused: Answer) -> None:
    reason: dict[str, Any] = json.loads(refused.body)
    text = reason["error_message"] or reason["error_code"]
    if refused.retry_after is not None:
        # The relying party could not judge the passport: the task failed on
        # this side, and the same message may succeed later.
        state = TaskState.TASK_STATE_FAILED
        reason["retry_after"] = refused.retry_after
        text = f"the issuer could not be reached to check the passport, try again in {refused.retry_after} s: {text}"
    elif reason["status"] == "missing":
        state = TaskState.TASK_STATE_AUTH_REQUIRED
    else:
        state = TaskState.TASK_STATE_REJECTED
    task_id = context.task_id or ""
    context_id = context.context_id or ""
    note = new_message(
        [new_text_part(text), new_data_part(reason)],
        context_id=context_id,
        task_id=task_id,
    )
    status = TaskStatus(state=state, message=note)
    if context.current_task is None:
        history = [context.message] if context.message is not None else []
        await event_queue.enqueue_event(Task(id=task_id, context_id=context_id, status=status, history=history))
    else:
        await event_queue.enqueue_event(TaskStatusUpdateEvent(task_id=task_id, context_id=context_id, status=status))


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


class PassportUser(User):
    """The call's user for a verified passport: the agent its issuer vouches for.

    ``user_name`` is the owner under which the SDK's task stores (its
    ``owner_resolver``) file the agent's tasks: one fixed-length text per
    (issuer DID, agent DID), the same for every passport of that agent from
    that issuer, and never the empty name of an unauthenticated call.
    """

    def __init__(self, verdict: PassportVerdict) -> None:
        self.verdict = verdict
        owner = json.dumps([verdict.issuer_did, verdict.agent_did], separators=(",", ":"))
        self._name = "agent-passport:" + hashlib.sha256(owner.encode("utf-8")).hexdigest()

    @property
    def is_authenticated(self) -> bool:
        return True

    @property
    def user_name(self) -> str:
        return self._name

    def __repr__(self) -> str:
        return f"PassportUser(issuer_did={self.verdict.issuer_did!r}, agent_did={self.verdict.agent_did!r})"


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

    def __getattr__(self, name: str) -> Any:
        # The wrapped handler's other members (its aclose for a server's
        # shutdown, its agent card) stay reachable through the wrapper.
        return getattr(self.__dict__["handler"] if "handler" in self.__dict__ else None, name)

    async def _agent(self, context: ServerCallContext, message: Message | None = None) -> PassportUser | None:
        user = context.user
        if isinstance(user, PassportUser):
            return user
        credential = passport_from_a2a_message(message) if message is not None else None
        if credential is None:
            # A call without a message authenticates through the header,
            # which the SDK's context builder keeps in the call's state.
            headers = context.state.get("headers")
            value = headers.get(self.header.lower()) if isinstance(headers, dict) else None
            # Copies folded into one value by commas are ambiguous: none.
            credential = value if isinstance(value, str) and "," not in value else None
        if credential is None or self.trust is None:
            return None
        # No scope here: the executor checks its own on the same passport.
        verdict = await self.trust.verify_async(credential)
        if not verdict.verified:
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


class PassportInterceptor(ClientCallInterceptor):
    """Attach the agent's passport to every outgoing A2A message.

    The credential goes into each sent message's metadata under
    "quorvel.com/agent-passport" and, unless ``header`` is None, into the
    ``header`` request header of every call (for agents behind the ASGI
    middleware). ``credential`` is the passport to present; with None, the
    agent's own is loaded as ``load_credential()`` loads it (from
    ``QUORVEL_AGENT_PASSPORT``, which holds the credential's text, not the
    name of a file), on first use, and kept. Either way a value that cannot
    be a credential (characters outside base64url) raises ``PassportError``
    with a hint, and nothing is sent; to present a file, pass
    ``load_credential(path)``. The caller's request and call context are
    never modified: the interceptor sends copies.
    """

    def __init__(self, credential: str | None = None, *, header: str | None = X402_PASSPORT_HEADER) -> None:
        self._credential = None if credential is None else checked(credential, _GIVEN, _HINT)
        self.header = header

    @property
    def credential(self) -> str:
        """The credential presented, loaded on first use when none was given."""
        credential = self._credential
        if credential is None:
            credential = self._credential = own_credential(None, _HINT)
        return credential

    async def before(self, args: BeforeArgs) -> None:
        credential = self.credential
        if args.method in _MESSAGE_METHODS and isinstance(args.input, SendMessageRequest):
            request = SendMessageRequest()
            request.CopyFrom(args.input)
            request.message.metadata[A2A_PASSPORT_METADATA_KEY] = credential
            args.input = request
        if self.header is not None:
            context = args.context
            parameters = dict(context.service_parameters or {}) if context is not None else {}
            parameters[self.header] = credential
            args.context = (
                ClientCallContext(service_parameters=parameters)
                if context is None
                else context.model_copy(update={"service_parameters": parameters})
            )

    async def after(self, args: AfterArgs) -> None:
        return None

    def __repr__(self) -> str:
        # Never the credential itself: reprs end up in logs.
        state = "loaded" if self._credential is not None else "not loaded"
        return f"PassportInterceptor(<credential {state}>, header={self.header!r})"


def passport_extension(
    *,
    issuers: Iterable[str] = (),
    scopes: Iterable[str] = (),
    required: bool = True,
    header: str = X402_PASSPORT_HEADER,
    description: str = "Messages carry an agent passport (Falcon-1024 signed credential).",
) -> AgentExtension:
    """The agent-card entry (``card.capabilities.extensions``) advertising the requirement.

    URI :data:`PASSPORT_EXTENSION_URI`; ``params``: "metadata_key" (where in
    a message's metadata the passport goes), "header" (the HTTP header of the
    header route), "issuers" (the accepted issuer DIDs), "scopes" (the scopes
    the agent requires). The card itself is served without a passport.
    """
    if isinstance(issuers, str) or isinstance(scopes, str):
        raise TypeError("issuers and scopes are iterables of str, not a single str")
    params: dict[str, Any] = {
        "metadata_key": A2A_PASSPORT_METADATA_KEY,
        "header": header,
        "issuers": [_text("issuers", i) for i in issuers],
        "scopes": [_text("scopes", s) for s in scopes],
    }
    extension = AgentExtension(uri=PASSPORT_EXTENSION_URI, description=description, required=required)
    extension.params.update(params)
    return extension


def _text(name: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} holds str, not {type(value).__name__}")
    return value
