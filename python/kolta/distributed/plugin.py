"""The Dask worker plugin that signs each worker process in, once."""

from __future__ import annotations

import asyncio

from distributed import Worker, WorkerPlugin

from .sessions import open_session


class SignIn(WorkerPlugin):
    """Registered for a job: runs on every worker there is and on every one
    that joins later. It carries the storage folder only; the key is found
    on the worker (see sessions)."""

    def __init__(self, name: str, storage: str | None):
        self.name = name
        self.storage = storage

    async def setup(self, worker: Worker) -> None:
        # In a thread: a sign-in may take a while, and the worker's event
        # loop has heartbeats to keep.
        await asyncio.to_thread(open_session, self.storage, worker.address)
