"""Fixtures for the E2B backend tests: the local E2B stand-in and sandboxes on it."""

import pytest

from tests.fakes.e2b_fixtures import e2b, e2b_service  # noqa: F401 - shared fixtures
from tests.foundation.conftest import _span_exporter_session, spans  # noqa: F401 - shared fixtures
from vorn_tools.code_interpreter.code_sandbox.e2b_sandbox import E2BSandbox


@pytest.fixture
async def make_sandbox(e2b):
    """Factory of ``E2BSandbox`` instances on the stand-in, terminated after the test."""
    made: list[E2BSandbox] = []

    async def make(**options) -> E2BSandbox:
        made.append(await E2BSandbox.create(**{"create_backoff": 0.0, **e2b.connection_options(), **options}))
        return made[-1]

    yield make
    e2b.clear_faults()
    for sandbox in made:
        await sandbox.terminate()  # a no-op for one the test terminated


@pytest.fixture
async def sandbox(make_sandbox) -> E2BSandbox:
    return await make_sandbox()
