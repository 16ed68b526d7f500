"""`kolta transcribe`, and the streaming it shares with `kolta translate`:
the transcript on stdout as finals arrive, status lines on stderr; with
--cluster, a transcript file per input (cluster_job). A worker of the
cluster writes the same text to its file (write_transcript).

The processor's thread only queues what it is given: writing there could
fail (a reader that went away) where nobody can stop the run. This thread
writes the queue out after each block of audio and once more when the
processor has been drained and closed."""

from __future__ import annotations

import argparse
import queue
import sys
from collections.abc import Callable
from dataclasses import dataclass, replace
from typing import TYPE_CHECKING

from _kolta_module import Sdk, TextFrame, TranscriptSegment, TranscriptType

from ..errors import BadInput
from ..languages import RECOGNISED, recognised
from ..progress import ProgressBar
from .reporting import describe
from .signin import processor_refused, signed_in_sdk
from .transcript_format import PARTIAL_FORMATS, Segment, TranscriptWriter, seconds

if TYPE_CHECKING:  # the audio modules load NumPy and libsndfile: see workers.start_workers
    from ..audiofile import AudioInfo
    from ..pipeline import Progress, Result

# The entitlement that speech needs: the engine's translation model.
SPEECH_MODEL = "translate"


@dataclass(frozen=True)
class _Update:
    """A TextFrame's content, copied on the processor's thread."""
    translation: bool
    utterance: int
    partial: tuple[Segment, ...]
    complete: tuple[Segment, ...]


def _update(frame: TextFrame) -> _Update:
    data = frame.transcript_data_

    def segments(items: list[TranscriptSegment], final: bool) -> tuple[Segment, ...]:
        return tuple(Segment(data.utterance_idx, final, seconds(s.start), seconds(s.end),
                             s.text, s.probability, data.language_code_) for s in items)

    return _Update(frame.type_ == TranscriptType.TRANSLATION, data.utterance_idx,
                   segments(data.partial, False), segments(data.complete, True))


class _Output:
    """Writes segments as updates come. Translating, a final waits for the
    translation of its utterance, which the engine sends next; any update of
    another utterance, or the end, writes it without one."""

    def __init__(self, writer: TranscriptWriter, partials: bool, translating: bool,
                 write: Callable[[str], object] | None = None):
        self._writer = writer
        self._out = write or _to_stdout
        self._partials = partials
        self._translating = translating
        self._held: list[Segment] = []
        self._updates: queue.SimpleQueue[_Update] = queue.SimpleQueue()

    def on_text(self, frame: TextFrame) -> None:
        """The processor's callback (on its thread): queues the update only."""
        self._updates.put(_update(frame))

    def begin(self) -> None:
        self._write(self._writer.header())

    def take(self) -> None:
        """Writes what the processor queued so far."""
        while True:
            try:
                update = self._updates.get_nowait()
            except queue.Empty:
                return
            self._add(update)

    def finish(self) -> None:
        """The processor was drained and closed: everything was delivered."""
        self.take()
        self._release([])

    def _add(self, update: _Update) -> None:
        if self._held and self._held[0].utterance != update.utterance:
            self._release([])
        if update.translation:
            self._release([s.text for s in update.complete])
            return
        if self._partials:
            for segment in update.partial:
                self._write(self._writer.segment(segment))
        finals = [s for s in update.complete if s.text.strip()]
        if self._translating:
            self._held.extend(finals)
        else:
            for segment in finals:
                self._write(self._writer.segment(segment))

    def _release(self, translations: list[str]) -> None:
        """The held finals, each with its translation (one for each, else all
        of it with the last)."""
        held, self._held = self._held, []
        if held and len(translations) != len(held):
            translations = [""] * (len(held) - 1) + [" ".join(translations)]
        for segment, text in zip(held, translations):
            self._write(self._writer.segment(replace(segment, translation=text or None)))

    def _write(self, text: str) -> None:
        if text:
            self._out(text)


def _to_stdout(text: str) -> None:
    sys.stdout.write(text)
    sys.stdout.flush()


def spoken_language(code: str) -> str:
    """The recognised language `code` names; an error for any other: the
    engine would describe the audio instead of transcribing it."""
    found = recognised(code)
    if found is None:
        raise BadInput(f"no speech recogniser for {code} "
                       f"(recognised: {', '.join(RECOGNISED)})")
    return found


def write_transcript(sdk: Sdk, info: AudioInfo, language_in: str, language_out: str | None,
                     form: str, write: Callable[[str], object],
                     progress: Progress | None = None) -> Result:
    """The transcript of `info` in `form`, finals only, handed to `write`
    as it comes, as `kolta transcribe` (`kolta translate`, with a
    `language_out`) writes it to stdout."""
    output = _Output(TranscriptWriter(form, language_out), partials=False,
                     translating=language_out is not None, write=write)
    result = _stream(output, sdk, info, language_in, language_out, progress)
    output.finish()
    return result


def _stream(output: _Output, sdk: Sdk, info: AudioInfo, language_in: str,
            language_out: str | None, progress: Progress | None = None,
            on_start: Callable[[], object] | None = None) -> Result:
    """Streams `info`'s audio through the speech model into `output`, but
    for its last updates (output.finish). `on_start` is called once the
    processor took the first block: a refusal comes before any output."""
    from ..pipeline import translate_file

    started = False

    def advance(seconds_done: float) -> None:
        nonlocal started
        if not started:
            started = True
            if on_start is not None:
                on_start()
            output.begin()
        if progress is not None:
            progress(seconds_done)
        output.take()

    # Without a target, the spoken language itself: no translator.
    return translate_file(sdk, info, language_in, language_out or language_in, output.on_text,
                          advance)


def transcripts(args: argparse.Namespace, language_in: str, language_out: str | None) -> int:
    """args.inputs' transcripts: one file's on stdout, or with --cluster a
    file per input in --out; translated to `language_out` unless it is None."""
    if args.cluster is not None:
        from .cluster_job import run_cluster_transcripts

        return run_cluster_transcripts(args, language_in, language_out)
    for option, given in (("--out", args.out), ("--report", args.report),
                          ("--jobs", args.jobs), ("--force", args.force),
                          ("--quiet", args.quiet), ("--verbose", args.verbose)):
        if given:
            raise BadInput(f"{option} goes with --cluster")
    if len(args.inputs) > 1:
        raise BadInput("several INs go with --cluster and --out DIR (a transcript file "
                       "each); without them, one IN's transcript goes to stdout")
    return stream_transcript(args, args.inputs[0], language_in, language_out)


def stream_transcript(args: argparse.Namespace, path: str, language_in: str,
                      language_out: str | None) -> int:
    """Streams the file `path` through the speech model, its transcript on
    stdout; translates to `language_out` unless it is None."""
    from ..audiofile import inspect

    if args.partials and args.format not in PARTIAL_FORMATS:
        raise BadInput(f"--partials goes with --format {' or '.join(PARTIAL_FORMATS)} "
                       "(subtitles hold finals only)")
    info = inspect(path)
    sdk = signed_in_sdk(args.storage, args.api_key)
    pair = f"{language_in} -> {language_out}" if language_out else language_in
    status = f"SDK version {sdk.version}, signed in; {info.path}: {describe(info)}, {pair}"

    def on_start() -> None:
        print(status, file=sys.stderr, flush=True)

    output = _Output(TranscriptWriter(args.format, language_out), args.partials,
                     translating=language_out is not None)
    with ProgressBar(info.seconds, args.command) as bar:
        try:
            _stream(output, sdk, info, language_in, language_out, bar.advance, on_start)
        except (RuntimeError, ValueError) as error:
            raise processor_refused(error, SPEECH_MODEL) from None
    output.finish()
    return 0


def run_transcribe(args: argparse.Namespace) -> int:
    return transcripts(args, spoken_language(args.language_in), None)
