"""The published shape of a revocation list document, checked in one place.

An issuer publishes ``{"revoked": ["<passport_id>", ...]}``. A document
without that list is an error page, a maintenance notice or a mangled
answer: read as "none revoked" it would make revoked passports active
again. The trust layer refuses such a document as a failed fetch, and the
command as malformed input; both ask this module.
"""

from __future__ import annotations

__all__ = ["revocation_list_problem"]


def revocation_list_problem(document: object) -> str | None:
    """What keeps ``document`` from being a revocation list, or None when it is one."""
    if not isinstance(document, dict) or "revoked" not in document:
        return 'no "revoked" list'
    revoked = document["revoked"]
    if not isinstance(revoked, list) or not all(isinstance(item, str) for item in revoked):
        return '"revoked" is not a list of text'
    return None
