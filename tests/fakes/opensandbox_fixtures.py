"""Pytest fixtures for the local OpenSandbox stand-in, shared by every suite that uses it.

Import them into a ``conftest.py``:
``from tests.fakes.opensandbox_fixtures import opensandbox, opensandbox_service``.
"""

from __future__ import annotations

from collections.abc import Iterator

import pytest

from tests.fakes.opensandbox_server import OpenSandboxStandIn
from tests.fakes.standin import STARTUP_LIMIT


@pytest.fixture(scope="session")
def opensandbox_service() -> Iterator[OpenSandboxStandIn]:
    """One stand-in for the session, on ephemeral ports, stopped (sandboxes killed) at the end."""
    with OpenSandboxStandIn() as service:
        yield service


@pytest.fixture
def opensandbox(opensandbox_service: OpenSandboxStandIn, monkeypatch: pytest.MonkeyPatch) -> Iterator[OpenSandboxStandIn]:
    """The stand-in with no planned faults, default delays and the SDK's metrics request off.

    Sandboxes a test leaves alive are killed when it ends.
    """
    monkeypatch.setenv("OPENSANDBOX_DISABLE_METRICS", "1")
    with opensandbox_service.fresh() as service:
        service.ready_delay, service.snapshot_delay = 0.0, 0.05
        service.call(service.forget_snapshots())
        for removal in service._removals:  # an earlier test's trees, gone before this one starts
            removal.join(STARTUP_LIMIT)
        yield service
    for sandbox_id in service.alive_sandboxes():
        service.call(service._kill_sandbox(service.sandboxes[sandbox_id]))
