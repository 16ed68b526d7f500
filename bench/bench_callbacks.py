"""Callback delivery: callbacks per second from one engine thread into Python.

  pipeline states: a processor created with the engine switch
      KOLTA_ENGINE_FAULTS=state_flood=N,connect_delay_ms=0 (cloud path) has its
      output thread deliver N RUNNING states back to back into a trivial
      Python function. Timed from just before create_audio_processor until
      close() returns, which is after the last delivery (close delivers
      everything queued, then joins the thread): N + 3 deliveries (TRYING,
      RUNNING, the flood, NOT_RUNNING).
  transcripts: the same with transcript_flood=N and an lt_config (local
      inference): N TextFrame deliveries, each converted to a Python TextFrame.
  bare, per-call thread state: _kolta_testhelpers.bare_gil_calls on a new
      native thread: PyGILState_Ensure, call the same function with the same
      argument, PyGILState_Release, N times (the thread has no thread state of
      its own, so every call makes and destroys one).
  bare, kept thread state: the same loop with one thread state made before
      the loop and kept; each call only takes and gives back the GIL.

N is chosen from a short calibration run so that each timing lasts about
--seconds. Rates are medians over the repeats, which interleave the variants.
"""

from __future__ import annotations

import argparse
from collections.abc import Callable
from typing import Any

from common import (attributes, environment, gc_paused, helpers, kolta, main, median,
                    now_ns, signed_in_sdk)

# Deliveries a state flood of N makes: TRYING, RUNNING, the flood, NOT_RUNNING.
STATES_AROUND_A_FLOOD = 3


class Counter:
    """Where the trivial callback counts its calls."""

    def __init__(self) -> None:
        self.calls = 0


def make_callback() -> tuple[Counter, Any]:
    counter = Counter()

    # A plain function (a Python frame per call), as a user's callback is.
    def callback(value: object) -> None:
        counter.calls += 1

    return counter, callback


def checked_rate(counter: Counter, expected: int, what: str, elapsed_ns: float) -> float:
    """Calls per second, once the callback is seen to have had all of them."""
    if counter.calls != expected:
        raise SystemExit(f"bench: expected {expected} {what}, got {counter.calls}")
    return float(expected / (elapsed_ns * 1e-9))


def create_and_close_ns(sdk: kolta.Sdk, attrs: kolta.ProcessorAttributes,
                        **env: str | None) -> int:
    """ns from just before create_audio_processor until close() returned, with
    the engine switches of `env` set."""
    with environment(**env), gc_paused():
        start = now_ns()
        processor = sdk.create_audio_processor(attrs)
        processor.close()
        return now_ns() - start


def state_flood_rate(sdk: kolta.Sdk, count: int) -> float:
    counter, callback = make_callback()
    elapsed = create_and_close_ns(
        sdk, attributes("passthrough", notify=callback), KOLTA_LOCAL_INFERENCING=None,
        KOLTA_ENGINE_FAULTS=f"state_flood={count},connect_delay_ms=0")
    return checked_rate(counter, count + STATES_AROUND_A_FLOOD, "state callbacks", elapsed)


def transcript_flood_rate(sdk: kolta.Sdk, count: int) -> float:
    counter, callback = make_callback()
    lt = kolta.LanguageTranslationConfig("en-US", "es-ES", callback=callback)
    # Placeholder transcripts: the flood is timed, not a recogniser loading its model.
    elapsed = create_and_close_ns(sdk, attributes("", lt=lt), KOLTA_LOCAL_INFERENCING="1",
                                  KOLTA_ENGINE_FAULTS=f"transcript_flood={count}",
                                  KOLTA_ENGINE_TRANSCRIPTS="placeholder")
    return checked_rate(counter, count, "transcripts", elapsed)


def bare_rate(count: int, keep_thread_state: bool) -> float:
    counter, callback = make_callback()
    with gc_paused():
        elapsed = helpers.bare_gil_calls(callback, kolta.PipelineState.RUNNING, count,
                                         keep_thread_state)
    return checked_rate(counter, count, "bare calls", elapsed)


def calls_for(rate: float, seconds: float) -> int:
    return max(2_000, int(rate * seconds))


def run(args: argparse.Namespace) -> dict[str, Any]:
    variants: dict[str, Callable[[kolta.Sdk, int], float]] = {
        "state": state_flood_rate,
        "transcript": transcript_flood_rate,
        "bare_ensure": lambda sdk, n: bare_rate(n, keep_thread_state=False),
        "bare_kept": lambda sdk, n: bare_rate(n, keep_thread_state=True),
    }
    rates: dict[str, list[float]] = {name: [] for name in variants}
    counts: dict[str, int] = {}
    with signed_in_sdk() as (sdk, _storage):
        for name, measure in variants.items():
            counts[name] = calls_for(measure(sdk, 5_000), args.seconds)
        for _ in range(args.repeats):
            for name, measure in variants.items():
                rates[name].append(measure(sdk, counts[name]))
    result: dict[str, Any] = {
        "repeats": args.repeats,
        "counts": counts,
        "rates": {name: median(values) for name, values in rates.items()},
        "samples": rates,
    }
    result["ns_per_delivery"] = {name: 1e9 / rate for name, rate in result["rates"].items()}
    return result


if __name__ == "__main__":
    main(run, repeats=5, seconds=0.25)
