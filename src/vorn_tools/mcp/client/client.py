"""The MCP (Model Context Protocol) Client handler.

This module holds the `MCPClient` class, responsible for creating MCP client
sessions, managing their lifecycle, connecting to the MCP servers, and
generating the tools, resources and all server features MCP has to offer.
"""

import asyncio
import logging
from abc import ABC
from collections.abc import Coroutine, Iterable
from typing import Any

from vorn_tools.mcp.client.config import MCPConfiguration
from vorn_tools.mcp.client.resource import MCPResource, load_mcp_resources
from vorn_tools.mcp.client.session import create_session, first_contents
from vorn_tools.mcp.client.tool import MCPTool, load_mcp_tools

logger = logging.getLogger(__name__)


async def _gather_per_server(jobs: Iterable[Coroutine[Any, Any, list[Any]]]) -> list[Any]:
    """Run one listing per server concurrently and concatenate the results in server order.

    The first failure, in time order, is raised, but only after the other
    servers' tasks have been cancelled and awaited, so that no session or
    server process outlives the call and no task exception goes unretrieved.
    """
    tasks = [asyncio.create_task(job) for job in jobs]
    try:
        results = await asyncio.gather(*tasks)
    except BaseException:
        for task in tasks:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        raise
    combined: list[Any] = []
    for result in results:
        combined.extend(result)
    return combined


class MCPClient(ABC):
    """The MCP (Model Context Protocol) Client handler.

    Creates MCP client sessions, manages their lifecycle and generates the
    tools, resources and other features of the configured servers. Every
    listing, tool call and resource read opens, initialises and closes a
    session of its own.

    Attributes:
        servers (dict[str, MCPConfiguration]): A dictionary of MCP server configurations.
    """

    servers: dict[str, MCPConfiguration]

    def __init__(self, servers: dict[str, MCPConfiguration]) -> None:
        """Constructs a client over a set of named MCP servers.

        Args:
            servers (dict[str, MCPConfiguration]): Server name to server
                configuration; the mapping is kept, not copied.

        Raises:
            ValueError: No server is given.
        """
        if not servers:
            raise ValueError("No MCP servers provided.")
        self.servers = servers

    def get_servers(self) -> list[str]:
        """Returns the configured server names, in configuration order."""
        return list(self.servers.keys())

    async def get_tools(self, server: str | None = None) -> list[MCPTool | Any]:
        """Lists the tools of one server, or of every server when none is named.

        Args:
            server (str | None): The server's name; None (or "") lists every
                server concurrently and concatenates the lists in server order.

        Returns:
            list[MCPTool | Any]: The tools, as made by `_process_tool`.

        Raises:
            ValueError: The named server is not configured.
        """
        if server:
            logger.debug(f"Getting tools for server: {server}")
            config = self._server_config(server)
            return await load_mcp_tools(config=config, tool_adapter=self._process_tool)

        logger.debug("Getting tools for all servers")
        return await _gather_per_server(
            load_mcp_tools(config=config, tool_adapter=self._process_tool) for config in self.servers.values()
        )

    async def get_resources(self, server: str | None = None) -> list[MCPResource]:
        """Lists the resources (metadata only) of one server, or of every server.

        Args:
            server (str | None): The server's name; None (or "") lists every
                server concurrently and concatenates the lists in server order.

        Returns:
            list[MCPResource]: The listed resources.

        Raises:
            ValueError: The named server is not configured.
        """
        if server:
            logger.debug(f"Getting resources for server: {server}")
            config = self._server_config(server)
            return await load_mcp_resources(config=config)

        logger.debug("Getting resources for all servers")
        return await _gather_per_server(load_mcp_resources(config=config) for config in self.servers.values())

    async def get_resource(self, server: str, resource_uri: str) -> Any:
        """Returns a resource's entire content.

        A new session is created for each call. The first contents item of the
        server's answer is handed to `_process_resource` while the session is
        still open; its result is returned.

        Args:
            server (str): The server's name.
            resource_uri (str): The resource's URI.

        Returns:
            Any: The processed resource; on a plain client, the protocol's
            first contents item (`TextResourceContents` or `BlobResourceContents`).

        Raises:
            ValueError: The named server is not configured, or it answered
                with no contents item.
        """
        config = self._server_config(server)
        async with create_session(config) as session:
            await session.initialize()
            result = await session.read_resource(resource_uri)
            return await self._process_resource(first_contents(result, resource_uri), config)

    def _server_config(self, server: str | None) -> MCPConfiguration:
        if server not in self.servers:
            raise ValueError(f"Server {server} not found.")
        return self.servers[server]

    def _process_tool(self, tool: MCPTool, config: MCPConfiguration) -> Any:
        """Processes a tool into a proper tool corresponding to the Agentic Framework.

        Args:
            tool (MCPTool): The listed tool.
            config (MCPConfiguration): The configuration of the tool's server.

        Returns:
            Any: The processed tool.
        """
        return tool

    async def _process_resource(self, resource: MCPResource, config: MCPConfiguration) -> Any:
        """Processes a resource into a proper resource corresponding to the Agentic Framework.

        Args:
            resource (MCPResource): The resource read; `get_resource` hands the
                protocol's contents item, which carries ``uri`` and ``mimeType``.
            config (MCPConfiguration): The configuration of the resource's server.

        Returns:
            Any: The processed resource.
        """
        return resource
