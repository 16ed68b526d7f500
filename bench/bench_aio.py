"""asyncio: 4 sessions streaming in real time on one event loop.

Each session opens a `denoise` processor through kolta.aio and sends a 20 ms
chunk every 20 ms of loop time (paced against the loop's clock, as audio from
a device would arrive), reading its pipeline states alongside. Meanwhile a
1 ms timer measures the loop's own latency: how late each `asyncio.sleep(0.001)`
wakes up. Figures: the latency's p99 and median, and how far the slowest
session fell behind its real-time schedule."""

from __future__ import annotations

import argparse
import asyncio
import statistics
import tempfile
from typing import Any

from kolta import InitParams, aio

from common import DEMO_KEY, RATE, main, noise, percentile

SESSIONS = 4
CHUNK_SECONDS = 0.020
TICK_SECONDS = 0.001


async def session(sdk: aio.AsyncSdk, seconds: float, seed: int) -> float:
    """Streams in real time; returns the longest time from a chunk's due
    time to its output (s): under one chunk means the session keeps up."""
    chunk_values = int(RATE * CHUNK_SECONDS)
    signal = noise(int(seconds * RATE), seed)
    loop = asyncio.get_running_loop()
    processor = await sdk.open_processor("denoise", sampling_rate=RATE)
    states = asyncio.ensure_future(_drain(processor.states))
    worst = 0.0
    async with processor:
        start = loop.time()
        for index, pos in enumerate(range(0, signal.size, chunk_values)):
            due = start + index * CHUNK_SECONDS
            if due > loop.time():
                await asyncio.sleep(due - loop.time())
            await processor.process(signal[pos:pos + chunk_values])
            worst = max(worst, loop.time() - due)
        await processor.finish()
    await states
    return worst


async def _drain(queue: aio.EventQueue[Any]) -> None:
    async for _ in queue:
        pass


async def ticker(stop: asyncio.Event, lateness: list[float]) -> None:
    loop = asyncio.get_running_loop()
    while not stop.is_set():
        before = loop.time()
        await asyncio.sleep(TICK_SECONDS)
        lateness.append(loop.time() - before - TICK_SECONDS)


async def measure(seconds: float) -> dict[str, Any]:
    with tempfile.TemporaryDirectory(prefix="kolta-bench-aio-") as storage:
        sdk = await aio.create_sdk(InitParams(storage_dir=storage))
        assert (await sdk.activate_api_key(DEMO_KEY)).success
        lateness: list[float] = []
        stop = asyncio.Event()
        tick = asyncio.ensure_future(ticker(stop, lateness))
        lags = await asyncio.gather(*(session(sdk, seconds, seed) for seed in range(SESSIONS)))
        stop.set()
        await tick
    return {"ticks": len(lateness),
            "latency_p99_ms": 1000 * percentile(lateness, 0.99),
            "latency_median_ms": 1000 * statistics.median(lateness),
            "latency_max_ms": 1000 * max(lateness),
            "worst_lag_ms": 1000 * max(lags)}


def run(args: argparse.Namespace) -> dict[str, Any]:
    result = asyncio.run(measure(args.seconds))
    result.update(sessions=SESSIONS, seconds=args.seconds)
    return result


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--seconds", type=float, default=5.0, help="audio per session")


if __name__ == "__main__":
    main(run, configure, repeats=1)
