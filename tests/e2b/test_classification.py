"""Failure classification of the E2B backend: creation retries and retry safety.

The exception shapes below are the ones the installed SDK raises; the stand-in
tests in ``test_stand_in.py`` show where each comes from.
"""

from __future__ import annotations

import subprocess
import sys

import httpx
import pytest
from connectrpc.code import Code
from connectrpc.errors import ConnectError as RpcConnectError
from e2b.exceptions import (
    AuthenticationException,
    RateLimitException,
    SandboxException,
    SandboxUnreachableException,
    ServiceBusyException,
    TimeoutException,
)

from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox, _never_sent
from vorn_tools.code_interpreter.errors import SandboxStartError, Stage


def _caused(outer: BaseException, *causes: BaseException) -> BaseException:
    link = outer
    for cause in causes:
        link.__cause__ = cause
        link = cause
    return outer


class _ConnectTimeout(ConnectionError, TimeoutError):
    """The shape of pyqwest's connect timeout."""


def _status(status: int) -> SandboxException:
    return SandboxException(f"{status}: failed", status_code=status)


@pytest.mark.parametrize(
    ("error", "transient"),
    [
        (TimeoutException("cold start"), True),
        (RateLimitException("429: slow down"), True),
        (ServiceBusyException("503: busy"), True),
        (_status(504), True),
        (httpx.ReadTimeout("slow"), True),
        (httpx.ConnectError("refused"), True),
        (httpx.ConnectTimeout("no answer"), True),
        (_status(500), False),
        (_status(502), False),
        (_status(404), False),
        (AuthenticationException("401: bad key"), False),
        (httpx.RemoteProtocolError("cut"), False),
        (ValueError("bad option"), False),
    ],
)
def test_creation_failures_that_are_worth_another_attempt(error: BaseException, transient: bool) -> None:
    assert E2BSandbox._is_transient_create_error(error) is transient
    wrapped = SandboxStartError("Failed to start E2B sandbox: x", stage=Stage.CREATE, classifier=E2BSandbox._is_transient_create_error)
    wrapped.__cause__ = error
    assert wrapped.transient is transient


def test_only_explicit_causes_count_for_the_transient_verdict() -> None:
    explicit = _caused(SandboxException("wrapped"), httpx.ConnectError("refused"))
    implicit = SandboxException("wrapped")
    implicit.__context__ = httpx.ConnectError("refused")
    classify = E2BSandbox._is_transient_create_error
    assert SandboxStartError("x", stage=Stage.CREATE, classifier=classify).transient is False
    for error, expected in ((explicit, True), (implicit, False)):
        start_error = SandboxStartError("x", stage=Stage.CREATE, classifier=classify)
        start_error.__cause__ = error
        assert start_error.transient is expected


@pytest.mark.parametrize(
    ("error", "never_sent"),
    [
        # run_code: a refused connection arrives as httpx's ConnectError, unwrapped.
        (httpx.ConnectError("Connection refused"), True),
        # commands.run: the RPC error over pyqwest's builtin ConnectionError,
        # inside the SDK's "unreachable" timeout.
        (_caused(SandboxUnreachableException("unreachable"), RpcConnectError(Code.UNAVAILABLE, "x"), ConnectionError("refused")), True),
        (_caused(SandboxUnreachableException("unreachable"), ConnectionRefusedError("refused")), True),
        (_caused(TimeoutException("t"), RpcConnectError(Code.UNAVAILABLE, "x"), _ConnectTimeout("no answer")), True),
        # After the request was written: the outcome is open.
        (httpx.RemoteProtocolError("peer closed"), False),
        (httpx.ReadError("reset"), False),
        (_caused(SandboxUnreachableException("unreachable"), RpcConnectError(Code.UNAVAILABLE, "x"), ConnectionResetError("reset")), False),
        (TimeoutException("timed out"), False),
        (RuntimeError("callback failed"), False),
    ],
)
def test_retry_safety_follows_what_the_sdk_raises(error: BaseException, never_sent: bool) -> None:
    assert _never_sent(error) is never_sent
    result = E2BSandbox()._transport_failure_result(error, "print(1)", 0.0, stdout="partial")
    assert result.failure is not None and result.failure.retry_safe is never_sent
    assert result.status.value == ("error" if never_sent else "unknown")
    assert result.stdout == "partial" and result.code == "print(1)"


@pytest.mark.parametrize(
    ("name", "value", "traceback", "expected"),
    [
        ("ValueError", "bad", "Traceback:\n  line 1\n", "Traceback:\n  line 1\nValueError: bad"),
        ("ValueError", "bad", "", "ValueError: bad"),
        ("", "ends with colon:", "", "ends with colon"),
        ("KeyError", "", "tb\n", "tb\nKeyError"),
    ],
)
def test_error_records_render_traceback_first(name, value, traceback, expected) -> None:
    from e2b_code_interpreter.models import ExecutionError

    assert E2BSandbox._format_execution_error(ExecutionError(name, value, traceback)) == expected
    assert E2BSandbox._format_execution_error(None) == ""


def test_missing_sdk_names_the_extra_and_spares_the_package() -> None:
    probe = (
        "import sys\n"
        "sys.modules['e2b_code_interpreter'] = None\n"
        "import vorn_tools.code_interpreter.code_sandbox\n"
        "try:\n"
        "    import vorn_tools.code_interpreter.code_sandbox.e2b_sandbox\n"
        "except ModuleNotFoundError as exc:\n"
        "    print(type(exc).__name__, '|', exc)\n"
    )
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith("ModuleNotFoundError | e2b and e2b-code-interpreter packages are required.")
    assert "pip install 'vorn-tools[e2b]'" in out.stdout
