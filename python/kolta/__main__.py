"""`python -m kolta`: the command line."""

import sys

from .cli import main

# Guarded: spawned worker processes import this module under another name.
if __name__ == "__main__":
    sys.exit(main())
