"""Shared by the Python tests: they import the installed package (pip
install .), never the source folder, so they test what users get."""
import numpy as np
import pytest
import scipy.ndimage

MODES = ("constant", "nearest", "reflect", "mirror")
DTYPES = (np.uint8, np.uint16, np.float32)


def random_image(rng, shape, dtype):
    if np.dtype(dtype).kind == "f":
        return rng.normal(0, 100, shape).astype(dtype)
    return rng.integers(0, np.iinfo(dtype).max, shape, endpoint=True, dtype=dtype)


def scipy_median(x, k, mode="constant", cval=0.0):
    """SciPy's result with channels kept apart, as median_filter defines it."""
    size = (k, k) if x.ndim == 2 else (k, k, 1)
    return scipy.ndimage.median_filter(x, size=size, mode=mode, cval=x.dtype.type(cval))


@pytest.fixture
def rng():
    return np.random.default_rng(20261207)
