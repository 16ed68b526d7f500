"""The `kolta` command line: denoise files, translate speech, show what is there.

Every problem with what the user gave ends with one line on stderr and exit
status 2; inputs are checked before signing in wherever possible."""

from __future__ import annotations

import argparse
import contextlib
import multiprocessing
import os
import re
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import Future, ProcessPoolExecutor
from typing import TYPE_CHECKING, NoReturn

from _kolta_module import InitParams, Sdk, TextFrame, create_sdk

from . import __version__

from .errors import BadInput
from .formats import MODELS, SUPPORTED_CHANNELS, SUPPORTED_RATES
from .progress import ProgressBar
from .storage import default_storage_dir

if TYPE_CHECKING:  # the audio modules load NumPy and libsndfile: see _start_workers
    from .audiofile import AudioInfo

DEMO_KEY = "KOLTA-DEMO-KEY"
KEY_VARIABLE = "KOLTA_API_KEY"
AUDIO_MODELS = tuple(m for m in MODELS if m != "translate")
_LANGUAGE = re.compile(r"[a-z]{2,3}(-[A-Za-z0-9]{2,8})*")


class _Parser(argparse.ArgumentParser):
    """argparse that reports a usage error in one line (exit status 2)."""

    def error(self, message: str) -> NoReturn:
        raise BadInput(f"{message} (see {self.prog} --help)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="kolta", description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--version", action="version", version=f"kolta {__version__}")
    common = _Parser(add_help=False)
    common.add_argument("--api-key", metavar="KEY",
                        help=f"API key (default: ${KEY_VARIABLE}; with the reference "
                             "engine and neither given, the demo key)")
    common.add_argument("--storage", metavar="DIR", default=None,
                        help="SDK storage folder, for its log (default: a per-user "
                             f"folder, {default_storage_dir()})")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True,
                                     parser_class=_Parser)

    denoise = commands.add_parser(
        "denoise", parents=[common], help="remove noise from an audio file or a folder",
        description="Streams IN through a model and writes OUT in the same sample "
                    "format (the container from OUT's extension). IN may be a folder: "
                    "then every audio file in it goes to the folder OUT.")
    denoise.add_argument("input", metavar="IN", help="audio file or folder")
    denoise.add_argument("output", metavar="OUT", help="audio file or folder")
    denoise.add_argument("--model", default="denoise", choices=AUDIO_MODELS,
                         help="model to run (default: denoise)")
    denoise.add_argument("--jobs", "-j", type=_positive, default=1, metavar="N",
                         help="with a folder: files processed in parallel (worker "
                              "processes, one SDK each; default 1)")

    translate = commands.add_parser(
        "translate", parents=[common], help="print transcripts and translations of speech",
        description="Streams IN through the translation model and prints each "
                    "transcript and translation as it arrives.")
    translate.add_argument("input", metavar="IN", help="audio file")
    translate.add_argument("--from", dest="language_in", default="en-US", metavar="LANG",
                           type=_language, help="spoken language (default: en-US)")
    translate.add_argument("--to", dest="language_out", default="es-ES", metavar="LANG",
                           type=_language, help="target language (default: es-ES)")

    commands.add_parser("info", parents=[common],
                        help="versions, models, formats and the key scheme")
    return parser


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


# --- the SDK ------------------------------------------------------------------

def start_sdk(storage: str | None) -> Sdk:
    folder = storage or default_storage_dir()
    try:
        return create_sdk(InitParams(storage_dir=folder))
    except RuntimeError as error:
        raise BadInput(f"cannot use the storage folder {folder}: {error}") from None


def api_key(given: str | None, sdk: Sdk) -> str:
    key = given if given is not None else os.environ.get(KEY_VARIABLE)
    if key is not None:
        return key
    if sdk.version.endswith("-reference"):
        return DEMO_KEY
    raise BadInput(f"no API key: give --api-key or set {KEY_VARIABLE}")


def sign_in(sdk: Sdk, given_key: str | None) -> None:
    result = sdk.activate_api_key(api_key(given_key, sdk))
    if not result.success:  # the key itself is never shown
        raise BadInput(f"sign-in refused ({result.error_type.name}): {result.message}")


def signed_in_sdk(storage: str | None, given_key: str | None) -> Sdk:
    sdk = start_sdk(storage)
    sign_in(sdk, given_key)
    return sdk


def _processor_error(error: Exception, model: str) -> BadInput:
    """create_audio_processor's refusal (model not granted, no sign-in)."""
    return BadInput(f"cannot open a '{model}' processor: {error}")


# --- denoise --------------------------------------------------------------------

def _plan(input_path: str, output_path: str) -> list[tuple[AudioInfo, str]]:
    """(input, output) pairs, every input checked, before any sign-in."""
    from .audiofile import inspect, output_format, readable_extensions

    if not os.path.isdir(input_path):
        info = inspect(input_path)
        if os.path.isdir(output_path):
            output_path = os.path.join(output_path, os.path.basename(input_path))
        output_format(output_path, info)
        return [(info, output_path)]
    if os.path.exists(output_path) and not os.path.isdir(output_path):
        raise BadInput(f"{output_path}: IN is a folder, so OUT must be a folder too")
    extensions = readable_extensions()
    names = sorted(name for name in os.listdir(input_path)
                   if os.path.isfile(os.path.join(input_path, name))
                   and os.path.splitext(name)[1].lstrip(".").lower() in extensions)
    if not names:
        raise BadInput(f"{input_path}: no audio files in this folder")
    plan = [(inspect(os.path.join(input_path, name)), os.path.join(output_path, name))
            for name in names]
    for info, out in plan:
        output_format(out, info)
    return plan


def _describe(info: AudioInfo) -> str:
    return f"{info.seconds:.1f} s at {info.rate} Hz {info.layout}, {info.format} {info.subtype}"


def run_denoise(args: argparse.Namespace) -> int:
    pool = _start_workers(args)
    if pool is None:
        return _denoise(args, None)
    try:
        status = _denoise(args, pool)
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown()
    return status


def _denoise(args: argparse.Namespace, pool: ProcessPoolExecutor | None) -> int:
    from .pipeline import denoise_file

    plan = _plan(args.input, args.output)
    sdk = signed_in_sdk(args.storage, args.api_key)
    print(f"SDK version {sdk.version}, signed in", flush=True)
    out_dir = os.path.dirname(os.path.abspath(plan[0][1]))
    os.makedirs(out_dir, exist_ok=True)
    total_audio = sum(info.seconds for info, _ in plan)
    elapsed = 0.0
    if pool is not None and len(plan) > 1:
        elapsed = _denoise_in_workers(pool, sdk, plan, args, total_audio)
    else:
        with ProgressBar(total_audio, "denoise") as bar:
            for info, out in plan:
                try:
                    result = denoise_file(sdk, info, out, args.model, bar.advance)
                except (RuntimeError, ValueError) as error:
                    raise _processor_error(error, args.model) from None
                elapsed += result.seconds
                _report_file(info, out, result.engine_rate, result.real_time_factor)
    if len(plan) > 1:
        print(f"{len(plan)} files, {total_audio:.1f} s of audio")
    print(f"real-time factor {elapsed / total_audio:.4f} "
          f"({total_audio / max(elapsed, 1e-9):.0f}x faster than real time)")
    return 0


def _report_file(info: AudioInfo, out: str, engine_rate: int, factor: float) -> None:
    resampled = f", resampled to {engine_rate} Hz and back" if engine_rate != info.rate else ""
    print(f"{info.path} ({_describe(info)}{resampled}) -> {out} "
          f"[real-time factor {factor:.4f}]", flush=True)


# Worker processes (spawned): one signed-in SDK each, made for the first file.
_worker_sdk: Sdk | None = None


def _start_workers(args: argparse.Namespace) -> ProcessPoolExecutor | None:
    """With a folder and --jobs N, N-1 workers (at most one fewer than the
    folder's files), started before this process loads NumPy and libsndfile
    and checks the files, so that each worker's start-up (a fresh
    interpreter and the same imports) runs beside ours, not beside our work.
    They only import: nothing signs in before the inputs are checked."""
    if args.jobs < 2 or not os.path.isdir(args.input):
        return None
    with os.scandir(args.input) as entries:
        files = sum(1 for entry in entries if entry.is_file())
    workers = min(args.jobs, files) - 1
    if workers < 1:
        return None
    pool = ProcessPoolExecutor(max_workers=workers,
                               mp_context=multiprocessing.get_context("spawn"))
    with _new_processes_ignore_ctrl_c():
        for _ in range(workers):
            pool.submit(_worker_warm_up)  # a worker process starts only for a task
    return pool


@contextlib.contextmanager
def _new_processes_ignore_ctrl_c() -> Iterator[None]:
    """Ctrl-C reaches the workers too. They start with it ignored (a process
    inherits that, and Python keeps it), so that it cannot end them with a
    traceback of their own while they start or wait for a file; `kolta`
    stops them instead. While a worker denoises a file, Ctrl-C ends that
    file (see _worker_denoise)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


def _worker_warm_up() -> None:
    from . import pipeline  # noqa: F401


def _worker_denoise(info: AudioInfo, out: str, model: str, storage: str | None,
                    given_key: str | None) -> tuple[int, float]:
    global _worker_sdk
    from .pipeline import denoise_file

    # Interrupted, the file's partial output is removed and the pool reports
    # the KeyboardInterrupt to `kolta`, which is stopping already.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        if _worker_sdk is None:
            _worker_sdk = signed_in_sdk(storage, given_key)
        result = denoise_file(_worker_sdk, info, out, model)
    finally:
        signal.signal(signal.SIGINT, signal.SIG_IGN)
    return result.engine_rate, result.seconds


class _Ends:
    """File numbers 0..count-1, taken from the front and from the back."""

    def __init__(self, count: int):
        self._lock = threading.Lock()
        self._front, self._back = 0, count - 1

    def take(self, front: bool) -> int | None:
        with self._lock:
            if self._front > self._back:
                return None
            if front:
                self._front += 1
                return self._front - 1
            self._back -= 1
            return self._back + 1


def _denoise_in_workers(pool: ProcessPoolExecutor, sdk: Sdk,
                        plan: list[tuple[AudioInfo, str]], args: argparse.Namespace,
                        total_audio: float) -> float:
    """The workers take files from the front of the list and this process,
    signed in already, from the back: nobody waits for a worker still
    starting, and a worker is given its next file only when it is done with
    one, so that no file waits in a worker's queue while this process could
    take it."""
    import queue
    import time

    from .pipeline import denoise_file

    started = time.perf_counter()
    files = _Ends(len(plan))
    finished: queue.SimpleQueue[tuple[int, Future[tuple[int, float]]]] = queue.SimpleQueue()
    workers = min(args.jobs, len(plan)) - 1  # never more than _start_workers made
    with ProgressBar(total_audio, f"denoise x{args.jobs}") as bar:

        def send_next(_: object = None) -> None:  # also on the pool's result thread
            index = files.take(front=True)
            if index is None:
                return
            info, out = plan[index]
            try:
                future = pool.submit(_worker_denoise, info, out, args.model, args.storage,
                                     args.api_key)
            except RuntimeError:  # shut down or broken after a failure: reported already
                return
            future.add_done_callback(lambda done: finished.put((index, done)))
            future.add_done_callback(send_next)

        def report_worker(index: int, future: Future[tuple[int, float]]) -> None:
            engine_rate, seconds = future.result()
            info, out = plan[index]
            bar.advance(info.seconds)
            _report_file(info, out, engine_rate, seconds / info.seconds)

        try:
            for _ in range(workers):
                send_next()
            left = len(plan)
            while (index := files.take(front=False)) is not None:
                info, out = plan[index]
                result = denoise_file(sdk, info, out, args.model, bar.advance)
                _report_file(info, out, result.engine_rate, result.real_time_factor)
                left -= 1
                while not finished.empty():
                    report_worker(*finished.get())
                    left -= 1
            for _ in range(left):
                report_worker(*finished.get())
        except (RuntimeError, ValueError) as error:  # run_denoise stops the pool
            raise _processor_error(error, args.model) from None
    return time.perf_counter() - started


# --- translate ------------------------------------------------------------------

def format_text_frame(frame: TextFrame) -> list[str]:
    data = frame.transcript_data_
    lines = []
    for kind, segments in (("partial", data.partial), ("complete", data.complete)):
        for seg in segments:
            lines.append(f"[{frame.type_.name.lower()} {kind} #{data.utterance_idx} "
                         f"{data.language_code_} {seg.start}-{seg.end}s "
                         f"p={seg.probability:.2f}] {seg.text}")
    return lines


def _printer() -> Callable[[TextFrame], None]:
    def show(frame: TextFrame) -> None:  # on the processor's thread
        for line in format_text_frame(frame):
            print(line, flush=True)
    return show


def run_translate(args: argparse.Namespace) -> int:
    from .audiofile import inspect
    from .pipeline import translate_file

    info = inspect(args.input)
    sdk = signed_in_sdk(args.storage, args.api_key)
    print(f"SDK version {sdk.version}, signed in; {info.path}: {_describe(info)}, "
          f"{args.language_in} -> {args.language_out}", flush=True)
    on_text = _printer()
    with ProgressBar(info.seconds, "translate") as bar:
        try:
            translate_file(sdk, info, args.language_in, args.language_out, on_text,
                           bar.advance)
        except (RuntimeError, ValueError) as error:
            raise _processor_error(error, "translate") from None
    return 0


# --- info -----------------------------------------------------------------------

KEY_SCHEME = (
    ("KOLTA-DEMO-KEY, kt_all", "signed in, every model"),
    ("kt_<m1>+<m2>...", "signed in, the listed models (e.g. kt_passthrough+denoise)"),
    ("fail_<error>", "refused with that error, e.g. fail_token_expired"),
    ("<key>@<ms>", "the same after a simulated delay of <ms> (0-10000)"),
    ("anything else", "refused: UNAUTHORIZED"),
)


def run_info(args: argparse.Namespace) -> int:
    import soundfile

    sdk = start_sdk(args.storage)
    formats = ", ".join(sorted(soundfile.available_formats()))
    print(f"kolta {__version__}; SDK (engine) {sdk.version}")
    print(f"storage folder: {args.storage or default_storage_dir()}")
    print(f"models: {', '.join(MODELS)}")
    print(f"engine formats: {', '.join(map(str, SUPPORTED_RATES))} Hz; "
          f"{' or '.join(map(str, SUPPORTED_CHANNELS))} channels; other rates are "
          "resampled to the nearest supported one and back")
    print(f"file formats (libsndfile {soundfile.__libsndfile_version__}): {formats}")
    source = "--api-key" if args.api_key is not None else (
        f"${KEY_VARIABLE}" if KEY_VARIABLE in os.environ else "none given")
    print(f"API key: {source} (never shown)")
    if sdk.version.endswith("-reference"):
        print("reference engine keys (with neither --api-key nor "
              f"${KEY_VARIABLE}: {DEMO_KEY}):")
        for key, meaning in KEY_SCHEME:
            print(f"  {key:<24} {meaning}")
    return 0


COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "denoise": run_denoise, "translate": run_translate, "info": run_info}


def main(argv: Sequence[str] | None = None) -> int:
    try:
        args = build_parser().parse_args(argv)
        return COMMANDS[args.command](args)
    except BadInput as error:
        print(f"kolta: error: {error}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("kolta: interrupted", file=sys.stderr)
        return 130
    except OSError as error:  # a file that cannot be written, a full disc, ...
        print(f"kolta: error: {error}", file=sys.stderr)
        return 2
