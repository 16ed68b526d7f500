"""Output aligned with the input for every model, suppressor, rate and channel
count: speech in and speech out through kolta.AlignedStream correlate best at
lag 0, also across a pipeline drop, and nothing is lost or repeated.

WebRTC's high-pass filter and its band-splitting filters (32 and 48 kHz) delay
some frequencies a fraction of a frame more than others, so where the peak
falls between two frames depends on the material: denoised output may peak
one frame either side. An uncompensated suppressor lags 80 frames or more."""

import threading

import numpy as np
import pytest
import soxr

import kolta
from speech_data import GOFORWARD, needs_goforward

RATES = [8000, 16000, 24000, 32000, 44100, 48000]
# (model, KOLTA_ENGINE_SUPPRESSOR): every suppressor on its own and the chain.
MODELS = [("passthrough", None), ("denoise", None), ("denoise", "speexdsp"),
          ("denoise", "webrtc")]
MAX_LAG_MS = 60
DENOISE_LAG_TOLERANCE = 1  # frames

pytestmark = needs_goforward


def speech(rate, channels):
    """goforward.raw (speech from 0.5 s to 2.3 s) over white noise at 20 dB
    SNR, interleaved, resampled from 16 kHz; the right channel is the speech
    reversed."""
    clean = np.fromfile(GOFORWARD, "<i2") / 32768.0
    rng = np.random.default_rng(channels)
    noise_rms = np.sqrt(np.mean(np.square(clean))) / 10
    columns = [c + noise_rms * rng.standard_normal(c.size) for c in (clean, clean[::-1])]
    mixed = np.stack(columns[:channels], axis=1).astype(np.float32)
    if rate != 16000:
        mixed = soxr.resample(mixed, 16000, rate)
    return np.ascontiguousarray(mixed, dtype=np.float32).reshape(-1)


def best_lag(reference, output, max_lag):
    """How many frames `output` trails `reference` where they correlate best."""
    size = 1 << (reference.size + output.size - 1).bit_length()
    spectrum = np.fft.rfft(output, size) * np.conj(np.fft.rfft(reference, size))
    correlation = np.fft.irfft(spectrum, size)
    lags = np.concatenate([np.arange(0, max_lag + 1), np.arange(-max_lag, 0)])
    return int(lags[np.argmax(correlation[lags])])


def lags_per_channel(signal, out, rate, channels):
    max_lag = rate * MAX_LAG_MS // 1000
    return [best_lag(signal[c::channels], out[c::channels], max_lag) for c in range(channels)]


def open_processor(sdk, model, rate, channels, notify=None):
    attrs = kolta.ProcessorAttributes(kolta.AudioAttributes(
        sampling_rate=rate, channels=channels, model_name=model,
        audio_pipeline_state_notify=notify))
    return sdk.create_audio_processor(attrs)


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("rate", RATES)
@pytest.mark.parametrize("model,suppressor", MODELS, ids=lambda v: v or "default")
def test_output_lines_up_with_the_input(sdk, engine_env, model, suppressor, rate, channels):
    if suppressor:
        engine_env.setenv("KOLTA_ENGINE_SUPPRESSOR", suppressor)
    signal = speech(rate, channels)
    with open_processor(sdk, model, rate, channels) as processor:
        out = np.concatenate(list(kolta.process_stream(
            processor, np.array_split(signal.reshape(-1, channels), 41), rate, channels)))
    out = out.reshape(-1)  # (frames, channels) chunks come back 2-D
    assert out.size == signal.size
    lags = lags_per_channel(signal, out, rate, channels)
    if model == "passthrough":
        assert lags == [0] * channels
        np.testing.assert_array_equal(out, signal)
    else:
        assert all(abs(lag) <= DENOISE_LAG_TOLERANCE for lag in lags), lags
        assert not np.array_equal(out, signal)


def residual_db(out, reference):
    error = np.mean(np.square(out - reference, dtype=np.float64))
    return 10 * np.log10(error / np.mean(np.square(reference, dtype=np.float64)))


def stream_with_a_drop(sdk, engine_env, rate, channels):
    """Speech through denoise: 0.9 s denoised, 0.6 s pushed while the pipeline
    is down, the rest denoised again (both switches fall in speech). Returns
    the input, the output and the slice pushed while down."""
    # The in-process pipeline drops exactly the second call's audio; a dropped
    # stream's span follows the network (tests/test_stream_faults.py).
    engine_env.setenv("KOLTA_ENGINE_CLOUD", "simulated")
    engine_env.setenv("KOLTA_ENGINE_FAULTS", "pipeline_drop_on_frame=2,connect_delay_ms=50")
    signal = speech(rate, channels)
    first, dropped = int(0.9 * rate) * channels, int(0.6 * rate) * channels
    states, changed = [], threading.Condition()

    def notify(state):
        with changed:
            states.append(state)
            changed.notify_all()

    with open_processor(sdk, "denoise", rate, channels, notify) as processor:
        stream = kolta.AlignedStream(processor, rate, channels)
        pieces = [stream.feed(signal[:first]),                  # call 1: denoised
                  stream.feed(signal[first:first + dropped])]   # call 2: drops the pipeline
        with changed:  # back after 50 ms
            S = kolta.PipelineState
            assert changed.wait_for(lambda: S.NOT_RUNNING in states
                                    and states[-1] == S.RUNNING, 10), states
        pieces += [stream.feed(signal[first + dropped:]), stream.finish()]
    return signal, np.concatenate(pieces), slice(first, first + dropped)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("rate,channels", [(16000, 1), (48000, 2), (44100, 1), (8000, 2)])
def test_a_pipeline_drop_keeps_every_value_in_its_place(sdk, engine_env, rate, channels):
    signal, out, down = stream_with_a_drop(sdk, engine_env, rate, channels)
    assert out.size == signal.size
    np.testing.assert_array_equal(out[down], signal[down])  # untouched, in its place
    for part in (slice(0, down.start), slice(down.stop, None)):
        assert not np.array_equal(out[part], signal[part])
        lags = lags_per_channel(signal[part], out[part], rate, channels)
        assert all(abs(lag) <= DENOISE_LAG_TOLERANCE for lag in lags), lags


@pytest.mark.timeout(60)
@pytest.mark.parametrize("rate,channels", [(16000, 1), (48000, 2)])
def test_the_frames_around_a_pipeline_drop_are_their_own(sdk, engine_env, rate, channels):
    """The model's delay spans each switch: the frames just before and after
    it are still the processed input of their own place. speexdsp alone barely
    changes speech, so anything else shows."""
    engine_env.setenv("KOLTA_ENGINE_SUPPRESSOR", "speexdsp")
    signal, out, down = stream_with_a_drop(sdk, engine_env, rate, channels)
    span = rate // 50 * channels
    for edge in (down.start, down.stop):
        near = slice(edge - span, edge + span)
        assert residual_db(out[near], signal[near]) < -15
