"""`python -m kolta`: the command line."""

import sys

# Guarded, the import too: spawned worker processes import this module under
# another name and need none of the command line's start-up.
if __name__ == "__main__":
    from .cli import main

    sys.exit(main())
