"""`kolta server ...`: runs the sign-in service `kolta-server`, installed beside
the extension module, with the arguments given (see `kolta server --help`)."""

from __future__ import annotations

import os
import subprocess
import sys
from collections.abc import Sequence

import _kolta_module

from .errors import BadInput

PROGRAM = "kolta-server.exe" if sys.platform == "win32" else "kolta-server"


def server_binary() -> str:
    """The path of the installed `kolta-server`."""
    return os.path.join(os.path.dirname(os.path.abspath(_kolta_module.__file__)), PROGRAM)


def run_server(arguments: Sequence[str]) -> int:
    """Replaces this process with `kolta-server ARGUMENTS...`, so that signals
    reach the service itself and its exit status is ours; where a process
    cannot be replaced (Windows), runs it and returns its exit status."""
    program = server_binary()
    if not os.access(program, os.X_OK):
        raise BadInput(f"the sign-in service is not installed: no {program} "
                       "(built with KOLTA_BUILD_SERVER=OFF?)")
    command = [program, *arguments]
    if sys.platform == "win32":
        return subprocess.run(command, check=False).returncode
    sys.stdout.flush()
    sys.stderr.flush()
    os.execv(program, command)
