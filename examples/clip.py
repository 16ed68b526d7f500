"""The demo's built-in clip: speech-like voiced syllables with pauses, plus noise.

The clean source is kept so that the effect of the noise suppressor can be
measured against it. `write_clip` is what `make demo` feeds to `kolta`."""

from __future__ import annotations

import os
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import soundfile as sf

RATE = 16000
NOISE_DBFS = -30.0


def _syllable(n: int, f0: float, rng: np.random.Generator) -> npt.NDArray[np.float64]:
    t = np.arange(n) / RATE
    pitch = f0 * (1.0 + 0.05 * np.sin(2 * np.pi * 3.0 * t))
    phase = 2 * np.pi * np.cumsum(pitch) / RATE
    # Harmonics weighted like two formants of a vowel.
    formants = np.asarray(rng.choice([(700, 1200), (400, 2000), (300, 900), (600, 1700)]))
    voice = np.zeros(n)
    for k in range(1, 25):
        freq = k * f0
        weight = sum(np.exp(-((freq - f) / 180.0) ** 2) for f in formants) + 0.05 / k
        voice += weight * np.sin(k * phase)
    envelope = np.sin(np.pi * np.arange(n) / n) ** 0.6
    return voice * envelope


def make_clip(seconds: float = 6.0, seed: int = 7) -> tuple[
        npt.NDArray[np.float32], npt.NDArray[np.float32], npt.NDArray[np.bool_]]:
    """Returns (clean, noisy, speech_mask), float32 mono at RATE."""
    rng = np.random.default_rng(seed)
    n = int(seconds * RATE)
    clean = np.zeros(n)
    mask = np.zeros(n, dtype=bool)
    pos = int(0.6 * RATE)
    while pos < n - int(0.8 * RATE):
        words = rng.integers(2, 5)
        for _ in range(words):
            length = int(rng.uniform(0.15, 0.3) * RATE)
            clean[pos:pos + length] += _syllable(length, rng.uniform(110, 180), rng)
            mask[pos:pos + length] = True
            pos += length + int(0.03 * RATE)
        pos += int(rng.uniform(0.5, 0.8) * RATE)
    clean *= 0.3 / np.max(np.abs(clean))
    noise = rng.standard_normal(n) * 10 ** (NOISE_DBFS / 20)
    noisy = np.clip(clean + noise, -1.0, 1.0)
    return clean.astype(np.float32), noisy.astype(np.float32), mask


def level_db(x: npt.NDArray[np.floating]) -> float:
    return float(10 * np.log10(np.mean(np.square(x, dtype=np.float64)) + 1e-20))


@dataclass(frozen=True)
class DemoClip:
    clean: npt.NDArray[np.float32]
    noisy: npt.NDArray[np.float32]
    speech: npt.NDArray[np.bool_]
    noisy_path: str
    quiet_path: str  # the noise 40 dB down


def write_clip(folder: str) -> DemoClip:
    """Writes the noisy clip and its quiet variant as float WAV files. The
    reference engine's energy detector hears the clip's noise as speech:
    translation runs on the quiet variant."""
    clean, noisy, speech = make_clip()
    quiet = (clean + 0.01 * (noisy - clean)).astype(np.float32)
    os.makedirs(folder, exist_ok=True)
    noisy_path = os.path.join(folder, "clip_noisy.wav")
    quiet_path = os.path.join(folder, "clip_quiet.wav")
    sf.write(noisy_path, noisy, RATE, subtype="FLOAT")
    sf.write(quiet_path, quiet, RATE, subtype="FLOAT")
    return DemoClip(clean, noisy, speech, noisy_path, quiet_path)
