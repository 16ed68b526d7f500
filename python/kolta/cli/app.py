"""`kolta`'s entry point: parse, run the command, turn failures into one line."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Callable, Sequence

from ..errors import BadInput, JobFailed, Terminated
from .denoise import run_denoise
from .info import run_info
from .parser import build_parser
from .signals import sigterm_as_interrupt
from .transcribe import run_transcribe
from .translate import run_translate

COMMANDS: dict[str, Callable[[argparse.Namespace], int]] = {
    "denoise": run_denoise, "transcribe": run_transcribe, "translate": run_translate,
    "info": run_info}
# What a shell reports for a tool that SIGPIPE ended (128 + 13).
READER_GONE_STATUS = 141


def main(argv: Sequence[str] | None = None) -> int:
    arguments = list(sys.argv[1:] if argv is None else argv)
    try:
        if arguments[:1] == ["server"]:  # its own program, signals and messages
            from ..server_command import run_server

            return run_server(arguments[1:])
        with sigterm_as_interrupt():
            args = build_parser().parse_args(arguments)
            return COMMANDS[args.command](args)
    except BadInput as error:
        print(f"kolta: error: {error}", file=sys.stderr)
        return 2
    except JobFailed as error:  # part way: what was finished is kept
        print(f"kolta: error: {error}", file=sys.stderr)
        return 1
    except Terminated:
        print("kolta: terminated", file=sys.stderr)
        return 143
    except BrokenPipeError:
        return _reader_gone()
    except KeyboardInterrupt:
        print("kolta: interrupted", file=sys.stderr)
        return 130
    except OSError as error:  # a file that cannot be written, a full disc, ...
        print(f"kolta: error: {error}", file=sys.stderr)
        return 2


def _reader_gone() -> int:
    """The reader of stdout went away (`kolta transcribe IN | head -1`): stop
    quietly, as command-line tools do. What is still buffered goes nowhere,
    so the interpreter's last flush at exit finds nothing to complain of."""
    with contextlib.suppress(OSError, ValueError):
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    return READER_GONE_STATUS
