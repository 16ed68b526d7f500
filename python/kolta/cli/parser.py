"""The command line's arguments: commands, options, their checks and help."""

from __future__ import annotations

import argparse
import re
from typing import NoReturn

from .. import __version__
from ..errors import BadInput
from ..formats import AUDIO_MODELS, RAW_SAMPLE_FORMATS
from ..storage import default_storage_dir
from .signin import KEY_FILE_VARIABLE, KEY_VARIABLE
from .transcript_format import FORMATS, PARTIAL_FORMATS

DESCRIPTION = ("The `kolta` command line: denoise files, transcribe and translate speech, "
               "show what is there.")
_LANGUAGE = re.compile(r"[a-z]{2,3}(-[A-Za-z0-9]{2,8})*")


class _Parser(argparse.ArgumentParser):
    """argparse that reports a usage error in one line (exit status 2)."""

    def error(self, message: str) -> NoReturn:
        raise BadInput(f"{message} (see {self.prog} --help)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="kolta", description=DESCRIPTION)
    parser.add_argument("--version", action="version", version=f"kolta {__version__}")
    common = _Parser(add_help=False)
    common.add_argument("--api-key", metavar="KEY",
                        help=f"API key (default: ${KEY_VARIABLE}, else the first line of "
                             f"the file ${KEY_FILE_VARIABLE}; with the reference engine "
                             "and none given, the demo key)")
    common.add_argument("--storage", metavar="DIR", default=None,
                        help="SDK storage folder, for its log (default: a per-user "
                             f"folder, {default_storage_dir()})")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=_Parser)

    denoise = commands.add_parser(
        "denoise", parents=[common], help="remove noise from audio files, folders or a pipe",
        description="Streams each IN through a model and writes OUT in the same sample "
                    "format (the container from OUT's extension). A folder IN is "
                    "walked, subfolders too, into the folder OUT; several INs go into "
                    "the folder OUT. - is stdin (as IN) or stdout (as OUT), raw audio.")
    denoise.add_argument("inputs", nargs="+", metavar="IN",
                         help="audio file, folder, or - (raw audio on stdin)")
    denoise.add_argument("output", metavar="OUT",
                         help="audio file, folder, or - (raw audio on stdout)")
    denoise.add_argument("--model", default="denoise", choices=AUDIO_MODELS,
                         help="model to run (default: denoise)")
    denoise.add_argument("--jobs", "-j", type=_positive, default=None, metavar="N",
                         help="with several files: files processed in parallel (worker "
                              "processes, one SDK each; default 1, with --cluster local 2)")
    _cluster_arguments(denoise, "OUT")
    raw = denoise.add_argument_group(
        "raw audio (- or .raw files: interleaved, little-endian, no header)")
    raw.add_argument("--rate", type=_positive, metavar="HZ", help="sampling rate")
    raw.add_argument("--channels", type=_positive, metavar="N", help="1 or 2")
    raw.add_argument("--sample-format", choices=tuple(RAW_SAMPLE_FORMATS),
                     help="of raw input (default: float32); raw output has the "
                          "input's: int16 from 8- or 16-bit PCM, else float32")
    _chatter(denoise)

    _speech_command(commands, common, "transcribe", "write the transcript of speech",
                    "the transcript to stdout as each final segment arrives")
    translate = _speech_command(
        commands, common, "translate", "write the transcript of speech and its translation",
        "each final segment with its translation to stdout as it arrives")
    translate.add_argument("--to", dest="language_out", default="es-ES", metavar="LANG",
                           type=_language, help="target language (default: es-ES)")

    commands.add_parser("info", parents=[common],
                        help="versions, models, formats and the key scheme")
    # Its arguments go to kolta-server unparsed (app.main).
    commands.add_parser("server", add_help=False,
                        help="run the sign-in service or manage its API keys (kolta-server)")
    return parser


def _cluster_arguments(command: argparse.ArgumentParser, outputs: str) -> None:
    command.add_argument("--cluster", metavar="ADDRESS",
                         help="do the files on a Dask cluster: a scheduler's address "
                              f"(tcp://HOST:PORT; the workers need the files, {outputs} "
                              f"and their own ${KEY_VARIABLE} or ${KEY_FILE_VARIABLE}), "
                              "or local: --jobs worker processes on this machine "
                              "(kolta[distributed])")
    command.add_argument("--report", metavar="FILE",
                         help="with --cluster: what became of each file, a JSON object "
                              "per line")
    command.add_argument("--force", "-f", action="store_true",
                         help="write over outputs that exist (never over an input)")


def _chatter(command: argparse.ArgumentParser) -> None:
    chatter = command.add_mutually_exclusive_group()
    chatter.add_argument("--quiet", "-q", action="store_true",
                         help="errors only: no file lines, no progress bar")
    chatter.add_argument("--verbose", "-v", action="store_true",
                         help="also list the files skipped in folders")


def _speech_command(commands: argparse._SubParsersAction[_Parser], common: _Parser, name: str,
                    summary: str, writes: str) -> _Parser:
    """transcribe or translate: the same arguments, `writes` told apart."""
    command = commands.add_parser(
        name, parents=[common], help=summary,
        description=f"Streams IN through the speech model and writes {writes}; status "
                    "lines go to stderr. With --cluster, several INs (folders walked) "
                    "each get a transcript file in --out DIR, as kolta denoise --cluster "
                    "does them.")
    command.add_argument("inputs", nargs="+", metavar="IN",
                         help="audio file (with --cluster: several, or folders)")
    command.add_argument("--from", dest="language_in", default="en-US", metavar="LANG",
                         type=_language, help="spoken language (default: en-US)")
    command.add_argument("--format", default="txt", choices=FORMATS,
                         help="txt: a line per final segment; json: an object per "
                              "segment per line; srt, vtt: subtitles (default: txt)")
    command.add_argument("--partials", action="store_true",
                         help="also the partial segments of an utterance in progress "
                              f"(--format {' or '.join(PARTIAL_FORMATS)}; not with "
                              "--cluster)")
    command.add_argument("--out", metavar="DIR",
                         help="with --cluster: the folder for the transcripts, "
                              "<IN's name without its extension>.<format> each (a folder "
                              "IN's files at the same place under DIR)")
    _cluster_arguments(command, "DIR")
    command.add_argument("--jobs", "-j", type=_positive, default=None, metavar="N",
                         help="with --cluster local: worker processes (default 2)")
    _chatter(command)
    return command


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return value


def _language(text: str) -> str:
    if not _LANGUAGE.fullmatch(text):
        raise argparse.ArgumentTypeError(f"not a language code like en-US: {text!r}")
    return text
