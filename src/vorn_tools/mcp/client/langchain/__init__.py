"""LangChain adapter of the MCP client."""

from vorn_tools.mcp.client.langchain.client import LangchainMCPClient

__all__ = ["LangchainMCPClient"]
