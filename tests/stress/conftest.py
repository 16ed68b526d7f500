"""Stress tests: every test here is marked `stress` and skipped unless asked for,
with `-m stress` or KOLTA_STRESS=1 (scripts/stress.sh does both). They are
bounded in count and time; a hang becomes a pytest-timeout failure."""

import os
import re
import sys
import types

import pytest


HERE = os.path.dirname(os.path.abspath(__file__))


def _stress_selected(config):
    if os.environ.get("KOLTA_STRESS") == "1":
        return True
    expression = config.getoption("markexpr") or ""
    # "-m stress", "-m 'stress and not slow'": yes; "-m 'not stress'": no.
    return re.search(r"\bstress\b", re.sub(r"\bnot\s+stress\b", "", expression)) is not None


def pytest_collection_modifyitems(config, items):
    selected = _stress_selected(config)
    skip = pytest.mark.skip(reason="stress test: run with -m stress or KOLTA_STRESS=1")
    for item in items:
        if not str(item.fspath).startswith(HERE + os.sep):
            continue
        item.add_marker(pytest.mark.stress)  # even if a file forgets its pytestmark
        if not selected:
            item.add_marker(skip)


# Figures the tests record, printed once at the end of the run.
_FIGURES = []


@pytest.fixture
def figures(request):
    def record(text):
        _FIGURES.append(f"{request.node.name}: {text}")
    return record


def pytest_terminal_summary(terminalreporter):
    if _FIGURES:
        terminalreporter.section("stress figures")
        for line in _FIGURES:
            terminalreporter.write_line(line)


@pytest.fixture
def quiet_unraisable(monkeypatch):
    """Counts what reaches sys.unraisablehook instead of printing it; checks that
    each report is the bridge's RuntimeError with the callable's error as cause."""
    tally = types.SimpleNamespace(count=0, causes={}, unexpected=[])

    def hook(report):
        tally.count += 1
        cause = getattr(report.exc_value, "__cause__", None)
        name = type(cause).__name__
        tally.causes[name] = tally.causes.get(name, 0) + 1
        if report.exc_type is not RuntimeError or str(report.exc_value) != (
                "error in Kolta callback"):
            tally.unexpected.append(repr(report.exc_value))

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return tally
