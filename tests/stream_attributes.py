"""Processor attributes for the cloud path's stream, with the codec chosen,
and the drain at a stream's end."""

import numpy as np

import _kolta_module as m


def stream_attributes(model, rate=16000, channels=1, pcm16=False, notify=None):
    """`pcm16`: 16-bit PCM on the wire (the service's models then see the
    local path's input); otherwise the rate's default codec."""
    audio = m.AudioAttributes(sampling_rate=rate, channels=channels, model_name=model,
                              audio_pipeline_state_notify=notify)
    params = m.CloudInferencingParams()
    params.use_pcm16 = pcm16
    audio.cloud_inferencing_params = params
    return m.ProcessorAttributes(audio, None)


def drain(processor, chunk, max_calls=64):
    """The float32 arrays `processor` returns for all-zero chunks of `chunk`
    samples until it returns an empty frame; fails if it still returns audio
    after `max_calls` chunks (a drain chunk returns all the rest)."""
    zeros = m.AudioFrame(np.zeros(chunk, np.float32))
    out = []
    for _ in range(max_calls):
        frame = processor.process_frame(zeros)
        if not frame.frame_count:
            return out
        out.append(np.frombuffer(frame.samples, np.float32).copy())
    raise AssertionError(f"the processor still returned audio after {max_calls} drain chunks")
