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
"""

from __future__ import annotations

import base64
import hashlib
import json
import sys
import threading
import uuid
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from types import TracebackType
from typing import Any, Final

from quorvel_trellane._components import PASSPORT_HINT
from quorvel_trellane._fetching import CRL_PREFIX as _CRL_PREFIX
from quorvel_trellane._fetching import WELLKNOWN_PATH as _WELLKNOWN_PATH

try:
    # Here, not on first use, so that a missing extra is one clear error.
    import rfc8785
    from pqcrypto.sign import falcon_1024  # type: ignore[import-untyped]
except ModuleNotFoundError as exc:
    _MISSING = f"quorvel_trellane.testing needs the passport components rfc8785 and pqcrypto: {PASSPORT_HINT}"
    if __name__ == "__main__":
        print(_MISSING, file=sys.stderr)
        sys.exit(2)
    raise ModuleNotFoundError(_MISSING, name=exc.name) from exc

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
    "revocation_list",
    "sign_payload",
    "stamp",
    "tamper",
    "wellknown_document",
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
_DEFAULT: Final = object()


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
    return moment.astimezone(timezone.utc).strftime(_TS_FMT)


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
    issued_at: datetime | None = None,
    valid_for: timedelta = timedelta(hours=1),
    **extra: Any,
) -> dict[str, Any]:
    """A complete passport payload; ``extra`` members are added or override.

    ``issued_at`` defaults to now; the expiry is ``issued_at + valid_for``, so a
    negative ``valid_for`` gives an already expired passport. Pass
    ``expires_at=...`` (or any other member) in ``extra`` to set it verbatim,
    or ``None`` there to drop the member.
    """
    issued = issued_at or datetime.now(timezone.utc).replace(microsecond=0)
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
    for name, value in extra.items():
        if value is None:
            payload.pop(name, None)
        else:
            payload[name] = value
    return payload


def encode_envelope(
    envelope: Mapping[str, Any] | str, *, encoding: str = "utf-8", padded: bool = False
) -> str:
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
    kid: object = _DEFAULT,
    sig: object = _DEFAULT,
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
    if sig is _DEFAULT:
        signed = payload if signed_payload is None else signed_payload
        sig = keypair.sign(_canonical(signed))
    members = {"alg": alg, "kid": keypair.kid if kid is _DEFAULT else kid,
               "sig": b64u(bytes(sig)) if isinstance(sig, (bytes, bytearray)) else sig}
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
    kid: object = _DEFAULT,
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
        payload, keypair, alg=alg, kid=kid, sig=_DEFAULT if sig is None else sig,
        signed_payload=signed_payload, extra=extra,
    )
    return encode_envelope(envelope, encoding=encoding, padded=padded)


def envelope_of(credential: str) -> dict[str, Any]:
    """The envelope object inside a credential (no checks of any kind)."""
    envelope: dict[str, Any] = json.loads(b64u_decode(credential))
    return envelope


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
        kid: object = _DEFAULT,
        **members: Any,
    ) -> str:
        """Issue a credential; ``members`` go to :func:`make_payload`."""
        return issue_credential(self.payload(**members), self.keypair, alg=alg, kid=kid)

    def revoke(self, passport_id: str, kid: str | None = None) -> None:
        with self._lock:
            ids = self._revoked.setdefault(kid or self.kid, [])
            if passport_id not in ids:
                ids.append(passport_id)

    def wellknown_document(self) -> dict[str, Any]:
        return wellknown_document(*self.keypairs)

    def revocation_list(self, kid: str | None = None) -> dict[str, Any]:
        with self._lock:
            return revocation_list(self._revoked.get(kid or self.kid, ()))

    def knows_kid(self, kid: str) -> bool:
        return any(pair.kid == kid for pair in self.keypairs)


@dataclass
class Fault:
    """What :class:`IssuerServer` does wrong when answering one path.

    ``status`` replaces the answer with that status code (and a small JSON
    error body); ``hang`` waits that many seconds before answering;
    ``trickle`` sends the body one byte at a time, that many seconds apart;
    ``size`` pads the body with spaces to that many bytes (still valid
    JSON); ``declare_length=False`` leaves out Content-Length, so the body
    ends only when the connection closes; ``body`` replaces the body.
    ``times`` limits the fault to that many requests (None: until cleared).
    """

    status: int | None = None
    hang: float = 0.0
    trickle: float = 0.0
    size: int | None = None
    declare_length: bool = True
    body: bytes | None = None
    times: int | None = None


class _Handler(BaseHTTPRequestHandler):
    server: _LoopbackServer

    def do_GET(self) -> None:  # noqa: N802 (name fixed by http.server)
        owner = self.server.owner
        path = self.path.split("?", 1)[0]
        owner.requests.append(path)
        status, body, headers, fault = owner._reply(path, self.headers)
        owner.exchanges.append((path, status))
        if fault.hang and owner._halt.wait(fault.hang):
            return
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            if fault.declare_length:
                self.send_header("Content-Length", str(len(body)))
            for name, value in headers.items():
                self.send_header(name, value)
            self.end_headers()
            if not fault.trickle:
                self.wfile.write(body)
                return
            for i in range(len(body)):
                self.wfile.write(body[i : i + 1])
                self.wfile.flush()
                if owner._halt.wait(fault.trickle):
                    return
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up, as it should with a slow server

    def log_message(self, format: str, *args: Any) -> None:  # noqa: A002
        pass  # keep test and demo output clean


class _LoopbackServer(ThreadingHTTPServer):
    daemon_threads = True
    owner: IssuerServer


_NO_FAULT: Final = Fault()


class IssuerServer:
    """Serve an issuer's documents over HTTP on 127.0.0.1 (a context manager).

    ``url`` is the issuer base URL. ``routes`` maps extra paths to a body
    (bytes, or a JSON value) or to a ``(status, body)`` or ``(status, body,
    headers)`` tuple, and overrides the issuer's own documents; tests use it
    to serve broken documents or redirects. Every request path is appended
    to ``requests``, and ``(path, status)`` to ``exchanges`` (see
    :meth:`count`). The server thread is a daemon and the server stops on
    leaving the ``with`` block, or after ``lifetime`` seconds at the latest,
    so a forgotten server never outlives its test.

    Fault injection: :meth:`inject` makes one path (or every path) fail,
    hang, trickle or grow (see :class:`Fault`). Key rotation and revocations
    go through the issuer (``issuer.rotate()``, ``issuer.revoke(id)``) and
    are served from the next request on. Answers carry an ``ETag`` and a
    ``Last-Modified`` and honour ``If-None-Match`` / ``If-Modified-Since``
    with a 304 (unless ``conditional`` is false), and a ``Cache-Control``
    header when ``cache_control`` is set.
    """

    def __init__(
        self,
        issuer: Issuer | None = None,
        *,
        routes: Mapping[str, object] | None = None,
        lifetime: float = 300.0,
    ) -> None:
        self.issuer = issuer
        self.routes: dict[str, object] = dict(routes or {})
        self.requests: list[str] = []
        self.exchanges: list[tuple[str, int]] = []
        self.faults: dict[str | None, Fault] = {}
        self.cache_control: str | None = None
        self.conditional = True
        self.lifetime = lifetime
        self._server: _LoopbackServer | None = None
        self._thread: threading.Thread | None = None
        self._timer: threading.Timer | None = None
        self._lock = threading.Lock()
        self._halt = threading.Event()  # cuts hangs and trickles short on stop
        self._versions: dict[str, tuple[str, str]] = {}  # path -> (ETag, Last-Modified)
        #: Set once the server has stopped and closed its socket.
        self.stopped = threading.Event()

    @property
    def url(self) -> str:
        if self._server is None:
            raise RuntimeError("issuer server is not running")
        host, port = self._server.server_address[:2]
        return f"http://{host!s}:{port}"

    def inject(self, path: str | None = None, **fault: Any) -> Fault:
        """Make requests for ``path`` (None: every path) misbehave; see :class:`Fault`."""
        made = Fault(**fault)
        with self._lock:
            self.faults[path] = made
        return made

    def clear_faults(self) -> None:
        with self._lock:
            self.faults.clear()

    def count(self, path: str | None = None, status: int | None = None) -> int:
        """Requests answered so far, for ``path`` and ``status`` when given."""
        return sum(
            1 for p, s in list(self.exchanges)
            if (path is None or p == path) and (status is None or s == status)
        )

    def respond(self, path: str) -> tuple[int, bytes]:
        status, body, _ = self._document(path)
        return status, body

    def _document(self, path: str) -> tuple[int, bytes, dict[str, str]]:
        if path in self.routes:
            found = self.routes[path]
            status, body, *extra = found if isinstance(found, tuple) else (200, found)
            if not isinstance(body, (bytes, bytearray)):
                body = json.dumps(body).encode("utf-8")
            return int(status), bytes(body), dict(extra[0]) if extra else {}
        issuer = self.issuer
        if issuer is not None:
            if path == _WELLKNOWN_PATH:
                return 200, json.dumps(issuer.wellknown_document()).encode("utf-8"), {}
            if path.startswith(_CRL_PREFIX) and path.endswith(".json"):
                kid = path[len(_CRL_PREFIX) : -len(".json")]
                if issuer.knows_kid(kid):
                    return 200, json.dumps(issuer.revocation_list(kid)).encode("utf-8"), {}
        return 404, b'{"error": "not found"}', {}

    def _reply(self, path: str, request: Any) -> tuple[int, bytes, dict[str, str], Fault]:
        # ``request`` is the handler's header message.
        with self._lock:
            fault = self.faults.get(path) or self.faults.get(None) or _NO_FAULT
            if fault.times is not None:
                fault.times -= 1
                if fault.times <= 0:
                    self.faults = {k: v for k, v in self.faults.items() if v is not fault}
        headers: dict[str, str]
        if fault.status is not None:
            status, body, headers = fault.status, b'{"error": "injected"}', {}
        else:
            status, body, headers = self._document(path)
        if fault.body is not None:
            body = fault.body
        if fault.size is not None and fault.size > len(body):
            body += b" " * (fault.size - len(body))
        if status == 200 and self.cache_control is not None:
            headers.setdefault("Cache-Control", self.cache_control)
        if status == 200 and self.conditional:
            etag, modified = self._version(path, body)
            headers.setdefault("ETag", etag)
            headers.setdefault("Last-Modified", modified)
            match = request.get("If-None-Match")
            since = request.get("If-Modified-Since")
            if (match is not None and match == etag) or (match is None and since == modified):
                return 304, b"", headers, fault
        return status, body, headers, fault

    def _version(self, path: str, body: bytes) -> tuple[str, str]:
        # The ETag names the content; Last-Modified is when this content was
        # first served (HTTP dates have whole seconds, so If-None-Match wins).
        from email.utils import formatdate

        etag = '"' + hashlib.sha256(body).hexdigest()[:20] + '"'
        with self._lock:
            known = self._versions.get(path)
            if known is None or known[0] != etag:
                known = self._versions[path] = (etag, formatdate(usegmt=True))
        return known

    def start(self) -> IssuerServer:
        self.stopped.clear()
        self._halt.clear()
        server = _LoopbackServer(("127.0.0.1", 0), _Handler)
        server.owner = self
        self._server = server
        self._thread = threading.Thread(
            target=server.serve_forever, args=(0.05,), name="test-issuer", daemon=True
        )
        self._thread.start()
        self._timer = threading.Timer(self.lifetime, self.stop)
        self._timer.daemon = True
        self._timer.start()
        return self

    def stop(self) -> None:
        # Called by the `with` block and by the lifetime timer, maybe both.
        with self._lock:
            server, self._server = self._server, None
        if self._timer is not None and self._timer is not threading.current_thread():
            self._timer.cancel()
        if server is None:
            return
        self._halt.set()
        server.shutdown()
        server.server_close()
        if self._thread is not None:
            self._thread.join(timeout=5)
        self.stopped.set()

    def __enter__(self) -> IssuerServer:
        return self.start()

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.stop()


if __name__ == "__main__":
    from quorvel_trellane._testfiles import main

    sys.exit(main())
