"""NumPy arrays against scipy.ndimage.median_filter."""
import numpy as np
import pytest
from numpy.lib.stride_tricks import sliding_window_view

import median_filter
from conftest import DTYPES, MODES, random_image, scipy_median

LAYOUTS = ((23, 31), (23, 31, 1), (23, 31, 3), (17, 9, 4))


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("k", (3, 5, 7, 11))
@pytest.mark.parametrize("shape", LAYOUTS, ids=str)
def test_random_images_match_scipy_in_every_mode(rng, dtype, k, shape):
    x = random_image(rng, shape, dtype)
    for mode in MODES:
        got = median_filter.median_filter(x, size=k, mode=mode, cval=7)
        assert got.dtype == x.dtype and got.shape == x.shape
        np.testing.assert_array_equal(got, scipy_median(x, k, mode, 7), err_msg=mode)


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
def test_structured_images_and_images_smaller_than_the_window(rng, dtype):
    top = np.iinfo(dtype).max if np.dtype(dtype).kind == "u" else 1e30
    ramp = np.linspace(0, top, 40 * 30, dtype=np.float64).reshape(40, 30).astype(dtype)
    stripes = np.zeros((30, 40, 3), dtype)
    stripes[::3] = top
    stripes[:, ::4, 1] = top
    tiny = [random_image(rng, shape, dtype) for shape in ((1, 1), (2, 5), (6, 1, 3), (4, 14, 4))]
    for x in [ramp, stripes, *tiny]:
        for k in (5, 15):
            for mode in MODES:
                np.testing.assert_array_equal(median_filter.median_filter(x, k, mode, cval=3),
                                              scipy_median(x, k, mode, 3), err_msg=f"{x.shape} {k} {mode}")


def test_cval_is_converted_to_the_dtype(rng):
    x = random_image(rng, (12, 10), np.uint8)
    np.testing.assert_array_equal(median_filter.median_filter(x, 5, cval=200.9), scipy_median(x, 5, cval=200))
    f = random_image(rng, (12, 10), np.float32)
    np.testing.assert_array_equal(median_filter.median_filter(f, 5, cval=0.1), scipy_median(f, 5, cval=0.1))


def test_views_and_output(rng):
    base = random_image(rng, (40, 50, 4), np.uint8)
    views = [base[::-1], base[:, ::-2], base[3:30:2, 5:40, :3], base[..., 1], base.transpose(1, 0, 2),
             base.astype(">u2")]
    for view in views:
        np.testing.assert_array_equal(median_filter.median_filter(view, 5), scipy_median(view, 5), str(view.strides))
    out = np.empty((40, 50, 4), np.uint8)
    assert median_filter.median_filter(base, 5, output=out) is out
    np.testing.assert_array_equal(out, scipy_median(base, 5))
    strided_out = np.zeros((40, 100, 4), np.uint8)[:, ::2]
    median_filter.median_filter(base, 3, "mirror", output=strided_out)
    np.testing.assert_array_equal(strided_out, scipy_median(base, 3, "mirror"))
    in_place = base.copy()  # the host path filters a copy, so in place is safe here
    median_filter.median_filter(in_place, 5, output=in_place)
    np.testing.assert_array_equal(in_place, scipy_median(base, 5))


def sorted_median(x, k, mode):
    """The middle of each sorted window: NumPy's sort puts NaN above +inf."""
    pad = {"constant": "constant", "nearest": "edge", "reflect": "symmetric", "mirror": "reflect"}[mode]
    padded = np.pad(x, k // 2, mode=pad)
    windows = sliding_window_view(padded, (k, k)).reshape(*x.shape, k * k)
    return np.sort(windows, axis=-1)[..., k * k // 2]


@pytest.mark.parametrize("mode", MODES)
def test_nan_ranks_above_every_number(rng, mode):
    x = rng.normal(size=(20, 24)).astype(np.float32)
    x[rng.random(x.shape) < 0.3] = np.nan
    x[5:12, 6:14] = np.nan  # where most of a window is NaN, so is its median
    x[0, 0], x[1, 1] = np.inf, -np.inf
    got = median_filter.median_filter(x, 5, mode)
    np.testing.assert_array_equal(got, sorted_median(x, 5, mode))
    assert np.isnan(got).any() and not np.isnan(got).all()
