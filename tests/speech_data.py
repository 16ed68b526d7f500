"""Recorded speech the speech tests share (Debian's pocketsphinx-testdata,
read where examples/clip.py reads it) and apertium's English-to-Spanish
translation of a text."""

import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "examples"))
from clip import TESTDATA  # noqa: E402

GOFORWARD = os.path.join(TESTDATA, "goforward.raw")  # "go forward ten meters", 16 kHz int16
MISSING = "pocketsphinx-testdata is not installed"
needs_goforward = pytest.mark.skipif(not os.path.exists(GOFORWARD), reason=MISSING)


def apertium(text):
    """apertium's eng-spa translation of `text`, one space between words (as
    the engine leaves them)."""
    out = subprocess.run(["apertium", "-u", "eng-spa"], input=text + "\n",
                         capture_output=True, text=True, check=True, timeout=30).stdout
    return " ".join(out.split())
