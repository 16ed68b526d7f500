"""The cloud path's audio stream on loopback: what it adds to a chunk's
latency, how many real-time sessions one service core carries, and whether
its output is the local path's.

- Latency: a 20 ms chunk of noise then a drain chunk, timed together, on a
  `denoise` processor of the cloud path (the service embedded in the process)
  and of the local path, in alternating blocks. The drain returns once the
  chunk's processed audio is back, so the difference of the two is what the
  network and the service add to a chunk: p50 and p99 of the cloud path's
  times less the local path's median.
- Capacity: a standalone `kolta-server` on one thread; sessions stream 20 ms
  chunks in real time (one pacing thread pushes a chunk to every session
  each 20 ms). Sessions per core = seconds of audio streamed / CPU seconds
  the service used (its /proc stat), and at that load the share of chunks
  whose processed audio was back within 100 ms (seen at the next push, so
  rounded up to the 20 ms pacing).
- Fidelity: 16-bit input through the cloud path with `use_pcm16` (L16) equals
  the local path's output as 16-bit values, sample for sample; through Opus
  (the default at 16 kHz), its SNR against the local path's output and the
  noise each leaves in the pauses of a tone under noise.
- Bytes on the wire per second of a session, both ways, L16 and Opus: the
  standalone service's /metrics counters over a run of 20 s of audio each."""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from typing import Any

import numpy as np
import numpy.typing as npt

from kolta.streams import AlignedStream

from common import (RATE, TEST_KEY, attributes, environment, kolta, main, median, noise,
                    now_ns, percentile)
from service import cpu_seconds, metric_sum, standalone_service
from sessions import (CHUNK, MAX_CHUNK_LATENCY_MS, PacedSession, cloud_attributes, pace,
                      service_sdk)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "examples"))

from speech_quality import level_db  # noqa: E402


def push_and_drain_ms(processor: kolta.AudioProcessor, chunk: npt.NDArray[np.float32],
                      drain: npt.NDArray[np.float32]) -> float:
    start = now_ns()
    returned = processor.process_frame(kolta.AudioFrame(chunk)).frame_count
    while returned < len(chunk):
        tail = processor.process_frame(kolta.AudioFrame(drain)).frame_count
        if tail == 0:
            raise SystemExit("bench: a drain gave back less than was sent")
        returned += tail
    return (now_ns() - start) / 1e6


def chunk_latency(sdk: kolta.Sdk, repeats: int, chunks: int) -> dict[str, float]:
    chunk, drain = noise(CHUNK, seed=3), np.zeros(CHUNK, dtype=np.float32)
    times: dict[str, list[float]] = {"cloud": [], "local": []}
    processors = {}
    for path, local_switch in (("cloud", None), ("local", "1")):
        with environment(KOLTA_LOCAL_INFERENCING=local_switch):
            processors[path] = sdk.create_audio_processor(attributes("denoise"))
    for _ in range(repeats):
        for path, processor in processors.items():
            for _ in range(chunks):
                times[path].append(push_and_drain_ms(processor, chunk, drain))
    for processor in processors.values():
        processor.close()
    local = median(times["local"])
    added = [t - local for t in times["cloud"]]
    return {"local_median_ms": local, "cloud_median_ms": median(times["cloud"]),
            "added_p50_ms": percentile(added, 0.5), "added_p99_ms": percentile(added, 0.99),
            "chunks": len(added)}


def aligned_output(processor: kolta.AudioProcessor,
                   values: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    with processor:
        stream = AlignedStream(processor, RATE, 1)
        pieces = [stream.feed(values[at:at + CHUNK]) for at in range(0, len(values), CHUNK)]
        pieces.append(stream.finish())
    return np.concatenate(pieces).astype(np.float32)


def stream_bytes(url: str) -> int:
    return int(metric_sum(url, "kolta_stream_received_bytes_total",
                          "kolta_stream_sent_bytes_total"))


def wire_bytes_per_second(url: str, storage: str) -> dict[str, float]:
    values = noise(RATE * 20, seed=7)
    result = {}
    with service_sdk(url, storage, TEST_KEY) as sdk:
        for codec, pcm16 in (("l16", True), ("opus", False)):
            before = stream_bytes(url)
            aligned_output(sdk.create_audio_processor(cloud_attributes(pcm16)), values)
            result[codec] = (stream_bytes(url) - before) / (len(values) / RATE)
    return result


def capacity(url: str, pid: int, storage: str, sessions: int,
             seconds: float) -> dict[str, float]:
    with service_sdk(url, storage, TEST_KEY) as sdk:
        paced = [PacedSession(sdk.create_audio_processor(attributes("denoise")), seed=i + 1)
                 for i in range(sessions)]
    # A session whose stream is not open passes its audio through at once,
    # which would count as answered in time.
    opened = metric_sum(url, "kolta_streams_open")
    if opened != sessions:
        raise SystemExit(f"bench: {opened:.0f} of {sessions} streams open")
    cpu_before = cpu_seconds(pid)
    pacing = pace(paced, seconds)
    cpu_used = cpu_seconds(pid) - cpu_before
    for session in paced:
        session.processor.close()
    latencies = [value for session in paced for value in session.latencies_ms]
    sent = pacing.ticks * sessions
    within = sum(1 for value in latencies if value <= MAX_CHUNK_LATENCY_MS)
    audio_seconds = sent * CHUNK / RATE
    return {"sessions": sessions, "audio_s": audio_seconds, "service_cpu_s": cpu_used,
            "sessions_per_core": audio_seconds / max(cpu_used, 1e-9),
            "chunks_back_within_100ms": within / sent, "late_pacing_ticks": pacing.late_ticks,
            "latency_p99_ms": percentile(latencies, 0.99) if latencies else float("inf")}


def pcm16(values: npt.NDArray[np.float32]) -> npt.NDArray[np.int32]:
    """Float samples as the engine writes them in 16 bits (half away from 0)."""
    scaled = values.astype(np.float32) * np.float32(32768)
    rounded = np.sign(scaled) * np.floor(np.abs(scaled) + 0.5)
    clipped: npt.NDArray[np.int32] = np.clip(rounded, -32768, 32767).astype(np.int32)
    return clipped


def fidelity(sdk: kolta.Sdk) -> dict[str, float]:
    """The cloud path (L16 and Opus) against the local path on 16-bit input:
    a 220 Hz tone switched on and off under white noise."""
    rng = np.random.default_rng(5)
    t = np.arange(RATE * 4) / RATE
    tone_on = np.sin(2 * np.pi * 0.5 * t) > 0
    signal = 0.2 * np.sin(2 * np.pi * 220 * t) * tone_on + 0.02 * rng.standard_normal(t.size)
    values = (np.round(signal * 32767) / 32768.0).astype(np.float32)
    with environment(KOLTA_LOCAL_INFERENCING="1"):
        local = aligned_output(sdk.create_audio_processor(attributes("denoise")), values)
    l16 = aligned_output(sdk.create_audio_processor(cloud_attributes(True)), values)
    opus = aligned_output(sdk.create_audio_processor(cloud_attributes(False)), values)
    pauses = ~tone_on
    pauses[:RATE // 2] = False  # the suppressors settle first
    return {"values": len(values),
            "differing_16_bit_values": int(np.count_nonzero(pcm16(l16) != pcm16(local))),
            "opus_snr_db": level_db(local) - level_db(opus - local),
            "local_pause_cut_db": level_db(values[pauses]) - level_db(local[pauses]),
            "opus_pause_cut_db": level_db(values[pauses]) - level_db(opus[pauses])}


def run(args: argparse.Namespace) -> dict[str, Any]:
    with tempfile.TemporaryDirectory(prefix="kolta-bench-stream-") as work, \
            environment(KOLTA_SERVICE_URL=None, KOLTA_ENGINE_FAULTS=None,
                        KOLTA_ENGINE_CLOUD=None):
        sdk = kolta.create_sdk(kolta.InitParams(storage_dir=os.path.join(work, "embedded")))
        if not sdk.activate_api_key(TEST_KEY).success:
            raise SystemExit("bench: the embedded service refused the test key")
        result: dict[str, Any] = {
            "latency": chunk_latency(sdk, args.repeats, args.chunks),
            "fidelity": fidelity(sdk)}
        with standalone_service(os.path.join(work, "service")) as (url, pid):
            result["capacity"] = capacity(url, pid, os.path.join(work, "client"),
                                          args.sessions, args.seconds)
            result["wire_bytes_per_second"] = wire_bytes_per_second(
                url, os.path.join(work, "client"))
    return result


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--chunks", type=int, default=100, help="timed chunks per block")
    parser.add_argument("--sessions", type=int, default=100,
                        help="real-time sessions of the capacity run")
    parser.add_argument("--seconds", type=float, default=10.0,
                        help="length of the capacity run")


if __name__ == "__main__":
    main(run, configure, repeats=5)
