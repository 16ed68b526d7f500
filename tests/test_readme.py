"""Every example in README.md runs as pasted: each Python block as a script,
and each shell line that runs the `kolta` command, in a fresh folder that holds
the recording the examples name."""

from __future__ import annotations

import os
import pathlib
import re
import shlex
import subprocess
import sys

import numpy as np
import pytest

from speech_data import GOFORWARD, MISSING

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^```(\w*)\n(.*?)^```", re.S | re.M)


def examples() -> list[tuple[str, str, str]]:
    """(id, kind, code) of each runnable example: python blocks whole, and the
    `kolta ...` lines of shell blocks."""
    text = README.read_text()
    found = []
    for match in BLOCK.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        kind, code = match.group(1), match.group(2)
        if kind == "python":
            found.append((f"python-line{line}", "python", code))
        elif kind == "sh":
            commands = [c.split("#")[0].strip() for c in code.splitlines()
                        if c.startswith("kolta ")]
            if commands:
                found.append((f"sh-line{line}", "sh", "\n".join(commands)))
    return found


EXAMPLES = examples()


@pytest.fixture
def workdir(tmp_path):
    if not os.path.exists(GOFORWARD):
        pytest.skip(MISSING)
    import soundfile as sf
    speech = np.fromfile(GOFORWARD, dtype="<i2")
    sf.write(tmp_path / "speech.wav", speech, 16000, subtype="PCM_16")
    return tmp_path


def test_the_readme_has_examples_of_each_kind():
    kinds = {kind for _, kind, _ in EXAMPLES}
    assert kinds == {"python", "sh"}, kinds


@pytest.mark.timeout(180)
@pytest.mark.parametrize("kind,code", [(k, c) for _, k, c in EXAMPLES],
                         ids=[i for i, _, _ in EXAMPLES])
def test_readme_example_runs(kind, code, workdir):
    env = {k: v for k, v in os.environ.items() if not k.startswith("KOLTA_")}
    if kind == "python":
        commands = [[sys.executable, "-c", code]]
    else:
        commands = [[sys.executable, "-m", "kolta", *shlex.split(line)[1:]]
                    for line in code.splitlines()]
    for command in commands:
        done = subprocess.run(command, cwd=workdir, env=env, capture_output=True,
                              text=True, timeout=150)
        assert done.returncode == 0, (command[-1], done.stdout, done.stderr)
        assert "Traceback" not in done.stderr, done.stderr
