"""The files of one `kolta denoise` and what became of each, shared by
whoever does them: kolta itself and its worker processes' feeder.

kolta's own files are done in a thread while the main thread waits: Python
runs signal handlers in the main thread only, so Ctrl-C and SIGTERM never
interrupt libsndfile's calls back into Python (an exception raised there
would be printed and dropped); they stop the job, and the file in hand
ends at its next block, its partial output removed."""

from __future__ import annotations

import threading
from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING

from ..progress import ProgressBar
from .reporting import Reporter
from .signals import uninterrupted

if TYPE_CHECKING:  # the audio modules load NumPy and libsndfile: see workers.start_workers
    from ..audiofile import AudioInfo


@dataclass(frozen=True)
class Task:
    info: AudioInfo
    output: str


# How long the file in hand gets to end after a stop.
STOP_SECONDS = 5.0


class Stopped(Exception):
    """Raised in kolta's own file when the job stops (its partial output is removed)."""


class Job:
    """Files 0..n-1, taken from the front (workers) and from the back
    (kolta), none after the job stopped; the first failure stops it."""

    def __init__(self, tasks: list[Task], report: Reporter, bar: ProgressBar):
        self.tasks = tasks
        self._report, self._bar = report, bar
        self._lock = threading.Lock()
        self._front, self._back = 0, len(tasks) - 1
        self._stopped = threading.Event()
        self.failure: BaseException | None = None
        self.not_done: list[str] = []  # files given up, the others went on
        self.files_done = 0
        self.audio_done = 0.0
        self.work_seconds = 0.0  # the files' own times, added up
        self.on_stop: Callable[[], None] = lambda: None

    @property
    def stopped(self) -> bool:
        return self._stopped.is_set()

    def take(self, front: bool) -> int | None:
        with self._lock:
            if self._front > self._back or self._stopped.is_set():
                return None
            if front:
                self._front += 1
                return self._front - 1
            self._back -= 1
            return self._back + 1

    def progress(self, index: int, seconds: float) -> None:
        self._bar.advance(seconds, index)

    def check(self) -> None:
        if self._stopped.is_set():
            raise Stopped

    def done(self, index: int, source: AudioInfo, engine_rate: int, seconds: float) -> None:
        with self._lock:
            self.files_done += 1
            self.audio_done += source.seconds
            self.work_seconds += seconds
        self._bar.file_done(source.seconds, index)
        self._report.file_done(source, self.tasks[index].output, engine_rate, seconds)

    def fail(self, error: BaseException) -> None:
        """Stops the job; the first failure is the one reported."""
        with self._lock:
            if self.failure is None:
                self.failure = error
        self.stop()

    def raise_failure(self) -> None:
        """Raises the failure that stopped the job, if one did. Without the
        traceback of the thread it came from, and not kept here: either
        would hold the frames (and their SDK) in a cycle past exit."""
        failure, self.failure = self.failure, None
        if failure is not None:
            try:
                raise failure.with_traceback(None)
            finally:
                del failure

    def stop(self) -> None:
        self._stopped.set()
        self.on_stop()

    def retrying(self, index: int, why: str) -> None:
        self._bar.file_dropped(index)
        self._report.warn(f"{self.tasks[index].info.name}: {why}; trying it again")

    def give_up(self, index: int, why: str) -> None:
        name = self.tasks[index].info.name
        with self._lock:
            self.not_done.append(name)
        self._bar.file_dropped(index)
        self._report.warn(f"{name}: {why}; not done")


class OwnShare:
    """`work` (kolta's own files) in a thread; `on_end` is called as it ends."""

    def __init__(self, job: Job, work: Callable[[], None],
                 on_end: Callable[[], None] = lambda: None):
        self._job, self._work, self._on_end = job, work, on_end
        self.done = threading.Event()
        self._thread = threading.Thread(target=self._run, name="kolta-own-share", daemon=True)
        self._started = False

    def _run(self) -> None:
        try:
            self._work()
        except Stopped:
            pass
        except BaseException as error:  # noqa: B036 (raised by the main thread)
            self._job.fail(error)
        finally:
            self.done.set()
            self._on_end()

    def run(self, meanwhile: Callable[[], None]) -> None:
        """Starts the work and calls `meanwhile` (where signals arrive); the
        work is stopped and waited for however that ends."""
        try:
            # Started or not at all: a Ctrl-C within start() waits for it to
            # return, so a thread that runs (holding the SDK) is always waited
            # for, and one that never ran is not.
            with uninterrupted():
                self._thread.start()
                self._started = True
            meanwhile()
        finally:
            with uninterrupted():
                self._job.stop()  # the file in hand, if any, ends at its next block
                if self._started and self.done.wait(STOP_SECONDS):
                    self._thread.join(STOP_SECONDS)  # past its last line: nothing held at exit

    def until_done(self) -> None:
        while not self.done.wait(0.25):  # a signal ends the wait
            pass
