"""Bad arguments: a ValueError or TypeError naming the argument, before any work."""
import numpy as np
import pytest

import median_filter

IMAGE = np.zeros((8, 9, 3), np.uint8)

BAD_CALLS = [
    # (arguments, exception, argument named)
    (dict(size=4), ValueError, "size"),
    (dict(size=17), ValueError, "size"),
    (dict(size=1), ValueError, "size"),
    (dict(size=(5, 5)), ValueError, "size"),  # a 3-D image takes (k, k, 1)
    (dict(size=(5, 7, 1)), ValueError, "size"),
    (dict(size=(5, 5, 3)), ValueError, "size"),
    (dict(size=5.0), TypeError, "size"),
    (dict(size=True), TypeError, "size"),
    (dict(mode="wrap"), ValueError, "mode"),
    (dict(mode=0), TypeError, "mode"),
    (dict(cval=256), ValueError, "cval"),
    (dict(cval=-1), ValueError, "cval"),
    (dict(cval=float("nan")), ValueError, "cval"),
    (dict(cval="zero"), TypeError, "cval"),
    (dict(output=np.zeros((8, 9, 3), np.uint16)), ValueError, "output"),
    (dict(output=np.zeros((8, 9), np.uint8)), ValueError, "output"),
    (dict(output=[0] * 216), ValueError, "output"),
]


@pytest.mark.parametrize("arguments, error, name", BAD_CALLS, ids=[f"{c[0]}"[:40] for c in BAD_CALLS])
def test_bad_arguments_are_named(arguments, error, name):
    with pytest.raises(error, match=f"^{name}:"):
        median_filter.median_filter(IMAGE, **arguments)


@pytest.mark.parametrize("image, error", [
    (np.zeros((4, 5, 6, 3), np.uint8), ValueError),  # 4-D
    (np.zeros(7, np.uint8), ValueError),  # 1-D
    (np.zeros((4, 5, 2), np.uint8), ValueError),  # 2 channels
    (np.zeros((4, 5, 5), np.uint8), ValueError),
    (np.zeros((4, 5), np.int64), TypeError),
    (np.zeros((4, 5), np.float64), TypeError),
    ([[1, 2], [3, 4]], TypeError),
], ids=lambda v: getattr(v, "shape", v) if not isinstance(v, type) else v.__name__)
def test_bad_inputs_are_named(image, error):
    with pytest.raises(error, match="^input:"):
        median_filter.median_filter(image)


def test_read_only_output_is_refused_and_empty_images_pass():
    out = np.zeros_like(IMAGE)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="^output: read-only"):
        median_filter.median_filter(IMAGE, output=out)
    assert median_filter.median_filter(np.zeros((0, 5, 3), np.uint8)).shape == (0, 5, 3)
