"""The real E2B SDKs against the local stand-in.

These pin down what the installed SDK does on the wire and which exception
classes it raises for each kind of failure: the backend's classifiers rest
on these facts.
"""

from __future__ import annotations

import asyncio

import httpx
import pytest
from e2b.exceptions import (
    AuthenticationException,
    FileNotFoundException,
    RateLimitException,
    SandboxException,
    SandboxUnreachableException,
    ServiceBusyException,
    TimeoutException,
)
from e2b.sandbox.commands.command_handle import CommandExitException
from e2b.sandbox_async.filesystem.filesystem import WriteEntry
from e2b_code_interpreter import AsyncSandbox

from tests.fakes.e2b_server import E2BStandIn


async def _sandbox(e2b: E2BStandIn, **options) -> AsyncSandbox:
    return await AsyncSandbox.create(**e2b.connection_options(), timeout=120, retries=0, **options)


def _chain(exc: BaseException) -> list[type]:
    types = []
    while exc is not None and type(exc) not in types:
        types.append(type(exc))
        exc = exc.__cause__
    return types


async def test_code_runs_keep_state_and_stream_chunks_with_their_line_breaks(e2b: E2BStandIn) -> None:
    sandbox = await _sandbox(e2b)
    seen: list[str] = []
    first = await sandbox.run_code(
        "import sys\ntotal = 40\nprint('one')\nprint('two', end='')\nprint('!')\n"
        "_ = sys.stdout.write('a\\nb\\n')\ntotal + 1",
        on_stdout=lambda message: seen.append(message.line),
    )
    second = await sandbox.run_code("total += 2\ntotal")

    # Chunks are flushed at line breaks and keep them; one write may hold two lines.
    assert first.logs.stdout == ["one\n", "two!\n", "a\nb\n"]
    assert seen == first.logs.stdout
    assert first.results[0].text == "41"
    assert second.results[0].text == "42"
    assert await sandbox.kill() is True
    assert sandbox.sandbox_id not in e2b.alive_sandboxes()


async def test_user_error_is_a_record_not_an_exception(e2b: E2BStandIn) -> None:
    sandbox = await _sandbox(e2b)
    execution = await sandbox.run_code("def f():\n    return 1 / 0\nf()")
    assert execution.error.name == "ZeroDivisionError"
    assert execution.error.value == "division by zero"
    assert "in f" in execution.error.traceback
    await sandbox.kill()


async def test_files_batch_write_read_and_signed_download_url(e2b: E2BStandIn) -> None:
    sandbox = await _sandbox(e2b)
    payload = bytes(range(256))
    written = await sandbox.files.write_files(
        [WriteEntry(path="/files/a.bin", data=payload), WriteEntry(path="/files/sub/b.txt", data=b"b")]
    )
    assert [info.path for info in written] == ["/files/a.bin", "/files/sub/b.txt"]

    execution = await sandbox.run_code("open('/files/a.bin', 'rb').read() == bytes(range(256))")
    assert execution.results[0].text == "True"
    assert bytes(await sandbox.files.read("/files/a.bin", format="bytes")) == payload

    url = sandbox.download_url("/files/a.bin")
    assert "signature=v1_" in url
    async with httpx.AsyncClient() as client:
        signed = await client.get(url)
        forged = await client.get(url.replace("signature=v1_", "signature=v1_x"))
    assert signed.status_code == 200 and signed.content == payload
    assert forged.status_code == 401

    with pytest.raises(FileNotFoundException):
        await sandbox.files.read("/files/missing.txt", format="bytes")
    await sandbox.kill()


async def test_commands_run_over_connect_rpc(e2b: E2BStandIn) -> None:
    sandbox = await _sandbox(e2b)
    result = await sandbox.commands.run("echo out; echo err >&2; echo $GREETING", envs={"GREETING": "hi"}, timeout=10)
    assert (result.stdout, result.stderr, result.exit_code) == ("out\nhi\n", "err\n", 0)

    with pytest.raises(CommandExitException) as failed:
        await sandbox.commands.run("echo partial; exit 3", timeout=10)
    assert (failed.value.exit_code, failed.value.stdout, failed.value.error) == (3, "partial\n", "exit status 3")

    with pytest.raises(TimeoutException):
        await sandbox.commands.run("sleep 5", timeout=0.5)
    await sandbox.kill()


async def test_execution_timeout_interrupts_the_cell_and_keeps_the_sandbox(e2b: E2BStandIn) -> None:
    sandbox = await _sandbox(e2b)
    await sandbox.run_code("state = 'kept'")
    seen: list[str] = []
    with pytest.raises(TimeoutException):
        await sandbox.run_code(
            "import time\nprint('before')\ntime.sleep(10)",
            timeout=0.7,
            on_stdout=lambda message: seen.append(message.line),
        )
    assert seen == ["before\n"]
    after = await sandbox.run_code("state")
    assert after.results[0].text == "'kept'"
    await sandbox.kill()


async def test_lease_renewal_and_reaping(e2b: E2BStandIn) -> None:
    sandbox = await _sandbox(e2b)
    await sandbox.set_timeout(1)
    for _ in range(50):
        if sandbox.sandbox_id not in e2b.alive_sandboxes():
            break
        await asyncio.sleep(0.1)
    assert sandbox.sandbox_id not in e2b.alive_sandboxes()
    # A killed sandbox answers its health probe with the proxy's "not found".
    assert await sandbox.is_running() is False
    assert await sandbox.kill() is False


# --- what the SDK raises for each failure -----------------------------------


@pytest.mark.parametrize(
    ("status", "expected"),
    [
        (429, RateLimitException),
        (503, ServiceBusyException),
        (500, SandboxException),
        (504, SandboxException),
        (401, AuthenticationException),
    ],
)
async def test_create_failure_statuses(e2b: E2BStandIn, status: int, expected: type) -> None:
    e2b.fail("create", status)
    with pytest.raises(expected) as raised:
        await _sandbox(e2b)
    assert type(raised.value) is expected
    if isinstance(raised.value, SandboxException):
        assert raised.value.status_code == status


async def test_create_against_a_refused_or_stalled_control_plane(e2b: E2BStandIn) -> None:
    with e2b.refusing("api"), pytest.raises(httpx.ConnectError):
        await _sandbox(e2b)
    e2b.stall("create", 2.0)
    with pytest.raises(httpx.ReadTimeout):
        await _sandbox(e2b, request_timeout=0.5)


async def test_run_code_transport_failures(e2b: E2BStandIn) -> None:
    sandbox = await _sandbox(e2b)

    # Refused before the request was written: httpx's ConnectError, unwrapped.
    with e2b.refusing("envd"), pytest.raises(httpx.ConnectError):
        await sandbox.run_code("print(1)")

    # Dropped after output streamed: the SDK probes /health, finds the sandbox
    # running and re-raises the transport error.
    e2b.drop_stream(after_events=2)
    seen: list[str] = []
    with pytest.raises((httpx.RemoteProtocolError, httpx.ReadError)):
        await sandbox.run_code("print('a')\nprint('b')\nprint('c')", on_stdout=lambda m: seen.append(m.line))
    assert seen == ["a\n"]
    assert e2b.calls["health"] >= 1

    e2b.fail("execute", 429)
    with pytest.raises(SandboxException) as limited:
        await sandbox.run_code("1")
    assert type(limited.value) is SandboxException and str(limited.value).startswith("429")
    await sandbox.kill()


async def test_commands_refused_connection_is_reported_as_unreachable(e2b: E2BStandIn) -> None:
    sandbox = await _sandbox(e2b)
    with e2b.refusing("envd"), pytest.raises(SandboxUnreachableException) as raised:
        await sandbox.commands.run("echo hi", timeout=5)
    # A TimeoutException subclass whose explicit causes end in the builtin
    # ConnectionError that pyqwest raises before a request is written.
    assert isinstance(raised.value, TimeoutException)
    assert ConnectionError in _chain(raised.value)
    await sandbox.kill()
