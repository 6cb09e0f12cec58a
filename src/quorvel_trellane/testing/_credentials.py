"""Credentials of the test issuer: key pairs, payloads, envelopes, signed and tampered credentials."""

from __future__ import annotations

import base64
import hashlib
import json
import re
import uuid
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from datetime import UTC, datetime, timedelta
from typing import Any, Final

from quorvel_trellane._internal.components import PASSPORT_HINT

try:
    # Here, not on first use, so that a missing extra is one clear error.
    import rfc8785
    from pqcrypto.sign import falcon_1024  # type: ignore[import-untyped]
except ModuleNotFoundError as exc:
    _MISSING = f"quorvel_trellane.testing needs the passport components rfc8785 and pqcrypto: {PASSPORT_HINT}"
    raise ModuleNotFoundError(_MISSING, name=exc.name) from exc

__all__ = [
    "ALG",
    "DEFAULT",
    "OMIT",
    "IssuerKeyPair",
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
    "revoked_id",
    "sign_payload",
    "stamp",
    "tamper",
]

ALG: Final = "Falcon-1024"
_TS_FMT: Final = "%Y-%m-%dT%H:%M:%SZ"


class _Omit:
    """Marker: leave an envelope member out altogether."""

    _instance: _Omit | None = None

    def __new__(cls) -> _Omit:
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self) -> str:
        return "OMIT"


OMIT: Final = _Omit()
#: Marker: the default of an envelope member (the key pair's kid, the real signature).
DEFAULT: Final = object()


def _falcon() -> Any:
    return falcon_1024


def _canonical(payload: Mapping[str, Any]) -> bytes:
    return rfc8785.dumps(payload)


def b64u(data: bytes) -> str:
    """Unpadded base64url text, the form in which credentials travel."""
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def b64u_decode(text: str) -> bytes:
    """The bytes of base64url text, read as the host reads it: surrounding
    whitespace stripped, missing padding added, then
    :func:`base64.urlsafe_b64decode` (its errors unchanged)."""
    text = text.strip()
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def key_id(public_key: bytes) -> str:
    """The key id an issuer publishes: the first 16 hex digits of SHA-256."""
    return hashlib.sha256(public_key).hexdigest()[:16]


def stamp(moment: datetime) -> str:
    """A payload time stamp (UTC, whole seconds, trailing ``Z``)."""
    return moment.astimezone(UTC).strftime(_TS_FMT)


@dataclass(frozen=True)
class IssuerKeyPair:
    """A Falcon-1024 key pair. ``secret_key`` never leaves the test issuer.

    ``signatures`` holds every message signed through :meth:`sign`, with
    its signature.
    """

    public_key: bytes
    secret_key: bytes = field(repr=False)
    signatures: dict[bytes, bytes] = field(default_factory=dict, repr=False, compare=False)

    @property
    def kid(self) -> str:
        return key_id(self.public_key)

    @property
    def public_key_b64(self) -> str:
        """The public key in standard base64, as a key document carries it."""
        return base64.b64encode(self.public_key).decode("ascii")

    def sign(self, message: bytes) -> bytes:
        """A Falcon-1024 signature over ``message``, made once per message.

        Signing costs milliseconds and tests sign the same bytes many times;
        any valid signature will do, so the first one made is kept in
        ``signatures`` and given again.
        """
        signature = self.signatures.get(message)
        if signature is None:
            signature = self.signatures[message] = bytes(_falcon().sign(self.secret_key, message))
        return signature


def generate_keypair() -> IssuerKeyPair:
    """A fresh Falcon-1024 key pair (public key of 1793 bytes)."""
    public_key, secret_key = _falcon().generate_keypair()
    return IssuerKeyPair(bytes(public_key), bytes(secret_key))


def sign_payload(payload: Mapping[str, Any], secret_key: bytes) -> bytes:
    """Falcon-1024 signature over the RFC 8785 canonical bytes of ``payload``."""
    return bytes(_falcon().sign(secret_key, _canonical(payload)))


def make_payload(
    *,
    agent_did: str = "did:example:agent-1",
    issuer_did: str = "did:example:issuer",
    scopes: Iterable[str] = ("payments:x402",),
    passport_id: str | None = None,
    spend_limit_microusd: int = 25_000_000,
    spend_window: str = "P1D",
    issued_at: datetime | str | None = None,
    valid_for: timedelta = timedelta(hours=1),
    **extra: Any,
) -> dict[str, Any]:
    """A complete passport payload; ``extra`` members are added or override.

    ``issued_at`` defaults to now; the expiry is ``issued_at + valid_for``, so a
    negative ``valid_for`` gives an already expired passport. ``issued_at``
    and ``expires_at`` each take a datetime (written as a payload time
    stamp, a naive one read as UTC) or text (written verbatim; text that is
    no ISO 8601 time leaves the default expiry counted from now). Pass
    ``expires_at=...`` (or any other member) in ``extra`` to set it, or
    ``None`` there to drop the member.
    """
    issued = _moment(issued_at) or datetime.now(UTC).replace(microsecond=0)
    if isinstance(extra.get("expires_at"), datetime):
        extra["expires_at"] = stamp(_utc(extra["expires_at"]))
    payload: dict[str, Any] = {
        "passport_id": passport_id or f"pp_{uuid.uuid4().hex[:20]}",
        "agent_did": agent_did,
        "issuer_did": issuer_did,
        "scopes": list(scopes),
        "spend_limit_microusd": spend_limit_microusd,
        "spend_window": spend_window,
        "issued_at": stamp(issued),
        "expires_at": stamp(issued + valid_for),
    }
    if isinstance(issued_at, str):
        payload["issued_at"] = issued_at
    for name, value in extra.items():
        if value is None:
            payload.pop(name, None)
        else:
            payload[name] = value
    return payload


def _utc(moment: datetime) -> datetime:
    return moment.replace(tzinfo=UTC) if moment.tzinfo is None else moment


def _moment(value: datetime | str | None) -> datetime | None:
    """The datetime a time stamp option stands for; None for none, or for text that is none."""
    if isinstance(value, datetime):
        return _utc(value)
    if isinstance(value, str):
        text = value.strip()
        try:
            return _utc(datetime.fromisoformat(text[:-1] + "+00:00" if text[-1:] in ("z", "Z") else text))
        except ValueError:
            return None
    return None


def encode_envelope(envelope: Mapping[str, Any] | str, *, encoding: str = "utf-8", padded: bool = False) -> str:
    """The credential text of an envelope (an object, or ready JSON text).

    The JSON text is encoded with ``encoding`` (any text encoding the
    decoder must accept, such as ``"utf-16"``) and written as base64url,
    unpadded unless ``padded``.
    """
    text = envelope if isinstance(envelope, str) else json.dumps(envelope, separators=(",", ":"))
    credential = b64u(text.encode(encoding))
    return credential + "=" * (-len(credential) % 4) if padded else credential


def make_envelope(
    payload: Mapping[str, Any],
    keypair: IssuerKeyPair,
    *,
    alg: object = ALG,
    kid: object = DEFAULT,
    sig: object = DEFAULT,
    signed_payload: Mapping[str, Any] | None = None,
    extra: Mapping[str, Any] | None = None,
) -> dict[str, Any]:
    """The envelope ``{"payload", "alg", "kid", "sig"}`` of a credential.

    The signature is the key pair's (:meth:`IssuerKeyPair.sign`) over the
    RFC 8785 bytes of ``signed_payload`` when given (a tampered credential:
    a signature over another payload than the one carried), else of
    ``payload``. ``alg`` and ``kid`` (default: the key pair's kid) may be
    overridden with any JSON value; ``sig`` replaces the signature: bytes
    are written as base64url, anything else (``None`` too) is stored as
    given. Any of the three is left out when :data:`OMIT`. ``extra`` adds
    envelope members.
    """
    envelope: dict[str, Any] = {"payload": dict(payload)}
    if sig is DEFAULT:
        signed = payload if signed_payload is None else signed_payload
        sig = keypair.sign(_canonical(signed))
    members = {
        "alg": alg,
        "kid": keypair.kid if kid is DEFAULT else kid,
        "sig": b64u(bytes(sig)) if isinstance(sig, (bytes, bytearray)) else sig,
    }
    for name, value in members.items():
        if value is not OMIT:
            envelope[name] = value
    envelope.update(extra or {})
    return envelope


def issue_credential(
    payload: Mapping[str, Any],
    keypair: IssuerKeyPair,
    *,
    alg: object = ALG,
    kid: object = DEFAULT,
    sig: object = None,
    signed_payload: Mapping[str, Any] | None = None,
    extra: Mapping[str, Any] | None = None,
    encoding: str = "utf-8",
    padded: bool = False,
) -> str:
    """Sign ``payload`` and return the credential text.

    ``alg``, ``kid``, ``sig``, ``signed_payload`` and ``extra`` shape the
    envelope as for :func:`make_envelope`, except that ``sig=None`` means
    the real signature. :func:`encode_envelope` writes it (``encoding``,
    ``padded``): by default UTF-8 JSON as unpadded base64url.
    """
    envelope = make_envelope(
        payload,
        keypair,
        alg=alg,
        kid=kid,
        sig=DEFAULT if sig is None else sig,
        signed_payload=signed_payload,
        extra=extra,
    )
    return encode_envelope(envelope, encoding=encoding, padded=padded)


def envelope_of(credential: str) -> dict[str, Any]:
    """The envelope object inside a credential (no checks of any kind)."""
    envelope: dict[str, Any] = json.loads(b64u_decode(credential))
    return envelope


def passport_id_of(credential: str) -> str:
    """The ``passport_id`` a credential's payload carries, as text (no checks of the signature).

    ``ValueError`` when ``credential`` is no credential or its payload has no id.
    """
    try:
        envelope = envelope_of(credential)
        payload = envelope["payload"]
        passport_id = payload.get("passport_id")
    except (ValueError, TypeError, KeyError, AttributeError):
        raise ValueError("not a credential (the base64url text of an envelope with a payload)") from None
    if not passport_id:
        raise ValueError("the credential's payload has no passport_id")
    return str(passport_id)


# A passport id as issuers write them: one short word of printable text.
_PASSPORT_ID: Final = re.compile(r"[^\s]{1,200}")


def revoked_id(passport: str) -> tuple[str, str | None]:
    """The passport id to revoke for ``passport`` (a credential or a passport id), and the kid a credential names."""
    if not isinstance(passport, str):
        raise TypeError(f"revoke takes a credential or a passport id (str), not {type(passport).__name__}")
    try:
        envelope = envelope_of(passport)
    except ValueError:
        envelope = None
    if not isinstance(envelope, dict):
        if _PASSPORT_ID.fullmatch(passport) and passport.isprintable():
            return passport, None
        raise ValueError("revoke takes a credential or a passport id: this text is neither")
    kid = envelope.get("kid")
    return passport_id_of(passport), kid if isinstance(kid, str) else None


def tamper(credential: str, **changes: Any) -> str:
    """The credential with payload members changed but the signature kept.

    A member given as :data:`OMIT` is removed. Envelope members can be
    changed too, by the names ``envelope_alg``, ``envelope_kid`` and
    ``envelope_sig``.
    """
    envelope = envelope_of(credential)
    payload = dict(envelope["payload"])
    for name, value in changes.items():
        if name.startswith("envelope_"):
            member = name.removeprefix("envelope_")
            if value is OMIT:
                envelope.pop(member, None)
            else:
                envelope[member] = value
        elif value is OMIT:
            payload.pop(name, None)
        else:
            payload[name] = value
    envelope["payload"] = payload
    return encode_envelope(envelope)
