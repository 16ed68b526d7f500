"""Shared pieces of the benchmarks: module loading, a signed-in SDK, timing.

Every benchmark script prints one JSON object on stdout when run with --json;
bench/run_all.py runs them in fresh processes and judges the figures."""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from typing import Any

# No BLAS is used here; OpenBLAS's idle worker threads would only take CPU
# time from the measured threads on a small machine. Set before numpy loads.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402

import _kolta_module as kolta  # noqa: E402  (first: it loads the engine)

try:
    import _kolta_testhelpers as helpers  # noqa: E402
except ImportError as error:  # pragma: no cover - depends on the build
    raise SystemExit(
        "bench: _kolta_testhelpers is missing; build it with "
        "-DKOLTA_BUILD_TEST_HELPERS=ON (make setup does)") from error

DEMO_KEY = "KOLTA-DEMO-KEY"
TEST_KEY = "kt_all"  # a key of kolta-server --test-keys (and the embedded service): every model
RATE = 16000

__all__ = ["DEMO_KEY", "RATE", "TEST_KEY", "attributes", "environment", "gc_paused", "helpers",
           "kolta", "kolta_denoise", "main", "median", "noise", "noisy_takes", "now_ns",
           "percentile", "python_version", "running_threads", "signed_in_sdk"]


def python_version() -> str:
    return f"{platform.python_implementation()} {platform.python_version()}"


def _set_environment(values: dict[str, str | None]) -> None:
    """Sets (a value) or removes (None) environment variables."""
    for name, value in values.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value


@contextlib.contextmanager
def environment(**values: str | None) -> Iterator[None]:
    """_set_environment for the block, then the variables as they were."""
    saved = {name: os.environ.get(name) for name in values}
    try:
        _set_environment(values)
        yield
    finally:
        _set_environment(saved)


@contextlib.contextmanager
def signed_in_sdk() -> Iterator[tuple[kolta.Sdk, str]]:
    """A signed-in SDK whose storage (log file) lives in a temporary folder."""
    with tempfile.TemporaryDirectory(prefix="kolta-bench-") as storage:
        sdk = kolta.create_sdk(kolta.InitParams(storage_dir=storage))
        result = sdk.activate_api_key(DEMO_KEY)
        if not result.success:
            raise SystemExit(f"bench: sign-in refused: {result.message}")
        yield sdk, storage


def attributes(model: str, rate: int = RATE, channels: int = 1,
               notify: Callable[[kolta.PipelineState], object] | None = None,
               lt: kolta.LanguageTranslationConfig | None = None
               ) -> kolta.ProcessorAttributes:
    audio = kolta.AudioAttributes(sampling_rate=rate, channels=channels, model_name=model,
                                  audio_pipeline_state_notify=notify)
    return kolta.ProcessorAttributes(audio, lt)


def noise(values: int, seed: int = 1) -> npt.NDArray[np.float32]:
    """Non-silent float32 samples (an all-zero chunk would be a drain chunk)."""
    rng = np.random.default_rng(seed)
    return (0.1 * rng.standard_normal(values)).astype(np.float32)


def noisy_takes(folder: str, count: int, seconds: float) -> None:
    """Makes `folder` with `count` 16-bit WAV files take<i>.wav: a 220 Hz tone
    under white noise, the same material for every file benchmark."""
    import soundfile as sf  # only the file benchmarks need it

    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(11)
    frames = int(seconds * RATE)
    tone = 0.2 * np.sin(2 * np.pi * 220 * np.arange(frames) / RATE)
    for i in range(count):
        noisy = tone + 0.03 * rng.standard_normal(frames)
        sf.write(os.path.join(folder, f"take{i}.wav"), noisy, RATE, subtype="PCM_16")


# One `kolta denoise` of a benchmark's folder; generous: a busy 2-core machine.
DENOISE_DEADLINE_S = 1800


def kolta_denoise(folder: str, out: str, storage: str, options: list[str]) -> tuple[float, str]:
    """`kolta denoise folder out *options` in a fresh process, signed in with
    the demo key (a key or key file of the caller's environment would sign
    in elsewhere): its wall-clock seconds and its output."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("KOLTA_API_KEY", "KOLTA_API_KEY_FILE")}
    command = [sys.executable, "-m", "kolta", "denoise", folder, out, *options,
               "--storage", storage, "--force"]  # the repeats write over the first run's files
    start = time.perf_counter()
    done = subprocess.run(command, check=True, capture_output=True, text=True, env=env,
                          timeout=DENOISE_DEADLINE_S)
    return time.perf_counter() - start, done.stdout


@contextlib.contextmanager
def gc_paused() -> Iterator[None]:
    """Like timeit: no cyclic collection inside a timed loop."""
    enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


@contextlib.contextmanager
def running_threads(target: Callable[[int], None], count: int) -> Iterator[None]:
    """`count` threads running target(index) for the block, joined at its end;
    then the first exception one of them raised is raised here (in a thread
    it would only be printed, and the figure come out wrong)."""
    errors: list[BaseException] = []

    def guarded(index: int) -> None:
        try:
            target(index)
        except BaseException as error:  # SystemExit too: it ends only the thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(i,)) for i in range(count)]
    for thread in threads:
        thread.start()
    try:
        yield
    finally:
        for thread in threads:
            thread.join()
    if errors:
        raise errors[0]


def median(values: list[float]) -> float:
    return statistics.median(values)


def percentile(values: list[float], fraction: float) -> float:
    """The sample at `fraction` of the way from the lowest to the highest."""
    ordered = sorted(values)
    return ordered[int(fraction * (len(ordered) - 1))]


def now_ns() -> int:
    return time.perf_counter_ns()


def main(run: Callable[[argparse.Namespace], dict[str, Any]],
         configure: Callable[[argparse.ArgumentParser], None] | None = None, *,
         repeats: int = 9, seconds: float | None = None,
         render: Callable[[dict[str, Any]], None] | None = None) -> None:
    """Entry point of a benchmark script: --json prints the result object.
    `seconds` adds --seconds, the target length of one timing, as its default.
    Without --json, `render` (if given) prints the result for people."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--json", action="store_true", help="print one JSON object")
    parser.add_argument("--repeats", type=int, default=repeats)
    if seconds is not None:
        parser.add_argument("--seconds", type=float, default=seconds,
                            help="target length of one timing")
    if configure:
        configure(parser)
    args = parser.parse_args()
    result = run(args)
    result["python"] = python_version()
    if args.json:
        json.dump(result, sys.stdout)
        sys.stdout.write("\n")
    elif render:
        render(result)
    else:
        json.dump(result, sys.stdout, indent=2)
        sys.stdout.write("\n")
