"""A `CodeInterpreterSandbox` over a local Python process: an honest implementation of the contract for tests.

`LocalSandbox.create()` starts one worker interpreter and keeps it across calls, so state
persists between `execute_code` calls as in a Jupyter kernel. The sandbox's filesystem is
a fresh temporary directory: every path the sandbox accepts is a real absolute path inside
it (or a relative one, taken from it), and its default upload directory is "<root>/files".
The code therefore finds its input files exactly where the contract's upload flow put them,
and the model must be told that path (not "/files/...") to find them.

An execution that overruns its limit is interrupted (SIGINT, a KeyboardInterrupt in the
user's code, state kept) and reported with status "timeout"; a worker that does not come
back from the interrupt is killed and replaced, losing its state. Failures of the user's
code are results with status "error"; a worker that dies mid-run gives status "unknown".
Only Python runs, whatever `language` says.
"""

from __future__ import annotations

import asyncio
import json
import os
import shutil
import signal
import sys
import tempfile
import time
import uuid
from collections.abc import Callable
from typing import Any

from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox
from vorn_tools.code_interpreter.code_sandbox.constants import (
    DEFAULT_DOWNLOAD_TIMEOUT,
    DEFAULT_EXECUTION_TIMEOUT,
    DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS,
    DOWNLOAD_TIMEOUT_MESSAGE,
    Language,
)
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus, FailureDetail
from vorn_tools.code_interpreter.code_sandbox.utils import calculate_duration_ms, resolve_timeout
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError, SandboxStartError, Stage
from vorn_tools.code_interpreter.redaction import get_redacting_logger, qualified_type

logger = get_redacting_logger(__name__)

_READY_TIMEOUT = 30.0
_INTERRUPT_GRACE = 3.0
_STREAM_LIMIT = 64 * 1024 * 1024

# The worker speaks JSON lines on a duplicate of its original stdout; fd 1 itself points
# at /dev/null so that stray writes to it cannot corrupt the protocol. SIGINT raises
# KeyboardInterrupt only while user code runs, and never in the middle of a protocol write.
_WORKER_SOURCE = r'''
import io, json, os, signal, sys, traceback

_proto = os.fdopen(os.dup(1), "w", encoding="utf-8")
_null = os.open(os.devnull, os.O_WRONLY)
os.dup2(_null, 1)
_state = {"executing": False, "sending": False, "pending": False}


def _on_sigint(signum, frame):
    if not _state["executing"]:
        return
    if _state["sending"]:
        _state["pending"] = True
        return
    raise KeyboardInterrupt


signal.signal(signal.SIGINT, _on_sigint)


def _send(obj):
    data = json.dumps(obj) + "\n"
    _state["sending"] = True
    try:
        _proto.write(data)
        _proto.flush()
    finally:
        _state["sending"] = False
    if _state["pending"] and _state["executing"]:
        _state["pending"] = False
        raise KeyboardInterrupt


class _LineStream(io.TextIOBase):
    def __init__(self, name):
        self.name = name
        self._parts = []
        self._partial = ""

    def writable(self):
        return True

    def write(self, s):
        if not isinstance(s, str):
            raise TypeError(f"write() argument must be str, not {type(s).__name__}")
        self._parts.append(s)
        *lines, self._partial = (self._partial + s).split("\n")
        for line in lines:
            _send({"event": self.name, "line": line})
        return len(s)

    def finish(self):
        if self._partial:
            _send({"event": self.name, "line": self._partial})
            self._partial = ""

    def getvalue(self):
        return "".join(self._parts)


namespace = {"__name__": "__main__"}
_send({"event": "ready", "pid": os.getpid()})
for raw in sys.stdin:
    request = json.loads(raw)
    out, err = _LineStream("stdout"), _LineStream("stderr")
    status, error = "success", ""
    saved = sys.stdout, sys.stderr
    sys.stdout, sys.stderr = out, err
    try:
        try:
            _state["executing"] = True
            exec(compile(request["code"], "<cell>", "exec"), namespace)
        finally:
            _state["executing"] = False
            _state["pending"] = False
    except KeyboardInterrupt:
        status = "interrupted"
    except BaseException as exc:  # SystemExit included: the interpreter lives on
        status = "error"
        tb = exc.__traceback__.tb_next if exc.__traceback__ is not None else None
        error = "".join(traceback.format_exception(type(exc), exc, tb)).rstrip("\n")
    finally:
        sys.stdout, sys.stderr = saved
    out.finish()
    err.finish()
    _send({"event": "done", "status": status, "stdout": out.getvalue(), "stderr": err.getvalue(), "error": error})
'''


class _WorkerLost(ConnectionError):
    """The worker's protocol stream ended or broke mid-request."""


class LocalSandbox(CodeInterpreterSandbox):
    """Code-interpreter sandbox over a local, persistent Python worker process (tests only)."""

    _BACKEND = "local"

    def __init__(
        self,
        language: str = Language.PYTHON,
        additional_packages: list[str] | None = None,
        *,
        root: str | None = None,
        **kwargs: Any,
    ) -> None:
        super().__init__(language, additional_packages, **kwargs)
        self._requested_root = root
        self._root: str | None = None
        self._owns_root = False
        self._proc: asyncio.subprocess.Process | None = None
        self._id: str | None = None
        self._lock = asyncio.Lock()

    @classmethod
    async def create(
        cls,
        *,
        language: str = Language.PYTHON,
        additional_packages: list[str] | None = None,
        root: str | None = None,
    ) -> LocalSandbox:
        """Start a sandbox: its filesystem root, its worker, then the additional packages."""
        sandbox = cls(language, additional_packages, root=root)
        await sandbox._start()
        try:
            await sandbox._setup_python_channels()
        except BaseException:
            await sandbox._shielded_rollback(sandbox.terminate())
            raise
        return sandbox

    # -- lifecycle ---------------------------------------------------------

    async def _start(self) -> None:
        if self._requested_root is None:
            self._root = os.path.realpath(tempfile.mkdtemp(prefix="vorn-local-sandbox-"))
            self._owns_root = True
        else:
            self._root = os.path.realpath(self._requested_root)
            os.makedirs(self._root, exist_ok=True)
        os.makedirs(os.path.join(self._root, "files"), exist_ok=True)
        # The sandbox's upload directory lies in its own filesystem, so it is per instance.
        self._DEFAULT_UPLOAD_DIR = os.path.join(self._root, "files")
        self._id = f"local-{uuid.uuid4().hex[:12]}"
        try:
            await self._spawn_worker()
        except Exception as exc:
            await self.terminate()
            raise SandboxStartError(f"Local sandbox worker did not start: {exc}", stage=Stage.CREATE) from exc

    async def _spawn_worker(self) -> None:
        env = dict(os.environ, MPLBACKEND="Agg", PYTHONDONTWRITEBYTECODE="1")
        self._proc = await asyncio.create_subprocess_exec(
            sys.executable,
            "-c",
            _WORKER_SOURCE,
            cwd=self._root,
            env=env,
            stdin=asyncio.subprocess.PIPE,
            stdout=asyncio.subprocess.PIPE,
            start_new_session=True,
            limit=_STREAM_LIMIT,
        )
        ready = await asyncio.wait_for(self._read_event(self._proc), _READY_TIMEOUT)
        if ready.get("event") != "ready":
            raise _WorkerLost(f"unexpected first message from worker: {ready!r}")

    async def _kill_worker(self, grace: float) -> None:
        proc, self._proc = self._proc, None
        if proc is None or proc.returncode is not None:
            return
        for sig in (signal.SIGTERM, signal.SIGKILL):
            try:
                os.killpg(proc.pid, sig)
            except ProcessLookupError:
                break
            try:
                await asyncio.wait_for(proc.wait(), grace)
                break
            except TimeoutError:
                continue
        if proc.returncode is None:
            await proc.wait()

    async def terminate(self, *, timeout: float = DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS) -> None:
        """Kill the worker and remove the sandbox's filesystem; a second call does nothing."""
        if timeout is None or timeout <= 0:
            raise ValueError(f"terminate timeout must be positive, got {timeout!r}")
        await self._kill_worker(grace=timeout / 2)
        if self._root is not None and self._owns_root:
            shutil.rmtree(self._root, ignore_errors=True)
        self._root = None
        self._id = None

    async def set_timeout(self, seconds: int) -> None:
        """A local process has no session lease to renew."""

    @property
    def sandbox_id(self) -> str | None:
        return self._id

    @property
    def root(self) -> str:
        """The directory that holds the sandbox's filesystem."""
        return self._require_started()

    def _require_started(self) -> str:
        if self._root is None:
            raise SandboxNotInitializedError()
        return self._root

    # -- code and commands -------------------------------------------------

    async def execute_code(
        self,
        code: str,
        timeout: int | None = None,
        files: list[Attachment] | None = None,
        upload_dir: str | None = None,
        on_stdout: Callable[[str], None] | None = None,
        on_stderr: Callable[[str], None] | None = None,
        **kwargs: Any,
    ) -> ExecutionResult:
        """Run `code` in the worker, streaming its output lines to the callbacks."""
        self._require_started()
        if files:
            await self._upload_files(files, upload_dir)
        limit = resolve_timeout(timeout, DEFAULT_EXECUTION_TIMEOUT)
        started = time.time()
        async with self._lock:
            if self._proc is None or self._proc.returncode is not None:
                await self._spawn_worker()  # the last one was lost: a fresh interpreter
            proc = self._proc
            assert proc is not None and proc.stdin is not None
            lines: dict[str, list[str]] = {"stdout": [], "stderr": []}
            callbacks = {"stdout": on_stdout, "stderr": on_stderr}
            try:
                proc.stdin.write((json.dumps({"code": code}) + "\n").encode())
                await proc.stdin.drain()
            except (ConnectionError, RuntimeError) as exc:
                await self._kill_worker(grace=1.0)
                # Not delivered: the code never ran.
                return ExecutionResult.create(
                    ExecutionStatus.ERROR,
                    code,
                    error=exc,
                    duration_ms=calculate_duration_ms(started),
                    failure=FailureDetail(exception_type=qualified_type(exc), retry_safe=True),
                )
            try:
                done = await asyncio.wait_for(self._read_until_done(proc, lines, callbacks), limit)
            except TimeoutError:
                done = await self._interrupt(proc, lines)
                return ExecutionResult.create(
                    ExecutionStatus.TIMEOUT,
                    code,
                    stdout=done["stdout"] if done else _joined(lines["stdout"]),
                    stderr=done["stderr"] if done else _joined(lines["stderr"]),
                    error=f"Execution timed out after {limit} seconds",
                    duration_ms=calculate_duration_ms(started),
                )
            except (_WorkerLost, ValueError) as exc:
                await self._kill_worker(grace=1.0)
                return ExecutionResult.create(
                    ExecutionStatus.UNKNOWN,
                    code,
                    stdout=_joined(lines["stdout"]),
                    stderr=_joined(lines["stderr"]),
                    error=exc,
                    duration_ms=calculate_duration_ms(started),
                    failure=FailureDetail(exception_type=qualified_type(exc), retry_safe=False),
                )
        status = ExecutionStatus.SUCCESS if done["status"] == "success" else ExecutionStatus.ERROR
        return ExecutionResult.create(
            status,
            code,
            stdout=done["stdout"],
            stderr=done["stderr"],
            error=done["error"],
            duration_ms=calculate_duration_ms(started),
        )

    @staticmethod
    async def _read_event(proc: asyncio.subprocess.Process) -> dict[str, Any]:
        assert proc.stdout is not None
        raw = await proc.stdout.readline()
        if not raw.endswith(b"\n"):
            raise _WorkerLost("local sandbox worker exited mid-request")
        return json.loads(raw)

    async def _read_until_done(
        self,
        proc: asyncio.subprocess.Process,
        lines: dict[str, list[str]],
        callbacks: dict[str, Callable[[str], None] | None] | None,
    ) -> dict[str, Any]:
        while True:
            event = await self._read_event(proc)
            kind = event.get("event")
            if kind == "done":
                return event
            if kind in lines:
                lines[kind].append(event["line"])
                callback = callbacks.get(kind) if callbacks else None
                if callback is not None:
                    try:
                        callback(event["line"])
                    except Exception:  # streaming is best effort; the result still carries the output
                        logger.warning("on_%s callback failed", kind, exc_info=True)

    async def _interrupt(self, proc: asyncio.subprocess.Process, lines: dict[str, list[str]]) -> dict[str, Any] | None:
        """Interrupt the running code; replace the worker when it does not come back."""
        try:
            os.kill(proc.pid, signal.SIGINT)
            return await asyncio.wait_for(self._read_until_done(proc, lines, None), _INTERRUPT_GRACE)
        except (ProcessLookupError, TimeoutError, _WorkerLost, ValueError):
            await self._kill_worker(grace=1.0)
            return None

    async def execute_command(
        self, cmd: str, *, env: dict[str, str] | None = None, timeout: float | None = None
    ) -> ExecutionResult:
        """Run a shell command in the sandbox's root directory."""
        root = self._require_started()
        limit = resolve_timeout(timeout, DEFAULT_EXECUTION_TIMEOUT)
        started = time.time()
        proc = await asyncio.create_subprocess_shell(
            cmd,
            cwd=root,
            env={**os.environ, **(env or {})},
            stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE,
            start_new_session=True,
        )
        try:
            stdout, stderr = await asyncio.wait_for(proc.communicate(), limit)
        except TimeoutError:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            await proc.wait()
            return ExecutionResult.create(
                ExecutionStatus.TIMEOUT,
                cmd,
                error=f"Command timed out after {limit} seconds",
                duration_ms=calculate_duration_ms(started),
            )
        out, err = stdout.decode(errors="replace"), stderr.decode(errors="replace")
        ok = proc.returncode == 0
        return ExecutionResult.create(
            ExecutionStatus.SUCCESS if ok else ExecutionStatus.ERROR,
            cmd,
            stdout=out,
            stderr=err,
            error="" if ok else f"Command exited with status {proc.returncode}",
            duration_ms=calculate_duration_ms(started),
        )

    # -- files -------------------------------------------------------------

    def _host_path(self, path: str) -> str:
        """The real path of a sandbox path; refuses anything outside the sandbox's filesystem."""
        root = self._require_started()
        candidate = os.path.realpath(path if os.path.isabs(path) else os.path.join(root, path))
        if os.path.commonpath([candidate, root]) != root:
            raise PermissionError(f"{path!r} lies outside the sandbox filesystem {root!r}")
        return candidate

    async def _write_files(self, entries: list[tuple[str, bytes]]) -> None:
        targets = [(self._host_path(path), data) for path, data in entries]

        def write_all() -> None:
            for target, data in targets:
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with open(target, "wb") as fh:
                    fh.write(data)

        await asyncio.to_thread(write_all)

    async def download_file(self, file_path: str, *, timeout: float | None = DEFAULT_DOWNLOAD_TIMEOUT) -> bytes | None:
        """Read a file of the sandbox; None (with a warning) when it cannot be read in time."""
        self._require_started()
        limit = resolve_timeout(timeout, DEFAULT_DOWNLOAD_TIMEOUT)
        try:
            target = self._host_path(file_path)
            return await asyncio.wait_for(asyncio.to_thread(_read_bytes, target), limit)
        except TimeoutError:
            logger.warning(DOWNLOAD_TIMEOUT_MESSAGE.format(file_path, limit))
        except OSError as exc:
            logger.warning(f"Failed to download {file_path}: {exc}")
        return None


def _read_bytes(path: str) -> bytes:
    with open(path, "rb") as fh:
        return fh.read()


def _joined(lines: list[str]) -> str:
    return "".join(line + "\n" for line in lines)
