"""Fixtures shared by the Python tests."""

import atexit
import faulthandler
import gc
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest

import _kolta_module as m


# pytest-timeout acts only when the main thread gets the GIL, so a deadlock that
# holds it would hang the whole run. faulthandler's watchdog is a C thread: a
# little after the test's own timeout it writes every thread's traceback (the
# test's frame names it) to the real stderr and ends the run.
HANG_MARGIN_S = 30


def pytest_configure(config):
    # Capture is suspended here, so this is the terminal's (or CI log's) stderr.
    config.hang_report = os.fdopen(os.dup(sys.stderr.fileno()), "w")
    # A run started in the background of a shell without job control inherits
    # SIGINT ignored, and so would every program the tests start: the tests
    # of Ctrl-C need it as a terminal gives it. A caught signal is back at its
    # default in a program started from here.
    if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
        signal.signal(signal.SIGINT, signal.default_int_handler)


def _timeout_of(item):
    marker = item.get_closest_marker("timeout")
    if marker is not None and marker.args:
        return float(marker.args[0])
    return float(item.config.getoption("timeout", None) or item.config.getini("timeout") or 0)


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_protocol(item):
    limit = _timeout_of(item)
    if limit > 0:
        faulthandler.dump_traceback_later(limit + HANG_MARGIN_S, exit=True,
                                          file=item.config.hang_report)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def unraisable(monkeypatch):
    """Collects what reaches sys.unraisablehook, one record per report with the
    hook's fields (exc_type, exc_value, exc_traceback, err_msg, object)."""
    seen = []

    def hook(report):
        seen.append(types.SimpleNamespace(
            exc_type=report.exc_type, exc_value=report.exc_value,
            exc_traceback=report.exc_traceback, err_msg=report.err_msg,
            object=report.object))

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return seen


@pytest.fixture
def callback_errors(unraisable):
    """Checks that every report so far is the module's wrapper error for a failed
    call of `callback`; returns the types of the wrapped errors, in order."""

    def causes(callback):
        for report in unraisable:
            assert type(report.exc_value) is RuntimeError
            assert str(report.exc_value) == "error in Kolta callback"
            assert report.object is callback
        return [type(report.exc_value.__cause__) for report in unraisable]

    return causes


def _class_documented_with_one_plain_init(cls, doc):
    assert cls.__doc__ == doc
    (overload,) = cls.__init__.__nb_signature__
    assert overload[1] is None


def _property_signatures(cls, name, returns, argument, doc):
    prop = vars(cls)[name]
    assert prop.fget.__nb_signature__ == ((f"def (self) -> {returns}", doc, None),)
    assert prop.fset.__nb_signature__ == ((f"def (self, {argument}) -> None", doc, None),)


@pytest.fixture
def surface():
    """Checks of a bound class against nanobind's __nb_signature__, which holds
    one (signature, doc, defaults) tuple per overload."""
    return types.SimpleNamespace(class_doc=_class_documented_with_one_plain_init,
                                 property=_property_signatures)


@pytest.fixture
def run_python():
    """Runs a code snippet (dedented) in a fresh process of this interpreter with
    this environment; returns the CompletedProcess (text stdout and stderr). A
    hang past `timeout` seconds raises subprocess.TimeoutExpired."""

    def run(code, timeout=60):
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=timeout)

    return run


# CPython 3.12+ warns (once per call site) when a multi-threaded process forks;
# the warning line may be followed by the source line that forked.
FORK_WARNING = re.compile(
    r"^\S.*: DeprecationWarning: This process \(pid=\d+\) is multi-threaded, use of "
    r"fork\(\) may lead to deadlocks in the child\.\n(?:  .*\n)?", re.MULTILINE)


@pytest.fixture
def without_fork_warning():
    """Returns a child's stderr without CPython's warning about forking a
    multi-threaded process, so that only that warning is tolerated."""
    return lambda stderr: FORK_WARNING.sub("", stderr)


@pytest.fixture
def engine_env(monkeypatch):
    """A clean engine environment; returns monkeypatch to set switches. Transcripts
    are the placeholder texts (exact); tests of the recogniser unset
    KOLTA_ENGINE_TRANSCRIPTS."""
    for var in ("KOLTA_ENGINE_FAULTS", "KOLTA_LOCAL_INFERENCING", "KOLTA_API_KEY_FILE",
                "KOLTA_ENGINE_STARTUP_DELAY_MS", "KOLTA_ENGINE_SUPPRESSOR", "KOLTA_MODELS_DIR",
                "KOLTA_ENGINE_CLOUD"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("KOLTA_ENGINE_TRANSCRIPTS", "placeholder")
    return monkeypatch


@pytest.fixture
def sdk(tmp_path, engine_env):
    """An SDK signed in with every model, on a clean engine environment."""
    handle = m.create_sdk(m.InitParams(storage_dir=str(tmp_path)))
    assert handle.activate_api_key("KOLTA-DEMO-KEY").success
    return handle


@pytest.fixture
def progress_during():
    """Runs call() (which the engine is made to take at least 0.3 s over) while
    another Python thread ticks; returns the ticks that happened well inside
    the call, which is only possible if the call released the GIL."""

    def run(call):
        stamps, stop = [], threading.Event()

        def tick():
            while not stop.is_set():
                stamps.append(time.monotonic())
                time.sleep(0.002)

        ticker = threading.Thread(target=tick)
        ticker.start()
        time.sleep(0.02)
        start = time.monotonic()
        call()
        end = time.monotonic()
        stop.set()
        ticker.join()
        assert end - start >= 0.3, "the engine did not simulate its latency"
        return [s for s in stamps if start + 0.1 < s < end - 0.1]

    return run



def _release_pytest_session():
    """pytest's assertion-rewriting import hook outlives the run as the loader
    of every test module (this one included) and keeps the whole session
    alive: items, their parameters, and the module's types in them. The
    interpreter collects no cycle after clearing modules at exit, so nanobind
    would report those types as leaked. Unlinked here, the session is
    collected while the interpreter is whole."""
    loader = globals().get("__loader__")
    if type(loader).__module__ == "_pytest.assertion.rewrite":
        loader.session = None
        loader.config = None
    gc.collect()


atexit.register(_release_pytest_session)


@pytest.fixture
def kolta_server(tmp_path):
    """Starts kolta-server processes: kolta_server(*options, data_dir=None,
    tls_context=None). At teardown each still running is stopped with SIGTERM
    and must exit with status 0."""
    from service_process import ServiceProcess, stop_all

    started = []

    def start(*options, data_dir=None, tls_context=None, env=None):
        folder = data_dir or tmp_path / f"service{len(started)}"
        service = ServiceProcess(folder, *options, tls_context=tls_context, env=env)
        started.append(service)
        return service

    yield start
    for status, log in stop_all(started):
        assert status == 0, log
