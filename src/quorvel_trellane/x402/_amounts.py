"""x402 amounts: exact conversion between an asset's smallest units and
micro-USD, the USD stablecoins a caller lists, a payment's idempotency key,
and the refusal codes the paywall and the budget share.

Imported through :mod:`quorvel_trellane.x402`.
"""

from __future__ import annotations

import hashlib
import json
import re
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from typing import TYPE_CHECKING, Final, Protocol

# The ledger's codes, as refusals carry them: defined there, named here too.
from quorvel_trellane.spend import SPEND_LIMIT_EXCEEDED as SPEND_LIMIT_EXCEEDED
from quorvel_trellane.spend import SPEND_TERMS_UNSUPPORTED as SPEND_TERMS_UNSUPPORTED

if TYPE_CHECKING:
    from x402 import PaymentPayload


#: A paid request this server cannot price: an asset it does not list, or a
#: payment that names no requirement (x402 version 1).
PAYMENT_NOT_PRICED: Final = "PAYMENT_NOT_PRICED"
#: A request carrying the payment header more than once, in any spelling.
PAYMENT_HEADER_REPEATED: Final = "PAYMENT_HEADER_REPEATED"
#: A signed payment already in flight on this server for other terms, or a
#: payment under a payment identifier whose first payment still counts.
PAYMENT_KEY_REUSED: Final = "PAYMENT_KEY_REUSED"
#: The key of x402's payment-identifier extension, in a route's and a payment's extensions.
PAYMENT_IDENTIFIER: Final = "payment-identifier"

#: One micro-USD is 10**-6 of a dollar.
_MICRO_DIGITS: Final = 6
# uint256, the largest amount a token contract holds, has 78 digits; a longer
# text is no amount, and int() is never asked to parse an unbounded string.
_ATOMIC: Final = re.compile(r"[0-9]{1,78}", re.ASCII)
_EVM_ADDRESS: Final = re.compile(r"0x[0-9a-fA-F]{40}", re.ASCII)
_MAX_DECIMALS: Final = 77
# What x402's payment-identifier extension accepts as an identifier.
_IDENTIFIER: Final = re.compile(r"[A-Za-z0-9_-]{16,128}", re.ASCII)


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
                raise ValueError(
                    f"{coin.asset!r} on {coin.network!r} is listed with {known.decimals} and {coin.decimals} decimals"
                )
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


def as_stablecoins(stablecoins: Stablecoins | Iterable[Stablecoin]) -> Stablecoins:
    """``stablecoins`` as a :class:`Stablecoins` table (a table is taken as it is)."""
    return stablecoins if isinstance(stablecoins, Stablecoins) else Stablecoins(stablecoins)


def payment_key(payment: PaymentPayload, route: str | None = None) -> str:
    """The idempotency key of one signed x402 payment, for what it was accepted for.

    A digest of the signed payload (which carries the signature and its
    nonce), the terms the payment accepted (scheme, network, asset, pay-to,
    amount) and ``route`` (as the paywall passes it: "GET /report"). The
    same payment sent again for the same thing gives the same key; a new
    signature, or the same signature offered for other terms or another
    route, a new one.
    """
    accepted = payment.accepted
    terms = [accepted.scheme, accepted.network, accepted.asset, accepted.pay_to, accepted.amount, route]
    return "x402:" + _digest([terms, payment.payload])


def payment_identifier(payment: PaymentPayload) -> str | None:
    """The identifier a payment carries in x402's payment-identifier
    extension (``extensions["payment-identifier"]["info"]["id"]``), or None
    when it carries none the extension accepts (16 to 128 letters, digits,
    "-" and "_")."""
    extensions = payment.extensions if isinstance(payment.extensions, dict) else {}
    entry = extensions.get(PAYMENT_IDENTIFIER)
    info = entry.get("info") if isinstance(entry, dict) else None
    identifier = info.get("id") if isinstance(info, dict) else None
    return identifier if isinstance(identifier, str) and _IDENTIFIER.fullmatch(identifier) else None


def identifier_key(identifier: str) -> str:
    """The ledger key of a payment identifier: the passport's ledger keeps
    it once, so a second payment under it is never charged again."""
    return "x402-id:" + _digest([identifier])


def signature_key(payment: PaymentPayload) -> str:
    """What identifies the signature alone, whatever terms it is offered for."""
    return _digest([payment.accepted.scheme, payment.accepted.network, payment.payload])


def _digest(document: object) -> str:
    text = json.dumps(document, sort_keys=True, separators=(",", ":"), ensure_ascii=True, default=str)
    return hashlib.sha256(text.encode("ascii")).hexdigest()


def usd_text(amount_microusd: int) -> str:
    """An amount in micro-USD as x402 writes dollars: ``"$1.250000"``."""
    dollars, micros = divmod(amount_microusd, 10**_MICRO_DIGITS)
    return f"${dollars}.{micros:06d}"
