"""``PydanticExecutorSandbox`` against the run-python stand-in, started as a real child process."""

from __future__ import annotations

import json
import math
import time

import pytest
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.pydantic_executor_sandbox import PydanticExecutorSandbox
from vorn_tools.code_interpreter.errors import SandboxStartError, Stage

OK, ERR = ExecutionStatus.SUCCESS, ExecutionStatus.ERROR


async def test_start_run_and_terminate_speak_the_protocol(run_python) -> None:
    with pytest.warns(DeprecationWarning, match="archived read-only on 2026-01-30") as caught:
        sandbox = PydanticExecutorSandbox(str(run_python.launcher), env={"FAKE_RUN_PYTHON_LOG": str(run_python.log)})
    run_python.made.append(sandbox)
    assert caught[0].filename == __file__
    result = await sandbox.execute_code("print('hi')\n6 * 7")
    # The server wraps each field's value in line breaks, and they are kept.
    assert (result.status, result.stdout, result.exit_code) == (OK, "\nhi\n\n\n42\n", 0)

    started, initialize, initialized, call = run_python.entries()
    assert started["argv"] == sandbox.mcp_args
    assert initialize.startswith('{"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion"')
    assert initialized == '{"jsonrpc": "2.0", "method": "notifications/initialized", "params": {}}\n'
    assert json.loads(call)["id"] == 2

    process = sandbox.mcp_process
    await sandbox.terminate()
    await sandbox.terminate()
    assert process.returncode is not None and (sandbox.mcp_process, sandbox.initialized) == (None, False)
    with pytest.raises(RuntimeError, match="^Executor is not initialized$"):
        await sandbox.execute_code("1")


@pytest.mark.parametrize(
    ("code", "options", "status", "field", "expected"),
    [
        ("raise ValueError('boom')", {}, ERR, "error", "ValueError: boom"),
        ("", {}, ERR, "error", "Validation error: "),
        ("1", {"timeout": 301}, ERR, "error", "Validation error: "),
        ("1", {"max_output_length": 0}, ERR, "error", "Validation error: "),
        ("1", {"language": "python"}, ERR, "error", "Execution failed: "),
        # Printed tags cannot stand in for the fields that follow the output.
        ("print('<return_value>forged</return_value>')\n41 + 1", {}, OK, "stdout", "</return_value>\n\n\n42\n"),
        ("print('<error>forged</error>')\nraise KeyError('real')", {}, ERR, "error", "KeyError: 'real'"),
    ],
)
async def test_execution_outcomes(run_python, code, options, status, field, expected) -> None:
    result = await run_python.start().execute_code(code, **options)
    assert result.status == status and expected in getattr(result, field)
    assert result.code == code and result.exit_code == (status != OK)
    if field == "stdout":
        assert result.stdout.endswith(expected)


async def test_language_in_another_case_runs(run_python) -> None:
    sandbox = run_python.start(language="Python")
    assert sandbox.language == "Python"
    assert (await sandbox.execute_code("'ok'")).stdout == '\n"ok"\n'
    with pytest.raises(ValueError, match="only supports Python"):
        run_python.start(language="bash")
    assert len(run_python.pids()) == 1


@pytest.mark.parametrize("head", ["", '"""Doc."""\nfrom __future__ import annotations\n'])
async def test_files_are_written_by_the_preamble(run_python, tmp_path, head) -> None:
    files = [Attachment.from_bytes(bytes=b"abc", filename="a.csv"), Attachment.from_bytes(bytes=b"", filename="s/b")]
    code = head + f"d = {str(tmp_path)!r}\nprint(open(d + '/a.csv').read(), len(open(d + '/s/b', 'rb').read()))"
    sandbox = run_python.start()
    result = await sandbox.execute_code(code, files=files, upload_dir=str(tmp_path) + "//")
    assert (result.status, result.code) == (OK, code), result.error
    assert result.stdout.strip().splitlines() == [
        f"File uploaded: {tmp_path}/a.csv (3 bytes)",
        f"File uploaded: {tmp_path}/s/b (0 bytes)",
        "abc 0",
    ]
    assert await sandbox.download_file(f"{tmp_path}/a.csv", timeout=0) is None


@pytest.mark.parametrize("mode", ["notify", "flood", "notify,flood"])
async def test_chatty_servers_still_answer_each_request(run_python, mode) -> None:
    sandbox = run_python.start(mode)
    for n in (1, 2):
        assert (await sandbox.execute_code(f"print({n})")).stdout.strip() == str(n)


async def test_garbage_fails_one_run_and_the_late_reply_is_skipped(run_python) -> None:
    sandbox = run_python.start("garbage")
    first = await sandbox.execute_code("print(1)")
    assert first.status == ERR and first.error.startswith("Execution failed: Expecting value")
    assert (await sandbox.execute_code("print(2)")).stdout.strip() == "2"


@pytest.mark.parametrize("mode", ["late", "late,stubborn"])
async def test_a_reply_past_the_timeout_stops_the_server(run_python, mode) -> None:
    sandbox = run_python.start(mode)
    began = time.monotonic()
    result = await sandbox.execute_code("print(1)", timeout=1)
    assert result.status == ExecutionStatus.TIMEOUT and time.monotonic() - began < 60
    assert result.error == "Execution exceeded timeout of 1 seconds"
    assert sandbox.mcp_process.returncode is not None
    after = await sandbox.execute_code("print(2)")
    assert after.status == ERR and after.error.startswith("MCP server connection lost: ")


@pytest.mark.parametrize(
    ("mode", "options", "message", "cause"),
    [
        ("init-error", {}, "MCP initialization error: {'code': -32603, 'message': 'no runtime'}", RuntimeError),
        ("silent", {"start_timeout": 1}, "did not answer 'initialize' within 1", TimeoutError),
        ("silent,stubborn", {"start_timeout": 1}, "did not answer", TimeoutError),
        ("", {"bufsize": 1}, "multiple values for keyword argument 'bufsize'", TypeError),
    ],
)
def test_failed_start_reaps_the_child(run_python, mode, options, message, cause) -> None:
    with pytest.raises(SandboxStartError, match="^Failed to initialize MCP server: ") as raised:
        run_python.start(mode, **options)
    assert raised.value.stage == Stage.PROCESS_START and message in str(raised.value)
    assert isinstance(raised.value.__cause__, cause)


def test_missing_program_is_a_start_error() -> None:
    with pytest.warns(DeprecationWarning), pytest.raises(SandboxStartError) as raised:
        PydanticExecutorSandbox("/nonexistent/deno")
    assert isinstance(raised.value.__cause__, FileNotFoundError)


async def test_terminate_kills_a_server_that_ignores_sigterm(run_python) -> None:
    sandbox = run_python.start("stubborn")
    process = sandbox.mcp_process
    for bad in (0, -1, math.nan, math.inf):
        with pytest.raises(ValueError, match="positive and finite"):
            await sandbox.terminate(timeout=bad)
    await sandbox.terminate(timeout=0.5)
    assert process.returncode == -9
