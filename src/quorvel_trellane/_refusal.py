"""The gate's former home: its names now live in :mod:`quorvel_trellane._gate`.

Kept so that code written against it still imports; new code imports the gate.
"""

from __future__ import annotations

from quorvel_trellane._gate import (
    CHALLENGE,
    CLOSE_POLICY_VIOLATION,
    Answer,
    Ask,
    AsyncTrust,
    Gate,
    Middleware,
    RequiredScope,
    SyncTrust,
    compact_json,
    public_path_test,
    raw_target,
    send_answer,
    verify_in_loop,
)

__all__ = [
    "CHALLENGE",
    "CLOSE_POLICY_VIOLATION",
    "Answer",
    "Ask",
    "AsyncTrust",
    "Gate",
    "Middleware",
    "RequiredScope",
    "SyncTrust",
    "compact_json",
    "public_path_test",
    "raw_target",
    "send_answer",
    "verify_in_loop",
]
