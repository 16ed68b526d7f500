"""`kolta denoise`: files, folders or a pipe through a model, everything
checked before sign-in; with --jobs, worker processes beside kolta."""

from __future__ import annotations

import argparse
import time

from _kolta_module import Sdk

from ..errors import BadInput, JobFailed
from ..formats import STREAM
from ..progress import ProgressBar
from .job import Job, OwnShare
from .plan import (Plan, make_plan, prepare_outputs, raw_layout, remove_created_folders,
                   remove_partial_files)
from .reporting import NORMAL, QUIET, VERBOSE, WORK_ERRORS, Reporter, not_done, work_failure
from .signin import signed_in_sdk
from .workers import WorkerPool, start_workers


def run_denoise(args: argparse.Namespace) -> int:
    if args.cluster is not None:
        from .cluster_job import run_cluster_denoise

        return run_cluster_denoise(args)
    if args.report is not None:
        raise BadInput("--report goes with --cluster")
    args.jobs = args.jobs or 1
    pool = start_workers(args)
    plan: Plan | None = None
    try:
        report = Reporter(verbosity(args), to_stderr=args.output == STREAM)
        # NumPy and libsndfile load here, after the workers start.
        plan = make_plan(args.inputs, args.output, raw_layout(args), args.force)
        report_skipped(plan, report)
        prepare_outputs(plan)
        sdk = signed_in_sdk(args.storage, args.api_key)
        report.say(f"SDK version {sdk.version}, signed in")
        job = _run(plan, sdk, args, pool, report)
    except BaseException:
        if pool is not None:
            pool.close(finished=False)
        if plan is not None:
            remove_partial_files(plan)
            remove_created_folders(plan)  # those still empty: nothing was written
        raise
    if pool is not None:
        pool.close(finished=True)
    return _outcome(job)


def verbosity(args: argparse.Namespace) -> int:
    return QUIET if args.quiet else VERBOSE if args.verbose else NORMAL


def report_skipped(plan: Plan, report: Reporter) -> None:
    if not plan.skipped:
        return
    count = len(plan.skipped)
    files = "file that is" if count == 1 else "files that are"
    listed = ":" if report.verbosity >= VERBOSE else " (-v lists them)"
    report.say(f"skipped {count} {files} not audio by extension{listed}")
    for path in plan.skipped:
        report.say(f"  {path}", VERBOSE)


def _run(plan: Plan, sdk: Sdk, args: argparse.Namespace, pool: WorkerPool | None,
         report: Reporter) -> Job:
    tasks = plan.tasks
    streamed = any(task.info.streamed for task in tasks)
    total = None if streamed else sum(task.info.seconds for task in tasks)
    parallel = pool is not None and len(tasks) > 1
    label = f"denoise x{args.jobs}" if parallel else "denoise"
    with ProgressBar(total, label, files=len(tasks), shown=report.verbosity > QUIET,
                     leave=True) as bar:
        report.use_bar(bar)
        job = Job(tasks, report, bar)
        started = time.perf_counter()
        if pool is not None and parallel:
            pool.run(job, (args.model, args.storage, args.api_key),
                     lambda: _own_share(job, sdk, args.model, front=False))
        else:
            own = OwnShare(job, lambda: _own_share(job, sdk, args.model, front=True))
            own.run(own.until_done)
        elapsed = time.perf_counter() - started if parallel else job.work_seconds
        job.raise_failure()
    report.use_bar(None)
    if job.files_done:
        report.totals(job.files_done, job.audio_done, elapsed)
    return job


def _own_share(job: Job, sdk: Sdk, model: str, front: bool) -> None:
    """Files done in this process, one after another; the job's stop ends
    the one in hand at its next block."""
    from ..pipeline import denoise_file

    while (index := job.take(front)) is not None:
        task = job.tasks[index]

        def progress(seconds: float, index: int = index) -> None:
            job.progress(index, seconds)
            job.check()

        try:
            result = denoise_file(sdk, task.info, task.output, model, progress)
        except WORK_ERRORS as error:
            raise work_failure(error, model) from None
        job.done(index, result.source, result.engine_rate, result.seconds)


def _outcome(job: Job) -> int:
    if job.not_done:
        raise JobFailed(not_done(job.not_done, len(job.tasks)))
    return 0
