"""The passport components (``rfc8785`` and ``pqcrypto``): how to install them.

Every hint names the package's ``passport`` extra, which brings both with
the version bounds pyproject.toml gives them, and the same extra for a
checkout.
"""

from __future__ import annotations

from typing import Final

#: The command that installs the canonicaliser and the Falcon-1024 verifier.
PASSPORT_INSTALL: Final = "pip install 'quorvel-trellane[passport]'"

#: How to install them, whichever way the package itself was installed.
PASSPORT_HINT: Final = f"{PASSPORT_INSTALL} (in a checkout of quorvel-trellane: pip install '.[passport]')"

#: How to install what the demo runs besides them.
DEMO_HINT: Final = "pip install 'quorvel-trellane[demo]' (in a checkout of quorvel-trellane: pip install '.[demo]')"


def require_components(what: str) -> None:
    """Raise ``PassportError`` unless the canonicaliser and the verifier load.

    For what a relying party creates at start-up (the trust layer, the
    middleware): set up without them it would answer every agent "invalid"
    with the install hint, a set-up fault blamed on the agents and disclosed
    to them. ``what`` names the object in the message.
    """
    from quorvel_trellane import passport

    try:
        passport._load_crypto()
    except passport.PassportError as exc:
        raise passport.PassportError(
            f"{what} needs the passport components rfc8785 and pqcrypto: {PASSPORT_HINT}"
        ) from exc
