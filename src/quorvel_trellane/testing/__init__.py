"""A throw-away passport issuer for tests and demonstrations. Test only.

Nothing here is fit for production: secret keys live in memory, the HTTP
server has no TLS, no authentication and binds the loopback interface only.
It exists so that tests, the demo and a developer's shell can produce real
credentials (Falcon-1024 over the RFC 8785 bytes of the payload) and serve
an issuer's published documents without a real operator.

    issuer = Issuer()
    credential = issuer.issue(agent_did="did:example:agent-1")
    with IssuerServer(issuer) as server:
        keys = resolve_keys_from_wellknown(server.url)

The documents follow the published formats: the well-known key document
``{"keys": [{"alg", "kid", "public_key_b64"}]}`` at
``/.well-known/pqc-keys.json`` and the revocation list ``{"revoked": [...]}``
at ``/passport/crl/<kid>.json``.

From a shell, ``python -m quorvel_trellane.testing [DIR]`` writes a test
issuer's public key, key set document and revocation list and two passports
to files, to try the ``quorvel-passport`` command with.

Needs ``rfc8785`` and ``pqcrypto`` (the ``passport`` extra).

Modules:

- ``_credentials``: IssuerKeyPair and the functions that make payloads, envelopes and credentials
- ``_issuer``: Issuer, and the documents it publishes
- ``_server``: IssuerServer, the issuer's documents on a loopback HTTP server
- ``_files``: the files ``python -m quorvel_trellane.testing`` writes
"""

from __future__ import annotations

import sys

from quorvel_trellane._internal.exports import claim

try:
    from quorvel_trellane.testing._credentials import (
        ALG as ALG,
    )
    from quorvel_trellane.testing._credentials import (
        OMIT as OMIT,
    )
    from quorvel_trellane.testing._credentials import (
        IssuerKeyPair as IssuerKeyPair,
    )
    from quorvel_trellane.testing._credentials import (
        b64u as b64u,
    )
    from quorvel_trellane.testing._credentials import (
        b64u_decode as b64u_decode,
    )
    from quorvel_trellane.testing._credentials import (
        encode_envelope as encode_envelope,
    )
    from quorvel_trellane.testing._credentials import (
        envelope_of as envelope_of,
    )
    from quorvel_trellane.testing._credentials import (
        generate_keypair as generate_keypair,
    )
    from quorvel_trellane.testing._credentials import (
        issue_credential as issue_credential,
    )
    from quorvel_trellane.testing._credentials import (
        key_id as key_id,
    )
    from quorvel_trellane.testing._credentials import (
        make_envelope as make_envelope,
    )
    from quorvel_trellane.testing._credentials import (
        make_payload as make_payload,
    )
    from quorvel_trellane.testing._credentials import (
        passport_id_of as passport_id_of,
    )
    from quorvel_trellane.testing._credentials import (
        sign_payload as sign_payload,
    )
    from quorvel_trellane.testing._credentials import (
        stamp as stamp,
    )
    from quorvel_trellane.testing._credentials import (
        tamper as tamper,
    )
    from quorvel_trellane.testing._issuer import (
        Issuer as Issuer,
    )
    from quorvel_trellane.testing._issuer import (
        revocation_list as revocation_list,
    )
    from quorvel_trellane.testing._issuer import (
        wellknown_document as wellknown_document,
    )
    from quorvel_trellane.testing._server import Fault as Fault
    from quorvel_trellane.testing._server import IssuerServer as IssuerServer
except ModuleNotFoundError as exc:
    # `python -m quorvel_trellane.testing` imports this package before its
    # __main__ (the interpreter sets argv[0] to "-m" while it looks): there,
    # the missing components are one line and exit status 2, as the command's.
    if sys.argv[:1] == ["-m"]:
        print(exc.msg, file=sys.stderr)
        raise SystemExit(2) from None
    raise

__all__ = [
    "ALG",
    "OMIT",
    "IssuerKeyPair",
    "Issuer",
    "IssuerServer",
    "b64u",
    "b64u_decode",
    "encode_envelope",
    "envelope_of",
    "generate_keypair",
    "issue_credential",
    "key_id",
    "make_envelope",
    "make_payload",
    "passport_id_of",
    "revocation_list",
    "sign_payload",
    "stamp",
    "tamper",
    "wellknown_document",
]

# The public names belong to this package, as help() and pickling show them.
claim(__name__, globals(), [*__all__, "Fault"])
