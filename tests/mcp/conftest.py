"""Fixtures for the MCP client tests: the fake server over stdio, SSE and streamable HTTP."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from typing import Any

import pytest

from tests.fakes.mcp_http import serve_http
from tests.fakes.mcp_server import build_server, stdio_config

TRANSPORTS = ("stdio", "sse", "streamable_http")


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
    """Build a configuration of the fake server for a transport name, plus extra keys.

    The HTTP servers are started lazily, once per module, only when a test asks for them.
    """

    def make(transport: str, **extra: Any) -> dict[str, Any]:
        if transport == "stdio":
            return stdio_config(**extra)
        if transport == "sse":
            return {"transport": "sse", "url": request.getfixturevalue("sse_url"), **extra}
        if transport == "streamable_http":
            return {"transport": "streamable_http", "url": request.getfixturevalue("streamable_http_url"), **extra}
        raise AssertionError(f"unknown transport {transport}")

    return make


@pytest.fixture(params=TRANSPORTS)
def transport(request: pytest.FixtureRequest) -> str:
    return request.param
