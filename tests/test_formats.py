"""kolta.formats, the package's copy of what the engine takes, against the
reference engine: listed formats and models open, their neighbours do not."""

import itertools

import numpy as np
import pytest

import _kolta_module as m
from kolta.formats import MODELS, SUPPORTED_CHANNELS, SUPPORTED_RATES, min_chunk_values

FORMATS = list(itertools.product(SUPPORTED_RATES, SUPPORTED_CHANNELS))
# The usual rates and counts, and the listed ones' next-door values: those not
# listed must be refused, so a value dropped from the list shows up too.
COMMON_RATES = {0, 8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200,
                96000, 192000}
UNLISTED_RATES = sorted((COMMON_RATES | {rate + step for rate in SUPPORTED_RATES
                                         for step in (-1, 1)}) - set(SUPPORTED_RATES))
UNLISTED_CHANNELS = sorted({0, 1, 2, 3, 4, 6, 8} - set(SUPPORTED_CHANNELS))
# The engine's documented names and near misses ("" is its alias of translate).
UNLISTED_MODELS = sorted({"passthrough", "denoise", "translate", "Denoise", "denoise ",
                          "translation", "no-such-model"} - set(MODELS))


def attributes(rate=SUPPORTED_RATES[0], channels=SUPPORTED_CHANNELS[0], model="passthrough",
               translation=False):
    config = m.LanguageTranslationConfig("en-US", "es-ES") if translation else None
    return m.ProcessorAttributes(m.AudioAttributes(rate, channels, model), config)


@pytest.mark.parametrize("rate, channels", FORMATS)
def test_listed_format_opens(sdk, rate, channels):
    with sdk.create_audio_processor(attributes(rate, channels)) as processor:
        assert processor is not None


@pytest.mark.parametrize("rate", UNLISTED_RATES)
def test_unlisted_rate_is_refused(sdk, rate):
    with pytest.raises(ValueError, match=f"unsupported sampling_rate {rate} Hz"):
        sdk.create_audio_processor(attributes(rate=rate))


@pytest.mark.parametrize("channels", UNLISTED_CHANNELS)
def test_unlisted_channel_count_is_refused(sdk, channels):
    with pytest.raises(ValueError, match=f"unsupported channels {channels} "):
        sdk.create_audio_processor(attributes(channels=channels))


# With a translation config, which the translate model needs and the others ignore.
@pytest.mark.parametrize("model", MODELS)
def test_listed_model_opens(sdk, model):
    with sdk.create_audio_processor(attributes(model=model, translation=True)) as processor:
        assert processor is not None


@pytest.mark.parametrize("model", UNLISTED_MODELS)
def test_unlisted_model_is_refused(sdk, model):
    with pytest.raises(RuntimeError, match="returned no processor"):
        sdk.create_audio_processor(attributes(model=model, translation=True))


@pytest.mark.parametrize("rate, channels", FORMATS)
def test_shortest_chunk_is_the_engines(sdk, rate, channels):
    """One frame fewer than min_chunk_values is dropped; that many is taken."""
    shortest = min_chunk_values(rate, channels)
    chunk = np.full(2 * shortest, 0.25, dtype=np.float32)
    with sdk.create_audio_processor(attributes(rate, channels)) as processor:
        assert processor.process_frame(m.AudioFrame(chunk)).frame_count == shortest  # primed
        short = processor.process_frame(m.AudioFrame(chunk[:shortest - channels]))
        assert short.frame_count == 0
        assert processor.process_frame(m.AudioFrame(chunk[:shortest])).frame_count == shortest
