"""The command line's error types (no heavy imports: see `cli.workers`)."""


class BadInput(Exception):
    """A problem with what the user gave; its message is one line (exit status 2)."""


class JobFailed(Exception):
    """Work that failed part way: an output that could not be written, a file
    whose worker died; its message is one line (exit status 1)."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, taken like Ctrl-C: the same clean-up, exit status 143."""
