"""Scaling: `denoise` throughput with one and with two processors.

Audio frames (samples per channel) processed per second, 16 kHz mono, local
inference, chunks of --chunk-ms (1 s by default: the engine's work, not the
binding, dominates each call). One processor on one Python thread, then two
processors each on its own Python thread, started together by a barrier.
process_frame releases the GIL while the engine works, so two threads should
come close to twice the throughput on a machine with two free cores. Each repeat
times one thread, two threads, one thread again; its ratio compares the two
threads with the mean of the one-thread runs around it. The figure is the
median of the per-repeat ratios.

The same engine work driven from C++ (EngineLoop.time_process, GIL released)
on one and on two threads is the control: it shows how far this machine's
cores scale at all, whatever the bindings do.
"""

from __future__ import annotations

import argparse
import threading
from collections.abc import Callable
from typing import Any

import numpy as np
import numpy.typing as npt

from common import (RATE, attributes, environment, helpers, kolta, main, median, noise,
                    now_ns, signed_in_sdk)


def pump(processor: kolta.AudioProcessor, samples: npt.NDArray[np.float32],
         chunks: int) -> None:
    frame_type = kolta.AudioFrame
    process = processor.process_frame
    for _ in range(chunks):
        process(frame_type(samples)).samples


def pump_floor(loop: Any, samples: npt.NDArray[np.float32], chunks: int) -> None:
    """The control's work: the same engine calls driven from C++ (GIL released)."""
    loop.time_process(samples, chunks)


def frames_per_second(work: Callable[[Any, npt.NDArray[np.float32], int], None],
                      targets: list[Any], inputs: list[npt.NDArray[np.float32]],
                      chunks: int) -> float:
    """work(target, samples, chunks) on all targets at once, one Python thread
    each, started together; wall-clock throughput."""
    barrier = threading.Barrier(len(targets) + 1)

    def run_one(target: Any, samples: npt.NDArray[np.float32]) -> None:
        barrier.wait()
        work(target, samples, chunks)

    threads = [threading.Thread(target=run_one, args=(t, x)) for t, x in zip(targets, inputs)]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = now_ns()
    for thread in threads:
        thread.join()
    elapsed = (now_ns() - start) * 1e-9
    return len(targets) * chunks * len(inputs[0]) / elapsed


def one_and_two_threads(work: Callable[[Any, npt.NDArray[np.float32], int], None],
                        targets: list[Any], inputs: list[npt.NDArray[np.float32]],
                        chunks: int) -> tuple[float, float]:
    """Frames per second on one thread and on two. One thread runs before and
    after the two-thread run (A-B-A), so that a drift in the machine's speed
    does not masquerade as (anti-)scaling; its figure is their mean."""
    before = frames_per_second(work, targets[:1], inputs[:1], chunks)
    two = frames_per_second(work, targets, inputs, chunks)
    after = frames_per_second(work, targets[:1], inputs[:1], chunks)
    return (before + after) / 2, two


def run(args: argparse.Namespace) -> dict[str, Any]:
    values = RATE * args.chunk_ms // 1000
    inputs = [noise(values, seed=1), noise(values, seed=2)]
    one: list[float] = []
    two: list[float] = []
    floor_one: list[float] = []
    floor_two: list[float] = []
    with environment(KOLTA_LOCAL_INFERENCING="1", KOLTA_ENGINE_FAULTS=None), \
            signed_in_sdk() as (sdk, storage):
        attrs = attributes("denoise")
        processors = [sdk.create_audio_processor(attrs) for _ in range(2)]
        loops = [helpers.EngineLoop(attrs, storage) for _ in range(2)]
        # Calibrate: chunks per timing for about --seconds on one thread.
        pump(processors[0], inputs[0], 2)
        start = now_ns()
        pump(processors[0], inputs[0], 4)
        per_chunk = (now_ns() - start) * 1e-9 / 4
        chunks = max(4, int(args.seconds / per_chunk))
        for _ in range(args.repeats):
            for work, targets, ones, twos in ((pump, processors, one, two),
                                              (pump_floor, loops, floor_one, floor_two)):
                fps_one, fps_two = one_and_two_threads(work, targets, inputs, chunks)
                ones.append(fps_one)
                twos.append(fps_two)
        for processor in processors:
            processor.close()
        for loop in loops:
            loop.close()
    speed_up = [t / o for o, t in zip(one, two)]
    floor_speed_up = [t / o for o, t in zip(floor_one, floor_two)]
    return {
        "chunk_ms": args.chunk_ms,
        "chunks_per_thread": chunks,
        "repeats": args.repeats,
        "inference": "local (KOLTA_LOCAL_INFERENCING=1)",
        "one_processor_fps": median(one),
        "two_processors_fps": median(two),
        "speed_up": median(speed_up),
        "floor_speed_up": median(floor_speed_up),
        # How much of the machine's own two-thread speed-up the bindings keep.
        "efficiency": median([p / f for p, f in zip(speed_up, floor_speed_up)]),
        "samples": {"one": one, "two": two, "floor_one": floor_one,
                    "floor_two": floor_two},
    }


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--chunk-ms", type=int, default=1000)


if __name__ == "__main__":
    main(run, configure, repeats=31, seconds=0.12)
