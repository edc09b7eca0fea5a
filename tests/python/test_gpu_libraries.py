"""CuPy and PyTorch arrays on a GPU, where both are installed and a GPU
answers (the cuda backend); skipped otherwise, saying why."""
import numpy as np
import pytest

import median_filter
from conftest import random_image, scipy_median


def library_on_gpu(name):
    if median_filter.backend != "cuda":
        pytest.skip(f"the {median_filter.backend} backend runs no {name} arrays")
    module = pytest.importorskip(name)
    try:
        if name == "cupy" and module.cuda.runtime.getDeviceCount() > 0:
            return module
        if name == "torch" and module.cuda.is_available():
            return module
    except Exception as e:  # no driver
        pytest.skip(f"{name} finds no GPU: {e}")
    pytest.skip(f"{name} finds no GPU")


def test_cupy_arrays_stay_cupy_arrays_on_the_current_stream(rng):
    cp = library_on_gpu("cupy")
    host = random_image(rng, (64, 80, 3), np.uint8)
    with cp.cuda.Stream(non_blocking=True) as stream:
        x = cp.asarray(host)
        got = median_filter.median_filter(x, 5, "mirror")
        reversed_view = median_filter.median_filter(x[::-1, ::2], 5)  # copied by CuPy first
        stream.synchronize()
    assert isinstance(got, cp.ndarray)
    np.testing.assert_array_equal(cp.asnumpy(got), scipy_median(host, 5, "mirror"))
    np.testing.assert_array_equal(cp.asnumpy(reversed_view), scipy_median(host[::-1, ::2], 5))


def test_torch_tensors_stay_tensors(rng):
    torch = library_on_gpu("torch")
    host = random_image(rng, (48, 40, 4), np.float32)
    x = torch.from_numpy(host).cuda()
    out = torch.empty_like(x)
    assert median_filter.median_filter(x, 7, "nearest", output=out) is out
    torch.cuda.current_stream().synchronize()
    np.testing.assert_array_equal(out.cpu().numpy(), scipy_median(host, 7, "nearest"))
