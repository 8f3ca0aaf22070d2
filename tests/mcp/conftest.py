"""Fixtures for the MCP client tests: the fake server over stdio, SSE and streamable HTTP."""

from __future__ import annotations

import asyncio
import time
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

from tests.fakes.mcp_http import serve_http
from tests.fakes.mcp_server import build_server, stdio_config

READY_TIMEOUT = 60.0


def wait_for_files(*paths: Path) -> None:
    """Poll until every path exists; a server that starts slowly under load is still waited for."""
    deadline = time.monotonic() + READY_TIMEOUT
    while not all(path.exists() for path in paths):
        assert time.monotonic() < deadline, f"not written within {READY_TIMEOUT} s: {paths}"
        time.sleep(0.02)


async def other_tasks(bound: float = 30.0) -> list[asyncio.Task]:
    """The tasks besides the test's own still alive once they had ``bound`` seconds to finish.

    A failed or cancelled call may still be closing a connection in the
    background when it returns; on a busy machine that takes a moment.
    """
    loop = asyncio.get_running_loop()
    deadline = loop.time() + bound
    while True:
        left = [task for task in asyncio.all_tasks() if task is not asyncio.current_task()]
        if not left or loop.time() >= deadline:
            return left
        await asyncio.sleep(0.05)


@pytest.fixture(scope="module")
def sse_url() -> Iterator[str]:
    with serve_http(build_server().sse_app()) as base_url:
        yield base_url + "/sse"


@pytest.fixture(scope="module")
def streamable_http_url() -> Iterator[str]:
    with serve_http(build_server().streamable_http_app()) as base_url:
        yield base_url + "/mcp"


@pytest.fixture
def make_config(request: pytest.FixtureRequest) -> Callable[..., dict[str, Any]]:
    """A configuration of the fake server for a transport name, plus extra keys; each HTTP server serves a whole module."""

    def make(transport: str, **extra: Any) -> dict[str, Any]:
        if transport == "stdio":
            return stdio_config(**extra)
        url = request.getfixturevalue("sse_url" if transport == "sse" else "streamable_http_url")
        return {"transport": transport, "url": url, **extra}

    return make


@pytest.fixture(params=["stdio", "sse", "streamable_http"])
def transport(request: pytest.FixtureRequest) -> str:
    return request.param
