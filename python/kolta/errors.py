"""The command line's one error type (no heavy imports: see `cli`)."""


class BadInput(Exception):
    """A problem with what the user gave; its message is one line."""
