"""Fixtures for the Bedrock AgentCore backend tests: the local AgentCore stand-in."""

from __future__ import annotations

import pytest

from tests.fakes.agentcore_fixtures import CREDENTIALS, agentcore, agentcore_service  # noqa: F401 - shared fixtures
from tests.fakes.agentcore_server import AgentCoreStandIn
from tests.foundation.conftest import _span_exporter_session, spans  # noqa: F401 - shared fixtures


@pytest.fixture
async def make_sandbox(agentcore: AgentCoreStandIn):
    """Factory of ``BedrockAgentCoreSandbox`` instances on the stand-in, terminated after the test."""
    from vorn_tools.code_interpreter.code_sandbox.bedrock_agentcore_sandbox import BedrockAgentCoreSandbox

    made: list[BedrockAgentCoreSandbox] = []

    def make(**options) -> BedrockAgentCoreSandbox:
        made.append(sandbox := BedrockAgentCoreSandbox(**CREDENTIALS, **options))
        return sandbox

    yield make
    agentcore.clear_faults()
    for sandbox in made:
        await sandbox.terminate()


@pytest.fixture
async def sandbox(make_sandbox):
    """A ``BedrockAgentCoreSandbox`` whose session has started."""
    sandbox = make_sandbox()
    await sandbox._ensure_started()
    return sandbox
