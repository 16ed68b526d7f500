"""The lines the commands print about files, a processor's refusal, an
output's failure, and how fast the work went."""

from __future__ import annotations

import sys
import threading
from typing import TYPE_CHECKING, TextIO

from ..errors import BadInput, JobFailed
from ..formats import STREAM
from .signin import processor_refused

if TYPE_CHECKING:  # the audio modules load NumPy and libsndfile: see workers.start_workers
    from ..audiofile import AudioInfo
    from ..progress import ProgressBar

QUIET, NORMAL, VERBOSE = 0, 1, 2
# Shorter audio is timed mostly by the processor's start-up: its speed says nothing.
SHORTEST_TIMED_SECONDS = 1.0


def seconds_text(seconds: float) -> str:
    return f"{seconds:.2f} s" if seconds < 1 else f"{seconds:.1f} s"


def describe(info: AudioInfo) -> str:
    return (f"{seconds_text(info.seconds)} at {info.rate} Hz {info.layout}, "
            f"{info.format} {info.subtype}")


def speed_text(audio_seconds: float, elapsed: float) -> str:
    """'real-time factor F (Nx faster than real time)', or too short to time."""
    if audio_seconds < SHORTEST_TIMED_SECONDS or elapsed <= 0:
        return "real-time factor: too short to time"
    factor = elapsed / audio_seconds
    if factor <= 1:
        speed = 1 / factor
        figure = f"{speed:.0f}x" if speed >= 10 else f"{speed:.1f}x"
        return f"real-time factor {factor:.4f} ({figure} faster than real time)"
    return f"real-time factor {factor:.4f} ({factor:.1f}x slower than real time)"


def output_name(path: str) -> str:
    return "stdout" if path == STREAM else path


def output_error(error: OSError) -> str:
    """An output that cannot be written: which, and the system's reason."""
    return f"cannot write {output_name(str(error.filename))}: {error.strerror}"


def processor_error(error: Exception, model: str) -> BadInput:
    """create_audio_processor's refusal (model not granted, no sign-in)."""
    return processor_refused(error, model, f"cannot open a '{model}' processor")


# What a file's work raises that is told in one line (see work_failure).
WORK_ERRORS = (OSError, RuntimeError, ValueError)


def work_failure(error: Exception, model: str) -> BadInput | JobFailed:
    """One of WORK_ERRORS, told: an output that cannot be written (OSError)
    fails the job; anything else is the `model` processor's refusal."""
    if isinstance(error, OSError):
        return JobFailed(output_error(error))
    return processor_error(error, model)


def not_done(names: list[str], files: int) -> str:
    """The last line of a job some files of which were given up."""
    return f"{len(names)} of {files} files not done: {', '.join(names)}"


class Reporter:
    """Lines about the work, above the progress bar when there is one: on
    stdout, or on stderr when stdout carries the audio. Quiet keeps only
    errors; verbose adds what normally goes without saying."""

    def __init__(self, verbosity: int = NORMAL, to_stderr: bool = False):
        self.verbosity = verbosity
        self._stream: TextIO = sys.stderr if to_stderr else sys.stdout
        self._bar: ProgressBar | None = None
        self._lock = threading.Lock()

    def use_bar(self, bar: ProgressBar | None) -> None:
        self._bar = bar

    def say(self, line: str, level: int = NORMAL) -> None:
        if self.verbosity >= level:
            self._print(line, self._stream)

    def warn(self, line: str) -> None:
        if self.verbosity > QUIET:
            self._print(f"kolta: {line}", sys.stderr)

    def _print(self, line: str, stream: TextIO) -> None:
        with self._lock:
            if self._bar is not None:
                self._bar.write(line, stream)
            else:
                print(line, file=stream, flush=True)

    def file_done(self, info: AudioInfo, out: str, engine_rate: int, elapsed: float) -> None:
        resampled = f", resampled to {engine_rate} Hz and back" if engine_rate != info.rate else ""
        timing = (f"real-time factor {elapsed / info.seconds:.4f}"
                  if info.seconds >= SHORTEST_TIMED_SECONDS else "too short to time")
        self.say(f"{info.name} ({describe(info)}{resampled}) -> {output_name(out)} [{timing}]")

    def totals(self, files: int, audio_seconds: float, elapsed: float) -> None:
        if files > 1:
            self.say(f"{files} files, {seconds_text(audio_seconds)} of audio")
        self.say(speed_text(audio_seconds, elapsed))
