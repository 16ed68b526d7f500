"""The stream helper: output aligned sample for sample with the input, whatever
the chunk sizes, wherever the digital silence is."""

import numpy as np
import pytest

import kolta
from kolta.streams import to_float32
from stream_attributes import stream_attributes

RATE = 16000


def tone(n, freq=440.0, rate=RATE, channels=1):
    t = np.arange(n // channels) / rate
    mono = 0.3 * np.sin(2 * np.pi * freq * t) + 0.01 * np.random.default_rng(3).standard_normal(t.size)
    return np.repeat(mono, channels).astype(np.float32)


def silence(n):
    return np.zeros(n, np.float32)


def cut(signal, sizes):
    """`signal` in consecutive pieces of the given sizes, repeated."""
    pieces, pos, i = [], 0, 0
    while pos < signal.size:
        pieces.append(signal[pos:pos + sizes[i % len(sizes)]])
        pos += sizes[i % len(sizes)]
        i += 1
    return pieces


def processed(sdk, model, signal, sizes, rate=RATE, channels=1, pcm16=False):
    attrs = stream_attributes(model, rate, channels, pcm16=pcm16)
    with sdk.create_audio_processor(attrs) as processor:
        out = list(kolta.process_stream(processor, cut(signal, sizes), rate, channels))
    return np.concatenate(out) if out else np.zeros(0, np.float32)


SIGNALS = {
    # The case the raw engine gets wrong: the trailing silence is drain input.
    "tone then 100 ms silence": lambda: np.concatenate([tone(3200), silence(1600)]),
    "silence first": lambda: np.concatenate([silence(500), tone(3200)]),
    "silence in the middle": lambda: np.concatenate([tone(3200), silence(2000), tone(1000)]),
    "silence everywhere": lambda: np.concatenate(
        [silence(700), tone(900), silence(4000), tone(333), silence(77)]),
    "only silence": lambda: silence(5000),
    "shorter than 20 ms": lambda: tone(100),
    "one sample": lambda: tone(1),
    "exactly 20 ms": lambda: tone(320),
}
CHUNKINGS = [[320], [1], [7], [319, 321], [1000, 13, 5000], [100_000]]


@pytest.mark.parametrize("sizes", CHUNKINGS, ids=str)
@pytest.mark.parametrize("name", SIGNALS)
def test_passthrough_is_bit_exact_and_same_length(sdk, name, sizes):
    signal = SIGNALS[name]()
    out = processed(sdk, "passthrough", signal, sizes)
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out, signal)


@pytest.mark.parametrize("rate,channels", [(44100, 2), (8000, 1), (48000, 2)])
def test_other_formats_are_aligned(sdk, rate, channels):
    signal = np.concatenate([tone(rate // 5 * channels, rate=rate, channels=channels),
                             silence(rate // 10 * channels)])
    out = processed(sdk, "passthrough", signal, [channels * 37], rate, channels)
    np.testing.assert_array_equal(out, signal)


def test_denoise_output_does_not_depend_on_chunk_sizes(sdk):
    signal = SIGNALS["silence everywhere"]()
    # 16-bit PCM on the wire: with Opus, the codec's delay on top of the
    # model's is more than a 20 ms drain can push out, so drains in the middle
    # of a stream change the output slightly (engine/README.md).
    reference = processed(sdk, "denoise", signal, [signal.size], pcm16=True)
    assert reference.size == signal.size
    for sizes in CHUNKINGS[:-1]:
        np.testing.assert_array_equal(processed(sdk, "denoise", signal, sizes, pcm16=True),
                                      reference)


def test_priming_is_hidden_and_output_comes_as_input_arrives(sdk):
    attrs = kolta.ProcessorAttributes(kolta.AudioAttributes(model_name="passthrough"))
    with sdk.create_audio_processor(attrs) as processor:
        stream = kolta.AlignedStream(processor, RATE)
        signal = tone(3200)
        sizes = [stream.feed(piece).size for piece in cut(signal, [320])]
        tail = stream.finish()
    assert sizes == [0] + [320] * 9 and tail.size == 320
    assert stream.values_given == stream.values_returned == 3200


@pytest.mark.parametrize("sizes", [[320], [7, 320, 313], [1000]], ids=str)
def test_caller_may_reuse_its_buffer_and_keep_the_output(sdk, sizes):
    """Nothing of the caller's array is kept between calls, and every output
    is a writable array of its own."""
    signal = SIGNALS["silence everywhere"]()
    attrs = kolta.ProcessorAttributes(kolta.AudioAttributes(model_name="passthrough"))
    with sdk.create_audio_processor(attrs) as processor:
        stream = kolta.AlignedStream(processor, RATE)
        buffer = np.empty(max(sizes), np.float32)
        pieces = []
        for piece in cut(signal, sizes):
            view = buffer[:piece.size]
            view[:] = piece
            pieces.append(stream.feed(view))
            buffer[:] = np.nan  # the caller fills it again
        pieces.append(stream.finish())
    assert all(p.flags.writeable and not np.shares_memory(p, buffer) for p in pieces if p.size)
    np.testing.assert_array_equal(np.concatenate(pieces), signal)


@pytest.mark.parametrize("samples,expected", [
    (np.array([0.5, -0.25], np.float64), [0.5, -0.25]),
    (np.array([16384, -32768, 1], np.int16), [0.5, -1.0, 1 / 32768]),
    (np.array([2**30, -(2**31)], np.int32), [0.5, -1.0]),
    (np.array([[0.1, 0.2], [0.3, 0.4]], np.float32), [0.1, 0.2, 0.3, 0.4]),
], ids=["float64", "int16", "int32", "2-D frames x channels"])
def test_dtypes_are_converted_with_full_scale(samples, expected):
    channels = samples.shape[1] if samples.ndim == 2 else 1
    out = to_float32(samples, channels)
    assert out.dtype == np.float32
    np.testing.assert_array_equal(out, np.array(expected, np.float32))


def test_int16_input_streams_as_its_float32_value(sdk):
    pcm = (tone(4000) * 32767).astype(np.int16)
    out = processed(sdk, "passthrough", pcm, [500])
    np.testing.assert_array_equal(out, pcm.astype(np.float32) / 32768)


@pytest.mark.parametrize("samples,channels,error", [
    (np.zeros(4, np.uint8), 1, TypeError),
    (np.zeros(4, np.complex64), 1, TypeError),
    (np.zeros((4, 3), np.float32), 2, ValueError),
    (np.zeros((2, 2, 2), np.float32), 1, ValueError),
    (np.ones(3, np.float32), 2, ValueError),
], ids=["uint8", "complex", "3 channels for stereo", "3-D", "half a stereo frame"])
def test_bad_samples_are_refused(sdk, samples, channels, error):
    attrs = kolta.ProcessorAttributes(kolta.AudioAttributes(channels=channels,
                                                            model_name="passthrough"))
    with sdk.create_audio_processor(attrs) as processor:
        with pytest.raises(error):
            kolta.AlignedStream(processor, RATE, channels).feed(samples)


def test_feeding_after_finish_is_an_error(sdk):
    attrs = kolta.ProcessorAttributes(kolta.AudioAttributes(model_name="passthrough"))
    with sdk.create_audio_processor(attrs) as processor:
        stream = kolta.AlignedStream(processor, RATE)
        assert stream.feed(tone(640)).size + stream.finish().size == 640
        assert stream.finish().size == 0
        with pytest.raises(RuntimeError, match="finished"):
            stream.feed(tone(320))


@pytest.mark.parametrize("sizes", [[320], [1000], [7, 320, 313], [640, 5]], ids=str)
def test_a_refused_feed_leaves_the_stream_as_it_was(sdk, engine_env, sizes):
    """The processor refuses its third call; the caller sends that piece again
    and the stream goes on as if the refusal had not happened."""
    engine_env.setenv("KOLTA_ENGINE_FAULTS", "throw_on_frame=3")
    signal = SIGNALS["silence everywhere"]()
    attrs = kolta.ProcessorAttributes(kolta.AudioAttributes(model_name="passthrough"))
    with sdk.create_audio_processor(attrs) as processor:
        stream = kolta.AlignedStream(processor, RATE)
        pieces, accepted, refusals = [], 0, 0
        for piece in cut(signal, sizes):
            try:
                pieces.append(stream.feed(piece))
            except RuntimeError as error:
                assert "injected fault" in str(error)
                refusals += 1
                assert (stream.values_given, stream.values_returned) == (
                    accepted, sum(p.size for p in pieces))
                pieces.append(stream.feed(piece))
            accepted += piece.size
        pieces.append(stream.finish())
    assert refusals == 1
    np.testing.assert_array_equal(np.concatenate(pieces), signal)


def passthrough_attrs(rate=RATE, channels=1):
    return kolta.ProcessorAttributes(kolta.AudioAttributes(
        sampling_rate=rate, channels=channels, model_name="passthrough"))


@pytest.mark.parametrize("opened,stream,message", [
    ((16000, 1), {"sampling_rate": 44100}, "44100 Hz mono stream .* opened for 16000 Hz mono"),
    ((16000, 1), {"channels": 2}, "16000 Hz stereo stream .* opened for 16000 Hz mono"),
    ((48000, 2), {"sampling_rate": 48000, "channels": 1}, "48000 Hz mono .* 48000 Hz stereo"),
    ((8000, 2), {"sampling_rate": 16000}, "16000 Hz stereo .* 8000 Hz stereo"),
])
def test_a_stream_in_another_format_than_its_processor_is_refused(sdk, opened, stream, message):
    with kolta.open_processor(sdk, passthrough_attrs(*opened)) as processor:
        with pytest.raises(ValueError, match=message):
            kolta.AlignedStream(processor, **stream)
        with pytest.raises(ValueError, match=message):
            next(kolta.process_stream(processor, [tone(640)], **stream))


@pytest.mark.parametrize("rate,channels", [(16000, 1), (44100, 2)])
def test_a_processor_kolta_opened_gives_the_stream_its_format(sdk, rate, channels):
    signal = tone(rate // 5 * channels, rate=rate, channels=channels)
    with kolta.open_processor(sdk, passthrough_attrs(rate, channels)) as processor:
        out = list(kolta.process_stream(processor, cut(signal, [channels * 333])))
    np.testing.assert_array_equal(np.concatenate(out), signal)
    # Closed, it is no longer known: its id may be reused by another object.
    with pytest.raises(TypeError, match="needs sampling_rate"):
        kolta.AlignedStream(processor)


def test_a_processor_opened_directly_needs_the_rate(sdk):
    with sdk.create_audio_processor(passthrough_attrs()) as processor:
        with pytest.raises(TypeError, match="needs sampling_rate: .*kolta.open_processor"):
            kolta.AlignedStream(processor)


@pytest.mark.parametrize("channels", [1, 2])
def test_frames_by_channels_come_back_in_that_shape(sdk, channels):
    signal = tone(3200 * channels, channels=channels).reshape(-1, channels)
    with kolta.open_processor(sdk, passthrough_attrs(channels=channels)) as processor:
        stream = kolta.AlignedStream(processor)
        pieces = [stream.feed(signal[i:i + 333]) for i in range(0, len(signal), 333)]
        pieces.append(stream.finish())
    assert {p.shape[1:] for p in pieces} == {(channels,)}
    np.testing.assert_array_equal(np.concatenate(pieces), signal)
