"""What the engine takes: sampling rates, channel counts, the shortest chunk;
the names the command line gives them. It imports nothing: any module,
however light it must be, may use it."""

from __future__ import annotations

SUPPORTED_RATES = (8000, 16000, 24000, 32000, 44100, 48000)
SUPPORTED_CHANNELS = (1, 2)
MODELS = ("passthrough", "denoise", "translate")
# The models that give audio back (translate gives text).
AUDIO_MODELS = tuple(model for model in MODELS if model != "translate")
# Raw audio (no header) the command line reads: name -> libsndfile subtype.
RAW_SAMPLE_FORMATS = {"float32": "FLOAT", "int16": "PCM_16"}
# Chunks shorter than this are dropped by the engine; output lags by as much.
MIN_CHUNK_SECONDS = 0.020
STREAM = "-"  # a path that means stdin (as an input) or stdout (as an output), raw audio


def min_chunk_values(sampling_rate: int, channels: int) -> int:
    """Float values (all channels) in the shortest chunk the engine accepts."""
    return (sampling_rate // 50) * channels


def nearest_supported_rate(rate: int) -> int:
    """The supported rate closest to `rate` (the higher one on a tie)."""
    return min(SUPPORTED_RATES, key=lambda supported: (abs(supported - rate), -supported))


def layout(channels: int) -> str:
    """'mono', 'stereo' or 'N channels'."""
    return {1: "mono", 2: "stereo"}.get(channels, f"{channels} channels")
