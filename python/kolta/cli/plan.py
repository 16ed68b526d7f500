"""Which files `kolta denoise` reads and writes, and those of the transcripts
of `kolta transcribe --cluster`: every input and output checked, output
folders made and tried, all before sign-in."""

from __future__ import annotations

import argparse
import contextlib
import errno
import os
import sys
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from ..errors import BadInput
from ..formats import STREAM
from .job import Task
from .reporting import output_error

if TYPE_CHECKING:
    from ..audiofile import RawLayout


@dataclass
class Plan:
    tasks: list[Task]
    skipped: list[str] = field(default_factory=list)  # in folders, not audio by extension
    created_folders: list[str] = field(default_factory=list)


def raw_layout(args: argparse.Namespace) -> RawLayout:
    """What raw inputs hold, as --rate, --channels and --sample-format say."""
    from ..audiofile import RawLayout

    return RawLayout(args.rate, args.channels, args.sample_format or "float32")


def make_plan(inputs: list[str], output: str, raw: RawLayout, force: bool,
              transcript: str | None = None) -> Plan:
    """Audio outputs named as their inputs; with `transcript` (a transcript
    format), text outputs named <input's stem>.<transcript> instead."""
    from ..audiofile import inspect, output_format

    pairs, skipped = _pairs(inputs, output)
    if not pairs:
        raise BadInput("no audio files in these folders")
    if transcript is not None:
        pairs = [(source, target if target == STREAM
                  else f"{os.path.splitext(target)[0]}.{transcript}") for source, target in pairs]
    tasks = [Task(inspect(source, raw), target) for source, target in pairs]
    if transcript is None:
        for task in tasks:
            output_format(task.output, task.info)
    _check_raw_options(tasks, raw)
    _check_outputs(tasks, force)
    return Plan(tasks, skipped)


def _pairs(inputs: list[str], output: str) -> tuple[list[tuple[str, str]], list[str]]:
    """(input, output) file pairs, and the files skipped in folders."""
    if STREAM in inputs and len(inputs) > 1:
        raise BadInput("- (stdin) must be the only input")
    if STREAM in inputs and sys.stdin.isatty():
        raise BadInput("- (stdin) is a terminal: pipe raw audio in")
    if output == STREAM and sys.stdout.isatty():
        raise BadInput("- (stdout) is a terminal: pipe the raw audio on or redirect it")
    if len(inputs) == 1 and not os.path.isdir(inputs[0]):
        return [(inputs[0], _single_output(inputs[0], output))], []
    if output == STREAM:
        raise BadInput("- (stdout) takes one file's audio: give a folder as OUT")
    if os.path.exists(output) and not os.path.isdir(output):
        why = "IN is a folder" if len(inputs) == 1 else "there are several inputs"
        raise BadInput(f"{output}: {why}, so OUT must be a folder too")
    pairs: list[tuple[str, str]] = []
    skipped: list[str] = []
    for source in inputs:
        if not os.path.isdir(source):
            pairs.append((source, os.path.join(output, os.path.basename(source))))
            continue
        # One folder fills OUT; several each get their own folder in it.
        into = output if len(inputs) == 1 else os.path.join(
            output, os.path.basename(os.path.normpath(source)))
        audio, others = _walk(source, avoid=output)
        if not audio and len(inputs) == 1:
            raise BadInput(f"{source}: no audio files in this folder")
        pairs += [(os.path.join(source, name), os.path.join(into, name)) for name in audio]
        skipped += [os.path.join(source, name) for name in others]
    return pairs, skipped


def _single_output(source: str, output: str) -> str:
    if output == STREAM:
        return output
    if os.path.isdir(output) or output.endswith((os.sep, "/")):
        if source == STREAM:
            raise BadInput(f"{output}: stdin has no file name: give OUT as a file")
        return os.path.join(output, os.path.basename(source))
    return output


def _walk(folder: str, avoid: str) -> tuple[list[str], list[str]]:
    """Paths under `folder` (sorted, subfolders too, `avoid` left out: the
    output folder inside the input one): audio by extension, and the rest."""
    from ..audiofile import readable_extensions

    extensions = readable_extensions()
    avoided = os.path.realpath(avoid)
    audio: list[str] = []
    others: list[str] = []
    for root, folders, files in os.walk(folder):
        folders[:] = sorted(name for name in folders
                            if os.path.realpath(os.path.join(root, name)) != avoided)
        for name in sorted(files):
            path = os.path.join(root, name)
            relative = os.path.relpath(path, folder)
            extension = os.path.splitext(name)[1].lstrip(".").lower()
            is_audio = os.path.isfile(path) and extension in extensions
            (audio if is_audio else others).append(relative)
    return audio, others


def _check_raw_options(tasks: list[Task], raw: RawLayout) -> None:
    from ..audiofile import RawLayout

    if raw != RawLayout() and not any(task.info.format == "RAW" for task in tasks):
        raise BadInput("--rate, --channels and --sample-format describe raw audio "
                       "(- or .raw files), and no input is raw")


def _check_outputs(tasks: list[Task], force: bool) -> None:
    """No input overwritten, no output written twice, none that exists
    overwritten without --force."""
    inputs = {os.path.realpath(task.info.path) for task in tasks if task.info.path != STREAM}
    writers: dict[str, str] = {}
    existing = []
    for task in tasks:
        if task.output == STREAM:
            continue
        target = os.path.realpath(task.output)
        if target in inputs:
            raise BadInput(f"{task.output}: is an input; kolta does not write over its inputs")
        if target in writers:
            raise BadInput(f"{task.output}: both {writers[target]} and {task.info.path} "
                           "would be written there")
        writers[target] = task.info.path
        if os.path.isdir(target):
            raise BadInput(f"{task.output}: is a folder")
        if os.path.isfile(target):
            existing.append(task.output)
    if existing and not force:
        more = f" (and {len(existing) - 1} more outputs)" if len(existing) > 1 else ""
        raise BadInput(f"{existing[0]}: exists{more}; --force writes over it")


def prepare_outputs(plan: Plan) -> None:
    """Makes the output folders and writes a file into each (removed at
    once), so that an output that cannot be written is told before sign-in."""
    from ..writers import partial_path, written_in_place

    tried: set[str] = set()
    for task in plan.tasks:
        if task.output == STREAM:
            continue
        try:
            if written_in_place(task.output):  # a device or pipe: opening it could block
                if not os.access(task.output, os.W_OK):
                    raise PermissionError(errno.EACCES, os.strerror(errno.EACCES))
                continue
            folder = os.path.dirname(os.path.realpath(task.output))
            if folder in tried:
                continue
            tried.add(folder)
            plan.created_folders += _make_folders(folder)
            probe = partial_path(task.output, os.getpid())
            with open(probe, "ab"):
                pass
            os.remove(probe)
        except OSError as error:
            raise BadInput(output_error(OSError(error.errno, error.strerror, task.output))) \
                from None


def _make_folders(folder: str) -> list[str]:
    missing = []
    while not os.path.isdir(folder):
        if os.path.lexists(folder):  # a file where a folder should be
            raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR))
        missing.append(folder)
        parent = os.path.dirname(folder)
        if parent == folder:
            break
        folder = parent
    created = []
    for path in reversed(missing):
        os.mkdir(path)
        created.append(path)
    return created


def remove_partial_files(plan: Plan) -> None:
    """This process's partial outputs: those of a file that could not be
    ended in time (stdin waiting for audio, say)."""
    from ..writers import partial_path

    for task in plan.tasks:
        if task.output != STREAM:
            with contextlib.suppress(OSError):
                os.remove(partial_path(task.output, os.getpid()))


def remove_created_folders(plan: Plan) -> None:
    """After a failure: the folders made for the outputs that are still empty."""
    for folder in reversed(plan.created_folders):
        with contextlib.suppress(OSError):  # not empty: something was written there
            os.rmdir(folder)
