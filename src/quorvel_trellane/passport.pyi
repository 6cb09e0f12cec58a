"""Type information for the native module ``quorvel_trellane.passport``.

The signatures here are the runtime ones: the same parameter names, kinds
and defaults. The types are what the functions accept and return; where the
runtime takes several forms of trust material, the aliases below name them.
"""

import base64 as base64
import hashlib as hashlib
import json as json
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass as dataclass
from datetime import datetime as datetime
from datetime import timezone as timezone
from os import PathLike
from types import ModuleType
from typing import Any, Final, TypeAlias

# A public key: raw bytes, or base64 text (standard or url-safe alphabet).
_KeyMaterial: TypeAlias = bytes | bytearray | str
# ``resolver(kid, issuer_did)`` returning the issuer's key, or None.
_KeyResolver: TypeAlias = Callable[[str | None, str | None], _KeyMaterial | None]
# The accepted forms of ``issuer_keys``: a resolver, a dict keyed by kid (or
# issuer DID), one pinned key, or None. Only a real dict counts as a mapping.
_IssuerKeySource: TypeAlias = _KeyResolver | dict[str, Any] | _KeyMaterial | None
# The accepted forms of ``crl``: a revocation list document (a dict with
# "revoked"), a bare collection of revoked ids, or None (status unknown).
_CrlInput: TypeAlias = dict[str, Any] | Iterable[object] | None
# Injected HTTP GET: URL in, document body out.
_Fetcher: TypeAlias = Callable[[str], bytes | bytearray | str]
_Metadata: TypeAlias = Mapping[str, Any] | Iterable[tuple[str, Any]]

FALCON_1024_PUBLIC_KEY_BYTES: Final = 1793
_ALG: Final = "Falcon-1024"
_TS_FMT: Final = "%Y-%m-%dT%H:%M:%SZ"
X402_PASSPORT_HEADER: Final = "X-Agent-Passport"
A2A_PASSPORT_METADATA_KEY: Final = "quorvel.com/agent-passport"
PASSPORT_ENV_VAR: Final = "QUORVEL_AGENT_PASSPORT"

class PassportError(Exception):
    """A passport credential is structurally malformed (not merely invalid)."""

@dataclass(frozen=True)
class DecodedPassport:
    """The parsed envelope of a passport, before any cryptographic check."""

    payload: dict[str, Any]
    alg: str
    kid: str | None
    sig: bytes
    signed_bytes: bytes
    @property
    def agent_did(self) -> str | None: ...
    @property
    def issuer_did(self) -> str | None: ...
    @property
    def scopes(self) -> tuple[str, ...]: ...

@dataclass(frozen=True)
class PassportVerdict:
    """The outcome of verifying a passport. ``verified`` is True only for ``active``."""

    verified: bool
    status: str
    agent_did: str | None = None
    scopes: tuple[str, ...] = ()
    spend_limit_microusd: int | None = None
    spend_window: str | None = None
    issuer_did: str | None = None
    kid: str | None = None
    issued_at: str | None = None
    expires_at: str | None = None
    error_code: str | None = None
    error_message: str | None = None
    def __bool__(self) -> bool: ...

def _b64u_decode(s: str) -> bytes: ...
def _b64u_encode(b: bytes) -> str: ...
def _load_crypto() -> tuple[ModuleType, Callable[[bytes, bytes, bytes], Any]]: ...
def kid_for_key(public_key: bytes | bytearray | memoryview) -> str: ...
def _coerce_key(value: object) -> bytes: ...
def decode_passport(credential: str) -> DecodedPassport: ...
def _is_expired(expires_at: object, now: datetime) -> bool: ...
def _revoked_ids(crl: object) -> set[str] | None: ...
def verify_passport(
    credential: str,
    *,
    issuer_keys: _IssuerKeySource = None,
    crl: _CrlInput = None,
    required_scope: str | None = None,
    expected_agent_did: str | None = None,
    require_revocation_check: bool = True,
    now: datetime | None = None,
) -> PassportVerdict: ...
def _resolve_key(issuer_keys: object, kid: object, issuer_did: object) -> bytes | None: ...
def resolve_keys_from_wellknown(
    issuer_url: str, *, fetch: _Fetcher | None = None, timeout: float = 6.0
) -> dict[str, bytes]: ...
def fetch_crl(issuer_url: str, kid: str, *, fetch: _Fetcher | None = None, timeout: float = 6.0) -> dict[str, Any]: ...
def _get_json(url: str, fetch: _Fetcher | None, timeout: float) -> dict[str, Any]: ...
def load_credential(source: str | PathLike[str] | None = None) -> str: ...
def x402_headers(credential: str) -> dict[str, str]: ...
def a2a_message_metadata(credential: str, metadata: _Metadata | None = None) -> dict[str, Any]: ...
