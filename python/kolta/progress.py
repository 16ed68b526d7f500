"""A progress bar on a terminal only, and only for work longer than a second."""

from __future__ import annotations

import sys
from types import TracebackType

from tqdm import tqdm

SHOW_AFTER_SECONDS = 1.0


class ProgressBar:
    """Counts seconds of audio done; silent when stderr is not a terminal."""

    def __init__(self, total_seconds: float, label: str):
        self._bar = tqdm(total=round(total_seconds, 2), desc=label, unit="s audio",
                         delay=SHOW_AFTER_SECONDS, leave=False,
                         disable=not sys.stderr.isatty(), file=sys.stderr,
                         bar_format="{desc}: {percentage:3.0f}%|{bar}| "
                                    "{n:.1f}/{total:.1f} s audio [{elapsed}<{remaining}]")

    def advance(self, seconds: float) -> None:
        self._bar.update(seconds)

    def __enter__(self) -> ProgressBar:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self._bar.close()
