"""The passport components (``rfc8785`` and ``pqcrypto``): how to install them.

The package is installed from a checkout or a built wheel, so every hint
names the components themselves, which come from the package index, and
the ``passport`` extra for a checkout. Keep the version bounds those of
the ``passport`` extra in pyproject.toml.
"""

from __future__ import annotations

from typing import Final

#: The command that installs the canonicaliser and the Falcon-1024 verifier.
PASSPORT_INSTALL: Final = "pip install 'rfc8785>=0.1.4' 'pqcrypto>=0.4.0,<1.0'"

#: How to install them, whichever way the package itself was installed.
PASSPORT_HINT: Final = f"{PASSPORT_INSTALL} (or, in a checkout of quorvel-trellane, pip install '.[passport]')"

#: How to install what the demo runs besides them.
DEMO_HINT: Final = "pip install uvicorn httpx (or, in a checkout of quorvel-trellane, pip install '.[demo]')"


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
