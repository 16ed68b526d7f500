"""SIGTERM taken like Ctrl-C, and clean-up that a second signal cannot cut short."""

from __future__ import annotations

import contextlib
import signal
import sys
import threading
from collections.abc import Callable, Iterator
from types import FrameType
from typing import Any, Union

from ..errors import Terminated

# What signal.signal takes and gives back.
_Handler = Union[Callable[[int, Union[FrameType, None]], Any], int, None]

STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM)


def _raise_terminated(_signum: int, _frame: object) -> None:
    raise Terminated


def _in_main_thread() -> bool:
    return threading.current_thread() is threading.main_thread()


@contextlib.contextmanager
def sigterm_as_interrupt() -> Iterator[None]:
    """Within the block SIGTERM raises Terminated (a KeyboardInterrupt)."""
    if not _in_main_thread():
        yield
        return
    previous = signal.signal(signal.SIGTERM, _raise_terminated)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


@contextlib.contextmanager
def uninterrupted() -> Iterator[None]:
    """SIGINT and SIGTERM wait for the end of the block. After an interrupt
    the clean-up runs to its end; a signal that came meanwhile is then
    raised, unless an exception is on its way out already (the first
    interrupt's, say)."""
    if not _in_main_thread():
        yield
        return
    leaving = sys.exc_info()[1] is not None  # a clean-up in a finally clause
    arrived: list[int] = []
    previous = {signum: signal.signal(signum, lambda signum, _: arrived.append(signum))
                for signum in STOP_SIGNALS}
    try:
        yield
    except BaseException:
        _restore(previous)
        raise
    _restore(previous)
    if arrived and not leaving:
        signal.raise_signal(arrived[0])


def _restore(previous: dict[signal.Signals, _Handler]) -> None:
    for signum, handler in previous.items():
        signal.signal(signum, handler)
