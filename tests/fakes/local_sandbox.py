"""A `CodeInterpreterSandbox` over a local Python process: an honest implementation of the contract for tests.

`LocalSandbox.create()` starts one worker interpreter (`standin.PythonWorker`) and keeps it
across calls, so state persists between `execute_code` calls as in a Jupyter kernel. The
sandbox's filesystem is a fresh temporary directory: every path the sandbox accepts is a real
absolute path inside it (or a relative one, taken from it), and its default upload directory
is "<root>/files". The code therefore finds its input files exactly where the contract's
upload flow put them, and the model must be told that path (not "/files/...") to find them.

An execution that overruns its limit is reported with status "timeout" and interrupted
(SIGINT, a KeyboardInterrupt in the user's code, state kept); a worker that does not come back
from the interrupt is killed and replaced, losing its state. Failures of the user's code are
results with status "error"; a worker that dies mid-run gives status "unknown". Only Python
runs, whatever `language` says.
"""

from __future__ import annotations

import asyncio
import contextlib
import os
import tempfile
import time
import uuid
from collections.abc import Callable
from pathlib import Path
from typing import Any

from vorn_inference.schema import Attachment

from tests.fakes.standin import Command, PythonWorker, remove_tree
from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox
from vorn_tools.code_interpreter.code_sandbox.constants import (
    DEFAULT_DOWNLOAD_TIMEOUT,
    DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS,
    DOWNLOAD_TIMEOUT_MESSAGE,
    Language,
)
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus, FailureDetail
from vorn_tools.code_interpreter.code_sandbox.utils import (
    StreamedOutput,
    calculate_duration_ms,
    check_code,
    check_teardown_cap,
    resolve_timeout,
)
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError, SandboxStartError, Stage
from vorn_tools.code_interpreter.redaction import get_redacting_logger, qualified_type

logger = get_redacting_logger(__name__)


class _WorkerLost(ConnectionError):
    """The worker ended mid-request."""


class LocalSandbox(CodeInterpreterSandbox):
    """Code-interpreter sandbox over a local, persistent Python worker process (tests only)."""

    _BACKEND = "local"

    def __init__(self, language: str = Language.PYTHON, additional_packages: list[str] | None = None,
                 **kwargs: Any) -> None:
        super().__init__(language, additional_packages, **kwargs)
        self._root: str | None = None
        self._worker: PythonWorker | None = None
        self._id: str | None = None

    @classmethod
    async def create(cls, *, language: str = Language.PYTHON,
                     additional_packages: list[str] | None = None) -> LocalSandbox:
        """Start a sandbox: its filesystem root, its worker, then the additional packages."""
        sandbox = cls(language, additional_packages)
        sandbox._root = os.path.realpath(tempfile.mkdtemp(prefix="vorn-local-sandbox-"))
        # The upload directory lies in the sandbox's own filesystem, so it is per instance.
        sandbox._DEFAULT_UPLOAD_DIR = os.path.join(sandbox._root, "files")
        os.makedirs(sandbox._DEFAULT_UPLOAD_DIR)
        sandbox._id = f"local-{uuid.uuid4().hex[:12]}"
        try:
            try:
                await sandbox._spawn_worker()
            except (OSError, RuntimeError, TimeoutError) as exc:
                raise SandboxStartError(f"Local sandbox worker did not start: {exc}", stage=Stage.CREATE) from exc
            await sandbox._setup_python_channels()
        except BaseException:
            await sandbox._shielded_rollback(sandbox.terminate())
            raise
        return sandbox

    async def _spawn_worker(self) -> None:
        self._worker = await PythonWorker.start(self.root, {"MPLBACKEND": "Agg", "PYTHONDONTWRITEBYTECODE": "1"},
                                                host_paths=True, interrupt_grace=3.0)

    async def terminate(self, *, timeout: float = DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS) -> None:
        """Kill the worker and remove the sandbox's filesystem; a second call does nothing."""
        check_teardown_cap(timeout)
        worker, self._worker = self._worker, None
        if worker is not None:
            await worker.kill()
        if self._root is not None:
            remove_tree(self._root)
        self._root = self._id = None

    async def set_timeout(self, seconds: int) -> None:
        """A local process has no session lease to renew."""

    @property
    def sandbox_id(self) -> str | None:
        return self._id

    @property
    def root(self) -> str:
        """The directory that holds the sandbox's filesystem."""
        if self._root is None:
            raise SandboxNotInitializedError()
        return self._root

    async def execute_code(self, code: str, timeout: int | None = None, files: list[Attachment] | None = None,
                           upload_dir: str | None = None, on_stdout: Callable[[str], None] | None = None,
                           on_stderr: Callable[[str], None] | None = None, **kwargs: Any) -> ExecutionResult:
        """Run `code` in the worker, streaming its output lines to the callbacks."""
        check_code(code)
        self.root  # noqa: B018 - raises before start and after terminate
        limit = resolve_timeout(timeout)
        if files:
            await self._upload_files(files, upload_dir)
        started, streamed, end = time.time(), StreamedOutput(), None
        callbacks = {"stdout": on_stdout, "stderr": on_stderr}
        if self._worker is not None:
            async with self._worker.lock:  # an interrupted run may still be draining
                pass
        if self._worker is None or not self._worker.alive:
            await self._spawn_worker()  # the last one was lost: a fresh interpreter
        try:
            async with asyncio.timeout(limit), contextlib.aclosing(self._worker.run(code)) as events:
                async for event in events:
                    if event["type"] in callbacks:
                        streamed.record(event["type"], event["text"])
                        self._forward(callbacks[event["type"]], event["text"])
                    elif event["type"] in ("error", "end_of_execution"):
                        end = event if end is None else end
            if end is None:
                raise _WorkerLost("local sandbox worker exited mid-request")
        except TimeoutError:
            return self._result(ExecutionStatus.TIMEOUT, code, started, streamed,
                                error=f"Execution timed out after {limit} seconds")
        except (ConnectionError, OSError) as exc:
            safe = streamed.retry_safe(exc, lambda error: isinstance(error, BrokenPipeError))
            return self._result(ExecutionStatus.ERROR if safe else ExecutionStatus.UNKNOWN, code, started,
                                streamed, error=exc,
                                failure=FailureDetail(exception_type=qualified_type(exc), retry_safe=safe))
        if end["type"] == "error":
            error = end.get("traceback") or f"{end['name']}: {end['value']}"
            return self._result(ExecutionStatus.ERROR, code, started, streamed, error=error.rstrip("\n"))
        return self._result(ExecutionStatus.SUCCESS, code, started, streamed)

    @staticmethod
    def _forward(callback: Callable[[str], None] | None, chunk: str) -> None:
        for line in chunk.removesuffix("\n").split("\n") if callback else ():
            try:
                callback(line)
            except Exception:  # streaming is best effort; the result still carries the output
                logger.warning("output callback failed", exc_info=True)

    @staticmethod
    def _result(status: ExecutionStatus, code: str, started: float, streamed: StreamedOutput,
                **fields: Any) -> ExecutionResult:
        return ExecutionResult.create(status, code, stdout=streamed.render("stdout"),
                                      stderr=streamed.render("stderr"), duration_ms=calculate_duration_ms(started),
                                      **fields)

    async def execute_command(self, cmd: str, *, env: dict[str, str] | None = None,
                              timeout: float | None = None) -> ExecutionResult:
        """Run a shell command in the sandbox's root directory."""
        limit, started = resolve_timeout(timeout), time.time()
        command = await Command.start("/bin/sh", ["-c", cmd], cwd=self.root, env={**os.environ, **(env or {})})
        output = {"stdout": b"", "stderr": b""}
        try:
            async with asyncio.timeout(limit):
                async for name, chunk in command.output():
                    output[name] += chunk
                code = await command.wait()
        except TimeoutError:
            return ExecutionResult.create(ExecutionStatus.TIMEOUT, cmd, error=f"Command timed out after {limit} seconds",
                                          duration_ms=calculate_duration_ms(started))
        finally:
            await command.kill()
        return ExecutionResult.create(ExecutionStatus.SUCCESS if code == 0 else ExecutionStatus.ERROR, cmd,
                                      stdout=output["stdout"].decode(errors="replace"),
                                      stderr=output["stderr"].decode(errors="replace"),
                                      error="" if code == 0 else f"Command exited with status {code}",
                                      duration_ms=calculate_duration_ms(started))

    def _host_path(self, path: str) -> str:
        """The real path of a sandbox path; refuses anything outside the sandbox's filesystem."""
        candidate = os.path.realpath(os.path.join(self.root, path))  # an absolute path replaces the root
        if os.path.commonpath([candidate, self.root]) != self.root:
            raise PermissionError(f"{path!r} lies outside the sandbox filesystem {self.root!r}")
        return candidate

    async def _write_files(self, entries: list[tuple[str, bytes]]) -> None:
        for path, data in entries:
            target = self._host_path(path)
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "wb") as fh:
                fh.write(data)

    async def download_file(self, file_path: str, *, timeout: float | None = DEFAULT_DOWNLOAD_TIMEOUT) -> bytes | None:
        """Read a file of the sandbox; None (with a warning) when it cannot be read in time."""
        limit = resolve_timeout(timeout, DEFAULT_DOWNLOAD_TIMEOUT)
        try:
            target = self._host_path(file_path)
            return await asyncio.wait_for(asyncio.to_thread(Path(target).read_bytes), limit)
        except TimeoutError:
            logger.warning(DOWNLOAD_TIMEOUT_MESSAGE.format(file_path, limit))
        except OSError as exc:
            logger.warning(f"Failed to download {file_path}: {exc}")
        return None
