"""One signed-in SDK per worker process and storage folder, made by the
sign-in plugin and used by every file the process is given. It lives as
long as the process: a later job on the same workers signs in no more.

The key is read here, on the worker, by the command line's rules; it is
never an argument of a task nor an attribute of the plugin (those are
pickled, kept by the scheduler and sent again to every new worker)."""

from __future__ import annotations

import atexit
import threading

from _kolta_module import Sdk

from ..cli.signin import KEY_FILE_VARIABLE, KEY_VARIABLE, signed_in_sdk
from ..errors import BadInput

NO_KEY = f"no API key: set {KEY_VARIABLE} or {KEY_FILE_VARIABLE} on the worker"

_lock = threading.Lock()
_sessions: dict[str | None, Sdk] = {}
_refusals: dict[str | None, str] = {}  # why the last sign-in failed


class NotSignedIn(Exception):
    """This worker process has no session: its sign-in failed or never ran."""


def open_session(storage: str | None, worker: str) -> None:
    """Signs this process in, unless it is already; BadInput names `worker`."""
    with _lock:
        if storage in _sessions:
            return
        try:
            _sessions[storage] = signed_in_sdk(storage, None, NO_KEY)
            _refusals.pop(storage, None)
            return
        except BadInput as error:
            _refusals[storage] = f"worker {worker}: {error}"
    # Raised afresh, out of the handler: the refusal's traceback would keep
    # the failed SDK (and Dask keeps what a plugin raised).
    raise BadInput(_refusals[storage])


@atexit.register
def _close_sessions() -> None:
    """The SDKs go before the interpreter takes the module down."""
    with _lock:
        _sessions.clear()


def session(storage: str | None) -> Sdk:
    with _lock:
        sdk = _sessions.get(storage)
        if sdk is None:
            raise NotSignedIn(_refusals.get(storage, "this worker is not signed in "
                                                     "(kolta's sign-in plugin did not run)"))
        return sdk
