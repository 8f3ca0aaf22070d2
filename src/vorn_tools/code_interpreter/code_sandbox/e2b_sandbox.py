"""Sandbox backend on the E2B cloud service.

``E2BSandbox.create(...)`` starts a remote sandbox through the E2B SDKs with
retried creation and a rollback of a half-built sandbox; the instance runs
code on the sandbox's code-interpreter channel with streamed, bounded output,
runs shell commands, uploads attachments in one batch, downloads files through
the sandbox's signed URL with a filesystem fallback, renews its session lease
and tears down with retries. Requires the extra ``vorn-tools[e2b]``.
"""

from __future__ import annotations

import asyncio
import math
import time
import warnings
from collections.abc import Callable
from typing import Any, Self

import httpx
from connectrpc.code import Code
from connectrpc.errors import ConnectError as RpcConnectError
from e2b.envd.rpc import is_ambiguous_unavailable, is_transport_failure
from e2b.exceptions import (
    AuthenticationException,
    InvalidArgumentException,
    RateLimitException,
    SandboxException,
    SandboxUnreachableException,
    ServiceBusyException,
    TimeoutException,
    is_sandbox_not_found_message,
)
from e2b.sandbox.commands.command_handle import CommandExitException
from e2b.sandbox_async.commands.command import Commands
from e2b.sandbox_async.filesystem.filesystem import Filesystem, WriteEntry
from e2b_code_interpreter import AsyncSandbox
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.code_interpreter_sandbox import CodeInterpreterSandbox
from vorn_tools.code_interpreter.code_sandbox.constants import (
    DEFAULT_DOWNLOAD_TIMEOUT,
    DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS,
    DEFAULT_UPLOAD_DIR,
    DOWNLOAD_TIMEOUT_MESSAGE,
    Language,
    UploadErrorMessage,
)
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.utils import (
    StreamedOutput,
    check_additional_packages,
    check_code,
    finish_result,
    resolve_sandbox_timeout,
    resolve_timeout,
    terminate_with_retry,
)
from vorn_tools.code_interpreter.errors import (
    SandboxExecutionError,
    SandboxNotInitializedError,
    SandboxStartError,
    Stage,
    _cause_chain,
)
from vorn_tools.code_interpreter.observability import (
    SpanAttr,
    SpanName,
    set_current_span_attributes,
    traced,
)
from vorn_tools.code_interpreter.redaction import (
    get_redacting_logger,
    register_secret,
)

logger = get_redacting_logger(__name__)

_TERMINATE_FAILED = "Failed to terminate E2B sandbox: {}"
_ROLLBACK_FAILED = "Failed to kill E2B sandbox {} after a failed create: {{}}"
_URL_ATTEMPT_SHARE = 0.5
# Download URLs expire this long after the download's deadline (clock skew
# between client and service included), so a URL that reaches a log dies soon.
_URL_EXPIRY_MARGIN = 30
_RESET_TRANSPORT_DEPRECATION = (
    "E2BSandbox.reset_transport() is a no-op and is scheduled for removal in the next minor "
    "release. E2B's pyqwest transports are not bound to an event loop, so there is no "
    "transport state to reset; stop calling it."
)

# Gateway answers of the control plane that mean "not placed yet, try again":
# 504 is a creation that timed out at the gateway. (503 arrives as the SDK's
# ServiceBusyException, which is not a SandboxException.)
_TRANSIENT_API_STATUSES = frozenset({504})

# The SDK's HTTP transport turns run_code's limit into one whole-request
# deadline summed over the read and write phases, so the SDK alone stops a run
# only after about twice the limit. The run is also bounded here, this much
# above the limit: the SDK's own timeout still comes first whenever it holds.
# Commands get the same bound: on some Python versions the RPC client's own
# deadline does not interrupt a stream that has gone quiet.
_RUN_CODE_GRACE = 0.5
_EXECUTION_TIMED_OUT = "Execution exceeded timeout of {} seconds"
_COMMAND_TIMED_OUT = "Command exceeded timeout of {} seconds"
# How run_code words every 502 of the proxy in front of the sandbox, which it
# raises as a bare TimeoutException: it has no type for a lost connection.
_RUN_CODE_GATEWAY_ANSWER = "This error is likely due to sandbox timeout"


def _never_sent(error: BaseException) -> bool:
    """Whether a failure proves that the request never reached the sandbox.

    True when the failure or one of its explicit causes is a connection that
    was never established: httpx's ``ConnectError`` (what the SDK's HTTP
    clients raise when connecting fails), or, beneath the RPC client's own
    error, the builtin ``ConnectionError`` / ``ConnectionRefusedError`` or the
    connect timeout (a ``ConnectionError`` that is also a ``TimeoutError``)
    that the SDK's pyqwest transport raises only before a request was written.
    Anything else (a reset or a dropped stream after the request was sent
    included) leaves the outcome open.
    """
    for link in _cause_chain(error):
        if isinstance(link, httpx.ConnectError):
            return True
        if type(link) in (ConnectionError, ConnectionRefusedError):
            return True
        if isinstance(link, ConnectionError) and isinstance(link, TimeoutError):
            return True
    return False


def _probed_failure(error: BaseException) -> Exception | None:
    """The failure the SDK was probing the sandbox's health after when our bound ran out, or None.

    Both calls look the sandbox up once a connection broke (a command also once
    the proxy ended it), while that failure is still being handled, so it is the
    implicit context of the cancellation our bound's ``TimeoutError`` is raised
    over (its context on every Python, its cause too from 3.12). The limit did
    not run out on the run but on the probe: that failure, not the limit,
    decides the outcome. (Python 3.11's ``wait_for``, cancelled, raises a fresh
    cancellation without it; there the limit stands.)
    """
    cancelled = error.__context__
    failure = cancelled.__context__ if isinstance(cancelled, asyncio.CancelledError) else None
    if isinstance(failure, (httpx.ReadError, httpx.RemoteProtocolError)):
        return failure
    if isinstance(failure, Exception) and (is_transport_failure(failure) or is_ambiguous_unavailable(failure)):
        return failure
    return None


def _failure_status(error: BaseException) -> ExecutionStatus | None:
    """The status a failed run or command reports, or None for a transport failure.

    A connection to a sandbox not known to be gone that was refused, broke or
    was ended at the proxy in front of it reaches us as the SDK's timeout:
    commands raise its ``SandboxUnreachableException``, run_code a bare
    ``TimeoutException`` for the proxy's 502 (one saying the sandbox was not
    found means it is gone). Those are transport failures, "unknown" unless the
    request provably never left; "timeout" is left for a limit that ran out and
    a sandbox gone at the end of its lifetime. A command's deadline answered
    by the proxy before its stream began (its 504 or 499) is one too: a deadline
    the SDK's own clock enforced is caused by a ``TimeoutError``.
    """
    if _never_sent(error) or isinstance(error, SandboxUnreachableException):
        return None
    if isinstance(error, TimeoutException):
        answer, text = error.__context__, str(error)
        answered_by_proxy = (
            isinstance(answer, RpcConnectError)
            and answer.code in (Code.DEADLINE_EXCEEDED, Code.CANCELED)
            and answer.__cause__ is None
        ) or (
            type(error) is TimeoutException
            and _RUN_CODE_GATEWAY_ANSWER in text
            and not is_sandbox_not_found_message(text)
        )
        return None if answered_by_proxy else ExecutionStatus.TIMEOUT
    if isinstance(error, (SandboxException, AuthenticationException)):
        return ExecutionStatus.ERROR
    return None


def _client_bound(limit: float | None) -> asyncio.Timeout:
    """The client-side bound around one run: ``limit`` plus the grace, or none without a limit."""
    return asyncio.timeout(None if limit is None else limit + _RUN_CODE_GRACE)


def _join_chunks(chunks: list[str] | None) -> str:
    """The output of a finished run as printed.

    The code-interpreter service streams raw stream chunks that keep their own
    line breaks (several prints may share one chunk), so they are joined
    without a separator.
    """
    return "".join(chunks) if chunks else ""


class E2BSandbox(CodeInterpreterSandbox):
    """A code-interpreter sandbox on the E2B service.

    Obtain instances only through ``await E2BSandbox.create(...)``; the
    constructor records fields and contacts nothing. The provider's handles
    ``sandbox``, ``files`` and ``commands`` are bound from a successful
    creation until a successful ``terminate``.
    """

    _BACKEND = "e2b"
    _DEFAULT_UPLOAD_DIR = DEFAULT_UPLOAD_DIR
    _never_sent = staticmethod(_never_sent)

    def __init__(
        self,
        language: str = Language.PYTHON,
        additional_packages: list[str] | None = None,
    ) -> None:
        """Record the language and packages; use ``create`` to get a live sandbox."""
        super().__init__(language=language, additional_packages=additional_packages)
        self.sandbox: AsyncSandbox | None = None
        self.files: Filesystem | None = None
        self.commands: Commands | None = None

    # ------------------------------------------------------------------ creation

    @classmethod
    def _is_transient_create_error(cls, exc: BaseException) -> bool:
        """Whether one creation failure is worth another attempt.

        Cold-start timeouts (the provider's and the HTTP layer's), rate limits,
        a busy service and connections that could not be opened are transient;
        a bad key or an unknown template is not. Judges ``exc`` alone; callers
        walk the chain of explicit causes.
        """
        if isinstance(exc, (TimeoutException, RateLimitException, ServiceBusyException)):
            return True
        if isinstance(exc, (httpx.TimeoutException, httpx.ConnectError)):
            return True
        return isinstance(exc, SandboxException) and exc.status_code in _TRANSIENT_API_STATUSES

    @classmethod
    @traced(SpanName.CREATE, **{SpanAttr.BACKEND: "e2b"})
    async def create(
        cls,
        api_key: str,
        domain: str | None = None,
        template: str | None = None,
        language: str = Language.PYTHON,
        additional_packages: list[str] | None = None,
        sandbox_timeout: int | None = None,
        create_retries: int = 3,
        create_backoff: float = 2.0,
        ensure_default_template: bool = False,
        **kwargs: Any,
    ) -> Self:
        """Start a sandbox on the E2B service and return it ready for use.

        Args:
            api_key: E2B API key; registered for masking before anything else.
            domain: E2B domain; ``None`` is the public service.
            template: E2B template; ``None`` is E2B's default code-interpreter template.
            language: Language of the code channel; only Python gets
                ``additional_packages`` installed automatically.
            additional_packages: pip requirements installed once after start.
            sandbox_timeout: Session lifetime in seconds (600 by default); an
                extra keyword ``timeout`` is taken as a legacy alias.
            create_retries: Maximum number of attempts (at least 1).
            create_backoff: Seconds between attempts (not negative).
            ensure_default_template: When true and no template is given, make
                sure the shared default template exists (building it on first
                use, which takes minutes) and create from it.
            **kwargs: Further options of ``AsyncSandbox.create`` (for example
                ``envs``, ``metadata``, ``request_timeout``). The SDK's own
                retries of rate-limited and gateway answers are off, so that
                ``create_retries`` counts every attempt, unless ``retries`` is
                given here.

        Raises:
            ValueError: For an invalid lifetime, retry count or backoff, or a
                package entry that is a pip option; nothing is created then.
            TypeError: For ``additional_packages`` given as one string.
            SandboxStartError: When the provider refused to start the sandbox
                (stage "create"; ``transient`` tells whether retrying may help).
            SandboxExecutionError: When installing the packages failed (stage
                "package_install"); the sandbox was killed.
        """
        register_secret(api_key)
        session_timeout = resolve_sandbox_timeout(sandbox_timeout, kwargs=kwargs)
        check_additional_packages(additional_packages)
        kwargs.setdefault("retries", 0)
        if ensure_default_template and template is None:
            from vorn_tools.code_interpreter.code_template.e2b_template_builder import (
                E2BTemplateBuilder,
            )

            builder = E2BTemplateBuilder(api_key=api_key, domain=domain)
            template = await asyncio.to_thread(builder.ensure_default)
        set_current_span_attributes(**{SpanAttr.TEMPLATE_ID: template})
        return await cls._create_with_retries(
            create_retries,
            create_backoff,
            api_key=api_key,
            domain=domain,
            template=template,
            language=language,
            additional_packages=additional_packages,
            session_timeout=session_timeout,
            **kwargs,
        )

    @classmethod
    async def _create_once(
        cls,
        *,
        api_key: str,
        domain: str | None,
        template: str | None,
        language: str,
        additional_packages: list[str] | None,
        session_timeout: int,
        **kwargs: Any,
    ) -> Self:
        """One creation attempt; a sandbox that started but failed its set-up is killed."""
        try:
            sandbox = await AsyncSandbox.create(
                api_key=api_key,
                domain=domain,
                template=template,
                timeout=session_timeout,
                **kwargs,
            )
        except Exception as exc:
            raise SandboxStartError(
                f"Failed to start E2B sandbox: {exc}",
                stage=Stage.CREATE,
                classifier=cls._is_transient_create_error,
            ) from exc
        try:
            instance = cls(language=language, additional_packages=additional_packages)
            instance.sandbox = sandbox
            instance.files = sandbox.files
            instance.commands = sandbox.commands
            await instance._setup_python_channels()
        except (asyncio.CancelledError, Exception):
            # The rollback re-raises a cancellation that arrives while it runs,
            # so a cancelled task never goes on to another attempt.
            await cls._shielded_rollback(cls._rollback(sandbox))
            raise
        return instance

    @staticmethod
    async def _rollback(sandbox: AsyncSandbox) -> None:
        """Kill a sandbox whose set-up failed, retried under the teardown cap; a failure is logged."""
        try:
            await terminate_with_retry(
                sandbox.kill,
                timeout=DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS,
                error_message=_ROLLBACK_FAILED.format(getattr(sandbox, "sandbox_id", None)),
            )
        except Exception as exc:
            logger.warning(str(exc))

    # ------------------------------------------------------------- code and commands

    @traced(SpanName.EXECUTE_CODE, **{SpanAttr.BACKEND: "e2b"})
    async def execute_code(
        self,
        code: str,
        timeout: int | None = None,
        files: list[Attachment] | None = None,
        upload_dir: str | None = None,
        env: dict[str, str] | None = None,
        on_stdout: Callable[[str], Any] | None = None,
        on_stderr: Callable[[str], Any] | None = None,
        **kwargs: Any,
    ) -> ExecutionResult:
        """Run ``code`` on the sandbox's code channel and report the outcome as a result.

        Args:
            code: The code to run.
            timeout: Seconds; ``None`` is 30, zero or less no limit. The run
                is stopped at the limit (at most half a second later), with
                the output streamed so far.
            files: Attachments uploaded (in one batch) before the run.
            upload_dir: Where the attachments go; ``None`` is "/files".
            env: Environment variables of this run.
            on_stdout: Called with each streamed stdout chunk, less its
                trailing line breaks. One that raises ends the run there:
                the result is "unknown", not retry safe, and later output is
                lost.
            on_stderr: The same for stderr.
            **kwargs: Accepted and ignored.

        Returns:
            "success" or "error" for a finished run (the error text is the
            traceback then "name: value"), "timeout" with the output streamed so
            far, or, when the transport failed, "error" with a retry-safe
            failure detail if the request provably never reached the sandbox,
            else "unknown".

        Raises:
            SandboxNotInitializedError: Before ``create`` or after ``terminate``.
            ValueError: For a ``timeout`` that is a bool, NaN or not finite.
            TypeError: For ``code`` that is not a ``str``, or a ``timeout`` that is not a number.
        """
        check_code(code)
        if not self.sandbox or not self.files or not self.commands:
            raise SandboxNotInitializedError()
        start_time = time.time()
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: self.sandbox_id})
        effective_timeout = resolve_timeout(timeout)
        streamed = StreamedOutput()
        try:
            if files:
                await self._upload_files(files, upload_dir)
        except Exception as exc:
            return finish_result(ExecutionStatus.ERROR, code, start_time, error=exc)

        run_kwargs: dict[str, Any] = {
            "language": self.language,
            "timeout": 0 if effective_timeout is None else effective_timeout,
        }
        if env is not None:
            run_kwargs["envs"] = env
        run_kwargs["on_stdout"] = self._make_output_handler(streamed, "stdout", on_stdout)
        run_kwargs["on_stderr"] = self._make_output_handler(streamed, "stderr", on_stderr)

        bound = _client_bound(effective_timeout)
        try:
            async with bound:
                execution = await self.sandbox.run_code(code, **run_kwargs)
            logs = execution.logs
            return finish_result(
                ExecutionStatus.ERROR if execution.error else ExecutionStatus.SUCCESS,
                code,
                start_time,
                stdout=_join_chunks(logs.stdout) if logs else "",
                stderr=_join_chunks(logs.stderr) if logs else "",
                error=self._format_execution_error(execution.error),
            )
        except Exception as exc:
            stdout, stderr = streamed.render("stdout"), streamed.render("stderr")
            error: Exception = exc
            if bound.expired():
                error = _probed_failure(exc) or TimeoutException(_EXECUTION_TIMED_OUT.format(effective_timeout))
            status = _failure_status(error)
            if status is ExecutionStatus.TIMEOUT:
                return finish_result(status, code, start_time, stdout=stdout, stderr=stderr, error=error)
            if status is ExecutionStatus.ERROR and not streamed.seen:
                return finish_result(status, code, start_time, error=error)
            return self._transport_failure_result(
                error, code, start_time, stdout=stdout, stderr=stderr, retry_safe=streamed.retry_safe(error, _never_sent)
            )

    @staticmethod
    def _format_execution_error(error: Any) -> str:
        """Render the provider's error record traceback first, then "name: value"."""
        if not error:
            return ""
        name = getattr(error, "name", None) or ""
        value = getattr(error, "value", None) or ""
        head = f"{name}: {value}".strip(": ").strip()
        traceback_text = getattr(error, "traceback", None) or ""
        if traceback_text:
            if head:
                return f"{traceback_text}\n{head}".strip()
            return traceback_text.strip()
        return head or str(error)

    @staticmethod
    def _make_output_handler(
        streamed: StreamedOutput, stream: str, forward: Callable[[str], Any] | None
    ) -> Callable[[Any], None]:
        """The per-stream handler given to the provider: record each chunk, then forward it."""

        def handle(message: Any) -> None:
            streamed.relay(stream, getattr(message, "line", None) or "", forward)

        return handle

    @traced(SpanName.EXECUTE_COMMAND, **{SpanAttr.BACKEND: "e2b"})
    async def execute_command(
        self,
        cmd: str,
        *,
        env: dict[str, str] | None = None,
        timeout: float | None = None,
    ) -> ExecutionResult:
        """Run a shell command and report its outcome as a result (output is not streamed).

        ``timeout`` of ``None`` is 30 seconds, zero or less no limit. A non-zero
        exit is an "error" result with the command's stdout and stderr.

        Raises:
            SandboxNotInitializedError: Before ``create`` or after ``terminate``.
        """
        if not self.sandbox or not self.commands:
            raise SandboxNotInitializedError()
        start_time = time.time()
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: self.sandbox_id})
        effective_timeout = resolve_timeout(timeout)
        run_kwargs: dict[str, Any] = {"timeout": 0 if effective_timeout is None else effective_timeout}
        if env is not None:
            run_kwargs["envs"] = env
        bound = _client_bound(effective_timeout)
        try:
            async with bound:
                result = await self.commands.run(cmd, **run_kwargs)
            return finish_result(
                ExecutionStatus.SUCCESS, cmd, start_time, stdout=result.stdout or "", stderr=result.stderr or ""
            )
        except CommandExitException as exc:
            return finish_result(
                ExecutionStatus.ERROR,
                cmd,
                start_time,
                stdout=exc.stdout or "",
                stderr=exc.stderr or "",
                error=exc.error or str(exc),
            )
        except Exception as exc:
            if bound.expired():
                exc = _probed_failure(exc) or TimeoutException(_COMMAND_TIMED_OUT.format(effective_timeout))
            if (status := _failure_status(exc)) is None:
                return self._transport_failure_result(exc, cmd, start_time)
            return finish_result(status, cmd, start_time, error=exc)

    # ------------------------------------------------------------------ lifecycle

    async def set_timeout(self, seconds: int) -> None:
        """Renew the session lease to ``seconds``; failures are logged, never raised."""
        if self.sandbox is None:
            return
        set_timeout_fn = getattr(self.sandbox, "set_timeout", None)
        if set_timeout_fn is None:
            return
        try:
            maybe_awaitable = set_timeout_fn(seconds)
            if hasattr(maybe_awaitable, "__await__"):
                await maybe_awaitable
        except Exception as exc:
            logger.warning(f"Failed to set sandbox timeout to {seconds}s: {exc}")

    @property
    def sandbox_id(self) -> str | None:
        """The provider's identifier of the live sandbox, or ``None``."""
        if self.sandbox is None:
            return None
        return getattr(self.sandbox, "sandbox_id", None)

    @staticmethod
    def reset_transport_singleton() -> None:
        """Deprecated no-op."""
        warnings.warn(_RESET_TRANSPORT_DEPRECATION, DeprecationWarning, stacklevel=2)

    def reset_transport(self) -> None:
        """Deprecated no-op."""
        warnings.warn(_RESET_TRANSPORT_DEPRECATION, DeprecationWarning, stacklevel=2)

    @traced(SpanName.TERMINATE, **{SpanAttr.BACKEND: "e2b"})
    async def terminate(self, *, timeout: float = DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS) -> None:
        """Kill the sandbox, retrying under a total cap of ``timeout`` seconds.

        The handles are cleared only after the kill succeeded; when it finally
        fails, ``SandboxTerminateError`` is raised and the handles stay, so
        ``terminate`` can be called again. Without a sandbox (never created, or
        already terminated) it returns at once, whatever ``timeout`` is.

        Raises:
            ValueError: ``timeout`` is zero or less, a bool, or NaN (before anything is torn down).
            TypeError: ``timeout`` is not a number.
        """
        if not self.sandbox:
            return
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: self.sandbox_id})
        await terminate_with_retry(self.sandbox.kill, timeout=timeout, error_message=_TERMINATE_FAILED)
        self.sandbox = None
        self.files = None
        self.commands = None

    # ---------------------------------------------------------------- file transfer

    @traced(SpanName.DOWNLOAD, **{SpanAttr.BACKEND: "e2b"})
    async def download_file(
        self, file_path: str, *, timeout: float | None = DEFAULT_DOWNLOAD_TIMEOUT
    ) -> bytes | None:
        """Read one file out of the sandbox, or ``None`` when that fails or runs out of time.

        The signed download URL is tried first (binary content arrives
        unaltered) with half the budget; the filesystem API gets the time
        that is left. ``timeout`` of ``None`` is 30 seconds, zero or less no limit.

        Raises:
            SandboxNotInitializedError: Before ``create`` or after ``terminate``.
        """
        if not self.files:
            raise SandboxNotInitializedError()
        return await self._download_within(
            file_path,
            timeout,
            lambda limit: self._read_file(file_path, limit),
            log=logger,
            timeout_errors=(TimeoutError, httpx.TimeoutException),
            on_error=lambda exc: logger.warning(f"Failed to download file {file_path}: {exc}"),
        )

    async def _read_file(self, file_path: str, effective_timeout: float | None) -> bytes | None:
        """The URL attempt, then the filesystem read with the time that is left.

        Raises ``TimeoutError`` when the URL attempt used up the whole budget,
        so the download is reported as timed out rather than as an empty success.
        """
        if effective_timeout is None:
            content = await self._download_via_url(file_path, None)
            if content is not None:
                return content
            # The provider reads a request timeout of 0 as "no limit".
            return await self._read_via_filesystem(file_path, 0)
        deadline = time.monotonic() + effective_timeout
        content = await self._download_via_url(file_path, effective_timeout * _URL_ATTEMPT_SHARE)
        if content is not None:
            return content
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            # Not handed to the provider as 0, which would mean no limit at all.
            raise TimeoutError(DOWNLOAD_TIMEOUT_MESSAGE.format(file_path, effective_timeout))
        return await self._read_via_filesystem(file_path, remaining)

    async def _read_via_filesystem(self, file_path: str, request_timeout: float) -> bytes:
        """Read through the provider's filesystem API, as bytes."""
        assert self.files is not None
        content = await self.files.read(file_path, format="bytes", request_timeout=request_timeout)
        return bytes(content)

    async def _download_via_url(self, file_path: str, effective_timeout: float | None = None) -> bytes | None:
        """GET the sandbox's signed download URL; ``None`` (and a warning) on any failure.

        The signature expires shortly after ``effective_timeout``, the URL
        attempt's budget, so that the URL, which the HTTP client logs, is
        useless soon after.
        """
        if self.sandbox is None or not hasattr(self.sandbox, "download_url"):
            return None
        expiry = math.ceil(effective_timeout or 0) + _URL_EXPIRY_MARGIN
        try:
            try:
                url_or_awaitable = self.sandbox.download_url(file_path, use_signature_expiration=expiry)
            except InvalidArgumentException:
                # A sandbox without an access token signs nothing: its URL holds no secret.
                url_or_awaitable = self.sandbox.download_url(file_path)
            url = url_or_awaitable if isinstance(url_or_awaitable, str) else await url_or_awaitable
            async with httpx.AsyncClient(timeout=effective_timeout) as client:
                response = await client.get(url)
        except Exception as exc:
            logger.warning(f"URL download failed for {file_path}: {exc}")
            return None
        if response.status_code == httpx.codes.OK:
            return response.content
        logger.warning(f"URL download for {file_path} returned status {response.status_code}")
        return None

    async def _write_files(self, entries: list[tuple[str, bytes]]) -> None:
        """Write every entry in one provider batch; a short confirmation is an error."""
        assert self.files is not None
        result = await self.files.write_files([WriteEntry(path=path, data=data) for path, data in entries])
        if len(result) != len(entries):
            raise SandboxExecutionError(
                UploadErrorMessage.PARTIAL_WRITE.format(len(result), len(entries)),
                stage=Stage.EXECUTION,
            )

