"""close() racing an in-flight process_frame on another thread."""

import random
import sys
import threading
import time

import numpy as np
import pytest

import _kolta_module as m

pytestmark = pytest.mark.stress

RATE = 16000
ROUNDS = 1000
CLOSED = "process_frame called on a closed AudioProcessor"


@pytest.fixture(autouse=True)
def long_switch_interval():
    # The returned samples are valid until the next call or close (zero copy):
    # a caller racing close must read them before close can run. With a long
    # switch interval, a thread that got the GIL back from process_frame keeps
    # it through read_now (which never releases it) unless it blocks.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1.0)
    yield
    sys.setswitchinterval(previous)


def read_now(frame):
    """Copies the samples without releasing the GIL (numpy's copy of a large
    view would release it, letting close run mid-copy)."""
    return np.frombuffer(bytes(frame.samples), dtype=np.float32)


def local_attributes(engine_env, model):
    engine_env.setenv("KOLTA_LOCAL_INFERENCING", "1")  # no 20 ms connection per round
    attrs = m.ProcessorAttributes(m.AudioAttributes(RATE, 1, model))
    engine_env.delenv("KOLTA_LOCAL_INFERENCING")
    return attrs


@pytest.mark.timeout(300)
def test_close_races_process_frame(sdk, engine_env, figures):
    # Each round primes a passthrough processor with chunk A, then one thread
    # pushes chunk B while another closes. The push either completes, and its
    # frame holds exactly A (still readable after the close), or is refused as
    # closed. Chunk lengths vary so that close lands before, during and after
    # the engine call.
    attrs = local_attributes(engine_env, "passthrough")
    rng = random.Random(1234)
    outcomes = {"completed": 0, "refused": 0}
    start, done = threading.Barrier(2), threading.Event()
    job = {}

    def pusher():
        while True:
            start.wait()
            if job.get("stop"):
                return
            try:
                out = job["processor"].process_frame(job["frame"])
                job["result"] = read_now(out)
            except RuntimeError as error:
                job["result"] = error
            done.set()

    worker = threading.Thread(target=pusher, daemon=True)
    worker.start()
    try:
        for round_ in range(ROUNDS):
            n = rng.choice([320, 640, 3200, 16000, 48000])
            a = np.full(n, round_ + 1, dtype=np.float32)
            b = np.full(n, -(round_ + 1), dtype=np.float32)
            processor = sdk.create_audio_processor(attrs)
            assert processor.process_frame(m.AudioFrame(a)).frame_count == n - 320
            job.update(processor=processor, frame=m.AudioFrame(b), result=None)
            done.clear()
            start.wait()
            # Vary where close lands: at once (the pusher has not run yet), just
            # after handing over the GIL, or a little later.
            pause = rng.choice([None, 0.0, 0.0, 0.0001, 0.0005, 0.002])
            if pause is not None:
                time.sleep(pause)
            processor.close()
            assert done.wait(30), f"round {round_}: process_frame never returned"
            result = job["result"]
            if isinstance(result, RuntimeError):
                assert str(result) == CLOSED
                outcomes["refused"] += 1
            else:
                # Output lags by 20 ms: the last 20 ms of A, then B.
                expected = np.concatenate([a[n - 320:], b[:n - 320]])
                np.testing.assert_array_equal(result, expected)
                outcomes["completed"] += 1
            del processor
    finally:
        job["stop"] = True
        start.wait(5)
        worker.join(5)
    assert sum(outcomes.values()) == ROUNDS
    figures(f"{ROUNDS} rounds: {outcomes['completed']} completed, "
            f"{outcomes['refused']} refused as closed")


@pytest.mark.timeout(120)
def test_many_threads_push_while_one_closes(sdk, engine_env, figures):
    # Four pushers on one processor and a closer: every call ends in a frame of
    # the right size or the closed error, and nothing hangs.
    attrs = local_attributes(engine_env, "denoise")
    totals = {"frames": 0, "refused": 0}
    lock = threading.Lock()
    errors = []
    for round_ in range(50):
        processor = sdk.create_audio_processor(attrs)
        go = threading.Event()

        def push(processor=processor):
            chunk = m.AudioFrame(np.full(640, 0.25, dtype=np.float32))
            go.wait()
            for _ in range(20):
                try:
                    out = processor.process_frame(chunk)
                    samples = read_now(out)
                except RuntimeError as error:
                    if str(error) != CLOSED:
                        errors.append(repr(error))
                    with lock:
                        totals["refused"] += 1
                    return
                # 20 ms (320 values) of priming, taken by whichever call came first.
                if out.frame_count not in (320, 640) or len(samples) != out.frame_count:
                    errors.append(f"frame of {out.frame_count} values")
                with lock:
                    totals["frames"] += 1

        threads = [threading.Thread(target=push) for _ in range(4)]
        for t in threads:
            t.start()
        go.set()
        time.sleep(0.0005 * (round_ % 5))
        processor.close()
        for t in threads:
            t.join(30)
        assert not any(t.is_alive() for t in threads)
    assert errors == []
    assert totals["refused"] > 0 or totals["frames"] == 50 * 4 * 20
    figures(f"50 processors x 4 pushers: {totals['frames']} frames, "
            f"{totals['refused']} refused")
