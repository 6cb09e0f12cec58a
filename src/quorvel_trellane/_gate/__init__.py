"""The gate: the one admission every server-side door calls, and what it answers.

A door (the ASGI and WSGI middleware, the Starlette, FastAPI, Flask and
Django adapters, A2A's executor and request handler, MCP's access, the x402
paywall, a gateway's check) reads the credential its own way, asks the
gate once, and sends the answer its own way::

    gate = Gate(trust=trust, required_scope="payments:x402")      # once, at start-up
    admission = gate.admit(value, context)                        # blocking door
    admission = await gate.admit_async(value, context)            # event-loop door
    admission = await admit_scope(gate, scope)                    # an ASGI request: its header scanned once

``value`` is the credential as sent (the header's text, None without
one); ``repeated=True`` when the door found it more than once (a comma in
a header's value counts as copies folded together; ``folded=False`` for a
value that is no header's). ``context`` is what a callable
``required_scope`` is given (the ASGI scope, the WSGI environ, the
framework's request). The :class:`Admission` holds:

- ``verdict``: the trust's ``PassportVerdict``, None when no credential came;
- ``credential``: the credential judged, handed on with its verdict (None
  without one, or for one sent twice);
- ``answer``: None to admit, else the :class:`Answer` to send instead of
  calling the application: status code (401 with ``WWW-Authenticate:
  AgentPassport``, 403 for a genuine passport refused by the relying
  party's checks, 503 with ``Retry-After`` while the issuer's documents
  cannot be obtained), headers, the JSON body ``{"status", "error_code",
  "error_message"}``; ``admission.admitted`` is ``answer is None``.

The header is scanned once and the trust's verdict memo asked once: with
the library's own trusts, :meth:`Gate.begin` asks the memo and, on a miss,
:meth:`Gate.finish` (``finish_async``) has the trust judge that same
request. ``send_answer`` (ASGI), ``refuse_handshake`` (an ASGI websocket)
and ``start_answer`` (WSGI) send an answer; MCP and A2A write theirs in
their own protocol.

Modules:

- ``_answers``: Answer, the refusal's status, headers and JSON body (a leaf)
- ``_paths``: the public paths, matched so that no router reads another (a leaf)
- ``_admission``: Gate and Admission, the one admission in two drivers
- ``_doors``: the ASGI header scan and senders, the WSGI sender, the middleware's options

Neither this package nor the middleware imports a web framework.
"""

from __future__ import annotations

from quorvel_trellane._gate._admission import (
    Admission,
    Ask,
    AsyncTrust,
    Gate,
    RequiredScope,
    SyncTrust,
    verify_in_loop,
)
from quorvel_trellane._gate._answers import CHALLENGE, CLOSE_POLICY_VIOLATION, Answer, compact_json
from quorvel_trellane._gate._doors import (
    STATE_KEY,
    Middleware,
    Reply,
    admit_scope,
    refuse_handshake,
    scan_headers,
    send_answer,
    start_answer,
    with_verdict,
)
from quorvel_trellane._gate._paths import public_path_test, raw_target

__all__ = [
    "CHALLENGE",
    "CLOSE_POLICY_VIOLATION",
    "STATE_KEY",
    "Reply",
    "Admission",
    "Answer",
    "Ask",
    "AsyncTrust",
    "Gate",
    "Middleware",
    "RequiredScope",
    "SyncTrust",
    "admit_scope",
    "compact_json",
    "public_path_test",
    "raw_target",
    "refuse_handshake",
    "scan_headers",
    "send_answer",
    "start_answer",
    "verify_in_loop",
    "with_verdict",
]
