"""AudioFrame: a zero-copy float32 view over an array the frame keeps alive."""

import gc
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
    lambda: np.arange(6, dtype=np.int16),
], ids=["float64", "strided", "int16"])
def test_other_dtypes_and_layouts_are_converted(make):
    source = make()
    frame = AudioFrame(source)
    assert frame.frame_count == len(source)
    assert frame.samples.tolist() == source.astype(np.float32).tolist()
    assert address(frame.samples) != source.ctypes.data


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
