"""Exact per-channel median filter of 2-D images, on the GPU."""
from ._filter import backend, median_filter

__all__ = ["backend", "median_filter"]
