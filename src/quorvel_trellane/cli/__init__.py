"""``quorvel-passport``: inspect, verify and present Agent Passports.

Exit status: 0 when the command did its job (for ``verify``: the passport
is verified), 1 when ``verify`` reaches any other verdict, 2 for usage
errors, malformed input, missing components and any unexpected error, 3
when fetching a document from the network fails, 130 when interrupted.
No input makes the command print a traceback.

Modules:

- ``_commands``: the parser, one function a subcommand, and ``main``
- ``_input``: credentials, keys and revocation lists read from arguments, files and standard input
- ``_fetch``: documents fetched from an issuer for the command
- ``_output``: verdicts, tables and JSON as the command prints them
- ``_operations``: the alert rules and the dashboard, printed as shipped
- ``_errors``: the command's own errors
"""

from __future__ import annotations

import sys

from quorvel_trellane.cli._commands import (
    EXIT_INTERRUPTED as EXIT_INTERRUPTED,
)
from quorvel_trellane.cli._commands import (
    EXIT_NETWORK as EXIT_NETWORK,
)
from quorvel_trellane.cli._commands import (
    EXIT_NOT_VERIFIED as EXIT_NOT_VERIFIED,
)
from quorvel_trellane.cli._commands import (
    EXIT_OK as EXIT_OK,
)
from quorvel_trellane.cli._commands import (
    EXIT_USAGE as EXIT_USAGE,
)
from quorvel_trellane.cli._commands import (
    NetworkError as NetworkError,
)
from quorvel_trellane.cli._commands import (
    UsageError as UsageError,
)
from quorvel_trellane.cli._commands import (
    build_parser as build_parser,
)
from quorvel_trellane.cli._commands import (
    main as main,
)

__all__ = [
    "EXIT_OK",
    "EXIT_NOT_VERIFIED",
    "EXIT_USAGE",
    "EXIT_NETWORK",
    "EXIT_INTERRUPTED",
    "NetworkError",
    "UsageError",
    "build_parser",
    "main",
]

# The errors belong to this module, as help() and pickling show them.
UsageError.__module__ = NetworkError.__module__ = __name__

if __name__ == "__main__":
    sys.exit(main())
