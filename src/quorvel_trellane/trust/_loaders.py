"""Reading an issuer's documents: its key set and one kid's revocation list.

The trust layer loads through these, and so may the command: each checks
the document's published shape once, and raises the fetch error naming the
URL when it does not hold.
"""

from __future__ import annotations

from typing import Any

from quorvel_trellane import passport
from quorvel_trellane._internal.revocation import revocation_list_problem
from quorvel_trellane.trust._addresses import crl_url, key_set_url
from quorvel_trellane.trust._errors import FetchError
from quorvel_trellane.trust._fetching import Fetcher

__all__ = ["check_revocation_document", "load_key_set", "load_revocation_list"]


def load_key_set(issuer_url: str, fetch: Fetcher) -> dict[str, bytes]:
    """The issuer's usable Falcon-1024 keys by kid; at least one, or the fetch error."""
    keys = passport.resolve_keys_from_wellknown(issuer_url, fetch=fetch)
    if not keys:
        raise FetchError(key_set_url(issuer_url), "no usable Falcon-1024 key")
    return keys


def check_revocation_document(document: Any, url: str) -> frozenset[str]:
    """The revoked ids of a revocation list document, or the fetch error naming ``url``.

    A document without its list is an error page, a maintenance notice or a
    mangled answer: read as "none revoked" it would make revoked passports
    active again, so it is refused, as is a list holding anything but text.
    """
    problem = revocation_list_problem(document)
    if problem is not None:
        raise FetchError(url, problem)
    ids = passport._revoked_ids(document)  # the set verify_passport would build
    assert ids is not None
    return frozenset(ids)


def load_revocation_list(issuer_url: str, kid: str, fetch: Fetcher) -> frozenset[str]:
    """The revoked ids of the list the issuer publishes for ``kid``, or the fetch error."""
    document = passport.fetch_crl(issuer_url, kid, fetch=fetch)
    return check_revocation_document(document, crl_url(issuer_url, kid))
