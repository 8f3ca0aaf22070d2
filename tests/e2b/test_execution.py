"""Code and command execution of ``E2BSandbox`` through the real SDK and the stand-in."""

from __future__ import annotations

import asyncio
import types

import httpx
import pytest
from connectrpc.code import Code
from connectrpc.errors import ConnectError as RpcConnectError
from e2b.exceptions import SandboxException, SandboxUnreachableException, TimeoutException
from e2b_code_interpreter.models import ExecutionError
from vorn_inference.schema import Attachment

from tests.fakes.e2b_server import E2BStandIn
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.utils import _OUTPUT_TRUNCATED

SUCCESS, ERROR, TIMEOUT, UNKNOWN = (ExecutionStatus.SUCCESS, ExecutionStatus.ERROR, ExecutionStatus.TIMEOUT, ExecutionStatus.UNKNOWN)


def _status_of_last(spans, name: str) -> str:
    return [s for s in spans.get_finished_spans() if s.name == name][-1].attributes["zib_sandbox.status"]


def _requests(e2b: E2BStandIn, route: str) -> list[dict]:
    return [body for name, body in e2b.requests if name == route]


async def test_success_keeps_state_and_reports_output_as_printed(sandbox: E2BSandbox, e2b: E2BStandIn, spans) -> None:
    forwarded: list[str] = []
    first = await sandbox.execute_code(
        "import os\ncount = 1\nprint('alpha')\nprint('beta', end='')\nprint('!')\nprint(os.environ['MODE'])",
        env={"MODE": "fast"},
        on_stdout=forwarded.append,
    )
    second = await sandbox.execute_code("count += 1\nprint(count)", unused_option=True)
    await sandbox.execute_code("pass", env={})

    # The SDK's chunks keep their line breaks: joined as printed, no extra "\n".
    assert (first.status, first.stdout, first.text, first.error, first.exit_code) == (
        SUCCESS, "alpha\nbeta!\nfast\n", "alpha\nbeta!\nfast\n", "", 0,
    )
    assert "\n".join(forwarded) == first.stdout.rstrip("\n")
    assert second.stdout == "2\n" and first.failure is None
    assert [(body["env_vars"], body["language"]) for body in _requests(e2b, "execute")] == [
        ({"MODE": "fast"}, "python"), (None, "python"), ({}, "python"),
    ]
    span = [s for s in spans.get_finished_spans() if s.name == "zib_sandbox.execute_code"][0]
    assert span.attributes["zib_sandbox.backend"] == "e2b"
    assert span.attributes["zib_sandbox.sandbox_id"] == sandbox.sandbox_id
    assert span.attributes["zib_sandbox.status"] == "success"


async def test_user_error_carries_traceback_then_name_and_value(sandbox: E2BSandbox) -> None:
    result = await sandbox.execute_code("print('ran')\ndef boom():\n    raise KeyError('missing')\nboom()")
    assert (result.status, result.stdout, result.exit_code, result.failure) == (ERROR, "ran\n", 1, None)
    assert result.error.startswith("Traceback (most recent call last):") and "in boom" in result.error
    assert result.error.splitlines()[-1] == "KeyError: 'missing'"
    assert result.text == result.error


@pytest.mark.parametrize(
    ("name", "value", "traceback", "expected"),
    [
        ("ValueError", "bad", "Traceback:\n  line 1\n", "Traceback:\n  line 1\n\nValueError: bad"),
        ("ValueError", "bad", "", "ValueError: bad"),
        ("", "ends with colon:", "", "ends with colon"),
        ("KeyError", "", "tb\n", "tb\n\nKeyError"),
    ],
)
def test_error_records_render_traceback_first(name, value, traceback, expected) -> None:
    assert E2BSandbox._format_execution_error(ExecutionError(name, value, traceback)) == expected


async def test_timeout_keeps_the_partial_output_and_the_sandbox(sandbox: E2BSandbox, spans) -> None:
    await sandbox.execute_code("kept = 'yes'")
    lines: list[str] = []
    result = await sandbox.execute_code(
        "import time\nprint('step', end=' ', flush=True)\nprint(1)\nprint('step 2')\ntime.sleep(30)\nprint('never')",
        timeout=1,
        on_stdout=lines.append,
    )
    assert (result.status, result.stdout, lines, result.failure) == (TIMEOUT, "step 1\nstep 2\n", ["step ", "1", "step 2"], None)
    # Partial output reads as printed, the same as a finished run's.
    # The SDK alone would stop the run only after about twice the limit; the
    # run was stopped near the limit instead.
    assert result.error == "Execution exceeded timeout of 1 seconds"
    assert _status_of_last(spans, "zib_sandbox.execute_code") == "timeout"
    # The stand-in interrupted the cell as a kernel would; the state survived.
    assert (await sandbox.execute_code("print(kept)")).stdout == "yes\n"


async def test_streamed_output_over_the_cap_is_truncated_with_the_notice(sandbox: E2BSandbox) -> None:
    line = "x" * 999
    result = await sandbox.execute_code(
        f"import time\nfor i in range(400):\n    print('{line}')\nprint('last')\ntime.sleep(30)", timeout=2
    )
    assert result.status is TIMEOUT
    assert result.stdout.startswith(_OUTPUT_TRUNCATED + "\n") and result.stdout.endswith("\nlast\n")
    assert 250_000 < len(result.stdout) - len(_OUTPUT_TRUNCATED) - 2 <= 262_144


@pytest.mark.parametrize(
    ("operation", "fault", "status", "exception_type", "stdout"),
    [
        # Refused before the request was written: nothing ran, a retry is safe.
        ("code", "refused", ERROR, "httpx.ConnectError", ""),
        # The SDK reports a refused command as its "unreachable" timeout; the
        # causes beneath it prove the command never started.
        ("command", "refused", ERROR, "e2b.exceptions.SandboxUnreachableException", ""),
        # Cut after the request was delivered: the code may have run.
        ("code", "dropped", UNKNOWN, ("httpx.RemoteProtocolError", "httpx.ReadError"), "first\n"),
        # A raising callback breaks a delivered run; its line was recorded first.
        ("code", "callback", UNKNOWN, "builtins.RuntimeError", "first\n"),
    ],
)
async def test_transport_failures_say_whether_a_retry_is_safe(
    sandbox: E2BSandbox, e2b: E2BStandIn, spans, operation, fault, status, exception_type, stdout
) -> None:
    def explode(line: str) -> None:
        raise RuntimeError(f"consumer failed on {line!r}")

    code = "print('first')\nprint('second')\nprint('third')"
    if fault == "refused":
        e2b.refuse("envd")
    elif fault == "dropped":
        e2b.drop_stream("execute", after_events=2)  # number_of_executions, then one stdout chunk
    try:
        if operation == "code":
            result = await sandbox.execute_code(code, on_stdout=explode if fault == "callback" else None)
        else:
            result = await sandbox.execute_command("echo hi", timeout=5)
    finally:
        if fault == "refused":
            e2b.restore("envd")
    assert (result.status, result.stdout) == (status, stdout)
    assert result.failure is not None and result.failure.retry_safe is (status is ERROR)
    assert result.failure.exception_type in (exception_type if isinstance(exception_type, tuple) else (exception_type,))
    assert result.error.startswith(result.failure.exception_type.rsplit(".", 1)[-1] + ": ")
    span = "zib_sandbox.execute_code" if operation == "code" else "zib_sandbox.execute_command"
    assert _status_of_last(spans, span) == status.value
    assert e2b.calls["execute"] == (0 if fault == "refused" else 1)
    assert (await sandbox.execute_code("print('back')")).stdout == "back\n"


class _ConnectTimeout(ConnectionError, TimeoutError):
    """The shape of the connect timeout the SDK's transport raises."""


def _chained(*links: BaseException) -> BaseException:
    for outer, cause in zip(links, links[1:]):
        outer.__cause__ = cause
    return links[0]


@pytest.mark.parametrize(
    ("error", "retry_safe"),
    [
        (_chained(SandboxUnreachableException("u"), RpcConnectError(Code.UNAVAILABLE, "x"), _ConnectTimeout("no answer")), True),
        (_chained(SandboxUnreachableException("u"), RpcConnectError(Code.UNAVAILABLE, "x"), ConnectionResetError("reset")), False),
        (httpx.ConnectTimeout("no answer"), False),
        (TimeoutException("timed out"), False),
    ],
)
def test_only_a_connection_never_established_is_retry_safe(error: BaseException, retry_safe: bool) -> None:
    result = E2BSandbox()._transport_failure_result(error, "print(1)", 0.0, stdout="partial")
    assert result.failure is not None and result.failure.retry_safe is retry_safe
    assert (result.status, result.stdout) == (ERROR if retry_safe else UNKNOWN, "partial")


@pytest.mark.parametrize("status", [429, 500])
async def test_service_refusal_before_any_output_is_a_plain_error(sandbox: E2BSandbox, e2b: E2BStandIn, status: int) -> None:
    e2b.fail("execute", status, message=f"refused with key {e2b.api_key}")
    result = await sandbox.execute_code("print(1)")
    assert (result.status, result.failure, result.stdout) == (ERROR, None, "")
    assert result.error.startswith(str(status))
    # The registered API key never leaves in an error text.
    assert e2b.api_key not in result.error and "[SECRET]" in result.error


class _Provider:
    """The SDK's sandbox and commands stubbed at their boundary, for what the stand-in cannot provoke."""

    def __init__(self, chunks: list[str], outcome: BaseException | None) -> None:
        self.chunks, self.outcome, self.sent_timeouts = chunks, outcome, []

    async def _answer(self, options, on_stdout=None):
        self.sent_timeouts.append(options["timeout"])
        for chunk in self.chunks:
            on_stdout(types.SimpleNamespace(line=chunk))
        if self.outcome is None:
            return types.SimpleNamespace(error=None, logs=None, stdout="", stderr="")
        if isinstance(self.outcome, asyncio.Event):
            await self.outcome.wait()  # a stream gone quiet, which the SDK's deadline may not end
        raise self.outcome

    async def run_code(self, code, on_stdout, **options):
        return await self._answer(options, on_stdout)

    async def run(self, cmd, **options):
        return await self._answer(options)


@pytest.mark.parametrize(
    ("operation", "chunks", "outcome", "timeout", "status", "sent", "error"),
    [
        # The SDK raises no SandboxException once its stream has started; after
        # any chunk, even an empty one, the code provably ran.
        ("code", [], SandboxException("500: lost"), None, ERROR, 30, "500: lost"),
        ("code", [""], SandboxException("500: lost"), None, UNKNOWN, 30, "SandboxException: 500: lost"),
        ("code", ["partial"], SandboxException("500: lost"), None, UNKNOWN, 30, "SandboxException: 500: lost"),
        # No limit is the SDK's 0: its None would mean the SDK's own default limit.
        ("code", [], None, 0, SUCCESS, 0, ""),
        ("command", [], None, -1, SUCCESS, 0, ""),
        ("code", ["started\n"], asyncio.Event(), 0.2, TIMEOUT, 0.2, "Execution exceeded timeout of 0.2 seconds"),
        ("command", [], asyncio.Event(), 0.2, TIMEOUT, 0.2, "Command exceeded timeout of 0.2 seconds"),
    ],
)
async def test_stubbed_sdk_outcomes(operation, chunks, outcome, timeout, status, sent, error) -> None:
    provider = _Provider(chunks, outcome)
    instance = E2BSandbox()
    instance.sandbox, instance.files, instance.commands = provider, object(), provider
    async with asyncio.timeout(30):  # the client-side bound must end a quiet stream
        if operation == "code":
            result = await instance.execute_code("print(1)", timeout=timeout)
        else:
            result = await instance.execute_command("true", timeout=timeout)
    assert (result.status, provider.sent_timeouts, result.error) == (status, [sent], error)
    assert (result.failure is None) is (status is not UNKNOWN)
    assert result.stdout == "".join(chunks)


@pytest.mark.parametrize("confirmed", [None, 1])
async def test_attachments_are_uploaded_in_one_batch_before_the_run(sandbox: E2BSandbox, e2b: E2BStandIn, confirmed) -> None:
    files = [
        Attachment.from_bytes(bytes=b"a,b\n1,2\n", filename="data.csv"),
        Attachment.from_bytes(bytes=bytes(range(256)), filename="blob.bin"),
    ]
    code = "print(open('/files/data.csv').read().splitlines()[1])\nprint(len(open('/files/blob.bin', 'rb').read()))"
    if confirmed is not None:
        e2b.short_write(confirmed=confirmed)
        result = await sandbox.execute_code(code, files=files)
        assert (result.status, e2b.calls["execute"]) == (ERROR, 0)
        assert result.error == (
            "Failed to upload 2 file(s) to sandbox backend 'e2b': Provider confirmed only 1 of 2 file(s) were written"
        )
        return
    assert (await sandbox.execute_code(code, files=files)).stdout == "1,2\n256\n"
    other = await sandbox.execute_code("import os\nprint(os.listdir('/mnt/data'))", files=files[:1], upload_dir="/mnt/data/")
    assert other.stdout == "['data.csv']\n"
    assert _requests(e2b, "files.write") == [{"paths": ["/files/data.csv", "/files/blob.bin"]}, {"paths": ["/mnt/data/data.csv"]}]


@pytest.mark.parametrize(
    ("cmd", "options", "status", "stdout", "error_part", "deadline_ms"),
    [
        ("echo out; echo err >&2", {}, SUCCESS, "out\n", "", "30000"),
        ("echo $NAME", {"env": {"NAME": "vorn"}, "timeout": 12}, SUCCESS, "vorn\n", "", "12000"),
        ("echo partial; exit 2", {"timeout": 0}, ERROR, "partial\n", "exit status 2", None),
        ("true", {"timeout": -5}, SUCCESS, "", "", None),
        ("sleep 5", {"timeout": 0.5}, TIMEOUT, "", "timeout", "500"),
    ],
)
async def test_commands(sandbox: E2BSandbox, e2b: E2BStandIn, cmd, options, status, stdout, error_part, deadline_ms) -> None:
    result = await sandbox.execute_command(cmd, **options)
    assert (result.status, result.stdout, result.code, result.failure) == (status, stdout, cmd, None)
    assert error_part in result.error
    assert result.exit_code == (0 if status is SUCCESS else 1)
    (start,) = _requests(e2b, "process.start")
    assert (start["args"], start["timeout_ms"]) == (["-l", "-c", cmd], deadline_ms)
