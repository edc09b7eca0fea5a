"""CUDA arrays through DLPack, with the test producer (cuda_producer): read
and written in place, on the caller's stream, returned as the producer's kind."""
import numpy as np
import pytest

import cuda_producer
import median_filter
from conftest import random_image, scipy_median
from median_filter import _core


@pytest.fixture
def stream():
    handle = _core.stream_create()
    yield handle
    _core.stream_destroy(handle)


class cupy_like_stream:
    def __init__(self, handle):
        self.ptr = handle


class torch_like_stream:
    def __init__(self, handle):
        self.cuda_stream = handle


@pytest.mark.parametrize("shape, row_pitch", [((19, 23), 0), ((19, 23, 3), 0), ((16, 12, 4), 64), ((1, 7, 3), 0)])
def test_cuda_arrays_come_back_as_their_librarys_arrays(rng, shape, row_pitch):
    host = random_image(rng, shape, np.uint8)
    x = cuda_producer.array.upload(host, row_pitch)
    got = median_filter.median_filter(x, 5, "reflect")
    assert type(got) is cuda_producer.array
    np.testing.assert_array_equal(got.get(), scipy_median(host, 5, "reflect"))
    # No stream named and none current in this library: the legacy default stream, DLPack's 1.
    assert list(x.streams_seen) == [1]


def test_the_stream_is_handed_to_the_producers_and_output_is_written_in_place(rng, stream):
    host = random_image(rng, (21, 18, 3), np.uint8)
    expected = scipy_median(host, 5, "nearest")
    for given in (stream, cupy_like_stream(stream), torch_like_stream(stream)):
        x = cuda_producer.array.upload(host)
        out = cuda_producer.array.upload(np.zeros_like(host))
        assert median_filter.median_filter(x, 5, "nearest", output=out, stream=given) is out
        _core.stream_synchronize(stream)
        np.testing.assert_array_equal(out.get(), expected)
        assert list(x.streams_seen) == [stream] and list(out.streams_seen) == [stream]


def test_producers_before_dlpack_1_work(rng):
    host = random_image(rng, (10, 12), np.uint8)
    got = median_filter.median_filter(cuda_producer.legacy_array.upload(host), 5)
    np.testing.assert_array_equal(got.get(), scipy_median(host, 5))


def test_bad_cuda_outputs_and_streams_are_named(rng):
    host = random_image(rng, (10, 12, 3), np.uint8)
    x = cuda_producer.array.upload(host)
    # The kernel would read x where it writes: proof that x is not copied first.
    with pytest.raises(ValueError, match="^output: shares memory with input"):
        median_filter.median_filter(x, 5, output=x)
    with pytest.raises(ValueError, match="^output:"):
        median_filter.median_filter(x, 5, output=np.zeros_like(host))
    with pytest.raises(ValueError, match="^output:"):
        median_filter.median_filter(x, 5, output=cuda_producer.array.upload(host.astype(np.uint16)))
    with pytest.raises(ValueError, match="^input: 2 channels"):
        median_filter.median_filter(cuda_producer.array.upload(host[..., :2]), 5)
    with pytest.raises(TypeError, match="^stream:"):
        median_filter.median_filter(x, 5, stream="default")
    with pytest.raises(ValueError, match="^stream:"):
        median_filter.median_filter(x, 5, stream=-1)
