"""PassportInterceptor: the client's side, the agent's passport on every outgoing message.

Imported through :mod:`quorvel_trellane.a2a`.
"""

from __future__ import annotations

from typing import Final

from a2a.client import ClientCallContext
from a2a.client.interceptors import AfterArgs, BeforeArgs, ClientCallInterceptor
from a2a.types import SendMessageRequest

from quorvel_trellane._internal.presenting import Presented
from quorvel_trellane.passport import A2A_PASSPORT_METADATA_KEY, X402_PASSPORT_HEADER

_MESSAGE_METHODS: Final = frozenset({"send_message", "send_message_streaming"})
_GIVEN: Final = "PassportInterceptor was given text that is not a credential"
_HINT: Final = "PassportInterceptor(load_credential(PATH))"


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
        self._presented = Presented(credential, _GIVEN, _HINT)
        self.header = header

    @property
    def credential(self) -> str:
        """The credential presented, loaded on first use when none was given."""
        return self._presented.text

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
        return f"PassportInterceptor(<credential {self._presented.state}>, header={self.header!r})"
