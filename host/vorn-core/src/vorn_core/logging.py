"""Logger manager of the core library."""

from __future__ import annotations

import logging
import threading

__all__ = ["LoggerManager"]


class LoggerManager:
    """Hands out the process's loggers by name.

    There is one manager per process: constructing it again returns the same
    object. ``get_logger`` is ``logging.getLogger`` underneath, so the same
    name always yields the same ``logging.Logger``.
    """

    _instance: LoggerManager | None = None
    _lock = threading.Lock()

    def __new__(cls) -> LoggerManager:
        with cls._lock:
            if cls._instance is None:
                cls._instance = super().__new__(cls)
            return cls._instance

    def get_logger(self, name: str) -> logging.Logger:
        """Return the logger called ``name`` (a non-empty str)."""
        if not isinstance(name, str):
            raise TypeError(f"logger name must be str, not {type(name).__name__}")
        if not name:
            raise ValueError("logger name must not be empty")
        return logging.getLogger(name)
