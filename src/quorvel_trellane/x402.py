"""x402 payments held to the agent's passport: priced in micro-USD, charged to its spend budget.

A relying party puts :class:`PassportPaywall` around its application: it
wraps the ``x402`` package's own FastAPI/Starlette payment middleware and
checks the passport first, so an agent without a valid passport, or whose
budget cannot cover the price, is refused before it ever signs a payment::

    app = PassportPaywall(app, routes=routes, server=server, ledger=ledger,
                          stablecoins=Stablecoins([Stablecoin("eip155:8453", USDC_ON_BASE, 6)]),
                          required_scope="payments:x402")

An agent hands its passport's bound to x402's client with
:class:`PassportBudget`, so that the client signs no payment the passport
does not cover::

    PassportBudget(credential, stablecoins).install(client)

Amounts are converted with exact integer arithmetic from the asset's
smallest units to micro-USD for the USD stablecoins the caller lists (one
token unit counts one US dollar); an asset not listed is refused, never
guessed. The ``x402`` package (``pip install 'quorvel-trellane[x402]'``) is
imported on first use, not with this module.
"""

from __future__ import annotations

import asyncio
import hashlib
import json
import logging
import re
import threading
from collections.abc import Callable, Iterable, Iterator, Mapping, MutableMapping
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import TYPE_CHECKING, Any, Final, Protocol

from quorvel_trellane._wire import Answer
from quorvel_trellane.asgi import STATE_KEY, PassportMiddleware, _answer
from quorvel_trellane.passport import X402_PASSPORT_HEADER, PassportVerdict, decode_passport

if TYPE_CHECKING:
    from x402 import PaymentPayload, SettleResultContext, SpendControls, x402Client, x402ClientSync
    from x402 import x402ResourceServer
    from x402.http import RoutesConfig
    from x402.schemas import AbortResult, PaymentCreationContext

    from quorvel_trellane.asgi import ASGIApp, Receive, Scope, Send
    from quorvel_trellane.spend import SpendDecision, SpendLedger

__all__ = [
    "PAYMENT_NOT_PRICED",
    "SPEND_LIMIT_EXCEEDED",
    "SPEND_TERMS_UNSUPPORTED",
    "Stablecoin",
    "Stablecoins",
    "UnlistedAsset",
    "microusd",
    "atomic_units",
    "payment_key",
    "PassportPaywall",
    "PassportBudget",
]

logger = logging.getLogger("quorvel_trellane.x402")

#: A paid request this server cannot price: an asset it does not list, or a
#: payment that names no requirement (x402 version 1).
PAYMENT_NOT_PRICED: Final = "PAYMENT_NOT_PRICED"
#: The ledger's codes, as refusals carry them.
SPEND_LIMIT_EXCEEDED: Final = "SPEND_LIMIT_EXCEEDED"
SPEND_TERMS_UNSUPPORTED: Final = "SPEND_TERMS_UNSUPPORTED"

#: One micro-USD is 10**-6 of a dollar.
_MICRO_DIGITS: Final = 6
# uint256, the largest amount a token contract holds, has 78 digits; a longer
# text is no amount, and int() is never asked to parse an unbounded string.
_ATOMIC: Final = re.compile(r"[0-9]{1,78}", re.ASCII)
_EVM_ADDRESS: Final = re.compile(r"0x[0-9a-fA-F]{40}", re.ASCII)
_MAX_DECIMALS: Final = 77


# -- amounts ------------------------------------------------------------------


def microusd(amount: str | int, decimals: int) -> int:
    """The micro-USD value of ``amount`` smallest units of a USD stablecoin with ``decimals``.

    Exact integer arithmetic. A value that is not a whole number of
    micro-USD is rounded UP (1 unit of an 18-decimal token counts 1
    micro-USD), so a payment is never counted at less than the agent pays.
    ``amount`` is a non-negative int or a text of ASCII digits, as x402
    carries it.
    """
    units = _units(amount)
    shift = _decimals(decimals) - _MICRO_DIGITS
    scale: int = 10 ** abs(shift)
    if shift <= 0:
        return units * scale
    whole, part = divmod(units, scale)
    return whole + (part > 0)


def atomic_units(amount_microusd: int, decimals: int) -> int:
    """The most smallest units of a stablecoin with ``decimals`` worth at most ``amount_microusd``.

    The inverse of :func:`microusd` for a cap: rounded DOWN, so a payment
    within the cap never costs more than ``amount_microusd``.
    """
    if type(amount_microusd) is not int or amount_microusd < 0:
        raise ValueError(f"an amount in micro-USD is a non-negative int, not {amount_microusd!r}")
    shift = _decimals(decimals) - _MICRO_DIGITS
    scale: int = 10 ** abs(shift)
    if shift >= 0:
        return amount_microusd * scale
    return amount_microusd // scale


def _units(amount: object) -> int:
    if type(amount) is int:
        if amount < 0:
            raise ValueError(f"an amount of smallest units cannot be negative: {amount}")
        return amount
    if isinstance(amount, str) and _ATOMIC.fullmatch(amount):
        return int(amount)
    raise ValueError(f"an amount of smallest units is a text of digits or a non-negative int, not {amount!r}")


def _decimals(decimals: object) -> int:
    if type(decimals) is not int or not 0 <= decimals <= _MAX_DECIMALS:
        raise ValueError(f"decimals is an int from 0 to {_MAX_DECIMALS}, not {decimals!r}")
    return decimals


def _asset_key(asset: str) -> str:
    # An EVM address's letter case is a checksum, not part of its identity;
    # every other asset text (base58 mints, names) is compared exactly.
    return asset.lower() if _EVM_ADDRESS.fullmatch(asset) else asset


# -- the relying party's list of USD stablecoins --------------------------------


@dataclass(frozen=True, slots=True)
class Stablecoin:
    """A USD stablecoin the caller counts at one dollar per token.

    ``network`` is the CAIP-2 network as x402 names it ("eip155:8453");
    ``asset`` the asset as payment requirements carry it (a token address,
    or a name where the network identifies assets by name); ``decimals``
    the token's decimals.
    """

    network: str
    asset: str
    decimals: int

    def __post_init__(self) -> None:
        for name in ("network", "asset"):
            value = getattr(self, name)
            if not isinstance(value, str) or not value:
                raise ValueError(f"a stablecoin's {name} is a non-empty str, not {value!r}")
        _decimals(self.decimals)


class UnlistedAsset(ValueError):
    """An amount in an asset the caller does not list: it cannot be priced."""

    def __init__(self, network: str, asset: str) -> None:
        super().__init__(f"asset {asset!r} on {network!r} is not a listed USD stablecoin")
        self.network = network
        self.asset = asset


class _Requirement(Protocol):
    """What :meth:`Stablecoins.price` reads of x402's ``PaymentRequirements``."""

    @property
    def network(self) -> str: ...
    @property
    def asset(self) -> str: ...
    @property
    def amount(self) -> str: ...


class Stablecoins:
    """The USD stablecoins a caller accepts, looked up by network and asset."""

    __slots__ = ("_coins",)

    def __init__(self, coins: Iterable[Stablecoin]) -> None:
        table: dict[tuple[str, str], Stablecoin] = {}
        for coin in coins:
            if not isinstance(coin, Stablecoin):
                raise TypeError(f"list Stablecoin entries, not {coin!r}")
            key = (coin.network, _asset_key(coin.asset))
            known = table.get(key)
            if known is not None and known.decimals != coin.decimals:
                raise ValueError(f"{coin.asset!r} on {coin.network!r} is listed with {known.decimals} and {coin.decimals} decimals")
            table[key] = coin
        self._coins: Final = table

    def find(self, network: str, asset: str) -> Stablecoin | None:
        """The listed coin, or None."""
        if not isinstance(network, str) or not isinstance(asset, str):
            return None
        return self._coins.get((network, _asset_key(asset)))

    def microusd(self, amount: str | int, *, network: str, asset: str) -> int:
        """:func:`microusd` for ``asset`` on ``network``; UnlistedAsset when it is not listed."""
        coin = self.find(network, asset)
        if coin is None:
            raise UnlistedAsset(network, asset)
        return microusd(amount, coin.decimals)

    def price(self, requirement: _Requirement) -> int:
        """The micro-USD price of an x402 ``PaymentRequirements`` (rounded up)."""
        return self.microusd(requirement.amount, network=requirement.network, asset=requirement.asset)

    def atomic(self, amount_microusd: int, *, network: str, asset: str) -> int:
        """:func:`atomic_units` for ``asset`` on ``network`` (rounded down)."""
        coin = self.find(network, asset)
        if coin is None:
            raise UnlistedAsset(network, asset)
        return atomic_units(amount_microusd, coin.decimals)

    def __iter__(self) -> Iterator[Stablecoin]:
        return iter(self._coins.values())

    def __len__(self) -> int:
        return len(self._coins)

    def __repr__(self) -> str:
        return f"Stablecoins({list(self._coins.values())!r})"


def _table(stablecoins: Stablecoins | Iterable[Stablecoin]) -> Stablecoins:
    return stablecoins if isinstance(stablecoins, Stablecoins) else Stablecoins(stablecoins)


def payment_key(payment: PaymentPayload) -> str:
    """The idempotency key of one signed x402 payment.

    A digest of the scheme, network and the scheme's signed payload (which
    carries the signature and its nonce): the same payment sent again gives
    the same key, and a new signature a new one.
    """
    document = [payment.accepted.scheme, payment.accepted.network, payment.payload]
    text = json.dumps(document, sort_keys=True, separators=(",", ":"), ensure_ascii=True, default=str)
    return "x402:" + hashlib.sha256(text.encode("ascii")).hexdigest()


# -- the relying party: passport, then budget, then x402 ------------------------


class _Payment:
    """One signed payment in flight on this server, and what became of it."""

    __slots__ = ("credential", "decision", "requests", "settled")

    def __init__(self, credential: str, decision: SpendDecision) -> None:
        self.credential = credential
        self.decision = decision
        self.requests = 0
        self.settled = False


class PassportPaywall:
    """x402's payment middleware behind a passport check and a spend budget (ASGI).

    For a request to a route in ``routes`` (x402's own route table), in order:

    1. The passport in the ``header`` request header is verified with the
       ledger's trust and ``required_scope``; without a valid one the answer
       is the passport middleware's own: 401 (or 403 for another agent or a
       missing scope) with ``{"status", "error_code", "error_message"}``,
       and no payment challenge.
    2. Unpaid, x402 builds its 402 challenge; it is sent only when the
       budget left in the passport's window covers the cheapest option
       priced in a listed stablecoin. Otherwise 403 "SPEND_LIMIT_EXCEEDED"
       (or "SPEND_TERMS_UNSUPPORTED" for a passport without a readable
       bound, "PAYMENT_NOT_PRICED" when no option is in a listed
       stablecoin), so the agent never signs.
    3. Paid, the payment's amount is reserved in ``ledger`` under the
       payment's :func:`payment_key` before x402 verifies and settles it;
       refused, 403 with the decision's code. The hold is committed once
       settlement succeeds (at the settled amount when lower) and released
       when the payment is refused, the handler fails or settlement fails.
       A retried payment reserves under the same key and is never charged
       twice.

    Other routes, and lifespan and websocket scopes, go to x402's middleware
    untouched. The verdict is stored in ``scope["state"]["agent_passport"]``.
    The hooks that commit are registered on ``server`` (an async
    ``x402ResourceServer``).
    """

    def __init__(
        self,
        app: ASGIApp,
        *,
        routes: RoutesConfig,
        server: x402ResourceServer,
        ledger: SpendLedger,
        stablecoins: Stablecoins | Iterable[Stablecoin],
        required_scope: str | None = None,
        header: str = X402_PASSPORT_HEADER,
    ) -> None:
        from x402.http import x402HTTPResourceServer
        from x402.http.middleware.fastapi import PaymentMiddlewareASGI

        self.ledger = ledger
        self.stablecoins = _table(stablecoins)
        self.required_scope = required_scope
        self._routes = x402HTTPResourceServer(server, routes)
        self._x402 = PaymentMiddlewareASGI(app, routes=routes, server=server)
        # The passport middleware itself, in front of the budget: the same
        # verification, the same refusals, the verdict in the scope's state.
        self._passport = PassportMiddleware(self._budgeted, trust=ledger.trust, required_scope=required_scope, header=header)
        self._payments: dict[str, _Payment] = {}
        server.on_after_settle(self._after_settle)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and self._priced(scope):
            await self._passport(scope, receive, send)
        else:
            await self._x402(scope, receive, send)

    async def _budgeted(self, scope: Scope, receive: Receive, send: Send) -> None:
        """Behind the passport check: the request carries one verified passport."""
        verdict: PassportVerdict = scope["state"][STATE_KEY]
        name = self._passport.header_key
        credential = next(value for key, value in scope["headers"] if key.lower() == name).decode("latin-1")
        payment = _payment(scope)
        if payment is None:
            await self._x402(scope, receive, self._challenge_checked(send, credential, verdict))
        else:
            await self._paid(scope, receive, send, credential, verdict, payment)

    # -- which requests: x402's own route table decides --

    def _priced(self, scope: Scope) -> bool:
        from starlette.requests import Request
        from x402.http import HTTPRequestContext
        from x402.http.middleware.fastapi import FastAPIAdapter

        request = Request(scope)
        raw = scope.get("raw_path") or scope["path"].encode("utf-8")
        context = HTTPRequestContext(
            adapter=FastAPIAdapter(request),
            path=raw.decode("latin-1").split("?")[0],
            decoded_path=_route_path(scope),
            method=scope["method"],
        )
        return self._routes.requires_payment(context)

    # -- unpaid: the challenge goes out only when the budget can pay it --

    def _challenge_checked(self, send: Send, credential: str, verdict: PassportVerdict) -> Send:
        replaced = False

        async def checked(message: MutableMapping[str, Any]) -> None:
            nonlocal replaced
            if replaced:
                return  # the body of the challenge we did not send
            if message["type"] == "http.response.start" and message["status"] == 402:
                answer = await self._budget_refusal(credential, verdict, message["headers"])
                if answer is not None:
                    replaced = True
                    await _answer(send, answer)
                    return
            await send(message)

        return checked

    async def _budget_refusal(
        self, credential: str, verdict: PassportVerdict, headers: Iterable[tuple[bytes, bytes]]
    ) -> Answer | None:
        from x402 import PaymentRequired
        from x402.http import decode_payment_required_header

        encoded = next((v for k, v in headers if k.lower() == b"payment-required"), None)
        try:
            required = decode_payment_required_header(encoded.decode("latin-1")) if encoded else None
        except Exception:
            required = None
        if not isinstance(required, PaymentRequired):
            # No challenge this server can read: it goes out, and a payment
            # made on it is still reserved before it settles.
            return None
        prices = []
        for option in required.accepts:
            try:
                prices.append(self.stablecoins.price(option))
            except ValueError:
                continue  # an option in an asset this server does not count
        if not prices:
            return _forbidden(verdict.status, PAYMENT_NOT_PRICED, "no payment option of this route is in a listed USD stablecoin")
        cheapest = min(prices)
        if cheapest == 0:
            return None
        left = await asyncio.to_thread(self.ledger.remaining, credential)
        if left is None:
            return _forbidden(verdict.status, SPEND_TERMS_UNSUPPORTED, "the passport has no spend bound this server can read")
        if left < cheapest:
            return _forbidden(
                verdict.status,
                SPEND_LIMIT_EXCEEDED,
                f"the price of {cheapest} micro-USD exceeds the {left} left in the passport's spend window",
            )
        return None

    # -- paid: reserve, let x402 verify and settle, commit or release --

    async def _paid(
        self, scope: Scope, receive: Receive, send: Send, credential: str, verdict: PassportVerdict, payment: Any
    ) -> None:
        from x402 import PaymentPayload

        if not isinstance(payment, PaymentPayload):
            await _answer(send, _forbidden(verdict.status, PAYMENT_NOT_PRICED, "an x402 version 1 payment names no requirement to price"))
            return
        try:
            amount = self.stablecoins.price(payment.accepted)
        except ValueError as exc:
            await _answer(send, _forbidden(verdict.status, PAYMENT_NOT_PRICED, str(exc)))
            return
        if amount == 0:
            await self._x402(scope, receive, send)
            return
        key = payment_key(payment)
        decision = await self.ledger.reserve_async(credential, amount, key=key, required_scope=self.required_scope)
        if not decision:
            await _answer(send, _forbidden(verdict.status, decision.error_code or SPEND_LIMIT_EXCEEDED, decision.error_message or ""))
            return
        # Two requests carrying one payment share one hold (the ledger answers
        # the second reserve with the first decision): it is released only
        # when the last of them ends and none has settled it.
        entry = self._payments.get(key)
        if entry is None:
            entry = self._payments[key] = _Payment(credential, decision)
        entry.requests += 1
        ended = False

        async def end() -> None:
            nonlocal ended
            if ended:
                return
            ended = True
            entry.requests -= 1
            if entry.requests == 0:
                del self._payments[key]
                if not entry.settled:
                    await self._release(entry.decision)

        async def ending(message: MutableMapping[str, Any]) -> None:
            # x402 settles before the response starts, and never after: by
            # then the payment has settled or will not, and the ledger is
            # up to date before the agent reads the answer.
            if message["type"] == "http.response.start":
                await end()
            await send(message)

        try:
            await self._x402(scope, receive, ending)
        finally:
            await end()

    async def _after_settle(self, context: SettleResultContext) -> None:
        """x402's after-settle hook: the money moved, so the hold is committed."""
        try:
            key = payment_key(context.payment_payload)  # type: ignore[arg-type]
        except Exception:
            return  # not a payment of ours (x402 version 1)
        entry = self._payments.get(key)
        if entry is None or entry.settled:
            return
        entry.settled = True
        decision = entry.decision
        final = decision.amount_microusd
        try:
            # A scheme may settle less than it verified (x402's settlement
            # overrides): the lower amount is what the agent paid.
            final = min(final, self.stablecoins.price(context.requirements))  # type: ignore[arg-type]
        except ValueError:
            pass
        # Nothing is raised into x402, which would answer a settled payment
        # as failed; a hold that cannot be committed keeps counting until it
        # leaves the window.
        try:
            await self.ledger.commit_async(decision, amount_microusd=final)
        except ValueError:
            await self._recount(entry, key, final)
        except Exception:
            logger.exception("x402: could not commit the hold of settled payment %s", key)

    async def _recount(self, entry: _Payment, key: str, amount: int) -> None:
        """Count a settled payment whose hold was released.

        A payment that failed to settle once is released, yet its signature
        may still settle when it is sent again; the ledger answers that
        reserve with the released hold. The money has moved, so it is
        counted under a key of its own.
        """
        try:
            again = await self.ledger.reserve_async(
                entry.credential, amount, key=key + ":settled", required_scope=self.required_scope
            )
            if again:
                await self.ledger.commit_async(again)
            else:
                logger.error("x402: settled payment %s could not be counted: %s", key, again.error_message)
        except Exception:
            logger.exception("x402: could not count settled payment %s", key)

    async def _release(self, decision: SpendDecision) -> None:
        try:
            await self.ledger.release_async(decision)
        except ValueError:
            pass  # committed meanwhile, through another server: it stays counted
        except Exception:
            logger.exception("x402: could not release a hold; it counts until it leaves the window")



def _payment(scope: Scope) -> Any:
    """The request's x402 payment, decoded as x402's middleware decodes it, or None."""
    from x402.http import decode_payment_signature_header

    for key, value in scope["headers"]:
        if key.lower() == b"payment-signature":
            try:
                return decode_payment_signature_header(value.decode("latin-1"))
            except Exception:
                return None  # x402 treats it as no payment: the challenge
    return None


def _route_path(scope: Scope) -> str:
    """The path as Starlette routes it: without the ASGI root_path of a mount."""
    path: str = scope["path"]
    root: str = scope.get("root_path", "")
    if root and path.startswith(root) and (len(path) == len(root) or path[len(root)] == "/"):
        return path[len(root):]
    return path


def _forbidden(status: str | None, code: str, message: str) -> Answer:
    """A 403 for a genuine passport refused for its budget or an unpriced
    payment, in the passport middleware's JSON body."""
    return Answer(403, Answer.of(status, code, message).body)


# -- the agent: sign nothing the passport does not cover --------------------------


class PassportBudget:
    """The agent's own passport bound, kept by x402's client before it signs.

    Built from the agent's credential (decoded, not verified: it is the
    agent's own) and the USD stablecoins the agent pays in.
    :meth:`install` gives an ``x402Client`` (or ``x402ClientSync``):

    - spend controls allowing only the listed coins, each capped per
      payment at the passport's whole ``spend_limit_microusd``;
    - a policy keeping only the options in a listed coin whose price fits
      what is left of the bound in the current ``spend_window``;
    - a before-payment hook that counts the chosen payment against the
      window, under a lock, or aborts it with "SPEND_LIMIT_EXCEEDED".

    Every signed payment counts, whatever the server does with it: a signed
    payment can still be settled later, so only leaving the window frees it.
    The count lives in this object: one budget per passport per process
    (several processes spending one passport each count only their own
    payments; the relying parties' ledger still holds the bound). ``windows`` maps window texts the ledger cannot read to their
    length, as for the ledger; ``clock`` returns the current UTC time.

    Raises ValueError for a passport without a readable bound: such an
    agent pays nothing.
    """

    def __init__(
        self,
        credential: str,
        stablecoins: Stablecoins | Iterable[Stablecoin],
        *,
        windows: Mapping[str, timedelta] | None = None,
        clock: Callable[[], datetime] | None = None,
    ) -> None:
        payload = decode_passport(credential).payload
        limit = payload.get("spend_limit_microusd")
        if type(limit) is not int or limit < 0:
            raise ValueError(f"the passport's spend_limit_microusd is not a non-negative integer: {limit!r}")
        self.limit_microusd: Final = limit
        self.window: Final = _window(payload.get("spend_window"), windows)
        self.stablecoins = _table(stablecoins)
        self._clock = clock or (lambda: datetime.now(timezone.utc))
        self._lock = threading.Lock()
        self._spent: list[tuple[datetime, int]] = []

    def remaining(self) -> int:
        """What is left of the bound in the window ending now."""
        with self._lock:
            return self.limit_microusd - self._spent_now(self._clock())

    def spend_controls(self) -> SpendControls:
        """x402's spend controls: the listed coins only, each capped at the whole bound."""
        allowed: list[Any] = [
            {
                "network": coin.network,
                "asset": coin.asset,
                "max_amount_per_payment": str(atomic_units(self.limit_microusd, coin.decimals)),
            }
            for coin in self.stablecoins
        ]
        return {"allowed_assets": allowed, "max_amount_per_payment": _money(self.limit_microusd)}

    def policy(self, version: int, requirements: list[Any]) -> list[Any]:
        """x402 payment policy: the options in a listed coin that fit the window's remainder."""
        from x402.schemas import NoMatchingRequirementsError

        left = self.remaining()
        kept = [r for r in requirements if (price := self._price(r)) is not None and price <= left]
        if not kept:
            raise NoMatchingRequirementsError(
                f"no payment option fits the passport's spend bound: {left} micro-USD left in its window"
            )
        return kept

    def before_payment_creation(self, context: PaymentCreationContext) -> AbortResult | None:
        """x402 hook: count the chosen payment against the window, or abort it."""
        from x402 import AbortResult

        price = self._price(context.selected_requirements)
        if price is None:
            return AbortResult(reason=PAYMENT_NOT_PRICED, message="the payment is not in a listed USD stablecoin")
        with self._lock:
            now = self._clock()
            left = self.limit_microusd - self._spent_now(now)
            if price > left:
                return AbortResult(
                    reason=SPEND_LIMIT_EXCEEDED,
                    message=f"{price} micro-USD exceeds the {left} left in the passport's spend window",
                )
            self._spent.append((now, price))
        return None

    def install(self, client: x402Client | x402ClientSync) -> None:
        """Set the spend controls, the policy and the hook on an x402 client."""
        client.set_spend_controls(self.spend_controls())
        client.register_policy(self.policy)
        client.on_before_payment_creation(self.before_payment_creation)

    def _price(self, requirement: Any) -> int | None:
        try:
            return self.stablecoins.price(requirement)
        except (ValueError, AttributeError):
            return None  # unlisted, or an x402 version 1 requirement

    def _spent_now(self, now: datetime) -> int:
        if self.window is None:
            # A bound for the passport's whole life: one running total.
            self._spent[:] = [(now, sum(amount for _, amount in self._spent))] if self._spent else []
        else:
            start = now - self.window
            self._spent = [(at, amount) for at, amount in self._spent if at > start]
        return sum(amount for _, amount in self._spent)

    def __repr__(self) -> str:
        return f"PassportBudget(limit_microusd={self.limit_microusd}, window={self.window!r})"


def _window(text: object, windows: Mapping[str, timedelta] | None) -> timedelta | None:
    """The passport's window as the ledger reads it; None for its whole life."""
    from quorvel_trellane.spend import parse_window

    if text is None:
        return None
    if isinstance(text, str):
        if windows and text in windows:
            return windows[text]
        try:
            return parse_window(text)
        except ValueError:
            pass
    raise ValueError(f"the passport's spend_window cannot be read: {text!r}")


def _money(amount_microusd: int) -> str:
    dollars, micros = divmod(amount_microusd, 10**_MICRO_DIGITS)
    return f"${dollars}.{micros:06d}"

