"""Code and command execution of ``E2BSandbox`` through the real SDK and the stand-in."""

from __future__ import annotations

import pytest
from vorn_inference.schema import Attachment

from tests.fakes.e2b_server import E2BStandIn
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.utils import _OUTPUT_TRUNCATED
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError

STATUS = "zib_sandbox.status"


def _last_span(spans, name: str):
    found = [span for span in spans.get_finished_spans() if span.name == name]
    assert found, [span.name for span in spans.get_finished_spans()]
    return found[-1]


async def test_success_keeps_state_and_reports_output_as_printed(sandbox: E2BSandbox, spans) -> None:
    forwarded: list[str] = []
    first = await sandbox.execute_code(
        "import os\ncount = 1\nprint('alpha')\nprint('beta', end='')\nprint('!')\nprint(os.environ['MODE'])",
        env={"MODE": "fast"},
        on_stdout=forwarded.append,
    )
    second = await sandbox.execute_code("count += 1\nprint(count)")

    assert first.status is ExecutionStatus.SUCCESS
    assert first.stdout == "alpha\nbeta!\nfast\n"
    assert first.text == first.stdout and first.error == "" and first.exit_code == 0
    # What was streamed to the callback is what the finished result holds.
    assert "\n".join(forwarded) == first.stdout.rstrip("\n")
    assert second.stdout == "2\n"
    assert first.duration_ms is not None and first.failure is None

    span = [s for s in spans.get_finished_spans() if s.name == "zib_sandbox.execute_code"][0]
    assert span.attributes["zib_sandbox.backend"] == "e2b"
    assert span.attributes["zib_sandbox.sandbox_id"] == sandbox.sandbox_id
    assert span.attributes[STATUS] == "success"


async def test_user_error_carries_traceback_then_name_and_value(sandbox: E2BSandbox) -> None:
    result = await sandbox.execute_code("print('ran')\ndef boom():\n    raise KeyError('missing')\nboom()")
    assert result.status is ExecutionStatus.ERROR
    assert result.stdout == "ran\n"
    assert result.error.startswith("Traceback (most recent call last):")
    assert "in boom" in result.error
    assert result.error.splitlines()[-1] == "KeyError: 'missing'"
    assert result.text == result.error and result.exit_code == 1 and result.failure is None


async def test_timeout_keeps_the_partial_output_and_the_sandbox(sandbox: E2BSandbox, spans) -> None:
    await sandbox.execute_code("kept = 'yes'")
    lines: list[str] = []
    result = await sandbox.execute_code(
        "import time\nprint('step 1')\nprint('step 2')\ntime.sleep(30)\nprint('never')",
        timeout=0.6,
        on_stdout=lines.append,
    )
    assert result.status is ExecutionStatus.TIMEOUT
    assert result.stdout == "step 1\nstep 2"
    assert lines == ["step 1", "step 2"]
    assert "timed out" in result.error and result.failure is None
    assert _last_span(spans, "zib_sandbox.execute_code").attributes[STATUS] == "timeout"
    # The stand-in interrupted the cell as a kernel would; the state survived.
    assert (await sandbox.execute_code("print(kept)")).stdout == "yes\n"


async def test_refused_connection_is_an_error_safe_to_retry(sandbox: E2BSandbox, e2b: E2BStandIn, spans) -> None:
    with e2b.refusing("envd"):
        result = await sandbox.execute_code("print('never ran')")
    assert result.status is ExecutionStatus.ERROR
    assert result.failure is not None and result.failure.retry_safe is True
    assert result.failure.exception_type == "httpx.ConnectError"
    assert "ConnectError" in result.error and "Connection refused" in result.error
    assert e2b.calls["execute"] == 0
    assert _last_span(spans, "zib_sandbox.execute_code").attributes[STATUS] == "error"
    assert (await sandbox.execute_code("print('back')")).stdout == "back\n"


async def test_dropped_stream_is_unknown_and_keeps_streamed_output(sandbox: E2BSandbox, e2b: E2BStandIn) -> None:
    # Events: number_of_executions, then one stdout chunk; the cut comes before the second.
    e2b.drop_stream(after_events=2)
    result = await sandbox.execute_code("print('first')\nprint('second')\nprint('third')")
    assert result.status is ExecutionStatus.UNKNOWN
    assert result.stdout == "first"
    assert result.failure is not None and result.failure.retry_safe is False
    assert result.failure.exception_type in {"httpx.RemoteProtocolError", "httpx.ReadError"}
    assert e2b.calls["execute"] == 1


@pytest.mark.parametrize("status", [429, 500])
async def test_service_refusal_before_any_output_is_a_plain_error(sandbox: E2BSandbox, e2b: E2BStandIn, status: int) -> None:
    e2b.fail("execute", status, message=f"refused with key {e2b.api_key}")
    result = await sandbox.execute_code("print(1)")
    assert result.status is ExecutionStatus.ERROR
    assert result.failure is None and result.stdout == ""
    assert result.error.startswith(str(status))
    # The registered API key never leaves in an error text.
    assert e2b.api_key not in result.error and "[SECRET]" in result.error


async def test_streamed_output_over_the_cap_is_truncated_with_the_notice(sandbox: E2BSandbox) -> None:
    line = "x" * 999
    result = await sandbox.execute_code(
        f"import time\nfor i in range(400):\n    print('{line}')\nprint('last')\ntime.sleep(30)",
        timeout=2,
    )
    assert result.status is ExecutionStatus.TIMEOUT
    assert result.stdout.startswith(_OUTPUT_TRUNCATED + "\n")
    assert result.stdout.endswith("\nlast")
    kept = result.stdout[len(_OUTPUT_TRUNCATED) + 1 :]
    assert 250_000 < len(kept) <= 262_144


async def test_attachments_are_uploaded_in_one_batch_before_the_run(sandbox: E2BSandbox, e2b: E2BStandIn) -> None:
    files = [
        Attachment.from_bytes(bytes=b"a,b\n1,2\n", filename="data.csv"),
        Attachment.from_bytes(bytes=bytes(range(256)), filename="blob.bin"),
    ]
    result = await sandbox.execute_code(
        "print(open('/files/data.csv').read().splitlines()[1])\n"
        "print(len(open('/files/blob.bin', 'rb').read()))",
        files=files,
    )
    assert result.stdout == "1,2\n256\n"
    writes = [body for route, body in e2b.requests if route == "files.write"]
    assert writes == [{"paths": ["/files/data.csv", "/files/blob.bin"]}]

    other = await sandbox.execute_code("import os\nprint(os.listdir('/mnt/data'))", files=files[:1], upload_dir="/mnt/data/")
    assert other.stdout == "['data.csv']\n"


async def test_a_short_write_fails_the_run_before_the_code_runs(sandbox: E2BSandbox, e2b: E2BStandIn) -> None:
    e2b.short_write(confirmed=1)
    files = [Attachment.from_bytes(bytes=b"1", filename="a.txt"), Attachment.from_bytes(bytes=b"2", filename="b.txt")]
    result = await sandbox.execute_code("print('should not run')", files=files)
    assert result.status is ExecutionStatus.ERROR
    assert result.error == (
        "Failed to upload 2 file(s) to sandbox backend 'e2b': "
        "Provider confirmed only 1 of 2 file(s) were written"
    )
    assert e2b.calls["execute"] == 0


@pytest.mark.parametrize(
    ("cmd", "options", "status", "stdout", "error_part"),
    [
        ("echo out; echo err >&2", {}, ExecutionStatus.SUCCESS, "out\n", ""),
        ("echo $NAME", {"env": {"NAME": "vorn"}}, ExecutionStatus.SUCCESS, "vorn\n", ""),
        ("echo partial; exit 2", {}, ExecutionStatus.ERROR, "partial\n", "exit status 2"),
        ("sleep 5", {"timeout": 0.5}, ExecutionStatus.TIMEOUT, "", "timeout"),
    ],
)
async def test_commands(sandbox: E2BSandbox, cmd, options, status, stdout, error_part) -> None:
    result = await sandbox.execute_command(cmd, **options)
    assert result.status is status
    assert result.stdout == stdout
    assert error_part in result.error
    assert result.code == cmd and result.failure is None
    assert result.exit_code == (0 if status is ExecutionStatus.SUCCESS else 1)


async def test_a_command_refused_at_connect_is_an_error_safe_to_retry(sandbox: E2BSandbox, e2b: E2BStandIn) -> None:
    with e2b.refusing("envd"):
        result = await sandbox.execute_command("echo hi", timeout=5)
    # The SDK reports this as SandboxUnreachableException (a TimeoutException),
    # but its causes prove the command never started.
    assert result.status is ExecutionStatus.ERROR
    assert result.failure is not None and result.failure.retry_safe is True
    assert result.failure.exception_type == "e2b.exceptions.SandboxUnreachableException"


async def test_operations_need_a_live_sandbox(sandbox: E2BSandbox) -> None:
    fresh = E2BSandbox()
    assert (fresh.language, fresh.additional_packages, fresh.sandbox_id) == ("python", [], None)
    await fresh.terminate(timeout=0)
    await fresh.set_timeout(30)

    await sandbox.terminate()
    for instance in (fresh, sandbox):
        with pytest.raises(SandboxNotInitializedError, match="Sandbox is not initialized"):
            await instance.execute_code("1")
        with pytest.raises(SandboxNotInitializedError):
            await instance.execute_command("true")
        with pytest.raises(SandboxNotInitializedError):
            await instance.download_file("/files/x")


async def test_a_raising_callback_keeps_its_line_and_the_outcome_stays_open(sandbox: E2BSandbox) -> None:
    def explode(line: str) -> None:
        raise RuntimeError(f"consumer failed on {line!r}")

    result = await sandbox.execute_code("print('seen')\nprint('after')", on_stdout=explode)
    # The run was delivered, so its outcome is unknown; the line was recorded first.
    assert result.status is ExecutionStatus.UNKNOWN
    assert result.stdout == "seen"
    assert result.failure is not None and result.failure.exception_type == "builtins.RuntimeError"
    assert (await sandbox.execute_code("print('next')")).stdout == "next\n"


@pytest.mark.parametrize(
    ("timeout", "deadline_ms"),
    [(None, "30000"), (0, None), (-5, None), (0.5, "500"), (12, "12000")],
)
async def test_command_limits_reach_the_service(sandbox: E2BSandbox, e2b: E2BStandIn, timeout, deadline_ms) -> None:
    await sandbox.execute_command("true", timeout=timeout)
    (start,) = [body for route, body in e2b.requests if route == "process.start"]
    assert start["timeout_ms"] == deadline_ms
    assert start["args"] == ["-l", "-c", "true"]


@pytest.mark.parametrize(("env", "sent"), [(None, None), ({}, {}), ({"A": "1"}, {"A": "1"})])
async def test_environment_of_a_run_reaches_the_service(sandbox: E2BSandbox, e2b: E2BStandIn, env, sent) -> None:
    result = await sandbox.execute_code("print('ok')", env=env, unused_option=True)
    assert result.stdout == "ok\n"
    (body,) = [body for route, body in e2b.requests if route == "execute"]
    assert body["env_vars"] == sent and body["language"] == "python"
