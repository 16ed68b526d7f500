"""Audio files for the command line: what libsndfile (PyPI soundfile) reads.

Integer PCM is read and written as integers and scaled here, so that a 16-
or 24-bit file comes back bit-exact through a passthrough model (libsndfile's
own float conversion scales reading and writing differently)."""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
import soundfile as sf

from .errors import BadInput
from .formats import SUPPORTED_CHANNELS

# Read as int16 (8-bit PCM is widened by libsndfile) or int32 (24-bit sits in
# the top bytes); anything else is decoded to float32 by libsndfile.
_INT16_SUBTYPES = frozenset({"PCM_S8", "PCM_U8", "PCM_16", "DPCM_8", "DPCM_16"})
_INT32_SUBTYPES = frozenset({"PCM_24", "PCM_32"})


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
    def layout(self) -> str:
        return {1: "mono", 2: "stereo"}.get(self.channels, f"{self.channels} channels")


def read_dtype(subtype: str) -> str:
    if subtype in _INT16_SUBTYPES:
        return "int16"
    if subtype in _INT32_SUBTYPES:
        return "int32"
    return "float32"


def inspect(path: str) -> AudioInfo:
    """Checks that `path` is audio the engine can take (after resampling)."""
    if not os.path.exists(path):
        raise BadInput(f"{path}: no such file")
    if os.path.isdir(path):
        raise BadInput(f"{path}: is a folder, not an audio file")
    if os.path.getsize(path) == 0:
        raise BadInput(f"{path}: empty file (0 bytes)")
    try:
        info = sf.info(path)
    except (RuntimeError, OSError) as error:
        reason = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise BadInput(f"{path}: not an audio file libsndfile can read ({reason})") from None
    if info.channels not in SUPPORTED_CHANNELS:
        raise BadInput(f"{path}: {info.channels} channels; only mono and stereo "
                       "are supported (downmix it first)")
    if info.frames <= 0:
        raise BadInput(f"{path}: no audio in it (0 frames)")
    return AudioInfo(path, int(info.samplerate), int(info.channels), int(info.frames),
                     str(info.format), str(info.subtype))


def output_format(path: str, source: AudioInfo) -> tuple[str, str]:
    """(format, subtype) for writing `path`: the container from its extension,
    the source's sample format when that container holds it."""
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
    with sf.SoundFile(info.path) as source:
        yield from source.blocks(blocksize=block_frames, dtype=read_dtype(info.subtype),
                                 always_2d=True)


class Writer:
    """Writes float32 frames to a temporary file, moved into place by `commit`."""

    def __init__(self, path: str, rate: int, channels: int, container: str, subtype: str):
        self.path = path
        self._temporary = f"{path}.part{os.getpid()}"
        self._channels = channels
        self._dtype = read_dtype(subtype)
        self._file = sf.SoundFile(self._temporary, "w", samplerate=rate, channels=channels,
                                  format=container, subtype=subtype)
        self.frames = 0

    def write(self, interleaved: npt.NDArray[np.float32]) -> None:
        if not interleaved.size:
            return
        frames = interleaved.reshape(-1, self._channels)
        self._file.write(_to_file_dtype(frames, self._dtype))
        self.frames += len(frames)

    def commit(self) -> None:
        self._file.close()
        os.replace(self._temporary, self.path)

    def discard(self) -> None:
        self._file.close()
        if os.path.exists(self._temporary):
            os.remove(self._temporary)


def _to_file_dtype(frames: npt.NDArray[np.float32], dtype: str) -> npt.NDArray[np.generic]:
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
