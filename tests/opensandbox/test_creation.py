"""Creation of ``OpenSandbox`` through the real SDKs: retries, readiness, rollback, snapshots."""

from __future__ import annotations

import asyncio
import time
import uuid

import pytest

from tests.fakes.opensandbox_server import OpenSandboxStandIn
from tests.opensandbox.conftest import eventually
from vorn_tools.code_interpreter.errors import SandboxExecutionError, SandboxStartError, Stage
from vorn_tools.code_interpreter.redaction import redact

# A key the stand-in never issued (so the create is refused); unique, so no other test registered it.
_UNISSUED_KEY = "osb-unissued-" + uuid.uuid4().hex


def _creates(opensandbox: OpenSandboxStandIn) -> list[dict]:
    return [body for route, body in opensandbox.requests if route == "create"]


async def test_sandbox_starts_with_the_injected_settings(make_sandbox, opensandbox: OpenSandboxStandIn):
    await make_sandbox(env={"JUPYTER_TOKEN": "mine", "EXTRA": "1"}, timeout=90.5)
    (body,) = _creates(opensandbox)
    assert body["entrypoint"] == ["bash", "/opt/opensandbox/code-interpreter.sh"] and body["timeout"] == 90
    assert body["resourceRequests"] == {"cpu": "200m", "memory": "1024Mi"}
    assert list(body["env"].items()) == [("JUPYTER_HOST", "http://127.0.0.1:44771"), ("JUPYTER_TOKEN", "mine"),
                                         ("EXECD_API_GRACE_SHUTDOWN", "0s"), ("EXTRA", "1")]
    # The Jupyter probe saw the server, so the client skipped its own readiness check.
    commands = [body["command"] for route, body in opensandbox.requests if route == "command"]
    assert commands == ["curl -sf http://127.0.0.1:44771/api && echo OK || echo FAIL"]


async def test_slow_container_is_waited_for_and_a_dead_one_fails_at_the_deadline(make_sandbox, opensandbox):
    opensandbox.ready_delay = 1.0
    sandbox = await make_sandbox(ready_timeout=20)
    assert opensandbox.calls["ping"] >= 2 and sandbox.sandbox_id in opensandbox.alive_sandboxes()

    opensandbox.next_sandbox(ready=False)
    started = time.monotonic()
    with pytest.raises(SandboxStartError) as info:
        await make_sandbox(ready_timeout=2, image="plain:1")
    assert time.monotonic() - started >= 1.5
    assert info.value.stage is Stage.EXECD_PROBE and "Image 'plain:1' does not appear" in str(info.value)
    assert not info.value.transient and len(_creates(opensandbox)) == 2
    await eventually(lambda: opensandbox.alive_sandboxes() == [sandbox.sandbox_id])


async def test_interpreter_start_failure_is_transient_and_retried(make_sandbox, opensandbox, fast_probes):
    opensandbox.next_sandbox(jupyter=False)
    with pytest.raises(SandboxStartError) as info:
        await make_sandbox(create_retries=1)
    assert info.value.stage is Stage.INTERPRETER_INIT and info.value.transient
    assert info.value.__cause__.__class__.__name__ == "SandboxReadyTimeoutException"
    await eventually(lambda: opensandbox.alive_sandboxes() == [])

    opensandbox.next_sandbox(jupyter=False)
    sandbox = await make_sandbox(create_retries=2)
    assert len(_creates(opensandbox)) == 3
    assert opensandbox.alive_sandboxes() == [sandbox.sandbox_id]
    assert (await sandbox.execute_code("print(1)")).stdout == "1\n"


async def test_a_jupyter_port_that_never_answers_cannot_hang_creation(make_sandbox, opensandbox, fast_probes):
    opensandbox.stall("jupyter", 600, times=20)  # longer than the test may run
    sandbox = await make_sandbox()
    assert opensandbox.calls["jupyter"] >= 1 and (await sandbox.execute_code("print(2)")).stdout == "2\n"


@pytest.mark.parametrize(
    ("options", "fault", "stage", "creates"),
    [
        ({}, ("create", 500), Stage.CREATE, 1),
        ({"api_key": _UNISSUED_KEY}, None, Stage.CREATE, 1),  # the key is masked from the start
        ({"snapshot_name": "missing"}, None, Stage.SNAPSHOT_RESOLVE, 0),
        ({"snapshot_name": "failed-only"}, None, Stage.SNAPSHOT_RESOLVE, 0),
        ({"snapshot_name": "mixed-times"}, None, Stage.SNAPSHOT_RESOLVE, 0),  # times that cannot be ordered
        ({"additional_packages": ["surely-not-a-package-xyz"]}, None, Stage.PACKAGE_INSTALL, 1),
    ],
)
async def test_permanent_failures_are_not_retried_and_leave_nothing(make_sandbox, opensandbox, options, fault,
                                                                    stage, creates):
    opensandbox.add_snapshot("failed-only", state="Failed")
    opensandbox.add_snapshot("mixed-times", created_at=1.0, naive=True)
    opensandbox.add_snapshot("mixed-times", created_at=2.0)
    if fault:
        opensandbox.fail(*fault)
    error_type = SandboxExecutionError if stage is Stage.PACKAGE_INSTALL else SandboxStartError
    with pytest.raises(error_type) as info:
        await make_sandbox(**options)
    assert info.value.stage is stage and opensandbox.calls["create"] == creates
    if stage is Stage.SNAPSHOT_RESOLVE:
        assert str(info.value) == f"No Ready OpenSandbox snapshot named {options['snapshot_name']!r}"
    if "api_key" in options:
        assert redact(f"key={options['api_key']}") == "key=[SECRET]"
    await eventually(lambda: opensandbox.alive_sandboxes() == [])


@pytest.mark.parametrize("cancelled_during", ["execd probe", "rollback"])
async def test_cancelled_creation_still_kills_the_sandbox(make_sandbox, opensandbox, cancelled_during):
    opensandbox.next_sandbox(ready=False)
    if cancelled_during == "rollback":
        opensandbox.stall("kill", 1.5)
        task = asyncio.create_task(make_sandbox(ready_timeout=3))  # the stalled kill needs no retry
        await eventually(lambda: opensandbox.calls["kill"] >= 1)
    else:
        task = asyncio.create_task(make_sandbox(ready_timeout=60))
        await eventually(lambda: opensandbox.calls["ping"] >= 1)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    if cancelled_during == "rollback":
        assert len(opensandbox.alive_sandboxes()) == 1  # the shielded kill is still under way
    await eventually(lambda: opensandbox.alive_sandboxes() == [])


async def test_execd_probe_keeps_its_minimum_time_once_the_ready_budget_is_spent(make_sandbox, opensandbox):
    opensandbox.stall("ping", 6)  # the one ping outlasts the whole ready budget
    sandbox = await make_sandbox(ready_timeout=2)
    assert opensandbox.calls["directories"] == 1 and sandbox.sandbox_id in opensandbox.alive_sandboxes()


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"snapshot_id": "s", "snapshot_name": "n"}, ValueError, "Provide at most one of snapshot_id or snapshot_name"),
        ({"timeout": 0.5}, ValueError, "sandbox timeout must be a positive number of seconds, got 0.5"),
        ({"env": ["A=1"]}, TypeError, "`env` must be a mapping of variable names to values, not list"),
        ({"additional_packages": ["--index-url=x"]}, ValueError, "is a pip option"),
    ],
)
async def test_bad_arguments_are_refused_before_any_sandbox_exists(make_sandbox, opensandbox, options, error, message):
    with pytest.raises(error, match=message):
        await make_sandbox(**options)
    assert not opensandbox.calls
