"""Pytest fixtures for the local AgentCore stand-in, shared by every suite that uses it.

Import them into a ``conftest.py``: ``from tests.fakes.agentcore_fixtures import agentcore, agentcore_service``.
"""

from __future__ import annotations

import os
from collections.abc import Iterator

import pytest

from tests.fakes.agentcore_server import AgentCoreStandIn, new_credentials

#: This run's credentials (random): the only ones whose signature ``agentcore_service`` accepts.
CREDENTIALS = new_credentials()


@pytest.fixture(scope="session")
def agentcore_service() -> Iterator[AgentCoreStandIn]:
    """One stand-in for the session, on an ephemeral port, stopped at the end."""
    with AgentCoreStandIn(CREDENTIALS) as service:
        yield service


@pytest.fixture
def agentcore(agentcore_service: AgentCoreStandIn, monkeypatch: pytest.MonkeyPatch) -> Iterator[AgentCoreStandIn]:
    """The stand-in with no planned faults; "bedrock-agentcore" clients made now go to it.

    Nothing of the machine's AWS set-up (config files, retry settings, instance
    metadata) reaches the client.
    """
    for name in ("AWS_ENDPOINT_URL", "AWS_IGNORE_CONFIGURED_ENDPOINT_URLS", "AWS_MAX_ATTEMPTS",
                 "AWS_RETRY_MODE", "AWS_DEFAULT_REGION", "AWS_REGION"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("AWS_ENDPOINT_URL_BEDROCK_AGENTCORE", agentcore_service.endpoint)
    monkeypatch.setenv("AWS_CONFIG_FILE", os.devnull)
    monkeypatch.setenv("AWS_SHARED_CREDENTIALS_FILE", os.devnull)
    monkeypatch.setenv("AWS_EC2_METADATA_DISABLED", "true")
    with agentcore_service.fresh():
        yield agentcore_service
