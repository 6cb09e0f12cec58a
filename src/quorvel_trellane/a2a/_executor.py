"""PassportExecutor: the agent runs only for a verified passport; a refusal ends the task.

Imported through :mod:`quorvel_trellane.a2a`.
"""

from __future__ import annotations

import json
from typing import Any, Final

from a2a.helpers import new_data_part, new_message, new_text_part
from a2a.server.agent_execution import AgentExecutor, RequestContext
from a2a.server.events import EventQueue
from a2a.types import Task, TaskState, TaskStatus, TaskStatusUpdateEvent

from quorvel_trellane._gate import Answer, AsyncTrust, Gate
from quorvel_trellane._internal.components import require_components
from quorvel_trellane.a2a._agent import STATE_KEY, PassportUser, passport_from_a2a_message
from quorvel_trellane.passport import A2A_PASSPORT_METADATA_KEY, PassportVerdict

_MISSING: Final = Answer.of("missing", "MISSING_PASSPORT", f"no {A2A_PASSPORT_METADATA_KEY} metadata member")


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
        self.gate: Gate[AsyncTrust, RequestContext] = Gate(trust=trust, required_scope=required_scope)
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
            # A message's metadata is no header: a comma is the credential's own.
            verdict, _, refused = await self.gate.admit_async(credential, context, folded=False)
            assert verdict is not None  # a credential was given
            if refused is not None:
                return verdict, refused
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
