"""A progress bar on a terminal only, and only for work longer than a second.

One bar for a whole job: seconds of audio done of the total, and files done
of how many. Lines written through the bar appear above it, never glued to
it. The bar may be moved from several threads."""

from __future__ import annotations

import sys
import threading
from collections.abc import Hashable
from types import TracebackType
from typing import TYPE_CHECKING, NoReturn, TextIO

if TYPE_CHECKING:
    from tqdm import tqdm

SHOW_AFTER_SECONDS = 1.0


class ProgressBar:
    """Counts seconds of audio done; silent when stderr is not a terminal,
    when `shown` is false, or when the total is not known."""

    def __init__(self, total_seconds: float | None, label: str, files: int = 1,
                 shown: bool = True, leave: bool = False):
        self._lock = threading.Lock()
        self._files, self._files_done = files, 0
        self._done_seconds = 0.0
        self._partial: dict[Hashable, float] = {}  # seconds into each file in flight
        self._bar: tqdm[NoReturn] | None = None  # a bar over no iterable
        if not shown or total_seconds is None or not sys.stderr.isatty():
            return  # piped: not even tqdm's import, part of every run's start-up
        from tqdm import tqdm

        self._bar = tqdm(total=round(total_seconds, 2), desc=label, delay=SHOW_AFTER_SECONDS,
                         leave=leave, file=sys.stderr,
                         bar_format="{desc}: {percentage:3.0f}%|{bar}| "
                                    "{n:.1f}/{total:.1f} s audio{postfix} "
                                    "[{elapsed}<{remaining}]")
        self._show_files()

    def advance(self, seconds: float, file: Hashable = None) -> None:
        """`seconds` more of `file` done (one file jobs need not say which)."""
        with self._lock:
            self._partial[file] = self._partial.get(file, 0.0) + seconds
            self._refresh()

    def file_done(self, seconds: float, file: Hashable = None) -> None:
        """`file` is complete: it counts as exactly its length."""
        with self._lock:
            self._partial.pop(file, None)
            self._done_seconds += seconds
            self._files_done += 1
            self._show_files()
            self._refresh()

    def file_dropped(self, file: Hashable = None) -> None:
        """`file`'s progress so far is void (it will be done again, or not)."""
        with self._lock:
            self._partial.pop(file, None)
            self._refresh()

    def write(self, line: str, stream: TextIO | None = None) -> None:
        """Prints `line` above the bar (on stdout unless told otherwise)."""
        stream = stream or sys.stdout
        with self._lock:
            if self._bar is None:
                print(line, file=stream, flush=True)
                return
            self._bar.write(line, file=stream)
            stream.flush()

    def _show_files(self) -> None:
        if self._bar is not None and self._files > 1:
            self._bar.set_postfix_str(f"{self._files_done}/{self._files} files", refresh=False)

    def _refresh(self) -> None:
        if self._bar is None:
            return
        total = float(self._bar.total or 0)
        done = self._done_seconds + sum(self._partial.values())
        if self._files_done == self._files:
            done = total  # exactly 100%, whatever the rounding of the parts
        self._bar.update(min(done, total) - self._bar.n)

    def __enter__(self) -> ProgressBar:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if self._bar is not None:
            with self._lock:
                if exc_type is not None:
                    self._bar.leave = False  # an unfinished bar is no record
                self._bar.close()
