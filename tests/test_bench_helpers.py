"""The benchmarks' reference points (_kolta_testhelpers) do the work they stand for.

A floor that skipped the engine, or a bare loop that dropped calls, would make
every ratio in bench/ look better than it is. Nothing here is timed."""

import numpy as np
import pytest

import _kolta_module as m
from native_helpers import helpers

CHUNK = 320  # 20 ms at 16 kHz, mono


@pytest.fixture
def attrs(monkeypatch):
    monkeypatch.setenv("KOLTA_LOCAL_INFERENCING", "1")
    monkeypatch.delenv("KOLTA_ENGINE_FAULTS", raising=False)
    return m.ProcessorAttributes(m.AudioAttributes(model_name="passthrough"))


def chunk(seed):
    return np.random.default_rng(seed).uniform(-0.5, 0.5, CHUNK).astype(np.float32)


class TestEngineLoop:
    def test_processes_through_the_engine_with_its_latency(self, attrs, tmp_path):
        loop = helpers.EngineLoop(attrs, str(tmp_path))
        a, b = chunk(1), chunk(2)
        assert loop.process(a).frame_count == 0  # priming: 20 ms of latency
        out = loop.process(b)
        np.testing.assert_array_equal(np.frombuffer(out.samples, np.float32), a)
        assert loop.time_process(b, 10) > 0
        loop.close()
        # The engine logged the calls of the timed loop too.
        log = (tmp_path / "logs" / "kolta.log").read_text()
        assert "calls=12" in log

    def test_refusals_and_closed_use_are_errors(self, attrs, tmp_path):
        with pytest.raises(RuntimeError, match="activation refused"):
            helpers.EngineLoop(attrs, str(tmp_path), "not-a-key")
        unknown = m.ProcessorAttributes(m.AudioAttributes(model_name="no-such-model"))
        with pytest.raises(RuntimeError, match="no processor"):
            helpers.EngineLoop(unknown, str(tmp_path))
        loop = helpers.EngineLoop(attrs, str(tmp_path))
        loop.close()
        loop.close()
        with pytest.raises(RuntimeError, match="closed"):
            loop.time_process(chunk(1), 1)

    def test_a_python_callback_does_not_block_teardown(self, monkeypatch, tmp_path):
        # Cloud path: the processor's thread delivers states to Python while
        # the loop is torn down; close() must release the GIL to let it finish.
        monkeypatch.delenv("KOLTA_LOCAL_INFERENCING", raising=False)
        monkeypatch.setenv("KOLTA_ENGINE_FAULTS", "state_flood=2000,connect_delay_ms=0")
        seen = []
        attrs = m.ProcessorAttributes(m.AudioAttributes(
            model_name="passthrough", audio_pipeline_state_notify=seen.append))
        helpers.EngineLoop(attrs, str(tmp_path)).close()
        assert len(seen) == 2003
        assert seen[-1] == m.PipelineState.NOT_RUNNING


class TestBareCalls:
    def test_frame_call_views_the_array_without_a_copy(self):
        samples = chunk(3)
        for frame in (helpers.bare_frame_call(samples), helpers.bare_buffer_call(samples)):
            assert frame.frame_count == CHUNK
            view = np.frombuffer(frame.samples, np.float32)
            assert np.shares_memory(view, samples)
            np.testing.assert_array_equal(view, samples)

    def test_frame_pass_returns_a_new_frame_over_the_same_samples(self):
        samples = chunk(4)
        frame = m.AudioFrame(samples)
        passed = helpers.bare_frame_pass(frame)
        assert passed is not frame
        assert np.shares_memory(np.frombuffer(passed.samples, np.float32), samples)

    @pytest.mark.parametrize("bad", [np.zeros(8, np.float64), np.zeros(16, np.float32)[::2]])
    def test_buffer_call_takes_only_contiguous_float32(self, bad):
        with pytest.raises((TypeError, BufferError, ValueError)):
            helpers.bare_buffer_call(bad)


class TestBareGilCalls:
    @pytest.mark.parametrize("keep", [False, True], ids=["ensure", "kept"])
    def test_calls_exactly_n_times_from_one_native_thread(self, keep):
        import threading

        calls, threads = [], set()

        def callback(value):
            calls.append(value)
            threads.add(threading.get_ident())

        elapsed = helpers.bare_gil_calls(callback, m.PipelineState.RUNNING, 500, keep)
        assert elapsed > 0
        assert calls == [m.PipelineState.RUNNING] * 500
        assert len(threads) == 1 and threading.get_ident() not in threads

    @pytest.mark.parametrize("keep", [False, True], ids=["ensure", "kept"])
    def test_a_raising_callable_stops_the_loop(self, keep):
        calls = []

        def callback(value):
            calls.append(value)
            raise KeyError("stop")

        with pytest.raises(RuntimeError, match="raised"):
            helpers.bare_gil_calls(callback, 1, 100, keep)
        assert calls == [1]
