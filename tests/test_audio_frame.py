"""AudioFrame: a zero-copy float32 view over an array the frame keeps alive."""

import array
import gc
import textwrap
import warnings
import weakref

import numpy as np
import pytest

from _kolta_module import AudioFrame

CLASS_DOC = (
    "A chunk of interleaved PCM audio, used for both processor input and processed "
    "output.\n\nThe sample rate and channel count are fixed for the whole session by "
    "the AudioAttributes passed to create_audio_processor. samples is a non-owning "
    "view; the data must remain valid for the duration of the call.")


def address(view):
    return np.frombuffer(view, dtype=np.float32).ctypes.data


def test_docs():
    assert AudioFrame.__doc__ == CLASS_DOC
    assert AudioFrame.__init__.__doc__ == (
        "__init__(self, samples: ndarray[dtype=float32, shape=(*), order='C']) -> None")


@pytest.mark.parametrize("n", [0, 1, 5, 48000])
def test_samples_alias_the_array(n):
    array = np.arange(n, dtype=np.float32)
    frame = AudioFrame(array)
    assert frame.frame_count == n
    view = frame.samples
    assert (view.format, view.itemsize, len(view), view.readonly) == ("f", 4, n, True)
    assert view.tolist() == array.tolist()
    assert frame.samples is not view
    if n:
        assert address(view) == array.ctypes.data
        array[-1] = -7.5
        assert view[-1] == -7.5 and frame.samples[-1] == -7.5


@pytest.mark.parametrize("make", [
    lambda: np.arange(6, dtype=np.float64),
    lambda: np.arange(12, dtype=np.float32)[::2],
    lambda: np.arange(6, dtype=np.float32)[::-1],
    lambda: np.arange(6, dtype=">f4"),
    lambda: np.arange(6, dtype=np.float16),
], ids=["float64", "strided", "reversed", "big-endian", "float16"])
def test_other_float_formats_are_converted_by_value(make):
    source = make()
    frame = AudioFrame(source)
    assert frame.frame_count == len(source)
    assert frame.samples.tolist() == source.astype(np.float32).tolist()
    assert address(frame.samples) != source.ctypes.data


# Integers are PCM: signed over the full scale of their width, uint8 as offset
# binary; the extremes of each type land on -1.0 and just under 1.0.
@pytest.mark.parametrize("dtype, values, expected", [
    (np.int8, [-128, 0, 64, 127], [-1.0, 0.0, 0.5, 127 / 128]),
    (np.int16, [-32768, 0, 16384, 32767], [-1.0, 0.0, 0.5, 32767 / 32768]),
    (np.int32, [-2**31, 0, 2**30, 2**31 - 1], [-1.0, 0.0, 0.5, 1.0]),
    (np.uint8, [0, 128, 192, 255], [-1.0, 0.0, 0.5, 127 / 128]),
    ("<i2", [-32768, 16384], [-1.0, 0.5]),
    (">i2", [-32768, 16384], [-1.0, 0.5]),
])
def test_integer_input_is_pcm(dtype, values, expected):
    frame = AudioFrame(np.array(values, dtype=dtype))
    assert frame.samples.tolist() == np.array(expected, np.float32).tolist()


@pytest.mark.parametrize("make", [
    lambda: array.array("h", [-32768, 16384]),
    lambda: memoryview(np.array([-32768, 16384], np.int16).tobytes()).cast("h"),
], ids=["array.array", "memoryview"])
def test_integer_pcm_through_the_buffer_protocol(make):
    assert AudioFrame(make()).samples.tolist() == [-1.0, 0.5]


@pytest.mark.parametrize("value, message", [
    (b"\x00\x01\x02\x03", r"np\.frombuffer\(data, dtype\)"),
    (bytearray(4), r"np\.frombuffer\(data, dtype\)"),
    (memoryview(b"abcd"), r"np\.frombuffer\(data, dtype\)"),
    (np.zeros(3, np.bool_), "'\\?'"),
    (np.zeros(3, np.complex64), "'Zf'"),
    (np.zeros(3, np.uint16), "'H'"),
], ids=["bytes", "bytearray", "memoryview-of-bytes", "bool", "complex", "uint16"])
def test_buffers_that_are_not_pcm_are_refused(value, message):
    with pytest.raises(TypeError, match=message):
        AudioFrame(value)


@pytest.mark.parametrize("make", [
    lambda: np.frombuffer(np.arange(4, dtype=np.float32).tobytes(), np.float32),
    lambda: read_only(np.arange(4, dtype=np.float32)),
    lambda: memoryview(np.arange(4, dtype=np.float32).tobytes()).cast("f"),
    lambda: AudioFrame(np.arange(4, dtype=np.float32)).samples,
], ids=["frombuffer", "writeable-false", "memoryview-of-bytes", "frame-samples"])
def test_read_only_float32_is_used_in_place(make):
    source = make()
    frame = AudioFrame(source)
    assert frame.samples.tolist() == [0.0, 1.0, 2.0, 3.0]
    assert address(frame.samples) == address(source)


def test_read_only_memory_map_is_accepted(tmp_path):
    path = tmp_path / "pcm.f32"
    np.arange(8, dtype=np.float32).tofile(path)
    mapped = np.memmap(path, dtype=np.float32, mode="r")
    assert AudioFrame(mapped).samples.tolist() == list(range(8))


def read_only(a):
    a.flags.writeable = False
    return a


def cast_view(data):
    return data, memoryview(data).cast("f")


def own_view(data):
    view = memoryview(data).cast("f")
    return view, view


# A live frame holds an export of what it was made from, which therefore
# refuses to move or free its memory, as Python's own types do while a
# memoryview exists. Each case: (what to change, what the frame is made of).
@pytest.mark.parametrize("make, change", [
    (lambda: cast_view(bytearray(16)), lambda b: b.extend(b"x")),
    (lambda: own_view(bytearray(16)), lambda v: v.release()),
    (lambda: (a := array.array("f", [0.25] * 4), a), lambda a: a.extend(a)),
    (lambda: (a := array.array("f", [1] * 4), a), lambda a: a.pop()),
], ids=["bytearray.extend", "memoryview.release", "array.extend", "array.pop"])
def test_exporter_cannot_be_resized_while_a_frame_lives(make, change):
    source, argument = make()
    frame = AudioFrame(argument)
    del argument
    with pytest.raises(BufferError):
        change(source)
    del frame
    change(source)  # the export went with the frame


def test_frame_and_its_views_keep_the_array_alive():
    array = np.ones(8, dtype=np.float32)
    alive = weakref.ref(array)
    frame = AudioFrame(array)
    view = frame.samples
    del array, frame
    gc.collect()
    assert alive() is not None
    assert view.tolist() == [1.0] * 8
    del view
    gc.collect()
    assert alive() is None


def test_converted_array_lives_as_long_as_the_frame(run_python):
    # Large enough that freeing the converted copy returns its pages to the
    # system: reading them after that would crash the process.
    result = run_python("""
        import gc
        import numpy as np
        from _kolta_module import AudioFrame

        n = 1 << 22
        frame = AudioFrame(np.arange(n, dtype=np.float64))
        view = frame.samples
        gc.collect()
        junk = [np.full(n, 3.0, dtype=np.float32) for _ in range(4)]
        assert view[n - 1] == n - 1 and view[12345] == 12345, (view[n - 1], view[12345])
        del frame
        gc.collect()
        assert sum(view[i] for i in range(0, n, 4096)) == sum(range(0, n, 4096))
        print("ok")
    """, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


@pytest.mark.parametrize("args", [
    (np.zeros((2, 3), dtype=np.float32),),
    (None,),
    (),
], ids=["2-d", "none", "no-argument"])
def test_rejected_arguments(args):
    with pytest.raises(TypeError):
        AudioFrame(*args)


@pytest.mark.parametrize("name, value", [("frame_count", 3), ("samples", None)])
def test_attributes_are_read_only(name, value):
    frame = AudioFrame(np.zeros(4, dtype=np.float32))
    with pytest.raises(AttributeError):
        setattr(frame, name, value)
    assert frame.frame_count == 4


@pytest.mark.parametrize("n, fits", [(2**32 - 1, True), (2**32, False)])
def test_sample_count_limit(n, fits):
    # Zero pages are mapped lazily: these arrays cost address space, not memory.
    try:
        array = np.zeros(n, dtype=np.float32)
    except MemoryError:
        pytest.skip("cannot reserve 16 GiB of address space here")
    if fits:
        frame = AudioFrame(array)
        assert frame.frame_count == n
        assert len(frame.samples) == n
    else:
        with pytest.raises(ValueError, match="4294967295"):
            AudioFrame(array)


@pytest.mark.parametrize("call", [
    lambda: AudioFrame.samples.fget(bytearray(16)),
    lambda: AudioFrame.frame_count.fget(bytearray(16)),
    lambda: AudioFrame.__new__(AudioFrame).samples,
    lambda: AudioFrame.__new__(AudioFrame).frame_count,
    lambda: memoryview(AudioFrame.__new__(AudioFrame)),
], ids=["samples-foreign", "count-foreign", "samples-uninitialised",
        "count-uninitialised", "buffer-uninitialised"])
def test_members_refuse_a_self_that_is_no_frame(call):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # nanobind names the instance
        with pytest.raises(TypeError):
            call()


# What used to crash or silently corrupt: each runs in its own process, so a
# regression fails here instead of taking the test run down.
CRASH_REPROS = {
    "output read after close": (96000.0, """
        with sdk.create_audio_processor(attrs(48000, 2)) as p:
            p.process_frame(AudioFrame(np.full(192000, 0.5, np.float32)))
            out = p.process_frame(AudioFrame(np.full(192000, 0.5, np.float32)))
        del p
        gc.collect()
        junk = [np.full(1 << 22, 9.0, np.float32) for _ in range(4)]
        print(np.frombuffer(out.samples, np.float32).sum())
    """),
    "output kept across a bigger call": (80.0, """
        with sdk.create_audio_processor(attrs(16000, 1)) as p:
            p.process_frame(AudioFrame(np.full(320, 0.25, np.float32)))
            kept = p.process_frame(AudioFrame(np.full(320, 0.5, np.float32)))
            view = kept.samples
            for _ in range(3):
                p.process_frame(AudioFrame(np.full(1 << 20, 0.75, np.float32)))
        print(np.frombuffer(view, np.float32).sum())
    """),
    "outputs kept among freed ones of other sizes": (0.0, """
        kept, copies = [], []
        with sdk.create_audio_processor(attrs(16000, 1)) as p:
            for i, n in enumerate([320, 640, 320, 48000, 320, 330, 960, 320] * 4):
                out = p.process_frame(AudioFrame(np.full(n, i + 1.0, np.float32)))
                if i % 3:  # the rest are freed at once and their memory reused
                    kept.append(out)
                    copies.append(np.array(out.samples))
        converted = [AudioFrame(np.full(n, 7, np.int16)) for n in (320, 640, 48000)]
        print(sum(float(np.abs(np.frombuffer(f.samples, np.float32) - c).sum())
                  for f, c in zip(kept, copies)))
    """),
    "output outlives processor and sdk": (8000.0, """
        p = sdk.create_audio_processor(attrs(16000, 1))
        p.process_frame(AudioFrame(np.full(16000, 0.5, np.float32)))
        out = p.process_frame(AudioFrame(np.full(16000, 0.5, np.float32)))
        del p, sdk
        gc.collect()
        print(np.asarray(out.samples, np.float64).sum())
    """),
    "array exporter resized": (1e6, """
        a = array.array("f", [0.25]) * 4_000_000
        f = AudioFrame(a)
        try:
            a.extend(a)
        except BufferError:
            pass
        print(np.frombuffer(f.samples, np.float32).sum())
    """),
    "memoryview exporter released": (1e6, """
        b = bytearray(np.full(4_000_000, 0.25, np.float32).tobytes())
        mv = memoryview(b).cast("f")
        f = AudioFrame(mv)
        for change in (mv.release, lambda: b.extend(b)):
            try:
                change()
            except BufferError:
                pass
        print(np.frombuffer(f.samples, np.float32).sum())
    """),
}


@pytest.mark.parametrize("expected, body", CRASH_REPROS.values(), ids=CRASH_REPROS.keys())
def test_frames_never_expose_freed_memory(run_python, tmp_path, expected, body):
    result = run_python(textwrap.dedent(f"""
        import array, gc
        import numpy as np
        import _kolta_module as k
        from _kolta_module import AudioFrame

        def attrs(rate, channels):
            audio = k.AudioAttributes(sampling_rate=rate, channels=channels,
                                      model_name="passthrough")
            return k.ProcessorAttributes(audio)

        sdk = k.create_sdk(k.InitParams(storage_dir={str(tmp_path)!r}))
        assert sdk.activate_api_key("KOLTA-DEMO-KEY").success
    """) + textwrap.dedent(body), timeout=120)
    assert result.returncode == 0, result.stderr
    assert float(result.stdout) == expected
