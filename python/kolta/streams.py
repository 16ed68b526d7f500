"""Streaming with output aligned sample for sample with the input.

The engine needs chunks of at least 20 ms, returns its output 20 ms late,
releases the buffered tail only when given an all-zero (drain) chunk, and
never plays back drain chunks at the end of a stream. `AlignedStream` hides
all of that: feed chunks of any size; the concatenated results have exactly
the input's length, value *i* being processed input value *i*, whatever the
chunk sizes were.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Iterator

import numpy as np
import numpy.typing as npt

from _kolta_module import AudioFrame, AudioProcessor

from .formats import min_chunk_values
from .processor_formats import describe, format_of

Samples = npt.NDArray[np.float32]

_FLOAT32 = np.dtype(np.float32)
_ndarray = np.ndarray
_AudioFrame = AudioFrame
# A writable float32 array owning a copy of a frame's samples (format "f").
_copy_samples: Callable[[memoryview], Samples] = np.array
_EMPTY: Samples = np.zeros(0, dtype=np.float32)
_EMPTY.flags.writeable = False
# The drain releases the whole tail in one call; more rounds than this
# means the engine no longer follows its latency rule.
_MAX_DRAIN_ROUNDS = 64


def to_float32(samples: npt.ArrayLike, channels: int = 1) -> Samples:
    """Interleaved float32 samples from float32, float64, int16 or int32 PCM.

    Integer PCM is scaled by its full scale (int16 / 32768, int32 / 2**31),
    as AudioFrame scales it; NumPy does it several times faster for long
    chunks (tests/test_pcm_scaling.py holds the two together). A 2-D array
    is (frames, channels)."""
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

    The format comes from a processor opened with `kolta.open_processor`
    (`sampling_rate` and `channels`, when given, must match it); for any
    other processor, give `sampling_rate` (and `channels`, 1 by default).
    A 1-D input is interleaved and comes back 1-D; a 2-D (frames, channels)
    one comes back 2-D, and so does `finish` once the stream was fed one.

    A processor serves one stream, from its creation: the engine holds the
    drain chunks `finish` sends and would play them back in front of any
    later audio."""

    __slots__ = ("_process", "_channels", "_chunk", "_whole", "_drain", "_pending", "_given",
                 "_held", "_zero_tail", "_zero_tail_end", "_finished", "_frames_out")

    def __init__(self, processor: AudioProcessor, sampling_rate: int | None = None,
                 channels: int | None = None):
        sampling_rate, channels = _stream_format(processor, sampling_rate, channels)
        if channels < 1 or sampling_rate < 50:
            raise ValueError(f"bad stream format: {sampling_rate} Hz, {channels} channel(s)")
        self._process = processor.process_frame
        self._channels = channels
        self._chunk = min_chunk_values(sampling_rate, channels)
        # The size `feed` sends straight through: one chunk while nothing is
        # pending, none (-1) otherwise, so the common case costs one compare.
        self._whole = self._chunk
        self._drain = np.zeros(self._chunk, dtype=np.float32)
        self._pending: Samples | None = None  # fewer values than one chunk
        self._given = 0
        self._held = 0  # values given and not yet returned (negative: padding came back)
        # The run of 0.0 that ended the input when `_given` was `_zero_tail_end`;
        # any other `_given`: the input ends with a non-zero value. So a chunk
        # ending non-zero, the usual case, costs no bookkeeping.
        self._zero_tail = 0
        self._zero_tail_end = -1
        self._finished = False
        self._frames_out = False  # fed (frames, channels): `finish` answers alike

    @property
    def values_given(self) -> int:
        return self._given

    @property
    def values_returned(self) -> int:
        return self._given - self._held

    def feed(self, samples: npt.ArrayLike) -> Samples:
        """Adds samples; returns the output that is ready (maybe none)."""
        whole = self._whole
        if (type(samples) is _ndarray and samples.dtype is _FLOAT32 and samples.ndim == 1
                and len(samples) == whole):
            # One whole float32 chunk and nothing pending, the usual 20 ms
            # case: straight through, as few steps as possible. Counted only
            # once the processor took it: a refused chunk changes nothing.
            out = _copy_samples(self._process(_AudioFrame(samples)).samples)
            self._given += whole
            if not samples.item(-1):
                self._note_zero_tail(samples)
            if len(out) != whole:  # none while priming, more when held silence comes back
                self._held += whole - len(out)
            return out
        data = np.asarray(samples)
        out = self._feed_any(to_float32(data, self._channels))
        if data.ndim == 2:
            self._frames_out = True
            return out.reshape(-1, self._channels)
        return out

    def _feed_any(self, data: Samples) -> Samples:
        size = data.size
        if self._finished or not size or size % self._channels:
            return self._refuse(size)
        joined = data if self._pending is None else np.concatenate((self._pending, data))
        # Whole 20 ms chunks only, counted from the start of the stream: every
        # drain then finds whole 10 ms blocks buffered, and the output does
        # not depend on how the caller cut the input.
        usable = joined.size - joined.size % self._chunk
        out = self._send(joined[:usable]) if usable else _EMPTY
        # The processor took it (or nothing was sent): only now does the
        # stream change, so that a refused feed leaves it as it was.
        self._given += size
        self._held += size - out.size
        if not data[-1]:
            self._note_zero_tail(data)
        if usable < joined.size:
            self._pending = joined[usable:].copy()
            self._whole = -1
        else:
            self._pending = None
            self._whole = self._chunk
        return out

    def _refuse(self, size: int) -> Samples:
        if self._finished:
            raise RuntimeError("stream already finished")
        if size:
            raise ValueError(f"{size} values is not a whole number of "
                             f"{self._channels}-channel frames")
        return _EMPTY

    def finish(self) -> Samples:
        """Drains the tail: the rest of the output, up to the input's length."""
        tail = self._finish()
        return tail.reshape(-1, self._channels) if self._frames_out else tail

    def _finish(self) -> Samples:
        if self._finished:
            return _EMPTY
        self._finished = True
        self._whole = -1
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
        self._held -= tail.size
        surplus = -self._held
        if surplus > 0:  # the padding of the last short chunk
            if surplus > tail.size or surplus >= self._chunk:
                raise RuntimeError(f"the processor returned {surplus} values too many "
                                   "(was it used before this stream?)")
            return tail[:tail.size - surplus]
        # Trailing digital silence went in as drain input and is never played
        # back: it is silence, so it comes back as silence.
        zero_tail = self._zero_tail if self._zero_tail_end == self._given else 0
        if -surplus > zero_tail:
            raise RuntimeError(f"the processor returned {-surplus} values too few")
        return np.concatenate((tail, np.zeros(-surplus, dtype=np.float32)))

    def _note_zero_tail(self, data: Samples) -> None:
        """`data`, just counted in `_given`, ends with 0.0."""
        nonzero = np.flatnonzero(data)
        if nonzero.size:
            run = data.size - 1 - int(nonzero[-1])
        elif self._zero_tail_end == self._given - data.size:
            run = self._zero_tail + data.size  # the run goes on
        else:
            run = data.size
        self._zero_tail, self._zero_tail_end = run, self._given

    def _send(self, data: Samples) -> Samples:
        out = self._process(_AudioFrame(data))
        if not out.frame_count:
            return _EMPTY
        return _copy_samples(out.samples)


def _stream_format(processor: AudioProcessor, sampling_rate: int | None,
                   channels: int | None) -> tuple[int, int]:
    known = format_of(processor)
    if known is None:
        if sampling_rate is None:
            raise TypeError("AlignedStream needs sampling_rate: the processor was not opened "
                            "with kolta.open_processor, so its format is not known")
        return sampling_rate, 1 if channels is None else channels
    wanted = (known[0] if sampling_rate is None else sampling_rate,
              known[1] if channels is None else channels)
    if wanted != known:
        raise ValueError(f"a {describe(*wanted)} stream cannot go through a processor "
                         f"opened for {describe(*known)}: resample (or remix) the audio, "
                         "or open the processor for its format")
    return known


def process_stream(processor: AudioProcessor, chunks: Iterable[npt.ArrayLike],
                   sampling_rate: int | None = None,
                   channels: int | None = None) -> Iterator[Samples]:
    """Streams `chunks` through `processor`; yields float32 output whose
    concatenation has the input's exact length (formats as `AlignedStream`)."""
    stream = AlignedStream(processor, sampling_rate, channels)
    for chunk in chunks:
        out = stream.feed(chunk)
        if out.size:
            yield out
    tail = stream.finish()
    if tail.size:
        yield tail
