"""The stream's codecs (KOLTA_ENGINE_CLOUD=stream): Opus where its rates allow
and 16-bit PCM was not asked for. Through Opus the denoiser's output keeps
the local path's noise reduction in the pauses and its SNR within 1 dB, stays
aligned with the input, and takes at most a sixth of the bytes 16-bit PCM
takes on the wire."""

import numpy as np
import pytest
import soxr

import _kolta_module as m
import kolta
from fault_proxy import FaultProxy
from stream_attributes import stream_attributes
from speech_data import GOFORWARD, needs_goforward

TOLERANCE_DB = 1.0
# goforward.raw: speech from 0.5 s to 2.3 s.
SPEECH_S = (0.5, 2.3)
PAUSES_S = ((0.15, 0.45), (2.4, 2.75))

pytestmark = needs_goforward


def material(rate):
    """(clean, noisy): goforward.raw over white noise 10 dB below the speech."""
    clean = np.fromfile(GOFORWARD, "<i2") / 32768.0
    noise = np.random.default_rng(3).standard_normal(clean.size)
    noise *= np.sqrt(np.mean(np.square(clean)) / 10 / np.mean(np.square(noise)))
    pair = [clean, clean + noise]
    if rate != 16000:
        pair = [soxr.resample(x, 16000, rate) for x in pair]
    return [np.asarray(x, dtype=np.float32) for x in pair]


def span(rate, begin_s, end_s):
    return slice(int(begin_s * rate), int(end_s * rate))


def level_db(x):
    return 10 * np.log10(np.mean(np.square(x, dtype=np.float64)) + 1e-20)


def figures(clean, noisy, out, rate):
    """(noise reduction in the pauses, SNR of the speech against the clean
    speech), in dB."""
    pauses = np.concatenate([np.arange(s.start, s.stop) for s in
                             (span(rate, *p) for p in PAUSES_S)])
    speech = span(rate, *SPEECH_S)
    reduction = level_db(noisy[pauses]) - level_db(out[pauses])
    snr = level_db(clean[speech]) - level_db(out[speech] - clean[speech])
    return reduction, snr


def denoised(sdk, signal, rate, pcm16=False):
    with sdk.create_audio_processor(stream_attributes("denoise", rate, pcm16=pcm16)) \
            as processor:
        stream = kolta.AlignedStream(processor, rate, 1)
        chunk = rate // 50
        pieces = [stream.feed(signal[at:at + chunk]) for at in range(0, signal.size, chunk)]
        pieces.append(stream.finish())
    return np.concatenate(pieces)


@pytest.mark.parametrize("rate", [16000, 48000])
def test_opus_keeps_the_local_noise_reduction_and_snr(sdk, engine_env, rate):
    clean, noisy = material(rate)
    engine_env.setenv("KOLTA_LOCAL_INFERENCING", "1")
    local = denoised(sdk, noisy, rate)
    engine_env.delenv("KOLTA_LOCAL_INFERENCING")
    engine_env.setenv("KOLTA_ENGINE_CLOUD", "stream")
    opus = denoised(sdk, noisy, rate)
    assert opus.size == noisy.size
    local_reduction, local_snr = figures(clean, noisy, local, rate)
    opus_reduction, opus_snr = figures(clean, noisy, opus, rate)
    assert local_reduction > 6  # the denoiser works, so the comparison means something
    assert abs(opus_reduction - local_reduction) <= TOLERANCE_DB
    assert abs(opus_snr - local_snr) <= TOLERANCE_DB
    # Aligned: Opus's delay, both ways, is taken off like the model's.
    lags = range(-rate // 500, rate // 500 + 1)
    speech = span(rate, *SPEECH_S)
    error = [level_db(np.roll(opus, -lag)[speech] - local[speech]) for lag in lags]
    assert lags[int(np.argmin(error))] == 0


def stream_bytes(tmp_path, engine_env, service, pcm16, signal, rate):
    """Bytes on the wire, both ways, while the audio streams (the sign-in
    and the stream's opening not counted)."""
    proxy = FaultProxy(service.port)
    try:
        engine_env.setenv("KOLTA_SERVICE_URL", proxy.url)
        engine_env.setenv("KOLTA_ENGINE_CLOUD", "stream")
        sdk = m.create_sdk(m.InitParams(storage_dir=str(tmp_path / f"pcm16-{pcm16}")))
        assert sdk.activate_api_key("KOLTA-DEMO-KEY").success
        with sdk.create_audio_processor(stream_attributes("denoise", rate, pcm16=pcm16)) \
                as processor:
            opened = proxy.bytes_forwarded
            stream = kolta.AlignedStream(processor, rate, 1)
            out = [stream.feed(signal[at:at + 320]) for at in range(0, signal.size, 320)]
            out.append(stream.finish())
        assert np.concatenate(out).size == signal.size
        return proxy.bytes_forwarded - opened
    finally:
        proxy.close()


def test_opus_takes_at_most_a_sixth_of_the_bytes_of_16_bit_pcm(tmp_path, engine_env,
                                                                kolta_server):
    service = kolta_server("--test-keys")
    _, noisy = material(16000)
    l16 = stream_bytes(tmp_path, engine_env, service, True, noisy, 16000)
    opus = stream_bytes(tmp_path, engine_env, service, False, noisy, 16000)
    assert 6 * opus <= l16, (opus, l16)
