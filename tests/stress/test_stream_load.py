"""Many cloud-path streams at once against one standalone kolta-server on
one thread: every session gets exactly its own audio back, processed as the
local path processes it, and the service holds no more sockets afterwards
than before."""

import os
import threading

import numpy as np
import pytest

import _kolta_module as m
from polling import wait_for
from stream_attributes import drain, stream_attributes
from test_cloud_stream import as_pcm16, noisy_speechlike

pytestmark = pytest.mark.stress

RATE = 16000
CHUNK = RATE // 50
SESSIONS = 60
ROUNDS = 3


def open_fds(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def denoise_all(sdk, signals):
    """One processor per signal, fed round-robin a chunk at a time, then drained;
    16-bit PCM on the wire, so the service's models see the local path's input."""
    attrs = stream_attributes("denoise", RATE, pcm16=True)
    processors = [sdk.create_audio_processor(attrs) for _ in signals]
    outputs = [[] for _ in signals]
    for at in range(0, len(signals[0]), CHUNK):
        for processor, signal, out in zip(processors, signals, outputs):
            frame = processor.process_frame(m.AudioFrame(signal[at:at + CHUNK]))
            out.append(np.frombuffer(frame.samples, np.float32).copy())
    for processor, out in zip(processors, outputs):
        out += drain(processor, CHUNK)
        processor.close()
    return [np.concatenate(out) for out in outputs]


@pytest.mark.timeout(300)
def test_many_streams_each_get_their_own_processed_audio_back(kolta_server, engine_env,
                                                              tmp_path):
    service = kolta_server("--test-keys", "--threads", "1",
                           "--stream-sessions-per-token", str(SESSIONS))
    signals = [noisy_speechlike(RATE * 2, seed=i) for i in range(SESSIONS)]

    engine_env.setenv("KOLTA_LOCAL_INFERENCING", "1")
    local_sdk = m.create_sdk(m.InitParams(storage_dir=str(tmp_path / "local")))
    assert local_sdk.activate_api_key("kt_all").success
    expected = [as_pcm16(out) for out in denoise_all(local_sdk, signals)]

    engine_env.delenv("KOLTA_LOCAL_INFERENCING")
    engine_env.setenv("KOLTA_SERVICE_URL", service.url)
    sdk = m.create_sdk(m.InitParams(storage_dir=str(tmp_path / "client")))
    assert sdk.activate_api_key("kt_all").success
    baseline = open_fds(service.process.pid)
    for _ in range(ROUNDS):
        outputs = denoise_all(sdk, signals)
        for index, (out, want) in enumerate(zip(outputs, expected)):
            assert out.size == want.size, f"session {index}: every sample back once"
            # Processed as the local path processes it; the service's floats may
            # round to the other side of half a step now and then (one value in
            # about two million here), never further.
            steps = np.abs(out - want) * 32768
            assert steps.max() <= 1, f"session {index}: not the local path's output"
            assert np.count_nonzero(steps) <= 1e-4 * out.size, f"session {index}"
    # Closed streams give their sockets back (a bounded wait for the closes).
    wait_for(lambda: open_fds(service.process.pid) <= baseline, 10,
             "the closed streams' sockets given back", step=0.05)
    assert "returned unprocessed" not in (tmp_path / "client" / "logs" / "kolta.log").read_text()


@pytest.mark.timeout(120)
def test_a_thousand_abandoned_streams_leave_the_service_as_it_was(kolta_server, engine_env,
                                                                  tmp_path):
    """Processors opened and dropped without sending a chunk, from threads."""
    service = kolta_server("--test-keys", "--threads", "1")
    engine_env.setenv("KOLTA_SERVICE_URL", service.url)
    sdk = m.create_sdk(m.InitParams(storage_dir=str(tmp_path / "client")))
    assert sdk.activate_api_key("kt_all").success
    attrs = m.ProcessorAttributes(m.AudioAttributes(RATE, 1, "denoise"), None)
    sdk.create_audio_processor(attrs).close()
    baseline = open_fds(service.process.pid)

    def abandon(count):
        for _ in range(count):
            sdk.create_audio_processor(attrs)  # dropped at once, never fed

    threads = [threading.Thread(target=abandon, args=(250,)) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(90)
        assert not thread.is_alive()
    wait_for(lambda: open_fds(service.process.pid) <= baseline, 10,
             "the abandoned streams' sockets given back", step=0.05)
    with sdk.create_audio_processor(attrs) as processor:  # still serving
        out = processor.process_frame(m.AudioFrame(noisy_speechlike(CHUNK, seed=1)))
        assert out.frame_count <= CHUNK
