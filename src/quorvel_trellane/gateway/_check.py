"""One check, whichever protocol asked: the passport judged, the route's price charged.

Both doors (the HTTP check and Envoy's gRPC check) hand :meth:`Checker.check`
the credential header's value, the route's requirement and the request's
``Idempotency-Key``, and send what it answers in their own frame: an
:class:`Allow` with the four identity headers, or the gate's ``Answer``
(401 with the challenge, 403, 503 with ``Retry-After``, the JSON body).
"""

from __future__ import annotations

import logging
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Final

from quorvel_trellane._gate import Admission, Answer, Ask, AsyncTrust, Gate, compact_json
from quorvel_trellane.gateway._requirement import Requirement
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict

if TYPE_CHECKING:
    from quorvel_trellane.spend import SpendLedger

__all__ = ["IDENTITY_HEADERS", "Allow", "Checker", "credential_of", "identity_headers", "refusal"]

#: The headers every allow sets, overwriting whatever the client sent under
#: their names: the agent's DID, the issuer's DID, the scopes (space
#: separated) and the passport's ``expires_at`` text.
IDENTITY_HEADERS: Final = ("X-Agent-Did", "X-Agent-Issuer", "X-Agent-Scopes", "X-Agent-Expires")

_LOG: Final = logging.getLogger("quorvel_trellane.gateway")
# Identity headers kept per verdict object (the memo hands the same one back).
_KEPT: Final = 1024
# Printable ASCII but "%": what a header value carries as it is.
_PLAIN: Final = frozenset(chr(c) for c in range(0x21, 0x7F)) - {"%"}


@dataclass(frozen=True, slots=True)
class Allow:
    """An admission: the identity headers for the upstream request, as text and as ASGI bytes."""

    verdict: PassportVerdict
    headers: tuple[tuple[str, str], ...]
    raw: list[tuple[bytes, bytes]] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        raw = [(name.lower().encode("ascii"), value.encode("ascii")) for name, value in self.headers]
        raw.append((b"content-length", b"0"))
        object.__setattr__(self, "raw", raw)


def _text(value: object) -> str:
    """A header value for a claim: printable ASCII as it is; anything else
    (a control character, a line break, a non-ASCII letter) percent-encoded
    as UTF-8, so that no claim can add a header or break the response."""
    text = value if isinstance(value, str) else "" if value is None else str(value)
    if all(c in _PLAIN for c in text):
        return text
    return "".join(c if c in _PLAIN else "".join(f"%{b:02X}" for b in c.encode("utf-8", "replace")) for c in text)


def identity_headers(verdict: PassportVerdict) -> tuple[tuple[str, str], ...]:
    """The four identity headers of a verified passport (an empty value where the verdict has none)."""
    scopes = verdict.scopes if isinstance(verdict.scopes, tuple) else ()
    did, issuer, scope_list, expires = IDENTITY_HEADERS
    return (
        (did, _text(verdict.agent_did)),
        (issuer, _text(verdict.issuer_did)),
        (scope_list, " ".join(_text(scope) for scope in scopes)),
        (expires, _text(verdict.expires_at)),
    )


def credential_of(passport: list[bytes], authorization: list[bytes]) -> tuple[bytes | None, bool]:
    """The credential of a request and whether it came more than once.

    The passport header's values (``passport``) when there are any; else a
    single ``Authorization: Bearer`` value's token. An ``Authorization``
    header of another scheme is the upstream's business, not a credential.
    """
    if passport:
        return passport[0], len(passport) > 1
    bearers = [value for value in authorization if value[:7].lower() == b"bearer "]
    if not bearers:
        return None, False
    return bearers[0][7:].strip(), len(bearers) > 1


def _scope(requirement: Requirement) -> str | None:
    return requirement.scope


class Checker:
    """The service's decision on one check.

    ``trust`` verifies (an ``IssuerTrust`` or ``TrustedIssuers``);
    ``ledger`` charges priced routes (a ``SpendLedger``; without one a
    priced route is refused with 500, the service's own misconfiguration).
    The credential comes from ``header`` (``X-Agent-Passport``), or failing
    that from ``Authorization: Bearer``.
    """

    def __init__(self, trust: Any, *, ledger: SpendLedger | None = None, header: str = X402_PASSPORT_HEADER) -> None:
        self.gate: Gate[AsyncTrust, Requirement] = Gate(trust=trust, required_scope=_scope, header=header)
        self.trust = trust
        self.ledger = ledger
        self._allowed: dict[int, Allow] = {}

    async def check(
        self,
        credential: str | bytes | None,
        requirement: Requirement,
        *,
        repeated: bool = False,
        idempotency_key: str | None = None,
    ) -> Allow | Answer:
        """Admit (an :class:`Allow`) or refuse (the ``Answer`` to send) one check."""
        begun = self.begin(credential, requirement, repeated=repeated)
        if type(begun) is Allow or type(begun) is Answer:
            return begun
        return await self.finish(begun, requirement, idempotency_key)  # type: ignore[arg-type]

    def begin(
        self, credential: str | bytes | None, requirement: Requirement, *, repeated: bool = False
    ) -> Allow | Answer | Admission | Ask:
        """The first half of :meth:`check`, without waiting: the answer when it
        is decided now (the memo's verdict on a free route), else what
        :meth:`finish` judges or charges."""
        if isinstance(credential, bytes):
            # Latin-1 maps every byte to a character: whatever is not
            # base64url is judged invalid, never an error.
            credential = credential.decode("latin-1")
        # The one admission every door calls: the memo asked once, the trust on a miss.
        begun = self.gate.begin(credential, requirement, repeated=repeated)
        if type(begun) is not Admission:
            return begun
        admission: Admission = begun
        verdict = admission.verdict
        if admission.answer is not None or verdict is None:
            return self._refusing(admission)
        return admission if requirement.price_microusd else self.allow(verdict)

    async def finish(
        self, begun: Admission | Ask, requirement: Requirement, idempotency_key: str | None
    ) -> Allow | Answer:
        """The second half of :meth:`check`: the trust's verdict awaited, the price charged."""
        admission = begun if type(begun) is Admission else await self.gate.finish_async(begun)  # type: ignore[arg-type]
        verdict = admission.verdict
        if admission.answer is not None or verdict is None:
            return self._refusing(admission)
        if requirement.price_microusd:
            refusal = await self._charge(admission.text, verdict, requirement, idempotency_key)
            if refusal is not None:
                return refusal
        return self.allow(verdict)

    def _refusing(self, admission: Admission) -> Answer:
        answer = admission.answer or self.gate.answer(None)
        assert answer is not None  # never optional: no admission without a verdict
        verdict = admission.verdict
        _refused(answer.code, "MISSING_PASSPORT" if verdict is None else verdict.error_code)
        return answer

    def allow(self, verdict: PassportVerdict) -> Allow:
        """The admission of ``verdict``, made once for a verdict the memo hands out again."""
        made = self._allowed.get(id(verdict))
        if made is not None and made.verdict is verdict:
            return made
        if len(self._allowed) >= _KEPT:
            self._allowed.clear()
        made = self._allowed[id(verdict)] = Allow(verdict, identity_headers(verdict))
        return made

    async def _charge(
        self, credential: str | None, verdict: PassportVerdict, requirement: Requirement, key: str | None
    ) -> Answer | None:
        """Reserve and commit the route's price; None once charged (or found charged under ``key``)."""
        ledger = self.ledger
        amount = requirement.price_microusd
        if ledger is None:
            _LOG.error("check refused: 500 a route is priced at %d micro-USD and the service has no ledger", amount)
            return refusal(500, "error", "SPEND_LEDGER_MISSING", "the route is priced and no ledger is configured")
        assert credential is not None  # verified, so it was given
        try:
            decision = await ledger.reserve_async(credential, amount, key=key, verdict=verdict)
        except (TypeError, ValueError) as exc:  # a key the ledger cannot keep (too long, a NUL)
            _refused(400, "IDEMPOTENCY_KEY_INVALID")
            return refusal(400, "error", "IDEMPOTENCY_KEY_INVALID", str(exc))
        except Exception as exc:
            # The store could not be reached: what it may have held still
            # counts against the bound; the request is not admitted.
            _LOG.warning("check refused: 503 SPEND_LEDGER_UNAVAILABLE (%s)", type(exc).__name__)
            return refusal(503, "error", "SPEND_LEDGER_UNAVAILABLE", "the spend ledger cannot be reached", 1)
        if not decision:
            _refused(403, decision.error_code)
            return refusal(403, verdict.status, decision.error_code, decision.error_message)
        if not decision.replayed:
            # A gateway never reports the response back: the admission is the spend.
            try:
                await ledger.commit_async(decision)
            except Exception as exc:  # the hold stays held, and counts until it leaves the window
                _LOG.warning("a hold of %d micro-USD stays held: its commit failed (%s)", amount, type(exc).__name__)
        return None


def refusal(
    code: int, status: str | None, error_code: str | None, message: str | None, retry_after: int | None = None
) -> Answer:
    """An answer with ``code`` and the middleware's JSON body."""
    body = compact_json({"status": status, "error_code": error_code, "error_message": message})
    return Answer(code, body.encode("utf-8"), retry_after)


def _refused(code: int, error_code: str | None) -> None:
    # One line per refusal, with its code: never the credential.
    _LOG.info("check refused: %d %s", code, error_code)
