"""Real-time sessions on the cloud path, for the stream benchmarks: each
session pushes a 20 ms chunk of noise every 20 ms, all from one pacing
thread, and notes when each chunk's processed audio is back (seen at a
later push, so rounded up to the pacing)."""

from __future__ import annotations

import contextlib
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field

from common import RATE, environment, kolta, noise

CHUNK = RATE // 50  # 20 ms
TICK_S = CHUNK / RATE
MAX_CHUNK_LATENCY_MS = 100.0


class PacedSession:
    """One real-time session: which chunk each returned sample belongs to,
    and when each chunk was sent."""

    def __init__(self, processor: kolta.AudioProcessor, seed: int) -> None:
        self.processor = processor
        self.chunk = noise(CHUNK, seed=seed)
        self.sent_at: list[float] = []
        self.returned = 0
        self.latencies_ms: list[float] = []

    def push(self, now: float) -> kolta.AudioFrame:
        self.sent_at.append(now)
        frame = self.processor.process_frame(kolta.AudioFrame(self.chunk))
        done_before = self.returned // CHUNK
        self.returned += frame.frame_count
        for index in range(done_before, self.returned // CHUNK):
            self.latencies_ms.append((now - self.sent_at[index]) * 1000)
        return frame


@dataclass
class Pacing:
    ticks: int = 0
    late_ticks: int = 0  # no time left to wait for: the previous pushes ran past it
    lag_ms: list[float] = field(default_factory=list)  # each tick's start after its due time


def pace(sessions: Sequence[PacedSession], seconds: float,
         before_tick: Callable[[int], bool] | None = None) -> Pacing:
    """Pushes a chunk to every session each 20 ms for `seconds`, or until
    `before_tick(tick)` says to stop."""
    pacing = Pacing()
    start = time.perf_counter()
    for tick in range(int(seconds / TICK_S)):
        if before_tick is not None and not before_tick(tick):
            break
        due = start + tick * TICK_S
        pause = due - time.perf_counter()
        if pause > 0:
            time.sleep(pause)
        else:
            pacing.late_ticks += 1
        now = time.perf_counter()
        pacing.lag_ms.append((now - due) * 1000)
        pacing.ticks += 1
        for session in sessions:
            session.push(now)
    return pacing


def cloud_attributes(pcm16: bool, notify: Callable[[kolta.PipelineState], object] | None = None
                     ) -> kolta.ProcessorAttributes:
    """`denoise` on the cloud path; `pcm16`: L16 on the wire, else the
    rate's default codec."""
    audio = kolta.AudioAttributes(sampling_rate=RATE, channels=1, model_name="denoise",
                                  audio_pipeline_state_notify=notify)
    params = kolta.CloudInferencingParams()
    params.use_pcm16 = pcm16
    audio.cloud_inferencing_params = params
    return kolta.ProcessorAttributes(audio, None)


@contextlib.contextmanager
def service_sdk(url: str, storage: str, key: str) -> Iterator[kolta.Sdk]:
    """An SDK signed in with `key` to the service at `url`; the processors
    created in the block stream to it."""
    with environment(KOLTA_SERVICE_URL=url, KOLTA_LOCAL_INFERENCING=None):
        sdk = kolta.create_sdk(kolta.InitParams(storage_dir=storage))
        result = sdk.activate_api_key(key)
        if not result.success:
            raise SystemExit(f"bench: the service at {url} refused the key: {result.message}")
        yield sdk
