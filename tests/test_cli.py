"""The kolta command line: bad inputs, file formats, folders, translation, info."""

import os
import signal
import subprocess
import sys

import numpy as np
import pytest
import soundfile as sf

from cli_helpers import RATE, noisy_tone, run_kolta, write
from kolta import cli


@pytest.fixture
def files(tmp_path):
    """Prepared inputs, by name."""
    paths = {}

    def add(name, write):
        paths[name] = str(tmp_path / name)
        write(paths[name])

    add("good.wav", lambda p: sf.write(p, noisy_tone(RATE), RATE, subtype="PCM_16"))
    add("empty.wav", lambda p: sf.write(p, np.zeros(0), RATE, subtype="PCM_16"))
    add("zero-bytes.wav", lambda p: open(p, "wb").close())
    add("text.wav", lambda p: open(p, "w").write("not audio at all\n"))
    add("three.wav", lambda p: sf.write(p, noisy_tone(1600, channels=3), RATE))
    os.mkdir(tmp_path / "no-audio")
    paths["no-audio"] = str(tmp_path / "no-audio")
    paths["missing.wav"] = str(tmp_path / "missing.wav")
    paths["out.wav"] = str(tmp_path / "out.wav")
    paths["storage"] = str(tmp_path / "storage")
    return paths


# Each is checked before signing in: the refused key is never reached.
BAD_INPUTS = [
    (["denoise", "missing.wav", "out.wav"], "missing.wav: no such file"),
    (["denoise", "text.wav", "out.wav"], "not an audio file"),
    (["denoise", "zero-bytes.wav", "out.wav"], "empty file (0 bytes)"),
    (["denoise", "empty.wav", "out.wav"], "no audio in it (0 frames)"),
    (["denoise", "three.wav", "out.wav"], "3 channels"),
    (["denoise", "good.wav", "out.wav", "--model", "denoize"], "invalid choice: 'denoize'"),
    (["denoise", "good.wav", "out.xyz"], "unknown output format '.xyz'"),
    (["denoise", "no-audio", "out.wav"], "no audio files in this folder"),
    (["denoise", "good.wav", "out.wav", "--jobs", "0"], "not a positive whole number"),
    (["translate", "good.wav", "--from", "English"], "not a language code"),
    (["translate", "missing.wav"], "no such file"),
    (["translate", "good.wav", "--to", "fr-FR"],
     "no translation from en-US to fr-FR (translated: en-US -> es-ES)"),
    (["translate", "good.wav", "--from", "es-ES", "--to", "en-US"],
     "no speech recogniser for es-ES (recognised: en-US)"),
    (["transcribe", "good.wav", "--from", "fr-FR"],
     "no speech recogniser for fr-FR (recognised: en-US)"),
    (["transcribe", "good.wav", "--format", "srt", "--partials"],
     "--partials goes with --format txt or json"),
    (["transcribe", "good.wav", "--format", "docx"], "invalid choice: 'docx'"),
    (["transcribe", "missing.wav"], "no such file"),
    (["frobnicate"], "invalid choice: 'frobnicate'"),
    ([], "the following arguments are required"),
]


@pytest.mark.parametrize("args,message", BAD_INPUTS, ids=[" ".join(a) for a, _ in BAD_INPUTS])
def test_bad_input_is_one_line_and_exit_2(files, args, message):
    args = [files.get(a, a) for a in args]
    done = run_kolta(*args, "--api-key", "fail_user_disabled") if args and args[0] in (
        "denoise", "transcribe", "translate") else run_kolta(*args)
    assert done.returncode == 2, done.stderr
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("kolta: error: ")
    assert message in lines[0] and "USER_DISABLED" not in lines[0]
    assert not os.path.exists(files["out.wav"])


@pytest.mark.parametrize("key,message", [
    ("nonsense-key-1234", "sign-in refused (UNAUTHORIZED): API key not recognised"),
    ("kt_passthrough", "the API key does not grant the 'denoise' model"),
])
def test_refused_key_is_one_line_and_never_echoed(files, key, message):
    done = run_kolta("denoise", files["good.wav"], files["out.wav"],
                     "--storage", files["storage"], env={"KOLTA_API_KEY": key})
    assert done.returncode == 2
    (line,) = done.stderr.splitlines()
    assert line.startswith("kolta: error: ") and message in line
    assert key not in done.stdout + done.stderr
    assert not os.path.exists(files["out.wav"])


# Said once and plainly: the engine's message already names the refusal, and a
# processor refused after a good sign-in means a model the key does not grant.
REFUSALS = [
    ("denoise", "fail_token_expired", "sign-in refused (TOKEN_EXPIRED): the access token"),
    ("translate", "fail_token_expired", "sign-in refused (TOKEN_EXPIRED): the access token"),
    ("translate", "fail_user_disabled", "sign-in refused (USER_DISABLED): "),
    ("translate", "kt_passthrough", "the API key does not grant the 'translate' model"),
    ("translate", "kt_passthrough+denoise", "the API key does not grant the 'translate' model"),
]


@pytest.mark.parametrize("command,key,message", REFUSALS)
def test_refusal_is_said_once_and_names_what_is_missing(files, command, key, message):
    outputs = [files["out.wav"]] if command == "denoise" else []
    done = run_kolta(command, files["good.wav"], *outputs, "--storage", files["storage"],
                     env={"KOLTA_API_KEY": key, "KOLTA_ENGINE_TRANSCRIPTS": "placeholder"})
    assert done.returncode == 2
    (line,) = done.stderr.splitlines()
    assert line.startswith("kolta: error: ") and message in line
    assert line.lower().count("sign-in refused") <= 1
    assert "returned no processor" not in line and key not in done.stdout + done.stderr


def test_help_is_whole_and_commands_are_listed():
    done = run_kolta("--help")
    assert done.returncode == 0
    assert all(command in done.stdout
               for command in ("denoise", "transcribe", "translate", "info"))
    denoise = run_kolta("denoise", "--help").stdout
    assert "--jobs" in denoise and "--api-key" in denoise and "KOLTA_API_KEY" in denoise


# (file name, rate, channels, subtype): passthrough gives the same samples back.
EXACT_FORMATS = [
    ("pcm16.wav", 16000, 1, "PCM_16"),
    ("pcm24.wav", 48000, 2, "PCM_24"),
    ("pcm8.wav", 8000, 1, "PCM_U8"),
    ("float.wav", 44100, 2, "FLOAT"),
    ("pcm16.flac", 16000, 2, "PCM_16"),
    ("pcm24.flac", 24000, 1, "PCM_24"),
]


@pytest.mark.parametrize("name,rate,channels,subtype", EXACT_FORMATS,
                         ids=[f[0] for f in EXACT_FORMATS])
def test_formats_round_trip_bit_exact(tmp_path, capsys, name, rate, channels, subtype):
    source, target = str(tmp_path / name), str(tmp_path / f"out-{name}")
    original = write(source, noisy_tone(rate // 2 + 7, rate, channels), rate, subtype)
    assert cli.main(["denoise", source, target, "--model", "passthrough",
                     "--storage", str(tmp_path / "st")]) == 0
    result = sf.info(target)
    assert (result.samplerate, result.channels, result.subtype) == (rate, channels, subtype)
    np.testing.assert_array_equal(sf.read(target, dtype="float64", always_2d=True)[0],
                                  original)


def test_unsupported_rate_is_resampled_there_and_back(tmp_path, capsys):
    source, target = str(tmp_path / "in.wav"), str(tmp_path / "out.ogg")
    original = write(source, noisy_tone(22050, 22050), 22050, "FLOAT")
    assert cli.main(["denoise", source, target, "--model", "passthrough",
                     "--storage", str(tmp_path / "st")]) == 0
    assert "resampled to 24000 Hz and back" in capsys.readouterr().out
    back, rate = sf.read(target, dtype="float64", always_2d=True)
    assert rate == 22050 and back.shape == original.shape
    error = back - original  # Vorbis and two resamplings: close, not exact
    assert 10 * np.log10(np.mean(error**2) / np.mean(original**2)) < -20


def test_denoise_lowers_noise_and_keeps_the_length(tmp_path, capsys):
    rng = np.random.default_rng(5)
    noise = 0.03 * rng.standard_normal((RATE * 2, 1))
    source, target = str(tmp_path / "noise.wav"), str(tmp_path / "quiet.wav")
    sf.write(source, noise, RATE, subtype="FLOAT")
    assert cli.main(["denoise", source, target, "--storage", str(tmp_path / "st")]) == 0
    out = sf.read(target, always_2d=True)[0]
    assert out.shape == noise.shape
    assert 10 * np.log10(np.mean(noise[RATE:] ** 2) / np.mean(out[RATE:] ** 2)) > 10


def test_folder_in_two_worker_processes(tmp_path):
    folder, out = tmp_path / "in", tmp_path / "out"
    folder.mkdir()
    originals = {}
    for i in range(3):
        originals[f"f{i}.wav"] = write(str(folder / f"f{i}.wav"),
                                       noisy_tone(RATE // 2, seed=i), RATE, "PCM_16")
    (folder / "notes.txt").write_text("not audio: skipped by its extension")
    done = run_kolta("denoise", str(folder), str(out), "--jobs", "2", "--model", "passthrough",
                     "--storage", str(tmp_path / "st"), timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""  # no progress bar when not on a terminal
    assert sorted(os.listdir(out)) == sorted(originals)
    for name, original in originals.items():
        np.testing.assert_array_equal(sf.read(str(out / name), always_2d=True)[0], original)
        assert done.stdout.count(f"{folder / name} (") == 1  # reported once, by whoever did it


def test_folder_refused_model_in_workers_is_one_line(tmp_path):
    folder, out = tmp_path / "in", tmp_path / "out"
    folder.mkdir()
    for i in range(4):
        write(str(folder / f"f{i}.wav"), noisy_tone(RATE // 2, seed=i), RATE, "PCM_16")
    done = run_kolta("denoise", str(folder), str(out), "--jobs", "2",
                     "--storage", str(tmp_path / "st"),
                     env={"KOLTA_API_KEY": "kt_passthrough"}, timeout=120)
    assert done.returncode == 2
    (line,) = done.stderr.splitlines()
    assert line == "kolta: error: the API key does not grant the 'denoise' model"
    assert not out.exists() or os.listdir(out) == []


@pytest.mark.parametrize("broken, message", [
    ("f1.wav", "f1.wav: not an audio file libsndfile can read"),
    (None, "sign-in refused (UNAUTHORIZED)"),
])
def test_folder_refused_after_the_workers_started_is_one_line(tmp_path, broken, message):
    # Workers start before the files are checked and the key is tried: they
    # must neither sign in nor print anything of their own.
    folder, out = tmp_path / "in", tmp_path / "out"
    folder.mkdir()
    for i in range(3):
        write(str(folder / f"f{i}.wav"), noisy_tone(RATE // 2, seed=i), RATE, "PCM_16")
    if broken:
        (folder / broken).write_bytes(b"RIFF, but no audio")
    done = run_kolta("denoise", str(folder), str(out), "--jobs", "3",
                     "--storage", str(tmp_path / "st"),
                     env={"KOLTA_API_KEY": "not-a-key" if broken is None else "kt_all"})
    assert done.returncode == 2
    (line,) = done.stderr.splitlines()
    assert line.startswith("kolta: error: ") and message in line
    assert not out.exists() or os.listdir(out) == []


@pytest.mark.skipif(sys.platform == "win32", reason="process groups and SIGINT are POSIX")
@pytest.mark.parametrize("when", ["signed in", ") -> "])
def test_ctrl_c_with_workers_ends_in_one_line(tmp_path, when):
    """Ctrl-C goes to the whole process group: workers starting, waiting or
    in a file; no traceback from any of them, no partial file left."""
    folder, out = tmp_path / "in", tmp_path / "out"
    folder.mkdir()
    for i in range(8):
        write(str(folder / f"f{i}.wav"), noisy_tone(60 * RATE, seed=i), RATE, "PCM_16")
    environment = {k: v for k, v in os.environ.items() if k != "KOLTA_API_KEY"}
    command = [sys.executable, "-m", "kolta", "denoise", str(folder), str(out), "--jobs", "2",
               "--storage", str(tmp_path / "st")]
    with subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                          env=environment, start_new_session=True) as kolta:
        assert kolta.stdout is not None and kolta.stderr is not None
        for line in kolta.stdout:
            if when in line:
                os.killpg(kolta.pid, signal.SIGINT)
                break
        rest, stderr = kolta.communicate(timeout=60)
    assert (kolta.returncode, stderr) == (130, "kolta: interrupted\n")
    assert not out.exists() or not [name for name in os.listdir(out) if ".part" in name]


def test_translate_prints_transcripts_as_they_arrive(tmp_path):
    source = str(tmp_path / "speech.wav")
    silence = np.zeros((RATE // 2, 1))
    sf.write(source, np.concatenate([silence, noisy_tone(RATE), silence]), RATE)
    # The placeholder transcripts: they translate any pair, whatever is heard.
    done = run_kolta("translate", source, "--from", "en-US", "--to", "es-ES",
                     "--storage", str(tmp_path / "st"),
                     env={"KOLTA_ENGINE_TRANSCRIPTS": "placeholder"})
    assert done.returncode == 0, done.stderr
    (line,) = done.stdout.splitlines()
    transcript, translation = line.split("\t")
    assert transcript.startswith("[reference engine] utterance 0: ")
    assert translation.startswith("[reference engine] utterance 0 → es-ES: ")


def test_info_names_models_and_never_shows_the_key(tmp_path):
    done = run_kolta("info", "--storage", str(tmp_path / "st"),
                     env={"KOLTA_API_KEY": "kt_all@5"})
    assert done.returncode == 0, done.stderr
    for expected in ("2.0.1", "passthrough, denoise, translate", "FLAC", "$KOLTA_API_KEY",
                     "recognised en-US; translated en-US -> es-ES"):
        assert expected in done.stdout
    assert "kt_all@5" not in done.stdout
