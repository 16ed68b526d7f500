"""The cloud path streaming to the service (KOLTA_ENGINE_CLOUD=stream): every
input value comes back once and in order through kolta.AlignedStream, and the
16-bit audio it returns is the local path's output in 16 bits, sample for
sample; states TRYING, RUNNING, NOT_RUNNING."""

import time

import numpy as np
import pytest

import kolta
from stream_attributes import stream_attributes


def as_pcm16(values):
    """What the engine's to_pcm16 makes of float samples, back as float."""
    scaled = values.astype(np.float32) * np.float32(32768)
    rounded = np.sign(scaled) * np.floor(np.abs(scaled) + 0.5)
    return (np.clip(rounded, -32768, 32767) / 32768).astype(np.float32)


def noisy_speechlike(values, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(values) / 16000
    tone = 0.3 * np.sin(2 * np.pi * 220 * t) * (np.sin(2 * np.pi * 2 * t) > 0)
    return as_pcm16(tone + 0.02 * rng.standard_normal(values))


def run(sdk, model, rate, channels, signal, chunks, pcm16=False):
    attrs = stream_attributes(model, rate, channels, pcm16=pcm16)
    with sdk.create_audio_processor(attrs) as processor:
        stream = kolta.AlignedStream(processor, rate, channels)
        pieces, at, turn = [], 0, 0
        while at < signal.size:
            size = chunks[turn % len(chunks)] * channels
            pieces.append(stream.feed(signal[at:at + size]))
            at += size
            turn += 1
        pieces.append(stream.finish())
    return np.concatenate(pieces)


# use_pcm16 asks for 16-bit PCM; 44.1 kHz, which Opus cannot code, has it anyway.
@pytest.mark.parametrize("model", ["passthrough", "denoise"])
@pytest.mark.parametrize("rate, channels, pcm16", [(16000, 1, True), (48000, 2, True),
                                                   (44100, 1, False)])
@pytest.mark.parametrize("chunks", [[320], [1000, 13, 5000]], ids=["20 ms", "uneven"])
def test_stream_returns_the_local_output_in_16_bits(sdk, engine_env, model, rate, channels,
                                                    pcm16, chunks):
    signal = noisy_speechlike(rate * channels, seed=rate + channels)
    engine_env.setenv("KOLTA_LOCAL_INFERENCING", "1")
    local = run(sdk, model, rate, channels, signal, chunks)
    engine_env.delenv("KOLTA_LOCAL_INFERENCING")
    engine_env.setenv("KOLTA_ENGINE_CLOUD", "stream")
    cloud = run(sdk, model, rate, channels, signal, chunks, pcm16)
    assert cloud.size == signal.size
    assert np.array_equal(cloud, as_pcm16(local))


def test_stream_states_come_in_order(sdk, engine_env):
    engine_env.setenv("KOLTA_ENGINE_CLOUD", "stream")
    states = []
    attrs = kolta.ProcessorAttributes(kolta.AudioAttributes(
        sampling_rate=16000, channels=1, model_name="denoise",
        audio_pipeline_state_notify=lambda state: states.append(state.name)))
    with sdk.create_audio_processor(attrs) as processor:
        stream = kolta.AlignedStream(processor, 16000, 1)
        stream.feed(noisy_speechlike(3200, seed=1))
        stream.finish()
    assert states == ["TRYING", "RUNNING", "NOT_RUNNING"]


def test_the_drop_switch_cuts_the_real_connection_and_it_comes_back(sdk, engine_env,
                                                                    tmp_path):
    engine_env.setenv("KOLTA_ENGINE_CLOUD", "stream")
    engine_env.setenv("KOLTA_ENGINE_FAULTS", "pipeline_drop_on_frame=10")
    states = []
    attrs = stream_attributes("passthrough", pcm16=True,
                              notify=lambda s: states.append(s.name))
    signal = noisy_speechlike(16000, seed=4)
    with sdk.create_audio_processor(attrs) as processor:
        stream = kolta.AlignedStream(processor, 16000, 1)
        pieces = []
        for at in range(0, signal.size, 320):  # 1 s in real time: room to reconnect
            pieces.append(stream.feed(signal[at:at + 320]))
            time.sleep(0.02)
        pieces.append(stream.finish())
    assert np.array_equal(np.concatenate(pieces), signal)
    assert states == ["TRYING", "RUNNING", "NOT_RUNNING", "TRYING", "RUNNING", "NOT_RUNNING"]
    log = (tmp_path / "logs" / "kolta.log").read_text()
    assert "pipeline dropped: injected fault at process_frame call 10" in log
    assert "pipeline connecting again (attempt 2)" in log
