"""kolta.streams.to_float32 and the module's AudioFrame turn PCM into the same
float32 bits. The package keeps its own NumPy conversion (several times
faster for long chunks); this holds the two scalings together."""

import numpy as np
import pytest

import _kolta_module as m
from kolta.streams import to_float32


def integer_extremes(dtype):
    info = np.iinfo(dtype)
    edges = [info.min, info.min + 1, -1, 0, 1, info.max - 1, info.max]
    # Where float32 runs out of mantissa bits, values must round alike.
    edges += [2**24 + 1, 2**25 + 3, -(2**24) - 3] if info.bits > 24 else []
    spread = np.random.default_rng(info.bits).integers(info.min, info.max, 4096,
                                                       dtype=dtype, endpoint=True)
    return np.concatenate((np.array(edges, dtype), spread))


FLOAT32_MAX = float(np.finfo(np.float32).max)
HALF_ULP_ABOVE = 3.4028235677973366e38  # float32 max + half its ulp: rounds to inf
FLOAT_EDGES = [0.0, -0.0, 5e-324, 1.4e-45, -1.4e-45, 1.1754943508222875e-38, 0.1, 1 / 3,
               -1.0, 1.0, 1.0 - 2**-30, FLOAT32_MAX, -FLOAT32_MAX,
               np.nextafter(HALF_ULP_ABOVE, 0), HALF_ULP_ABOVE, -HALF_ULP_ABOVE,
               1e300, -1e300, np.inf, -np.inf, np.nan]

CASES = {
    "int16": integer_extremes(np.int16),
    "int32": integer_extremes(np.int32),
    "float64": np.array(FLOAT_EDGES, np.float64),
    "float32": np.array([v for v in FLOAT_EDGES if abs(v) <= FLOAT32_MAX or v != v
                         or np.isinf(v)], np.float32),
}


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@pytest.mark.parametrize("name", CASES)
def test_package_scales_pcm_as_the_module_does(name):
    values = CASES[name]
    module = np.frombuffer(m.AudioFrame(values).samples, np.float32)
    package = to_float32(values)
    assert package.dtype == np.float32
    np.testing.assert_array_equal(package.view(np.uint32), module.view(np.uint32))


@pytest.mark.parametrize("name", ["int16", "int32"])
def test_frames_by_channels_scale_as_interleaved(name):
    stereo = CASES[name][:4096].reshape(-1, 2)
    module = np.frombuffer(m.AudioFrame(stereo.reshape(-1)).samples, np.float32)
    np.testing.assert_array_equal(to_float32(stereo, 2), module)
