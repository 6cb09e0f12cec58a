"""The agent card's entry advertising that messages carry a passport.

Imported through :mod:`quorvel_trellane.a2a`.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import Any, Final

from a2a.types import AgentExtension

from quorvel_trellane.passport import A2A_PASSPORT_METADATA_KEY, X402_PASSPORT_HEADER

#: The URI of the agent-card extension saying "messages to this agent carry
#: an agent passport"; its parameters are described at :func:`passport_extension`.
PASSPORT_EXTENSION_URI: Final = "https://quorvel.com/a2a/extensions/agent-passport/v1"


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
