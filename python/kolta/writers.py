"""Where processed audio goes: a file (written under a temporary name and
moved into place when complete), a device or named pipe (written in place),
or stdout (raw); and a transcript's text file, written the same way. Every
failure is an OSError whose filename is the output the user named and whose
strerror is the system's reason: libsndfile alone would only say "System
error"."""

from __future__ import annotations

import os
import sys
from typing import Protocol

import numpy as np
import numpy.typing as npt
import soundfile as sf

from .audiofile import raw_dtype, read_dtype, float32_to_pcm
from .formats import STREAM


class AudioWriter(Protocol):
    path: str
    frames: int

    def write(self, interleaved: npt.NDArray[np.float32]) -> None: ...

    def commit(self) -> None: ...

    def discard(self) -> None: ...


def partial_path(path: str, writer: int | str) -> str:
    """The temporary name `writer` writes `path` under (beside the file a
    symbolic link points to, which is the one replaced): a process id, or
    a longer tag where process ids are not unique (the hosts of a cluster)."""
    return f"{os.path.realpath(path)}.part{writer}"


def written_in_place(path: str) -> bool:
    """A device or named pipe: no temporary name, nothing to rename."""
    target = os.path.realpath(path)
    return os.path.exists(target) and not os.path.isfile(target)


def _temporary_path(path: str, in_place: bool, partial_tag: str | None) -> str:
    if in_place:
        return os.path.realpath(path)
    return partial_path(path, os.getpid() if partial_tag is None else partial_tag)


def open_writer(path: str, rate: int, channels: int, container: str, subtype: str,
                partial_tag: str | None = None) -> AudioWriter:
    if path == STREAM:
        return StdoutWriter(channels, subtype)
    return FileWriter(path, rate, channels, container, subtype, partial_tag)


def output_failure(path: str, error: BaseException) -> OSError:
    if isinstance(error, OSError) and error.strerror:
        return OSError(error.errno, error.strerror, path)
    return OSError(None, str(error) or type(error).__name__, path)


class _SystemFile:
    """The file libsndfile writes through (its virtual I/O): the first
    system error is kept, and never raised inside libsndfile's callbacks."""

    def __init__(self, path: str):
        self._file = open(path, "wb", buffering=0)  # noqa: SIM115 (closed by close())
        self.error: OSError | None = None

    def _failed(self, error: Exception) -> None:
        if self.error is None:
            self.error = error if isinstance(error, OSError) else OSError(None, str(error))

    def write(self, data: bytes) -> int:
        view, done = memoryview(data), 0
        try:
            while self.error is None and done < len(view):
                done += self._file.write(view[done:]) or 0
        except (OSError, ValueError) as error:
            self._failed(error)
        return done

    def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        try:
            return self._file.seek(offset, whence)
        except (OSError, ValueError) as error:
            self._failed(error)
            return -1

    def tell(self) -> int:
        try:
            return self._file.tell()
        except (OSError, ValueError) as error:
            self._failed(error)
            return -1

    def close(self) -> None:
        try:
            self._file.close()
        except OSError as error:
            self._failed(error)


class FileWriter:
    """Writes float32 frames to a temporary file (named by `partial_tag`, by
    default this process's id), moved into place by `commit`."""

    def __init__(self, path: str, rate: int, channels: int, container: str, subtype: str,
                 partial_tag: str | None = None):
        self.path = path
        self.frames = 0
        self._in_place = written_in_place(path)
        self._target = os.path.realpath(path)
        self._temporary = _temporary_path(path, self._in_place, partial_tag)
        self._channels = channels
        self._dtype = read_dtype(subtype)
        try:
            self._sink = _SystemFile(self._temporary)
        except OSError as error:
            raise output_failure(path, error) from None
        try:
            self._file = sf.SoundFile(self._sink, "w", samplerate=rate, channels=channels,
                                      format=container, subtype=subtype,
                                      endian="LITTLE" if container == "RAW" else "FILE")
        except Exception as error:
            self._sink.close()
            self._remove_temporary()
            raise self._failure(error) from None

    def _failure(self, error: BaseException) -> OSError:
        return output_failure(self.path, self._sink.error or error)

    def write(self, interleaved: npt.NDArray[np.float32]) -> None:
        if not interleaved.size:
            return
        frames = interleaved.reshape(-1, self._channels)
        try:
            self._file.write(float32_to_pcm(frames, self._dtype))
        except Exception as error:  # libsndfile's, or soundfile's check of the count
            raise self._failure(error) from None
        if self._sink.error is not None:
            raise self._failure(self._sink.error)
        self.frames += len(frames)

    def commit(self) -> None:
        try:
            self._file.close()  # the header's final sizes are written here
            self._sink.close()
            if self._sink.error is not None:
                raise self._sink.error
            if not self._in_place:
                os.replace(self._temporary, self._target)
        except Exception as error:
            self.discard()
            raise self._failure(error) from None

    def discard(self) -> None:
        try:
            self._file.close()
        except Exception:  # noqa: S110 (already failing; the first reason is the one told)
            pass
        self._sink.close()
        self._remove_temporary()

    def _remove_temporary(self) -> None:
        if not self._in_place and os.path.exists(self._temporary):
            os.remove(self._temporary)


class TextFileWriter:
    """UTF-8 text to a temporary file (named as FileWriter's), moved into
    place by `commit`."""

    def __init__(self, path: str, partial_tag: str | None = None):
        self.path = path
        self._in_place = written_in_place(path)
        self._target = os.path.realpath(path)
        self._temporary = _temporary_path(path, self._in_place, partial_tag)
        try:
            # newline="": the text's own line ends, as written to stdout on POSIX.
            self._file = open(self._temporary, "w", encoding="utf-8",  # noqa: SIM115
                              newline="")
        except OSError as error:
            raise output_failure(path, error) from None

    def write(self, text: str) -> None:
        try:
            self._file.write(text)
        except OSError as error:
            raise output_failure(self.path, error) from None

    def commit(self) -> None:
        try:
            self._file.close()
            if not self._in_place:
                os.replace(self._temporary, self._target)
        except OSError as error:
            self.discard()
            raise output_failure(self.path, error) from None

    def discard(self) -> None:
        try:
            self._file.close()
        except OSError:  # already failing; the first reason is the one told
            pass
        if not self._in_place and os.path.exists(self._temporary):
            os.remove(self._temporary)


class StdoutWriter:
    """Raw frames on stdout as they come (int16 or float32, little-endian)."""

    path = STREAM

    def __init__(self, channels: int, subtype: str):
        self.frames = 0
        self._channels = channels
        self._bytes = raw_dtype(subtype)
        self._dtype = read_dtype(subtype)
        self._fd = sys.stdout.fileno()
        if sys.platform == "win32":
            import msvcrt

            msvcrt.setmode(self._fd, os.O_BINARY)

    def write(self, interleaved: npt.NDArray[np.float32]) -> None:
        frames = interleaved.reshape(-1, self._channels)
        data = memoryview(float32_to_pcm(frames, self._dtype).astype(self._bytes).tobytes())
        try:  # unbuffered: nothing is left to fail again at exit
            while data:
                data = data[os.write(self._fd, data):]
        except OSError as error:
            raise output_failure(STREAM, error) from None
        self.frames += len(frames)

    def commit(self) -> None:
        pass

    def discard(self) -> None:
        pass
