"""LangchainMCPClient against the real fake server: structured tools and blobs."""

from __future__ import annotations

import asyncio

import pytest
from langchain_core.documents.base import Blob
from langchain_core.messages import ToolMessage
from langchain_core.tools import StructuredTool, ToolException
from mcp.types import EmbeddedResource, ImageContent
from pydantic import AnyUrl

from tests.fakes.mcp_server import BLOB_BYTES, GREETING, PIXEL_B64, stdio_config
from vorn_tools.mcp.client.langchain import LangchainMCPClient
from vorn_tools.mcp.client.resource import MCPResource


async def tools_by_name(config: dict) -> dict[str, StructuredTool]:
    tools = await LangchainMCPClient({"fake": config}).get_tools("fake")
    assert all(isinstance(tool, StructuredTool) for tool in tools)
    return {tool.name: tool for tool in tools}


async def test_tools_are_structured_tools_built_from_the_listing():
    tools = await tools_by_name(stdio_config())
    add = tools["add"]
    assert add.description == "Add two integers."
    assert add.args_schema["properties"].keys() == {"a", "b"}
    assert add.response_format == "content_and_artifact"
    assert add.metadata["readOnlyHint"] is True and add.metadata["title"] == "Adder"
    assert tools["echo_env"].metadata is None
    assert add.func is None and add.coroutine is not None


async def test_ainvoke_returns_content_and_artifact(transport, make_config):
    tools = await tools_by_name(make_config(transport))
    message = await tools["picture"].ainvoke({"name": "picture", "args": {}, "id": "call-1", "type": "tool_call"})
    assert isinstance(message, ToolMessage)
    assert message.content == "a red pixel" and message.tool_call_id == "call-1"
    image, embedded = message.artifact
    assert isinstance(image, ImageContent) and image.data == PIXEL_B64
    assert isinstance(embedded, EmbeddedResource) and embedded.resource.text == "a note"

    assert await tools["add"].ainvoke({"a": 2, "b": 3}) == "5"


@pytest.mark.parametrize(
    ("tool", "arguments", "content", "artifact_types"),
    [
        ("add", {"a": 1, "b": 2}, "3", None),
        ("two_texts", {}, ["one", "two"], [ImageContent]),
        ("image_only", {}, "", [ImageContent]),
        ("nothing", {}, "", None),
    ],
)
async def test_call_result_conversion(tool, arguments, content, artifact_types):
    tools = await tools_by_name(stdio_config())
    got_content, artifact = await tools[tool].coroutine(**arguments)
    assert got_content == content
    assert artifact_types == (None if artifact is None else [type(item) for item in artifact])


@pytest.mark.parametrize(
    ("texts", "expected"),
    [([], ""), (["denied"], "denied"), (["denied", "twice"], ["denied", "twice"])],
)
async def test_error_result_raises_tool_exception(texts, expected, transport, make_config):
    tools = await tools_by_name(make_config(transport))
    with pytest.raises(ToolException) as caught:
        await tools["refuse"].ainvoke({"texts": texts})
    assert caught.value.args == (expected,)


async def test_exception_inside_server_tool_becomes_tool_exception():
    tools = await tools_by_name(stdio_config())
    with pytest.raises(ToolException, match="the tool exploded"):
        await tools["boom"].ainvoke({})


@pytest.mark.parametrize(
    ("uri", "data", "mime_type"),
    [
        ("text://greeting", GREETING, "text/plain"),
        ("blob://bytes", BLOB_BYTES, "application/octet-stream"),
        ("text://empty", "", "text/plain"),
        ("multi://two", "first", "text/plain"),
    ],
)
async def test_get_resource_returns_blob(uri, data, mime_type, transport, make_config):
    # get_resource hands the hook the protocol's contents item (mimeType, not mime_type).
    blob = await LangchainMCPClient({"fake": make_config(transport)}).get_resource("fake", uri)
    assert isinstance(blob, Blob)
    assert (blob.data, blob.mimetype, blob.path) == (data, mime_type, uri)
    assert blob.metadata == {"uri": AnyUrl(uri)}


async def test_resource_hook_takes_listed_records():
    config = stdio_config()
    client = LangchainMCPClient({"fake": config})
    records = {record.name: record for record in await client.get_resources("fake")}
    blob = await client._process_resource(records["bytes"], config)
    assert (blob.data, blob.mimetype) == (BLOB_BYTES, "application/octet-stream")
    assert blob.metadata["uri"] is records["bytes"].uri

    untyped = MCPResource("greeting", uri=AnyUrl("text://greeting"))
    blob = await client._process_resource(untyped, config)
    assert (blob.data, blob.mimetype, blob.path) == (GREETING, None, "text://greeting")


async def test_resource_fetch_is_bounded(transport, make_config):
    class Impatient(LangchainMCPClient):
        RESOURCE_FETCH_TIMEOUT = 0.5

    client = Impatient({"fake": make_config(transport)})
    record = MCPResource("slow", uri=AnyUrl("slow://resource"))
    with pytest.raises(TimeoutError):
        await client._process_resource(record, client.servers["fake"])
    assert [task for task in asyncio.all_tasks() if task is not asyncio.current_task()] == []
