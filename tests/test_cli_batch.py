"""kolta denoise in batches and pipes: several inputs, folders walked with
their subfolders, what was skipped, -q and -v, raw audio on stdin and
stdout or in .raw files."""

import os

import numpy as np
import pytest
import soundfile as sf

from cli_helpers import RATE, damaged_flac, noisy_tone, partial_files, run_kolta, write

REFUSED_KEY = "fail_user_disabled"  # never reached by what is checked before sign-in


def passthrough(tmp_path, *args, **run):
    return run_kolta("denoise", *args, "--model", "passthrough",
                     "--storage", str(tmp_path / "st"), **run)


def test_several_inputs_go_into_the_folder(tmp_path):
    (tmp_path / "sub").mkdir()
    a = write(str(tmp_path / "a.wav"), noisy_tone(RATE // 2), RATE, "PCM_16")
    b = write(str(tmp_path / "sub" / "b.flac"), noisy_tone(RATE // 3, seed=1), RATE, "PCM_16")
    out = tmp_path / "out"
    done = passthrough(tmp_path, str(tmp_path / "a.wav"), str(tmp_path / "sub" / "b.flac"),
                       f"{out}{os.sep}")
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(out)) == ["a.wav", "b.flac"]
    np.testing.assert_array_equal(sf.read(str(out / "a.wav"), always_2d=True)[0], a)
    np.testing.assert_array_equal(sf.read(str(out / "b.flac"), always_2d=True)[0], b)
    assert "2 files, 0.83 s of audio" in done.stdout


@pytest.fixture
def tree(tmp_path):
    """in/x.wav, in/deep/er/y.flac, two files that are not audio, and
    in/clean/ (the output folder, with an earlier output in it)."""
    source = tmp_path / "in"
    (source / "deep" / "er").mkdir(parents=True)
    (source / "clean").mkdir()
    write(str(source / "x.wav"), noisy_tone(RATE // 2), RATE, "PCM_16")
    write(str(source / "deep" / "er" / "y.flac"), noisy_tone(RATE // 4), RATE, "PCM_16")
    write(str(source / "clean" / "earlier.wav"), noisy_tone(RATE // 4), RATE, "PCM_16")
    (source / "notes.txt").write_text("not audio")
    (source / "deep" / ".hidden").write_text("not audio either")
    return source


@pytest.mark.parametrize("chatter", ["-q", None, "-v"])
def test_folders_are_walked_and_what_is_skipped_is_told(tmp_path, tree, chatter):
    out = tree / "clean"
    done = passthrough(tmp_path, str(tree), str(out), *([chatter] if chatter else []))
    assert done.returncode == 0, done.stderr
    assert sorted(os.listdir(out)) == ["deep", "earlier.wav", "x.wav"]
    assert os.listdir(out / "deep" / "er") == ["y.flac"]
    lines = done.stdout.splitlines()
    skipped = [os.path.join(str(tree), "notes.txt"), os.path.join(str(tree), "deep", ".hidden")]
    if chatter == "-q":
        assert (done.stdout, done.stderr) == ("", "")
        return
    assert "earlier.wav" not in done.stdout  # the output folder is not walked
    assert sum(" -> " in line for line in lines) == 2
    if chatter == "-v":
        at = lines.index("skipped 2 files that are not audio by extension:")
        assert lines[at + 1:at + 3] == [f"  {path}" for path in skipped]
    else:
        assert "skipped 2 files that are not audio by extension (-v lists them)" in lines
        assert not any(path in done.stdout for path in skipped)


@pytest.mark.parametrize("sample_format, rate, channels", [
    ("int16", 16000, 1),
    ("float32", 22050, 2),  # resampled to 24000 Hz and back
])
def test_raw_audio_through_stdin_and_stdout(tmp_path, sample_format, rate, channels):
    frames = int(1.3 * rate)
    samples = noisy_tone(frames, rate, channels).astype(np.float32)
    if sample_format == "int16":
        samples = np.round(samples * 32767).astype("<i2")
    raw = samples.astype(samples.dtype.newbyteorder("<")).tobytes()
    done = passthrough(tmp_path, "-", "-", "--rate", str(rate), "--channels", str(channels),
                       "--sample-format", sample_format, stdin=raw)
    assert done.returncode == 0, done.stderr
    assert len(done.stdout) == len(raw)
    if rate in (16000,):  # the engine's own rate: passthrough gives it back exactly
        assert done.stdout == raw
    messages = done.stderr.decode()
    assert "signed in" in messages and f"stdin ({1.3:.1f} s at {rate} Hz" in messages


def test_a_raw_file_to_a_file_keeps_its_length(tmp_path):
    source = tmp_path / "in.raw"
    source.write_bytes(np.round(noisy_tone(12345) * 32767).astype("<i2").tobytes())
    done = passthrough(tmp_path, str(source), str(tmp_path / "out.wav"), "--rate", "16000",
                       "--channels", "1", "--sample-format", "int16")
    assert done.returncode == 0, done.stderr
    info = sf.info(str(tmp_path / "out.wav"))
    assert (info.frames, info.samplerate, info.subtype) == (12345, 16000, "PCM_16")


# Refused before sign-in, in one line, exit status 2.
BAD_BATCHES = [
    (["x.raw", "out.wav"], "x.raw: raw audio (no header) needs --rate and --channels"),
    (["-", "out.wav"], "stdin: raw audio (no header) needs --rate and --channels"),
    (["-", "out.wav", "--rate", "16000", "--channels", "3"], "only mono and stereo"),
    (["a.wav", "out.wav", "--rate", "16000"], "no input is raw"),
    (["-", "a.wav", "out"], "- (stdin) must be the only input"),
    (["a.wav", "b.wav", "-"], "- (stdout) takes one file's audio"),
    (["a.wav", "b.wav", "a.wav"], "there are several inputs, so OUT must be a folder too"),
    (["a.wav", "--rate", "0", "out.wav"], "not a positive whole number"),
    (["a.wav", "out.wav", "-q", "-v"], "not allowed with argument"),
]


@pytest.mark.parametrize("args, message", BAD_BATCHES, ids=[" ".join(a) for a, _ in BAD_BATCHES])
def test_bad_batch_is_one_line_and_exit_2(tmp_path, args, message):
    for name in ("a.wav", "b.wav"):
        sf.write(str(tmp_path / name), noisy_tone(RATE // 4), RATE)
    (tmp_path / "x.raw").write_bytes(bytes(6400))
    args = [str(tmp_path / a) if a.endswith((".wav", ".raw")) or a == "out" else a
            for a in args]
    done = run_kolta("denoise", *args, "--storage", str(tmp_path / "st"),
                     "--api-key", REFUSED_KEY, stdin="")
    assert done.returncode == 2, done.stderr
    (line,) = done.stderr.splitlines()
    assert line.startswith("kolta: error: ") and message in line, line
    assert sorted(os.listdir(tmp_path)) == ["a.wav", "b.wav", "x.raw"]


@pytest.mark.parametrize("command", [("denoise", "--jobs", "1"), ("denoise", "--jobs", "2"),
                                     ("transcribe",)], ids=lambda c: " ".join(c))
def test_audio_damaged_past_its_header_is_named_as_the_file_at_fault(tmp_path, command):
    """It passes the checks before sign-in; reading it fails part way. That
    is the file's fault, not the processor's."""
    bad = damaged_flac(tmp_path / "bad.flac")
    write(str(tmp_path / "good.wav"), noisy_tone(RATE), RATE, "PCM_16")
    out = tmp_path / "out"
    inputs = [bad] if command[0] == "transcribe" else [str(tmp_path / "good.wav"), bad,
                                                       f"{out}{os.sep}"]
    done = run_kolta(*command, *inputs, "--storage", str(tmp_path / "st"))
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1] == (
        f"kolta: error: {bad}: cannot read the audio (Error : flac decoder lost sync.)")
    assert partial_files(out) == set()
    assert "bad.flac" not in (os.listdir(out) if out.exists() else [])
