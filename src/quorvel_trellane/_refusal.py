"""What every server-side adapter shares: its options, and what a verdict answers.

An adapter (the ASGI and WSGI middleware, a framework's dependency or
decorator) reads the header its own way and waits for the trust its own
way; everything else is decided here, once:

1. ``Gate.examine`` turns the header's value into nothing to verify
   (None: no header), a verdict already reached (a repeated header), or an
   ``Ask``: the credential and the scope the request needs.
2. The adapter verifies an ``Ask`` with its trust (``verify`` or
   ``verify_async``).
3. ``Gate.answer`` turns the verdict into None (admit: the application is
   called with the verdict) or the ``Answer`` to send instead: status code,
   reason, headers with the challenge, JSON body.

Neither this module nor the middleware imports a web framework; this
module imports only the native module, ``json``, ``urllib.parse`` and the
check that the passport components load.
"""

from __future__ import annotations

import json
from collections.abc import Awaitable, Callable, Iterable, Mapping, MutableMapping
from dataclasses import dataclass, field
from http import HTTPStatus
from typing import TYPE_CHECKING, Any, Final, Generic, Protocol, TypeAlias, TypeVar
from urllib.parse import unquote

from quorvel_trellane._internal.components import require_components
from quorvel_trellane._internal.outage import retry_after
from quorvel_trellane._internal.text import plain_reason
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict

if TYPE_CHECKING:
    from quorvel_trellane.observe import Readiness

__all__ = [
    "AsyncTrust",
    "SyncTrust",
    "Ask",
    "Answer",
    "Gate",
    "Middleware",
    "CHALLENGE",
    "CLOSE_POLICY_VIOLATION",
    "public_path_test",
    "send_answer",
    "raw_target",
    "verify_in_loop",
]


class AsyncTrust(Protocol):
    """What the ASGI middleware needs of a trust: ``IssuerTrust``, ``TrustedIssuers``."""

    def verify_async(self, credential: str, /, *, required_scope: str | None = None) -> Awaitable[PassportVerdict]: ...


class SyncTrust(Protocol):
    """What the WSGI middleware needs of a trust: ``IssuerTrust``, ``TrustedIssuers``."""

    def verify(self, credential: str, /, *, required_scope: str | None = None) -> PassportVerdict: ...


#: The WWW-Authenticate challenge on every 401.
CHALLENGE: Final = "AgentPassport"

#: The websocket close code of a handshake refused without an HTTP answer
#: (the server offers no denial response): policy violation.
CLOSE_POLICY_VIOLATION: Final = 1008

# The two relying-party checks run on a genuine passport: the caller is
# known but not allowed, which is 403. A passport the trust could not judge
# for want of the issuer's documents is the server's trouble, not the
# caller's: 503 with Retry-After. Everything else (no header, invalid,
# expired, revoked, unverifiable) leaves the caller unauthenticated: 401.
_FORBIDDEN_CODES: Final = frozenset({"AGENT_MISMATCH", "SCOPE_NOT_GRANTED"})

# One encoder for every body: json.dumps with options builds a new one per call.
_ENCODER: Final = json.JSONEncoder(separators=(",", ":"))


def compact_json(document: object) -> str:
    """``document`` as JSON without spaces, as every answer's body is written."""
    return _ENCODER.encode(document)


@dataclass(frozen=True, slots=True)
class Answer:
    """The answer to a refused request: status code, headers, JSON body.

    ``headers`` are spelled as HTTP writes them; an ASGI adapter lower-cases
    and encodes them. Every 401 carries the challenge, no 403 does; a 503
    carries ``Retry-After`` with ``retry_after`` (whole seconds).
    """

    code: int
    body: bytes
    retry_after: int | None = None
    headers: tuple[tuple[str, str], ...] = field(init=False)

    def __post_init__(self) -> None:
        headers = [("Content-Type", "application/json"), ("Content-Length", str(len(self.body)))]
        if self.challenge:
            headers.append(("WWW-Authenticate", CHALLENGE))
        if self.retry_after is not None:
            headers.append(("Retry-After", str(self.retry_after)))
        object.__setattr__(self, "headers", tuple(headers))

    @classmethod
    def of(
        cls,
        status: str | None,
        error_code: str | None,
        error_message: str | None,
        *,
        retry_after: int | None = None,
    ) -> Answer:
        """The answer carrying this verdict: 503 with ``retry_after`` (the
        issuer's documents could not be obtained), 403 for a genuine passport
        refused by the relying party's own checks, else 401."""
        if retry_after is not None:
            code = 503
        else:
            code = 403 if error_code in _FORBIDDEN_CODES else 401
        document = {"status": status, "error_code": error_code, "error_message": plain_reason(error_message)}
        return cls(code, _ENCODER.encode(document).encode("utf-8"), retry_after)

    @classmethod
    def refusing(cls, verdict: PassportVerdict) -> Answer:
        """The answer to a verdict that does not admit: see :meth:`of`."""
        return cls.of(verdict.status, verdict.error_code, verdict.error_message, retry_after=retry_after(verdict))

    @property
    def reason(self) -> str:
        return HTTPStatus(self.code).phrase

    @property
    def status_line(self) -> str:
        """``"401 Unauthorized"``, as WSGI's ``start_response`` takes it."""
        return f"{self.code} {self.reason}"

    @property
    def challenge(self) -> bool:
        return self.code == 401


@dataclass(frozen=True, slots=True)
class Ask:
    """A credential to verify, with the scope the request needs."""

    credential: str
    required_scope: str | None


_Trust = TypeVar("_Trust")
_Context = TypeVar("_Context")
_App = TypeVar("_App")

#: A scope text, or a callable of the request's context returning one (or
#: None), or None for no scope.
RequiredScope: TypeAlias = str | Callable[[_Context], str | None] | None


class Gate(Generic[_Trust, _Context]):
    """The options every adapter takes, and the decisions they share.

    ``trust`` verifies the credential (``_Trust`` is what the adapter calls
    on it). ``required_scope`` is a scope text, or a callable taking the
    request's context (``_Context``: the ASGI scope, the WSGI environ, a
    framework's request) and returning one, or None for no scope.
    ``optional=True`` never refuses. ``header`` names the request header.
    """

    def __init__(
        self,
        *,
        trust: _Trust,
        required_scope: RequiredScope[_Context] = None,
        optional: bool = False,
        header: str = X402_PASSPORT_HEADER,
    ) -> None:
        # At start-up, not per request: a server without the components would
        # answer every agent "invalid" with the install hint, telling its
        # callers about its own set-up.
        require_components("the passport check" if type(self) is Gate else type(self).__name__)
        self.trust = trust
        self.required_scope = required_scope
        self.optional = optional
        self.header = header
        #: The header's name as ASGI servers send it (lower-case bytes), and
        #: its WSGI environ key.
        self.header_key = header.lower().encode("latin-1")
        self.environ_key = "HTTP_" + header.upper().replace("-", "_")
        self._missing = Answer.of("missing", "MISSING_PASSPORT", f"no {header} header")
        # Two credentials in one request are ambiguous; picking either would
        # let a proxy or client bug decide which passport the application sees.
        self._repeated = PassportVerdict(
            verified=False,
            status="invalid",
            error_code="INVALID_CREDENTIAL",
            error_message=f"repeated {header} header",
        )

    def examine(self, value: str | None, context: _Context, *, repeated: bool = False) -> Ask | PassportVerdict | None:
        """What the header's ``value`` asks for: None without a header, the
        verdict of a header sent more than once (``repeated``, or copies a
        server or proxy folded into one value with commas, which base64url
        text never holds), else the credential and the scope to verify."""
        if repeated or (value is not None and "," in value):
            return self._repeated
        if value is None:
            return None
        required = self.required_scope
        if callable(required):
            required = required(context)
        return Ask(value, required)

    def answer(self, verdict: PassportVerdict | None) -> Answer | None:
        """None to admit the request (verified, or ``optional``), else the
        answer to send instead of calling the application."""
        if self.optional:
            return None
        if verdict is None:
            return self._missing
        if verdict.verified:
            return None
        return Answer.refusing(verdict)


class Middleware(Gate[_Trust, _Context], Generic[_App, _Trust, _Context]):
    """A gate in front of an application (``_App``), the ASGI and WSGI middleware.

    The application is called only for a verified passport, or always with
    ``optional=True`` (with the verdict, or None without a header).
    Otherwise the middleware answers itself: 401 with ``WWW-Authenticate:
    AgentPassport`` for a missing header and for an "invalid", "expired",
    "revoked" or "unverifiable" passport; 403 for a genuine passport of
    another agent or without the required scope; 503 with ``Retry-After``
    when the trust could not obtain the issuer's key set or revocation list
    to judge the passport (``quorvel_trellane.trust.retry_after``). The body
    is JSON: ``{"status", "error_code", "error_message"}``, the status
    "missing" with the code "MISSING_PASSPORT" when there is no header.

    ``public_paths`` are the paths that need no passport (docs, the OpenAPI
    schema, health, the agent card): a request for one reaches the
    application unchecked, with the verdict None. An entry ending in "/"
    matches every path under it; any other entry matches exactly (the ASGI
    ``scope["path"]``, the WSGI ``environ["PATH_INFO"]``). A path with a
    "." or ".." segment, raw or percent-encoded, or an encoded "/", is
    never public.

    ``readiness_path`` is a public path the middleware answers itself, for a
    load balancer's readiness probe: 200, or 503 while the trust cannot
    verify, with the reasons in JSON (``quorvel_trellane.observe.Readiness``).
    """

    def __init__(
        self,
        app: _App,
        *,
        trust: _Trust,
        required_scope: RequiredScope[_Context] = None,
        optional: bool = False,
        header: str = X402_PASSPORT_HEADER,
        public_paths: Iterable[str] = (),
        readiness_path: str | None = None,
    ) -> None:
        super().__init__(trust=trust, required_scope=required_scope, optional=optional, header=header)
        self.app = app
        #: The readiness probe served at ``readiness_path``, or None.
        self.readiness: Readiness | None = None
        self.readiness_path = readiness_path
        if readiness_path is not None:
            from quorvel_trellane.observe._readiness import Readiness  # only for a server that asks for it

            self.readiness = Readiness(trust)
            if not isinstance(public_paths, (str, bytes)):
                public_paths = [*public_paths, readiness_path]
        #: Whether a request path (decoded, and as sent) needs no passport;
        #: None when every path needs one.
        self.is_public = public_path_test(public_paths)
        #: The trust's memo (``IssuerTrust.recall``), through which a passport
        #: it admitted before is admitted again without a verification;
        #: None for another trust, or a scope that depends on the request.
        self.recall = _recall_of(trust) if not callable(required_scope) else None


def _recall_of(trust: object) -> Callable[..., PassportVerdict | None] | None:
    # Only the library's own trusts: another object's "recall" may mean
    # something else entirely.
    from quorvel_trellane.trust._verifying import Verifier

    return trust.recall if isinstance(trust, Verifier) else None


def public_path_test(paths: Iterable[str]) -> Callable[[str, str | bytes | None], bool] | None:
    """A test of a request path against ``paths``, the paths that need no passport.

    The test takes the decoded path a server hands on and, where the server
    gives it, the request target as sent (``raw``).

    An entry ending in "/" matches every path under it (``"/docs/"`` matches
    "/docs/" and "/docs/oauth2-redirect"); any other entry matches exactly
    that path. A path with a "." or ".." segment, raw or percent-encoded,
    or an encoded "/", is never public: a router that resolves it would
    serve another path. None when ``paths`` is empty, so that a middleware
    without public paths pays nothing per request.
    """
    if isinstance(paths, (str, bytes)):
        raise TypeError("public_paths must be an iterable of paths, not a single str")
    exact: set[str] = set()
    prefixes: list[str] = []
    for path in paths:
        if not isinstance(path, str) or not path.startswith("/"):
            raise ValueError(f"a public path is a str starting with '/', not {path!r}")
        if path.endswith("/"):
            prefixes.append(path)
        else:
            exact.add(path)
    if not exact and not prefixes:
        return None
    starts = tuple(prefixes)
    frozen = frozenset(exact)

    def is_public(path: str, raw: str | bytes | None = None) -> bool:
        if not (path in frozen or path.startswith(starts)) or _resolvable(path):
            return False
        # Servers decode the path they hand on ("%2F" becomes "/"); the
        # request's own text, where the server gives it, shows what they hid.
        return raw is None or not _resolvable(_path_of(raw))

    return is_public


async def send_answer(send: Callable[[MutableMapping[str, Any]], Awaitable[None]], answer: Answer) -> None:
    """Send ``answer`` as an ASGI HTTP response: the start, then the whole body."""
    headers = [(name.lower().encode("latin-1"), value.encode("latin-1")) for name, value in answer.headers]
    await send({"type": "http.response.start", "status": answer.code, "headers": headers})
    await send({"type": "http.response.body", "body": answer.body})


async def verify_in_loop(trust: SyncTrust, ask: Ask) -> PassportVerdict:
    """The verdict on ``ask`` from inside an event loop (an async view of a
    synchronous framework): the trust's ``verify_async`` where it has one,
    else its ``verify`` in a worker thread, never blocking the loop."""
    verify_async = getattr(trust, "verify_async", None)
    if callable(verify_async):
        verdict: PassportVerdict = await verify_async(ask.credential, required_scope=ask.required_scope)
        return verdict
    import asyncio  # only for a trust without verify_async

    return await asyncio.to_thread(trust.verify, ask.credential, required_scope=ask.required_scope)


# How many rounds of percent-decoding a path is looked through: a router or
# proxy that decodes twice still finds no dot segment in a public path.
_DECODING_ROUNDS: Final = 3


def raw_target(environ: Mapping[str, object]) -> str | None:
    """The request target as sent, where a WSGI server gives it (gunicorn's
    ``RAW_URI``, uWSGI's and mod_wsgi's ``REQUEST_URI``); None otherwise."""
    for key in ("RAW_URI", "REQUEST_URI"):
        value = environ.get(key)
        if isinstance(value, str):
            return value
    return None


def _path_of(raw: str | bytes) -> str:
    """The path part of a request target as sent (an ASGI ``raw_path``, a
    server's ``RAW_URI``), without its query."""
    text = raw.decode("latin-1") if isinstance(raw, bytes) else raw
    return text.partition("?")[0]


def _resolvable(path: str) -> bool:
    """Whether a router could read ``path`` as another path: it has a "." or
    ".." segment, raw or percent-encoded, or an encoded "/" (or "\\").

    "/docs/../pay" matches "/docs/" as text, yet a router that resolves dot
    segments serves "/pay": such a path is never public, whatever it
    matches. Asked only of a path that would otherwise be public.
    """
    for _ in range(_DECODING_ROUNDS):
        lowered = path.lower()
        if "%2f" in lowered or "%5c" in lowered:
            return True
        for segment in lowered.replace("\\", "/").split("/"):
            if segment.replace("%2e", ".") in (".", ".."):
                return True
        decoded = unquote(path)
        if decoded == path:
            return False
        path = decoded
    return True  # still encoded after every round: not a path to trust
