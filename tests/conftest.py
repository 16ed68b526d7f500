"""Fixtures shared by the Python tests."""

import subprocess
import sys
import textwrap
import types

import pytest


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
def run_python():
    """Runs a code snippet (dedented) in a fresh process of this interpreter with
    this environment; returns the CompletedProcess (text stdout and stderr). A
    hang past `timeout` seconds raises subprocess.TimeoutExpired."""

    def run(code, timeout=60):
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                              capture_output=True, text=True, timeout=timeout)

    return run
