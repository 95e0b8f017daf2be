"""Turning the sample blocks a host hands in into native 16-bit samples the library can read."""
from __future__ import annotations

from typing import Any, Union

import numpy as np

#: What ``write`` accepts: an int16 numpy array, bytes of 16-bit little-endian samples, or any
#: object with the buffer interface (int16 items, or bytes read as 16-bit little endian).
PCM = Union[np.ndarray, bytes, bytearray, memoryview, Any]

_NATIVE_INT16 = np.dtype(np.int16)
_LITTLE_INT16 = np.dtype("<i2")


def _is_int16(dtype: np.dtype) -> bool:
    return dtype.kind == "i" and dtype.itemsize == 2


def as_samples(pcm: PCM) -> np.ndarray:
    """Returns the samples of ``pcm`` as a one-dimensional, aligned, contiguous array of native
    int16: a view of the caller's memory when it already is one, else a copy.

    Raises TypeError for a type or item format that is not 16-bit PCM, and ValueError for a
    shape or byte count that cannot be mono samples: converting those silently (float audio
    cast to zeros, a stereo pair read as two mono samples, half a sample dropped) would feed
    the detector something other than the audio."""
    if type(pcm) is np.ndarray and pcm.dtype == _NATIVE_INT16 and pcm.ndim == 1 and \
            pcm.flags.c_contiguous and pcm.flags.aligned:
        return pcm  # the common case, checked first and cheaply
    if isinstance(pcm, np.ndarray):
        samples = pcm
        if not _is_int16(samples.dtype):
            raise TypeError(f"pcm must hold int16 samples, not {samples.dtype}")
    else:
        try:
            samples = np.asarray(memoryview(pcm))
        except (TypeError, ValueError, NotImplementedError):
            raise TypeError(
                "pcm must be an int16 numpy array, bytes of 16-bit little-endian samples or a "
                f"buffer of either, not {type(pcm).__name__}") from None
        if samples.dtype.itemsize == 1 and samples.dtype.kind in "uiS":
            raw = np.ascontiguousarray(samples).reshape(-1)
            if raw.size % 2:
                raise ValueError(
                    f"pcm holds {raw.size} bytes: 16-bit samples need an even count")
            samples = raw.view(np.uint8).view(_LITTLE_INT16)
        elif not _is_int16(samples.dtype):
            raise TypeError(
                f"pcm buffer holds {samples.dtype} items: 16-bit samples or bytes are accepted")
    if samples.ndim != 1:
        # One channel laid out as a column is still mono.
        if samples.ndim == 2 and samples.shape[1] == 1:
            samples = samples[:, 0]
        else:
            raise ValueError(
                f"pcm must be one channel of samples; got an array of shape {samples.shape}")
    if samples.dtype != _NATIVE_INT16:
        samples = samples.astype(_NATIVE_INT16)  # byte-swapped int16: same values, native order
    if not (samples.flags.c_contiguous and samples.flags.aligned):
        samples = np.array(samples, dtype=_NATIVE_INT16, order="C")  # a fresh, aligned copy
    return samples
