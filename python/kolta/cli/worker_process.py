"""A `kolta denoise --jobs` worker process: files one at a time from kolta
through its pipe, each answered there. It ends when told, when the pipe
closes, on SIGINT or SIGTERM, and when kolta is gone, however it went.

As in kolta (see job.py), a file is done in a thread while the main thread
waits and takes the signals: a stop ends the file at its next block, its
partial output removed, and is answered; between files the process just
ends (nothing to clean up, and no traceback from an import cut short)."""

from __future__ import annotations

import multiprocessing
import os
import signal
import threading
from multiprocessing.connection import Connection, wait
from typing import TYPE_CHECKING

from _kolta_module import Sdk

from ..errors import BadInput
from .reporting import WORK_ERRORS, work_failure
from .signin import signed_in_sdk

if TYPE_CHECKING:
    from ..audiofile import AudioInfo

# A task: (index, info, output, model, storage, api_key); None: end.
# Answers, tagged by their first item:
PROGRESS = "progress"  # (PROGRESS, index, seconds of audio more)
DONE = "done"  # (DONE, index, source with its length, engine rate, seconds taken)
FAILED = "failed"  # (FAILED, index, BAD_INPUT or JOB_FAILED, the one-line message)
STOPPED = "stopped"  # (STOPPED, index, signal number)
BAD_INPUT, JOB_FAILED = "bad input", "job failed"

# After kolta is gone, the file in hand gets this long to be removed.
ORPHAN_GRACE_SECONDS = 5.0


class _Stopped(Exception):
    pass


class _StopSignals:
    """SIGINT and SIGTERM: the process ends between files; in a file, the
    file is stopped (`requested`) and the main thread answers the stop."""

    def __init__(self) -> None:
        self.signum: int | None = None
        self.busy = False
        self.requested = threading.Event()
        for signum in (signal.SIGINT, signal.SIGTERM):
            signal.signal(signum, self._on_signal)
        # Started with Ctrl-C held back (see workers.WorkerPool): a pending
        # one is taken here, as a stop.
        if hasattr(signal, "pthread_sigmask"):
            signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGINT})

    def _on_signal(self, signum: int, _frame: object) -> None:
        if self.signum is None:
            self.signum = signum
        if not self.busy:
            os._exit(0)
        self.requested.set()


def worker_main(pipe: Connection) -> None:
    """The process's target: quiet when stopped or orphaned (kolta tells the user)."""
    stop = _StopSignals()
    try:
        _end_with_parent(stop)
        from .. import pipeline  # noqa: F401 (the imports, while kolta checks the files)

        _serve(pipe, stop)
    except (EOFError, OSError):
        pass  # kolta is gone


def _end_with_parent(stop: _StopSignals) -> None:
    """kolta gone (killed even), this process follows: the file in hand
    stopped and removed, at the latest after a grace period."""
    parent = multiprocessing.parent_process()
    if parent is None:
        return

    def watch() -> None:
        wait([parent.sentinel])
        stop.requested.set()
        threading.Event().wait(ORPHAN_GRACE_SECONDS)
        os._exit(1)

    threading.Thread(target=watch, name="kolta-parent-watch", daemon=True).start()


def _serve(pipe: Connection, stop: _StopSignals) -> None:
    sdk: list[Sdk] = []  # signed in for the first file, kept for the others
    while (task := pipe.recv()) is not None:
        stop.busy = True
        answer: list[tuple[object, ...]] = []
        work = threading.Thread(target=lambda: answer.append(_denoise(task, sdk, pipe, stop)),
                                name="kolta-worker-file", daemon=True)
        work.start()
        while work.is_alive():
            work.join(0.25)  # signals are taken here
        index = task[0]
        pipe.send(answer[0] if answer else (FAILED, index, JOB_FAILED, "worker thread lost"))
        if stop.requested.is_set():
            return
        stop.busy = False


def _denoise(task: tuple[int, AudioInfo, str, str, str | None, str | None], sdk: list[Sdk],
             pipe: Connection, stop: _StopSignals) -> tuple[object, ...]:
    """The file's answer (in the file's thread)."""
    from ..pipeline import denoise_file

    index, info, output, model, storage, api_key = task

    def progress(seconds: float) -> None:
        pipe.send((PROGRESS, index, seconds))
        if stop.requested.is_set():
            raise _Stopped

    try:
        if not sdk:
            sdk.append(signed_in_sdk(storage, api_key))
        result = denoise_file(sdk[0], info, output, model, progress)
        return (DONE, index, result.source, result.engine_rate, result.seconds)
    except _Stopped:
        return (STOPPED, index, stop.signum or signal.SIGTERM)
    except BadInput as error:
        return (FAILED, index, BAD_INPUT, str(error))
    except WORK_ERRORS as error:
        failure = work_failure(error, model)
        return (FAILED, index, BAD_INPUT if isinstance(failure, BadInput) else JOB_FAILED,
                str(failure))
    except Exception as error:  # anything else: still one line from kolta
        return (FAILED, index, JOB_FAILED, f"{info.name}: {error!r}")
