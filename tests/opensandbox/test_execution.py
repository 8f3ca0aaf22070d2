"""Code, commands, files and teardown of a live ``OpenSandbox`` against the stand-in."""

from __future__ import annotations

import logging
import time

import httpx
import pytest
from opensandbox.exceptions import SandboxConnectionException, SandboxTimeoutException
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox
from vorn_tools.code_interpreter.errors import SandboxTerminateError
from vorn_tools.code_interpreter.redaction import register_secret

SLOW = "import time\nprint('started', flush=True)\ntime.sleep(60)"


async def test_timeout_interrupts_the_kernel_and_keeps_partial_output(sandbox, opensandbox, caplog):
    result = await sandbox.execute_code(SLOW, timeout=1)
    assert (result.status, result.stdout) == (ExecutionStatus.TIMEOUT, "started\n")
    assert result.error == "Execution exceeded timeout of 1 seconds" and opensandbox.calls["code.interrupt"] == 1
    assert (await sandbox.execute_code("print('next')")).stdout == "next\n"

    # An interrupt that never lands is given up after a bound, with a warning.
    opensandbox.stall("code.interrupt", 600)  # longer than the test may run
    with caplog.at_level(logging.WARNING):
        result = await sandbox.execute_code(SLOW, timeout=1)
    assert result.status is ExecutionStatus.TIMEOUT
    assert any(r.getMessage().startswith("Failed to interrupt kernel execution ") and r.getMessage().endswith(
        ": no answer within 5 seconds") for r in caplog.records)


async def test_streamed_output_over_the_bound_is_truncated_only_when_partial(sandbox):
    lines = "for i in range(3000):\n    print(str(i).rjust(99, '.'))\n"
    seen: list[str] = []
    done = await sandbox.execute_code(lines, on_stdout=seen.append)
    assert len(done.stdout) == 300_000 and len(seen) >= 1 and seen[-1].endswith("2999")
    partial = await sandbox.execute_code(lines + "import sys; sys.stdout.flush(); import time; time.sleep(60)",
                                         timeout=3)
    assert partial.status is ExecutionStatus.TIMEOUT
    assert partial.stdout.startswith("[... earlier output truncated, keeping the last 256K characters ...]\n")
    assert 262_144 - 100 < len(partial.stdout) < 262_144 + 100 and partial.stdout.endswith("2999\n")


async def test_transport_failures_are_classified_by_what_reached_the_sandbox(sandbox, opensandbox):
    with opensandbox.refusing("execd"):
        refused = await sandbox.execute_code("print(1)")
    assert refused.status is ExecutionStatus.ERROR and refused.failure.retry_safe
    assert refused.failure.exception_type == "httpx.ConnectError" and "caused by " in refused.error

    opensandbox.drop_stream("code", after_events=3)  # init, execution_count, "a"
    dropped = await sandbox.execute_code("print('a', flush=True)\nimport time; time.sleep(0.5)\nprint('b')")
    assert dropped.status is ExecutionStatus.UNKNOWN and not dropped.failure.retry_safe
    assert dropped.stdout == "a\n"

    opensandbox.drop_stream("code", after_events=0)
    silent = await sandbox.execute_code("print(2)")
    assert silent.status is ExecutionStatus.UNKNOWN and not silent.failure.retry_safe and silent.stdout == ""


@pytest.mark.parametrize(
    ("cause", "status", "retry_safe"),
    [
        (httpx.ReadTimeout("read timed out"), ExecutionStatus.TIMEOUT, None),
        (httpx.ConnectTimeout("connect timed out"), ExecutionStatus.ERROR, True),
        (httpx.PoolTimeout("no connection"), ExecutionStatus.ERROR, True),
        (httpx.ReadError("reset"), ExecutionStatus.UNKNOWN, False),
        (httpx.WriteError("broken pipe"), ExecutionStatus.UNKNOWN, False),
        (RuntimeError("wrapper"), ExecutionStatus.UNKNOWN, False),  # a ConnectError beneath does not count
        (None, ExecutionStatus.UNKNOWN, False),
    ],
)
def test_transport_failure_rule(cause, status, retry_safe):
    register_secret("hunter2-token-value")
    error_class = SandboxTimeoutException if isinstance(cause, httpx.TimeoutException) else SandboxConnectionException
    error = error_class("transport failed with hunter2-token-value")
    if cause is not None:
        if isinstance(cause, RuntimeError):
            cause.__cause__ = httpx.ConnectError("refused")
        error.__cause__ = cause
    result = OpenSandbox()._transport_failure_result(error, "x = 1", time.time(), stdout="partial")
    assert (result.status, result.stdout, result.exit_code) == (status, "partial", 1)
    assert (result.failure.retry_safe if result.failure else None) == retry_safe
    assert "hunter2-token-value" not in result.error and "[SECRET]" in result.error


async def test_a_timeout_error_from_elsewhere_is_no_execution_timeout(sandbox, monkeypatch):
    async def run(*args, **kwargs):
        raise TimeoutError("lock wait gave up")

    monkeypatch.setattr(sandbox._interpreter.codes, "run", run)
    result = await sandbox.execute_code("print(1)")
    assert (result.status, result.error) == (ExecutionStatus.ERROR, "lock wait gave up")


@pytest.mark.parametrize(
    ("cmd", "options", "status", "stdout", "error"),
    [
        ("echo $GREETING; echo warn >&2", {"env": {"GREETING": "hi"}}, "success", "hi", ""),
        ("printf 'a\\nb\\n'; echo '  bad  ' >&2; exit 2", {}, "error", "a\nb", "bad"),
        ("exit 3", {}, "error", "", "CommandExecError: 3"),
        ("cat /tmp/files/in.txt", {}, "success", "uploaded", ""),
        ("sleep 30", {"timeout": 1}, "timeout", "", "Execution exceeded timeout of 1 seconds"),
    ],
)
async def test_commands(sandbox, cmd, options, status, stdout, error):
    await sandbox.execute_code("print(1)", files=[Attachment.from_bytes(bytes=b"uploaded", filename="in.txt")])
    result = await sandbox.execute_command(cmd, **options)
    assert (result.status.value, result.stdout, result.error) == (status, stdout, error)


async def test_downloads_and_failed_uploads_are_results(sandbox, opensandbox, caplog):
    opensandbox.stall("download", 5)
    with caplog.at_level(logging.WARNING):
        assert await sandbox.download_file("/tmp/files/x", timeout=1) is None
    assert [r.getMessage() for r in caplog.records] == ["Download of /tmp/files/x exceeded timeout of 1 seconds"]
    opensandbox.fail("upload", 500)
    result = await sandbox.execute_code("print(1)", files=[Attachment.from_bytes(bytes=b"1", filename="a")])
    assert result.status is ExecutionStatus.ERROR and "Failed to upload 1 file(s)" in result.error
    assert opensandbox.calls["code"] == 0


async def test_terminate_keeps_the_handle_until_the_kill_lands(sandbox, opensandbox):
    opensandbox.fail("kill", 500, times=3)
    with pytest.raises(SandboxTerminateError) as info:
        await sandbox.terminate()
    assert str(info.value).startswith("Failed to terminate OpenSandbox: ") and sandbox._sandbox is not None
    sandbox_id = sandbox.sandbox_id
    await sandbox.terminate()
    assert sandbox._sandbox is None and sandbox._interpreter is None
    assert sandbox_id not in opensandbox.alive_sandboxes()
