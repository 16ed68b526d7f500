"""Binding overhead of one process_frame round trip.

The round trip, as a user writes it: wrap a float32 array in an AudioFrame,
call process_frame, read `samples` of the returned frame. It runs on the
`passthrough` model, 16 kHz mono, 20 ms chunks (320 values), local inference
(KOLTA_LOCAL_INFERENCING=1: no pipeline thread traffic while timing). It is
compared, in the same process and in interleaved repeats, with

  floor: the same engine driven from a C++ loop with the GIL released
         (_kolta_testhelpers.EngineLoop.time_process), ns per call;
  bare:  a bare nanobind function taking the same ndarray type, releasing
         the GIL and returning a new AudioFrame
         (_kolta_testhelpers.bare_frame_call), followed by the same `samples`
         read. It does no engine work.

For the breakdown it also times each step alone, the round trip's two-call
shape with a bare function in place of process_frame (AudioFrame(array) ->
bare_frame_pass -> .samples), and a one-call path from the array to the
processed frame (EngineLoop.process(array) -> .samples, engine included).
"""

from __future__ import annotations

import argparse
from typing import Any

import numpy as np
import numpy.typing as npt

from common import (RATE, attributes, environment, gc_paused, helpers, kolta, main,
                    median, noise, now_ns, signed_in_sdk)

CHUNK_VALUES = RATE // 50  # 20 ms mono


def time_round_trips(processor: kolta.AudioProcessor, samples: npt.NDArray[np.float32],
                     calls: int) -> float:
    """ns per round trip: AudioFrame(samples) -> process_frame -> .samples"""
    frame_type = kolta.AudioFrame
    process = processor.process_frame
    with gc_paused():
        start = now_ns()
        for _ in range(calls):
            process(frame_type(samples)).samples
        return (now_ns() - start) / calls


def time_bare_calls(samples: npt.NDArray[np.float32], calls: int) -> float:
    """ns per bare call: bare_frame_call(samples) -> .samples"""
    bare = helpers.bare_frame_call
    with gc_paused():
        start = now_ns()
        for _ in range(calls):
            bare(samples).samples
        return (now_ns() - start) / calls


def time_parts(processor: kolta.AudioProcessor, samples: npt.NDArray[np.float32],
               calls: int) -> dict[str, float]:
    """ns per call of each step alone, for the breakdown."""
    frame_type = kolta.AudioFrame
    process = processor.process_frame
    bare = helpers.bare_frame_call
    bare_pass = helpers.bare_frame_pass
    bare_buffer = helpers.bare_buffer_call
    frame = frame_type(samples)
    out = process(frame)
    parts = {}
    with gc_paused():
        start = now_ns()
        for _ in range(calls):
            frame_type(samples)
        parts["AudioFrame(array)"] = (now_ns() - start) / calls
        start = now_ns()
        for _ in range(calls):
            process(frame)
        parts["process_frame(frame)"] = (now_ns() - start) / calls
        start = now_ns()
        for _ in range(calls):
            out.samples
        parts["frame.samples"] = (now_ns() - start) / calls
        start = now_ns()
        for _ in range(calls):
            bare(samples)
        parts["bare_frame_call(array)"] = (now_ns() - start) / calls
        start = now_ns()
        for _ in range(calls):
            bare_pass(frame)
        parts["bare_frame_pass(frame)"] = (now_ns() - start) / calls
        start = now_ns()
        for _ in range(calls):
            bare_buffer(samples)
        parts["bare_buffer_call(array), buffer protocol"] = (now_ns() - start) / calls
    return parts


def time_same_shape_bare(samples: npt.NDArray[np.float32], calls: int) -> float:
    """ns per AudioFrame(samples) -> bare_frame_pass -> .samples: the round
    trip's two calls with a bare function in place of process_frame."""
    frame_type = kolta.AudioFrame
    bare_pass = helpers.bare_frame_pass
    with gc_paused():
        start = now_ns()
        for _ in range(calls):
            bare_pass(frame_type(samples)).samples
        return (now_ns() - start) / calls


def time_one_call(loop: Any, samples: npt.NDArray[np.float32], calls: int) -> float:
    """ns per EngineLoop.process(samples) -> .samples: array in, engine call,
    frame out, in one binding call."""
    process = loop.process
    with gc_paused():
        start = now_ns()
        for _ in range(calls):
            process(samples).samples
        return (now_ns() - start) / calls


def time_floor(loop: Any, samples: npt.NDArray[np.float32], calls: int) -> float:
    """ns per process_frame call made from C++."""
    return float(loop.time_process(samples, calls))


def run(args: argparse.Namespace) -> dict[str, Any]:
    samples = noise(CHUNK_VALUES)
    calls = args.calls
    ours, bare, floor = [], [], []
    with environment(KOLTA_LOCAL_INFERENCING="1", KOLTA_ENGINE_FAULTS=None), \
            signed_in_sdk() as (sdk, storage):
        attrs = attributes("passthrough")
        with sdk.create_audio_processor(attrs) as processor:
            loop = helpers.EngineLoop(attrs, storage)
            # Warm-up: caches, branch predictors, the engine's per-thread buffer.
            time_round_trips(processor, samples, calls // 4)
            time_bare_calls(samples, calls // 4)
            time_floor(loop, samples, calls // 4)
            parts: dict[str, list[float]] = {}
            same_shape, one_call = [], []
            for _ in range(args.repeats):
                ours.append(time_round_trips(processor, samples, calls))
                bare.append(time_bare_calls(samples, calls))
                floor.append(time_floor(loop, samples, calls))
                same_shape.append(time_same_shape_bare(samples, calls))
                one_call.append(time_one_call(loop, samples, calls))
                for name, ns in time_parts(processor, samples, calls).items():
                    parts.setdefault(name, []).append(ns)
            loop.close()
    return {
        "chunk_values": CHUNK_VALUES,
        "calls_per_repeat": calls,
        "repeats": args.repeats,
        "inference": "local (KOLTA_LOCAL_INFERENCING=1)",
        "round_trip_ns": median(ours),
        "bare_ns": median(bare),
        "floor_ns": median(floor),
        # Per repeat, then the median: the repeats are interleaved, so each
        # difference and ratio compares figures taken moments apart.
        "above_floor_ns": median([o - f for o, f in zip(ours, floor)]),
        "ratio_to_bare": median([o / b for o, b in zip(ours, bare)]),
        "parts_ns": {name: median(values) for name, values in parts.items()},
        "same_shape_bare_ns": median(same_shape),
        "ratio_to_same_shape_bare": median([o / b for o, b in zip(ours, same_shape)]),
        "one_call_ns": median(one_call),
        "one_call_ratio_to_bare": median([o / b for o, b in zip(one_call, bare)]),
        "samples": {"round_trip_ns": ours, "bare_ns": bare, "floor_ns": floor},
    }


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--calls", type=int, default=50_000)
    parser.set_defaults(repeats=15)


if __name__ == "__main__":
    main(run, configure)
