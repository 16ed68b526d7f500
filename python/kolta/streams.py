"""Streaming with output aligned sample for sample with the input.

The engine needs chunks of at least 20 ms, returns its output 20 ms late,
releases the buffered tail only when given an all-zero (drain) chunk, and
never plays back drain chunks at the end of a stream. `AlignedStream` hides
all of that: feed chunks of any size; the concatenated results have exactly
the input's length, value *i* being processed input value *i*, whatever the
chunk sizes were.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator

import numpy as np
import numpy.typing as npt

from _kolta_module import AudioFrame, AudioProcessor

from .formats import min_chunk_values

Samples = npt.NDArray[np.float32]

_FLOAT32 = np.dtype(np.float32)
_frombuffer = np.frombuffer
_EMPTY: Samples = np.zeros(0, dtype=np.float32)
_EMPTY.flags.writeable = False
# The drain releases the whole tail in one call; more rounds than this
# means the engine no longer follows its latency rule.
_MAX_DRAIN_ROUNDS = 64


def to_float32(samples: npt.ArrayLike, channels: int = 1) -> Samples:
    """Interleaved float32 samples from float32, float64, int16 or int32 PCM.

    Integer PCM is scaled to [-1, 1) by its full scale (int16 / 32768,
    int32 / 2**31). A 2-D array is (frames, channels)."""
    data = np.asarray(samples)
    if data.ndim == 2:
        if data.shape[1] != channels:
            raise ValueError(f"samples have {data.shape[1]} channels, the stream {channels}")
    elif data.ndim != 1:
        raise ValueError(f"samples must be 1-D (interleaved) or 2-D (frames, channels), "
                         f"not {data.ndim}-D")
    kind = data.dtype
    if kind == _FLOAT32:
        converted = data
    elif kind == np.float64:
        converted = data.astype(np.float32)
    elif kind == np.int16:
        converted = data.astype(np.float32) / np.float32(32768.0)
    elif kind == np.int32:
        converted = (data.astype(np.float64) / 2.0**31).astype(np.float32)
    else:
        raise TypeError(f"unsupported sample type {kind} "
                        "(float32, float64, int16 or int32 PCM)")
    return np.ascontiguousarray(converted).reshape(-1)


class AlignedStream:
    """Feeds one processor; every `feed` returns what is ready, `finish`
    returns the rest. Not thread-safe: one feeding thread at a time.

    A processor serves one stream, from its creation: the engine holds the
    drain chunks `finish` sends and would play them back in front of any
    later audio."""

    __slots__ = ("_processor", "_channels", "_chunk", "_drain", "_pending", "_given",
                 "_returned", "_trailing_zeros", "_finished")

    def __init__(self, processor: AudioProcessor, sampling_rate: int, channels: int = 1):
        if channels < 1 or sampling_rate < 50:
            raise ValueError(f"bad stream format: {sampling_rate} Hz, {channels} channel(s)")
        self._processor = processor
        self._channels = channels
        self._chunk = min_chunk_values(sampling_rate, channels)
        self._drain = np.zeros(self._chunk, dtype=np.float32)
        self._pending: Samples | None = None  # fewer values than one chunk
        self._given = 0
        self._returned = 0
        self._trailing_zeros = 0  # length of the run of 0.0 ending the input
        self._finished = False

    @property
    def values_given(self) -> int:
        return self._given

    @property
    def values_returned(self) -> int:
        return self._returned

    def feed(self, samples: npt.ArrayLike) -> Samples:
        """Adds samples; returns the output that is ready (maybe none)."""
        if type(samples) is np.ndarray and samples.dtype is _FLOAT32 and samples.ndim == 1:
            data: Samples = samples
        else:
            data = to_float32(samples, self._channels)
        size = data.size
        if size != self._chunk or self._pending is not None or self._finished:
            return self._feed_any(data, size)
        # One whole chunk and nothing pending, the usual 20 ms case: straight
        # through, as few steps as possible.
        self._given += size
        if data[-1]:
            self._trailing_zeros = 0
        else:
            self._count_trailing_zeros(data)
        out = self._processor.process_frame(AudioFrame(data))
        count = out.frame_count
        if count:  # more than `size` when held silence comes back first
            self._returned += count
            return _frombuffer(out.samples, _FLOAT32).copy()
        return _EMPTY

    def _feed_any(self, data: Samples, size: int) -> Samples:
        if self._finished or not size or size % self._channels:
            return self._refuse(size)
        self._given += size
        if data[-1]:
            self._trailing_zeros = 0
        else:
            self._count_trailing_zeros(data)
        if self._pending is not None:
            data = np.concatenate((self._pending, data))
            self._pending = None
        # Whole 20 ms chunks only, counted from the start of the stream: every
        # drain then finds whole 10 ms blocks buffered, and the output does
        # not depend on how the caller cut the input.
        usable = data.size - data.size % self._chunk
        if usable < data.size:
            self._pending = data[usable:].copy()
            if not usable:
                return _EMPTY
            data = data[:usable]
        return self._send(data)

    def _refuse(self, size: int) -> Samples:
        if self._finished:
            raise RuntimeError("stream already finished")
        if size:
            raise ValueError(f"{size} values is not a whole number of "
                             f"{self._channels}-channel frames")
        return _EMPTY

    def finish(self) -> Samples:
        """Drains the tail: the rest of the output, up to the input's length."""
        if self._finished:
            return _EMPTY
        self._finished = True
        pieces = []
        if self._pending is not None:
            padded = np.zeros(self._chunk, dtype=np.float32)
            padded[:self._pending.size] = self._pending
            self._pending = None
            pieces.append(self._send(padded))
        for _ in range(_MAX_DRAIN_ROUNDS):
            out = self._send(self._drain)
            if not out.size:
                break
            pieces.append(out)
        else:
            raise RuntimeError("the processor kept returning audio for drain input")
        tail = np.concatenate(pieces) if pieces else _EMPTY
        surplus = self._returned - self._given
        if surplus > 0:  # the padding of the last short chunk
            if surplus > tail.size or surplus >= self._chunk:
                raise RuntimeError(f"the processor returned {surplus} values too many "
                                   "(was it used before this stream?)")
            return tail[:tail.size - surplus]
        # Trailing digital silence went in as drain input and is never played
        # back: it is silence, so it comes back as silence.
        if -surplus > self._trailing_zeros:
            raise RuntimeError(f"the processor returned {-surplus} values too few")
        return np.concatenate((tail, np.zeros(-surplus, dtype=np.float32)))

    def _count_trailing_zeros(self, data: Samples) -> None:
        nonzero = np.flatnonzero(data)
        if nonzero.size:
            self._trailing_zeros = data.size - 1 - int(nonzero[-1])
        else:
            self._trailing_zeros += data.size

    def _send(self, data: Samples) -> Samples:
        out = self._processor.process_frame(AudioFrame(data))
        count = out.frame_count
        if not count:
            return _EMPTY
        self._returned += count
        return _frombuffer(out.samples, _FLOAT32).copy()


def process_stream(processor: AudioProcessor, chunks: Iterable[npt.ArrayLike],
                   sampling_rate: int, channels: int = 1) -> Iterator[Samples]:
    """Streams `chunks` through `processor`; yields interleaved float32 output
    whose concatenation has the input's exact length."""
    stream = AlignedStream(processor, sampling_rate, channels)
    for chunk in chunks:
        out = stream.feed(chunk)
        if out.size:
            yield out
    tail = stream.finish()
    if tail.size:
        yield tail
