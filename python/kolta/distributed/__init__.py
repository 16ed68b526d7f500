"""Batch jobs on a Dask cluster (the `kolta[distributed]` extra: PyPI
`dask[distributed]`): `denoise`, `transcribe` and `translate` here,
`kolta denoise|transcribe|translate ... --cluster` on the command line.
`import kolta` does not load Dask; this package does.

  results   FileResult: what became of one file
  api       denoise(), transcribe(), translate(): plan, connect, run, clean up
  cluster   the cluster: local, a scheduler's address, or a Client
  batch     the job on a Client: sign-in, one task per file, results, progress
  plugin    the worker plugin that signs each worker process in
  sessions  each worker process's signed-in SDK; the key is read there
  tasks     what a worker does with one file: its work, progress, the result
  work      the work a job sends: denoise, or a transcript"""

from __future__ import annotations

try:
    import distributed as _distributed  # noqa: F401
except ImportError as error:
    raise ImportError("kolta.distributed needs Dask: pip install 'kolta[distributed]'") \
        from error

from .api import denoise as denoise
from .api import transcribe as transcribe
from .api import translate as translate
from .results import FileResult as FileResult

__all__ = ["FileResult", "denoise", "transcribe", "translate"]
