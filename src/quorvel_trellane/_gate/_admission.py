"""The admission of one request: the credential found, the verdict, the answer.

Every door (the ASGI and WSGI middleware, each framework's adapter, A2A,
MCP, the paywall, a gateway) reads the credential its own way, then asks
:meth:`Gate.admit` (blocking) or :meth:`Gate.admit_async` (in an event
loop) and sends the :class:`Admission`'s answer its own way. Both run one
flow, :meth:`Gate.begin` then :meth:`Gate.finish` (or ``finish_async``): a
repeated or missing credential is decided at once; the library's own
trusts are asked their memo once (``start``) and, on a miss, judge that
same request (``complete``), so the memo is never asked twice; any other
trust is asked ``verify`` (or ``verify_async``).
"""

from __future__ import annotations

import functools
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any, Final, Generic, NamedTuple, Protocol, TypeAlias, TypeVar, cast

from quorvel_trellane._gate._answers import Answer
from quorvel_trellane._internal.components import require_components
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict

if TYPE_CHECKING:
    from quorvel_trellane.trust._verifying import Request

__all__ = ["Admission", "Ask", "AsyncTrust", "Gate", "RequiredScope", "SyncTrust", "verify_in_loop"]


class AsyncTrust(Protocol):
    """What an async door needs of a trust: ``IssuerTrust``, ``TrustedIssuers``."""

    def verify_async(self, credential: str, /, *, required_scope: str | None = None) -> Awaitable[PassportVerdict]: ...


class SyncTrust(Protocol):
    """What a blocking door needs of a trust: ``IssuerTrust``, ``TrustedIssuers``."""

    def verify(self, credential: str, /, *, required_scope: str | None = None) -> PassportVerdict: ...


class Admission(NamedTuple):
    """What the gate decided for one request.

    ``verdict``: the trust's verdict, None when no credential was presented.
    ``credential``: the credential judged as the door gave it (text, or an
    ASGI header's bytes), None without one (or for a credential sent twice,
    neither copy of which is chosen). ``answer``: the
    refusal to send instead of calling the application, None to admit.
    """

    verdict: PassportVerdict | None
    credential: str | bytes | None
    answer: Answer | None

    @property
    def admitted(self) -> bool:
        return self.answer is None

    @property
    def text(self) -> str | None:
        """``credential`` as text: a header's bytes read as Latin-1."""
        value = self.credential
        return value.decode("latin-1") if isinstance(value, bytes) else value


class Ask(NamedTuple):
    """A credential still to verify, the scope the request needs, and the
    request the library's own trust made of it (None for another trust)."""

    credential: str
    required_scope: str | None
    request: Request | None


# Without the Python frame of a named tuple's __new__: made on every request.
_admission: Final[Callable[[tuple[PassportVerdict | None, str | bytes | None, Answer | None]], Admission]] = (
    functools.partial(tuple.__new__, Admission)
)

_Trust = TypeVar("_Trust")
_Context = TypeVar("_Context")

#: A scope text, or a callable of the request's context returning one (or
#: None), or None for no scope.
RequiredScope: TypeAlias = str | Callable[[_Context], str | None] | None


class Gate(Generic[_Trust, _Context]):
    """The options every door takes, and the one admission they share.

    ``trust`` verifies the credential (``_Trust`` is what the door calls on
    it). ``required_scope`` is a scope text, or a callable taking the
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
        from quorvel_trellane.trust._verifying import Verifier  # the library's own trusts

        self.trust = trust
        self.required_scope = required_scope
        self.optional = optional
        self.header = header
        #: The header's name as ASGI servers send it (lower-case bytes), and
        #: its WSGI environ key.
        self.header_key = header.lower().encode("latin-1")
        self.environ_key = "HTTP_" + header.upper().replace("-", "_")
        # Only the library's own trusts are asked start and complete: another
        # object's methods of those names may mean something else entirely.
        self._own: Verifier | None = trust if isinstance(trust, Verifier) else None
        self._find = None if self._own is None else self._own.memo.find
        self._scope_of: Callable[[_Context], str | None] | None = None
        self._scope: str | None = None
        if callable(required_scope):
            self._scope_of = required_scope
        else:
            self._scope = required_scope
        self._missing = Answer.of("missing", "MISSING_PASSPORT", f"no {header} header")
        # Two credentials in one request are ambiguous; picking either would
        # let a proxy or client bug decide which passport the application sees.
        repeated = PassportVerdict(
            verified=False,
            status="invalid",
            error_code="INVALID_CREDENTIAL",
            error_message=f"repeated {header} header",
        )
        self._none = Admission(None, None, None if optional else self._missing)
        self._twice = Admission(repeated, None, None if optional else Answer.refusing(repeated))
        # The admission of the memo's last verdict: any copy of a credential
        # the memo found is the same credential, the first one stands for the rest.
        self._last = self._none

    def answer(self, verdict: PassportVerdict | None) -> Answer | None:
        """None to admit a request with ``verdict`` (verified, or ``optional``),
        else the answer to send instead of calling the application."""
        if self.optional:
            return None
        if verdict is None:
            return self._missing
        if verdict.verified:
            return None
        return Answer.refusing(verdict)

    def begin(
        self, value: str | bytes | None, context: _Context | None = None, repeated: bool = False, folded: bool = True
    ) -> Admission | Ask:
        """The first half of :meth:`admit`: the admission when it is decided
        without waiting (no credential, a repeated one, a verdict the trust's
        memo holds), else the :class:`Ask` that :meth:`finish` judges.

        ``value`` may be a header's bytes (an ASGI door's): they are read as
        Latin-1, and only when the memo does not know them."""
        find = self._find
        if find is not None and not repeated and value is not None and self._scope_of is None:
            # The library's own trust, and a scope fixed in advance: its memo
            # first, without decoding anything. The memo answers with the
            # verdict it keeps, the same object each time: the last one's
            # admission serves again (an agent repeats its passport).
            verdict = find(value, self._scope)
            if verdict is None:
                return self._ask(value, self._scope, folded)
            last = self._last
            if last[0] is verdict:
                return last
            self._last = last = self.decided(value, verdict)
            return last
        if repeated:
            return self._twice
        if value is None:
            return self._none
        scope_of = self._scope_of
        # The door with a callable scope gives its context.
        required = self._scope if scope_of is None else scope_of(cast("_Context", context))
        if find is not None:
            verdict = find(value, required)
            if verdict is not None:
                return self.decided(value, verdict)
        return self._ask(value, required, folded)

    def _ask(self, value: str | bytes, required: str | None, folded: bool) -> Admission | Ask:
        # A verdict the memo does not hold: the credential as text, to judge.
        # Latin-1 maps every byte to one character, so no byte sequence can
        # make decoding fail; whatever is not base64url is judged invalid.
        text = value.decode("latin-1") if isinstance(value, bytes) else value
        # Copies a server or proxy folded into one value with commas (never
        # in base64url text) are a repeated header too; the memo holds only
        # genuine passports, which never hold one.
        if folded and "," in text:
            return self._twice
        own = self._own
        return Ask(text, required, None if own is None else own.request(text, required))

    def decided(self, credential: str | bytes | None, verdict: PassportVerdict) -> Admission:
        """The admission of ``credential`` with the trust's ``verdict``."""
        if verdict.verified or self.optional:
            return _admission((verdict, credential, None))
        return _admission((verdict, credential, Answer.refusing(verdict)))

    def finish(self, ask: Ask) -> Admission:
        """The second half of :meth:`admit`: ``ask`` judged by the trust, blocking."""
        # Whatever the trust raises (misuse of its arguments) propagates: the
        # server answers 500 and the application is never called.
        own, request = self._own, ask.request
        if own is not None and request is not None:
            return self.decided(ask.credential, own.complete(request))
        trust: Any = self.trust
        return self.decided(ask.credential, trust.verify(ask.credential, required_scope=ask.required_scope))

    async def finish_async(self, ask: Ask) -> Admission:
        """:meth:`finish` in an event loop: the trust's waits off the loop."""
        own, request = self._own, ask.request
        if own is not None and request is not None:
            return self.decided(ask.credential, await own.complete_async(request))
        return self.decided(ask.credential, await verify_in_loop(self.trust, ask))

    def admit(
        self, value: str | bytes | None, context: _Context | None = None, *, repeated: bool = False, folded: bool = True
    ) -> Admission:
        """Admit a request whose credential is ``value`` (None: none sent), blocking.

        ``context`` is what a callable ``required_scope`` is given;
        ``repeated``: the door found the credential more than once;
        ``folded=False`` for a value that is no header's (an A2A message's
        metadata), where a comma is not read as copies folded together.
        """
        begun = self.begin(value, context, repeated=repeated, folded=folded)
        return begun if type(begun) is Admission else self.finish(begun)  # type: ignore[arg-type]

    async def admit_async(
        self, value: str | bytes | None, context: _Context | None = None, *, repeated: bool = False, folded: bool = True
    ) -> Admission:
        """:meth:`admit` in an event loop: the library's trusts wait off the loop,
        another trust's ``verify_async`` is awaited (or its ``verify`` run in a thread)."""
        begun = self.begin(value, context, repeated=repeated, folded=folded)
        return begun if type(begun) is Admission else await self.finish_async(begun)  # type: ignore[arg-type]


async def verify_in_loop(trust: object, ask: Ask) -> PassportVerdict:
    """The verdict on ``ask`` from inside an event loop (an async view of a
    synchronous framework): the trust's ``verify_async`` where it has one,
    else its ``verify`` in a worker thread, never blocking the loop."""
    verify_async = getattr(trust, "verify_async", None)
    if callable(verify_async):
        verdict: PassportVerdict = await verify_async(ask.credential, required_scope=ask.required_scope)
        return verdict
    import asyncio  # only for a trust without verify_async

    blocking: Any = trust
    result: PassportVerdict = await asyncio.to_thread(
        blocking.verify, ask.credential, required_scope=ask.required_scope
    )
    return result
