"""The trust layer's errors: what callers of the fetchers catch."""

from __future__ import annotations

from quorvel_trellane._internal.text import escaped

__all__ = ["FetchError"]


class FetchError(Exception):
    """A document could not be fetched or does not have the published shape.

    ``url`` is the document's URL; ``reason`` says what went wrong, with
    any text the server sent escaped.
    """

    def __init__(self, url: str, reason: str) -> None:
        super().__init__(f"{escaped(url)}: {reason}")
        self.url = url
        self.reason = reason

    def __reduce__(self) -> tuple[type[FetchError], tuple[str, str]]:
        # Rebuilt from both arguments: the default would pass the one message.
        return type(self), (self.url, self.reason)
