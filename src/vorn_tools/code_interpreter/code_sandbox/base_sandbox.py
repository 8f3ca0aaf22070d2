"""Base class defining the generic Sandbox interface for sandbox environments."""

import asyncio
from abc import ABC, abstractmethod
from collections.abc import Coroutine
from typing import Any

from vorn_tools.code_interpreter.code_sandbox.constants import (
    DEFAULT_DOWNLOAD_TIMEOUT,
    DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS,
)
from vorn_tools.code_interpreter.redaction import get_redacting_logger

logger = get_redacting_logger(__name__)

# Rollbacks that outlive the caller's wait. The event loop keeps only weak
# references to tasks, so without this set a released teardown could be
# garbage-collected half-way and leak the very sandbox it was rolling back.
_BACKGROUND_TEARDOWNS: set[asyncio.Future[Any]] = set()


def _forget_teardown(task: asyncio.Future[Any]) -> None:
    _BACKGROUND_TEARDOWNS.discard(task)
    # Outcomes of a rollback are deliberately unreported; retrieving the
    # exception keeps asyncio from logging "exception was never retrieved".
    if not task.cancelled():
        task.exception()


class BaseSandbox(ABC):
    """Base class for sandbox environments.

    Defines the generic sandbox lifecycle contract shared by all backends:
    creation-retry classification, termination and file transfer. Code-execution
    concerns (``execute_code``, ``language``, result formatting) live in
    ``CodeInterpreterSandbox``.
    """

    def __init__(self, **kwargs: Any) -> None:
        """Initialize the sandbox.

        Args:
            **kwargs: Additional initialization parameters; ignored by the base.
        """
        super().__init__()

    @classmethod
    def _is_transient_create_error(cls, exc: BaseException) -> bool:
        """Whether a sandbox-creation failure is transient and worth retrying.

        Judges one exception, never its chain: callers apply it to the raised
        exception and to every explicit cause beneath it. Backends override it
        to name their SDK's timeout and connection errors.
        """
        return isinstance(exc, (TimeoutError, ConnectionError))

    @staticmethod
    async def _shielded_rollback(
        teardown: Coroutine[Any, Any, None],
        *,
        timeout: float | None = DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS,
    ) -> None:
        """Run a provider's teardown coroutine so re-cancellation cannot leak the sandbox.

        The teardown runs as a task of its own, shielded from cancellation, and
        is waited for at most ``timeout`` seconds (``None`` waits without cap,
        zero or less does not wait). Its failures and the cap are swallowed and
        nothing is logged, so the caller can go on to raise the failure that made
        it roll back. If the calling task is cancelled during the wait, the
        teardown keeps running to its end in the background and the cancellation
        is raised again, so that a deadline around the caller still holds.
        """
        try:
            task = asyncio.ensure_future(teardown)
        except TypeError:
            return
        _BACKGROUND_TEARDOWNS.add(task)
        task.add_done_callback(_forget_teardown)

        current = asyncio.current_task()
        cancelling_before = current.cancelling() if current is not None else 0
        try:
            await asyncio.wait_for(asyncio.shield(task), timeout)
        except asyncio.CancelledError:
            # Only a cancellation of the caller propagates; a teardown that
            # cancelled itself is just another failed teardown.
            if current is not None and current.cancelling() > cancelling_before:
                raise
        except Exception:
            pass

    @abstractmethod
    async def terminate(self, *, timeout: float = DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS) -> None:
        """Terminate the sandbox environment and clean up resources.

        Args:
            timeout: Client-side cap in seconds on the whole teardown, retries
                included. Must be positive; zero or less raises ``ValueError``.

        Raises:
            SandboxTerminateError: When the teardown cannot be completed. The
                backend keeps its handle, so ``terminate`` can be called again.
        """
        raise NotImplementedError

    @abstractmethod
    async def download_file(
        self, file_path: str, *, timeout: float | None = DEFAULT_DOWNLOAD_TIMEOUT
    ) -> bytes | None:
        """Download file content from the sandbox.

        Args:
            file_path: Path of the file inside the sandbox.
            timeout: Client-side cap in seconds on the transfer; ``None`` means
                the default of 30 seconds, zero or less runs without a cap.

        Returns:
            The file's content, or ``None`` when the download failed (a timeout
            included); failures are reported by the ``None`` result, not raised.
        """
        raise NotImplementedError
