"""`kolta denoise --jobs N`: N-1 worker processes beside kolta, each fed one
file at a time by kolta's main thread while a thread of kolta's does its own
share; a worker that dies is replaced and its file tried once more; on a
stop none is given a new file, and none outlives kolta.

The workers start before kolta loads NumPy and libsndfile (see
start_workers), so nothing audio is imported here at module level."""

from __future__ import annotations

import argparse
import contextlib
import multiprocessing
import os
import signal
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field
from multiprocessing import resource_tracker
from multiprocessing.connection import Connection, wait
from multiprocessing.process import BaseProcess

from ..errors import BadInput, JobFailed, Terminated
from ..formats import STREAM
from .job import STOP_SECONDS, Job, OwnShare
from .signals import uninterrupted
from .worker_process import BAD_INPUT, DONE, FAILED, PROGRESS, STOPPED, worker_main

Settings = tuple[str, "str | None", "str | None"]  # model, storage folder, API key


@dataclass
class _Worker:
    process: BaseProcess
    pipe: Connection
    task: int | None = None  # the file in hand
    given: list[int] = field(default_factory=list)  # every file it was handed


def start_workers(args: argparse.Namespace) -> WorkerPool | None:
    """With --jobs N and several files, N-1 workers (at most one fewer than
    the files), started before this process loads NumPy and libsndfile and
    checks the files, so that each worker's start-up (a fresh interpreter
    and the same imports) runs beside ours, not beside our work. They only
    import: nothing signs in before the inputs are checked."""
    if args.jobs < 2:
        return None
    workers = min(args.jobs, _count_files(args.inputs, args.jobs)) - 1
    return WorkerPool(workers) if workers > 0 else None


def _count_files(inputs: list[str], enough: int) -> int:
    """Files among the inputs (folders walked), counted up to `enough`."""
    if STREAM in inputs:
        return 1
    count = 0
    for path in inputs:
        if not os.path.isdir(path):
            count += 1
        for _, _, files in os.walk(path):
            count += len(files)
            if count >= enough:
                break
    return count


@contextlib.contextmanager
def _new_processes_hold_ctrl_c() -> Iterator[None]:
    """Ctrl-C reaches the workers too. They start with it held back by the
    signal mask (a process inherits it), so that it cannot end them with a
    traceback of their own while they start; a worker lets it through once
    its handlers are in place (see worker_process). Held, not ignored: a
    Ctrl-C that comes meanwhile stays pending in kolta and is raised as the
    mask is restored, never lost. The mask is the main thread's: workers are
    started there."""
    if (threading.current_thread() is not threading.main_thread()
            or not hasattr(signal, "pthread_sigmask")):  # Windows: nothing inherited
        yield
        return
    # The resource tracker unblocks SIGINT as its own start ends: started
    # first, it cannot do that while the mask is held.
    resource_tracker.ensure_running()
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


class WorkerPool:
    def __init__(self, count: int):
        self._context = multiprocessing.get_context("spawn")
        self._workers = [self._start() for _ in range(count)]
        self._retried: set[int] = set()
        self._job: Job | None = None  # the job run, for what its workers leave behind

    def _start(self) -> _Worker:
        ours, theirs = self._context.Pipe()
        process = self._context.Process(target=worker_main, args=(theirs,),
                                        name="kolta-worker", daemon=True)
        with _new_processes_hold_ctrl_c():
            process.start()
        theirs.close()
        return _Worker(process, ours)

    def run(self, job: Job, settings: Settings, own_share: Callable[[], None]) -> None:
        """Feeds the workers (in the main thread, where signals arrive, so
        that none is given a file after one) while `own_share` runs in a
        thread, until every file is done or the job stops."""
        self._job = job
        wake_up, waker = self._context.Pipe(duplex=False)
        job.on_stop = lambda: _wake(waker)
        own = OwnShare(job, own_share, on_end=lambda: _wake(waker))
        try:
            own.run(lambda: self._feed(job, settings, own, wake_up))
        finally:
            wake_up.close()
            waker.close()

    def _feed(self, job: Job, settings: Settings, own: OwnShare, wake_up: Connection) -> None:
        for worker in list(self._workers):
            self._hand_next(worker, job, settings)
        while not job.stopped:
            busy = [worker for worker in self._workers if worker.task is not None]
            if not busy and own.done.is_set():
                return
            ready = wait([wake_up, *(worker.pipe for worker in busy),
                          *(worker.process.sentinel for worker in busy)])
            while wake_up.poll():
                wake_up.recv_bytes()
            for worker in busy:
                if worker.pipe in ready or worker.process.sentinel in ready:
                    self._read(worker, job, settings)

    def _hand_next(self, worker: _Worker, job: Job, settings: Settings) -> None:
        index = job.take(front=True)
        if index is None:
            _send(worker.pipe, None)  # nothing left: it ends
        else:
            self._give(worker, index, job, settings)

    def _give(self, worker: _Worker, index: int, job: Job, settings: Settings) -> None:
        worker.task = index
        worker.given.append(index)
        task = job.tasks[index]
        _send(worker.pipe, (index, task.info, task.output, *settings))  # dead: see _read

    def _read(self, worker: _Worker, job: Job, settings: Settings) -> None:
        try:
            while worker.pipe.poll():
                self._answer(worker, worker.pipe.recv(), job, settings)
        except EOFError:
            worker.process.join(STOP_SECONDS)  # its pipe closes as it ends
        except Exception:  # noqa: S110 (half a message: it died writing; see below)
            pass
        if worker.task is not None and not worker.process.is_alive():
            self._died(worker, job, settings)

    def _answer(self, worker: _Worker, answer: tuple[object, ...], job: Job,
                settings: Settings) -> None:
        kind, index, *rest = answer
        assert isinstance(index, int)
        if kind == PROGRESS:
            job.progress(index, *rest)  # type: ignore[arg-type]
            return
        worker.task = None
        if kind == DONE:
            job.done(index, *rest)  # type: ignore[arg-type]
            self._hand_next(worker, job, settings)
        elif kind == FAILED:
            failure, message = rest
            job.fail(BadInput(message) if failure == BAD_INPUT else JobFailed(message))
        elif kind == STOPPED:  # SIGINT or SIGTERM, to the worker alone or to all
            job.fail(KeyboardInterrupt() if rest == [signal.SIGINT] else Terminated())

    def _died(self, worker: _Worker, job: Job, settings: Settings) -> None:
        index = worker.task
        assert index is not None
        worker.task = None
        self._remove_partial_files(worker, job)
        self._workers.remove(worker)
        worker.pipe.close()
        if job.stopped:
            return
        why = _death(worker.process.exitcode)
        if index in self._retried:
            job.give_up(index, f"{why} again")
            return
        self._retried.add(index)
        job.retrying(index, why)
        replacement = self._start()
        self._workers.append(replacement)
        self._give(replacement, index, job, settings)

    def close(self, finished: bool) -> None:
        """Ends every worker: idle ones told to when the job `finished`,
        the others by SIGTERM (they remove their file), SIGKILL when still
        there after STOP_SECONDS; then removes what they left behind."""
        with uninterrupted():
            for worker in self._workers:
                if finished and worker.task is None:
                    _send(worker.pipe, None)
                else:
                    worker.process.terminate()
            deadline = time.monotonic() + STOP_SECONDS
            for worker in self._workers:
                worker.process.join(max(0.0, deadline - time.monotonic()))
                if worker.process.is_alive():
                    worker.process.kill()
                    worker.process.join(STOP_SECONDS)
                if self._job is not None:
                    self._remove_partial_files(worker, self._job)
                worker.pipe.close()

    @staticmethod
    def _remove_partial_files(worker: _Worker, job: Job) -> None:
        from ..writers import partial_path

        for index in worker.given:
            with contextlib.suppress(OSError):
                os.remove(partial_path(job.tasks[index].output, worker.process.pid or 0))


def _send(pipe: Connection, message: object) -> None:
    with contextlib.suppress(OSError):  # a worker gone: its sentinel tells
        pipe.send(message)


def _wake(waker: Connection) -> None:
    with contextlib.suppress(OSError):
        waker.send_bytes(b"")


def _death(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        with contextlib.suppress(ValueError):
            return f"its worker process was killed ({signal.Signals(-exitcode).name})"
    return f"its worker process ended abruptly (exit status {exitcode})"
