"""MCP client: lists and calls the tools and resources of named MCP servers."""

from vorn_tools.mcp.client.client import MCPClient

__all__ = ["MCPClient"]
