"""Measuring what a noise suppressor did to recorded speech: mixing noise at a
set SNR, finding speech and pauses from the clean recording's energy,
aligning an output with the clean speech, and scoring it (PESQ wide-band,
STOI, word error rate).

numpy only at import: scipy, pesq, pystoi and jiwer (requirements-bench.txt)
are loaded by the functions that need them, so the demo and the tests run
without them."""

from __future__ import annotations

import importlib.util
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

Floats = npt.NDArray[np.float32]
Mask = npt.NDArray[np.bool_]

BLOCK_SECONDS = 0.01
SPEECH_FLOOR_DB = 30.0  # a 10 ms block within this of the loudest one is speech
MIN_PAUSE_SECONDS = 0.1  # shorter quiet stretches are gaps inside words
PESQ_RATE = 16000  # wide-band PESQ is defined at 16 kHz only


def level_db(x: npt.NDArray[np.floating]) -> float:
    return float(10 * np.log10(np.mean(np.square(x, dtype=np.float64)) + 1e-20))


def _block_powers(clean: npt.NDArray[np.floating],
                  rate: int) -> tuple[int, npt.NDArray[np.float64]]:
    block = int(rate * BLOCK_SECONDS)
    whole = len(clean) - len(clean) % block
    blocks = np.asarray(clean[:whole], np.float64).reshape(-1, block)
    return block, np.mean(np.square(blocks), axis=1)


def voiced_mask(clean: npt.NDArray[np.floating], rate: int,
                floor_db: float = SPEECH_FLOOR_DB) -> Mask:
    """Samples of the 10 ms blocks within floor_db of the loudest block (a
    partial last block is never voiced)."""
    block, power = _block_powers(clean, rate)
    voiced = np.zeros(len(clean), bool)
    if len(power):
        loud = power > power.max() * 10 ** (-floor_db / 10)
        voiced[:len(loud) * block] = np.repeat(loud, block)
    return voiced


def pause_mask(clean: npt.NDArray[np.floating], rate: int,
               floor_db: float = SPEECH_FLOOR_DB,
               min_pause_s: float = MIN_PAUSE_SECONDS) -> Mask:
    """Samples of the runs of quiet 10 ms blocks (more than floor_db below
    the loudest) lasting at least min_pause_s."""
    block, power = _block_powers(clean, rate)
    pauses = np.zeros(len(clean), bool)
    if not len(power):
        return pauses
    quiet = power <= power.max() * 10 ** (-floor_db / 10)
    edges = np.flatnonzero(np.diff(np.concatenate([[0], quiet.astype(np.int8), [0]])))
    min_blocks = int(round(min_pause_s / BLOCK_SECONDS))
    for begin, end in zip(edges[::2], edges[1::2]):
        if end - begin >= min_blocks:
            pauses[begin * block:end * block] = True
    return pauses


def mix_at_snr(clean: Floats, noise: npt.NDArray[np.floating], voiced: Mask,
               snr_db: float) -> Floats:
    """clean + noise scaled so that the voiced speech is snr_db above the
    noise's mean power, clipped to [-1, 1]."""
    n = np.asarray(noise, np.float64)
    speech_power = np.mean(np.square(clean[voiced], dtype=np.float64))
    n = n * np.sqrt(speech_power / 10 ** (snr_db / 10) / np.mean(np.square(n)))
    return np.asarray(np.clip(clean + n, -1.0, 1.0), np.float32)


def align(reference: npt.NDArray[np.floating], signal: npt.NDArray[np.floating],
          max_lag: int) -> tuple[int, Floats]:
    """(lag, signal moved back by lag): the lag within +-max_lag samples at
    which signal correlates best with reference; the result has the
    reference's length, zero where the signal does not reach."""
    from scipy.signal import correlate, correlation_lags

    ref = np.asarray(reference, np.float64)
    sig = np.asarray(signal, np.float64)
    correlation = correlate(sig, ref, mode="full", method="fft")
    lags = correlation_lags(len(sig), len(ref), mode="full")
    window = np.abs(lags) <= max_lag
    lag = int(lags[window][np.argmax(correlation[window])])
    moved = np.zeros(len(ref), np.float32)
    source = sig[max(lag, 0):]
    start = max(-lag, 0)
    count = max(0, min(len(ref) - start, len(source)))
    moved[start:start + count] = source[:count]
    return lag, moved


def scores_available() -> bool:
    """Whether PESQ and STOI can be computed here (pesq, pystoi installed)."""
    return all(importlib.util.find_spec(name) is not None for name in ("pesq", "pystoi"))


@dataclass(frozen=True)
class Scores:
    pesq_wb: float
    stoi: float


def scores(clean: npt.NDArray[np.floating], degraded: npt.NDArray[np.floating]) -> Scores:
    """Wide-band PESQ and STOI of `degraded` against `clean`, both at 16 kHz
    mono, of the same length and already aligned."""
    from pesq import pesq
    from pystoi import stoi

    ref = np.asarray(clean, np.float64)
    deg = np.asarray(degraded, np.float64)
    return Scores(float(pesq(PESQ_RATE, ref, deg, "wb")), float(stoi(ref, deg, PESQ_RATE)))


def word_error_rate(references: Sequence[str], hypotheses: Sequence[str]) -> float:
    """Word errors (substitutions, deletions, insertions) over the reference
    words, pooled over pairs of texts."""
    import jiwer

    return float(jiwer.wer(list(references), list(hypotheses)))
