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


def frames_per_second(processors: list[kolta.AudioProcessor],
                      inputs: list[npt.NDArray[np.float32]], chunks: int) -> float:
    """All processors at once, one Python thread each; wall-clock throughput."""
    barrier = threading.Barrier(len(processors) + 1)

    def work(processor: kolta.AudioProcessor, samples: npt.NDArray[np.float32]) -> None:
        barrier.wait()
        pump(processor, samples, chunks)

    threads = [threading.Thread(target=work, args=(p, x)) for p, x in zip(processors, inputs)]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = now_ns()
    for thread in threads:
        thread.join()
    elapsed = (now_ns() - start) * 1e-9
    return len(processors) * chunks * len(inputs[0]) / elapsed


def floor_frames_per_second(loops: list[Any], inputs: list[npt.NDArray[np.float32]],
                            chunks: int) -> float:
    """The control: the same engine work driven from C++ (GIL released), one
    Python thread per loop, started together."""
    barrier = threading.Barrier(len(loops) + 1)

    def work(loop: Any, samples: npt.NDArray[np.float32]) -> None:
        barrier.wait()
        loop.time_process(samples, chunks)

    threads = [threading.Thread(target=work, args=(lp, x)) for lp, x in zip(loops, inputs)]
    for thread in threads:
        thread.start()
    barrier.wait()
    start = now_ns()
    for thread in threads:
        thread.join()
    elapsed = (now_ns() - start) * 1e-9
    return len(loops) * chunks * len(inputs[0]) / elapsed


def run(args: argparse.Namespace) -> dict[str, Any]:
    values = RATE * args.chunk_ms // 1000
    inputs = [noise(values, seed=1), noise(values, seed=2)]
    one, two, floor_one, floor_two = [], [], [], []
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
        # One thread before and after each two-thread run (A-B-A), so that a
        # drift in the machine's speed does not masquerade as (anti-)scaling.
        for _ in range(args.repeats):
            before = frames_per_second(processors[:1], inputs[:1], chunks)
            two.append(frames_per_second(processors, inputs, chunks))
            one.append((before + frames_per_second(processors[:1], inputs[:1], chunks)) / 2)
            before = floor_frames_per_second(loops[:1], inputs[:1], chunks)
            floor_two.append(floor_frames_per_second(loops, inputs, chunks))
            floor_one.append(
                (before + floor_frames_per_second(loops[:1], inputs[:1], chunks)) / 2)
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
    parser.add_argument("--seconds", type=float, default=0.12,
                        help="target length of one timing")
    parser.set_defaults(repeats=31)


if __name__ == "__main__":
    main(run, configure)
