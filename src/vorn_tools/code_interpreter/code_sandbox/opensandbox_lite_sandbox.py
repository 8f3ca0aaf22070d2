"""OpenSandboxLite: OpenSandbox's execution results without the Jupyter server.

The sandbox boots a no-op start command. At creation the library writes two
programs into it, an IPython interpreter daemon and a relay client, and starts
the daemon through the relay. Each execution runs the relay once as a shell
command through the sandbox's command service: the relay hands the cell to the
daemon over a Unix socket, streams the cell's output back as the command's
output (one JSON string per line) and ends with one report line that this
module maps to an ``ExecutionResult``. On a timeout the relay command is
stopped, the daemon interrupts the cell, and a "settle" run of the relay waits
for the interpreter to be idle again, restarting it when the cell will not stop.
"""

import asyncio
import inspect
import json
import shlex
import time
import uuid
from collections.abc import Callable
from datetime import timedelta
from typing import Any, Self

try:
    from opensandbox import Sandbox
    from opensandbox.exceptions import SandboxConnectionException, SandboxTimeoutException
    from opensandbox.models.execd import Execution, ExecutionHandlers, RunCommandOpts
    from opensandbox.models.filesystem import WriteEntry
except ImportError as _import_error:
    raise ImportError(
        "opensandbox and opensandbox-code-interpreter packages are required. "
        "Install them with: pip install 'vorn-tools[opensandbox]'"
    ) from _import_error

from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.constants import Language
from vorn_tools.code_interpreter.code_sandbox.constants import OpenSandboxErrorMessage as ErrorMessage
from vorn_tools.code_interpreter.code_sandbox.constants import OpenSandboxLiteConfig as LiteConfig
from vorn_tools.code_interpreter.code_sandbox.constants import OpenSandboxLiteErrorMessage as LiteErrorMessage
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.opensandbox_lite_scripts import CLIENT_SOURCE, DAEMON_SOURCE
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox, _never_written
from vorn_tools.code_interpreter.code_sandbox.utils import StreamedOutput, calculate_duration_ms, resolve_timeout
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError, SandboxStartError, Stage
from vorn_tools.code_interpreter.observability import (
    SpanAttr,
    SpanName,
    set_current_span_attributes,
    traced,
)
from vorn_tools.code_interpreter.redaction import get_redacting_logger, redact

logger = get_redacting_logger(__name__)

_PREFIX = LiteConfig.RUNTIME_PREFIX
_DAEMON_PATH = _PREFIX + "_daemon.py"
_CLIENT_PATH = _PREFIX + "_client.py"
_REPORT_MARK = "ZIB_LITE_REPORT:"

# The relay's "launch" returns at once and its "settle" within the grace plus
# a kill wait; a command stream that stalls must not hold the caller longer
# than this, so both are awaited under it.
_RELAY_BOUND = LiteConfig.INTERRUPT_GRACE_SECONDS + LiteConfig.STREAM_GRACE_SECONDS + 5
# A relay stop that does not land within this many seconds is given up (with
# a warning); the settle that follows bounds the rest.
_INTERRUPT_TIMEOUT = 5

_STREAM_NAMES = {"out": "stdout", "err": "stderr"}


class OpenSandboxLite(OpenSandbox):
    """An OpenSandbox sandbox that runs Python through an in-sandbox IPython daemon.

    Obtain instances only through ``await OpenSandboxLite.create(...)``, which
    takes exactly the arguments of ``OpenSandbox.create``. Interpreter state
    persists across ``execute_code`` calls; a call made while another one runs
    comes back as a "session is busy" error result.
    """

    _BACKEND = "opensandbox-lite"

    @classmethod
    async def create(cls, *args: Any, **kwargs: Any) -> Self:
        """Start a Lite sandbox; the arguments are those of ``OpenSandbox.create``.

        Raises:
            TypeError: When the arguments do not fit ``OpenSandbox.create``.
            ValueError: For a language other than Python, before anything remote happens.
            SandboxStartError: As ``OpenSandbox.create``; stage "interpreter_init"
                when the programs cannot be written or the daemon not launched.
        """
        bound = inspect.signature(OpenSandbox.create).bind(*args, **kwargs)
        language = bound.arguments.get("language")
        if language is not None and language.lower() != Language.PYTHON:
            raise ValueError(LiteErrorMessage.UNSUPPORTED_LANGUAGE.format(language))
        return await super().create(*args, **kwargs)

    @staticmethod
    def _startup_kwargs(entrypoint: list[str] | None, kwargs: dict[str, Any]) -> dict[str, Any]:
        """The parent's start command and environment, with a no-op start command by default."""
        return OpenSandbox._startup_kwargs(entrypoint or LiteConfig.NOOP_ENTRYPOINT, kwargs)

    @classmethod
    async def _start_interpreter(cls, sandbox: Sandbox) -> None:
        """Write the daemon and relay programs and launch the daemon; does not wait for it.

        Raises:
            SandboxStartError: Stage "interpreter_init" when the write or the
                launch fails (the SDK's exception is the cause) or the launch
                exits non-zero.
        """
        try:
            await sandbox.files.write_files(
                [WriteEntry(path=_DAEMON_PATH, data=DAEMON_SOURCE), WriteEntry(path=_CLIENT_PATH, data=CLIENT_SOURCE)]
            )
            launch = await asyncio.wait_for(sandbox.commands.run(cls._relay("launch")), _RELAY_BOUND)
        except Exception as exc:
            raise SandboxStartError(
                ErrorMessage.SANDBOX_START_FAILED.format(exc),
                stage=Stage.INTERPRETER_INIT,
                classifier=cls._is_transient_create_error,
            ) from exc
        if launch.exit_code != 0:
            detail = _joined(launch.logs.stderr) or launch.exit_code
            raise SandboxStartError(ErrorMessage.SANDBOX_START_FAILED.format(detail), stage=Stage.INTERPRETER_INIT)

    @staticmethod
    def _relay(*args: str) -> str:
        """The shell command line that runs the relay client with a mode and its arguments."""
        return " ".join(shlex.quote(word) for word in ("python3", "-u", _CLIENT_PATH, _PREFIX, *args))

    # ------------------------------------------------------------ code execution

    @traced(SpanName.EXECUTE_CODE)
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
        """Run ``code`` in the sandbox's interpreter daemon and report the outcome as a result.

        Args:
            code: The code to run; interpreter state persists across calls.
            timeout: Seconds; ``None`` is 30, zero or less no limit. At the
                limit the cell is interrupted (and the interpreter restarted
                when it will not stop) and the output so far comes back with
                status "timeout".
            files: Attachments uploaded (in one request) before the run.
            upload_dir: Where the attachments go; ``None`` is "/tmp/files".
            on_stdout: Called with each printed stdout line, less its line feed.
            on_stderr: The same for stderr.
            **kwargs: Accepted and ignored.

        Raises:
            SandboxNotInitializedError: Before ``create`` or after ``terminate``.
        """
        set_current_span_attributes(**{SpanAttr.BACKEND: self._BACKEND})
        if not self._sandbox:
            raise SandboxNotInitializedError(ErrorMessage.SANDBOX_NOT_INITIALIZED)
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: self.sandbox_id})
        effective_timeout = resolve_timeout(timeout)
        start_time = time.time()
        nonce = uuid.uuid4().hex
        marker = _REPORT_MARK + nonce + ":"
        reports: list[dict[str, Any]] = []
        execution_id: str | None = None

        async def _capture_init(message: Any) -> None:
            nonlocal execution_id
            execution_id = getattr(message, "id", None)

        streamed = StreamedOutput()
        forward_stderr = self._relayed_line_handler(streamed, "stderr", on_stderr)

        async def _on_stderr(message: Any) -> None:
            text = getattr(message, "text", None) or ""
            if text.startswith(marker):
                payload = json.loads(text[len(marker) :])
                if isinstance(payload, dict):
                    reports.append(payload)
                    return
            await forward_stderr(message)

        handlers = ExecutionHandlers(
            on_init=_capture_init,
            on_stdout=self._relayed_line_handler(streamed, "stdout", on_stdout),
            on_stderr=_on_stderr,
        )
        bound = asyncio.timeout(None)
        try:
            if files:
                await self._upload_files(files, upload_dir)
            started = time.monotonic()
            bound = asyncio.timeout(None if effective_timeout is None else effective_timeout + LiteConfig.STREAM_GRACE_SECONDS)
            async with bound:
                execution = await self._run_cell(code, nonce, effective_timeout, handlers)
        # Only this call's own deadline is a time-out; a TimeoutError from
        # anywhere else is reported by the arms below as the failure it is.
        except TimeoutError if bound.expired() else ():
            await self._interrupt_kernel(execution_id)
            return await self._timeout_result(code, start_time, effective_timeout, streamed=streamed)
        except (SandboxConnectionException, SandboxTimeoutException) as exc:
            return self._transport_failure_result(
                exc,
                code,
                start_time,
                stdout=streamed.render("stdout"),
                stderr=streamed.render("stderr"),
                retry_safe=streamed.retry_safe(exc, _never_written),
            )
        except Exception as exc:
            return self._error_result(
                code, start_time, exc, stdout=streamed.render("stdout"), stderr=streamed.render("stderr")
            )
        if not reports:
            # No report: the relay crashed, or the command service stopped it at the limit.
            if effective_timeout is not None and time.monotonic() - started >= effective_timeout:
                return await self._timeout_result(code, start_time, effective_timeout, streamed=streamed)
            error = LiteErrorMessage.RELAY_FAILED.format(execution.exit_code, streamed.render("stderr").rstrip("\n"))
            return self._error_result(code, start_time, error, stdout=streamed.render("stdout"))
        return self._report_result(code, start_time, execution, reports[-1], marker)

    @staticmethod
    def _relayed_line_handler(
        streamed: StreamedOutput, stream: str, forward: Callable[[str], None] | None
    ) -> Callable[[Any], Any]:
        """The SDK handler for one relayed stream: decode each line, record it, then forward it.

        The line is recorded before the caller's callback runs, so a callback
        that raises still leaves it in the record.
        """

        async def _handler(message: Any) -> None:
            chunk = _printed(getattr(message, "text", None) or "")
            streamed.record(stream, chunk)
            if forward is not None:
                forward(chunk[:-1] if chunk.endswith("\n") else chunk)

        return _handler

    async def _run_cell(
        self, code: str, nonce: str, effective_timeout: float | None, handlers: ExecutionHandlers
    ) -> Execution:
        """Write the cell file and run the relay's "run" on it under the command service's limit."""
        assert self._sandbox is not None
        cell_path = _PREFIX + "_cell_" + nonce + ".py"
        await self._sandbox.files.write_files([WriteEntry(path=cell_path, data=code)])
        opts = None if effective_timeout is None else RunCommandOpts(timeout=timedelta(seconds=effective_timeout))
        return await self._sandbox.commands.run(self._relay("run", cell_path, nonce), opts=opts, handlers=handlers)

    # ------------------------------------------------------------ report mapping

    def _report_result(
        self, code: str, start_time: float, execution: Execution, report: dict[str, Any], marker: str
    ) -> ExecutionResult:
        """Map the relay's report for one cell, and the output it relayed, to a result."""
        stdout = "".join(_printed(message.text) for message in execution.logs.stdout or ())
        stderr = "\n".join(
            _decode_line(message.text).removesuffix("\n")
            for message in execution.logs.stderr or ()
            if not message.text.startswith(marker)
        )
        if report.get("busy"):
            return self._error_result(code, start_time, LiteErrorMessage.SESSION_BUSY)
        daemon = report.get("daemon")
        if daemon == "died":
            return self._error_result(code, start_time, LiteErrorMessage.INTERPRETER_DIED, stdout=stdout, stderr=stderr)
        if daemon == "failed":
            return self._error_result(
                code, start_time, LiteErrorMessage.INTERPRETER_START_FAILED.format(redact(report.get("log", "")))
            )
        if daemon == "error":
            return self._error_result(
                code, start_time, LiteErrorMessage.INTERPRETER_FAILED.format(redact(report.get("log", "")))
            )
        if report.get("restarted"):
            logger.warning(
                f"The OpenSandboxLite interpreter in sandbox {self.sandbox_id} had exited and was "
                "restarted before this call; state from earlier calls is gone."
            )
        if report.get("result"):
            if stdout and not stdout.endswith("\n"):
                stdout += "\n"
            stdout += report["result"]
        entry = report.get("error")
        errors = [f"{entry.get('name')}: {entry.get('value')}"] if entry else []
        if report.get("lost"):
            # Output the daemon could not pass on is not a clean success.
            lost = " and ".join(_STREAM_NAMES.get(kind, str(kind)) for kind in report["lost"])
            errors.append(LiteErrorMessage.OUTPUT_LOST.format(lost, LiteConfig.STREAM_GRACE_SECONDS))
        status = ExecutionStatus.ERROR if errors else ExecutionStatus.SUCCESS
        set_current_span_attributes(**{SpanAttr.STATUS: status.value})
        return ExecutionResult.create(
            status=status,
            code=code,
            stdout=stdout,
            stderr=stderr,
            error=" ".join(errors),
            duration_ms=calculate_duration_ms(start_time),
        )

    def _error_result(
        self, code: str, start_time: float, error: str | BaseException, *, stdout: str = "", stderr: str = ""
    ) -> ExecutionResult:
        """An "error" result (an exception is rendered masked)."""
        set_current_span_attributes(**{SpanAttr.STATUS: ExecutionStatus.ERROR.value})
        return ExecutionResult.create(
            status=ExecutionStatus.ERROR,
            code=code,
            stdout=stdout,
            stderr=stderr,
            error=error,
            duration_ms=calculate_duration_ms(start_time),
        )

    # -------------------------------------------------- timeout, interrupt, settle

    async def _timeout_result(
        self, code: str, start_time: float, effective_timeout: float | None, *, streamed: StreamedOutput
    ) -> ExecutionResult:
        """The "timeout" result, built once the interpreter has let go of the cell."""
        set_current_span_attributes(**{SpanAttr.STATUS: ExecutionStatus.TIMEOUT.value})
        error = ErrorMessage.EXECUTION_TIMEOUT.format(effective_timeout)
        if await self._settle():
            error += LiteErrorMessage.STATE_LOST_AFTER_TIMEOUT
        return ExecutionResult.create(
            status=ExecutionStatus.TIMEOUT,
            code=code,
            stdout=streamed.render("stdout"),
            stderr=streamed.render("stderr"),
            error=error,
            duration_ms=calculate_duration_ms(start_time),
        )

    async def _settle(self) -> bool:
        """Wait for the interpreter to finish an interrupted cell; True when it had to be restarted.

        Never raises an ``Exception``: a failed settle is a warning and False.
        """
        grace = LiteConfig.INTERRUPT_GRACE_SECONDS
        try:
            assert self._sandbox is not None
            opts = RunCommandOpts(timeout=timedelta(seconds=grace + LiteConfig.STREAM_GRACE_SECONDS))
            execution = await asyncio.wait_for(
                self._sandbox.commands.run(self._relay("settle", str(grace)), opts=opts), _RELAY_BOUND
            )
            return bool(json.loads(_joined(execution.logs.stdout)).get("restarted"))
        except Exception as exc:
            logger.warning(f"Failed to settle the OpenSandboxLite interpreter after a timeout: {exc}")
            return False

    async def _interrupt_kernel(self, execution_id: str | None) -> None:
        """Stop the relay command of a timed-out call; the daemon then interrupts the cell.

        Best effort and bounded; never raises an ``Exception``.
        """
        if not execution_id or not self._sandbox:
            return
        try:
            await asyncio.wait_for(self._sandbox.commands.interrupt(execution_id), _INTERRUPT_TIMEOUT)
        except Exception as exc:
            logger.warning(f"Failed to stop the relay of timed-out execution {execution_id}: {exc}")


def _decode_line(text: str) -> str:
    """Undo the relay's JSON encoding of one delivered line; other lines come back as delivered.

    Trailing line feeds of the delivered line are removed first.
    """
    return _decode(text)[0]


def _decode(text: str) -> tuple[str, bool]:
    stripped = text.rstrip("\n")
    if not stripped.startswith('"'):
        return stripped, False
    try:
        return json.loads(stripped), True
    except ValueError:
        return stripped, False


def _printed(text: str) -> str:
    """One delivered line as the cell printed it.

    A relayed line carries its own line feed (or none, for text printed without
    one); a line the relay did not encode, such as its own traceback, ends with one.
    """
    line, relayed = _decode(text)
    return line if relayed else line + "\n"


def _joined(messages: list[Any] | None) -> str:
    """Output messages of a command joined with line feeds, each without its trailing ones."""
    return "\n".join(message.text.rstrip("\n") for message in messages or ())
