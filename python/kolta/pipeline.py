"""Audio through one processor: read, resample if needed, stream, write."""

from __future__ import annotations

import time
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, replace

import numpy as np
import numpy.typing as npt
import soxr

from _kolta_module import (AudioAttributes, LanguageTranslationConfig, ProcessorAttributes,
                           Sdk, TextFrame)

from .audiofile import AudioInfo, output_format, read_blocks
from .errors import BadInput
from .formats import SUPPORTED_RATES, nearest_supported_rate
from .processor_formats import open_processor
from .streams import AlignedStream, Samples, to_float32
from .writers import open_writer

BLOCK_SECONDS = 0.5
Progress = Callable[[float], object]  # called with seconds of input done
_EMPTY: Samples = np.zeros(0, dtype=np.float32)


@dataclass(frozen=True)
class Result:
    source: AudioInfo
    engine_rate: int
    seconds: float  # wall-clock time of the streaming work

    @property
    def real_time_factor(self) -> float:
        return self.seconds / self.source.seconds


class _Resampler:
    """Interleaved float32 in, interleaved float32 at another rate out."""

    def __init__(self, rate_in: int, rate_out: int, channels: int):
        self._channels = channels
        self._stream = soxr.ResampleStream(rate_in, rate_out, channels, dtype="float32")

    def __call__(self, interleaved: Samples, last: bool = False) -> Samples:
        frames = interleaved.reshape(-1, self._channels)
        out = self._stream.resample_chunk(frames, last=last)
        return np.ascontiguousarray(out, dtype=np.float32).reshape(-1)


def engine_rate(rate: int) -> int:
    """The rate audio at `rate` is processed at (resampled there and back)."""
    return rate if rate in SUPPORTED_RATES else nearest_supported_rate(rate)


def streamed(sdk: Sdk, attrs: ProcessorAttributes, blocks: Iterable[Samples], rate: int,
             channels: int, progress: Progress | None = None) -> Iterator[Samples]:
    """Streams interleaved float32 `blocks` at `rate` through a processor
    opened with `attrs` (at `engine_rate(rate)`); yields the processed audio
    at `rate`, aligned with the input (`aligned` evens out the resampling)."""
    processing_rate = attrs.audio_attributes.sampling_rate
    up = down = None
    if processing_rate != rate:
        up = _Resampler(rate, processing_rate, channels)
        down = _Resampler(processing_rate, rate, channels)
    with open_processor(sdk, attrs) as processor:
        stream = AlignedStream(processor)
        for samples in blocks:
            out = stream.feed(up(samples) if up else samples)
            yield down(out) if down else out
            if progress:
                progress(samples.size / channels / rate)
        if up is None or down is None:
            yield stream.finish()
        else:
            rest = stream.feed(up(_EMPTY, last=True))  # the resampler's own delay
            yield down(np.concatenate((rest, stream.finish())), last=True)


def file_blocks(info: AudioInfo) -> Iterator[Samples]:
    """The file as interleaved float32 blocks of `BLOCK_SECONDS`."""
    block = max(1, int(BLOCK_SECONDS * info.rate))
    for frames in read_blocks(info, block):
        yield to_float32(frames, info.channels)


def audio_attributes(rate: int, channels: int, model: str) -> AudioAttributes:
    return AudioAttributes(sampling_rate=engine_rate(rate), channels=channels,
                           model_name=model)


def translation_attributes(rate: int, channels: int, language_in: str, language_out: str,
                           on_text: Callable[[TextFrame], object]) -> ProcessorAttributes:
    lt = LanguageTranslationConfig(language_in, language_out, callback=on_text)
    return ProcessorAttributes(audio_attributes(rate, channels, ""), lt)


class Counted:
    """Blocks passed on, their values (frames times channels) counted: the
    length of a stream known only once it has been read."""

    def __init__(self, blocks: Iterable[Samples]):
        self._blocks = blocks
        self.values = 0

    def __iter__(self) -> Iterator[Samples]:
        for block in self._blocks:
            self.values += block.size
            yield block


def aligned(pieces: Iterable[Samples], total: int | Counted) -> Iterator[Samples]:
    """Exactly as many values as were given (`total`, or what `Counted` blocks
    passed on so far): resampling there and back may be a frame off. The
    output never runs ahead of the input read so far."""
    def given_so_far() -> int:
        return total if isinstance(total, int) else total.values

    given = 0
    for piece in pieces:
        piece = piece[:given_so_far() - given]
        given += piece.size
        if piece.size:
            yield piece
    if given < given_so_far():
        yield np.zeros(given_so_far() - given, dtype=np.float32)


def denoise_file(sdk: Sdk, info: AudioInfo, out_path: str, model: str,
                 progress: Progress | None = None, partial_tag: str | None = None) -> Result:
    """`info`'s audio through `model` into `out_path` (see writers.FileWriter
    for `partial_tag`)."""
    container, subtype = output_format(out_path, info)
    attrs = ProcessorAttributes(audio_attributes(info.rate, info.channels, model))
    writer = open_writer(out_path, info.rate, info.channels, container, subtype, partial_tag)
    blocks = Counted(file_blocks(info))
    try:
        started = time.perf_counter()
        pieces = streamed(sdk, attrs, blocks, info.rate, info.channels, progress)
        for piece in aligned(pieces, blocks):
            writer.write(piece)
        elapsed = time.perf_counter() - started
        if blocks.values == 0:
            raise BadInput(f"{info.name}: no audio in it (0 frames)")
        writer.commit()
    except BaseException:
        writer.discard()
        raise
    if info.streamed:
        info = replace(info, frames=blocks.values // info.channels)
    return Result(info, attrs.audio_attributes.sampling_rate, elapsed)


def translate_file(sdk: Sdk, info: AudioInfo, language_in: str, language_out: str,
                   on_text: Callable[[TextFrame], object],
                   progress: Progress | None = None) -> Result:
    attrs = translation_attributes(info.rate, info.channels, language_in, language_out,
                                   on_text)
    started = time.perf_counter()
    for _ in streamed(sdk, attrs, file_blocks(info), info.rate, info.channels, progress):
        pass  # the audio comes back unchanged; the transcripts are the result
    return Result(info, attrs.audio_attributes.sampling_rate, time.perf_counter() - started)
