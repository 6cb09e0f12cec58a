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

Modules:

- ``_agent``: the call's agent: the passport a message carries, PassportUser, the verdict's key
- ``_executor``: PassportExecutor, the agent run only for a verified passport
- ``_context``: PassportCallContextBuilder, the middleware's verdict in the call context
- ``_handler``: PassportRequestHandler, every task kept to the agent that created it
- ``_client``: PassportInterceptor, the client's side
- ``_card``: passport_extension, the agent card's entry
"""

from __future__ import annotations

from quorvel_trellane._internal.exports import claim
from quorvel_trellane.a2a._agent import STATE_KEY, PassportUser, passport_from_a2a_message
from quorvel_trellane.a2a._card import PASSPORT_EXTENSION_URI, passport_extension
from quorvel_trellane.a2a._client import PassportInterceptor
from quorvel_trellane.a2a._context import PassportCallContextBuilder
from quorvel_trellane.a2a._executor import PassportExecutor
from quorvel_trellane.a2a._handler import PassportRequestHandler
from quorvel_trellane.passport import A2A_PASSPORT_METADATA_KEY

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

# The public names belong to this package, as help() and pickling show them.
claim(__name__, globals(), __all__)
