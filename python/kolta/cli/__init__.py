"""The `kolta` command line (what it says of itself: parser.DESCRIPTION).

Every problem with what the user gave ends with one line on stderr and exit
status 2; inputs are checked before signing in wherever possible. Work that
fails part way ends with one line and exit status 1; Ctrl-C with 130,
SIGTERM with 143.

  app             main(): parse, dispatch, failures to one line and an exit status
  parser          the commands, their options and checks
  signin          storage folder, which key, sign-in, the reference engine's keys
  denoise         `kolta denoise`: plan, sign in, run, the outcome
  plan            which files are read and written, checked before sign-in
  job             the files of a run and what became of each; kolta's own share
  workers         `kolta denoise --jobs N`: the worker processes, fed and ended
  cluster_job     `--cluster` of denoise, transcribe and translate: the files on a Dask
                  cluster (kolta.distributed)
  worker_process  what runs in a worker process
  signals         SIGTERM taken like Ctrl-C; clean-up a signal cannot cut short
  transcribe      `kolta transcribe`, and the streaming of transcripts translate shares
  translate       `kolta translate`: the language pair
  transcript_format  txt, json, srt and vtt
  info            `kolta info`
  reporting       the lines printed about files, outputs, speed, a processor's refusal; -q, -v

The audio modules (NumPy, libsndfile) are imported only where a command
needs them: --jobs workers start before that import (see workers)."""

from __future__ import annotations

from collections.abc import Sequence

__all__ = ["main"]


def main(argv: Sequence[str] | None = None) -> int:
    """The console entry point. The command line is imported here, not with
    the package: its helpers (signin, plan, reporting, worker_process) are
    imported by every worker, which needs none of it."""
    from .app import main as run

    return run(argv)
