"""median_filter.dask.median_filter: the same filter over a dask.array,
chunk by chunk, for images larger than one GPU's memory or spread over
several GPUs and machines (dask-cuda, dask.distributed)."""
import numpy as np

from . import _arguments
from ._filter import median_filter as _median_filter


def median_filter(x, size=5, mode="constant", cval=0.0):
    """A lazy dask.array equal to ``median_filter.median_filter`` of the
    whole array ``x`` (2-D, or 3-D with 1, 3 or 4 channels; NumPy or CuPy
    chunks). Arguments as there; they are checked here, before anything is
    computed.

    Each chunk is filtered with its neighbours' pixels within ``size // 2``
    around it (``map_overlap``, ``boundary='none'``), so ``mode`` and ``cval``
    act only at the image's own edges. The channel axis is made one chunk;
    an image axis no longer than the window is made one chunk too, since
    'reflect' and 'mirror' read across the whole of such an axis.
    """
    import dask.array as da

    if not isinstance(x, da.Array):
        raise TypeError(f"x: a {type(x).__name__}; expected a dask.array (median_filter.median_filter takes arrays)")
    dtype = np.dtype(x.dtype).name
    _arguments.image_shape(x.shape, dtype, "x")
    k = _arguments.window(size, x.ndim)
    _arguments.mode_code(mode)
    _arguments.constant(cval, dtype)
    if any(extent == 0 for extent in x.shape):
        return x.copy()
    reach = k // 2
    whole_axes = {axis: -1 for axis in range(2) if x.shape[axis] <= k}
    if x.ndim == 3:
        whole_axes[2] = -1
    if whole_axes:
        x = x.rechunk(whole_axes)
    depth = {0: reach, 1: reach}
    if x.ndim == 3:
        depth[2] = 0
    return x.map_overlap(_median_filter, depth=depth, boundary="none", dtype=x.dtype, meta=x._meta,
                         size=size, mode=mode, cval=cval)
