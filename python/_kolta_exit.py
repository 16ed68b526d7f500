"""Exit hooks of native extensions that must run after every other exit handler.

A ``.pth`` file imports this module when the interpreter starts, so its own
``atexit`` handler is registered before any program code runs and, exit
handlers running newest first, is called after all of them. An extension
registers its hook here when it is imported; without the ``.pth`` file
(``python -S``) the hooks run where this module was first imported.
"""

import atexit
from typing import Callable, List

_hooks: List[Callable[[], object]] = []


def register(hook: Callable[[], object]) -> None:
    """Runs `hook` at exit, after the exit handlers registered with atexit."""
    _hooks.append(hook)


def _run_hooks() -> None:
    while _hooks:
        _hooks.pop()()


atexit.register(_run_hooks)
