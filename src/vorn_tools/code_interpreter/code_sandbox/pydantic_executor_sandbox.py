"""Deprecated local sandbox on the MCP run-python server.

Deprecated: the upstream engine 'jsr:@pydantic/mcp-run-python' was archived
read-only on 2026-01-30; use ``E2BSandbox``, ``OpenSandbox`` or
``BedrockAgentCoreSandbox`` instead.

``PydanticExecutorSandbox`` runs Python in a sandboxed WebAssembly environment
using Pyodide: it starts the run-python MCP server as a local child process
(through the Deno runtime, which the host must install) and speaks JSON-RPC 2.0
with it, one object per line on the child's standard streams. Every wait on
the child is bounded, the child's standard error is drained to the debug log,
and the child is always reaped.
"""

from __future__ import annotations

import ast
import base64
import json
import math
import os
import re
import selectors
import subprocess
import threading
import time
import warnings
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
# a limit waits up to the request record's ceiling instead.
_REPLY_GRACE = 5.0
_MAX_EXECUTION_TIMEOUT = 300
_EXECUTION_TIMED_OUT = "Execution exceeded timeout of {} seconds"
_STDERR_LINE_LIMIT = 65536
_READ_CHUNK = 65536


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


def _notification(method: str) -> str:
    return json.dumps({"jsonrpc": "2.0", "method": method, "params": {}}) + "\n"


def _wait_ready(fd: int, event: int, deadline: float) -> None:
    """Wait until ``fd`` is ready for ``event``, raising ``_ReplyTimeout`` at ``deadline``."""
    with selectors.DefaultSelector() as selector:
        selector.register(fd, event)
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise _ReplyTimeout("MCP server did not take or answer a message in time")
            if selector.select(remaining):
                return


def _drain_stderr(stream: Any, encoding: str) -> None:
    """Copy the child's standard error to the debug log until it closes, then close it.

    Runs on its own thread for the life of the child, so a chatty server never
    fills the pipe and blocks. Over-long lines are logged in pieces.
    """
    pending = b""
    try:
        fd = stream.fileno()
        while chunk := os.read(fd, _READ_CHUNK):
            *lines, pending = (pending + chunk).split(b"\n")
            if len(pending) > _STDERR_LINE_LIMIT:
                lines.append(pending)
                pending = b""
            for line in lines:
                logger.debug("MCP server stderr: %s", line.decode(encoding, "replace").rstrip("\r"))
        if pending:
            logger.debug("MCP server stderr: %s", pending.decode(encoding, "replace"))
    except (OSError, ValueError):
        pass
    finally:
        stream.close()


def _find_field(xml_text: str, tag: str, start: int) -> tuple[str, int]:
    """The value of the first ``tag`` field at or after ``start`` and the index after it.

    A missing field gives an empty value and leaves the index at ``start``.
    """
    start_tag, end_tag = f"<{tag}>", f"</{tag}>"
    begin = xml_text.find(start_tag, start)
    if begin == -1:
        return "", start
    begin += len(start_tag)
    end = xml_text.find(end_tag, begin)
    if end == -1:
        return "", start
    return xml_text[begin:end], end + len(end_tag)


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
    the server; ``terminate`` stops it for good. Only code execution is offered:
    files travel inside the submitted program and cannot be downloaded.
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
            start_timeout: Seconds to wait for the handshake (positive, finite).
            **kwargs: Further options of ``subprocess.Popen`` (for example
                ``cwd`` or ``env``); the standard streams, text mode and
                buffering are fixed.

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
        self._stdout_buffer = b""
        self._stderr_drain: threading.Thread | None = None

        if language.lower() != Language.PYTHON:
            raise ValueError("PydanticCodeExecutor only supports Python language")
        if not (isinstance(start_timeout, (int, float)) and math.isfinite(start_timeout) and start_timeout > 0):
            raise ValueError(f"`start_timeout` must be a positive, finite number of seconds, got {start_timeout!r}")
        self._start_timeout = float(start_timeout)

        try:
            self.mcp_process = subprocess.Popen(
                [self.mcp_server_path, *self.mcp_args],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
                bufsize=0,
                **kwargs,
            )
            self._watch_pipes(self.mcp_process)
            self._send_initialize_request()
            self.initialized = True
        except Exception as e:
            if self.mcp_process is not None:
                try:
                    self._stop_process(self.mcp_process, _MCP_EXIT_TIMEOUT)
                except Exception as reap_error:
                    logger.warning(f"Error stopping MCP server after a failed start: {reap_error}")
                self.mcp_process = None
            raise SandboxStartError(f"Failed to initialize MCP server: {e}", stage=Stage.PROCESS_START) from e

    async def execute_code(
        self,
        code: str,
        timeout: int | None = None,
        files: list[Attachment] | None = None,
        upload_dir: str | None = None,
        **kwargs: Any,
    ) -> ExecutionResult:
        """Run ``code`` in the server and report the outcome as a result.

        Args:
            code: The Python code; the result's ``code`` is always this text.
            timeout: Seconds, at most 300; ``None`` is 30, zero or less no
                limit. A reply that is not in within the limit (plus a few
                seconds' grace; 300 seconds without a limit) gives a "timeout"
                result and the server is stopped: later runs report the
                connection as lost.
            files: Attachments written by a preamble of the submitted program.
            upload_dir: Their directory; ``None`` is "/files".
            **kwargs: Further fields of ``CodeExecutionRequest`` (``max_output_length``).

        Raises:
            RuntimeError: When the executor is not initialised.

        Blocks the event loop until the reply is in, like every call of this backend.
        """
        if not self.initialized:
            raise RuntimeError("Executor is not initialized")
        start_time = time.time()
        status = ExecutionStatus.ERROR
        effective_timeout = resolve_timeout(timeout)
        limit = _MAX_EXECUTION_TIMEOUT if effective_timeout is None else effective_timeout
        try:
            prepared = self._prepare_code_with_files(code, files, start_time, upload_dir)
            request = CodeExecutionRequest(
                code=prepared,
                # The record takes only the lower-case name the constructor also accepts.
                language=self.language.lower(),
                timeout=0 if effective_timeout is None else effective_timeout,
                **kwargs,
            )
            params = {"name": "run_python_code", "arguments": {"python_code": request.code}}
            tool_result = self._send_mcp_request("tools/call", params, reply_timeout=limit + _REPLY_GRACE)
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
        """Stop the server: a cancelled notification, SIGTERM, and SIGKILL after ``timeout`` seconds.

        Blocks the event loop for the whole shutdown. Calling it again does nothing.

        Raises:
            ValueError: When ``timeout`` is not positive and finite.
        """
        if not math.isfinite(timeout) or timeout <= 0:
            raise ValueError("`timeout` must be positive and finite")
        if self.mcp_process is not None:
            try:
                if self.initialized and self.mcp_process.poll() is None:
                    self._write_line(_notification("notifications/cancelled"), time.monotonic() + timeout)
            except Exception as e:
                logger.warning(f"Error during MCP shutdown: {e}")
            self._stop_process(self.mcp_process, timeout)
            self.mcp_process = None
        self.initialized = False

    async def download_file(self, file_path: str, *, timeout: float = DEFAULT_DOWNLOAD_TIMEOUT) -> bytes | None:
        """Always ``None``: nothing can be read back out of the server's runtime."""
        logger.warning(f"File download not supported for Pydantic MCP sandbox: {file_path}")
        return None

    def _extract_xml_tag_content(self, xml_text: str, tag: str) -> str:
        """The value of the first ``<tag>...</tag>`` field of ``xml_text``, or an empty text."""
        return _find_field(xml_text, tag, 0)[0]

    def _parse_xml_response(self, xml_text: str, code: str, duration_ms: int) -> ExecutionResult:
        """Map the server's tagged reply text onto a result.

        The fields are read in the server's order (status, output, return
        value, error), each search starting after the previous field, so
        output that prints a tag cannot stand in for a later field.
        """
        try:
            values: dict[str, str] = {}
            position = 0
            for tag in ("status", "output", "return_value", "error"):
                values[tag], position = _find_field(xml_text, tag, position)
            status, output = values["status"], values["output"]
            if status == "success":
                stdout = output
                return_value = values["return_value"]
                if return_value and return_value != "None":
                    stdout = f"{stdout}\n{return_value}" if stdout else return_value
                return ExecutionResult.create(ExecutionStatus.SUCCESS, code, stdout=stdout, duration_ms=duration_ms)
            message = values["error"] or f"Execution failed with status: {status}"
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

        The reply is the first line whose id matches the request; server
        notifications and replies to earlier requests are skipped. When the
        request cannot be written or its reply is not in within
        ``reply_timeout`` seconds, the child is stopped, so that a late reply
        can never answer a later request, and ``_ReplyTimeout`` is raised.

        Raises:
            RuntimeError: Without a process, before initialisation (unless
                bypassed), for a closed or blank reply line and for an error reply.
            BrokenPipeError: When the child has exited.
            ValidationError, ValueError: For a malformed reply line.
        """
        if self.mcp_process is None:
            raise RuntimeError("MCP server process not started")
        if not bypass_init_check and not self.initialized:
            raise RuntimeError("MCP server not initialized")
        request = MCPRequest(id=self._get_next_request_id(), method=method, params=params)
        returncode = self.mcp_process.poll()
        if returncode is not None:
            raise BrokenPipeError(f"MCP server process has exited with code {returncode}")
        deadline = time.monotonic() + reply_timeout
        try:
            self._write_line(request.model_dump_json() + "\n", deadline)
            while True:
                line = self._read_line(deadline).strip()
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
            self._stop_process(self.mcp_process, _MCP_EXIT_TIMEOUT)
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
        self._write_line(_notification("notifications/initialized"), deadline)

    def _watch_pipes(self, process: subprocess.Popen[str]) -> None:
        """Prepare the child's pipes: a non-blocking input and a drained standard error."""
        assert process.stdin is not None and process.stderr is not None
        os.set_blocking(process.stdin.fileno(), False)
        self._stderr_drain = threading.Thread(
            target=_drain_stderr,
            args=(process.stderr, process.stderr.encoding),
            name=f"mcp-run-python-stderr-{process.pid}",
            daemon=True,
        )
        self._stderr_drain.start()

    def _write_line(self, line: str, deadline: float) -> None:
        """Write one line to the child whole, raising ``_ReplyTimeout`` if it is not taken by ``deadline``."""
        stdin = self.mcp_process.stdin  # type: ignore[union-attr]
        data = memoryview(line.encode(stdin.encoding))
        while data:
            _wait_ready(stdin.fileno(), selectors.EVENT_WRITE, deadline)
            try:
                data = data[os.write(stdin.fileno(), data) :]
            except BlockingIOError:
                continue

    def _read_line(self, deadline: float) -> str:
        """Read one line of the child's output; an empty text once the output has closed."""
        stdout = self.mcp_process.stdout  # type: ignore[union-attr]
        while b"\n" not in self._stdout_buffer:
            _wait_ready(stdout.fileno(), selectors.EVENT_READ, deadline)
            chunk = os.read(stdout.fileno(), _READ_CHUNK)
            if not chunk:
                line, self._stdout_buffer = self._stdout_buffer, b""
                return line.decode(stdout.encoding)
            self._stdout_buffer += chunk
        line, _, self._stdout_buffer = self._stdout_buffer.partition(b"\n")
        return line.decode(stdout.encoding)

    def _stop_process(self, process: subprocess.Popen[str], timeout: float) -> None:
        """SIGTERM, wait up to ``timeout`` seconds, then SIGKILL and reap; close the pipes."""
        if process.poll() is None:
            process.terminate()
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        for stream in (process.stdin, process.stdout):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass
        self._stdout_buffer = b""
        # The drain thread closes standard error itself once the pipe reports its end.
        if self._stderr_drain is not None:
            self._stderr_drain.join(_MCP_EXIT_TIMEOUT)

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
            RuntimeError: When an attachment cannot be encoded ("Failed to process file ...").
        """
        if not files:
            return code
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
