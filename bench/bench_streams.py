"""Overhead of the stream helper (kolta.AlignedStream) over the raw loop.

Both push 20 ms chunks (320 values, 16 kHz mono) through `passthrough` with
local inference and keep a copy of every output, the raw loop as a user
writes it by hand:

  raw:    np.frombuffer(process_frame(AudioFrame(chunk)).samples, float32).copy()
  helper: stream.feed(chunk)

Timed in many short interleaved repeats in one process, each on a processor
of its own (a processor serves one aligned stream), the order of the three
forms turning from repeat to repeat; the figure is the median ratio. The
iterator form (kolta.process_stream) is timed as well, for information.
"""

from __future__ import annotations

import argparse
from typing import Any

import numpy as np
import numpy.typing as npt

from kolta.streams import AlignedStream, process_stream

from common import (RATE, attributes, environment, gc_paused, kolta, main, median, noise,
                    now_ns, signed_in_sdk)

CHUNK_VALUES = RATE // 50


def time_raw(processor: kolta.AudioProcessor, chunk: npt.NDArray[np.float32],
             calls: int) -> float:
    frame_type, process, frombuffer = kolta.AudioFrame, processor.process_frame, np.frombuffer
    with gc_paused():
        start = now_ns()
        for _ in range(calls):
            frombuffer(process(frame_type(chunk)).samples, dtype=np.float32).copy()
        return (now_ns() - start) / calls


def time_helper(processor: kolta.AudioProcessor, chunk: npt.NDArray[np.float32],
                calls: int) -> float:
    stream = AlignedStream(processor, RATE)
    feed = stream.feed
    with gc_paused():
        start = now_ns()
        for _ in range(calls):
            feed(chunk)
        return (now_ns() - start) / calls


def time_iterator(processor: kolta.AudioProcessor, chunk: npt.NDArray[np.float32],
                  calls: int) -> float:
    chunks = [chunk] * calls
    with gc_paused():
        start = now_ns()
        for _ in process_stream(processor, chunks, RATE):
            pass
        return (now_ns() - start) / calls


TIMERS = {"raw_ns": time_raw, "helper_ns": time_helper, "iterator_ns": time_iterator}


def run(args: argparse.Namespace) -> dict[str, Any]:
    chunk = noise(CHUNK_VALUES)
    samples: dict[str, list[float]] = {name: [] for name in TIMERS}
    order = list(TIMERS)
    with environment(KOLTA_LOCAL_INFERENCING="1"), signed_in_sdk() as (sdk, _):
        with sdk.create_audio_processor(attributes("passthrough")) as warm_up:
            time_raw(warm_up, chunk, 2000)
        for repeat in range(args.repeats):
            # Every form starts on a fresh processor, so none gains from a
            # warmer engine, and none always runs first after a pause.
            for name in order[repeat % 3:] + order[:repeat % 3]:
                with sdk.create_audio_processor(attributes("passthrough")) as processor:
                    samples[name].append(TIMERS[name](processor, chunk, args.calls))
    ratios = [h / r for h, r in zip(samples["helper_ns"], samples["raw_ns"])]
    iterator_ratios = [i / r for i, r in zip(samples["iterator_ns"], samples["raw_ns"])]
    return {"chunk_values": CHUNK_VALUES, "calls": args.calls,
            "raw_ns": median(samples["raw_ns"]), "helper_ns": median(samples["helper_ns"]),
            "iterator_ns": median(samples["iterator_ns"]),
            "helper_ratio": median(ratios), "iterator_ratio": median(iterator_ratios),
            "samples": samples}


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--calls", type=int, default=4000)


if __name__ == "__main__":
    main(run, configure, repeats=45)
