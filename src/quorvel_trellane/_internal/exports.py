"""A package's public names made its own, as help() and pickling show them."""

from __future__ import annotations

from collections.abc import Iterable, MutableMapping
from types import FunctionType
from typing import Any


def claim(package: str, namespace: MutableMapping[str, Any], names: Iterable[str]) -> None:
    """Give each class and function of ``names`` in ``namespace`` the ``__module__`` ``package``."""
    for name in names:
        value = namespace[name]
        if isinstance(value, (type, FunctionType)):
            value.__module__ = package
