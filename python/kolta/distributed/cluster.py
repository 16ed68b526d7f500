"""The cluster a job runs on: a local one of our own, a scheduler's
address, or a Client the caller already has."""

from __future__ import annotations

import contextlib
import logging
from collections.abc import Iterator

import dask
from distributed import Client, LocalCluster

from ..errors import BadInput

LOCAL = "local"
CONNECT_SECONDS = 10.0
WAIT_FOR_WORKERS_SECONDS = 60.0


@contextlib.contextmanager
def connected(cluster: str | Client, workers: int, retries: int) -> Iterator[Client]:
    """A Client, closed afterwards unless it was given. `workers` and
    `retries` shape a local cluster only: a scheduler of your own keeps
    its settings."""
    if isinstance(cluster, Client):
        yield cluster
    elif cluster == LOCAL:
        with local_cluster(workers, retries) as local, \
                Client(local, timeout=CONNECT_SECONDS) as client:
            yield client
    else:
        with _client(cluster) as client:
            yield client


def local_cluster(workers: int, retries: int, log_level: int = logging.CRITICAL) -> LocalCluster:
    """`workers` processes of one thread on loopback. Each is sent one file
    at a time (none waiting there), so that a worker's death counts against
    the file it was doing and no other; a file may take `retries` deaths
    more. Dask's own log lines below `log_level` are not kept: kolta tells
    every file's fate."""
    with dask.config.set({"distributed.scheduler.worker-saturation": 1.0}):
        # No dashboard; the scheduler's HTTP server (health, metrics) on any
        # free port, not on a fixed one another cluster may hold.
        return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                            host="127.0.0.1", dashboard_address=None, silence_logs=log_level,
                            scheduler_kwargs={"allowed_failures": retries,
                                              "dashboard_address": "127.0.0.1:0"})


@contextlib.contextmanager
def _client(address: str) -> Iterator[Client]:
    try:
        client = Client(address, timeout=CONNECT_SECONDS)
    except (OSError, ValueError) as error:  # TimeoutError is an OSError
        raise BadInput(f"cannot reach the Dask scheduler at {address}: {error}") from None
    with client:
        try:
            client.wait_for_workers(1, timeout=WAIT_FOR_WORKERS_SECONDS)
        except TimeoutError:
            raise BadInput(f"no Dask worker joined {address} within "
                           f"{WAIT_FOR_WORKERS_SECONDS:.0f} s (start some: dask worker "
                           f"{address} --nthreads 1)") from None
        yield client
