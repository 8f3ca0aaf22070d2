"""Teardown, lease renewal, the live-sandbox requirement and downloads of ``E2BSandbox``."""

from __future__ import annotations

import asyncio
import time
import warnings

import httpx
import pytest

from tests.fakes.e2b_server import E2BStandIn
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import _RESET_TRANSPORT_DEPRECATION, E2BSandbox
from vorn_tools.code_interpreter.errors import SandboxNotInitializedError, SandboxTerminateError, Stage


def _messages(caplog: pytest.LogCaptureFixture) -> list[str]:
    return [r.getMessage() for r in caplog.records if r.name == E2BSandbox.__module__]


def _status(spans, name: str = "zib_sandbox.file.download") -> str:
    return [s for s in spans.get_finished_spans() if s.name == name][-1].attributes.get("zib_sandbox.status")


@pytest.mark.parametrize(
    ("failures", "stall", "error"),
    [(0, 0, None), (2, 0, None), (3, 0, "500: kill refused"), (0, 1.5, "no success within the 0.5-second cap")],
)
async def test_terminate_retries_under_its_cap(sandbox: E2BSandbox, e2b: E2BStandIn, spans, failures, stall, error):
    sandbox_id = sandbox.sandbox_id
    e2b.fail("kill", 500, times=failures, message="kill refused")
    e2b.stall("kill", stall, times=1 if stall else 0)
    if error is not None:
        with pytest.raises(SandboxTerminateError) as raised:
            await sandbox.terminate(timeout=0.5 if stall else 5)
        assert (str(raised.value), raised.value.stage) == (f"Failed to terminate E2B sandbox: {error}", Stage.TERMINATE)
        # The handles stay, so the caller can try again.
        assert sandbox.sandbox_id == sandbox_id and sandbox.files is not None and sandbox.commands is not None
        e2b.clear_faults()
    await sandbox.terminate(timeout=5)
    assert (sandbox.sandbox, sandbox.files, sandbox.commands) == (None, None, None)
    kills = min(failures + 1, 3) + (error is not None)
    assert e2b.calls["kill"] == kills and sandbox_id not in e2b.alive_sandboxes()
    terminated = [s for s in spans.get_finished_spans() if s.name == "zib_sandbox.sandbox.terminate"][-1]
    assert terminated.attributes["zib_sandbox.sandbox_id"] == sandbox_id
    await sandbox.terminate()  # already gone: nothing happens
    assert e2b.calls["kill"] == kills


async def test_lease_renewal_and_the_live_sandbox_requirement(sandbox: E2BSandbox, e2b: E2BStandIn, caplog) -> None:
    e2b.fail("set_timeout", 500, message="lease refused")
    await sandbox.set_timeout(30)
    assert _messages(caplog) == ["Failed to set sandbox timeout to 30s: 500: lease refused"]
    with pytest.raises(ValueError, match="timeout must be a finite number of seconds"):
        await sandbox.execute_code("1", timeout=10**400)
    await sandbox.set_timeout(1)
    async with asyncio.timeout(30):  # the service reaps it once the new lease ends
        while sandbox.sandbox_id in e2b.alive_sandboxes():
            await asyncio.sleep(0.1)
    await sandbox.terminate()
    fresh = E2BSandbox()
    assert await fresh.terminate(timeout=0) is None and await fresh.set_timeout(30) is None
    for instance in (fresh, sandbox):
        with pytest.raises(SandboxNotInitializedError):
            await instance.execute_command("true")
        with pytest.raises(SandboxNotInitializedError):
            await instance.download_file("/files/x")


def test_deprecated_transport_resets_only_warn() -> None:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert E2BSandbox().reset_transport() is None and E2BSandbox.reset_transport_singleton() is None
    assert [(str(w.message), w.category, w.filename) for w in caught] == [
        (_RESET_TRANSPORT_DEPRECATION, DeprecationWarning, __file__)] * 2


async def test_downloads_prefer_the_signed_url_and_fall_back_to_the_filesystem(
    sandbox: E2BSandbox, e2b: E2BStandIn, caplog: pytest.LogCaptureFixture, spans
) -> None:
    payload = bytes(range(256)) * 8
    e2b.write_file(sandbox.sandbox_id, "/files/out.bin", payload)
    e2b.write_file(sandbox.sandbox_id, "/files/empty.txt", b"")
    assert await sandbox.download_file("/files/out.bin") == payload
    assert await sandbox.download_file("/files/empty.txt", timeout=0) == b""
    assert _messages(caplog) == [] and _status(spans) == "success"
    # Signed to expire a little after the URL attempt's budget (15 s of 30; none without a limit).
    reads = [body for route, body in e2b.requests if route == "files.read"]
    assert [(body["signed"], body["path"]) for body in reads] == [(True, "/files/out.bin"), (True, "/files/empty.txt")]
    default, unlimited = (body["expiration"] - time.time() for body in reads)
    assert 15 < default <= 15 + 30 + 1 and 0 < unlimited <= 30 + 1
    # A refused signed URL: one warning, then the filesystem read.
    e2b.fail("files.read", 404)
    assert await sandbox.download_file("/files/out.bin", timeout=10) == payload
    assert [body["signed"] for route, body in e2b.requests if route == "files.read"][-1] is False
    # A missing file: both attempts fail, None with both warnings.
    assert await sandbox.download_file("/files/missing.csv") is None and _status(spans) == "error"
    messages = _messages(caplog)
    assert messages[:2] == ["URL download for /files/out.bin returned status 404",
                            "URL download for /files/missing.csv returned status 404"]
    assert messages[2].startswith("Failed to download file /files/missing.csv: ") and len(messages) == 3


@pytest.mark.parametrize("fault", ["stalled", "sdk_read_timeout", "url_used_the_budget"])
async def test_a_download_over_budget_is_a_timeout(sandbox: E2BSandbox, e2b: E2BStandIn, caplog, spans,
                                                   monkeypatch, fault) -> None:
    e2b.write_file(sandbox.sandbox_id, "/files/slow.bin", b"slow")
    e2b.stall("files.read", 30, times=2 if fault == "stalled" else 1)
    if fault == "url_used_the_budget":  # the race the overall cap normally wins
        async def slow_url(file_path, effective_timeout=None):
            await asyncio.sleep(0.3)

        monkeypatch.setattr(sandbox, "_download_via_url", slow_url)
        with pytest.raises(TimeoutError, match="Download of /files/x exceeded timeout of 0.2 seconds"):
            await sandbox._read_file("/files/x", 0.2)
        return
    if fault == "sdk_read_timeout":  # the SDK's read gives up first, with httpx's error
        async def read_timeout(file_path, request_timeout):
            raise httpx.ReadTimeout("timed out")

        monkeypatch.setattr(sandbox, "_read_via_filesystem", read_timeout)
    assert await sandbox.download_file("/files/slow.bin", timeout=2) is None
    # The URL attempt had half the budget, so the filesystem read was tried too.
    assert e2b.calls["files.read"] == (2 if fault == "stalled" else 1)
    assert _messages(caplog)[0].startswith("URL download failed for /files/slow.bin: ")
    record = [r for r in caplog.records if r.name == E2BSandbox.__module__][-1]
    assert (record.getMessage(), record.error_code) == ("Download of /files/slow.bin exceeded timeout of 2 seconds",
                                                        "download")
    assert _status(spans) == "timeout"
