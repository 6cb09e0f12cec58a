"""The call's agent: the passport a message carries, the verdict's key, and
PassportUser, the user the SDK's task stores file tasks under.

Imported through :mod:`quorvel_trellane.a2a`.
"""

from __future__ import annotations

import hashlib
import json
from collections.abc import Mapping
from typing import Final

from a2a.auth.user import User

from quorvel_trellane import asgi
from quorvel_trellane.passport import PassportVerdict
from quorvel_trellane.trust import passport_from_a2a_metadata

#: The key of ``ServerCallContext.state`` holding the verdict, as the ASGI
#: middleware's key of the request state.
STATE_KEY: Final = asgi.STATE_KEY


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
