"""What the engine takes: sampling rates, channel counts, the shortest chunk."""

from __future__ import annotations

SUPPORTED_RATES = (8000, 16000, 24000, 32000, 44100, 48000)
SUPPORTED_CHANNELS = (1, 2)
MODELS = ("passthrough", "denoise", "translate")
# Raw audio (no header) the command line reads: name -> libsndfile subtype.
RAW_SAMPLE_FORMATS = {"float32": "FLOAT", "int16": "PCM_16"}
# Chunks shorter than this are dropped by the engine; output lags by as much.
MIN_CHUNK_SECONDS = 0.020


def min_chunk_values(sampling_rate: int, channels: int) -> int:
    """Float values (all channels) in the shortest chunk the engine accepts."""
    return (sampling_rate // 50) * channels


def nearest_supported_rate(rate: int) -> int:
    """The supported rate closest to `rate` (the higher one on a tie)."""
    return min(SUPPORTED_RATES, key=lambda supported: (abs(supported - rate), -supported))
