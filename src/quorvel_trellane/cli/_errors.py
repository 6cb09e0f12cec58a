"""The errors ``quorvel-passport`` reports, each ending the command with its exit status.

Imported through :mod:`quorvel_trellane.cli`.
"""

from __future__ import annotations

from quorvel_trellane._internal.text import escaped


class UsageError(Exception):
    """Bad input from the command line: reported on stderr, exit 2."""


class NetworkError(Exception):
    """A document could not be fetched: reported on stderr, exit 3."""


def one_line(text: str) -> str:
    """One line, every control character escaped: error texts quote URLs and issuers' answers."""
    return escaped(" ".join(text.split()))
