"""kolta transcribe and kolta translate: the transcript's formats, partials,
each final with its translation, output as it comes and drained at the end,
and a reader that goes away early."""

import json
import os
import select
import subprocess
import sys

import numpy as np
import pytest
import soundfile as sf

from kolta import cli
from kolta.cli.transcribe import _Output, _Update
from kolta.cli.transcript_format import Segment, TranscriptWriter, timestamp

RATE = 16000
# Tone bursts (start, end) in seconds, with their srt timings. The placeholder
# transcripts mark each burst as one utterance, to the 10 ms block.
BURSTS = [(0.5, 1.5, "00:00:00,500 --> 00:00:01,500"),
          (61.25, 62.5, "00:01:01,250 --> 00:01:02,500")]


def bursts_file(path, bursts, seconds):
    t = np.arange(int(seconds * RATE)) / RATE
    on = np.zeros(t.size, bool)
    for start, end, *_ in bursts:
        on |= (t >= start) & (t < end)
    sf.write(path, 0.3 * np.sin(2 * np.pi * 440 * t) * on, RATE, subtype="FLOAT")
    return path


def kolta_command(*args):
    return [sys.executable, "-m", "kolta", *args]


def line_from(pipe, timeout=60):
    """The next line of a child's output, which must come within `timeout` s."""
    ready, _, _ = select.select([pipe], [], [], timeout)
    assert ready, f"no output in {timeout} s"
    return pipe.readline()


def environment(**switches):
    env = {k: v for k, v in os.environ.items() if not k.startswith("KOLTA_")}
    env.update(KOLTA_ENGINE_TRANSCRIPTS="placeholder", **switches)
    return env


@pytest.fixture
def placeholder(monkeypatch):
    for name in [k for k in os.environ if k.startswith("KOLTA_")]:
        monkeypatch.delenv(name)
    monkeypatch.setenv("KOLTA_ENGINE_TRANSCRIPTS", "placeholder")


@pytest.fixture
def two_bursts(tmp_path):
    return bursts_file(str(tmp_path / "bursts.wav"), BURSTS, 63.0)


def run(capsys, tmp_path, *args):
    status = cli.main([*args, "--storage", str(tmp_path / "st")])
    out, err = capsys.readouterr()
    assert status == 0, err
    return out, err


@pytest.mark.parametrize("seconds, mark, expected", [
    (0.0, ",", "00:00:00,000"),
    (59.9996, ",", "00:01:00,000"),  # rounding carries into the minutes
    (3723.456, ".", "01:02:03.456"),
    (360000.5, ".", "100:00:00.500"),
])
def test_subtitle_timestamps(seconds, mark, expected):
    assert timestamp(seconds, mark) == expected


def update(kind, utterance, text):
    segment = Segment(utterance, True, 1.0, 2.0, text, 1.0, "en-US")
    return _Update(kind == "translation", utterance, (), (segment,))


# Updates as the engine sends them -> the txt lines: a translation that never
# comes (it failed, or the end came first) leaves its final without one.
PAIRINGS = [
    ([("final", 0, "a"), ("translation", 0, "A"), ("final", 1, "b"), ("translation", 1, "B")],
     ["a\tA", "b\tB"]),
    ([("final", 0, "a"), ("final", 1, "b"), ("translation", 1, "B")], ["a\t", "b\tB"]),
    ([("final", 0, "a"), ("translation", 0, "A"), ("final", 1, "b")], ["a\tA", "b\t"]),
    ([("final", 0, " "), ("translation", 1, "B"), ("final", 2, "c")], ["c\t"]),
]


@pytest.mark.parametrize("updates, lines", PAIRINGS)
def test_each_final_is_written_with_its_own_translation(capsys, updates, lines):
    output = _Output(TranscriptWriter("txt", "es-ES"), partials=False, translating=True)
    for kind, utterance, text in updates:
        output._add(update(kind, utterance, text))
    output.finish()
    assert capsys.readouterr().out.splitlines() == lines


@pytest.mark.parametrize("command", ["transcribe", "translate"])
def test_txt_is_a_line_per_final_and_status_goes_to_stderr(placeholder, capsys, tmp_path,
                                                          two_bursts, command):
    out, err = run(capsys, tmp_path, command, two_bursts)
    lines = out.splitlines()
    assert len(lines) == len(BURSTS) and "signed in" in err and "signed in" not in out
    for index, line in enumerate(lines):
        fields = line.split("\t")
        assert fields[0].startswith(f"[reference engine] utterance {index}: ")
        if command == "translate":  # the final, then the translation of that utterance
            assert fields[1].startswith(f"[reference engine] utterance {index} → es-ES")
        else:
            assert len(fields) == 1


@pytest.mark.parametrize("command", ["transcribe", "translate"])
@pytest.mark.parametrize("partials", [False, True])
def test_json_is_an_object_per_segment_per_line(placeholder, capsys, tmp_path, two_bursts,
                                                command, partials):
    out, _ = run(capsys, tmp_path, command, two_bursts, "--format", "json",
                 *(["--partials"] if partials else []))
    records = [json.loads(line) for line in out.splitlines()]
    finals = [r for r in records if r["final"]]
    assert [(r["start"], r["end"]) for r in finals] == [(s, e) for s, e, _ in BURSTS]
    assert all(r["language"] == "en-US" and 0 <= r["probability"] <= 1 for r in records)
    for index, final in enumerate(finals):
        assert final["utterance"] == index
        if command == "translate":
            assert final["translation_language"] == "es-ES"
            assert final["translation"].startswith(f"[reference engine] utterance {index} →")
        else:
            assert "translation" not in final
    partial = [r for r in records if not r["final"]]
    assert bool(partial) == partials
    for record in partial:  # each before the final of its utterance
        assert records.index(record) < records.index(finals[record["utterance"]])


@pytest.mark.parametrize("form, mark", [("srt", ","), ("vtt", ".")])
@pytest.mark.parametrize("command", ["transcribe", "translate"])
def test_subtitles_have_the_segments_timings(placeholder, capsys, tmp_path, two_bursts,
                                             form, mark, command):
    out, _ = run(capsys, tmp_path, command, two_bursts, "--format", form)
    if form == "vtt":
        header, out = out.split("\n\n", 1)
        assert header == "WEBVTT"
    cues = out.rstrip("\n").split("\n\n")
    assert len(cues) == len(BURSTS)
    for index, (cue, (_, _, timing)) in enumerate(zip(cues, BURSTS)):
        lines = cue.split("\n")
        if form == "srt":
            assert lines.pop(0) == str(index + 1)
        assert lines[0] == timing.replace(",", mark)
        assert lines[1].startswith(f"[reference engine] utterance {index}: ")
        assert len(lines) == (3 if command == "translate" else 2)


def test_finals_are_written_as_they_come_and_the_last_when_drained(tmp_path):
    # A slow engine: about 2.4 s for the file's eight blocks. The second
    # burst runs to the end of the file, so only the drain ends it.
    source = bursts_file(str(tmp_path / "in.wav"), [(0.5, 1.5), (3.0, 4.0)], 4.0)
    command = kolta_command("transcribe", source, "--format", "json",
                            "--storage", str(tmp_path / "st"))
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=environment(KOLTA_ENGINE_FAULTS="slow_frame_ms=300")) as kolta:
        try:
            first = json.loads(line_from(kolta.stdout))
            running = kolta.poll() is None
            rest, stderr = kolta.communicate(timeout=60)
        finally:
            kolta.kill()  # Popen's exit waits without a deadline
    assert kolta.returncode == 0, stderr
    assert running and (first["start"], first["end"]) == (0.5, 1.5)
    (last,) = [json.loads(line) for line in rest.splitlines()]
    assert (last["start"], last["end"]) == (3.0, 4.0)


@pytest.mark.skipif(sys.platform == "win32", reason="SIGPIPE's exit status is POSIX")
@pytest.mark.parametrize("command", ["transcribe", "translate"])
def test_a_reader_that_goes_away_ends_the_run_quietly(tmp_path, command):
    """`kolta translate IN | head -1`: status 141, no traceback, no report of
    a failed callback."""
    bursts = [(start, start + 0.5) for start in np.arange(0.5, 8.0, 1.0)]
    source = bursts_file(str(tmp_path / "in.wav"), bursts, 8.0)
    with subprocess.Popen(kolta_command(command, source, "--storage", str(tmp_path / "st")),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=environment(KOLTA_ENGINE_FAULTS="slow_frame_ms=100")) as kolta:
        try:
            line_from(kolta.stdout)
            kolta.stdout.close()  # later finals meet a closed pipe
            _, stderr = kolta.communicate(timeout=60)
        finally:
            kolta.kill()  # Popen's exit waits without a deadline
    assert kolta.returncode == 141
    (status,) = stderr.splitlines()
    assert "signed in" in status
