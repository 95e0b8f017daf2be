"""kalmoris_wakeword: Python bindings of the kalmoris-wakeword shared library.

:class:`Detector` is the idiomatic way in; the ten functions of the C interface are also
available one to one (``load``, ``load_model``, ``model_count``, ``reset``, ``unload``,
``last_error``, ``version``, ``write``, ``triggered``, ``scores``).

The shared library is looked for in ``$KALWAKE_LIBRARY`` (a file or a folder) when that is
set, otherwise in this package's folder, then on the system's library search path. The
library holds one detector per process: at most one :class:`Detector` is open at a time.
"""
from ._errors import KalwakeError, LibraryNotFoundError
from ._library import LIBRARY_ENV
from ._raw import (last_error, load, load_model, model_count, reset, scores, triggered,
                   unload, version, write)
from .detector import MAX_MODELS, Detection, Detector

__version__ = "1.0.0"

__all__ = [
    "Detector", "Detection", "KalwakeError", "LibraryNotFoundError", "LIBRARY_ENV",
    "MAX_MODELS", "load", "load_model", "model_count", "reset", "unload", "last_error",
    "version", "write", "triggered", "scores",
]
