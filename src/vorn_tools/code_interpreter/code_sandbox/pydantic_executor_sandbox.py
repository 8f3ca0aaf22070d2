"""Deprecated local sandbox on the MCP run-python server.

Deprecated: the upstream engine 'jsr:@pydantic/mcp-run-python' was archived
read-only on 2026-01-30; use ``E2BSandbox``, ``OpenSandbox`` or
``BedrockAgentCoreSandbox`` instead.

``PydanticExecutorSandbox`` runs Python in a sandboxed WebAssembly environment
using Pyodide: it starts the run-python MCP server as a local child process
(through the Deno runtime, which the host must install) and speaks JSON-RPC 2.0
with it, one object per line on the child's standard streams. Every wait on
the child is bounded and runs off the event loop, the child's standard error
is drained to the debug log, and the child's whole process group is stopped
and reaped. Every run carries its own files, so a server that had to be
stopped is simply replaced by a fresh one on the next run.
"""

from __future__ import annotations

import ast
import asyncio
import base64
import contextlib
import json
import math
import os
import re
import selectors
import signal
import subprocess
import sys
import threading
import time
import warnings
from collections.abc import Iterator
from typing import Any

from pydantic import BaseModel, Field, ValidationError
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.base_sandbox import BaseSandbox
from vorn_tools.code_interpreter.code_sandbox.constants import (
    DEFAULT_DOWNLOAD_TIMEOUT,
    DEFAULT_UPLOAD_DIR,
    Language,
)
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.utils import (
    build_upload_path,
    calculate_duration_ms,
    check_code,
    check_teardown_cap,
    check_upload_filename,
    resolve_timeout,
)
from vorn_tools.code_interpreter.errors import SandboxStartError, Stage
from vorn_tools.code_interpreter.redaction import get_redacting_logger

logger = get_redacting_logger(__name__)

_MCP_EXIT_TIMEOUT = 5

_DEPRECATION_MESSAGE = (
    "PydanticExecutorSandbox is deprecated: its upstream engine 'jsr:@pydantic/mcp-run-python' "
    "was archived read-only on 2026-01-30. Use E2BSandbox, OpenSandbox, or "
    "BedrockAgentCoreSandbox instead."
)

# The first start of the real server downloads its packages, hence the generous default.
_MCP_REPLY_TIMEOUT = 60.0
# An execution's reply is awaited for its timeout plus this much; a run without
# a limit is held to the request record's ceiling instead.
_REPLY_GRACE = 5.0
_MAX_EXECUTION_TIMEOUT = 300
_EXECUTION_TIMED_OUT = "Execution exceeded timeout of {} seconds"
_STDERR_LINE_LIMIT = 65536
_READ_CHUNK = 65536
# How long the stderr reader, and a run still waiting on a server that is being
# stopped, get to notice the stop and let go of the pipes.
_WIND_DOWN_TIMEOUT = 5.0

# The fields of the server's tagged reply. "dependencies" is never read, but it
# is a field all the same, so its content is skipped like any other's.
_REPLY_FIELDS = ("status", "dependencies", "output", "return_value", "error")


class CodeExecutionRequest(BaseModel):
    """Pydantic model for validating code execution requests."""

    code: str = Field(..., min_length=1, description="Python code to execute")
    language: str = Field("python", pattern="^python$", description="Programming language")
    timeout: float = Field(
        30, ge=0, le=_MAX_EXECUTION_TIMEOUT, description="Execution timeout in seconds (advisory)"
    )
    max_output_length: int = Field(10000, ge=1, description="Maximum output length")


class MCPRequest(BaseModel):
    """Model for MCP server requests."""

    jsonrpc: str = "2.0"
    id: int
    method: str
    params: dict[str, Any]


class MCPResponse(BaseModel):
    """Model for MCP server responses."""

    jsonrpc: str
    id: int
    result: dict[str, Any] | None = None
    error: dict[str, Any] | None = None


class _ReplyTimeout(TimeoutError):
    """The child did not take a request or answer it in time; it has been stopped."""


class _ServerStopped(BrokenPipeError):
    """The server was stopped while a request waited on it."""


class _UndecodableLine(ValueError):
    """A line of the child's output is not text in the pipe's encoding; it has been consumed."""


def _notification(method: str) -> str:
    return json.dumps({"jsonrpc": "2.0", "method": method, "params": {}}) + "\n"


def _field_start(names: tuple[str, ...] | set[str]) -> re.Pattern[str]:
    return re.compile("<(" + "|".join(re.escape(name) for name in sorted(names)) + ")>")


_REPLY_FIELD_START = _field_start(_REPLY_FIELDS)


def _reply_fields(xml_text: str, field_start: re.Pattern[str] = _REPLY_FIELD_START) -> dict[str, str]:
    """The fields of a tagged reply text by name, read by structure.

    A field is ``<name>``, its value, then the first ``</name>`` after it. The
    search for the next field resumes after that closing tag, so whatever a
    value holds (printed text, an exception message) is never taken for a
    field, and the fields may come in any order. A start tag without its
    closing tag is plain text; of two fields of one name the first counts.
    Values are kept as written, whitespace included.
    """
    fields: dict[str, str] = {}
    unclosed: set[str] = set()
    position = 0
    while match := field_start.search(xml_text, position):
        tag, position = match[1], match.end()
        closing = f"</{tag}>"
        # A tag with no closing tag after one position has none after any later one.
        end = -1 if tag in unclosed else xml_text.find(closing, position)
        if end == -1:
            unclosed.add(tag)
            continue
        fields.setdefault(tag, xml_text[position:end])
        position = end + len(closing)
    return fields


def _request_timeout(timeout: float | None) -> float:
    """The limit a run's request record gets, in seconds; 0 for none.

    The shared resolution takes a limit too long for any wait to hold as no
    limit; here it stays as given, so that the record's ceiling refuses it like
    any other limit above that ceiling, however large.

    Raises:
        TypeError, ValueError: As ``resolve_timeout`` does.
    """
    resolved = resolve_timeout(timeout)
    if resolved is None:
        if timeout is None or not timeout > 0:
            return 0
        # An int beyond the float range would fail the record as no number at all.
        return timeout if timeout <= sys.float_info.max else math.inf
    return resolved


def _process_group_kwargs(kwargs: dict[str, Any]) -> dict[str, Any]:
    """Start the child in a process group of its own, unless the caller placed it."""
    if "start_new_session" in kwargs or "process_group" in kwargs:
        return {}
    return {"start_new_session": True}


def _exits_within(pid: int, timeout: float) -> bool:
    """Whether process ``pid`` (any process, not only a child) exits within ``timeout`` seconds.

    Leaves a child unreaped. Raises ``AttributeError`` where the platform has
    no process descriptors and ``ProcessLookupError`` for a pid that is gone.
    """
    pidfd = os.pidfd_open(pid)
    try:
        with selectors.DefaultSelector() as selector:
            selector.register(pidfd, selectors.EVENT_READ)
            return bool(selector.select(timeout))
    finally:
        os.close(pidfd)


def _drain_stderr(stream: Any, encoding: str, wake_fd: int) -> None:
    """Copy the child's standard error to the debug log until it closes or ``wake_fd`` fires; then close it.

    Runs on its own thread for the life of the child, so a chatty server never
    fills the pipe and blocks. Over-long lines are logged in pieces. The wake
    ends it even when something the server left behind keeps the pipe open.
    """
    pending = b""
    try:
        fd = stream.fileno()
        with selectors.DefaultSelector() as selector:
            selector.register(fd, selectors.EVENT_READ)
            selector.register(wake_fd, selectors.EVENT_READ)
            while True:
                ready = {key.fd for key, _ in selector.select()}
                if fd in ready:
                    chunk = os.read(fd, _READ_CHUNK)
                    if not chunk:
                        break
                    *lines, pending = (pending + chunk).split(b"\n")
                    if len(pending) > _STDERR_LINE_LIMIT:
                        lines.append(pending)
                        pending = b""
                    for line in lines:
                        logger.debug("MCP server stderr: %s", line.decode(encoding, "replace").rstrip("\r"))
                if wake_fd in ready:
                    break
        if pending:
            logger.debug("MCP server stderr: %s", pending.decode(encoding, "replace"))
    except (OSError, ValueError):
        pass
    finally:
        stream.close()


class _ServerProcess:
    """One run of the server child: its pipes, the reader of its standard error, and its stop.

    Reads and writes wait on the pipe and on a wake pipe together, so that
    stopping the server releases every wait at once.
    """

    def __init__(self, argv: list[str], kwargs: dict[str, Any]) -> None:
        self._wake_r, self._wake_w = os.pipe()
        try:
            self.process: subprocess.Popen[str] = subprocess.Popen(
                argv,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
                bufsize=0,
                **_process_group_kwargs(kwargs),
                **kwargs,
            )
        except BaseException:
            os.close(self._wake_r)
            os.close(self._wake_w)
            raise
        self._pgid = self._own_group()
        self._stdout_buffer = bytearray()
        self._woken = self._closed = self._stopping = False
        # False once a write or read failed part-way or the output ended: from
        # there nothing can be read on at a line boundary.
        self.in_step = True
        # A run's own stop and terminate's may meet; the child is signalled and
        # reaped, and the wake pipe closed, once.
        self._stop_lock = threading.Lock()
        self._stderr_drain = threading.Thread(
            target=_drain_stderr,
            args=(self.process.stderr, getattr(self.process.stderr, "encoding", "utf-8"), self._wake_r),
            name=f"mcp-run-python-stderr-{self.process.pid}",
            daemon=True,
        )
        try:
            os.set_blocking(self.process.stdin.fileno(), False)  # type: ignore[union-attr]
            self._stderr_drain.start()
        except BaseException:
            self._signal(signal.SIGKILL)
            self.process.wait()
            os.close(self._wake_r)
            os.close(self._wake_w)
            raise

    def _own_group(self) -> int | None:
        """The child's process group when the child leads it (so it holds nothing of ours), else None."""
        try:
            pgid = os.getpgid(self.process.pid)
        except OSError:
            return None
        return pgid if pgid == self.process.pid else None

    def exited(self) -> bool:
        """Whether the child has exited. Where the platform allows, it is left unreaped, which
        keeps its process-group id from being reused before the group is stopped."""
        if self.process.returncode is not None:
            return True
        try:
            return os.waitid(os.P_PID, self.process.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
        except (AttributeError, ChildProcessError):
            return self.process.poll() is not None

    def _wait(self, selector: selectors.BaseSelector, deadline: float) -> None:
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise _ReplyTimeout("MCP server did not take or answer a message in time")
            ready = selector.select(remaining)
            if any(key.fd == self._wake_r for key, _ in ready):
                raise _ServerStopped("MCP server was stopped")
            if ready:
                return

    def _selector(self, fd: int, event: int) -> selectors.BaseSelector:
        selector = selectors.DefaultSelector()
        selector.register(fd, event)
        selector.register(self._wake_r, selectors.EVENT_READ)
        return selector

    @contextlib.contextmanager
    def _transfer(self) -> Iterator[None]:
        """A write or read that fails may stop part-way through a line: the pipes are out of step."""
        try:
            yield
        except BaseException:
            self.in_step = False
            raise

    def write_line(self, line: str, deadline: float) -> None:
        """Write one line to the child whole, raising ``_ReplyTimeout`` if it is not taken by ``deadline``."""
        stdin = self.process.stdin
        assert stdin is not None
        fd = stdin.fileno()
        data = memoryview(line.encode(stdin.encoding))
        with self._transfer(), self._selector(fd, selectors.EVENT_WRITE) as selector:
            while data:
                self._wait(selector, deadline)
                try:
                    data = data[os.write(fd, data) :]
                except BlockingIOError:
                    continue

    def read_line(self, deadline: float) -> str:
        """Read one line of the child's output; what is left once the output has closed.

        The line is taken off the buffer before it is decoded, so one that is
        not text in the pipe's encoding (``_UndecodableLine``) is consumed all
        the same and the next read starts at the next line. Each byte is
        searched and copied a bounded number of times, however long the line.
        """
        stdout = self.process.stdout
        assert stdout is not None
        fd, buffer, scanned = stdout.fileno(), self._stdout_buffer, 0
        with self._transfer(), self._selector(fd, selectors.EVENT_READ) as selector:
            while (end := buffer.find(b"\n", scanned)) == -1:
                scanned = len(buffer)
                self._wait(selector, deadline)
                chunk = os.read(fd, _READ_CHUNK)
                if not chunk:
                    # The output ended: what is left is its last line, and nothing can follow it.
                    self.in_step = False
                    if self._stopping:
                        raise _ServerStopped("MCP server was stopped")
                    end = len(buffer)
                    break
                buffer += chunk
        line = buffer[:end]
        del buffer[: end + 1]
        try:
            return line.decode(stdout.encoding)
        except UnicodeDecodeError as e:
            raise _UndecodableLine(f"MCP server sent a line that cannot be read: {e}") from None

    def _signal(self, sig: int) -> None:
        try:
            if self._pgid is not None:
                os.killpg(self._pgid, sig)
            else:
                self.process.send_signal(sig)
        except ProcessLookupError:
            pass

    def _wait_exit(self, timeout: float) -> None:
        """Wait up to ``timeout`` seconds for the child to exit, without reaping it where the platform allows."""
        try:
            _exits_within(self.process.pid, timeout)
        except (AttributeError, OSError):
            with contextlib.suppress(subprocess.TimeoutExpired):
                self.process.wait(timeout)

    def stop(self, timeout: float, *, close: bool = True) -> None:
        """SIGTERM to the child's group, SIGKILL to whatever is left of it after the child exits or
        ``timeout`` seconds pass, reap the child, and release every wait on it.

        With ``close`` the pipes are closed too; a caller that may race a run
        still reading them closes them with ``close()`` once that run has let go.
        """
        with self._stop_lock:
            self._stopping = True
            if self.process.returncode is None:
                self._signal(signal.SIGTERM)
                self._wait_exit(timeout)
                # Whatever the child left running in its group would keep the pipes
                # open; the child is not reaped yet, so the group id is still ours.
                self._signal(signal.SIGKILL)
                self.process.wait()
            if not self._woken:
                self._woken = True
                os.close(self._wake_w)
        self._stderr_drain.join(_WIND_DOWN_TIMEOUT)
        if close:
            self.close()

    def close(self) -> None:
        """Close the child's input, output and the wake pipe; only once no wait can use them."""
        if self._closed:
            return
        self._closed = True
        for stream in (self.process.stdin, self.process.stdout):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass
        self._stdout_buffer.clear()
        if not self._stderr_drain.is_alive():
            os.close(self._wake_r)


def _future_import_head(code: str) -> tuple[str, str]:
    """Split ``code`` after its ``from __future__`` imports, which must stay first in a program.

    Code that does not parse is returned whole as the tail; running it reports the error.
    """
    try:
        body = ast.parse(code).body
    except (SyntaxError, ValueError):
        return "", code
    end = 0
    for index, node in enumerate(body):
        if index == 0 and isinstance(node, ast.Expr) and isinstance(node.value, ast.Constant):
            continue  # a module docstring may precede the future imports
        if not (isinstance(node, ast.ImportFrom) and node.module == "__future__"):
            break
        end = node.end_lineno or node.lineno
    if end == 0:
        return "", code
    # Split where the parser counts lines (str.splitlines also breaks at form feeds and the like).
    lines = re.split(r"(?<=\n)|(?<=\r)(?!\n)", code)
    head = "".join(lines[:end])
    return (head if head.endswith("\n") else head + "\n"), "".join(lines[end:])


class PydanticExecutorSandbox(BaseSandbox):
    """Deprecated local sandbox that runs Python in an MCP run-python server process.

    Deprecated: the upstream engine 'jsr:@pydantic/mcp-run-python' was archived
    read-only on 2026-01-30; use ``E2BSandbox``, ``OpenSandbox`` or
    ``BedrockAgentCoreSandbox`` instead. The server runs Python in a sandboxed
    WebAssembly environment using Pyodide. Construction starts and initialises
    the server; a run that finds it stopped (after a run past its bound) starts
    a fresh one; ``terminate`` stops it for good. Only code execution is
    offered: files travel inside the submitted program and cannot be downloaded.
    """

    def __init__(
        self,
        mcp_server_path: str | None = None,
        language: str = Language.PYTHON,
        sandbox_timeout: int | None = None,
        *,
        start_timeout: float = _MCP_REPLY_TIMEOUT,
        **kwargs: Any,
    ) -> None:
        """Start the run-python server and complete its initialize handshake.

        Args:
            mcp_server_path: Program to start; ``None`` or empty means "deno" on the search path.
            language: Only Python, in any letter case.
            sandbox_timeout: Accepted like the other backends' and unused: a
                local process has no lease.
            start_timeout: Seconds to wait for the handshake (positive, finite),
                here and whenever a fresh server replaces a stopped one.
            **kwargs: Further options of ``subprocess.Popen`` (for example
                ``cwd`` or ``env``); the standard streams, text mode and
                buffering are fixed. The server gets a session of its own
                unless ``start_new_session`` or ``process_group`` is given.

        Raises:
            ValueError: For a language other than Python or a bad ``start_timeout``.
            SandboxStartError: When the server cannot be started or initialised
                (stage "process_start"); the child has been reaped.
        """
        warnings.warn(_DEPRECATION_MESSAGE, DeprecationWarning, stacklevel=2)
        super().__init__()
        self.language = language
        self.initialized = False
        self.mcp_process: subprocess.Popen[str] | None = None
        self.request_id = 0
        self.mcp_server_path = mcp_server_path or "deno"
        self.mcp_args = [
            "run",
            "-N",
            "-R=node_modules",
            "-W=node_modules",
            "--node-modules-dir=auto",
            "jsr:@pydantic/mcp-run-python",
            "stdio",
        ]
        self._server: _ServerProcess | None = None
        self._popen_kwargs = kwargs
        # Held for a whole exchange (and for a restart), which runs on a worker
        # thread: runs awaited together take their turns, their lines never interleave.
        self._exchange_lock = threading.RLock()

        if language.lower() != Language.PYTHON:
            raise ValueError("PydanticCodeExecutor only supports Python language")
        if not (isinstance(start_timeout, (int, float)) and math.isfinite(start_timeout) and start_timeout > 0):
            raise ValueError(f"`start_timeout` must be a positive, finite number of seconds, got {start_timeout!r}")
        self._start_timeout = float(start_timeout)

        try:
            self._start_server()
        except Exception as e:
            raise SandboxStartError(f"Failed to initialize MCP server: {e}", stage=Stage.PROCESS_START) from e
        self.initialized = True

    async def execute_code(
        self,
        code: str,
        timeout: int | None = None,
        files: list[Attachment] | None = None,
        upload_dir: str | None = None,
        **kwargs: Any,
    ) -> ExecutionResult:
        """Run ``code`` in the server and report the outcome as a result.

        The exchange runs on a worker thread, so the event loop stays free;
        runs on one executor take their turns. A cancelled run's exchange
        still ends on its thread, within its deadline, before the next begins.

        Args:
            code: The Python code; the result's ``code`` is always this text.
            timeout: Seconds, at most 300 (a larger value, however large, is
                an error result); ``None`` is 30; zero or less sets no limit of
                the caller's, so the 300-second ceiling applies. A reply that is
                not in within the limit plus 5 seconds' grace gives a "timeout"
                result naming the limit, and the server is stopped; the next run
                starts a fresh one (nothing is kept in the server between runs).
            files: Attachments written by a preamble of the submitted program;
                names must be relative paths without ".." segments.
            upload_dir: Their directory; ``None`` is "/files".
            **kwargs: Further fields of ``CodeExecutionRequest`` (``max_output_length``).

        Raises:
            TypeError: For ``code`` that is not a ``str``.
            RuntimeError: When the executor is not initialised.
        """
        check_code(code)
        if not self.initialized:
            raise RuntimeError("Executor is not initialized")
        start_time = time.time()
        status = ExecutionStatus.ERROR
        requested_timeout = _request_timeout(timeout)
        limit = requested_timeout or _MAX_EXECUTION_TIMEOUT
        try:
            prepared = self._prepare_code_with_files(code, files, start_time, upload_dir)
            request = CodeExecutionRequest(
                code=prepared,
                # The record takes only the lower-case name the constructor also accepts.
                language=self.language.lower(),
                timeout=requested_timeout,
                **kwargs,
            )
            params = {"name": "run_python_code", "arguments": {"python_code": request.code}}
            tool_result = await asyncio.to_thread(self._call_tool, params, limit + _REPLY_GRACE)
            duration_ms = calculate_duration_ms(start_time)
            if tool_result.get("isError", False):
                message = tool_result.get("content", [{}])[0].get("text", "Unknown error")
            else:
                xml_text = "".join(
                    item.get("text", "") for item in tool_result.get("content", []) if item.get("type") == "text"
                )
                if xml_text.strip():
                    return self._parse_xml_response(xml_text, code, duration_ms)
                message = "Empty XML response from MCP server"
        except _ReplyTimeout:
            status = ExecutionStatus.TIMEOUT
            message = _EXECUTION_TIMED_OUT.format(limit)
        except RuntimeError as e:
            message = str(e)
        except ValidationError as e:
            message = f"Validation error: {e}"
        except (BrokenPipeError, EOFError, ConnectionResetError) as e:
            message = f"MCP server connection lost: {e}"
        except Exception as e:
            message = f"Execution failed: {e}"
        return ExecutionResult(
            status=status,
            code=code,
            error=message,
            text=message,
            exit_code=1,
            duration_ms=calculate_duration_ms(start_time),
        )

    async def terminate(self, *, timeout: float = _MCP_EXIT_TIMEOUT) -> None:
        """Stop the server: a cancelled notification, SIGTERM to its process group, and
        SIGKILL to what is left of the group once the server exits or ``timeout`` seconds pass.

        Runs off the event loop. Calling it again does nothing.

        Raises:
            ValueError: When ``timeout`` is not positive and finite.
            TypeError: When ``timeout`` is not a number.
        """
        timeout = check_teardown_cap(timeout, finite=True)
        notify = self.initialized
        # From here on runs are refused, so none can start a server behind this shutdown.
        self.initialized = False
        if self._server is not None:
            await asyncio.to_thread(self._shutdown, notify, timeout)

    async def download_file(
        self, file_path: str, *, timeout: float | None = DEFAULT_DOWNLOAD_TIMEOUT
    ) -> bytes | None:
        """Always ``None``: nothing can be read back out of the server's runtime.

        Raises:
            TypeError, ValueError: For a ``timeout`` the other backends refuse, as ``resolve_timeout`` does.
        """
        resolve_timeout(timeout, DEFAULT_DOWNLOAD_TIMEOUT)
        logger.warning(f"File download not supported for Pydantic MCP sandbox: {file_path}")
        return None

    def _extract_xml_tag_content(self, xml_text: str, tag: str) -> str:
        """The value of the ``<tag>...</tag>`` field of ``xml_text`` (read as ``_reply_fields`` does), or ``""``."""
        field_start = _REPLY_FIELD_START if tag in _REPLY_FIELDS else _field_start({*_REPLY_FIELDS, tag})
        return _reply_fields(xml_text, field_start).get(tag, "")

    def _parse_xml_response(self, xml_text: str, code: str, duration_ms: int) -> ExecutionResult:
        """Map the server's tagged reply text onto a result.

        The fields are read by structure (``_reply_fields``), so text inside
        one field (printed output, an exception message) cannot stand in for
        another, whatever their order.
        """
        try:
            fields = _reply_fields(xml_text)
            status, output = fields.get("status", ""), fields.get("output", "")
            if status == "success":
                stdout = output
                return_value = fields.get("return_value", "")
                if return_value and return_value != "None":
                    stdout = f"{stdout}\n{return_value}" if stdout else return_value
                return ExecutionResult.create(ExecutionStatus.SUCCESS, code, stdout=stdout, duration_ms=duration_ms)
            message = fields.get("error") or f"Execution failed with status: {status}"
            return ExecutionResult.create(
                ExecutionStatus.ERROR, code, stdout=output, stderr=message, error=message, duration_ms=duration_ms
            )
        except Exception as e:
            message = f"Error parsing response: {e}"
            return ExecutionResult.create(
                ExecutionStatus.ERROR, code, stderr=message, error=message, duration_ms=duration_ms
            )

    def _get_next_request_id(self) -> int:
        self.request_id += 1
        return self.request_id

    def _send_mcp_request(
        self,
        method: str,
        params: dict[str, Any],
        bypass_init_check: bool = False,
        *,
        reply_timeout: float = _MCP_REPLY_TIMEOUT,
    ) -> dict[str, Any]:
        """Send one request and return the ``result`` of its reply (an empty dict when it has none).

        Blocks its thread for the exchange. The reply is the first line whose
        id matches the request; server notifications and replies to earlier
        requests are skipped. When the request cannot be written or its reply
        is not in within ``reply_timeout`` seconds, the server is stopped, so
        that a late reply can never answer a later request, and
        ``_ReplyTimeout`` is raised.

        Raises:
            RuntimeError: Without a process, before initialisation (unless
                bypassed), for a closed or blank reply line and for an error reply.
            BrokenPipeError: When the child has exited or was stopped meanwhile.
            ValidationError, ValueError: For a malformed reply line (one that
                is not text in the pipe's encoding included).
        """
        server = self._server
        if self.mcp_process is None or server is None:
            raise RuntimeError("MCP server process not started")
        if not bypass_init_check and not self.initialized:
            raise RuntimeError("MCP server not initialized")
        request = MCPRequest(id=self._get_next_request_id(), method=method, params=params)
        if server.exited():
            raise BrokenPipeError("MCP server process has exited")
        deadline = time.monotonic() + reply_timeout
        try:
            server.write_line(request.model_dump_json() + "\n", deadline)
            while True:
                line = server.read_line(deadline).strip()
                if not line:
                    raise RuntimeError("No response from MCP server")
                message = json.loads(line)
                if isinstance(message, dict) and "method" in message:
                    logger.debug(f"Skipped MCP server message {message['method']!r} awaiting reply {request.id}")
                    continue
                response = MCPResponse.model_validate(message)
                if response.id == request.id:
                    break
                logger.debug(f"Skipped MCP server reply {response.id} awaiting reply {request.id}")
        except _ReplyTimeout:
            server.stop(_MCP_EXIT_TIMEOUT)
            raise _ReplyTimeout(f"MCP server did not answer {method!r} within {reply_timeout} seconds") from None
        if response.error:
            kind = "initialization" if method == "initialize" else "communication"
            raise RuntimeError(f"MCP {kind} error: {response.error}")
        return response.result or {}

    def _send_initialize_request(self) -> None:
        params = {
            "protocolVersion": "2024-11-05",
            "capabilities": {"tools": {}},
            "clientInfo": {"name": "pydantic-code-executor", "version": "1.0.0"},
        }
        deadline = time.monotonic() + self._start_timeout
        self._send_mcp_request("initialize", params, bypass_init_check=True, reply_timeout=self._start_timeout)
        self._server.write_line(_notification("notifications/initialized"), deadline)  # type: ignore[union-attr]

    def _start_server(self) -> None:
        """Start a server process and complete its handshake; on failure it is reaped and the error raised."""
        server = _ServerProcess([self.mcp_server_path, *self.mcp_args], self._popen_kwargs)
        self._server, self.mcp_process = server, server.process
        try:
            self._send_initialize_request()
        except Exception:
            self._server = self.mcp_process = None
            try:
                server.stop(_MCP_EXIT_TIMEOUT)
            except Exception as reap_error:
                logger.warning(f"Error stopping MCP server after a failed start: {reap_error}")
            raise

    def _call_tool(self, params: dict[str, Any], reply_timeout: float) -> dict[str, Any]:
        """One "tools/call" exchange on the worker thread, on a fresh server if the last one stopped.

        A malformed line is taken whole and the exchange after it reads on from
        the next line; after a line half written or an output that ended, nothing
        can be read on, so that server is replaced too.
        """
        with self._exchange_lock:
            if not self.initialized:
                raise RuntimeError("Executor is not initialized")  # terminated while this run waited
            server = self._server
            if server is None or not server.in_step or server.exited():
                self._restart_server()
                if not self.initialized:  # terminated during the restart: the new server goes too
                    self._stop_current(_MCP_EXIT_TIMEOUT)
                    raise RuntimeError("Executor is not initialized")
            return self._send_mcp_request("tools/call", params, reply_timeout=reply_timeout)

    def _restart_server(self) -> None:
        stopped = self._server
        # Reaps it and stops whatever it left running in its group.
        self._stop_current(_MCP_EXIT_TIMEOUT)
        if stopped is not None:
            logger.warning(
                f"MCP server stopped (exit code {stopped.process.returncode}); starting a fresh one for this run"
            )
        else:
            logger.warning("Starting a fresh MCP server for this run: the last start failed")
        try:
            self._start_server()
        except Exception as e:
            raise SandboxStartError(f"Failed to restart MCP server: {e}", stage=Stage.PROCESS_START) from e

    def _stop_current(self, timeout: float) -> None:
        server, self._server, self.mcp_process = self._server, None, None
        if server is not None:
            server.stop(timeout)

    def _shutdown(self, notify: bool, timeout: float) -> None:
        """The blocking part of ``terminate``, on a worker thread."""
        server = self._server
        if server is None:
            return
        # A run in flight holds the lock and may be mid-line: the courtesy notice is skipped then.
        if notify and self._exchange_lock.acquire(blocking=False):
            try:
                if not server.exited():
                    server.write_line(_notification("notifications/cancelled"), time.monotonic() + timeout)
            except Exception as e:
                logger.warning(f"Error during MCP shutdown: {e}")
            finally:
                self._exchange_lock.release()
        # Releases a run still waiting on the server before its pipes are closed under the lock.
        server.stop(timeout, close=False)
        if self._exchange_lock.acquire(timeout=_WIND_DOWN_TIMEOUT):
            try:
                server.close()
                # Forgets the server; should a run have replaced it meanwhile, the new one is stopped too.
                self._stop_current(timeout)
            finally:
                self._exchange_lock.release()
        else:
            logger.warning("MCP server stopped; a run still holds its pipes, which close when it ends")
            self._server = self.mcp_process = None

    def _prepare_code_with_files(
        self,
        code: str,
        files: list[Attachment] | None,
        start_time: float,
        upload_dir: str | None = None,
    ) -> str:
        """The program to submit: a preamble that writes ``files``, then ``code``.

        Every value is embedded as a ``repr`` literal. ``from __future__``
        imports of ``code`` are moved ahead of the preamble, where Python
        requires them. ``start_time`` is unused.

        Raises:
            SandboxExecutionError: For a name that could write outside the
                upload directory (absolute, a ".." segment, a backslash).
            RuntimeError: When an attachment cannot be encoded ("Failed to process file ...").
        """
        if not files:
            return code
        for attachment in files:
            check_upload_filename(attachment.filename)
        lines = ["import base64", "import os"]
        for index, attachment in enumerate(files):
            try:
                path = repr(build_upload_path(attachment.filename, upload_dir, DEFAULT_UPLOAD_DIR))
                content = repr(base64.b64encode(attachment.data).decode("ascii"))
                var = f"content_{index}"
                lines += [
                    f"{var} = base64.b64decode({content})",
                    f"os.makedirs(os.path.dirname({path}) or '.', exist_ok=True)",
                    f"with open({path}, 'wb') as f:",
                    f"    f.write({var})",
                    f"print('File uploaded: ' + {path} + f' ({{len({var})}} bytes)')",
                    "",
                ]
            except Exception as e:
                raise RuntimeError(f"Failed to process file {attachment.filename}: {e}") from e
        head, tail = _future_import_head(code)
        return head + "\n".join(lines) + "\n" + tail
