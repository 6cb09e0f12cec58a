"""What a relying party configures for one issuer, checked once: :class:`TrustOptions`."""

from __future__ import annotations

import time
from collections.abc import Callable
from dataclasses import dataclass, field

from quorvel_trellane.trust._addresses import check_issuer_url, check_scheme
from quorvel_trellane.trust._fetching import Fetcher

__all__ = ["TrustOptions"]


@dataclass(frozen=True, slots=True)
class TrustOptions:
    """One issuer's trust options, validated when made and never changed after.

    Times (ttls, ages, cooldowns) are seconds of ``clock``; ``timeout`` is
    real seconds. See :class:`IssuerTrust` for what each one means.
    """

    issuer_url: str
    issuer_did: str | None = None
    key_ttl: float = 300.0
    key_max_stale: float = 86400.0
    crl_ttl: float = 60.0
    crl_max_age: float = 600.0
    unknown_kid_cooldown: float = 60.0
    timeout: float = 6.0
    max_document_bytes: int = 16 * 1024 * 1024
    allow_http: bool = False
    fetch: Fetcher | None = field(default=None, compare=False)
    clock: Callable[[], float] = field(default=time.monotonic, compare=False)

    def __post_init__(self) -> None:
        if not isinstance(self.issuer_url, str) or not self.issuer_url:
            raise TypeError("issuer_url must be a non-empty str")
        for name, value in (
            ("key_ttl", self.key_ttl),
            ("key_max_stale", self.key_max_stale),
            ("crl_ttl", self.crl_ttl),
            ("crl_max_age", self.crl_max_age),
            ("timeout", self.timeout),
            ("max_document_bytes", self.max_document_bytes),
        ):
            if not value > 0:
                raise ValueError(f"{name} must be positive, not {value!r}")
        if not self.unknown_kid_cooldown >= 0:
            raise ValueError(f"unknown_kid_cooldown must not be negative, not {self.unknown_kid_cooldown!r}")
        check_issuer_url(self.issuer_url)
        if self.fetch is None:
            check_scheme(self.issuer_url, self.allow_http)

    @property
    def base(self) -> str:
        """The issuer URL without its trailing slashes: the documents' paths go after it."""
        return self.issuer_url.rstrip("/")
