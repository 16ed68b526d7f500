"""Every module of the kolta package imports on its own: no import circle.

A circle breaks only when the import starts at one of its modules, so each
module is the first one imported, in a fresh interpreter."""

import os
import subprocess
import sys

import pytest

import kolta

PACKAGE_DIR = os.path.dirname(kolta.__file__)


def package_modules():
    names = []
    for folder, _, files in os.walk(PACKAGE_DIR):
        package = os.path.relpath(folder, os.path.dirname(PACKAGE_DIR)).replace(os.sep, ".")
        for file in sorted(files):
            if file.endswith(".py"):
                stem = file[:-3]
                names.append(package if stem == "__init__" else f"{package}.{stem}")
    return sorted(names)


MODULES = package_modules()


def test_the_command_line_modules_are_found():
    assert {"kolta", "kolta.cli", "kolta.cli.workers", "kolta.streams"} <= set(MODULES)


@pytest.mark.parametrize("module", MODULES)
def test_module_imports_alone(module):
    done = subprocess.run([sys.executable, "-c", f"import {module}"], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr


# Imported by every worker (spawned, Dask's) and by the one-call helpers.
@pytest.mark.parametrize("module", ["kolta.cli", "kolta.cli.signin", "kolta.cli.plan",
                                    "kolta.cli.reporting", "kolta.cli.worker_process"])
def test_the_command_lines_helpers_load_neither_it_nor_the_audio_modules(module):
    heavy = ["kolta.cli.app", "kolta.cli.parser", "numpy", "soundfile"]
    probe = f"import sys, {module}; print(sorted(set({heavy!r}) & set(sys.modules)))"
    done = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[]"
