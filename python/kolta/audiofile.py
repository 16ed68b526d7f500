"""Audio files for the command line: what libsndfile (PyPI soundfile) reads.

Integer PCM is read and written as integers and scaled here, so that a 16-
or 24-bit file comes back bit-exact through a passthrough model (libsndfile's
own float conversion scales reading and writing differently).

Raw audio has no header: `-` (stdin or stdout) or a `.raw` file. It is
interleaved little-endian float32 or int16, at the rate and channel count
the user gives (RawLayout)."""

from __future__ import annotations

import os
import sys
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import soundfile as sf

from .errors import BadInput
from .formats import RAW_SAMPLE_FORMATS, STREAM, SUPPORTED_CHANNELS, layout

# Read as int16 (8-bit PCM is widened by libsndfile) or int32 (24-bit sits in
# the top bytes); anything else is decoded to float32 by libsndfile.
_INT16_SUBTYPES = frozenset({"PCM_S8", "PCM_U8", "PCM_16", "DPCM_8", "DPCM_16"})
_INT32_SUBTYPES = frozenset({"PCM_24", "PCM_32"})

RAW_EXTENSION = "raw"
_RAW_DTYPES: dict[str, np.dtype[np.generic]] = {"FLOAT": np.dtype("<f4"),
                                                 "PCM_16": np.dtype("<i2")}


@dataclass(frozen=True)
class RawLayout:
    """What raw audio holds, as the user says (--rate, --channels, --sample-format)."""
    rate: int | None = None
    channels: int | None = None
    sample_format: str = "float32"


@dataclass(frozen=True)
class AudioInfo:
    path: str
    rate: int
    channels: int
    frames: int
    format: str
    subtype: str

    @property
    def seconds(self) -> float:
        return self.frames / self.rate

    @property
    def streamed(self) -> bool:
        """Read from stdin: `frames` is 0, the length is known once read."""
        return self.path == STREAM

    @property
    def name(self) -> str:
        return "stdin" if self.streamed else self.path

    @property
    def layout(self) -> str:
        return layout(self.channels)


def read_dtype(subtype: str) -> str:
    if subtype in _INT16_SUBTYPES:
        return "int16"
    if subtype in _INT32_SUBTYPES:
        return "int32"
    return "float32"


def is_raw(path: str) -> bool:
    return path == STREAM or os.path.splitext(path)[1].lstrip(".").lower() == RAW_EXTENSION


def inspect(path: str, raw: RawLayout | None = None) -> AudioInfo:
    """Checks that `path` is audio the engine can take (after resampling)."""
    if path != STREAM:
        _check_file(path)
    if is_raw(path):
        return _inspect_raw(path, raw or RawLayout())
    try:
        info = sf.info(path)
    except (RuntimeError, OSError) as error:
        raise BadInput(f"{path}: not an audio file libsndfile can read ({_reason(error)})") \
            from None
    if info.channels not in SUPPORTED_CHANNELS:
        raise BadInput(f"{path}: {info.channels} channels; only mono and stereo "
                       "are supported (downmix it first)")
    if info.frames <= 0:
        raise BadInput(f"{path}: no audio in it (0 frames)")
    return AudioInfo(path, int(info.samplerate), int(info.channels), int(info.frames),
                     str(info.format), str(info.subtype))


def _check_file(path: str) -> None:
    if not os.path.exists(path):
        raise BadInput(f"{path}: no such file")
    if os.path.isdir(path):
        raise BadInput(f"{path}: is a folder, not an audio file")
    if os.path.getsize(path) == 0:
        raise BadInput(f"{path}: empty file (0 bytes)")


def _inspect_raw(path: str, raw: RawLayout) -> AudioInfo:
    name = "stdin" if path == STREAM else path
    if raw.rate is None or raw.channels is None:
        raise BadInput(f"{name}: raw audio (no header) needs --rate and --channels")
    if raw.channels not in SUPPORTED_CHANNELS:
        raise BadInput(f"{name}: --channels {raw.channels}; only mono and stereo "
                       "are supported")
    subtype = RAW_SAMPLE_FORMATS[raw.sample_format]
    frames = 0  # stdin: counted while read
    if path != STREAM:
        frames = os.path.getsize(path) // (_RAW_DTYPES[subtype].itemsize * raw.channels)
        if frames == 0:
            raise BadInput(f"{path}: no audio in it (shorter than one frame)")
    return AudioInfo(path, raw.rate, raw.channels, frames, "RAW", subtype)


def output_format(path: str, source: AudioInfo) -> tuple[str, str]:
    """(format, subtype) for writing `path`: the container from its extension,
    the source's sample format when that container holds it; raw output is
    int16 from 8- or 16-bit PCM, else float32."""
    if is_raw(path):
        return "RAW", "PCM_16" if read_dtype(source.subtype) == "int16" else "FLOAT"
    extension = os.path.splitext(path)[1].lstrip(".").upper()
    aliases = {"OGA": "OGG", "AIF": "AIFF"}
    container = aliases.get(extension, extension)
    if container not in sf.available_formats():
        raise BadInput(f"{path}: unknown output format '.{extension.lower()}' "
                       "(use .wav, .flac, .ogg, ...; see kolta info)")
    if sf.check_format(container, source.subtype):
        return container, source.subtype
    return container, sf.default_subtype(container)


def read_blocks(info: AudioInfo, block_frames: int) -> Iterator[npt.NDArray[np.generic]]:
    """(frames, channels) blocks in the file's own integer type or float32."""
    if info.streamed:
        yield from _stdin_blocks(info, block_frames)
        return
    raw = dict(samplerate=info.rate, channels=info.channels, format="RAW",
               subtype=info.subtype, endian="LITTLE") if info.format == "RAW" else {}
    try:
        with sf.SoundFile(info.path, **raw) as source:
            yield from source.blocks(blocksize=block_frames, dtype=read_dtype(info.subtype),
                                     always_2d=True)
    except (RuntimeError, OSError) as error:  # damaged past its header, or gone since
        raise BadInput(f"{info.path}: cannot read the audio ({_reason(error)})") from None


def _reason(error: Exception) -> str:
    """libsndfile's (or the system's) reason, in one line."""
    return str(error).splitlines()[0] if str(error) else type(error).__name__


def _stdin_blocks(info: AudioInfo, block_frames: int) -> Iterator[npt.NDArray[np.generic]]:
    """Blocks as they arrive; a partial frame at the very end is dropped."""
    dtype = _RAW_DTYPES[info.subtype]
    frame_bytes = dtype.itemsize * info.channels
    stdin = sys.stdin.buffer
    while data := stdin.read(block_frames * frame_bytes):  # whole blocks until the end
        usable = len(data) - len(data) % frame_bytes
        if usable:
            samples = np.frombuffer(data[:usable], dtype).astype(dtype.newbyteorder("="))
            yield samples.reshape(-1, info.channels)


def raw_dtype(subtype: str) -> np.dtype[np.generic]:
    """The byte layout of raw audio in a subtype of RAW_SAMPLE_FORMATS."""
    return _RAW_DTYPES[subtype]


def float32_to_pcm(frames: npt.NDArray[np.float32], dtype: str) -> npt.NDArray[np.generic]:
    """`dtype` "int16" or "int32": rounded to that PCM, clipped to its range;
    anything else: `frames` as they are."""
    if dtype == "int16":
        return np.clip(np.round(frames * np.float32(32768.0)), -32768, 32767).astype(np.int16)
    if dtype == "int32":
        scaled = np.round(frames.astype(np.float64) * 2.0**31)
        return np.clip(scaled, -(2**31), 2**31 - 1).astype(np.int32)
    return frames


def readable_extensions() -> frozenset[str]:
    """File name extensions taken as audio when a folder is given."""
    names = {name.lower() for name in sf.available_formats()}
    return frozenset(names | {"oga", "aif"})
