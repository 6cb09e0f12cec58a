"""``python -m quorvel_trellane``: the ``quorvel-passport`` command."""

import sys

from quorvel_trellane.cli import main

if __name__ == "__main__":
    sys.exit(main())
