"""`kolta transcribe`, and the streaming it shares with `kolta translate`:
the transcript on stdout as finals arrive, status lines on stderr.

The processor's thread only queues what it is given: writing there could
fail (a reader that went away) where nobody can stop the run. This thread
writes the queue out after each block of audio and once more when the
processor has been drained and closed."""

from __future__ import annotations

import argparse
import queue
import sys
from dataclasses import dataclass, replace

from _kolta_module import TextFrame, TranscriptSegment, TranscriptType

from ..errors import BadInput
from ..languages import RECOGNISED, recognised
from ..progress import ProgressBar
from .reporting import describe
from .signin import processor_refused, signed_in_sdk
from .transcript_format import PARTIAL_FORMATS, Segment, TranscriptWriter, seconds

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

    def __init__(self, writer: TranscriptWriter, partials: bool, translating: bool):
        self._writer = writer
        self._partials = partials
        self._translating = translating
        self._held: list[Segment] = []

    def begin(self) -> None:
        self._write(self._writer.header())

    def take(self, updates: queue.SimpleQueue[_Update]) -> None:
        while True:
            try:
                update = updates.get_nowait()
            except queue.Empty:
                return
            self._add(update)

    def finish(self) -> None:
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

    @staticmethod
    def _write(text: str) -> None:
        if text:
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


def stream_transcript(args: argparse.Namespace, language_in: str,
                      language_out: str | None) -> int:
    """Streams args.input through the speech model; translates to
    `language_out` unless it is None."""
    from ..audiofile import inspect
    from ..pipeline import translate_file

    if args.partials and args.format not in PARTIAL_FORMATS:
        raise BadInput(f"--partials goes with --format {' or '.join(PARTIAL_FORMATS)} "
                       "(subtitles hold finals only)")
    info = inspect(args.input)
    sdk = signed_in_sdk(args.storage, args.api_key)
    pair = f"{language_in} -> {language_out}" if language_out else language_in
    status = f"SDK version {sdk.version}, signed in; {info.path}: {describe(info)}, {pair}"
    output = _Output(TranscriptWriter(args.format, language_out), args.partials,
                     translating=language_out is not None)
    updates: queue.SimpleQueue[_Update] = queue.SimpleQueue()
    started = False

    def on_text(frame: TextFrame) -> None:  # on the processor's thread
        updates.put(_update(frame))

    with ProgressBar(info.seconds, args.command) as bar:

        def advance(seconds_done: float) -> None:
            nonlocal started
            if not started:  # the processor took a block: a refusal came before any output
                started = True
                print(status, file=sys.stderr, flush=True)
                output.begin()
            bar.advance(seconds_done)
            output.take(updates)

        try:
            # Without a target, the spoken language itself: no translator.
            translate_file(sdk, info, language_in, language_out or language_in, on_text,
                           advance)
        except (RuntimeError, ValueError) as error:
            raise processor_refused(error, SPEECH_MODEL) from None
    output.take(updates)  # drained and closed: everything was delivered
    output.finish()
    return 0


def run_transcribe(args: argparse.Namespace) -> int:
    return stream_transcript(args, spoken_language(args.language_in), None)
