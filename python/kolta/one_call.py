"""One call for a whole recording: `denoise` an array, `transcribe` an array
or a file. Each signs in with the command line's key rules (`api_key`, else
$KOLTA_API_KEY, else the reference engine's demo key) and resamples a rate
the engine does not take, there and back, as the command line does."""

from __future__ import annotations

import os
import threading
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any, Union

import numpy as np
import numpy.typing as npt

from _kolta_module import ProcessorAttributes, Sdk, TextFrame, TranscriptType

from .audiofile import float32_to_pcm, inspect
from .cli.transcript_format import seconds
from .errors import BadInput
from .pipeline import aligned, audio_attributes, file_blocks, streamed, translation_attributes
from .streams import Samples, to_float32

PathLike = Union[str, "os.PathLike[str]"]


@dataclass(frozen=True)
class Segment:
    """One final stretch of transcript; times in seconds from the start (0
    where the engine's stamp is unreadable, as in the command line's)."""

    start: float
    end: float
    text: str
    probability: float


def denoise(samples: npt.ArrayLike, rate: int, channels: int | None = None,
            model: str = "denoise", api_key: str | None = None,
            storage_dir: PathLike | None = None) -> npt.NDArray[Any]:
    """`samples` through `model`, aligned sample for sample: the same shape
    and kind of dtype (float32 or float64 as given; int16 and int32 PCM come
    back in their own dtype, clipped). A 2-D array is (frames, channels);
    a 1-D one is interleaved, `channels` (default 1) per frame."""
    data = np.asarray(samples)
    channels = _channels_of(data, channels)
    interleaved = to_float32(data, channels)
    _check_rate(rate)
    sdk = _signed_in(storage_dir, api_key)
    attrs = ProcessorAttributes(audio_attributes(rate, channels, model))
    pieces = streamed(sdk, attrs, [interleaved], rate, channels)
    out = np.concatenate([interleaved[:0], *aligned(pieces, interleaved.size)])
    return _like(out, data)


def transcribe(path_or_samples: PathLike | npt.ArrayLike, rate: int | None = None,
               channels: int | None = None, *, language: str = "en-US",
               api_key: str | None = None,
               storage_dir: PathLike | None = None) -> list[Segment]:
    """The final transcript segments of a recording in `language`, in order.
    A path is read with its own rate and channels (`rate` and `channels`,
    if given, must match them); samples need `rate`, and are laid out as
    for `denoise`."""
    if isinstance(path_or_samples, (str, os.PathLike)):
        blocks, rate, channels = _file(os.fspath(path_or_samples), rate, channels)
    else:
        if rate is None:
            raise TypeError("transcribe needs the samples' rate (rate=...)")
        data = np.asarray(path_or_samples)
        channels = _channels_of(data, channels)
        blocks = [to_float32(data, channels)]
        _check_rate(rate)
    sdk = _signed_in(storage_dir, api_key)
    segments: list[Segment] = []
    lock = threading.Lock()

    def keep(frame: TextFrame) -> None:  # on the processor's thread
        if frame.type_ != TranscriptType.TRANSCRIPTION:
            return
        final = [Segment(seconds(s.start), seconds(s.end), s.text, s.probability)
                 for s in frame.transcript_data_.complete]
        with lock:
            segments.extend(final)

    # The same language out: transcripts only, no translation to wait for.
    attrs = translation_attributes(rate, channels, language, language, keep)
    try:
        for _ in streamed(sdk, attrs, blocks, rate, channels):
            pass  # the audio comes back unchanged
    except BadInput as error:  # a file damaged past its header
        raise ValueError(str(error)) from None
    # Leaving `streamed` closed the processor, which delivers every transcript.
    with lock:
        return list(segments)


def _file(path: str, rate: int | None,
          channels: int | None) -> tuple[Iterable[Samples], int, int]:
    try:
        info = inspect(path)
    except BadInput as error:
        raise ValueError(str(error)) from None
    if rate is not None and rate != info.rate:
        raise ValueError(f"{path} is at {info.rate} Hz, not {rate} Hz (a file's own rate "
                         "is used: leave rate out)")
    if channels is not None and channels != info.channels:
        raise ValueError(f"{path} has {info.channels} channel(s), not {channels}")
    return file_blocks(info), info.rate, info.channels


def _channels_of(data: npt.NDArray[Any], channels: int | None) -> int:
    if channels is not None:
        return channels
    return int(data.shape[1]) if data.ndim == 2 else 1


def _check_rate(rate: int) -> None:
    if rate < 1:
        raise ValueError(f"bad sampling rate {rate} Hz")


def _signed_in(storage_dir: PathLike | None, api_key: str | None) -> Sdk:
    # The command line's rules for the storage folder and the key.
    from .cli.signin import signed_in_sdk

    try:
        return signed_in_sdk(None if storage_dir is None else os.fspath(storage_dir), api_key)
    except BadInput as error:  # a one-line message, the key never in it
        raise RuntimeError(str(error)) from None


def _like(out: Samples, data: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """`out` (interleaved float32) in the shape and kind of dtype of `data`."""
    shaped = out.reshape(data.shape)
    if data.dtype in (np.int16, np.int32):
        return float32_to_pcm(shaped, str(data.dtype))
    return shaped.astype(np.float64) if data.dtype == np.float64 else shaped
