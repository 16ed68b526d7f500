"""One file through one processor: read, resample if needed, stream, write."""

from __future__ import annotations

import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass

import numpy as np
import soxr

from _kolta_module import (AudioAttributes, LanguageTranslationConfig, ProcessorAttributes,
                           Sdk, TextFrame)

from .audiofile import AudioInfo, Writer, output_format, read_blocks
from .formats import SUPPORTED_RATES, nearest_supported_rate
from .streams import AlignedStream, Samples, to_float32

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


def _engine_rate(info: AudioInfo) -> int:
    return info.rate if info.rate in SUPPORTED_RATES else nearest_supported_rate(info.rate)


def _streamed(sdk: Sdk, info: AudioInfo, attrs: ProcessorAttributes, engine_rate: int,
              progress: Progress | None) -> Iterator[Samples]:
    """Yields the processed audio at the file's own rate, aligned with it."""
    up = down = None
    if engine_rate != info.rate:
        up = _Resampler(info.rate, engine_rate, info.channels)
        down = _Resampler(engine_rate, info.rate, info.channels)
    block = max(1, int(BLOCK_SECONDS * info.rate))
    with sdk.create_audio_processor(attrs) as processor:
        stream = AlignedStream(processor, engine_rate, info.channels)
        for frames in read_blocks(info, block):
            samples = to_float32(frames, info.channels)
            out = stream.feed(up(samples) if up else samples)
            yield down(out) if down else out
            if progress:
                progress(len(frames) / info.rate)
        if up is None or down is None:
            yield stream.finish()
        else:
            rest = stream.feed(up(_EMPTY, last=True))  # the resampler's own delay
            yield down(np.concatenate((rest, stream.finish())), last=True)


def _aligned(pieces: Iterator[Samples], total: int) -> Iterator[Samples]:
    """Exactly `total` values: resampling there and back may be a frame off."""
    given = 0
    for piece in pieces:
        piece = piece[:total - given]
        given += piece.size
        if piece.size:
            yield piece
    if given < total:
        yield np.zeros(total - given, dtype=np.float32)


def denoise_file(sdk: Sdk, info: AudioInfo, out_path: str, model: str,
                 progress: Progress | None = None) -> Result:
    container, subtype = output_format(out_path, info)
    engine_rate = _engine_rate(info)
    attrs = ProcessorAttributes(AudioAttributes(sampling_rate=engine_rate,
                                                channels=info.channels, model_name=model))
    writer = Writer(out_path, info.rate, info.channels, container, subtype)
    try:
        started = time.perf_counter()
        pieces = _streamed(sdk, info, attrs, engine_rate, progress)
        for piece in _aligned(pieces, info.frames * info.channels):
            writer.write(piece)
        elapsed = time.perf_counter() - started
        writer.commit()
    except BaseException:
        writer.discard()
        raise
    return Result(info, engine_rate, elapsed)


def translate_file(sdk: Sdk, info: AudioInfo, language_in: str, language_out: str,
                   on_text: Callable[[TextFrame], object],
                   progress: Progress | None = None) -> Result:
    engine_rate = _engine_rate(info)
    lt = LanguageTranslationConfig(language_in, language_out, callback=on_text)
    attrs = ProcessorAttributes(AudioAttributes(sampling_rate=engine_rate,
                                                channels=info.channels, model_name=""), lt)
    started = time.perf_counter()
    for _ in _streamed(sdk, info, attrs, engine_rate, progress):
        pass  # the audio comes back unchanged; the transcripts are the result
    return Result(info, engine_rate, time.perf_counter() - started)
