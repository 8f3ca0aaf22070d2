"""Lazy session start, teardown and file download of ``BedrockAgentCoreSandbox`` against the stand-in."""

from __future__ import annotations

import asyncio
import logging
import re

import pytest

from tests.fakes.agentcore_server import AgentCoreStandIn
from vorn_tools.code_interpreter.code_sandbox.models import ExecutionStatus
from vorn_tools.code_interpreter.errors import SandboxExecutionError, SandboxNotInitializedError, SandboxStartError, Stage


async def test_the_first_execution_starts_one_session_and_terminate_forgets_it(make_sandbox, agentcore, spans) -> None:
    sandbox = make_sandbox(sandbox_timeout=120)
    assert (sandbox.sandbox_id, agentcore.calls["start"]) == (None, 0)
    with pytest.raises(SandboxNotInitializedError, match="^Sandbox is not started$"):
        await sandbox.download_file("x")
    await sandbox.execute_code("pass")
    await sandbox.execute_command("true")
    first = sandbox.sandbox_id
    [(_, start)] = [entry for entry in agentcore.requests if entry[0] == "start"]
    assert re.fullmatch(r"bedrock-sandbox-\d+", start["name"]) and start["sessionTimeoutSeconds"] == 120
    assert agentcore.live_sessions() == [first]
    [create] = [span for span in spans.get_finished_spans() if span.name == "zib_sandbox.sandbox.create"]
    assert dict(create.attributes) == {"zib_sandbox.backend": "bedrock", "zib_sandbox.sandbox_id": first}
    await sandbox.terminate()
    assert (sandbox.sandbox_id, agentcore.live_sessions()) == (None, [])
    await sandbox.execute_code("pass")
    assert sandbox.sandbox_id not in (None, first) and agentcore.calls["start"] == 2


@pytest.mark.parametrize("status", [403, 500])
async def test_a_failed_start_is_rolled_back_and_tried_again_next_time(make_sandbox, agentcore, caplog, status) -> None:
    sandbox = make_sandbox()
    agentcore.fail("start", status, message="denied")
    with pytest.raises(SandboxStartError, match="^Failed to start Bedrock session: .*denied") as info:
        await sandbox.execute_code("pass")
    assert info.value.stage is Stage.SESSION_START and info.value.__cause__ is not None
    assert (sandbox._client_context, sandbox._client, sandbox._is_started) == (None, None, False)
    assert [r.error_code for r in caplog.records if r.levelno == logging.ERROR] == ["session_start"]
    assert (await sandbox.execute_code("print(1)")).stdout == "1\n"


async def test_a_failed_install_stops_the_session(make_sandbox, agentcore) -> None:
    sandbox = make_sandbox(additional_packages=["surely-not-a-real-package-zz"])
    with pytest.raises(SandboxExecutionError) as info:
        await sandbox.execute_code("pass")
    assert info.value.stage is Stage.PACKAGE_INSTALL
    assert (sandbox.sandbox_id, agentcore.live_sessions(), agentcore.calls["stop"]) == (None, [], 1)


async def test_a_cancelled_start_is_rolled_back(make_sandbox, agentcore) -> None:
    sandbox = make_sandbox()
    agentcore.stall("start", 5.0)
    task = asyncio.ensure_future(sandbox.execute_code("pass"))
    for _ in range(500):
        if agentcore.calls["start"]:
            break
        await asyncio.sleep(0.01)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert (sandbox._client_context, sandbox._is_started) == (None, False)


@pytest.mark.parametrize("fault", [lambda s: s.fail("stop", 500), lambda s: s.stall("stop", 5.0)])
async def test_a_failed_stop_is_logged_and_the_session_forgotten(sandbox, agentcore, caplog, fault) -> None:
    fault(agentcore)
    with pytest.raises(ValueError, match="`timeout` must be positive"):
        await sandbox.terminate(timeout=0)
    await sandbox.terminate(timeout=1)
    [warning] = [r for r in caplog.records if r.levelno == logging.WARNING]
    assert warning.getMessage().startswith("Error stopping session: ") and warning.error_code == "terminate"
    assert (sandbox.sandbox_id, sandbox._client_context, sandbox._is_started) == (None, None, False)
    await sandbox.terminate()
    assert agentcore.calls["stop"] == 1


async def test_downloads(sandbox, agentcore, spans) -> None:
    code = "open('empty.txt', 'w').close()\nopen('/files/plot.png', 'wb').write(b'\\x89PNG')"
    assert (await sandbox.execute_code(code)).status is ExecutionStatus.SUCCESS
    assert await sandbox.download_file("empty.txt") == b""
    assert await sandbox.download_file("/files/plot.png") == b"\x89PNG"
    assert await sandbox.download_file("missing.txt") is None
    agentcore.hang("readFiles", 5)
    assert await sandbox.download_file("empty.txt", timeout=0.5) is None
    agentcore.drop_stream("readFiles", after_events=0)
    assert await sandbox.download_file("empty.txt") is None
    statuses = [s.attributes["zib_sandbox.status"] for s in spans.get_finished_spans()
                if s.name == "zib_sandbox.file.download"]
    assert statuses == ["success", "success", "success", "timeout", "error"]
    assert [body["arguments"] for route, body in agentcore.requests if route == "readFiles"][0] == {"paths": ["empty.txt"]}
    assert (await sandbox.execute_code("print('alive')")).status is ExecutionStatus.SUCCESS
