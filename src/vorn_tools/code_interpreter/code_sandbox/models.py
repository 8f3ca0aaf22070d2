"""Data models for code execution results."""

from enum import Enum
from pydantic import BaseModel

from vorn_tools.code_interpreter.redaction import redacted_message


class ExecutionStatus(Enum):
    """Outcome class of one code or command execution.

    A plain enumeration: members compare equal only to themselves; read
    ``value`` for the text. ``TIMEOUT`` and ``UNKNOWN`` results must never be
    retried automatically, since the code may already have run.
    """

    SUCCESS = "success"
    ERROR = "error"
    TIMEOUT = "timeout"
    UNKNOWN = "unknown"


class FailureDetail(BaseModel):
    """Structured detail about a failed execution.

    ``exception_type`` is the qualified type name of the caught exception;
    ``retry_safe`` is true only when the code is known not to have run. A missing
    detail makes no claim either way: retry automatically only when a detail is
    present and ``retry_safe`` is true.
    """

    exception_type: str
    retry_safe: bool


class ExecutionResult(BaseModel):
    """Structured result of code execution."""

    status: ExecutionStatus
    code: str = ""
    stdout: str = ""
    stderr: str = ""
    text: str = ""
    error: str = ""
    exit_code: int = 0
    duration_ms: int | None = None
    failure: FailureDetail | None = None

    @classmethod
    def create(
        cls,
        status: ExecutionStatus,
        code: str,
        stdout: str = "",
        stderr: str = "",
        error: str | BaseException = "",
        duration_ms: int | None = None,
        failure: FailureDetail | None = None,
    ) -> "ExecutionResult":
        """Create ExecutionResult with common parameters.

        An exception passed as ``error`` is rendered with secrets masked; a
        string passes unchanged. ``text`` becomes the error when there is one and
        otherwise ``stdout``; ``exit_code`` is 0 for success and 1 otherwise.
        """
        if isinstance(error, BaseException):
            error = redacted_message(error)
        text = error if error else stdout
        exit_code = 0 if status == ExecutionStatus.SUCCESS else 1
        return cls(
            status=status,
            code=code,
            stdout=stdout,
            stderr=stderr,
            text=text,
            error=error,
            exit_code=exit_code,
            duration_ms=duration_ms,
            failure=failure,
        )
