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
