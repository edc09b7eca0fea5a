"""The checks shared by the array call and the Dask call: each names the
argument at fault, so a bad call never reaches the library."""
import math
import operator

_MODES = {"constant": 0, "nearest": 1, "reflect": 2, "mirror": 3}  # median_filter::border
_DTYPES = ("uint8", "uint16", "float32")
_INTEGER_RANGE = {"uint8": (0, 255), "uint16": (0, 65535)}
MIN_WINDOW, MAX_WINDOW = 3, 15
MAX_EXTENT = 1 << 30


def image_shape(shape, dtype, name="input"):
    """Checks the shape and dtype name of the array argument `name`; returns
    (height, width, channels)."""
    if len(shape) not in (2, 3):
        raise ValueError(f"{name}: a {len(shape)}-D array; expected (H, W) or (H, W, C)")
    if len(shape) == 3 and shape[2] not in (1, 3, 4):
        raise ValueError(f"{name}: {shape[2]} channels; expected 1, 3 or 4")
    if dtype not in _DTYPES:
        raise TypeError(f"{name}: dtype {dtype}; expected uint8, uint16 or float32")
    height, width = shape[0], shape[1]
    if height > MAX_EXTENT or width > MAX_EXTENT:
        raise ValueError(f"{name}: {height}x{width} pixels; at most {MAX_EXTENT} on a side")
    return height, width, shape[2] if len(shape) == 3 else 1


def _integer(value):
    if isinstance(value, bool):
        raise TypeError
    return operator.index(value)


def window(size, ndim):
    """The window side from SciPy's `size`: k, (k, k) on 2-D, (k, k, 1) on 3-D arrays."""
    try:
        if isinstance(size, (tuple, list)):
            sides = tuple(_integer(s) for s in size)
        else:
            sides = (_integer(size),)
    except TypeError:
        raise TypeError(f"size: {size!r}; expected an odd int or a tuple (k, k) or (k, k, 1)") from None
    if len(sides) > 1:
        square = len(sides) == ndim and sides[0] == sides[1] and (ndim == 2 or sides[2] == 1)
        if not square:
            expected = "(k, k)" if ndim == 2 else "(k, k, 1)"
            raise ValueError(f"size: {size!r} on a {ndim}-D array; square windows over the image axes only, {expected}")
    k = sides[0]
    if k % 2 == 0 or not MIN_WINDOW <= k <= MAX_WINDOW:
        raise ValueError(f"size: {k}; expected an odd side from {MIN_WINDOW} to {MAX_WINDOW}")
    return k


def mode_code(mode):
    if not isinstance(mode, str):
        raise TypeError(f"mode: {mode!r}; expected one of {', '.join(_MODES)}")
    if mode not in _MODES:
        raise ValueError(f"mode: {mode!r}; expected one of {', '.join(_MODES)}")
    return _MODES[mode]


def constant(cval, dtype):
    """cval converted to the dtype as NumPy's astype does (fractions of integers
    truncated); a value an integer dtype cannot hold is refused, not wrapped."""
    try:
        value = float(cval)
    except (TypeError, ValueError):
        raise TypeError(f"cval: {cval!r}; expected a number") from None
    if dtype in _INTEGER_RANGE:
        low, high = _INTEGER_RANGE[dtype]
        if math.isnan(value) or not low - 1 < value < high + 1:
            raise ValueError(f"cval: {cval!r} is outside the range of {dtype} ({low} to {high})")
        return float(math.trunc(value))
    import numpy as np
    with np.errstate(over="ignore"):
        return float(np.float32(value))
