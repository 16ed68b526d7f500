"""What became of one file on the cluster: small, so that it travels back
from a worker cheaply (the audio stays on the shared filesystem)."""

from __future__ import annotations

from dataclasses import dataclass


@dataclass(frozen=True)
class FileResult:
    input: str  # absolute paths, as the workers read and wrote them
    output: str
    ok: bool
    error: str | None  # one line naming the file; None when ok
    seconds: float  # of audio: the input's length
    processing_seconds: float  # the streaming work on the worker
    worker: str | None = None  # the worker's address, when one answered
