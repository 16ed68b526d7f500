"""Alignment of the processed output with its input, per model, suppressor
and rate: the lag at which speech in and speech out correlate best, through
kolta.AlignedStream (which hides the engine's own 20 ms latency, so a perfect
engine shows 0), and the denoise real-time factor.

The speech is goforward.raw (16 kHz, pocketsphinx-testdata) resampled with
soxr, over white noise at 20 dB SNR so the suppressors have work to do; the
stereo right channel is the same speech reversed, so a lag or a swap in one
channel shows.

    .venv/bin/python bench/bench_alignment.py [--json]
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import Any

import numpy as np
import numpy.typing as npt
import soxr

from common import attributes, environment, main, signed_in_sdk

from kolta.streams import AlignedStream

import _kolta_module as kolta

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "examples"))

from clip import TESTDATA, read_speech  # noqa: E402
from speech_quality import align  # noqa: E402

GOFORWARD = os.path.join(TESTDATA, "goforward.raw")
RATES = (8000, 16000, 24000, 32000, 44100, 48000)
# (model, KOLTA_ENGINE_SUPPRESSOR); None: the default chain.
MODELS = (("passthrough", None), ("denoise", "speexdsp"), ("denoise", "webrtc"),
          ("denoise", None))
MAX_LAG_MS = 60
Floats = npt.NDArray[np.float32]


def speech(rate: int, channels: int) -> Floats:
    """Interleaved speech over white noise at 20 dB SNR, 0.3 s of noise first."""
    clean = read_speech(GOFORWARD)
    if rate != 16000:
        clean = soxr.resample(clean, 16000, rate).astype(np.float32)
    clean = np.concatenate([np.zeros(int(0.3 * rate), np.float32), clean])
    rng = np.random.default_rng(rate)
    noise_rms = np.sqrt(np.mean(np.square(clean))) * 10 ** (-20 / 20)
    columns = [clean, clean[::-1]][:channels]
    mixed = np.stack([c + noise_rms * rng.standard_normal(c.size) for c in columns], axis=1)
    return mixed.astype(np.float32).reshape(-1)


def run_stream(sdk: kolta.Sdk, model: str, suppressor: str | None, rate: int,
               channels: int, signal: Floats) -> tuple[Floats, float]:
    with environment(KOLTA_ENGINE_SUPPRESSOR=suppressor, KOLTA_LOCAL_INFERENCING="1"):
        with sdk.create_audio_processor(attributes(model, rate, channels)) as processor:
            stream = AlignedStream(processor, rate, channels)
            chunk = rate // 50 * channels
            began = time.perf_counter()
            pieces = [stream.feed(signal[i:i + chunk]) for i in range(0, signal.size, chunk)]
            pieces.append(stream.finish())
            elapsed = time.perf_counter() - began
    return np.concatenate(pieces), elapsed


def lags(sdk: kolta.Sdk) -> dict[str, Any]:
    table: dict[str, Any] = {}
    for model, suppressor in MODELS:
        name = model if model == "passthrough" else f"denoise/{suppressor or 'default'}"
        for rate in RATES:
            for channels in (1, 2):
                signal = speech(rate, channels)
                out, _ = run_stream(sdk, model, suppressor, rate, channels, signal)
                # The lag of output behind input, in frames, of the highest correlation.
                per_channel = [align(signal[c::channels], out[c::channels],
                                     rate * MAX_LAG_MS // 1000)[0] for c in range(channels)]
                table[f"{name}/{rate}/{channels}ch"] = {
                    "lag_frames": per_channel, "length_ok": out.size == signal.size}
    return table


def real_time_factor(sdk: kolta.Sdk) -> dict[str, float]:
    """Processing time over audio time of the default denoise, 20 s of audio."""
    result = {}
    for rate, channels in ((16000, 1), (48000, 2)):
        one = speech(rate, channels)
        signal = np.tile(one, -(-20 * rate * channels // one.size))
        _, elapsed = run_stream(sdk, "denoise", None, rate, channels, signal)
        result[f"{rate}/{channels}ch"] = round(elapsed / (signal.size / channels / rate), 4)
    return result


def run(args: argparse.Namespace) -> dict[str, Any]:
    if not os.path.exists(GOFORWARD):
        raise SystemExit(f"bench: {GOFORWARD} is missing (pocketsphinx-testdata)")
    with signed_in_sdk() as (sdk, _):
        return {"lags": lags(sdk), "denoise_real_time_factor": real_time_factor(sdk)}


if __name__ == "__main__":
    main(run)
