"""Contract of sandboxes that run code, with the shared upload and install flows."""

import asyncio
import logging
from abc import abstractmethod
from collections.abc import Awaitable, Callable
from typing import TYPE_CHECKING, Any, Self

from vorn_tools.code_interpreter.code_sandbox.base_sandbox import BaseSandbox
from vorn_tools.code_interpreter.code_sandbox.constants import (
    DEFAULT_DOWNLOAD_TIMEOUT,
    DEFAULT_INSTALL_TIMEOUT,
    DEFAULT_UPLOAD_DIR,
    DOWNLOAD_TIMEOUT_MESSAGE,
    Language,
    PackageInstallErrorMessage,
    UploadErrorMessage,
)
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.utils import (
    build_upload_path,
    check_additional_packages,
    check_upload_filename,
    create_with_retry,
    get_install_code,
    resolve_timeout,
    supports_automatic_install,
    transport_failure_result,
)
from vorn_tools.code_interpreter.errors import SandboxExecutionError, Stage
from vorn_tools.code_interpreter.observability import (
    SpanAttr,
    SpanName,
    set_current_span_attributes,
    traced,
)
from vorn_tools.code_interpreter.redaction import get_redacting_logger, qualified_type, redacted_chain

if TYPE_CHECKING:
    from vorn_inference.schema import Attachment

logger = get_redacting_logger(__name__)


class CodeInterpreterSandbox(BaseSandbox):
    """Extended sandbox interface for backends that support shell commands and lifecycle control.

    Adds the sandbox's language and the packages to install into it, code
    execution with attachments and streamed output, shell commands, renewal of
    the session lease and the sandbox identifier. Backends reuse two flows held
    here: the attachment upload (``_upload_files``, customised through the
    ``_write_files`` hook) and the Python package installation
    (``_setup_python_channels``).
    """

    _BACKEND: str = ""
    _DEFAULT_UPLOAD_DIR: str | None = DEFAULT_UPLOAD_DIR

    def __init__(
        self,
        language: str = Language.PYTHON,
        additional_packages: list[str] | None = None,
        **kwargs: Any,
    ) -> None:
        """Initialize the sandbox with its language and the packages to install into it.

        Args:
            language: The sandbox's programming language, stored unchanged.
            additional_packages: pip requirement specifiers to install once the
                sandbox is ready. A non-empty list is kept as the same object;
                ``None`` or an empty list becomes a new empty list.
            **kwargs: Handed to ``BaseSandbox``, which ignores them.

        Raises:
            TypeError: When ``additional_packages`` is a single string or holds
                something other than strings.
            ValueError: When an entry starts with "-" (a pip option).
        """
        super().__init__(**kwargs)
        check_additional_packages(additional_packages)
        self.language = language
        self.additional_packages: list[str] = additional_packages if additional_packages else []

    # -- creation --------------------------------------------------------------

    @classmethod
    async def _create_with_retries(cls, attempts: int, backoff: float, /, **options: Any) -> Self:
        """Run the backend's ``_create_once(**options)`` under the creation retries.

        Only failures ``_is_transient_create_error`` accepts (on the failure or
        an explicit cause) are tried again, ``backoff`` seconds apart, up to
        ``attempts`` attempts. The new sandbox's id is recorded on the current span.
        """

        def attempt() -> Awaitable[Self]:
            return cls._create_once(**options)  # type: ignore[attr-defined]

        instance = await create_with_retry(
            attempt, is_transient=cls._is_transient_create_error, attempts=attempts, backoff=backoff
        )
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: instance.sandbox_id})
        return instance

    # -- package installation ------------------------------------------------

    @staticmethod
    def _never_sent(error: BaseException) -> bool:
        """Whether ``error`` proves the request never reached the sandbox.

        Backends that can tell override this; by default nothing is proven.
        """
        return False

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
        """The result of a run whose request or answer failed in transport.

        "error" and retry safe when the request provably never reached the
        sandbox (``retry_safe``, when given, is the caller's own verdict, for
        example once output has streamed; else ``_never_sent`` judges);
        otherwise "unknown", since the code may have run. The error text is
        the exception chain, masked.
        """
        return transport_failure_result(
            code,
            start_time,
            retry_safe=self._never_sent(error) if retry_safe is None else retry_safe,
            error=redacted_chain(error),
            exception_type=qualified_type(error),
            stdout=stdout,
            stderr=stderr,
        )

    def _detail(self, result: ExecutionResult) -> str:
        """The most informative failure text of a failed result."""
        return (
            result.error
            or result.stderr
            or f"{result.status.value} (exit code {result.exit_code})"
        )

    async def _setup_python_channels(self) -> None:
        """Install ``additional_packages``, or warn when the language has no automatic installer."""
        if not supports_automatic_install(self.language):
            logger.warning(self._non_python_skip_message())
            return
        await self._install_additional_packages()

    def _non_python_skip_message(self) -> str:
        """The warning logged when a non-Python sandbox skips the automatic setup."""
        dropped = (
            PackageInstallErrorMessage.PACKAGES_DROPPED.format(self.additional_packages)
            if self.additional_packages
            else ""
        )
        return PackageInstallErrorMessage.NON_PYTHON_SKIPPED.format(self.language, dropped, self.language)

    async def _install_additional_packages(self) -> None:
        """Run the package installer through ``execute_code`` and check its result.

        Raises:
            ValueError: When the language has no automatic installer (only when
                there are packages to install).
            SandboxExecutionError: With stage ``PACKAGE_INSTALL`` when the
                installer's run did not succeed.
        """
        if not self.additional_packages:
            return
        code = get_install_code(self.language, self.additional_packages)
        result = await self.execute_code(code, timeout=DEFAULT_INSTALL_TIMEOUT)
        self._raise_if_failed(result)

    def _raise_if_failed(self, result: ExecutionResult) -> None:
        """Raise ``SandboxExecutionError`` (stage ``PACKAGE_INSTALL``) unless ``result`` succeeded.

        The execution channels report a failed installer as a result rather than
        by raising, so the status has to be inspected.
        """
        if result.status is ExecutionStatus.SUCCESS:
            return
        raise SandboxExecutionError(
            PackageInstallErrorMessage.INSTALL_FAILED.format(self.additional_packages, self._detail(result)),
            stage=Stage.PACKAGE_INSTALL,
        )

    # -- attachment upload ---------------------------------------------------

    @traced(SpanName.UPLOAD)
    async def _upload_files(self, files: "list[Attachment]", upload_dir: str | None = None) -> None:
        """Upload attachments in one provider operation.

        Each attachment lands at ``build_upload_path(filename, upload_dir,
        _DEFAULT_UPLOAD_DIR)``; the whole batch goes to ``_write_files`` in one
        call. Names that could escape the upload directory (absolute, with a
        ".." segment or a backslash) are refused before anything is written.

        Raises:
            SandboxExecutionError: With stage ``EXECUTION`` when a name is
                refused or the write fails; a write failure is its cause.
        """
        backend = self._BACKEND or type(self).__name__
        file_count = len(files)
        sandbox_id = self.sandbox_id
        attrs: dict[str, Any] = {
            SpanAttr.BACKEND: backend,
            SpanAttr.FILE_COUNT: file_count,
            SpanAttr.TOTAL_BYTES: sum(len(attachment.data) for attachment in files),
        }
        if sandbox_id is not None:
            attrs[SpanAttr.SANDBOX_ID] = sandbox_id
        set_current_span_attributes(**attrs)

        entries: list[tuple[str, bytes]] = []
        for attachment in files:
            check_upload_filename(attachment.filename)
            entries.append(
                (
                    build_upload_path(attachment.filename, upload_dir, self._DEFAULT_UPLOAD_DIR),
                    attachment.data,
                )
            )

        try:
            await self._write_files(entries)
        except Exception as exc:
            set_current_span_attributes(**{SpanAttr.STATUS: ExecutionStatus.ERROR.value})
            message = UploadErrorMessage.UPLOAD_FAILED.format(file_count, backend, exc)
            logger.warning(
                message,
                exc_info=True,
                extra={
                    "error_code": Stage.EXECUTION,
                    "backend": backend,
                    "sandbox_id": sandbox_id,
                    "file_count": file_count,
                },
            )
            raise SandboxExecutionError(message, stage=Stage.EXECUTION) from exc
        set_current_span_attributes(**{SpanAttr.STATUS: ExecutionStatus.SUCCESS.value})

    async def _write_files(self, entries: list[tuple[str, bytes]]) -> None:
        """Write resolved path/data pairs in one provider operation.

        Backends override this hook: one request for the whole batch, creating
        or replacing each file, and raising an ``Exception`` on failure.
        """
        raise NotImplementedError(UploadErrorMessage.WRITE_FILES_NOT_IMPLEMENTED.format(type(self).__name__))

    # -- download ------------------------------------------------------------

    async def _download_within(
        self,
        file_path: str,
        timeout: float | None,
        read: Callable[[float | None], Awaitable[bytes | None]],
        *,
        log: logging.Logger,
        timeout_errors: tuple[type[BaseException], ...] = (TimeoutError,),
        on_error: Callable[[Exception], None] | None = None,
    ) -> bytes | None:
        """The download flow of ``download_file`` around the backend's ``read``.

        ``timeout`` resolves as for ``download_file`` (``None`` is 30 seconds,
        zero or less no limit) and ``read`` gets the resolved limit, which
        also bounds it. Running out of time (any of ``timeout_errors``) is
        logged on ``log``; another failure goes to ``on_error``. Either gives
        ``None``. The outcome is recorded on the current span.
        """
        set_current_span_attributes(**{SpanAttr.SANDBOX_ID: self.sandbox_id, SpanAttr.FILE_PATH: file_path})
        effective_timeout = resolve_timeout(timeout, DEFAULT_DOWNLOAD_TIMEOUT)
        try:
            content = await asyncio.wait_for(read(effective_timeout), effective_timeout)
        except timeout_errors:
            set_current_span_attributes(**{SpanAttr.STATUS: ExecutionStatus.TIMEOUT.value})
            log.warning(
                DOWNLOAD_TIMEOUT_MESSAGE.format(file_path, effective_timeout),
                extra={"error_code": Stage.DOWNLOAD},
            )
            return None
        except Exception as exc:
            set_current_span_attributes(**{SpanAttr.STATUS: ExecutionStatus.ERROR.value})
            if on_error is not None:
                on_error(exc)
            return None
        set_current_span_attributes(**{SpanAttr.STATUS: ExecutionStatus.SUCCESS.value})
        return content

    # -- abstract operations ---------------------------------------------------

    @abstractmethod
    async def execute_code(
        self,
        code: str,
        timeout: int | None = None,
        files: "list[Attachment] | None" = None,
        upload_dir: str | None = None,
        on_stdout: Callable[[str], None] | None = None,
        on_stderr: Callable[[str], None] | None = None,
        **kwargs: Any,
    ) -> ExecutionResult:
        """Execute code in the sandbox environment, optionally streaming its output.

        Outcomes of the code are reported in the returned result, never raised:
        "success", "error", "timeout" (limit exceeded) or "unknown" (the request
        reached the sandbox but its effect cannot be told). ``timeout`` of
        ``None`` means the backend's default, zero or less no limit. ``files``
        are uploaded first through ``_upload_files`` into ``upload_dir`` or the
        backend's default directory. ``on_stdout``/``on_stderr`` are called once
        per streamed line, best effort.
        """
        raise NotImplementedError

    @abstractmethod
    async def execute_command(
        self,
        cmd: str,
        *,
        env: dict[str, str] | None = None,
        timeout: float | None = None,
    ) -> ExecutionResult:
        """Execute a shell command in the sandbox.

        ``timeout`` of ``None`` means the backend's default of 30 seconds, zero
        or less disables the limit, a positive value enforces it.
        """
        raise NotImplementedError

    @abstractmethod
    async def set_timeout(self, seconds: int) -> None:
        """Renew or adjust the sandbox session timeout.

        A backend whose provider has no dynamic session timeout implements this
        as a no-op that does not raise.
        """
        raise NotImplementedError

    @property
    @abstractmethod
    def sandbox_id(self) -> str | None:
        """Return the unique sandbox session/instance identifier."""
        raise NotImplementedError
