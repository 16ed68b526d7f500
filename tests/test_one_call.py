"""kolta.denoise and kolta.transcribe: a whole recording in one call."""

import types

import numpy as np
import pytest
import soundfile as sf

import kolta
from cli_helpers import damaged_flac
from speech_data import GOFORWARD, needs_goforward



@pytest.fixture
def env(engine_env, tmp_path):
    """No key in the environment; the SDK keeps its log under tmp_path."""
    engine_env.delenv("KOLTA_API_KEY", raising=False)
    return {"storage_dir": tmp_path}


def tone(seconds, rate, freq=440.0):
    t = np.arange(int(seconds * rate)) / rate
    return (0.3 * np.sin(2 * np.pi * freq * t)).astype(np.float32)


def bursts(rate):
    """Speech-like bursts at 0.5-1.5 s and 2.5-3.0 s."""
    quiet = np.zeros(rate // 2, np.float32)
    return np.concatenate([quiet, tone(1.0, rate), quiet, quiet, tone(0.5, rate), quiet])


def stereo(mono):
    return np.stack([mono, 0.5 * mono], axis=1)


PCM24 = (np.random.default_rng(1).integers(-2**23, 2**23, 9000) * 256).astype(np.int32)


@pytest.mark.parametrize("samples,rate", [
    (tone(0.3, 16000), 16000),
    (stereo(tone(0.3, 44100)).astype(np.float64), 44100),
    ((stereo(tone(0.3, 16000)) * 32767).astype(np.int16), 16000),
    (PCM24, 48000),
    (tone(0.3, 8000)[:-1], 8000),
], ids=["float32 mono", "float64 (frames, 2)", "int16 (frames, 2)", "24-bit in int32",
        "odd length"])
def test_denoise_gives_each_sample_back_in_its_shape_and_dtype(env, samples, rate):
    out = kolta.denoise(samples, rate, model="passthrough", **env)
    assert (out.dtype, out.shape) == (samples.dtype, samples.shape)
    np.testing.assert_array_equal(out, samples.astype(np.float32).astype(samples.dtype)
                                  if samples.dtype == np.float64 else samples)


def test_integer_pcm_is_clipped_not_wrapped(env):
    # Resampled there and back (22050 Hz is not an engine rate), a full-scale
    # square wave overshoots its edges.
    square = np.where(np.arange(22050) // 50 % 2, 32767, -32768).astype(np.int16)
    out = kolta.denoise(square, 22050, model="passthrough", **env)
    assert out.dtype == np.int16 and out.shape == square.shape
    assert out.max() == 32767 and out.min() == -32768
    assert np.all(np.sign(out[square > 0][100:-100]) == 1)


def test_denoise_lowers_noise(env):
    noise = (0.05 * np.random.default_rng(2).standard_normal(32000)).astype(np.float32)
    out = kolta.denoise(noise, 16000, **env)
    assert out.shape == noise.shape
    assert 20 * np.log10(noise[16000:].std() / out[16000:].std()) >= 15


@pytest.mark.parametrize("variable, first_line, message", [
    (None, "fail_token_expired", r"sign-in refused \(TOKEN_EXPIRED\)"),
    (None, None, r"cannot read the key file \$KOLTA_API_KEY_FILE names \(.*missing\): "
                 "No such file or directory"),
    (None, "kt_passthrough", "returned no processor"),
    ("fail_user_disabled", "kt_all", r"sign-in refused \(USER_DISABLED\)"),
], ids=["file", "file missing", "its first line", "the variable first"])
def test_the_key_may_come_from_a_file(env, engine_env, tmp_path, variable, first_line, message):
    key_file = tmp_path / "missing"
    if first_line is not None:
        key_file = tmp_path / "key"
        key_file.write_text(f"{first_line}\nkt_all\n")
    engine_env.setenv("KOLTA_API_KEY_FILE", str(key_file))
    if variable is not None:
        engine_env.setenv("KOLTA_API_KEY", variable)
    with pytest.raises(RuntimeError, match=message):
        kolta.denoise(tone(0.1, 16000), 16000, **env)


@pytest.mark.parametrize("key,variable,message", [
    ("nope", None, r"sign-in refused \(UNAUTHORIZED\)"),
    (None, "fail_token_expired", r"sign-in refused \(TOKEN_EXPIRED\)"),
    ("kt_passthrough", None, "returned no processor"),
])
def test_sign_in_follows_the_command_line_key_rules(env, engine_env, key, variable, message):
    if variable is not None:
        engine_env.setenv("KOLTA_API_KEY", variable)
    for call in (lambda: kolta.denoise(tone(0.1, 16000), 16000, api_key=key, **env),
                 lambda: kolta.transcribe(tone(0.1, 16000), 16000, api_key=key, **env)):
        with pytest.raises(RuntimeError, match=message) as error:
            call()
        assert str(key or variable) not in str(error.value)


def test_transcribe_gives_the_final_segments_in_seconds(env):
    segments = kolta.transcribe(bursts(16000), 16000, **env)
    assert [s.text for s in segments] == [
        "[reference engine] utterance 0: 1.00 s of speech (en-US)",
        "[reference engine] utterance 1: 0.50 s of speech (en-US)"]
    assert [(s.start, s.end) for s in segments] == [(0.5, 1.5), (2.5, 3.0)]
    assert all(s.probability == 1.0 for s in segments)  # after digital silence


@pytest.mark.parametrize("rate", [44100, 22050])
def test_transcribe_reads_a_file_at_its_own_rate(env, tmp_path, rate):
    path = tmp_path / f"bursts_{rate}.wav"
    sf.write(path, stereo(bursts(rate)), rate, subtype="PCM_16")
    segments = kolta.transcribe(path, language="en-GB", **env)
    assert [s.text.split(": ")[1] for s in segments] == ["1.00 s of speech (en-GB)",
                                                        "0.50 s of speech (en-GB)"]
    starts_and_ends = np.array([(s.start, s.end) for s in segments])
    np.testing.assert_allclose(starts_and_ends, [(0.5, 1.5), (2.5, 3.0)], atol=0.011)


def test_transcribe_refuses_what_it_cannot_take(env, tmp_path):
    path = tmp_path / "mono.wav"
    sf.write(path, bursts(16000), 16000)
    with pytest.raises(TypeError, match="rate"):
        kolta.transcribe(bursts(16000), **env)
    with pytest.raises(ValueError, match="is at 16000 Hz, not 44100 Hz"):
        kolta.transcribe(path, 44100, **env)
    with pytest.raises(ValueError, match="has 1 channel.*not 2"):
        kolta.transcribe(str(path), channels=2, **env)
    with pytest.raises(ValueError, match="no such file"):
        kolta.transcribe(tmp_path / "missing.wav", **env)
    with pytest.raises(ValueError, match="damaged.flac: cannot read the audio"):
        kolta.transcribe(damaged_flac(tmp_path / "damaged.flac"), **env)


@pytest.mark.timeout(120)
@needs_goforward
def test_transcribe_recognises_speech(env, engine_env):
    engine_env.delenv("KOLTA_ENGINE_TRANSCRIPTS")
    speech = np.fromfile(GOFORWARD, "<i2")
    quiet = np.zeros(8000, np.int16)
    (segment,) = kolta.transcribe(np.concatenate([quiet, speech, quiet]), 16000, **env)
    assert segment.text == "go forward ten meters" and segment.start < segment.end


@pytest.mark.parametrize("start,end,expected", [
    ("0.500", "1.500", (0.5, 1.5)),
    ("", "1.500", (0.0, 1.5)),
    ("0.500", "soon", (0.5, 0.0)),
    ("nan", "-1", (0.0, 0.0)),
])
def test_a_segments_stamps_are_read_as_the_command_line_reads_them(monkeypatch, start, end,
                                                                   expected):
    """An unreadable stamp raised inside the processor's callback, where the
    error is only printed and the frame's finals lost: it is 0, as in a
    transcript file."""
    from kolta import one_call

    segment = types.SimpleNamespace(start=start, end=end, text="words", probability=0.9)
    frame = types.SimpleNamespace(type_=one_call.TranscriptType.TRANSCRIPTION,
                                  transcript_data_=types.SimpleNamespace(complete=[segment]))
    callbacks = []
    monkeypatch.setattr(one_call, "_signed_in", lambda *args: None)
    # The callback, called as the processor would call it with that frame.
    monkeypatch.setattr(one_call, "translation_attributes",
                        lambda *args: callbacks.append(args[-1]))
    monkeypatch.setattr(one_call, "streamed", lambda *args: callbacks[0](frame) or [])
    (found,) = kolta.transcribe(tone(0.1, 16000), 16000)
    assert (found.start, found.end, found.text) == (*expected, "words")
