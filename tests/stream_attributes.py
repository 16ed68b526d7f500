"""Processor attributes for the cloud path's stream, with the codec chosen."""

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
