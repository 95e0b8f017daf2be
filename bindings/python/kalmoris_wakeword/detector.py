"""The idiomatic front of the library: a Detector that loads, streams, and reports."""
from __future__ import annotations

import ctypes
import os
import threading
import weakref
from collections import deque
from typing import Iterable, Iterator, List, NamedTuple, Optional, Tuple, Union

import numpy as np

from . import _raw
from ._errors import KalwakeError
from ._library import library
from ._pcm import PCM, as_samples

Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_INT16 = np.dtype(np.int16)

#: The library's wake-model slots.
MAX_MODELS = 8


class Detection(NamedTuple):
    """One latched detection: the model's slot, its path as given, and the score of the chunk
    that latched it."""

    index: int
    path: str
    score: float


# The library holds one detector per process; this records whether a Detector owns it.
_owner_lock = threading.RLock()
_owner_live = False
# Serialises a library call with the read of the error text it leaves, so that a failure
# in one Python thread is not reported with another thread's message.
_call_lock = threading.RLock()


def _release() -> None:
    """Gives the process's detector back: unloads the library and frees the slot."""
    global _owner_live
    with _owner_lock:
        with _call_lock:
            library().kalwake_unload()
        _owner_live = False


class Detector:
    """A streaming wake-word detector over the shared library.

    The library holds one detector per process, so at most one ``Detector`` can be open at a
    time: creating a second while the first is open raises :class:`KalwakeError`. Close the
    first (``close()``, the end of its ``with`` block, or dropping the last reference to it)
    before opening another.

    ``frontend_dir`` holds ``melspectrogram.onnx`` and ``embedding_model.onnx``; ``models`` is
    one wake-model path or a sequence of up to eight, loaded into slots 0, 1, ... in order.
    A detection latches when a model's score reaches ``threshold``; a threshold outside the
    open interval (0, 1) is replaced by 0.5, as in the C library.

    Every failure of the library raises :class:`KalwakeError` carrying its message. Calls may
    come from any thread; they are serialised.

        with Detector("models", "models/hey_kalmoris.onnx") as detector:
            for block in blocks:                 # int16 numpy arrays, bytes, buffers
                detector.write(block)
                for index, path, score in detector.detections():
                    print(f"{path}: {score:.2f}")
    """

    def __init__(self, frontend_dir: Path, models: Union[Path, Iterable[Path]],
                 threshold: float = 0.5) -> None:
        global _owner_live
        paths = [models] if isinstance(models, (str, bytes, os.PathLike)) else list(models)
        if not 1 <= len(paths) <= MAX_MODELS:
            raise ValueError(f"a Detector takes 1 to {MAX_MODELS} wake models, not {len(paths)}")
        threshold = _raw._threshold(threshold)
        self._paths: List[str] = [os.fsdecode(p) for p in paths]
        self._closed = True
        lib = library()
        with _owner_lock:
            if _owner_live:
                raise KalwakeError(
                    "a Detector is already open in this process; the library holds one "
                    "detector per process, so close that one first", "Detector")
            with _call_lock:
                if lib.kalwake_load(_raw._path(frontend_dir), _raw._path(paths[0]),
                                    threshold) != 0:
                    raise KalwakeError(_raw.last_error(), "kalwake_load")
                for path in paths[1:]:
                    if lib.kalwake_load_model(_raw._path(path)) < 0:
                        error = KalwakeError(_raw.last_error(), "kalwake_load_model")
                        lib.kalwake_unload()  # no half-loaded detector is left behind
                        raise error
            _owner_live = True
        # Bound once: a host writes every 80 ms, and each lookup saved counts.
        self._write_fn = lib.kalwake_write
        self._triggered_fn = lib.kalwake_triggered
        self._index, self._score = ctypes.c_int32(-1), ctypes.c_float(0.0)
        self._index_at, self._score_at = ctypes.addressof(self._index), ctypes.addressof(self._score)
        # Detections collected after each chunk, waiting for detections().
        self._latched: "deque[Detection]" = deque()
        self._closed = False
        self._finalizer = weakref.finalize(self, _release)

    # -- lifetime ----------------------------------------------------------------------------

    def close(self) -> None:
        """Unloads the models and frees the process's detector. Closing twice does nothing."""
        with _call_lock:
            self._closed = True  # under the lock: no call of this detector is under way
            self._latched.clear()
        self._finalizer()  # runs once

    @property
    def closed(self) -> bool:
        return self._closed

    def __enter__(self) -> "Detector":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _check_open(self) -> None:
        # Called with _call_lock held, so that a closed detector's call can never reach a
        # detector opened after it.
        if self._closed:
            raise KalwakeError("the Detector is closed", "Detector")

    # -- models ------------------------------------------------------------------------------

    @property
    def model_paths(self) -> Tuple[str, ...]:
        """The wake models' paths as given, in slot order."""
        return tuple(self._paths)

    def add_model(self, path: Path) -> int:
        """Adds a further wake model into the next free slot and returns that slot. It starts
        its own warm-up; the stream and the other models go on unchanged."""
        with _call_lock:
            self._check_open()
            index = library().kalwake_load_model(_raw._path(path))
            if index < 0:
                raise KalwakeError(_raw.last_error(), "kalwake_load_model")
        self._paths.append(os.fsdecode(path))
        return index

    # -- streaming ---------------------------------------------------------------------------

    def write(self, pcm: PCM) -> int:
        """Feeds 16-bit mono samples and returns the number of 1280-sample chunks this call
        completed (each ran through every model before the call returns).

        ``pcm`` is an int16 numpy array, ``bytes`` (or any byte buffer) of 16-bit
        little-endian samples, or a buffer of 16-bit items such as ``array.array('h')``.
        Samples short of a chunk wait for the next call. An empty block is an error, as in
        the C library.

        The library latches at most one detection per model until it is collected, so the
        block is fed a chunk at a time and the detections of each chunk are kept for
        :meth:`detections`: a long block loses none, and each carries its own chunk's score.
        If a chunk fails, :class:`KalwakeError` is raised and the rest of the block is
        dropped; the chunks before it, and their detections, stand."""
        # The usual block, a plain one-dimensional int16 array, skips the general conversion.
        if type(pcm) is np.ndarray and pcm.dtype is _INT16 and pcm.strides == (2,):
            samples = pcm
            try:
                # Several times quicker than .ctypes.data, but only for writable memory.
                address = ctypes.addressof(ctypes.c_char.from_buffer(pcm))
            except (TypeError, ValueError):  # read-only or empty
                address = pcm.ctypes.data
            if address & 1:  # a view at an odd byte offset: int16 reads need alignment
                samples = as_samples(pcm.copy())
                address = samples.ctypes.data
        else:
            samples = as_samples(pcm)
            address = samples.ctypes.data
        n = samples.shape[0]
        with _call_lock:
            if self._closed:
                self._check_open()
            if n == 0:
                _raw.write_samples(samples)  # the library reports the empty block
                raise KalwakeError(_raw.last_error(), "kalwake_write")
            done = 0
            # Pieces of one chunk's length: whatever is pending, each completes at most one.
            for start in range(0, n, _raw.CHUNK):
                completed = self._write_fn(address + 2 * start, min(_raw.CHUNK, n - start))
                if completed < 0:
                    raise KalwakeError(_raw.last_error(), "kalwake_write")
                if completed:
                    done += completed
                    self._collect()
        return done

    def _collect(self) -> None:
        # With _call_lock held: moves what the last chunk latched into the queue.
        while self._triggered_fn(self._index_at, self._score_at):
            i = self._index.value
            # A slot added behind this object's back (through load_model) has no known path.
            path = self._paths[i] if i < len(self._paths) else ""
            self._latched.append(Detection(i, path, self._score.value))

    def detections(self) -> Iterator[Detection]:
        """Yields every detection latched since the last call, in the order of the chunks that
        latched them (lowest slot first within a chunk), each handed over once, with the
        score of the chunk that latched it."""
        if self._closed:  # checked again, under the lock, on every step
            self._check_open()
        return self._drain()

    def _drain(self) -> Iterator[Detection]:
        while True:
            with _call_lock:
                if self._closed:  # the generator may be resumed after close()
                    self._check_open()
                self._collect()  # anything latched by writes made around this object
                if not self._latched:
                    return
                detection = self._latched.popleft()
            yield detection

    def scores(self) -> np.ndarray:
        """The latest score of every wake model, in slot order, as a float32 array."""
        out = np.zeros(len(self._paths), dtype=np.float32)
        with _call_lock:
            self._check_open()
            if library().kalwake_scores(out.ctypes.data, out.shape[0]) != 0:
                raise KalwakeError(_raw.last_error(), "kalwake_scores")
        return out

    def reset(self) -> None:
        """Starts the stream afresh: drops pending samples, histories, scores and uncollected
        detections, and restarts every model's warm-up. The models stay loaded."""
        with _call_lock:
            self._check_open()
            library().kalwake_reset()
            self._latched.clear()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<Detector {state}, models={self._paths!r}>"
