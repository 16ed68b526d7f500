"""What a job does with each file on a worker: what a task is sent (with the
file), pickled, so it holds settings only and never the key."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Protocol

from ..cli.transcribe import SPEECH_MODEL

if TYPE_CHECKING:
    from _kolta_module import Sdk

    from ..audiofile import AudioInfo
    from ..pipeline import Progress


class FileWork(Protocol):
    @property
    def name(self) -> str:
        """The command, in task names and on the progress bar."""

    @property
    def model(self) -> str:
        """The model the key must grant: named when a processor is refused."""

    @property
    def transcript_format(self) -> str | None:
        """Outputs are <input's stem>.<this>, a transcript; None: audio named
        as its input."""

    def __call__(self, sdk: Sdk, info: AudioInfo, output: str, progress: Progress,
                 partial_tag: str) -> float:
        """Writes `output` from `info` under its temporary name (`partial_tag`,
        see writers.partial_path), renamed when complete; returns the seconds
        the streaming took."""


@dataclass(frozen=True)
class Denoise:
    """The file through an audio model, as `kolta denoise` writes it."""

    model: str

    @property
    def name(self) -> str:
        return "denoise"

    @property
    def transcript_format(self) -> str | None:
        return None

    def __call__(self, sdk: Sdk, info: AudioInfo, output: str, progress: Progress,
                 partial_tag: str) -> float:
        from .. import pipeline

        return pipeline.denoise_file(sdk, info, output, self.model, progress,
                                     partial_tag).seconds


@dataclass(frozen=True)
class Transcript:
    """The file's transcript in `transcript_format`, translated to
    `language_out` unless it is None: the text `kolta transcribe` (or
    `translate`) writes to stdout."""

    language_in: str
    language_out: str | None
    transcript_format: str

    @property
    def name(self) -> str:
        return "transcribe" if self.language_out is None else "translate"

    @property
    def model(self) -> str:
        return SPEECH_MODEL

    def __call__(self, sdk: Sdk, info: AudioInfo, output: str, progress: Progress,
                 partial_tag: str) -> float:
        from ..cli.transcribe import write_transcript
        from ..writers import TextFileWriter

        writer = TextFileWriter(output, partial_tag)
        try:
            result = write_transcript(sdk, info, self.language_in, self.language_out,
                                      self.transcript_format, writer.write, progress)
            writer.commit()
        except BaseException:
            writer.discard()
            raise
        return result.seconds
