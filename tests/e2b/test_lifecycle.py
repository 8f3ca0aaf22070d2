"""Teardown, lease renewal, the live-sandbox requirement and downloads of ``E2BSandbox``."""

from __future__ import annotations

import asyncio
import subprocess
import sys
import time
import warnings

import httpx

import pytest
from e2b.exceptions import SandboxException

from tests.fakes.e2b_server import E2BStandIn
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import _RESET_TRANSPORT_DEPRECATION, E2BSandbox
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError, SandboxTerminateError, Stage

MODULE_LOGGER = "vorn_tools.code_interpreter.code_sandbox.e2b_sandbox"


def _records(caplog: pytest.LogCaptureFixture) -> list:
    return [r for r in caplog.records if r.name == MODULE_LOGGER]


def _messages(caplog: pytest.LogCaptureFixture) -> list[str]:
    return [r.getMessage() for r in _records(caplog)]


def _last_span(spans, name: str):
    return [s for s in spans.get_finished_spans() if s.name == name][-1]


@pytest.mark.parametrize("failures", [0, 2])
async def test_terminate_retries_under_the_cap_and_clears_the_handles(
    sandbox: E2BSandbox, e2b: E2BStandIn, spans, failures: int
) -> None:
    sandbox_id = sandbox.sandbox_id
    e2b.fail("kill", 500, times=failures)
    await sandbox.terminate(timeout=5)
    assert (sandbox.sandbox, sandbox.files, sandbox.commands, sandbox.sandbox_id) == (None, None, None, None)
    assert e2b.calls["kill"] == failures + 1 and sandbox_id not in e2b.alive_sandboxes()
    assert _last_span(spans, "zib_sandbox.sandbox.terminate").attributes["zib_sandbox.sandbox_id"] == sandbox_id
    await sandbox.terminate()  # already gone: nothing happens
    assert e2b.calls["kill"] == failures + 1


@pytest.mark.parametrize("fault", ["every_kill_fails", "kill_outlasts_the_cap"])
async def test_failed_terminate_keeps_the_handles_for_a_retry(sandbox: E2BSandbox, e2b: E2BStandIn, fault: str) -> None:
    sandbox_id = sandbox.sandbox_id
    with pytest.raises(ValueError, match="`timeout` must be positive"):
        await sandbox.terminate(timeout=0)
    if fault == "every_kill_fails":
        e2b.fail("kill", 500, times=3, message="kill refused")
        timeout = 5.0
    else:
        e2b.stall("kill", 1.5)
        timeout = 0.5
    with pytest.raises(SandboxTerminateError) as raised:
        await sandbox.terminate(timeout=timeout)
    error = raised.value
    assert error.stage is Stage.TERMINATE and str(error).startswith("Failed to terminate E2B sandbox: ")
    if fault == "every_kill_fails":
        assert str(error) == "Failed to terminate E2B sandbox: 500: kill refused"
        assert isinstance(error.__cause__, SandboxException) and e2b.calls["kill"] == 3
    else:
        assert str(error) == "Failed to terminate E2B sandbox: no success within the 0.5-second cap"
        assert isinstance(error.__cause__, TimeoutError)
        await asyncio.sleep(1.2)  # let the stalled kill answer
    assert sandbox.sandbox_id == sandbox_id and sandbox.files is not None and sandbox.commands is not None
    e2b.clear_faults()
    await sandbox.terminate()
    assert sandbox.sandbox is None and sandbox_id not in e2b.alive_sandboxes()


async def test_lease_renewal(sandbox: E2BSandbox, e2b: E2BStandIn, caplog: pytest.LogCaptureFixture) -> None:
    e2b.fail("set_timeout", 500, message="lease refused")
    await sandbox.set_timeout(30)
    assert _messages(caplog) == ["Failed to set sandbox timeout to 30s: 500: lease refused"]
    await sandbox.set_timeout(1)
    for _ in range(50):
        if sandbox.sandbox_id not in e2b.alive_sandboxes():
            break
        await asyncio.sleep(0.1)
    assert sandbox.sandbox_id not in e2b.alive_sandboxes()


async def test_operations_need_a_live_sandbox(sandbox: E2BSandbox) -> None:
    with pytest.raises(ValueError, match="timeout must be a finite number of seconds"):
        await sandbox.execute_code("1", timeout=10**400)
    fresh = E2BSandbox()
    assert (fresh.language, fresh.additional_packages, fresh.sandbox_id) == ("python", [], None)
    assert await fresh.terminate(timeout=0) is None
    assert await fresh.set_timeout(30) is None
    with pytest.raises(TypeError):  # time limits and the command environment are keyword-only
        await fresh.download_file("/files/x", 5)  # type: ignore[misc]
    with pytest.raises(TypeError):
        await fresh.execute_command("env", {"A": "1"})  # type: ignore[misc]

    await sandbox.terminate()
    for instance in (fresh, sandbox):
        with pytest.raises(SandboxNotInitializedError, match="Sandbox is not initialized"):
            await instance.execute_code("1")
        with pytest.raises(SandboxNotInitializedError):
            await instance.execute_command("true")
        with pytest.raises(SandboxNotInitializedError):
            await instance.download_file("/files/x")


def test_deprecated_transport_resets_only_warn() -> None:
    instance = E2BSandbox()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert instance.reset_transport() is None
        assert E2BSandbox.reset_transport_singleton() is None
    assert [str(w.message) for w in caught] == [_RESET_TRANSPORT_DEPRECATION] * 2
    assert all(w.category is DeprecationWarning and w.filename == __file__ for w in caught)


def test_without_the_sdk_only_the_backend_module_fails_to_import() -> None:
    probe = (
        "import sys\n"
        "sys.modules['e2b_code_interpreter'] = None\n"
        "import vorn_tools.code_interpreter.code_sandbox\n"
        "try:\n"
        "    import vorn_tools.code_interpreter.code_sandbox.e2b_sandbox\n"
        "except ModuleNotFoundError as exc:\n"
        "    print(exc.name)\n"
    )
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "e2b_code_interpreter", out.stderr


def _reads(e2b: E2BStandIn) -> list[bool]:
    """Whether each file read the stand-in served came through a signed URL."""
    return [body["signed"] for route, body in e2b.requests if route == "files.read"]


def _expirations(e2b: E2BStandIn) -> list[float | None]:
    """Seconds from now until each signed URL the stand-in served expires."""
    return [body["expiration"] and body["expiration"] - time.time() for route, body in e2b.requests if route == "files.read"]


async def test_downloads_prefer_the_signed_url_and_fall_back_to_the_filesystem(
    sandbox: E2BSandbox, e2b: E2BStandIn, caplog: pytest.LogCaptureFixture, spans
) -> None:
    payload = bytes(range(256)) * 8
    e2b.write_file(sandbox.sandbox_id, "/files/out.bin", payload)
    e2b.write_file(sandbox.sandbox_id, "/files/empty.txt", b"")
    assert await sandbox.download_file("/files/out.bin") == payload
    assert await sandbox.download_file("/files/empty.txt", timeout=0) == b""
    assert _reads(e2b) == [True, True] and _messages(caplog) == []
    # Signed to expire a little after the URL attempt's budget (15 s of 30, none without a limit).
    (default, unlimited) = _expirations(e2b)
    assert 15 < default <= 15 + 30 + 1 and 0 < unlimited <= 30 + 1
    span = _last_span(spans, "zib_sandbox.file.download")
    assert (span.attributes["zib_sandbox.status"], span.attributes["zib_sandbox.file_path"]) == ("success", "/files/empty.txt")

    # A refused signed URL: one warning, then the filesystem read.
    e2b.fail("files.read", 404)
    assert await sandbox.download_file("/files/out.bin", timeout=10) == payload
    assert _reads(e2b) == [True, True, False]
    assert _messages(caplog) == ["URL download for /files/out.bin returned status 404"]

    # A missing file: both attempts fail, None with both warnings.
    assert await sandbox.download_file("/files/missing.csv") is None
    assert _messages(caplog)[1] == "URL download for /files/missing.csv returned status 404"
    assert _messages(caplog)[2].startswith("Failed to download file /files/missing.csv: ")
    assert _last_span(spans, "zib_sandbox.file.download").attributes["zib_sandbox.status"] == "error"


@pytest.mark.parametrize("fault", ["stalled", "sdk_read_timeout"])
async def test_a_download_over_budget_is_a_timeout(
    sandbox: E2BSandbox, e2b: E2BStandIn, caplog: pytest.LogCaptureFixture, spans, monkeypatch, fault
) -> None:
    e2b.write_file(sandbox.sandbox_id, "/files/slow.bin", b"slow")
    if fault == "stalled":
        e2b.stall("files.read", 2.0, times=2)
    else:  # the SDK's read times out before the overall cap; the SDK raises httpx's error then
        e2b.stall("files.read", 2.0)

        async def read_timeout(file_path, request_timeout):
            raise httpx.ReadTimeout("timed out")

        monkeypatch.setattr(sandbox, "_read_via_filesystem", read_timeout)
    assert await sandbox.download_file("/files/slow.bin", timeout=0.6) is None
    # The URL attempt had half the budget, so the filesystem read was tried too.
    assert e2b.calls["files.read"] == (2 if fault == "stalled" else 1)
    assert _messages(caplog)[0].startswith("URL download failed for /files/slow.bin: ")
    record = _records(caplog)[-1]
    assert record.getMessage() == "Download of /files/slow.bin exceeded timeout of 0.6 seconds"
    assert record.error_code == "download"
    assert _last_span(spans, "zib_sandbox.file.download").attributes["zib_sandbox.status"] == "timeout"


async def test_a_url_attempt_that_used_the_whole_budget_is_a_timeout(
    sandbox: E2BSandbox, monkeypatch: pytest.MonkeyPatch
) -> None:
    # The overall cap normally fires first; this is the race it can lose.
    filesystem_reads: list[str] = []

    async def slow_url(file_path, effective_timeout=None):
        await asyncio.sleep(0.3)

    async def filesystem(file_path, request_timeout):
        filesystem_reads.append(file_path)
        return b"late"

    monkeypatch.setattr(sandbox, "_download_via_url", slow_url)
    monkeypatch.setattr(sandbox, "_read_via_filesystem", filesystem)
    with pytest.raises(TimeoutError, match="Download of /files/x exceeded timeout of 0.2 seconds"):
        await sandbox._read_file("/files/x", 0.2)
    assert filesystem_reads == []
