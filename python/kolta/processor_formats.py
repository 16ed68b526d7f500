"""The format (rate, channels) of the processors kolta opened.

The module's `AudioProcessor` does not tell its format and cannot be weakly
referenced, so kolta remembers a format, keyed by the processor's `id`, only
while it holds that processor itself (inside `open_processor`'s `with`
block): an entry never outlives its processor, so a reused `id` never finds
a stale one. A processor opened any other way is simply not known."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator

from _kolta_module import AudioProcessor, ProcessorAttributes, Sdk

from .formats import layout

Format = tuple[int, int]  # (sampling_rate, channels)
_formats: dict[int, Format] = {}


def format_of(processor: AudioProcessor) -> Format | None:
    """(rate, channels) of a processor open in `open_processor`, else None."""
    return _formats.get(id(processor))


def describe(sampling_rate: int, channels: int) -> str:
    return f"{sampling_rate} Hz {layout(channels)}"


@contextlib.contextmanager
def open_processor(sdk: Sdk, attributes: ProcessorAttributes) -> Iterator[AudioProcessor]:
    """`sdk.create_audio_processor(attributes)` for a `with` block, which
    closes it at the end. Meanwhile `AlignedStream(processor)` takes the
    format from it and refuses a stream of another format."""
    audio = attributes.audio_attributes
    processor = sdk.create_audio_processor(attributes)
    key = id(processor)
    _formats[key] = (audio.sampling_rate, audio.channels)
    try:
        with processor:
            yield processor
    finally:
        del _formats[key]
