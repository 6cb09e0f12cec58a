"""Showing text that came from outside: control characters escaped, decoders' errors in plain words.

An issuer's reason phrase, a URL, a kid or a claim may carry escape
sequences that would redraw a terminal (a "VERIFIED" painted over the real
verdict) or forge a line in a log. Everything the package prints or logs
that it did not write itself goes through :func:`escaped`.
"""

from __future__ import annotations

from typing import Final

__all__ = ["escaped", "plain_reason"]

# A malformed credential's verdict ends with the decoder's own error (a
# codec's, base64's, the JSON parser's): useful to whoever debugs the
# verifier, noise to an agent or a person reading a refusal. What is shown
# them keeps the verdict's words up to that point and says the rest plainly.
_PLAIN: Final = {
    "malformed credential envelope: ": "malformed credential envelope: not the base64url text of a JSON object",
    "credential signature is not base64url: ": "credential signature is not base64url",
    "credential payload cannot be canonicalised: ": "credential payload cannot be canonicalised: RFC 8785 refuses a value",
}


def escaped(text: str) -> str:
    """``text`` with every character that is not printable written as its escape.

    Control characters, line and paragraph separators and the invisible
    formatting characters (bidirectional overrides among them) become
    ``\\x1b``, ``\\n``, ``\\u202e`` and so on; everything else is kept.
    """
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii") for c in text)


def plain_reason(message: str | None) -> str | None:
    """A verdict's message as it is shown to people and agents: a decoder's error replaced by plain words."""
    if message is not None:
        for head, plain in _PLAIN.items():
            if message.startswith(head):
                return plain
    return message
