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
        (ExecutionStatus.ERROR, "out", ValueError(""), "out", "", 1),
    ],
)
def test_create_derives_text_and_exit_code(status, stdout, error, text, stored_error, exit_code):
    result = ExecutionResult.create(status, "print(1)", stdout=stdout, error=error)
    assert (result.text, result.error, result.exit_code) == (text, stored_error, exit_code)
    assert result.stdout == stdout and result.code == "print(1)"
    assert result.duration_ms is None and result.failure is None


def test_create_masks_exceptions_but_not_strings():
    register_secret(SECRET)
    masked = ExecutionResult.create(ExecutionStatus.ERROR, "x", error=ConnectionError(f"key {SECRET} rejected"))
    assert SECRET not in masked.error and "[SECRET]" in masked.error
    assert masked.text == masked.error
    # A string is the program's own text and passes unchanged.
    raw = ExecutionResult.create(ExecutionStatus.ERROR, "x", error="plain error text")
    assert raw.error == "plain error text"


class _ProviderError(Exception):
    pass


def test_create_falls_back_to_qualified_type_when_masking_fails(monkeypatch):
    from vorn_core.masking.text import MaskingRuleError

    from vorn_tools.code_interpreter import redaction

    def failing_mask(text, rules):
        raise MaskingRuleError("API_KEY", "backtrack limit")

    monkeypatch.setattr(redaction, "mask_text", failing_mask)
    result = ExecutionResult.create(ExecutionStatus.UNKNOWN, "x", stdout="o", error=_ProviderError("raw"))
    assert result.error == result.text == f"{_ProviderError.__module__}._ProviderError"


def test_create_passes_duration_and_failure_and_keeps_subclass():
    class Sub(ExecutionResult):
        pass

    detail = FailureDetail(exception_type="httpx.ReadError", retry_safe=False)
    result = Sub.create(ExecutionStatus.UNKNOWN, "c", duration_ms=12, failure=detail)
    assert type(result) is Sub
    assert result.duration_ms == 12 and result.failure == detail


def test_status_is_a_plain_enum():
    assert ExecutionStatus.SUCCESS != "success"
    assert ExecutionStatus.SUCCESS.value == "success"
    assert ExecutionStatus("timeout") is ExecutionStatus.TIMEOUT
    assert [m.value for m in ExecutionStatus] == ["success", "error", "timeout", "unknown"]


def test_defaults_and_validation():
    result = ExecutionResult(status=ExecutionStatus.SUCCESS)
    assert (result.code, result.stdout, result.stderr, result.text, result.error) == ("",) * 5
    assert (result.exit_code, result.duration_ms, result.failure) == (0, None, None)
    assert list(ExecutionResult.model_fields) == [
        "status", "code", "stdout", "stderr", "text", "error", "exit_code", "duration_ms", "failure",
    ]
    with pytest.raises(pydantic.ValidationError):
        ExecutionResult(status=ExecutionStatus.ERROR, error=None)
    with pytest.raises(pydantic.ValidationError):
        ExecutionResult.create("bogus", "x")
    with pytest.raises(pydantic.ValidationError):
        FailureDetail(exception_type="x")
