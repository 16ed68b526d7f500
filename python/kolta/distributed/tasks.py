"""What a worker does with one file: the job's work (see work) into place
(under a temporary name, renamed when complete, so that a file done twice
is harmless), telling the client how far it got; a FileResult back."""

from __future__ import annotations

import glob
import os
import socket
import time
from typing import TYPE_CHECKING

from distributed import Worker, get_worker

from ..cli.reporting import WORK_ERRORS, work_failure
from ..errors import BadInput, JobFailed
from ..writers import partial_path
from .results import FileResult
from .sessions import NotSignedIn, session

if TYPE_CHECKING:
    from ..audiofile import AudioInfo
    from .work import FileWork

PROGRESS_TOPIC = "kolta-progress"  # events: [job, index, run, seconds of audio done]
PROGRESS_EVERY_SECONDS = 0.5


def task_key(work: FileWork, job: str, index: int) -> str:
    return f"kolta-{work.name}-{job}-{index}"


def partial_tag() -> str:
    """This worker process's temporary names: process ids alone repeat
    across hosts (and containers)."""
    return f"{os.getpid()}-{socket.gethostname()}"


def leftover_partials(output: str) -> list[str]:
    """Temporary files workers left beside `output`: those of a worker that
    died while writing it."""
    return glob.glob(glob.escape(partial_path(output, "")) + "*-*")


def named(info: AudioInfo, message: str) -> str:
    """`message` as one line that names the input."""
    return message if message.startswith(info.path) else f"{info.path}: {message}"


class _Cancelled(Exception):
    """The client cancelled the job (Ctrl-C, say): the file stops at its next block."""


class _Progress:
    def __init__(self, worker: Worker, key: str, job: str, index: int, run: str):
        self._worker, self._job, self._index, self._run = worker, job, index, run
        self._key = key
        self._done = 0.0
        self._told_at = float("-inf")

    def __call__(self, seconds: float) -> None:
        self._done += seconds
        task = self._worker.state.tasks.get(self._key)
        if task is None or task.state == "cancelled":
            raise _Cancelled
        now = time.monotonic()
        if now - self._told_at >= PROGRESS_EVERY_SECONDS:
            self._told_at = now
            self._worker.log_event(PROGRESS_TOPIC, [self._job, self._index, self._run,
                                                    self._done])


def file_task(job: str, index: int, info: AudioInfo, output: str, work: FileWork,
              storage: str | None) -> FileResult:
    """Failures that may pass (an output that could not be written, a worker
    not signed in) are raised, for Dask to try the file again; the others
    are answered."""
    worker = get_worker()
    run = partial_tag()

    def failed(message: str) -> FileResult:
        return FileResult(info.path, output, False, named(info, message), info.seconds, 0.0,
                          worker.address)

    try:
        sdk = session(storage)
    except NotSignedIn as error:
        raise JobFailed(named(info, str(error))) from None
    progress = _Progress(worker, task_key(work, job, index), job, index, run)
    try:
        processing_seconds = work(sdk, info, output, progress, run)
    except _Cancelled:
        return failed("cancelled")
    except BadInput as error:
        return failed(str(error))
    except WORK_ERRORS as error:
        failure = work_failure(error, work.model)
        if isinstance(failure, JobFailed):  # for Dask to try the file again
            raise JobFailed(named(info, str(failure))) from None
        return failed(str(failure))
    return FileResult(info.path, output, True, None, info.seconds, processing_seconds,
                      worker.address)
