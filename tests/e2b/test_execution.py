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

SUCCESS, ERROR, TIMEOUT, UNKNOWN = (ExecutionStatus.SUCCESS, ExecutionStatus.ERROR, ExecutionStatus.TIMEOUT, ExecutionStatus.UNKNOWN)


def _last_span(spans, name: str = "zib_sandbox.execute_code") -> dict:
    return dict([s for s in spans.get_finished_spans() if s.name == name][-1].attributes)


def _requests(e2b: E2BStandIn, route: str) -> list[dict]:
    return [body for name, body in e2b.requests if name == route]


async def test_runs_report_output_as_printed_and_stop_at_the_limit(sandbox: E2BSandbox, e2b: E2BStandIn, spans):
    forwarded: list[str] = []
    code = "import os\nkept = 1\nprint('alpha')\nprint('beta', end='')\nprint('!')\nprint(os.environ['MODE'])"
    first = await sandbox.execute_code(code, env={"MODE": "fast"}, on_stdout=forwarded.append)
    # The SDK's chunks keep their line breaks: joined as printed, no extra "\n".
    assert (first.status, first.stdout, first.error, forwarded) == (SUCCESS, "alpha\nbeta!\nfast\n", "", ["alpha", "beta!", "fast"])
    assert _last_span(spans) == {"zib_sandbox.backend": "e2b", "zib_sandbox.sandbox_id": sandbox.sandbox_id,
                                 "zib_sandbox.status": "success"}
    lines: list[str] = []
    code = "import time\nprint('step', end=' ', flush=True)\nprint(1)\nprint('step 2')\ntime.sleep(30)\nprint('never')"
    result = await sandbox.execute_code(code, timeout=1, on_stdout=lines.append, unused_option=True)
    # Partial output reads as printed too. The SDK alone would stop the run
    # only after about twice the limit; it was stopped near the limit instead.
    assert (result.status, result.stdout, lines, result.failure) == (TIMEOUT, "step 1\nstep 2\n", ["step ", "1", "step 2"], None)
    assert result.error == "Execution exceeded timeout of 1 seconds" and _last_span(spans)["zib_sandbox.status"] == "timeout"
    # The stand-in interrupted the cell as a kernel would; the state survived.
    assert (await sandbox.execute_code("print(kept)", env={})).stdout == "1\n"
    assert [(body["env_vars"], body["language"]) for body in _requests(e2b, "execute")] == [
        ({"MODE": "fast"}, "python"), (None, "python"), ({}, "python")]


@pytest.mark.parametrize(
    ("name", "value", "traceback", "expected"),
    [("ValueError", "bad", "Traceback:\n  line 1\n", "Traceback:\n  line 1\n\nValueError: bad"),
     ("ValueError", "bad", "", "ValueError: bad"), ("", "ends with colon:", "", "ends with colon"),
     ("KeyError", "", "tb\n", "tb\n\nKeyError")],
)  # fmt: skip
def test_error_records_render_traceback_first(name, value, traceback, expected) -> None:
    assert E2BSandbox._format_execution_error(ExecutionError(name, value, traceback)) == expected


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
        # Refused by the service before any output: a plain error, the key masked.
        ("code", 429, ERROR, None, ""),
    ],
)
async def test_transport_failures_say_whether_a_retry_is_safe(
    sandbox: E2BSandbox, e2b: E2BStandIn, spans, operation, fault, status, exception_type, stdout
) -> None:
    def explode(line: str) -> None:
        raise RuntimeError(f"consumer failed on {line!r}")

    if fault == "refused":
        e2b.refuse("envd")
    elif fault == "dropped":
        e2b.drop_stream("execute", after_events=2)  # number_of_executions, then one stdout chunk
    elif fault == 429:
        e2b.fail("execute", 429, message=f"refused with key {e2b.api_key}")
    try:
        if operation == "code":
            code = "print('first')\nprint('second')\nprint('third')"
            result = await sandbox.execute_code(code, on_stdout=explode if fault == "callback" else None)
        else:
            result = await sandbox.execute_command("echo hi", timeout=5)
    finally:
        if fault == "refused":
            e2b.restore("envd")
    assert (result.status, result.stdout) == (status, stdout)
    if exception_type is None:
        assert result.failure is None and result.error.startswith("429") and e2b.api_key not in result.error
    else:
        assert result.failure.retry_safe is (status is ERROR)
        assert result.failure.exception_type in (exception_type if isinstance(exception_type, tuple) else (exception_type,))
        assert result.error.startswith(result.failure.exception_type.rsplit(".", 1)[-1] + ": ")
    name = "zib_sandbox.execute_code" if operation == "code" else "zib_sandbox.execute_command"
    assert _last_span(spans, name)["zib_sandbox.status"] == status.value
    assert e2b.calls["execute"] == (0 if fault == "refused" else 1)
    assert (await sandbox.execute_code("print('back')")).stdout == "back\n"


class _Provider:
    """The SDK's sandbox and commands stubbed at their boundary, for what the stand-in cannot provoke."""

    def __init__(self, chunks: list[str], outcome: BaseException | asyncio.Event | None) -> None:
        self.chunks, self.outcome, self.sent_timeouts = chunks, outcome, []

    async def run_code(self, code, on_stdout=None, **options):
        self.sent_timeouts.append(options["timeout"])
        for chunk in self.chunks:
            on_stdout(types.SimpleNamespace(line=chunk))
        if self.outcome is None:
            return types.SimpleNamespace(error=None, logs=None, stdout="", stderr="")
        if isinstance(self.outcome, asyncio.Event):
            await self.outcome.wait()  # a stream gone quiet, which the SDK's deadline may not end
        raise self.outcome

    run = run_code  # commands.run


class _ConnectTimeout(ConnectionError, TimeoutError):
    """The shape of the connect timeout the SDK's transport raises."""


def _chained(*links: BaseException) -> BaseException:
    for outer, cause in zip(links, links[1:]):
        outer.__cause__ = cause
    return links[0]


_LOST = SandboxException("500: lost")


def _unreachable(cause: BaseException) -> BaseException:
    """A refused command as the SDK reports it: its "unreachable" timeout over the RPC error."""
    return _chained(SandboxUnreachableException("u"), RpcConnectError(Code.UNAVAILABLE, "x"), cause)


@pytest.mark.parametrize(
    ("operation", "chunks", "outcome", "timeout", "status", "retry_safe", "error"),
    [
        # The SDK raises no SandboxException once its stream has started; after
        # any chunk, even an empty one, the code provably ran.
        ("code", [], _LOST, None, ERROR, None, "500: lost"),
        ("code", [""], _LOST, None, UNKNOWN, False, "SandboxException: 500: lost"),
        ("code", ["partial"], _LOST, None, UNKNOWN, False, "SandboxException: 500: lost"),
        # Only a connection never established is retry safe, and only before any output.
        ("command", [], _unreachable(_ConnectTimeout("no answer")), None, ERROR, True, None),
        ("command", [], _unreachable(ConnectionResetError("reset")), None, TIMEOUT, None, None),
        ("code", ["x"], httpx.ConnectError("refused"), None, UNKNOWN, False, None),
        ("code", [], httpx.ConnectTimeout("no answer"), None, UNKNOWN, False, None),
        ("command", [], httpx.ConnectError("refused"), None, ERROR, True, None),
        ("command", [], ConnectionResetError("reset"), None, UNKNOWN, False, None),
        # No limit is the SDK's 0: its None would mean the SDK's own default limit.
        ("code", [], None, 0, SUCCESS, None, ""),
        ("command", [], None, -1, SUCCESS, None, ""),
        ("code", ["started\n"], asyncio.Event(), 0.2, TIMEOUT, None, "Execution exceeded timeout of 0.2 seconds"),
        ("command", [], asyncio.Event(), 0.2, TIMEOUT, None, "Command exceeded timeout of 0.2 seconds"),
        ("code", [], TimeoutException("timed out"), None, TIMEOUT, None, "timed out"),
    ],
)
async def test_stubbed_sdk_outcomes(operation, chunks, outcome, timeout, status, retry_safe, error) -> None:
    provider = _Provider(chunks, outcome)
    instance = E2BSandbox()
    instance.sandbox, instance.files, instance.commands = provider, object(), provider
    async with asyncio.timeout(30):  # the client-side bound must end a quiet stream
        if operation == "code":
            result = await instance.execute_code("print(1)", timeout=timeout)
        else:
            result = await instance.execute_command("true", timeout=timeout)
    sent = 30 if timeout is None else max(timeout, 0)
    assert (result.status, provider.sent_timeouts, result.stdout) == (status, [sent], "".join(chunks))
    assert (None if result.failure is None else result.failure.retry_safe) is retry_safe
    assert error is None or result.error == error


@pytest.mark.parametrize("confirmed", [None, 1])
async def test_attachments_are_uploaded_in_one_batch_before_the_run(sandbox: E2BSandbox, e2b: E2BStandIn, confirmed) -> None:
    files = [Attachment.from_bytes(bytes=b"a,b\n1,2\n", filename="data.csv"),
             Attachment.from_bytes(bytes=bytes(range(256)), filename="blob.bin")]  # fmt: skip
    code = "print(open('/files/data.csv').read().splitlines()[1])\nprint(len(open('/files/blob.bin', 'rb').read()))"
    if confirmed is not None:
        e2b.short_write(confirmed=confirmed)
        result = await sandbox.execute_code(code, files=files)
        assert (result.status, e2b.calls["execute"]) == (ERROR, 0)
        assert result.error == "Failed to upload 2 file(s) to sandbox backend 'e2b': Provider confirmed only 1 of 2 file(s) were written"
        return
    assert (await sandbox.execute_code(code, files=files)).stdout == "1,2\n256\n"
    other = await sandbox.execute_code("import os\nprint(os.listdir('/mnt/data'))", files=files[:1], upload_dir="/mnt/data/")
    assert other.stdout == "['data.csv']\n"
    assert _requests(e2b, "files.write") == [{"paths": ["/files/data.csv", "/files/blob.bin"]}, {"paths": ["/mnt/data/data.csv"]}]


@pytest.mark.parametrize(
    ("cmd", "options", "status", "stdout", "error_part", "deadline_ms"),
    [("echo out; echo err >&2", {}, SUCCESS, "out\n", "", "30000"),
     ("echo $NAME", {"env": {"NAME": "vorn"}, "timeout": 12}, SUCCESS, "vorn\n", "", "12000"),
     ("echo partial; exit 2", {"timeout": 0}, ERROR, "partial\n", "exit status 2", None),
     ("sleep 5", {"timeout": 0.5}, TIMEOUT, "", "timeout", "500")],
)  # fmt: skip
async def test_commands(sandbox: E2BSandbox, e2b: E2BStandIn, cmd, options, status, stdout, error_part, deadline_ms) -> None:
    result = await sandbox.execute_command(cmd, **options)
    assert (result.status, result.stdout, result.code, result.failure) == (status, stdout, cmd, None)
    assert error_part in result.error and result.exit_code == (0 if status is SUCCESS else 1)
    (start,) = _requests(e2b, "process.start")
    assert (start["args"], start["timeout_ms"]) == (["-l", "-c", cmd], deadline_ms)
