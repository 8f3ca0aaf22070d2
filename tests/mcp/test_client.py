"""MCPClient against the real fake server: listings, resource reads, fan-out and package surface."""

import asyncio
import gc
import logging
import os
import sys
from pathlib import Path

import httpx
import pytest
from mcp import McpError
from mcp.types import ToolAnnotations

from tests.fakes.mcp_server import BLOB_BYTES, stdio_config
from tests.mcp.conftest import other_tasks
from vorn_tools.mcp.client import MCPClient
from vorn_tools.mcp.client.resource import MCPResource
from vorn_tools.mcp.client.tool import MCPTool

FAKE_TOOLS = ["add", "echo_env", "show_headers", "client_name", "picture", "two_texts", "image_only", "nothing", "refuse", "boom"]
FAKE_RESOURCES = ["greeting", "bytes", "empty", "two-items", "slow", "no-contents"]


def process_alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


@pytest.mark.parametrize("operation", ["get_tools", "get_resources", "get_resource"])
async def test_unknown_server_is_refused_before_any_session(operation, caplog):
    caplog.set_level(logging.DEBUG)
    client = MCPClient({"known": {"command": "/nonexistent", "args": ["x"]}, "other": {"url": "http://127.0.0.1:9/"}})
    with pytest.raises(ValueError, match=r"^Server Known not found\.$"):
        await getattr(client, operation)("Known", *(["text://greeting"] if operation == "get_resource" else []))
    assert not [r for r in caplog.records if r.name == "vorn_tools.mcp.client.session"]
    with pytest.raises(ValueError, match=r"^Server None not found\.$"):
        await client.get_resource(None, "text://greeting")
    for empty in ({}, None):
        with pytest.raises(ValueError, match=r"^No MCP servers provided\.$"):
            MCPClient(empty)
    client.get_servers().append("c")
    assert client.get_servers() == ["known", "other"]  # in order, a new list each time


@pytest.mark.parametrize(("transport", "server_args"), [("stdio", ()), ("sse", ()), ("streamable_http", ()), ("stdio", ("--page-size", "4"))])
async def test_listings_give_records(transport, server_args, make_config):
    client = MCPClient({"fake": stdio_config(*server_args) if server_args else make_config(transport)})
    tools = await client.get_tools("fake")
    assert [tool.name for tool in tools] == FAKE_TOOLS and all(isinstance(tool, MCPTool) for tool in tools)  # every page, in order
    add = tools[0]
    assert (add.description, add.parameters["properties"].keys(), tools[1].annotations) == ("Add two integers.", {"a", "b"}, None)
    assert isinstance(add.annotations, ToolAnnotations) and add.annotations.readOnlyHint is True
    resources = await client.get_resources("fake")
    assert [resource.name for resource in resources] == FAKE_RESOURCES and isinstance(resources[0], MCPResource)
    greeting, blob = resources[:2]
    assert (str(greeting.uri), greeting.description, greeting.mime_type, greeting.size) == ("text://greeting", "A greeting", "text/plain", None)
    assert (blob.mime_type, blob.size, blob.annotations) == ("application/octet-stream", len(BLOB_BYTES), None)


@pytest.mark.parametrize("operation", ["get_tools", "get_resources"])
async def test_endless_paging_stops_at_the_cap(operation):
    client = MCPClient({"looping": stdio_config("--page-size", "1", "--endless", "--token=sk-0123456789abcdef")})
    what = operation.removeprefix("get_")
    with pytest.raises(RuntimeError, match=rf"^The MCP server .*mcp_server\.py .*--token=\*\*\* was still paging its {what} after 100 pages$"):
        async with asyncio.timeout(60):  # without the cap the listing never ends
            await getattr(client, operation)()


async def test_all_servers_listing_concatenates_in_server_order_and_hooks_see_their_server(make_config):
    class Named(MCPClient):
        def _process_tool(self, tool, config):
            return tool.name, config

        async def _process_resource(self, resource, config):
            raise LookupError(f"hook saw {resource.uri} of {next(k for k, v in self.servers.items() if v is config)}")

    # The slow server comes first: the result follows the mapping, not the answer order.
    servers = {"slow": stdio_config("--slow-list", "0.5"), "http": make_config("streamable_http")}
    client = Named(servers)
    expected = [(name, id(config)) for config in servers.values() for name in FAKE_TOOLS]
    for server in (None, ""):
        assert [(name, id(config)) for name, config in await client.get_tools(server)] == expected
    assert [resource.name for resource in await client.get_resources()] == FAKE_RESOURCES * 2
    with pytest.raises(LookupError, match="^hook saw text://greeting of http$"):  # unwrapped, as the hook raised it
        await client.get_resource("http", "text://greeting")


@pytest.mark.parametrize(("operation", "failing"), [("get_tools", True), ("get_resources", True), ("get_tools", False)])
async def test_failed_or_cancelled_listing_stops_every_server(operation, failing, tmp_path, caplog):
    pid_files = [tmp_path / "one.pid", tmp_path / "two.pid"]
    # Servers that ignore SIGTERM: stopping them takes a while, and a SIGKILL.
    servers = {path.stem: stdio_config("--slow-list", "600", "--linger", "--pid-file", str(path)) for path in pid_files}
    if failing:
        # Fails once the slow servers' processes are running, however long they take to start.
        servers["failing"] = stdio_config("--fail-list", *[arg for path in pid_files for arg in ("--wait-for", str(path))])
    listing = asyncio.create_task(getattr(MCPClient(servers), operation)())
    if not failing:
        async with asyncio.timeout(60):
            while not all(path.exists() for path in pid_files):
                await asyncio.sleep(0.02)
            while not listing.done():  # cancelled again and again while the servers are being stopped
                listing.cancel()
                await asyncio.sleep(0.05)
    with pytest.raises(McpError if failing else asyncio.CancelledError):
        await listing
    assert listing.cancelled() is not failing and await other_tasks() == []
    assert not [path for path in pid_files if process_alive(int(path.read_text()))]
    gc.collect()
    await asyncio.sleep(0)
    assert not [r for r in caplog.records if "never retrieved" in r.getMessage() or "destroyed" in r.getMessage()]


async def test_unreachable_server_fails_the_all_servers_listing(make_config):
    client = MCPClient({"down": {"url": "http://127.0.0.1:9/mcp"}, "fine": make_config("streamable_http")})
    with pytest.RaisesGroup(httpx.ConnectError, flatten_subgroups=True):
        await client.get_tools()
    assert await other_tasks() == []


async def test_shipped_example_server_over_stdio():
    example = Path(__file__).resolve().parents[2] / "examples" / "mcp_server.py"
    client = MCPClient({"example": {"command": sys.executable, "args": [str(example)]}})
    assert [tool.name for tool in await client.get_tools()] == ["add", "word_count"]
    assert "vorn-example" in (await client.get_resource("example", "example://about")).text
