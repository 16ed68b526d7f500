"""Fixtures shared by the Python tests."""

import sys
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
