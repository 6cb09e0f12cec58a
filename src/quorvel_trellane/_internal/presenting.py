"""The agent's own credential, loaded for presenting, and the check that it can be one.

``load_credential`` reads a file or ``$QUORVEL_AGENT_PASSPORT`` and, by its
contract, never looks at what it read. What is about to be sent as a
passport is checked here: a value outside the base64url alphabet (a file
name put in the variable, a JSON document in the file) would otherwise go
to every server as the agent's passport.
"""

from __future__ import annotations

import os
import re
from typing import Final

from quorvel_trellane import passport
from quorvel_trellane.passport import PASSPORT_ENV_VAR, PassportError

# base64url text, padding optional: what a credential is made of.
_CREDENTIAL: Final = re.compile(r"[A-Za-z0-9_-]+={0,2}")


def can_be_credential(text: str) -> bool:
    """Whether ``text`` is made of what a credential is made of (base64url)."""
    return _CREDENTIAL.fullmatch(text) is not None


def checked(credential: str, problem: str, hint: str) -> str:
    """``credential`` without surrounding whitespace, or ``PassportError``.

    ``problem`` opens the message ("QUORVEL_AGENT_PASSPORT does not hold a
    credential") and ``hint`` says what to do instead. The value itself is
    named only when it is the name of a file: anything else might be a
    damaged credential, which does not belong in a message that may end up
    in a log.
    """
    if not isinstance(credential, str):
        raise TypeError(f"a credential is text (str), not {type(credential).__name__}")
    text = credential.strip()
    if can_be_credential(text):
        return text
    names = f": it names the file {text}" if text and os.path.isfile(text) else ""
    raise PassportError(f"{problem} (base64url text: letters, digits, '-' and '_'){names}; {hint}")


def own_credential(file: str | None, hint_for_file: str) -> str:
    """The agent's own credential, from ``file`` or ``$QUORVEL_AGENT_PASSPORT``, checked.

    ``hint_for_file`` says how to pass a file instead of the variable (an
    option, a call). The errors of reading a file pass through unchanged.
    """
    credential = passport.load_credential(file)
    if file:
        if not credential:
            raise PassportError(f"credential file {file} is empty")
        return checked(
            credential,
            f"credential file {file} does not hold a credential",
            "the file must hold the credential's text alone",
        )
    return checked(
        credential,
        f"{PASSPORT_ENV_VAR} does not hold a credential",
        f"put the credential's text in {PASSPORT_ENV_VAR}, or pass its file: {hint_for_file}",
    )


class Presented:
    """The credential a client presents: the one it was given, checked at
    once, or the agent's own, loaded on first use and kept.

    ``problem`` opens the message refusing a given value that cannot be a
    credential; ``hint`` says how to present a file instead.
    """

    __slots__ = ("_hint", "_text")

    def __init__(self, credential: str | None, problem: str, hint: str) -> None:
        self._hint = hint
        self._text = None if credential is None else checked(credential, problem, hint)

    @property
    def text(self) -> str:
        """The credential, loaded from ``$QUORVEL_AGENT_PASSPORT`` on first use when none was given."""
        text = self._text
        if text is None:
            text = self._text = own_credential(None, self._hint)
        return text

    @property
    def state(self) -> str:
        """Whether it is "loaded" or "not loaded", for a ``repr``: never the credential itself."""
        return "loaded" if self._text is not None else "not loaded"
