"""LangChain adapter of the MCP client.

`LangchainMCPClient` turns the tools of MCP servers into LangChain
`StructuredTool`s whose coroutine calls the server's tool, and resources into
LangChain `Blob`s.
"""

import asyncio
import base64
from typing import Any

from langchain_core.documents.base import Blob
from langchain_core.tools import StructuredTool, ToolException
from mcp.types import (
    BlobResourceContents,
    CallToolResult,
    EmbeddedResource,
    ImageContent,
    TextContent,
    TextResourceContents,
)
from pydantic import AnyUrl

from vorn_tools.mcp.client.client import MCPClient
from vorn_tools.mcp.client.config import MCPConfiguration
from vorn_tools.mcp.client.resource import MCPResource
from vorn_tools.mcp.client.session import create_session, first_contents
from vorn_tools.mcp.client.tool import MCPTool

NonTextContent = ImageContent | EmbeddedResource


def _mime_type_of(resource: Any) -> str | None:
    """The MIME type of a resource record (``mime_type``) or of a protocol contents item (``mimeType``)."""
    if hasattr(resource, "mime_type"):
        return resource.mime_type
    return resource.mimeType


class LangchainMCPClient(MCPClient):
    """MCP client whose tools are LangChain `StructuredTool`s and whose resources are `Blob`s.

    Every call of a built tool, like every listing and resource read, opens,
    initialises and closes a session of its own.

    Attributes:
        RESOURCE_FETCH_TIMEOUT (int): Seconds one resource fetch may take.
    """

    RESOURCE_FETCH_TIMEOUT = 10

    def _process_tool(self, tool: MCPTool, config: MCPConfiguration) -> StructuredTool:
        """Converts an MCP tool into a LangChain `StructuredTool`.

        The tool's coroutine calls the server's tool of the same name and
        returns its text as content and its other items as artifact.

        Args:
            tool (MCPTool): The tool to convert.
            config (MCPConfiguration): The MCP server configuration.

        Returns:
            StructuredTool: The converted tool.
        """
        client = self

        async def call_tool(**arguments: Any) -> tuple[str | list[str], list[NonTextContent] | None]:
            async with create_session(config) as tool_session:
                await tool_session.initialize()
                call_tool_result = await tool_session.call_tool(tool.name, arguments)
            return client._convert_call_tool_result(call_tool_result)

        return StructuredTool(
            name=tool.name,
            description=tool.description or "",
            args_schema=tool.parameters,
            coroutine=call_tool,
            response_format="content_and_artifact",
            metadata=tool.annotations.model_dump() if tool.annotations else None,
        )

    async def _process_resource(self, resource: MCPResource, config: MCPConfiguration) -> Any:
        """Converts an MCP resource into a Langchain Resource.

        Reads the resource's content in a session of its own, bounded by
        `RESOURCE_FETCH_TIMEOUT`.

        Args:
            resource (MCPResource): The resource to convert; a protocol contents
                item (with ``mimeType``) is accepted too.
            config (MCPConfiguration): The MCP server configuration.

        Returns:
            Blob: The converted resource.

        Raises:
            TimeoutError: The fetch took longer than `RESOURCE_FETCH_TIMEOUT`.
            ValueError: The server answered with no contents item, or an
                unsupported one.
        """

        async def read_resource(uri: AnyUrl) -> str | bytes:
            async with create_session(config) as resource_session:
                await resource_session.initialize()
                result = await resource_session.read_resource(uri)
            content = first_contents(result, resource.uri)
            if isinstance(content, TextResourceContents):
                return content.text
            if isinstance(content, BlobResourceContents):
                return base64.b64decode(content.blob)
            raise ValueError(f"Unsupported content type for URI {resource.uri}")

        data = await asyncio.wait_for(read_resource(resource.uri), timeout=self.RESOURCE_FETCH_TIMEOUT)
        return Blob.from_data(
            data,
            mime_type=_mime_type_of(resource),
            path=str(resource.uri),
            metadata={"uri": resource.uri},
        )

    def _convert_call_tool_result(
        self, call_tool_result: CallToolResult
    ) -> tuple[str | list[str], list[NonTextContent] | None]:
        """Splits a tool-call result into LangChain's content and artifact.

        Args:
            call_tool_result (CallToolResult): The server's answer.

        Returns:
            tuple: The text (empty string, one string, or a list of strings) and
            the non-text items (None when there are none).

        Raises:
            ToolException: The server marked the result as an error; it carries the text.
        """
        texts: list[str] = []
        non_text_contents: list[Any] = []
        for content in call_tool_result.content:
            if isinstance(content, TextContent):
                texts.append(content.text)
            else:
                non_text_contents.append(content)

        tool_content: str | list[str] = ""
        if len(texts) == 1:
            tool_content = texts[0]
        elif texts:
            tool_content = texts

        if call_tool_result.isError:
            raise ToolException(tool_content)
        return tool_content, non_text_contents or None
