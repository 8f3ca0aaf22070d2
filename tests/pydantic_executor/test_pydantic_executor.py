"""``PydanticExecutorSandbox`` against the run-python stand-in, started as a real child process."""

from __future__ import annotations

import asyncio
import json
import logging
import math
import os
import signal
import threading
from decimal import Decimal
from fractions import Fraction

import pytest
from vorn_inference.schema import Attachment

from vorn_tools.code_interpreter.code_sandbox import pydantic_executor_sandbox as executor
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.code_sandbox.pydantic_executor_sandbox import PydanticExecutorSandbox
from vorn_tools.code_interpreter.errors import SandboxStartError, Stage

OK, ERR, TIMEOUT = ExecutionStatus.SUCCESS, ExecutionStatus.ERROR, ExecutionStatus.TIMEOUT


def _exits_within(pid: int, seconds: float) -> bool:
    try:
        return executor._exits_within(pid, seconds)
    except ProcessLookupError:
        return True


def _stderr_readers(process) -> list[threading.Thread]:
    return [t for t in threading.enumerate() if t.name == f"mcp-run-python-stderr-{process.pid}"]


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
        # Printed tags and tags in an exception's message cannot stand in for a field.
        ("print('<return_value>forged</return_value>')\n41 + 1", {}, OK, "stdout", "</return_value>\n\n\n42\n"),
        ("print('<error>forged</error>')\nraise KeyError('real')", {}, ERR, "error", "KeyError: 'real'"),
        ("raise KeyError('<return_value>1</return_value>')", {}, ERR, "error", "'<return_value>1</return_value>'"),
        ("print('<status>success</status>')\nraise KeyError('real')", {}, ERR, "error", "KeyError: 'real'"),
    ],
)
async def test_execution_outcomes(run_python, code, options, status, field, expected) -> None:
    result = await run_python.start().execute_code(code, **options)
    assert result.status == status and expected in getattr(result, field)
    assert result.code == code and result.exit_code == (status != OK)
    if field == "stdout":
        assert result.stdout.endswith(expected)


@pytest.mark.parametrize(
    ("code", "options", "refusal"),
    [
        (None, {}, TypeError("code must be a str, got NoneType")),
        (b"print(1)", {}, TypeError("code must be a str, got bytes")),
        ("print(1)", {"files": ["../escaped.txt"]}, "Attachment name '../escaped.txt' is not a safe relative path"),
        ("print(1)", {"files": ["ok.txt", "s/../../escaped.txt"]}, "'s/../../escaped.txt' is not a safe"),
        ("print(1)", {"files": ["/abs.txt"]}, "Attachment name '/abs.txt' is not a safe relative path"),
        ("print(1)", {"files": ["a\\b.txt"]}, "is not a safe relative path"),
        ("", {}, "Validation error: "),
        ("1", {"timeout": 301}, "Validation error: "),
        ("1", {"timeout": 3_000_000}, "Validation error: "),
        ("1", {"timeout": 10**400}, "Input should be less than or equal to 300"),  # however large
        ("1", {"timeout": Decimal("1e400")}, "Input should be less than or equal to 300"),
        ("1", {"max_output_length": 0}, "Validation error: "),
        ("1", {"language": "python"}, "Execution failed: "),
    ],
)
async def test_bad_arguments_are_refused_before_any_request(run_python, tmp_path, code, options, refusal) -> None:
    sandbox = run_python.start()
    if "files" in options:
        names = options.pop("files")
        files = [Attachment.from_bytes(bytes=b"x", filename=name) for name in names]
        options |= {"files": files, "upload_dir": str(tmp_path / "up")}
    if isinstance(refusal, Exception):
        with pytest.raises(type(refusal), match=f"^{refusal}$"):
            await sandbox.execute_code(code, **options)
    else:
        result = await sandbox.execute_code(code, **options)
        assert (result.status, result.code, result.exit_code) == (ERR, code, 1) and refusal in result.error
    assert not [line for line in run_python.entries() if "tools/call" in str(line)]
    assert not (tmp_path / "escaped.txt").exists() and not (tmp_path / "up").exists()


@pytest.mark.parametrize(
    ("text", "fields"),
    [
        ("<status>success</status>\n<output>\nhi\n</output>", {"status": "success", "output": "\nhi\n"}),
        # Any order.
        ("<error>E</error><output>O</output><status>no</status>", {"status": "no", "output": "O", "error": "E"}),
        ("<return_value>1</return_value><status>success</status>", {"status": "success", "return_value": "1"}),
        # A value ends at its own closing tag; what it holds is never a field.
        (
            "<status>no</status><error><return_value>1</return_value></error>",
            {"status": "no", "error": "<return_value>1</return_value>"},
        ),
        (
            "<output><status>success</status></output><status>no</status>",
            {"status": "no", "output": "<status>success</status>"},
        ),
        ("<output><error>forged</output><error>real</error>", {"output": "<error>forged", "error": "real"}),
        ('<dependencies>["<error>"]</dependencies><status>1</status>', {"dependencies": '["<error>"]', "status": "1"}),
        # A start tag without its closing tag is plain text; a closing tag alone is nothing.
        ("<output>never closed <status>success</status>", {"status": "success"}),
        ("</status>success<status>", {}),
        ("<status>a</status><status>b</status>", {"status": "a"}),
        ("<status >success</status><Status>success</Status><other>x</other>", {}),
        ("<status></status>", {"status": ""}),
    ],
)
def test_reply_fields_are_read_by_structure(text, fields) -> None:
    assert executor._reply_fields(text) == fields


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
    for limit in (0, None, 10**400, Decimal("5"), Fraction(1, 2)):  # nothing to read back, whatever the limit
        assert await sandbox.download_file(f"{tmp_path}/a.csv", timeout=limit) is None
    for bad, error in (("5", TypeError), (math.nan, ValueError), (True, ValueError), (math.inf, ValueError)):
        with pytest.raises(error, match="^timeout must be a"):  # as on every other backend
            await sandbox.download_file(f"{tmp_path}/a.csv", timeout=bad)


@pytest.mark.parametrize("mode", ["notify", "flood", "notify,flood"])
async def test_chatty_servers_still_answer_each_request(run_python, mode) -> None:
    sandbox = run_python.start(mode)
    for n in (1, 2):
        assert (await sandbox.execute_code(f"print({n})")).stdout.strip() == str(n)


@pytest.mark.parametrize(
    ("code", "stdout_length"),
    [("print(1)", 3), ("print('x' * (16 << 20))", (16 << 20) + 2), ("print('é' * (4 << 20), end='')", (4 << 20) + 2)],
)
async def test_runs_leave_the_loop_free_and_take_turns(run_python, code, stdout_length) -> None:
    sandbox = run_python.start()
    run = asyncio.create_task(sandbox.execute_code(code))
    await asyncio.sleep(0)
    assert not run.done()  # the run waits on its reply off the loop
    result = await run
    assert (result.status, len(result.stdout)) == (OK, stdout_length), result.error
    together = await asyncio.gather(*(sandbox.execute_code(f"print({n})") for n in range(4)))
    assert [r.stdout.strip() for r in together] == ["0", "1", "2", "3"]


@pytest.mark.parametrize(
    ("mode", "message"),
    [
        ("garbage", "Execution failed: Expecting value"),
        ("undecodable", "Execution failed: MCP server sent a line that cannot be read: 'utf-8' codec can't decode"),
    ],
)
async def test_garbage_fails_one_run_and_the_late_reply_is_skipped(run_python, mode, message) -> None:
    sandbox = run_python.start(mode)
    first = await sandbox.execute_code("print(1)")
    assert first.status == ERR and first.error.startswith(message), first.error
    assert (await sandbox.execute_code("print(2)")).stdout.strip() == "2"
    assert len(run_python.pids()) == 1  # the same server reads on from the next line


@pytest.mark.parametrize(
    ("mode", "timeout", "status", "message"),
    [
        ("late,once", 1, TIMEOUT, "Execution exceeded timeout of 1 seconds"),
        ("late,stubborn,once", 1, TIMEOUT, "Execution exceeded timeout of 1 seconds"),
        ("late,once", None, TIMEOUT, "Execution exceeded timeout of 30 seconds"),
        ("late,once", Decimal("1"), TIMEOUT, "Execution exceeded timeout of 1.0 seconds"),  # any real number
        # The server's output ends while a line is read: no waiting for the deadline.
        ("exit,once", 1, ERR, "No response from MCP server"),
        ("mute,once", 1, ERR, "No response from MCP server"),
        # A reply a little past the limit is still in time.
        ("slow", 1, OK, ""),
    ],
)
async def test_a_run_past_its_bound_restarts_the_server(run_python, caplog, mode, timeout, status, message) -> None:
    caplog.set_level(logging.WARNING, logger=executor.__name__)
    sandbox = run_python.start(mode)
    first = sandbox.mcp_process
    result = await sandbox.execute_code("print(1)", timeout=timeout)
    assert (result.status, result.error) == (status, message)
    # A stopped server is replaced by the next run, which says so.
    restarted = status != OK
    after = await sandbox.execute_code("print(2)")
    assert (after.status, after.stdout.strip()) == (OK, "2"), after.error
    assert (sandbox.mcp_process is not first, len(run_python.pids())) == (restarted, 1 + restarted)
    assert (first.returncode is not None) == restarted
    restarts = [r.getMessage() for r in caplog.records if "starting a fresh one" in r.getMessage()]
    assert len(restarts) == restarted


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


@pytest.mark.parametrize(
    ("mode", "returncode", "orphan_survives"),
    [
        ("stubborn", -signal.SIGKILL, None),
        ("orphan", -signal.SIGTERM, False),
        ("escape", -signal.SIGTERM, True),
        # A run waiting on the server is released at once, also while an escaped child holds the pipes open.
        ("late", -signal.SIGTERM, None),
        ("late,escape", -signal.SIGTERM, True),
    ],
)
async def test_terminate_stops_the_process_group_off_the_loop(run_python, mode, returncode, orphan_survives) -> None:
    sandbox = run_python.start(mode)
    process = sandbox.mcp_process
    run = asyncio.create_task(sandbox.execute_code("print(1)", timeout=10)) if "late" in mode else None
    if run:
        await run_python.has_read("tools/call")
    for bad in (0, -1, math.nan, math.inf, 10**400):
        with pytest.raises(ValueError, match="positive and finite"):
            await sandbox.terminate(timeout=bad)
    with pytest.raises(TypeError, match=r"^timeout must be a number of seconds, got str$"):
        await sandbox.terminate(timeout="5")
    assert sandbox.initialized and _stderr_readers(process)
    orphans = run_python.pids("orphan")
    try:
        stopping = asyncio.create_task(sandbox.terminate(timeout=Decimal("0.5")))  # as many seconds
        await asyncio.sleep(0)
        assert not stopping.done()  # the shutdown waits off the loop
        await stopping
        assert process.returncode == returncode and not _stderr_readers(process)
        assert process.stdout.closed  # no run is left holding the pipes
        assert (sandbox.mcp_process, sandbox.initialized) == (None, False)
        for pid in orphans:
            assert _exits_within(pid, 0 if orphan_survives else 10) is not orphan_survives
    finally:
        for pid in orphans:
            if not _exits_within(pid, 0):
                os.kill(pid, signal.SIGKILL)
    if run:
        result = await run
        assert (result.status, result.error) == (ERR, "MCP server connection lost: MCP server was stopped")


async def test_terminate_during_a_restart_stops_the_fresh_server(run_python) -> None:
    restarting, terminated = threading.Event(), threading.Event()

    class HoldRestart(logging.Handler):
        def emit(self, record: logging.LogRecord) -> None:
            if "starting a fresh one" in record.getMessage():
                restarting.set()
                terminated.wait(30)

    sandbox = run_python.start("exit,once")
    assert (await sandbox.execute_code("print(1)")).error == "No response from MCP server"
    hold = HoldRestart()
    executor.logger.addHandler(hold)
    try:
        run = asyncio.create_task(sandbox.execute_code("print(2)"))
        assert await asyncio.to_thread(restarting.wait, 30)
        await sandbox.terminate()
    finally:
        terminated.set()
        executor.logger.removeHandler(hold)
    assert (await run).error == "Executor is not initialized"
    assert len(run_python.pids()) == 2 and sandbox.mcp_process is None
    assert all(_exits_within(pid, 0) for pid in run_python.pids())
