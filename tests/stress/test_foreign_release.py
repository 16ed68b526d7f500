"""The last reference to an Sdk or a processor dropped on a thread other than
the one that made it, while engine threads are waiting for the GIL: the main
thread keeps the GIL in a busy Python loop while floods are queued, and the
drop must neither deadlock nor lose a delivery."""

import gc
import sys
import threading
import time

import pytest

import _kolta_module as m

pytestmark = pytest.mark.stress

ROUNDS = 10
FLOOD = 2000
STORM_THREADS = 4
STATES = FLOOD + 3  # TRYING, RUNNING, the flood, NOT_RUNNING
TEXTS = FLOOD + STORM_THREADS * 10


class Counter:
    """Counts calls from several engine threads at once (`+=` alone could lose
    an update at a GIL hand-off)."""

    def __init__(self):
        self.calls = 0
        self.last = None
        self.hook = None  # called with the count, e.g. to drop a processor
        self.lock = threading.Lock()

    def __call__(self, value):
        with self.lock:
            self.calls += 1
            self.last = value
            calls = self.calls
        if self.hook is not None:  # outside the lock: it may tear down
            self.hook(calls)


def busy(seconds):
    """Pure bytecode: the GIL is only given up at the switch interval."""
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        pass


@pytest.fixture
def greedy_main_thread():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(0.05)  # the busy loop keeps the GIL 50 ms at a time
    yield
    sys.setswitchinterval(previous)


@pytest.fixture
def flooding(engine_env):
    engine_env.setenv("KOLTA_ENGINE_FAULTS",
                      f"connect_delay_ms=0,state_flood={FLOOD},transcript_flood={FLOOD},"
                      f"transcript_threads={STORM_THREADS}")


def make_attrs(on_state, on_text):
    lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=on_text)
    return m.ProcessorAttributes(
        m.AudioAttributes(16000, 1, "", audio_pipeline_state_notify=on_state), lt)


def wait_until(predicate, timeout=60, state=lambda: ""):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, f"timed out {state()}"
        time.sleep(0.005)


def release_elsewhere(*boxes):
    """Each box's last item is popped (dropped) on its own new thread, all at
    once, while this thread holds the GIL in a busy loop."""
    go = threading.Event()
    threads = [threading.Thread(target=lambda b=b: (go.wait(), b.pop())) for b in boxes]
    for t in threads:
        t.start()
    go.set()
    busy(0.15)
    for t in threads:
        t.join(60)
    assert not any(t.is_alive() for t in threads), "a drop hung"


def refcounts(objects):
    """Reference counts of a list's items; compare only results taken through
    the same list (it holds one reference to each)."""
    return [sys.getrefcount(o) for o in objects]


def check_released(callables, baselines):
    """The engine's copies of the callables are all gone (the last may go on an
    engine thread a little after the final delivery)."""
    gc.collect()
    wait_until(lambda: refcounts(callables) == baselines)


@pytest.mark.timeout(300)
@pytest.mark.parametrize("how", ["del", "close", "gc-cycle"])
def test_processor_dropped_elsewhere(sdk, flooding, greedy_main_thread, how, figures):
    on_state, on_text = Counter(), Counter()
    callables = [on_state, on_text]
    baselines = refcounts(callables)
    for round_ in range(ROUNDS):
        processor = sdk.create_audio_processor(make_attrs(on_state, on_text))
        if how == "del":
            box = [processor]
        elif how == "close":
            box = [processor.close]  # popped, then called by the same thread
        else:
            cycle = [processor]
            cycle.append(cycle)
            box = [cycle]
        del processor
        if how == "close":
            go = threading.Event()
            t = threading.Thread(target=lambda: (go.wait(), box.pop()()))
            t.start()
            go.set()
            busy(0.15)
            t.join(60)
            assert not t.is_alive(), "close hung"
        elif how == "gc-cycle":
            del cycle
            go = threading.Event()

            def drop_and_collect():
                go.wait()
                box.pop()
                gc.collect()  # the processor dies inside this collection

            t = threading.Thread(target=drop_and_collect)
            t.start()
            go.set()
            busy(0.15)
            t.join(60)
            assert not t.is_alive(), "collection hung"
        else:
            release_elsewhere(box)
        assert on_state.calls == (round_ + 1) * STATES
        assert on_state.last == m.PipelineState.NOT_RUNNING
        assert on_text.calls == (round_ + 1) * TEXTS
    check_released(callables, baselines)
    figures(f"{how}: {ROUNDS} processors, {on_state.calls + on_text.calls} deliveries")


@pytest.mark.timeout(300)
def test_sdk_and_processor_dropped_on_two_other_threads(tmp_path, flooding,
                                                        greedy_main_thread, figures):
    on_state, on_text = Counter(), Counter()
    callables = [on_state, on_text]
    baselines = refcounts(callables)
    for round_ in range(ROUNDS):
        made = []
        maker = threading.Thread(target=lambda: made.append(
            m.create_sdk(m.InitParams(storage_dir=str(tmp_path)))))
        maker.start()
        maker.join(60)
        sdk = made.pop()  # made on another thread, dropped on a third
        assert sdk.activate_api_key("kt_translate").success
        processor = sdk.create_audio_processor(make_attrs(on_state, on_text))
        sdk_box, processor_box = [sdk], [processor]
        del sdk, processor
        release_elsewhere(sdk_box, processor_box)
        assert on_state.calls == (round_ + 1) * STATES
        assert on_text.calls == (round_ + 1) * TEXTS
    check_released(callables, baselines)
    log = (tmp_path / "logs" / "kolta.log").read_text()
    assert log.count("processor destroyed") == ROUNDS
    figures(f"{ROUNDS} Sdk+processor pairs made on one thread, dropped on two others")


@pytest.mark.timeout(300)
def test_processor_dropped_inside_its_own_callback(sdk, flooding, greedy_main_thread,
                                                   figures):
    # The state callback, on the processor's output thread, drops the last
    # reference mid-flood while the main thread keeps the GIL busy; the detached
    # output thread then delivers the rest of the flood and NOT_RUNNING.
    on_state, on_text = Counter(), Counter()
    callables = [on_state, on_text]
    baselines = refcounts(callables)
    for round_ in range(ROUNDS):
        box, stored = [], threading.Event()

        def drop_at_the_100th_state(calls, first=round_ * STATES + 1):
            if calls == first + 99:
                # The flood may be this far before the processor is stored.
                assert stored.wait(30)
                box.pop()

        on_state.hook = drop_at_the_100th_state
        box.append(sdk.create_audio_processor(make_attrs(on_state, on_text)))
        stored.set()
        busy(0.1)
        wait_until(lambda: on_state.calls == (round_ + 1) * STATES,
                   state=lambda: f"round {round_}: {on_state.calls} states, "
                                 f"{on_text.calls} texts, box {len(box)}")
        assert not box
        assert on_state.last == m.PipelineState.NOT_RUNNING
        wait_until(lambda: on_text.calls == (round_ + 1) * TEXTS)
    on_state.hook = None
    check_released(callables, baselines)
    figures(f"{ROUNDS} processors dropped from their own output thread mid-flood")
