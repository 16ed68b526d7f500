"""Memory stays flat: 100,000 process_frame calls and 10,000 delivered TextFrames.

"Flat" means growth after a warm-up below LIMIT_RSS (resident set, from
/proc/self/statm) and LIMIT_TRACED (Python allocations still alive, from
tracemalloc). A leak of one small object per call (a 16-byte block, a frame
record, a string) over the measured calls or frames exceeds both by far; the
allowance covers allocator caches and arena rounding, which do not grow with
the count. Reference counts of the callables and arrays return to baseline."""

import gc
import os
import sys
import threading
import tracemalloc

import numpy as np
import pytest

import _kolta_module as m

with open("/proc/self/maps") as maps:
    SANITIZED = "libasan" in maps.read()

# ASan keeps freed memory in quarantine and tracemalloc's own records are
# reported by LeakSanitizer: neither figure means anything in that build.
pytestmark = [pytest.mark.stress,
              pytest.mark.skipif(SANITIZED, reason="memory is not measurable under ASan")]

CALLS, WARM_UP_CALLS = 100_000, 5_000
FRAMES, WARM_UP_FRAMES = 10_000, 1_000
LIMIT_RSS = 1 << 20     # 1 MiB: 95,000 calls x 11 bytes, 9,000 frames x 117 bytes
LIMIT_TRACED = 64 << 10  # 64 KiB: under one byte per call, 8 bytes per frame
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


def measure():
    gc.collect()
    return rss(), tracemalloc.get_traced_memory()[0]


@pytest.fixture
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.mark.timeout(600)
@pytest.mark.parametrize("model", ["passthrough", "denoise"])
def test_process_frame_memory_is_flat(sdk, engine_env, traced, model, figures):
    engine_env.setenv("KOLTA_LOCAL_INFERENCING", "1")
    processor = sdk.create_audio_processor(
        m.ProcessorAttributes(m.AudioAttributes(16000, 1, model)))
    rng = np.random.default_rng(7)
    chunks = [rng.uniform(-0.5, 0.5, 320).astype(np.float32) for _ in range(8)]
    chunks.append(np.zeros(320, np.float32))  # a drain now and then
    array_refs = [sys.getrefcount(c) for c in chunks]
    processor_refs = sys.getrefcount(processor)
    checksum = 0.0

    def run(calls):
        nonlocal checksum
        for i in range(calls):
            out = processor.process_frame(m.AudioFrame(chunks[i % len(chunks)]))
            if out.frame_count:
                checksum += out.samples[0]  # read through a fresh view each time

    run(WARM_UP_CALLS)
    rss_before, traced_before = measure()
    run(CALLS - WARM_UP_CALLS)
    rss_after, traced_after = measure()
    processor.close()

    assert [sys.getrefcount(c) for c in chunks] == array_refs
    assert sys.getrefcount(processor) == processor_refs
    assert np.isfinite(checksum)
    figures(f"{model}: {CALLS} calls, RSS {rss_before / 2**20:.2f} -> "
            f"{rss_after / 2**20:.2f} MiB, traced {traced_before} -> {traced_after} B")
    assert rss_after - rss_before < LIMIT_RSS
    assert traced_after - traced_before < LIMIT_TRACED


@pytest.mark.timeout(600)
def test_delivered_text_frames_leave_nothing_behind(sdk, engine_env, traced, figures):
    seen = {"frames": 0, "chars": 0}
    done = threading.Event()

    def on_text(frame):
        data = frame.transcript_data_
        seen["frames"] += 1
        seen["chars"] += len(data.complete[0].text) + len(data.language_code_)
        if seen["frames"] == target:
            done.set()

    def on_state(state):
        pass

    refs = (sys.getrefcount(on_text), sys.getrefcount(on_state))

    def deliver(count):
        nonlocal target
        target = seen["frames"] + count
        done.clear()
        engine_env.setenv("KOLTA_ENGINE_FAULTS", f"connect_delay_ms=0,transcript_flood={count}")
        lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=on_text)
        attrs = m.ProcessorAttributes(
            m.AudioAttributes(16000, 1, "", audio_pipeline_state_notify=on_state), lt)
        processor = sdk.create_audio_processor(attrs)
        assert done.wait(120), "the flood was not delivered"
        processor.close()

    target = 0
    deliver(WARM_UP_FRAMES)
    rss_before, traced_before = measure()
    deliver(FRAMES)
    rss_after, traced_after = measure()

    assert seen["frames"] == WARM_UP_FRAMES + FRAMES
    assert seen["chars"] > 0
    assert (sys.getrefcount(on_text), sys.getrefcount(on_state)) == refs
    figures(f"{FRAMES} TextFrames: RSS {rss_before / 2**20:.2f} -> "
            f"{rss_after / 2**20:.2f} MiB, traced {traced_before} -> {traced_after} B")
    assert rss_after - rss_before < LIMIT_RSS
    assert traced_after - traced_before < LIMIT_TRACED
