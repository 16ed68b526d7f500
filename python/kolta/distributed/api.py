"""kolta.distributed.denoise, transcribe and translate: files through a
model, or their transcripts, on a Dask cluster."""

from __future__ import annotations

import contextlib
import os
from collections.abc import Callable, Iterator, Sequence

from distributed import Client

from ..cli.plan import prepare_outputs
from ..cli.transcript_format import FORMATS
from ..errors import BadInput
from ..formats import AUDIO_MODELS
from ..one_call import PathLike
from .batch import absolute_plan, remove_leftovers, run
from .cluster import LOCAL, connected
from .results import FileResult
from .work import Denoise, FileWork, Transcript

OnProgress = Callable[[FileResult], object]


class _Told:
    def __init__(self, on_progress: OnProgress | None):
        self._on_progress = on_progress

    def signed_in(self, workers: int) -> None:
        pass

    def advanced(self, index: int, seconds: float) -> None:
        pass

    def dropped(self, index: int) -> None:
        pass

    def finished(self, index: int, result: FileResult) -> None:
        if self._on_progress is not None:
            self._on_progress(result)


def denoise(files: Sequence[PathLike], out_dir: PathLike, *, cluster: str | Client = LOCAL,
            workers: int = 2, model: str = "denoise", retries: int = 2, force: bool = False,
            storage_dir: PathLike | None = None,
            on_progress: OnProgress | None = None) -> list[FileResult]:
    """Each of `files` (folders are walked) through `model` into `out_dir`,
    as `kolta denoise FILES... OUT_DIR/` writes them, on `cluster`: "local"
    (a cluster of `workers` processes on this machine, made and closed
    here), a scheduler's address ("tcp://host:8786"), or a Client. One
    FileResult per file, in order; `on_progress` gets each as its file ends.

    Files and outputs are checked before anything is sent (ValueError, and
    nothing written); a worker that cannot sign in is a RuntimeError before
    any file is sent. A file that fails, or whose worker dies `retries` + 1
    times (a local cluster's setting; a scheduler of your own has its own
    distributed.scheduler.allowed-failures), is a FileResult with ok False;
    the others go on."""
    if model not in AUDIO_MODELS:
        raise ValueError(f"not an audio model: {model!r} (one of {', '.join(AUDIO_MODELS)})")
    return _job(files, out_dir, Denoise(model), cluster, workers, retries, force, storage_dir,
                on_progress)


def transcribe(files: Sequence[PathLike], out_dir: PathLike, *,
               cluster: str | Client = LOCAL, workers: int = 2, language: str = "en-US",
               format: str = "txt", retries: int = 2, force: bool = False,  # noqa: A002
               storage_dir: PathLike | None = None,
               on_progress: OnProgress | None = None) -> list[FileResult]:
    """The transcript of each of `files` (folders are walked), spoken in
    `language`, into `out_dir` as <stem>.<format>: the text `kolta
    transcribe FILE --from LANGUAGE --format FORMAT` writes to stdout.
    The rest as for `denoise`."""
    from ..cli.transcribe import spoken_language

    with _as_value_error():
        work = Transcript(spoken_language(language), None, _form(format))
    return _job(files, out_dir, work, cluster, workers, retries, force, storage_dir,
                on_progress)


def translate(files: Sequence[PathLike], out_dir: PathLike, *, cluster: str | Client = LOCAL,
              workers: int = 2, language: str = "en-US", to: str = "es-ES",
              format: str = "txt", retries: int = 2, force: bool = False,  # noqa: A002
              storage_dir: PathLike | None = None,
              on_progress: OnProgress | None = None) -> list[FileResult]:
    """As `transcribe`, each final with its translation to `to`: the text of
    `kolta translate FILE --from LANGUAGE --to TO --format FORMAT`. A pair
    with no translator is a ValueError, before anything is sent."""
    from ..cli.translate import language_pair

    with _as_value_error():
        work = Transcript(*language_pair(language, to), _form(format))
    return _job(files, out_dir, work, cluster, workers, retries, force, storage_dir,
                on_progress)


@contextlib.contextmanager
def _as_value_error() -> Iterator[None]:
    """What the command line calls bad input is a ValueError here."""
    try:
        yield
    except BadInput as error:
        raise ValueError(str(error)) from None


def _form(form: str) -> str:
    if form not in FORMATS:
        raise ValueError(f"unknown transcript format {form!r} (one of {', '.join(FORMATS)})")
    return form


def _job(files: Sequence[PathLike], out_dir: PathLike, work: FileWork, cluster: str | Client,
         workers: int, retries: int, force: bool, storage_dir: PathLike | None,
         on_progress: OnProgress | None) -> list[FileResult]:
    if retries < 0 or workers < 1:
        raise ValueError("retries must be 0 or more, workers 1 or more")
    from ..audiofile import RawLayout

    with _as_value_error():
        plan = absolute_plan([os.fspath(path) for path in files],
                             os.path.join(os.fspath(out_dir), ""), RawLayout(), force,
                             work.transcript_format)
        prepare_outputs(plan)
    storage = None if storage_dir is None else os.path.abspath(storage_dir)
    try:
        with connected(cluster, workers, retries) as client:
            return run(client, plan.tasks, work, storage, retries, _Told(on_progress))
    except BadInput as error:  # a worker's sign-in, the scheduler out of reach
        raise RuntimeError(str(error)) from None
    finally:
        remove_leftovers(plan.tasks)
