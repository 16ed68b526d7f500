"""kolta.distributed.denoise: files through a model on a Dask cluster."""

from __future__ import annotations

import os
from collections.abc import Callable, Sequence
from typing import Union

from distributed import Client

from ..cli.plan import prepare_outputs
from ..errors import BadInput
from ..formats import MODELS
from .batch import absolute_plan, remove_leftovers, run
from .cluster import LOCAL, connected
from .results import FileResult

PathLike = Union[str, "os.PathLike[str]"]


class _Told:
    def __init__(self, on_progress: Callable[[FileResult], object] | None):
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
            on_progress: Callable[[FileResult], object] | None = None) -> list[FileResult]:
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
    if model not in MODELS or model == "translate":
        raise ValueError(f"not an audio model: {model!r} (one of "
                         f"{', '.join(m for m in MODELS if m != 'translate')})")
    if retries < 0 or workers < 1:
        raise ValueError("retries must be 0 or more, workers 1 or more")
    from ..audiofile import RawLayout

    try:
        plan = absolute_plan([os.fspath(path) for path in files],
                             os.path.join(os.fspath(out_dir), ""), RawLayout(), force)
        prepare_outputs(plan)
    except BadInput as error:
        raise ValueError(str(error)) from None
    storage = None if storage_dir is None else os.path.abspath(storage_dir)
    try:
        with connected(cluster, workers, retries) as client:
            return run(client, plan.tasks, model, storage, retries, _Told(on_progress))
    except BadInput as error:  # a worker's sign-in, the scheduler out of reach
        raise RuntimeError(str(error)) from None
    finally:
        remove_leftovers(plan.tasks)
