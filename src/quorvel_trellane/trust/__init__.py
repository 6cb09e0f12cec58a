"""Relying-party trust: an issuer's key set and revocation lists, kept fresh.

``verify_passport`` judges one credential against trust material the caller
supplies. :class:`IssuerTrust` is that caller for one issuer: it fetches the
key set and the revocation lists with the library's own retrieval functions,
keeps them fresh in the background, survives an issuer outage on the last
good copies for a bounded time and then fails closed, and never lets a
request, or an attacker, make it fetch more than once per interval.

    with IssuerTrust("https://issuer.example", issuer_did="did:web:issuer.example") as trust:
        verdict = trust.verify(credential, required_scope="payments:x402")

A verdict that is "unverifiable" because the trust could not obtain the
issuer's key set or revocation list (not because the passport is at fault)
is told apart by :func:`retry_after`, the seconds to wait before trying
again; the middleware and every adapter answer it 503 with ``Retry-After``.

Times (ttls, ages, cooldowns) are seconds of ``clock``; ``timeout`` is real
seconds. Nothing here keeps the process alive: fetches run on daemon
threads started on demand, and an idle trust runs no thread at all.

Modules:

- ``_issuers``: IssuerTrust and TrustedIssuers, the policy a relying party configures
- ``_options``: TrustOptions, one issuer's options checked once
- ``_material``: one issuer's key set and revocation lists, and which key to offer
- ``_loaders``: reading the key set and a revocation list, with their shape checks
- ``_warm``: the warm cache a verification reads without waiting (a leaf)
- ``_memo``: the verdict memo, a repeated credential answered without decoding (a leaf)
- ``_fetching``: the HTTP client for an issuer's documents
- ``_connection``: one connection under the fetch's deadline
- ``_addresses``: the document URLs, and which addresses a fetch may reach
- ``_errors``: ``FetchError``, a document that could not be fetched
- ``_document``: one fetched document and its freshness, on a steady clock
- ``_verifying``: one verification's steps over the warm material
- ``_waiting``: the two drivers of a flow that waits for fetches, blocking and async
"""

from __future__ import annotations

from quorvel_trellane._internal.exports import claim
from quorvel_trellane._internal.outage import retry_after as retry_after
from quorvel_trellane.trust._errors import (
    FetchError as FetchError,
)
from quorvel_trellane.trust._issuers import (
    DocumentStatus as DocumentStatus,
)
from quorvel_trellane.trust._issuers import (
    Fetcher as Fetcher,
)
from quorvel_trellane.trust._issuers import (
    IssuerTrust as IssuerTrust,
)
from quorvel_trellane.trust._issuers import (
    TrustedIssuers as TrustedIssuers,
)
from quorvel_trellane.trust._issuers import (
    TrustStatus as TrustStatus,
)
from quorvel_trellane.trust._issuers import (
    passport_from_a2a_metadata as passport_from_a2a_metadata,
)

__all__ = [
    "DocumentStatus",
    "FetchError",
    "Fetcher",
    "IssuerTrust",
    "TrustStatus",
    "TrustedIssuers",
    "passport_from_a2a_metadata",
    "retry_after",
]

# The public names belong to this package, as help() and pickling show them.
claim(__name__, globals(), __all__)
