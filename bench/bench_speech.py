"""The speech models side by side on recorded speech (pocketsphinx-testdata):

- noise suppression, speexdsp, WebRTC and the engine's default (speexdsp
  then WebRTC), on the five LibriVox clips with
  white, pink and babble noise at 5 dB SNR: noise lowered in the pauses from
  0.5 s on, speech level against the clean speech; settle time on noise
  alone; what a steady tone present from the start becomes;
- recognition: the words of goforward.raw, and the word error rate of the
  engine's streaming recogniser beside Debian's pocketsphinx_continuous on the
  same audio, clean and at 20 dB SNR;
- process_frame latency with the recogniser running, against placeholder
  transcripts;
- the time create_audio_processor takes with the recogniser, for the first
  processor of a process (it waits for the model check) and the next one.

    .venv/bin/python bench/bench_speech.py [--json] [--quick]

--quick leaves out the word error rates and the latency (the slow parts).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any

import numpy as np
import numpy.typing as npt

from common import DEMO_KEY, attributes, environment, main, percentile, signed_in_sdk

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "examples"))

import _kolta_module as kolta  # noqa: E402
from clip import (RATE, TESTDATA, level_db, librivox_transcripts, mix,  # noqa: E402
                  speech_and_pauses)
import soundfile as sf  # noqa: E402
from speech_quality import word_error_rate  # noqa: E402

CHUNK = RATE // 50
SUPPRESSORS = ("speexdsp", "webrtc", "speexdsp+webrtc")
# pocketsphinx_continuous on the joined clips; minutes at most on a busy machine.
CONTINUOUS_DEADLINE_S = 600
Floats = npt.NDArray[np.float32]


def stream(processor: kolta.AudioProcessor, signal: Floats,
           latencies: list[float] | None = None) -> Floats:
    padded = np.zeros(-(-len(signal) // CHUNK) * CHUNK, np.float32)
    padded[:len(signal)] = signal
    pieces = []
    for start in range(0, len(padded), CHUNK):
        frame = kolta.AudioFrame(padded[start:start + CHUNK])
        began = time.perf_counter_ns()
        out = processor.process_frame(frame)
        if latencies is not None:
            latencies.append((time.perf_counter_ns() - began) / 1000)
        pieces.append(np.frombuffer(out.samples, np.float32).copy())
    silence = np.zeros(CHUNK, np.float32)
    while True:
        out = processor.process_frame(kolta.AudioFrame(silence))
        if out.frame_count == 0:
            break
        pieces.append(np.frombuffer(out.samples, np.float32).copy())
    return np.concatenate(pieces)[:len(signal)]


def denoise(sdk: kolta.Sdk, suppressor: str, signal: Floats) -> Floats:
    with environment(KOLTA_ENGINE_SUPPRESSOR=suppressor, KOLTA_LOCAL_INFERENCING="1"):
        with sdk.create_audio_processor(attributes("denoise")) as processor:
            denoised = stream(processor, signal)
    return denoised


def suppression(sdk: kolta.Sdk) -> dict[str, Any]:
    clean, voiced, pauses = speech_and_pauses()
    pauses[:int(0.5 * RATE)] = False  # from 0.5 s on
    table: dict[str, Any] = {}
    for kind in ("white", "pink", "babble"):
        noisy = mix(clean, voiced, kind, 5.0)
        for suppressor in SUPPRESSORS:
            out = denoise(sdk, suppressor, noisy)
            table[f"{suppressor}/{kind}"] = {
                "noise_db": round(level_db(out[pauses]) - level_db(noisy[pauses]), 1),
                "speech_db": round(level_db(out[voiced]) - level_db(clean[voiced]), 1)}
    return table


def settle_and_tone(sdk: kolta.Sdk) -> dict[str, Any]:
    """Settle: white noise at -30 dBFS alone, the first 100 ms window from which
    the reduction stays within 3 dB of its last-second value. Tone: 440 Hz at
    -20 dBFS present from the start, over the same noise, level change in its
    last second."""
    rng = np.random.default_rng(3)
    n = 4 * RATE
    noise_only = (rng.standard_normal(n) * 10 ** (-30 / 20)).astype(np.float32)
    t = np.arange(n) / RATE
    tone = (10 ** (-20 / 20) * np.sqrt(2) * np.sin(2 * np.pi * 440 * t)).astype(np.float32)
    result: dict[str, Any] = {}
    window = RATE // 10
    for suppressor in SUPPRESSORS:
        out = denoise(sdk, suppressor, noise_only)
        drops = [level_db(noise_only[i:i + window]) - level_db(out[i:i + window])
                 for i in range(0, n - window + 1, window)]
        final = float(np.mean(drops[-10:]))
        settle = next(i for i in range(len(drops))
                      if all(abs(d - final) <= 3.0 for d in drops[i:])) / 10
        first = float(np.mean(drops[:10]))
        toned = denoise(sdk, suppressor, tone + noise_only)
        last = slice(3 * RATE, 4 * RATE)
        result[suppressor] = {"settle_s": settle, "first_second_db": round(-first, 1),
                              "settled_db": round(-final, 1),
                              "tone_db": round(level_db(toned[last]) - level_db(tone[last]), 1)}
    return result


def recognise(sdk: kolta.Sdk, signal: Floats, latencies: list[float] | None = None,
              placeholder: bool = False) -> list[str]:
    finals: list[str] = []
    lock = threading.Lock()

    def on_text(frame: kolta.TextFrame) -> None:
        if frame.type_ == kolta.TranscriptType.TRANSCRIPTION:
            with lock:
                finals.extend(s.text for s in frame.transcript_data_.complete)

    lt = kolta.LanguageTranslationConfig("en-US", "es-ES", callback=on_text)
    with environment(KOLTA_LOCAL_INFERENCING="1",
                     KOLTA_ENGINE_TRANSCRIPTS="placeholder" if placeholder else None):
        with sdk.create_audio_processor(attributes("", lt=lt)) as processor:
            stream(processor, signal, latencies)
    return finals  # close() waited for the recogniser to finish


def continuous(signal: Floats) -> list[str]:
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "in.wav")
        sf.write(path, signal, RATE, subtype="PCM_16")
        run = subprocess.run(["pocketsphinx_continuous", "-infile", path],
                             capture_output=True, text=True, check=True,
                             timeout=CONTINUOUS_DEADLINE_S)
    return [line for line in run.stdout.splitlines() if line.strip()]


def wer(sdk: kolta.Sdk) -> dict[str, Any]:
    clean, voiced, _ = speech_and_pauses()
    reference = " ".join(words for _, words in librivox_transcripts())
    result: dict[str, Any] = {"reference_words": len(reference.split())}
    for name, signal in (("clean", clean), ("white_20dB", mix(clean, voiced, "white", 20)),
                         ("pink_20dB", mix(clean, voiced, "pink", 20))):
        for who, texts in (("engine", recognise(sdk, signal)),
                           ("pocketsphinx_continuous", continuous(signal))):
            result[f"{who}/{name}"] = round(100 * word_error_rate([reference],
                                                                  [" ".join(texts)]), 1)
    return result


def goforward(sdk: kolta.Sdk) -> str:
    speech = np.fromfile(os.path.join(TESTDATA, "goforward.raw"), "<i2") / 32768.0
    lead = np.zeros(RATE // 2)
    return " ".join(recognise(sdk, np.concatenate([lead, speech, lead]).astype(np.float32)))


def latency(sdk: kolta.Sdk) -> dict[str, Any]:
    clean, voiced, _ = speech_and_pauses()
    noisy = mix(clean, voiced, "white", 20)
    result: dict[str, Any] = {}
    for name, placeholder in (("recogniser", False), ("placeholder", True)):
        times: list[float] = []
        recognise(sdk, noisy, times, placeholder)
        times.sort()
        result[name] = {"median_us": round(times[len(times) // 2], 1),
                        "p99_us": round(percentile(times, 0.99), 1)}
    return result


# Run in a fresh interpreter: the model is checked once per process.
CREATION = """
import sys, tempfile, time
import _kolta_module as kolta
sdk = kolta.create_sdk(kolta.InitParams(storage_dir=tempfile.mkdtemp()))
assert sdk.activate_api_key(sys.argv[1]).success
lt = kolta.LanguageTranslationConfig("en-US", "es-ES")
for _ in range(2):
    started = time.perf_counter()
    processor = sdk.create_audio_processor(
        kolta.ProcessorAttributes(kolta.AudioAttributes(), lt))
    print(time.perf_counter() - started)
    processor.close()
"""


def creation(runs: int = 5) -> dict[str, Any]:
    firsts: list[float] = []
    seconds: list[float] = []
    with environment(KOLTA_LOCAL_INFERENCING="1", KOLTA_ENGINE_TRANSCRIPTS=None):
        for _ in range(runs):
            out = subprocess.run([sys.executable, "-c", CREATION, DEMO_KEY], capture_output=True,
                                 text=True, check=True, timeout=120).stdout.split()
            firsts.append(float(out[0]))
            seconds.append(float(out[1]))
    return {"first_ms": round(1000 * sorted(firsts)[runs // 2], 1),
            "second_ms": round(1000 * sorted(seconds)[runs // 2], 1)}


def run(args: argparse.Namespace) -> dict[str, Any]:
    with signed_in_sdk() as (sdk, _):
        result = {"suppression_5dB": suppression(sdk), "settle_and_tone": settle_and_tone(sdk),
                  "goforward": goforward(sdk)}
        if not args.quick:
            result.update({"wer_percent": wer(sdk), "process_frame_latency": latency(sdk),
                           "processor_creation": creation()})
        return result


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--quick", action="store_true",
                        help="no word error rates, no latency")


if __name__ == "__main__":
    main(run, configure)
