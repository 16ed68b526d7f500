"""A progress bar on a terminal only, and only for work longer than a second."""

from __future__ import annotations

import sys
from types import TracebackType
from typing import TYPE_CHECKING, NoReturn

if TYPE_CHECKING:
    from tqdm import tqdm

SHOW_AFTER_SECONDS = 1.0


class ProgressBar:
    """Counts seconds of audio done; silent when stderr is not a terminal."""

    def __init__(self, total_seconds: float, label: str):
        self._bar: tqdm[NoReturn] | None = None  # a bar over no iterable
        if not sys.stderr.isatty():
            return  # piped: not even tqdm's import, part of every run's start-up
        from tqdm import tqdm

        self._bar = tqdm(total=round(total_seconds, 2), desc=label, unit="s audio",
                         delay=SHOW_AFTER_SECONDS, leave=False, file=sys.stderr,
                         bar_format="{desc}: {percentage:3.0f}%|{bar}| "
                                    "{n:.1f}/{total:.1f} s audio [{elapsed}<{remaining}]")

    def advance(self, seconds: float) -> None:
        if self._bar is not None:
            self._bar.update(seconds)

    def __enter__(self) -> ProgressBar:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if self._bar is not None:
            self._bar.close()
