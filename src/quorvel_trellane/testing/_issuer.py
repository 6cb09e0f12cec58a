"""The test issuer: its key pairs, the credentials it signs and the documents it publishes."""

from __future__ import annotations

import base64
import threading
from collections.abc import Iterable
from typing import Any

from quorvel_trellane.testing._credentials import (
    ALG,
    DEFAULT,
    IssuerKeyPair,
    generate_keypair,
    issue_credential,
    key_id,
    make_payload,
    revoked_id,
)

__all__ = ["Issuer", "revocation_list", "wellknown_document"]


def wellknown_document(*keys: IssuerKeyPair | bytes, alg: str = ALG) -> dict[str, Any]:
    """The issuer's published key document for these keys."""
    entries = []
    for key in keys:
        public_key = key.public_key if isinstance(key, IssuerKeyPair) else bytes(key)
        entries.append(
            {
                "alg": alg,
                "kid": key_id(public_key),
                "public_key_b64": base64.b64encode(public_key).decode("ascii"),
            }
        )
    return {"keys": entries}


def revocation_list(revoked: Iterable[object] = ()) -> dict[str, Any]:
    """A revocation list document listing these passport ids."""
    return {"revoked": list(revoked)}


class Issuer:
    """A test issuer: one or more key pairs, an issuer DID, revoked ids.

    Credentials are signed with the newest key (the last in ``keypairs``);
    rotate with :meth:`rotate`. Revocation lists are kept per kid.
    """

    def __init__(
        self,
        issuer_did: str = "did:example:issuer",
        keypair: IssuerKeyPair | None = None,
    ) -> None:
        self.issuer_did = issuer_did
        self.keypairs: list[IssuerKeyPair] = [keypair or generate_keypair()]
        self._revoked: dict[str, list[str]] = {}
        self._lock = threading.Lock()

    @property
    def keypair(self) -> IssuerKeyPair:
        return self.keypairs[-1]

    @property
    def kid(self) -> str:
        return self.keypair.kid

    def rotate(self) -> IssuerKeyPair:
        """Add a new signing key; older keys stay published."""
        pair = generate_keypair()
        self.keypairs.append(pair)
        return pair

    def payload(self, **members: Any) -> dict[str, Any]:
        members.setdefault("issuer_did", self.issuer_did)
        return make_payload(**members)

    def issue(
        self,
        *,
        alg: object = ALG,
        kid: object = DEFAULT,
        **members: Any,
    ) -> str:
        """Issue a credential signed with the newest key.

        ``members`` go to :func:`make_payload`: ``agent_did``, ``scopes``,
        ``passport_id``, ``spend_limit_microusd``, ``spend_window``,
        ``issued_at`` and ``expires_at`` (a datetime or text), ``valid_for``
        (a timedelta; negative for an expired passport), any other payload
        member, or None to leave one out. ``alg`` and ``kid`` replace the
        envelope's members (any JSON value).
        """
        return issue_credential(self.payload(**members), self.keypair, alg=alg, kid=kid)

    def revoke(self, passport: str, kid: str | None = None) -> str:
        """List a passport on the revocation list of ``kid``, and return its id.

        ``passport`` is a credential (its payload's ``passport_id`` is listed,
        on the list of the kid it names when it is one of this issuer's, unless
        ``kid`` is given) or a passport
        id. Anything else raises: a revocation that lists nothing would let a
        test pass for the wrong reason.
        """
        passport_id, named_kid = revoked_id(passport)
        if kid is None and named_kid is not None and self.knows_kid(named_kid):
            kid = named_kid
        with self._lock:
            ids = self._revoked.setdefault(kid or self.kid, [])
            if passport_id not in ids:
                ids.append(passport_id)
        return passport_id

    def wellknown_document(self) -> dict[str, Any]:
        return wellknown_document(*self.keypairs)

    def revocation_list(self, kid: str | None = None) -> dict[str, Any]:
        with self._lock:
            return revocation_list(self._revoked.get(kid or self.kid, ()))

    def knows_kid(self, kid: str) -> bool:
        return any(pair.kid == kid for pair in self.keypairs)
