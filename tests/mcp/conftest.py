"""Fixtures for the MCP client tests: the fake server over stdio, SSE and streamable HTTP."""

import asyncio
from collections.abc import Callable, Iterator
from typing import Any

import pytest

from tests.fakes.mcp_http import serve_http
from tests.fakes.mcp_server import build_server, stdio_config


async def other_tasks(bound: float = 30.0) -> list[asyncio.Task]:
    # The tasks besides the test's own still alive once they had ``bound`` seconds to finish: a failed
    # or cancelled call may still be closing a connection in the background, slowly on a busy machine.
    loop = asyncio.get_running_loop()
    deadline = loop.time() + bound
    while (left := [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]) and loop.time() < deadline:
        await asyncio.sleep(0.05)
    return left


@pytest.fixture(scope="module")
def http_urls() -> Iterator[dict[str, str]]:
    with serve_http(build_server().sse_app()) as sse, serve_http(build_server().streamable_http_app()) as http:
        yield {"sse": sse + "/sse", "streamable_http": http + "/mcp"}


@pytest.fixture
def make_config(request: pytest.FixtureRequest) -> Callable[..., dict[str, Any]]:
    # A configuration of the fake server for a transport name, plus extra keys; the HTTP servers serve a whole module.
    def make(transport: str, **extra: Any) -> dict[str, Any]:
        if transport == "stdio":
            return stdio_config(**extra)
        return {"transport": transport, "url": request.getfixturevalue("http_urls")[transport], **extra}

    return make
