"""The measuring pieces of the noise suppression benchmark and the demo
(examples/speech_quality.py): speech and pauses from energy, mixing at an
SNR, alignment, word error rate, PESQ/STOI. The parts that need the
benchmark's packages (requirements-bench.txt) skip without them."""

import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(__file__)), "examples"))
import speech_quality as sq  # noqa: E402
from speech_data import GOFORWARD, MISSING  # noqa: E402


def tone(seconds, rate, db=0.0):
    t = np.arange(int(round(seconds * rate))) / rate
    return (10 ** (db / 20) * 0.5 * np.sin(2 * np.pi * 300 * t)).astype(np.float32)


def quiet(seconds, rate, seed=0):
    """Background 60 dB below the tones: not speech."""
    n = int(round(seconds * rate))
    return (0.5e-3 * np.random.default_rng(seed).standard_normal(n)).astype(np.float32)


@pytest.mark.parametrize("rate", [16000, 44100])
def test_speech_and_pauses_come_from_the_energy(rate):
    # pause, speech, a 50 ms gap (inside a word: no pause), speech, a stretch
    # 40 dB down (below the 30 dB floor: a pause), a pause, a partial block.
    parts = [quiet(0.3, rate), tone(0.5, rate), quiet(0.05, rate, 1), tone(0.4, rate),
             tone(0.2, rate, -40.0), quiet(0.15, rate, 2), tone(0.004, rate)]
    clean = np.concatenate(parts)
    edges = np.cumsum([0] + [len(p) for p in parts])
    voiced = sq.voiced_mask(clean, rate)
    pauses = sq.pause_mask(clean, rate)

    expected_voiced = np.zeros(len(clean), bool)
    for i in (1, 3):
        expected_voiced[edges[i]:edges[i + 1]] = True
    expected_pauses = np.zeros(len(clean), bool)
    expected_pauses[:edges[1]] = True
    expected_pauses[edges[4]:edges[6]] = True
    np.testing.assert_array_equal(voiced, expected_voiced)
    np.testing.assert_array_equal(pauses, expected_pauses)


@pytest.mark.parametrize("snr_db", [0.0, 5.0, 10.0])
def test_mixing_sets_the_snr_over_the_voiced_speech(snr_db):
    rate = 16000
    clean = np.concatenate([np.zeros(rate // 2, np.float32), tone(1.0, rate, -12.0)])
    voiced = sq.voiced_mask(clean, rate)
    noise = np.random.default_rng(4).standard_normal(len(clean)) * 7.0  # any level
    noisy = sq.mix_at_snr(clean, noise, voiced, snr_db)
    added = noisy.astype(np.float64) - clean
    np.testing.assert_allclose(added / np.linalg.norm(added), noise / np.linalg.norm(noise),
                               atol=1e-6)  # the noise itself, only scaled
    snr = sq.level_db(clean[voiced]) - sq.level_db(added)
    assert snr == pytest.approx(snr_db, abs=0.01)
    loud = sq.mix_at_snr(clean * 8, noise, voiced, snr_db)
    assert loud.dtype == np.float32 and np.abs(loud).max() <= 1.0


@pytest.mark.parametrize("lag", [-123, 0, 1, 77])
def test_alignment_finds_the_lag_and_moves_the_signal_back(lag):
    pytest.importorskip("scipy")
    rng = np.random.default_rng(9)
    reference = rng.standard_normal(4000).astype(np.float32)
    delayed = np.zeros(len(reference) + 200, np.float32)  # another length than the reference
    if lag >= 0:
        delayed[lag:lag + len(reference)] = reference
    else:
        delayed[:len(reference) + lag] = reference[-lag:]
    delayed += 0.3 * rng.standard_normal(len(delayed)).astype(np.float32)
    found, moved = sq.align(reference, delayed, max_lag=200)
    assert found == lag
    # moved[j] is delayed[j + lag], zero where that is outside the signal.
    source = np.arange(len(reference)) + lag
    inside = (source >= 0) & (source < len(delayed))
    expected = np.zeros(len(reference), np.float32)
    expected[inside] = delayed[source[inside]]
    np.testing.assert_array_equal(moved, expected)
    assert np.corrcoef(moved[inside], reference[inside])[0, 1] > 0.9


def test_alignment_searches_only_within_the_largest_lag():
    pytest.importorskip("scipy")
    reference = np.random.default_rng(2).standard_normal(2000)
    far = np.concatenate([np.zeros(300), reference])
    found, _ = sq.align(reference, far, max_lag=100)
    assert abs(found) <= 100


@pytest.mark.parametrize("references,hypotheses,errors,words", [
    (["go forward ten meters"], ["go forward ten meters"], 0, 4),
    (["go forward ten meters"], ["go forward two meters"], 1, 4),  # substitution
    (["go forward ten meters"], ["go ten meters"], 1, 4),  # deletion
    (["go forward ten meters"], ["go go forward ten meters now"], 2, 4),  # insertions
    (["go forward ten meters"], [""], 4, 4),  # nothing heard
    # Pooled: errors over all the reference words, not a mean of the rates.
    (["he was", "not an ill disposed man"], ["he is", "not an ill disposed man"], 1, 7),
])
def test_word_error_rate(references, hypotheses, errors, words):
    pytest.importorskip("jiwer")
    assert sq.word_error_rate(references, hypotheses) == pytest.approx(errors / words)


def test_scores_fall_as_the_noise_rises():
    pytest.importorskip("pesq")
    pytest.importorskip("pystoi")
    from clip import read_speech
    if not os.path.exists(GOFORWARD):
        pytest.skip(MISSING)
    clean = read_speech(GOFORWARD)
    voiced = sq.voiced_mask(clean, sq.PESQ_RATE)
    noise = np.random.default_rng(5).standard_normal(len(clean))
    figures = [sq.scores(clean, sq.mix_at_snr(clean, noise, voiced, snr)) for snr in (20, 5, 0)]
    assert figures[0].pesq_wb > figures[1].pesq_wb > figures[2].pesq_wb
    assert figures[0].stoi > figures[1].stoi > figures[2].stoi
