"""The two drivers of a flow that may wait: one blocks, one waits off the event loop.

A flow (:data:`Steps`) yields each fetch it needs to wait for and returns
its result; both drivers give every wait of one call a single deadline,
counted from its first wait.
"""

from __future__ import annotations

import time
from typing import TypeVar

from quorvel_trellane.trust._warm import Steps

__all__ = ["wait_async", "wait_sync"]

_T = TypeVar("_T")


def wait_sync(steps: Steps[_T], timeout: float) -> _T:
    # One deadline for every wait of the call, from its first wait.
    until: float | None = None
    try:
        flight = next(steps)
        while True:
            if until is None:
                until = time.monotonic() + timeout
            flight.wait(max(0.0, until - time.monotonic()))
            flight = steps.send(None)
    except StopIteration as done:
        result: _T = done.value
        return result


async def wait_async(steps: Steps[_T], timeout: float) -> _T:
    import asyncio  # here, so that importing this module does not load it

    until: float | None = None
    try:
        flight = next(steps)
        while True:
            if not flight.is_set():
                if until is None:
                    until = time.monotonic() + timeout
                await asyncio.to_thread(flight.wait, max(0.0, until - time.monotonic()))
            flight = steps.send(None)
    except StopIteration as done:
        result: _T = done.value
        return result
