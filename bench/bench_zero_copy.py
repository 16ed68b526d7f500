"""Zero copy: what a round trip costs as the chunk grows from 20 ms to 2 s.

For each chunk length (16 kHz mono, `passthrough`, local inference):

  bytes per call: Python memory (tracemalloc) at the peak of one round trip,
      counted from just before it, with the returned frame and its `samples`
      view still held; the median over many round trips. A copy of the
      samples anywhere in the bindings would show up here as 4 bytes per
      value (128 000 bytes at 2 s). The engine's own buffers are C++ memory
      and are not counted: they are the engine's work.
  retained per call: Python memory still held after many round trips, per
      round trip (a leak would show up here).
  overhead: ns per round trip minus ns per call of the same engine driven
      from C++ at the same length (the floor), from interleaved repeats.
  bindings alone: ns per AudioFrame(array) -> bare_frame_pass -> .samples,
      the round trip's binding calls with no engine work at all.
  memcpy: ns per memcpy of one chunk into a warm buffer, from C++: the least
      the copy of each processed chunk into the returned frame can cost.

  one-call path above the floor: EngineLoop.process(array) from a Python
      loop, on the floor's own processor, minus the floor.

Flat means: bytes per call the same at every length (within 64 bytes), and
the bindings alone within 100 ns of their 20 ms figure. The overhead above
the C++ floor is shown beside them: it grows by up to about a microsecond at
2 s chunks, and so does the one-call path on the floor's own processor,
whose binding work is the same at every length. perf puts that growth in the
engine's memmove: its copies of 128 kB run slower between Python statements
than back to back in a C++ loop. That is the engine's own work.
"""

from __future__ import annotations

import argparse
import tracemalloc
from typing import Any

import numpy as np
import numpy.typing as npt

from bench_binding import time_floor, time_one_call, time_round_trips, time_same_shape_bare
from common import (RATE, attributes, environment, helpers, kolta, main, median, noise,
                    signed_in_sdk)

CHUNK_MS = (20, 200, 2000)


def traced_bytes(processor: kolta.AudioProcessor, samples: npt.NDArray[np.float32],
                 rounds: int) -> tuple[float, float]:
    """(peak bytes per round trip, bytes retained per round trip)."""
    frame_type = kolta.AudioFrame
    process = processor.process_frame
    # Preallocated, so that recording a peak allocates nothing that stays.
    peaks = np.zeros(rounds)
    tracemalloc.start()
    try:
        for _ in range(8):  # settle free lists and caches
            view = process(frame_type(samples)).samples
        del view
        start_current, _ = tracemalloc.get_traced_memory()
        for i in range(rounds):
            before, _ = tracemalloc.get_traced_memory()
            tracemalloc.reset_peak()
            out = process(frame_type(samples))
            view = out.samples
            _, peak = tracemalloc.get_traced_memory()
            peaks[i] = peak - before
            del out, view
        end_current, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    return float(np.median(peaks)), (end_current - start_current) / rounds


def run(args: argparse.Namespace) -> dict[str, Any]:
    with environment(KOLTA_LOCAL_INFERENCING="1", KOLTA_ENGINE_FAULTS=None), \
            signed_in_sdk() as (sdk, storage):
        attrs = attributes("passthrough")
        cases = []
        for ms in CHUNK_MS:
            values = RATE * ms // 1000
            cases.append({
                "ms": ms, "values": values, "samples": noise(values, seed=ms),
                # About the same amount of audio per repeat at every length.
                "calls": max(1000, args.calls * 20 // ms),
                "processor": sdk.create_audio_processor(attrs),
                "loop": helpers.EngineLoop(attrs, storage),
                "ours": [], "floor": [], "bare": [], "one_call": [], "memcpy": [],
            })
        for case in cases:  # warm-up
            time_round_trips(case["processor"], case["samples"], case["calls"] // 4)
            time_floor(case["loop"], case["samples"], case["calls"] // 4)
        # Every repeat visits every length, so that the lengths share the
        # machine's ups and downs.
        for _ in range(args.repeats):
            for case in cases:
                case["ours"].append(
                    time_round_trips(case["processor"], case["samples"], case["calls"]))
                case["floor"].append(time_floor(case["loop"], case["samples"], case["calls"]))
                # The same count at every length: no engine work to balance, and
                # the warm-up after the collection that starts each timing then
                # weighs the same.
                case["bare"].append(time_same_shape_bare(case["samples"], args.calls))
                case["one_call"].append(
                    time_one_call(case["loop"], case["samples"], case["calls"]))
                case["memcpy"].append(helpers.time_memcpy(case["values"], case["calls"]))
        sizes = []
        for case in cases:
            case["loop"].close()
            peak, retained = traced_bytes(case["processor"], case["samples"], rounds=200)
            case["processor"].close()
            sizes.append({
                "chunk_ms": case["ms"],
                "values": case["values"],
                "calls_per_repeat": case["calls"],
                "round_trip_ns": median(case["ours"]),
                "floor_ns": median(case["floor"]),
                "overhead_ns": median([o - f for o, f in zip(case["ours"], case["floor"])]),
                "bare_ns": median(case["bare"]),
                # The floor's own processor called once per Python statement:
                # how much slower the engine's work runs between Python steps.
                "one_call_above_floor_ns": median(
                    [o - f for o, f in zip(case["one_call"], case["floor"])]),
                "memcpy_ns": median(case["memcpy"]),
                "bytes_per_call": peak,
                "retained_bytes_per_call": retained,
            })
    return {"repeats": args.repeats, "inference": "local (KOLTA_LOCAL_INFERENCING=1)",
            "sizes": sizes}


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--calls", type=int, default=20_000,
                        help="round trips per repeat at 20 ms (fewer at longer chunks)")


if __name__ == "__main__":
    main(run, configure, repeats=15)
