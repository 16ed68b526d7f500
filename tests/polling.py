"""Waiting in tests for something that happens in another thread or process:
polled, with a deadline."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import TypeVar

T = TypeVar("T")


def wait_for(condition: Callable[[], T], timeout: float, what: str | None = None,
             step: float = 0.005) -> T:
    """The first true value of condition(), called every `step` seconds; an
    AssertionError naming `what` (else the condition's docstring) once
    `timeout` seconds have passed without one."""
    deadline = time.monotonic() + timeout
    while True:
        if (value := condition()):
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"not {what or condition.__doc__ or condition} "
                                 f"within {timeout} s")
        time.sleep(step)
