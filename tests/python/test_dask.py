"""median_filter.dask against the whole-array call, over chunkings that cut
the image anywhere."""
import dask.array as da
import numpy as np
import pytest

import median_filter
import median_filter.dask
from conftest import MODES, random_image


@pytest.mark.parametrize("shape, chunks", [
    ((30, 26, 3), (4, 3, 3)),  # chunks smaller than the window
    ((30, 26, 3), (30, 26, 3)),  # one chunk, the whole image
    ((30, 26), (11, 9)),  # chunks that do not divide the image
    ((30, 26, 4), (16, 13, 1)),  # channels split: made one chunk again
    ((5, 40), (2, 17)),  # an axis no longer than the window
])
@pytest.mark.parametrize("dtype", (np.uint8, np.float32), ids=lambda d: np.dtype(d).name)
def test_chunks_give_the_whole_array_result(rng, shape, chunks, dtype):
    x = random_image(rng, shape, dtype)
    for mode in MODES:
        lazy = median_filter.dask.median_filter(da.from_array(x, chunks=chunks), 5, mode, cval=9)
        np.testing.assert_array_equal(lazy.compute(), median_filter.median_filter(x, 5, mode, cval=9), err_msg=mode)


def test_arguments_are_checked_before_computing():
    x = da.zeros((20, 20, 3), dtype=np.uint8, chunks=10)
    with pytest.raises(ValueError, match="^size:"):
        median_filter.dask.median_filter(x, 6)
    with pytest.raises(ValueError, match="^cval:"):
        median_filter.dask.median_filter(x, 5, cval=300)
    with pytest.raises(TypeError, match="^x: dtype int64"):
        median_filter.dask.median_filter(x.astype(np.int64), 5)
    with pytest.raises(TypeError, match="^x:"):
        median_filter.dask.median_filter(np.zeros((4, 4), np.uint8))
