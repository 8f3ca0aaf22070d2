"""Execution result records."""

import pydantic
import pytest

from vorn_tools.code_interpreter.code_sandbox.models import ExecutionResult, ExecutionStatus, FailureDetail
from vorn_tools.code_interpreter.redaction import register_secret

SECRET = "sk-models-test-0123456789abcdef"


@pytest.mark.parametrize(
    ("status", "stdout", "error", "text", "stored_error", "exit_code"),
    [
        (ExecutionStatus.SUCCESS, "out", "", "out", "", 0),
        (ExecutionStatus.ERROR, "out", "Boom", "Boom", "Boom", 1),
        (ExecutionStatus.ERROR, "out", "", "out", "", 1),
        (ExecutionStatus.TIMEOUT, "", "", "", "", 1),
        (ExecutionStatus.UNKNOWN, "partial", "", "partial", "", 1),
        (ExecutionStatus.ERROR, "out", ValueError(""), "out", "", 1),  # empty masked message
    ],
)
def test_create_derives_text_and_exit_code(status, stdout, error, text, stored_error, exit_code):
    result = ExecutionResult.create(status, "print(1)", stdout=stdout, error=error)
    assert (result.text, result.error, result.exit_code) == (text, stored_error, exit_code)
    assert (result.stdout, result.code, result.duration_ms, result.failure) == (stdout, "print(1)", None, None)


def test_create_masks_exceptions_but_not_strings():
    register_secret(SECRET)
    masked = ExecutionResult.create(ExecutionStatus.ERROR, "x", error=ConnectionError(f"key {SECRET} rejected"))
    assert SECRET not in masked.error and "[SECRET]" in masked.error and masked.text == masked.error
    raw = ExecutionResult.create(ExecutionStatus.ERROR, "x", error=f"program printed {SECRET}")
    assert raw.error == f"program printed {SECRET}"


def test_create_passes_duration_and_failure_and_keeps_subclass():
    class Sub(ExecutionResult):
        pass

    detail = FailureDetail(exception_type="httpx.ReadError", retry_safe=False)
    result = Sub.create(ExecutionStatus.UNKNOWN, "c", duration_ms=12, failure=detail)
    assert type(result) is Sub and (result.duration_ms, result.failure) == (12, detail)


def test_status_is_a_plain_enum_and_fields_validate():
    assert ExecutionStatus.SUCCESS != "success" and ExecutionStatus.SUCCESS.value == "success"
    assert ExecutionStatus("timeout") is ExecutionStatus.TIMEOUT
    result = ExecutionResult(status=ExecutionStatus.SUCCESS)
    assert (result.code, result.stdout, result.stderr, result.text, result.error) == ("",) * 5
    assert (result.exit_code, result.duration_ms, result.failure) == (0, None, None)
    for build in (
        lambda: ExecutionResult(status=ExecutionStatus.ERROR, error=None),
        lambda: ExecutionResult.create("bogus", "x"),
        lambda: FailureDetail(exception_type="x"),
    ):
        with pytest.raises(pydantic.ValidationError):
            build()
