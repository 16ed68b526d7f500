"""Sign-in over loopback: the round trip of `activate_api_key` to the service
the engine embeds and to a standalone `kolta-server`, and how many sign-ins
one service core answers.

Round trips are timed one call at a time from Python (the GIL is released
for the call), the embedded and the standalone service in alternating
blocks; each figure is the median and p99 of every call. The capacity figure
runs a standalone service on one thread while 4 client threads sign in as
fast as they can (a new connection each, as the engine does), and divides
the sign-ins answered by the CPU time the service used (its /proc stat):
sign-ins per second of one busy service core, whatever the clients cost."""

from __future__ import annotations

import argparse
import os
import tempfile
import threading
import time
from typing import Any

from common import (TEST_KEY, environment, kolta, main, median, now_ns, percentile,
                    running_threads)
from service import add_key, cpu_seconds, standalone_service

CLIENT_THREADS = 4


def time_sign_ins(sdk: kolta.Sdk, key: str, calls: int, into: list[float]) -> None:
    for _ in range(calls):
        start = now_ns()
        result = sdk.activate_api_key(key)
        into.append((now_ns() - start) / 1000)
        if not result.success:
            raise SystemExit(f"bench: sign-in refused: {result.message}")


def summary(samples: list[float]) -> dict[str, float]:
    return {"median_us": median(samples), "p99_us": percentile(samples, 0.99),
            "calls": len(samples)}


def capacity(url: str, pid: int, key: str, storage: str, seconds: float) -> dict[str, float]:
    stop = threading.Event()
    counts = [0] * CLIENT_THREADS

    def client(index: int) -> None:
        sdk = kolta.create_sdk(kolta.InitParams(storage_dir=storage))
        while not stop.is_set():
            if not sdk.activate_api_key(key).success:
                raise SystemExit("bench: sign-in refused under load")
            counts[index] += 1

    with environment(KOLTA_SERVICE_URL=url):
        cpu_before, wall_before = cpu_seconds(pid), time.perf_counter()
        with running_threads(client, CLIENT_THREADS):
            try:
                time.sleep(seconds)
            finally:
                stop.set()
        cpu_used, wall = cpu_seconds(pid) - cpu_before, time.perf_counter() - wall_before
    answered = sum(counts)
    return {"sign_ins": answered, "service_cpu_s": cpu_used, "wall_s": wall,
            "per_service_cpu_second": answered / max(cpu_used, 1e-9),
            "per_wall_second": answered / wall}


def run(args: argparse.Namespace) -> dict[str, Any]:
    samples: dict[str, list[float]] = {"embedded": [], "standalone": [],
                                       "standalone_stored_key": []}
    with tempfile.TemporaryDirectory(prefix="kolta-bench-signin-") as work:
        data = os.path.join(work, "service")
        stored_key = add_key("--data", data)
        with environment(KOLTA_SERVICE_URL=None, KOLTA_SIGN_IN_TIMEOUT_MS=None):
            embedded_sdk = kolta.create_sdk(
                kolta.InitParams(storage_dir=os.path.join(work, "embedded")))
            time_sign_ins(embedded_sdk, TEST_KEY, 20, [])  # starts the embedded service
        with standalone_service(data) as (url, pid):
            with environment(KOLTA_SERVICE_URL=url):
                standalone_sdk = kolta.create_sdk(
                    kolta.InitParams(storage_dir=os.path.join(work, "client")))
                time_sign_ins(standalone_sdk, TEST_KEY, 20, [])
            for _ in range(args.repeats):
                with environment(KOLTA_SERVICE_URL=None):
                    time_sign_ins(embedded_sdk, TEST_KEY, args.calls, samples["embedded"])
                with environment(KOLTA_SERVICE_URL=url):
                    time_sign_ins(standalone_sdk, TEST_KEY, args.calls, samples["standalone"])
                    time_sign_ins(standalone_sdk, stored_key, args.calls,
                                  samples["standalone_stored_key"])
            load = capacity(url, pid, stored_key, os.path.join(work, "client"), args.seconds)
    result: dict[str, Any] = {name: summary(values) for name, values in samples.items()}
    result["embedded_to_standalone"] = (result["embedded"]["median_us"]
                                        / result["standalone"]["median_us"])
    result["capacity"] = load
    result["client_threads"] = CLIENT_THREADS
    return result


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--calls", type=int, default=100, help="sign-ins per timed block")
    parser.add_argument("--seconds", type=float, default=3.0, help="length of the load run")


if __name__ == "__main__":
    main(run, configure, repeats=5)
