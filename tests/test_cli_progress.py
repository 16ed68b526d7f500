"""kolta denoise in a real terminal (a pseudo-terminal): one progress bar
for the whole job, the file lines above it on lines of their own, the bar
left at 100% when the job is done; raw audio never read from or written to
the terminal."""

import fcntl
import os
import re
import select
import struct
import subprocess
import sys
import termios
import time

import pytest
import soundfile as sf

from cli_helpers import RATE, environment, long_files, noisy_tone

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="pseudo-terminals")

COLUMNS = 120
CONTROL = re.compile(r"\x1b\[(\d*)([A-Za-z])")


def run_in_terminal(args, timeout=120):
    """kolta with stdin, stdout and stderr on one terminal: everything it wrote."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, COLUMNS, 0, 0))
    kolta = subprocess.Popen([sys.executable, "-m", "kolta", *args], stdin=slave,
                             stdout=slave, stderr=slave, env=environment())
    os.close(slave)
    written = bytearray()
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            if not select.select([master], [], [], 0.5)[0]:
                continue
            try:
                chunk = os.read(master, 65536)
            except OSError:  # EIO: every writer has closed the terminal
                break
            if not chunk:
                break
            written += chunk
        else:
            raise AssertionError(f"kolta still writing after {timeout} s")
    finally:
        os.close(master)
        kolta.kill()
        kolta.wait(timeout=30)
    return written.decode()


def screen(written):
    """The lines a terminal shows after `written`: carriage returns, line
    feeds and cursor-up moves applied, the rest overwriting what was there."""
    lines, row, column = [[]], 0, 0
    position = 0
    while position < len(written):
        control = CONTROL.match(written, position)
        if control:
            if control[2] == "A":
                row = max(0, row - int(control[1] or 1))
            elif control[2] == "K":
                del lines[row][column:]
            position = control.end()
            continue
        char = written[position]
        position += 1
        if char == "\r":
            column = 0
        elif char == "\n":
            row += 1
            lines.extend([] for _ in range(row + 1 - len(lines)))
        else:
            line = lines[row]
            line.extend(" " for _ in range(column + 1 - len(line)))
            line[column] = char
            column += 1
    return ["".join(line).rstrip() for line in lines if "".join(line).strip()]


def the_one_bar(shown, label):
    """Twelve 60 s files done: one bar, `label` then 100% of the audio and the
    files, below every file line. Its row and the file lines' rows."""
    bars = [i for i, line in enumerate(shown) if "%|" in line]
    files = [i for i, line in enumerate(shown) if " -> " in line]
    assert len(bars) == 1, shown
    assert re.fullmatch(label + r": 100%\|█+\| 720\.0/720\.0 s audio, "
                        r"12/12 files \[.*\]", shown[bars[0]]), shown
    assert len(files) == 12 and max(files) < bars[0], shown
    return bars[0], files


@pytest.mark.parametrize("jobs", [1, 2])
def test_one_bar_below_the_lines_and_left_at_100_percent(tmp_path, jobs):
    long_files(tmp_path / "in", 12, 60)  # long enough for the bar to show (after 1 s)
    shown = screen(run_in_terminal(["denoise", str(tmp_path / "in"), str(tmp_path / "out"),
                                    "--jobs", str(jobs), "--storage", str(tmp_path / "st")]))
    bar, files = the_one_bar(shown, rf"denoise( x{jobs})?")
    for i in files:
        assert re.fullmatch(r"\S+/in/f\d+\.wav \(.*\) -> \S+/out/f\d+\.wav "
                            r"\[real-time factor [\d.]+\]", shown[i]), shown[i]
    assert shown[bar + 1:] == ["12 files, 720.0 s of audio", shown[-1]]
    assert shown[-1].startswith("real-time factor ")


@pytest.mark.parametrize("args, message", [
    (["-", "out.wav", "--rate", "16000", "--channels", "1"], "- (stdin) is a terminal"),
    (["in.wav", "-"], "- (stdout) is a terminal"),
])
def test_raw_audio_is_not_read_from_or_written_to_a_terminal(tmp_path, args, message):
    sf.write(str(tmp_path / "in.wav"), noisy_tone(RATE), RATE)
    args = [str(tmp_path / a) if a.endswith(".wav") else a for a in args]
    shown = screen(run_in_terminal(["denoise", *args, "--storage", str(tmp_path / "st")],
                                   timeout=60))
    assert len(shown) == 1 and shown[0].startswith(f"kolta: error: {message}"), shown
