"""kolta denoise's outputs: what cannot be written is named with the system's
reason (before sign-in where it can be known), what exists is not written
over without --force, an input never; and how fast it went, or that it was
too short to tell."""

import errno
import os
import re
import sys

import pytest
import soundfile as sf

from cli_helpers import RATE, noisy_tone, run_kolta
from kolta.cli.reporting import speed_text

REFUSED_KEY = "fail_user_disabled"  # never reached by what is checked before sign-in


@pytest.fixture
def source(tmp_path):
    path = str(tmp_path / "in.wav")
    sf.write(path, noisy_tone(RATE), RATE, subtype="PCM_16")
    return path


def reason_for(path):
    """What the system says to creating a file at `path`."""
    try:
        with open(f"{path}.probe", "ab"):
            pass
    except OSError as error:
        return error.strerror
    raise AssertionError(f"{path} can be written after all")


def unwritable_places(tmp_path):
    (tmp_path / "plain-file").write_text("a file, not a folder")
    places = [str(tmp_path / "plain-file" / "out.wav")]  # Not a directory
    if sys.platform.startswith("linux"):
        places.append("/proc/kolta-out.wav")  # not a place for files, even for root
    return places


def test_an_output_that_cannot_be_written_is_named_before_sign_in(tmp_path, source):
    for target in unwritable_places(tmp_path):
        done = run_kolta("denoise", source, target, "--storage", str(tmp_path / "st"),
                         "--api-key", REFUSED_KEY)
        assert done.returncode == 2, done.stderr
        assert done.stderr == f"kolta: error: cannot write {target}: {reason_for(target)}\n"


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="/dev/full: a disc that is full")
@pytest.mark.parametrize("to_stdout", [False, True], ids=["file", "stdout"])
def test_a_full_disc_is_named_with_the_output(tmp_path, source, to_stdout):
    if to_stdout:
        with open("/dev/full", "wb") as full:
            done = run_kolta("denoise", source, "-", "--storage", str(tmp_path / "st"),
                             stdout=full)
        name = "stdout"
    else:  # a symbolic link to a device is written through, the link kept
        name = str(tmp_path / "out.wav")
        os.symlink("/dev/full", name)
        done = run_kolta("denoise", source, name, "--storage", str(tmp_path / "st"))
        assert os.readlink(name) == "/dev/full"
    assert done.returncode == 1, done.stderr
    assert done.stderr.splitlines()[-1] == \
        f"kolta: error: cannot write {name}: {os.strerror(errno.ENOSPC)}"
    assert "processor" not in done.stderr
    assert not [n for n in os.listdir(tmp_path) if ".part" in n]


@pytest.mark.parametrize("case, message", [
    ("exists", "out.wav: exists; --force writes over it"),
    ("is the input", "in.wav: is an input; kolta does not write over its inputs"),
    ("twice", "would be written there"),
])
def test_outputs_are_not_written_over_unasked(tmp_path, source, case, message):
    out = str(tmp_path / "out.wav")
    with open(out, "wb") as existing:
        existing.write(b"the user's file")
    if case == "exists":
        args = [source, out]
    elif case == "is the input":
        args = [source, source, "--force"]  # not even with --force
    else:
        os.mkdir(tmp_path / "other")
        twin = str(tmp_path / "other" / "in.wav")
        sf.write(twin, noisy_tone(RATE), RATE)
        args = [source, twin, str(tmp_path / "folder")]
    done = run_kolta("denoise", *args, "--storage", str(tmp_path / "st"),
                     "--api-key", REFUSED_KEY)
    assert done.returncode == 2
    (line,) = done.stderr.splitlines()
    assert line.startswith("kolta: error: ") and message in line
    assert open(out, "rb").read() == b"the user's file"
    assert sf.info(source).frames == RATE


def test_force_writes_over_an_output(tmp_path, source):
    out = str(tmp_path / "out.wav")
    with open(out, "wb") as existing:
        existing.write(b"the user's file")
    done = run_kolta("denoise", source, out, "--force", "--storage", str(tmp_path / "st"))
    assert done.returncode == 0, done.stderr
    assert sf.info(out).frames == RATE


SPEED = re.compile(r"real-time factor [\d.]+ \((?P<figure>[\d.]+)x (faster|slower) "
                   r"than real time\)")


@pytest.mark.parametrize("seconds", [0.05, 3.0])
def test_the_speed_figure_is_sensible_or_not_given(tmp_path, seconds):
    source = str(tmp_path / "in.wav")
    sf.write(source, noisy_tone(int(seconds * RATE)), RATE)
    done = run_kolta("denoise", source, str(tmp_path / "out.wav"),
                     "--storage", str(tmp_path / "st"))
    assert done.returncode == 0, done.stderr
    total = done.stdout.splitlines()[-1]
    if seconds < 1:
        assert total == "real-time factor: too short to time"
        assert done.stdout.count("[too short to time]") == 1
    else:
        assert float(SPEED.fullmatch(total)["figure"]) >= 1


@pytest.mark.parametrize("audio, elapsed, text", [
    (60.0, 0.5, "real-time factor 0.0083 (120x faster than real time)"),
    (10.0, 2.0, "real-time factor 0.2000 (5.0x faster than real time)"),
    (10.0, 25.0, "real-time factor 2.5000 (2.5x slower than real time)"),
    (0.3, 0.4, "real-time factor: too short to time"),
])
def test_speed_text(audio, elapsed, text):
    assert speed_text(audio, elapsed) == text
