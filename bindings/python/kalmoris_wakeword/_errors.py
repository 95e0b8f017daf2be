"""The exceptions the package raises."""
from __future__ import annotations


class KalwakeError(RuntimeError):
    """A call into the library failed.

    ``message`` is the library's last-error text for that failure (for example
    ``"CreateSession: ..."`` or ``"pcm is NULL or n_samples <= 0"``), and ``str(error)`` is the
    same text. ``function`` names the library function that failed (``"kalwake_write"``), or
    ``"Detector"`` when the package itself refused the call.
    """

    def __init__(self, message: str, function: str) -> None:
        super().__init__(message)
        self.message = message
        self.function = function


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded; the message lists every place tried."""
