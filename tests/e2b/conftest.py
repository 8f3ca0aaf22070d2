"""Fixtures for the E2B backend tests: the local E2B stand-in and fast SDK retries."""

from __future__ import annotations

import pytest

from tests.fakes.e2b_fixtures import e2b, e2b_service  # noqa: F401 - shared fixtures
from tests.fakes.e2b_server import E2BStandIn
from tests.foundation.conftest import _span_exporter_session, spans  # noqa: F401 - shared fixtures


@pytest.fixture
async def make_sandbox(e2b: E2BStandIn):
    """Factory of ``E2BSandbox`` instances on the stand-in, terminated after the test."""
    from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox

    made: list[E2BSandbox] = []

    async def make(**options) -> E2BSandbox:
        options = {"create_backoff": 0.0, **e2b.connection_options(), **options}
        sandbox = await E2BSandbox.create(**options)
        made.append(sandbox)
        return sandbox

    yield make
    for sandbox in made:
        if sandbox.sandbox is not None:
            e2b.clear_faults()
            await sandbox.terminate()


@pytest.fixture
async def sandbox(make_sandbox):
    """A live ``E2BSandbox`` on the stand-in."""
    return await make_sandbox()
