"""Finding and loading the shared library, and declaring the ten C functions."""
from __future__ import annotations

import ctypes
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional

from ._errors import LibraryNotFoundError

#: Environment variable naming the shared library file (or the folder holding it).
LIBRARY_ENV = "KALWAKE_LIBRARY"

#: The library's major version this package speaks to.
SUPPORTED_MAJOR = 1

if sys.platform == "win32":
    _NAMES = ("kalmoris-wakeword.dll",)
elif sys.platform == "darwin":
    _NAMES = ("libkalmoris-wakeword.1.dylib", "libkalmoris-wakeword.dylib")
else:
    # The SONAME first: it is what an installed library is found by.
    _NAMES = ("libkalmoris-wakeword.so.1", "libkalmoris-wakeword.so")

_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None


def _declare(lib: ctypes.CDLL) -> None:
    c_int, c_float, c_char_p, c_void_p = ctypes.c_int, ctypes.c_float, ctypes.c_char_p, ctypes.c_void_p
    prototypes = {
        "kalwake_load": (c_int, [c_char_p, c_char_p, c_float]),
        "kalwake_load_model": (c_int, [c_char_p]),
        "kalwake_model_count": (c_int, []),
        "kalwake_reset": (None, []),
        "kalwake_unload": (None, []),
        # Texts handed out stay owned by the library: read them as raw pointers and copy.
        "kalwake_last_error": (c_void_p, []),
        "kalwake_version": (c_void_p, []),
        # Buffers and out-values pass as plain addresses, the cheapest conversion ctypes has;
        # the callers make sure each points to memory of the right type and size.
        "kalwake_write": (c_int, [c_void_p, c_int]),
        "kalwake_triggered": (c_int, [c_void_p, c_void_p]),
        "kalwake_scores": (c_int, [c_void_p, c_int]),
    }
    for name, (restype, argtypes) in prototypes.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes


def _candidates() -> List[str]:
    """Where the library is looked for, in order: the environment variable alone when it is
    set (a library named explicitly must not be silently replaced by another), otherwise the
    package's own folder, then the system's library search path."""
    given = os.environ.get(LIBRARY_ENV)
    if given:
        if os.path.isdir(given):
            return [os.path.join(given, name) for name in _NAMES]
        return [given]
    here = Path(__file__).resolve().parent
    return [str(here / name) for name in _NAMES] + list(_NAMES)


def _open() -> ctypes.CDLL:
    tried = []
    for candidate in _candidates():
        # A bare name goes to the dynamic loader's search; a path must exist.
        if os.path.dirname(candidate) and not os.path.exists(candidate):
            tried.append(f"{candidate} (no such file)")
            continue
        try:
            lib = ctypes.CDLL(candidate)
        except OSError as exc:
            tried.append(f"{candidate} ({exc})")
            continue
        try:
            _declare(lib)
        except AttributeError as exc:
            tried.append(f"{candidate} (not this library: {exc})")
            continue
        version = ctypes.string_at(lib.kalwake_version()).decode("utf-8", "replace")
        if version.split(".")[0] != str(SUPPORTED_MAJOR):
            tried.append(f"{candidate} (version {version}, this package needs {SUPPORTED_MAJOR}.x)")
            continue
        return lib
    source = f"${LIBRARY_ENV}" if os.environ.get(LIBRARY_ENV) else (
        f"${LIBRARY_ENV} (not set), the package folder and the system library path")
    raise LibraryNotFoundError(
        f"kalmoris-wakeword shared library not found; looked in {source}:\n  "
        + "\n  ".join(tried))


def library() -> ctypes.CDLL:
    """The loaded library, opened on first use so that importing the package never fails."""
    global _lib
    lib = _lib
    if lib is None:
        with _lock:
            if _lib is None:
                _lib = _open()
            lib = _lib
    return lib
