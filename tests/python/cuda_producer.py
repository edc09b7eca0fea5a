"""A stand-in for CuPy where none can run (CI, the emulation backend): CUDA
arrays (DLPack device type kDLCUDA) over cudaMalloc memory, emulated or
real, with a from_dlpack of their own as an array library has. Rows may be
padded (row_pitch, in elements)."""
import numpy as np

from median_filter import _core


class array:
    def __init__(self, buffer):
        self.buffer = buffer

    @classmethod
    def upload(cls, host, row_pitch=0):
        buffer = _core.device_array(host.shape, host.dtype.name, 0, row_pitch)
        buffer.upload(np.ascontiguousarray(host))
        return cls(buffer)

    def __dlpack__(self, *, stream=None, max_version=None, dl_device=None, copy=None):
        return self.buffer.__dlpack__(stream=stream, max_version=max_version, dl_device=dl_device, copy=copy)

    def __dlpack_device__(self):
        return self.buffer.__dlpack_device__()

    def get(self):
        host = np.empty(self.buffer.shape, self.buffer.dtype)
        self.buffer.download(host)
        return host

    @property
    def streams_seen(self):
        return self.buffer.streams_seen


class legacy_array(array):
    """A producer from before DLPack 1.0: no max_version, unversioned capsules."""

    def __dlpack__(self, stream=None):
        return self.buffer.__dlpack__(stream=stream)


def from_dlpack(x):
    return array(x)
