"""The library's ten C functions, one to one.

These mirror the C interface: they return what the C functions return (0, a count, a slot
index, or -1 with the reason in ``last_error()``) and raise nothing for a failure the library
reports. Python values are converted on the way in and out: paths may be ``str``, ``bytes``
or path-like objects, texts come back as ``str``, and sample blocks are anything
``Detector.write`` accepts.

The library holds one detector per process. These functions act on it directly, so a host
that uses them while a :class:`Detector` is open changes that detector's state as well.
"""
from __future__ import annotations

import ctypes
import numbers
import os
from typing import Optional, Tuple, Union

import numpy as np

from ._library import library
from ._pcm import PCM, as_samples

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]", None]

#: Samples a chunk: the detector scores every this many samples.
CHUNK = 1280

#: Largest sample count passed in one C call: the C count is an int, and a larger block is
#: fed in pieces of this size (a multiple of the chunk) rather than truncated.
MAX_SAMPLES_PER_CALL = (2**31 - 1) // CHUNK * CHUNK


def _path(path: PathArg) -> Optional[bytes]:
    if path is None:
        return None
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        # C would read the text only up to the NUL and open some other file.
        raise ValueError(f"path contains a NUL character: {path!r}")
    return encoded


def _text(address: Optional[int]) -> str:
    return ctypes.string_at(address).decode("utf-8", "replace") if address else ""


def _threshold(threshold: float) -> float:
    # ctypes would refuse anything else with a message that names no argument.
    if isinstance(threshold, bool) or not isinstance(threshold, numbers.Real):
        raise TypeError(f"threshold must be a number, not {type(threshold).__name__}")
    return float(threshold)


def load(frontend_dir: PathArg, model_path: PathArg, threshold: float) -> int:
    """``kalwake_load``: loads the front end from ``frontend_dir`` and the first wake model
    from ``model_path``. Returns 0, or -1 with the reason in ``last_error()``."""
    return library().kalwake_load(_path(frontend_dir), _path(model_path), _threshold(threshold))


def load_model(model_path: PathArg) -> int:
    """``kalwake_load_model``: adds a wake model. Returns its slot (1 to 7) or -1."""
    return library().kalwake_load_model(_path(model_path))


def model_count() -> int:
    """``kalwake_model_count``: the number of wake models loaded, or -1 when not loaded."""
    return library().kalwake_model_count()


def reset() -> None:
    """``kalwake_reset``: starts the stream afresh, keeping the models."""
    library().kalwake_reset()


def unload() -> None:
    """``kalwake_unload``: releases every model; allowed when not loaded."""
    library().kalwake_unload()


def last_error() -> str:
    """``kalwake_last_error``: the latest failure's message, or ``"no error"``."""
    return _text(library().kalwake_last_error())


def version() -> str:
    """``kalwake_version``: the library's version text."""
    return _text(library().kalwake_version())


def write_samples(samples: np.ndarray) -> int:
    """Feeds an array returned by ``as_samples``, in pieces the C count can hold."""
    fn = library().kalwake_write
    n = samples.shape[0]
    if n <= MAX_SAMPLES_PER_CALL:
        # An empty block goes through too: the library reports it as an error.
        return fn(samples.ctypes.data if n else None, n)
    done = 0
    base, itemsize = samples.ctypes.data, samples.itemsize
    for start in range(0, n, MAX_SAMPLES_PER_CALL):
        count = min(MAX_SAMPLES_PER_CALL, n - start)
        r = fn(base + start * itemsize, count)
        if r < 0:
            return r  # like one C call: the later samples are dropped, nothing is counted
        done += r
    return done


def write(pcm: PCM) -> int:
    """``kalwake_write``: feeds a block of 16-bit mono samples (an int16 numpy array, bytes of
    16-bit little-endian samples, or a buffer). Returns the chunks completed, or -1."""
    return write_samples(as_samples(pcm))


def triggered() -> Tuple[int, int, float]:
    """``kalwake_triggered``: hands over one latched detection. Returns the C result (1 or 0)
    with the two values written: ``(1, index, score)`` or ``(0, -1, 0.0)``."""
    index, score = ctypes.c_int32(-1), ctypes.c_float(0.0)
    result = library().kalwake_triggered(ctypes.addressof(index), ctypes.addressof(score))
    return result, index.value, score.value


def scores(out: np.ndarray) -> int:
    """``kalwake_scores``: copies the latest score of every slot into ``out``, a writable,
    contiguous float32 array (``n`` is its length; elements beyond the model count become
    0.0). Returns 0, or -1 with the reason in ``last_error()``."""
    if not isinstance(out, np.ndarray) or out.dtype != np.float32 or out.ndim != 1 or \
            not out.flags.c_contiguous or not out.flags.writeable:
        raise TypeError("out must be a writable, contiguous, one-dimensional float32 array")
    n = min(out.shape[0], 2**31 - 1)  # the library writes at most 8; n only bounds it
    return library().kalwake_scores(out.ctypes.data if n else None, n)
