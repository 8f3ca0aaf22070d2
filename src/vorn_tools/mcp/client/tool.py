"""MCP Tool module: the record of a listed tool and its loader."""

import logging
from typing import Any, Callable

from mcp.types import ToolAnnotations

from vorn_tools.mcp.client.config import MCPConfiguration
from vorn_tools.mcp.client.session import create_session, list_pages

logger = logging.getLogger(__name__)


class MCPTool:
    """The MCP (Model Context Protocol) Tool, independent of any agent framework.

    Attributes:
        name (str): The tool's name, under which the server's tool is called.
        description (str | None): The tool's description as listed.
        parameters (dict[str, Any]): The JSON Schema of the tool's input.
        annotations (ToolAnnotations | None): The tool's behaviour hints.
    """

    name: str
    description: str | None = None
    parameters: dict[str, Any]
    annotations: ToolAnnotations | None = None

    def __init__(
        self,
        *,
        name: str,
        parameters: dict[str, Any],
        description: str | None = None,
        annotations: ToolAnnotations | None = None,
    ) -> None:
        """Constructs a new MCP tool.

        Args:
            name (str): The name of the tool.
            parameters (dict[str, Any]): The JSON Schema of the tool's input.
            description (str | None): The description of the tool.
            annotations (ToolAnnotations | None): The annotations of the tool.
        """
        self.name = name
        self.description = description
        self.parameters = parameters
        self.annotations = annotations


async def load_mcp_tools(
    *,
    config: MCPConfiguration,
    tool_adapter: Callable[[MCPTool, MCPConfiguration], Any] | None = None,
) -> list[MCPTool | Any]:
    """Load the tools of one MCP server, optionally adapted to an agent framework.

    Opens, initialises and closes a session of its own, lists the server's
    tools (following its pages) and builds one `MCPTool` per listed tool.

    Args:
        config: The server's configuration.
        tool_adapter: A synchronous callable applied to each record and
            ``config``; its results replace the records.

    Returns:
        The records, or the adapter's results, in the server's listing order.
    """
    async with create_session(config) as tool_session:
        logger.debug("Initializing new tool session")
        await tool_session.initialize()
        listed = await list_pages(tool_session.list_tools, "tools", config)

    tools = [
        MCPTool(
            name=tool.name,
            description=tool.description,
            parameters=tool.inputSchema,
            annotations=tool.annotations,
        )
        for tool in listed
    ]
    logger.info("Loaded %d tools", len(tools))
    logger.debug("Tools: %s", [tool.name for tool in tools])

    if tool_adapter is None:
        logger.debug("No tool adapter provided, returning default MCP tools")
        return tools
    logger.debug("Adapting tools with provided tool adapter")
    return [tool_adapter(tool, config) for tool in tools]
