"""LangchainMCPClient against the real fake server: structured tools and blobs."""

import asyncio

import pytest
from langchain_core.documents.base import Blob
from langchain_core.tools import StructuredTool, ToolException
from mcp.types import EmbeddedResource, ImageContent
from pydantic import AnyUrl

from tests.fakes.mcp_server import BLOB_BYTES, GREETING, PIXEL_B64, stdio_config
from tests.mcp.conftest import other_tasks
from vorn_tools.mcp.client.langchain import LangchainMCPClient
from vorn_tools.mcp.client.resource import MCPResource


@pytest.mark.parametrize(("transport", "tool", "arguments", "expected"), [
    ("stdio", "picture", {}, ("a red pixel", [ImageContent, EmbeddedResource])),
    ("streamable_http", "add", {"a": 1, "b": 2}, ("3", None)),
    ("streamable_http", "two_texts", {}, (["one", "two"], [ImageContent])),
    ("streamable_http", "image_only", {}, ("", [ImageContent])),
    ("sse", "nothing", {}, ("", None)),
    ("stdio", "refuse", {"texts": ["denied"]}, ToolException("denied")),
    ("sse", "refuse", {"texts": []}, ToolException("")),
    ("streamable_http", "refuse", {"texts": ["denied", "twice"]}, ToolException(["denied", "twice"])),
    ("streamable_http", "boom", {}, ToolException("Error executing tool boom: the tool exploded")),
])  # fmt: skip
async def test_tools_carry_the_listing_and_convert_call_results(transport, tool, arguments, expected, make_config):
    tools = {tool.name: tool for tool in await LangchainMCPClient({"fake": make_config(transport)}).get_tools("fake")}
    add = tools["add"]
    assert isinstance(add, StructuredTool) and (add.description, add.response_format, add.func) == ("Add two integers.", "content_and_artifact", None)
    assert (add.args_schema["properties"].keys(), add.metadata["readOnlyHint"], add.metadata["title"]) == ({"a", "b"}, True, "Adder")
    assert tools["echo_env"].metadata is None
    if isinstance(expected, ToolException):
        # An error result: its texts, and nothing of its other items, travel in the exception.
        with pytest.raises(ToolException) as caught:
            await tools[tool].ainvoke(arguments)
        assert caught.value.args == expected.args
    else:
        content, artifact = await tools[tool].coroutine(**arguments)
        assert (content, None if artifact is None else [type(item) for item in artifact]) == expected
        assert all(item.data == PIXEL_B64 for item in artifact or () if isinstance(item, ImageContent))


@pytest.mark.parametrize(("transport", "uri", "expected"), [
    ("stdio", "text://greeting", (GREETING, "text/plain")),
    ("sse", "blob://bytes", (BLOB_BYTES, "application/octet-stream")),
    ("streamable_http", "text://empty", ("", "text/plain")),
    ("streamable_http", "multi://two", ("first", "text/plain")),
])  # fmt: skip
async def test_resources_become_blobs(transport, uri, expected, make_config):
    client = LangchainMCPClient({"fake": (config := make_config(transport))})
    listed = next(record for record in await client.get_resources("fake") if str(record.uri) == uri)
    # get_resource hands the hook the protocol's contents item (mimeType, not mime_type); a record without a type gives none.
    blobs = [await client.get_resource("fake", uri), await client._process_resource(listed, config),
             await client._process_resource(MCPResource("bare", uri=AnyUrl(uri)), config)]  # fmt: skip
    assert all(isinstance(blob, Blob) for blob in blobs) and blobs[1].metadata["uri"] is listed.uri
    assert [(b.data, b.mimetype, b.path, b.metadata) for b in blobs] == [(*expected, uri, {"uri": AnyUrl(uri)})] * 2 + [
        (expected[0], None, uri, {"uri": AnyUrl(uri)})
    ]  # fmt: skip
    for read in (client.get_resource("fake", "none://contents"), client._process_resource(MCPResource("none", uri=AnyUrl("none://contents")), config)):
        with pytest.raises(ValueError, match="^The MCP server answered with no contents for URI none://contents$"):
            await read


@pytest.mark.parametrize("transport", ["stdio", "sse", "streamable_http"])
async def test_resource_fetch_is_bounded(transport, make_config):
    class Impatient(LangchainMCPClient):
        RESOURCE_FETCH_TIMEOUT = 0.5

    # Over stdio, a server that stays on after its input closes and ignores SIGTERM.
    client = Impatient({"fake": stdio_config("--linger") if transport == "stdio" else make_config(transport)})
    record = MCPResource("slow", uri=AnyUrl("slow://resource"))
    started = asyncio.get_running_loop().time()
    with pytest.raises(TimeoutError):
        await client._process_resource(record, client.servers["fake"])
    # The bound covers the teardown: such a server is killed a second after the
    # cancellation, where waiting for it to exit first would take four.
    assert asyncio.get_running_loop().time() - started < Impatient.RESOURCE_FETCH_TIMEOUT + 3
    assert await other_tasks() == []
