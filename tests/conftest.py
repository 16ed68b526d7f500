"""Fixtures shared by the Python tests."""

import subprocess
import sys
import textwrap
import types

import pytest

import _kolta_module as m


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


@pytest.fixture
def engine_env(monkeypatch):
    """A clean engine environment; returns monkeypatch to set switches. Transcripts
    are the placeholder texts (exact); tests of the recogniser unset
    KOLTA_ENGINE_TRANSCRIPTS."""
    for var in ("KOLTA_ENGINE_FAULTS", "KOLTA_LOCAL_INFERENCING",
                "KOLTA_ENGINE_STARTUP_DELAY_MS", "KOLTA_ENGINE_SUPPRESSOR", "KOLTA_MODELS_DIR"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("KOLTA_ENGINE_TRANSCRIPTS", "placeholder")
    return monkeypatch


@pytest.fixture
def sdk(tmp_path, engine_env):
    """An SDK signed in with every model, on a clean engine environment."""
    handle = m.create_sdk(m.InitParams(storage_dir=str(tmp_path)))
    assert handle.activate_api_key("KOLTA-DEMO-KEY").success
    return handle
