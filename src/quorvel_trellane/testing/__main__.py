"""``python -m quorvel_trellane.testing``: a test issuer's documents, as files."""

import sys

from quorvel_trellane.testing._files import main

if __name__ == "__main__":
    sys.exit(main())
