"""Sandbox backend on an OpenSandbox server.

``OpenSandbox.create(...)`` starts a remote sandbox through the asynchronous
OpenSandbox SDK, from an image, a snapshot id or the newest ready snapshot of a
name, with retried creation, a readiness probe of the sandbox's execd daemon
and of its Jupyter server, and a rollback of a half-built sandbox. Code runs on
the sandbox's Jupyter kernel through the OpenSandbox code-interpreter SDK, with
streamed, bounded output and a kernel interrupt when the client-side limit
passes; shell commands and files go through execd. Requires the extra
``vorn-tools[opensandbox]``.
"""

import asyncio
import contextlib
import math
import time
from collections.abc import Callable, Mapping
from datetime import timedelta
from typing import Any, Self

try:
    from code_interpreter import CodeInterpreter as _OSCiInterpreter
    from opensandbox import Sandbox
    from opensandbox.config import ConnectionConfig
    from opensandbox.config.connection_sync import ConnectionConfigSync
    from opensandbox.exceptions import (
        PoolAcquireFailedException,
        PoolEmptyException,
        PoolStateStoreUnavailableException,
        SandboxApiException,
        SandboxConnectionException,
        SandboxReadyTimeoutException,
        SandboxTimeoutException,
        SandboxUnhealthyException,
    )
    from opensandbox.models.execd import ExecutionHandlers, RunCommandOpts
    from opensandbox.models.filesystem import WriteEntry
except ImportError as _import_error:
    raise ImportError(
        "opensandbox and opensandbox-code-interpreter packages are required. "
        "Install them with: pip install 'vorn-tools[opensandbox]'"
    ) from _import_error

import httpx
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox
from vorn_tools.code_interpreter.code_sandbox.constants import (
    DEFAULT_DOWNLOAD_TIMEOUT,
    DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS,
    DEFAULT_SANDBOX_RESOURCE_REQUESTS,
    Language,
)
from vorn_tools.code_interpreter.code_sandbox.constants import OpenSandboxConfig as Config
from vorn_tools.code_interpreter.code_sandbox.constants import OpenSandboxErrorMessage as ErrorMessage
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.opensandbox_snapshots import (
    connection_settings,
    newest_ready_snapshot_id,
)
from vorn_tools.code_interpreter.code_sandbox.utils import (
    GuardedCallback,
    StreamedOutput,
    check_additional_packages,
    check_code,
    failure_reason,
    finish_result,
    resolve_sandbox_timeout,
    resolve_timeout,
    terminate_with_retry,
    transport_failure_result,
    with_callback_failures,
)
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError, SandboxStartError, Stage
from vorn_tools.code_interpreter.observability import (
    SpanAttr,
    SpanName,
    set_current_span_attributes,
    traced,
)
from vorn_tools.code_interpreter.redaction import (
    get_redacting_logger,
    qualified_type,
    redacted_chain,
    register_secret,
)

logger = get_redacting_logger(__name__)

_JUPYTER_PORT = 44771
_JUPYTER_POLL_INTERVAL = 0.25
_JUPYTER_PROBE_TIMEOUT = 15
_JUPYTER_TOKEN = "quillmarshbrightenvoyagetundraxyz"
_JUPYTER_HOST = "http://127.0.0.1:" + str(_JUPYTER_PORT)
_EXECD_GRACE_SHUTDOWN = "0s"
_NEVER_WRITTEN = (httpx.ConnectError, httpx.ConnectTimeout, httpx.PoolTimeout)

# A port that accepts and never answers must not hold one probe for longer
# than this; the sandbox's command service stops the probe at the same limit.
_JUPYTER_PROBE_COMMAND_TIMEOUT = 5
# execd comes up with the container, which may still be starting when the
# server reports the sandbox: it is polled this often until ``ready_timeout``
# runs out; the final probe gets at least the floor.
_EXECD_POLL_INTERVAL = 0.25
_EXECD_PROBE_FLOOR = 1.0
# A kernel interrupt that does not land within this many seconds is given up
# (with a warning), so a timed-out call returns close to its limit.
_INTERRUPT_TIMEOUT = 5


def _never_written(error: BaseException) -> bool:
    """Whether a transport failure proves that the request was never written.

    Judges the SDK exception's immediate explicit cause (else the exception
    itself): only a connection that was never opened, or no free connection
    in time, proves it.
    """
    cause = error.__cause__ if error.__cause__ is not None else error
    return isinstance(cause, _NEVER_WRITTEN)


async def _close_interpreter(interpreter: Any) -> None:
    """Release the code-interpreter client's own HTTP clients; never raises."""
    aclose = getattr(interpreter, "aclose", None)
    if aclose is None:
        return
    with contextlib.suppress(Exception):
        await aclose()


class _StreamEndedEarly(ConnectionError):
    """A run's event stream ended without the event that reports its end.

    The SDK reads a cleanly closed stream as a finished run, so a connection
    the server closed, a kernel killed mid-cell or a sandbox that went away
    would otherwise look like a success.
    """


def _stream_ended_early(kind: str, execution: Any) -> _StreamEndedEarly | None:
    """The failure of a run whose stream stopped before reporting completion or an error."""
    if execution.complete is not None or execution.error:
        return None
    return _StreamEndedEarly(f"The {kind} stream ended before the execution reported its end")


async def _kill(sandbox: Any) -> None:
    """Kill ``sandbox``; one the server no longer knows of counts as killed.

    A sandbox whose lease ran out has already been removed by the server, so
    its kill answers "not found": retrying that, or keeping the handle for a
    later ``terminate``, could never succeed.
    """
    try:
        await sandbox.kill()
    except SandboxApiException as exc:
        if exc.status_code != 404:
            raise
        logger.debug(f"OpenSandbox {getattr(sandbox, 'id', None)} was already gone from the server: {exc}")


async def _teardown_sandbox(sandbox: Any, *, interpreter: Any = None) -> None:
    """Kill, then close, a half-built sandbox; failures are logged, never raised.

    One coroutine, so that a caller can shield the kill and the close together:
    ``close()`` shuts the transport that ``kill()`` travels over, so the kill
    has to land first.
    """
    try:
        await terminate_with_retry(
            lambda: _kill(sandbox),
            timeout=DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS,
            error_message=ErrorMessage.SANDBOX_TERMINATE_FAILED,
        )
    except Exception as exc:
        logger.warning(f"Failed to kill a half-built OpenSandbox: {exc}")
    if interpreter is not None:
        await _close_interpreter(interpreter)
    with contextlib.suppress(Exception):
        await sandbox.close()


def _printed_output(execution: Any) -> str:
    """A finished run's stdout as printed, followed by its result texts.

    The SDK's ``Execution.text`` would turn carriage returns into line feeds
    and drop trailing line feeds, so the stream chunks are joined as they came.
    """
    printed = "".join(message.text for message in execution.logs.stdout or ())
    results = [result.text.rstrip("\n") for result in execution.result or () if result.text]
    if not results:
        return printed
    if printed and not printed.endswith("\n"):
        printed += "\n"
    return printed + "\n".join(results)


def _joined_lines(messages: Any) -> str:
    """Output messages joined with "\\n", each without its trailing line feeds."""
    return "\n".join(message.text.rstrip("\n") for message in messages or ())


class OpenSandbox(CodeInterpreterSandbox):
    """A code-interpreter sandbox on an OpenSandbox server.

    Obtain instances only through ``await OpenSandbox.create(...)``; the
    constructor records fields and contacts nothing. ``_sandbox`` (the SDK's
    sandbox handle) and ``_interpreter`` (the code-interpreter client) are set
    from a successful creation until a successful ``terminate``.
    """

    _BACKEND = "opensandbox"
    _DEFAULT_UPLOAD_DIR = Config.UPLOAD_DIR

    def __init__(
        self,
        language: str = Language.PYTHON,
        additional_packages: list[str] | None = None,
    ) -> None:
        """Record the language and packages; use ``create`` to get a live sandbox."""
        super().__init__(language=language, additional_packages=additional_packages)
        self._sandbox: Sandbox | None = None
        self._interpreter: _OSCiInterpreter | None = None

    # ---------------------------------------------------------- start-up hooks

    @classmethod
    async def _probe_jupyter(cls, sandbox: Sandbox, timeout: int) -> bool:
        """Wait up to ``timeout`` seconds for the in-sandbox Jupyter server to answer.

        Returns True once a probe printed "OK", False when the budget ran out
        (a missing server is not an error here; the client creation decides).
        Each probe runs under the smaller of its own cap and the time left.
        """
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        command = f"curl -sf http://127.0.0.1:{_JUPYTER_PORT}/api && echo OK || echo FAIL"
        opts = RunCommandOpts(timeout=timedelta(seconds=_JUPYTER_PROBE_COMMAND_TIMEOUT))
        while loop.time() < deadline:
            try:
                limit = min(_JUPYTER_PROBE_COMMAND_TIMEOUT, deadline - loop.time())
                execution = await asyncio.wait_for(sandbox.commands.run(command, opts=opts), limit)
                text = " ".join(message.text for message in execution.logs.stdout or ())
                if "OK" in text:
                    return True
            except Exception:
                pass
            await asyncio.sleep(_JUPYTER_POLL_INTERVAL)
        return False

    @staticmethod
    def _startup_kwargs(entrypoint: list[str] | None, kwargs: dict[str, Any]) -> dict[str, Any]:
        """Start command and environment of a new sandbox; consumes ``kwargs["env"]``."""
        env: dict[str, str] = {
            "JUPYTER_HOST": _JUPYTER_HOST,
            "JUPYTER_TOKEN": _JUPYTER_TOKEN,
            "EXECD_API_GRACE_SHUTDOWN": _EXECD_GRACE_SHUTDOWN,
        }
        caller_env = kwargs.pop("env", None)
        if caller_env:
            if not isinstance(caller_env, Mapping):
                raise TypeError(f"`env` must be a mapping of variable names to values, not {type(caller_env).__name__}")
            env.update(caller_env)
        return {"entrypoint": entrypoint or Config.DEFAULT_CI_ENTRYPOINT, "env": env}

    @classmethod
    async def _start_interpreter(cls, sandbox: Sandbox) -> _OSCiInterpreter | None:
        """Wait for the Jupyter server, then open the code-interpreter client on ``sandbox``.

        The client's own readiness check is skipped once the probe has seen the
        server; otherwise it runs, bounded like the probe, and decides.

        Raises:
            SandboxStartError: Stage "interpreter_init" when the client cannot
                be created; the SDK's exception is its cause.
        """
        ready = await cls._probe_jupyter(sandbox, timeout=_JUPYTER_PROBE_TIMEOUT)
        try:
            return await _OSCiInterpreter.create(
                sandbox=sandbox,
                ready_timeout=timedelta(seconds=_JUPYTER_PROBE_TIMEOUT),
                skip_health_check=bool(ready),
            )
        except Exception as exc:
            raise SandboxStartError(
                ErrorMessage.SANDBOX_START_FAILED.format(exc),
                stage=Stage.INTERPRETER_INIT,
                classifier=cls._is_transient_create_error,
            ) from exc

    # ------------------------------------------------------------------ creation

    @classmethod
    def _is_transient_create_error(cls, exc: BaseException) -> bool:
        """Whether one creation failure is worth another attempt (judges ``exc`` alone)."""
        return isinstance(
            exc,
            (
                SandboxReadyTimeoutException,
                SandboxUnhealthyException,
                PoolEmptyException,
                PoolAcquireFailedException,
                PoolStateStoreUnavailableException,
            ),
        )

    @classmethod
    @traced(SpanName.CREATE)
    async def create(
        cls,
        api_key: str | None = None,
        domain: str = Config.DEFAULT_DOMAIN,
        protocol: str = Config.DEFAULT_PROTOCOL,
        image: str = Config.DEFAULT_IMAGE,
        use_server_proxy: bool = True,
        ready_timeout: int = Config.DEFAULT_READY_TIMEOUT,
        language: str = Language.PYTHON,
        snapshot_id: str | None = None,
        snapshot_name: str | None = None,
        entrypoint: list[str] | None = None,
        additional_packages: list[str] | None = None,
        sandbox_timeout: int | None = None,
        create_retries: int = 3,
        create_backoff: float = 2.0,
        **kwargs: Any,
    ) -> Self:
        """Start a sandbox on an OpenSandbox server and return it ready for use.

        Args:
            api_key: API key of the server; registered for masking first.
            domain: Host and port of the server.
            protocol: "http" or "https".
            image: Container image; ignored when a snapshot is given.
            use_server_proxy: Reach the sandbox through the server's gateway.
            ready_timeout: Seconds to wait for the container to start (also
                the per-request timeout of the connection).
            language: Language handed to the interpreter.
            snapshot_id: Start from this snapshot.
            snapshot_name: Start from the newest ready snapshot of this name
                (not together with ``snapshot_id``).
            entrypoint: Start command; ``None`` or empty is the code-interpreter one.
            additional_packages: pip requirements installed once started.
            sandbox_timeout: Session lifetime in seconds (600 by default); an
                extra keyword ``timeout`` serves when this is ``None``.
            create_retries: Maximum number of attempts (at least 1).
            create_backoff: Seconds between attempts.
            **kwargs: Passed on to ``Sandbox.create``; an ``env`` mapping is
                merged over the injected Jupyter variables.

        Raises:
            ValueError: For both snapshot arguments, an invalid lifetime, retry
                count or backoff, or a pip option among the packages.
            TypeError: For packages that are not a list of strings.
            SandboxStartError: Stage "snapshot_resolve", "create",
                "execd_probe" or "interpreter_init".
            SandboxExecutionError: Stage "package_install"; the sandbox was killed.
        """
        set_current_span_attributes(**{SpanAttr.BACKEND: cls._BACKEND})
        register_secret(api_key)
        # A list that could never be installed must not cost a sandbox.
        check_additional_packages(additional_packages)
        snapshot_id = await cls._effective_snapshot_id(
            snapshot_id,
            snapshot_name,
            domain=domain,
            protocol=protocol,
            api_key=api_key,
            use_server_proxy=use_server_proxy,
            ready_timeout=ready_timeout,
        )
        set_current_span_attributes(**{SpanAttr.TEMPLATE_ID: snapshot_name or snapshot_id})
        session_timeout = resolve_sandbox_timeout(sandbox_timeout, kwargs=kwargs)
        return await cls._create_with_retries(
            create_retries,
            create_backoff,
            snapshot_id=snapshot_id,
            image=image,
            language=language,
            entrypoint=entrypoint,
            domain=domain,
            protocol=protocol,
            api_key=api_key,
            use_server_proxy=use_server_proxy,
            ready_timeout=ready_timeout,
            additional_packages=additional_packages,
            session_timeout=session_timeout,
            **kwargs,
        )

    @classmethod
    async def _create_once(
        cls,
        *,
        snapshot_id: str | None,
        image: str,
        language: str,
        entrypoint: list[str] | None,
        domain: str,
        protocol: str,
        api_key: str | None,
        use_server_proxy: bool,
        ready_timeout: int,
        additional_packages: list[str] | None,
        session_timeout: int,
        **kwargs: Any,
    ) -> Self:
        """One creation attempt; a sandbox whose set-up failed is killed and closed."""
        sandbox: Any = None
        interpreter: Any = None
        transient = cls._is_transient_create_error
        try:
            connection_config = ConnectionConfig(
                **connection_settings(
                    domain=domain,
                    protocol=protocol,
                    api_key=api_key,
                    ready_timeout=ready_timeout,
                    use_server_proxy=use_server_proxy,
                )
            )
            create_kwargs: dict[str, Any] = {
                "connection_config": connection_config,
                "ready_timeout": timedelta(seconds=ready_timeout),
                "timeout": timedelta(seconds=session_timeout),
                "skip_health_check": True,
                "resource_requests": DEFAULT_SANDBOX_RESOURCE_REQUESTS,
            }
            create_kwargs.update(cls._startup_kwargs(entrypoint, kwargs))
            create_kwargs.update(kwargs)
            try:
                if snapshot_id is not None:
                    sandbox = await Sandbox.create(snapshot_id=snapshot_id, **create_kwargs)
                else:
                    sandbox = await Sandbox.create(image, **create_kwargs)
            except Exception as exc:
                raise SandboxStartError(
                    ErrorMessage.SANDBOX_START_FAILED.format(exc),
                    stage=Stage.CREATE,
                    classifier=transient,
                ) from exc
            await cls._probe_execd(sandbox, snapshot_id or image, ready_timeout, transient)
            interpreter = await cls._start_interpreter(sandbox)
            instance = cls(language=language, additional_packages=additional_packages)
            instance._sandbox = sandbox
            instance._interpreter = interpreter
            await instance._setup_python_channels()
            return instance
        except (asyncio.CancelledError, Exception):
            if sandbox is not None:
                await cls._shielded_rollback(_teardown_sandbox(sandbox, interpreter=interpreter))
            raise

    @staticmethod
    async def _probe_execd(
        sandbox: Sandbox, source: str, ready_timeout: int, transient: Callable[[BaseException], bool]
    ) -> None:
        """Wait until the sandbox's execd daemon serves its filesystem API.

        The container may still be starting when the server reports the
        sandbox, so execd's ping is polled (quietly) until it answers or
        ``ready_timeout`` seconds have passed; then creating the default upload
        directory is the probe, bounded by the time left (at least a second).

        Raises:
            SandboxStartError: Stage "execd_probe", naming ``source`` (the
                snapshot id or the image), with the probe's failure as its cause.
        """
        loop = asyncio.get_running_loop()
        deadline = loop.time() + ready_timeout
        while loop.time() < deadline:
            with contextlib.suppress(Exception):
                if await asyncio.wait_for(sandbox.is_healthy(), deadline - loop.time()):
                    break
            await asyncio.sleep(_EXECD_POLL_INTERVAL)
        try:
            await asyncio.wait_for(
                sandbox.files.create_directories([WriteEntry(path=Config.UPLOAD_DIR)]),
                max(deadline - loop.time(), _EXECD_PROBE_FLOOR),
            )
        except Exception as exc:
            raise SandboxStartError(
                ErrorMessage.EXECD_NOT_REACHABLE.format(source),
                stage=Stage.EXECD_PROBE,
                classifier=transient,
            ) from exc

    @staticmethod
    async def _effective_snapshot_id(
        snapshot_id: str | None,
        snapshot_name: str | None,
        *,
        domain: str,
        protocol: str,
        api_key: str | None,
        use_server_proxy: bool,
        ready_timeout: int,
    ) -> str | None:
        """The snapshot id to create from: ``snapshot_id``, or the newest ready one of ``snapshot_name``.

        Raises:
            ValueError: When both are given.
            SandboxStartError: Stage "snapshot_resolve" when no ready snapshot
                has the name (or the listing failed).
        """
        if snapshot_name is None:
            return snapshot_id
        if snapshot_id is not None:
            raise ValueError("Provide at most one of snapshot_id or snapshot_name")
        connection_config = ConnectionConfigSync(
            **connection_settings(
                domain=domain,
                protocol=protocol,
                api_key=api_key,
                ready_timeout=ready_timeout,
                use_server_proxy=use_server_proxy,
            )
        )
        resolved = await asyncio.to_thread(
            newest_ready_snapshot_id, snapshot_name, connection_config=connection_config
        )
        if resolved is None:
            raise SandboxStartError(
                f"No Ready OpenSandbox snapshot named {snapshot_name!r}",
                stage=Stage.SNAPSHOT_RESOLVE,
            )
        return resolved

    # ------------------------------------------------------------ code execution

    @traced(SpanName.EXECUTE_CODE)
    async def execute_code(
        self,
        code: str,
        timeout: int | None = None,
        files: list[Attachment] | None = None,
        upload_dir: str | None = None,
        on_stdout: Callable[[str], Any] | None = None,
        on_stderr: Callable[[str], Any] | None = None,
        **kwargs: Any,
    ) -> ExecutionResult:
        """Run ``code`` on the sandbox's Jupyter kernel and report the outcome as a result.

        Args:
            code: The code to run; kernel state persists across calls.
            timeout: Seconds; ``None`` is 30, zero or less no limit. At the
                limit the kernel is interrupted and the output streamed so far
                is returned with status "timeout".
            files: Attachments uploaded (in one request) before the run.
            upload_dir: Where the attachments go; ``None`` is "/tmp/files".
            on_stdout: Called with each streamed stdout chunk, less its
                trailing line feeds. One that raises is not called again and
                does not stop the code; the finished run is an "error" naming
                it, not retry safe, with the whole output.
            on_stderr: The same for stderr.
            **kwargs: Accepted and ignored.

        Returns:
            "success" or "error" (the kernel's "name: value") for a finished run;
            "timeout"; "error" for a failed upload (the code did not run); for
            a broken transport "timeout" (read time-out), "error" with a
            retry-safe failure detail when the request provably never reached
            the sandbox, else "unknown" (also for a stream that ended before
            the run reported its end), with the output streamed so far.

        Raises:
            TypeError: ``code`` is not a str (before anything is sent).
            SandboxNotInitializedError: Before ``create`` or after ``terminate``.
        """
        check_code(code)
        set_current_span_attributes(**{SpanAttr.BACKEND: self._BACKEND})
        if not self._sandbox or not self._interpreter:
            raise SandboxNotInitializedError(ErrorMessage.SANDBOX_NOT_INITIALIZED)
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: self.sandbox_id})
        effective_timeout = resolve_timeout(timeout)
        start_time = time.time()
        execution_id: str | None = None

        async def _capture_init(message: Any) -> None:
            nonlocal execution_id
            execution_id = getattr(message, "id", None)

        streamed = StreamedOutput()
        # The SDK logs and drops a handler's exception, so a raising callback
        # would otherwise read as a clean success.
        callbacks = [GuardedCallback.wrap("on_stdout", on_stdout), GuardedCallback.wrap("on_stderr", on_stderr)]
        bound = asyncio.timeout(None)
        try:
            if files:
                await self._upload_files(files, upload_dir)
            handlers = ExecutionHandlers(
                on_init=_capture_init,
                on_stdout=self._make_output_handler(streamed, "stdout", callbacks[0]),
                on_stderr=self._make_output_handler(streamed, "stderr", callbacks[1]),
            )
            bound = asyncio.timeout(effective_timeout)
            async with bound:
                execution = await self._interpreter.codes.run(code, language=self.language, handlers=handlers)
            if (cut := _stream_ended_early("code", execution)) is not None:
                raise cut
            error = execution.error
            finished = finish_result(
                ExecutionStatus.ERROR if error else ExecutionStatus.SUCCESS,
                code,
                start_time,
                stdout=_printed_output(execution),
                stderr=_joined_lines(execution.logs.stderr),
                error=f"{error.name}: {error.value}" if error else "",
            )
            return with_callback_failures(finished, callbacks)
        # Only this call's own deadline is a time-out; a TimeoutError from
        # anywhere else is reported by the arms below as the failure it is.
        except TimeoutError if bound.expired() else ():
            set_current_span_attributes(**{SpanAttr.STATUS: ExecutionStatus.TIMEOUT.value})
            await self._interrupt_kernel(execution_id)
            return finish_result(
                ExecutionStatus.TIMEOUT,
                code,
                start_time,
                stdout=streamed.render("stdout"),
                stderr=streamed.render("stderr"),
                error=ErrorMessage.EXECUTION_TIMEOUT.format(effective_timeout),
            )
        except (SandboxConnectionException, SandboxTimeoutException, _StreamEndedEarly) as exc:
            return self._transport_failure_result(
                exc,
                code,
                start_time,
                stdout=streamed.render("stdout"),
                stderr=streamed.render("stderr"),
                retry_safe=streamed.retry_safe(exc, _never_written),
            )
        except Exception as exc:
            # Named by its type when it says nothing (the SDK's bare TimeoutError): never an empty error.
            return finish_result(
                ExecutionStatus.ERROR,
                code,
                start_time,
                stdout=streamed.render("stdout"),
                stderr=streamed.render("stderr"),
                error=failure_reason(exc),
            )

    @staticmethod
    def _make_output_handler(
        streamed: StreamedOutput, stream: str, forward: Callable[[str], Any] | None
    ) -> Callable[[Any], Any]:
        """The SDK's async handler for one stream: record each chunk, then forward it.

        The chunk is recorded before the caller's callback runs, so a callback
        that raises still leaves it in the record (and makes the run not retry
        safe); pass the callback as a ``GuardedCallback`` so that it cannot
        cut the run short.
        """

        async def _handler(message: Any) -> None:
            streamed.relay(stream, getattr(message, "text", None) or "", forward)

        return _handler

    async def _interrupt_kernel(self, execution_id: str | None) -> None:
        """Ask the kernel to stop ``execution_id``; best effort, bounded, never raises."""
        if not execution_id or not self._interpreter:
            return
        try:
            await asyncio.wait_for(self._interpreter.codes.interrupt(execution_id), _INTERRUPT_TIMEOUT)
        except Exception as exc:
            reason = str(exc) or f"no answer within {_INTERRUPT_TIMEOUT} seconds"
            logger.warning(f"Failed to interrupt kernel execution {execution_id}: {reason}")

    def _transport_failure_result(
        self,
        error: BaseException,
        code: str,
        start_time: float,
        *,
        stdout: str = "",
        stderr: str = "",
        retry_safe: bool | None = None,
    ) -> ExecutionResult:
        """The result of a run whose transport failed.

        A read time-out beneath the SDK's exception is "timeout". Otherwise the
        run is "error" and retry safe when the request provably was never
        written (``retry_safe``, when given, is the caller's stricter verdict,
        for example once output has streamed), else "unknown".
        """
        cause = error.__cause__ if error.__cause__ is not None else error
        text = redacted_chain(error)
        if isinstance(cause, httpx.ReadTimeout):
            return finish_result(ExecutionStatus.TIMEOUT, code, start_time, stdout=stdout, stderr=stderr, error=text)
        return transport_failure_result(
            code,
            start_time,
            retry_safe=_never_written(error) if retry_safe is None else retry_safe,
            error=text,
            exception_type=qualified_type(cause),
            stdout=stdout,
            stderr=stderr,
        )

    # ------------------------------------------------------------ shell commands

    @traced(SpanName.EXECUTE_COMMAND)
    async def execute_command(
        self,
        cmd: str,
        *,
        env: dict[str, str] | None = None,
        timeout: float | None = None,
    ) -> ExecutionResult:
        """Run a shell command through execd and report its outcome as a result.

        ``timeout`` of ``None`` is 30 seconds, zero or less no limit. A non-zero
        exit or an execution error is an "error" result whose error is the
        trimmed stderr, else "name: value", else the exit code. A stream that
        ended before the command reported its end is "unknown" (not retry
        safe), with the output that arrived.

        Raises:
            SandboxNotInitializedError: Before ``create`` or after ``terminate``.
        """
        set_current_span_attributes(**{SpanAttr.BACKEND: self._BACKEND})
        if not self._sandbox:
            raise SandboxNotInitializedError(ErrorMessage.SANDBOX_NOT_INITIALIZED)
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: self.sandbox_id})
        effective_timeout = resolve_timeout(timeout)
        start_time = time.time()
        bound = asyncio.timeout(effective_timeout)
        try:
            run_kwargs: dict[str, Any] = {}
            if env is not None:
                run_kwargs["opts"] = RunCommandOpts(envs=env)
            async with bound:
                execution = await self._sandbox.commands.run(cmd, **run_kwargs)
            stdout = _joined_lines(execution.logs.stdout)
            stderr = _joined_lines(execution.logs.stderr)
            if (cut := _stream_ended_early("command", execution)) is not None:
                return self._transport_failure_result(cut, cmd, start_time, stdout=stdout, stderr=stderr)
            exit_code = execution.exit_code
            error = execution.error
            error_text = ""
            if error or (exit_code is not None and exit_code != 0):
                if stderr.strip():
                    error_text = stderr.strip()
                elif error:
                    error_text = f"{error.name}: {error.value}"
                else:
                    error_text = f"command exited with code {exit_code}"
            return finish_result(
                ExecutionStatus.ERROR if error_text else ExecutionStatus.SUCCESS,
                cmd,
                start_time,
                stdout=stdout,
                stderr=stderr,
                error=error_text,
            )
        except TimeoutError if bound.expired() else ():
            return finish_result(
                ExecutionStatus.TIMEOUT, cmd, start_time, error=ErrorMessage.EXECUTION_TIMEOUT.format(effective_timeout)
            )
        except (SandboxConnectionException, SandboxTimeoutException) as exc:
            return self._transport_failure_result(exc, cmd, start_time)
        except Exception as exc:
            return finish_result(ExecutionStatus.ERROR, cmd, start_time, error=failure_reason(exc))

    async def set_timeout(self, seconds: int) -> None:
        """Renew the sandbox's lease: the server keeps it for ``seconds`` from now.

        Never raises: before start (or after ``terminate``) there is nothing to
        renew and a debug record says so; a value that is not a positive
        number of seconds, or a renewal the server refuses or does not answer
        within the connection's request timeout, is a warning naming the
        sandbox, and the lease stays as it was.
        """
        if self._sandbox is None:
            logger.debug(f"set_timeout({seconds}) ignored: the {self._BACKEND} sandbox is not started")
            return
        # An int needs no finiteness check (and one beyond the float range
        # would make math.isfinite raise).
        if isinstance(seconds, bool) or not (
            (isinstance(seconds, int) and seconds > 0)
            or (isinstance(seconds, float) and math.isfinite(seconds) and seconds > 0)
        ):
            logger.warning(
                f"set_timeout({seconds!r}) ignored for {self._BACKEND} sandbox {self.sandbox_id}: "
                "seconds must be a positive number"
            )
            return
        try:
            await self._sandbox.renew(timedelta(seconds=seconds))
        except Exception as exc:
            logger.warning(
                f"Failed to renew the lease of {self._BACKEND} sandbox {self.sandbox_id} "
                f"to {seconds} seconds: {redacted_chain(exc)}"
            )

    @property
    def sandbox_id(self) -> str | None:
        """The server's identifier of the live sandbox, or ``None``."""
        if self._sandbox is None:
            return None
        identifier = getattr(self._sandbox, "id", None)
        if identifier:
            return identifier
        return getattr(self._sandbox, "sandbox_id", None)

    # ------------------------------------------------------------------ teardown

    @traced(SpanName.TERMINATE)
    async def terminate(self, *, timeout: float = DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS) -> None:
        """Kill the sandbox (retried under ``timeout`` seconds), then close its handles.

        When the kill finally fails, ``SandboxTerminateError`` is raised and the
        handles stay, so ``terminate`` can be called again. A sandbox the
        server has already removed (its lease ran out) counts as terminated.
        Without a sandbox (never created, or already terminated) it returns at
        once, whatever ``timeout`` is.

        Raises:
            ValueError: ``timeout`` is zero or less, a bool, or NaN (before anything is torn down).
            TypeError: ``timeout`` is not a number.
            SandboxTerminateError: Every kill attempt failed or the cap passed.
        """
        set_current_span_attributes(**{SpanAttr.BACKEND: self._BACKEND})
        if not self._sandbox:
            return
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: self.sandbox_id})
        sandbox = self._sandbox
        await terminate_with_retry(
            lambda: _kill(sandbox), timeout=timeout, error_message=ErrorMessage.SANDBOX_TERMINATE_FAILED
        )
        if self._interpreter is not None:
            await _close_interpreter(self._interpreter)
        with contextlib.suppress(Exception):
            await self._sandbox.close()
        self._sandbox = None
        self._interpreter = None

    # ------------------------------------------------------------- file transfer

    @traced(SpanName.DOWNLOAD)
    async def download_file(
        self, file_path: str, *, timeout: float | None = DEFAULT_DOWNLOAD_TIMEOUT
    ) -> bytes | None:
        """Read one file out of the sandbox, or ``None`` when that fails or runs out of time.

        ``timeout`` of ``None`` is 30 seconds, zero or less no limit; only a
        time-out is logged.

        Raises:
            SandboxNotInitializedError: Before ``create`` or after ``terminate``.
        """
        set_current_span_attributes(**{SpanAttr.BACKEND: self._BACKEND})
        if not self._sandbox:
            raise SandboxNotInitializedError(ErrorMessage.SANDBOX_NOT_INITIALIZED)
        return await self._download_within(
            file_path, timeout, lambda _limit: self._sandbox.files.read_bytes(file_path), log=logger
        )

    async def _write_files(self, entries: list[tuple[str, bytes]]) -> None:
        """Write every (path, content) pair in one request; failures propagate."""
        assert self._sandbox is not None
        await self._sandbox.files.write_files([WriteEntry(path=path, data=data) for path, data in entries])
