"""Noise suppression quality of the engine's `denoise`, beside RNNoise.

Clean speech: the five LibriVox clips of pocketsphinx-testdata joined with
0.5 s pauses, and goforward.raw. Noise: white, pink (sox) and babble (other
recordings of the same package) at 0, 5 and 10 dB SNR over the voiced speech,
at 16 kHz mono and at 44.1 kHz stereo (the speech resampled with soxr; the
right channel's noise is the left's from half way through, so it differs).

For each condition: the noisy input, the engine's default denoise, each
single suppressor KOLTA_ENGINE_SUPPRESSOR names (where it gives other audio
than the default), and RNNoise (PyPI pyrnnoise, run at 48 kHz) as the
reference:

- PESQ wide-band and STOI against the clean speech at 16 kHz, each output
  first aligned with it by cross-correlation (stereo: the mean of the two
  channels);
- the noise cut in the clean speech's pauses (runs of quiet 10 ms blocks,
  from its energy) from 0.5 s on and over the first 0.5 s (the noise
  estimate settling), and the change of the speech level over its voiced
  blocks;
- the engine's word error rate (kolta.transcribe) on the noisy and the
  denoised speech at 5 and 10 dB, 16 kHz mono, both clips pooled, against
  the LibriVox transcription and the recogniser's own words for the clean
  goforward.raw (the package has no transcription of it);
- speed: kolta.denoise on 2 minutes of noisy speech, 16 kHz mono, local
  inference, pinned to one core; and the same streamed in 20 ms chunks
  (bench_alignment.py's measurement).

    .venv/bin/python bench/bench_denoise.py [--json] [--quick] [--workers N]

Needs requirements-bench.txt (make bench installs it). --quick: 5 dB only.
"""

from __future__ import annotations

import argparse
import importlib.util
import multiprocessing
import os
import sys
import tempfile
import time
from dataclasses import dataclass
from multiprocessing.pool import AsyncResult
from typing import Any

import numpy as np
import numpy.typing as npt
import soxr

from bench_alignment import run_stream
from common import environment, main, signed_in_sdk
from denoise_report import NAMED, render

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "examples"))

import kolta  # noqa: E402
from clip import (RATE, TESTDATA, librivox_transcripts, noise, read_speech,  # noqa: E402
                  speech_and_pauses)
from speech_quality import (align, level_db, mix_at_snr, pause_mask, scores,  # noqa: E402
                            voiced_mask, word_error_rate)

CLIPS = ("librivox", "goforward")
NOISES = ("white", "pink", "babble")
SNRS_DB = (0.0, 5.0, 10.0)
WER_SNRS_DB = (5.0, 10.0)
FORMATS = ((RATE, 1), (44100, 2))
SETTLE_S = 0.5
MAX_LAG_S = 0.05  # every suppressor here delays by far less
SPEED_SECONDS = 120
TASK_DEADLINE_S = 900  # one condition or one transcription, on a busy machine
NEEDED = ("scipy", "pesq", "pystoi", "jiwer")
Floats = npt.NDArray[np.float32]
Mask = npt.NDArray[np.bool_]


@dataclass(frozen=True)
class Condition:
    clip: str
    noise: str
    snr_db: float
    rate: int
    channels: int

    @property
    def format(self) -> str:
        return f"{self.rate / 1000:g} kHz {'mono' if self.channels == 1 else 'stereo'}"

    @property
    def label(self) -> str:
        return f"{self.clip} {self.noise} {self.snr_db:g} dB, {self.format}"


@dataclass(frozen=True)
class Material:
    clean16: Floats  # the reference of PESQ and STOI
    clean: Floats  # at the condition's rate
    noisy: Floats  # (frames, channels)
    voiced: Mask
    late_pauses: Mask  # from SETTLE_S on
    first_pauses: Mask  # before SETTLE_S


def clean_clip(name: str) -> Floats:
    if name == "librivox":
        return speech_and_pauses()[0]
    return read_speech(os.path.join(TESTDATA, "goforward.raw"))


def fit(x: npt.NDArray[Any], n: int) -> Floats:
    """x cut or padded with zeros to n samples (resampling rounds lengths)."""
    out = np.zeros(n, np.float32)
    out[:min(n, len(x))] = x[:n]
    return out


def material(c: Condition) -> Material:
    clean16 = clean_clip(c.clip)
    clean = clean16 if c.rate == RATE else fit(soxr.resample(clean16, RATE, c.rate),
                                              round(len(clean16) * c.rate / RATE))
    voiced = voiced_mask(clean, c.rate)
    base = noise(c.noise, len(clean), rate=c.rate)
    noisy = np.stack([mix_at_snr(clean, np.roll(base, ch * len(base) // 2), voiced, c.snr_db)
                      for ch in range(c.channels)], axis=1)
    pauses = pause_mask(clean, c.rate)
    settle = int(SETTLE_S * c.rate)
    late, first = pauses.copy(), pauses.copy()
    late[:settle] = False
    first[settle:] = False
    return Material(clean16, clean, noisy, voiced, late, first)


def engine(noisy: Floats, rate: int, suppressor: str | None, storage: str) -> Floats:
    """The engine's denoise (suppressor None: its default), local inference."""
    with environment(KOLTA_ENGINE_SUPPRESSOR=suppressor, KOLTA_LOCAL_INFERENCING="1"):
        return np.asarray(kolta.denoise(noisy, rate, storage_dir=storage), np.float32)


def rnnoise_unusable() -> str | None:
    """Why RNNoise cannot run here, or None."""
    try:
        import pyrnnoise.rnnoise  # noqa: F401
    except (ImportError, OSError) as error:
        return f"pyrnnoise is not usable ({error})"
    return None


def rnnoise(noisy: Floats, rate: int) -> Floats:
    """RNNoise on each channel at its own 48 kHz, resampled there and back."""
    from pyrnnoise.rnnoise import FRAME_SIZE, SAMPLE_RATE, create, destroy, process_mono_frame

    columns = []
    for channel in noisy.T:
        x = np.clip(soxr.resample(channel, rate, SAMPLE_RATE), -1.0, 1.0)
        x = np.pad(x, (0, -len(x) % FRAME_SIZE))
        state = create()
        try:
            frames = [process_mono_frame(state, x[i:i + FRAME_SIZE])[0]
                      for i in range(0, len(x), FRAME_SIZE)]
        finally:
            destroy(state)
        denoised = (np.concatenate(frames) / 32767).astype(np.float32)  # its int16 scale
        columns.append(fit(soxr.resample(denoised, SAMPLE_RATE, rate), len(channel)))
    return np.stack(columns, axis=1)


def measure(m: Material, rate: int, out: Floats, levels: bool = True) -> dict[str, Any]:
    """Scores of one output (frames, channels) after alignment; with `levels`,
    also the noise cut in the pauses and the speech level change."""
    lags, moved, pesq_wb, stoi = [], [], [], []
    for channel in out.T:
        lag, aligned = align(m.clean, channel, int(MAX_LAG_S * rate))
        at16 = aligned if rate == RATE else fit(soxr.resample(aligned, rate, RATE),
                                                len(m.clean16))
        score = scores(m.clean16, at16)
        lags.append(lag)
        moved.append(aligned)
        pesq_wb.append(score.pesq_wb)
        stoi.append(score.stoi)
    figures: dict[str, Any] = {"pesq_wb": float(np.mean(pesq_wb)), "stoi": float(np.mean(stoi)),
                               "lag_frames": lags}
    if levels:
        both = np.stack(moved, axis=1)

        def cut(pauses: Mask) -> float | None:
            if not pauses.any():
                return None
            return round(level_db(m.noisy[pauses]) - level_db(both[pauses]), 2)

        figures.update({"cut_db": cut(m.late_pauses), "first_cut_db": cut(m.first_pauses),
                        "speech_db": round(level_db(both[m.voiced])
                                           - level_db(m.clean[m.voiced]), 2)})
    return figures


def own_storage(storage: str) -> str:
    """A storage folder per worker process, under the run's."""
    return os.path.join(storage, f"worker-{os.getpid()}")


def score_condition(c: Condition, storage: str) -> dict[str, Any]:
    storage = own_storage(storage)
    m = material(c)
    systems = {"noisy": measure(m, c.rate, m.noisy, levels=False)}
    default = engine(m.noisy, c.rate, None, storage)
    systems["default"] = measure(m, c.rate, default)
    for name in NAMED:
        out = engine(m.noisy, c.rate, name, storage)
        # WebRTC does not run at every rate: there the engine runs speexdsp alone.
        systems[name] = ({"same_as": "default"} if np.array_equal(out, default)
                         else measure(m, c.rate, out))
    reason = rnnoise_unusable()
    systems["rnnoise"] = ({"skipped": reason} if reason
                          else measure(m, c.rate, rnnoise(m.noisy, c.rate)))
    return {"clip": c.clip, "noise": c.noise, "snr_db": c.snr_db, "rate": c.rate,
            "channels": c.channels, "format": c.format, "label": c.label, "systems": systems}


def words(samples: Floats, storage: str) -> str:
    """The engine's recogniser on 16 kHz mono speech, its final words joined."""
    with environment(KOLTA_LOCAL_INFERENCING="1", KOLTA_ENGINE_TRANSCRIPTS=None):
        segments = kolta.transcribe(samples, RATE, storage_dir=storage)
    return " ".join(s.text for s in segments)


def transcribe_clean(clip: str, storage: str) -> str:
    return words(clean_clip(clip), own_storage(storage))


def transcribe_condition(c: Condition, storage: str) -> dict[str, str]:
    storage = own_storage(storage)
    m = material(c)
    denoised = engine(m.noisy, c.rate, None, storage)
    return {"noisy": words(m.noisy[:, 0], storage), "denoised": words(denoised[:, 0], storage)}


def speed(storage: str, repeats: int) -> dict[str, Any]:
    """The default denoise at 16 kHz mono, this thread (and the threads it
    starts) pinned to one core: the best of `repeats`."""
    clean, voiced, _ = speech_and_pauses()
    one = mix_at_snr(clean, noise("white", len(clean)), voiced, 10.0)
    signal = np.tile(one, -(-SPEED_SECONDS * RATE // len(one)))
    audio_s = len(signal) / RATE
    cpus = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cpus)})
    try:
        engine(signal[:RATE], RATE, None, storage)  # the first sign-in starts the service
        walls, cpu = [], []
        for _ in range(repeats):
            began, began_cpu = time.perf_counter(), time.process_time()
            engine(signal, RATE, None, storage)
            walls.append(time.perf_counter() - began)
            cpu.append(time.process_time() - began_cpu)
        with signed_in_sdk() as (sdk, _):
            streamed = min(run_stream(sdk, "denoise", None, RATE, 1, signal)[1]
                           for _ in range(repeats))
    finally:
        os.sched_setaffinity(0, cpus)
    return {"audio_s": audio_s, "x_real_time": audio_s / min(walls),
            "x_real_time_cpu": audio_s / min(cpu), "streamed_x_real_time": audio_s / streamed}


def wer_table(clean: dict[str, str], noisy: dict[tuple[str, float], dict[str, dict[str, str]]]
              ) -> dict[str, Any]:
    references = {"librivox": " ".join(text for _, text in librivox_transcripts()),
                  "goforward": clean["goforward"]}
    refs = [references[clip] for clip in CLIPS]
    rows = []
    for (kind, snr), by_clip in noisy.items():
        rows.append({"noise": kind, "snr_db": snr, **{
            f"{version}_percent": round(100 * word_error_rate(
                refs, [by_clip[clip][version] for clip in CLIPS]), 1)
            for version in ("noisy", "denoised")}, "texts": by_clip})
    return {"clips": " + ".join(CLIPS), "references": references,
            "reference_words": sum(len(r.split()) for r in refs),
            "clean_percent": round(100 * word_error_rate(refs, [clean[c] for c in CLIPS]), 1),
            "clean_texts": clean, "rows": rows}


def run(args: argparse.Namespace) -> dict[str, Any]:
    missing = [name for name in NEEDED if importlib.util.find_spec(name) is None]
    if missing:
        raise SystemExit(f"bench: {', '.join(missing)} missing: pip install -r "
                         "requirements-bench.txt (make bench does)")
    snrs = (5.0,) if args.quick else SNRS_DB
    wer_snrs = (5.0,) if args.quick else WER_SNRS_DB
    conditions = [Condition(clip, kind, snr, rate, channels) for rate, channels in FORMATS
                  for clip in CLIPS for kind in NOISES for snr in snrs]
    with tempfile.TemporaryDirectory(prefix="kolta-bench-denoise-") as storage:
        # Alone first: the workers below would share its core.
        result: dict[str, Any] = {"speed": speed(storage, args.repeats)}
        spawn = multiprocessing.get_context("spawn")  # a fresh engine in each worker
        # A Pool, not a ProcessPoolExecutor: leaving it terminates the workers,
        # so a deadline passed ends the run instead of waiting on a hung worker.
        with spawn.Pool(args.workers) as pool:
            # The transcriptions take longest: first in the queue.
            heard: dict[tuple[str, float], dict[str, AsyncResult[dict[str, str]]]] = {
                (kind, snr): {clip: pool.apply_async(transcribe_condition,
                                                     (Condition(clip, kind, snr, RATE, 1),
                                                      storage))
                              for clip in CLIPS}
                for kind in NOISES for snr in wer_snrs}
            clean = {clip: pool.apply_async(transcribe_clean, (clip, storage)) for clip in CLIPS}
            scored = [pool.apply_async(score_condition, (c, storage)) for c in conditions]
            result["conditions"] = [job.get(TASK_DEADLINE_S) for job in scored]
            result["wer"] = wer_table(
                {clip: job.get(TASK_DEADLINE_S) for clip, job in clean.items()},
                {key: {clip: job.get(TASK_DEADLINE_S) for clip, job in jobs.items()}
                 for key, jobs in heard.items()})
    result["rnnoise"] = rnnoise_unusable() or "pyrnnoise"
    return result


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--quick", action="store_true", help="5 dB SNR only")
    parser.add_argument("--workers", type=int, default=min(2, os.cpu_count() or 1),
                        help="processes scoring and transcribing (default 2)")


if __name__ == "__main__":
    main(run, configure, repeats=3, render=render)
