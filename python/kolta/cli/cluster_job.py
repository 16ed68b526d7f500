"""`kolta denoise|transcribe|translate IN... --cluster ADDRESS|local`: the
files planned and checked here exactly as for --jobs, then done on a Dask
cluster, each worker signed in with the key it finds (see
kolta.distributed)."""

from __future__ import annotations

import argparse
import contextlib
import dataclasses
import json
import os
import time
from collections.abc import Iterator
from typing import TYPE_CHECKING, TextIO

from ..errors import BadInput, JobFailed
from ..progress import ProgressBar
from .denoise import report_skipped, verbosity
from .plan import prepare_outputs, raw_layout, remove_created_folders
from .reporting import QUIET, Reporter, not_done, output_error
from .signals import uninterrupted
from .signin import KEY_FILE_VARIABLE, KEY_VARIABLE

if TYPE_CHECKING:
    from ..audiofile import RawLayout
    from ..distributed.results import FileResult
    from ..distributed.work import FileWork
    from .job import Task

# How many more times a file is tried after its worker died, on a local cluster.
RETRIES = 2


def run_cluster_denoise(args: argparse.Namespace) -> int:
    try:
        from ..distributed.work import Denoise
    except ImportError as error:
        raise BadInput(str(error)) from None
    return _run(args, Denoise(args.model), args.output, raw_layout(args))


def run_cluster_transcripts(args: argparse.Namespace, language_in: str,
                            language_out: str | None) -> int:
    """A transcript file per input, in --out; translated to `language_out`
    unless it is None."""
    from ..audiofile import RawLayout

    try:
        from ..distributed.work import Transcript
    except ImportError as error:
        raise BadInput(str(error)) from None
    if args.out is None:
        raise BadInput("--cluster writes a transcript file per IN: give the folder, --out DIR")
    if args.partials:
        raise BadInput("--partials goes with one IN's transcript on stdout, not --cluster")
    return _run(args, Transcript(language_in, language_out, args.format),
                os.path.join(args.out, ""), RawLayout())


def _run(args: argparse.Namespace, work: FileWork, output: str, raw: RawLayout) -> int:
    from ..distributed.batch import absolute_plan, remove_leftovers, run
    from ..distributed.cluster import LOCAL, connected

    if args.api_key is not None:
        raise BadInput(f"--api-key is not sent to a cluster: set {KEY_VARIABLE} or "
                       f"{KEY_FILE_VARIABLE} where the workers run")
    if args.jobs is not None and args.cluster != LOCAL:
        raise BadInput("--jobs goes with --cluster local (a scheduler of your own has "
                       "its own workers)")
    report = Reporter(verbosity(args))
    plan = absolute_plan(args.inputs, output, raw, args.force, work.transcript_format)
    report_skipped(plan, report)
    prepare_outputs(plan)
    storage = None if args.storage is None else os.path.abspath(args.storage)
    cluster = contextlib.ExitStack()
    finished = False
    try:
        lines = cluster.enter_context(_report_file(args.report))
        client = cluster.enter_context(connected(args.cluster, args.jobs or 2, RETRIES))
        tasks = plan.tasks
        with ProgressBar(sum(task.info.seconds for task in tasks), f"{work.name} on the cluster",
                         files=len(tasks), shown=report.verbosity > QUIET, leave=True) as bar:
            report.use_bar(bar)
            shown = _Shown(tasks, args.cluster, bar, report, lines)
            results = run(client, tasks, work, storage, RETRIES, shown)
            elapsed = time.perf_counter() - shown.started
        report.use_bar(None)
        finished = True
    finally:
        with uninterrupted():
            cluster.close()  # a local cluster's workers end here
            remove_leftovers(plan.tasks)
            if not finished:
                remove_created_folders(plan)  # those still empty: nothing was written
    if shown.files_done:
        report.totals(shown.files_done, shown.audio_done, elapsed)
    failed = [result.input for result in results if not result.ok]
    if failed:
        raise JobFailed(not_done(failed, len(results)))
    return 0


@contextlib.contextmanager
def _report_file(path: str | None) -> Iterator[TextIO | None]:
    """Opened before anything is sent: a report that cannot be written is
    told before any work is done."""
    if path is None:
        yield None
        return
    try:
        file = open(path, "w", encoding="utf-8", buffering=1)  # noqa: SIM115
    except OSError as error:
        raise BadInput(output_error(OSError(error.errno, error.strerror, path))) from None
    with file:
        yield file


class _Shown:
    """The job on screen (lines and the bar) and in the report."""

    def __init__(self, tasks: list[Task], cluster: str, bar: ProgressBar, report: Reporter,
                 lines: TextIO | None):
        self._tasks, self._cluster, self._bar = tasks, cluster, bar
        self._report, self._lines = report, lines
        self.files_done = 0
        self.audio_done = 0.0
        self.started = time.perf_counter()  # the files' work: from the sign-in on

    def signed_in(self, workers: int) -> None:
        self.started = time.perf_counter()
        several = "s" if workers != 1 else ""
        self._report.say(f"{workers} Dask worker{several} ({self._cluster}), signed in")

    def advanced(self, index: int, seconds: float) -> None:
        self._bar.advance(seconds, index)

    def dropped(self, index: int) -> None:
        self._bar.file_dropped(index)

    def finished(self, index: int, result: FileResult) -> None:
        from ..pipeline import engine_rate

        if self._lines is not None:
            self._lines.write(json.dumps(dataclasses.asdict(result)) + "\n")
        info = self._tasks[index].info
        if not result.ok:
            self._bar.file_dropped(index)
            self._report.warn(f"{result.error}; not done")
            return
        self.files_done += 1
        self.audio_done += result.seconds
        self._bar.file_done(result.seconds, index)
        self._report.file_done(info, result.output, engine_rate(info.rate),
                               result.processing_seconds)
