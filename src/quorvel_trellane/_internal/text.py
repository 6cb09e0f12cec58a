"""Showing text that came from outside: control characters escaped.

An issuer's reason phrase, a URL, a kid or a claim may carry escape
sequences that would redraw a terminal (a "VERIFIED" painted over the real
verdict) or forge a line in a log. Everything the package prints or logs
that it did not write itself goes through :func:`escaped`.
"""

from __future__ import annotations

__all__ = ["escaped"]


def escaped(text: str) -> str:
    """``text`` with every character that is not printable written as its escape.

    Control characters, line and paragraph separators and the invisible
    formatting characters (bidirectional overrides among them) become
    ``\\x1b``, ``\\n``, ``\\u202e`` and so on; everything else is kept.
    """
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)
