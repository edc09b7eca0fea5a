"""median_filter.median_filter: NumPy arrays through a device copy, CUDA
arrays (anything with __dlpack__ on a CUDA device) in place, without copies."""
import operator
import sys

import numpy as np

from . import _arguments, _core

backend = _core.backend

_CPU = 1  # DLPack device types
_CUDA_DEVICES = (2, 13)  # CUDA, CUDA managed
_DLPACK_LEGACY_STREAM = 1  # what DLPack calls CUDA's legacy default stream (handle 0)


def median_filter(input, size=5, mode="constant", cval=0.0, output=None, stream=None):
    """Per-channel median of the size x size window around every pixel.

    Parameters, in the words of ``scipy.ndimage.median_filter``:

    input : array, (H, W) or (H, W, C) with C = 1, 3 or 4; uint8, uint16 or float32.
        A NumPy array, or any array on a CUDA device that has ``__dlpack__``
        (CuPy, PyTorch, JAX). Views with any strides work (NumPy views and
        CUDA arrays whose elements are not packed within a row are copied
        first; CUDA arrays with padded rows are read in place).
    size : odd int from 3 to 15, or (k, k) on 2-D and (k, k, 1) on 3-D arrays.
        Unlike SciPy, an int on a 3-D array means (k, k, 1): channels are
        never mixed (SciPy's int would take the median across channels too).
    mode : 'constant', 'nearest', 'reflect' or 'mirror', as in SciPy.
    cval : the value outside the image in 'constant' mode, converted to the
        dtype as ``astype`` converts (fractions truncated for integers). Unlike
        SciPy, a value an integer dtype cannot hold (-1, 256 for uint8, NaN)
        is a ValueError instead of being wrapped.
    output : array of the input's shape and dtype (and device) to write, or
        None for a new one. Filtering a CUDA array in place is refused.
    stream : CUDA stream for the work on a CUDA array: an int handle, or an
        object with ``.ptr`` (CuPy) or ``.cuda_stream`` (PyTorch). None: the
        input library's current stream (CuPy, PyTorch), else the legacy
        default stream. The stream is handed to the arrays' ``__dlpack__`` so
        that their pending work comes first; the call returns without waiting
        for the filter. Not used for NumPy arrays.

    Returns an array of the input's kind (NumPy in, NumPy out; CuPy, PyTorch
    or JAX arrays are made by that library's ``from_dlpack``), or ``output``.

    Floats are ranked with NaN above +inf (where NumPy sorts them), so a median
    is NaN exactly where more than half of the window is NaN.

    NumPy arrays are copied to the GPU, filtered and copied back when
    ``median_filter.backend`` is 'cuda'; on the 'cpu-emulation' backend (a
    build without nvcc) the GPU code runs on an emulation of the GPU on the
    CPU: the same results, slowly (each CUDA thread is a fiber on the CPU),
    though on small windows still faster than scipy.ndimage.
    """
    if isinstance(input, np.ndarray):
        return _filter_host(input, size, mode, cval, output)
    if not hasattr(input, "__dlpack__") or not hasattr(input, "__dlpack_device__"):
        raise TypeError(f"input: a {type(input).__name__}; expected a NumPy array or an array with __dlpack__")
    device_type, _ = input.__dlpack_device__()
    if device_type == _CPU:
        # A host array of another library: filtered as NumPy, returned as its own kind.
        result = _filter_host(np.from_dlpack(input), size, mode, cval, _as_numpy_output(output))
        return output if output is not None else _from_dlpack_of(input)(result)
    if device_type not in _CUDA_DEVICES:
        raise TypeError(f"input: an array on DLPack device type {device_type}; expected host or CUDA memory")
    return _filter_device(input, size, mode, cval, output, stream)


def _as_numpy_output(output):
    if output is None or isinstance(output, np.ndarray):
        return output
    if hasattr(output, "__dlpack_device__") and output.__dlpack_device__()[0] == _CPU:
        return np.from_dlpack(output)
    raise ValueError(f"output: a {type(output).__name__}; expected a host array like the input")


def _arguments_for(shape, dtype, size, mode, cval):
    height, width, channels = _arguments.image_shape(shape, dtype)
    return (height, width, channels, _arguments.window(size, len(shape)), _arguments.mode_code(mode),
            _arguments.constant(cval, dtype))


def _check_output(output, shape, dtype):
    if tuple(output.shape) != tuple(shape) or output.dtype != dtype:
        raise ValueError(f"output: {output.dtype} {tuple(output.shape)}; expected {dtype} {tuple(shape)} like the input")


def _filter_host(x, size, mode, cval, output):
    if not x.dtype.isnative:  # the device reads the bytes as they lie
        x = x.astype(x.dtype.newbyteorder("="))
    height, width, channels, k, mode_code, constant = _arguments_for(x.shape, x.dtype.name, size, mode, cval)
    if output is not None:
        if not isinstance(output, np.ndarray):
            raise ValueError(f"output: a {type(output).__name__}; expected a NumPy array like the input")
        _check_output(output, x.shape, x.dtype)
        if not output.flags.writeable:
            raise ValueError("output: read-only")
    result = output if output is not None else np.empty(x.shape, x.dtype)
    if x.size == 0:
        return result
    device = _core.current_device()
    source = _core.device_array(x.shape, x.dtype.name, device)
    source.upload(np.ascontiguousarray(x))
    target = _core.device_array(x.shape, x.dtype.name, device)
    row_bytes = width * channels * x.itemsize
    _core.filter(_core.launch_args(src=source.ptr, src_pitch=row_bytes, dst=target.ptr, dst_pitch=row_bytes,
                                   height=height, width=width, channels=channels, dtype=x.dtype.name, window=k,
                                   mode=mode_code, cval=constant, stream=0, device=device))
    if result.flags.c_contiguous:
        target.download(result)
    else:
        packed = np.empty(x.shape, x.dtype)
        target.download(packed)
        result[...] = packed
    return result


def _stream_handle(stream, x):
    if stream is None:
        return _current_stream(x)
    for attribute in ("cuda_stream", "ptr"):  # PyTorch's and CuPy's stream objects
        if hasattr(stream, attribute):
            stream = getattr(stream, attribute)
            break
    try:
        if isinstance(stream, bool):
            raise TypeError
        handle = operator.index(stream)
    except TypeError:
        raise TypeError(f"stream: a {type(stream).__name__}; expected an int handle or an object with .ptr or "
                        ".cuda_stream") from None
    if handle < 0:
        raise ValueError(f"stream: {handle}; expected a stream handle (0 for the legacy default stream)")
    return handle


def _current_stream(x):
    """The stream the input's own library would use now: CuPy's or PyTorch's current stream."""
    package = type(x).__module__.partition(".")[0]
    if package == "cupy":
        return sys.modules["cupy"].cuda.get_current_stream().ptr
    if package == "torch":
        return sys.modules["torch"].cuda.current_stream(x.device).cuda_stream
    return 0


def _export(x, dlpack_stream):
    try:
        return x.__dlpack__(stream=dlpack_stream, max_version=(1, 0))
    except TypeError:  # a producer from before DLPack 1.0
        return x.__dlpack__(stream=dlpack_stream)


def _row_pitch(view, width, channels, itemsize):
    """Bytes from one row to the next where the rows are packed runs of
    pixels (as the library reads them), else None."""
    strides = view["strides"]
    if len(strides) == 3 and channels > 1 and strides[2] != 1:
        return None
    if width > 1 and strides[1] != channels:
        return None
    row = width * channels
    if view["shape"][0] == 1:
        return row * itemsize
    return strides[0] * itemsize if strides[0] >= row else None


def _packed_copy(x):
    """A copy with packed rows, made by the array's own library."""
    module = sys.modules.get(type(x).__module__.partition(".")[0])
    if hasattr(module, "ascontiguousarray"):
        return module.ascontiguousarray(x)
    if hasattr(x, "contiguous"):
        return x.contiguous()
    raise TypeError(f"input: a {type(x).__name__} whose pixels are not packed within its rows, and no "
                    "ascontiguousarray or .contiguous() to copy it")


def _from_dlpack_of(x):
    """The from_dlpack of the library that made x, found from x's type."""
    if isinstance(x, _core.device_array):
        return lambda array: array
    name = type(x).__module__
    while name:
        function = getattr(sys.modules.get(name), "from_dlpack", None)
        if function is not None:
            return function
        name = name.rpartition(".")[0]
    if "jax" in sys.modules:  # JAX arrays are jaxlib types
        return sys.modules["jax"].numpy.from_dlpack
    raise TypeError(f"input: no from_dlpack found for a {type(x).__module__}.{type(x).__name__}; pass output=")


def _span(ptr, pitch, height, row_bytes):
    return ptr, ptr + (height - 1) * pitch + row_bytes


def _filter_device(x, size, mode, cval, output, stream):
    handle = _stream_handle(stream, x)
    dlpack_stream = handle if handle != 0 else _DLPACK_LEGACY_STREAM
    device = x.__dlpack_device__()
    capsule = _export(x, dlpack_stream)
    view = _core.view(capsule)
    shape, dtype = view["shape"], view["dtype"]
    height, width, channels, k, mode_code, constant = _arguments_for(shape, dtype, size, mode, cval)
    itemsize = np.dtype(dtype).itemsize
    row_bytes = width * channels * itemsize
    empty = height == 0 or width == 0
    src_pitch = row_bytes if empty else _row_pitch(view, width, channels, itemsize)
    if src_pitch is None:
        x_packed = _packed_copy(x)
        capsule = _export(x_packed, dlpack_stream)
        view = _core.view(capsule)
        src_pitch = _row_pitch(view, width, channels, itemsize)

    if output is None:
        target = _core.device_array(shape, dtype, device[1])
        result = _from_dlpack_of(x)(target)
        dst, dst_pitch = target.ptr, row_bytes
    else:
        if not hasattr(output, "__dlpack__") or tuple(output.__dlpack_device__()) != tuple(device):
            raise ValueError(f"output: a {type(output).__name__}; expected an array on the input's device {device}")
        result = output
        target_capsule = _export(output, dlpack_stream)
        target_view = _core.view(target_capsule)
        if tuple(target_view["shape"]) != tuple(shape) or target_view["dtype"] != dtype:
            raise ValueError(f"output: {target_view['dtype']} {tuple(target_view['shape'])}; expected {dtype} "
                             f"{tuple(shape)} like the input")
        if target_view["read_only"]:
            raise ValueError("output: read-only")
        dst = target_view["ptr"]
        dst_pitch = row_bytes if empty else _row_pitch(target_view, width, channels, itemsize)
        if dst_pitch is None:
            raise ValueError("output: its pixels are not packed within its rows; pass a contiguous array")
        src_span = _span(view["ptr"], src_pitch, height, row_bytes)
        dst_span = _span(dst, dst_pitch, height, row_bytes)
        if not empty and src_span[0] < dst_span[1] and dst_span[0] < src_span[1]:
            raise ValueError("output: shares memory with input; filtering a CUDA array in place is not supported")
    if empty:
        return result
    _core.filter(_core.launch_args(src=view["ptr"], src_pitch=src_pitch, dst=dst, dst_pitch=dst_pitch, height=height,
                                   width=width, channels=channels, dtype=dtype, window=k, mode=mode_code,
                                   cval=constant, stream=handle, device=device[1]))
    return result
