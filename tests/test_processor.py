"""The audio processor end to end through the Python API, on the reference engine."""

import gc
import sys
import threading
import time

import numpy as np
import pytest

import _kolta_module as m

RATE = 16000
CHUNK = RATE // 50  # 20 ms mono


def attributes(model="passthrough", rate=RATE, channels=1, notify=None, lt=None):
    audio = m.AudioAttributes(sampling_rate=rate, channels=channels, model_name=model,
                              audio_pipeline_state_notify=notify)
    return m.ProcessorAttributes(audio, lt)


def push(processor, samples):
    return processor.process_frame(m.AudioFrame(np.ascontiguousarray(samples, np.float32)))


def run_stream(processor, signal, chunk):
    """Streams signal in chunks, drains with silence; returns the whole output."""
    out = []
    for start in range(0, len(signal), chunk):
        out.append(np.array(push(processor, signal[start:start + chunk]).samples))
    silence = np.zeros(chunk, np.float32)
    for _ in range(1000):
        frame = push(processor, silence)
        if frame.frame_count == 0:
            return np.concatenate(out)
        out.append(np.array(frame.samples))
    pytest.fail("the tail never drained")


class StateLog:
    def __init__(self):
        self.states, self.threads, self.cond = [], set(), threading.Condition()

    def __call__(self, state):
        with self.cond:
            self.states.append(state)
            self.threads.add(threading.get_ident())
            self.cond.notify_all()

    def wait_for(self, count, timeout=10):
        with self.cond:
            assert self.cond.wait_for(lambda: len(self.states) >= count, timeout), self.states
        return list(self.states)


def test_class_surface():
    assert m.AudioProcessor.process_frame.__doc__.startswith(
        "process_frame(self, frame: _kolta_module.AudioFrame) -> _kolta_module.AudioFrame\n\nPush one chunk of raw PCM")
    assert m.AudioProcessor.close.__doc__ == (
        "close(self) -> None\n\nStop and tear down the processor (joins the SDK output "
        "thread with the GIL released). Idempotent; called automatically on context exit.")
    assert m.AudioProcessor.__exit__.__doc__ == "__exit__(self, *args) -> bool"
    assert m.Sdk.create_audio_processor.__doc__ == (
        "create_audio_processor(self, attrs: _kolta_module.ProcessorAttributes) -> "
        "_kolta_module.AudioProcessor\n\n"
        "Create a buffer/stream audio processor for raw PCM processing. Requires the SDK "
        "to have been activated and the requested model to be entitled; blocks until "
        "ready.")


def test_context_manager_closes_and_propagates(sdk):
    with pytest.raises(KeyError):
        with sdk.create_audio_processor(attributes()) as processor:
            entered = processor
            raise KeyError("body")
    assert entered is processor
    with pytest.raises(RuntimeError, match="^process_frame called on a closed AudioProcessor$"):
        push(processor, np.zeros(CHUNK))


def test_close_is_idempotent(sdk):
    processor = sdk.create_audio_processor(attributes())
    assert processor.close() is None
    assert processor.close() is None
    assert processor.__exit__(None, None, None) is False
    with pytest.raises(RuntimeError, match="closed AudioProcessor"):
        push(processor, np.zeros(CHUNK))


CREATION_MESSAGE = ("create_audio_processor failed: the SDK returned no processor. Ensure "
                    "the SDK is activated and the requested model is entitled to the "
                    "activated user.")


@pytest.mark.parametrize("key, model", [(None, "passthrough"), ("kt_passthrough", "denoise"),
                                        ("KOLTA-DEMO-KEY", "no-such-model"),
                                        ("fail_user_disabled", "passthrough")])
def test_creation_refused(tmp_path, key, model):
    sdk = m.create_sdk(m.InitParams(storage_dir=str(tmp_path)))
    if key is not None:
        sdk.activate_api_key(key)
    with pytest.raises(RuntimeError) as info:
        sdk.create_audio_processor(attributes(model))
    assert str(info.value) == CREATION_MESSAGE


@pytest.mark.parametrize("rate, channels, named", [(0, 1, "0"), (22050, 1, "22050"),
                                                    (16000, 0, "0"), (16000, 3, "3")])
def test_unsupported_format_is_a_value_error(sdk, rate, channels, named):
    with pytest.raises(ValueError, match=named):
        sdk.create_audio_processor(attributes(rate=rate, channels=channels))


def test_priming_then_constant_latency(sdk):
    with sdk.create_audio_processor(attributes()) as processor:
        counts = [push(processor, np.ones(CHUNK)).frame_count for _ in range(4)]
    assert counts == [0, CHUNK, CHUNK, CHUNK]


def test_short_chunks_are_dropped_without_error(sdk):
    with sdk.create_audio_processor(attributes()) as processor:
        assert push(processor, np.ones(CHUNK - 1)).frame_count == 0
        counts = [push(processor, np.ones(CHUNK)).frame_count for _ in range(2)]
    assert counts == [0, CHUNK]  # the dropped chunk changed nothing


def test_chunk_not_a_multiple_of_channels_is_refused(sdk):
    with sdk.create_audio_processor(attributes(channels=2)) as processor:
        with pytest.raises(ValueError, match=str(2 * CHUNK + 1)):
            push(processor, np.ones(2 * CHUNK + 1))


@pytest.mark.parametrize("rate, channels, chunk_ms", [(16000, 1, 20), (48000, 2, 20),
                                                      (44100, 1, 25), (8000, 2, 30)])
def test_passthrough_round_trip_is_sample_exact(sdk, rate, channels, chunk_ms):
    rng = np.random.default_rng(rate + channels)
    chunk = rate * chunk_ms // 1000 * channels
    signal = rng.uniform(-1, 1, 50 * chunk).astype(np.float32)
    with sdk.create_audio_processor(attributes(rate=rate, channels=channels)) as processor:
        out = run_stream(processor, signal, chunk)
    np.testing.assert_array_equal(out, signal)


def test_returned_frame_points_into_the_engine_buffer(sdk):
    with sdk.create_audio_processor(attributes()) as processor:
        push(processor, np.full(CHUNK, 0.25))
        references = sys.getrefcount(processor)
        out = push(processor, np.full(CHUNK, 0.5))
        view = out.samples
        assert (view.format, view.readonly, len(view)) == ("f", True, CHUNK)
        assert np.all(np.asarray(view) == 0.25)
        assert sys.getrefcount(processor) == references  # the frame holds none


def level_db(x):
    return 10 * np.log10(np.mean(np.square(x, dtype=np.float64)) + 1e-20)


def test_denoise_lowers_noise_and_keeps_the_tone(sdk):
    rng = np.random.default_rng(1)
    n = 4 * RATE
    t = np.arange(n) / RATE
    tone = np.where((t > 1.5) & (t < 3.0), 0.3 * np.sin(2 * np.pi * 440 * t), 0.0)
    noise = rng.standard_normal(n) * 10 ** (-30 / 20)
    noisy = (tone + noise).astype(np.float32)
    with sdk.create_audio_processor(attributes("denoise")) as processor:
        out = run_stream(processor, noisy, CHUNK)[:n]
    pause = (t > 0.8) & (t < 1.4)
    speech = (t > 1.7) & (t < 2.8)
    assert level_db(noisy[pause]) - level_db(out[pause]) >= 6
    assert level_db(tone[speech]) - level_db(out[speech]) <= 3


@pytest.mark.timeout(30)
def test_pipeline_states_in_order_on_an_engine_thread(sdk):
    log = StateLog()
    processor = sdk.create_audio_processor(attributes(notify=log))
    assert log.wait_for(2) == [m.PipelineState.TRYING, m.PipelineState.RUNNING]
    processor.close()
    assert log.states == [m.PipelineState.TRYING, m.PipelineState.RUNNING,
                          m.PipelineState.NOT_RUNNING]
    assert threading.get_ident() not in log.threads
    assert all(type(s) is m.PipelineState for s in log.states)


@pytest.mark.timeout(30)
def test_local_inference_delivers_no_states(sdk, monkeypatch):
    monkeypatch.setenv("KOLTA_LOCAL_INFERENCING", "1")
    log = StateLog()
    with sdk.create_audio_processor(attributes(notify=log)) as processor:
        push(processor, np.zeros(CHUNK))
    assert log.states == []


@pytest.mark.timeout(30)
def test_pipeline_drop_and_recovery(sdk, monkeypatch):
    # The in-process pipeline's drop; a dropped stream is tested with the stream.
    monkeypatch.setenv("KOLTA_ENGINE_CLOUD", "simulated")
    monkeypatch.setenv("KOLTA_ENGINE_FAULTS", "pipeline_drop_on_frame=3")
    log = StateLog()
    with sdk.create_audio_processor(attributes(notify=log)) as processor:
        for _ in range(5):
            push(processor, np.ones(CHUNK))
        S = m.PipelineState
        assert log.wait_for(5) == [S.TRYING, S.RUNNING, S.NOT_RUNNING, S.TRYING, S.RUNNING]


@pytest.mark.timeout(30)
def test_raising_callback_does_not_stop_deliveries(sdk, monkeypatch, unraisable):
    log = StateLog()

    def flaky(state):
        log(state)
        raise ValueError(state.name)

    processor = sdk.create_audio_processor(attributes(notify=flaky))
    log.wait_for(2)
    processor.close()
    assert len(log.states) == 3
    assert [str(u.exc_value.__cause__) for u in unraisable] == [
        "TRYING", "RUNNING", "NOT_RUNNING"]
    assert all(str(u.exc_value) == "error in Kolta callback" for u in unraisable)


@pytest.mark.timeout(30)
def test_out_of_range_state_is_reported(sdk, monkeypatch, unraisable):
    monkeypatch.setenv("KOLTA_ENGINE_FAULTS", "bad_state=7")
    log = StateLog()
    with sdk.create_audio_processor(attributes(notify=log)):
        pass
    assert log.states == [m.PipelineState.TRYING, m.PipelineState.RUNNING,
                          m.PipelineState.NOT_RUNNING]
    assert len(unraisable) == 1
    assert isinstance(unraisable[0].exc_value.__cause__, ValueError)
    assert unraisable[0].object is log


def test_injected_engine_fault_arrives_as_runtime_error(sdk, monkeypatch):
    monkeypatch.setenv("KOLTA_ENGINE_FAULTS", "throw_on_frame=2")
    with sdk.create_audio_processor(attributes()) as processor:
        push(processor, np.ones(CHUNK))
        with pytest.raises(RuntimeError, match="^injected fault: process_frame call 2$"):
            push(processor, np.ones(CHUNK))
        assert push(processor, np.ones(CHUNK)).frame_count == CHUNK  # still usable


def speech_burst():
    t = np.arange(3 * RATE) / RATE
    burst = (t > 0.5) & (t < 1.7)
    return (np.where(burst, 0.3 * np.sin(2 * np.pi * 300 * t), 0.0)).astype(np.float32)


@pytest.mark.timeout(30)
def test_translation_delivers_transcripts_and_passes_audio(sdk):
    frames, done = [], threading.Event()

    def on_text(frame):
        frames.append(frame)
        if frame.type_ == m.TranscriptType.TRANSLATION:
            done.set()

    lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=on_text)
    signal = speech_burst()
    with sdk.create_audio_processor(attributes("", lt=lt)) as processor:
        out = run_stream(processor, signal, CHUNK)
        assert done.wait(10)
    # Trailing all-zero chunks count as drain input and are not played back.
    np.testing.assert_array_equal(out, signal[:len(out)])
    assert len(out) >= 1.7 * RATE - CHUNK and not signal[len(out):].any()
    kinds = [(f.type_, bool(f.transcript_data_.partial), bool(f.transcript_data_.complete))
             for f in frames]
    T = m.TranscriptType
    assert kinds[-2:] == [(T.TRANSCRIPTION, False, True), (T.TRANSLATION, False, True)]
    assert all(k == (T.TRANSCRIPTION, True, False) for k in kinds[:-2]) and kinds[:-2]
    final = frames[-2].transcript_data_
    segment = final.complete[0]
    assert final.language_code_ == "en-US"
    assert frames[-1].transcript_data_.language_code_ == "es-ES"
    assert 0.4 <= float(segment.start) <= 0.6 and 1.6 <= float(segment.end) <= 2.1
    assert 0.0 <= segment.probability <= 1.0
    assert "reference engine" in segment.text


@pytest.mark.timeout(60)
def test_close_races_an_in_flight_process_frame(sdk, monkeypatch):
    # A slow sign-in is irrelevant here; make the frame itself long instead
    # (on the local path, where the call does all the work).
    monkeypatch.setenv("KOLTA_LOCAL_INFERENCING", "1")
    with sdk.create_audio_processor(attributes("denoise")) as processor:
        long_chunk = np.ones(RATE * 20, np.float32)
        results, started = [], threading.Event()

        def work():
            started.set()
            results.append(push(processor, long_chunk).frame_count)

        worker = threading.Thread(target=work)
        worker.start()
        started.wait()
        time.sleep(0.01)
        processor.close()
        worker.join()
        assert results == [len(long_chunk) - CHUNK]
        with pytest.raises(RuntimeError, match="closed AudioProcessor"):
            push(processor, np.ones(CHUNK))


@pytest.mark.timeout(30)
@pytest.mark.parametrize("step", ["process_frame", "close", "__exit__", "last reference"])
def test_slow_engine_work_releases_the_gil(sdk, engine_env, progress_during, step):
    engine_env.setenv("KOLTA_ENGINE_FAULTS", "slow_frame_ms=400")
    held = [sdk.create_audio_processor(attributes())]
    frame = m.AudioFrame(np.zeros(CHUNK, np.float32))
    call = {
        "process_frame": lambda: held[0].process_frame(frame),
        "close": lambda: held[0].close(),
        "__exit__": lambda: held[0].__exit__(None, None, None),
        "last reference": held.pop,
    }[step]
    assert progress_during(call)


@pytest.mark.timeout(30)
def test_dropping_an_open_processor_tears_it_down(sdk):
    log = StateLog()
    processor = sdk.create_audio_processor(attributes(notify=log))
    log.wait_for(2)
    del processor
    gc.collect()
    assert log.wait_for(3)[-1] == m.PipelineState.NOT_RUNNING


@pytest.mark.timeout(30)
def test_processor_outlives_its_sdk(tmp_path):
    sdk = m.create_sdk(m.InitParams(storage_dir=str(tmp_path)))
    sdk.activate_api_key("kt_passthrough")
    processor = sdk.create_audio_processor(attributes())
    del sdk
    gc.collect()
    push(processor, np.ones(CHUNK))
    assert push(processor, np.ones(CHUNK)).frame_count == CHUNK
    processor.close()


@pytest.mark.timeout(30)
def test_closing_from_inside_a_callback_does_not_deadlock(sdk, monkeypatch):
    # The pipeline drop on the first frame makes the engine deliver states only
    # once the processor is in the box.
    monkeypatch.setenv("KOLTA_ENGINE_FAULTS", "pipeline_drop_on_frame=1")
    box, closed = [], threading.Event()

    def close_on_running(state):
        if state == m.PipelineState.NOT_RUNNING and box:
            box.pop().close()  # drops the last reference on the engine's thread
            closed.set()

    box.append(sdk.create_audio_processor(attributes(notify=close_on_running)))
    push(box[0], np.ones(CHUNK))
    assert closed.wait(10)


@pytest.mark.timeout(30)
def test_callables_are_released_after_close(sdk):
    def on_state(state):
        pass

    def on_text(frame):
        pass

    baseline = (sys.getrefcount(on_state), sys.getrefcount(on_text))
    lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=on_text)
    attrs = attributes("", notify=on_state, lt=lt)
    processor = sdk.create_audio_processor(attrs)
    push(processor, np.ones(CHUNK))
    processor.close()
    del attrs, lt, processor
    gc.collect()
    assert (sys.getrefcount(on_state), sys.getrefcount(on_text)) == baseline


@pytest.mark.timeout(30)
def test_kept_text_frames_stay_readable(sdk, monkeypatch):
    monkeypatch.setenv("KOLTA_ENGINE_FAULTS", "transcript_flood=50")
    kept = []
    lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=kept.append)
    with sdk.create_audio_processor(attributes("", lt=lt)):
        pass
    assert [f.transcript_data_.utterance_idx for f in kept] == list(range(50))
    assert all(f.transcript_data_.complete[0].text for f in kept)
