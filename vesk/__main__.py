"""Entry point for ``python -m vesk``."""

import sys

from vesk.cli import main

if __name__ == "__main__":
    sys.exit(main())
