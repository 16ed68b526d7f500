"""A job's files on a Dask cluster, whatever its work (see work): every
worker signed in first (a worker that cannot sign in fails the job before
any file is written), one task per file, the results gathered as they
come, in-file progress from the workers' events. Dask runs the file of a
worker that died again; a file that fails, or keeps killing workers, is
answered as not done and the others go on."""

from __future__ import annotations

import contextlib
import os
import threading
import uuid
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Protocol

from distributed import Client, Future, as_completed, wait
from distributed.client import ClosedClientError
from distributed.scheduler import KilledWorker

from ..cli.plan import Plan, make_plan
from ..errors import BadInput, JobFailed
from ..formats import STREAM
from .plugin import SignIn
from .results import FileResult
from .tasks import PROGRESS_TOPIC, file_task, leftover_partials, named, task_key

if TYPE_CHECKING:
    from ..audiofile import RawLayout
    from ..cli.job import Task
    from .work import FileWork


class Watcher(Protocol):
    """What a job tells as it goes. `advanced` and `dropped` come from the
    Client's thread, the others from the caller's."""

    def signed_in(self, workers: int) -> None:
        """Every worker there is (`workers`) signed in; files go out next."""

    def advanced(self, index: int, seconds: float) -> None:
        """`seconds` more of file `index` done."""

    def dropped(self, index: int) -> None:
        """File `index`'s progress so far is void: it is being done again."""

    def finished(self, index: int, result: FileResult) -> None:
        """File `index` is done, or given up."""


def absolute_plan(inputs: list[str], output: str, raw: RawLayout, force: bool,
                  transcript: str | None = None) -> Plan:
    """The --jobs plan (plan.make_plan), in absolute paths: the workers have
    other working folders. stdin and stdout stay on this machine."""
    if STREAM in inputs or output == STREAM:
        raise BadInput("- (stdin or stdout) cannot go to a cluster: give files")
    folder = output.endswith(("/", os.sep))  # a name for a folder yet to be made
    return make_plan([os.path.abspath(path) for path in inputs],
                     os.path.join(os.path.abspath(output), "") if folder
                     else os.path.abspath(output), raw, force, transcript)


def run(client: Client, tasks: list[Task], work: FileWork, storage: str | None, retries: int,
        watcher: Watcher) -> list[FileResult]:
    """Every file's result, in the order of `tasks`. A stop (Ctrl-C) cancels
    the files not done; those in hand end at their next block."""
    job = uuid.uuid4().hex
    results: list[FileResult | None] = [None] * len(tasks)
    with _signed_in(client, job, storage) as workers, \
            _progress(client, job, watcher) as progress:
        watcher.signed_in(workers)
        futures: list[Future[FileResult]] = client.map(
            file_task, [job] * len(tasks), range(len(tasks)),
            [task.info for task in tasks], [task.output for task in tasks],
            [work] * len(tasks), [storage] * len(tasks),
            key=[task_key(work, job, index) for index in range(len(tasks))], retries=retries)
        index_of = {future.key: index for index, future in enumerate(futures)}
        pending = {future.key: future for future in futures}
        del futures
        try:
            for future in as_completed(pending.values()):
                index = index_of[future.key]
                progress.finished(index)
                result = results[index] = _result(future, tasks[index])
                # Let go at once: a result still held when its worker dies
                # is computed again (its file done twice).
                del pending[future.key]
                future.release()
                watcher.finished(index, result)
        finally:
            if pending:  # stopped: best told, though a Client that goes drops its files too
                with contextlib.suppress(ClosedClientError, OSError):
                    client.cancel(list(pending.values()))
    return [result for result in results if result is not None]  # all of them, by now


def remove_leftovers(tasks: list[Task]) -> None:
    """The partial files of workers that died writing (call it once the
    job's workers are done or gone)."""
    for task in tasks:
        for path in leftover_partials(task.output):
            with contextlib.suppress(OSError):
                os.remove(path)


@contextlib.contextmanager
def _signed_in(client: Client, job: str, storage: str | None) -> Iterator[int]:
    """Every worker there is (their number is given) signs in before any
    file is sent (the first refusal is raised here: BadInput naming the
    worker); workers that join later sign in as they join."""
    name = f"kolta-sign-in-{job}"
    try:
        yield len(client.register_plugin(SignIn(name, storage)))
    finally:
        with contextlib.suppress(Exception):  # the scheduler may be gone
            client.unregister_worker_plugin(name)


def _result(future: Future[FileResult], task: Task) -> FileResult:
    info = task.info
    while future.status in ("lost", "pending"):
        # Done, but its result was on a worker that died before it was read
        # (another file killed it, say): the scheduler does it again.
        wait(future)
    if future.status == "finished":
        result: FileResult = future.result()
        return result
    if future.status == "error":
        error = future.exception()
        if isinstance(error, KilledWorker):
            message = (f"its worker died {error.allowed_failures + 1} times while doing it "
                       f"(the last: {error.last_worker.address})")
        elif isinstance(error, JobFailed):
            message = str(error)
        else:
            message = repr(error)
    else:
        message = f"the cluster dropped it ({future.status})"
    return FileResult(info.path, task.output, False, named(info, message), info.seconds, 0.0)


class _ProgressEvents:
    """The workers' progress events of one job, turned into the watcher's
    calls. A file's new run (its worker died) voids its old progress;
    events that come after the file finished are old news."""

    def __init__(self, watcher: Watcher):
        self._watcher = watcher
        self._lock = threading.Lock()
        self._runs: dict[int, tuple[str, float]] = {}  # index: (run, seconds told)
        self._finished: set[int] = set()

    def take(self, message: list[Any]) -> None:
        _, index, run, seconds = message  # of this job: see _dispatch
        with self._lock:
            if index in self._finished:
                return
            last_run, told = self._runs.get(index, (run, 0.0))
            if run != last_run or seconds < told:
                self._watcher.dropped(index)
                told = 0.0
            self._runs[index] = (run, seconds)
            self._watcher.advanced(index, seconds - told)

    def finished(self, index: int) -> None:
        with self._lock:
            self._finished.add(index)


# One handler per topic and Client: it hands each event to its job.
_jobs_lock = threading.Lock()
_jobs: dict[str, tuple[Client, _ProgressEvents]] = {}


def _dispatch(event: tuple[float, list[Any]]) -> None:
    _, message = event
    with _jobs_lock:
        found = _jobs.get(message[0])
    if found is not None:
        found[1].take(message)


@contextlib.contextmanager
def _progress(client: Client, job: str, watcher: Watcher) -> Iterator[_ProgressEvents]:
    events = _ProgressEvents(watcher)
    with _jobs_lock:
        _jobs[job] = (client, events)
    client.subscribe_topic(PROGRESS_TOPIC, _dispatch)
    try:
        yield events
    finally:
        with _jobs_lock:
            del _jobs[job]
            last = not any(other is client for other, _ in _jobs.values())
        if last:
            with contextlib.suppress(Exception):
                client.unsubscribe_topic(PROGRESS_TOPIC)
