"""Pytest fixtures for the local E2B stand-in, shared by every suite that uses it.

Import them into a ``conftest.py``: ``from tests.fakes.e2b_fixtures import e2b, e2b_service``.
"""

from __future__ import annotations

from collections.abc import Iterator

import pytest

from tests.fakes.e2b_server import E2BStandIn


@pytest.fixture(scope="session")
def e2b_service() -> Iterator[E2BStandIn]:
    """One stand-in for the session, on ephemeral ports, stopped at the end."""
    with E2BStandIn() as service:
        yield service


@pytest.fixture
def e2b(e2b_service: E2BStandIn, monkeypatch: pytest.MonkeyPatch) -> Iterator[E2BStandIn]:
    """The stand-in with no planned faults, and no SDK connection retries.

    The SDK reads ``E2B_CONNECTION_RETRIES`` once, when ``e2b.api`` is imported,
    and caches its transports per setting; the fixture sets the value on the
    module and gives the SDK fresh transport caches, so that a refused
    connection fails at once instead of after about 2.4 s of backoff.
    """
    import e2b.api.client_async as client_async

    monkeypatch.setattr(client_async, "connection_retries", 0)
    monkeypatch.setattr(client_async, "_transports", {})
    monkeypatch.setattr(client_async, "_pools", {})
    monkeypatch.setattr(client_async, "_httpx_transports", {})
    with e2b_service.fresh():
        yield e2b_service
