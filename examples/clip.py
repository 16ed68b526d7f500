"""The demo's built-in clip and the measurement material: recorded speech from
Debian's pocketsphinx-testdata mixed with noise at a known SNR.

The speech is the five LibriVox clips joined with 0.5 s pauses; the clean
speech and a mask of where it is voiced are kept for measurement. White
noise comes from numpy, pink noise from sox, babble from other recorded clips
of the same package."""

from __future__ import annotations

import functools
import os
import subprocess

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import soundfile as sf
import soxr

from speech_quality import level_db as level_db  # the measurements' own, re-exported
from speech_quality import mix_at_snr, voiced_mask

RATE = 16000
TESTDATA = "/usr/share/pocketsphinx/test/data"
LIBRIVOX = os.path.join(TESTDATA, "librivox")
GAP_SECONDS = 0.5
DEMO_NOISE = "pink"
DEMO_SNR_DB = 10.0
NOISE_KINDS = ("white", "pink", "babble")
# Clips of other speakers, summed into babble.
BABBLE_SOURCES = ("numbers.raw", "something.raw", "cards/001.wav", "cards/002.wav",
                  "cards/003.wav", "cards/004.wav", "tidigits/dhd.2934z.raw")

Floats = npt.NDArray[np.float32]


def read_speech(path: str) -> Floats:
    """A 16 kHz 16-bit mono recording (.raw or .wav) as float32."""
    if path.endswith(".raw"):
        return (np.fromfile(path, dtype="<i2") / 32768.0).astype(np.float32)
    samples, rate = sf.read(path, dtype="float32")
    if rate != RATE or samples.ndim != 1:
        raise ValueError(f"{path}: expected {RATE} Hz mono")
    return np.asarray(samples, dtype=np.float32)


def librivox_transcripts() -> list[tuple[str, str]]:
    """(clip id, its words) of the five LibriVox clips, in file order."""
    with open(os.path.join(LIBRIVOX, "transcription")) as f:
        rows = []
        for line in f:
            words, _, rest = line.strip().rpartition("(")
            text = words.replace("<s>", "").replace("</s>", "").split()
            rows.append((rest.rstrip(")"), " ".join(text)))
    return rows


@functools.lru_cache(maxsize=1)
def _speech_with_pauses() -> tuple[Floats, tuple[tuple[int, int], ...]]:
    gap = np.zeros(int(GAP_SECONDS * RATE), np.float32)
    pieces: list[Floats] = [gap]
    spans = []
    position = len(gap)
    for clip_id, _ in librivox_transcripts():
        speech = read_speech(os.path.join(LIBRIVOX, clip_id + ".wav"))
        spans.append((position, position + len(speech)))
        pieces += [speech, gap]
        position += len(speech) + len(gap)
    return np.concatenate(pieces), tuple(spans)


def speech_and_pauses() -> tuple[Floats, npt.NDArray[np.bool_], npt.NDArray[np.bool_]]:
    """(clean speech, voiced mask, pause mask): voiced = 10 ms blocks of a clip
    within 30 dB of its loudest; pause = the gaps between clips."""
    clean, spans = _speech_with_pauses()
    voiced = np.zeros(len(clean), bool)
    pauses = np.ones(len(clean), bool)
    for begin, end in spans:
        pauses[begin:end] = False
        voiced[begin:end] = voiced_mask(clean[begin:end], RATE)
    return clean, voiced, pauses


def _sox_noise(kind: str, n: int, rate: int) -> Floats:
    command = ["sox", "-R", "-n", "-r", str(rate), "-c", "1", "-b", "32", "-e",
               "floating-point", "-t", "raw", "-", "synth", f"{n / rate:.4f}", kind + "noise"]
    raw = subprocess.run(command, check=True, capture_output=True).stdout
    return np.resize(np.frombuffer(raw, dtype="<f4"), n).astype(np.float32)


def _babble(n: int) -> Floats:
    mix = np.zeros(n, np.float64)
    for i, name in enumerate(BABBLE_SOURCES):
        voice = read_speech(os.path.join(TESTDATA, name)).astype(np.float64)
        voice /= np.sqrt(np.mean(np.square(voice))) + 1e-12
        mix += np.roll(np.resize(voice, n), i * RATE // 3)
    return mix.astype(np.float32)


def noise(kind: str, n: int, seed: int = 7, rate: int = RATE) -> Floats:
    """n samples at `rate` of white, pink or babble noise at an arbitrary
    level. Babble is made at the recordings' 16 kHz and resampled."""
    if kind == "white":
        return np.random.default_rng(seed).standard_normal(n).astype(np.float32)
    if kind == "pink":
        return _sox_noise("pink", n, rate)
    if kind == "babble":
        if rate == RATE:
            return _babble(n)
        voices = _babble(-(-n * RATE // rate) + 1)
        return np.resize(soxr.resample(voices, RATE, rate), n).astype(np.float32)
    raise ValueError(f"unknown noise kind {kind!r} (expected one of {NOISE_KINDS})")


def mix(clean: Floats, voiced: npt.NDArray[np.bool_], kind: str, snr_db: float,
        seed: int = 7) -> Floats:
    """clean + noise scaled so that voiced speech is snr_db above the noise."""
    return mix_at_snr(clean, noise(kind, len(clean), seed), voiced, snr_db)


def make_clip(noise_kind: str = DEMO_NOISE, snr_db: float = DEMO_SNR_DB, seed: int = 7
              ) -> tuple[Floats, Floats, npt.NDArray[np.bool_]]:
    """Returns (clean, noisy, speech_mask), float32 mono at RATE: the five
    recorded LibriVox clips with noise at snr_db."""
    clean, voiced, _ = speech_and_pauses()
    return clean, mix(clean, voiced, noise_kind, snr_db, seed), voiced


@dataclass(frozen=True)
class DemoClip:
    clean: Floats
    noisy: Floats
    speech: npt.NDArray[np.bool_]
    pauses: npt.NDArray[np.bool_]  # the gaps between the recordings
    noisy_path: str
    quiet_path: str  # the noise 40 dB down


def write_clip(folder: str) -> DemoClip:
    """Writes the noisy clip and its quiet variant as float WAV files; this is
    what `make demo` feeds to `kolta`. Recognition runs on the quiet variant."""
    clean, voiced, pauses = speech_and_pauses()
    noisy = mix(clean, voiced, DEMO_NOISE, DEMO_SNR_DB)
    quiet = (clean + 0.01 * (noisy - clean)).astype(np.float32)
    os.makedirs(folder, exist_ok=True)
    noisy_path = os.path.join(folder, "clip_noisy.wav")
    quiet_path = os.path.join(folder, "clip_quiet.wav")
    sf.write(noisy_path, noisy, RATE, subtype="FLOAT")
    sf.write(quiet_path, quiet, RATE, subtype="FLOAT")
    return DemoClip(clean, noisy, voiced, pauses, noisy_path, quiet_path)
