"""Fixtures for the OpenSandbox backend tests: the local OpenSandbox stand-in."""

from __future__ import annotations

import pytest

from tests.fakes.opensandbox_fixtures import opensandbox, opensandbox_service  # noqa: F401 - shared fixtures
from tests.fakes.opensandbox_server import OpenSandboxStandIn


@pytest.fixture
async def make_sandbox(opensandbox: OpenSandboxStandIn):
    """Factory of ``OpenSandbox`` instances on the stand-in, terminated after the test."""
    from vorn_tools.code_interpreter.code_sandbox.opensandbox_sandbox import OpenSandbox

    made: list[OpenSandbox] = []

    async def make(cls=OpenSandbox, **options) -> OpenSandbox:
        sandbox = await cls.create(**{**opensandbox.connection_options(), "create_backoff": 0.0, **options})
        made.append(sandbox)
        return sandbox

    yield make
    opensandbox.clear_faults()
    for sandbox in made:
        await sandbox.terminate()


@pytest.fixture
async def sandbox(make_sandbox):
    """A live ``OpenSandbox`` on the stand-in."""
    return await make_sandbox()


@pytest.fixture
def fast_probes(monkeypatch: pytest.MonkeyPatch) -> None:
    """A one-second Jupyter probe budget, so a sandbox without Jupyter fails fast."""
    from vorn_tools.code_interpreter.code_sandbox import opensandbox_sandbox

    monkeypatch.setattr(opensandbox_sandbox, "_JUPYTER_PROBE_TIMEOUT", 1)


async def eventually(predicate, *, within: float = 30.0) -> None:
    """Poll ``predicate`` until it holds, failing after ``within`` seconds."""
    import asyncio

    loop = asyncio.get_running_loop()
    deadline = loop.time() + within
    while not predicate():
        assert loop.time() < deadline, "condition not reached in time"
        await asyncio.sleep(0.05)
