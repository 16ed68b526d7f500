"""Processors created and dropped while their engine threads deliver floods of
pipeline states and transcripts to Python callables that raise every other call."""

import gc
import sys
import threading
import time

import numpy as np
import pytest

import _kolta_module as m

pytestmark = pytest.mark.stress

PROCESSORS = 500
STATE_FLOOD = 20
TEXT_FLOOD = 20
STORM_THREADS = 2
TEXTS_PER_STORM_THREAD = 10  # fixed by the engine
# TRYING, RUNNING, the flood, NOT_RUNNING (delivered before teardown returns).
STATES_PER_PROCESSOR = STATE_FLOOD + 3
TEXTS_PER_PROCESSOR = TEXT_FLOOD + STORM_THREADS * TEXTS_PER_STORM_THREAD


class EveryOtherRaises:
    """Counts calls and raises on every second one. Several engine threads call
    it at once, so the counts are kept under a lock (`+=` alone could lose an
    update at a GIL hand-off)."""

    def __init__(self, kind):
        self.kind, self.calls, self.raised, self.wrong = kind, 0, 0, 0
        self.lock = threading.Lock()

    def __call__(self, value):
        with self.lock:
            self.calls += 1
            calls = self.calls
            if not isinstance(value, self.kind):
                self.wrong += 1
            if calls % 2 == 0:
                self.raised += 1
        if calls % 2 == 0:
            raise ValueError(f"call {calls}")


def drop_plainly(box):
    box.pop()


def drop_by_close(box):
    box[0].close()
    box.pop()


def drop_in_context(box):
    with box.pop():
        pass


def drop_through_gc(box):
    # A reference cycle: the processor dies inside a garbage collection.
    cycle = [box.pop()]
    cycle.append(cycle)
    del cycle
    gc.collect()


def drop_on_another_thread(box):
    t = threading.Thread(target=box.pop)
    t.start()
    t.join(60)
    assert not t.is_alive()


def settle(on_state, states, on_text, texts, timeout=60):
    """Waits (bounded) for the last deliveries, collecting garbage meanwhile.
    `gc.collect()` does nothing while another thread's collection is running,
    and such a collection releases the GIL while it tears a processor down: a
    cycle dropped by `drop_through_gc` at that moment outlives its
    `gc.collect()`, and its processor's final NOT_RUNNING comes only when a
    later collection finds it."""
    deadline = time.monotonic() + timeout
    while on_state.calls < states or on_text.calls < texts:
        if time.monotonic() > deadline:
            return  # the exact counts asserted next report what is missing
        gc.collect()
        time.sleep(0.01)


DROPS = [drop_plainly, drop_by_close, drop_in_context, drop_through_gc,
         drop_on_another_thread]


@pytest.mark.timeout(600)
def test_processors_come_and_go_while_callbacks_fire(sdk, engine_env, quiet_unraisable,
                                                     figures):
    engine_env.setenv("KOLTA_ENGINE_FAULTS",
                      f"connect_delay_ms=0,state_flood={STATE_FLOOD},"
                      f"transcript_flood={TEXT_FLOOD},transcript_threads={STORM_THREADS}")
    on_state, on_text = EveryOtherRaises(m.PipelineState), EveryOtherRaises(m.TextFrame)
    baseline = (sys.getrefcount(on_state), sys.getrefcount(on_text))
    lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=on_text)
    attrs = m.ProcessorAttributes(
        m.AudioAttributes(16000, 1, "", audio_pipeline_state_notify=on_state), lt)
    chunk = m.AudioFrame(np.full(320, 0.1, dtype=np.float32))
    for i in range(PROCESSORS):
        box = [sdk.create_audio_processor(attrs)]
        if i % 4 == 0:
            box[0].process_frame(chunk)
        DROPS[i % len(DROPS)](box)  # floods still queued or being delivered
    del attrs, lt
    gc.collect()
    settle(on_state, PROCESSORS * STATES_PER_PROCESSOR, on_text,
           PROCESSORS * TEXTS_PER_PROCESSOR)

    # Each teardown delivered everything queued before it returned.
    assert on_state.calls == PROCESSORS * STATES_PER_PROCESSOR
    assert on_text.calls == PROCESSORS * TEXTS_PER_PROCESSOR
    assert on_state.wrong == on_text.wrong == 0
    raised = on_state.raised + on_text.raised
    assert raised == on_state.calls // 2 + on_text.calls // 2
    assert quiet_unraisable.unexpected == []
    assert quiet_unraisable.count == raised
    assert quiet_unraisable.causes == {"ValueError": raised}
    assert (sys.getrefcount(on_state), sys.getrefcount(on_text)) == baseline
    figures(f"{PROCESSORS} processors: {on_state.calls} states, {on_text.calls} "
            f"transcripts, {raised} raised and reported")


@pytest.mark.timeout(300)
def test_processors_made_and_dropped_on_several_threads(sdk, engine_env,
                                                       quiet_unraisable, figures):
    # Three Python threads share one SDK; each makes and drops processors while
    # the others' engine threads compete for the GIL.
    engine_env.setenv("KOLTA_ENGINE_FAULTS",
                      "connect_delay_ms=0,state_flood=50,transcript_flood=10")
    on_state, on_text = EveryOtherRaises(m.PipelineState), EveryOtherRaises(m.TextFrame)
    lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=on_text)
    attrs = m.ProcessorAttributes(
        m.AudioAttributes(16000, 1, "", audio_pipeline_state_notify=on_state), lt)
    errors = []

    def worker(seed):
        try:
            for i in range(60):
                box = [sdk.create_audio_processor(attrs)]
                DROPS[(seed + i) % len(DROPS)](box)
        except BaseException as error:  # reported below, not lost in the thread
            errors.append(repr(error))

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(240)
    assert not any(t.is_alive() for t in threads), "a worker hung"
    assert errors == []
    settle(on_state, 180 * (50 + 3), on_text, 180 * 10)
    assert on_state.calls == 180 * (50 + 3)
    assert on_text.calls == 180 * 10
    assert quiet_unraisable.count == on_state.raised + on_text.raised
    figures(f"180 processors on 3 threads: {on_state.calls + on_text.calls} deliveries")
